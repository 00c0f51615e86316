// Linked only into targets built with -Wl,--wrap=exit,--wrap=_exit: every call of exit or
// _exit in the objects of such a target lands here. Outside run_trapping_exit the calls go on
// to the C library, so libFuzzer itself still ends the process normally.
#include <csetjmp>

#include "fuzz_support.h"

extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __real__exit(int status);

namespace
{

jmp_buf trap;
bool armed;
int trapped_status;

[[noreturn]] void spring(int status)
{
    armed = false;
    trapped_status = status;
    longjmp(trap, 1);
}

} // namespace

extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (!armed)
        __real_exit(status);
    spring(status);
}

extern "C" [[noreturn]] void __wrap__exit(int status)
{
    if (!armed)
        __real__exit(status);
    spring(status);
}

namespace fz
{

bool run_trapping_exit(void (*fn)(void *), void *arg, int *status)
{
    if (setjmp(trap) != 0) {
        *status = trapped_status;
        return true;
    }
    armed = true;
    fn(arg);
    armed = false;
    return false;
}

} // namespace fz
