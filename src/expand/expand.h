// Expansion: the word expansion pipeline, parameter expansion, patterns,
// file-name generation, prompt expansion and quoting for re-input.
#pragma once

#include "core/core.h"

struct Patprog;

// Expand one word in place as a single string.
void singsub(char **s);
// Expand a prompt string: permanent metafied result.
char *promptexpand(char *s, int ns, char *rs, char *Rs);
// Compile a tokenized pattern (PC_ flags); null when it is malformed.
Patprog *patcompile(char *exp, int inflags, char **endexp);
// Whether the compiled pattern matches the whole string.
int pattry(Patprog *prog, const char *string);
// Write a string quoted so that it reads back as the same word.
int quotedqputs(const char *s, FILE *stream);
void freepatprog(Patprog *prog);
