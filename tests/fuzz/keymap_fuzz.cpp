// Fuzz target for key sequences: the input is a list of key notations,
// each decoded as bindkey decodes it and bound, bound to a string or
// unbound in a keymap of its own.  After each step every sequence bound
// so far must look up as what it was bound to, and the printable form of
// each sequence must decode to the same keys.
#include <cstdint>
#include <map>
#include <string>

#include "ked/ked.h"
#include "shell_init.h"

FUZZ_SHELL_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool loaded;
    if (!loaded) {
        loaded = true;
        if (!load_module("tarn/ked", nullptr, 1))
            abort();
    }
    if (size > 4096)
        return 0;
    FuzzRun run;
    Keymap *km = nullptr;
    {
        char *argv[] = {dupstring("fuzz"), nullptr};
        BuiltinOptions ops{};
        ops.ind['N'] = 1;
        bin_bindkey(dupstring("bindkey"), argv, &ops, 0);
        km = openkeymap("fuzz");
    }
    if (!km)
        abort();
    Thingy *targets[] = {builtinthingy(T_BEEP), builtinthingy(T_YANK), builtinthingy(T_UNDO)};
    std::map<std::string, std::pair<Thingy *, std::string>> model;
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t pos = 0;
    while (pos < input.size()) {
        size_t nl = input.find('\n', pos);
        std::string item = input.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? input.size() : nl + 1;
        if (item.empty())
            continue;
        int op = static_cast<unsigned char>(item[0]) % 4;
        std::string notation = item.substr(1);
        int len;
        char *keys = getkeystring(metafy(const_cast<char *>(notation.c_str()), -1, META_HEAPDUP), &len,
                                  GETKEY_BINDKEY, nullptr);
        std::string seq = metafy(keys, len, META_HEAPDUP);
        if (seq.empty() || seq.size() > 64)
            continue;
        // The printable notation decodes to the same keys.
        char *shown = keyprintable(seq.c_str());
        int blen;
        char *back = getkeystring(dupstring(shown), &blen, GETKEY_BINDKEY, nullptr);
        if (blen != len || memcmp(back, keys, size_t(len)))
            abort();
        if (op == 0) {
            bindkey(km, seq.c_str(), refthingy(builtinthingy(T_UNDEFINEDKEY)), nullptr);
            model.erase(seq);
        } else if (op == 3) {
            bindkey(km, seq.c_str(), refthingy(builtinthingy(T_UNDEFINEDKEY)), "sent");
            model[seq] = {nullptr, "sent"};
        } else {
            Thingy *t = targets[(op + len) % 3];
            bindkey(km, seq.c_str(), refthingy(t), nullptr);
            model[seq] = {t, ""};
        }
        for (auto &m : model) {
            char *str;
            Thingy *t = keybind(km, m.first.c_str(), &str);
            if (t != m.second.first || (!t && (!str || m.second.second != str)))
                abort();
        }
    }
    unlinkkeymap("fuzz", 1);
    return 0;
}
