// Handlers whose issues have not landed: each says so when run.
#include "builtins/builtins.h"

int bin_ttyctl(char *nam, char **argv, BuiltinOptions *ops, int func) { return bin_notyet(nam, argv, ops, func); }
