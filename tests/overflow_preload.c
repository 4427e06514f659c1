// Preloaded into a server by Crash.AStackOverflowInAReceiveThreadKeepsTheStagedText:
// the second receive thread to name itself recurses until its stack overflows.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <string.h>
#include <sys/prctl.h>

#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Winfinite-recursion"
static int overflow(volatile char *above)
{
    volatile char frame[512];
    frame[0] = above ? above[0] : 1;
    return overflow(frame) + frame[1];
}

int prctl(int option, ...)
{
    static int named;
    va_list args;
    va_start(args, option);
    const unsigned long arg = va_arg(args, unsigned long);
    va_end(args);
    int (*real)(int, ...) = (int (*)(int, ...))dlsym(RTLD_NEXT, "prctl");
    const int rc = real(option, arg, 0UL, 0UL, 0UL);
    if (option == PR_SET_NAME && strcmp((const char *)arg, "quarn_sv_rv") == 0 && __atomic_add_fetch(&named, 1, __ATOMIC_RELAXED) == 2)
        return overflow(0);
    return rc;
}
