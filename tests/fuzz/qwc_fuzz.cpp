// Feeds arbitrary bytes to the compiled wordcode file loader and to the
// wordcode check; whatever is accepted is converted back to text, which
// walks every construct the way the executor does.
#include "qwc_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool done;
    if (!done) {
        qwcfuzz_setup();
        done = true;
    }
    qwcfuzz_one(data, size);
    return 0;
}
