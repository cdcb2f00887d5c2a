// Shared main for the unit tests: sets up the tables every internal
// needs (character classes, options) the way start-up does.
#include <gtest/gtest.h>

#include "core/core.h"

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    emulate("tarn", 1);
    inittyptab();
    return RUN_ALL_TESTS();
}
