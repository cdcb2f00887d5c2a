// The completions a new user gets with no set-up at all: command names in
// command position, file names elsewhere (directories after cd), parameter
// names after $ and ${ and in arithmetic, user and named directory names
// after ~.  They answer "compctl_make" when no completion function runs.
#include "builtins/builtins.h"
#include "complete/complete.h"
#include "params/params.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

void setstr(char **var, const std::string &v)
{
    qsfree(*var);
    *var = qtrdup(v.c_str());
}

int addwords(Cadata *dat, std::vector<std::string> &words)
{
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(dupstring(w.c_str()));
    argv.push_back(nullptr);
    return addmatches(dat, argv.data());
}

void tablenames(HashTable *ht, std::vector<std::string> &out, const std::string &pfx, int skipflags = 0)
{
    if (!ht)
        return;
    for (int i = 0; i < ht->hsize; i++)
        for (HashNode *hn = ht->nodes[i]; hn; hn = hn->next)
            if (!(hn->flags & skipflags) && !strncmp(hn->nam, pfx.c_str(), pfx.size()))
                out.push_back(hn->nam);
}

int complete_params(const std::string &pfx, bool brace, bool math)
{
    std::vector<std::string> names;
    for (int i = 0; i < realparamtab->hsize; i++)
        for (HashNode *hn = realparamtab->nodes[i]; hn; hn = hn->next) {
            Param *pm = static_cast<Param *>(hn);
            if ((pm->flags & PF_UNSET) && !(pm->flags & PF_SPECIAL))
                continue;
            if (!strncmp(hn->nam, pfx.c_str(), pfx.size()))
                names.push_back(hn->nam);
        }
    Cadata dat{};
    dat.aflags = CAF_MATCH;
    dat.flags = math ? 0 : MF_ISPAR | (brace ? MF_PARBR : 0);
    if (brace && !(tarncs < tarnll && line[tarncs] == '}')) {
        dat.suf = dupstring("}");
        dat.flags |= MF_REMOVE;
    }
    return addwords(&dat, names);
}

int complete_users(const std::string &pfx)
{
    std::vector<std::string> names;
    setpwent();
    while (struct passwd *pw = getpwent())
        if (!strncmp(pw->pw_name, pfx.c_str(), pfx.size()))
            names.push_back(pw->pw_name);
    endpwent();
    tablenames(nameddirtab, names, pfx);
    Cadata dat{};
    dat.aflags = CAF_MATCH;
    dat.suf = dupstring("/");
    dat.flags = MF_REMOVE;
    return addwords(&dat, names);
}

enum FileKind { ANYFILE, DIRSONLY, EXECUTABLES };

// Files in the directory the word names so far.  raw is the word as it
// stands on the line (quoted) up to the cursor.
int complete_files(const std::string &raw, FileKind kind)
{
    size_t slash = std::string::npos;
    for (size_t i = 0; i < raw.size(); i++) {
        if (raw[i] == '\\' && i + 1 < raw.size()) {
            i++;
            continue;
        }
        if (raw[i] == '/')
            slash = i;
    }
    std::string rawdir = slash == std::string::npos ? "" : raw.substr(0, slash + 1);
    std::string dir = comp_unquote(rawdir.c_str());
    std::string base = comp_unquote(raw.substr(rawdir.size()).c_str());
    if (!dir.empty() && dir[0] == '~') {
        char *d = dupstring(dir.c_str());
        LinkList *l = newlinklist();
        addlinknode(l, d);
        NoErrsGuard ng(1);
        prefork(l, 0);
        errflag = 0;
        if (nonempty(l))
            dir = static_cast<char *>(getdata(firstnode(l)));
    }
    setstr(&compprefix, base);
    if (!isset(COMPLETEINWORD))
        setstr(&compsuffix, "");
    DIR *dd = opendir(dir.empty() ? "." : unmeta(dir.c_str()));
    if (!dd)
        return 1;
    std::vector<std::string> names;
    bool dots = (!base.empty() && base[0] == '.') || isset(GLOBDOTS);
    while (struct dirent *de = readdir(dd)) {
        const char *n = de->d_name;
        if (!strcmp(n, ".") || !strcmp(n, ".."))
            continue;
        if (n[0] == '.' && !dots)
            continue;
        char *mn = metafy(const_cast<char *>(n), -1, META_HEAPDUP);
        if (kind != ANYFILE) {
            struct stat st;
            std::string full = (dir.empty() ? std::string(".") + "/" : dir) + n;
            if (stat(full.c_str(), &st))
                continue;
            bool isdir = S_ISDIR(st.st_mode);
            if (kind == DIRSONLY && !isdir)
                continue;
            if (kind == EXECUTABLES && !isdir && !(st.st_mode & 0111))
                continue;
        }
        names.push_back(mn);
    }
    closedir(dd);
    Cadata dat{};
    dat.aflags = CAF_MATCH;
    dat.flags = MF_FILE;
    dat.ppre = rawdir.empty() ? nullptr : dupstring(rawdir.c_str());
    dat.prpre = dir.empty() ? nullptr : dupstring(dir.c_str());
    return addwords(&dat, names);
}

int complete_commands(const std::string &pfx)
{
    std::vector<std::string> names;
    fillcmdnamtable(cmdnamtab);
    tablenames(cmdnamtab, names, pfx);
    tablenames(builtintab, names, pfx, NODE_DISABLED);
    tablenames(shfunctab, names, pfx, NODE_DISABLED);
    tablenames(aliastab, names, pfx, NODE_DISABLED);
    tablenames(reswdtab, names, pfx, NODE_DISABLED);
    Cadata dat{};
    dat.aflags = CAF_MATCH;
    int r = addwords(&dat, names);
    if (isset(AUTOCD)) {
        std::string raw = pfx;
        if (!complete_files(raw, DIRSONLY))
            r = 0;
    }
    return r;
}

}  // namespace

int compctl_make_hook(Hookdef *, void *data)
{
    CompldatA *cd = static_cast<CompldatA *>(data);
    std::string word = cd->s ? cd->s : "";
    std::string raw = word.substr(0, size_t(offs) <= word.size() ? size_t(offs) : word.size());
    std::string pre = compprefix ? compprefix : "";
    // A parameter name after $ or ${.
    int pb = instring == 1 ? -1 : parambeg(word.c_str(), offs);
    if (pb >= 0) {
        size_t p = size_t(pb) + 1;
        bool brace = word[p] == '{';
        if (brace)
            p++;
        while (p < word.size() && strchr("^=~#+", word[p]))
            p++;
        std::string name = word.substr(p, size_t(offs) - p);
        setstr(&compiprefix, comp_unquote(word.substr(0, p).c_str()));
        setstr(&compprefix, name);
        setstr(&compsuffix, "");
        return complete_params(name, brace, false);
    }
    if (inwhat == IN_MATH)
        return complete_params(pre, false, true);
    if (!raw.empty() && raw[0] == '~' && raw.find('/') == std::string::npos) {
        setstr(&compiprefix, "~");
        setstr(&compprefix, pre.substr(1));
        return complete_users(pre.substr(1));
    }
    if (inwhat == IN_CMD || (lincmd && !linredir && inwhat == IN_NOTHING)) {
        if (raw.find('/') != std::string::npos)
            return complete_files(raw, EXECUTABLES);
        return complete_commands(pre);
    }
    FileKind kind = ANYFILE;
    if (!linredir && cmdstr && (!strcmp(cmdstr, "cd") || !strcmp(cmdstr, "pushd") || !strcmp(cmdstr, "rmdir")))
        kind = DIRSONLY;
    return complete_files(raw, kind);
}

int setup_tarnQscompctl(Module *) { return 0; }

int boot_tarnQscompctl(Module *)
{
    addhookfunc("compctl_make", compctl_make_hook);
    return 0;
}

int cleanup_tarnQscompctl(Module *)
{
    deletehookfunc("compctl_make", compctl_make_hook);
    return 0;
}

int finish_tarnQscompctl(Module *) { return 0; }
