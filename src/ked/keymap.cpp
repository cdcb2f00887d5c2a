// Keymaps: sequences of keys bound to widgets or to strings fed back as
// input, the named keymaps and their defaults, reading the longest bound
// sequence with the key time-out, and the bindkey builtin.
#include "ked/ked.h"
#include "expand/expand.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

HashTable *keymapnamtab;
Keymap *curkeymap, *localkeymap;
char *curkeymapname;
char *keybuf;
int keyseq_length;
Thingy *last_named_command;

namespace {

int keybufsz;

struct KeymapName : HashNode {
    Keymap *keymap;
};
constexpr int KMN_PROTECTED = 2;

Thingy *undefkey() { return builtinthingy(T_UNDEFINEDKEY); }

// The first byte of a metafied sequence and whether it is one character.
unsigned char firstbyte(const char *s, bool *single)
{
    const char *p = s;
    unsigned char c = metachar(p);
    *single = !*p;
    return c;
}

void freekeynode(HashNode *hn)
{
    KeyEntry *k = static_cast<KeyEntry *>(hn);
    qsfree(k->nam);
    unrefthingy(k->bind);
    qsfree(k->str);
    qfree(k);
}

HashTable *newkeytab()
{
    HashTable *ht = newhashtable(19, "keytab", nullptr);
    ht->hash = hasher;
    ht->emptytable = emptyhashtable;
    ht->cmpnodes = strcmp;
    ht->addnode = addhashnode;
    ht->getnode = gethashnode2;
    ht->getnode2 = gethashnode2;
    ht->removenode = removehashnode;
    ht->freenode = freekeynode;
    return ht;
}

void freekeymap(Keymap *km)
{
    deletehashtable(km->multi);
    for (Thingy *&t : km->first)
        unrefthingy(t);
    qfree(km);
}

void dropkeymap(Keymap *km)
{
    if (km && --km->rc <= 0 && km->holders <= 0)
        freekeymap(km);
}

void freekmname(HashNode *hn)
{
    KeymapName *n = static_cast<KeymapName *>(hn);
    qsfree(n->nam);
    dropkeymap(n->keymap);
    qfree(n);
}

}  // namespace

Keymap *newkeymap(Keymap *from)
{
    Keymap *km = qcnew<Keymap>();
    km->multi = newkeytab();
    if (from) {
        for (int i = 0; i < 256; i++)
            km->first[i] = refthingy(from->first[i]);
        for (int i = 0; i < from->multi->hsize; i++)
            for (HashNode *hn = from->multi->nodes[i]; hn; hn = hn->next) {
                KeyEntry *k = static_cast<KeyEntry *>(hn), *n = qcnew<KeyEntry>();
                n->bind = refthingy(k->bind);
                n->str = k->str ? qtrdup(k->str) : nullptr;
                n->prefixct = k->prefixct;
                addhashnode(km->multi, qtrdup(k->nam), n);
            }
    } else {
        for (Thingy *&t : km->first)
            t = refthingy(undefkey());
    }
    return km;
}

namespace {

// A shorter sequence: the last character (a metafied pair whole) removed.
void chopchar(std::string &s)
{
    size_t n = s.size();
    if (n >= 2 && static_cast<unsigned char>(s[n - 2]) == METACHAR)
        s.resize(n - 2);
    else if (n)
        s.resize(n - 1);
}

}  // namespace

Keymap *openkeymap(const char *name)
{
    KeymapName *n = static_cast<KeymapName *>(gethashnode2(keymapnamtab, name));
    return n ? n->keymap : nullptr;
}

int linkkeymap(Keymap *km, const char *name, int protect)
{
    KeymapName *n = static_cast<KeymapName *>(gethashnode2(keymapnamtab, name));
    if (n) {
        if (n->flags & KMN_PROTECTED)
            return 1;
        if (n->keymap == km)
            return 0;
        dropkeymap(n->keymap);
        n->keymap = km;
    } else {
        n = qcnew<KeymapName>();
        n->keymap = km;
        if (protect)
            n->flags |= KMN_PROTECTED;
        addhashnode(keymapnamtab, qtrdup(name), n);
    }
    km->rc++;
    return 0;
}

int unlinkkeymap(const char *name, int ignore)
{
    KeymapName *n = static_cast<KeymapName *>(gethashnode2(keymapnamtab, name));
    if (!n)
        return 2;
    if (!ignore && (n->flags & KMN_PROTECTED))
        return 1;
    freekmname(removehashnode(keymapnamtab, name));
    return 0;
}

namespace {

// The selected keymap and a nested reader's keymap are held: deleting
// their names must not free them under the reader.
void holdkeymap(Keymap **slot, Keymap *km)
{
    if (km)
        km->holders++;
    if (Keymap *old = *slot) {
        old->holders--;
        if (old->rc <= 0 && old->holders <= 0)
            freekeymap(old);
    }
    *slot = km;
}

}  // namespace

int selectkeymap(const char *name, int fallback)
{
    Keymap *km = openkeymap(name);
    if (!km) {
        std::string msg = std::string("No such keymap `") + name + "'";
        showmsg(msg.c_str());
        if (!fallback)
            return 1;
        km = openkeymap(name = ".safe");
    }
    if (name != curkeymapname) {
        char *n = qtrdup(name);
        qsfree(curkeymapname);
        curkeymapname = n;
    }
    holdkeymap(&curkeymap, km);
    return 0;
}

void selectlocalmap(Keymap *km) { holdkeymap(&localkeymap, km); }

void reselectkeymap()
{
    char *n = qtrdup(curkeymapname ? curkeymapname : "main");
    selectkeymap(n, 1);
    qsfree(n);
}

int bindkey(Keymap *km, const char *seq, Thingy *bind, const char *str)
{
    if (km->flags & KM_IMMUTABLE) {
        unrefthingy(bind);
        return 1;
    }
    if (!*seq) {
        unrefthingy(bind);
        return 2;
    }
    bool single;
    unsigned char f = firstbyte(seq, &single);
    KeyEntry *k = nullptr;
    if (bind && !str && single) {
        if (km->first[f]) {
            unrefthingy(km->first[f]);
            km->first[f] = bind;
            return 0;
        }
        k = static_cast<KeyEntry *>(km->multi->getnode(km->multi, seq));
        if (k && !k->prefixct) {
            freekeynode(km->multi->removenode(km->multi, seq));
            km->first[f] = bind;
            return 0;
        }
    } else {
        if (km->first[f]) {
            KeyEntry *one = qcnew<KeyEntry>();
            one->bind = km->first[f];
            km->first[f] = nullptr;
            std::string s1(seq, seq[0] == char(METACHAR) ? 2 : 1);
            addhashnode(km->multi, qtrdup(s1.c_str()), one);
        }
        k = static_cast<KeyEntry *>(km->multi->getnode(km->multi, seq));
    }
    if (bind == undefkey() && !str) {
        // Unbinding.
        unrefthingy(bind);
        if (!k)
            return 0;
        unrefthingy(k->bind);
        qsfree(k->str);
        k->str = nullptr;
        k->bind = refthingy(undefkey());
        if (k->prefixct)
            return 0;
        freekeynode(km->multi->removenode(km->multi, seq));
        std::string p = seq;
        for (;;) {
            chopchar(p);
            if (p.empty())
                break;
            KeyEntry *pk = static_cast<KeyEntry *>(km->multi->getnode(km->multi, p.c_str()));
            if (!pk)
                break;
            if (--pk->prefixct)
                break;
            bool one = p.size() == 1 || (p.size() == 2 && static_cast<unsigned char>(p[0]) == METACHAR);
            // A single byte that is no longer a prefix goes back to the
            // byte table, bound or not, so that every byte is in one table.
            if (one && !pk->str) {
                bool s1;
                unsigned char b = firstbyte(p.c_str(), &s1);
                km->first[b] = refthingy(pk->bind ? pk->bind : undefkey());
                freekeynode(km->multi->removenode(km->multi, p.c_str()));
                break;
            }
            if (pk->bind == undefkey() && !pk->str) {
                freekeynode(km->multi->removenode(km->multi, p.c_str()));
                continue;
            }
            break;
        }
        return 0;
    }
    if (k) {
        unrefthingy(k->bind);
        qsfree(k->str);
        k->bind = str ? nullptr : bind;
        if (str)
            unrefthingy(bind);
        k->str = str ? qtrdup(str) : nullptr;
        return 0;
    }
    k = qcnew<KeyEntry>();
    k->bind = str ? nullptr : bind;
    if (str)
        unrefthingy(bind);
    k->str = str ? qtrdup(str) : nullptr;
    addhashnode(km->multi, qtrdup(seq), k);
    std::string p = seq;
    for (;;) {
        chopchar(p);
        if (p.empty())
            break;
        KeyEntry *pk = static_cast<KeyEntry *>(km->multi->getnode(km->multi, p.c_str()));
        bool made = false;
        if (!pk) {
            pk = qcnew<KeyEntry>();
            pk->bind = refthingy(undefkey());
            addhashnode(km->multi, qtrdup(p.c_str()), pk);
            made = true;
        }
        pk->prefixct++;
        if (!made)
            break;
    }
    return 0;
}

Thingy *keybind(Keymap *km, const char *seq, char **strp)
{
    *strp = nullptr;
    bool single;
    unsigned char f = firstbyte(seq, &single);
    if (single && km->first[f])
        return km->first[f];
    KeyEntry *k = static_cast<KeyEntry *>(km->multi->getnode(km->multi, seq));
    if (!k)
        return undefkey();
    *strp = k->str;
    return k->bind;
}

namespace {

bool keyisprefix(Keymap *km, const char *seq)
{
    if (!*seq)
        return true;
    bool single;
    unsigned char f = firstbyte(seq, &single);
    if (single && km->first[f])
        return false;
    KeyEntry *k = static_cast<KeyEntry *>(km->multi->getnode(km->multi, seq));
    return k && k->prefixct;
}

// Read a key into keybuf, metafied; -1 at the end of input.
int getkeybuf(int timeout)
{
    int c = getkey(timeout);
    if (c < 0)
        return -1;
    if (keyseq_length + 3 > keybufsz) {
        keybufsz = keybufsz ? keybufsz * 2 : 20;
        keybuf = static_cast<char *>(qrealloc(keybuf, size_t(keybufsz)));
    }
    if (imeta(static_cast<unsigned char>(c))) {
        keybuf[keyseq_length++] = char(METACHAR);
        keybuf[keyseq_length++] = char(c ^ 32);
    } else {
        keybuf[keyseq_length++] = char(c);
    }
    keybuf[keyseq_length] = '\0';
    lastchar = c;
    return c;
}

}  // namespace

extern void vichgdrop(int n);

char *getkeymapcmd(Keymap *km, Thingy **funcp, char **strp)
{
    Thingy *func = undefkey();
    char *str = nullptr;
    int lastlen = 0, lastc = lastchar;
    keyseq_length = 0;
    if (keybuf)
        keybuf[0] = '\0';
    if (getkeybuf(0) < 0) {
        *funcp = nullptr;
        *strp = nullptr;
        return nullptr;
    }
    for (;;) {
        Thingy *f = undefkey();
        char *s = nullptr;
        Keymap *where = km;
        if (localkeymap) {
            f = keybind(localkeymap, keybuf, &s);
            if (f != undefkey() || s)
                where = localkeymap;
        }
        if (where == km)
            f = keybind(km, keybuf, &s);
        if (f != undefkey() || s) {
            func = f;
            str = s;
            lastlen = keyseq_length;
            lastc = lastchar;
        }
        if (!keyisprefix(where, keybuf))
            break;
        if (getkeybuf(func != undefkey() || str) < 0)
            break;
    }
    if (!lastlen) {
        lastlen = keyseq_length;
    } else {
        lastchar = lastc;
        if (lastlen < keyseq_length) {
            // Keys read past the match are read again.
            char *rest = dupstring(keybuf + lastlen);
            int len;
            unmetafy(rest, &len);
            ungetkeys(rest, len);
            vichgdrop(len);
        }
    }
    keybuf[lastlen] = '\0';
    keyseq_length = lastlen;
    *funcp = func;
    *strp = str;
    return keybuf;
}

void ungetkeycmd()
{
    char *s = dupstring(keybuf);
    int len;
    unmetafy(s, &len);
    ungetkeys(s, len);
}

Thingy *getkeycmd()
{
    Thingy *func;
    char *str;
    for (int hops = 0;; hops++) {
        if (!getkeymapcmd(curkeymap, &func, &str) || !keyseq_length)
            return nullptr;
        if (func)
            break;
        if (hops == 19) {
            showmsg("string inserting another one too many times");
            return nullptr;
        }
        char *s = dupstring(str ? str : "");
        int len;
        unmetafy(s, &len);
        ungetkeys(s, len);
    }
    if (func == builtinthingy(T_EXECUTENAMEDCMD) && !statusline) {
        Thingy *t;
        do
            t = executenamedcommand("execute: ");
        while (t == builtinthingy(T_EXECUTENAMEDCMD));
        if (!t)
            return undefkey();
        if (t != builtinthingy(T_EXECUTELASTNAMEDCMD)) {
            unrefthingy(last_named_command);
            last_named_command = t;
        } else {
            unrefthingy(t);
        }
        func = t;
    }
    if (func == builtinthingy(T_EXECUTELASTNAMEDCMD))
        func = last_named_command;
    return func;
}

// ---- scanning and printing ----

void scankeymap(Keymap *km, int sorted, KeyScanFunc fn, void *data)
{
    std::vector<KeyEntry *> multi;
    for (int i = 0; i < km->multi->hsize; i++)
        for (HashNode *hn = km->multi->nodes[i]; hn; hn = hn->next)
            multi.push_back(static_cast<KeyEntry *>(hn));
    char one[3];
    auto single = [&](int b) {
        if (!km->first[b] || km->first[b] == undefkey())
            return;
        if (imeta(static_cast<unsigned char>(b))) {
            one[0] = char(METACHAR);
            one[1] = char(b ^ 32);
            one[2] = '\0';
        } else {
            one[0] = char(b);
            one[1] = '\0';
        }
        fn(one, km->first[b], nullptr, data);
    };
    if (!sorted) {
        for (KeyEntry *k : multi)
            fn(k->nam, k->bind, k->str, data);
        for (int b = 0; b < 256; b++)
            single(b);
        return;
    }
    // Sorted by the bytes of the unmetafied sequence.
    auto key = [](const char *s) {
        std::string u;
        for (const char *p = s; *p;)
            u += char(metachar(p));
        return u;
    };
    std::sort(multi.begin(), multi.end(), [&](KeyEntry *a, KeyEntry *b) { return key(a->nam) < key(b->nam); });
    int next = 0;
    for (KeyEntry *k : multi) {
        int f = static_cast<unsigned char>(key(k->nam)[0]);
        for (; next <= f; next++)
            single(next);
        fn(k->nam, k->bind, k->str, data);
    }
    for (; next < 256; next++)
        single(next);
}

char *keyprintable(const char *seq)
{
    std::string out;
    for (const char *p = seq; *p;) {
        unsigned char c = metachar(p);
        if (c >= 128) {
            out += "\\M-";
            c &= 127;
        }
        if (c < 32) {
            // ^\ needs its backslash escaped, or it would quote what follows.
            out += '^';
            if (c + 64 == '\\')
                out += '\\';
            out += char(c + 64);
        } else if (c == 127) {
            out += "^?";
        } else if (c == '\\' || c == '^') {
            out += '\\';
            out += char(c);
        } else {
            out += char(c);
        }
    }
    return dupstring(out.c_str());
}

namespace {

// Double-quote a key notation for the shell.
std::string dquoted(const char *s)
{
    std::string out = "\"";
    for (; *s; s++) {
        if (*s == '"' || *s == '\\' || *s == '$' || *s == '`')
            out += '\\';
        out += *s;
    }
    out += '"';
    return out;
}

struct ListState {
    bool ascmd;
    const char *kmname;
    // A run of single bytes with one binding, still to be printed.
    std::string first, last;
    Thingy *bind = nullptr;
    bool open = false;
    std::string prefix;  // -p: only what extends it
    bool haveprefix = false;
};

void printbinding(ListState *st, const std::string &from, const std::string &to, Thingy *bind, const char *str)
{
    bool range = from != to;
    if (st->ascmd) {
        fputs("bindkey ", stdout);
        if (range)
            fputs("-R ", stdout);
        if (str)
            fputs("-s ", stdout);
        bool written = false;
        if (!strcmp(st->kmname, "vicmd")) {
            fputs("-a ", stdout);
        } else if (strcmp(st->kmname, "main")) {
            fputs("-M ", stdout);
            quotedqputs(st->kmname, stdout);
            putchar(' ');
            written = true;
        }
        char *pf = keyprintable(from.c_str());
        if (*pf == '-' && !written)
            fputs("-- ", stdout);
        fputs(dquoted(pf).c_str(), stdout);
        if (range) {
            putchar('-');
            fputs(dquoted(keyprintable(to.c_str())).c_str(), stdout);
        }
        putchar(' ');
        if (str)
            fputs(dquoted(keyprintable(str)).c_str(), stdout);
        else
            quotedqputs(bind->nam, stdout);
    } else {
        fputs(dquoted(keyprintable(from.c_str())).c_str(), stdout);
        if (range) {
            putchar('-');
            fputs(dquoted(keyprintable(to.c_str())).c_str(), stdout);
        }
        putchar(' ');
        if (str)
            fputs(dquoted(keyprintable(str)).c_str(), stdout);
        else
            niceqputs(bind->nam, stdout);
    }
    putchar('\n');
}

void flushrun(ListState *st)
{
    if (st->open)
        printbinding(st, st->first, st->last, st->bind, nullptr);
    st->open = false;
}

bool onebyte(const char *s) { return s[0] && (!s[1] || (static_cast<unsigned char>(s[0]) == METACHAR && !s[2])); }

void listone(const char *seq, Thingy *bind, const char *str, void *data)
{
    ListState *st = static_cast<ListState *>(data);
    if (!str && (!bind || bind == undefkey()))
        return;
    if (st->haveprefix) {
        size_t pl = st->prefix.size();
        if (strlen(seq) <= pl || strncmp(seq, st->prefix.c_str(), pl))
            return;
    }
    if (!str && onebyte(seq)) {
        const char *p = seq;
        int b = metachar(p);
        if (st->open && st->bind == bind) {
            const char *q = st->last.c_str();
            if (metachar(q) + 1 == b) {
                st->last = seq;
                return;
            }
        }
        flushrun(st);
        st->first = st->last = seq;
        st->bind = bind;
        st->open = true;
        return;
    }
    flushrun(st);
    printbinding(st, seq, seq, bind, str);
}

const char *keymapname(Keymap *km)
{
    for (int i = 0; i < keymapnamtab->hsize; i++)
        for (HashNode *hn = keymapnamtab->nodes[i]; hn; hn = hn->next)
            if (static_cast<KeymapName *>(hn)->keymap == km && !strcmp(hn->nam, "main"))
                return "main";
    return nullptr;
}

}  // namespace

// ---- default keymaps ----

namespace {

struct Bind {
    const char *seq;  // key notation, decoded with the key-string decoder
    int widget;
};

constexpr Bind emacsbind[] = {
    {"^@", T_SETMARKCOMMAND}, {"^A", T_BEGINNINGOFLINE}, {"^B", T_BACKWARDCHAR},
    {"^D", T_DELETECHARORLIST}, {"^E", T_ENDOFLINE}, {"^F", T_FORWARDCHAR},
    {"^G", T_SENDBREAK}, {"^H", T_BACKWARDDELETECHAR}, {"^I", T_EXPANDORCOMPLETE},
    {"^J", T_ACCEPTLINE}, {"^K", T_KILLLINE}, {"^L", T_CLEARSCREEN},
    {"^M", T_ACCEPTLINE}, {"^N", T_DOWNLINEORHISTORY}, {"^O", T_ACCEPTLINEANDDOWNHISTORY},
    {"^P", T_UPLINEORHISTORY}, {"^Q", T_PUSHLINE}, {"^R", T_HISTORYINCREMENTALSEARCHBACKWARD},
    {"^S", T_HISTORYINCREMENTALSEARCHFORWARD}, {"^T", T_TRANSPOSECHARS}, {"^U", T_KILLWHOLELINE},
    {"^V", T_QUOTEDINSERT}, {"^W", T_BACKWARDKILLWORD}, {"^Y", T_YANK},
    {"^_", T_UNDO}, {"^?", T_BACKWARDDELETECHAR},
    {"^X*", T_EXPANDWORD}, {"^Xg", T_LISTEXPAND}, {"^XG", T_LISTEXPAND},
    {"^X^N", T_INFERNEXTHISTORY}, {"^X^K", T_KILLBUFFER}, {"^X^F", T_VIFINDNEXTCHAR},
    {"^X^O", T_OVERWRITEMODE}, {"^X^U", T_UNDO}, {"^X^V", T_VICMDMODE},
    {"^X^J", T_VIJOIN}, {"^X^B", T_VIMATCHBRACKET}, {"^Xs", T_HISTORYINCREMENTALSEARCHFORWARD},
    {"^Xr", T_HISTORYINCREMENTALSEARCHBACKWARD}, {"^Xu", T_UNDO}, {"^X^X", T_EXCHANGEPOINTANDMARK},
    {"^X=", T_WHATCURSORPOSITION},
};

// ESC followed by the key, in "emacs"; also what bindkey -m binds.
constexpr Bind metabind[] = {
    {"^D", T_LISTCHOICES}, {"^G", T_SENDBREAK}, {"^H", T_BACKWARDKILLWORD},
    {"^I", T_SELFINSERTUNMETA}, {"^J", T_SELFINSERTUNMETA}, {"^L", T_CLEARSCREEN},
    {"^M", T_SELFINSERTUNMETA}, {"^_", T_COPYPREVWORD}, {" ", T_EXPANDHISTORY},
    {"!", T_EXPANDHISTORY}, {"\"", T_QUOTEREGION}, {"$", T_SPELLWORD},
    {"'", T_QUOTELINE}, {"-", T_NEGARGUMENT}, {".", T_INSERTLASTWORD},
    {"0", T_DIGITARGUMENT}, {"1", T_DIGITARGUMENT}, {"2", T_DIGITARGUMENT},
    {"3", T_DIGITARGUMENT}, {"4", T_DIGITARGUMENT}, {"5", T_DIGITARGUMENT},
    {"6", T_DIGITARGUMENT}, {"7", T_DIGITARGUMENT}, {"8", T_DIGITARGUMENT},
    {"9", T_DIGITARGUMENT}, {"<", T_BEGINNINGOFBUFFERORHISTORY}, {">", T_ENDOFBUFFERORHISTORY},
    {"?", T_WHICHCOMMAND}, {"A", T_ACCEPTANDHOLD}, {"a", T_ACCEPTANDHOLD},
    {"B", T_BACKWARDWORD}, {"b", T_BACKWARDWORD}, {"C", T_CAPITALIZEWORD},
    {"c", T_CAPITALIZEWORD}, {"D", T_KILLWORD}, {"d", T_KILLWORD},
    {"F", T_FORWARDWORD}, {"f", T_FORWARDWORD}, {"G", T_GETLINE},
    {"g", T_GETLINE}, {"H", T_RUNHELP}, {"h", T_RUNHELP},
    {"L", T_DOWNCASEWORD}, {"l", T_DOWNCASEWORD}, {"N", T_HISTORYSEARCHFORWARD},
    {"n", T_HISTORYSEARCHFORWARD}, {"P", T_HISTORYSEARCHBACKWARD}, {"p", T_HISTORYSEARCHBACKWARD},
    {"Q", T_PUSHLINE}, {"q", T_PUSHLINE}, {"S", T_SPELLWORD},
    {"s", T_SPELLWORD}, {"T", T_TRANSPOSEWORDS}, {"t", T_TRANSPOSEWORDS},
    {"U", T_UPCASEWORD}, {"u", T_UPCASEWORD}, {"W", T_COPYREGIONASKILL},
    {"w", T_COPYREGIONASKILL}, {"_", T_INSERTLASTWORD}, {",", T_INSERTLASTWORD},
    {"x", T_EXECUTENAMEDCMD}, {"y", T_YANKPOP}, {"z", T_EXECUTELASTNAMEDCMD},
    {"|", T_VIGOTOCOLUMN}, {"^?", T_BACKWARDKILLWORD},
};

constexpr Bind viinsbind[] = {
    {"^D", T_LISTCHOICES}, {"^G", T_LISTEXPAND}, {"^H", T_VIBACKWARDDELETECHAR},
    {"^?", T_VIBACKWARDDELETECHAR}, {"^I", T_EXPANDORCOMPLETE}, {"^J", T_ACCEPTLINE},
    {"^M", T_ACCEPTLINE}, {"^L", T_CLEARSCREEN}, {"^Q", T_VIQUOTEDINSERT},
    {"^V", T_VIQUOTEDINSERT}, {"^R", T_REDISPLAY}, {"^U", T_VIKILLLINE},
    {"^W", T_VIBACKWARDKILLWORD}, {"^[", T_VICMDMODE},
};

constexpr Bind vicmdbind[] = {
    {"^D", T_LISTCHOICES}, {"^G", T_LISTEXPAND}, {"^H", T_VIBACKWARDCHAR},
    {"^?", T_VIBACKWARDCHAR}, {"^J", T_ACCEPTLINE}, {"^M", T_ACCEPTLINE},
    {"^L", T_CLEARSCREEN}, {"^N", T_DOWNHISTORY}, {"^P", T_UPHISTORY},
    {"^R", T_REDISPLAY}, {" ", T_VIFORWARDCHAR}, {"\"", T_VISETBUFFER},
    {"#", T_POUNDINSERT}, {"$", T_VIENDOFLINE}, {"%", T_VIMATCHBRACKET},
    {"'", T_VIGOTOMARKLINE}, {"+", T_VIDOWNLINEORHISTORY}, {",", T_VIREVREPEATFIND},
    {"-", T_VIUPLINEORHISTORY}, {".", T_VIREPEATCHANGE}, {"/", T_VIHISTORYSEARCHBACKWARD},
    {"0", T_VIDIGITORBEGINNINGOFLINE}, {"1", T_DIGITARGUMENT}, {"2", T_DIGITARGUMENT},
    {"3", T_DIGITARGUMENT}, {"4", T_DIGITARGUMENT}, {"5", T_DIGITARGUMENT},
    {"6", T_DIGITARGUMENT}, {"7", T_DIGITARGUMENT}, {"8", T_DIGITARGUMENT},
    {"9", T_DIGITARGUMENT}, {";", T_VIREPEATFIND}, {"<", T_VIUNINDENT},
    {"=", T_LISTCHOICES}, {">", T_VIINDENT}, {"?", T_VIHISTORYSEARCHFORWARD},
    {"A", T_VIADDEOL}, {"B", T_VIBACKWARDBLANKWORD}, {"C", T_VICHANGEEOL},
    {"D", T_VIKILLEOL}, {"E", T_VIFORWARDBLANKWORDEND}, {"F", T_VIFINDPREVCHAR},
    {"G", T_VIFETCHHISTORY}, {"I", T_VIINSERTBOL}, {"J", T_VIJOIN},
    {"N", T_VIREVREPEATSEARCH}, {"O", T_VIOPENLINEABOVE}, {"P", T_VIPUTBEFORE},
    {"R", T_VIREPLACE}, {"S", T_VICHANGEWHOLELINE}, {"T", T_VIFINDPREVCHARSKIP},
    {"W", T_VIFORWARDBLANKWORD}, {"X", T_VIBACKWARDDELETECHAR}, {"Y", T_VIYANKWHOLELINE},
    {"^", T_VIFIRSTNONBLANK}, {"`", T_VIGOTOMARK}, {"a", T_VIADDNEXT},
    {"b", T_VIBACKWARDWORD}, {"c", T_VICHANGE}, {"d", T_VIDELETE},
    {"e", T_VIFORWARDWORDEND}, {"f", T_VIFINDNEXTCHAR}, {"h", T_VIBACKWARDCHAR},
    {"i", T_VIINSERT}, {"j", T_DOWNLINEORHISTORY}, {"k", T_UPLINEORHISTORY},
    {"l", T_VIFORWARDCHAR}, {"m", T_VISETMARK}, {"n", T_VIREPEATSEARCH},
    {"o", T_VIOPENLINEBELOW}, {"p", T_VIPUTAFTER}, {"r", T_VIREPLACECHARS},
    {"s", T_VISUBSTITUTE}, {"t", T_VIFINDNEXTCHARSKIP}, {"u", T_VIUNDOCHANGE},
    {"w", T_VIFORWARDWORD}, {"x", T_VIDELETECHAR}, {"y", T_VIYANK},
    {"|", T_VIGOTOCOLUMN}, {"~", T_VISWAPCASE},
};

std::string decodekey(const char *notation)
{
    int len;
    char *k = getkeystring(dupstring(notation), &len, GETKEY_BINDKEY, nullptr);
    char *m = metafy(k, len, META_HEAPDUP);
    return m;
}

void bindall(Keymap *km, const Bind *b, size_t n, const char *prefix)
{
    for (size_t i = 0; i < n; i++) {
        std::string seq = decodekey((std::string(prefix) + b[i].seq).c_str());
        bindkey(km, seq.c_str(), refthingy(builtinthingy(b[i].widget)), nullptr);
    }
}

void bindrange(Keymap *km, int from, int to, Thingy *t)
{
    for (int c = from; c <= to; c++) {
        char s[3];
        if (imeta(static_cast<unsigned char>(c))) {
            s[0] = char(METACHAR);
            s[1] = char(c ^ 32);
            s[2] = '\0';
        } else {
            s[0] = char(c);
            s[1] = '\0';
        }
        bindkey(km, s, refthingy(t), nullptr);
    }
}

// The cursor keys of the terminal, and the ESC-[ and ESC-O forms.
void bindcursorkeys(Keymap *km, int up, int down, int left, int right)
{
    const int caps[4] = {TCUPCURSOR, TCDOWNCURSOR, TCLEFTCURSOR, TCRIGHTCURSOR};
    const int widgets[4] = {up, down, left, right};
    const char letters[4] = {'A', 'B', 'D', 'C'};
    for (int i = 0; i < 4; i++) {
        std::string seq;
        const char *cap = termcaps.str[caps[i]];
        if (cap && !(termflags & (TERM_BAD | TERM_UNKNOWN | TERM_NOUP)))
            seq = metafy(const_cast<char *>(cap), -1, META_HEAPDUP);
        if (seq.size() < 2 || (seq.size() == 2 && static_cast<unsigned char>(seq[0]) == METACHAR))
            seq = std::string("\033[") + letters[i];
        bindkey(km, seq.c_str(), refthingy(builtinthingy(widgets[i])), nullptr);
        if (seq.size() == 3 && seq[0] == '\033' && (seq[1] == '[' || seq[1] == 'O')) {
            std::string other = seq;
            other[1] = seq[1] == '[' ? 'O' : '[';
            bindkey(km, other.c_str(), refthingy(builtinthingy(widgets[i])), nullptr);
        }
    }
}

void default_keymaps()
{
    Thingy *si = builtinthingy(T_SELFINSERT);
    Keymap *viins = newkeymap(nullptr);
    bindrange(viins, 0, 31, si);
    bindrange(viins, 32, 255, si);
    bindkey(viins, "\0", refthingy(undefkey()), nullptr);
    viins->first[0] = refthingy(undefkey());
    bindall(viins, viinsbind, sizeof viinsbind / sizeof *viinsbind, "");
    Keymap *vicmd = newkeymap(nullptr);
    bindall(vicmd, vicmdbind, sizeof vicmdbind / sizeof *vicmdbind, "");
    Keymap *emacs = newkeymap(nullptr);
    bindrange(emacs, 32, 255, si);
    bindall(emacs, emacsbind, sizeof emacsbind / sizeof *emacsbind, "");
    bindall(emacs, metabind, sizeof metabind / sizeof *metabind, "\\e");
    bindcursorkeys(viins, T_UPLINEORHISTORY, T_DOWNLINEORHISTORY, T_VIBACKWARDCHAR, T_VIFORWARDCHAR);
    bindcursorkeys(vicmd, T_UPLINEORHISTORY, T_DOWNLINEORHISTORY, T_VIBACKWARDCHAR, T_VIFORWARDCHAR);
    bindcursorkeys(emacs, T_UPLINEORHISTORY, T_DOWNLINEORHISTORY, T_BACKWARDCHAR, T_FORWARDCHAR);
    Keymap *safe = newkeymap(nullptr);
    bindrange(safe, 0, 255, si);
    bindkey(safe, "\n", refthingy(builtinthingy(T_ACCEPTLINE)), nullptr);
    bindkey(safe, "\r", refthingy(builtinthingy(T_ACCEPTLINE)), nullptr);
    safe->flags |= KM_IMMUTABLE;
    linkkeymap(emacs, "emacs", 0);
    linkkeymap(viins, "viins", 0);
    linkkeymap(vicmd, "vicmd", 0);
    linkkeymap(safe, ".safe", 1);
    // main follows VISUAL, or else EDITOR, when either asks for vi.
    const char *ed = getsparam("VISUAL");
    if (!ed || !*ed)
        ed = getsparam("EDITOR");
    linkkeymap(ed && strstr(ed, "vi") ? viins : emacs, "main", 0);
}

}  // namespace

void init_keymaps()
{
    keymapnamtab = newhashtable(7, "keymapnamtab", nullptr);
    keymapnamtab->hash = hasher;
    keymapnamtab->emptytable = emptyhashtable;
    keymapnamtab->cmpnodes = strcmp;
    keymapnamtab->addnode = addhashnode;
    keymapnamtab->getnode = gethashnode2;
    keymapnamtab->getnode2 = gethashnode2;
    keymapnamtab->removenode = removehashnode;
    keymapnamtab->freenode = freekmname;
    default_keymaps();
    keybufsz = 20;
    keybuf = static_cast<char *>(qalloc(size_t(keybufsz)));
    keybuf[0] = '\0';
    last_named_command = refthingy(undefkey());
}

void free_keymaps()
{
    holdkeymap(&localkeymap, nullptr);
    holdkeymap(&curkeymap, nullptr);
    qsfree(curkeymapname);
    curkeymapname = nullptr;
    unrefthingy(last_named_command);
    last_named_command = nullptr;
    deletehashtable(keymapnamtab);
    keymapnamtab = nullptr;
    qfree(keybuf);
    keybuf = nullptr;
    keybufsz = 0;
}

void kedsetkeymap(const char *mode)
{
    if (Keymap *km = openkeymap(!strcmp(mode, "emacs") ? "emacs" : "viins"))
        linkkeymap(km, "main", 0);
}

// ---- the bindkey builtin ----

int bin_bindkey(char *nam, char **args, BuiltinOptions *ops, int)
{
    static const char opsorder[] = "ldDANmrs";
    char op = 0;
    for (const char *o = opsorder; *o; o++) {
        if (!opt_isset(ops, *o))
            continue;
        if (op) {
            qwarnnam(nam, "incompatible operation selection options", nullptr, 0);
            return 1;
        }
        op = *o;
    }
    int nkm = opt_isset(ops, 'e') + opt_isset(ops, 'v') + opt_isset(ops, 'a') + opt_isset(ops, 'M');
    if (nkm > 1) {
        qwarnnam(nam, "incompatible keymap selection options", nullptr, 0);
        return 1;
    }
    bool takeskm = !op || op == 'm' || op == 'r' || op == 's';
    if (nkm && !takeskm) {
        qwarnnam(nam, "keymap cannot be selected with -%c", nullptr, op);
        return 1;
    }
    const char *kmname = opt_isset(ops, 'e')   ? "emacs"
                         : opt_isset(ops, 'v') ? "viins"
                         : opt_isset(ops, 'a') ? "vicmd"
                         : opt_isset(ops, 'M') ? opt_arg(ops, 'M')
                                               : "main";
    Keymap *km = nullptr;
    if (takeskm) {
        km = openkeymap(kmname);
        if (!km) {
            qwarnnam(nam, "no such keymap `%s'", kmname, 0);
            return 1;
        }
        if (opt_isset(ops, 'e') || opt_isset(ops, 'v'))
            linkkeymap(km, "main", 0);
    }
    int n = arrlen(args);
    if (!op && n < 2) {
        if (opt_isset(ops, 'e') || opt_isset(ops, 'v'))
            return 0;
        // Listing.
        ListState st;
        st.ascmd = opt_isset(ops, 'L');
        st.kmname = kmname;
        if (opt_isset(ops, 'p')) {
            if (!n) {
                qwarnnam(nam, "option -p requires a prefix string", nullptr, 0);
                return 1;
            }
            st.prefix = decodekey(args[0]);
            st.haveprefix = !st.prefix.empty();
        } else if (n == 1) {
            std::string seq = decodekey(args[0]);
            char *str;
            Thingy *t = keybind(km, seq.c_str(), &str);
            printbinding(&st, seq, seq, t ? t : undefkey(), str);
            fflush(stdout);
            return 0;
        }
        scankeymap(km, 1, listone, &st);
        flushrun(&st);
        fflush(stdout);
        return 0;
    }
    (void)keymapname;
    switch (op) {
    case 'l':
        if (n) {
            qwarnnam(nam, "too many arguments for -%c", nullptr, 'l');
            return 1;
        }
        {
            std::vector<std::string> names;
            for (int i = 0; i < keymapnamtab->hsize; i++)
                for (HashNode *hn = keymapnamtab->nodes[i]; hn; hn = hn->next)
                    names.emplace_back(hn->nam);
            std::sort(names.begin(), names.end());
            std::vector<std::pair<Keymap *, std::string>> seen;
            for (const std::string &s : names) {
                if (opt_isset(ops, 'L')) {
                    // A name that shares its keymap with one listed before
                    // is written as a link, so the listing reads back the
                    // same (main stays the emacs or viins map).
                    Keymap *km2 = openkeymap(s.c_str());
                    const std::string *first = nullptr;
                    for (auto &p : seen)
                        if (p.first == km2)
                            first = &p.second;
                    if (first) {
                        fputs("bindkey -A ", stdout);
                        if ((*first)[0] == '-')
                            fputs("-- ", stdout);
                        quotedqputs(first->c_str(), stdout);
                        putchar(' ');
                    } else {
                        fputs("bindkey -N ", stdout);
                        if (s[0] == '-')
                            fputs("-- ", stdout);
                        seen.emplace_back(km2, s);
                    }
                    quotedqputs(s.c_str(), stdout);
                } else {
                    niceqputs(s.c_str(), stdout);
                }
                putchar('\n');
            }
            fflush(stdout);
        }
        return 0;
    case 'd':
        if (n) {
            qwarnnam(nam, "too many arguments for -%c", nullptr, 'd');
            return 1;
        }
        emptyhashtable(keymapnamtab);
        default_keymaps();
        return 0;
    case 'D': {
        if (!n) {
            qwarnnam(nam, "not enough arguments for -%c", nullptr, 'D');
            return 1;
        }
        int ret = 0;
        for (; *args; args++) {
            int r = unlinkkeymap(*args, 0);
            if (r == 1)
                qwarnnam(nam, "keymap name `%s' is protected", *args, 0);
            else if (r == 2)
                qwarnnam(nam, "no such keymap `%s'", *args, 0);
            ret |= r != 0;
        }
        return ret;
    }
    case 'A': {
        if (n != 2) {
            qwarnnam(nam, n < 2 ? "not enough arguments for -%c" : "too many arguments for -%c", nullptr, 'A');
            return 1;
        }
        Keymap *k = openkeymap(args[0]);
        if (!k) {
            qwarnnam(nam, "no such keymap `%s'", args[0], 0);
            return 1;
        }
        if (linkkeymap(k, args[1], 0)) {
            qwarnnam(nam, "keymap name `%s' is protected", args[1], 0);
            return 1;
        }
        return 0;
    }
    case 'N': {
        if (n < 1 || n > 2) {
            qwarnnam(nam, n < 1 ? "not enough arguments for -%c" : "too many arguments for -%c", nullptr, 'N');
            return 1;
        }
        KeymapName *kn = static_cast<KeymapName *>(gethashnode2(keymapnamtab, args[0]));
        if (kn && (kn->flags & KMN_PROTECTED)) {
            qwarnnam(nam, "keymap name `%s' is protected", args[0], 0);
            return 1;
        }
        Keymap *src = nullptr;
        if (n == 2 && !(src = openkeymap(args[1]))) {
            qwarnnam(nam, "no such keymap `%s'", args[1], 0);
            return 1;
        }
        Keymap *k = newkeymap(src);
        if (linkkeymap(k, args[0], 0)) {
            freekeymap(k);
            return 1;
        }
        return 0;
    }
    case 'm': {
        if (n) {
            qwarnnam(nam, "too many arguments for -%c", nullptr, 'm');
            return 1;
        }
        if (km->flags & KM_IMMUTABLE) {
            qwarnnam(nam, "keymap `%s' is protected", kmname, 0);
            return 1;
        }
        for (const Bind &b : metabind) {
            std::string k = decodekey(b.seq);
            const char *p = k.c_str();
            int byte = metachar(p) | 128;
            char s[3];
            if (imeta(static_cast<unsigned char>(byte))) {
                s[0] = char(METACHAR);
                s[1] = char(byte ^ 32);
                s[2] = '\0';
            } else {
                s[0] = char(byte);
                s[1] = '\0';
            }
            char *str;
            Thingy *cur = keybind(km, s, &str);
            if (!str && (cur == builtinthingy(T_SELFINSERT) || cur == undefkey()))
                bindkey(km, s, refthingy(builtinthingy(b.widget)), nullptr);
        }
        return 0;
    }
    default:
        break;
    }
    // Binding: -r, -s or none.
    if (op == 'r' && !n) {
        qwarnnam(nam, "not enough arguments for -%c", nullptr, 'r');
        return 1;
    }
    if (op == 's' && n < 2) {
        qwarnnam(nam, "not enough arguments for -%c", nullptr, 's');
        return 1;
    }
    if (op != 'r' && (n % 2)) {
        qwarnnam(nam, "even number of arguments required", nullptr, 0);
        return 1;
    }
    if (km->flags & KM_IMMUTABLE) {
        qwarnnam(nam, "keymap `%s' is protected", kmname, 0);
        return 1;
    }
    int ret = 0;
    while (*args) {
        char *seqarg = *args++;
        char *target = op == 'r' ? nullptr : *args++;
        std::string seq = decodekey(seqarg);
        if (op == 'r' && opt_isset(ops, 'p')) {
            // Every binding that extends the prefix.
            std::vector<std::string> found;
            std::string pfx = seq;
            scankeymap(
                km, 0,
                [](const char *s, Thingy *, const char *, void *d) {
                    auto *v = static_cast<std::pair<std::string *, std::vector<std::string> *> *>(d);
                    if (strlen(s) > v->first->size() && !strncmp(s, v->first->c_str(), v->first->size()))
                        v->second->emplace_back(s);
                },
                new (qhalloc(sizeof(std::pair<std::string *, std::vector<std::string> *>)))
                    std::pair<std::string *, std::vector<std::string> *>(&pfx, &found));
            for (const std::string &s : found)
                bindkey(km, s.c_str(), refthingy(undefkey()), nullptr);
            continue;
        }
        std::vector<std::string> seqs;
        if (opt_isset(ops, 'R')) {
            const char *p = seq.c_str();
            std::vector<int> bytes;
            while (*p)
                bytes.push_back(metachar(p));
            if (!((bytes.size() == 2) || (bytes.size() == 3 && bytes[1] == '-')) || bytes.front() > bytes.back()) {
                qwarnnam(nam, "malformed key range `%s'", seqarg, 0);
                ret = 1;
                continue;
            }
            for (int b = bytes.front(); b <= bytes.back(); b++) {
                char one = char(b);
                seqs.emplace_back(metafy(&one, 1, META_HEAPDUP));
            }
        } else {
            seqs.push_back(seq);
        }
        for (const std::string &s : seqs) {
            if (s.empty()) {
                qwarnnam(nam, "cannot bind to an empty key sequence", nullptr, 0);
                ret = 1;
                continue;
            }
            Thingy *t;
            std::string str;
            if (op == 'r') {
                t = refthingy(undefkey());
            } else if (op == 's') {
                t = refthingy(undefkey());
                str = decodekey(target);
            } else {
                t = rthingy(target);
            }
            bindkey(km, s.c_str(), t, op == 's' ? str.c_str() : nullptr);
        }
    }
    return ret;
}
