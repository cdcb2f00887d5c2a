// tarn/datetime: strftime, a time in seconds since the epoch through the
// date formatter prompts use.
#include "modules/extra/extra.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// The longest result strftime gives: a longer one is an error, not an
// unbounded allocation.
constexpr size_t STRFTIME_MAX = 8192;

int bin_strftime(char *nam, char **argv, BuiltinOptions *, int)
{
    const char *arg = argv[1];
    // Only digits: strtoull would take a sign and wrap a negative number.
    if (!idigit(static_cast<unsigned char>(*arg))) {
        qwarnnam(nam, "%s: invalid decimal number", arg, 0);
        return 1;
    }
    errno = 0;
    char *end;
    unsigned long long secs = strtoull(arg, &end, 10);
    if (errno) {
        qwarnnam(nam, "%s: %e", arg, errno);
        return 1;
    }
    if (*end) {
        qwarnnam(nam, "%s: invalid decimal number", arg, 0);
        return 1;
    }
    time_t t = time_t(secs);
    struct tm *tm = secs <= uint64_t(INT64_MAX) ? localtime(&t) : nullptr;
    if (!tm) {
        qwarnnam(nam, "%s: time out of range", arg, 0);
        return 1;
    }
    HeapGuard hg;
    char *fmt = unmetafy(dupstring(argv[0]), nullptr);
    size_t size = 2 * strlen(fmt) + 1;
    if (size > STRFTIME_MAX)
        size = STRFTIME_MAX;
    char *buf = static_cast<char *>(qhalloc(size));
    size_t len = qtrftime(buf, size, fmt, tm);
    if (len >= size) {
        if (len >= STRFTIME_MAX) {
            qwarnnam(nam, "result too long (more than %d bytes)", nullptr, long(STRFTIME_MAX - 1));
            return 1;
        }
        size = len + 1;
        buf = static_cast<char *>(qhalloc(size));
        qtrftime(buf, size, fmt, tm);
    }
    fwrite(buf, 1, len, stdout);
    putchar('\n');
    return 0;
}

Builtin bintab[] = {
    mkbuiltin("strftime", 0, bin_strftime, 2, 2, 0, nullptr, nullptr),
};

}  // namespace

int setup_tarnQsdatetime(Module *) { return 0; }
int boot_tarnQsdatetime(Module *m) { return !addbuiltins(m->nam, bintab, 1); }
int cleanup_tarnQsdatetime(Module *m)
{
    deletebuiltins(m->nam, bintab, 1);
    return 0;
}
int finish_tarnQsdatetime(Module *) { return 0; }
