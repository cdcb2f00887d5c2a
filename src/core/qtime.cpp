// The shell's date formatter and the SECONDS clock.
#include "core/core.h"

#include <cstring>
#include <ctime>

struct timeval shtimer;

double shellseconds()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    return double(now.tv_sec - shtimer.tv_sec) + double(now.tv_usec - shtimer.tv_usec) / 1e6;
}

size_t qtrftime(char *buf, size_t bufsize, const char *fmt, const struct tm *tm)
{
    // n counts what the result needs; only what fits is written, so a
    // caller can tell a cut result and try again with more room.
    size_t n = 0;
    auto putc1 = [&](char c) {
        if (n + 1 < bufsize)
            buf[n] = c;
        n++;
    };
    auto put = [&](const char *s) {
        for (; *s; s++)
            putc1(*s);
    };
    char tmp[128];
    for (const char *f = fmt; *f; f++) {
        if (*f != '%' || !f[1]) {
            putc1(*f);
            continue;
        }
        f++;
        switch (*f) {
        case 'K':
            snprintf(tmp, sizeof tmp, "%d", tm->tm_hour);
            put(tmp);
            break;
        case 'l':
            snprintf(tmp, sizeof tmp, "%d", tm->tm_hour % 12 ? tm->tm_hour % 12 : 12);
            put(tmp);
            break;
        case 'f':
            snprintf(tmp, sizeof tmp, "%d", tm->tm_mday);
            put(tmp);
            break;
        default: {
            char one[4] = {'%', *f, 0, 0};
            // The library's own conversions, one at a time, so an unknown
            // or empty one never truncates the rest.
            ensurelocale();
            size_t k = strftime(tmp, sizeof tmp, one, tm);
            tmp[k] = '\0';
            put(tmp);
            break;
        }
        }
    }
    if (bufsize)
        buf[n < bufsize ? n : bufsize - 1] = '\0';
    return n;
}
