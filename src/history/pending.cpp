// Until the history issue lands: events are begun and ended without
// recording, and every parsed program is run.
#include "history/history.h"

int stophist;

void init_history() {}
void hbegin(int) {}
int hend(Eprog *prog) { return prog != nullptr; }
void readhistfile(const char *, int, int) {}
void savehistfile(const char *, int, int) {}

long curhist;
void resizehistents() {}
