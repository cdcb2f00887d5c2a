// The history layer's reading path: the lexer's characters come through
// here from the input stack.  Events are begun and ended; nothing is
// recorded yet, so every parsed program is run.
#include "history/history.h"

int stophist, histactive, histdone;
int hwgetword = -1;

namespace {

void nowaddc(int) {}
void nowbegin(int) {}
void nowend() {}

}  // namespace

int (*hgetc)() = ingetc;
void (*hungetc)(int c) = inungetc;
void (*hwaddc)(int c) = nowaddc;
void (*hwbegin)(int offset) = nowbegin;
void (*hwend)() = nowend;
void (*addtoline)(int c) = nowaddc;

void init_history() {}

void hbegin(int dohist)
{
    isfirstch = isfirstln = 1;
    histdone = 0;
    errflag = 0;
    bool interact = isset(INTERACTIVE) && isset(SHINSTDIN);
    stophist = (dohist == 2 || (dohist && interact)) ? 0 : 2;
    // Recording belongs to the history list; until then every event goes
    // straight to the input stack.
    hgetc = ingetc;
    hungetc = inungetc;
    hwaddc = nowaddc;
    hwbegin = nowbegin;
    hwend = nowend;
    addtoline = nowaddc;
    if ((dohist == 2 || interact) && !strin)
        histactive = HA_ACTIVE;
    else
        histactive = HA_ACTIVE | HA_NOINC;
}

int hend(Eprog *)
{
    SignalGuard sg;
    int flag = histdone;
    int active = histactive;
    histactive = 0;
    if (active & (HA_NOSTORE | HA_NOINC))
        return 1;
    return !(flag & HISTDONE_NOEXEC) && !errflag;
}

void strinbeg(int dohist)
{
    strin++;
    hbegin(dohist);
    lexinit();
}

void strinend()
{
    hend(nullptr);
    strin--;
    isfirstch = 1;
    histdone = 0;
}

void herrflush()
{
    while (!lexstop && inbufct && !strin)
        hwaddc(ingetc());
}

void ihwbegin(int) {}
void ihwend() {}
void histbackword() {}
void hwrep(char *) {}

void readhistfile(const char *, int, int) {}
void savehistfile(const char *, int, int) {}

// The number of the current history event.
long curhist;

// The non-interactive layer keeps no list, so there is nothing to trim.
void resizehistents() {}
