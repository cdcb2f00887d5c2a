// Expansion: the word expansion pipeline, parameter expansion, patterns,
// file-name generation, prompt expansion and quoting for re-input.
#pragma once

#include "core/core.h"

struct Eprog;

struct Patprog;

// Expand one word in place as a single string.
void singsub(char **s);
// Expand the word after =~ into an extended regular expression: what was
// quoted is matched literally.  An arena string, or null after an error.
char *regexsubst(const char *word);
// Expand a prompt template: permanent metafied result; keepmarkers keeps
// the zero-width markers for countprompt.
char *promptexpand(char *s, int keepmarkers, char *rs, char *Rs);
void countprompt(const char *str, int *wp, int *hp, int overflow);
extern int txtattrmask;
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

// ---- modifiers ----
// Apply the :x modifier groups starting at *ptr (on a ':') to *str (arena
// result).  *ptr is left on the first character that is not part of a
// modifier (the caller decides whether it may follow); 0 on an error,
// which has been reported.
int modify(char **str, char **ptr);
// The previous left and right sides of :s, shared with history
// substitution (permanent; & in the right side is TK_MARKER).
extern char *hsubl, *hsubr;
// The closing delimiter of the flag or modifier argument opened at s
// (brackets pair up, any other character closes itself); the terminator
// when there is none.
char *get_strarg(char *s);
enum : int { CASMOD_UPPER = 'U', CASMOD_LOWER = 'L', CASMOD_CAPS = 'C' };
char *casemodify(const char *s, int how);
// The first occurrence of needle in [hay, hayend), or null; for loops over
// long values, where strstr would measure the rest of the value each time.
const char *findstr(const char *hay, const char *hayend, const char *needle);
// Remove one level of quotes; reporterr reports a parse error.
char *unquoteword(const char *s, int reporterr);
// The path modifiers h, t, r and e of s; *failed when the text has no
// component or suffix to act on.
char *pathmodifier(const char *s, int letter, bool *failed);
// Replace hsubl by hsubr in s, once or everywhere (& in hsubr is the left
// side).
char *histsubst(const char *s, bool global);

// ---- patterns: compiled programs and the matcher ----

// A compiled pattern: one contiguous block, this header followed by the
// program words (or, with PC_LITERAL, the pure string).
struct Patprog {
    int32_t progoffset;  // first program node, from the start of the block
    int32_t size;        // bytes in the block
    int32_t mustoffset;  // literal every match contains (0: none)
    int32_t startflags;  // globbing flags in force at the start
    int32_t endflags;    // globbing flags in force at the end
    int32_t flags;       // PC_ flags
    int32_t purelen;     // pure string: its length; else the must string's
    int32_t ngroups;     // capturing parentheses (0..9)
    unsigned char firstchar;  // first byte of every match, 0 = unknown
    unsigned char pad[3];
};
static_assert(sizeof(Patprog) == 36);

enum : int {
    PC_FILENAME = 0x1,        // a path segment: / ends it
    PC_TOPLEVEL_FILE = 0x2,   // ~ excludes against the whole path
    PC_MATCH_ALL = 0x4,       // the caller's cheap *
    PC_FLOATING = 0x8,        // a prefix of the string may match
    PC_NO_DOTS = 0x10,        // wildcards do not match a leading .
    PC_LITERAL = 0x20,        // pure string, no nodes
    PC_IN_PLACE = 0x40,       // return the compiler's own buffer
    PC_SCANNING = 0x80,       // skip the must-contain pre-test
    PC_PERMANENT = 0x100,     // permanent copy, freed with freepatprog
    PC_NOT_AT_START = 0x200,  // start of string is not a real start
    PC_NOT_AT_END = 0x400,    // end of string is not a real end
    PC_TAIL = 0x800,          // a segment `*` + literal: only the string's tail is compared
};

// Globbing flags: the low byte is the number of errors allowed.
enum : int {
    GFL_APPROX = 0xff,
    GFL_LOWER_MATCHES_UPPER = 0x100,
    GFL_IGNORE_CASE = 0x200,
    GFL_BACKREFS = 0x400,
    GFL_MATCH_REF = 0x800,
};

// Program nodes: the opcode in the low byte of a node word, the distance
// in words to the next node above it.
enum : int {
    OP_END = 0x00,
    OP_EXCSYNC = 0x01,
    OP_EXCEND = 0x02,
    OP_BACK = 0x03,
    OP_EXACTLY = 0x04,
    OP_NOTHING = 0x05,
    OP_ONEHASH = 0x06,
    OP_TWOHASH = 0x07,
    OP_GFLAGS = 0x08,
    OP_ISSTART = 0x09,
    OP_ISEND = 0x0a,
    OP_BRANCH = 0x20,
    OP_WBRANCH = 0x21,
    OP_EXCLUDE = 0x30,
    OP_EXCLUDEPATH = 0x31,
    OP_ANY = 0x40,
    OP_ANYOF = 0x41,
    OP_ANYBUT = 0x42,
    OP_STAR = 0x43,
    OP_NUMRANGE = 0x44,
    OP_NUMFROM = 0x45,
    OP_NUMTO = 0x46,
    OP_NUMANY = 0x47,
    OP_OPEN = 0x80,
    OP_CLOSE = 0x90,
};

constexpr int NSUBEXP = 9;

// Layout details shared by the compiler and the matcher.  Range strings
// use code bytes for classes and ranges; the last word of a program block
// holds the number of matcher registers.
constexpr int PAT_HDRWORDS = int(sizeof(Patprog) / 4);
constexpr uint32_t PAT_NOSLOT = 0xffffffffu;
constexpr uint32_t PAT_LOOPMEMO = 0x40000000u;  // in a loop's slot word: failures may be remembered
enum : unsigned char { PAT_CLASS_FIRST = 0x84, PAT_CLASS_UNKNOWN = 0x91, PAT_RANGE = 0x92 };
int patnodewords(const uint32_t *prog, int node);  // capture groups that record text

// Null when the text is not a valid pattern.  endp receives where
// compilation stopped (after one path segment for file patterns).
[[nodiscard]] Patprog *patcompile(char *text, int flags, char **endp);
// Forget the globbing flags carried between segments of a file pattern.
void patcompstart();
// Parse one (#...) group at *cursor; 1 and *cursor moved past it when valid.
// assertion receives OP_ISSTART/OP_ISEND for (#s)/(#e), ignored is set for
// a qualifier group (#q...).
int patgetglobflags(char **cursor, int *assertion, int *ignored);
void freepatprog(Patprog *prog);
// The whole string matches (or a prefix with PC_FLOATING).
int pattry(Patprog *prog, const char *string);
// As pattry on the first len bytes (len -1: all of them); offset is the
// character offset of string within the value it came from.
int pattrylen(Patprog *prog, const char *string, int len, int offset);
// As pattrylen; with begins/ends the capture offsets (first and last
// character, plus patoffset; -1 when a group took no part) are stored
// there and *ngroups set, and the match/mbegin/mend hook is not called.
int pattryrefs(Patprog *prog, const char *string, int len, int *ngroups, int *begins, int *ends);
// With PC_FLOATING: the end of the longest or shortest matching prefix
// (PB_SHORTEST_NONEMPTY prefers a non-empty one); *matchlen its bytes.
enum : int { PB_LONGEST = 1, PB_SHORTEST_NONEMPTY = 2, PB_SHORTEST = 3 };
int pattrybest(Patprog *prog, const char *string, int len, int offset, int mode, int *matchlen);
// Reset the approximate-matching counters before a series of tries.
void pattrystart();

// Steps left for a series of tries that must be bounded as a whole (the
// operators of parameter expansion); -1 when only each try is bounded.
// Running out reports "pattern too complex to match".
extern long patstepbudget;
extern const char *patinput;  // after a match: where it ended
extern int patoffset;         // added to reported character offsets
extern int errsfound;         // errors the last approximate match used
extern int forceerrs;         // -1, or exactly this many errors required
// The path the globber has assembled before the segment being matched,
// for a ~ exclusion against the whole path; null when none.
extern const char *patglobpath;

// The compiled pattern of wordcode slot `slot` (text tokenized, constant
// for the slot), compiled on first use; null for a bad pattern.
Patprog *slotpatprog(Eprog *prog, int slot, char *text, int flags);

// Hooks the parameter layer connects: MATCH/MBEGIN/MEND after a match with
// (#m), and the arrays match/mbegin/mend after one with capture groups.
// Values are arena strings.
extern void (*patsetmatchptr)(char *match, long mbegin, long mend);
extern void (*patsetcapturesptr)(char **match, char **mbegin, char **mend);

// ---- pattern operators of parameter expansion ----
enum : int {
    MF_AT_END = 1,
    MF_LONGEST = 2,
    MF_ANYWHERE = 4,
    MF_GIVE_MATCH = 8,
    MF_GIVE_REST = 16,
    MF_GIVE_BEGIN = 32,
    MF_GIVE_END = 64,
    MF_GIVE_LENGTH = 128,
    MF_WHOLE = 256,
    MF_EVERY = 512,
};

// Apply pattern operator `fl` to *sp (arena result); n is the match number
// for the I flag.  1 when the pattern matched.
int getmatch(char **sp, char *pattern, int fl, int n, char *replacement);
// The same for each element; :# drops elements that come out empty.
int getmatcharr(char ***ap, char *pattern, int fl, int n, char *replacement);
// Expands a replacement text once the expansion pipeline is connected;
// while null the replacement is used literally.
extern void (*getmatchsubstptr)(char **s);
// Whether s holds unquoted pattern characters.
int haswilds(char *s);

// ---- the expansion pipeline ----
enum : int { EXP_TYPESET = 1, EXP_ASSIGN = 2, EXP_SINGLE = 4 };
// The empty-argument marker: a word that survives although empty.
extern char nulstring[];
extern int substmadearray;
void prefork(LinkList *list, int flags);
// Expand the $ at cursor in the node's word; the node may be replaced by
// several, n is left on the one holding the rest of the word and cursor
// after the expansion.  False on an error.
bool paramsubst(LinkList *l, LinkNode *&n, char *&cursor, bool quoted, bool single);
// Expand a nested word: several words that came from an array give an
// array (*isarr = SCAN_MATCHMANY), otherwise they are joined into *s.
void multisubst(char **s, char ***arr, int *isarr);
void globlist(LinkList *list, int nountok);
// Expand the word in node into the names it matches, in place; with
// nountok a word that is not replaced stays tokenized.
void qglob(LinkList *list, LinkNode *node, int nountok);
// Bit 1: a word of the current command failed to match; bit 2: one matched.
extern int badcshglob;
void filesub(char **namptr, int assign);
LinkList *getoutput(char *cmd, int quoted);
LinkList *readoutput(int in, int quoted);
LinkList *spacesplit(const char *s, int allownull, int heap, int quote);
char *sepjoin(char **arr, const char *sep, int heap);
char *getproc(char *word);
int getprocfd(char *word, int out);
char *getoutputfile(char *word);
char *getnameddir(const char *name);
char *mathsubst_value(char *expr);
int hasbraces(char *str);
void xpandbraces(LinkList *list, LinkNode **np);
// A temporary file name under TMPPREFIX (arena with use_heap).
char *gettempname(const char *prefix, int use_heap);

// ---- filename generation: qualifiers ----

// The list-type character of a file mode (directory "/", executable "*",
// other regular file " ", link "@", pipe "|", socket "=", devices "#" and
// "%", anything else "?").
char file_type(unsigned mode);

// A file the scanner found, with its status fetched on first use; dirfd
// is the directory it was read from and uname its name there.
struct GlobFile {
    int dirfd;
    const char *uname;
    char *path;  // metafied, as it will be shown
    struct stat *lst, *st;
    signed char lstate, state;  // 0 not fetched, 1 fetched, -1 failed
};
const struct stat *globlstat(GlobFile *f);
// Follows a symbolic link; a dangling link gives its own status.
const struct stat *globstat(GlobFile *f);

struct GlobQual;
struct GlobAlt;
// A ,-separated list of alternatives; every (#q...) group is one, and all
// groups must pass.
struct GlobGroup {
    GlobGroup *next;
    GlobAlt *alts;
};

// Sort keys; shifted left by GS_SHIFT they refer to a link's target.
enum : int {
    GS_NAME = 1,
    GS_DEPTH = 2,
    GS_SIZE = 4,
    GS_ATIME = 8,
    GS_MTIME = 16,
    GS_CTIME = 32,
    GS_LINKS = 64,
    GS_SHIFT = 5,
    GS_DESC = 0x1000,
};
constexpr int GS_MAXKEYS = 12;

// Per-expansion settings: the options' defaults, changed by qualifiers.
struct GlobSettings {
    GlobGroup *groups;
    bool nullglob, markdirs, listtypes, follow, dots, numsort, hascode;
    int nkeys;
    int keys[GS_MAXKEYS];
    bool range;
    long first, last;
    char *colonmods;  // ":..." applied to each name, or null
};
void globdefaults(GlobSettings *gs);
// Parse one qualifier group's text (untokenized) into gs; false after an
// error has been reported.
[[nodiscard]] bool parsequals(char *s, GlobSettings *gs);
// Whether f passes the qualifiers; code qualifiers may put the names that
// replace it into *names (an arena array).
[[nodiscard]] bool qualsmatch(GlobSettings *gs, GlobFile *f, char ***names);
