// Characters of metafied text: whole UTF-8 characters while the multibyte
// option is on under a UTF-8 locale, bytes otherwise.
#include "core/core.h"

#include <langinfo.h>

#include <cctype>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>

bool mbchars;

// The locale's character set as last seen by mblocalechanged.
static bool utf8locale;

bool localeisutf8() { return utf8locale; }

bool loadedlocaleisutf8()
{
    const char *cs = nl_langinfo(CODESET);
    return cs && !strcmp(cs, "UTF-8");
}

bool namedutf8(const char *name)
{
    // The character set is what follows the dot, up to a modifier: UTF-8
    // however it is spelled ("UTF-8", "utf8").
    const char *dot = name ? strchr(name, '.') : nullptr;
    if (!dot)
        return false;
    std::string cs;
    for (const char *p = dot + 1; *p && *p != '@'; p++)
        if (*p != '-' && *p != '_')
            cs += char(tolower(static_cast<unsigned char>(*p)));
    return cs == "utf8";
}

void mbsetcharset(bool utf8, bool setoption)
{
    utf8locale = utf8;
    if (setoption)
        opts[MULTIBYTE] = utf8;
    mbsync();
}

void mbsync() { mbchars = isset(MULTIBYTE) && utf8locale; }

void mblocalechanged() { mbsetcharset(loadedlocaleisutf8(), true); }

namespace {

// The byte a metafied unit at p stands for, or -1 past the end; raw
// text has no metafied pairs.
inline int unitbyte(const char *p, const char *end, int *lenp, bool raw)
{
    if (end ? p >= end : !*p)
        return -1;
    unsigned char c = static_cast<unsigned char>(*p);
    if (!raw && c == METACHAR && (end ? p + 1 < end : p[1] != 0)) {
        *lenp = 2;
        return static_cast<unsigned char>(p[1]) ^ 32;
    }
    *lenp = 1;
    return c;
}

}  // namespace

static int decode(const char *p, const char *end, int32_t *wc, bool raw)
{
    int l0 = 1;
    int c = unitbyte(p, end, &l0, raw);
    if (c < 0) {
        if (wc)
            *wc = 0;
        return 1;
    }
    int more;
    int32_t cp;
    if (c < 0x80) {
        if (wc)
            *wc = c;
        return l0;
    } else if (c >= 0xc2 && c <= 0xdf) {
        more = 1;
        cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        more = 2;
        cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        more = 3;
        cp = c & 0x07;
    } else {
        goto invalid;
    }
    {
        const char *q = p + l0;
        for (int i = 0; i < more; i++) {
            int l;
            int d = unitbyte(q, end, &l, raw);
            if (d < 0 || (d & 0xc0) != 0x80)
                goto invalid;
            cp = (cp << 6) | (d & 0x3f);
            q += l;
        }
        // Overlong forms, surrogates and values past the last code point
        // are not characters: their bytes count one by one.
        if ((more == 2 && cp < 0x800) || (more == 3 && cp < 0x10000) || cp > 0x10ffff ||
            (cp >= 0xd800 && cp <= 0xdfff))
            goto invalid;
        if (wc)
            *wc = cp;
        return int(q - p);
    }
invalid:
    if (wc)
        *wc = c | MB_INVALID;
    return l0;
}

int mbdecode(const char *p, const char *end, int32_t *wc) { return decode(p, end, wc, false); }

int mbrawwidth(const char *s, size_t len)
{
    if (!mbchars)
        return int(len);
    int w = 0;
    for (const char *p = s, *end = s + len; p < end;) {
        int32_t wc;
        p += decode(p, end, &wc, true);
        w += mbwidth(wc);
    }
    return w;
}

const char *mbprev(const char *start, const char *p)
{
    if (p <= start)
        return start;
    auto back = [start](const char *q) { return (q - start >= 2 && q[-2] == char(METACHAR)) ? q - 2 : q - 1; };
    auto byteat = [](const char *q) {
        return *q == char(METACHAR) ? (static_cast<unsigned char>(q[1]) ^ 32) : static_cast<unsigned char>(*q);
    };
    const char *q = back(p);
    if (!mbchars)
        return q;
    // Every byte that is no continuation begins a character; the one
    // whose character ends exactly at p is the start, else the byte
    // before p stands alone.
    for (const char *r = q; r > start && (byteat(r) & 0xc0) == 0x80 && q - r < 8;) {
        r = back(r);
        int b = byteat(r);
        if (b >= 0xc0)
            return mbdecode(r, p, nullptr) == p - r ? r : q;
    }
    return q;
}

int mbcountwide(const char *s, const char *end)
{
    int n = 0;
    for (; end ? s < end : *s != 0; n++)
        s += mbclen(s, end);
    return n;
}

int mbencode(int32_t wc, char *out)
{
    unsigned char b[4];
    int n;
    if (!mbchars || wc < 0x80 || (wc & MB_INVALID)) {
        b[0] = static_cast<unsigned char>(wc);
        n = 1;
    } else if (wc < 0x800) {
        b[0] = static_cast<unsigned char>(0xc0 | (wc >> 6));
        b[1] = static_cast<unsigned char>(0x80 | (wc & 0x3f));
        n = 2;
    } else if (wc < 0x10000) {
        b[0] = static_cast<unsigned char>(0xe0 | (wc >> 12));
        b[1] = static_cast<unsigned char>(0x80 | ((wc >> 6) & 0x3f));
        b[2] = static_cast<unsigned char>(0x80 | (wc & 0x3f));
        n = 3;
    } else {
        b[0] = static_cast<unsigned char>(0xf0 | (wc >> 18));
        b[1] = static_cast<unsigned char>(0x80 | ((wc >> 12) & 0x3f));
        b[2] = static_cast<unsigned char>(0x80 | ((wc >> 6) & 0x3f));
        b[3] = static_cast<unsigned char>(0x80 | (wc & 0x3f));
        n = 4;
    }
    int o = 0;
    for (int i = 0; i < n; i++) {
        if (imeta(b[i])) {
            out[o++] = char(METACHAR);
            out[o++] = char(b[i] ^ 32);
        } else {
            out[o++] = char(b[i]);
        }
    }
    return o;
}

int mbwidth(int32_t wc)
{
    if (!mbchars || wc < 0x80 || (wc & MB_INVALID))
        return 1;
    ensurelocale();
    int w = wcwidth(wchar_t(wc));
    return w < 0 ? 1 : w;
}

int32_t mblower(int32_t wc)
{
    if (!mbchars || wc < 0x80)
        return tulower(wc);
    ensurelocale();
    return (wc & MB_INVALID) ? wc : int32_t(towlower(wint_t(wc)));
}

int32_t mbupper(int32_t wc)
{
    if (!mbchars || wc < 0x80)
        return tuupper(wc);
    ensurelocale();
    return (wc & MB_INVALID) ? wc : int32_t(towupper(wint_t(wc)));
}

bool mbisalnum(int32_t wc)
{
    if (!mbchars || wc < 0x80)
        return ialnum(static_cast<unsigned char>(wc));
    ensurelocale();
    return !(wc & MB_INVALID) && iswalnum(wint_t(wc));
}
