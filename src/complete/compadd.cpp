// Adding matches: compadd with its options, compset, the conditions of
// completion functions, the groups the matches go into, and the
// permanent, sorted copy of the list that insertion and listing use.
#include "complete/complete.h"
#include "lang/lang.h"
#include "params/params.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char *nz(const char *s) { return s ? s : ""; }

void setstr(char **var, const char *v)
{
    qsfree(*var);
    *var = v ? qtrdup(v) : nullptr;
}

char qchar() { return compqstack && *compqstack ? *compqstack : '\\'; }

// ---- groups ----

Cmgroup *newgroup(const char *name, int flags)
{
    Cmgroup *g = hcnew<Cmgroup>();
    g->name = dupstring(name);
    g->flags = flags;
    g->lexpls = newlinklist();
    g->lmatches = newlinklist();
    g->lfmatches = newlinklist();
    g->isnew = 1;
    return g;
}

}  // namespace

char *comp_unquote(const char *s)
{
    switch (qchar()) {
    case '\'': {
        // Inside single quotes only a doubled quote (rcquotes) means one.
        std::string out;
        for (const char *p = s; *p; p++) {
            if (*p == '\'' && p[1] == '\'' && isset(RCQUOTES))
                p++;
            out += *p;
        }
        return dupstring(out.c_str());
    }
    case '"': {
        std::string out;
        for (const char *p = s; *p; p++) {
            if (*p == '\\' && p[1] && strchr("$`\"\\\n", p[1]))
                p++;
            out += *p;
        }
        return dupstring(out.c_str());
    }
    default: {
        char *u = unquoteword(s, 0);
        if (!u) {
            // Unbalanced quotes: only the backslashes are taken away.
            std::string out;
            for (const char *p = s; *p; p++) {
                if (*p == '\\' && p[1])
                    p++;
                out += *p;
            }
            return dupstring(out.c_str());
        }
        return u;
    }
    }
}

char *comp_quote(const char *s, int ign)
{
    if (ign)
        return dupstring(s);
    switch (qchar()) {
    case '\'':
        return bslashquote(s, nullptr, QT_SINGLE);
    case '"':
        return bslashquote(s, nullptr, QT_DOUBLE);
    default:
        return bslashquote(s, nullptr, QT_BACKSLASH);
    }
}

void begcmgroup(const char *name, int flags)
{
    int keyf = flags & (GF_NOSORT | GF_UNIQALL | GF_UNIQCON);
    for (Cmgroup *g = amatches; g; g = g->next)
        if (!strcmp(g->name, name) && (g->flags & (GF_NOSORT | GF_UNIQALL | GF_UNIQCON)) == keyf) {
            mgroup = g;
            return;
        }
    Cmgroup *g = newgroup(name, flags);
    g->next = amatches;
    if (amatches)
        amatches->prev = g;
    amatches = g;
    mgroup = g;
}

void endcmgroup(char **ylist)
{
    if (mgroup && ylist)
        mgroup->ylist = ylist;
}

namespace {

Cexpl *curexpl;

void addexpltext(int always, const char *text)
{
    Cexpl *e = hcnew<Cexpl>();
    e->always = always;
    e->str = dupstring(text);
    addlinknode(mgroup->lexpls, e);
    curexpl = e;
    if (always)
        nmessages++;
}

// The file's mode for listing types and for the slash after a directory.
void filemode(Cmatch *m, const char *path)
{
    struct stat st;
    char *u = unmeta(path);
    if (lstat(u, &st) == 0) {
        m->mode = st.st_mode;
        m->modec = char(file_type(st.st_mode));
        if (stat(u, &st) == 0) {
            m->fmode = st.st_mode;
            m->fmodec = char(file_type(st.st_mode));
        } else {
            m->fmode = m->mode;
            m->fmodec = m->modec;
        }
    }
}

Cmatch *add_match_data(Cadata *dat, const char *word, const char *str, Cline *lc, const char *disp,
                       bool ignored, int exact)
{
    Cmatch *m = hcnew<Cmatch>();
    m->str = dupstring(str);
    m->orig = dupstring(word);
    std::string ipre = std::string(nz(compiprefix)) + nz(dat->ipre);
    std::string isuf = std::string(nz(dat->isuf)) + nz(compisuffix);
    m->ripre = ipre.empty() ? nullptr : dupstring(ipre.c_str());
    // The ignored parts were moved out of the word as they stood there.
    m->ipre = ipre.empty() ? nullptr : dupstring(ipre.c_str());
    m->isuf = isuf.empty() ? nullptr : dupstring(isuf.c_str());
    m->ppre = dat->ppre && *dat->ppre ? dupstring(dat->ppre) : nullptr;
    m->psuf = dat->psuf && *dat->psuf ? dupstring(dat->psuf) : nullptr;
    m->prpre = dat->prpre && *dat->prpre ? dupstring(dat->prpre) : nullptr;
    m->pre = dat->pre && *dat->pre ? dupstring(dat->pre) : nullptr;
    m->suf = dat->suf && *dat->suf ? dupstring(dat->suf) : nullptr;
    m->disp = disp ? dupstring(disp) : nullptr;
    m->autoq = autoq && !qisuf ? dupstring(autoq) : nullptr;
    m->flags = dat->flags;
    m->rems = dat->rems ? dupstring(dat->rems) : nullptr;
    m->remf = dat->remf ? dupstring(dat->remf) : nullptr;
    m->qipl = qipre ? int(strlen(qipre)) : 0;
    m->qisl = qisuf ? int(strlen(qisuf)) : 0;
    if ((m->flags & MF_FILE) || isset(LISTTYPES)) {
        std::string path = std::string(m->prpre ? m->prpre : "./") + word + nz(m->psuf);
        if (m->flags & MF_FILE)
            filemode(m, path.c_str());
    }
    Aminfo *ai = ignored ? fainfo : ainfo;
    ai->line = join_clines(ai->line, lc);
    ai->count++;
    if (!ai->firstm)
        ai->firstm = m;
    if (exact && !ai->exact) {
        ai->exact = 1;
        ai->exactm = m;
    } else if (exact && ai->exactm && strcmp(ai->exactm->str, m->str)) {
        ai->exact = 2;  // two different exact matches: none is taken
    }
    if (ignored) {
        addlinknode(mgroup->lfmatches, m);
        compignored++;
    } else {
        addlinknode(mgroup->lmatches, m);
        nmatches++;
        if (curexpl)
            curexpl->count++;
    }
    return m;
}

char **arrayvalues(const char *name, bool keys)
{
    if (keys)
        return gethkparam(name);
    char **a = getaparam(name);
    if (a)
        return a;
    char *s = getsparam(name);
    if (s) {
        char **r = hcnew<char *>(2);
        r[0] = s;
        return r;
    }
    return nullptr;
}

bool endswithany(const std::string &w, char **ign)
{
    for (char **p = ign; p && *p; p++) {
        size_t l = strlen(*p);
        if (l && w.size() >= l && !w.compare(w.size() - l, l, *p))
            return true;
    }
    return false;
}

}  // namespace

void addexpl(int always) { addexpltext(always, ""); }

int addmatches(Cadata *dat, char **argv)
{
    if (!*argv && !dat->group && !dat->mesg && !dat->exp &&
        !(dat->aflags & (CAF_NOSORT | CAF_UNIQALL | CAF_UNIQCON | CAF_ALL)) && !dat->dummies)
        return 1;
    int gflags = (dat->aflags & CAF_NOSORT ? GF_NOSORT : 0) | (dat->aflags & CAF_UNIQALL ? GF_UNIQALL : 0) |
                 (dat->aflags & CAF_UNIQCON ? GF_UNIQCON : 0);
    Cmgroup *ogroup = mgroup;
    if (dat->group)
        begcmgroup(dat->group, gflags);
    else if (gflags && (mgroup->flags & (GF_NOSORT | GF_UNIQALL | GF_UNIQCON)) != gflags)
        begcmgroup(mgroup->name, gflags);
    if (isset(LISTPACKED))
        mgroup->flags |= GF_PACKED;
    if (isset(LISTROWSFIRST))
        mgroup->flags |= GF_ROWS;
    curexpl = nullptr;
    if (dat->mesg)
        addexpltext(1, dat->mesg);
    if (dat->exp)
        addexpltext(0, dat->exp);
    Cmlist ml{mstack, dat->match, nullptr};
    Cmlist *omstack = mstack;
    if (dat->match)
        mstack = &ml;

    // What the words are matched against: the word on the line, quoted.
    bool quote = !(dat->aflags & CAF_QUOTE);
    const char *rpre = nz(compprefix), *rsuf = nz(compsuffix);
    char *lpre = quote ? comp_quote(rpre, 0) : dupstring(rpre);
    char *lsuf = quote ? comp_quote(rsuf, 0) : dupstring(rsuf);
    Patprog *cp = nullptr;
    if ((comppatmatch && *comppatmatch) || (useglob && haswilds(dupstring(rpre)))) {
        std::string pat = std::string(rpre) + (comppatmatch && *comppatmatch ? comppatmatch : "*") + rsuf;
        char *pt = dupstring(pat.c_str());
        tokenize(pt);
        cp = patcompile(pt, 0, nullptr);
        if (cp && !haswilds(dupstring(rpre)) && !haswilds(dupstring(rsuf)) && !(comppatmatch && *comppatmatch))
            cp = nullptr;
    }
    char **ign = dat->ign ? arrayvalues(dat->ign, false) : nullptr;
    char **disp = dat->disp ? arrayvalues(dat->disp, false) : nullptr;
    std::vector<char *> words;
    if (dat->aflags & (CAF_ARRAYS | CAF_KEYS)) {
        for (char **a = argv; *a; a++)
            for (char **v = arrayvalues(*a, dat->aflags & CAF_KEYS); v && *v; v++)
                words.push_back(*v);
    } else {
        for (char **a = argv; *a; a++)
            words.push_back(*a);
    }
    std::vector<char *> matched, unmatched;
    int added = 0;
    int qu = dat->aflags & CAF_QUOTE ? 1 : (dat->flags & MF_FILE) ? 2 : 0;
    for (size_t i = 0; i < words.size(); i++) {
        char *w = words[i];
        Cline *lc = nullptr;
        int exact = 0;
        char *ms;
        if (dat->aflags & CAF_MATCH) {
            ms = comp_match(lpre, lsuf, w, cp, &lc, qu, &exact);
            if (!ms) {
                unmatched.push_back(w);
                continue;
            }
        } else {
            ms = comp_match("", "", w, nullptr, &lc, qu, &exact);
            if (!ms)
                ms = comp_quote(w, dat->aflags & CAF_QUOTE);
            exact = !strcmp(w, rpre);
        }
        matched.push_back(w);
        bool ignored = ign && endswithany(w, ign);
        const char *d = nullptr;
        if (disp && i < size_t(arrlen(disp)))
            d = disp[i];
        add_match_data(dat, w, ms, lc, d, ignored, exact);
        if (!ignored)
            added++;
    }
    auto store = [](const char *name, std::vector<char *> &v) {
        char **a = static_cast<char **>(qalloc(sizeof(char *) * (v.size() + 1)));
        for (size_t i = 0; i < v.size(); i++)
            a[i] = qtrdup(v[i]);
        a[v.size()] = nullptr;
        setaparam(name, a);
    };
    if (dat->apar)
        store(dat->apar, matched);
    if (dat->opar)
        store(dat->opar, words);
    if (dat->dpar) {
        // The elements that did not match go.
        std::vector<char *> keep;
        char **a = getaparam(dat->dpar);
        for (char **p = a; p && *p; p++)
            if (std::find_if(unmatched.begin(), unmatched.end(), [p](char *u) { return !strcmp(u, *p); }) ==
                unmatched.end())
                keep.push_back(*p);
        store(dat->dpar, keep);
    }
    if ((dat->aflags & CAF_ALL) && !hasallmatch && added > 0) {
        Cadata d = *dat;
        d.flags |= MF_ALL;
        d.pre = d.suf = nullptr;
        add_match_data(&d, "", "", nullptr, nullptr, false, 0)->flags |= MF_ALL;
        hasallmatch = 1;
    }
    for (int i = 0; i < dat->dummies; i++) {
        Cadata d = *dat;
        d.flags |= MF_DUMMY | MF_NOLIST;
        add_match_data(&d, "", "", nullptr, nullptr, false, 0);
    }
    mstack = omstack;
    if (!dat->group)
        ;
    else
        mgroup = ogroup ? ogroup : mgroup;
    return added || dat->dummies ? 0 : 1;
}

// ---- the permanent list ----

namespace {

// Compare match texts with backslashes ignored and, with numericglobsort,
// runs of digits at the first difference compared as numbers.
int strbpcmp(const char *a, const char *b)
{
    for (;;) {
        if (*a == '\\' && a[1])
            a++;
        if (*b == '\\' && b[1])
            b++;
        if (!*a || !*b || *a != *b)
            break;
        a++;
        b++;
    }
    if (isset(NUMERICGLOBSORT) && idigit(static_cast<unsigned char>(*a)) && idigit(static_cast<unsigned char>(*b))) {
        const char *x = a, *y = b;
        while (*x == '0')
            x++;
        while (*y == '0')
            y++;
        size_t lx = 0, ly = 0;
        while (idigit(static_cast<unsigned char>(x[lx])))
            lx++;
        while (idigit(static_cast<unsigned char>(y[ly])))
            ly++;
        if (lx != ly)
            return lx < ly ? -1 : 1;
        int c = strncmp(x, y, lx);
        if (c)
            return c;
    }
    return static_cast<unsigned char>(*a) - static_cast<unsigned char>(*b);
}

int matchcmp(const Cmatch *a, const Cmatch *b)
{
    if (a->disp && !b->disp)
        return -1;
    if (!a->disp && b->disp)
        return 1;
    if (a->disp && b->disp) {
        bool la = a->flags & MF_DISPLINE, lb = b->flags & MF_DISPLINE;
        if (la != lb)
            return la ? -1 : 1;
        return strbpcmp(a->disp, b->disp);
    }
    return strbpcmp(a->str, b->str);
}

bool sameval(const char *a, const char *b) { return !strcmp(nz(a), nz(b)); }

bool matchequal(const Cmatch *a, const Cmatch *b)
{
    if (!sameval(a->ipre, b->ipre) || !sameval(a->pre, b->pre) || !sameval(a->ppre, b->ppre) ||
        !sameval(a->psuf, b->psuf) || !sameval(a->suf, b->suf))
        return false;
    if (a->disp || b->disp)
        return sameval(a->disp, b->disp);
    return !strcmp(a->str, b->str);
}

char *pdup(const char *s) { return s ? qtrdup(s) : nullptr; }

Cmatch *permmatch(Cmatch *m)
{
    Cmatch *p = qcnew<Cmatch>();
    *p = *m;
    p->str = pdup(m->str);
    p->orig = pdup(m->orig);
    p->ipre = pdup(m->ipre);
    p->ripre = pdup(m->ripre);
    p->isuf = pdup(m->isuf);
    p->ppre = pdup(m->ppre);
    p->psuf = pdup(m->psuf);
    p->prpre = pdup(m->prpre);
    p->pre = pdup(m->pre);
    p->suf = pdup(m->suf);
    p->disp = pdup(m->disp);
    p->autoq = pdup(m->autoq);
    p->rems = pdup(m->rems);
    p->remf = pdup(m->remf);
    return p;
}

void markmult(std::vector<Cmatch *> &v)
{
    for (size_t i = 1; i < v.size(); i++)
        if (!v[i]->disp && !v[i - 1]->disp && !strcmp(v[i]->str, v[i - 1]->str)) {
            if (!(v[i - 1]->flags & MF_MULT))
                v[i - 1]->flags |= MF_FMULT;
            v[i]->flags |= MF_MULT;
        }
}

}  // namespace

void freematches(Cmgroup *g)
{
    while (g) {
        Cmgroup *n = g->next;
        for (int i = 0; i < g->mcount; i++) {
            Cmatch *m = g->matches[i];
            char *strs[] = {m->str, m->orig, m->ipre, m->ripre, m->isuf, m->ppre, m->psuf,
                            m->prpre, m->pre, m->suf, m->disp, m->autoq, m->rems, m->remf};
            for (char *s : strs)
                qsfree(s);
            qfree(m);
        }
        qfree(g->matches);
        for (int i = 0; i < g->ecount; i++) {
            qsfree(g->expls[i]->str);
            qfree(g->expls[i]);
        }
        qfree(g->expls);
        if (g->ylist)
            freearray(g->ylist);
        qfree(g->widths);
        qsfree(g->name);
        qfree(g);
        g = n;
    }
}

void permmatches(int)
{
    bool useign = nmatches == 0 && compignored > 0;
    if (useign) {
        std::swap(ainfo, fainfo);
        nmatches = compignored;
    }
    // Oldest group first.
    std::vector<Cmgroup *> groups;
    for (Cmgroup *g = amatches; g; g = g->next)
        groups.insert(groups.begin(), g);
    Cmgroup *first = nullptr, *last = nullptr;
    int gnum = 0, mnum = 0;
    diffmatches = 0;
    const char *firststr = nullptr;
    int total = 0;
    for (Cmgroup *g : groups) {
        LinkList *src = useign ? g->lfmatches : g->lmatches;
        std::vector<Cmatch *> v;
        for (LinkNode *n = firstnode(src); n; n = nextnode(n))
            v.push_back(static_cast<Cmatch *>(getdata(n)));
        if (!(g->flags & GF_NOSORT)) {
            std::stable_sort(v.begin(), v.end(), [](Cmatch *a, Cmatch *b) { return matchcmp(a, b) < 0; });
            if (!(g->flags & GF_UNIQALL)) {
                std::vector<Cmatch *> u;
                for (Cmatch *m : v)
                    if (u.empty() || !matchequal(u.back(), m))
                        u.push_back(m);
                v.swap(u);
            }
            markmult(v);
        } else if (g->flags & GF_UNIQCON) {
            std::vector<Cmatch *> u;
            for (Cmatch *m : v)
                if (u.empty() || !matchequal(u.back(), m))
                    u.push_back(m);
            v.swap(u);
        } else if (!(g->flags & GF_UNIQALL)) {
            std::vector<Cmatch *> u;
            for (Cmatch *m : v)
                if (std::none_of(u.begin(), u.end(), [m](Cmatch *o) { return matchequal(o, m); }))
                    u.push_back(m);
            v.swap(u);
            std::vector<Cmatch *> sorted = v;
            std::stable_sort(sorted.begin(), sorted.end(), [](Cmatch *a, Cmatch *b) { return matchcmp(a, b) < 0; });
            markmult(sorted);
        }
        std::vector<Cexpl *> ex;
        for (LinkNode *n = firstnode(g->lexpls); n; n = nextnode(n)) {
            Cexpl *e = static_cast<Cexpl *>(getdata(n));
            if (!*e->str)
                continue;
            if (std::none_of(ex.begin(), ex.end(), [e](Cexpl *o) { return !strcmp(o->str, e->str); }))
                ex.push_back(e);
        }
        if (v.empty() && ex.empty() && !g->ylist)
            continue;
        Cmgroup *p = qcnew<Cmgroup>();
        p->name = qtrdup(g->name);
        p->flags = g->flags;
        p->mcount = int(v.size());
        p->matches = static_cast<Cmatch **>(qalloc(sizeof(Cmatch *) * (v.size() + 1)));
        int gi = 0;
        for (size_t i = 0; i < v.size(); i++) {
            Cmatch *m = permmatch(v[i]);
            m->rnum = ++gi;
            m->gnum = ++mnum;
            p->matches[i] = m;
            if (m->flags & MF_DISPLINE)
                p->flags |= GF_HASDL;
        }
        p->matches[v.size()] = nullptr;
        p->ecount = int(ex.size());
        p->expls = static_cast<Cexpl **>(qalloc(sizeof(Cexpl *) * (ex.size() + 1)));
        for (size_t i = 0; i < ex.size(); i++) {
            Cexpl *e = qcnew<Cexpl>();
            *e = *ex[i];
            e->str = qtrdup(ex[i]->str);
            p->expls[i] = e;
        }
        p->expls[ex.size()] = nullptr;
        if (g->ylist)
            p->ylist = qarrdup(g->ylist);
        p->num = ++gnum;
        if (v.size() > 1)
            diffmatches = 1;
        if (!v.empty()) {
            if (firststr && strcmp(firststr, v[0]->str))
                diffmatches = 1;
            if (!firststr)
                firststr = v[0]->str;
        }
        total += int(v.size());
        p->prev = last;
        if (last)
            last->next = p;
        else
            first = p;
        last = p;
    }
    pmatches = first;
    permmnum = total;
    permgnum = gnum;
    nmatches = total;
    // Matches that differ only in what is hidden are one for insertion.
    if (diffmatches && total > 1) {
        bool alleq = true;
        const char *s0 = nullptr;
        for (Cmgroup *g = first; g && alleq; g = g->next)
            for (int i = 0; i < g->mcount && alleq; i++) {
                Cmatch *m = g->matches[i];
                std::string s = std::string(nz(m->ipre)) + nz(m->pre) + m->str + nz(m->suf);
                if (!s0)
                    s0 = dupstring(s.c_str());
                else if (s != s0)
                    alleq = false;
            }
        if (alleq)
            diffmatches = 0;
    }
}

char *unambig_string(int *cp, char **pp, char **ip)
{
    int c;
    char *p, *i;
    char *s = unambig_data(ainfo ? ainfo->line : nullptr, &c, &p, &i);
    if (cp)
        *cp = c;
    if (pp)
        *pp = p;
    if (ip)
        *ip = i;
    return s;
}

// ---- compadd ----

int bin_compadd(char *name, char **argv, BuiltinOptions *, int)
{
    if (!incompfunc_level) {
        qwarnnam(name, "can only be called from completion function", nullptr, 0);
        return 1;
    }
    MatchHeapUse mh;
    Cadata dat{};
    dat.aflags = CAF_MATCH;
    std::string mspec;
    char **p = argv;
    for (; *p && **p == '-'; p++) {
        if (!(*p)[1])
            break;
        if (!strcmp(*p, "--")) {
            p++;
            break;
        }
        for (char *c = *p + 1; *c; c++) {
            char **sp = nullptr;
            const char *expect = "string expected after -%c";
            bool ismatch = false;
            switch (*c) {
            case 'q': dat.flags |= MF_REMOVE; break;
            case 'Q': dat.aflags |= CAF_QUOTE; break;
            case 'C': dat.aflags |= CAF_ALL; break;
            case 'f': dat.flags |= MF_FILE; break;
            case 'e': dat.flags |= MF_ISPAR; break;
            case 'a': dat.aflags |= CAF_ARRAYS; break;
            case 'k': dat.aflags |= CAF_ARRAYS | CAF_KEYS; break;
            case 'F': sp = &dat.ign; expect = "parameter name expected after -%c"; break;
            case 'n': dat.flags |= MF_NOLIST; break;
            case 'U': dat.aflags &= ~CAF_MATCH; break;
            case 'P': sp = &dat.pre; break;
            case 'S': sp = &dat.suf; break;
            case 'J': sp = &dat.group; expect = "group name expected after -%c"; break;
            case 'V':
                if (!dat.group)
                    dat.aflags |= CAF_NOSORT;
                sp = &dat.group;
                dat.aflags |= CAF_NOSORT;
                expect = "group name expected after -%c";
                break;
            case '1':
                if (!(dat.aflags & CAF_UNIQALL))
                    dat.aflags |= CAF_UNIQCON;
                break;
            case '2':
                if (!(dat.aflags & CAF_UNIQCON))
                    dat.aflags |= CAF_UNIQALL;
                break;
            case 'X': sp = &dat.exp; break;
            case 'x': sp = &dat.mesg; break;
            case 'r': dat.flags |= MF_REMOVE; sp = &dat.rems; break;
            case 'R':
                dat.flags |= MF_REMOVE;
                sp = &dat.remf;
                expect = "function name expected after -%c";
                break;
            case 'W': sp = &dat.prpre; break;
            case 'p': sp = &dat.ppre; break;
            case 's': sp = &dat.psuf; break;
            case 'i': sp = &dat.ipre; break;
            case 'I': sp = &dat.isuf; break;
            case 'M': ismatch = true; expect = "matcher expected after -%c"; break;
            case 'd': sp = &dat.disp; expect = "parameter name expected after -%c"; break;
            case 'l': dat.flags |= MF_DISPLINE; break;
            case 'A': sp = &dat.apar; expect = "parameter name expected after -%c"; break;
            case 'O': sp = &dat.opar; expect = "parameter name expected after -%c"; break;
            case 'D': sp = &dat.dpar; expect = "parameter name expected after -%c"; break;
            case 'E': sp = &dat.dummies_s; expect = "number expected after -%c"; break;
            case '-':
                break;
            default:
                qwarnnam(name, "bad option: -%c", nullptr, *c);
                return 1;
            }
            if (sp || ismatch) {
                char *arg;
                if (c[1]) {
                    arg = c + 1;
                } else if (p[1]) {
                    arg = *++p;
                } else {
                    qwarnnam(name, expect, nullptr, *c);
                    return 1;
                }
                if (ismatch) {
                    if (!mspec.empty())
                        mspec += ' ';
                    mspec += arg;
                } else {
                    *sp = arg;
                }
                break;
            }
        }
    }
    if (dat.dummies_s) {
        char *e;
        long n = strtol(dat.dummies_s, &e, 10);
        if (*e || e == dat.dummies_s) {
            qwarnnam(name, "number expected after -%c", nullptr, 'E');
            return 1;
        }
        if (n < 0) {
            qwarnnam(name, "invalid number: %d", nullptr, int(n));
            return 1;
        }
        dat.dummies = int(n > 100000 ? 100000 : n);
    }
    if (!mspec.empty()) {
        dat.match = parse_cmatcher(name, mspec.c_str());
        if (dat.match == pcm_err)
            return 1;
    }
    // The ppre of the hidden prefix and the test prefix are given by -p and
    // -W; the path prefix of file matches is the part of the word before
    // its last slash, which the caller passes with -p.
    return addmatches(&dat, p);
}

// ---- compset ----

namespace {

char *restrictwords(int b, int e)
{
    int n = arrlen(compwords);
    if (b < 0)
        b += n + 1;
    if (e < 0)
        e += n + 1;
    if (b < 1 || e > n || b > e || compcurrent < b || compcurrent > e)
        return nullptr;
    char **a = static_cast<char **>(qalloc(sizeof(char *) * size_t(e - b + 2)));
    for (int i = b; i <= e; i++)
        a[i - b] = qtrdup(compwords[i - 1]);
    a[e - b + 1] = nullptr;
    freearray(compwords);
    compwords = a;
    compcurrent -= b - 1;
    return a[0];
}

bool matchesword(Patprog *pp, const char *w) { return pp && pattry(pp, w); }

}  // namespace

int bin_compset(char *name, char **argv, BuiltinOptions *, int)
{
    if (!incompfunc_level) {
        qwarnnam(name, "can only be called from completion function", nullptr, 0);
        return 1;
    }
    if (argv[0][0] != '-') {
        qwarnnam(name, "missing option", nullptr, 0);
        return 1;
    }
    char opt = argv[0][1];
    if (!opt || !strchr("psPSnNq", opt) || (argv[0][2] && opt == 'q')) {
        qwarnnam(name, "bad option -%c", nullptr, opt);
        return 1;
    }
    std::vector<char *> args;
    if (argv[0][2])
        args.push_back(argv[0] + 2);
    for (char **p = argv + 1; *p; p++)
        args.push_back(*p);
    size_t need = opt == 'q' ? 0 : 1, most = strchr("PSnN", opt) ? 2 : opt == 'q' ? 0 : 1;
    if (args.size() < need) {
        qwarnnam(name, "missing string for option -%c", nullptr, opt);
        return 1;
    }
    if (args.size() > most) {
        qwarnnam(name, "too many arguments", nullptr, 0);
        return 1;
    }
    switch (opt) {
    case 'p':
    case 's': {
        long n = strtol(args[0], nullptr, 10);
        std::string pre = nz(compprefix), suf = nz(compsuffix);
        if (n < 0)
            return 1;
        if (opt == 'p') {
            if (pre.size() < size_t(n))
                return 1;
            setstr(&compiprefix, (std::string(nz(compiprefix)) + pre.substr(0, size_t(n))).c_str());
            setstr(&compprefix, pre.substr(size_t(n)).c_str());
        } else {
            if (suf.size() < size_t(n))
                return 1;
            setstr(&compisuffix, (suf.substr(suf.size() - size_t(n)) + nz(compisuffix)).c_str());
            setstr(&compsuffix, suf.substr(0, suf.size() - size_t(n)).c_str());
        }
        return 0;
    }
    case 'P':
    case 'S': {
        long nth = 0;
        const char *pat = args[0];
        if (args.size() == 2) {
            nth = strtol(args[0], nullptr, 10);
            pat = args[1];
        }
        char *pt = dupstring(pat);
        tokenize(pt);
        Patprog *pp = patcompile(pt, 0, nullptr);
        if (!pp)
            return 1;
        std::string s = opt == 'P' ? nz(compprefix) : nz(compsuffix);
        // The candidate lengths in the order asked for.
        std::vector<size_t> lens;
        for (size_t l = 0; l <= s.size(); l++) {
            std::string part = opt == 'P' ? s.substr(0, l) : s.substr(s.size() - l);
            if (pattry(pp, part.c_str()))
                lens.push_back(l);
        }
        if (lens.empty())
            return 1;
        size_t len;
        if (nth > 0) {
            if (size_t(nth) > lens.size())
                return 1;
            len = lens[size_t(nth - 1)];
        } else if (nth < 0) {
            if (size_t(-nth) > lens.size())
                return 1;
            len = lens[lens.size() - size_t(-nth)];
        } else {
            len = lens.back();
        }
        if (opt == 'P') {
            setstr(&compiprefix, (std::string(nz(compiprefix)) + s.substr(0, len)).c_str());
            setstr(&compprefix, s.substr(len).c_str());
        } else {
            setstr(&compisuffix, (s.substr(s.size() - len) + nz(compisuffix)).c_str());
            setstr(&compsuffix, s.substr(0, s.size() - len).c_str());
        }
        return 0;
    }
    case 'n': {
        int b = int(strtol(args[0], nullptr, 10));
        int e = args.size() > 1 ? int(strtol(args[1], nullptr, 10)) : -1;
        return restrictwords(b, e) ? 0 : 1;
    }
    case 'N': {
        char *t = dupstring(args[0]);
        tokenize(t);
        Patprog *bp = patcompile(t, 0, nullptr);
        Patprog *ep = nullptr;
        if (args.size() > 1) {
            char *u = dupstring(args[1]);
            tokenize(u);
            ep = patcompile(u, 0, nullptr);
        }
        int n = arrlen(compwords);
        int b = 0;
        for (int i = int(compcurrent) - 1; i >= 1; i--)
            if (matchesword(bp, compwords[i - 1])) {
                b = i;
                break;
            }
        if (!b)
            return 1;
        int e = n + 1;
        if (ep) {
            e = 0;
            for (int i = int(compcurrent) + 1; i <= n; i++)
                if (matchesword(ep, compwords[i - 1])) {
                    e = i;
                    break;
                }
            if (!e)
                return 1;
        }
        return restrictwords(b + 1, e - 1) ? 0 : 1;
    }
    case 'q': {
        // The current word split as the shell splits its quoted contents.
        std::string w = std::string(nz(compprefix)) + nz(compsuffix);
        int pl = int(strlen(nz(compprefix)));
        LinkList *l = newlinklist();
        int idx = -1;
        char *text = dupstring(w.c_str());
        {
            int oks = isset(KSHARRAYS);
            (void)oks;
            bufferwords(l, text, &idx);
        }
        int n = 0;
        for (LinkNode *nd = firstnode(l); nd; nd = nextnode(nd))
            n++;
        if (n < 2)
            return 1;
        // The word that holds the cursor, and where the cursor is in it.
        int pos = 0, cur = 0, at = 0, k = 0;
        std::vector<std::string> ws;
        for (LinkNode *nd = firstnode(l); nd; nd = nextnode(nd))
            ws.push_back(static_cast<char *>(getdata(nd)));
        for (k = 0; k < int(ws.size()); k++) {
            size_t f = w.find(ws[size_t(k)], size_t(pos));
            int st = f == std::string::npos ? pos : int(f);
            int en = st + int(ws[size_t(k)].size());
            if (pl <= en) {
                cur = k;
                at = pl - st < 0 ? 0 : pl - st;
                break;
            }
            pos = en;
            cur = k;
            at = int(ws[size_t(k)].size());
        }
        std::vector<char *> nw;
        char **a = static_cast<char **>(qalloc(sizeof(char *) * (ws.size() + size_t(arrlen(compwords)) + 1)));
        int o = 0;
        for (int i = 0; i < compcurrent - 1 && compwords && compwords[i]; i++)
            a[o++] = qtrdup(compwords[i]);
        int newcur = o + cur + 1;
        for (const std::string &s : ws)
            a[o++] = qtrdup(s.c_str());
        for (int i = int(compcurrent); compwords && i < arrlen(compwords); i++)
            a[o++] = qtrdup(compwords[i]);
        a[o] = nullptr;
        freearray(compwords);
        compwords = a;
        compcurrent = newcur;
        const std::string &cw = ws[size_t(cur)];
        setstr(&compprefix, cw.substr(0, size_t(at)).c_str());
        setstr(&compsuffix, cw.substr(size_t(at)).c_str());
        return 0;
    }
    }
    return 1;
}

// ---- conditions ----

int cond_psfix(char **a, int id)
{
    if (!incompfunc_level) {
        qwarnnam(nullptr, "condition can only be used in completion function", nullptr, 0);
        return 0;
    }
    // -prefix [n] pattern: the leading part of PREFIX matches (the
    // trailing part of SUFFIX for -suffix); nothing is moved.
    char *pat = a[1] ? a[1] : a[0];
    long nth = a[1] ? strtol(a[0], nullptr, 10) : 0;
    char *pt = dupstring(pat);
    tokenize(pt);
    Patprog *pp = patcompile(pt, 0, nullptr);
    if (!pp)
        return 0;
    std::string s = id ? nz(compsuffix) : nz(compprefix);
    int found = 0;
    for (size_t l = 0; l <= s.size(); l++) {
        std::string part = id ? s.substr(s.size() - l) : s.substr(0, l);
        if (pattry(pp, part.c_str()))
            found++;
    }
    return nth > 0 ? found >= nth : found > 0;
}

int cond_range(char **a, int id)
{
    if (!incompfunc_level) {
        qwarnnam(nullptr, "condition can only be used in completion function", nullptr, 0);
        return 0;
    }
    // -after pattern: some word before the current one matches; -between
    // beg end: the last word before it matching beg is not followed
    // (before the current word) by one matching end.
    char *t = dupstring(a[0]);
    tokenize(t);
    Patprog *bp = patcompile(t, 0, nullptr);
    Patprog *ep = nullptr;
    if (id) {
        char *u = dupstring(a[1]);
        tokenize(u);
        ep = patcompile(u, 0, nullptr);
    }
    int b = 0;
    for (int i = int(compcurrent) - 1; i >= 1; i--)
        if (bp && pattry(bp, compwords[i - 1])) {
            b = i;
            break;
        }
    if (!b)
        return 0;
    if (ep)
        for (int i = b + 1; i < compcurrent; i++)
            if (pattry(ep, compwords[i - 1]))
                return 0;
    return 1;
}
