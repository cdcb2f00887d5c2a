// The completion and expansion widgets: each decides whether the word at
// the cursor is completed, expanded, listed or corrected, finds the word,
// expands it through the shell's own expansion when that is the answer,
// and otherwise hands it to the completion module through the "complete"
// hook.  expand-cmd-path and end-of-list live here too.
#include "expand/expand.h"
#include "ked/ked.h"
#include "lang/lang.h"

#include <cstring>
#include <string>
#include <vector>

int usemenu, useglob, wouldinstab, lastambig, bashlistfirst, menucmp, menuacc;
int compfunc_running;
Widget *compwidget;
char *compfunc;
char **cfargs;
int cfret, comprecursive, incompfunc, fromcomp;
int (*listlistptr)(LinkList *l);
int lastlistlines;

namespace {

bool inrequest;

// The word as the shell reads it, tokenized, or null when it is not one
// word.
char *lexoneword(const char *raw)
{
    size_t n = strlen(raw);
    char *copy = static_cast<char *>(qhalloc(n + 2));
    memcpy(copy, raw, n);
    copy[n] = ' ';
    copy[n + 1] = '\0';
    LexGuard lg;
    NoErrsGuard ng(1);
    int oerr = errflag;
    int ona = noaliases;
    noaliases = 1;
    inpush(copy, 0, nullptr);
    strinbeg(0);
    incmdpos = 0;
    nocomments = 1;
    yylex();
    char *w = nullptr;
    if ((tok == LX_WORD || tok == LX_ASSIGN) && tokstr)
        w = dupstring(tokstr);
    yylex();
    if (tok != LX_EOF && tok != LX_SEPER && tok != LX_NEWLINE)
        w = nullptr;
    strinend();
    inpop();
    errflag = oerr;
    noaliases = ona;
    return w;
}

// A completion module answers the "complete" hook.
bool havecompmodule() { return kedhooks[COMPLETEHOOK].funcs && firstnode(kedhooks[COMPLETEHOOK].funcs); }

// Do the characters between the start of the line and the cursor leave a
// TAB to be inserted as text?
bool usetab()
{
    if (!keybuf || keybuf[0] != '\t' || keybuf[1])
        return false;
    for (int i = findbol(); i < tarncs; i++)
        if (line[i] != ' ' && line[i] != '\t')
            return false;
    if (compfunc) {
        wouldinstab = 1;
        return false;
    }
    return true;
}

int settab()
{
    usemenu = isset(MENUCOMPLETE);
    useglob = isset(GLOBCOMPLETE);
    wouldinstab = 0;
    return 0;
}

// Wildcards that make expand-or-complete expand the word.
bool haswildcards(const std::string &w)
{
    if (w == "[" || w == "]")
        return false;
    size_t i = 0;
    if (w.compare(0, 2, "%?") == 0)
        i = 2;
    bool sq = false, dq = false;
    for (; i < w.size(); i++) {
        char c = w[i];
        if (c == '\\') {
            i++;
            continue;
        }
        if (c == '\'' && !dq) {
            sq = !sq;
            continue;
        }
        if (c == '"' && !sq) {
            dq = !dq;
            continue;
        }
        if (sq || dq)
            continue;
        if (c == '$') {
            // Nothing inside a $ expression counts.
            if (i + 1 < w.size() && (w[i + 1] == '{' || w[i + 1] == '(' || w[i + 1] == '[')) {
                char open = w[i + 1], close = open == '{' ? '}' : open == '(' ? ')' : ']';
                int depth = 0;
                for (i++; i < w.size(); i++) {
                    if (w[i] == open)
                        depth++;
                    else if (w[i] == close && !--depth)
                        break;
                }
            }
            continue;
        }
        switch (c) {
        case '*':
        case '|':
        case '?':
            return true;
        case '#':
        case '^':
            if (isset(EXTENDEDGLOB))
                return true;
            break;
        case '[':
            if (w.find(']', i + 1) != std::string::npos)
                return true;
            break;
        case '<': {
            size_t e = w.find('>', i + 1);
            if (e != std::string::npos) {
                bool num = true;
                for (size_t k = i + 1; k < e; k++)
                    if (!idigit(static_cast<unsigned char>(w[k])) && w[k] != '-')
                        num = false;
                if (num)
                    return true;
            }
            break;
        }
        case '{':
            if (!isset(IGNOREBRACES) && w.find('}', i + 1) != std::string::npos)
                return true;
            break;
        case '(':
            if (i + 1 < w.size() && w[i + 1] == ':' && w.find(')', i) != std::string::npos)
                return true;
            break;
        }
    }
    return false;
}

// A parameter name that expand-or-complete expands rather than completes.
bool worthexpanding(const std::string &name)
{
    if (name.empty())
        return false;
    if (idigit(static_cast<unsigned char>(name[0])) || strchr("?*$-!@#", name[0]))
        return true;
    int count = 0;
    bool exact = false;
    Param *only = nullptr;
    for (int i = 0; i < paramtab->hsize && count < 3; i++)
        for (HashNode *hn = paramtab->nodes[i]; hn; hn = hn->next) {
            Param *pm = static_cast<Param *>(hn);
            if ((pm->flags & PF_UNSET) || strncmp(pm->nam, name.c_str(), name.size()))
                continue;
            count++;
            only = pm;
            if (!strcmp(pm->nam, name.c_str()))
                exact = true;
        }
    if (count == 1) {
        char *v = getsparam(only->nam);
        return v && *v;
    }
    return count > 1 && exact && !menucmp && (!havecompmodule() || isset(RECEXACT));
}

// Does expand-or-complete expand this word?
bool wantexpansion(const std::string &w, int offs)
{
    if (w.size() > 1 && w[0] == '=') {
        std::string name = w.substr(1);
        bool known = cmdnamtab->getnode(cmdnamtab, name.c_str()) != nullptr ||
                     findcmd(dupstring(name.c_str()), 0) != nullptr;
        if (known) {
            if (!havecompmodule() || isset(RECEXACT))
                return true;
            int n = 0;
            for (int i = 0; i < cmdnamtab->hsize; i++)
                for (HashNode *hn = cmdnamtab->nodes[i]; hn; hn = hn->next)
                    if (!strncmp(hn->nam, name.c_str(), name.size()))
                        n++;
            return n == 1;
        }
    }
    bool anydollar = false;
    for (size_t i = 0; i < w.size(); i++) {
        if (w[i] == '\\') {
            i++;
            continue;
        }
        if (w[i] == '\'' ) {
            size_t e = w.find('\'', i + 1);
            if (e == std::string::npos)
                break;
            i = e;
            continue;
        }
        if (w[i] != '$')
            continue;
        anydollar = true;
        if (i + 1 < w.size() && (w[i + 1] == '[' || (w[i + 1] == '(' && i + 2 < w.size() && w[i + 2] == '(')))
            break;
        if (i + 1 < w.size() && w[i + 1] == '(')
            return true;  // a command substitution is expanded
        if (i + 1 < w.size() && w[i + 1] == '{') {
            int depth = 0;
            size_t k = i + 1;
            for (; k < w.size(); k++) {
                if (w[k] == '{')
                    depth++;
                else if (w[k] == '}' && !--depth)
                    break;
            }
            if (k < w.size() && int(k) + 1 == offs)
                return true;
            i = k;
            continue;
        }
        size_t p = i + 1;
        while (p < w.size() && strchr("^=~", w[p]))
            p++;
        if (p < w.size() && (w[p] == '#' || w[p] == '+'))
            p++;
        size_t ns = p;
        if (p < w.size() && idigit(static_cast<unsigned char>(w[p]))) {
            while (p < w.size() && idigit(static_cast<unsigned char>(w[p])))
                p++;
        } else if (p < w.size() && strchr("?*$-!@", w[p])) {
            p++;
        } else {
            while (p < w.size() && (isalnum(static_cast<unsigned char>(w[p])) || w[p] == '_'))
                p++;
        }
        if (int(p) == offs && p > ns)
            return worthexpanding(w.substr(ns, p - ns));
        i = p - 1;
    }
    if (!anydollar && w.find('`') != std::string::npos)
        return true;
    if (anydollar && w.find("$(") != std::string::npos && w.find("$((") == std::string::npos)
        return true;
    return !useglob && haswildcards(w);
}

// Replace buffer bytes [from, to) by the metafied string s.
void replaceword(int from, int to, const char *s)
{
    tarncs = from;
    foredel(to - from);
    inststrlen(s, 1, -1);
}

// Expand the word; 0 when the line changed, else 1.
int doexpansion(const char *word, int type, int origtype)
{
    char *tw = lexoneword(word);
    if (!tw || !*tw)
        return 1;
    LinkList *l = newlinklist();
    addlinknode(l, tw);
    {
        NoErrsGuard ng(1);
        prefork(l, 0);
        if (errflag) {
            errflag = 0;
            return 1;
        }
        if (type == COMP_EXPAND || type == COMP_LIST_EXPAND) {
            int ong = opts[NULLGLOB];
            opts[NULLGLOB] = 1;
            globlist(l, 0);
            opts[NULLGLOB] = char(ong);
            if (errflag) {
                errflag = 0;
                return 1;
            }
        }
    }
    std::vector<std::string> res;
    for (LinkNode *n = firstnode(l); n; n = nextnode(n)) {
        char *s = static_cast<char *>(getdata(n));
        untokenize(s);
        res.push_back(s);
    }
    if (res.empty() || (res.size() == 1 && res[0].empty()))
        return 1;
    char *plain = unquoteword(word, 0);
    if (res.size() == 1 && plain && res[0] == plain)
        return 1;
    if (origtype == COMP_EXPAND_COMPLETE && res.size() == 1 && word[0] == '~' && !strchr(word, '/') &&
        !strchr(word, '$'))
        return 1;
    if (type == COMP_LIST_EXPAND) {
        LinkList *ll = newlinklist();
        for (const std::string &s : res)
            addlinknode(ll, dupstring(s.c_str()));
        return listlist(ll);
    }
    std::string out;
    for (size_t i = 0; i < res.size(); i++) {
        if (i)
            out += ' ';
        out += quoteforword(res[i].c_str());
    }
    if (res.size() > 1)
        out += ' ';
    replaceword(wb, we, out.c_str());
    return 0;
}

struct RequestGuard {
    RequestGuard() { inrequest = true; }
    ~RequestGuard() { inrequest = false; }
};

}  // namespace

char *quoteforword(const char *s)
{
    int mode = instring == 1 ? QT_SINGLE : instring == 2 ? QT_DOUBLE : QT_BACKSLASH;
    return bslashquote(s, nullptr, mode);
}

int inststrlen(const char *s, int move, int len)
{
    if (!s)
        return 0;
    if (len < 0)
        len = int(strlen(s));
    char *c = static_cast<char *>(qhalloc(size_t(len) + 1));
    memcpy(c, s, size_t(len));
    c[len] = '\0';
    int rl;
    char *u = unmetafy(c, &rl);
    spaceinline(rl);
    memcpy(line + tarncs, u, size_t(rl));
    if (move)
        tarncs += rl;
    return rl;
}

int listlist(LinkList *l)
{
    if (listlistptr)
        return listlistptr(l);
    return 1;
}

int docomplete(int type)
{
    if (inrequest && !comprecursive) {
        qwarn("completion cannot be used recursively (yet)", nullptr, 0);
        return 1;
    }
    RequestGuard rg;
    comprecursive = 0;
    int origtype = type;
    if (!module_loaded("tarn/compctl") && !havecompmodule()) {
        // Completion works without any set-up: the default answers come
        // with this module.
        NoErrsGuard ng(1);
        load_module("tarn/compctl", nullptr, 1);
    }
    int lst = type;
    if (runkedhook(BEFORECOMPLETEHOOK, &lst))
        return 0;
    // History references on the line are expanded first.
    if (bangchar && tarnll && memchr(line, bangchar, size_t(tarnll))) {
        std::string before(reinterpret_cast<char *>(line), size_t(tarnll));
        int ocs = tarncs;
        if (!expandhistory(nullptr)) {
            if (std::string(reinterpret_cast<char *>(line), size_t(tarnll)) != before)
                return 0;
        }
        tarncs = ocs;
    }
    HeapGuard hg;
    origline = metafiedline();
    origcs = tarncs;
    origll = tarnll;
    char *s;
    {
        NoErrsGuard ng(1);
        s = extract_word(0);
        errflag = 0;
    }
    if (inwhat == IN_ENV)
        lincmd = 0;
    if (!s)
        return 1;
    int ret = 1;
    if (type == COMP_EXPAND_COMPLETE) {
        type = wantexpansion(s, offs) ? COMP_EXPAND : COMP_COMPLETE;
    }
    if (lincmd && inwhat == IN_NOTHING)
        inwhat = IN_CMD;
    if (type == COMP_SPELL) {
        // The nearest spelling, taken without asking.
        char *tw = lexoneword(s);
        ret = 1;
        if (tw) {
            char *w = dupstring(tw);
            spckword(&w, 0, lincmd, 0);
            untokenize(w);
            char *old = dupstring(tw);
            untokenize(old);
            if (strcmp(w, old)) {
                replaceword(wb, we, w);
                ret = 0;
            }
        }
    } else if (type == COMP_COMPLETE || type == COMP_LIST_COMPLETE) {
        CompldatA d{s, lincmd, type};
        ret = havecompmodule() ? runkedhook(COMPLETEHOOK, &d) : 1;
    } else {
        lastambig = 0;
        std::string before(reinterpret_cast<char *>(line), size_t(tarnll));
        {
            NoErrsGuard ng(1);
            ret = doexpansion(s, type, origtype);
            errflag = 0;
        }
        bool changed = std::string(reinterpret_cast<char *>(line), size_t(tarnll)) != before;
        if (origtype != COMP_EXPAND_COMPLETE || changed) {
            if (ret)
                clearlist = 1;
            if (!changed) {
                setline(origline);
                tarncs = origcs;
            }
        } else {
            setline(origline);
            tarncs = origcs;
            if (!compfunc) {
                CompldatA d{s, lincmd, COMP_COMPLETE};
                ret = havecompmodule() ? runkedhook(COMPLETEHOOK, &d) : 1;
            }
        }
    }
    if (tarncs > tarnll)
        tarncs = tarnll;
    int ad[2] = {type, ret};
    runkedhook(AFTERCOMPLETEHOOK, ad);
    return ret;
}

// ---- the widgets ----

namespace {

int bashfirst(int type)
{
    if (lastambig == 1 && isset(BASHAUTOLIST) && !usemenu && !menucmp) {
        bashlistfirst = 1;
        lastambig = 2;
        int r = docomplete(COMP_LIST_COMPLETE);
        bashlistfirst = 0;
        return r;
    }
    return docomplete(type);
}

int tabinsert()
{
    lastchar = '\t';
    return selfinsert(nullptr);
}

}  // namespace

int completeword(char **)
{
    settab();
    if (usetab())
        return tabinsert();
    return bashfirst(COMP_COMPLETE);
}

int menucomplete(char **)
{
    settab();
    usemenu = 1;
    if (usetab())
        return tabinsert();
    return docomplete(COMP_COMPLETE);
}

int listchoices(char **)
{
    settab();
    return docomplete(COMP_LIST_COMPLETE);
}

int spellword(char **)
{
    settab();
    useglob = 0;
    return docomplete(COMP_SPELL);
}

int deletecharorlist(char **args)
{
    settab();
    if (tarncs != tarnll) {
        fixsuffix();
        runkedhook(INVALIDATELISTHOOK, nullptr);
        return deletechar(args);
    }
    return docomplete(COMP_LIST_COMPLETE);
}

int expandword(char **)
{
    settab();
    useglob = 0;
    if (usetab())
        return tabinsert();
    return docomplete(COMP_EXPAND);
}

int expandorcomplete(char **)
{
    settab();
    if (usetab())
        return tabinsert();
    return bashfirst(COMP_EXPAND_COMPLETE);
}

int menuexpandorcomplete(char **)
{
    settab();
    usemenu = 1;
    if (usetab())
        return tabinsert();
    return docomplete(COMP_EXPAND_COMPLETE);
}

int listexpand(char **)
{
    settab();
    return docomplete(COMP_LIST_EXPAND);
}

int reversemenucomplete(char **args)
{
    settab();
    if (menucmp && !runkedhook(REVERSEMENUHOOK, nullptr))
        return 0;
    if (menucmp)
        return 0;
    return menucomplete(args);
}

int acceptandmenucomplete(char **args)
{
    if (!menucmp)
        return 1;
    runkedhook(ACCEPTCOMPHOOK, nullptr);
    return menucomplete(args);
}

int expandorcompleteprefix(char **)
{
    settab();
    if (usetab())
        return tabinsert();
    // The word ends at the cursor: what follows stays as it is.
    int ocs = tarncs;
    std::string rest(reinterpret_cast<char *>(line) + tarncs, size_t(tarnll - tarncs));
    int oll = tarnll;
    tarnll = tarncs;
    int ret = docomplete(COMP_EXPAND_COMPLETE);
    int grown = tarnll;
    tarnll = grown;
    (void)oll;
    (void)ocs;
    sizeline(tarnll + int(rest.size()));
    memcpy(line + tarnll, rest.data(), rest.size());
    markchanged(tarnll, tarnll + int(rest.size()));
    tarnll += int(rest.size());
    if (tarncs > 0 && line[tarncs - 1] == ' ')
        makesuffixstr(nullptr, const_cast<char *>("\\-"), 0);
    return ret;
}

int endoflist(char **)
{
    if (lastlistlen <= 0)
        return 1;
    int n = lastlistlen;
    clearflag = 0;
    trashked();
    for (int i = 0; i < n; i++)
        kedputs("\n", 1);
    kedflush();
    showinglist = lastlistlen = 0;
    return 0;
}

int expandcmdpath(char **)
{
    int s, e;
    if (!extract_command(&s, &e))
        return 1;
    std::string name(reinterpret_cast<char *>(line) + s, size_t(e - s));
    int ona = noaliases;
    noaliases = 1;
    char *path = findcmd(metafy(const_cast<char *>(name.c_str()), -1, META_HEAPDUP), 1);
    noaliases = ona;
    if (!path)
        return 1;
    int ocs = tarncs;
    int rl;
    char *u = unmetafy(dupstring(path), &rl);
    int delta = rl - (e - s);
    tarncs = s;
    foredel(e - s);
    spaceinline(rl);
    memcpy(line + tarncs, u, size_t(rl));
    if (ocs >= e)
        tarncs = ocs + delta;
    else if (ocs > s)
        tarncs = ocs + delta > s ? ocs + delta : s;
    else
        tarncs = ocs;
    if (tarncs > tarnll)
        tarncs = tarnll;
    if (tarncs < 0)
        tarncs = 0;
    return 0;
}

int completecall(char **args)
{
    Widget *w = bindk ? bindk->widget : nullptr;
    if (!w || !(w->flags & W_COMPLETION))
        return 1;
    if (!w->fn)
        return 1;
    cfargs = args;
    cfret = 0;
    char *ofunc = compfunc;
    Widget *owidget = compwidget;
    compfunc = w->fnnam;
    compwidget = w;
    int ret = w->fn(args);
    if (ret && !cfret)
        cfret = 1;
    compfunc = ofunc;
    compwidget = owidget;
    return cfret;
}
