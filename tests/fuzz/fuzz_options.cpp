// Sanitizer defaults of every fuzz target.
//
// - No leak check: it stops the process's threads through ptrace, which the
//   user-mode emulator that runs 32-bit programs on some machines does not
//   provide, so the target would hang at exit. The code under test allocates
//   nothing on the heap.
// - A small quarantine of freed blocks: the stand-ins allocate on every
//   input, and under that emulator a 32-bit process with the sanitizer's
//   shadow runs out of address space long before the default quarantine is
//   full.
extern "C" const char *__asan_default_options(void)
{
    return "detect_leaks=0:quarantine_size_mb=16";
}

extern "C" const char *__ubsan_default_options(void)
{
    return "print_stacktrace=1";
}
