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

// One specification.  A parsed list is arena memory with refc 0 in every
// record; cpcmatcher copies it into one permanent block, whose first
// record counts the references to the whole list (the others hold -1).
// b/e forms (CMF_INTER) use CMF_LEFT/CMF_RIGHT for "at the start"/"at
// the end" and have no anchors; "l:A||B" has CMF_LEFT and a right anchor.
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
    CLF_MISS = 1,      // some match has nothing here
    CLF_DIFF = 2,      // the matches differ here
    CLF_SUF = 4,       // matched by the suffix (the part after the cursor)
    CLF_MID = 8,       // the text between what the prefix and the suffix matched
    CLF_NEW = 16,
    CLF_LINE = 32,     // matched by a line-side form: the line's text is kept
    CLF_JOIN = 64,     // made by join_clines
    CLF_MATCHED = 128, // matched through a specification, not directly
    CLF_SKIP = 256,    // text a "*" skipped up to a right anchor: a common
                       // beginning of it may be typed before the anchor
};

// One piece of a matched string.  The pieces of one match cover the line
// (the quoted word as typed: prefix, then suffix) from left to right,
// each standing for llen bytes of it, and the quoted match, each holding
// wlen bytes of it; a piece with llen 0 is text of the match where
// nothing was typed.  line, word and orig point into strings owned by
// the caller (the line and the string comp_match returned), all metafied
// arena memory of the request.  For a piece where matches differ, word
// and wlen hold the beginning all of them share and orig and olen the
// end they share; min and max are the shortest and longest text of a
// match there.  Otherwise orig is word.  The records come from a free
// list (free_cline gives them back); prefix and suffix are sub-lists for
// callers that group pieces, which the matcher leaves null.
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
// The specification list of a text (metafied), on the arena; null for an
// empty text or one of blanks.
Cmatcher *parse_cmatcher(const char *name, const char *s);
// A list to keep: an arena list is copied to permanent memory, a
// permanent one gains a reference.  Null and pcm_err are returned as is.
Cmatcher *cpcmatcher(Cmatcher *m);
// Drop a reference to a permanent list (freed at zero); arena lists and
// the records inside a permanent list are left alone.
void freecmatcher(Cmatcher *m);

// The specifications in effect for the current compadd call, newest
// first; null when only direct matching applies.
extern Cmlist *mstack;

// Whether the characters of s (metafied) match the elements of p one by
// one (s may go on).  With wp and ws, ws must match wp the same way, and
// where elements of p and wp at the same index are both equivalence
// classes, the two characters must hold the same position in them.
bool pattern_match(Cpattern *p, const char *s, Cpattern *wp, const char *ws);

// How many bytes of the line string l match the start (sfx 0) or the end
// (sfx 1) of the word w under mstack; both quoted and metafied, l taken
// as the whole word.  -1 when l is not consumed entirely (w is no match),
// or when the work allowed for one candidate ran out; with part, the most
// of l any way of matching consumed instead.  *wused (may be null) gets
// the bytes of w used.  Unless test, *clp gets the pieces (left to right)
// of what was matched; the caller frees them with free_cline.
int match_str(const char *l, const char *w, int sfx, int test, int part, Cline **clp, int *wused);

// Match one candidate w (raw text, metafied) against the line prefix pfx
// and suffix sfx (quoted as compqstack says, metafied; the match must
// hold the prefix at its start and the suffix at its end).  With cp,
// pattern matching: raw w must match it as a whole.  qu: 0 quote w with
// the quoting in effect, 1 no quoting, 2 the same as 0 but a leading
// tilde stays unquoted.  Returns w as it is to be inserted (arena), or
// null; *clp (may be null) gets its pieces: those of the prefix, one
// CLF_MID piece, those of the suffix (with cp one piece for the whole
// line); *exact whether w equals prefix plus suffix.
char *comp_match(const char *pfx, const char *sfx, const char *w, Patprog *cp, Cline **clp, int qu,
                 int *exact);

// What o and n have in common, marking where they differ; consumes both
// (either may be null: the other is returned).  Every list joined must
// cover the same line.
Cline *join_clines(Cline *o, Cline *n);
// The unambiguous string of a joined list (arena, quoted, metafied): the
// text all matches share, with the line's own text where they differ.
// *cp the cursor in it, at the first place where matches differ or at
// the end; *pp the positions where matches differ; *ip the positions
// where text the line did not have begins.  Positions count characters
// from 1, lists are "2:5" (arena, empty for none; pp and ip may be null).
// With no list: "", cursor 1.  The list is left as it was.
char *unambig_data(Cline *l, int *cp, char **pp, char **ip);

// A piece from the free list (min and max set to wl).
Cline *get_cline(const char *l, int ll, const char *w, int wl, const char *o, int ol, int fl);
// Give a list (and its sub-lists) back to the free list.
void free_cline(Cline *l);
// A copy of the list; with deep, of the sub-lists too, else the copy has none.
Cline *cp_cline(Cline *l, int deep);
Cline *revert_cline(Cline *p);
// Set min and max of each piece to its word length (with both, in the
// sub-lists too).
void cline_setlens(Cline *l, int both);
// Mark every piece, sub-lists included, as matched.
void cline_matched(Cline *p);
// The bytes of match text the list stands for, sub-lists included.
int cline_sublen(Cline *l);

// The quoting the word is in, innermost first: '\\' none, '\'' single,
// '"' double quotes.  Matching and insertion quote with its first entry;
// null is taken as none.
extern char *compqstack;
