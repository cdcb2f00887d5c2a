// The language front end: input stack, lexer, wordcode programs, parser
// and the conversion of wordcode back to text.  Owns Eprog and the tokens.
#pragma once

#include <cstdint>

#include "core/core.h"

using wordcode = uint32_t;

// Lexical tokens.
enum LexToken : int {
    LX_NULL = 0,
    LX_SEPER,
    LX_NEWLINE,
    LX_SEMI,
    LX_DSEMI,
    LX_AMP,
    LX_LPAREN,
    LX_RPAREN,
    LX_OROR,
    LX_ANDAND,
    LX_GT,
    LX_GTBAR,
    LX_DGT,
    LX_DGTBAR,
    LX_LT,
    LX_LTGT,
    LX_DLT,
    LX_DLTDASH,
    LX_LTAMP,
    LX_GTAMP,
    LX_AMPGT,
    LX_GTAMPBAR,
    LX_DGTAMP,
    LX_DGTAMPBAR,
    LX_TLT,
    LX_BAR,
    LX_BARAMP,
    LX_EMPTYPARENS,
    LX_DLPAREN,
    LX_DRPAREN,
    LX_AMPBAR,
    LX_SEMIAMP,
    LX_DRBRACK,
    LX_WORD,
    LX_ASSIGN,
    LX_ARRAYASSIGN,
    LX_EOF,
    LX_ERROR,
    LX_BANG,
    LX_DLBRACK,
    LX_LBRACE,
    LX_RBRACE,
    LX_CASE,
    LX_COPROC,
    LX_DO,
    LX_DONE,
    LX_ELIF,
    LX_ELSE,
    LX_END,
    LX_ESAC,
    LX_FI,
    LX_FOR,
    LX_FOREACH,
    LX_FUNCTION,
    LX_IF,
    LX_NOCORRECT,
    LX_REPEAT,
    LX_SELECT,
    LX_THEN,
    LX_TIME,
    LX_UNTIL,
    LX_WHILE,
};
static_assert(LX_BANG == 38 && LX_WHILE == 61);

// Eprog flags.
enum : int { EF_REAL = 1, EF_HEAP = 2, EF_MAP = 4, EF_RUN = 8 };

struct Patprog;
struct FuncDump;

struct Eprog {
    int flags;
    int len;            // bytes of the block: pattern slots, code, strings
    int pattern_count;
    int ref_count;      // -1 for arena programs
    Patprog **pattern_slots;
    wordcode *prog;
    char *string_table;
    struct ShellFunc *function_link;
    FuncDump *dump_link;
};

// Walking wordcode: the program, the next word and the strings in use.
struct ExecState {
    Eprog *prog;
    wordcode *pc;
    char *string_table;
};

// ---- wordcode layout ----
enum CodeType : wordcode {
    CODE_END = 0,
    CODE_LIST,
    CODE_SUBLIST,
    CODE_PIPE,
    CODE_REDIR,
    CODE_ASSIGN,
    CODE_SIMPLE,
    CODE_SUBSH,
    CODE_CURSH,
    CODE_TIMED,
    CODE_FUNCDEF,
    CODE_FOR,
    CODE_SELECT,
    CODE_WHILE,
    CODE_REPEAT,
    CODE_CASE,
    CODE_IF,
    CODE_COND,
    CODE_ARITH,
    CODE_AUTOFN,
};
static_assert(CODE_AUTOFN == 19);

constexpr int CODE_BITS = 5;
constexpr wordcode code_type(wordcode w) { return w & 0x1F; }
constexpr wordcode code_data(wordcode w) { return w >> CODE_BITS; }
constexpr wordcode code_build(wordcode type, wordcode data) { return type | (data << CODE_BITS); }
// The placeholder in a pattern slot: not compiled yet.
inline Patprog *const dummy_patprog1 = reinterpret_cast<Patprog *>(1);

// Lists.
enum : wordcode { Z_TIMED = 1, Z_SYNC = 2, Z_ASYNC = 4, Z_DISOWN = 8, Z_END = 16, Z_SIMPLE = 32 };
constexpr wordcode list_type(wordcode w) { return code_data(w) & 63; }
constexpr wordcode list_skip(wordcode w) { return code_data(w) >> 6; }
constexpr wordcode build_list(wordcode type, wordcode skip) { return code_build(CODE_LIST, type | (skip << 6)); }

// Sublists.
enum : wordcode { SUBLIST_END = 0, SUBLIST_AND = 1, SUBLIST_OR = 2 };
enum : wordcode { SUBLIST_COPROC = 4, SUBLIST_NOT = 8, SUBLIST_SIMPLE = 16 };
constexpr wordcode sublist_type(wordcode w) { return code_data(w) & 3; }
constexpr wordcode sublist_flags(wordcode w) { return code_data(w) & 0x1C; }
constexpr wordcode sublist_skip(wordcode w) { return code_data(w) >> 5; }
constexpr wordcode build_sublist(wordcode type, wordcode flags, wordcode skip)
{
    return code_build(CODE_SUBLIST, type | flags | (skip << 5));
}

// Pipeline elements.
enum : wordcode { PIPE_END = 0, PIPE_MID = 1 };
constexpr wordcode pipe_type(wordcode w) { return code_data(w) & 1; }
constexpr wordcode pipe_lineno(wordcode w) { return code_data(w) >> 1; }
constexpr wordcode build_pipe(wordcode type, wordcode line) { return code_build(CODE_PIPE, type | (line << 1)); }

// Redirections.
enum RedirType : int {
    RT_WRITE = 0,
    RT_WRITE_FORCE,
    RT_APPEND,
    RT_APPEND_FORCE,
    RT_ERRWRITE,
    RT_ERRWRITE_FORCE,
    RT_ERRAPPEND,
    RT_ERRAPPEND_FORCE,
    RT_READWRITE,
    RT_READ,
    RT_HEREDOC,
    RT_HEREDOC_TABS,
    RT_HERESTRING,
    RT_DUP_IN,
    RT_DUP_OUT,
    RT_CLOSE,
    RT_PROC_IN,
    RT_PROC_OUT,
};
constexpr bool rt_isread(int t) { return (t >= RT_READWRITE && t <= RT_DUP_IN) || t == RT_PROC_IN; }
constexpr wordcode redir_type(wordcode w) { return code_data(w); }

// Assignments.
enum : wordcode { ASSIGN_SCALAR = 0, ASSIGN_ARRAY = 1 };
constexpr wordcode assign_type(wordcode w) { return code_data(w) & 1; }
constexpr wordcode assign_add(wordcode w) { return (code_data(w) >> 1) & 1; }
constexpr wordcode assign_num(wordcode w) { return code_data(w) >> 2; }
constexpr wordcode build_assign(wordcode type, wordcode add, wordcode n)
{
    return code_build(CODE_ASSIGN, type | (add << 1) | (n << 2));
}

constexpr wordcode simple_argc(wordcode w) { return code_data(w); }
constexpr wordcode subsh_skip(wordcode w) { return code_data(w); }
constexpr wordcode cursh_skip(wordcode w) { return code_data(w); }
constexpr wordcode funcdef_skip(wordcode w) { return code_data(w); }
constexpr wordcode repeat_skip(wordcode w) { return code_data(w); }
enum : wordcode { TIMED_EMPTY = 0, TIMED_PIPE = 1 };
constexpr wordcode timed_type(wordcode w) { return code_data(w); }

enum : wordcode { FOR_PPARAM = 0, FOR_LIST = 1, FOR_COND = 2 };
constexpr wordcode for_type(wordcode w) { return code_data(w) & 3; }
constexpr wordcode for_skip(wordcode w) { return code_data(w) >> 2; }
constexpr wordcode build_for(wordcode type, wordcode skip) { return code_build(CODE_FOR, type | (skip << 2)); }

enum : wordcode { SELECT_PPARAM = 0, SELECT_LIST = 1 };
constexpr wordcode select_type(wordcode w) { return code_data(w) & 1; }
constexpr wordcode select_skip(wordcode w) { return code_data(w) >> 1; }
constexpr wordcode build_select(wordcode type, wordcode skip) { return code_build(CODE_SELECT, type | (skip << 1)); }

enum : wordcode { WHILE_WHILE = 0, WHILE_UNTIL = 1 };
constexpr wordcode while_type(wordcode w) { return code_data(w) & 1; }
constexpr wordcode while_skip(wordcode w) { return code_data(w) >> 1; }
constexpr wordcode build_while(wordcode type, wordcode skip) { return code_build(CODE_WHILE, type | (skip << 1)); }

enum : wordcode { CASE_HEAD = 0, CASE_OR = 1, CASE_AND = 2 };
constexpr wordcode case_type(wordcode w) { return code_data(w) & 3; }
constexpr wordcode case_skip(wordcode w) { return code_data(w) >> 2; }
constexpr wordcode build_case(wordcode type, wordcode skip) { return code_build(CODE_CASE, type | (skip << 2)); }

enum : wordcode { IF_HEAD = 0, IF_IF = 1, IF_ELIF = 2, IF_ELSE = 3 };
constexpr wordcode if_type(wordcode w) { return code_data(w) & 3; }
constexpr wordcode if_skip(wordcode w) { return code_data(w) >> 2; }
constexpr wordcode build_if(wordcode type, wordcode skip) { return code_build(CODE_IF, type | (skip << 2)); }

enum CondType : wordcode {
    COND_NOT = 0,
    COND_AND,
    COND_OR,
    COND_STREQ,
    COND_STRNEQ,
    COND_STRLT,
    COND_STRGTR,
    COND_NT,
    COND_OT,
    COND_EF,
    COND_EQ,
    COND_NE,
    COND_LT,
    COND_GT,
    COND_LE,
    COND_GE,
    COND_MOD,
    COND_MODI,
    // Added after the fixed codes: string =~ extended regular expression.
    COND_REGEX,
};
constexpr wordcode cond_type(wordcode w) { return code_data(w) & 127; }
constexpr wordcode cond_skip(wordcode w) { return code_data(w) >> 7; }
constexpr wordcode build_cond(wordcode type, wordcode skip) { return code_build(CODE_COND, type | (skip << 7)); }
// The letters of the unary file and string tests.
constexpr const char COND_UNARY_LETTERS[] = "abcdefgknoprstuwxzhLONGS";

// ---- programs ----
extern Eprog dummy_eprog;

void init_eprog();
Eprog *dupeprog(Eprog *p, int heap);
void useeprog(Eprog *p);
void freeeprog(Eprog *p);
int empty_eprog(Eprog *p);

// Decoding string words; dup: 0 never copy, 1 always, 2 only with tokens.
enum : int { EC_NODUP = 0, EC_DUP = 1, EC_DUPTOK = 2 };
char *ecgetstr(ExecState *state, int dup, int *tokflag);
char *ecrawstr(Eprog *prog, wordcode *pc, int *tokflag);
char **ecgetarr(ExecState *state, int num, int dup, int *tokflag);
LinkList *ecgetlist(ExecState *state, int num, int dup, int *tokflag);
// A redirection as the executor sees it.
struct Redir {
    int type;
    int fd1, fd2;
    char *name;
};
// The redirections at pc, or null when there are none (most commands:
// the test is made where the command is run, not in a call).
LinkList *ecgetredirlist(ExecState *state);
inline LinkList *ecgetredirs(ExecState *state)
{
    return code_type(*state->pc) == CODE_REDIR ? ecgetredirlist(state) : nullptr;
}

// ---- input stack ----
enum : int {
    SEG_FREE = 1,
    SEG_EXPANSION = 2,
    SEG_HISTORY = 4,
    SEG_CONTINUE = 8,
    SEG_EXPANDED_ABOVE = 16,
    SEG_COUNTLINES = 32,
};
extern char *inseg, *insegpos, *insegrepush;
extern int insegleft, inbufct, inbufflags;
// Nested string inputs (eval, substitutions): while set, end of the
// current text is end of input.
extern int strin;
extern int lexstop, isfirstln, isfirstch;

int ingetc();
void inungetc(int c);
void inpush(char *text, int flags, AliasEntry *alias);
void inpop();
void inerrflush();
// Read one line from bshin, metafied, newline included; null at end.
char *shingetline();
// The next line of the shell input in a buffer reused by the next call.
char *shinline(size_t *lenp);
int stuff(const char *path);

// ---- lexer ----
// The current token and its word, shared by the lexer and its callers.
extern int tok;
extern char *tokstr;
extern int tokfd;
extern char *yytext;
extern int incmdpos, incond, incasepat, infor, inredir, in_dparens;
extern int nocorrect, isnewlin, noaliases, inalmore, aliasspaceflag;
extern int nocomments;
// Set by the condition parser while it reads the word after =~: a
// regular expression keeps |, < and > as characters of the word.
extern int inregex;
// Set by the parser while it reads the arguments of a typeset-family
// command, so that name=( begins an array literal there too.
extern int intypeset;

// An array literal among the arguments of a typeset-family command is
// passed as marked words: TSM_OPEN followed by the name (a trailing "+"
// appends), the elements (TSM_KEY before a [key]=value element), and
// TSM_CLOSE.  METACHAR followed by these bytes is never the metafied form
// of any text, so no word of a script can be taken for a mark.
enum : unsigned char { TSM_OPEN = 1, TSM_CLOSE = 2, TSM_KEY = 3 };
inline int typesetmark(const char *s)
{
    return static_cast<unsigned char>(s[0]) == 0x83 && s[1] >= TSM_OPEN && s[1] <= TSM_KEY ? s[1] : 0;
}
// Completion hooks into word splitting (the completion layer sets them).
extern int kedparse, wordbeg, lexcursor;
extern int lexdepth;
extern const char *const tokstrings[];
// Names of the context codes pushed on cmdstack, for %_.
extern const char *const cmdnames[];

enum CmdContext : int {
    CS_FOR, CS_WHILE, CS_REPEAT, CS_SELECT, CS_UNTIL, CS_IF, CS_IFTHEN, CS_ELSE, CS_ELIF,
    CS_MATH, CS_COND, CS_CMDOR, CS_CMDAND, CS_PIPE, CS_ERRPIPE, CS_FOREACH, CS_CASE,
    CS_FUNCDEF, CS_SUBSH, CS_CURSH, CS_ARRAY, CS_QUOTE, CS_DQUOTE, CS_BQUOTE, CS_CMDSUBST,
    CS_MATHSUBST, CS_ELIFTHEN, CS_HEREDOC, CS_HEREDOCD, CS_BRACE, CS_BRACEPAR, CS_COUNT
};
static_assert(CS_COUNT == 31);
void cmdpush(int cmdtok);
void cmdpop();

// Reset the lexer's context for a new event.
void lexinit();
void initlextabs();
void init_lexer_tables();
void yylex();
void ctxtlex();
int exalias();
void lexsave();
void lexrestore();
struct [[nodiscard]] LexGuard {
    LexGuard() { lexsave(); }
    ~LexGuard() { lexrestore(); }
    LexGuard(const LexGuard &) = delete;
    LexGuard &operator=(const LexGuard &) = delete;
};
// Re-lex s in place as the inside of a double-quoted string; 0 or the
// offending character.
int parsestr(char **s);
int parsestrnoerr(char **s);
char *parse_subscript(char *s, int sub);
int parse_subst_string(char *s);
LinkList *bufferwords(LinkList *list, char *text, int *index);

// ---- parser ----
// Parse one event (the lists of one input line) from the current input;
// null at end of input, on an error, or for an empty line.
Eprog *parse_event();
Eprog *parse_list();
Eprog *parse_cond();
// Parse a whole string as one program (eval, traps, substitutions).
// ln > 0: count the text's lines from ln (eval); else lines are unknown.
Eprog *parse_string(char *s, int ln);
void setheredoc(int pc, int type, char *str);
// Reading the arguments of test/[ as a condition: the builtin installs
// its own reader here around parse_cond.
extern void (*condlex)();
// Nesting bound of the parser and the lexer: deeper input is an error.
constexpr int MAX_PARSE_DEPTH = 1000;

// ---- compiled wordcode files ----
// How a stored program is autoloaded: the file defines the function (ksh
// style), the file is its body (native), or neither (the option decides).
enum : int { FDHF_KSHLOAD = 1, FDHF_NATLOAD = 2 };
// One program to write into a compiled file, under name.
struct DumpProg {
    const char *name;
    Eprog *prog;
    int flags;
};
// For source: a compiled form of the file to use instead, or null.
Eprog *try_source_file(const char *file);
// For autoloading name from fpath directory dir (file is dir/name): the
// program from a directory digest or the function's own compiled file;
// ksh gets the load style (2 ksh, 1 by option, 0 native).
Eprog *try_dump_file(const char *dir, const char *name, const char *file, int *ksh);
// The names stored in a compiled file (arena), or null after a warning;
// mapped says whether the file is meant to be mapped.
LinkList *qwc_names(const char *nam, const char *file, int *mapped);
// Write progs (DumpProg*) to dump; map 0 read, 1 map, 2 by size.
// Warns and returns 1 on failure, leaving no file behind.
int qwc_write(const char *nam, const char *dump, LinkList *progs, int map);
// Whether code is wordcode the parser could have written: every jump,
// string and pattern slot inside the program.
bool checkwordcode(const wordcode *code, size_t nwords, const char *strs, size_t nstrs, size_t npats);
void incrdumpcount(FuncDump *f);
void decrdumpcount(FuncDump *f);
// Close the descriptors of mapped files (a child about to run a program).
void closedumps();

// ---- text ----
// Text of a program (permanent string), starting at c or the program start.
char *getpermtext(Eprog *prog, wordcode *c, int start_indent);
// Job text of a program (static buffer).
char *getjobtext(Eprog *prog, wordcode *c);
void getredirs(LinkList *redirs);

// ---- shared inside the front end ----
// Pending here-documents: filled in when the lexer reaches the newline.
struct HereDoc {
    HereDoc *next;
    int type;
    int pc;
    char *str;
    int nfunc;  // function-body number when the redirection was read
};
extern HereDoc *hdocs;
// The parser's code buffer; lexsave/lexrestore carry it across nested parses.
struct EcStrNode;
struct EcState {
    wordcode *ecbuf;
    int eclen, ecused, ecnpats;
    EcStrNode *ecstrs, *ecstrlast;  // every long string, in order
    EcStrNode **echash;
    int echashsz, ecstrct;
    int ecsoffs, ecssub, ecnfunc;
    // Beside each code word: its long string, or the definition marker.
    EcStrNode **ecnodes;
    // A here-document body arrived after its function body was closed:
    // the string regions are laid out again when the program is built.
    int relayout;
};
extern EcState ec;
extern int parsedepth;
// Arithmetic text ended by end, as the lexer reads double-quoted text;
// for the condition and arithmetic readers.
int dquote_parse(char endchar, int sub);
// Past a balanced group of open/close tokens starting at *s.
void skipparens(char open, char close, char **s);
// The test builtin's reader: its remaining arguments, and set while it
// feeds parse_cond.
extern char **testargs;
extern int condtesting;
