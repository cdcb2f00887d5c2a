// The module registry: linked modules and module entries, loading with
// dependencies and aliases, the feature registries (builtins, conditions,
// hooks, parameters, math functions, wrappers), autoload stubs and qmodload.
#pragma once

#include "builtins/builtins.h"
#include "core/core.h"

struct Eprog;
struct Module;
struct mnumber;  // the arithmetic value; the evaluator defines it

using ModuleFunc = int (*)(Module *);

// A module compiled into the shell: its name and four entry points, each
// returning 0 on success.
struct Linkedmod {
    const char *name;
    ModuleFunc setup, boot, cleanup, finish;
};

enum : int {
    MOD_BUSY = 0x01,     // its dependencies are being loaded
    MOD_UNLOAD = 0x02,   // unload asked for while one of its wrappers runs
    MOD_INIT = 0x04,     // setup or boot running
    MOD_LINKED = 0x08,   // u.linked is meaningful
    MOD_SETUP = 0x10,
    MOD_BOOTED = 0x20,
    MOD_ALIAS = 0x40,    // u.alias names the target
};

struct Module {
    char *nam;  // owned
    int flags;
    union {
        Linkedmod *linked;  // while loaded, else null
        char *alias;        // owned target name of an alias
    } u;
    LinkList *deps;  // owned module names, or null
    int wrapper;     // wrapper calls of this module now running
};

extern LinkList *linkedmodules;  // Linkedmod *, registered besides the build's own
extern LinkList *modules;        // Module *, new entries at the tail

void register_module(const char *name, ModuleFunc setup, ModuleFunc boot, ModuleFunc cleanup, ModuleFunc finish);
Linkedmod *module_linked(const char *name);
int module_loaded(const char *name);
// 1 loaded (or already, or being set up), 0 failed.  silent drops the
// "failed to load module" report for a module that is not linked in.
int load_module(const char *name, char **args = nullptr, int silent = 0);
int require_module(const char *caller, const char *name, int ignored, int test);
// 0 done or deferred, 1 refused.  node: m's node in modules, or null.
int unload_module(Module *m, LinkNode *node);
void add_dep(const char *name, const char *dep);
// The entry of a name, following aliases when aliasp; *namep (when
// given) gets the final name.  Null when there is none.
Module *find_module(const char *name, int aliasp, const char **namep);
// A name of components of letters, digits and "_" joined by single "/".
bool modname_ok(const char *name);
void delete_module(LinkNode *node);

// ---- builtins ----
// Registrations of many records return 1 all done, 2 some, 0 none.
int addbuiltin(Builtin *b);
int addbuiltins(const char *nam, Builtin *binl, int size);
int deletebuiltin(const char *nam);
int deletebuiltins(const char *nam, Builtin *binl, int size);
int add_autobin(const char *name, const char *module);

// ---- conditions ----
using CondHandler = int (*)(char **args, int id);
enum : int { CONDF_INFIX = 0x01, CONDF_ADDED = 0x02 };
struct Conddef {
    Conddef *next;
    char *name;
    int flags;
    CondHandler handler;
    int min, max;
    int condid;
    char *module;  // an autoload stub's module; null for a real definition
};
extern Conddef *condtab;
Conddef *getconddef(int inf, const char *name, int autoload);
int addconddef(Conddef *c);
int addconddefs(const char *nam, Conddef *c, int size);
int deleteconddef(Conddef *c);
int deleteconddefs(const char *nam, Conddef *c, int size);
int add_autocond(const char *name, int inf, const char *module);

// ---- hooks ----
struct Hookdef;
using Hookfn = int (*)(Hookdef *, void *);
enum : int { HOOKF_ALL = 0x01 };
struct Hookdef {
    Hookdef *next;
    const char *name;
    Hookfn def;
    int flags;
    LinkList *funcs;  // Hookfn, in the order added
};

// The hooks of the core, indexed by these numbers.
enum : int { EXITHOOK = 0, BEFORETRAPHOOK = 1, AFTERTRAPHOOK = 2 };
extern Hookdef basehooks[];
extern const int basehookcount;
extern Hookdef *hooktab;

Hookdef *gethookdef(const char *name);
int addhookdef(Hookdef *h);
int addhookdefs(const char *nam, Hookdef *h, int size);
int deletehookdef(Hookdef *h);
int deletehookdefs(const char *nam, Hookdef *h, int size);
int addhookdeffunc(Hookdef *h, Hookfn f);
int addhookfunc(const char *name, Hookfn f);
int deletehookdeffunc(Hookdef *h, Hookfn f);
int deletehookfunc(const char *name, Hookfn f);
int runhookdef(Hookdef *h, void *data);
int runhookdef(int hook, void *data);  // one of basehooks
int runhook(const char *name, void *data);

// ---- parameters ----
// The parameter layer's get/set/unset functions, cast to its own types.
using ParamFn = void (*)();
struct Paramdef {
    const char *name;
    int flags;
    void *var;
    ParamFn getfn, setfn, unsetfn;
};
constexpr int PF_AUTOLOAD_FLAG = 0x800000;
// How the registry reaches the parameter table; the parameter layer
// installs its own functions.  Until it does, a small list of the
// registered names stands in, so stubs can be made and listed.
struct ParamRegistry {
    int (*add)(Paramdef *d);                          // 0 done, 1 failed
    void (*remove)(const char *name);                 // unset it by name
    void (*addauto)(const char *name, const char *module);
    // 0 no such parameter, 1 an autoload stub (*module set), 2 a real one
    int (*state)(const char *name, const char **module);
    void (*scanauto)(void (*fn)(const char *name, const char *module, void *data), void *data);
};
extern ParamRegistry paramreg;
int addparamdef(Paramdef *d);
int addparamdefs(const char *nam, Paramdef *d, int size);
int deleteparamdef(Paramdef *d);
int deleteparamdefs(const char *nam, Paramdef *d, int size);
int add_autoparam(const char *name, const char *module);

// ---- math functions ----
using NumMathFunc = mnumber (*)(char *name, int argc, mnumber *argv, int id);
using StrMathFunc = mnumber (*)(char *name, char *arg, int id);
enum : int { MFF_STR = 0x01, MFF_ADDED = 0x02 };
struct MathFunc {
    MathFunc *next;
    char *name;
    int flags;
    NumMathFunc nfunc;
    StrMathFunc sfunc;
    char *module;  // an autoload stub's module
    int minargs, maxargs;
    int funcid;
};
extern MathFunc *mathfuncs;
MathFunc *getmathfunc(const char *name, int autoload);
int addmathfunc(MathFunc *f);
int addmathfuncs(const char *nam, MathFunc *f, int size);
int deletemathfunc(MathFunc *f);
int deletemathfuncs(const char *nam, MathFunc *f, int size);
int add_automathfunc(const char *name, const char *module);

// ---- function wrappers ----
struct FuncWrap;
// Non-zero lets the chain go on; 0 when the handler ran the function.
using WrapFunc = int (*)(Eprog *prog, FuncWrap *rest, char *name);
enum : int { WRAPF_ADDED = 0x01 };
struct FuncWrap {
    FuncWrap *next;
    int flags;
    WrapFunc handler;
    Module *module;
};
extern FuncWrap *wrappers;
int addwrapper(Module *m, FuncWrap *w);
int deletewrapper(Module *m, FuncWrap *w);
// Call the wrappers from w on; 1 when the function body still has to be
// run (every wrapper let the chain go on), 0 when one of them ran it.
int runwrappers(Eprog *prog, FuncWrap *w, char *name);

// Register the linked modules and the start-up stubs, load tarn/main.
int init_bltinmods();

// The editor module's entry points: the registry links it in by these
// alone, so nothing outside the editor needs its header.
int setup_tarnQsked(Module *);
int boot_tarnQsked(Module *);
int cleanup_tarnQsked(Module *);
int finish_tarnQsked(Module *);
int setup_tarnQskedparameter(Module *);
int boot_tarnQskedparameter(Module *);
int cleanup_tarnQskedparameter(Module *);
int finish_tarnQskedparameter(Module *);
int setup_tarnQscomplete(Module *);
int boot_tarnQscomplete(Module *);
int cleanup_tarnQscomplete(Module *);
int finish_tarnQscomplete(Module *);
int setup_tarnQscomplist(Module *);
int boot_tarnQscomplist(Module *);
int cleanup_tarnQscomplist(Module *);
int finish_tarnQscomplist(Module *);
int setup_tarnQscompctl(Module *);
int boot_tarnQscompctl(Module *);
int cleanup_tarnQscompctl(Module *);
int finish_tarnQscompctl(Module *);
