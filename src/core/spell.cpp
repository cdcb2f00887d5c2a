// Spelling correction: the keyboard-aware distance between a typed word and
// a candidate, the search for the nearest command, parameter or file name,
// and the question whether to take it.
#include "core/core.h"
#include "builtins/builtins.h"
#include "expand/expand.h"
#include "history/history.h"
#include "params/params.h"

#include <cstring>
#include <unistd.h>

namespace {

// Keyboards as grids of 14 columns; '\n' and '\t' fill the gaps so that
// the eight neighbours of every key are inside the string.
constexpr char qwertymap[] =
    "\n\n\n\n\n\n\n\n\n\n\n\n\n\n"
    "\t1234567890-=\t"
    "\tqwertyuiop[]\t"
    "\tasdfghjkl;'\n\t"
    "\tzxcvbnm,./\t\t\t"
    "\n\n\n\n\n\n\n\n\n\n\n\n\n\n"
    "\t!@#$%^&*()_+\t"
    "\tQWERTYUIOP{}\t"
    "\tASDFGHJKL:\"\n\t"
    "\tZXCVBNM<>?\n\n\t"
    "\n\n\n\n\n\n\n\n\n\n\n\n\n\n";
constexpr char dvorakmap[] =
    "\n\n\n\n\n\n\n\n\n\n\n\n\n\n"
    "\t1234567890[]\t"
    "\t',.pyfgcrl/=\t"
    "\taoeuidhtns-\n\t"
    "\t;qjkxbmwvz\t\t\t"
    "\n\n\n\n\n\n\n\n\n\n\n\n\n\n"
    "\t!@#$%^&*(){}\t"
    "\t\"<>PYFGCRL?+\t"
    "\tAOEUIDHTNS_\n\t"
    "\t:QJKXBMWVZ\n\n\t"
    "\n\n\n\n\n\n\n\n\n\n\n\n\n\n";
static_assert(sizeof qwertymap == 155 && sizeof dvorakmap == 155);

constexpr int TOOFAR = 200;

bool isfiller(char c) { return c == '\n' || c == '\t'; }

// Whether the key at k (in a map) touches the key typed.
bool keyneighbours(const char *k, char typed)
{
    if (isfiller(typed))
        return false;
    static constexpr int offs[] = {-15, -14, -13, -1, 1, 13, 14, 15};
    for (int o : offs)
        if (k[o] == typed)
            return true;
    return false;
}

// The nearest candidate so far for one typed word.
struct Nearest {
    const char *typed;
    int limit;
    int dist = 100;
    char *guess = nullptr;
    Nearest(const char *t) : typed(t), limit(int(strlen(t)) / 4 + 1) {}
    // laterwins: of candidates at the same distance the last one is kept.
    void consider(const char *cand, bool laterwins = false)
    {
        int d = typodist(cand, typed, limit);
        if (d < dist || (laterwins && d == dist && d < 100)) {
            dist = d;
            guess = dupstring(cand);
        }
    }
    void scan(HashTable *ht, int skipflags, bool laterwins = false)
    {
        for (int i = 0; i < ht->hsize; i++)
            for (HashNode *hn = ht->nodes[i]; hn; hn = hn->next)
                if (!(hn->flags & skipflags))
                    consider(hn->nam, laterwins);
    }
};

bool iscommandname(const char *w)
{
    return shfunctab->getnode(shfunctab, w) || builtintab->getnode(builtintab, w) ||
           cmdnamtab->getnode(cmdnamtab, w) || aliastab->getnode(aliastab, w) ||
           reswdtab->getnode(reswdtab, w);
}

bool hashable(char *w) { return cmdnamtab->getnode(cmdnamtab, w) || hashcmd(w, pathchecked); }

// Every command along path, so that all are candidates.
HashTable *allcommands()
{
    fillcmdnamtable(cmdnamtab);
    return cmdnamtab;
}

constexpr size_t MAXCOMP = 1024;

// The entry of directory dir (a prefix ending in '/', or empty for the
// current directory) nearest to the typed component, into best; its
// distance, 0 when the component exists as typed.
int nearestentry(const char *dir, const char *comp, char *best)
{
    char *full = dyncat(dir, comp);
    if (!access(unmeta(full), F_OK)) {
        strcpy(best, comp);
        return 0;
    }
    DIR *dd = opendir(*dir ? unmeta(dir) : ".");
    if (!dd)
        return 100;
    int limit = int(strlen(comp)) / 4 + 1, mind = 100;
    *best = '\0';
    while (char *fn = qreaddir(dd, 1)) {
        int d = typodist(fn, comp, limit);
        if (d < mind) {
            mind = d;
            size_t l = strlen(fn);
            if (l > MAXCOMP)
                l = MAXCOMP;
            memcpy(best, fn, l);
            best[l] = '\0';
            if (!mind)
                break;
        }
    }
    closedir(dd);
    return mind;
}

// The path with each component that does not exist replaced by the
// nearest entry of its directory; null when one is too far from any.
char *spname(const char *old)
{
    size_t ncomp = 1;
    for (const char *p = old; *p; p++)
        ncomp += *p == '/';
    char *buf = static_cast<char *>(qhalloc(strlen(old) + ncomp * (MAXCOMP + 1) + 1));
    char *out = buf;
    char comp[MAXCOMP + 1], best[MAXCOMP + 1];
    const char *p = old;
    for (;;) {
        while (*p == '/')
            *out++ = *p++;
        *out = '\0';
        if (!*p)
            break;
        const char *e = strchr(p, '/');
        if (!e)
            e = p + strlen(p);
        size_t l = size_t(e - p);
        if (l > MAXCOMP)
            l = MAXCOMP;
        memcpy(comp, p, l);
        comp[l] = '\0';
        if (nearestentry(buf, comp, best) > 2)
            return nullptr;
        size_t bl = strlen(best);
        memcpy(out, best, bl);
        out += bl;
        p = e;
    }
    return buf;
}

// Put the corrected word into the history line, when the word the history
// recorded last is the one typed (recording may be off or elsewhere).
void histreplace(const char *typed, const char *corrected)
{
    if (!chline || chwordpos < 2 || (chwordpos & 1))
        return;
    uint32_t s = chwords[chwordpos - 2], e = chwords[chwordpos - 1];
    size_t tl = strlen(typed);
    if (s > e || e > size_t(hptr - chline) || e - s != tl || memcmp(chline + s, typed, tl))
        return;
    hwrep(const_cast<char *>(corrected));
}

}  // namespace

int typodist(const char *s, const char *t, int limit)
{
    if (!strcmp(s, t))
        return 0;
    const char *p = s, *q = t;
    while (*p && tulower(static_cast<unsigned char>(*p)) == tulower(static_cast<unsigned char>(*q)))
        p++, q++;
    if (!*p && !*q)
        return 1;
    if (!limit)
        return TOOFAR;
    for (p = s, q = t; *p && *q; p++, q++) {
        if (*p == *q)
            continue;
        if (p[1] == q[0] && p[0] == q[1])
            return typodist(p + 2, q + 2, limit - 1) + 1;
        if (q[0] == p[1])
            return typodist(p + 1, q, limit - 1) + 2;
        if (q[1] == p[0])
            return typodist(p, q + 1, limit - 1) + 2;
        break;
    }
    if ((!*p && *q && !q[1]) || (!*q && *p && !p[1]))
        return 2;
    for (p = s, q = t; *p && *q && *p == *q; p++, q++) {
    }
    // One word is a prefix of the other, more than a letter shorter: there
    // is no letter to compare past the end.
    if (!*p || !*q)
        return TOOFAR;
    if (p[1] == q[1]) {
        const char *map = isset(DVORAK) ? dvorakmap : qwertymap;
        const char *k = strchr(map, *p);
        if (!k || isfiller(*p))
            return typodist(p + 1, q + 1, limit - 1) + 1;
        if (keyneighbours(k, *q))
            return typodist(p + 1, q + 1, limit - 1) + 2;
    }
    return TOOFAR;
}

void spckword(char **s, int hist, int cmd, int ask)
{
    if (histdone & HISTDONE_NOEXEC)
        return;
    char *w = *s;
    if (*w == '-' || *w == '%' || !strcmp(w, "in") || !*w || !w[1])
        return;
    if (iscommandname(w))
        return;
    if (isset(HASHLISTALL)) {
        fillcmdnamtable(cmdnamtab);
        if (cmdnamtab->getnode(cmdnamtab, w))
            return;
    }
    unsigned char ic = static_cast<unsigned char>(*w);
    if (ic != TK_DOLLAR && ic != TK_EQUALS && ic != TK_TILDE)
        ic = 0;
    char *t = ic ? w + 1 : w;
    for (char *p = t; *p; p++)
        if (itok(static_cast<unsigned char>(*p)))
            return;
    char *slash = strchr(t, '/');
    char *guess = nullptr;
    if (ic == TK_TILDE && !slash)
        return;
    if (ic == TK_DOLLAR && !slash) {
        if (!ialpha(static_cast<unsigned char>(*t)))
            return;
        Nearest n(t);
        n.scan(paramtab, PF_UNSET, true);
        guess = n.guess;
    } else if (ic == TK_EQUALS) {
        if (slash || hashable(t))
            return;
        Nearest n(t);
        n.scan(aliastab, NODE_DISABLED);
        n.scan(allcommands(), 0);
        guess = n.guess;
    } else {
        char *path = w, *pfx = nullptr, *exp = nullptr;
        if (ic) {
            // $name/... or ~user/...: correct what follows the expanded
            // directory, then put the word's own start back.
            if (!slash[1])
                return;
            pfx = dupstrpfx(w, size_t(slash - w));
            exp = dupstring(pfx);
            int oef = errflag;
            {
                NoErrsGuard ng(1);
                singsub(&exp);
            }
            if (errflag) {
                errflag = oef;
                return;
            }
            untokenize(exp);
            if (!*exp)
                return;
            path = dyncat(exp, slash);
        }
        if (!access(unmeta(path), F_OK))
            return;
        guess = spname(path);
        if (cmd && !slash) {
            if (hashable(w))
                return;
            Nearest n(w);
            n.scan(reswdtab, NODE_DISABLED);
            n.scan(aliastab, NODE_DISABLED);
            n.scan(shfunctab, NODE_DISABLED);
            n.scan(builtintab, NODE_DISABLED);
            n.scan(allcommands(), 0);
            guess = n.guess;
        }
        if (ic && guess) {
            size_t el = strlen(exp);
            guess = strncmp(guess, exp, el) ? nullptr : dyncat(pfx, guess + el);
        }
    }
    if (errflag || !guess || strlen(guess) <= 1)
        return;
    if (ic == TK_DOLLAR && !slash) {
        char tk[2] = {char(TK_DOLLAR), '\0'};
        guess = dyncat(tk, guess);
    } else if (ic == TK_EQUALS) {
        char tk[2] = {char(TK_EQUALS), '\0'};
        guess = dyncat(tk, guess);
    }
    if (!strcmp(guess, w))
        return;
    char *pword = dupstring(w), *pguess = dupstring(guess);
    untokenize(pword);
    untokenize(pguess);
    int x = 'y';
    if (ask) {
        // Keys typed ahead were meant for what comes next, not as answers.
        if (!shout || noquery(0)) {
            x = 'n';
        } else {
            char *sp = getsparam("SPROMPT");
            char *pp = promptexpand(sp ? sp : const_cast<char *>(""), 0, pguess, pword);
            qputs(pp, shout);
            qsfree(pp);
            if (isset(BEEP))
                putc('\a', shout);
            fflush(shout);
            x = getquery("nyae \t", 0);
        }
    }
    if (x == 'y' || x == ' ' || x == '\t') {
        *s = guess;
        if (hist)
            histreplace(pword, pguess);
    } else if (x == 'a') {
        histdone |= HISTDONE_NOEXEC;
    } else if (x == 'e') {
        histdone |= HISTDONE_NOEXEC | HISTDONE_PUSH;
    }
}
