// Fuzz target for the history file reader: the input (after a first byte
// choosing the list size and options) is a history file.  It is read into
// an empty list, written out again and read back; the second reading must
// give the texts the first one did, wherever the format can say so.
#include <cstdint>
#include <string>
#include <vector>

#include "history/history.h"
#include "shell_init.h"

FUZZ_SHELL_INITIALIZE

namespace {

void clearhistory()
{
    while (hist_ring)
        freehistnode(hist_ring);
    curhist = 0;
    histfileforget();
}

std::vector<std::string> texts()
{
    std::vector<std::string> v;
    if (!hist_ring)
        return v;
    for (HistEntry *he = hist_ring->newer;; he = he->newer) {
        v.emplace_back(he->nam);
        // Every entry's words must lie inside its text.
        int n = histnwords(he);
        size_t len = strlen(he->nam);
        for (int i = 0; i < n * 2; i++)
            if (he->words[i] > len)
                abort();
        if (he == hist_ring)
            break;
    }
    return v;
}

// Texts the line format cannot carry unchanged: a backslash before a
// newline or at the end reads as a continuation, a leading "\:" loses its
// backslash.
bool ambiguous(const std::vector<std::string> &v)
{
    for (const std::string &t : v) {
        if (t.compare(0, 2, "\\:") == 0 || (!t.empty() && t.back() == '\\') ||
            t.find("\\\n") != std::string::npos)
            return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 65536)
        return 0;
    FuzzRun run;
    static const int64_t sizes[] = {3, 50, 1000, 100000};
    histsiz = sizes[data[0] & 3];
    savehistsiz = histsiz;
    opts[HISTIGNOREALLDUPS] = (data[0] & 4) != 0;
    hist_ignore_all_dups = opts[HISTIGNOREALLDUPS];
    opts[HISTEXPIREDUPSFIRST] = (data[0] & 8) != 0;
    opts[EXTENDEDHISTORY] = (data[0] & 16) != 0;
    opts[INTERACTIVE] = 1;
    int flags = (data[0] & 32) ? HFILE_FAST : 0;
    if (data[0] & 64)
        flags |= HFILE_SKIPOLD;

    clearhistory();
    int fd = open("hf", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || !writefull(fd, reinterpret_cast<const char *>(data + 1), size - 1))
        abort();
    close(fd);
    readhistfile("hf", 0, flags);
    // Reading the same file again in incremental mode finds nothing new.
    size_t before = histlinect;
    readhistfile("hf", 0, HFILE_FAST | HFILE_USE_OPTIONS);
    if ((data[0] & 32) && !(data[0] & 4) && size_t(histlinect) < before)
        abort();
    std::vector<std::string> first = texts();

    unlink("out");
    savehistfile("out", 0, 0);
    clearhistory();
    readhistfile("out", 0, 0);
    std::vector<std::string> second = texts();
    // Duplicates and a full list may drop or reorder what was read twice;
    // a plain read of a plain file must round-trip exactly.
    if (!(data[0] & (4 | 8 | 32 | 64)) && !ambiguous(first) && first != second)
        abort();

    clearhistory();
    opts[INTERACTIVE] = 0;
    return 0;
}
