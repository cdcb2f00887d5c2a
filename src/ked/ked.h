// The line editor ked: the edit buffer and its state, keymaps, widgets and
// thingies, the display.  Only the editor's own files (and completion's)
// include this header; the core reaches the editor through the hook
// pointers the module installs when it boots.
#pragma once

#include "core/core.h"
#include "history/history.h"
#include "modules/module.h"
#include "params/params.h"

#include <cstdint>

struct Thingy;
struct Keymap;

// ---- widgets and thingies (thingy.cpp) ----

using KedFunc = int (*)(char **args);

enum : int {
    W_INTERNAL = 1,
    W_COMPLETION = 2,
    W_MENU_KEEP = 4,
    W_YANK = 8,
    W_LINE_MOTION = 16,
    W_KEEP_COLUMN = 32,
    W_KILL = 64,
    W_KEEP_SUFFIX = 128,
    W_NOT_COMMAND = 256,
    W_COMPLETION_MODEL = 512,
};
// Thingy flags, in the hash node's flags.
enum : int { TH_DISABLED = 1, TH_IMMORTAL = 2 };

struct Widget {
    int flags;
    Thingy *first;    // one of the names, in a circular list
    KedFunc fn;       // internal widgets; a completion widget's behaviour
    char *fnnam;      // user widgets: the shell function; completion: it too
    char *compmodel;  // completion widgets: the widget modelled on
};

struct Thingy : HashNode {
    int rc;
    Widget *widget;     // null when disabled
    Thingy *samew;      // next name of the same widget (circular)
};

#define W(id, name, fn, flags) int fn(char **args);
#include "ked/widgets.inc"
#undef W
int pendingwidget(char **args);

enum BuiltinWidget : int {
#define W(id, name, fn, flags) id,
#include "ked/widgets.inc"
#undef W
    WIDGET_COUNT
};

extern HashTable *thingytab;
// The built-in thingies: the plain names, then the immortal "." names.
Thingy *builtinthingy(int index);
void init_thingies();
void free_thingies();
Thingy *refthingy(Thingy *t);
void unrefthingy(Thingy *t);
// A referenced thingy of that name, made (disabled) when there is none.
Thingy *rthingy(const char *name);
// The thingy of that name if it exists (disabled ones too), unreferenced.
Thingy *findthingy(const char *name);
Widget *addkedfunction(const char *name, KedFunc fn, int flags);
void deletekedfunction(Widget *w);
int bin_ked(char *nam, char **args, BuiltinOptions *ops, int func);

// ---- the buffer and the command loop (kedmain.cpp) ----

// The edit buffer, unmetafied while editing.
extern unsigned char *line;
extern int linesz, tarnll, tarncs, mark, done, insmode, eofchar;
// The last key byte read by the key-sequence reader.
extern int lastchar;
extern Thingy *bindk, *lbindk;
extern int lastcmd, kedreadflags, kedactive, resetneeded, prefixflag;
extern int histline, undoing, lastcol, stackcs, stackhist;
extern char *varedarg;
extern char *statusline;
extern int statusll;
extern int eof_seen;
extern int kedhasterm;  // the editor's terminal stream is open

// The numeric argument and vi buffer state.
enum : int { MOD_MULT = 1, MOD_TMULT = 2, MOD_VIBUF = 4, MOD_VIAPP = 8, MOD_NEG = 16 };
struct Modifier {
    int flags;
    int count;
    int pending_count;
    int cut_buffer_index;
};
extern Modifier qmod;
inline void resetmodifier() { qmod = Modifier{0, 1, 1, 0}; }
// Numeric arguments are clamped here: a repeated widget must never be
// asked to run without bound.
constexpr int MAX_COUNT = 1000000;

// Run one widget; 0 success, non-zero beeps.
int execkedfunc(Thingy *func, char **args);
void kedcore();
int getfullchar(int dotimeout);
int getkey(int dotimeout);
void ungetkey(int c);
void ungetkeys(const char *s, int len);
extern int kungetct;
void qsetterm();
// Bytes waiting to be read from the terminal.
int pendingbytes();
void trashked();
void showmsg(const char *msg);
void handlefeep();
// Text of a status message in printable form.
char *printablestr(const char *s, int len);
// The key sequences that watched descriptors and the timeout use.
extern int key_timeout;
void watchfd_add(int fd, const char *func);
int watchfd_remove(int fd);
void watchfd_list(const char *cmd, int fd);
int watchfd_count();
bool watchfd_has(int fd);

// ---- keymaps (keymap.cpp) ----

struct KeyEntry : HashNode {
    Thingy *bind;  // null for a send-string binding
    char *str;     // the string to send, metafied
    int prefixct;
};

struct Keymap {
    Thingy *first[256];
    HashTable *multi;
    int flags;  // KM_IMMUTABLE
    int rc;
    // Holders that are not names (the selected keymap, a nested reader).
    int holders;
};
enum : int { KM_IMMUTABLE = 2 };

extern HashTable *keymapnamtab;
extern Keymap *curkeymap, *localkeymap;
extern char *curkeymapname;
extern char *keybuf;
extern int keyseq_length;
extern Thingy *last_named_command;

void init_keymaps();
void free_keymaps();
// A copy of a keymap, or (from null) one with every key undefined; no
// name refers to it yet.
Keymap *newkeymap(Keymap *from);
Keymap *openkeymap(const char *name);
int linkkeymap(Keymap *km, const char *name, int protect);
int unlinkkeymap(const char *name, int ignore);
int selectkeymap(const char *name, int fallback);
void selectlocalmap(Keymap *km);
void reselectkeymap();
int bindkey(Keymap *km, const char *seq, Thingy *bind, const char *str);
Thingy *keybind(Keymap *km, const char *seq, char **strp);
char *getkeymapcmd(Keymap *km, Thingy **funcp, char **strp);
Thingy *getkeycmd();
void ungetkeycmd();
void kedsetkeymap(const char *mode);
// Every binding of a keymap; sorted gives the listing order.
using KeyScanFunc = void (*)(const char *seq, Thingy *bind, const char *str, void *data);
void scankeymap(Keymap *km, int sorted, KeyScanFunc fn, void *data);
// The printable key notation of a metafied sequence.
char *keyprintable(const char *seq);
int bin_bindkey(char *nam, char **args, BuiltinOptions *ops, int func);

// ---- the display (refresh.cpp) ----

extern int nlnct, showinglist, listshown, clearlist, clearflag, lastlistlen, trashedked, winchanged;
extern int cost;
extern char *lpromptbuf, *rpromptbuf;
// Text shown before and after the buffer (unmetafied, with lengths).
extern char *predisplay, *postdisplay;
extern int predisplaylen, postdisplaylen;
void qrefresh();
void resetvideo();
void freevideo();
void moveto(int ln, int col);
int tcout(int cap);
int tcmultout(int single, int multi, int count);
// Write bytes to the terminal, counting them; the cursor is then unknown
// to the display until the next full redraw unless the caller knows.
void kedputs(const char *s, int len);
void kedflush();
// Where the display ends (the line below the text), for output below it.
void movetobelow();
// The screen column of byte offset pos of the buffer on its line.
int bufcolumn(int pos);

// ---- characters (kedutil.cpp) ----

// Multibyte characters under a UTF-8 (or other multibyte) locale.
extern int kedmultibyte;
void kedsetlocale();
// The offset of the next character after pos, and of the one before pos.
int nextcharpos(int pos);
int prevcharpos(int pos);
// The character at pos: its code (a byte when not multibyte or invalid)
// and its length in bytes.
uint32_t charat(int pos, int *lenp);
// Is the character at pos a word character?
bool iswordat(int pos);
// Columns a character takes on the screen.
int charwidth(uint32_t ch, bool valid);

// ---- editing helpers (kedutil.cpp) ----

void sizeline(int sz);
void spaceinline(int ct);
void shiftchars(int to, int cnt);
// Note bytes changed in place, from start to end.
void markchanged(int start, int end);
void foredel(int ct);
void backdel(int ct);
void forekill(int ct, int dir);
void backkill(int ct, int dir);
void cut(int i, int ct, int dir);
void cuttext(const unsigned char *s, int len, int dir);
void setline(const char *s);
void setlinebytes(const unsigned char *s, int len);
int findbol();
int findeol();
int findline(int *a, int *b);
// The number of the line the cursor is on (0 first).
int kedgetquery(const char *valid, int yesno);
Thingy *executenamedcommand(const char *prompt);
// A copy of the line, metafied, in the arena.
char *metafiedline();

struct Cutbuffer {
    char *buf;
    int len;
    int flags;  // CUTBUFFER_LINE
};
enum : int { CUTBUFFER_LINE = 1 };
extern Cutbuffer cutbuf;
extern Cutbuffer *kring;
extern int kringsize, kringnum;
extern Cutbuffer vibuf[36];
void freecutbuffers();
// The ring as the killring parameter sees it, and a new one from it.
char **killringarray();
void setkillring(char **a);

// Undo.
void initundo();
void freeundo();
void handleundo();
void setlastline();
void mkundoent();
// The suffix that completion may add and remove.
void makesuffix(int n);
void makeparamsuffix(int br, int n);
void makesuffixstr(char *f, char *s, int n);
void iremovesuffix(int c, int keep);
void fixsuffix();
extern int suffixlen[257];

// Moving through the history (histwidgets.cpp).
int ked_goto_hist(long num, long offset, int skipdups);
void remember_edits();
void forget_edits();
void ked_setline(const char *s);
extern HistEntry *histent_for(long num);

// The editor's special parameters (kedparams.cpp).
void makekedparams(int ro);

// Whole characters of the buffer, and the count loop.
inline int countsign() { return qmod.count < 0 ? -1 : 1; }
// A widget that runs the opposite widget for a negative count.
int runopposite(KedFunc f, char **args);

// ---- completion entry: the word and its context (compword.cpp) ----

// The word being completed: its start and end in the buffer (byte offsets
// of the unmetafied line) and the cursor's offset within it.
extern int wb, we, offs;
extern int lincmd, linredir, linarr, inwhat, insubscr, instring, inbackt, addedx;
enum : int { IN_NOTHING, IN_CMD, IN_MATH, IN_COND, IN_ENV, IN_PAR };
// Metafied arena strings, null when not set.
extern char *varname, *qipre, *qisuf, *autoq;
// The words of the current command (metafied, untokenized), their number
// and the index of the current word (-1 when none).
extern char **clwords;
extern int clwnum, clwpos;
extern char *cmdstr, *rdstr;
extern LinkList *rdstrs;
// The line and cursor before completion began (metafied line).
extern char *origline;
extern int origcs, origll;
// Where a brace expansion piece starts in the word (-1 when none): the
// word completed is the part after it.
extern int brpiecebeg;
// Modes of the current request and of the previous one.
extern int usemenu, useglob, wouldinstab, lastambig, bashlistfirst, menucmp, menuacc;
extern int compfunc_running;
extern Widget *compwidget;
extern char *compfunc;
extern char **cfargs;
extern int cfret, comprecursive, incompfunc, fromcomp;
// The request types passed through the hooks.
enum : int { COMP_COMPLETE, COMP_LIST_COMPLETE, COMP_SPELL, COMP_EXPAND, COMP_EXPAND_COMPLETE, COMP_LIST_EXPAND };
// Data of the "complete" hook.
struct CompldatA {
    char *s;
    int incmd;
    int lst;
};
// Find the word at the cursor and its context; null when there is none.
// prefix: the word ends at the cursor (expand-or-complete-prefix).
char *extract_word(int prefix);
// The offset of the $ expression in s that holds offset offs, or -1.
int parambeg(const char *s, int offs);
// The command word before the cursor for which-command and run-help:
// its start and end in the buffer; false when there is none.
bool extract_command(int *startp, int *endp);
// Insert a metafied string at the cursor (len -1: all of it), moving
// the cursor behind it when move is set; the bytes inserted.
int inststrlen(const char *s, int move, int len);
// The completion widgets' shared entry.
int docomplete(int type);
// A completion widget made with ked -C: its function runs through its model.
int completecall(char **args);
// Show a list of plain strings (metafied) below the line; 1 when the user
// refused to see it.
int listlist(LinkList *l);
// Set once the completion module answers the listing hooks.
extern int (*listlistptr)(LinkList *l);
// Quote s for insertion in the quoting of the word (instring).
char *quoteforword(const char *s);
// Last list on the screen that end-of-list may leave there.
extern int lastlistlines;

extern Hookdef kedhooks[];
enum : int {
    LISTMATCHESHOOK,
    COMPLETEHOOK,
    BEFORECOMPLETEHOOK,
    AFTERCOMPLETEHOOK,
    ACCEPTCOMPHOOK,
    REVERSEMENUHOOK,
    INVALIDATELISTHOOK,
};
inline int runkedhook(int h, void *data) { return runhookdef(&kedhooks[h], data); }
