// The parameter table: values, types, scopes, subscripts, the
// environment and the special parameters.  Owns paramtab and every Param.
#pragma once

#include <cstdint>

#include "core/core.h"

struct Param;
struct mnumber;

// Parameter flags; the first 17 follow the typeset letters "aiEFALRZlurtxUhHT".
enum : int {
    PF_SCALAR = 0,
    PF_ARRAY = 0x1,
    PF_INTEGER = 0x2,
    PF_EFLOAT = 0x4,
    PF_FFLOAT = 0x8,
    PF_HASHED = 0x10,
    PF_LEFT = 0x20,
    PF_RIGHT_B = 0x40,
    PF_RIGHT_Z = 0x80,
    PF_LOWER = 0x100,
    PF_UPPER = 0x200,
    PF_READONLY = 0x400,
    PF_TAGGED = 0x800,
    PF_EXPORTED = 0x1000,
    PF_UNIQUE = 0x2000,
    PF_HIDE = 0x4000,
    PF_HIDEVAL = 0x8000,
    PF_TIED = 0x10000,
    PF_LOCAL = 0x20000,
    PF_SPECIAL = 0x40000,
    PF_DONTIMPORT = 0x80000,
    PF_RESTRICTED = 0x100000,
    PF_UNSET = 0x200000,
    PF_REMOVABLE = 0x400000,
    PF_AUTOLOAD = 0x800000,
    PF_NORESTORE = 0x1000000,
    PF_HASHELEM = 0x2000000,
    PF_NAMEDDIR = 0x4000000,
};
constexpr int PF_TYPEMASK = PF_ARRAY | PF_INTEGER | PF_EFLOAT | PF_FFLOAT | PF_HASHED;
constexpr int PF_TYPE(int f) { return f & PF_TYPEMASK; }

// Scan flags of a Value reference.
enum : int {
    SCAN_WANTVALS = 1,
    SCAN_WANTKEYS = 2,
    SCAN_WANTINDEX = 4,
    SCAN_MATCHKEY = 8,
    SCAN_MATCHVAL = 16,
    SCAN_MATCHMANY = 32,
    SCAN_ASSIGNING = 64,
    SCAN_KEYMATCH = 128,
    SCAN_DQUOTED = 256,
    SCAN_ISVAR_AT = -(1 << 15),
};
// An array reference with no scan flags asked for.
constexpr int SCAN_ARRONLY = 0x4000;

constexpr int ARRAY_INDEX_LIMIT = 262144;

// Accessors: which member is live depends on the parameter's type.
union ParamGetter {
    char *(*cfn)(Param *);
    char **(*afn)(Param *);
    int64_t (*ifn)(Param *);
    double (*ffn)(Param *);
    HashTable *(*hfn)(Param *);
};
union ParamSetter {
    void (*cfn)(Param *, char *);
    void (*afn)(Param *, char **);
    void (*ifn)(Param *, int64_t);
    void (*ffn)(Param *, double);
    void (*hfn)(Param *, HashTable *);
};

struct Param : HashNode {
    union {
        char *str;
        char **arr;
        int64_t val;
        double dval;
        HashTable *hash;
        void *data;  // the variable a special mirrors; an autoload stub's module
    } value;
    ParamSetter setter;
    ParamGetter getter;
    void (*unsetter)(Param *, int);
    int aux;             // output base, field width or float digits
    char *envstr;        // our name=value entry in the environment
    const char *tiedname;  // a tied special's partner
    Param *shadowed;     // the parameter this local one hides
    int level;           // locallevel when made local
    // Stored arrays keep their length and room so appending is amortised
    // O(1); valid while the standard array accessors own value.arr.
    int alen, acap;
    // An ordinary scalar's length in bytes, valid while value.str is
    // slenof: appends need not count what is already there.
    const char *slenof;
    size_t slen;
};

// A reference to a parameter or a slice of it (arena or caller's frame).
struct Value {
    Param *param;
    char **arrcache;
    int start, end;
    int arrmode;
    int wantindex;
};

extern HashTable *paramtab, *realparamtab;
extern Param *argvparam_pm;

// ---- table level ----
HashTable *newparamtable(int size, const char *name);
HashTable *copyparamtable(HashTable *t, const char *name);
void deleteparamtable(HashTable *t);
void freeparamnode(HashNode *hn);
void printparamnode(HashNode *hn, int printflags);
// export -p and readonly -p in sh emulation: lines any sh reads back.
constexpr int PRINT_POSIXEXPORT = 0x1000, PRINT_POSIXREADONLY = 0x2000;
void scanparamvals(HashNode *hn, int flags);
int scancountparams(HashTable *ht, int flags);
char **paramvalarr(HashTable *ht, int flags);

// ---- creation and removal ----
Param *createparam(const char *name, int flags);
// A special associative array whose elements a module computes: getn
// fetches one element (an arena Param), scan visits all of them.
Param *createspecialhash(const char *name, HashNode *(*getn)(HashTable *, const char *),
                         void (*scan)(HashTable *, ScanFunc, int), int flags);
void copyparam(Param *to, Param *from, int toplevel);
// Make a special parameter local at locallevel: its value is kept in a
// shadow copy that endparamscope writes back.
void localspecial(Param *pm);
int isident(const char *s);
void setaccessors(Param *pm);
void unsetparam(const char *name);
int unsetparam_pm(Param *pm, int altflag, int explicit_);
void stdunsetfn(Param *pm, int explicit_);
// Remove a parameter whatever its flags (module unloading).
void forceunsetparam(const char *name);
// Let the module registry make its stubs and parameters in paramtab.
void installparamreg();

// ---- references ----
Value *fetchvalue(Value *v, char **pptr, int bracks, int flags);
Value *getvalue(Value *v, char **pptr, int bracks);
int getindex(char **pptr, Value *v, int dq);
char *getstrvalue(Value *v);
char **getarrvalue(Value *v);
// False for a reference to one element of an ordinary array that lies
// past either end of it; true for anything else.
bool elementheld(Value *v);
int64_t getintvalue(Value *v);
mnumber getnumvalue(Value *v);
void setstrvalue(Value *v, char *val);
void setnumvalue(Value *v, mnumber val);
void setarrvalue(Value *v, char **val);
// Number of elements an array reference shows, without copying.
int arrvaluelen(Value *v);

// ---- by name ----
char *getsparam(const char *name);
char **getaparam(const char *name);
char **gethparam(const char *name);
char **gethkparam(const char *name);
int64_t getiparam(const char *name);
mnumber getnparam(const char *name);
Param *assignsparam(const char *name, char *val, int augment);
Param *assignaparam(const char *name, char **val, int augment);
Param *sethparam(const char *name, char **kvarr);
Param *setiparam(const char *name, int64_t val);
Param *setnparam(const char *name, mnumber val);
inline Param *setsparam(const char *name, char *val) { return assignsparam(name, val, 0); }
inline Param *setaparam(const char *name, char **val) { return assignaparam(name, val, 0); }

// Append ll bytes to an ordinary set scalar where its value lies, growing
// the room geometrically; false (nothing done) for a parameter with
// attributes, a special or an unset one, or under options that act on
// every assignment.
bool scalarappend(Param *pm, const char *lit, size_t ll);

// ---- standard accessors ----
char *strgetfn(Param *pm);
void scalarsetfn(Param *pm, char *s);
char **arrgetfn(Param *pm);
void arrsetfn(Param *pm, char **a);
int64_t intgetfn(Param *pm);
void integersetfn(Param *pm, int64_t v);
double doublegetfn(Param *pm);
void doublesetfn(Param *pm, double v);
HashTable *hashgetfn(Param *pm);
void hashsetfn(Param *pm, HashTable *h);
// Mirrors of shell variables (value.data points at the variable).
int64_t intvargetfn(Param *pm);
void intvarsetfn(Param *pm, int64_t v);
char *strvargetfn(Param *pm);
void strvarsetfn(Param *pm, char *s);
char **arrvargetfn(Param *pm);
void arrvarsetfn(Param *pm, char **a);
char *colonarrgetfn(Param *pm);
void colonarrsetfn(Param *pm, char *s);
// An editor variable; COLUMNS and LINES set the terminal size and call
// winsizechangedptr, which the editor installs.
void kedvarsetfn(Param *pm, int64_t v);
extern void (*winsizechangedptr)();
void nullstrsetfn(Param *pm, char *s);
void nullintsetfn(Param *pm, int64_t v);
void uniqarray(char **a);
void qhuniqarray(char **a);
// Join with a separator into an arena string.
char *qjoin(char **arr, int delim, int heap);
// Split at a delimiter into a permanent (heap 0) or arena array.
char **colonsplit(char *s, int uniq);

// ---- scopes ----
void startparamscope();
// Record that a parameter now has this local level (every place that sets
// a parameter's level calls it, so scopes that made no locals end fast).
void noteparamlevel(int level);
void endparamscope();

// ---- environment ----
char *addenv(const char *name, const char *value, int flags);
// Start-up: a plain exported parameter for an environment entry
// "name=value" whose name (the first namelen bytes) no parameter has and
// whose value needs no metafying.
Param *importparam(const char *entry, size_t namelen);
// Start the shell's own environment vector from the process's, keeping
// copies of the entries keep accepts (all when null).
void initenvarr(bool (*keep)(char *entry));
void delenv(char *str);
char *qgetenv(const char *name);
void export_param(Param *pm);
void arrfixenv(const char *name, char **arr);
char *makeenvstring(const char *name, const char *value, int flags);

// ---- numbers ----
char *convbase(char *buf, int64_t v, int base);
char *convfloat(double d, int digits, int flags, FILE *fout);

// ---- special parameters ----
void createparamtable();
// Give every parameter the shell set for later its value before a program
// gets the environment.
void settleenviron();
// Set the locale categories the shell's own behaviour depends on.
void setshelllocale(const char *name);
double getrawseconds();
// The seed of RANDOM's generator, applied when RANDOM is first read.
void seedrandom(unsigned seed);
void setrawseconds(double d);
int setsecondstype(Param *pm, int on, int off);
// Called by the restricted option: the protected parameters become
// special and restricted.
void restrictparams();

// Shell variables that special parameters mirror; this layer owns them.
extern char *prompt, *prompt2, *prompt3, *prompt4, *rprompt, *rprompt2, *sprompt;
extern char *postedit, *nullcmd, *readnullcmd, *qoptarg;
extern int64_t qoptind, shlvl, histsiz, savehistsiz;
extern pid_t ppid;  // lastpid and pipestats are the job table's
extern char **fpath, **cdpath, **manpath, **fignore, **mailpath, **watch, **psvar, **module_path;
extern char *qunderscore;  // $_: the last argument of the previous command
extern size_t underscorelen, underscoreused;
// Where a short $_ is kept (most are): rewritten by every command, it sits
// with the other state every command writes.
extern char underscorebuf[64];
// The cached user name and id for USERNAME.
extern char *cached_username;
extern uid_t cached_uid;

// Let pattern matches set MATCH/MBEGIN/MEND and match/mbegin/mend.
void init_matchrefs();
