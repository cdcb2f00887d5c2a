// The arithmetic evaluator through matheval: precedence in both
// orderings, numbers and bases, assignments, the untaken side, function
// calls through the registry hook, the messages and the depth limits.
#include <gtest/gtest.h>

#include <string>

#include "exec/exec.h"
#include "modules/module.h"
#include "params/params.h"

namespace {

class Math : public testing::Test {
protected:
    void SetUp() override
    {
        errflag = 0;
        if (!pparams) {
            pparams = qcnew<char *>(3);
            pparams[0] = qtrdup("a");
            pparams[1] = qtrdup("b");
        }
        createparamtable();
    }
    void TearDown() override
    {
        errflag = 0;
        opts[OCTALZEROES] = 0;
        if (!emulating(EMULATE_TARN))
            emulate("tarn", 1);
    }
    int64_t ival(const char *e)
    {
        mnumber n = matheval(e);
        EXPECT_EQ(n.type, MN_INTEGER) << e;
        return n.u.l;
    }
    double fval(const char *e)
    {
        mnumber n = matheval(e);
        EXPECT_EQ(n.type, MN_FLOAT) << e;
        return n.u.d;
    }
    // The message an expression reports; errflag is cleared afterwards.
    std::string error(const char *e)
    {
        testing::internal::CaptureStderr();
        mnumber n = matheval(e);
        fflush(stderr);
        std::string out = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(errflag) << e;
        EXPECT_EQ(n.type == MN_INTEGER ? n.u.l : 1, 0) << "an error yields zero: " << e;
        errflag = 0;
        return out;
    }
};

#define EXPECT_MSG(expr, text) EXPECT_NE(error(expr).find(text), std::string::npos) << (expr)

TEST_F(Math, NativePrecedence)
{
    EXPECT_EQ(ival("1 + 2 << 3"), 17);
    EXPECT_EQ(ival("2 ** 3 ** 2"), 512);
    EXPECT_EQ(ival("1 << 2 & 3"), 0);
    EXPECT_EQ(ival("2 * 3 ** 2"), 18);
    EXPECT_EQ(ival("10 - 2 - 3"), 5);
    EXPECT_EQ(ival("1 | 2 ^ 3 & 4"), 3);
    EXPECT_EQ(ival("-3 + 5"), 2);
    EXPECT_EQ(ival("!0 + ~0"), 0);
    EXPECT_EQ(ival("3 > 2 == 1"), 1);
    EXPECT_EQ(ival("1 ^^ 1"), 0);
    EXPECT_EQ(ival("(1 + 2) * 3"), 9);
    EXPECT_EQ(ival(""), 0);
    EXPECT_EQ(ival("   "), 0);
}

TEST_F(Math, ShAndKshUseCPrecedence)
{
    emulate("sh", 1);
    EXPECT_EQ(ival("1 + 2 << 3"), 24);
    EXPECT_EQ(ival("1 << 2 & 3"), 0);
    EXPECT_EQ(ival("1 | 2 & 3"), 3);
    EXPECT_EQ(ival("2 + 3 * 4"), 14);
    EXPECT_EQ(ival("1 == 1 & 0"), 0);
    emulate("ksh", 1);
    EXPECT_EQ(ival("1 + 2 << 3"), 24);
    emulate("tarn", 1);
    EXPECT_EQ(ival("1 + 2 << 3"), 17);
}

TEST_F(Math, IntegerAndFloatArithmetic)
{
    EXPECT_EQ(ival("7 / 2"), 3);
    EXPECT_DOUBLE_EQ(fval("7 / 2.0"), 3.5);
    EXPECT_EQ(ival("7 % 2.5"), 1);
    EXPECT_EQ(ival("3.9 & 7"), 3);
    EXPECT_DOUBLE_EQ(fval("2 ** -1"), 0.5);
    EXPECT_DOUBLE_EQ(fval("1e2 + .5"), 100.5);
    EXPECT_EQ(ival("1.5 < 2"), 1);
    EXPECT_EQ(ival("2 ** 62 * 4"), 0);  // wraps, no trap
    EXPECT_EQ(ival("(-9223372036854775807 - 1) / -1"), INT64_MIN);
    EXPECT_EQ(ival("1 ** 100000000000"), 1);  // finishes at once
}

TEST_F(Math, NumbersAndBases)
{
    EXPECT_EQ(ival("16#ff"), 255);
    EXPECT_EQ(lastbase, 16);
    EXPECT_EQ(ival("2#101"), 5);
    EXPECT_EQ(ival("36#z"), 35);
    EXPECT_EQ(ival("0x10"), 16);
    EXPECT_EQ(ival("[8]17"), 15);
    EXPECT_EQ(ival("010"), 10);
    opts[OCTALZEROES] = 1;
    EXPECT_EQ(ival("010"), 8);
    EXPECT_EQ(lastbase, 8);
    opts[OCTALZEROES] = 0;
    EXPECT_EQ(ival("[#16] 255"), 255);
    EXPECT_EQ(outputradix, 16);
    EXPECT_EQ(ival("[##8] 8"), 8);
    EXPECT_EQ(outputradix, -8);
    EXPECT_EQ(ival("##a"), 97);
    EXPECT_EQ(ival("##\\n"), 10);
    EXPECT_EQ(ival("##^A"), 1);
    EXPECT_EQ(ival("#\\b"), 'b');
    EXPECT_EQ(ival("#"), 2);
    setsparam("c", qtrdup("A"));
    EXPECT_EQ(ival("#c"), 65);
    lastval = 42;
    EXPECT_EQ(ival("?"), 42);
    EXPECT_EQ(ival("? ? 1 : 2"), 1);
}

TEST_F(Math, AssignmentsAndParameters)
{
    EXPECT_EQ(ival("x = 5, x * 2"), 10);
    EXPECT_EQ(getiparam("x"), 5);
    EXPECT_EQ(ival("x += 3"), 8);
    EXPECT_EQ(ival("x++"), 8);
    EXPECT_EQ(ival("x"), 9);
    EXPECT_EQ(ival("--x"), 8);
    EXPECT_EQ(ival("x <<= 1"), 16);
    EXPECT_EQ(ival("x ^^= 0"), 1);
    EXPECT_EQ(getiparam("x"), 1);
    EXPECT_EQ(ival("x &&= 0"), 0);
    EXPECT_DOUBLE_EQ(fval("y = 1.5"), 1.5);
    Param *y = static_cast<Param *>(paramtab->getnode(paramtab, "y"));
    ASSERT_NE(y, nullptr);
    EXPECT_TRUE(PF_TYPE(y->flags) & PF_FFLOAT);
    // A scalar's text is itself an expression.
    setsparam("e", qtrdup("2 + 3"));
    EXPECT_EQ(ival("e * 2"), 10);
    EXPECT_EQ(ival("unsetname + 1"), 1);
    // Array elements as operands and targets.
    char **a = qnew<char *>(3);
    a[0] = qtrdup("10");
    a[1] = qtrdup("20");
    a[2] = nullptr;
    setaparam("arr", a);
    EXPECT_EQ(ival("arr[2] + 1"), 21);
    EXPECT_EQ(ival("arr[1] = 7"), 7);
    EXPECT_EQ(ival("arr[1]"), 7);
    EXPECT_MSG("3 = 4", "lvalue required");
    EXPECT_MSG("x + 1 = 4", "lvalue required");
}

TEST_F(Math, UntakenSideHasNoEffect)
{
    unsetparam("x");
    EXPECT_EQ(ival("1 ? 2 : (x = 3)"), 2);
    EXPECT_EQ(getsparam("x"), nullptr);
    EXPECT_EQ(ival("0 && (x = 3)"), 0);
    EXPECT_EQ(ival("1 || (x = 3)"), 1);
    EXPECT_EQ(getsparam("x"), nullptr);
    EXPECT_EQ(ival("0 ? (x = 1) : 5"), 5);
    EXPECT_EQ(getsparam("x"), nullptr);
    EXPECT_EQ(ival("1 && (x = 3)"), 1);
    EXPECT_EQ(getiparam("x"), 3);
    EXPECT_EQ(noeval, 0);
}

TEST_F(Math, Messages)
{
    EXPECT_MSG("1 / 0", "division by zero");
    EXPECT_MSG("1 % 0", "division by zero");
    EXPECT_MSG("1.0 / 0.0", "division by zero");
    EXPECT_MSG("0.0 ** -1.0", "division by zero");
    EXPECT_MSG("(-8) ** 0.5", "imaginary power");
    EXPECT_MSG("1 2", "bad math expression: operator expected at `2'");
    EXPECT_MSG("1 + ", "bad math expression: operand expected at `'");
    EXPECT_MSG("1 + * 2", "bad math expression: operand expected at `* 2'");
    EXPECT_MSG("1 @ 2", "bad math expression: illegal character: @");
    EXPECT_MSG("(1 + 2", "')' expected");
    EXPECT_MSG("1 ? 2", "':' expected");
    EXPECT_MSG("1 : 2", "':' without '?'");
    EXPECT_MSG("1.2.3", "bad floating point constant");
    EXPECT_MSG("[16", "bad base syntax");
    EXPECT_MSG("[#x] 1", "bad output radix");
    EXPECT_MSG("2 )", "bad math expression: operator expected at `)'");
    // Long remainders are cut to ten characters.
    std::string e = error("1 2345678901234567");
    EXPECT_NE(e.find("at `2345678901...'"), std::string::npos) << e;
}

TEST_F(Math, DepthLimits)
{
    std::string deep(100000, '(');
    deep += "1";
    deep += std::string(100000, ')');
    std::string e = error(deep.c_str());
    EXPECT_NE(e.find("stack overflow"), std::string::npos);
    std::string unary(100000, '-');
    unary += "1";
    error(unary.c_str());
    setsparam("x", qtrdup("x"));
    EXPECT_MSG("x", "math recursion limit exceeded");
    setsparam("p", qtrdup("q + 1"));
    setsparam("q", qtrdup("p + 1"));
    EXPECT_MSG("p", "math recursion limit exceeded");
    // Moderate nesting still works afterwards.
    EXPECT_EQ(ival("((((((1))))))+(2*(3+(4)))"), 15);
}

mnumber sumfn(char *, int argc, mnumber *argv, int id)
{
    int64_t s = id;
    for (int i = 0; i < argc; i++)
        s += argv[i].type == MN_INTEGER ? argv[i].u.l : int64_t(argv[i].u.d);
    return mnint(s);
}
mnumber lenfn(char *, char *arg, int) { return mnint(int64_t(strlen(arg))); }

MathFunc mkfunc(const char *name, int flags, NumMathFunc nf, StrMathFunc sf, int mn, int mx, int id)
{
    MathFunc f{};
    f.name = const_cast<char *>(name);
    f.flags = flags;
    f.nfunc = nf;
    f.sfunc = sf;
    f.minargs = mn;
    f.maxargs = mx;
    f.funcid = id;
    return f;
}
MathFunc sumdef = mkfunc("sum", 0, sumfn, nullptr, 1, 3, 100);
MathFunc lendef = mkfunc("len", MFF_STR, nullptr, lenfn, 0, -1, 0);

TEST_F(Math, FunctionsThroughTheRegistry)
{
    EXPECT_MSG("sum(1)", "unknown function: sum");
    addmathfunc(&sumdef);
    addmathfunc(&lendef);
    EXPECT_EQ(ival("sum(1, 2 * 3, (4, 5))"), 112);
    EXPECT_EQ(ival("len(a, b)"), 4);
    EXPECT_MSG("sum()", "wrong number of arguments: sum()");
    EXPECT_MSG("sum(1,2,3,4)", "wrong number of arguments");
    EXPECT_MSG("nosuch(1)", "unknown function: nosuch");
    // The untaken side parses the call but does not make it count.
    unsetparam("z");
    EXPECT_EQ(ival("0 && sum(z = 1)"), 0);
    EXPECT_EQ(getsparam("z"), nullptr);
    deletemathfunc(&sumdef);
    deletemathfunc(&lendef);
}

TEST_F(Math, Let)
{
    char a1[] = "x = 2", a2[] = "x * 0";
    char *argv1[] = {a1, nullptr};
    char *argv2[] = {a1, a2, nullptr};
    char nam[] = "let";
    EXPECT_EQ(bin_let(nam, argv1, nullptr, 0), 0);
    EXPECT_EQ(bin_let(nam, argv2, nullptr, 0), 1);
    char bad[] = "1 +";
    char *argv3[] = {bad, nullptr};
    testing::internal::CaptureStderr();
    EXPECT_EQ(bin_let(nam, argv3, nullptr, 0), 1);
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(errflag);
    char f[] = "0.5";
    char *argv4[] = {f, nullptr};
    EXPECT_EQ(bin_let(nam, argv4, nullptr, 0), 0);
}

TEST_F(Math, FloatOperatorsAndCompoundAssignments)
{
    unsetparam("fx");
    EXPECT_EQ(ival("fx = 3, fx **= 2"), 9);
    // An integer parameter keeps its type: the float result is truncated.
    EXPECT_DOUBLE_EQ(fval("fx /= 2.0"), 4.5);
    EXPECT_EQ(getiparam("fx"), 4);
    EXPECT_DOUBLE_EQ(fval("fy = 9.0, fy /= 2"), 4.5);
    EXPECT_DOUBLE_EQ(getnparam("fy").u.d, 4.5);
    EXPECT_EQ(ival("~1.5"), -2);
    EXPECT_EQ(ival("!2.0"), 0);
    unsetparam("f");
    EXPECT_DOUBLE_EQ(fval("f = 1.5, f++, f"), 2.5);
    EXPECT_EQ(ival("2.5 > 2"), 1);
    EXPECT_EQ(ival("2.0 == 2"), 1);
    EXPECT_DOUBLE_EQ(fval("1, 2.5"), 2.5);
    EXPECT_EQ(ival("1.5, 2"), 2);
    EXPECT_DOUBLE_EQ(fval("1 ? 2.5 : 3"), 2.5);
    EXPECT_EQ(ival("0 ? 2.5 : 3"), 3);
    EXPECT_MSG("9 %= 4", "lvalue required");
    EXPECT_EQ(ival("y = 9, y %= 4"), 1);
    EXPECT_EQ(ival("y |= 6"), 7);
    EXPECT_EQ(ival("y >>= 1"), 3);
    EXPECT_EQ(ival("y ||= 0"), 1);
    EXPECT_EQ(ival("1 << 64"), 0);
    EXPECT_EQ(ival("-8 >> 1"), -4);
}

TEST_F(Math, ArgumentsStopAtTopLevelCommas)
{
    char text[] = "1 + 2, (3, 4)";
    char *end;
    mnumber n = mathevalarg(text, &end);
    EXPECT_EQ(n.u.l, 3);
    EXPECT_EQ(*end, ',');
    n = mathevalarg(end + 1, &end);
    EXPECT_EQ(n.u.l, 4);
    EXPECT_EQ(*end, '\0');
    EXPECT_EQ(mathevali("2.9"), 2);
    EXPECT_EQ(mathevali("-2.9"), -2);
}

}  // namespace
