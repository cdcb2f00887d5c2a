// The builtin table, the option parser every builtin shares, and the
// handlers that need nothing beyond the tables: true, false, enable.
#include "builtins/builtins.h"
#include "expand/expand.h"
#include "modules/module.h"

#include <array>
#include <cstdlib>
#include <cstring>

HashTable *builtintab;

namespace {

constexpr int ANY = -1;
constexpr int PRE = BI_PRECMD;
constexpr int PLUS = BI_PLUSOPTS;
constexpr int MEQ = BI_MAGICEQUALS;
constexpr int PSP = BI_PSPECIAL;
constexpr int CDOPTS = BI_SKIPINVALID | BI_SKIPDASH | BI_DASHDASHVALID;

// The core builtins, in the order they are added.
constexpr BuiltinEntry coretab[] = {
    mkbuiltin("-", PRE | BI_DASH, nullptr, 0, 0, 0, nullptr, nullptr),
    mkbuiltin("builtin", PRE | BI_BUILTIN, nullptr, 0, 0, 0, nullptr, nullptr),
    mkbuiltin("command", PRE | BI_COMMAND, nullptr, 0, 0, 0, nullptr, nullptr),
    mkbuiltin("exec", PRE | BI_EXEC, nullptr, 0, 0, 0, nullptr, nullptr),
    mkbuiltin("noglob", PRE | BI_NOGLOB, nullptr, 0, 0, 0, nullptr, nullptr),
    mkbuiltin("[", 0, bin_test, 0, ANY, BIN_BRACKET, nullptr, nullptr),
    mkbuiltin(".", PSP, bin_dot, 1, ANY, 0, nullptr, nullptr),
    mkbuiltin(":", PSP, bin_true, 0, ANY, 0, nullptr, nullptr),
    mkbuiltin("alias", PLUS | MEQ, bin_alias, 0, ANY, 0, "Lgmr", nullptr),
    mkbuiltin("autoload", PLUS, bin_functions, 0, ANY, 0, "tUXwkz", "u"),
    mkbuiltin("bg", 0, bin_fg, 0, ANY, BIN_BG, nullptr, nullptr),
    mkbuiltin("break", PSP, bin_break, 0, 1, BIN_BREAK, nullptr, nullptr),
    mkbuiltin("bye", 0, bin_break, 0, 1, BIN_EXIT, nullptr, nullptr),
    mkbuiltin("cd", CDOPTS, bin_cd, 0, 2, BIN_CD, "sPL", nullptr),
    mkbuiltin("chdir", CDOPTS, bin_cd, 0, 2, BIN_CD, "sPL", nullptr),
    mkbuiltin("continue", PSP, bin_break, 0, 1, BIN_CONTINUE, nullptr, nullptr),
    mkbuiltin("declare", PLUS | MEQ | PSP, bin_typeset, 0, ANY, 0, "AE:%F:%HL:%R:%TUZ:%afghi:%lprtux", nullptr),
    mkbuiltin("dirs", 0, bin_dirs, 0, ANY, 0, "clpv", nullptr),
    mkbuiltin("disable", 0, bin_enable, 0, ANY, BIN_DISABLE, "afmr", nullptr),
    mkbuiltin("disown", 0, bin_fg, 0, ANY, BIN_DISOWN, nullptr, nullptr),
    mkbuiltin("echo", BI_PRINTOPTS | BI_SKIPINVALID, bin_print, 0, ANY, BIN_ECHO, "neE", "-"),
    mkbuiltin("emulate", 0, bin_emulate, 1, 1, 0, "LR", nullptr),
    mkbuiltin("enable", 0, bin_enable, 0, ANY, BIN_ENABLE, "afmr", nullptr),
    mkbuiltin("eval", PSP, bin_eval, 0, ANY, BIN_EVAL, nullptr, nullptr),
    mkbuiltin("exit", PSP, bin_break, 0, 1, BIN_EXIT, nullptr, nullptr),
    mkbuiltin("export", PLUS | MEQ | PSP, bin_typeset, 0, ANY, BIN_EXPORT, "E:%F:%HL:%R:%TUZ:%afhi:%lprtu", "xg"),
    mkbuiltin("false", 0, bin_false, 0, ANY, 0, nullptr, nullptr),
    mkbuiltin("fc", 0, bin_fc, 0, ANY, BIN_FC, "nlre:IRWAdDfEim", nullptr),
    mkbuiltin("fg", 0, bin_fg, 0, ANY, BIN_FG, nullptr, nullptr),
    mkbuiltin("float", PLUS | MEQ | PSP, bin_typeset, 0, ANY, 0, "E:%F:%Hghlprtux", "E"),
    mkbuiltin("functions", PLUS, bin_functions, 0, ANY, 0, "mtuU", nullptr),
    mkbuiltin("getln", 0, bin_read, 0, ANY, 0, "ecnAlE", "zr"),
    mkbuiltin("getopts", 0, bin_getopts, 2, ANY, 0, nullptr, nullptr),
    mkbuiltin("hash", MEQ, bin_hash, 0, ANY, 0, "Ldfmrv", nullptr),
    mkbuiltin("history", 0, bin_fc, 0, ANY, BIN_FC, "nrdDfEim", "l"),
    mkbuiltin("integer", PLUS | MEQ | PSP, bin_typeset, 0, ANY, 0, "Hghi:%lprtux", "i"),
    mkbuiltin("jobs", 0, bin_fg, 0, ANY, BIN_JOBS, "dlpZrs", nullptr),
    mkbuiltin("kill", 0, bin_kill, 0, ANY, 0, nullptr, nullptr),
    mkbuiltin("let", 0, bin_let, 1, ANY, 0, nullptr, nullptr),
    mkbuiltin("local", PLUS | MEQ | PSP, bin_typeset, 0, ANY, 0, "AE:%F:%HL:%R:%TUZ:%ahi:%lprtux", nullptr),
    mkbuiltin("log", 0, bin_log, 0, 0, 0, nullptr, nullptr),
    mkbuiltin("logout", 0, bin_break, 0, 1, BIN_LOGOUT, nullptr, nullptr),
    mkbuiltin("popd", 0, bin_cd, 0, 1, BIN_POPD, nullptr, nullptr),
    mkbuiltin("print", BI_PRINTOPTS, bin_print, 0, ANY, BIN_PRINT, "abcC:Def:ilmnNoOpPrRsu:z-", nullptr),
    mkbuiltin("printf", 0, bin_print, 1, ANY, BIN_PRINTF, nullptr, nullptr),
    mkbuiltin("pushd", CDOPTS, bin_cd, 0, 2, BIN_PUSHD, "sPL", nullptr),
    mkbuiltin("pushln", BI_PRINTOPTS, bin_print, 0, ANY, BIN_PRINT, nullptr, "-nz"),
    mkbuiltin("pwd", 0, bin_pwd, 0, 0, 0, "rLP", nullptr),
    mkbuiltin("r", 0, bin_fc, 0, ANY, BIN_R, "nrl", nullptr),
    mkbuiltin("read", 0, bin_read, 0, ANY, 0, "cd:ek:%lnpqrst:%zu:AE", nullptr),
    mkbuiltin("readonly", PLUS | MEQ | PSP, bin_typeset, 0, ANY, 0, "AE:%F:%HL:%R:%TUZ:%afghi:%lptux", "r"),
    mkbuiltin("rehash", 0, bin_hash, 0, 0, 0, "df", "r"),
    mkbuiltin("return", PSP, bin_break, 0, 1, BIN_RETURN, nullptr, nullptr),
    mkbuiltin("set", PSP, bin_set, 0, ANY, 0, nullptr, nullptr),
    mkbuiltin("setopt", 0, bin_setopt, 0, ANY, 0, nullptr, nullptr),
    mkbuiltin("shift", PSP, bin_shift, 0, ANY, 0, nullptr, nullptr),
    mkbuiltin("source", PSP, bin_dot, 1, ANY, 0, nullptr, nullptr),
    mkbuiltin("suspend", 0, bin_suspend, 0, 0, 0, "f", nullptr),
    mkbuiltin("test", 0, bin_test, 0, ANY, BIN_TEST, nullptr, nullptr),
    mkbuiltin("ttyctl", 0, bin_ttyctl, 0, 0, 0, "fu", nullptr),
    mkbuiltin("times", PSP, bin_times, 0, 0, 0, nullptr, nullptr),
    mkbuiltin("trap", PSP, bin_trap, 0, ANY, 0, nullptr, nullptr),
    mkbuiltin("true", 0, bin_true, 0, ANY, 0, nullptr, nullptr),
    mkbuiltin("type", 0, bin_whence, 0, ANY, 0, "ampfsw", "v"),
    mkbuiltin("typeset", PLUS | MEQ | PSP, bin_typeset, 0, ANY, 0, "AE:%F:%HL:%R:%TUZ:%afghi:%lprtuxm", nullptr),
    mkbuiltin("umask", 0, bin_umask, 0, 1, 0, "S", nullptr),
    mkbuiltin("unalias", 0, bin_unhash, 1, ANY, 0, "m", "a"),
    mkbuiltin("unfunction", 0, bin_unhash, 1, ANY, 0, "m", "f"),
    mkbuiltin("unhash", 0, bin_unhash, 1, ANY, 0, "adfm", nullptr),
    mkbuiltin("unset", PSP, bin_unset, 1, ANY, 0, "fmv", nullptr),
    mkbuiltin("unsetopt", 0, bin_setopt, 0, ANY, 1, nullptr, nullptr),
    mkbuiltin("wait", 0, bin_fg, 0, ANY, BIN_WAIT, nullptr, nullptr),
    mkbuiltin("whence", 0, bin_whence, 0, ANY, 0, "acmpvfsw", nullptr),
    mkbuiltin("where", 0, bin_whence, 0, ANY, 0, "pmsw", "ca"),
    mkbuiltin("which", 0, bin_whence, 0, ANY, 0, "ampsw", "c"),
    mkbuiltin("qmodload", 0, bin_qmodload, 0, ANY, 0, "ARILabcfdipue", nullptr),
    mkbuiltin("qcompile", 0, bin_qcompile, 0, ANY, 0, "tUMRcmzka", nullptr),
};
constexpr int NCORE = int(sizeof(coretab) / sizeof(coretab[0]));
static_assert(NCORE == 77);

constexpr bool sameword(const char *a, const char *b)
{
    while (*a && *a == *b)
        a++, b++;
    return *a == *b;
}

// A second entry of one name would make addbuiltins report a clash at
// every start.
constexpr bool coretabunique()
{
    for (int i = 0; i < NCORE; i++)
        for (int j = i + 1; j < NCORE; j++)
            if (sameword(coretab[i].nam, coretab[j].nam))
                return false;
    return true;
}
static_assert(coretabunique());

// The nodes the table holds, laid out by the compiler from coretab, so a
// start-up copies nothing.
template <size_t N> constexpr std::array<BuiltinEntry, N> nodesof(const BuiltinEntry (&t)[N])
{
    std::array<BuiltinEntry, N> a{};
    for (size_t i = 0; i < N; i++)
        a[i] = t[i];
    return a;
}
constinit std::array<BuiltinEntry, NCORE> corebuiltins = nodesof(coretab);

void freebuiltinnode(HashNode *hn)
{
    Builtin *bn = static_cast<Builtin *>(hn);
    if (bn->flags & BI_ADDED)
        return;
    qsfree(bn->nam);
    qsfree(bn->option_letters);
    qfree(bn, sizeof(*bn));
}

void printbuiltinnode(HashNode *hn, int printflags)
{
    if (printflags & SHOW_WHENCE_WORD) {
        qputs(hn->nam, stdout);
        fputs(": builtin\n", stdout);
    } else if (printflags & SHOW_WHENCE_CSH) {
        qputs(hn->nam, stdout);
        fputs(": shell built-in command\n", stdout);
    } else if (printflags & SHOW_WHENCE_VERBOSE) {
        qputs(hn->nam, stdout);
        fputs(" is a shell builtin\n", stdout);
    } else {
        qputs(hn->nam, stdout);
        putchar('\n');
    }
}

bool startsopts(const char *w, int flags)
{
    return w && (*w == '-' || (*w == '+' && (flags & BI_PLUSOPTS)));
}

// The letter's entry in an option string; ':' and '%' are markers there.
const char *findoptletter(const char *optstr, unsigned char c)
{
    if (c == ':' || c == '%' || c >= MAX_OPS || !c)
        return nullptr;
    return strchr(optstr, c);
}

bool addoptarg(BuiltinOptions *ops, char *arg)
{
    if (ops->argscount == MAX_OPARGS)
        return false;
    if (ops->argscount == ops->argsalloc) {
        int nalloc = ops->argsalloc + 16;
        char **n = qhnew<char *>(size_t(nalloc));
        if (ops->argscount)
            memcpy(n, ops->args, sizeof(char *) * size_t(ops->argscount));
        ops->args = n;
        ops->argsalloc = nalloc;
    }
    ops->args[ops->argscount++] = arg;
    return true;
}

enum class ParseResult { OK, FAILED };

// Parse the option words at the head of *argvp, leaving *argvp at the
// first argument.  Messages name the builtin.
[[nodiscard]] ParseResult parseopts(const char *name, Builtin *bn, char ***argvp, BuiltinOptions *ops)
{
    char **argv = *argvp;
    const char *optstr = bn->option_letters;
    int flags = bn->flags;
    if (!optstr || !startsopts(*argv, flags))
        return ParseResult::OK;
    for (;;) {
        char *arg = *argv;
        if (!(flags & BI_KEEPNUM) && idigit(static_cast<unsigned char>(arg[1])))
            break;
        if ((flags & BI_SKIPDASH) && !arg[1])
            break;
        if ((flags & BI_DASHDASHVALID) && !strcmp(arg, "--")) {
            argv++;
            break;
        }
        // A lone - is a word echo prints in sh emulation, as POSIX scripts expect.
        if ((flags & BI_SKIPINVALID) && !arg[1] && emulating(EMULATE_SH))
            break;
        if (flags & BI_SKIPINVALID) {
            const char *p = arg + 1;
            while (*p && findoptletter(optstr, static_cast<unsigned char>(*p)))
                p++;
            if (*p)
                break;
        }
        bool plus = *arg == '+';
        arg++;
        if (*arg == '-')
            arg++;
        if (!*arg) {
            ops->ind['-'] = 1;
            if (plus)
                ops->ind['+'] = 1;
        }
        while (*arg) {
            unsigned char c = static_cast<unsigned char>(*arg);
            const char *op = findoptletter(optstr, c);
            if (!op) {
                int bad = c;
                if (c == METACHAR && arg[1])
                    bad = static_cast<unsigned char>(arg[1]) ^ 32;
                qwarn("bad option: -%c", nullptr, bad);
                return ParseResult::FAILED;
            }
            ops->ind[c] = plus ? 2 : 1;
            if (op[1] != ':') {
                arg++;
                continue;
            }
            char *optarg = nullptr;
            if (op[2] == ':') {
                if (arg[1])
                    optarg = arg + 1;
            } else if (op[2] == '%') {
                // The next word only serves when the letter ends its word:
                // taking it would drop the letters still to come.
                if (idigit(static_cast<unsigned char>(arg[1])))
                    optarg = arg + 1;
                else if (!arg[1] && argv[1] && idigit(static_cast<unsigned char>(*argv[1])))
                    optarg = *++argv;
            } else if (arg[1]) {
                optarg = arg + 1;
            } else if (argv[1]) {
                optarg = *++argv;
            } else {
                qwarnnam(name, "argument expected: -%c", nullptr, c);
                return ParseResult::FAILED;
            }
            if (!optarg) {
                arg++;
                continue;
            }
            if (!addoptarg(ops, optarg)) {
                qwarnnam(name, "too many option arguments", nullptr, 0);
                return ParseResult::FAILED;
            }
            ops->ind[c] |= static_cast<unsigned char>(ops->argscount << 2);
            break;  // the argument took the rest of the word
        }
        argv++;
        // After R, print reads its remaining options the way echo does.
        if ((flags & BI_PRINTOPTS) && ops->ind['R'] && !ops->ind['f']) {
            optstr = "ne";
            flags |= BI_SKIPINVALID;
        }
        if (ops->ind['-'] || !startsopts(*argv, flags))
            break;
    }
    *argvp = argv;
    return ParseResult::OK;
}

}  // namespace

const int corebuiltincount = NCORE;

void createbuiltintable()
{
    builtintab = newhashtable(85, "builtintab", nullptr);
    builtintab->hash = hasher;
    builtintab->emptytable = emptyhashtable;
    builtintab->filltable = nullptr;
    builtintab->cmpnodes = strcmp;
    builtintab->addnode = addhashnode;
    builtintab->getnode = gethashnode;
    builtintab->getnode2 = gethashnode2;
    builtintab->removenode = removehashnode;
    builtintab->disablenode = disablehashnode;
    builtintab->enablenode = enablehashnode;
    builtintab->freenode = freebuiltinnode;
    builtintab->printnode = printbuiltinnode;
    // A table made again (tests make several) takes the nodes back as
    // they were: out of any table, enabled.
    for (BuiltinEntry &b : corebuiltins) {
        b.next = nullptr;
        b.flags &= ~(BI_ADDED | NODE_DISABLED);
    }
    addbuiltins("tarn", corebuiltins.data(), NCORE);
}

Builtin *getbuiltin(const char *name)
{
    Builtin *bn = static_cast<Builtin *>(builtintab->getnode(builtintab, name));
    if (bn && !bn->handler && !(bn->flags & BI_PRECMD) && bn->option_letters) {
        // Loading replaces (and frees) the stub, module name included.
        char *mod = dupstring(bn->option_letters);
        load_module(mod);
        bn = static_cast<Builtin *>(builtintab->getnode(builtintab, name));
    }
    return bn;
}

void tracebuiltin(const char *name, char **words)
{
    printprompt4();
    qputs(name, xtrerr);
    for (char **w = words; *w; w++) {
        putc(' ', xtrerr);
        quotedqputs(*w, xtrerr);
    }
    putc('\n', xtrerr);
    fflush(xtrerr);
}

#ifdef TARN_CHECK_META
void (*metafaulthook)();
#endif

int execbuiltin(LinkList *args, Builtin *bn)
{
    // Whether to trace is decided now: the handler may change xtrace.
    bool xtr = isset(XTRACE);
    BuiltinOptions ops;
    memset(ops.ind, 0, sizeof(ops.ind));
    ops.args = nullptr;
    ops.argscount = ops.argsalloc = 0;
    char *name = static_cast<char *>(ugetnode(args));

    if (!bn->handler) {
        qwarnnam(name, "autoload failed", nullptr, 0);
        deletebuiltin(bn->nam);
        return 1;
    }

    int n = countlinknodes(args);
    char **argarr = qhnew<char *>(size_t(n) + 1);
    char **ap = argarr;
    for (LinkNode *node = firstnode(args); node; incnode(node))
        *ap++ = static_cast<char *>(getdata(node));
    *ap = nullptr;
#ifdef TARN_CHECK_META
    for (char **a = argarr; *a; a++)
        for (char *c = *a; *c; c++)
            if (static_cast<unsigned char>(*c) == METACHAR && !*++c) {
                fprintf(stderr, "tarn: %s: argument %d ends in a lone metafication marker\n", name,
                        int(a - argarr) + 1);
                if (metafaulthook)
                    metafaulthook();
                std::abort();
            }
#endif

    char **argv = argarr;
    if (parseopts(name, bn, &argv, &ops) == ParseResult::FAILED)
        return 1;
    if (bn->default_options)
        for (const char *d = bn->default_options; *d; d++)
            if (static_cast<unsigned char>(*d) < MAX_OPS && !ops.ind[static_cast<unsigned char>(*d)])
                ops.ind[static_cast<unsigned char>(*d)] = 1;
    if (errflag) {
        errflag = 0;
        return 1;
    }
    int argc = arrlen(argv);
    if (argc < bn->minargs || (bn->maxargs != -1 && argc > bn->maxargs)) {
        qwarnnam(name, argc < bn->minargs ? "not enough arguments" : "too many arguments", nullptr, 0);
        return 1;
    }
    if (xtr)
        tracebuiltin(name, argarr);
    return bn->handler(name, argv, &ops, bn->function_code);
}

int bin_notavail(char *nam, char **, BuiltinOptions *, int)
{
    qwarnnam(nam, "not available on this system", nullptr, 0);
    return 1;
}

int bin_notyet(char *nam, char **, BuiltinOptions *, int)
{
    qwarnnam(nam, "not available yet", nullptr, 0);
    return 1;
}

int bin_true(char *, char **, BuiltinOptions *, int) { return 0; }
int bin_false(char *, char **, BuiltinOptions *, int) { return 1; }

namespace {

NodeFunc enablefn;
void callenablefn(HashNode *hn, int) { enablefn(hn); }

void printnodename(HashNode *hn, int)
{
    qputs(hn->nam, stdout);
    putchar('\n');
}

}  // namespace

int bin_enable(char *name, char **argv, BuiltinOptions *ops, int func)
{
    HashTable *ht = opt_isset(ops, 'f')   ? shfunctab
                    : opt_isset(ops, 'r') ? reswdtab
                    : opt_isset(ops, 'a') ? aliastab
                                          : builtintab;
    bool enable = func == BIN_ENABLE;
    int flags1 = enable ? 0 : NODE_DISABLED;
    int flags2 = enable ? NODE_DISABLED : 0;
    NodeFunc fn = enable ? ht->enablenode : ht->disablenode;

    if (!*argv) {
        SignalGuard sg;
        scanhashtable(ht, 1, flags1, flags2, ht->printnode ? ht->printnode : printnodename, 0);
        return 0;
    }
    if (!fn)
        return 1;
    int status = 0;
    if (opt_isset(ops, 'm')) {
        int matched = 0;
        for (; *argv; argv++) {
            Patprog *pprog = patternarg(name, *argv);
            if (!pprog) {
                status = 1;
                continue;
            }
            SignalGuard sg;
            enablefn = fn;
            matched += scanmatchtable(ht, pprog, 0, 0, callenablefn, 0);
        }
        return matched ? status : 1;
    }
    SignalGuard sg;
    for (; *argv; argv++) {
        if (HashNode *hn = ht->getnode2(ht, *argv)) {
            fn(hn);
        } else {
            qwarnnam(name, "no such hash table element: %s", *argv, 0);
            status = 1;
        }
    }
    return status;
}

Patprog *patternarg(const char *nam, const char *arg)
{
    char *pat = dupstring(arg);
    tokenize(pat);
    Patprog *pp = patcompile(pat, 0, nullptr);
    if (!pp)
        qwarnnam(nam, "bad pattern : %s", arg, 0);
    return pp;
}
