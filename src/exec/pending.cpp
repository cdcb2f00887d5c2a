// Until the executor lands nothing is run.
#include "exec/exec.h"

#include <sys/wait.h>

void execode(Eprog *, int, int, const char *) {}
void execstring(char *, int, int, const char *) {}
void runpreexec(ShellFunc *, Eprog *) {}

pid_t cmdoutpid;
int cmdoutval;
int cmdoutreaped(pid_t pid, int status)
{
    if (!cmdoutpid || pid != cmdoutpid)
        return 0;
    cmdoutval = WIFSIGNALED(status) ? 0x80 | WTERMSIG(status) : WEXITSTATUS(status);
    cmdoutpid = 0;
    return 1;
}
