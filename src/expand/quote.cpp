// Quoting for re-input: turn a string back into shell input that reads
// as the same word, for the q flags, :q, listings and completion.
#include "expand/expand.h"

#include <cctype>
#include <cstring>

int hasspecial(const char *s)
{
    for (const char *p = s; *p;) {
        if (ispecial(metachar(p)))
            return 1;
    }
    return 0;
}

// Length of the balanced group that starts at p (an opening token).
static size_t groupspan(const char *p)
{
    int depth = 0;
    const char *q = p;
    for (; *q; q++) {
        unsigned char c = static_cast<unsigned char>(*q);
        if (c == METACHAR && q[1]) {
            q++;
            continue;
        }
        if (c == TK_LPAREN || c == TK_LBRACK || c == TK_LBRACE || c == '(' || c == '[' || c == '{')
            depth++;
        else if (c == TK_RPAREN || c == TK_RBRACK || c == TK_RBRACE || c == ')' || c == ']' || c == '}') {
            if (--depth == 0)
                return size_t(q - p + 1);
        }
    }
    return size_t(q - p);
}

char *bslashquote(const char *s, char **cursor, int mode)
{
    size_t slen = strlen(s);
    if (mode == QT_DOLLARS)
        ensurelocale();  // which bytes print as themselves
    char *out = static_cast<char *>(qhalloc(slen * 4 + 1));
    char *t = out;
    char *newcursor = nullptr;
    const char *p = s;
    bool atstart = true;
    unsigned char prev = 0;

    while (*p) {
        if (cursor && *cursor == p)
            newcursor = t;
        unsigned char c = static_cast<unsigned char>(*p);
        if (mode == QT_DOLLARS) {
            c = metachar(p);
            // Tab is blank but is written as an escape so the word stays
            // readable on one line.
            if (c != '\t' && (isalnum(c) || ispunct(c) || c == ' ')) {
                if (c == '\'' || c == '\\' || (isset(BANGHIST) && c == bangchar))
                    *t++ = '\\';
                if (imeta(c)) {
                    *t++ = char(METACHAR);
                    *t++ = char(c ^ 32);
                } else {
                    *t++ = char(c);
                }
                continue;
            }
            *t++ = '\\';
            switch (c) {
            case 0:
                if (*p >= '0' && *p <= '7') {
                    memcpy(t, "000", 3);
                    t += 3;
                } else {
                    *t++ = '0';
                }
                break;
            case '\a': *t++ = 'a'; break;
            case '\b': *t++ = 'b'; break;
            case '\t': *t++ = 't'; break;
            case '\n': *t++ = 'n'; break;
            case '\v': *t++ = 'v'; break;
            case '\f': *t++ = 'f'; break;
            case '\r': *t++ = 'r'; break;
            default:
                *t++ = char('0' + ((c >> 6) & 7));
                *t++ = char('0' + ((c >> 3) & 7));
                *t++ = char('0' + (c & 7));
                break;
            }
            continue;
        }
        // Substitutions are copied whole: they read back the same way.
        if (c == TK_BACKTICK || c == TK_QBACKTICK) {
            const char *q = p + 1;
            while (*q && static_cast<unsigned char>(*q) != c)
                q++;
            if (*q)
                q++;
            memcpy(t, p, size_t(q - p));
            t += q - p;
            p = q;
            atstart = false;
            continue;
        }
        if ((c == TK_DOLLAR || c == TK_QDOLLAR) &&
            (static_cast<unsigned char>(p[1]) == TK_LPAREN || static_cast<unsigned char>(p[1]) == TK_LBRACK ||
             static_cast<unsigned char>(p[1]) == TK_LBRACE)) {
            size_t n = 1 + groupspan(p + 1);
            memcpy(t, p, n);
            t += n;
            p += n;
            atstart = false;
            continue;
        }
        if (c == METACHAR && p[1]) {
            *t++ = *p++;
            *t++ = *p++;
            atstart = false;
            prev = 0;
            continue;
        }
        bool special = ispecial(c);
        if (c == '=' || c == '~') {
            bool counts = atstart || (isset(MAGICEQUALSUBST) && (prev == '=' || prev == ':')) ||
                          (c == '~' && isset(EXTENDEDGLOB));
            special = counts;
        }
        bool bang = isset(BANGHIST) && bangchar && c == bangchar;
        bool needed = false;
        if (special || bang) {
            switch (mode) {
            case QT_BACKSLASH:
                needed = true;
                break;
            case QT_DOUBLE:
                needed = c == '$' || c == '`' || c == '"' || c == '\\' || bang;
                break;
            case QT_SINGLE:
                needed = c == '\'';
                break;
            }
        }
        if (needed) {
            if (c == '\n' || (mode == QT_SINGLE && c == '\'')) {
                const char *piece;
                if (isset(RCQUOTES))
                    piece = c == '\n' ? "\"\n\"" : "''";
                else
                    piece = c == '\n' ? "'\n'" : "'\\''";
                size_t n = strlen(piece);
                memcpy(t, piece, n);
                t += n;
            } else {
                *t++ = '\\';
                *t++ = char(c);
            }
        } else {
            *t++ = char(c);
        }
        prev = c;
        atstart = false;
        p++;
    }
    if (cursor && *cursor == p)
        newcursor = t;
    *t = '\0';
    if (cursor)
        *cursor = newcursor ? newcursor : t;
    return out;
}

int quotedqputs(const char *s, FILE *stream)
{
    if (!*s)
        return fputs("''", stream) == EOF ? -1 : 0;
    if (!hasspecial(s))
        return qputs(s, stream);
    bool inquote = false;
    if (isset(RCQUOTES)) {
        putc('\'', stream);
        for (const char *p = s; *p;) {
            unsigned char c = metachar(p);
            if (c == '\'')
                putc('\'', stream);
            else if (c == '\n' && isset(CSHJUNKIEQUOTES))
                putc('\\', stream);
            putc(c, stream);
        }
        return putc('\'', stream) == EOF ? -1 : 0;
    }
    for (const char *p = s; *p;) {
        unsigned char raw = static_cast<unsigned char>(*p);
        if (raw != METACHAR && itok(raw)) {
            // Token bytes stand for their characters.
            p++;
            if (inull(raw))
                continue;
            raw = static_cast<unsigned char>(tokchar(raw));
            if (!inquote) {
                putc('\'', stream);
                inquote = true;
            }
            putc(raw, stream);
            continue;
        }
        unsigned char c = metachar(p);
        if (c == '\'') {
            if (inquote) {
                putc('\'', stream);
                inquote = false;
            }
            fputs("\\'", stream);
            continue;
        }
        if (!inquote) {
            putc('\'', stream);
            inquote = true;
        }
        if (c == '\n' && isset(CSHJUNKIEQUOTES))
            putc('\\', stream);
        putc(c, stream);
    }
    if (inquote)
        putc('\'', stream);
    return ferror(stream) ? -1 : 0;
}
