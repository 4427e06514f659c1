// The console and the server's own output: queues that one writer thread
// empties, so that a stalled terminal, a paused pipe or a slow serial line
// never holds back storage (console.h).
//
// Lock discipline: g_lock guards every field of every channel and the
// bytes of its queue, except the run at its head that the holder of its
// busy token (the writer thread, or the print thread draining a full
// console itself) is writing without the lock; producers only append
// behind it.
#include "console.h"

#include "fault_stack.h"
#include "quarn.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

namespace {

constexpr size_t QUARN_CONSOLE_QUEUE = 64 * 1024; // about 6 s of a 115200-baud line
constexpr size_t QUARN_OWN_QUEUE = 16 * 1024;     // the server's own messages, per stream
constexpr size_t QUARN_CONSOLE_WAKE_AT = 16 * 1024; // a busy print thread hands over runs this long
constexpr size_t QUARN_WRITER_STACK = 64 * 1024 + QUARN_FAULT_STACK_SIZE;
constexpr char QUARN_NOTICE_COLOR[] = "\033[33m";
constexpr char QUARN_RESET[] = "\033[0m";

struct channel_t {
    char *buf;             // the queue: a ring of cap bytes
    size_t cap;            // its size
    bool is_console;       // its skip notice is a coloured log line
    size_t head = 0;       // first byte waiting
    size_t used = 0;       // bytes waiting
    int fd = -1;           // where they go; -1 nowhere
    bool owned = false;    // fd is ours to close
    bool socket = false;   // written with MSG_DONTWAIT
    bool blocking = false; // fd cannot be made non-blocking (a regular file): written as it is
    bool may_stall = false; // blocking, and a stream that may stop (no /proc to reopen it)
    int next_fd = -2;      // a redirect the writer has still to make; -2 none
    bool busy = false;     // a thread is writing from head without the lock
    bool skipping = false; // lines are refused until the queue has drained
    uint64_t skipped = 0;  // lines refused since the last notice
    uint64_t skipped_total = 0; // lines refused since start
};

char g_console_buf[QUARN_CONSOLE_QUEUE];
char g_out_buf[QUARN_OWN_QUEUE];
char g_err_buf[QUARN_OWN_QUEUE];
channel_t g_console{g_console_buf, sizeof g_console_buf, true};
channel_t g_out{g_out_buf, sizeof g_out_buf, false};
channel_t g_err{g_err_buf, sizeof g_err_buf, false};
channel_t *const g_channels[] = {&g_console, &g_out, &g_err};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_drained = PTHREAD_COND_INITIALIZER; // a queue went empty, or a busy token was given back
int g_wake_fd = -1;        // eventfd the writer polls; -1 until started
bool g_wake_pending = false; // the eventfd was written and not yet read; guarded by g_lock

class lock_guard {
  public:
    lock_guard() { pthread_mutex_lock(&g_lock); }
    ~lock_guard() { pthread_mutex_unlock(&g_lock); }
    lock_guard(const lock_guard &) = delete;
    lock_guard &operator=(const lock_guard &) = delete;
};

// Under g_lock: true when the caller must write the eventfd (once the lock
// is released).
bool _wake_needed_()
{
    if (g_wake_pending || g_wake_fd < 0)
        return false;
    g_wake_pending = true;
    return true;
}

void _wake_()
{
    const uint64_t one = 1;
    if (write(g_wake_fd, &one, sizeof one) < 0) {
        // Only a counter overflow refuses it, and then the writer is awake.
    }
}

// Points c at fd.  A pipe, FIFO or terminal gets an open file description
// of its own, made non-blocking: the one it shares with whoever started the
// server (a shell's terminal) must stay as it is.  A socket is written with
// MSG_DONTWAIT; a regular file never stalls for long and is written as it is.
void _aim_(channel_t &c, int fd, bool owned)
{
    c.fd = fd, c.owned = owned, c.socket = false, c.blocking = false, c.may_stall = false;
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        c.blocking = true;
        return;
    }
    if (S_ISSOCK(st.st_mode)) {
        c.socket = true;
        return;
    }
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
        c.blocking = true;
        return;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK))
        return; // already an open file description that does not wait
    char path[32];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const int own = open(path, O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own < 0) {
        c.blocking = c.may_stall = true; // no /proc: the writer thread alone waits
        return;
    }
    if (owned)
        close(fd);
    c.fd = own, c.owned = true;
}

// Under g_lock: appends n bytes to c's queue, which has room for them.
void _put_(channel_t &c, const char *p, size_t n)
{
    const size_t tail = (c.head + c.used) % c.cap;
    const size_t first = std::min(n, c.cap - tail);
    memcpy(c.buf + tail, p, first);
    memcpy(c.buf, p + first, n - first);
    c.used += n;
}

// Under g_lock: false, and the line counted as skipped, when c cannot take
// n more bytes now; from then on it takes nothing until it has drained.
bool _room_for_(channel_t &c, size_t n)
{
    if (!c.skipping && n <= c.cap - c.used)
        return true;
    c.skipping = true;
    ++c.skipped;
    ++c.skipped_total;
    return false;
}

// Under g_lock, once c has drained after skipping: the line that says so.
void _put_notice_(channel_t &c)
{
    char line[160];
    int n;
    if (c.is_console) {
        char stamp[32];
        const time_t now = time(nullptr);
        tm local{};
        strftime(stamp, sizeof stamp, "[%Y-%m-%d %H:%M:%S]", localtime_r(&now, &local));
        n = snprintf(line, sizeof line, "%s%s[WARN][quarn]%llu lines not shown: the console did not keep up\n%s",
                     QUARN_NOTICE_COLOR, stamp, static_cast<unsigned long long>(c.skipped), QUARN_RESET);
    } else {
        n = snprintf(line, sizeof line, "quarn: %llu messages not shown: the output did not keep up\n",
                     static_cast<unsigned long long>(c.skipped));
    }
    c.skipping = false;
    c.skipped = 0;
    _put_(c, line, std::min(static_cast<size_t>(n), sizeof line - 1));
}

// The lines in n bytes of c's queue from its head (a broken console drops them).
uint64_t _lines_in_(const channel_t &c, size_t n)
{
    uint64_t lines = 0;
    for (size_t i = 0; i < n; ++i)
        lines += c.buf[(c.head + i) % c.cap] == '\n';
    return lines;
}

ssize_t _write_(const channel_t &c, const char *p, size_t n)
{
    return c.socket ? send(c.fd, p, n, MSG_DONTWAIT | MSG_NOSIGNAL) : write(c.fd, p, n);
}

// Under g_lock: the holder of c's busy token wrote done bytes from its head
// (errno err when negative) and gives the token back.  A console that fails
// for good (its reader is gone) drops what waits.
void _written_(channel_t &c, ssize_t done, int err)
{
    c.busy = false;
    pthread_cond_broadcast(&g_drained);
    if (done < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR))
        return;
    const size_t taken = done > 0 ? static_cast<size_t>(done) : c.used;
    if (done <= 0)
        c.skipped_total += _lines_in_(c, taken);
    c.head = (c.head + taken) % c.cap;
    c.used -= taken;
    if (c.used == 0 && c.skipping)
        _put_notice_(c);
}

// Under g_lock, from the print thread: a console that keeps up never
// skips a line because the writer thread was not scheduled in time; while
// the queue lacks room for need bytes and the console takes them at once,
// the print thread writes them out itself.  Only a descriptor that does not
// wait is written here; a write the writer thread has in hand (which does
// not wait either) is waited for.
void _drain_for_(channel_t &c, size_t need)
{
    while (!c.skipping && !c.may_stall && need > c.cap - c.used && c.fd >= 0 && c.next_fd == -2) {
        if (c.busy) {
            if (c.blocking)
                return;
            pthread_cond_wait(&g_drained, &g_lock);
            continue;
        }
        const size_t n = std::min(c.used, c.cap - c.head);
        c.busy = true;
        pthread_mutex_unlock(&g_lock);
        const ssize_t done = _write_(c, c.buf + c.head, n);
        const int err = errno;
        pthread_mutex_lock(&g_lock);
        _written_(c, done, err);
        if (done <= 0)
            return; // it does not keep up now: the line is skipped
    }
}

// Writes what c holds until it is empty or its descriptor would block;
// true in the second case, when the writer must wait for POLLOUT.
bool _serve_(channel_t &c)
{
    for (;;) {
        size_t n;
        {
            lock_guard hold;
            if (c.busy)
                return false; // the print thread drains it; it wakes us if it leaves anything
            if (c.next_fd != -2) {
                if (c.owned)
                    close(c.fd);
                _aim_(c, c.next_fd, true);
                c.next_fd = -2;
            }
            if (c.used > 0 && c.fd < 0)
                c.used = 0; // no console: nothing is shown, as before
            if (c.used == 0) {
                pthread_cond_broadcast(&g_drained);
                return false;
            }
            n = std::min(c.used, c.cap - c.head);
            c.busy = true;
        }
        const ssize_t done = _write_(c, c.buf + c.head, n);
        const int err = errno;
        lock_guard hold;
        _written_(c, done, err);
        if (done < 0 && (err == EAGAIN || err == EWOULDBLOCK))
            return true;
    }
}

void *_writer_main_(void *)
{
    const fault_stack own_stack;
    prctl(PR_SET_NAME, "quarn_console");
    for (;;) {
        pollfd fds[1 + std::size(g_channels)] = {{g_wake_fd, POLLIN, 0}};
        nfds_t n = 1;
        for (channel_t *c : g_channels)
            if (_serve_(*c))
                fds[n++] = {c->fd, POLLOUT, 0};
        poll(fds, n, -1);
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            lock_guard hold;
            g_wake_pending = false;
            if (read(g_wake_fd, &count, sizeof count) < 0) {
                // Nothing was pending after all.
            }
        }
    }
}

#if defined(__GLIBC__) || defined(__UCLIBC__)
// stdout and stderr as streams into their channels: every printf of every
// thread stays as it is and no longer waits.
ssize_t _own_write_(void *cookie, const char *p, size_t n)
{
    channel_t &c = *static_cast<channel_t *>(cookie);
    bool wake;
    {
        lock_guard hold;
        if (_room_for_(c, n))
            _put_(c, p, n);
        wake = _wake_needed_();
    }
    if (wake)
        _wake_();
    return static_cast<ssize_t>(n);
}

// These libraries let a program assign stdout and stderr.
void _route_own_output_()
{
    const cookie_io_functions_t io{nullptr, _own_write_, nullptr, nullptr};
    fflush(stdout);
    fflush(stderr);
    FILE *out = fopencookie(&g_out, "w", io), *err = fopencookie(&g_err, "w", io);
    if (out) {
        setvbuf(out, nullptr, _IOLBF, 0);
        stdout = out;
    }
    if (err) {
        setvbuf(err, nullptr, _IOLBF, 0);
        stderr = err;
    }
}
#else
void _route_own_output_() {} // stdout stays as it is: the server's own messages may wait
#endif

void _flush_before_exit_() { console_drain(1000); }

} // namespace

bool console_start(int console_fd)
{
    g_wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g_wake_fd < 0)
        return false;
    {
        lock_guard hold;
        _aim_(g_console, console_fd, true);
        _aim_(g_out, STDOUT_FILENO, false);
        _aim_(g_err, STDERR_FILENO, false);
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, QUARN_WRITER_STACK);
    pthread_t tid;
    const bool started = pthread_create(&tid, &attr, _writer_main_, nullptr) == 0;
    pthread_attr_destroy(&attr);
    if (!started) {
        close(g_wake_fd);
        g_wake_fd = -1;
        return false;
    }
    _route_own_output_();
    atexit(_flush_before_exit_);
    return true;
}

namespace {

// Control characters but tab and line end shown as \xHH: a line cannot
// move the cursor, erase or recolour what other programs wrote.  At most
// 4 * len bytes and a NUL into out.
bool _control_(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && u != '\t' && u != '\n') || u == 0x7f;
}

size_t _escaped_(const char *text, size_t len, char *out)
{
    size_t n = 0;
    for (size_t i = 0; i < len; ++i) {
        if (_control_(text[i]))
            n += static_cast<size_t>(snprintf(out + n, 5, "\\x%02x", static_cast<unsigned char>(text[i])));
        else
            out[n++] = text[i];
    }
    return n;
}

} // namespace

void console_line(const char *color, const char *text, size_t len)
{
    char shown[4 * QUARN_MSG_RECV_LEN + 1];
    if (len <= QUARN_MSG_RECV_LEN && std::any_of(text, text + len, _control_)) {
        len = _escaped_(text, len, shown);
        text = shown;
    }
    const size_t color_len = strlen(color), reset_len = sizeof QUARN_RESET - 1;
    bool wake = false;
    {
        lock_guard hold;
        if (g_console.fd < 0 && g_console.next_fd == -2)
            return;
        if (g_wake_fd < 0) { // no writer thread: the line goes out as it did before, waiting
            const iovec parts[] = {{const_cast<char *>(color), color_len}, {const_cast<char *>(text), len},
                                   {const_cast<char *>(QUARN_RESET), reset_len}};
            if (writev(g_console.fd, parts, 3) < 0)
                return; // a console that fails shows nothing, as it always did
            return;
        }
        _drain_for_(g_console, color_len + len + reset_len);
        if (_room_for_(g_console, color_len + len + reset_len)) {
            _put_(g_console, color, color_len);
            _put_(g_console, text, len);
            _put_(g_console, QUARN_RESET, reset_len);
            if (g_console.used < QUARN_CONSOLE_WAKE_AT)
                return;
        }
        wake = _wake_needed_();
    }
    if (wake)
        _wake_();
}

void console_flush()
{
    bool wake;
    {
        lock_guard hold;
        wake = g_console.used > 0 && _wake_needed_();
    }
    if (wake)
        _wake_();
}

void console_redirect(int fd)
{
    bool wake;
    {
        lock_guard hold;
        if (g_wake_fd < 0) {
            if (g_console.owned)
                close(g_console.fd);
            _aim_(g_console, fd, true);
            return;
        }
        if (g_console.next_fd != -2)
            close(g_console.next_fd); // superseded before the writer took it
        g_console.next_fd = fd;
        wake = _wake_needed_();
    }
    if (wake)
        _wake_();
}

uint64_t console_skipped()
{
    lock_guard hold;
    return g_console.skipped_total;
}

void console_drain(unsigned ms)
{
    fflush(stdout);
    fflush(stderr);
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    const uint64_t wait_ns = uint64_t{ms} * 1000000; // 64 bits: no signed division on the board
    until.tv_sec += static_cast<time_t>(wait_ns / 1000000000);
    until.tv_nsec += static_cast<long>(wait_ns % 1000000000);
    if (until.tv_nsec >= 1000000000L)
        until.tv_sec += 1, until.tv_nsec -= 1000000000L;
    bool wake;
    {
        lock_guard hold;
        wake = g_wake_fd >= 0 && _wake_needed_();
    }
    if (wake)
        _wake_();
    lock_guard hold;
    const auto waiting = [] {
        return std::any_of(std::begin(g_channels), std::end(g_channels),
                           [](const channel_t *c) { return c->used > 0 && c->fd >= 0; });
    };
    while (g_wake_fd >= 0 && waiting())
        if (pthread_cond_timedwait(&g_drained, &g_lock, &until) == ETIMEDOUT)
            break;
}
