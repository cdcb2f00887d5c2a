// Filename generation: a word with unquoted pattern characters becomes
// the sorted names of the existing files it matches.
#include "expand/expand.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

int badcshglob;

namespace {

std::string joinpath(const std::string &dir, const std::string &name)
{
    if (dir.empty())
        return name;
    std::string r = dir;
    if (r != "/")
        r += '/';
    r += name;
    return r;
}

// Split a pattern into path segments at unquoted slashes.
std::vector<std::string> segments(const char *pat, bool *absolute)
{
    std::vector<std::string> segs;
    *absolute = *pat == '/';
    std::string cur;
    for (const char *p = pat; *p; p++) {
        if (*p == '/') {
            if (!cur.empty())
                segs.push_back(cur);
            cur.clear();
            continue;
        }
        cur += *p;
    }
    if (!cur.empty())
        segs.push_back(cur);
    return segs;
}

bool segmentwild(const std::string &s)
{
    std::string t = s;
    return haswilds(t.data());
}

// Match one segment in dir (metafied path, "" for the current directory).
void matchsegment(const std::string &dir, const std::string &seg, bool last, std::vector<std::string> &out)
{
    std::string pat = seg;
    Patprog *prog = patcompile(pat.data(), PC_FILENAME | (isset(GLOBDOTS) ? 0 : PC_NO_DOTS), nullptr);
    if (!prog)
        return;
    const char *ud = unmeta(dir.empty() ? "." : dir.c_str());
    DIR *d = ud ? opendir(ud) : nullptr;
    if (!d)
        return;
    while (char *name = qreaddir(d, 1)) {
        std::string nm = name;
        if (!pattry(prog, nm.c_str()))
            continue;
        std::string full = joinpath(dir, nm);
        if (!last) {
            struct stat st;
            const char *uf = unmeta(full.c_str());
            if (!uf || stat(uf, &st) || !S_ISDIR(st.st_mode))
                continue;
        }
        out.push_back(full);
    }
    closedir(d);
}

// dir itself and every directory below it (symbolic links followed only
// when asked); dot directories only with globdots.
void walkdirs(const std::string &dir, bool follow, int depth, std::vector<std::string> &out)
{
    out.push_back(dir);
    if (depth > 512)
        return;
    const char *ud = unmeta(dir.empty() ? "." : dir.c_str());
    DIR *d = ud ? opendir(ud) : nullptr;
    if (!d)
        return;
    std::vector<std::string> subs;
    while (char *name = qreaddir(d, 1)) {
        if (*name == '.' && !isset(GLOBDOTS))
            continue;
        std::string full = joinpath(dir, name);
        const char *uf = unmeta(full.c_str());
        struct stat st;
        if (!uf || (follow ? stat(uf, &st) : lstat(uf, &st)) || !S_ISDIR(st.st_mode))
            continue;
        subs.push_back(full);
    }
    closedir(d);
    std::sort(subs.begin(), subs.end());
    for (auto &sd : subs)
        walkdirs(sd, follow, depth + 1, out);
}

std::string literal(const std::string &seg)
{
    std::string t = seg;
    untokenize(t.data());
    remnulargs(t.data());
    return std::string(t.c_str());
}

}  // namespace

// Expand one word in place in the list; false when nothing matched.
static bool qglob(LinkList *list, LinkNode *node)
{
    char *word = static_cast<char *>(getdata(node));
    bool absolute;
    std::vector<std::string> segs = segments(word, &absolute);
    std::vector<std::string> paths{absolute ? std::string("/") : std::string()};
    for (size_t i = 0; i < segs.size(); i++) {
        bool last = i + 1 == segs.size();
        std::vector<std::string> next;
        // **/ matches any number of directories (***/ follows links too).
        const std::string &sg = segs[i];
        bool dstar = !last && sg.size() == 2 && static_cast<unsigned char>(sg[0]) == TK_STAR &&
                     static_cast<unsigned char>(sg[1]) == TK_STAR;
        bool tstar = !last && sg.size() == 3 && static_cast<unsigned char>(sg[0]) == TK_STAR &&
                     static_cast<unsigned char>(sg[1]) == TK_STAR && static_cast<unsigned char>(sg[2]) == TK_STAR;
        if (dstar || tstar) {
            for (auto &p : paths)
                walkdirs(p, tstar, 0, next);
            paths.swap(next);
            continue;
        }
        if (!segmentwild(segs[i])) {
            // A literal segment is checked by one stat at the end.
            std::string lit = literal(segs[i]);
            for (auto &p : paths)
                next.push_back(joinpath(p, lit));
            {
                std::vector<std::string> kept;
                for (auto &p : next) {
                    struct stat st;
                    const char *up = unmeta(p.c_str());
                    if (up && !lstat(up, &st))
                        kept.push_back(p);
                }
                next.swap(kept);
            }
        } else {
            for (auto &p : paths)
                matchsegment(p, segs[i], last, next);
        }
        paths.swap(next);
        if (paths.empty())
            break;
    }
    if (paths.empty())
        return false;
    if (isset(NUMERICGLOBSORT))
        std::sort(paths.begin(), paths.end(), [](const std::string &a, const std::string &b) {
            char *x, *y;
            long na = strtol(a.c_str(), &x, 10), nb = strtol(b.c_str(), &y, 10);
            if (x != a.c_str() && y != b.c_str() && na != nb)
                return na < nb;
            return strcoll(a.c_str(), b.c_str()) < 0;
        });
    else
        std::sort(paths.begin(), paths.end(),
                  [](const std::string &a, const std::string &b) { return strcoll(a.c_str(), b.c_str()) < 0; });
    LinkNode *where = node;
    setdata(node, dupstring(paths[0].c_str()));
    for (size_t i = 1; i < paths.size(); i++)
        where = insertlinknode(list, where, dupstring(paths[i].c_str()));
    return true;
}

void globlist(LinkList *list, int nountok)
{
    badcshglob = 0;
    for (LinkNode *n = firstnode(list), *next; n && !errflag; n = next) {
        next = nextnode(n);
        char *w = static_cast<char *>(getdata(n));
        if (isset(GLOB) && haswilds(w)) {
            LinkNode *prevlast = n;
            if (qglob(list, n)) {
                badcshglob |= 2;
                // Skip the names just inserted.
                while (nextnode(prevlast) != next)
                    prevlast = nextnode(prevlast);
                continue;
            }
            if (isset(CSHNULLGLOB)) {
                badcshglob |= 1;
                uremnode(list, n);
                continue;
            }
            if (isset(NULLGLOB)) {
                uremnode(list, n);
                continue;
            }
            if (isset(NOMATCH)) {
                char *shown = dupstring(w);
                untokenize(shown);
                qerr("no matches found: %s", shown, 0);
                return;
            }
        }
        if (!nountok)
            untokenize(static_cast<char *>(getdata(n)));
    }
    if (badcshglob == 1)
        qerr("no match", nullptr, 0);
}
