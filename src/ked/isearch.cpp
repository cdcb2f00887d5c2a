// Incremental search through the history: each key typed extends the
// search string and the buffer shows the nearest line that holds it;
// backspace goes back one step, and any key that is not part of the
// search ends it and then does its usual work.
#include "ked/ked.h"

#include <cstring>
#include <string>
#include <vector>

extern char *previous_search;

namespace {

struct SearchState {
    long hist;
    int pos;  // where the match begins in the entry's text
    int cs;
    size_t slen;
    int dir;
    bool failing;
};

std::string textof(HistEntry *he)
{
    const char *t = he->edittext ? he->edittext : he->nam ? he->nam : "";
    char *u = dupstring(t);
    int len;
    unmetafy(u, &len);
    return std::string(u, size_t(len));
}

// Does the search string match text at i?  Lower-case letters of the
// string also match upper case unless asked to be exact.
bool matchat(const std::string &text, size_t i, const std::string &str, bool exact)
{
    size_t off = 0;
    if (!str.empty() && str[0] == '^') {
        if (i)
            return false;
        off = 1;
    }
    if (i + str.size() - off > text.size())
        return false;
    for (size_t k = off; k < str.size(); k++) {
        char a = str[k], b = text[i + k - off];
        if (a == b)
            continue;
        if (!exact && a >= 'a' && a <= 'z' && b == a - 'a' + 'A')
            continue;
        return false;
    }
    return true;
}

// The match in text nearest from start in direction dir (start itself
// allowed when from is true), or -1.
int findin(const std::string &text, int start, int dir, const std::string &str, bool exact, bool from)
{
    int n = int(text.size());
    if (dir < 0) {
        for (int i = from ? start : start - 1; i >= 0; i--)
            if (i <= n && matchat(text, size_t(i), str, exact))
                return i;
    } else {
        for (int i = from ? start : start + 1; i <= n; i++)
            if (matchat(text, size_t(i), str, exact))
                return i;
    }
    return -1;
}

void setstatus(const std::string &str, int dir, bool failing)
{
    std::string st = failing ? "failing " : "";
    st += dir < 0 ? "bck-i-search: " : "fwd-i-search: ";
    st += str;
    st += "_";
    qsfree(statusline);
    statusline = qtrduppfx(st.data(), st.size());
    statusll = int(st.size());
}

constexpr size_t MAX_SEARCH = 1024;

}  // namespace

namespace {

int doisearch(int dir, char **args)
{
    HistEntry *start = histent_for(histline);
    if (!start)
        return 1;
    if (args && *args) {
        int len;
        char *k = getkeystring(dupstring(*args), &len, GETKEY_BINDKEY, nullptr);
        ungetkeys(k, len);
    }
    bool exact = qmod.count != 1;
    char *okm = qtrdup(curkeymapname ? curkeymapname : "main");
    selectkeymap("main", 1);
    long ohist = histline;
    int ocs = tarncs;
    std::string oline(reinterpret_cast<char *>(line), size_t(tarnll));
    std::string str;
    std::vector<SearchState> stack;
    SearchState cur{histline, tarncs, tarncs, 0, dir, false};
    std::string lastmatch;
    int ret = 0;
    bool endsearch = false;
    auto load = [&](long num) {
        if (num != histline) {
            remember_edits();
            HistEntry *he = histent_for(num);
            histline = num;
            ked_setline(he->edittext ? he->edittext : he->nam);
        }
    };
    // Look for str from the current state; again: not at the current match.
    auto search = [&](bool again) {
        if (str.empty() || (str == "^")) {
            cur.failing = false;
            if (str == "^")
                tarncs = 0;
            return;
        }
        HistEntry *he = histent_for(cur.hist);
        std::string text = he ? textof(he) : std::string();
        int at = he ? findin(text, cur.pos, cur.dir, str, exact, !again) : -1;
        while (at < 0 && he && (kedreadflags & 1)) {
            he = cur.dir < 0 ? olderhistent(he) : newerhistent(he);
            while (he && (he == &curline && cur.dir < 0))
                he = olderhistent(he);
            if (!he)
                break;
            if ((he->flags & hist_skip_flags) || (isset(HISTFINDNODUPS) && (he->flags & HE_DUP)))
                continue;
            text = textof(he);
            if (!lastmatch.empty() && text == lastmatch)
                continue;
            at = findin(text, cur.dir < 0 ? int(text.size()) : 0, cur.dir, str, exact, true);
        }
        if (at < 0) {
            cur.failing = true;
            return;
        }
        cur.failing = false;
        cur.hist = he->number;
        cur.pos = at;
        lastmatch = text;
        load(he->number);
        int matchlen = int(str.size()) - (str[0] == '^' ? 1 : 0);
        tarncs = cur.dir < 0 ? at : at + matchlen;
        if (tarncs > tarnll)
            tarncs = tarnll;
        cur.cs = tarncs;
    };
    for (;;) {
        setstatus(str, cur.dir, cur.failing);
        qrefresh();
        Thingy *cmd = getkeycmd();
        if (!cmd || cmd == builtinthingy(T_SENDBREAK)) {
            // Abort: the line as it was before the search.
            load(ohist);
            if (ohist == histline) {
                setlinebytes(reinterpret_cast<const unsigned char *>(oline.data()), int(oline.size()));
            }
            tarncs = ocs;
            ret = 1;
            break;
        }
        Widget *w = cmd->widget;
        KedFunc f = w && (w->flags & W_INTERNAL) ? w->fn : nullptr;
        if (f == clearscreen || f == redisplay) {
            f(nullptr);
            continue;
        }
        if (w && w == builtinthingy(T_VICMDMODE)->widget) {
            selectkeymap(strcmp(curkeymapname, "vicmd") ? "vicmd" : "main", 1);
            continue;
        }
        if (f == backwarddeletechar || (w && w == builtinthingy(T_VIBACKWARDDELETECHAR)->widget)) {
            if (stack.empty()) {
                handlefeep();
                continue;
            }
            cur = stack.back();
            stack.pop_back();
            str.resize(cur.slen);
            load(cur.hist);
            tarncs = cur.cs > tarnll ? tarnll : cur.cs;
            continue;
        }
        if (f == acceptandhold || f == acceptandinfernexthistory || f == acceptlineanddownhistory) {
            f(nullptr);
            break;
        }
        if (f == acceptline) {
            done = 1;
            break;
        }
        int newdir = 0;
        if (f == historyincrementalsearchbackward)
            newdir = -1;
        else if (f == historyincrementalsearchforward)
            newdir = 1;
        else if (w && w == builtinthingy(T_VIREVREPEATSEARCH)->widget)
            newdir = -cur.dir;
        else if (w && w == builtinthingy(T_VIREPEATSEARCH)->widget)
            newdir = dir;
        if (newdir) {
            stack.push_back(cur);
            stack.back().slen = str.size();
            if (str.empty() && previous_search)
                str = previous_search;
            cur.dir = newdir;
            search(true);
            continue;
        }
        int c = -1;
        if (f == quotedinsert || (w && w == builtinthingy(T_VIQUOTEDINSERT)->widget)) {
            c = getkey(0);
            if (c < 0)
                continue;
        } else if (f == selfinsert) {
            c = lastchar;
        } else if (f == selfinsertunmeta) {
            c = lastchar & 0x7f;
            if (c == '\r')
                c = '\n';
        } else if (f == magicspace) {
            c = ' ';
        }
        if (c < 0) {
            // Not a search key: it does its own work after the search.
            endsearch = true;
            ungetkeycmd();
            break;
        }
        if (str.size() >= MAX_SEARCH) {
            handlefeep();
            continue;
        }
        stack.push_back(cur);
        stack.back().slen = str.size();
        str += char(c);
        SearchState before = cur;
        search(false);
        if (cur.failing) {
            // The last state that matched stays; the search is failing.
            long fh = before.hist;
            int fp = before.pos, fc = before.cs;
            cur.hist = fh;
            cur.pos = fp;
            cur.cs = fc;
            handlefeep();
        }
    }
    (void)endsearch;
    qsfree(previous_search);
    previous_search = qtrdup(str.c_str());
    qsfree(statusline);
    statusline = nullptr;
    statusll = 0;
    selectkeymap(okm, 1);
    qsfree(okm);
    return ret;
}

}  // namespace

int historyincrementalsearchbackward(char **args) { return doisearch(-1, args); }
int historyincrementalsearchforward(char **args) { return doisearch(1, args); }
