// Until the builtin table lands it is empty.
#include "builtins/builtins.h"

HashTable *builtintab;

void createbuiltintable()
{
    builtintab = newhashtable(85, "builtintab", nullptr);
}
