// tarn/computil: registered with its dependencies on the editor and
// completion; it adds nothing of its own.
#include "modules/extra/extra.h"

int setup_tarnQscomputil(Module *) { return 0; }
int boot_tarnQscomputil(Module *) { return 0; }
int cleanup_tarnQscomputil(Module *) { return 0; }
int finish_tarnQscomputil(Module *) { return 0; }
