// Completion: collecting matches for the word the editor found (compadd,
// compset and the special parameters), the match specifications and the
// matcher, inserting the result and listing the matches, menu selection
// and coloured lists.  Only completion's own files and the editor include
// this header; the core reaches completion through the editor's hooks.
#pragma once

#include "core/core.h"
#include "expand/expand.h"

// ---- match specifications and the matcher (matcher.cpp) ----

// One element of a pattern in a specification.  For a character or a
// class, tab[c] is 1 for each member; for "?" every entry is 1.  For an
// equivalence class "{...}" tab[c] is the member's position counting
// from 1 and equiv is set: two classes correspond position by position.
struct Cpattern {
    Cpattern *next;
    unsigned char tab[256];
    int equiv;
};

enum : int {
    CMF_LINE = 1,   // upper-case forms: the line may hold what the match lacks
    CMF_LEFT = 2,   // left anchor
    CMF_RIGHT = 4,  // right anchor
    CMF_INTER = 8,  // b/e forms: interior match at the word's start or end
};

// One specification; lists are shared by reference count.
struct Cmatcher {
    int refc;
    Cmatcher *next;
    int flags;
    Cpattern *line;
    int llen;
    Cpattern *word;
    int wlen;  // -1 for "*", -2 for "**"
    Cpattern *left;
    int lalen;
    Cpattern *right;
    int ralen;
};

// A stack of specification lists in effect: each list is tried in turn.
struct Cmlist {
    Cmlist *next;
    Cmatcher *matcher;
    char *str;  // the text it was parsed from
};

enum : int {
    CLF_MISS = 1,
    CLF_DIFF = 2,
    CLF_SUF = 4,
    CLF_MID = 8,
    CLF_NEW = 16,
    CLF_LINE = 32,
    CLF_JOIN = 64,
    CLF_MATCHED = 128,
    CLF_SKIP = 256,
};

// One piece of a matched string: what the line had there, what the match
// had there, and (for the first and last pieces) the sub-lists of the
// prefix and suffix.
struct Cline {
    Cline *next;
    int flags;
    char *line;
    int llen;
    char *word;
    int wlen;
    char *orig;
    int olen;
    int slen;
    Cline *prefix, *suffix;
    int min, max;
};

// Returned by parse_cmatcher when the text does not parse (the warning
// has been printed with the command name).
extern Cmatcher *const pcm_err;
// The specification list of a text; null for an empty text.
Cmatcher *parse_cmatcher(const char *name, const char *s);
Cmatcher *cpcmatcher(Cmatcher *m);
void freecmatcher(Cmatcher *m);

// The specifications in effect for the current compadd call, newest
// first; null when only direct matching applies.
extern Cmlist *mstack;

// Whether s matches the pattern element by element; with ws, an
// equivalence element requires ws's character at the same position of
// its class.
bool pattern_match(Cpattern *p, const char *s, const char *ws);

// How many bytes of the line string l match the start (sfx 0) or the end
// (sfx 1) of the word w under mstack; -1 when l is not consumed entirely
// (w is no match).  Unless test, the pieces built are left in *clp.
int match_str(const char *l, const char *w, int sfx, int test, Cline **clp);

// Match one candidate w (raw text) against the quoted line prefix pfx
// and suffix sfx.  With cp, pattern matching: w must match it as a whole.
// qu: 0 quote w with the quoting in effect (compqstack), 1 no quoting,
// 2 tilde form.  Returns w as it is to be inserted, or null; *clp gets
// its pieces and *exact whether w equals prefix plus suffix.
char *comp_match(const char *pfx, const char *sfx, const char *w, Patprog *cp, Cline **clp, int qu,
                 int *exact);

// What o and n have in common, marking where they differ; consumes both.
Cline *join_clines(Cline *o, Cline *n);
// The unambiguous string of a joined list; *cp the cursor in it counting
// from 1, *pp the positions where matches differ and *ip where text would
// be inserted (both as "1:3:..." lists, either may be null).
char *unambig_data(Cline *l, int *cp, char **pp, char **ip);

Cline *get_cline(char *l, int ll, char *w, int wl, char *o, int ol, int fl);
void free_cline(Cline *l);
Cline *cp_cline(Cline *l, int deep);
Cline *revert_cline(Cline *p);
void cline_setlens(Cline *l, int both);
void cline_matched(Cline *p);
int cline_sublen(Cline *l);

// The quoting the word is in, innermost first: '\\' none, '\'' single,
// '"' double quotes.  Matching and insertion quote with its first entry.
extern char *compqstack;
