#include "core/core.h"

int main(int argc, char **argv)
{
    tarn_main(argc, argv);
}
