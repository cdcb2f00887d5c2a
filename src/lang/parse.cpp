// The parser: recursive descent over the lexer's tokens, writing wordcode
// straight into a growing buffer.  Constructs whose size is known only at
// their end reserve a word and fill it in afterwards.
#include "lang/lang.h"
#include "history/history.h"

#include <cstring>
#include <string_view>
#include <unordered_map>

TARN_HOT EcState ec;
TARN_HOT int parsedepth;
void (*condlex)() = yylex;
char **testargs;
int condtesting;

// A long string of the current parse: where it lives in the string region.
struct EcStrNode {
    EcStrNode *hnext;  // chain of its hash bucket
    EcStrNode *next;   // every string in order, for copying out
    const char *str;
    unsigned hash;
    wordcode offs;
    int aoffs;
    int nfunc;
};

namespace {

constexpr int EC_INIT_SIZE = 256;
constexpr int EC_DOUBLE_THRESHOLD = 32768;

TARN_HOT int inpartime;

void ecgrow(int n)
{
    // Doubling while small, then half again: growth stays geometric so a
    // huge list costs linear copying wherever realloc cannot move pages.
    int a = ec.eclen < EC_DOUBLE_THRESHOLD ? ec.eclen : ec.eclen / 2;
    if (a < n)
        a = n;
    ec.ecbuf = static_cast<wordcode *>(qrealloc(ec.ecbuf, size_t(ec.eclen + a) * sizeof(wordcode)));
    ec.ecnodes = static_cast<EcStrNode **>(qrealloc(ec.ecnodes, size_t(ec.eclen + a) * sizeof(EcStrNode *)));
    ec.eclen += a;
}

void ecadjusthere(int p, int d)
{
    for (HereDoc *h = hdocs; h; h = h->next)
        if (h->pc >= p)
            h->pc += d;
}

int ecadd(wordcode c)
{
    if (ec.ecused == ec.eclen)
        ecgrow(1);
    ec.ecbuf[ec.ecused] = c;
    ec.ecnodes[ec.ecused] = nullptr;
    return ec.ecused++;
}

void ecispace(int p, int n)
{
    if (ec.eclen - ec.ecused < n)
        ecgrow(n);
    int m = ec.ecused - p;
    if (m > 0) {
        memmove(ec.ecbuf + p + n, ec.ecbuf + p, size_t(m) * sizeof(wordcode));
        memmove(ec.ecnodes + p + n, ec.ecnodes + p, size_t(m) * sizeof(EcStrNode *));
    }
    for (int i = 0; i < n; i++) {
        ec.ecbuf[p + i] = 0;
        ec.ecnodes[p + i] = nullptr;
    }
    ec.ecused += n;
    ecadjusthere(p, n);
}

void ecdel(int p)
{
    int n = ec.ecused - p - 1;
    if (n > 0) {
        memmove(ec.ecbuf + p, ec.ecbuf + p + 1, size_t(n) * sizeof(wordcode));
        memmove(ec.ecnodes + p, ec.ecnodes + p + 1, size_t(n) * sizeof(EcStrNode *));
    }
    ec.ecused--;
    ecadjusthere(p, -1);
}

void ecrehash()
{
    int nsz = ec.echashsz ? ec.echashsz * 2 : 64;
    ec.echash = hcnew<EcStrNode *>(size_t(nsz));
    ec.echashsz = nsz;
    for (EcStrNode *n = ec.ecstrs; n; n = n->next) {
        EcStrNode **slot = &ec.echash[n->hash & unsigned(nsz - 1)];
        n->hnext = *slot;
        *slot = n;
    }
}

// The string word for s: inline for short strings, else an offset in the
// string region, shared with an identical string of the same function body.
TARN_HOT EcStrNode *lastecnode;  // the node of the last long string encoded

wordcode ecstrcode(const char *s)
{
    // Length and token bit: plain text is passed over a word at a time,
    // and only bytes with the top bit set can be tokens.
    int t = 0;
    const char *e = skipplain(s);
    for (; *e; e++)
        t |= itok(static_cast<unsigned char>(*e));
    lastecnode = nullptr;
    size_t l = size_t(e - s) + 1;
    if (l <= 4) {
        wordcode c = t ? 3 : 2;
        switch (l) {
        case 4:
            c |= wordcode(static_cast<unsigned char>(s[2])) << 19;
            [[fallthrough]];
        case 3:
            c |= wordcode(static_cast<unsigned char>(s[1])) << 11;
            [[fallthrough]];
        case 2:
            c |= wordcode(static_cast<unsigned char>(s[0])) << 3;
            break;
        default:
            c = t ? 7 : 6;
            break;
        }
        return c;
    }
    // The hash, eight bytes at a time.
    uint64_t hw = uint64_t(ec.ecnfunc) * 0x9E3779B97F4A7C15ull;
    size_t i = 0;
    for (; i + 8 <= l - 1; i += 8) {
        uint64_t w;
        memcpy(&w, s + i, 8);
        hw = (hw ^ w) * 0x100000001B3ull;
        hw ^= hw >> 29;
    }
    for (; i < l - 1; i++)
        hw = (hw ^ static_cast<unsigned char>(s[i])) * 0x100000001B3ull;
    unsigned h = unsigned(hw ^ (hw >> 32));
    if (ec.ecstrct >= ec.echashsz)
        ecrehash();
    EcStrNode **slot = &ec.echash[h & unsigned(ec.echashsz - 1)];
    for (EcStrNode *n = *slot; n; n = n->hnext)
        if (n->hash == h && n->nfunc == ec.ecnfunc && !strcmp(n->str, s)) {
            lastecnode = n;
            return n->offs;
        }
    EcStrNode *n = hcnew<EcStrNode>();
    n->str = s;
    n->hash = h;
    n->nfunc = ec.ecnfunc;
    n->offs = wordcode((ec.ecsoffs - ec.ecssub) << 2) | (t ? 1 : 0);
    n->aoffs = ec.ecsoffs;
    n->hnext = *slot;
    *slot = n;
    if (ec.ecstrlast)
        ec.ecstrlast->next = n;
    else
        ec.ecstrs = n;
    ec.ecstrlast = n;
    ec.ecstrct++;
    ec.ecsoffs += int(l);
    lastecnode = n;
    return n->offs;
}

void ecsetstr(int pos, const char *s)
{
    ec.ecbuf[pos] = ecstrcode(s);
    ec.ecnodes[pos] = lastecnode;
}

void ecstr(const char *s)
{
    int pos = ecadd(0);
    ecsetstr(pos, s);
}

EcStrNode *const FUNCMARK = reinterpret_cast<EcStrNode *>(1);

void setfuncdef(int p)
{
    ec.ecbuf[p] = code_build(CODE_FUNCDEF, wordcode(ec.ecused - 1 - p));
    ec.ecnodes[p] = FUNCMARK;
}

void init_parse()
{
    if (ec.ecbuf)
        qfree(ec.ecbuf);
    if (ec.ecnodes)
        qfree(ec.ecnodes);
    ec = EcState{};
    ec.eclen = EC_INIT_SIZE;
    ec.ecbuf = qnew<wordcode>(EC_INIT_SIZE);
    ec.ecnodes = qnew<EcStrNode *>(EC_INIT_SIZE);
    inpartime = 0;
    parsedepth = 0;
}

// Lay out the strings of the code in [a, b) as one region starting at the
// present end of out, function bodies nested in order.
struct StrOut {
    char *buf;
    size_t len, cap;
};

void relayregion(int a, int b, StrOut &out)
{
    size_t base = out.len;
    std::unordered_map<std::string_view, size_t> seen;
    auto place = [&](int i) {
        EcStrNode *n = ec.ecnodes[i];
        std::string_view sv(n->str);
        auto it = seen.find(sv);
        size_t off;
        if (it != seen.end()) {
            off = it->second;
        } else {
            if (out.len + sv.size() + 1 > out.cap) {
                out.cap = (out.len + sv.size() + 1) * 2;
                out.buf = static_cast<char *>(qrealloc(out.buf, out.cap));
            }
            off = out.len;
            memcpy(out.buf + out.len, n->str, sv.size() + 1);
            out.len += sv.size() + 1;
            seen.emplace(sv, off);
        }
        ec.ecbuf[i] = wordcode((off - base) << 2) | (ec.ecbuf[i] & 1);
    };
    for (int i = a; i < b; i++) {
        EcStrNode *n = ec.ecnodes[i];
        if (!n)
            continue;
        if (n != FUNCMARK) {
            place(i);
            continue;
        }
        int names = int(ec.ecbuf[i + 1]);
        for (int j = i + 2; j < i + 2 + names; j++)
            if (ec.ecnodes[j])
                place(j);
        int q = i + 2 + names;
        int end = i + 1 + int(funcdef_skip(ec.ecbuf[i]));
        size_t so = out.len;
        relayregion(q + 3, end, out);
        ec.ecbuf[q] = wordcode(so - base);
        ec.ecbuf[q + 1] = wordcode(out.len - so);
        i = end - 1;
    }
}

Eprog *bld_eprog()
{
    ecadd(code_build(CODE_END, 0));
    StrOut out{nullptr, 0, 0};
    if (ec.relayout) {
        relayregion(0, ec.ecused, out);
        ec.ecsoffs = int(out.len);
    }
    Eprog *ret = qhnew<Eprog>();
    ret->len = int(size_t(ec.ecnpats) * sizeof(Patprog *) + size_t(ec.ecused) * sizeof(wordcode) + size_t(ec.ecsoffs));
    ret->pattern_count = ec.ecnpats;
    ret->ref_count = -1;
    ret->pattern_slots = static_cast<Patprog **>(qhalloc(size_t(ret->len)));
    ret->prog = reinterpret_cast<wordcode *>(ret->pattern_slots + ec.ecnpats);
    ret->string_table = reinterpret_cast<char *>(ret->prog + ec.ecused);
    ret->function_link = nullptr;
    ret->flags = EF_HEAP;
    ret->dump_link = nullptr;
    for (int i = 0; i < ec.ecnpats; i++)
        ret->pattern_slots[i] = dummy_patprog1;
    memcpy(ret->prog, ec.ecbuf, size_t(ec.ecused) * sizeof(wordcode));
    if (ec.relayout) {
        if (out.len)
            memcpy(ret->string_table, out.buf, out.len);
        qfree(out.buf);
    } else {
        for (EcStrNode *n = ec.ecstrs; n; n = n->next)
            strcpy(ret->string_table + n->aoffs, n->str);
    }
    qfree(ec.ecbuf);
    qfree(ec.ecnodes);
    ec.ecbuf = nullptr;
    ec.ecnodes = nullptr;
    return ret;
}

void clear_hdocs()
{
    while (hdocs) {
        HereDoc *n = hdocs->next;
        qfree(hdocs);
        hdocs = n;
    }
}

bool isredirop(int t) { return t >= LX_GT && t <= LX_TLT; }

bool isident(const char *s)
{
    if (!*s)
        return false;
    if (idigit(static_cast<unsigned char>(*s))) {
        for (; *s; s++)
            if (!idigit(static_cast<unsigned char>(*s)))
                return false;
        return true;
    }
    for (; *s; s++)
        if (!iident(static_cast<unsigned char>(*s)))
            return false;
    return true;
}

void yyerror(int noerr)
{
    char *t = yytext ? dupstring(yytext) : nullptr;
    if (t)
        untokenize(t);
    int t0;
    for (t0 = 0; t0 != 20; t0++)
        if (!t || !t[t0] || t[t0] == '\n')
            break;
    if (t0 == 20)
        qwarn("parse error near `%l...'", t, 20);
    else if (t0)
        qwarn("parse error near `%l'", t, t0);
    else
        qwarn("parse error", nullptr, 0);
    if (!noerr && noerrs != 2)
        errflag = 1;
}

// Depth of nested constructs; past the bound the input is refused rather
// than letting the recursion exhaust the stack.
struct [[nodiscard]] NestGuard {
    bool ok;
    NestGuard()
    {
        ok = ++parsedepth <= MAX_PARSE_DEPTH;
        if (!ok) {
            if (tok != LX_ERROR)
                qerr("parse error: nesting too deep", nullptr, 0);
            tok = LX_ERROR;
        }
    }
    ~NestGuard() { parsedepth--; }
    NestGuard(const NestGuard &) = delete;
    NestGuard &operator=(const NestGuard &) = delete;
};

void set_list_code(int p, int type, int complex)
{
    if (!complex && (type == Z_SYNC || type == (Z_SYNC | Z_END)) &&
        sublist_type(ec.ecbuf[p + 1]) == SUBLIST_END) {
        bool ispipe = !(sublist_flags(ec.ecbuf[p + 1]) & SUBLIST_SIMPLE);
        ec.ecbuf[p] = build_list(wordcode(type | Z_SIMPLE), wordcode(ec.ecused - 2 - p));
        ecdel(p + 1);
        if (ispipe)
            ec.ecbuf[p + 1] = pipe_lineno(ec.ecbuf[p + 1]);
    } else {
        ec.ecbuf[p] = build_list(wordcode(type), 0);
    }
}

void set_sublist_code(int p, int type, int flags, int skip, int complex)
{
    if (complex) {
        ec.ecbuf[p] = build_sublist(wordcode(type), wordcode(flags), wordcode(skip));
    } else {
        ec.ecbuf[p] = build_sublist(wordcode(type), wordcode(flags | SUBLIST_SIMPLE), wordcode(skip));
        ec.ecbuf[p + 1] = pipe_lineno(ec.ecbuf[p + 1]);
    }
}

#define YYERROR(o)              \
    do {                        \
        tok = LX_ERROR;         \
        ec.ecused = (o);        \
        return 0;               \
    } while (0)
#define YYERRORV(o)             \
    do {                        \
        tok = LX_ERROR;         \
        ec.ecused = (o);        \
        return;                 \
    } while (0)

int par_list(int *complex);
int par_sublist(int *complex);
int par_sublist2(int *complex);
int par_pline(int *complex);
int par_cmd(int *complex);
int par_simple(int *complex, int nr);
void par_redir(int *rp);
int par_cond();

void par_save_list(int *complex)
{
    int eu = ec.ecused;
    par_list(complex);
    if (eu == ec.ecused)
        ecadd(code_build(CODE_END, 0));
}

bool par_list1(int *complex)
{
    int p = ecadd(0), c = 0;
    if (par_sublist(&c)) {
        set_list_code(p, Z_SYNC | Z_END, c);
        *complex |= c;
        return true;
    }
    ec.ecused--;
    return false;
}

// The one-command body of the short forms; there must be a command.
bool par_save_list1(int *complex)
{
    if (!par_list1(complex)) {
        tok = LX_ERROR;
        return false;
    }
    return true;
}

// The lists of one event.
int par_event()
{
    int first = -1, last = -1;
    for (;;) {
        while (tok == LX_SEPER) {
            if (isnewlin > 0)
                goto done;
            yylex();
        }
        if (tok == LX_EOF)
            goto done;
        int p = ecadd(0), c = 0;
        bool ok = false;
        if (par_sublist(&c)) {
            if (tok == LX_EOF) {
                set_list_code(p, Z_SYNC, c);
                ok = true;
            } else if (tok == LX_SEPER) {
                set_list_code(p, Z_SYNC, c);
                if (isnewlin <= 0)
                    yylex();
                ok = true;
            } else if (tok == LX_AMP) {
                set_list_code(p, Z_ASYNC, c);
                yylex();
                ok = true;
            } else if (tok == LX_AMPBAR) {
                set_list_code(p, Z_ASYNC | Z_DISOWN, c);
                yylex();
                ok = true;
            }
        }
        if (!ok) {
            tok = LX_ERROR;
            if (errflag) {
                yyerror(0);
            } else {
                yyerror(1);
                herrflush();
                if (noerrs != 2)
                    errflag = 1;
            }
            ec.ecused = p;
            clear_hdocs();
            return 0;
        }
        if (first < 0)
            first = p;
        last = p;
        if (tok == LX_SEPER && isnewlin > 0)
            break;
    }
done:
    if (last < 0)
        return 0;
    ec.ecbuf[last] |= wordcode(Z_END) << CODE_BITS;
    return 1;
}

int par_list(int *complex)
{
    int lp = -1;
    for (;;) {
        while (tok == LX_SEPER)
            yylex();
        int p = ecadd(0), c = 0;
        if (par_sublist(&c)) {
            *complex |= c;
            if (tok == LX_SEPER || tok == LX_AMP || tok == LX_AMPBAR) {
                if (tok != LX_SEPER)
                    *complex = 1;
                set_list_code(p, tok == LX_SEPER ? Z_SYNC : tok == LX_AMP ? Z_ASYNC : (Z_ASYNC | Z_DISOWN), c);
                incmdpos = 1;
                do
                    yylex();
                while (tok == LX_SEPER);
                lp = p;
                continue;
            }
            set_list_code(p, Z_SYNC | Z_END, c);
            return 1;
        }
        ec.ecused--;
        if (lp >= 0) {
            ec.ecbuf[lp] |= wordcode(Z_END) << CODE_BITS;
            return 1;
        }
        return 0;
    }
}

// A chain of sublists joined by && and ||.  A chain that ends after the
// operator is an error: there is nothing to run in its place.
int par_sublist(int *complex)
{
    int pushes = 0, prevp = -1, prevf = 0, preve = 0, prevc = 0, prevtok = 0;
    int ret = 1;
    for (;;) {
        int p = ecadd(0), c = 0;
        int f = par_sublist2(&c);
        if (f == -1) {
            ec.ecused--;
            if (prevp < 0) {
                ret = 0;
            } else {
                set_sublist_code(prevp, SUBLIST_END, prevf, preve - 1 - prevp, prevc);
                tok = LX_ERROR;
            }
            break;
        }
        *complex |= c;
        if (prevp >= 0)
            set_sublist_code(prevp, prevtok == LX_OROR ? SUBLIST_OR : SUBLIST_AND, prevf, preve - 1 - prevp, prevc);
        int e = ec.ecused;
        if (tok == LX_OROR || tok == LX_ANDAND) {
            prevtok = tok;
            cmdpush(tok == LX_OROR ? CS_CMDOR : CS_CMDAND);
            pushes++;
            yylex();
            while (tok == LX_SEPER)
                yylex();
            prevp = p;
            prevf = f;
            preve = e;
            prevc = c;
            continue;
        }
        set_sublist_code(p, SUBLIST_END, f, e - 1 - p, c);
        break;
    }
    while (pushes--)
        cmdpop();
    return ret;
}

int par_sublist2(int *complex)
{
    int f = 0;
    if (tok == LX_COPROC) {
        *complex = 1;
        f |= SUBLIST_COPROC;
        yylex();
    } else if (tok == LX_BANG) {
        *complex = 1;
        f |= SUBLIST_NOT;
        yylex();
    }
    if (!par_pline(complex)) {
        if (!f)
            return -1;
        // A prefix alone applies to an empty command: the code always has
        // a pipeline after the sublist word, so nothing that follows can
        // be taken for one.
        if (tok != LX_ERROR) {
            ecadd(build_pipe(PIPE_END, lineno >= 0 ? wordcode(lineno + 1) : 0));
            ecadd(code_build(CODE_SIMPLE, 0));
        }
    }
    return f;
}

int par_pline(int *complex)
{
    int pushes = 0;
    bool first = true;
    for (;;) {
        long line = lineno;
        int p = ecadd(0);
        if (!par_cmd(complex)) {
            ec.ecused--;
            if (first)
                return 0;
            // Nothing after the bar.
            tok = LX_ERROR;
            break;
        }
        first = false;
        wordcode lw = line >= 0 ? wordcode(line + 1) : 0;
        if (tok == LX_BAR || tok == LX_BARAMP) {
            if (tok == LX_BARAMP) {
                int r;
                for (r = p + 1; code_type(ec.ecbuf[r]) == CODE_REDIR; r += 3) {
                }
                ecispace(r, 3);
                ec.ecbuf[r] = code_build(CODE_REDIR, RT_DUP_OUT);
                ec.ecbuf[r + 1] = 2;
                ecsetstr(r + 2, "1");
            }
            *complex = 1;
            cmdpush(tok == LX_BAR ? CS_PIPE : CS_ERRPIPE);
            pushes++;
            yylex();
            while (tok == LX_SEPER)
                yylex();
            ec.ecbuf[p] = build_pipe(PIPE_MID, lw);
            ecispace(p + 1, 1);
            ec.ecbuf[p + 1] = wordcode(ec.ecused - 1 - p);
            continue;
        }
        ec.ecbuf[p] = build_pipe(PIPE_END, lw);
        break;
    }
    while (pushes--)
        cmdpop();
    return 1;
}

int par_wordlist()
{
    int num = 0;
    while (tok == LX_WORD) {
        ecstr(tokstr);
        num++;
        yylex();
    }
    return num;
}

int par_nl_wordlist()
{
    int num = 0;
    while (tok == LX_SEPER && isnewlin)
        yylex();
    while (tok == LX_WORD) {
        ecstr(tokstr);
        num++;
        yylex();
        while (tok == LX_SEPER && isnewlin)
            yylex();
    }
    return num;
}

// The body of a loop: do ... done, { ... }, ... end, or one command.
void par_loopbody(int *complex, int oecused, bool cshend, bool shortok)
{
    if (tok == LX_DO) {
        yylex();
        par_save_list(complex);
        if (tok != LX_DONE)
            YYERRORV(oecused);
        yylex();
    } else if (tok == LX_LBRACE) {
        yylex();
        par_save_list(complex);
        if (tok != LX_RBRACE)
            YYERRORV(oecused);
        yylex();
    } else if (cshend || isset(CSHJUNKIELOOPS)) {
        par_save_list(complex);
        if (tok != LX_END)
            YYERRORV(oecused);
        yylex();
    } else if (!shortok || unset(SHORTLOOPS)) {
        YYERRORV(oecused);
    } else if (!par_save_list1(complex)) {
        YYERRORV(oecused);
    }
}

void par_for(int *complex)
{
    int oecused = ec.ecused, p, np;
    bool csh = tok == LX_FOREACH, sel = tok == LX_SELECT;
    wordcode type;

    p = ecadd(0);
    infor = tok == LX_FOR ? 2 : 0;
    yylex();
    if (tok == LX_DLPAREN && !sel) {
        yylex();
        if (tok != LX_DLPAREN)
            YYERRORV(oecused);
        ecstr(tokstr);
        yylex();
        if (tok != LX_DLPAREN)
            YYERRORV(oecused);
        ecstr(tokstr);
        yylex();
        if (tok != LX_DRPAREN)
            YYERRORV(oecused);
        ecstr(tokstr);
        infor = 0;
        incmdpos = 1;
        yylex();
        type = FOR_COND;
    } else {
        int n = 0, ona = noaliases, onc = nocorrect;
        infor = 0;
        if (tok != LX_WORD || !isident(tokstr))
            YYERRORV(oecused);
        np = sel ? -1 : ecadd(0);
        incmdpos = 1;
        noaliases = nocorrect = 1;
        for (;;) {
            n++;
            ecstr(tokstr);
            yylex();
            if (tok != LX_WORD || !strcmp(tokstr, "in") || sel)
                break;
            if (!isident(tokstr) || errflag) {
                noaliases = ona;
                nocorrect = onc;
                YYERRORV(oecused);
            }
        }
        noaliases = ona;
        nocorrect = onc;
        if (!sel)
            ec.ecbuf[np] = wordcode(n);
        int posix_in = isnewlin;
        while (tok == LX_SEPER && isnewlin)
            yylex();
        if (tok == LX_WORD && !strcmp(tokstr, "in")) {
            incmdpos = 0;
            yylex();
            np = ecadd(0);
            n = par_wordlist();
            if (tok != LX_SEPER)
                YYERRORV(oecused);
            ec.ecbuf[np] = wordcode(n);
            type = sel ? wordcode(SELECT_LIST) : wordcode(FOR_LIST);
        } else if (!posix_in && tok == LX_LPAREN) {
            incmdpos = 0;
            yylex();
            np = ecadd(0);
            n = par_nl_wordlist();
            if (tok != LX_RPAREN)
                YYERRORV(oecused);
            ec.ecbuf[np] = wordcode(n);
            incmdpos = 1;
            yylex();
            type = sel ? wordcode(SELECT_LIST) : wordcode(FOR_LIST);
        } else {
            type = sel ? wordcode(SELECT_PPARAM) : wordcode(FOR_PPARAM);
        }
    }
    incmdpos = 1;
    while (tok == LX_SEPER)
        yylex();
    par_loopbody(complex, oecused, csh, true);
    if (tok == LX_ERROR)
        return;
    wordcode skip = wordcode(ec.ecused - 1 - p);
    ec.ecbuf[p] = sel ? build_select(type, skip) : build_for(type, skip);
}

void par_case(int *complex)
{
    int oecused = ec.ecused, p, pp;
    bool brflag;

    p = ecadd(0);
    incmdpos = 0;
    yylex();
    if (tok != LX_WORD)
        YYERRORV(oecused);
    ecstr(tokstr);
    // The subject is followed by "in" or by a brace in command position.
    incmdpos = 1;
    yylex();
    while (tok == LX_SEPER)
        yylex();
    if (!(tok == LX_WORD && !strcmp(tokstr, "in")) && tok != LX_LBRACE)
        YYERRORV(oecused);
    brflag = tok == LX_LBRACE;
    incasepat = 1;
    incmdpos = 0;
    yylex();

    for (;;) {
        while (tok == LX_SEPER)
            yylex();
        if (tok == LX_RBRACE && brflag)
            break;
        if (tok == LX_ESAC && !brflag)
            break;
        if (tok == LX_LPAREN)
            yylex();
        if (tok != LX_WORD)
            YYERRORV(oecused);
        if (!brflag && !strcmp(tokstr, "esac"))
            break;
        char *str = dupstring(tokstr);
        incasepat = 0;
        incmdpos = 1;
        wordcode type = CASE_OR;
        for (;;) {
            yylex();
            if (tok == LX_RPAREN) {
                incasepat = 0;
                incmdpos = 1;
                yylex();
                break;
            } else if (tok == LX_BAR) {
                size_t sl = strlen(str);
                incasepat = 1;
                incmdpos = 0;
                char *str2 = static_cast<char *>(hcalloc(sl + 2));
                strcpy(str2, str);
                str2[sl] = char(TK_BAR);
                str = str2;
            } else {
                size_t sl = strlen(str);
                if (!sl || static_cast<unsigned char>(str[sl - 1]) != TK_BAR) {
                    // A whole pattern in parentheses: "(a|b)".
                    int pct = 0;
                    char *s;
                    for (s = str; *s; s++) {
                        unsigned char ch = static_cast<unsigned char>(*s);
                        if (ch == TK_LPAREN)
                            pct++;
                        if (!pct)
                            break;
                        if (pct == 1) {
                            if (ch == TK_BAR || ch == TK_LPAREN)
                                while (iblank(static_cast<unsigned char>(s[1])))
                                    chuck(s + 1);
                            if (ch == TK_BAR || ch == TK_RPAREN)
                                while (s > str && iblank(static_cast<unsigned char>(s[-1])) &&
                                       (s < str + 2 || static_cast<unsigned char>(s[-2]) != METACHAR))
                                    chuck(--s);
                        }
                        if (static_cast<unsigned char>(*s) == TK_RPAREN)
                            pct--;
                    }
                    if (*s || pct || s == str)
                        YYERRORV(oecused);
                    sl = strlen(str);
                    if (static_cast<unsigned char>(*str) != TK_LPAREN ||
                        static_cast<unsigned char>(str[sl - 1]) != TK_RPAREN)
                        YYERRORV(oecused);
                    str[sl - 1] = '\0';
                    chuck(str);
                    break;
                }
                if (tok != LX_WORD)
                    YYERRORV(oecused);
                size_t tl = strlen(tokstr);
                char *str2 = static_cast<char *>(hcalloc(sl + tl + 1));
                strcpy(str2, str);
                strcpy(str2 + sl, tokstr);
                str = str2;
            }
        }
        pp = ecadd(0);
        ecstr(str);
        ecadd(wordcode(ec.ecnpats++));
        par_save_list(complex);
        if (tok == LX_ERROR)
            YYERRORV(oecused);
        if (tok == LX_SEMIAMP)
            type = CASE_AND;
        ec.ecbuf[pp] = build_case(type, wordcode(ec.ecused - 1 - pp));
        if ((tok == LX_ESAC && !brflag) || (tok == LX_RBRACE && brflag))
            break;
        if (tok != LX_DSEMI && tok != LX_SEMIAMP)
            YYERRORV(oecused);
        incasepat = 1;
        incmdpos = 0;
        yylex();
    }
    incmdpos = 1;
    yylex();
    ec.ecbuf[p] = build_case(CASE_HEAD, wordcode(ec.ecused - 1 - p));
}

void par_if(int *complex)
{
    int oecused = ec.ecused, xtok, p, pp;
    bool usebrace = false;

    p = ecadd(0);
    for (;;) {
        xtok = tok;
        // Report the token that cannot continue the statement, not the
        // one after it.
        if (xtok != LX_IF && xtok != LX_ELIF && xtok != LX_ELSE && xtok != LX_FI)
            YYERRORV(oecused);
        cmdpush(xtok == LX_IF ? CS_IF : CS_ELIF);
        yylex();
        if (xtok == LX_FI || xtok == LX_ELSE)
            break;
        while (tok == LX_SEPER)
            yylex();
        if (!(xtok == LX_IF || xtok == LX_ELIF)) {
            cmdpop();
            YYERRORV(oecused);
        }
        pp = ecadd(0);
        wordcode type = xtok == LX_IF ? IF_IF : IF_ELIF;
        par_save_list(complex);
        incmdpos = 1;
        while (tok == LX_SEPER)
            yylex();
        int nc = xtok == LX_IF ? CS_IFTHEN : CS_ELIFTHEN;
        xtok = LX_FI;
        if (tok == LX_THEN) {
            usebrace = false;
            cmdpop();
            cmdpush(nc);
            yylex();
            par_save_list(complex);
            ec.ecbuf[pp] = build_if(type, wordcode(ec.ecused - 1 - pp));
            incmdpos = 1;
            cmdpop();
        } else if (tok == LX_LBRACE) {
            usebrace = true;
            cmdpop();
            cmdpush(nc);
            yylex();
            par_save_list(complex);
            if (tok != LX_RBRACE) {
                cmdpop();
                YYERRORV(oecused);
            }
            ec.ecbuf[pp] = build_if(type, wordcode(ec.ecused - 1 - pp));
            yylex();
            incmdpos = 1;
            if (tok == LX_SEPER)
                break;
            cmdpop();
        } else if (unset(SHORTLOOPS)) {
            cmdpop();
            YYERRORV(oecused);
        } else {
            cmdpop();
            cmdpush(nc);
            if (!par_save_list1(complex)) {
                cmdpop();
                YYERRORV(oecused);
            }
            ec.ecbuf[pp] = build_if(type, wordcode(ec.ecused - 1 - pp));
            incmdpos = 1;
            break;
        }
        if (tok == LX_ERROR) {
            YYERRORV(oecused);
        }
    }
    cmdpop();
    if (tok == LX_ERROR)
        YYERRORV(oecused);
    if (xtok == LX_ELSE) {
        pp = ecadd(0);
        cmdpush(CS_ELSE);
        while (tok == LX_SEPER)
            yylex();
        if (tok == LX_LBRACE && usebrace) {
            yylex();
            par_save_list(complex);
            if (tok != LX_RBRACE) {
                cmdpop();
                YYERRORV(oecused);
            }
        } else {
            par_save_list(complex);
            if (tok != LX_FI) {
                cmdpop();
                YYERRORV(oecused);
            }
        }
        ec.ecbuf[pp] = build_if(IF_ELSE, wordcode(ec.ecused - 1 - pp));
        yylex();
        cmdpop();
    }
    ec.ecbuf[p] = build_if(IF_HEAD, wordcode(ec.ecused - 1 - p));
}

void par_while(int *complex)
{
    int oecused = ec.ecused, p;
    wordcode type = tok == LX_UNTIL ? WHILE_UNTIL : WHILE_WHILE;

    p = ecadd(0);
    yylex();
    par_save_list(complex);
    if (tok == LX_ERROR)
        YYERRORV(oecused);
    incmdpos = 1;
    while (tok == LX_SEPER)
        yylex();
    par_loopbody(complex, oecused, false, false);
    if (tok == LX_ERROR)
        return;
    ec.ecbuf[p] = build_while(type, wordcode(ec.ecused - 1 - p));
}

void par_repeat(int *complex)
{
    int oecused = ec.ecused, p;

    p = ecadd(0);
    incmdpos = 0;
    yylex();
    if (tok != LX_WORD)
        YYERRORV(oecused);
    ecstr(tokstr);
    // The count is followed by the body in command position.
    incmdpos = 1;
    yylex();
    while (tok == LX_SEPER)
        yylex();
    par_loopbody(complex, oecused, false, true);
    if (tok == LX_ERROR)
        return;
    ec.ecbuf[p] = code_build(CODE_REPEAT, wordcode(ec.ecused - 1 - p));
}

void par_subsh(int *complex)
{
    int oecused = ec.ecused, otok = tok, p;

    p = ecadd(0);
    yylex();
    par_list(complex);
    ecadd(code_build(CODE_END, 0));
    if (tok != (otok == LX_LPAREN ? LX_RPAREN : LX_RBRACE))
        YYERRORV(oecused);
    ec.ecbuf[p] = code_build(otok == LX_LPAREN ? CODE_SUBSH : CODE_CURSH, wordcode(ec.ecused - 1 - p));
    incmdpos = 1;
    yylex();
}

// Redirections after a function's braced body belong to each call: the
// body, whose list starts at start, becomes { body } with them.
static void par_bodyredirs(int start)
{
    if (!isredirop(tok))
        return;
    ecadd(code_build(CODE_END, 0));
    ecispace(start, 4);
    ec.ecbuf[start + 2] = build_pipe(PIPE_END, 0);
    int r = start + 3;
    while (isredirop(tok))
        par_redir(&r);
    ec.ecbuf[r] = code_build(CODE_CURSH, wordcode(ec.ecused - 1 - r));
    set_sublist_code(start + 1, SUBLIST_END, 0, ec.ecused - 1 - (start + 1), 1);
    set_list_code(start, Z_SYNC | Z_END, 1);
}

// The string region and pattern slots of a function body being parsed.
struct FuncBody {
    long oldlineno;
    int onp, so, oecssub;
};

FuncBody startfuncbody()
{
    FuncBody fb{lineno, ec.ecnpats, ec.ecsoffs, ec.ecssub};
    ec.ecnfunc++;
    ec.ecssub = ec.ecsoffs;
    ec.ecnpats = 0;
    return fb;
}

void abortfuncbody(const FuncBody &fb)
{
    lineno += fb.oldlineno;
    ec.ecnpats = fb.onp;
    ec.ecssub = fb.oecssub;
}

// Fill in the region words at q (offset, length, pattern count).
void endfuncbody(const FuncBody &fb, int q)
{
    ecadd(code_build(CODE_END, 0));
    ec.ecbuf[q] = wordcode(fb.so - fb.oecssub);
    ec.ecbuf[q + 1] = wordcode(ec.ecsoffs - fb.so);
    ec.ecbuf[q + 2] = wordcode(ec.ecnpats);
    lineno += fb.oldlineno;
    ec.ecnpats = fb.onp;
    ec.ecssub = fb.oecssub;
    ec.ecnfunc++;
}

void par_funcdef()
{
    int oecused = ec.ecused, num = 0, p, c = 0;
    long oldlineno = lineno;

    lineno = 0;
    nocorrect = 1;
    incmdpos = 0;
    yylex();

    p = ecadd(0);
    ecadd(0);
    incmdpos = 1;
    while (tok == LX_WORD) {
        if (static_cast<unsigned char>(*tokstr) == TK_LBRACE && !tokstr[1]) {
            tok = LX_LBRACE;
            break;
        }
        ecstr(tokstr);
        num++;
        yylex();
    }
    int q = ecadd(0);
    ecadd(0);
    ecadd(0);
    nocorrect = 0;
    if (tok == LX_EMPTYPARENS)
        yylex();
    while (tok == LX_SEPER)
        yylex();
    FuncBody fb = startfuncbody();
    fb.oldlineno = oldlineno;
    int bodystart = ec.ecused;
    if (tok == LX_LBRACE) {
        yylex();
        par_list(&c);
        if (tok != LX_RBRACE) {
            abortfuncbody(fb);
            YYERRORV(oecused);
        }
        yylex();
        par_bodyredirs(bodystart);
    } else if (unset(SHORTLOOPS)) {
        abortfuncbody(fb);
        YYERRORV(oecused);
    } else {
        if (!par_list1(&c) || tok == LX_ERROR) {
            abortfuncbody(fb);
            YYERRORV(oecused);
        }
    }
    endfuncbody(fb, q);
    ec.ecbuf[p + 1] = wordcode(num);
    setfuncdef(p);
}

void par_time()
{
    int p, f, c = 0;
    yylex();
    p = ecadd(0);
    ecadd(0);
    if ((f = par_sublist2(&c)) < 0) {
        ec.ecused--;
        ec.ecbuf[p] = code_build(CODE_TIMED, TIMED_EMPTY);
    } else {
        // Timing needs a job, so the timed part always keeps its pipeline.
        ec.ecbuf[p] = code_build(CODE_TIMED, TIMED_PIPE);
        set_sublist_code(p + 1, SUBLIST_END, f, ec.ecused - 2 - p, 1);
    }
}

void par_dinbrack()
{
    int oecused = ec.ecused;
    incond = 1;
    incmdpos = 0;
    yylex();
    par_cond();
    if (tok != LX_DRBRACK)
        YYERRORV(oecused);
    incond = 0;
    incmdpos = 1;
    yylex();
}

int par_cmd(int *complex)
{
    NestGuard ng;
    if (!ng.ok)
        return 0;
    int r = ec.ecused, nr = 0;

    if (isredirop(tok)) {
        *complex = 1;
        while (isredirop(tok)) {
            nr++;
            par_redir(&r);
        }
    }
    switch (tok) {
    case LX_FOR:
        cmdpush(CS_FOR);
        par_for(complex);
        cmdpop();
        break;
    case LX_FOREACH:
        cmdpush(CS_FOREACH);
        par_for(complex);
        cmdpop();
        break;
    case LX_SELECT:
        *complex = 1;
        cmdpush(CS_SELECT);
        par_for(complex);
        cmdpop();
        break;
    case LX_CASE:
        cmdpush(CS_CASE);
        par_case(complex);
        cmdpop();
        break;
    case LX_IF:
        par_if(complex);
        break;
    case LX_WHILE:
        cmdpush(CS_WHILE);
        par_while(complex);
        cmdpop();
        break;
    case LX_UNTIL:
        cmdpush(CS_UNTIL);
        par_while(complex);
        cmdpop();
        break;
    case LX_REPEAT:
        cmdpush(CS_REPEAT);
        par_repeat(complex);
        cmdpop();
        break;
    case LX_LPAREN:
        *complex = 1;
        cmdpush(CS_SUBSH);
        par_subsh(complex);
        cmdpop();
        break;
    case LX_LBRACE:
        cmdpush(CS_CURSH);
        par_subsh(complex);
        cmdpop();
        break;
    case LX_FUNCTION:
        cmdpush(CS_FUNCDEF);
        par_funcdef();
        cmdpop();
        break;
    case LX_DLBRACK:
        cmdpush(CS_COND);
        par_dinbrack();
        cmdpop();
        break;
    case LX_DLPAREN:
        ecadd(code_build(CODE_ARITH, 0));
        ecstr(tokstr);
        yylex();
        break;
    case LX_TIME:
        if (!inpartime) {
            *complex = 1;
            inpartime = 1;
            par_time();
            inpartime = 0;
            break;
        }
        tok = LX_WORD;
        [[fallthrough]];
    default: {
        int sr = par_simple(complex, nr);
        if (!sr) {
            if (!nr)
                return 0;
        } else if (sr > 1) {
            *complex = 1;
            r += 3 * (sr - 1);  // three words per redirection read inside
        }
        break;
    }
    }
    if (tok == LX_ERROR)
        return 1;
    if (isredirop(tok)) {
        *complex = 1;
        while (isredirop(tok))
            par_redir(&r);
    }
    incmdpos = 1;
    incasepat = 0;
    incond = 0;
    return 1;
}

// name=(...) among typeset's arguments, the current token being the name:
// the marked words (see TSM_OPEN), their number returned; tok is left on
// what ended the elements.
static int par_typesetarray()
{
    size_t nl = strlen(tokstr);
    char *w = static_cast<char *>(qhalloc(nl + 3));
    w[0] = char(METACHAR);
    w[1] = char(TSM_OPEN);
    memcpy(w + 2, tokstr, nl + 1);
    ecstr(w);
    int n = 1;
    intypeset = 0;
    cmdpush(CS_ARRAY);
    yylex();
    while (tok == LX_SEPER && isnewlin)
        yylex();
    while (tok == LX_WORD) {
        char *t = tokstr;
        // [key]=value: the brackets are plain text, not a pattern.
        if (static_cast<unsigned char>(*t) == TK_LBRACK || *t == '[') {
            char *e = t;
            skipparens(*t, static_cast<unsigned char>(*t) == TK_LBRACK ? char(TK_RBRACK) : ']', &e);
            if (e > t + 1 && (*e == '=' || static_cast<unsigned char>(*e) == TK_EQUALS)) {
                size_t tl = strlen(t);
                char *k = static_cast<char *>(qhalloc(tl + 3));
                k[0] = char(METACHAR);
                k[1] = char(TSM_KEY);
                memcpy(k + 2, t, tl + 1);
                k[2] = '[';
                k[2 + (e - t) - 1] = ']';
                k[2 + (e - t)] = '=';
                t = k;
            }
        }
        ecstr(t);
        n++;
        yylex();
        while (tok == LX_SEPER && isnewlin)
            yylex();
    }
    cmdpop();
    intypeset = 1;
    static const char close[] = {char(METACHAR), char(TSM_CLOSE), '\0'};
    ecstr(dupstring(close));
    return n + 1;
}

int par_simple(int *complex, int nr)
{
    int oecused = ec.ecused, isnull = 1, r, argc = 0, p, isfunc = 0, sr = 0;
    int c = *complex;

    r = ec.ecused;
    for (;;) {
        if (tok == LX_NOCORRECT) {
            *complex = c = 1;
            nocorrect = 1;
        } else if (tok == LX_ASSIGN) {
            char *name = tokstr, *s = tokstr, *str;
            int add = 0;
            while (*s && *s != '=' && static_cast<unsigned char>(*s) != TK_LBRACK && !(*s == '+' && s[1] == '='))
                s++;
            if (static_cast<unsigned char>(*s) == TK_LBRACK)
                skipparens(char(TK_LBRACK), char(TK_RBRACK), &s);
            if (*s == '+') {
                add = 1;
                *s++ = '\0';
            }
            if (*s == '=')
                *s++ = '\0';
            str = s;
            ecadd(build_assign(ASSIGN_SCALAR, wordcode(add), 0));
            ecstr(name);
            ecstr(str);
            isnull = 0;
        } else if (tok == LX_ARRAYASSIGN) {
            int oldcmdpos = incmdpos, n, add = 0;
            size_t nl = strlen(tokstr);
            if (nl && tokstr[nl - 1] == '+') {
                tokstr[nl - 1] = '\0';
                add = 1;
            }
            p = ecadd(0);
            incmdpos = 0;
            ecstr(tokstr);
            cmdpush(CS_ARRAY);
            yylex();
            n = par_nl_wordlist();
            ec.ecbuf[p] = build_assign(ASSIGN_ARRAY, wordcode(add), wordcode(n));
            cmdpop();
            if (tok != LX_RPAREN)
                YYERROR(oecused);
            incmdpos = oldcmdpos;
            isnull = 0;
        } else {
            break;
        }
        yylex();
    }
    if (tok == LX_AMP || tok == LX_AMPBAR)
        YYERROR(oecused);

    p = ecadd(code_build(CODE_SIMPLE, 0));
    // The typeset family takes name=(...) arguments as array literals;
    // builtin and command may come before its name.
    int otypeset = intypeset, tsstate = 1;
    intypeset = 0;
    for (;;) {
        if (tok == LX_WORD) {
            *complex = 1;
            incmdpos = 0;
            ecstr(tokstr);
            if (tsstate == 1) {
                static constexpr const char *family[] = {"typeset", "declare", "local",  "export",
                                                         "readonly", "integer", "float"};
                tsstate = 0;
                if (!strcmp(tokstr, "builtin") || !strcmp(tokstr, "command"))
                    tsstate = 1;
                for (const char *f : family)
                    if (!strcmp(tokstr, f))
                        tsstate = 2;
                intypeset = tsstate == 2;
            }
            argc++;
            yylex();
        } else if (tok == LX_ARRAYASSIGN && intypeset) {
            *complex = 1;
            argc += par_typesetarray();
            if (tok != LX_RPAREN) {
                intypeset = otypeset;
                YYERROR(oecused);
            }
            yylex();
        } else if (isredirop(tok)) {
            *complex = c = 1;
            par_redir(&r);
            if (tok == LX_ERROR)
                return 0;
            p += 3;
            sr++;
        } else if (tok == LX_EMPTYPARENS) {
            *complex = c;
            long oldlineno = lineno;
            lineno = 0;
            incmdpos = 1;
            cmdpush(CS_FUNCDEF);
            yylex();
            while (tok == LX_SEPER)
                yylex();
            ecispace(p + 1, 1);
            ec.ecbuf[p + 1] = wordcode(argc);
            int q = ecadd(0);
            ecadd(0);
            ecadd(0);
            FuncBody fb = startfuncbody();
            fb.oldlineno = oldlineno;
            int bodystart = ec.ecused;
            if (tok == LX_LBRACE) {
                int cc = 0;
                yylex();
                par_list(&cc);
                if (tok != LX_RBRACE) {
                    cmdpop();
                    abortfuncbody(fb);
                    YYERROR(oecused);
                }
                yylex();
                par_bodyredirs(bodystart);
            } else {
                int cc = 0;
                int ll = ecadd(0);
                int sl = ecadd(0);
                ecadd(build_pipe(PIPE_END, 0));
                if (!par_cmd(&cc) || tok == LX_ERROR) {
                    cmdpop();
                    abortfuncbody(fb);
                    YYERROR(oecused);
                }
                set_sublist_code(sl, SUBLIST_END, 0, ec.ecused - 1 - sl, cc);
                set_list_code(ll, Z_SYNC | Z_END, cc);
            }
            cmdpop();
            endfuncbody(fb, q);
            setfuncdef(p);
            isfunc = 1;
            isnull = 0;
            break;
        } else {
            break;
        }
        isnull = 0;
    }
    intypeset = otypeset;
    if (isnull && !(sr + nr)) {
        ec.ecused = p;
        return 0;
    }
    incmdpos = 1;
    if (!isfunc)
        ec.ecbuf[p] = code_build(CODE_SIMPLE, wordcode(argc));
    return sr + 1;
}

constexpr int redirtab[] = {
    RT_WRITE,      RT_WRITE_FORCE,    RT_APPEND,       RT_APPEND_FORCE,    RT_READ,
    RT_READWRITE,  RT_HEREDOC,        RT_HEREDOC_TABS, RT_DUP_IN,          RT_DUP_OUT,
    RT_ERRWRITE,   RT_ERRWRITE_FORCE, RT_ERRAPPEND,    RT_ERRAPPEND_FORCE, RT_HERESTRING,
};
static_assert(sizeof(redirtab) / sizeof(redirtab[0]) == LX_TLT - LX_GT + 1);

void par_redir(int *rp)
{
    int r = *rp, type, fd1, oldcmdpos, oldnc;
    char *name;

    oldcmdpos = incmdpos;
    incmdpos = 0;
    oldnc = nocorrect;
    if (tok != LX_LT && tok != LX_LTGT)
        nocorrect = 1;
    type = redirtab[tok - LX_GT];
    fd1 = tokfd == -1 ? (rt_isread(type) ? 0 : 1) : tokfd;
    yylex();
    if (tok != LX_WORD && tok != LX_ASSIGN)
        YYERRORV(ec.ecused);
    incmdpos = oldcmdpos;
    nocorrect = oldnc;
    name = tokstr;
    unsigned char t0 = static_cast<unsigned char>(name[0]), t1 = static_cast<unsigned char>(name[1]);
    switch (type) {
    case RT_HEREDOC:
    case RT_HEREDOC_TABS: {
        ecispace(r, 3);
        *rp = r + 3;
        ec.ecbuf[r] = code_build(CODE_REDIR, wordcode(type));
        ec.ecbuf[r + 1] = wordcode(fd1);
        ecsetstr(r + 2, "");
        HereDoc **hd;
        for (hd = &hdocs; *hd; hd = &(*hd)->next) {
        }
        *hd = qnew<HereDoc>();
        (*hd)->next = nullptr;
        (*hd)->type = type;
        (*hd)->pc = r;
        (*hd)->str = tokstr;
        (*hd)->nfunc = ec.ecnfunc;
        yylex();
        return;
    }
    case RT_WRITE:
    case RT_WRITE_FORCE:
        if (t0 == TK_RANGLE && t1 == TK_LPAREN)
            type = RT_PROC_OUT;
        else if (t0 == TK_LANGLE && t1 == TK_LPAREN)
            YYERRORV(ec.ecused);
        break;
    case RT_READ:
        if (t0 == TK_LANGLE && t1 == TK_LPAREN)
            type = RT_PROC_IN;
        else if (t0 == TK_RANGLE && t1 == TK_LPAREN)
            YYERRORV(ec.ecused);
        break;
    case RT_READWRITE:
        if ((t0 == TK_LANGLE || t0 == TK_RANGLE) && t1 == TK_LPAREN)
            type = t0 == TK_LANGLE ? RT_PROC_IN : RT_PROC_OUT;
        break;
    case RT_HERESTRING:
        name = dupstring(name);
        // Quotes go, as in a here-document's body; the text of $'...'
        // needs them to be decoded, so it is decoded first.
        for (char *q = name; *q;) {
            if (static_cast<unsigned char>(*q) == TK_DOLLAR && static_cast<unsigned char>(q[1]) == TK_SQUOTE) {
                int len;
                getkeystring(q, &len, GETKEY_DOLLAR_QUOTE, nullptr);
                q += len;
            } else {
                q += static_cast<unsigned char>(*q) == METACHAR && q[1] ? 2 : 1;
            }
        }
        remnulargs(name);
        break;
    default:
        break;
    }
    yylex();
    ecispace(r, 3);
    *rp = r + 3;
    ec.ecbuf[r] = code_build(CODE_REDIR, wordcode(type));
    ec.ecbuf[r + 1] = wordcode(fd1);
    ecsetstr(r + 2, name);
}

// ---- conditions ----

int get_cond_num(const char *tst)
{
    static const char *const condstrs[] = {"nt", "ot", "ef", "eq", "ne", "lt", "gt", "le", "ge", nullptr};
    for (int t0 = 0; condstrs[t0]; t0++)
        if (!strcmp(condstrs[t0], tst))
            return t0;
    return -1;
}

int conderror(const char *fmt, const char *s)
{
    qwarn(fmt, s, 0);
    herrflush();
    if (noerrs != 2)
        errflag = 1;
    tok = LX_ERROR;
    return 0;
}

bool isunarytest(const char *a)
{
    return a[0] == '-' && a[1] && !a[2] && strchr(COND_UNARY_LETTERS, a[1]);
}

// The operator word =~ as the lexer leaves it: either character may be a
// token.
bool isregexop(const char *b)
{
    unsigned char b0 = static_cast<unsigned char>(b[0]), b1 = static_cast<unsigned char>(b[0] ? b[1] : 0);
    return (b0 == TK_EQUALS || b0 == '=') && (b1 == TK_TILDE || b1 == '~') && !b[2];
}

int par_cond_double(const char *a, const char *b)
{
    if (a[0] != '-' || !a[1])
        return conderror("parse error: condition expected: %s", a);
    if (isunarytest(a)) {
        ecadd(build_cond(wordcode(static_cast<unsigned char>(a[1])), 0));
        ecstr(b);
    } else {
        ecadd(build_cond(COND_MOD, 1));
        ecstr(a);
        ecstr(b);
    }
    return 1;
}

int par_cond_triple(const char *a, const char *b, const char *c)
{
    unsigned char b0 = static_cast<unsigned char>(b[0]), b1 = static_cast<unsigned char>(b[1]);
    int t0;
    if ((b0 == TK_EQUALS || b0 == '=') && (!b1 || ((b1 == TK_EQUALS || b1 == '=') && !b[2]))) {
        ecadd(build_cond(COND_STREQ, 0));
        ecstr(a);
        ecstr(c);
        ecadd(wordcode(ec.ecnpats++));
    } else if (!condtesting && isregexop(b)) {
        ecadd(build_cond(COND_REGEX, 0));
        ecstr(a);
        ecstr(c);
    } else if (condtesting && (b0 == '<' || b0 == '>') && !b1) {
        // test and [ get < and > as plain arguments.
        ecadd(build_cond(b0 == '<' ? COND_STRLT : COND_STRGTR, 0));
        ecstr(a);
        ecstr(c);
    } else if (b0 == '!' && (b1 == TK_EQUALS || b1 == '=') && !b[2]) {
        ecadd(build_cond(COND_STRNEQ, 0));
        ecstr(a);
        ecstr(c);
        ecadd(wordcode(ec.ecnpats++));
    } else if (b0 == '-') {
        if ((t0 = get_cond_num(b + 1)) > -1) {
            ecadd(build_cond(wordcode(t0 + COND_NT), 0));
            ecstr(a);
            ecstr(c);
        } else {
            ecadd(build_cond(COND_MODI, 0));
            ecstr(b);
            ecstr(a);
            ecstr(c);
        }
    } else if (a[0] == '-' && a[1]) {
        ecadd(build_cond(COND_MOD, 2));
        ecstr(a);
        ecstr(b);
        ecstr(c);
    } else {
        return conderror("condition expected: %s", b);
    }
    return 1;
}

int par_cond_multi(const char *a, LinkList *l)
{
    if (a[0] != '-' || !a[1])
        return conderror("condition expected: %s", a);
    ecadd(build_cond(COND_MOD, wordcode(countlinknodes(l))));
    ecstr(a);
    for (LinkNode *n = firstnode(l); n; incnode(n))
        ecstr(static_cast<char *>(getdata(n)));
    return 1;
}

int par_cond_2()
{
    char *s1, *s2, *s3;
    bool dble = false;

    if (condtesting && testargs) {
        if (tok == LX_NULL)
            return par_cond_double("-n", "");
        if (!*testargs) {
            s1 = tokstr;
            condlex();
            return par_cond_double("-n", s1);
        }
        if (testargs[1]) {
            if (!strcmp(*testargs, "=") || !strcmp(*testargs, "==") || !strcmp(*testargs, "!=") ||
                !strcmp(*testargs, "<") || !strcmp(*testargs, ">") ||
                (**testargs == '-' && get_cond_num(*testargs + 1) >= 0)) {
                s1 = tokstr;
                condlex();
                s2 = tokstr;
                condlex();
                s3 = tokstr;
                condlex();
                return par_cond_triple(s1, s2, s3);
            }
        }
    }
    while (tok == LX_BANG) {
        condlex();
        ecadd(build_cond(COND_NOT, 0));
    }
    if (tok == LX_LPAREN) {
        NestGuard ng;
        if (!ng.ok)
            return 0;
        condlex();
        while (tok == LX_SEPER)
            condlex();
        int r = par_cond();
        while (tok == LX_SEPER)
            condlex();
        if (tok != LX_RPAREN)
            YYERROR(ec.ecused);
        condlex();
        return r;
    }
    if (tok != LX_WORD) {
        if (tok && tok != LX_ERROR && condtesting) {
            s1 = tokstr;
            condlex();
            return par_cond_double("-n", s1 ? s1 : "");
        }
        YYERROR(ec.ecused);
    }
    s1 = tokstr;
    if (condtesting)
        dble = isunarytest(s1);
    condlex();
    if (tok == LX_LT || tok == LX_GT) {
        int xtok = tok;
        condlex();
        if (tok != LX_WORD)
            YYERROR(ec.ecused);
        s3 = tokstr;
        condlex();
        ecadd(build_cond(xtok == LX_LT ? COND_STRLT : COND_STRGTR, 0));
        ecstr(s1);
        ecstr(s3);
        return 1;
    }
    if (tok != LX_WORD) {
        if (tok == LX_ERROR)
            YYERROR(ec.ecused);
        // A lone word tests for a non-empty string.
        if (dble && !strcmp(s1, "-t"))
            return par_cond_double(s1, "1");
        return par_cond_double("-n", s1);
    }
    s2 = tokstr;
    incond++;
    inregex = !condtesting && isregexop(s2);
    condlex();
    inregex = 0;
    incond--;
    if (tok == LX_WORD && !dble) {
        s3 = tokstr;
        condlex();
        if (tok == LX_WORD) {
            LinkList *l = newlinklist();
            addlinknode(l, s2);
            addlinknode(l, s3);
            while (tok == LX_WORD) {
                addlinknode(l, tokstr);
                condlex();
            }
            return par_cond_multi(s1, l);
        }
        return par_cond_triple(s1, s2, s3);
    }
    return par_cond_double(s1, s2);
}

// A chain of terms joined by op ("&&" or "||"); each operator heads the
// rest of the chain with a cond of the given type.  The chain is walked in
// a loop so that long conditions do not deepen the parser's stack.
int par_cond_chain(int (*term)(), int op, int type)
{
    int r = 1;
    int heads[64], nheads = 0;
    LinkList *more = nullptr;
    for (;;) {
        int p = ec.ecused;
        r = term();
        if (tok == LX_ERROR)
            return 0;
        while (tok == LX_SEPER)
            condlex();
        if (tok != op)
            break;
        condlex();
        while (tok == LX_SEPER)
            condlex();
        ecispace(p, 1);
        if (nheads < 64) {
            heads[nheads++] = p;
        } else {
            if (!more)
                more = newlinklist();
            addlinknode(more, reinterpret_cast<void *>(intptr_t(p)));
        }
        r = 1;
    }
    // Every head lies before the words that follow it, so the offsets are
    // final once the whole chain is in place.
    if (more)
        for (LinkNode *n = firstnode(more); n; n = nextnode(n)) {
            int p = int(reinterpret_cast<intptr_t>(getdata(n)));
            ec.ecbuf[p] = build_cond(type, wordcode(ec.ecused - 1 - p));
        }
    while (nheads--)
        ec.ecbuf[heads[nheads]] = build_cond(type, wordcode(ec.ecused - 1 - heads[nheads]));
    return r;
}

int par_cond_1() { return par_cond_chain(par_cond_2, LX_ANDAND, COND_AND); }

int par_cond() { return par_cond_chain(par_cond_1, LX_OROR, COND_OR); }

}  // namespace

void setheredoc(int pc, int type, char *str)
{
    ec.ecbuf[pc] = code_build(CODE_REDIR, wordcode(type));
    ecsetstr(pc + 2, str);
}

Eprog *parse_event()
{
    tok = LX_EOF;
    incmdpos = 1;
    aliasspaceflag = 0;
    yylex();
    init_parse();
    if (!par_event()) {
        clear_hdocs();
        return nullptr;
    }
    return bld_eprog();
}

Eprog *parse_list()
{
    int c = 0;
    tok = LX_EOF;
    incmdpos = 1;
    aliasspaceflag = 0;
    yylex();
    init_parse();
    par_list(&c);
    if (tok != LX_EOF) {
        clear_hdocs();
        tok = LX_ERROR;
        yyerror(0);
        return nullptr;
    }
    return bld_eprog();
}

Eprog *parse_cond()
{
    init_parse();
    if (!par_cond() || tok == LX_ERROR) {
        clear_hdocs();
        return nullptr;
    }
    return bld_eprog();
}

Eprog *parse_string(char *s, int ln)
{
    long oldlineno = lineno;
    LexGuard lg;
    inpush(s, ln > 0 ? SEG_COUNTLINES : 0, nullptr);
    strinbeg(0);
    lineno = ln > 0 ? ln : -1;
    Eprog *p = parse_list();
    lineno = oldlineno;
    if (tok == LX_ERROR && !lastval)
        lastval = 1;
    strinend();
    inpop();
    return p;
}
