// Metafied strings, token characters and the character class table typtab.
// Every string inside the shell is metafied; conversion happens at the edges.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr unsigned char METACHAR = 0x83;

// Token characters: the lexer marks syntactic characters inside a word
// with these byte values.  The order is fixed by qtokens.
enum : unsigned char {
    TK_HASH = 0x84,
    TK_DOLLAR,
    TK_CARET,
    TK_STAR,
    TK_LPAREN,
    TK_RPAREN,
    TK_QDOLLAR,
    TK_EQUALS,
    TK_BAR,
    TK_LBRACE,
    TK_RBRACE,
    TK_LBRACK,
    TK_RBRACK,
    TK_BACKTICK,
    TK_LANGLE,
    TK_RANGLE,
    TK_QUEST,
    TK_TILDE,
    TK_QBACKTICK,
    TK_COMMA,
    TK_SQUOTE,
    TK_DQUOTE,
    TK_BSLASH,
    TK_EMPTY,  // 0x9B: an argument that must survive although empty
};
static_assert(TK_EMPTY == 0x9B);
constexpr unsigned char TK_MARKER = 0x9C;  // used by parameter expansion

extern const char qtokens[];

// The first byte from s on that is NUL or has its top bit set, as every
// token and Meta do: runs of plain text are passed over a word at a time.
char *skipplain(const char *s);
inline bool itok(unsigned char c) { return c >= TK_HASH && c <= TK_EMPTY; }
inline bool inull(unsigned char c) { return (c & 0xFC) == 0x98; }
inline char tokchar(unsigned char t) { return qtokens[t - TK_HASH]; }

enum : uint16_t {
    CT_DIGIT = 0x0001,
    CT_ALNUM = 0x0002,
    CT_BLANK = 0x0004,
    CT_NLBLANK = 0x0008,
    CT_TOKEN = 0x0010,
    CT_SEP = 0x0020,
    CT_ALPHA = 0x0040,
    CT_IDENT = 0x0080,
    CT_USER = 0x0100,
    CT_CNTRL = 0x0200,
    CT_WORD = 0x0400,
    CT_SPECIAL = 0x0800,
    CT_META = 0x1000,
    CT_WSEP = 0x2000,
};

extern uint16_t typtab[256];

inline bool ctype(unsigned char c, uint16_t bits) { return typtab[c] & bits; }
inline bool idigit(unsigned char c) { return typtab[c] & CT_DIGIT; }
inline bool ialnum(unsigned char c) { return typtab[c] & CT_ALNUM; }
inline bool iblank(unsigned char c) { return typtab[c] & CT_BLANK; }
inline bool inblank(unsigned char c) { return typtab[c] & CT_NLBLANK; }
inline bool ialpha(unsigned char c) { return typtab[c] & CT_ALPHA; }
inline bool iident(unsigned char c) { return typtab[c] & CT_IDENT; }
inline bool iuser(unsigned char c) { return typtab[c] & CT_USER; }
inline bool icntrl(unsigned char c) { return typtab[c] & CT_CNTRL; }
inline bool iword(unsigned char c) { return typtab[c] & CT_WORD; }
inline bool ispecial(unsigned char c) { return typtab[c] & CT_SPECIAL; }
inline bool imeta(unsigned char c) { return typtab[c] & CT_META; }
// True when metafy would escape some byte of s.
inline bool needsmeta(const char *s)
{
    for (; *s; s++)
        if (imeta(static_cast<unsigned char>(*s)))
            return true;
    return false;
}
inline bool isep(unsigned char c) { return typtab[c] & CT_SEP; }
inline bool iwsep(unsigned char c) { return typtab[c] & CT_WSEP; }

// Values the table depends on; the parameter layer keeps them current.
extern char *ifs;        // null: the default separators
extern char *wordchars;  // null: the default word characters
extern unsigned char bangchar, hashchar, hatchar;

constexpr char DEFAULT_IFS[] = " \t\n\x83 ";  // metafied: includes NUL
constexpr char DEFAULT_WORDCHARS[] = "*?_-.[]~=/&;!#$%^(){}<>";

void inittyptab();
void initmetabytes();  // the minimal marking start-up needs before inittyptab

enum MetafyMode {
    META_REALLOC = 0,
    META_USEHEAP = 1,
    META_STATIC = 2,
    META_DUP = 3,
    META_ALLOC = 4,
    META_NOALLOC = 5,
    META_HEAPDUP = 6,
    META_HREALLOC = 7,
};

char *metafy(char *buf, int len, int mode);
char *unmetafy(char *s, int *len);
char *unmeta(const char *s);
int metalen(const char *s, int n);
int qtrlen(const char *s);
int qtrsub(const char *t, const char *s);
int qtrcmp(const char *a, const char *b);
char *chuck(char *p);
int tulower(int c);
int tuupper(int c);
void tokenize(char *s);
void shtokenize(char *s);
void untokenize(char *s);
void remnulargs(char *s);
int has_token(const char *s);
char *nicechar(int c);
char *niceqtrdup(const char *s);
char *nicedupstring(const char *s);
int niceqputs(const char *s, FILE *stream);
int niceqtrlen(const char *s);
int qputs(const char *s, FILE *stream);

// Decode the metafied byte at *p, advancing past an escape pair.
inline unsigned char metachar(const char *&p)
{
    unsigned char c = static_cast<unsigned char>(*p++);
    // A marker left dangling at the end stands for itself: stepping over
    // the terminator would run on past the string.
    if (c == METACHAR && *p)
        c = static_cast<unsigned char>(*p++) ^ 32;
    return c;
}

// ---- characters of metafied text ----
// Set while the multibyte option is on under a UTF-8 character set; clear,
// every byte (a metafied pair standing for one) is a character.  Kept by
// mbsync from the option and the locale, so stepping tests one flag.
extern bool mbchars;
// Or'd into a byte that begins no valid character: it counts as one
// character and never equals a code point.
constexpr int32_t MB_INVALID = 0x40000000;

// Whether the locale's character set is UTF-8: the single place that
// decides the multibyte default.  While the locale waits to be loaded it
// is judged from the name the parameters give (namedutf8).
bool localeisutf8();
bool namedutf8(const char *name);
// Record the character set; with setoption the option follows it.
void mbsetcharset(bool utf8, bool setoption);
// After LANG, LC_ALL or LC_CTYPE changed: the option follows the new
// character set.
void mblocalechanged();
// Recompute mbchars after the option changed by any path.
void mbsync();

int mbdecode(const char *p, const char *end, int32_t *wc);

// Metafied bytes of the character at p; end bounds the bytes that may be
// read (null: the string's terminator does).
inline int mbclen(const char *p, const char *end)
{
    unsigned char c = static_cast<unsigned char>(*p);
    if (!mbchars || c < 0x80)
        return (c == METACHAR && (end ? p + 1 < end : p[1] != 0)) ? 2 : 1;
    return mbdecode(p, end, nullptr);
}
inline int mbclen(const char *p) { return mbclen(p, nullptr); }

// The character at p (a byte when not multibyte) and its metafied length.
inline int32_t mbcval(const char *p, const char *end, int *lenp)
{
    unsigned char c = static_cast<unsigned char>(*p);
    if (!mbchars || c < 0x80) {
        if (c == METACHAR && (end ? p + 1 < end : p[1] != 0)) {
            *lenp = 2;
            return static_cast<unsigned char>(p[1]) ^ 32;
        }
        *lenp = 1;
        return c;
    }
    int32_t wc;
    *lenp = mbdecode(p, end, &wc);
    return wc;
}

// The start of the character that ends at p, never before start.
const char *mbprev(const char *start, const char *p);
// Characters in the metafied bytes s[0..len) (len -1: up to the
// terminator).  Bytes are counted inline; whole characters out of line.
int mbcountwide(const char *s, const char *end);
inline int mbcount(const char *s, int len)
{
    if (mbchars)
        return mbcountwide(s, len < 0 ? nullptr : s + len);
    int n = 0;
    if (len < 0) {
        for (; *s; n++)
            s += (*s == char(METACHAR) && s[1]) ? 2 : 1;
    } else {
        for (const char *end = s + len; s < end; n++)
            s += (*s == char(METACHAR) && s + 1 < end) ? 2 : 1;
    }
    return n;
}
// Characters of a metafied string.
inline int mbstrlen(const char *s) { return mbcount(s, -1); }
// Write character wc (a code point, or a byte under MB_INVALID or when not
// multibyte) metafied into out (8 bytes); the bytes written.
int mbencode(int32_t wc, char *out);
// Screen columns of a character; an invalid byte or a control takes one.
int mbwidth(int32_t wc);
// Screen columns of unmetafied text: its bytes when not multibyte.
int mbrawwidth(const char *s, size_t len);
// Case conversion of one character; bytes through tulower/tuupper.
int32_t mblower(int32_t wc);
int32_t mbupper(int32_t wc);
bool mbisalnum(int32_t wc);
