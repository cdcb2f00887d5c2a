// tarn/qutil: qstyle, the context-dependent settings of shell code (the
// completion functions above all), and qparseopts, option parsing for
// shell functions.
#include "exec/exec.h"
#include "expand/expand.h"
#include "lang/lang.h"
#include "modules/extra/extra.h"

#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

// A permanent array of copies of the words.
char **permarray(const std::vector<char *> &v)
{
    char **a = qnew<char *>(v.size() + 1);
    for (size_t i = 0; i < v.size(); i++)
        a[i] = qtrdup(v[i]);
    a[v.size()] = nullptr;
    return a;
}

// ---- styles ----

struct StylePat {
    StylePat *next;
    char *pat;       // as given
    Patprog *prog;   // permanent
    int weight;
    Eprog *eval;     // qstyle -e: run for each lookup; or null
    char **vals;     // permanent, null-terminated
};

struct Style {
    Style *next;
    StylePat *pats;  // by decreasing weight, the earlier first among equals
    char *name;
};

// In order of first definition.
Style *styles, **stylestail = &styles;

// The evaluated entries now running: a lookup that comes back to one of
// them answers "no value" rather than recursing without end.
std::vector<Eprog *> running;

// Each colon-separated component scores 0 when it is a lone "*", 1 when
// it holds pattern characters and 2 when literal: more literal
// components make a more specific pattern.
int patweight(const char *p)
{
    int w = 0;
    for (;;) {
        const char *e = strchr(p, ':');
        size_t n = e ? size_t(e - p) : strlen(p);
        if (n == 1 && *p == '*')
            ;
        else if (memchr(p, '(', n) || memchr(p, '|', n) || memchr(p, '*', n) || memchr(p, '[', n) ||
                 memchr(p, '<', n) || memchr(p, '?', n) || memchr(p, '#', n) || memchr(p, '^', n))
            w += 1;
        else
            w += 2;
        if (!e)
            return w;
        p = e + 1;
    }
}

void freestylepat(StylePat *p)
{
    qsfree(p->pat);
    freepatprog(p->prog);
    if (p->eval)
        freeeprog(p->eval);
    freearray(p->vals);
    qfree(p, sizeof(*p));
}

void freestyle(Style *s)
{
    while (StylePat *p = s->pats) {
        s->pats = p->next;
        freestylepat(p);
    }
    qsfree(s->name);
    qfree(s, sizeof(*s));
}

Style *findstyle(const char *name)
{
    for (Style *s = styles; s; s = s->next)
        if (!strcmp(s->name, name))
            return s;
    return nullptr;
}

void relinktail()
{
    stylestail = &styles;
    while (*stylestail)
        stylestail = &(*stylestail)->next;
}

// Drop styles left with no entries.
void prunestyles()
{
    for (Style **sp = &styles; *sp;) {
        if (!(*sp)->pats) {
            Style *s = *sp;
            *sp = s->next;
            freestyle(s);
        } else {
            sp = &(*sp)->next;
        }
    }
    relinktail();
}

void deleteallstyles()
{
    while (Style *s = styles) {
        styles = s->next;
        freestyle(s);
    }
    stylestail = &styles;
}

// Remove the entry with exactly this pattern from s; true when found.
bool removepat(Style *s, const char *pat)
{
    for (StylePat **pp = &s->pats; *pp; pp = &(*pp)->next) {
        if (!strcmp((*pp)->pat, pat)) {
            StylePat *p = *pp;
            *pp = p->next;
            freestylepat(p);
            return true;
        }
    }
    return false;
}

// A pattern as written (PC_PERMANENT for one a style keeps).
Patprog *compilepat(const char *pat, int flags)
{
    char *t = dupstring(pat);
    tokenize(t);
    remnulargs(t);
    return patcompile(t, flags, nullptr);
}

// Run an evaluated entry; its answer in arena memory, or null.
char **evalstylepat(StylePat *p)
{
    Eprog *prog = p->eval;
    for (Eprog *r : running)
        if (r == prog)
            return nullptr;
    // Held while it runs: a qstyle -d or redefinition inside may drop
    // the entry, not the program.
    useeprog(prog);
    running.push_back(prog);
    unsetparam("reply");
    int ef = errflag;
    errflag = 0;
    execode(prog, 1, 0, "style");
    running.pop_back();
    freeeprog(prog);
    if (errflag) {
        errflag = ef;
        return nullptr;
    }
    errflag = ef;
    SignalGuard sg;
    char **r = nullptr;
    if (char **a = getaparam("reply")) {
        r = arrdup(a);
    } else if (char *sv = getsparam("reply")) {
        r = hcnew<char *>(2);
        r[0] = dupstring(sv);
    }
    unsetparam("reply");
    return r;
}

// The value of style for context, in arena memory; null when none.
char **lookupstyle(const char *ctxt, const char *style)
{
    Style *s = findstyle(style);
    if (!s)
        return nullptr;
    for (StylePat *p = s->pats; p; p = p->next) {
        if (pattry(p->prog, ctxt)) {
            if (p->eval)
                return evalstylepat(p);
            return arrdup(p->vals);
        }
    }
    return nullptr;
}

int definestyle(const char *nam, char **args, bool eval)
{
    if (!args[0] || !args[1]) {
        qwarnnam(nam, "not enough arguments", nullptr, 0);
        return 1;
    }
    Patprog *prog = compilepat(args[0], PC_PERMANENT);
    if (!prog) {
        qwarnnam(nam, "invalid pattern: %s", args[0], 0);
        return 1;
    }
    Eprog *code = nullptr;
    if (eval) {
        char *text = sepjoin(args + 2, " ", 1);
        int ef = errflag;
        Eprog *p;
        {
            NoErrsGuard quiet(1);
            p = parse_string(text, 0);
        }
        int bad = errflag;
        errflag = ef;
        if (!p || bad) {
            freepatprog(prog);
            return 1;
        }
        code = dupeprog(p, 0);
    }
    SignalGuard sg;
    Style *s = findstyle(args[1]);
    if (!s) {
        s = qcnew<Style>();
        s->name = qtrdup(args[1]);
        *stylestail = s;
        stylestail = &s->next;
    }
    for (StylePat *p = s->pats; p; p = p->next) {
        if (!strcmp(p->pat, args[0])) {
            // Same pattern: new values in the old place.
            freepatprog(prog);
            if (p->eval)
                freeeprog(p->eval);
            p->eval = code;
            freearray(p->vals);
            p->vals = qarrdup(args + 2);
            return 0;
        }
    }
    StylePat *n = qcnew<StylePat>();
    n->pat = qtrdup(args[0]);
    n->prog = prog;
    n->weight = patweight(args[0]);
    n->eval = code;
    n->vals = qarrdup(args + 2);
    StylePat **pp = &s->pats;
    while (*pp && (*pp)->weight >= n->weight)
        pp = &(*pp)->next;
    n->next = *pp;
    *pp = n;
    return 0;
}

void liststyles(bool ascommands)
{
    for (Style *s = styles; s; s = s->next) {
        if (!ascommands) {
            quotedqputs(s->name, stdout);
            putchar('\n');
        }
        for (StylePat *p = s->pats; p; p = p->next) {
            if (ascommands) {
                fputs(p->eval ? "qstyle -e " : "qstyle ", stdout);
                quotedqputs(p->pat, stdout);
                putchar(' ');
                quotedqputs(s->name, stdout);
            } else {
                fputs(p->eval ? "(eval)  " : "        ", stdout);
                qputs(p->pat, stdout);
            }
            for (char **v = p->vals; *v; v++) {
                putchar(' ');
                quotedqputs(*v, stdout);
            }
            putchar('\n');
        }
    }
}

bool istrue(const char *v)
{
    return !strcmp(v, "yes") || !strcmp(v, "true") || !strcmp(v, "on") || !strcmp(v, "1");
}

int bin_qstyle(char *nam, char **argv, BuiltinOptions *, int)
{
    if (!*argv) {
        liststyles(false);
        return 0;
    }
    const char *a0 = *argv;
    if (a0[0] != '-')
        return definestyle(nam, argv, false);
    if (!strcmp(a0, "-") || !strcmp(a0, "--"))
        return definestyle(nam, argv + 1, false);
    if (!strcmp(a0, "-e"))
        return definestyle(nam, argv + 1, true);
    if (strlen(a0) > 2) {
        qwarnnam(nam, "invalid argument: %s", a0, 0);
        return 1;
    }
    char opt = a0[1];
    int minc, maxc;
    switch (opt) {
    case 'L': minc = 0, maxc = 0; break;
    case 's': minc = 3, maxc = 4; break;
    case 'b': case 'a': case 'm': minc = 3, maxc = 3; break;
    case 't': case 'T': minc = 2, maxc = -1; break;
    case 'd': minc = 0, maxc = -1; break;
    case 'g': minc = 1, maxc = 3; break;
    default:
        qwarnnam(nam, "invalid option: %s", a0, 0);
        return 1;
    }
    char **args = argv + 1;
    int n = arrlen(args);
    if (n < minc) {
        qwarnnam(nam, "not enough arguments", nullptr, 0);
        return 1;
    }
    if (maxc >= 0 && n > maxc) {
        qwarnnam(nam, "too many arguments", nullptr, 0);
        return 1;
    }
    switch (opt) {
    case 'L':
        liststyles(true);
        return 0;
    case 's': {
        char **v = lookupstyle(args[0], args[1]);
        if (!v || !*v) {
            setsparam(args[2], qtrdup(""));
            return 1;
        }
        setsparam(args[2], qtrdup(sepjoin(v, args[3] ? args[3] : " ", 1)));
        return 0;
    }
    case 'b': {
        char **v = lookupstyle(args[0], args[1]);
        bool yes = v && v[0] && !v[1] && istrue(v[0]);
        setsparam(args[2], qtrdup(yes ? "yes" : "no"));
        return yes ? 0 : 1;
    }
    case 'a': {
        char **v = lookupstyle(args[0], args[1]);
        setaparam(args[2], v ? qarrdup(v) : qcnew<char *>(1));
        return v ? 0 : 1;
    }
    case 't':
    case 'T': {
        char **v = lookupstyle(args[0], args[1]);
        if (!v)
            return opt == 't' ? 2 : 0;
        if (!*v)
            return opt == 't' ? 1 : 0;
        if (!args[2])
            return istrue(v[0]) ? 0 : 1;
        for (char **x = v; *x; x++)
            for (char **y = args + 2; *y; y++)
                if (!strcmp(*x, *y))
                    return 0;
        return 1;
    }
    case 'm': {
        char **v = lookupstyle(args[0], args[1]);
        if (!v)
            return 1;
        Patprog *prog = compilepat(args[2], 0);
        if (!prog)
            return 1;
        for (; *v; v++)
            if (pattry(prog, *v))
                return 0;
        return 1;
    }
    case 'd': {
        SignalGuard sg;
        if (!n) {
            deleteallstyles();
        } else if (n == 1) {
            for (Style *s = styles; s; s = s->next)
                removepat(s, args[0]);
        } else {
            for (char **sn = args + 1; *sn; sn++)
                if (Style *s = findstyle(*sn))
                    removepat(s, args[0]);
        }
        prunestyles();
        return 0;
    }
    case 'g': {
        std::vector<char *> out;
        int ret = 0;
        if (n == 1) {
            for (Style *s = styles; s; s = s->next)
                for (StylePat *p = s->pats; p; p = p->next) {
                    bool seen = false;
                    for (char *o : out)
                        if (!strcmp(o, p->pat)) {
                            seen = true;
                            break;
                        }
                    if (!seen)
                        out.push_back(p->pat);
                }
        } else if (n == 2) {
            for (Style *s = styles; s; s = s->next)
                for (StylePat *p = s->pats; p; p = p->next)
                    if (!strcmp(p->pat, args[1]))
                        out.push_back(s->name);
            ret = out.empty();
        } else {
            Style *s = findstyle(args[2]);
            StylePat *p = s ? s->pats : nullptr;
            while (p && strcmp(p->pat, args[1]))
                p = p->next;
            if (p)
                for (char **v = p->vals; *v; v++)
                    out.push_back(*v);
            else
                ret = 1;
        }
        setaparam(args[0], permarray(out));
        return ret;
    }
    }
    return 1;
}

// ---- qparseopts ----

enum : int { QPO_ARG = 1, QPO_OPTARG = 2, QPO_MULT = 4, QPO_SAMEWORD = 8 };

struct Popt;

struct Poccur {
    Popt *owner;
    char *arg;     // or null
    Poccur *next;  // in the owner's own list
};

struct Parr {
    char *name;
    std::vector<Poccur *> entries;  // in order of first occurrence
};

struct Popt {
    char *name;
    int flags;
    Parr *arr;  // or null: only the associative array
    Poccur *first, **last;
};

// A description: the name (backslash escapes a character; it ends at an
// unescaped '+', ':' or '='), then "+", then ":" or "::", either perhaps
// with "-", then "=array".  False when it is not of that form.
bool parsedesc(const char *d, Popt *o, char **arrname)
{
    std::string name;
    const char *s = d;
    while (*s && *s != '+' && *s != ':' && *s != '=') {
        if (*s == '\\' && s[1])
            s++;
        name += *s++;
    }
    if (name.empty())
        return false;
    int flags = 0;
    if (*s == '+')
        flags |= QPO_MULT, s++;
    if (*s == ':') {
        flags |= QPO_ARG, s++;
        if (*s == ':')
            flags |= QPO_OPTARG, s++;
        if (*s == '-')
            flags |= QPO_SAMEWORD, s++;
    }
    *arrname = nullptr;
    if (*s == '=') {
        if (!s[1])
            return false;
        *arrname = dupstring(s + 1);
        s += strlen(s);
    }
    if (*s)
        return false;
    o->name = dupstring(name.c_str());
    o->flags = flags;
    return true;
}

void storeoccur(Popt *o, char *arg)
{
    if (!(o->flags & QPO_MULT) && o->first) {
        o->first->arg = arg;
        return;
    }
    Poccur *c = hcnew<Poccur>();
    c->owner = o;
    c->arg = arg;
    *o->last = c;
    o->last = &c->next;
    if (o->arr)
        o->arr->entries.push_back(c);
}

// The words an occurrence stores: "-name", "-name" and the argument, or
// the two in one word for an optional argument or ":-".
void occurwords(Poccur *c, std::vector<char *> &out)
{
    char *opt = dyncat("-", c->owner->name);
    if (!c->arg) {
        out.push_back(opt);
    } else if (!(c->owner->flags & (QPO_OPTARG | QPO_SAMEWORD))) {
        out.push_back(opt);
        out.push_back(c->arg);
    } else {
        out.push_back(dyncat(opt, c->arg));
    }
}

int bin_qparseopts(char *nam, char **argv, BuiltinOptions *, int)
{
    char *defarr = nullptr, *assoc = nullptr;
    bool del = false, extract = false, keep = false;
    for (; *argv && **argv == '-'; argv++) {
        char *a = *argv;
        if (!a[1] || (a[1] == '-' && !a[2])) {
            argv++;
            break;
        }
        if (a[1] == '-')
            break;
        if (a[1] == 'a' || a[1] == 'A') {
            char *name = a[2] ? a + 2 : argv[1];
            if (!name) {
                qwarnnam(nam, "missing array name", nullptr, 0);
                return 1;
            }
            if (!a[2])
                argv++;
            if (a[1] == 'A') {
                assoc = name;
            } else {
                if (defarr) {
                    qwarnnam(nam, "default array given more than once", nullptr, 0);
                    return 1;
                }
                defarr = name;
            }
            continue;
        }
        if (a[1] == 'D' || a[1] == 'E' || a[1] == 'K') {
            if (a[2])
                break;
            (a[1] == 'D' ? del : a[1] == 'E' ? extract : keep) = true;
        }
        // Anything else beginning with '-' is not ours: skipped.
    }
    if (!*argv) {
        qwarnnam(nam, "missing option descriptions", nullptr, 0);
        return 1;
    }
    // Stable addresses: occurrences point at their option and arrays.
    std::deque<Popt> optl;
    std::deque<Parr> arrs;
    Popt *single[256] = {};
    auto findarr = [&](const char *name) {
        for (Parr &p : arrs)
            if (!strcmp(p.name, name))
                return &p;
        arrs.push_back(Parr{dupstring(name), {}});
        return &arrs.back();
    };
    for (; *argv; argv++) {
        Popt o{};
        char *arrname;
        if (!parsedesc(*argv, &o, &arrname)) {
            qwarnnam(nam, "invalid option description: %s", *argv, 0);
            return 1;
        }
        if (!arrname && !defarr && !assoc) {
            qwarnnam(nam, "no default array defined: %s", *argv, 0);
            return 1;
        }
        for (Popt &p : optl)
            if (!strcmp(p.name, o.name)) {
                qwarnnam(nam, "option defined more than once: %s", o.name, 0);
                return 1;
            }
        if (arrname || defarr)
            o.arr = findarr(arrname ? arrname : defarr);
        optl.push_back(o);
        Popt *op = &optl.back();
        op->last = &op->first;
        if (!op->name[1])
            single[static_cast<unsigned char>(op->name[0])] = op;
    }
    if (defarr)
        findarr(defarr);

    // The scan.  taken marks the words -D -E removes.
    char **pp = pparams;
    int np = arrlen(pp);
    std::vector<bool> taken(size_t(np), false);
    int i = 0;
    for (; i < np; i++) {
        char *w = pp[i];
        if (!strcmp(w, "-") || !strcmp(w, "--")) {
            if (!extract)
                i++;  // the ending word goes with the options
            break;
        }
        if (w[0] != '-') {
            if (extract)
                continue;
            break;
        }
        const char *rest = w + 1;
        // The whole word as a long name first.
        Popt *lo = nullptr;
        char *larg = nullptr;
        for (Popt &o : optl) {
            size_t ln = strlen(o.name);
            if (!(o.flags & QPO_ARG) ? !strcmp(rest, o.name) : !strncmp(rest, o.name, ln)) {
                lo = &o;
                if ((o.flags & QPO_ARG) && rest[ln])
                    larg = dupstring(rest + ln);
                break;
            }
        }
        // Or a cluster of one-letter options, all of them or none: an
        // option taking an argument takes the rest of the word.
        struct Pending {
            Popt *o;
            char *arg;
        };
        std::vector<Pending> found;
        if (lo) {
            found.push_back({lo, larg});
        } else {
            for (const char *c = rest; *c; c++) {
                Popt *o = single[static_cast<unsigned char>(*c)];
                if (!o) {
                    found.clear();
                    break;
                }
                if (o->flags & QPO_ARG) {
                    found.push_back({o, c[1] ? dupstring(c + 1) : nullptr});
                    break;
                }
                found.push_back({o, nullptr});
            }
        }
        if (found.empty()) {
            if (extract)
                continue;
            break;
        }
        taken[size_t(i)] = true;
        Pending &lastp = found.back();
        if ((lastp.o->flags & QPO_ARG) && !lastp.arg && !(lastp.o->flags & QPO_OPTARG)) {
            // A required argument left out of the word is the next word.
            if (i + 1 >= np) {
                qwarnnam(nam, "missing argument for option: %s", lastp.o->name, 0);
                return 1;
            }
            lastp.arg = dupstring(pp[++i]);
            taken[size_t(i)] = true;
        }
        for (Pending &f : found)
            storeoccur(f.o, f.arg);
    }
    int stop = i < np ? i : np;

    // The results.
    for (Parr &a : arrs) {
        if (keep && a.entries.empty())
            continue;
        std::vector<char *> words;
        for (Poccur *c : a.entries)
            occurwords(c, words);
        setaparam(a.name, permarray(words));
    }
    if (assoc) {
        std::vector<char *> kv;
        for (Popt &o : optl) {
            if (!o.first)
                continue;
            std::string val;
            for (Poccur *c = o.first; c; c = c->next) {
                if (!c->arg)
                    continue;
                if (!val.empty())
                    val += ' ';
                val += c->arg;
            }
            kv.push_back(dyncat("-", o.name));
            kv.push_back(dupstring(val.c_str()));
        }
        if (!(keep && kv.empty()))
            sethparam(assoc, permarray(kv));
    }
    if (del) {
        std::vector<char *> left;
        for (int k = 0; k < np; k++)
            if (extract ? !taken[size_t(k)] : k >= stop)
                left.push_back(pp[k]);
        char **npp = permarray(left);
        setpparams(npp);
    }
    return 0;
}

Builtin bintab[] = {
    mkbuiltin("qparseopts", 0, bin_qparseopts, 0, -1, 0, nullptr, nullptr),
    mkbuiltin("qstyle", 0, bin_qstyle, 0, -1, 0, nullptr, nullptr),
};

}  // namespace

int setup_tarnQsqutil(Module *) { return 0; }

int boot_tarnQsqutil(Module *m) { return !addbuiltins(m->nam, bintab, int(sizeof(bintab) / sizeof(*bintab))); }

int cleanup_tarnQsqutil(Module *m)
{
    deletebuiltins(m->nam, bintab, int(sizeof(bintab) / sizeof(*bintab)));
    return 0;
}

int finish_tarnQsqutil(Module *)
{
    SignalGuard sg;
    deleteallstyles();
    return 0;
}
