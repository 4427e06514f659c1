// The C++ runtime's failure paths, for the quarn executable, which is built
// without exceptions.  The standard library's own versions throw, and
// linking them brings the exception machinery and the verbose terminate
// handler with its demangler: some 40 KB on a board.  Here every such
// failure (no memory, a container past its size limit, a lock that cannot
// be taken) ends the process with a message, as the uncaught exception did.
//
// All of the library's throwing entry points the program reaches are
// defined here, so that the library's own are never linked: one missing
// here shows as a duplicate definition when the executable links.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

[[noreturn]] void _fail_(const char *what)
{
    fprintf(stderr, "quarn: %s\n", what);
    abort();
}

void *_allocate_(std::size_t size)
{
    return malloc(size != 0 ? size : 1);
}

} // namespace

void *operator new(std::size_t size)
{
    if (void *p = _allocate_(size))
        return p;
    _fail_("out of memory");
}

void *operator new[](std::size_t size)
{
    return operator new(size);
}

void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    return _allocate_(size);
}

void *operator new[](std::size_t size, const std::nothrow_t &) noexcept
{
    return _allocate_(size);
}

namespace std {

void __throw_bad_alloc()
{
    _fail_("out of memory");
}

void __throw_bad_array_new_length()
{
    _fail_("array too long");
}

void __throw_length_error(const char *what)
{
    _fail_(what);
}

void __throw_logic_error(const char *what)
{
    _fail_(what);
}

void __throw_out_of_range_fmt(const char *fmt, ...)
{
    char text[256];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    _fail_(text);
}

void __throw_system_error(int err)
{
    _fail_(strerror(err));
}

} // namespace std
