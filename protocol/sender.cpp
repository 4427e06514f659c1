// The message sender behind the client API: formats one record on the
// caller's stack and hands it to the server over the process's single
// connection, without blocking, queueing or retrying.
//
// Cost per call is one send() and no heap allocation: only the header is
// cleared, the time stamp text is reused within a second, and the lock
// covers connect, send and close alone, never the formatting and never the
// message that says why a record was lost: a full pipe or a slow console on
// standard output would otherwise stall every thread's log calls.
#include "quarn.h"
#include "levels.h"
#include "mutex_guard.h"
#include "socket.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr char QUARN_VERSION_TEXT[] = "v1.0.0 svn635612";
constexpr char QUARN_BUILD_TEXT[] = __DATE__ " " __TIME__;
constexpr size_t QUARN_STAMP_LEN = 21;                 // "[YYYY-MM-DD hh:mm:ss]"
constexpr size_t QUARN_STEP_MAX = QUARN_MSG_PART_MAX + 1; // one formatting step, its NUL included

// One record as the sender builds it: the header, then the text area.
struct quarn_record_t {
    quarn_msg_head_t head;         // the 40-byte header
    char text[QUARN_MSG_TEXT_LEN]; // text; the formatter's NUL must fit too
};
static_assert(sizeof(quarn_record_t) == QUARN_MSG_BUF_LEN, "record buffer is 1152 bytes");

// The process's one connection to the server.  A pthread mutex rather than
// std::mutex keeps the library free of libstdc++, so C programs link it as is.
struct quarn_conn_t {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER; // serialises connect, send and close of fd
    int fd = -1; // connected descriptor, -1 while not connected; guarded by lock
};
constinit quarn_conn_t g_conn;

// Set while the thread is inside a send on the connection: a signal handler
// that logs from there would wait for the lock its own thread holds.
constinit thread_local volatile int t_sending = 0;

// The attached control word, null until an attach has succeeded.  Written
// once (compare-and-swap), read by every call without a lock.
constinit std::atomic<uint32_t *> g_stQuarnCtrl{nullptr};

// The calling thread's last time stamp, so localtime_r runs once a second
// per thread rather than once a call.  Touched by its own thread alone.
struct quarn_stamp_cache_t {
    time_t second = -1;                // the time() value text belongs to
    char text[QUARN_STAMP_LEN + 1]{}; // its time stamp and a NUL
};
constinit thread_local quarn_stamp_cache_t t_stamp;

// Attaches the server's control word without creating it.  The attached
// address, or null when the server has not made it (yet).  Prints nothing.
uint32_t *quarn_ctrl_open()
{
    const int id = shmget(QUARN_CTRL_KEY, sizeof(uint32_t), 0444);
    if (id < 0)
        return nullptr;
    void *addr = shmat(id, nullptr, SHM_RDONLY);
    return addr == reinterpret_cast<void *>(-1) ? nullptr : static_cast<uint32_t *>(addr);
}

// The control word, attaching it on first use; retried on every call until
// an attach succeeds.  Of two threads attaching at once, the loser detaches
// its own mapping and uses the winner's.
uint32_t *_ctrl_word_()
{
    uint32_t *ctrl = g_stQuarnCtrl.load(std::memory_order_acquire);
    if (ctrl != nullptr)
        return ctrl;
    uint32_t *mine = quarn_ctrl_open();
    if (mine == nullptr)
        return nullptr;
    if (g_stQuarnCtrl.compare_exchange_strong(ctrl, mine, std::memory_order_acq_rel))
        return mine;
    shmdt(mine);
    return ctrl;
}

// True for an application debug record while the server's application print
// level is above debug: the server would neither show nor store it.  Only
// such records need the control word, so only they try to attach it.
bool _dropped_(int origin, int level)
{
    if (origin != QUARN_APP_LOG_INIT || level != QUARN_LEVEL_DEBUG)
        return false;
    uint32_t *ctrl = _ctrl_word_();
    if (ctrl == nullptr)
        return false;
    const uint32_t print_level = std::atomic_ref<uint32_t>(*ctrl).load(std::memory_order_relaxed);
    return static_cast<uint32_t>(level) < print_level;
}

// The local time's offset from UTC, asked of localtime_r once a minute at
// most (zones change their offset on whole minutes).  localtime_r takes a
// libc lock: a child forked while another thread held it would hang in its
// first log call, so between asks the stamp is computed here without it.
struct quarn_zone_t {
    std::atomic<int64_t> minute{INT64_MIN}; // the minute (time / 60) the offset was asked in
    std::atomic<long> offset{0};            // seconds east of UTC then
};
constinit quarn_zone_t g_zone;

long _utc_offset_(time_t now)
{
    if (g_zone.minute.load(std::memory_order_acquire) != now / 60) {
        tm local{};
        localtime_r(&now, &local);
        g_zone.offset.store(local.tm_gmtoff, std::memory_order_relaxed);
        g_zone.minute.store(now / 60, std::memory_order_release);
    }
    return g_zone.offset.load(std::memory_order_relaxed);
}

// Asked once as the library loads, so that no thread's first call (nor
// the first call of a child forked meanwhile) has to take the lock.
[[gnu::constructor]] void _zone_init_() { _utc_offset_(time(nullptr)); }

// Year, month and day of a count of days since 1970-01-01 in the proleptic
// Gregorian calendar (eras of 400 years from 0000-03-01).
void _civil_from_days_(int64_t days, int64_t &y, unsigned &m, unsigned &d)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

// Writes the 21-character time stamp of the current local time at `at` (no
// NUL) and returns 21.
size_t _time_fill_(char *at)
{
    const time_t now = time(nullptr);
    if (now != t_stamp.second) {
        const int64_t local = static_cast<int64_t>(now) + _utc_offset_(now);
        const int64_t days = (local >= 0 ? local : local - 86399) / 86400, secs = local - days * 86400;
        int64_t year;
        unsigned month, day;
        _civil_from_days_(days, year, month, day);
        char text[80];
        snprintf(text, sizeof text, "[%04lld-%02u-%02u %02d:%02d:%02d]", static_cast<long long>(year), month, day,
                 static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60));
        std::memcpy(t_stamp.text, text, QUARN_STAMP_LEN);
        t_stamp.second = now;
    }
    std::memcpy(at, t_stamp.text, QUARN_STAMP_LEN);
    return QUARN_STAMP_LEN;
}

// Bytes one formatting step may use at offset len of the text area, its NUL
// included: 1024, or what is left of the area when that is less.
size_t _step_room_(size_t len)
{
    return std::min(QUARN_STEP_MAX, QUARN_MSG_TEXT_LEN - len);
}

// Copies at most max characters of s to at; returns how many it copied.
size_t _put_(char *at, size_t max, const char *s)
{
    const size_t n = strnlen(s, max);
    std::memcpy(at, s, n);
    return n;
}

// Writes "LABEL[tag]" at `at`, cut at room - 1 characters; returns the
// characters stored.
size_t _put_label_tag_(char *at, size_t room, const char *label, const char *tag)
{
    const size_t max = room - 1;
    size_t n = _put_(at, max, label);
    n += _put_(at + n, max - n, "[");
    n += _put_(at + n, max - n, tag);
    n += _put_(at + n, max - n, "]");
    return n;
}

// The text a format stands for when it needs no formatting: the format
// itself when it has no conversion, the argument when it is "%s" alone.
// Null otherwise (a null "%s" argument included, which vsnprintf spells).
const char *_ready_text_(const char *fmt, va_list args)
{
    if (std::strchr(fmt, '%') == nullptr)
        return fmt;
    if (std::strcmp(fmt, "%s") != 0)
        return nullptr;
    va_list copy; // vsnprintf may still need the argument
    va_copy(copy, args);
    const char *text = va_arg(copy, const char *);
    va_end(copy);
    return text;
}

// Formats the message part at `at` within room bytes; returns the characters
// stored, at most room - 1.  A failed format stores nothing dependable and
// counts as empty, so no stale stack bytes go out.  A line handed over
// ready is copied: vsnprintf's set-up alone costs more than the copy, a
// tenth of the whole call.
size_t _put_message_(char *at, size_t room, const char *fmt, va_list args)
{
    if (const char *text = _ready_text_(fmt, args)) {
        const size_t n = _put_(at, room - 1, text);
        at[n] = '\0';
        return n;
    }
    const int n = vsnprintf(at, room, fmt, args);
    if (n < 0)
        return 0;
    return std::min(static_cast<size_t>(n), room - 1);
}

// Lays out the text for `level` in rec->text; returns its length (NUL not
// counted), at most QUARN_MSG_TEXT_LEN - 1.
size_t _fill_text_(quarn_record_t *rec, int level, const char *tag, const char *fmt, va_list args)
{
    size_t len = 0;
    if (level != QUARN_LEVEL_CMD)
        len += _time_fill_(rec->text);
    if (static_cast<unsigned>(level) <= QUARN_LEVEL_ERROR)
        len += _put_label_tag_(rec->text + len, _step_room_(len), QUARN_LEVEL_LABELS[level], tag);
    len += _put_message_(rec->text + len, _step_room_(len), fmt, args);
    return len;
}

void _fill_head_(quarn_msg_head_t *head, int origin, int level, const char *tag, size_t len)
{
    head->magic = QUARN_MSG_MAGIC;
    head->type = origin == QUARN_DSP_LOG_INIT ? QUARN_TYPE_DSP : QUARN_TYPE_APP;
    head->len = static_cast<uint16_t>(len);
    head->level = level;
    const size_t tag_len = strnlen(tag, QUARN_MSG_TAG_MAX);
    std::memcpy(head->name, tag, tag_len);
    std::memset(head->name + tag_len, 0, sizeof head->name - tag_len);
}

// True when a failed send left the stream as it was: nothing of the record
// went out because the connection is full.  Closing then would only add a
// reconnect and a new server thread to an overload.
bool _stream_intact_(int result)
{
    return result == -1 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

// Why a record was lost, kept under the lock and printed after it.
struct quarn_loss_t {
    int result = 0; // the endpoint's result: 0 sent, -1 (no socket), -3 (connect) or a failed send
    int err = 0;    // errno of the failed call
    bool connecting = false; // the failure was the connect
    bool first = false;      // the first loss since a record last went out: worth a message
};

// Records this process could not send, reported in a line of its own to
// the server once a record goes out again.  Lock-free, so that counting
// never adds to the cost of a call; changed under the connection lock only
// because that is where the losses happen.
struct quarn_lost_t {
    std::atomic<uint32_t> count{0};  // records lost and not yet reported
    std::atomic<uint32_t> reason{0}; // the first of them: (kind << 16) | errno, kinds below
    std::atomic<bool> failing{false}; // the last record was lost: a run of losses goes on
    std::atomic<uint64_t> total{0};   // records lost since the process began
};
constinit quarn_lost_t g_lost;

enum : uint32_t { QUARN_LOST_SOCKET = 1, QUARN_LOST_CONNECT, QUARN_LOST_FULL, QUARN_LOST_SEND, QUARN_LOST_REENTERED };

uint32_t _reason_of_(const quarn_loss_t &loss)
{
    uint32_t kind = QUARN_LOST_SEND;
    if (loss.connecting)
        kind = loss.result == -3 ? QUARN_LOST_CONNECT : QUARN_LOST_SOCKET;
    else if (loss.result == -1 && (loss.err == EAGAIN || loss.err == EWOULDBLOCK))
        kind = QUARN_LOST_FULL;
    else if (loss.result == -1 && loss.err == EDEADLK)
        kind = QUARN_LOST_REENTERED;
    return kind << 16 | (static_cast<uint32_t>(loss.err) & 0xffff);
}

// Counts a lost record; the loss comes back marked first when it starts a
// run of losses, and only such a loss is printed.
quarn_loss_t _count_loss_(quarn_loss_t loss)
{
    g_lost.total.fetch_add(1, std::memory_order_relaxed);
    if (g_lost.count.fetch_add(1, std::memory_order_relaxed) == 0)
        g_lost.reason.store(_reason_of_(loss), std::memory_order_relaxed);
    loss.first = !g_lost.failing.exchange(true, std::memory_order_relaxed);
    return loss;
}

// Writes n bytes to fd without ever waiting and without stdio, whose lock
// another thread may hold: a pipe, FIFO or terminal is written through an
// open file description of its own made non-blocking, a socket with
// MSG_DONTWAIT.  What cannot go out now is dropped.
void _write_now_(int fd, const char *text, size_t n)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return;
    if (S_ISSOCK(st.st_mode)) {
        if (send(fd, text, n, MSG_DONTWAIT | MSG_NOSIGNAL) < 0)
            return;
        return;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || (flags >= 0 && (flags & O_NONBLOCK))) {
        if (write(fd, text, n) < 0)
            return; // a message that cannot be written is not worth a wait
        return;
    }
    char path[32];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const int own = open(path, O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own < 0)
        return;
    if (write(own, text, n) < 0) {
        // Full: the message is dropped, the record is counted all the same.
    }
    close(own);
}

void _print_loss_(const quarn_loss_t &loss)
{
    if (loss.result == 0 || !loss.first || loss.err == EDEADLK)
        return; // a signal handler's loss is only counted: it may not print
    char text[160];
    int n;
    if (!loss.connecting)
        n = snprintf(text, sizeof text, "send failed: %s \n", strerror(loss.err));
    else if (loss.result == -3)
        n = snprintf(text, sizeof text, "connect failed: %s\n", strerror(loss.err));
    else
        n = snprintf(text, sizeof text, "socket: %s\n", strerror(loss.err));
    _write_now_(loss.connecting && loss.result != -3 ? STDERR_FILENO : STDOUT_FILENO, text,
                std::min(static_cast<size_t>(n), sizeof text - 1));
}

// A child forked while another thread held the lock would find it held for
// ever: fork waits for the lock, and the child drops the parent's
// connection (two processes writing one stream would tear its records) and
// connects on its first call.
void _fork_prepare_() { pthread_mutex_lock(&g_conn.lock); }
void _fork_parent_() { pthread_mutex_unlock(&g_conn.lock); }
void _fork_child_()
{
    if (g_conn.fd >= 0)
        close(g_conn.fd);
    g_conn.fd = -1;
    g_lost.count.store(0, std::memory_order_relaxed); // the parent reports its own losses
    g_lost.failing.store(false, std::memory_order_relaxed);
    pthread_mutex_unlock(&g_conn.lock);
}
// Registered as the library loads, so that no call, not even one from a
// signal handler, has a once-only step to wait for.
[[gnu::constructor]] void _register_atfork_() { pthread_atfork(_fork_prepare_, _fork_parent_, _fork_child_); }

// Sends size bytes on the connection; a connection whose stream may be
// broken is closed, so the next call connects anew.  Under the lock.
quarn_loss_t _send_on_conn_(const void *data, size_t size)
{
    const int result = bsp_quarn_socket_send(g_conn.fd, data, static_cast<int>(size));
    const quarn_loss_t loss{result, errno, false};
    if (result != 0 && !_stream_intact_(result)) {
        close(g_conn.fd);
        g_conn.fd = -1;
    }
    return loss;
}

// The reason kept in g_lost as the text of the loss line.
void _reason_text_(uint32_t reason, char *out, size_t size)
{
    const char *what = "send failed: ";
    bool with_error = true;
    switch (reason >> 16) {
    case QUARN_LOST_FULL: what = "connection full", with_error = false; break;
    case QUARN_LOST_REENTERED: what = "logged from a signal handler during a send", with_error = false; break;
    case QUARN_LOST_CONNECT: what = "connect failed: "; break;
    case QUARN_LOST_SOCKET: what = "socket: "; break;
    }
    // One call for every reason: each call costs the board's image bytes.
    snprintf(out, size, "%s%s", what, with_error ? strerror(static_cast<int>(reason & 0xffff)) : "");
}

size_t _fill_text_of_(quarn_record_t *rec, int level, const char *tag, const char *fmt, ...) QUARN_PRINTF(4, 5);
size_t _fill_text_of_(quarn_record_t *rec, int level, const char *tag, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    const size_t len = _fill_text_(rec, level, tag, fmt, args);
    va_end(args);
    return len;
}

// Sends the line that reports the records lost so far, ahead of the record
// that is about to go out; on success the count drops by exactly what the
// line reported.  Rare, so its record buffer stays off the common path's
// stack.  Under the lock.
__attribute__((noinline)) quarn_loss_t _send_lost_line_(uint32_t lost)
{
    char reason[128];
    _reason_text_(g_lost.reason.load(std::memory_order_relaxed), reason, sizeof reason);
    quarn_record_t line;
    const size_t len = _fill_text_of_(&line, QUARN_LEVEL_WARN, "quarn", "%u records lost: %s\n", lost, reason);
    _fill_head_(&line.head, QUARN_APP_LOG_INIT, QUARN_LEVEL_WARN, "quarn", len);
    const quarn_loss_t loss = _send_on_conn_(&line, sizeof line.head + len);
    if (loss.result == 0)
        g_lost.count.fetch_sub(lost, std::memory_order_relaxed);
    return loss;
}

// Sends size bytes of rec on the process's connection, connecting first when
// there is none, and after the line that reports earlier losses, if any.  A
// record that cannot go out is lost and counted.  Returns why it was lost,
// for the caller to print once the lock is released.
quarn_loss_t _send_record_locked_(const quarn_record_t *rec, size_t size)
{
    if (g_conn.fd < 0) {
        const int fd = bsp_quarn_socket_client_create();
        if (fd < 0)
            return _count_loss_({fd, errno, true});
        g_conn.fd = fd;
    }
    if (const uint32_t lost = g_lost.count.load(std::memory_order_relaxed); lost != 0)
        if (const quarn_loss_t loss = _send_lost_line_(lost); loss.result != 0)
            return _count_loss_(loss);
    const quarn_loss_t loss = _send_on_conn_(rec, size);
    if (loss.result != 0)
        return _count_loss_(loss);
    if (g_lost.failing.load(std::memory_order_relaxed))
        g_lost.failing.store(false, std::memory_order_relaxed); // the run of losses is over
    return loss;
}

// Marks the calling thread as sending for the life of the scope.
class sending_mark {
  public:
    sending_mark()
    {
        t_sending = 1;
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    ~sending_mark()
    {
        std::atomic_signal_fence(std::memory_order_seq_cst);
        t_sending = 0;
    }
    sending_mark(const sending_mark &) = delete;
    sending_mark &operator=(const sending_mark &) = delete;
};

// A call from a signal handler whose thread was interrupted in the middle
// of a send cannot have the connection: its record is lost and counted,
// and the interrupted send goes on.
quarn_loss_t _send_record_(const quarn_record_t *rec, size_t size)
{
    if (t_sending)
        return _count_loss_({-1, EDEADLK, false});
    const sending_mark mark;
    mutex_guard hold(g_conn.lock);
    return _send_record_locked_(rec, size);
}

// At exit, records lost and not yet reported are reported if the server
// takes the line at once; nothing waits, and a connection held by another
// thread (or a thread that ended in its send) is left alone.
[[gnu::destructor]] void _report_at_exit_()
{
    const uint32_t lost = g_lost.count.load(std::memory_order_relaxed);
    if (lost == 0 || t_sending || pthread_mutex_trylock(&g_conn.lock) != 0)
        return;
    if (g_conn.fd < 0)
        g_conn.fd = bsp_quarn_socket_client_create();
    if (g_conn.fd >= 0)
        _send_lost_line_(lost);
    pthread_mutex_unlock(&g_conn.lock);
}

// Copies text with its NUL into buf of size bytes after zeroing it; refuses
// (message printed, buf left zeroed) when it does not fit whole.  what names
// the size in the message.
void _copy_text_(char *buf, int size, const char *text, const char *what)
{
    const size_t room = size > 0 ? static_cast<size_t>(size) : 0;
    std::memset(buf, 0, room);
    const size_t len = std::strlen(text);
    if (len >= room) {
        printf("error, len(%d) > %s(%d)", static_cast<int>(len), what, size);
        return;
    }
    std::memcpy(buf, text, len + 1);
}

} // namespace

void quarn_msg_write_with_type(int origin, int level, const char *tag, const char *fmt, ...)
{
    // A log call leaves errno as it found it: callers log from error paths
    // and signal handlers, where errno still matters to the code around.
    struct errno_keeper {
        const int saved = errno;
        ~errno_keeper() { errno = saved; }
    } const keep;
    if (tag == nullptr || fmt == nullptr)
        return;
    if (_dropped_(origin, level))
        return;
    quarn_record_t rec; // only the bytes that go out are written
    va_list args;
    va_start(args, fmt);
    const size_t len = _fill_text_(&rec, level, tag, fmt, args);
    va_end(args);
    _fill_head_(&rec.head, origin, level, tag, len);
    _print_loss_(_send_record_(&rec, sizeof rec.head + len)); // printed once per run of losses
}

void quarn_get_version(char *ver, int ver_len, char *bld, int bld_len)
{
    if (ver != nullptr)
        _copy_text_(ver, ver_len, QUARN_VERSION_TEXT, "ver_len");
    if (bld != nullptr)
        _copy_text_(bld, bld_len, QUARN_BUILD_TEXT, "bld_len");
}

uint64_t quarn_sender_lost()
{
    return g_lost.total.load(std::memory_order_relaxed);
}

bool quarn_sender_connected()
{
    mutex_guard hold(g_conn.lock);
    return g_conn.fd >= 0;
}
