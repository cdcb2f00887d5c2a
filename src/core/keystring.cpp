// The escape-sequence decoder shared by print, echo, $'...', key strings
// and the expansion flags.
#include "core/core.h"

#include <iconv.h>
#include <langinfo.h>

#include <cstring>

static int hexval(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Encode a code point in the locale's character set; false when that
// cannot be done.
static bool encodeucs(unsigned long cp, char *out, size_t *outlen)
{
    ensurelocale();
    const char *cs = nl_langinfo(CODESET);
    if (cs && !strcmp(cs, "UTF-8")) {
        unsigned char *o = reinterpret_cast<unsigned char *>(out);
        if (cp < 0x80) {
            o[0] = static_cast<unsigned char>(cp);
            *outlen = 1;
        } else if (cp < 0x800) {
            o[0] = static_cast<unsigned char>(0xc0 | (cp >> 6));
            o[1] = static_cast<unsigned char>(0x80 | (cp & 0x3f));
            *outlen = 2;
        } else if (cp < 0x10000) {
            o[0] = static_cast<unsigned char>(0xe0 | (cp >> 12));
            o[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3f));
            o[2] = static_cast<unsigned char>(0x80 | (cp & 0x3f));
            *outlen = 3;
        } else if (cp < 0x110000) {
            o[0] = static_cast<unsigned char>(0xf0 | (cp >> 18));
            o[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3f));
            o[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3f));
            o[3] = static_cast<unsigned char>(0x80 | (cp & 0x3f));
            *outlen = 4;
        } else {
            return false;
        }
        return true;
    }
    iconv_t cd = iconv_open(cs ? cs : "ASCII", "ISO-10646");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    char in[4] = {char(cp >> 24), char(cp >> 16), char(cp >> 8), char(cp)};
    char *ip = in, *op = out;
    size_t il = 4, ol = 8;
    size_t r = iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    if (r == size_t(-1))
        return false;
    *outlen = size_t(op - out);
    return true;
}

char *getkeystring(char *s, int *len, int how, int *misc)
{
    size_t slen = strlen(s);
    char *buf = static_cast<char *>(qhalloc(slen * 2 + 16));
    char *t = buf;
    const char *p = s;
    const char *rest = nullptr;  // mode 4: text after the closing quote
    if (how == GETKEY_DOLLAR_QUOTE) {
        p = s + 2;
    }
    bool control = false, meta = false;
    if (misc && how != GETKEY_SINGLE_CHAR)
        *misc = 0;

    auto emit = [&](int c) {
        if (control) {
            c = c == '?' ? 127 : (c & 0x9f);
            control = false;
        }
        if (meta) {
            c |= 0x80;
            meta = false;
        }
        *t++ = char(c);
    };

    while (*p) {
        if (how == GETKEY_DOLLAR_QUOTE && static_cast<unsigned char>(*p) == TK_SQUOTE) {
            rest = p + 1;
            break;
        }
        if (how == GETKEY_SINGLE_CHAR && t > buf)
            break;
        unsigned char c = static_cast<unsigned char>(*p);
        bool caretok = how == GETKEY_BINDKEY || how == GETKEY_SUFFIX || how == GETKEY_SINGLE_CHAR;
        if (c == '^' && caretok && !control && p[1]) {
            control = true;
            p++;
            continue;
        }
        if (c != '\\' || !p[1]) {
            emit(metachar(p));
            continue;
        }
        p++;
        const char *esc = p;
        c = metachar(p);
        switch (c) {
        case 'a': emit(7); continue;
        case 'b': emit(8); continue;
        case 'e': emit(27); continue;
        case 'f': emit(12); continue;
        case 'n': emit(10); continue;
        case 'r': emit(13); continue;
        case 't': emit(9); continue;
        case 'v': emit(11); continue;
        case '\\': emit('\\'); continue;
        default: break;
        }
        if (c == 'E' && how != GETKEY_PRINT) {
            emit(27);
            continue;
        }
        if (c == 'x') {
            int v = 0, n = 0, h;
            while (n < 2 && (h = hexval(static_cast<unsigned char>(*p))) >= 0) {
                v = v * 16 + h;
                p++;
                n++;
            }
            if (!n) {
                if (how == GETKEY_PRINT)
                    emit('\\');
                emit('x');
                continue;
            }
            emit(v);
            continue;
        }
        if ((c >= '0' && c <= '7' && how != GETKEY_PRINT) || (c == '0' && how == GETKEY_PRINT)) {
            int v = how == GETKEY_PRINT ? 0 : c - '0', n = how == GETKEY_PRINT ? 0 : 1;
            while (n < 3 && *p >= '0' && *p <= '7') {
                v = v * 8 + (*p - '0');
                p++;
                n++;
            }
            emit(v & 0xff);
            continue;
        }
        if (c == 'u' || c == 'U') {
            int maxd = c == 'u' ? 4 : 8, n = 0, h;
            unsigned long cp = 0;
            while (n < maxd && (h = hexval(static_cast<unsigned char>(*p))) >= 0) {
                cp = cp * 16 + unsigned(h);
                p++;
                n++;
            }
            if (how == GETKEY_SINGLE_CHAR) {
                if (misc)
                    *misc = int(cp);
                *len = 0;
                return buf;
            }
            char enc[8];
            size_t el;
            if (!encodeucs(cp, enc, &el)) {
                qerr("cannot do charset conversion", nullptr, 0);
                break;
            }
            for (size_t i = 0; i < el; i++)
                *t++ = enc[i];
            continue;
        }
        if (how != GETKEY_PRINT && (c == 'C' || c == 'M') && *p == '-') {
            p++;
            if (c == 'C')
                control = true;
            else
                meta = true;
            continue;
        }
        if (how != GETKEY_PRINT && c == 'C') {
            control = true;
            continue;
        }
        if (c == 'c' && (how == GETKEY_PRINT || how == GETKEY_PFLAG || how == GETKEY_PRINTF)) {
            if (misc)
                *misc = 1;
            break;
        }
        if (c == '-' && how == GETKEY_SUFFIX) {
            if (misc)
                *misc = 1;
            continue;
        }
        if (how == GETKEY_PRINT || how == GETKEY_PRINTF)
            emit('\\');
        p = esc;
        emit(metachar(p));
    }
    if (how == GETKEY_SINGLE_CHAR) {
        if (misc)
            *misc = t > buf ? static_cast<unsigned char>(buf[0]) : 0;
        *len = t > buf ? 1 : 0;
        return buf;
    }
    *t = '\0';
    *len = int(t - buf);
    if (how == GETKEY_DOLLAR_QUOTE) {
        // Back into s: the decoded bytes metafied, then the rest unchanged.
        char *m = metafy(buf, *len, META_HEAPDUP);
        size_t ml = strlen(m);
        const char *r = rest ? rest : "";
        size_t rl = strlen(r);
        memmove(s + ml, r, rl + 1);
        memcpy(s, m, ml);
        *len = int(ml);
        return s;
    }
    return buf;
}
