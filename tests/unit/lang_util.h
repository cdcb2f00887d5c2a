// Helpers shared by the front-end unit tests: a shell state good enough
// to parse strings, and the text and code of what was parsed.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/core.h"
#include "history/history.h"
#include "lang/lang.h"

inline void langsetup()
{
    static bool done;
    if (done)
        return;
    done = true;
    init_eprog();
    initlextabs();
    createreswdtable();
    createaliastable();
    createshfunctable();
    lineno = 1;
}

// Parse a string as eval does; null on a syntax error.
inline Eprog *parsestring(const std::string &text)
{
    errflag = 0;
    char *s = metafy(const_cast<char *>(text.c_str()), int(text.size()), META_HEAPDUP);
    Eprog *p = parse_string(s, 1);
    return errflag ? nullptr : p;
}

inline std::string permtext(Eprog *p, int indent = 0)
{
    char *t = getpermtext(p, nullptr, indent);
    std::string r = unmeta(t);
    qfree(t);
    return r;
}

inline std::string jobtext(Eprog *p) { return unmeta(getjobtext(p, nullptr)); }

inline std::vector<wordcode> code(Eprog *p)
{
    std::vector<wordcode> v;
    size_t n = size_t(p->string_table - reinterpret_cast<char *>(p->prog)) / sizeof(wordcode);
    v.assign(p->prog, p->prog + n);
    return v;
}

// Standard error of f, for the messages of syntax errors.
template <class F> std::string stderrof(F f)
{
    fflush(stderr);
    testing::internal::CaptureStderr();
    f();
    fflush(stderr);
    return testing::internal::GetCapturedStderr();
}
