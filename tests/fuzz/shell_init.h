// Start-up shared by the fuzz targets that need a whole shell: option,
// parameter and builtin tables as a non-interactive `tarn -f` has them,
// without reading any script.  Every target can reach code through
// command substitution (in subscripts, in arithmetic on parameter values),
// so all of them run sandboxed: PATH is empty, so no external command
// runs; the builtins that would end or replace the process, signal other
// processes or leave the directory are disabled; restricted mode refuses
// writing redirections; the working directory is a fresh one under /tmp.
#pragma once

#include <clocale>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "core/core.h"
#include "exec/exec.h"
#include "expand/expand.h"
#include "modules/module.h"
#include "params/params.h"

// Parameters made by one input would otherwise pile up for the next ones:
// an array grown to its limit by one input makes later ones slow and big.
// fuzz_forget_params() unsets every parameter the start-up did not make.
inline std::set<std::string> &fuzz_baseline()
{
    static std::set<std::string> names;
    return names;
}

// The parameters inputs refer to, with their first values: an input may
// have grown the array or the hash, or made a value long.
inline void fuzz_reset_values()
{
    static const char *const arr[] = {"one", "two", "three", "f o u r", "", "six", nullptr};
    static const char *const kv[] = {"k1", "v1", "k2", "v2", "", "empty", nullptr};
    setsparam("s", qtrdup("Hello, World: a:b::c"));
    setsparam("n", qtrdup("42"));
    setaparam("a", qarrdup(const_cast<char **>(arr)));
    sethparam("h", qarrdup(const_cast<char **>(kv)));
}

inline void fuzz_record_params()
{
    scanhashtable(paramtab, 0, 0, 0, [](HashNode *hn, int) { fuzz_baseline().insert(hn->nam); }, 0);
}

inline void fuzz_forget_params()
{
    static std::vector<std::string> extra;
    extra.clear();
    scanhashtable(
        paramtab, 0, 0, 0,
        [](HashNode *hn, int) {
            if (!fuzz_baseline().count(hn->nam))
                extra.push_back(hn->nam);
        },
        0);
    for (auto &n : extra)
        unsetparam(n.c_str());
    fuzz_reset_values();
}

inline void fuzz_shell_init()
{
    static bool done;
    if (done)
        return;
    done = true;
    setlocale(LC_ALL, "C.UTF-8");
    initmetabytes();
    tarn_name = qtrdup("tarn");
    fdtable_size = 1024;
    fdtable = static_cast<unsigned char *>(qcalloc(size_t(fdtable_size)));
    emulate(tarn_name, 1);
    static char a0[] = "tarn", a1[] = "-f";
    static char *argv[] = {a0, a1, nullptr};
    parseargs(argv);
    SHTTY = -1;
    init_io();
    setupvals();
    init_signals();
    init_bltinmods();
    char dir[] = "/tmp/tarn-fuzz.XXXXXX";
    if (!mkdtemp(dir) || chdir(dir))
        abort();
    static std::string made = dir;
    atexit([] { std::filesystem::remove_all(made); });
    setsparam(qtrdup("PWD"), qtrdup(dir));
    setsparam(qtrdup("HOME"), qtrdup(dir));
    setsparam(qtrdup("PATH"), qtrdup(""));
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    close(null);
    execstring(qtrdup("typeset -A h"), 0, 0, "fuzz");
    fuzz_reset_values();
    // Resource limits would bind the fuzzer itself: their stubs go, and
    // qmodload with them, so no input can load them.
    execstring(qtrdup("qmodload -ub limit ulimit unlimit; "
                      "disable exec exit bye logout kill suspend fg bg cd chdir pushd popd source . fc r "
                      "enable disable emulate autoload log qmodload; setopt restricted"),
               0, 0, "fuzz");
    fuzz_record_params();
}

// Whether an input could start a process: command or process substitution.
// The targets for single evaluators skip those; a child that outlives its
// input would leave the next one waiting.
inline bool fuzz_forks(const uint8_t *data, size_t size)
{
    for (size_t i = 0; i < size; i++)
        if (data[i] == '`' || (i + 1 < size && data[i + 1] == '(' && strchr("$<>=", data[i]) && data[i]))
            return true;
    return false;
}

// Start the shell before libFuzzer installs its own signal handlers, which
// the shell's would otherwise replace.
#define FUZZ_SHELL_INITIALIZE                                                                                          \
    extern "C" int LLVMFuzzerInitialize(int *, char ***)                                                                \
    {                                                                                                                  \
        fuzz_shell_init();                                                                                             \
        return 0;                                                                                                      \
    }

// Run one input with errors silenced and the error state cleared after.
struct FuzzRun {
    HeapGuard hg;
    // As if inside a function: an error that ends a script (${x?}) then
    // only returns from it, instead of exiting the fuzzer.
    FuzzRun()
    {
        noerrs = 2;
        errflag = 0;
        startparamscope();
    }
    ~FuzzRun()
    {
        endparamscope();
        fuzz_forget_params();
        errflag = 0;
        retflag = 0;
        breaks = 0;
        exit_pending = 0;
        noerrs = 0;
    }
};
