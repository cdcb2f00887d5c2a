// Completion: collecting matches for the word the editor found (compadd,
// compset and the special parameters), the matchers (-M rules) and the
// matching under them, inserting the result and listing the matches, menu selection
// and coloured lists.  Only completion's own files and the editor include
// this header; the core reaches completion through the editor's hooks.
#pragma once

#include "core/core.h"
#include "expand/expand.h"
#include "ked/ked.h"

#include <sys/types.h>

#include <string>
#include <vector>

// ---- the request's own arena ----

// What compadd builds lives until the request ends, but a completion
// function runs on a heap of its own that goes when it returns: compadd
// allocates on this separate chain, which the request frees at its end.
extern Heap *matchheaps;

// Makes the match chain current for the length of a compadd.
struct [[nodiscard]] MatchHeapUse {
    Heap *saved;
    MatchHeapUse() : saved(switch_heaps(matchheaps)) {}
    ~MatchHeapUse() { matchheaps = switch_heaps(saved); }
    MatchHeapUse(const MatchHeapUse &) = delete;
    MatchHeapUse &operator=(const MatchHeapUse &) = delete;
};

// Gives a request a fresh match chain and frees it when the request ends;
// a request inside another keeps the outer one's chain apart.
struct [[nodiscard]] MatchHeapScope {
    Heap *outer;
    MatchHeapScope() : outer(matchheaps) { matchheaps = nullptr; }
    ~MatchHeapScope()
    {
        Heap *cur = switch_heaps(matchheaps);
        old_heaps(cur);
        matchheaps = outer;
    }
    MatchHeapScope(const MatchHeapScope &) = delete;
    MatchHeapScope &operator=(const MatchHeapScope &) = delete;
};

// ---- matchers and matching under them (matcher.cpp) ----

// One element of a pattern in a matcher rule.  For a character or a
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

// One matcher rule (m:, r:, l:, b:, e: and their upper-case forms).  A
// parsed list is arena memory with refc 0 in every record; cpcmatcher
// copies it into one permanent block, whose first record counts the
// references to the whole list (the others hold -1).
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

// A stack of matcher lists in effect: each list is tried in turn.
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
    CLF_MATCHED = 128, // matched through a matcher rule, not directly
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
// The list of matcher rules in a text (metafied), on the arena; null for an
// empty text or one of blanks.
Cmatcher *parse_cmatcher(const char *name, const char *s);
// A list to keep: an arena list is copied to permanent memory, a
// permanent one gains a reference.  Null and pcm_err are returned as is.
Cmatcher *cpcmatcher(Cmatcher *m);
// Drop a reference to a permanent list (freed at zero); arena lists and
// the records inside a permanent list are left alone.
void freecmatcher(Cmatcher *m);

// The matcher rules in effect for the current compadd call, newest
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

// ---- matches and groups (compcore.cpp, compadd.cpp) ----

enum : int {
    MF_FILE = 1,        // a file name (-f)
    MF_REMOVE = 2,      // the suffix goes again automatically
    MF_ISPAR = 4,       // a parameter name (-e)
    MF_PARBR = 8,       // ... in braces
    MF_PARNEST = 16,    // ... nested
    MF_NOLIST = 32,     // not listed (-n)
    MF_DISPLINE = 64,   // its display string on a line of its own (-l)
    MF_HIDE = 128,      // hidden
    MF_NOSPACE = 256,   // no space after it
    MF_PACKED = 512,
    MF_ROWS = 1024,
    MF_MULT = 2048,     // same text as an earlier match: shown once
    MF_FMULT = 4096,    // the first of such a run
    MF_ALL = 8192,      // stands for all matches ("<all>")
    MF_DUMMY = 16384,   // an empty match
};

struct Cmatch {
    char *str;    // the match, quoted for insertion
    char *orig;   // as the caller gave it
    char *ipre;   // ignored prefix to put back (quoted)
    char *ripre;  // the same unquoted
    char *isuf;
    char *ppre, *psuf;  // path prefix and suffix
    char *prpre;        // path prefix used to test the file
    char *pre, *suf;    // -P and -S
    char *disp;         // display string
    char *autoq;        // quote to close after it
    int flags;
    char *rems, *remf;  // characters and function that remove the suffix
    int qipl, qisl;
    int rnum, gnum;  // number within the group and in the whole list, from 1
    mode_t mode, fmode;
    char modec, fmodec;
};

enum : int {
    GF_NOSORT = 1,
    GF_LINES = 2,
    GF_HASDL = 4,
    GF_UNIQCON = 8,
    GF_UNIQALL = 16,
    GF_PACKED = 32,
    GF_ROWS = 64,
};

struct Cexpl {
    int always;
    char *str;
    int count, fcount;
};

struct Cmgroup {
    char *name;
    Cmgroup *prev, *next;
    int flags;
    int mcount;
    Cmatch **matches;
    int lcount;   // matches to list
    int llcount;  // listed one per line
    char **ylist;  // strings listed instead of matches
    int ecount;
    Cexpl **expls;
    LinkList *lexpls, *lmatches, *lfmatches;
    int num;
    int isnew;
    // Filled in by the lister.
    int dcount, cols, lins, width;
    int *widths;
    int totl, shortest;
};

// What the matches of one kind have in common so far.
struct Aminfo {
    Cmatch *firstm;
    int exact;
    Cmatch *exactm;
    int count;
    Cline *line;
};

extern Cmgroup *amatches, *pmatches, *lastpmatches, *mgroup;
extern int nmatches, smatches, diffmatches, nmessages, hasallmatch, permmnum, permgnum, validlist, hasoldlist,
    lastpermmnum, lastpermgnum;
extern Aminfo *ainfo, *fainfo;
extern Cmatch **amatchlist;  // all permanent matches in order
// What the completion function left in compstate, and the values the
// special parameters mirror.
extern char *compprefix, *compsuffix, *compiprefix, *compisuffix, *compqiprefix, *compqisuffix;
extern int64_t compcurrent;
extern char **compwords, **compredirs;
extern char *compcontext, *compparameter, *compredirect, *compquote, *compquoting, *comprestore, *complist,
    *compinsert, *compexact, *compexactstr, *comppatmatch, *comppatinsert, *complastprompt, *comptoend,
    *compoldlist, *compoldins, *compvared;
extern int64_t complistmax;
extern int useline, useexact, uselist, forcelist, onlyexpl, startauto, movetoend, insspace, menuwasactive;
extern int complistlines, compignored;
// "insert" named a match: its number (negative from the end), 0 none.
extern int menuselected;
// The unambiguous data of the list, computed when asked for.
char *unambig_string(int *cp, char **pp, char **ip);

// compadd's options, as addmatches takes them.
struct Cadata {
    char *ipre, *isuf, *ppre, *psuf, *prpre, *pre, *suf;
    char *group, *rems, *remf, *ign, *exp, *apar, *opar, *dpar, *disp, *mesg;
    char *dummies_s;
    int flags;     // MF_ bits
    int aflags;    // CAF_ bits
    int dummies;
    Cmatcher *match;
};
enum : int {
    CAF_QUOTE = 1,    // -Q: do not quote
    CAF_NOSORT = 2,   // -V
    CAF_MATCH = 4,    // match the words (off with -U)
    CAF_UNIQCON = 8,  // -1
    CAF_UNIQALL = 16, // -2
    CAF_ARRAYS = 32,  // -a
    CAF_KEYS = 64,    // -k
    CAF_ALL = 128,    // -C
};
// Add words (metafied, raw) as matches; 0 when at least one was added.
int addmatches(Cadata *dat, char **argv);
void begcmgroup(const char *name, int flags);
void endcmgroup(char **ylist);
void addexpl(int always);
void permmatches(int last);
void freematches(Cmgroup *g);
// Is a completion function running (compadd and compset may be used)?
extern int incompfunc_level;
int bin_compadd(char *nam, char **args, BuiltinOptions *ops, int func);
int bin_compset(char *nam, char **args, BuiltinOptions *ops, int func);
int cond_psfix(char **a, int id);
int cond_range(char **a, int id);
// The quoting of the word the special parameters describe, undone.
char *comp_unquote(const char *s);
// s quoted for the line with the quoting of the word.
char *comp_quote(const char *s, int ign);
// Set the compstate "nmatches" and friends after matches were added.

// ---- inserting and listing (compresult.cpp) ----

struct Menuinfo {
    Cmgroup *group;
    int cur;     // index in group->matches, -1 none
    int pos, len, end, we, insc, asked;
    int valid;
};
extern Menuinfo minfo;
extern int lastend;  // whether the last insertion left the cursor at the end of the unambiguous part

int do_ambiguous();
void do_single(Cmatch *m);
void do_allmatches(int end);
void do_menucmp(int lst);
int reverse_menu();
void accept_last();
void do_ambig_menu();
int calclist(int showall);
int asklist();
void printlist(int over, int showall);
int ilistmatches();
void invalidate_list();
int listentrycount();  // of the summary calclist made
int listlinecount();
int list_lines();
void comp_list(const char *v);
int listlist_impl(LinkList *l);
// The match at a position of the whole list, counting from 0.
Cmatch *matchat(int n, Cmgroup **gp);

// ---- the list as calclist laid it out, for the printers ----

// Text as the terminal shows it, and the columns it takes.
struct Shown {
    std::string text;
    int width;
};
// Each character of a metafied string made printable (escapes, control
// bytes, invalid bytes and newlines never go out raw); and all of them.
void shownchars(const char *ms, std::vector<Shown> &out);
Shown shownstr(const char *ms);

// Values for the escapes of LISTPROMPT and MENUPROMPT.
struct PromptData {
    int lshown, ltotal;  // lines shown so far, of the list
    int mnum, mtotal;    // the match reached, of the matches
    int pos;             // percent, -1 top, -2 bottom
};
// Print an explanation or a prompt: %B/%b, %S/%s, %U/%u turn attributes
// on and off (what is still on is asserted again after each off), %n is
// count, %{...%} is sent as it is and takes no room; pd (may be null)
// gives the prompt escapes.  The columns it takes.
int putformat(const char *fmt, int count, const PromptData *pd);
extern bool measuring;  // putformat only counts
// The string a match is listed by (display string or name), and its
// printable form with the file-type mark.
const char *matchtext(Cmatch *m);
Shown matchshown(Cmatch *m);
struct ListEntry {
    Shown s;
    Cmatch *m;  // null for strings listed instead of matches
};
struct GroupLayout {
    Cmgroup *g = nullptr;
    std::vector<ListEntry> entries;   // listed in columns
    std::vector<ListEntry> linestrs;  // listed one per line
    std::vector<Cexpl *> expls;
    std::vector<int> widths;          // packed column widths
    int cols = 1, rows = 0, width = 0;
    bool rowsfirst = false;
};
extern std::vector<GroupLayout> listlayout;
int listcolumns();
int listlines();
// Whether the prompt is drawn again above the list (clearflag).
bool listclearflag();
// The question before a long list; 0 show it, 1 refused.
int listask(int entries, int nlines, bool forstrings);
// After printing: back up to the prompt when the list leaves room.
void listafter(int printed);

// Hook functions the module installs.
int list_matches_hook(Hookdef *, void *);
int invalidate_list_hook(Hookdef *, void *);
int reverse_menu_hook(Hookdef *, void *);
int accept_completion_hook(Hookdef *, void *);
// The hooks the module defines.
extern Hookdef comphooks[];
int ilistmatches_hookdef(Hookdef *, void *);
enum : int { INSERTMATCHHOOK, MENUSTARTHOOK, COMPCTLMAKEHOOK, COMPCTLCLEANUPHOOK, COMPLISTMATCHESHOOK };
inline int runcomphook(int h, void *d) { return runhookdef(&comphooks[h], d); }

// ---- the defaults without a completion function (compctl.cpp) ----
int compctl_make_hook(Hookdef *, void *);
