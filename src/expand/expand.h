// Expansion: the word expansion pipeline, parameter expansion, patterns,
// file-name generation, prompt expansion and quoting for re-input.
#pragma once

#include "core/core.h"

struct Patprog;

// Expand one word in place as a single string.
void singsub(char **s);
// Expand a prompt template: permanent metafied result; keepmarkers keeps
// the zero-width markers for countprompt.
char *promptexpand(char *s, int keepmarkers, char *rs, char *Rs);
void countprompt(const char *str, int *wp, int *hp, int overflow);
extern int txtattrmask;
// Whether the compiled pattern matches the whole string.
int pattry(Patprog *prog, const char *string);
// Compile a tokenized pattern (flags 0: the program lives in the arena);
// null on a syntax error.
Patprog *patcompile(char *exp, int inflags, char **endexp);
// Print the expanded PS4 prompt to xtrerr, ahead of a trace line.
void printprompt4();
// Quoting for re-input.
enum QuoteMode : int { QT_BACKSLASH = 0, QT_SINGLE = 1, QT_DOUBLE = 2, QT_DOLLARS = 3 };
int hasspecial(const char *s);
// An arena string that reads back as s in the given quoting context (the
// caller adds the quotes); *cursor, if it points into s, is moved along.
char *bslashquote(const char *s, char **cursor, int mode);
// Write s in the shortest safe quoted form.
int quotedqputs(const char *s, FILE *stream);
void freepatprog(Patprog *prog);
