// The history list and file, and history expansion.  The lexer reads its
// characters through hgetc/hungetc, which record words and expand bangs.
#pragma once

#include "lang/lang.h"

// Begin a history event (dohist: record it), and end it with the program
// that was parsed; hend says whether the program is to be run.
void hbegin(int dohist);
int hend(Eprog *prog);
// 0 history on, non-zero suspended; 3 is the re-entered state of preprompt.
extern int stophist;

int hgetc();
void hungetc(int c);
void herrflush();

void init_history();
void readhistfile(const char *fn, int err, int readflags);
void savehistfile(const char *fn, int err, int writeflags);

// The number of the current history event.
extern long curhist;
// Trim or grow the history list to histsiz (HISTSIZE was assigned).
void resizehistents();
