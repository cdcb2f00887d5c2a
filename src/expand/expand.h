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
// Write a string quoted so that it reads back as the same word.
int quotedqputs(const char *s, FILE *stream);
void freepatprog(Patprog *prog);
