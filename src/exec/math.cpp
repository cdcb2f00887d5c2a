// Arithmetic evaluation: a lexer for expression text and an
// operator-precedence parser that evaluates as it parses.
#include "exec/exec.h"
#include "modules/module.h"

#include "params/params.h"

#include <cctype>
#include <clocale>
#include <cmath>
#include <cstring>
#ifndef TARN_STATIC_LINK
#include <dlfcn.h>
#endif

int lastbase = -1;
TARN_HOT int outputradix, noeval;

// Floating powers are the shell's only use of the maths library, and rare:
// it is loaded on first use, so that every start-up is spared loading it
// (a static build, having no loader, links it in).
static double floatpow(double x, double y)
{
#ifdef TARN_STATIC_LINK
    return pow(x, y);
#else
    static double (*powfn)(double, double);
    if (!powfn) {
        void *lib = dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL);
        if (lib)
            powfn = reinterpret_cast<double (*)(double, double)>(dlsym(lib, "pow"));
        if (!powfn) {
            // No library to be had: integral exponents by squaring.
            double r = 1, b = x;
            double e = y < 0 ? -y : y;
            if (double(int64_t(e)) != e)
                return NAN;
            for (int64_t n = int64_t(e); n; n >>= 1, b *= b)
                if (n & 1)
                    r *= b;
            return y < 0 ? 1 / r : r;
        }
    }
    return powfn(x, y);
#endif
}

namespace {

enum MathTok : int {
    M_INPAR, M_OUTPAR, NOT, COMP, POSTPLUS,
    POSTMINUS, UPLUS, UMINUS, AND, XOR,
    OR, MUL, DIV, MOD, PLUS,
    MINUS, SHLEFT, SHRIGHT, LES, LEQ,
    GRE, GEQ, DEQ, NEQ, DAND,
    DOR, DXOR, QUEST, COLON, EQ,
    PLUSEQ, MINUSEQ, MULEQ, DIVEQ, MODEQ,
    ANDEQ, XOREQ, OREQ, SHLEFTEQ, SHRIGHTEQ,
    DANDEQ, DOREQ, DXOREQ, COMMA, EOI,
    PREPLUS, PREMINUS, NUM, ID, POWER,
    CID, POWEREQ, FUNC, TOKCOUNT
};

// Kind bits of the operator table.
enum : int {
    LR = 0, RL = 0x1, BOOL = 0x2,
    OP_A2 = 0x4, OP_A2IR = 0x8, OP_A2IO = 0x10, OP_E2 = 0x20, OP_E2IO = 0x40,
    OP_OP = 0x80, OP_OPF = 0x100,
};
inline int mtype(int x) { return x & 3; }

constexpr int TOPPREC = 18, ARGPREC = 16;

// The shell's own precedences: shifts bind tightest among the binary
// operators, then the bitwise ones, then power, multiplication, addition.
constexpr int tarnprec[TOKCOUNT] = {
    1, 137, 2, 2, 2,
    2, 2, 2, 4, 5,
    6, 8, 8, 8, 9,
    9, 3, 3, 10, 10,
    10, 10, 11, 11, 12,
    13, 13, 14, 15, 16,
    16, 16, 16, 16, 16,
    16, 16, 16, 16, 16,
    16, 16, 16, 17, 200,
    2, 2, 0, 0, 7,
    0, 16, 0,
};

// Scripts written for sh and ksh expect the C ordering: $((1+2<<3)) is 24.
constexpr int cprec[TOKCOUNT] = {
    1, 137, 2, 2, 2,
    2, 2, 2, 9, 10,
    11, 4, 4, 4, 5,
    5, 6, 6, 7, 7,
    7, 7, 8, 8, 12,
    14, 13, 15, 16, 16,
    16, 16, 16, 16, 16,
    16, 16, 16, 16, 16,
    16, 16, 16, 17, 200,
    2, 2, 0, 0, 3,
    0, 16, 0,
};

constexpr int kind[TOKCOUNT] = {
    LR, LR | OP_OP | OP_OPF, RL, RL, RL | OP_OP | OP_OPF,
    RL | OP_OP | OP_OPF, RL, RL, LR | OP_A2IO, LR | OP_A2IO,
    LR | OP_A2IO, LR | OP_A2, LR | OP_A2, LR | OP_A2IO, LR | OP_A2,
    LR | OP_A2, LR | OP_A2IO, LR | OP_A2IO, LR | OP_A2IR, LR | OP_A2IR,
    LR | OP_A2IR, LR | OP_A2IR, LR | OP_A2IR, LR | OP_A2IR, BOOL | OP_A2IO,
    BOOL | OP_A2IO, LR | OP_A2IO, RL | OP_OP, RL | OP_OP, RL | OP_E2,
    RL | OP_E2, RL | OP_E2, RL | OP_E2, RL | OP_E2, RL | OP_E2IO,
    RL | OP_E2IO, RL | OP_E2IO, RL | OP_E2IO, RL | OP_E2IO, RL | OP_E2IO,
    BOOL | OP_E2IO, BOOL | OP_E2IO, RL | OP_A2IO, RL | OP_A2, RL | OP_OP,
    RL, RL, LR | OP_OPF, LR | OP_OPF, RL | OP_A2,
    LR | OP_OPF, RL | OP_E2, LR | OP_OPF,
};
static_assert(sizeof tarnprec / sizeof *tarnprec == TOKCOUNT && sizeof kind / sizeof *kind == TOKCOUNT);

constexpr int MN_UNSET = 0;  // an identifier whose value is not fetched yet
constexpr int STACKSZ = 100;
constexpr int MAX_MLEVEL = 256;
// Nesting of parentheses and unary operators over all levels; beyond it
// the expression is refused before the C stack runs out.
constexpr int MAX_PARSEDEPTH = 4000;

struct MathValue {
    char *lval;
    mnumber val;
};

// The evaluator's state; one set per nested evaluation.
struct MathState {
    const int *prec;
    MathValue *stack;
    int sp;
    char *ptr;
    int unary;
    int mtok;
    mnumber yyval;
    char *yylval;
    char *tokstart;  // where the current token began, for messages
};

TARN_HOT MathState ms;
TARN_HOT int mlevel, parsedepth;
TARN_HOT int lastendtok;  // the token an evaluation stopped at

mnumber zero() { return mnint(0); }

void mathparse(int pc);

// Digits in base (2..36), letters in either case; base 0: C prefixes.
int64_t qstrtol(char *s, char **end, int base)
{
    if (!base) {
        if (*s == '0' && (s[1] == 'x' || s[1] == 'X'))
            base = 16, s += 2;
        else if (*s == '0')
            base = 8;
        else
            base = 10;
    }
    uint64_t r = 0;
    for (;; s++) {
        int d;
        if (*s >= '0' && *s <= '9')
            d = *s - '0';
        else if (*s >= 'a' && *s <= 'z')
            d = *s - 'a' + 10;
        else if (*s >= 'A' && *s <= 'Z')
            d = *s - 'A' + 10;
        else
            break;
        if (d >= base)
            break;
        r = r * unsigned(base) + unsigned(d);
    }
    *end = s;
    return int64_t(r);
}

// One character of a key string: plain, ^X, or a backslash escape.
int keychar(char **pp)
{
    char *p = *pp;
    int c;
    if (*p == '^' && p[1]) {
        c = p[1] == '?' ? 0x7f : (static_cast<unsigned char>(p[1]) & 0x1f);
        p += 2;
    } else if (*p == '\\' && p[1]) {
        p++;
        switch (*p) {
        case 'a': c = 7; p++; break;
        case 'b': c = 8; p++; break;
        case 'e': case 'E': c = 27; p++; break;
        case 'f': c = 12; p++; break;
        case 'n': c = 10; p++; break;
        case 'r': c = 13; p++; break;
        case 't': c = 9; p++; break;
        case 'v': c = 11; p++; break;
        case 'x': {
            p++;
            c = 0;
            for (int i = 0; i < 2 && isxdigit(static_cast<unsigned char>(*p)); i++, p++)
                c = c * 16 + (isdigit(static_cast<unsigned char>(*p)) ? *p - '0' : (tolower(*p) - 'a' + 10));
            break;
        }
        case 'C':
        case 'M':
            if (p[1] == '-' && p[2]) {
                bool meta = *p == 'M';
                p += 2;
                *pp = p;
                c = keychar(pp);
                return meta ? (c | 0x80) : (c & 0x1f);
            }
            c = static_cast<unsigned char>(*p++);
            break;
        default:
            if (*p >= '0' && *p <= '7') {
                c = 0;
                for (int i = 0; i < 3 && *p >= '0' && *p <= '7'; i++, p++)
                    c = c * 8 + (*p - '0');
            } else {
                const char *q = p;
                c = metachar(q);
                p = const_cast<char *>(q);
            }
            break;
        }
    } else {
        const char *q = p;
        c = metachar(q);
        p = const_cast<char *>(q);
    }
    *pp = p;
    return c;
}

int zzlex()
{
    char *&ptr = ms.ptr;
    int cct = 0;
    ms.yyval.type = MN_INTEGER;
    for (;; cct = 0) {
        switch (*ptr++) {
        case '+':
            if (*ptr == '+') {
                ptr++;
                return ms.unary ? PREPLUS : POSTPLUS;
            }
            if (*ptr == '=') {
                ptr++;
                return PLUSEQ;
            }
            return ms.unary ? UPLUS : PLUS;
        case '-':
            if (*ptr == '-') {
                ptr++;
                return ms.unary ? PREMINUS : POSTMINUS;
            }
            if (*ptr == '=') {
                ptr++;
                return MINUSEQ;
            }
            return ms.unary ? UMINUS : MINUS;
        case '(':
            return M_INPAR;
        case ')':
            return M_OUTPAR;
        case '!':
            if (*ptr == '=') {
                ptr++;
                return NEQ;
            }
            return NOT;
        case '~':
            return COMP;
        case '&':
            if (*ptr == '&') {
                if (*++ptr == '=') {
                    ptr++;
                    return DANDEQ;
                }
                return DAND;
            }
            if (*ptr == '=') {
                ptr++;
                return ANDEQ;
            }
            return AND;
        case '|':
            if (*ptr == '|') {
                if (*++ptr == '=') {
                    ptr++;
                    return DOREQ;
                }
                return DOR;
            }
            if (*ptr == '=') {
                ptr++;
                return OREQ;
            }
            return OR;
        case '^':
            if (*ptr == '^') {
                if (*++ptr == '=') {
                    ptr++;
                    return DXOREQ;
                }
                return DXOR;
            }
            if (*ptr == '=') {
                ptr++;
                return XOREQ;
            }
            return XOR;
        case '*':
            if (*ptr == '*') {
                if (*++ptr == '=') {
                    ptr++;
                    return POWEREQ;
                }
                return POWER;
            }
            if (*ptr == '=') {
                ptr++;
                return MULEQ;
            }
            return MUL;
        case '/':
            if (*ptr == '=') {
                ptr++;
                return DIVEQ;
            }
            return DIV;
        case '%':
            if (*ptr == '=') {
                ptr++;
                return MODEQ;
            }
            return MOD;
        case '<':
            if (*ptr == '<') {
                if (*++ptr == '=') {
                    ptr++;
                    return SHLEFTEQ;
                }
                return SHLEFT;
            }
            if (*ptr == '=') {
                ptr++;
                return LEQ;
            }
            return LES;
        case '>':
            if (*ptr == '>') {
                if (*++ptr == '=') {
                    ptr++;
                    return SHRIGHTEQ;
                }
                return SHRIGHT;
            }
            if (*ptr == '=') {
                ptr++;
                return GEQ;
            }
            return GRE;
        case '=':
            if (*ptr == '=') {
                ptr++;
                return DEQ;
            }
            return EQ;
        case '?':
            if (ms.unary) {
                ms.yyval.u.l = lastval;
                return NUM;
            }
            return QUEST;
        case ':':
            return COLON;
        case ',':
            return COMMA;
        case '\0':
            ptr--;
            return EOI;
        case '[': {
            if (idigit(*ptr)) {
                int n = int(qstrtol(ptr, &ptr, 10));
                if (*ptr != ']' || !idigit(*++ptr) || n < 2 || n > 36) {
                    qerr("bad base syntax", nullptr, 0);
                    return EOI;
                }
                ms.yyval.u.l = qstrtol(ptr, &ptr, lastbase = n);
                return NUM;
            }
            int n = 1;
            if (*ptr == '#') {
                if (*++ptr == '#') {
                    n = -1;
                    ptr++;
                }
                if (idigit(*ptr)) {
                    int r = int(qstrtol(ptr, &ptr, 10));
                    if (*ptr == ']' && r >= 2 && r <= 36) {
                        outputradix = n * r;
                        ptr++;
                        break;
                    }
                }
            }
            qerr("bad output radix", nullptr, 0);
            return EOI;
        }
        case ' ':
        case '\t':
        case '\n':
            break;
        case '0':
            if (*ptr == 'x' || *ptr == 'X') {
                ms.yyval.u.l = qstrtol(++ptr, &ptr, lastbase = 16);
                return NUM;
            }
            [[fallthrough]];
        default:
            if (idigit(*--ptr) || *ptr == '.') {
                char *nptr = ptr;
                while (idigit(*nptr))
                    nptr++;
                if (*nptr == '.' || *nptr == 'e' || *nptr == 'E') {
                    ms.yyval.type = MN_FLOAT;
                    char *old = setlocale(LC_NUMERIC, nullptr);
                    char *saved = old ? dupstring(old) : nullptr;
                    setlocale(LC_NUMERIC, "POSIX");
                    ms.yyval.u.d = strtod(ptr, &nptr);
                    if (saved)
                        setlocale(LC_NUMERIC, saved);
                    if (ptr == nptr || *nptr == '.') {
                        qerr("bad floating point constant", nullptr, 0);
                        return EOI;
                    }
                    ptr = nptr;
                } else if (*ptr == '0' && isset(OCTALZEROES) && !strchr(ptr, '.')) {
                    lastbase = 8;
                    ms.yyval.u.l = qstrtol(ptr, &ptr, 8);
                } else {
                    ms.yyval.u.l = qstrtol(ptr, &ptr, 10);
                    if (*ptr == '#') {
                        int base = int(ms.yyval.u.l);
                        if (base < 2 || base > 36) {
                            qerr("bad base syntax", nullptr, 0);
                            return EOI;
                        }
                        ptr++;
                        ms.yyval.u.l = qstrtol(ptr, &ptr, lastbase = base);
                    }
                }
                return NUM;
            }
            if (*ptr == '#') {
                if (*++ptr == '\\' || *ptr == '#') {
                    ptr++;
                    if (!*ptr) {
                        qerr("bad math expression: illegal character: %c", nullptr, '#');
                        return EOI;
                    }
                    ms.yyval.u.l = keychar(&ptr);
                    return NUM;
                }
                cct = 1;
            }
            if (iident(*ptr)) {
                bool func = false;
                char *p = ptr;
                while (iident(*++ptr))
                    ;
                if (*ptr == '[' || (!cct && *ptr == '(')) {
                    char open = *ptr, close = open == '[' ? ']' : ')';
                    func = open == '(';
                    int l = 1;
                    for (ptr++; *ptr && l; ptr++) {
                        if (*ptr == '\\' && ptr[1]) {
                            ptr++;
                            continue;
                        }
                        if (*ptr == open)
                            l++;
                        else if (*ptr == close)
                            l--;
                    }
                }
                ms.yylval = dupstrpfx(p, size_t(ptr - p));
                return func ? FUNC : cct ? CID : ID;
            }
            if (cct) {
                ms.yyval.u.l = arrlen(pparams);
                return NUM;
            }
            {
                const char *q = ptr;
                int c = metachar(q);
                qerr("bad math expression: illegal character: %c", nullptr, c);
            }
            return EOI;
        }
    }
}

void push(mnumber val, char *lval)
{
    if (ms.sp == STACKSZ - 1) {
        qerr("stack overflow", nullptr, 0);
        return;
    }
    ms.sp++;
    ms.stack[ms.sp].val = val;
    ms.stack[ms.sp].lval = lval;
}

mnumber getmathparam(MathValue *mv)
{
    if (!mv->lval)
        return zero();
    mnumber r = getnparam(mv->lval);
    return r;
}

mnumber pop(int noget)
{
    if (ms.sp < 0) {
        qerr("bad math expression: stack empty", nullptr, 0);
        return zero();
    }
    MathValue *mv = &ms.stack[ms.sp--];
    if (mv->val.type == MN_UNSET && !noget)
        mv->val = getmathparam(mv);
    return mv->val;
}

mnumber setmathvar(MathValue *mvp, mnumber v)
{
    if (!mvp->lval) {
        qerr("lvalue required", nullptr, 0);
        return zero();
    }
    if (noeval)
        return v;
    untokenize(mvp->lval);
    setnparam(mvp->lval, v);
    return v;
}

bool notzero(mnumber a)
{
    if (a.type == MN_INTEGER ? a.u.l == 0 : a.u.d == 0.0) {
        qerr("division by zero", nullptr, 0);
        return false;
    }
    return true;
}

void op(int what)
{
    if (errflag)
        return;
    if (ms.sp < 0) {
        qerr("bad math expression: stack empty", nullptr, 0);
        return;
    }
    int tp = kind[what];
    if (tp & (OP_A2 | OP_A2IR | OP_A2IO | OP_E2 | OP_E2IO)) {
        if (ms.sp < 1) {
            qerr("bad math expression: stack empty", nullptr, 0);
            return;
        }
        mnumber b = pop(0);
        mnumber a = pop(what == EQ);
        if (errflag)
            return;
        if (tp & (OP_A2IO | OP_E2IO)) {
            if (a.type == MN_FLOAT)
                a = mnint(float2int(a.u.d));
            if (b.type == MN_FLOAT)
                b = mnint(float2int(b.u.d));
        } else if (a.type != b.type && what != COMMA && (a.type != MN_UNSET || what != EQ)) {
            if (a.type == MN_INTEGER)
                a = mnfloat(double(a.u.l));
            if (b.type == MN_INTEGER)
                b = mnfloat(double(b.u.l));
        }
        mnumber c;
        if (noeval) {
            c = zero();
        } else {
            c.type = (tp & OP_A2IR) ? MN_INTEGER : a.type;
            bool fl = a.type == MN_FLOAT;
            switch (what) {
            case AND:
            case ANDEQ:
                c.u.l = a.u.l & b.u.l;
                break;
            case XOR:
            case XOREQ:
                c.u.l = a.u.l ^ b.u.l;
                break;
            case OR:
            case OREQ:
                c.u.l = a.u.l | b.u.l;
                break;
            case MUL:
            case MULEQ:
                if (c.type == MN_FLOAT)
                    c.u.d = a.u.d * b.u.d;
                else
                    c.u.l = int64_t(uint64_t(a.u.l) * uint64_t(b.u.l));
                break;
            case DIV:
            case DIVEQ:
                if (!notzero(b))
                    return;
                if (c.type == MN_FLOAT)
                    c.u.d = a.u.d / b.u.d;
                else if (b.u.l == -1)
                    c.u.l = int64_t(uint64_t(0) - uint64_t(a.u.l));  // INT64_MIN / -1 would trap
                else
                    c.u.l = a.u.l / b.u.l;
                break;
            case MOD:
            case MODEQ:
                if (!notzero(b))
                    return;
                c.u.l = b.u.l == -1 ? 0 : a.u.l % b.u.l;
                break;
            case PLUS:
            case PLUSEQ:
                if (c.type == MN_FLOAT)
                    c.u.d = a.u.d + b.u.d;
                else
                    c.u.l = int64_t(uint64_t(a.u.l) + uint64_t(b.u.l));
                break;
            case MINUS:
            case MINUSEQ:
                if (c.type == MN_FLOAT)
                    c.u.d = a.u.d - b.u.d;
                else
                    c.u.l = int64_t(uint64_t(a.u.l) - uint64_t(b.u.l));
                break;
            case SHLEFT:
            case SHLEFTEQ:
                c.u.l = (b.u.l < 0 || b.u.l > 63) ? 0 : int64_t(uint64_t(a.u.l) << b.u.l);
                break;
            case SHRIGHT:
            case SHRIGHTEQ:
                c.u.l = (b.u.l < 0 || b.u.l > 63) ? (a.u.l < 0 ? -1 : 0) : a.u.l >> b.u.l;
                break;
            case LES:
                c.u.l = fl ? a.u.d < b.u.d : a.u.l < b.u.l;
                break;
            case LEQ:
                c.u.l = fl ? a.u.d <= b.u.d : a.u.l <= b.u.l;
                break;
            case GRE:
                c.u.l = fl ? a.u.d > b.u.d : a.u.l > b.u.l;
                break;
            case GEQ:
                c.u.l = fl ? a.u.d >= b.u.d : a.u.l >= b.u.l;
                break;
            case DEQ:
                c.u.l = fl ? a.u.d == b.u.d : a.u.l == b.u.l;
                break;
            case NEQ:
                c.u.l = fl ? a.u.d != b.u.d : a.u.l != b.u.l;
                break;
            case DAND:
            case DANDEQ:
                c.u.l = a.u.l && b.u.l;
                break;
            case DOR:
            case DOREQ:
                c.u.l = a.u.l || b.u.l;
                break;
            case DXOR:
            case DXOREQ:
                c.u.l = (a.u.l && !b.u.l) || (!a.u.l && b.u.l);
                break;
            case COMMA:
            case EQ:
                c = b;
                break;
            case POWER:
            case POWEREQ:
                if (c.type == MN_INTEGER && b.u.l < 0) {
                    a = mnfloat(double(a.u.l));
                    b = mnfloat(double(b.u.l));
                    c.type = MN_FLOAT;
                }
                if (c.type == MN_INTEGER) {
                    // Square and multiply: a huge exponent must not spin.
                    uint64_t r = 1, base = uint64_t(a.u.l);
                    for (int64_t e = b.u.l; e > 0; e >>= 1) {
                        if (e & 1)
                            r *= base;
                        base *= base;
                    }
                    c.u.l = int64_t(r);
                } else {
                    if (b.u.d <= 0 && !notzero(a))
                        return;
                    if (a.u.d < 0 && double(float2int(b.u.d)) != b.u.d) {
                        qerr("imaginary power", nullptr, 0);
                        return;
                    }
                    c.u.d = floatpow(a.u.d, b.u.d);
                }
                break;
            default:
                qerr("out of integers", nullptr, 0);
                return;
            }
        }
        // ^^= stores its result like the other compound assignments.
        if ((tp & (OP_E2 | OP_E2IO)) || what == DXOREQ) {
            MathValue *mvp = &ms.stack[ms.sp + 1];
            push(setmathvar(mvp, c), mvp->lval);
        } else {
            push(c, nullptr);
        }
        return;
    }

    MathValue *top = &ms.stack[ms.sp];
    if (top->val.type == MN_UNSET)
        top->val = getmathparam(top);
    mnumber *v = &top->val;
    switch (what) {
    case NOT:
        *v = mnint(v->type == MN_FLOAT ? v->u.d == 0.0 : !v->u.l);
        top->lval = nullptr;
        break;
    case COMP:
        *v = mnint(~(v->type == MN_FLOAT ? float2int(v->u.d) : v->u.l));
        top->lval = nullptr;
        break;
    case POSTPLUS:
    case POSTMINUS: {
        mnumber a = *v;
        int d = what == POSTPLUS ? 1 : -1;
        if (a.type == MN_FLOAT)
            a.u.d += d;
        else
            a.u.l = int64_t(uint64_t(a.u.l) + uint64_t(float2int(d)));
        setmathvar(top, a);
        top->lval = nullptr;
        break;
    }
    case UPLUS:
        top->lval = nullptr;
        break;
    case UMINUS:
        if (v->type == MN_FLOAT)
            v->u.d = -v->u.d;
        else
            v->u.l = int64_t(uint64_t(0) - uint64_t(v->u.l));
        top->lval = nullptr;
        break;
    case QUEST: {
        if (ms.sp < 2) {
            qerr("bad math expression: stack empty", nullptr, 0);
            return;
        }
        mnumber c = pop(0), b = pop(0), a = pop(0);
        if (errflag)
            return;
        bool t = a.type == MN_FLOAT ? a.u.d != 0.0 : a.u.l != 0;
        push(t ? b : c, nullptr);
        break;
    }
    case COLON:
        qerr("':' without '?'", nullptr, 0);
        break;
    case PREPLUS:
    case PREMINUS: {
        int d = what == PREPLUS ? 1 : -1;
        if (v->type == MN_FLOAT)
            v->u.d += d;
        else
            v->u.l = int64_t(uint64_t(v->u.l) + uint64_t(float2int(d)));
        setmathvar(top, *v);
        top->lval = nullptr;
        break;
    }
    default:
        qerr("out of integers", nullptr, 0);
        break;
    }
}

// && and || decide here whether their right side is evaluated.
void bop(int tk)
{
    if (ms.sp < 0)
        return;
    MathValue *top = &ms.stack[ms.sp];
    if (top->val.type == MN_UNSET)
        top->val = getmathparam(top);
    bool tst = top->val.type == MN_FLOAT ? top->val.u.d != 0.0 : top->val.u.l != 0;
    if ((tk == DAND || tk == DANDEQ) ? !tst : tst)
        noeval++;
}

void checkunary(int tok, char *mptr)
{
    int tp = kind[tok];
    int err = 0;
    if (tp & (OP_A2 | OP_A2IR | OP_A2IO | OP_E2 | OP_E2IO | OP_OP)) {
        if (ms.unary)
            err = 1;
    } else if (!ms.unary) {
        err = 2;
    }
    if (err && !errflag) {
        while (inblank(*mptr))
            mptr++;
        int len = qtrlen(mptr);
        bool over = len > 10;
        if (over)
            len = 10;
        char fmt[80];
        snprintf(fmt, sizeof fmt, "bad math expression: %s expected at `%%l%s'", err == 2 ? "operator" : "operand",
                 over ? "..." : "");
        qerr(fmt, mptr, len);
    }
    ms.unary = !(tp & OP_OPF);
}

mnumber callmathfunc(char *text)
{
    char *name = dupstring(text);
    char *a = strchr(name, '(');
    *a++ = '\0';
    size_t al = strlen(a);
    if (al && a[al - 1] == ')')
        a[al - 1] = '\0';
    MathFunc *f = getmathfunc(name, 1);
    if (!f) {
        qerr("unknown function: %s", name, 0);
        return zero();
    }
    if (f->flags & MFF_STR)
        return noeval ? zero() : f->sfunc(name, a, f->funcid);
    int argc = 0, cap = 8;
    mnumber *argv = qhnew<mnumber>(size_t(cap));
    while (iblank(*a))
        a++;
    while (*a && !errflag) {
        if (argc == cap) {
            argv = static_cast<mnumber *>(hrealloc(argv, sizeof(mnumber) * size_t(cap), sizeof(mnumber) * size_t(cap * 2)));
            cap *= 2;
        }
        argv[argc++] = mathevalarg(a, &a);
        if (*a)
            a++;
    }
    if (errflag)
        return zero();
    if (argc < f->minargs || (f->maxargs >= 0 && argc > f->maxargs)) {
        qerr("wrong number of arguments: %s", text, 0);
        return zero();
    }
    return noeval ? zero() : f->nfunc(name, argc, argv, f->funcid);
}

void mathparse(int pc)
{
    if (errflag)
        return;
    if (++parsedepth > MAX_PARSEDEPTH) {
        qerr("stack overflow", nullptr, 0);
        parsedepth--;
        return;
    }
    char *optr = ms.tokstart = ms.ptr;
    ms.mtok = zzlex();
    if (pc == TOPPREC && ms.mtok == EOI) {
        parsedepth--;
        return;
    }
    checkunary(ms.mtok, optr);
    while (!errflag && ms.prec[ms.mtok] <= pc) {
        switch (ms.mtok) {
        case NUM:
            push(ms.yyval, nullptr);
            break;
        case ID: {
            mnumber u;
            u.type = MN_UNSET;
            u.u.l = 0;
            push(noeval ? zero() : u, ms.yylval);
            break;
        }
        case CID: {
            mnumber c = zero();
            if (!noeval) {
                char *s = getsparam(ms.yylval);
                if (s && *s) {
                    const char *q = s;
                    c.u.l = metachar(q);
                }
            }
            push(c, nullptr);
            break;
        }
        case FUNC:
            push(callmathfunc(ms.yylval), nullptr);
            break;
        case M_INPAR:
            mathparse(TOPPREC);
            if (ms.mtok != M_OUTPAR) {
                if (!errflag)
                    qerr("')' expected", nullptr, 0);
                parsedepth--;
                return;
            }
            break;
        case QUEST: {
            if (ms.sp < 0) {
                qerr("bad math expression: stack empty", nullptr, 0);
                parsedepth--;
                return;
            }
            MathValue *top = &ms.stack[ms.sp];
            if (top->val.type == MN_UNSET)
                top->val = getmathparam(top);
            bool q = top->val.type == MN_FLOAT ? top->val.u.d != 0.0 : top->val.u.l != 0;
            if (!q)
                noeval++;
            mathparse(ms.prec[COLON] - 1);
            if (!q)
                noeval--;
            if (ms.mtok != COLON) {
                if (!errflag)
                    qerr("':' expected", nullptr, 0);
                parsedepth--;
                return;
            }
            if (q)
                noeval++;
            mathparse(ms.prec[QUEST]);
            if (q)
                noeval--;
            op(QUEST);
            continue;
        }
        default: {
            int otok = ms.mtok, onoeval = noeval;
            if (mtype(kind[otok]) == BOOL)
                bop(otok);
            mathparse(ms.prec[otok] - (mtype(kind[otok]) != RL));
            noeval = onoeval;
            op(otok);
            continue;
        }
        }
        optr = ms.tokstart = ms.ptr;
        ms.mtok = zzlex();
        checkunary(ms.mtok, optr);
    }
    parsedepth--;
}

mnumber mathevall(char *s, int prec, char **ep)
{
    if (mlevel >= MAX_MLEVEL) {
        qerr("math recursion limit exceeded", nullptr, 0);
        *ep = s + strlen(s);
        return zero();
    }
    MathState saved = ms;
    int savedlastbase = lastbase, savednoeval = noeval;
    bool nested = mlevel++ > 0;
    MathValue stack[STACKSZ];
    ms.prec = emulating(EMULATE_SH | EMULATE_KSH) ? cprec : tarnprec;
    ms.stack = stack;
    ms.sp = -1;
    ms.ptr = s;
    ms.unary = 1;
    ms.mtok = EOI;
    ms.yylval = nullptr;
    lastbase = -1;
    stack[0].val = zero();
    stack[0].lval = nullptr;
    mathparse(prec);
    *ep = ms.ptr;
    lastendtok = ms.mtok;
    if (prec == TOPPREC && !errflag && ms.mtok != EOI) {
        // Something is left that no operator took, such as a stray ")".
        char *rest = ms.tokstart;
        while (inblank(*rest))
            rest++;
        int len = qtrlen(rest);
        bool over = len > 10;
        char fmt[80];
        snprintf(fmt, sizeof fmt, "bad math expression: %s expected at `%%l%s'", "operator", over ? "..." : "");
        qerr(fmt, rest, over ? 10 : len);
    }
    mnumber ret = zero();
    if (!errflag && ms.sp >= 0) {
        ret = stack[0].val;
        if (ret.type == MN_UNSET)
            ret = getmathparam(&stack[0]);
        if (ret.type == MN_UNSET)
            ret = zero();
    }
    if (errflag)
        ret = zero();
    int lb = lastbase;
    ms = saved;
    --mlevel;
    if (nested) {
        lastbase = savedlastbase;
        noeval = savednoeval;
    } else {
        lastbase = lb;
    }
    return ret;
}

}  // namespace

bool inmatheval() { return mlevel > 0; }

// A plain decimal integer is the commonest operand of all (`[ $i -lt 10 ]`,
// numeric parameters); it is read without the expression parser.  Leading
// zeros go the long way, since `octalzeroes` may give them a meaning.
static bool plaindecimal(const char *s, int64_t *val)
{
    while (inblank(*s))
        s++;
    bool neg = *s == '-';
    if (neg)
        s++;
    const char *d = s;
    int64_t v = 0;
    while (idigit(static_cast<unsigned char>(*s)) && s - d < 18)
        v = v * 10 + (*s++ - '0');
    if (s == d || (*d == '0' && s - d > 1))
        return false;
    while (inblank(*s))
        s++;
    if (*s)
        return false;
    *val = neg ? -v : v;
    return true;
}

mnumber matheval(const char *s)
{
    if (!mlevel)
        outputradix = 0;
    int64_t v;
    if (s && plaindecimal(s, &v)) {
        if (!mlevel)
            lastbase = -1;
        mnumber x;
        x.type = MN_INTEGER;
        x.u.l = v;
        return x;
    }
    char *t = dupstring(s ? s : "");
    char *p = t;
    while (inblank(*p))
        p++;
    if (!*p)
        return zero();
    char *end;
    mnumber x = mathevall(t, TOPPREC, &end);
    if (errflag)
        return zero();
    return x;
}

int64_t mathevali(const char *s)
{
    mnumber x = matheval(s);
    return x.type == MN_FLOAT ? float2int(x.u.d) : x.u.l;
}

mnumber mathevalarg(char *s, char **endp)
{
    mnumber x = mathevall(s, ARGPREC, endp);
    if (lastendtok == COMMA)
        (*endp)--;
    return x;
}

int bin_let(char *, char **argv, BuiltinOptions *, int)
{
    mnumber val = mnint(0);
    int saverr = errflag;
    while (*argv && !errflag)
        val = matheval(*argv++);
    // Errors in let are reported but do not unwind the caller.
    if (errflag && !saverr) {
        errflag = 0;
        return 1;
    }
    return val.type == MN_INTEGER ? val.u.l == 0 : val.u.d == 0.0;
}
