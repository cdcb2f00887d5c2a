/* Counts the lines of its standard input. */
#include "config.h"
#include <stdio.h>
#ifdef HAVE_STRING_H
#include <string.h>
#endif

int main(void)
{
    char buf[4096];
    long n = 0;
    printf("%s\n", TALLY_GREETING);
    while (fgets(buf, sizeof buf, stdin)) {
        n++;
#ifdef TALLY_VERBOSE
        printf("%ld: %s", n, buf);
#endif
    }
    printf("%ld lines (long is %d bytes)\n", n, (int)SIZEOF_LONG);
    return 0;
}
