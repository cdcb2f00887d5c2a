// Terminal capabilities: loaded from the terminfo/termcap database when
// TERM is set and before the editor or prompts need them.
#include "core/core.h"
#include "params/params.h"

#include <curses.h>
#include <term.h>

#include <cstring>

TermCaps termcaps;
int termflags = TERM_UNKNOWN;

// The string capabilities the editor and prompts use, in table order.
static constexpr const char *capnames[TCCOUNT] = {
    "cl", "le", "LE", "nd", "RI", "up", "UP", "do", "DO", "dc", "DC", "ic", "IC", "cd", "ce",
    "al", "dl", "ta", "md", "so", "us", "me", "se", "ue", "ch", "ku", "kd", "kl", "kr",
};

static void setcap(int i, const char *val)
{
    qsfree(termcaps.str[i]);
    termcaps.str[i] = val ? qtrdup(val) : nullptr;
    termcaps.len[i] = val ? int(strlen(val)) : 0;
}

int init_term()
{
    const char *term = getsparam("TERM");
    if (!term || !*term) {
        termflags |= TERM_UNKNOWN;
        return 0;
    }
    if (!strcmp(term, "emacs"))
        opts[KED] = 0;
    char *uterm = unmeta(term);
    int err = 0;
    if (!uterm || setupterm(uterm, SHTTY != -1 ? SHTTY : 2, &err) != OK || tgetent(nullptr, uterm) != 1) {
        if (isset(INTERACTIVE))
            qerr("can't find terminal definition for %s", term, 0);
        errflag = 0;
        termflags |= TERM_BAD;
        return 0;
    }
    termflags &= ~(TERM_BAD | TERM_UNKNOWN);
    for (int i = 0; i < TCCOUNT; i++) {
        char *v = tgetstr(const_cast<char *>(capnames[i]), nullptr);
        setcap(i, v && v != reinterpret_cast<char *>(-1) ? v : nullptr);
    }
    termcaps.am = tgetflag(const_cast<char *>("am")) > 0;
    termcaps.li = tgetnum(const_cast<char *>("li"));
    termcaps.co = tgetnum(const_cast<char *>("co"));
    if (!termcaps.str[TCUP])
        termflags |= TERM_NOUP;
    else
        termflags &= ~TERM_NOUP;
    if (!termcaps.str[TCLEFT])
        setcap(TCLEFT, "\b");
    if (termcaps.str[TCDOWN] && !strcmp(termcaps.str[TCDOWN], "\n"))
        setcap(TCDOWN, nullptr);
    if (!termcaps.str[TCCLEARSCREEN])
        setcap(TCCLEARSCREEN, "\f");
    return 1;
}
