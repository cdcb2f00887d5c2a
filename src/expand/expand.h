// Expansion: the word expansion pipeline, parameter expansion, patterns,
// file-name generation, prompt expansion and quoting for re-input.
#pragma once

#include "core/core.h"

struct Patprog;

// Expand one word in place as a single string.
void singsub(char **s);
// Expand a prompt string: permanent metafied result.
char *promptexpand(char *s, int ns, char *rs, char *Rs);
// Whether the compiled pattern matches the whole string.
int pattry(Patprog *prog, const char *string);
// Compile a tokenized pattern (flags 0: the program lives in the arena);
// null on a syntax error.
Patprog *patcompile(char *exp, int inflags, char **endexp);
// Print the expanded PS4 prompt to xtrerr, ahead of a trace line.
void printprompt4();
// Write a string quoted so that it reads back as the same word.
int quotedqputs(const char *s, FILE *stream);
void freepatprog(Patprog *prog);
