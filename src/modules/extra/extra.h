// The further modules (styles and option parsing, resource limits, scheduled commands, dates, the
// special associative arrays, terminal and locale information) and login
// watching, which belongs to tarn/main.  Each module is registered from
// the table in modules/module.cpp.
#pragma once

#include "modules/module.h"
#include "params/params.h"

#include <ctime>

// The entry points of each module, named after it.
int setup_tarnQsrlimits(Module *);
int boot_tarnQsrlimits(Module *);
int cleanup_tarnQsrlimits(Module *);
int finish_tarnQsrlimits(Module *);
int setup_tarnQssched(Module *);
int boot_tarnQssched(Module *);
int cleanup_tarnQssched(Module *);
int finish_tarnQssched(Module *);
int setup_tarnQsdatetime(Module *);
int boot_tarnQsdatetime(Module *);
int cleanup_tarnQsdatetime(Module *);
int finish_tarnQsdatetime(Module *);
int setup_tarnQslanginfo(Module *);
int boot_tarnQslanginfo(Module *);
int cleanup_tarnQslanginfo(Module *);
int finish_tarnQslanginfo(Module *);
int setup_tarnQsparameter(Module *);
int boot_tarnQsparameter(Module *);
int cleanup_tarnQsparameter(Module *);
int finish_tarnQsparameter(Module *);
int setup_tarnQstermcap(Module *);
int boot_tarnQstermcap(Module *);
int cleanup_tarnQstermcap(Module *);
int finish_tarnQstermcap(Module *);
int setup_tarnQsterminfo(Module *);
int boot_tarnQsterminfo(Module *);
int cleanup_tarnQsterminfo(Module *);
int finish_tarnQsterminfo(Module *);
int setup_tarnQsqutil(Module *);
int boot_tarnQsqutil(Module *);
int cleanup_tarnQsqutil(Module *);
int finish_tarnQsqutil(Module *);
int setup_tarnQscomputil(Module *);
int boot_tarnQscomputil(Module *);
int cleanup_tarnQscomputil(Module *);
int finish_tarnQscomputil(Module *);

// ---- special parameters of a module ----
// One row of a module's parameters: an associative array whose elements
// are computed when read, or an array with its own accessors.  Writable
// hashes give set (one element, val owned), unset (one element) and
// setall (a whole assignment: a temporary table of the new elements);
// null ones make the array read-only.
struct SpecialParam {
    const char *name;
    int flags;  // PF_HASHED or PF_ARRAY, and PF_READONLY
    // Hashes: the value of key (arena), or null when there is none.
    char *(*get)(const char *key);
    // Hashes: call fn with each key and its value.
    void (*scan)(void (*fn)(const char *key, char *val, void *data), void *data);
    void (*set)(const char *key, char *val);
    void (*unset)(const char *key);
    void (*setall)(HashTable *elems);
    // Arrays: the standard accessor shapes.
    char **(*getarr)(Param *pm);
    void (*setarr)(Param *pm, char **a);
    Param *pm;  // the parameter boot made, while it is there
};
// Make the module's parameters, replacing what had those names; 0 done.
int addspecialparams(SpecialParam *defs, int n);
// Remove those that are still the ones made.
void removespecialparams(SpecialParam *defs, int n);

// ---- the module of login watching (tarn/main) ----
// Report logins and logouts since the last call; the first call only
// takes the snapshot.
void dowatch();
// When the watch was last run (preprompt keeps it, LOGCHECK paces it).
extern time_t lastwatch;
// The session and history files; tests point them elsewhere.
void setwatchfiles(const char *utmp, const char *wtmp);
