// Handlers whose issues have not landed: each says so when run.
#include "builtins/builtins.h"

int bin_fg(char *nam, char **argv, BuiltinOptions *ops, int func) { return bin_notyet(nam, argv, ops, func); }
int bin_fc(char *nam, char **argv, BuiltinOptions *ops, int func) { return bin_notyet(nam, argv, ops, func); }
int bin_getopts(char *nam, char **argv, BuiltinOptions *ops, int func) { return bin_notyet(nam, argv, ops, func); }
int bin_kill(char *nam, char **argv, BuiltinOptions *ops, int func) { return bin_notyet(nam, argv, ops, func); }
int bin_log(char *nam, char **argv, BuiltinOptions *ops, int func) { return bin_notyet(nam, argv, ops, func); }
int bin_suspend(char *nam, char **argv, BuiltinOptions *ops, int func) { return bin_notyet(nam, argv, ops, func); }
int bin_ttyctl(char *nam, char **argv, BuiltinOptions *ops, int func) { return bin_notyet(nam, argv, ops, func); }
int bin_times(char *nam, char **argv, BuiltinOptions *ops, int func) { return bin_notyet(nam, argv, ops, func); }
int bin_umask(char *nam, char **argv, BuiltinOptions *ops, int func) { return bin_notyet(nam, argv, ops, func); }
int bin_qcompile(char *nam, char **argv, BuiltinOptions *ops, int func) { return bin_notyet(nam, argv, ops, func); }
