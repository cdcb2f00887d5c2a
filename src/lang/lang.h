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
    int len;
    int npats;
    int nref;
    Patprog **pats;
    wordcode *prog;
    char *strs;
    struct ShellFunc *shf;
    FuncDump *dump;
};

extern Eprog dummy_eprog;

void init_eprog();
Eprog *dupeprog(Eprog *p, int heap);
void useeprog(Eprog *p);
void freeeprog(Eprog *p);
int empty_eprog(Eprog *p);

// The current token, shared by the lexer and the main loop.
extern int tok;

// Parse one event (the lists of one input line) from the current input;
// null at end of input, on an error, or for an empty line.
Eprog *parse_event();
// Reset the lexer's context for a new event.
void lexinit();
void init_lexer_tables();
// Re-lex s in place as the inside of a double-quoted string; 0 or the
// offending character.
int parsestr(char **s);
// Read one line from bshin, metafied, newline included; null at end.
char *shingetline();
// For source: a compiled form of the file to use instead, or null.
Eprog *try_source_file(const char *file);

// Text of a program (permanent string), starting at c or the program start.
char *getpermtext(Eprog *prog, wordcode *c, int start_indent);
// Job text of a program (arena string).
char *getjobtext(Eprog *prog, wordcode *c);
