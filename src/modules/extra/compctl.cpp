// tarn/compctl and tarn/computil: registered with their dependencies on
// the editor and completion; they add nothing of their own.
#include "modules/extra/extra.h"

int setup_tarnQscompctl(Module *) { return 0; }
int boot_tarnQscompctl(Module *) { return 0; }
int cleanup_tarnQscompctl(Module *) { return 0; }
int finish_tarnQscompctl(Module *) { return 0; }

int setup_tarnQscomputil(Module *) { return 0; }
int boot_tarnQscomputil(Module *) { return 0; }
int cleanup_tarnQscomputil(Module *) { return 0; }
int finish_tarnQscomputil(Module *) { return 0; }
