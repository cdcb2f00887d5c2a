// The history list and file, and history expansion.  The lexer reads its
// characters through hgetc/hungetc, which record words and expand bangs;
// complete events enter a ring of entries saved to a shared history file.
#pragma once

#include "lang/lang.h"

#include <cstdint>
#include <ctime>

// ---- the history list ----

// One event.  The text is the hash node's name; words holds a start and
// an end offset into the text for each word.
struct HistEntry : HashNode {
    HistEntry *older, *newer;  // ring links (wrapping)
    char *edittext;            // the editor's changed copy, or null
    time_t start, finish;      // entered, ended (0 unknown)
    uint32_t *words;
    int nwords;  // -1: not split yet (histnwords)
    long number;
    unsigned hashval;  // of the text, as the duplicate table hashes it
    const char *text() const { return nam; }
};

enum : int {
    HE_UNIQUE = 1,
    HE_SAVED = 2,
    HE_READ = 4,
    HE_DUP = 8,
    HE_FOREIGN = 16,
    HE_TEMP = 32,
};

// hist_ring: the newest entry; its newer link is the oldest.  curline is
// the line being entered, numbered curhist + 1, in the ring only while
// an interactive line is read.
extern HistEntry *hist_ring;
extern HistEntry curline;
extern int histlinect;
extern long curhist;
// The index of entry texts for finding duplicates.
struct HistSlot {
    unsigned hash;
    HistEntry *e;
};
struct HistIndex {
    HistSlot *slots;
    size_t cap, ct;
};
extern HistIndex *histtab;
extern int hist_ignore_all_dups, hist_skip_flags;

// Walking the ring: null past the oldest or the newest.
HistEntry *olderhistent(HistEntry *he);
HistEntry *newerhistent(HistEntry *he);
// The entry numbered n; when there is none, null (dir 0), the next newer
// (dir 1) or the next older (dir -1).
HistEntry *gethistent(long n, int dir);
// Step n entries (negative: older), not counting entries with skip flags.
HistEntry *movehistent(HistEntry *he, long n, int skip);
long addhistnum(long n, long delta, int skip);
HistEntry *prepnexthistent();
void addhistnode(HistEntry *he);
void freehistnode(HistEntry *he);
void resizehistents();
void histremovedups();
void histreduceblanks();
// Make an entry of text (metafied, without newline) with word offsets.
HistEntry *addhistentry(const char *text, const uint32_t *words, int nwords, time_t start,
                        time_t finish, int flags);
// Split text into words at blanks: a permanent array of offsets.
int splitwords(const char *text, uint32_t **wordsp);
// The number of words of an entry, split from its text if need be.
int histnwords(HistEntry *he);
// The text of words from..to (inclusive) of an entry, or null.
char *getargs(HistEntry *he, int from, int to);
bool curlinelinked();
void linkcurline();
void unlinkcurline();

// ---- recording the line being read ----

// Begin a history event (dohist: record it), and end it with the program
// that was parsed; hend says whether the program is to be run.
void hbegin(int dohist);
int hend(Eprog *prog);
// 0 record and expand; 1 expansion turned off for the rest of the line;
// 2 do not record; 4 added while quoted text is read; 3 is the re-entered
// state of preprompt.
extern int stophist;
// histactive: HA_ bits; histdone: HISTDONE_ bits.
enum : int { HA_ACTIVE = 1, HA_NOSTORE = 2, HA_NOINC = 4 };
extern int histactive;
enum : int { HISTDONE_ECHO = 1, HISTDONE_NOEXEC = 2, HISTDONE_PUSH = 4, HISTDONE_RESTORE_TTY = 8 };
extern int histdone;
// The word being replaced by an expansion, or -1.
extern int hwgetword;
// The line being recorded and its word offsets (even: starts, odd: ends).
extern char *chline, *hptr;
extern uint32_t *chwords;
extern int chwordpos, chwordlen;
extern size_t chlinesz;

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
// The recording state a nested parse must not clobber (lexsave keeps it).
struct HistLineState {
    char *chline, *hptr;
    size_t chlinesz;
    uint32_t *chwords;
    int chwordpos, chwordlen, qbang;
};
void histsaveline(HistLineState *st);
void histrestoreline(const HistLineState *st);

void init_history();
// A table for entries, keyed by text with blanks squeezed.
HistIndex *newhisttable();
void deletehisttable(HistIndex *x);
// Make room in the table for n more entries at once.
void histtabreserve(long n);
// Enter words as an event (print -s), with offsets for each word.
void addwordshist(char **words);
// Enter a text as an event, its words split at blanks.
void addhisttext(const char *text);

// ---- history expansion ----

// The next character after history expansion of c, or -1 on error.
int histexpandchar(int c);
// The default event of the current line (the one before it).
extern long defev;
// A bang character that was quoted by a backslash (recorded with it).
extern int qbang;

// ---- the history file ----

enum : int {
    HFILE_APPEND = 1,
    HFILE_SKIPOLD = 2,
    HFILE_SKIPDUPS = 4,
    HFILE_SKIPFOREIGN = 8,
    HFILE_FAST = 16,
    HFILE_NO_REWRITE = 32,
    HFILE_USE_OPTIONS = 0x8000,
};
void readhistfile(const char *fn, int err, int readflags);
void savehistfile(const char *fn, int err, int writeflags);
int lockhistfile(const char *fn, int keep_trying);
void unlockhistfile(const char *fn);
bool histfileIsLocked();
// Forget what is known of the history file (its size, last line, count).
void histfileforget();
// Parse one line of the file format (extended prefix, continuation done):
// the text, start and elapsed times.  Returns the text start.
const char *parsehistline(const char *line, time_t *start, time_t *elapsed);

// Trim or grow the history list to histsiz (HISTSIZE was assigned).
void resizehistents();
