// The history list and file, and history expansion.  The lexer reads its
// characters through hgetc/hungetc, which record words and expand bangs.
#pragma once

#include "lang/lang.h"

// Begin a history event (dohist: record it), and end it with the program
// that was parsed; hend says whether the program is to be run.
void hbegin(int dohist);
int hend(Eprog *prog);
// 0 record and expand; 2 do not record; 4 added while quoted text is read;
// 3 is the re-entered state of preprompt.
extern int stophist;
// histactive: HA_ bits; histdone: HISTDONE_ bits.
enum : int { HA_ACTIVE = 1, HA_NOSTORE = 2, HA_NOINC = 4 };
extern int histactive;
enum : int { HISTDONE_ECHO = 1, HISTDONE_NOEXEC = 2, HISTDONE_PUSH = 4, HISTDONE_RESTORE_TTY = 8 };
extern int histdone;
// The word being replaced by an expansion, or -1.
extern int hwgetword;

// The reader the lexer uses, and the word recording around it; the history
// layer points them at the recording or the plain versions in hbegin.
extern int (*hgetc)();
extern void (*hungetc)(int c);
extern void (*hwaddc)(int c);
extern void (*hwbegin)(int offset);
extern void (*hwend)();
extern void (*addtoline)(int c);

// The string-input bracket around every nested parse.
void strinbeg(int dohist);
void strinend();
// After a parse error: drop the rest of the waiting input.
void herrflush();
void ihwbegin(int offset);
void ihwend();
void histbackword();
void hwrep(char *text);
// Recording suspended around quoted text and here-document bodies.
struct [[nodiscard]] StopHistGuard {
    StopHistGuard() { stophist += 4; }
    ~StopHistGuard() { stophist -= 4; }
    StopHistGuard(const StopHistGuard &) = delete;
    StopHistGuard &operator=(const StopHistGuard &) = delete;
};

void init_history();
void readhistfile(const char *fn, int err, int readflags);
void savehistfile(const char *fn, int err, int writeflags);

// The number of the current history event.
extern long curhist;
// Trim or grow the history list to histsiz (HISTSIZE was assigned).
void resizehistents();
