// Preloaded into a server by StopBySignal/StackOverflow:
// the receive thread that receives "overflow now" recurses until its stack
// overflows.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <string.h>
#include <sys/socket.h>

#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Winfinite-recursion"
static int overflow(volatile char *above)
{
    volatile char frame[512];
    frame[0] = above ? above[0] : 1;
    return overflow(frame) + frame[1];
}

ssize_t recv(int fd, void *buf, size_t len, int flags)
{
    ssize_t (*real)(int, void *, size_t, int) = (ssize_t(*)(int, void *, size_t, int))dlsym(RTLD_NEXT, "recv");
    const ssize_t got = real(fd, buf, len, flags);
    if (got > 0 && memmem(buf, (size_t)got, "overflow now", 12))
        return overflow(0);
    return got;
}
