// Linked only into the instrumented build that trains the optimiser.
// Forked children (subshells, command substitutions, pipeline stages) end
// with _exit, which would drop their counts, and the code they run would
// then be laid out as if never used.  Every _exit writes the counts first.
extern "C" void __gcov_dump();
extern "C" [[noreturn]] void __real__exit(int status);

extern "C" [[noreturn]] void __wrap__exit(int status)
{
    __gcov_dump();
    __real__exit(status);
}
