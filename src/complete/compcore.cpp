// The completion module: it answers the editor's "complete" hook by
// running the completion widget's shell function with the special
// parameters that describe the word (or, without a function, by asking
// the default completions through "compctl_make"), collects what the
// function adds, and decides from what it left in compstate how the
// result is inserted and listed.
#include "complete/complete.h"
#include "exec/exec.h"
#include "lang/lang.h"
#include "modules/module.h"
#include "params/params.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

Cmgroup *amatches, *pmatches, *lastpmatches, *mgroup;
int nmatches, smatches, diffmatches, nmessages, hasallmatch, permmnum, permgnum, validlist, hasoldlist,
    lastpermmnum, lastpermgnum;
Aminfo *ainfo, *fainfo;
Cmatch **amatchlist;
char *compprefix, *compsuffix, *compiprefix, *compisuffix, *compqiprefix, *compqisuffix;
int64_t compcurrent;
Heap *matchheaps;
char **compwords, **compredirs;
char *compcontext, *compparameter, *compredirect, *compquote, *compquoting, *comprestore, *complist, *compinsert,
    *compexact, *compexactstr, *comppatmatch, *comppatinsert, *complastprompt, *comptoend, *compoldlist,
    *compoldins, *compvared;
int64_t complistmax;
int useline, useexact, uselist, forcelist, onlyexpl, startauto, movetoend, insspace, menuwasactive;
int complistlines, compignored;
int incompfunc_level;
int menuselected;

Hookdef comphooks[] = {
    {nullptr, "insert_match", nullptr, HOOKF_ALL, nullptr},
    {nullptr, "menu_start", nullptr, HOOKF_ALL, nullptr},
    {nullptr, "compctl_make", nullptr, 0, nullptr},
    {nullptr, "compctl_cleanup", nullptr, 0, nullptr},
    {nullptr, "comp_list_matches", ilistmatches_hookdef, 0, nullptr},
};

namespace {

Widget *lastcompwidget;
int oldlist, oldins;  // the function asked to keep the old list or menu position

void setstr(char **var, const char *v)
{
    qsfree(*var);
    *var = v ? qtrdup(v) : nullptr;
}

const char *nz(const char *s) { return s ? s : ""; }

// ---- the special parameters ----

struct StateKey {
    const char *name;
    char **var;
    int64_t *ivar;
    bool ro;
    char *(*get)();  // computed on reading
};

char *nmatchesget()
{
    char b[24];
    snprintf(b, sizeof b, "%d", nmatches);
    return dupstring(b);
}
char *unambigget() { return unambig_string(nullptr, nullptr, nullptr); }
char *unambigcursorget()
{
    int c;
    unambig_string(&c, nullptr, nullptr);
    char b[24];
    snprintf(b, sizeof b, "%d", c);
    return dupstring(b);
}
char *unambigposget()
{
    char *p;
    unambig_string(nullptr, &p, nullptr);
    return p;
}
char *insposget()
{
    char *p;
    unambig_string(nullptr, nullptr, &p);
    return p;
}
char *listlinesget()
{
    char b[24];
    snprintf(b, sizeof b, "%d", list_lines());
    return dupstring(b);
}
char *allquotesget()
{
    std::string s;
    for (const char *q = compqstack; q && *q; q++)
        s += *q == '\\' ? 'b' : *q == '\'' ? 's' : *q == '"' ? 'd' : *q == '`' ? 'q' : *q;
    return dupstring(s.c_str());
}
char *ignoredget()
{
    char b[24];
    snprintf(b, sizeof b, "%d", compignored);
    return dupstring(b);
}

StateKey statekeys[] = {
    {"nmatches", nullptr, nullptr, true, nmatchesget},
    {"context", &compcontext, nullptr, false, nullptr},
    {"parameter", &compparameter, nullptr, false, nullptr},
    {"redirect", &compredirect, nullptr, false, nullptr},
    {"quote", &compquote, nullptr, true, nullptr},
    {"quoting", &compquoting, nullptr, true, nullptr},
    {"restore", &comprestore, nullptr, false, nullptr},
    {"list", &complist, nullptr, false, nullptr},
    {"insert", &compinsert, nullptr, false, nullptr},
    {"exact", &compexact, nullptr, false, nullptr},
    {"exact_string", &compexactstr, nullptr, false, nullptr},
    {"pattern_match", &comppatmatch, nullptr, false, nullptr},
    {"pattern_insert", &comppatinsert, nullptr, false, nullptr},
    {"unambiguous", nullptr, nullptr, true, unambigget},
    {"unambiguous_cursor", nullptr, nullptr, true, unambigcursorget},
    {"unambiguous_positions", nullptr, nullptr, true, unambigposget},
    {"insert_positions", nullptr, nullptr, true, insposget},
    {"list_max", nullptr, &complistmax, false, nullptr},
    {"last_prompt", &complastprompt, nullptr, false, nullptr},
    {"to_end", &comptoend, nullptr, false, nullptr},
    {"old_list", &compoldlist, nullptr, false, nullptr},
    {"old_insert", &compoldins, nullptr, false, nullptr},
    {"vared", &compvared, nullptr, false, nullptr},
    {"list_lines", nullptr, nullptr, true, listlinesget},
    {"all_quotes", nullptr, nullptr, true, allquotesget},
    {"ignored", nullptr, nullptr, true, ignoredget},
};

StateKey *findkey(const char *name)
{
    for (StateKey &k : statekeys)
        if (!strcmp(k.name, name))
            return &k;
    return nullptr;
}

char *keyvalue(StateKey *k)
{
    if (k->get)
        return k->get();
    if (k->ivar) {
        char b[24];
        snprintf(b, sizeof b, "%lld", static_cast<long long>(*k->ivar));
        return dupstring(b);
    }
    return dupstring(nz(*k->var));
}

void keyset(Param *e, char *val)
{
    StateKey *k = findkey(e->nam);
    if (!k || k->ro) {
        qsfree(val);
        return;
    }
    if (k->ivar) {
        *k->ivar = val ? strtoll(val, nullptr, 10) : 0;
        qsfree(val);
    } else {
        qsfree(*k->var);
        *k->var = val;
    }
}

void keyunset(Param *e, int)
{
    StateKey *k = findkey(e->nam);
    if (k && !k->ro) {
        if (k->ivar)
            *k->ivar = 0;
        else
            setstr(k->var, nullptr);
    }
    e->flags |= PF_UNSET;
}

Param *keyparam(StateKey *k)
{
    Param *e = hcnew<Param>();
    e->nam = dupstring(k->name);
    e->flags = PF_SCALAR | PF_SPECIAL | (k->ro ? PF_READONLY : 0);
    e->value.str = keyvalue(k);
    e->getter.cfn = strgetfn;
    e->setter.cfn = keyset;
    e->unsetter = keyunset;
    return e;
}

HashNode *getstatekey(HashTable *, const char *name)
{
    StateKey *k = findkey(name);
    if (!k) {
        Param *e = hcnew<Param>();
        e->nam = dupstring(name);
        e->flags = PF_SCALAR | PF_SPECIAL | PF_UNSET | PF_READONLY;
        e->value.str = dupstring("");
        e->getter.cfn = strgetfn;
        e->setter.cfn = keyset;
        e->unsetter = keyunset;
        return e;
    }
    return keyparam(k);
}

void scanstatekeys(HashTable *, ScanFunc fn, int flags)
{
    for (StateKey &k : statekeys)
        fn(keyparam(&k), flags);
}

void setstatewhole(Param *, HashTable *elems)
{
    if (!elems)
        return;
    for (int i = 0; i < elems->hsize; i++)
        for (HashNode *hn = elems->nodes[i]; hn; hn = hn->next) {
            StateKey *k = findkey(hn->nam);
            Param *pm = static_cast<Param *>(hn);
            if (k && !k->ro) {
                Param e{};
                e.nam = const_cast<char *>(k->name);
                keyset(&e, qtrdup(pm->value.str ? pm->value.str : ""));
            }
        }
    deleteparamtable(elems);
}

void nostrset(Param *, char *v) { qsfree(v); }
void compunset(Param *pm, int) { pm->flags |= PF_UNSET; }

struct CompParam {
    const char *name;
    int type;
    void *var;
    bool ro;
};

CompParam compparams[] = {
    {"words", PF_ARRAY, &compwords, false},       {"redirections", PF_ARRAY, &compredirs, false},
    {"CURRENT", PF_INTEGER, &compcurrent, false}, {"PREFIX", PF_SCALAR, &compprefix, false},
    {"SUFFIX", PF_SCALAR, &compsuffix, false},    {"IPREFIX", PF_SCALAR, &compiprefix, false},
    {"ISUFFIX", PF_SCALAR, &compisuffix, false},  {"QIPREFIX", PF_SCALAR, &compqiprefix, true},
    {"QISUFFIX", PF_SCALAR, &compqisuffix, true},
};

void makecompparams()
{
    for (const CompParam &c : compparams) {
        int flags = c.type | PF_SPECIAL | PF_REMOVABLE | PF_LOCAL | (c.ro ? PF_READONLY : 0);
        Param *pm = createparam(c.name, flags);
        if (!pm)
            pm = static_cast<Param *>(paramtab->getnode(paramtab, c.name));
        if (!pm)
            continue;
        pm->level = locallevel;
        noteparamlevel(locallevel);
        pm->value.data = c.var;
        switch (c.type) {
        case PF_SCALAR:
            pm->getter.cfn = strvargetfn;
            pm->setter.cfn = c.ro ? nostrset : strvarsetfn;
            break;
        case PF_INTEGER:
            pm->getter.ifn = intvargetfn;
            pm->setter.ifn = intvarsetfn;
            break;
        case PF_ARRAY:
            pm->getter.afn = arrvargetfn;
            pm->setter.afn = arrvarsetfn;
            break;
        }
        pm->unsetter = compunset;
    }
    Param *pm = createspecialhash("compstate", getstatekey, scanstatekeys, PF_LOCAL | PF_REMOVABLE | PF_HIDEVAL);
    if (pm) {
        pm->level = locallevel;
        pm->setter.hfn = setstatewhole;
        pm->unsetter = compunset;
    }
}

// ---- running the completion function ----

char **dupwords(char **w, int from)
{
    int n = 0;
    while (w && w[n])
        n++;
    char **a = static_cast<char **>(qalloc(sizeof(char *) * size_t(n - from + 1 > 0 ? n - from + 1 : 1)));
    int k = 0;
    for (int i = from; i < n; i++)
        a[k++] = qtrdup(w[i]);
    a[k] = nullptr;
    return a;
}

void readback()
{
    // "list": how the result is listed.
    const char *l = nz(complist);
    uselist = !strncmp(l, "list", 4) ? 1 : !strncmp(l, "auto", 4) ? 2 : !strncmp(l, "ambig", 5) ? 3 : 0;
    forcelist = strstr(l, "force") != nullptr;
    onlyexpl = (strstr(l, "expl") ? 1 : 0) | (strstr(l, "messages") ? 2 : 0);
    // "insert": what goes into the line.
    const char *ins = compinsert;
    menuselected = 0;
    insspace = 0;
    if (!ins || !*ins) {
        useline = 0;
        usemenu = 0;
    } else if (strstr(ins, "tab")) {
        useline = -1;
    } else if (!strcmp(ins, "unambig") || !strcmp(ins, "unambiguous") || !strcmp(ins, "automenu-unambiguous")) {
        useline = 1;
        usemenu = 0;
    } else if (!strcmp(ins, "all")) {
        useline = 2;
        usemenu = 0;
    } else if (idigit(static_cast<unsigned char>(*ins)) || *ins == '-') {
        useline = 1;
        usemenu = 3;
        menuselected = int(strtol(ins, nullptr, 10));
        const char *e = ins + (*ins == '-');
        while (idigit(static_cast<unsigned char>(*e)))
            e++;
        insspace = *e == ' ';
    } else if (!strncmp(ins, "menu", 4)) {
        useline = 1;
        usemenu = 1;
    } else if (!strncmp(ins, "auto", 4)) {
        useline = 1;
        usemenu = 2;
    } else {
        useline = usemenu = 0;
    }
    if (ins && (!strncmp(ins, "menu", 4) || !strncmp(ins, "auto", 4))) {
        if (const char *c = strchr(ins, ':'))
            menuselected = int(strtol(c + 1, nullptr, 10));
    }
    startauto = ins && (!strcmp(ins, "automenu-unambiguous") || (bashlistfirst && isset(AUTOMENU) && !*ins));
    useexact = compexact && !strcmp(compexact, "accept");
    const char *te = nz(comptoend);
    movetoend = !*te ? 0 : !strcmp(te, "single") ? 1 : !strcmp(te, "always") ? 3 : 2;
    oldlist = compoldlist && !strcmp(compoldlist, "keep");
    oldins = compoldins && !strcmp(compoldins, "keep");
}

void run_completion_function(const char *word, int lst, int incmd)
{
    ShellFunc *shf = static_cast<ShellFunc *>(shfunctab->getnode(shfunctab, compfunc));
    if (!shf)
        return;
    setstr(&compvared, varedarg);
    // The context of the word.
    const char *ctx = "command";
    char **words = clwords;
    int from = 0;
    setstr(&compparameter, nullptr);
    setstr(&compredirect, nullptr);
    int pb = parambeg(word, offs);
    if (pb >= 0 && inwhat != IN_MATH) {
        ctx = word[pb + 1] == '{' ? "brace_parameter" : "parameter";
    } else if (inwhat == IN_MATH) {
        if (insubscr) {
            ctx = "subscript";
            setstr(&compparameter, varname);
        } else {
            ctx = "math";
        }
        words = nullptr;
    } else if (inwhat == IN_ENV) {
        ctx = linarr ? "array_value" : "value";
        setstr(&compparameter, varname);
        from = linarr ? 1 : 0;
    } else if (linredir) {
        ctx = "redirect";
        setstr(&compredirect, rdstr);
    } else if (inwhat == IN_COND) {
        ctx = "condition";
    }
    setstr(&compcontext, ctx);
    freearray(compwords);
    if (inwhat == IN_ENV && !linarr) {
        char *one[2] = {const_cast<char *>(word), nullptr};
        compwords = dupwords(one, 0);
        compcurrent = 1;
    } else {
        compwords = dupwords(words, from);
        compcurrent = clwpos - from + 1;
        if (clwpos < 0)
            compcurrent = arrlen(compwords) + 1;
    }
    freearray(compredirs);
    {
        int n = 0;
        for (LinkNode *nd = rdstrs ? firstnode(rdstrs) : nullptr; nd; nd = nextnode(nd))
            n++;
        compredirs = static_cast<char **>(qalloc(sizeof(char *) * size_t(n + 1)));
        n = 0;
        for (LinkNode *nd = rdstrs ? firstnode(rdstrs) : nullptr; nd; nd = nextnode(nd))
            compredirs[n++] = qtrdup(static_cast<char *>(getdata(nd)));
        compredirs[n] = nullptr;
    }
    setstr(&compquote, instring == 1 ? "'" : instring == 2 ? "\"" : inbackt ? "`" : "");
    setstr(&compquoting, instring == 1 ? "single" : instring == 2 ? "double" : inbackt ? "backtick" : "");
    // PREFIX and SUFFIX, unquoted.
    std::string w(word);
    std::string pre = isset(COMPLETEINWORD) ? w.substr(0, size_t(offs)) : w;
    std::string suf = isset(COMPLETEINWORD) ? w.substr(size_t(offs)) : "";
    if (inwhat != IN_MATH) {
        pre = comp_unquote(pre.c_str());
        suf = comp_unquote(suf.c_str());
    }
    setstr(&compprefix, pre.c_str());
    setstr(&compsuffix, suf.c_str());
    setstr(&compiprefix, "");
    setstr(&compisuffix, "");
    setstr(&compqiprefix, qipre ? qipre : "");
    setstr(&compqisuffix, qisuf ? qisuf : "");
    // "list" and "insert" as the options and the request say.
    std::string ls = uselist == 0 ? "" : uselist == 1 ? "list" : uselist == 2 ? "autolist" : "ambiguous";
    if (isset(LISTPACKED))
        ls += ls.empty() ? "packed" : " packed";
    if (isset(LISTROWSFIRST))
        ls += ls.empty() ? "rows" : " rows";
    setstr(&complist, ls.c_str());
    std::string ins;
    if (useline) {
        if (usemenu == 1 || usemenu == 3)
            ins = "menu";
        else if (usemenu == 2)
            ins = "automenu";
        else
            ins = isset(AUTOMENU) ? "automenu-unambiguous" : "unambiguous";
    }
    if (useline < 0 || wouldinstab)
        ins = "tab " + ins;
    setstr(&compinsert, ins.c_str());
    setstr(&compexact, useexact ? "accept" : "");
    setstr(&compexactstr, "");
    setstr(&comptoend, movetoend == 1 ? "single" : "match");
    setstr(&compoldlist, hasoldlist ? (listshown ? "shown" : "yes") : "");
    if (menucmp && minfo.cur >= 0 && minfo.group) {
        char b[24];
        snprintf(b, sizeof b, "%d", minfo.group->matches[minfo.cur]->rnum);
        setstr(&compoldins, b);
    } else {
        setstr(&compoldins, "");
    }
    setstr(&comprestore, "auto");

    LinkList *args = newlinklist();
    addlinknode(args, dupstring(compfunc));
    for (char **a = cfargs; a && *a; a++)
        addlinknode(args, dupstring(*a));
    int64_t olv = lastval;
    int osc = sfcontext;
    startparamscope();
    makecompparams();
    makekedparams(0);
    sfcontext = SFC_COMPLETE;
    incompfunc_level++;
    incompfunc = 1;
    // The matches compadd adds live on the request's heap, so the
    // function gets no heap of its own: popping it would free them.
    cfret = doshfunc(compfunc, shf->funcdef, args, shf->flags, 1);
    incompfunc_level--;
    incompfunc = incompfunc_level > 0;
    sfcontext = osc;
    endparamscope();
    lastval = olv;
    (void)lst;
    (void)incmd;
    readback();
}

int collect_matches(const char *word, int lst, int incmd)
{
    amatches = nullptr;
    mgroup = nullptr;
    nmatches = smatches = diffmatches = nmessages = hasallmatch = 0;
    compignored = 0;
    ainfo = hcnew<Aminfo>();
    fainfo = hcnew<Aminfo>();
    mstack = nullptr;
    begcmgroup("default", 0);
    int ofd = -1;
    if (compfunc) {
        // The function reads nothing from the terminal by accident.
        ofd = dup(0);
        if (ofd >= 0) {
            ofd = movefd(ofd);
            int nul = open("/dev/null", O_RDONLY);
            if (nul >= 0 && nul != 0) {
                dup2(nul, 0);
                close(nul);
            }
        }
        run_completion_function(word, lst, incmd);
    } else {
        // The defaults: the older module's answer.
        setstr(&compprefix, nullptr);
        std::string w(word);
        std::string pre = isset(COMPLETEINWORD) ? w.substr(0, size_t(offs)) : w;
        std::string suf = isset(COMPLETEINWORD) ? w.substr(size_t(offs)) : "";
        setstr(&compprefix, comp_unquote(pre.c_str()));
        setstr(&compsuffix, comp_unquote(suf.c_str()));
        setstr(&compiprefix, "");
        setstr(&compisuffix, "");
        oldlist = oldins = 0;
        menuselected = 0;
        CompldatA d{const_cast<char *>(word), incmd, lst};
        runcomphook(COMPCTLMAKEHOOK, &d);
    }
    endcmgroup(nullptr);
    runcomphook(COMPCTLCLEANUPHOOK, nullptr);
    if (ofd >= 0) {
        dup2(ofd, 0);
        close(ofd);
    }
    if (oldlist && hasoldlist && lastpmatches) {
        nmatches = lastpermmnum;
        pmatches = lastpmatches;
        permmnum = lastpermmnum;
        permgnum = lastpermgnum;
        validlist = 1;
        return 0;
    }
    invalidate_list();
    freematches(lastpmatches);
    lastpmatches = nullptr;
    permmatches(1);
    lastpmatches = pmatches;
    lastpermmnum = permmnum;
    lastpermgnum = permgnum;
    hasoldlist = 1;
    if ((!nmatches && !nmessages) || errflag) {
        errflag = errflag & ~ERRFLAG_ERROR;
        return 1;
    }
    validlist = 1;
    return 0;
}

// ---- the hooks ----

int do_completion(Hookdef *, void *data)
{
    CompldatA *cd = static_cast<CompldatA *>(data);
    HeapGuard hg;
    MatchHeapScope mhs;
    int ret = 0;
    compqstack = dupstring(instring == 1 ? "'" : instring == 2 ? "\"" : "\\");
    useline = wouldinstab ? -1 : cd->lst != COMP_LIST_COMPLETE;
    useexact = isset(RECEXACT);
    uselist = useline ? ((isset(AUTOLIST) && !isset(BASHAUTOLIST)) ? (isset(LISTAMBIGUOUS) ? 3 : 2) : 0) : 1;
    if (bashlistfirst)
        uselist = 1;
    forcelist = onlyexpl = 0;
    setstr(&comppatmatch, useglob ? "*" : "");
    setstr(&comppatinsert, "menu");
    complistmax = getiparam("LISTMAX");
    bool one = !(qmod.flags & MOD_MULT) || qmod.count == 1;
    setstr(&complastprompt, (isset(ALWAYSLASTPROMPT) && one) || (!isset(ALWAYSLASTPROMPT) && !one) ? "yes" : "");
    startauto = isset(AUTOMENU);
    movetoend = (offs == int(strlen(cd->s)) || isset(ALWAYSTOEND)) ? 2 : 1;
    std::string opm = nz(comppatmatch);
    if (collect_matches(cd->s, cd->lst, cd->incmd)) {
        setline(origline);
        tarncs = origcs;
        clearlist = 1;
        minfo.cur = -1;
        menucmp = 0;
        if (useline < 0)
            return selfinsert(nullptr);
        return 1;
    }
    if (opm != nz(comppatmatch) && comppatmatch && *comppatmatch)
        useglob = 1;
    if (usemenu == 3 || (menuselected && usemenu)) {
        // A match was named: a menu starting there.
        if (nmatches)
            do_ambig_menu();
        ret = nmatches ? 0 : 1;
    } else if (useline < 0) {
        ret = selfinsert(nullptr);
    } else if (!useline && uselist) {
        setline(origline);
        tarncs = origcs;
        showinglist = -2;
    } else if (useline == 2 && nmatches > 1) {
        do_allmatches(1);
        if (forcelist)
            showinglist = -2;
        else
            invalidate_list();
    } else if (useline) {
        if (nmatches > 1 && diffmatches) {
            ret = do_ambiguous();
            if (!showinglist && uselist && listshown && (usemenu == 2 || oldlist))
                showinglist = -2;
        } else if (nmatches) {
            Cmgroup *g;
            Cmatch *m = matchat(0, &g);
            if (m) {
                minfo.cur = -1;
                minfo.group = nullptr;
                do_single(m);
            }
            if (forcelist)
                showinglist = -2;
            else
                invalidate_list();
        } else if (nmessages && forcelist) {
            showinglist = -2;
        }
    } else {
        invalidate_list();
        if (forcelist)
            clearlist = 1;
        setline(origline);
        tarncs = origcs;
    }
    if (!showinglist && validlist && uselist && usemenu != 2 && (nmatches != 1 || diffmatches) && useline >= 0 &&
        useline != 2 && (!oldlist || !listshown)) {
        onlyexpl = 3;
        showinglist = -2;
    }
    if (tarncs > tarnll)
        tarncs = tarnll;
    return ret;
}

int before_complete(Hookdef *, void *data)
{
    int lst = *static_cast<int *>(data);
    menuwasactive = menucmp;
    if (menucmp && lst != COMP_LIST_EXPAND && (!compwidget || compwidget == lastcompwidget)) {
        do_menucmp(lst);
        return 1;
    }
    if (menucmp && validlist && lst == COMP_LIST_COMPLETE) {
        showinglist = -2;
        return 1;
    }
    lastcompwidget = compwidget;
    if (isset(AUTOMENU) && lastambig && (!isset(BASHAUTOLIST) || lastambig == 2))
        usemenu = 2;
    return 0;
}

int after_complete(Hookdef *, void *)
{
    if (menucmp && !menuwasactive) {
        struct {
            Cmgroup *g;
            int n, m;
        } d = {pmatches, permmnum, nmessages};
        int r = runcomphook(MENUSTARTHOOK, &d);
        if (r) {
            menucmp = 0;
            minfo.cur = -1;
            if (r == 2) {
                setline(origline);
                tarncs = origcs;
                invalidate_list();
            }
        }
    }
    return 0;
}

// read -c and -l inside a completion function: the words of the command
// being completed, or the whole line, instead of input; with -n the
// cursor's word number or position.
int compctlread(const char *name, char **args, void *opsp, char *reply)
{
    BuiltinOptions *ops = static_cast<BuiltinOptions *>(opsp);
    if (!incompfunc) {
        qwarnnam(name, "option valid only in functions called from completion", nullptr, 0);
        return 1;
    }
    bool print = opt_isset(ops, 'e') || opt_isset(ops, 'E');
    bool assign = !opt_isset(ops, 'e');
    if (opt_isset(ops, 'n')) {
        int64_t v = opt_isset(ops, 'l') ? int64_t(tarncs) + 1 : compcurrent;
        if (print)
            printf("%lld\n", static_cast<long long>(v));
        if (assign)
            setiparam(reply, v);
        return 0;
    }
    char **words;
    if (opt_isset(ops, 'l')) {
        char *ln = dupstrpfx(reinterpret_cast<char *>(line), size_t(tarnll));
        if (opt_isset(ops, 'A')) {
            LinkList *l = spacesplit(ln, 0, 1, 0);
            int n = 0;
            for (LinkNode *nd = firstnode(l); nd; nd = nextnode(nd))
                n++;
            words = static_cast<char **>(qhalloc(sizeof(char *) * size_t(n + 1)));
            n = 0;
            for (LinkNode *nd = firstnode(l); nd; nd = nextnode(nd))
                words[n++] = static_cast<char *>(getdata(nd));
            words[n] = nullptr;
        } else {
            static char *one[2];
            one[0] = ln;
            one[1] = nullptr;
            words = one;
        }
    } else {
        words = compwords ? compwords : static_cast<char **>(qhalloc(sizeof(char *)));
        if (!compwords)
            *words = nullptr;
    }
    if (print) {
        for (char **w = words; *w; w++) {
            fputs(unmeta(*w), stdout);
            putchar(w[1] ? ' ' : '\n');
        }
        fflush(stdout);
    }
    if (!assign)
        return 0;
    if (opt_isset(ops, 'A')) {
        setaparam(reply, qarrdup(words));
        return 0;
    }
    // One word to each name, the rest joined to the last.
    const char *nm = reply;
    char **w = words;
    while (nm) {
        const char *next = *args;
        if (next)
            args++;
        if (!next && *w && w[1]) {
            setsparam(nm, sepjoin(w, nullptr, 0));
            break;
        }
        setsparam(nm, qtrdup(*w ? *w : ""));
        if (*w)
            w++;
        nm = next;
    }
    return 0;
}

// With compstate[restore]=auto, a function called from the completion
// function gives back the special parameters it changed when it returns,
// so helpers can move PREFIX and IPREFIX about without undoing it.
int comp_wrapper(Eprog *prog, FuncWrap *rest, char *name)
{
    if (!incompfunc || !comprestore || strcmp(comprestore, "auto"))
        return 1;
    char **strs[] = {&compprefix, &compsuffix, &compiprefix, &compisuffix, &compqiprefix, &compqisuffix};
    char *saved[6];
    for (int i = 0; i < 6; i++)
        saved[i] = *strs[i] ? qtrdup(*strs[i]) : nullptr;
    char **owords = compwords ? qarrdup(compwords) : nullptr;
    int64_t ocur = compcurrent;
    runshfunc(prog, rest, name);
    for (int i = 0; i < 6; i++) {
        qsfree(*strs[i]);
        *strs[i] = saved[i];
    }
    freearray(compwords);
    compwords = owords;
    compcurrent = ocur;
    return 0;
}

FuncWrap compwrapper = {nullptr, 0, comp_wrapper, nullptr};

BuiltinEntry compbuiltins[] = {
    mkbuiltin("compadd", 0, bin_compadd, 0, -1, 0, nullptr, nullptr),
    mkbuiltin("compset", 0, bin_compset, 1, 3, 0, nullptr, nullptr),
};

Conddef compconds[] = {
    {nullptr, const_cast<char *>("prefix"), 0, cond_psfix, 1, 2, 0, nullptr},
    {nullptr, const_cast<char *>("suffix"), 0, cond_psfix, 1, 2, 1, nullptr},
    {nullptr, const_cast<char *>("between"), 0, cond_range, 2, 2, 1, nullptr},
    {nullptr, const_cast<char *>("after"), 0, cond_range, 1, 1, 0, nullptr},
};

struct HookFn {
    const char *name;
    Hookfn fn;
};
constexpr HookFn hookfns[] = {
    {"complete", do_completion},
    {"before_complete", before_complete},
    {"after_complete", after_complete},
    {"accept_completion", accept_completion_hook},
    {"list_matches", list_matches_hook},
    {"invalidate_list", invalidate_list_hook},
    {"reverse_menu", reverse_menu_hook},
};

}  // namespace

int ilistmatches_hookdef(Hookdef *, void *) { return ilistmatches(); }

int setup_tarnQscomplete(Module *)
{
    minfo.cur = -1;
    minfo.group = nullptr;
    return 0;
}

int boot_tarnQscomplete(Module *m)
{
    for (const HookFn &h : hookfns)
        addhookfunc(h.name, h.fn);
    addhookdefs("tarn/complete", comphooks, int(sizeof comphooks / sizeof *comphooks));
    listlistptr = listlist_impl;
    addconddefs("tarn/complete", compconds, int(sizeof compconds / sizeof *compconds));
    compctlreadptr = compctlread;
    addwrapper(m, &compwrapper);
    return addbuiltins("tarn/complete", compbuiltins, int(sizeof compbuiltins / sizeof *compbuiltins)) == 1 ? 0
                                                                                                           : 1;
}

int cleanup_tarnQscomplete(Module *m)
{
    invalidate_list();
    for (const HookFn &h : hookfns)
        deletehookfunc(h.name, h.fn);
    deletehookdefs("tarn/complete", comphooks, int(sizeof comphooks / sizeof *comphooks));
    listlistptr = nullptr;
    deleteconddefs("tarn/complete", compconds, int(sizeof compconds / sizeof *compconds));
    compctlreadptr = fallback_compctlread;
    deletewrapper(m, &compwrapper);
    deletebuiltins("tarn/complete", compbuiltins, int(sizeof compbuiltins / sizeof *compbuiltins));
    return 0;
}

int finish_tarnQscomplete(Module *)
{
    freematches(lastpmatches);
    lastpmatches = pmatches = nullptr;
    char **strs[] = {&compprefix,  &compsuffix,  &compiprefix,  &compisuffix, &compqiprefix, &compqisuffix,
                     &compcontext, &compparameter, &compredirect, &compquote, &compquoting, &comprestore,
                     &complist,    &compinsert,  &compexact,    &compexactstr, &comppatmatch, &comppatinsert,
                     &complastprompt, &comptoend, &compoldlist, &compoldins, &compvared};
    for (char **s : strs)
        setstr(s, nullptr);
    freearray(compwords);
    freearray(compredirs);
    compwords = compredirs = nullptr;
    return 0;
}
