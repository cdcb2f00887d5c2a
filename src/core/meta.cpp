// The metafied encoding and the character class table.
#include "core/core.h"

#include <cctype>
#include <cstring>

const char qtokens[] = "#$^*()$=|{}[]`<>?~`,'\"\\";
static_assert(sizeof(qtokens) == 24);

uint16_t typtab[256];
char *ifs;
char *wordchars;
unsigned char bangchar = '!', hashchar = '#', hatchar = '^';

void initmetabytes()
{
    typtab[0] |= CT_META;
    typtab[METACHAR] |= CT_META;
    typtab[TK_MARKER] |= CT_META;
    for (int t = TK_HASH; t <= TK_EMPTY; t++)
        typtab[t] |= CT_TOKEN | CT_META;
}

void inittyptab()
{
    memset(typtab, 0, sizeof(typtab));
    for (int c = 0; c < 32; c++)
        typtab[c] = typtab[c + 128] = CT_CNTRL;
    typtab[127] = CT_CNTRL;
    for (int c = '0'; c <= '9'; c++)
        typtab[c] = CT_DIGIT | CT_ALNUM | CT_WORD | CT_IDENT | CT_USER;
    for (int c = 0; c < 26; c++)
        typtab['a' + c] = typtab['A' + c] = CT_ALPHA | CT_ALNUM | CT_IDENT | CT_USER | CT_WORD;
    for (int c = 0xa0; c < 256; c++)
        typtab[c] = CT_ALPHA | CT_ALNUM | CT_IDENT | CT_USER | CT_WORD;
    typtab['_'] = CT_IDENT | CT_USER;
    typtab['-'] = CT_USER;
    typtab[' '] |= CT_BLANK | CT_NLBLANK;
    typtab['\t'] |= CT_BLANK | CT_NLBLANK;
    typtab['\n'] |= CT_NLBLANK;
    initmetabytes();

    const char *s = ifs ? ifs : DEFAULT_IFS;
    while (*s) {
        unsigned char c = metachar(s);
        const char *after = s;
        if (inblank(c)) {
            if (*after && metachar(after) == c)
                s++;  // a doubled white-space character is not white space
            else
                typtab[c] |= CT_WSEP;
        }
        typtab[c] |= CT_SEP;
    }
    for (s = wordchars ? wordchars : DEFAULT_WORDCHARS; *s;)
        typtab[metachar(s)] |= CT_WORD;
    for (s = "#$^*()=|{}[]`<>?~;&\n\t \\'\""; *s; s++)
        typtab[static_cast<unsigned char>(*s)] |= CT_SPECIAL;
    if (isset(BANGHIST) && bangchar && isset(INTERACTIVE) && isset(SHINSTDIN))
        typtab[bangchar] |= CT_SPECIAL;
    mbsync();
}

char *metafy(char *buf, int len, int mode)
{
    static char mbuf[2049];
    if (len == -1)
        len = int(strlen(buf));
    int extra = 0;
    for (int i = 0; i < len; i++)
        if (imeta(static_cast<unsigned char>(buf[i])))
            extra++;
    char *out;
    if (!extra && mode != META_DUP && mode != META_HEAPDUP) {
        buf[len] = '\0';
        return buf;
    }
    switch (mode) {
    case META_REALLOC:
        out = static_cast<char *>(qrealloc(buf, size_t(len + extra + 1)));
        break;
    case META_USEHEAP:
    case META_HEAPDUP:
        out = static_cast<char *>(qhalloc(size_t(len + extra + 1)));
        memcpy(out, buf, size_t(len));
        break;
    case META_STATIC:
        // Too long for the static buffer: an arena copy lives long enough.
        out = len + extra < int(sizeof(mbuf)) ? mbuf : static_cast<char *>(qhalloc(size_t(len + extra + 1)));
        memcpy(out, buf, size_t(len));
        break;
    case META_DUP:
    case META_ALLOC:
        out = static_cast<char *>(qalloc(size_t(len + extra + 1)));
        memcpy(out, buf, size_t(len));
        break;
    case META_HREALLOC:
        out = static_cast<char *>(hrealloc(buf, size_t(len), size_t(len + extra + 1)));
        break;
    case META_NOALLOC:
    default:
        out = buf;
        break;
    }
    if (!extra) {
        out[len] = '\0';
        return out;
    }
    // Escapes are inserted from the end so the buffer can be shared.
    char *t = out + len + extra;
    *t = '\0';
    for (int i = len - 1; i >= 0; i--) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        if (imeta(c)) {
            *--t = char(c ^ 32);
            *--t = char(METACHAR);
        } else {
            *--t = char(c);
        }
    }
    return out;
}

char *unmetafy(char *s, int *len)
{
    char *p = s, *t = s;
    while (*p && static_cast<unsigned char>(*p) != METACHAR)
        p++;
    t = p;
    while (*p) {
        if (static_cast<unsigned char>(*p) == METACHAR && p[1]) {
            p++;
            *t++ = char(static_cast<unsigned char>(*p++) ^ 32);
        } else {
            *t++ = *p++;
        }
    }
    *t = '\0';
    if (len)
        *len = int(t - s);
    return s;
}

char *unmeta(const char *s)
{
    static char buf[4096];
    if (!s)
        return nullptr;
    const char *p;
    for (p = s; *p; p++)
        if (static_cast<unsigned char>(*p) == METACHAR)
            break;
    if (!*p)
        return const_cast<char *>(s);
    char *t = buf;
    for (p = s; *p;) {
        if (t == buf + sizeof(buf) - 1)
            return nullptr;
        *t++ = char(metachar(p));
    }
    *t = '\0';
    return buf;
}

int metalen(const char *s, int n)
{
    const char *p = s;
    while (n-- > 0 && *p) {
        if (static_cast<unsigned char>(*p) == METACHAR && p[1])
            p++;
        p++;
    }
    return int(p - s);
}

int qtrlen(const char *s)
{
    int n = 0;
    while (*s) {
        if (static_cast<unsigned char>(*s) == METACHAR && s[1])
            s++;
        s++;
        n++;
    }
    return n;
}

int qtrsub(const char *t, const char *s)
{
    int n = 0;
    while (s < t) {
        if (static_cast<unsigned char>(*s) == METACHAR && s + 1 < t)
            s++;
        s++;
        n++;
    }
    return n;
}

int qtrcmp(const char *a, const char *b)
{
    while (*a && *b) {
        unsigned char ca = metachar(a), cb = metachar(b);
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    if (*a)
        return 1;
    if (*b)
        return -1;
    return 0;
}

char *chuck(char *p)
{
    memmove(p, p + 1, strlen(p));
    return p;
}

int tulower(int c)
{
    c &= 0xff;
    ensurelocale();
    return isupper(c) ? tolower(c) : c;
}

int tuupper(int c)
{
    c &= 0xff;
    ensurelocale();
    return islower(c) ? toupper(c) : c;
}

static void tokenize_(char *s, bool sh)
{
    // Bytes that can matter here; runs of others are jumped over (a long
    // value inserted under globsubst is mostly plain text).
    static const char interesting[] = {'\\', char(TK_BSLASH), '<', '#', '(', ')', '*', '=',
                                       '>', '?', '[', ']', '^', '|', '~', '\0'};
    bool bslash = false;
    for (unsigned char *p = reinterpret_cast<unsigned char *>(s); *p; p++) {
        if (!bslash) {
            p += strcspn(reinterpret_cast<char *>(p), interesting);
            if (!*p)
                break;
        }
        unsigned char c = *p;
        if (c == '\\' || c == TK_BSLASH) {
            if (bslash) {
                p[-1] = TK_BSLASH;
                bslash = false;
            } else {
                bslash = true;
            }
            continue;
        }
        if (c == '<' && !(sh && isset(SHGLOB))) {
            if (bslash) {
                p[-1] = TK_BSLASH;
                bslash = false;
                continue;
            }
            unsigned char *q = p + 1;
            while (*q >= '0' && *q <= '9')
                q++;
            if (*q == '-') {
                q++;
                while (*q >= '0' && *q <= '9')
                    q++;
                if (*q == '>') {
                    *p = TK_LANGLE;
                    *q = TK_RANGLE;
                    p = q;
                    continue;
                }
            }
            // Resume at the byte that broke the shape.
            p = q - 1;
            continue;
        }
        const char *k = strchr("#()*=>?[]^|~", c);
        if (c && k) {
            if (sh && isset(SHGLOB) && (c == '(' || c == ')' || c == '|')) {
                bslash = false;
                continue;
            }
            if (bslash) {
                p[-1] = TK_BSLASH;
            } else {
                *p = static_cast<unsigned char>(TK_HASH + (strchr(qtokens, c) - qtokens));
            }
            bslash = false;
            continue;
        }
        bslash = false;
    }
}

void tokenize(char *s) { tokenize_(s, false); }
void shtokenize(char *s) { tokenize_(s, true); }

// Aligned word reads never cross into another page, so reading past the
// terminating NUL inside the last word is harmless; the address sanitizer
// is told so.
__attribute__((no_sanitize_address)) char *skipplain(const char *s)
{
    while (reinterpret_cast<uintptr_t>(s) & 7) {
        if (!*s || (*s & 0x80))
            return const_cast<char *>(s);
        s++;
    }
    for (;;) {
        uint64_t v;
        memcpy(&v, s, sizeof v);
        // A byte that is zero or has its top bit set sets its top bit here.
        if (((v - 0x0101010101010101ull) | v) & 0x8080808080808080ull)
            break;
        s += 8;
    }
    while (*s && !(*s & 0x80))
        s++;
    return const_cast<char *>(s);
}

void untokenize(char *s)
{
    s = skipplain(s);
    char *t = s;
    for (; *s; s++) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (itok(c)) {
            if (c != TK_EMPTY)
                *t++ = tokchar(c);
        } else {
            *t++ = *s;
        }
    }
    *t = '\0';
}

void remnulargs(char *s)
{
    char *start = s;
    s = skipplain(s);
    if (!*s)
        return;
    char *t = s;
    bool had = false;
    for (char *p = s; *p; p++) {
        if (inull(static_cast<unsigned char>(*p)))
            had = true;
        else
            *t++ = *p;
    }
    *t = '\0';
    if (had && t == start) {
        start[0] = char(TK_EMPTY);
        start[1] = '\0';
    }
}

int has_token(const char *s)
{
    for (s = skipplain(s); *s; s++)
        if (itok(static_cast<unsigned char>(*s)))
            return 1;
    return 0;
}

char *nicechar(int c)
{
    static char buf[8];
    char *s = buf;
    c &= 0xff;
    ensurelocale();
    if (isprint(c))
        goto done;
    if (c & 0x80) {
        if (isset(PRINTEIGHTBIT))
            goto done;
        *s++ = '\\';
        *s++ = 'M';
        *s++ = '-';
        c &= 0x7f;
        if (isprint(c))
            goto done;
    }
    if (c == 0x7f) {
        *s++ = '^';
        c = '?';
    } else if (c == '\n') {
        *s++ = '\\';
        c = 'n';
    } else if (c == '\t') {
        *s++ = '\\';
        c = 't';
    } else if (c < 0x20) {
        *s++ = '^';
        c += 0x40;
    }
done:
    *s++ = char(c);
    *s = '\0';
    return buf;
}

// The printable form: escapes decoded, tokens shown as their characters,
// quote markers dropped, every byte through nicechar.  Built in the arena.
static char *nicebuild(const char *s)
{
    size_t cap = strlen(s) * 5 + 1, n = 0;
    char *out = static_cast<char *>(qhalloc(cap));
    while (*s) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c != METACHAR && itok(c)) {
            s++;
            if (c <= TK_COMMA)
                out[n++] = tokchar(c);
            continue;
        }
        c = metachar(s);
        for (const char *p = nicechar(c); *p; p++)
            out[n++] = *p;
    }
    out[n] = '\0';
    return out;
}

char *nicedupstring(const char *s)
{
    char *r = nicebuild(s);
    return metafy(r, -1, META_HEAPDUP);
}

char *niceqtrdup(const char *s)
{
    HeapGuard hg;
    return metafy(nicebuild(s), -1, META_DUP);
}

int niceqputs(const char *s, FILE *stream)
{
    HeapGuard hg;
    return fputs(nicebuild(s), stream) == EOF ? -1 : 0;
}

int niceqtrlen(const char *s)
{
    HeapGuard hg;
    return int(strlen(nicebuild(s)));
}

int qputs(const char *s, FILE *stream)
{
    while (*s) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c != METACHAR && itok(c)) {
            s++;
            continue;
        }
        if (putc(metachar(s), stream) == EOF)
            return -1;
    }
    return 0;
}
