// Options and emulation: the option table, name and letter look-up,
// dosetopt with its side effects, emulate and the option listings.
#pragma once

#include "core/hashtable.h"

enum : int { OPT_EMUL = 0x20, OPT_SPECIAL = 0x40, OPT_ALIAS = 0x80 };

enum OptNum : int {
    OPT_INVALID = 0,
#define OPT(name, en, c, k, s, t, kind, l, sl) en,
#include "params/options.inc"
#undef OPT
    OPT_SIZE
};
static_assert(OPT_SIZE == 144);

// Emulation modes.
enum : int { EMULATE_CSH = 2, EMULATE_KSH = 4, EMULATE_SH = 8, EMULATE_TARN = 16 };

extern signed char opts[OPT_SIZE];
extern int emulation;

inline bool isset(int o) { return opts[o] != 0; }
inline bool unset(int o) { return opts[o] == 0; }
inline bool emulating(int e) { return emulation & e; }

struct OptName : HashNode {
    int optno;  // for an alias: the option it stands for, negated for the opposite
};

// The option names, built when first wanted.
HashTable *optiontable();
int optlookup(const char *name);
int optlookupc(char c);
int dosetopt(int optno, int value, int force);
void emulate(const char *name, int fully);
int defset(int optno, int emul);
void installemulation(int emul, signed char *newopts);
void printoptionstates(int hadplus);
void printoptionlist();
char *dashgetfn();
const char *optname(int optno);

// Values dosetopt needs from elsewhere.
extern int restricted_pending;
// The editor installs the keymap switch for emacs/vi.
extern void (*kedsetkeymapptr)(const char *name);
// Marks the parameters of restrictedparams (null-terminated) special and
// restricted, creating missing ones unset; the parameter layer installs it.
extern void (*restrictparamsptr)();
extern const char *const restrictedparams[];

// A snapshot of every option, for functions with localoptions.
struct OptionSet {
    signed char o[OPT_SIZE];
};
OptionSet saveoptions();
// Put every option back as saved except privileged and restricted, which
// cannot be regained or dropped by leaving a function.
void restoreoptions(const OptionSet &saved);
