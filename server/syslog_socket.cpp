// The system log socket: a Unix datagram socket at QUARN_SYSLOG (/dev/log
// by convention) whose receive thread turns what syslog(3), logger and
// RFC 5424 senders write into records of the ring buffer, so that they are
// shown, stored, read, forwarded and counted like a client's lines.
#include "quarn_server.h"

#include "loss.h"
#include "ring_buffer.h"
#include "syslog_parse.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int QUARN_SYSLOG_BATCH = 32;         // datagrams taken from the kernel per call
constexpr size_t QUARN_SYSLOG_DGRAM_MAX = 8192; // bytes of a datagram kept; the rest is cut off
constexpr int QUARN_SYSLOG_RCVBUF = 4 << 20;    // asked of the kernel, so a burst waits there
constexpr int QUARN_SYSLOG_RECS = 256;          // records handed to the ring at once
constexpr size_t QUARN_SYSLOG_REC_BYTES = 64 * 1024; // their bytes at most
constexpr int QUARN_SYSLOG_STALL_MS = 2000;     // a full ring that does not drain for this long loses records
constexpr long QUARN_SYSLOG_PAUSE_START_NS = 20 * 1000; // between two looks at the queue during a burst
constexpr long QUARN_SYSLOG_PAUSE_MIN_NS = 5 * 1000;
constexpr long QUARN_SYSLOG_PAUSE_MAX_NS = 500 * 1000;
constexpr int QUARN_SYSLOG_NICE_RAISE = 10; // the receive thread's nice below the server's

int g_queue_len = 11; // datagrams the kernel queues before senders wait: net.unix.max_dgram_qlen + 1

int g_syslog_fd = -1; // bound by syslog_socket_open; the receive thread's afterwards

// What one receive call fills: the datagrams, their credentials, and the
// records made of them.  Static: only the receive thread touches them, and
// the pages a small datagram does not reach are never touched at all.
struct syslog_in_t {
    char data[QUARN_SYSLOG_BATCH][QUARN_SYSLOG_DGRAM_MAX];             // the datagrams
    alignas(cmsghdr) char ctl[QUARN_SYSLOG_BATCH][CMSG_SPACE(sizeof(ucred))]; // SCM_CREDENTIALS of each
    iovec iov[QUARN_SYSLOG_BATCH];                                     // one buffer per datagram
    mmsghdr msgs[QUARN_SYSLOG_BATCH];                                  // the receive call's table
    alignas(8) char recs[QUARN_SYSLOG_REC_BYTES];                      // records back to back
    quarn_cb_rec_t batch[QUARN_SYSLOG_RECS];                           // the records for the ring
};
syslog_in_t g_in;

// The receive time in the library's line layout, worked out once a second.
struct stamp_cache_t {
    time_t second = -1;                  // the time() value text belongs to
    char text[SYSLOG_STAMP_LEN + 1] = {}; // "[YYYY-MM-DD hh:mm:ss]" and a NUL
};

const char *_stamp_(stamp_cache_t &cache)
{
    const time_t now = time(nullptr);
    if (now != cache.second) {
        tm local{};
        localtime_r(&now, &local);
        strftime(cache.text, sizeof cache.text, "[%Y-%m-%d %H:%M:%S]", &local);
        cache.second = now;
    }
    return cache.text;
}

// The datagram's credentials; pid 0 and an unprivileged user when it has none.
ucred _sender_(msghdr &msg)
{
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
            ucred cred;
            memcpy(&cred, CMSG_DATA(c), sizeof cred);
            return cred;
        }
    }
    return ucred{0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
}

// Hands the records made so far to the ring.  A full ring is waited for
// while the print thread drains it: the datagrams not yet taken then wait
// in the kernel, and syslog(3) callers wait for room as they do for any
// syslog daemon.  Only a ring that stays full for QUARN_SYSLOG_STALL_MS
// loses the rest, counted as ring losses.  A smaller record may pass a
// refused larger one, as on a connection.
class ring_feed {
  public:
    void add(size_t size)
    {
        g_in.batch[count_++] = quarn_cb_rec_t{g_in.recs + used_, static_cast<int>(size), 0};
        used_ += (size + 7) & ~size_t{7};
        if (count_ == QUARN_SYSLOG_RECS || used_ + SYSLOG_RECORD_MAX > sizeof g_in.recs)
            flush();
    }
    char *next() { return g_in.recs + used_; }
    size_t bytes() const { return used_; }
    void flush()
    {
        int left = count_;
        uint32_t seen = g_dispatched.load(std::memory_order_relaxed);
        for (int still_ms = 0; left > 0;) {
            if (bsp_quarn_cb_write_batch(g_in.batch, left) == 0) {
                left = 0;
                break;
            }
            left = _keep_refused_(left);
            if (still_ms >= QUARN_SYSLOG_STALL_MS) {
                loss_count(QUARN_LOSS_RING, static_cast<uint64_t>(left));
                break;
            }
            const timespec pause{0, 1000 * 1000};
            nanosleep(&pause, nullptr);
            const uint32_t now = g_dispatched.load(std::memory_order_relaxed);
            still_ms = now == seen ? still_ms + 1 : 0;
            seen = now;
        }
        if (left == 0 && count_ > 0)
            loss_cleared(QUARN_LOSS_RING);
        count_ = 0, used_ = 0;
    }

  private:
    // Moves the refused records of the first n to the front; how many.
    static int _keep_refused_(int n)
    {
        int kept = 0;
        for (int i = 0; i < n; ++i)
            if (g_in.batch[i].result != 0)
                g_in.batch[kept++] = quarn_cb_rec_t{g_in.batch[i].src, g_in.batch[i].len, 0};
        return kept;
    }

    int count_ = 0;   // records in g_in.batch
    size_t used_ = 0; // bytes of g_in.recs they take
};

void _take_datagram_(ring_feed &feed, const char *data, size_t n, const ucred &from, const char *stamp)
{
    syslog_msg_t m;
    if (!syslog_parse(data, n, &m)) {
        g_counters.refused.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // The socket is open to every user: only the privileged may write kernel
    // lines into quarn.bsp; anyone else's "kern" is stored as "user".
    if (m.facility == 0 && !peer_privileged(from.uid, from.gid))
        m.facility = 1;
    const uint32_t pid = from.pid > 0 ? static_cast<uint32_t>(from.pid) : 0;
    size_t at = 0;
    do
        feed.add(syslog_record(m, stamp, pid, &at, feed.next()));
    while (at < m.msg.size());
}

void _prepare_(int i)
{
    g_in.iov[i] = iovec{g_in.data[i], QUARN_SYSLOG_DGRAM_MAX};
    msghdr &h = g_in.msgs[i].msg_hdr;
    h = msghdr{};
    h.msg_iov = &g_in.iov[i];
    h.msg_iovlen = 1;
    h.msg_control = g_in.ctl[i];
    h.msg_controllen = sizeof g_in.ctl[i];
}

// Takes what the kernel holds into feed, first waiting for a datagram if
// flags say so; how many datagrams there were, or -1 with errno when the
// first call failed.
int _drain_(ring_feed &feed, stamp_cache_t &stamp, int flags)
{
    int total = 0;
    for (;;) {
        for (int i = 0; i < QUARN_SYSLOG_BATCH; ++i)
            _prepare_(i);
        const int n = recvmmsg(g_syslog_fd, g_in.msgs, QUARN_SYSLOG_BATCH, flags, nullptr);
        if (n <= 0)
            return total > 0 || n == 0 || errno == EAGAIN ? total : -1;
        const char *now = _stamp_(stamp);
        for (int i = 0; i < n; ++i)
            _take_datagram_(feed, g_in.data[i], g_in.msgs[i].msg_len, _sender_(g_in.msgs[i].msg_hdr), now);
        total += n;
        if (n < QUARN_SYSLOG_BATCH)
            return total;
        flags = MSG_DONTWAIT;
    }
}

// Syslog(3) callers wait for this thread whenever the kernel's queue is
// full: at the priority of its senders it gets its share only after them,
// the queue stays full, and every datagram taken costs a wake-up of a
// sleeping sender.  Ahead of them it empties the queue as they fill it.
// Without the privilege to raise it the thread keeps the server's priority.
void _raise_priority_()
{
    const auto self = static_cast<id_t>(gettid());
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, self);
    if (errno == 0)
        setpriority(PRIO_PROCESS, self, std::max(nice - QUARN_SYSLOG_NICE_RAISE, -20));
}

void *syslog_thread_main(void *)
{
    prctl(PR_SET_NAME, "quarn_syslog");
    prctl(PR_SET_TIMERSLACK, 1000UL); // the pauses below are tens of microseconds
    _raise_priority_();
    stamp_cache_t stamp;
    ring_feed feed;
    long pause_ns = 0;      // 0: wait in the kernel for the next datagram
    int64_t held_since = 0; // when the oldest record not yet in the ring was taken; 0 none
    for (;;) {
        const int n = _drain_(feed, stamp, pause_ns == 0 ? MSG_WAITFORONE : MSG_DONTWAIT);
        const int err = errno; // the flush below may change it
        // The print thread stops waiting for signals only after a large
        // take: a burst's records go to the ring in pieces that large, so
        // that it is not woken once per look.  None waits here longer than
        // the print thread would linger.
        const int64_t now = quarn_now_ns();
        if (feed.bytes() == 0)
            held_since = 0; // what was taken is in the ring already
        else if (held_since == 0)
            held_since = now;
        if (n <= 0 || feed.bytes() >= QUARN_CB_LINGER_AFTER || now - held_since >= QUARN_CB_LINGER_NS) {
            feed.flush();
            held_since = 0;
        }
        if (n < 0) {
            pause_ns = 0;
            if (err != EINTR) { // no memory for the datagram: give the system a moment
                const timespec pause{0, 100 * 1000 * 1000};
                nanosleep(&pause, nullptr);
            }
            continue;
        }
        // A sender that finds the kernel's queue full sleeps until a
        // datagram is taken, and taking one wakes it: a wake-up per
        // datagram, for the sender and for this thread, as long as the
        // queue is full.  Waiting in the kernel for the next datagram costs
        // the same the other way round.  So while datagrams keep coming,
        // look again after a pause that lets the queue fill about three
        // quarters: then senders seldom sleep on it, and this thread never
        // does.  An empty look ends the burst.
        if (n == 0)
            pause_ns = 0;
        else if (pause_ns == 0)
            pause_ns = QUARN_SYSLOG_PAUSE_START_NS;
        else if (n >= g_queue_len) // it was full: senders may have slept
            pause_ns = std::max(pause_ns / 2, QUARN_SYSLOG_PAUSE_MIN_NS);
        else if (n < g_queue_len * 3 / 4)
            pause_ns = std::min(pause_ns + pause_ns / 4, QUARN_SYSLOG_PAUSE_MAX_NS);
        if (pause_ns > 0) {
            const timespec pause{0, pause_ns};
            nanosleep(&pause, nullptr);
        }
    }
}

// How many datagrams the kernel queues for the socket before a sender
// waits: one more than net.unix.max_dgram_qlen of the socket's namespace.
int _queue_len_()
{
    char text[16] = {};
    const int fd = open("/proc/sys/net/unix/max_dgram_qlen", O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
    if (fd >= 0)
        close(fd);
    const long qlen = n > 0 ? atoi(text) : 10; // an int in the kernel
    return static_cast<int>(std::clamp(qlen, 1L, 4096L)) + 1;
}

// Binds fd to addr, replacing a socket file that nobody serves.  0, or 1
// after saying why the path cannot be had.
int _bind_(int fd, const sockaddr_un &addr)
{
    const auto *a = reinterpret_cast<const sockaddr *>(&addr);
    if (bind(fd, a, sizeof addr) == 0)
        return 0;
    struct stat st;
    if (errno != EADDRINUSE || lstat(addr.sun_path, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        printf("system log socket %s: %s\n", addr.sun_path,
               errno == EADDRINUSE ? "exists and is not a socket" : strerror(errno));
        return 1;
    }
    const int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool served = probe >= 0 && (connect(probe, a, sizeof addr) == 0 || errno != ECONNREFUSED);
    if (probe >= 0)
        close(probe);
    if (served) {
        printf("system log socket %s: already served by another process\n", addr.sun_path);
        return 1;
    }
    if (unlink(addr.sun_path) != 0 || bind(fd, a, sizeof addr) != 0) {
        printf("system log socket %s: %s\n", addr.sun_path, strerror(errno));
        return 1;
    }
    return 0;
}

} // namespace

int syslog_socket_open()
{
    const char *path = getenv("QUARN_SYSLOG");
    if (!path || !*path)
        return 0;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path[0] != '/' || strlen(path) >= sizeof addr.sun_path) {
        printf("QUARN_SYSLOG=%s: an absolute path of at most %zu characters\n", path, sizeof addr.sun_path - 1);
        return 1;
    }
    memcpy(addr.sun_path, path, strlen(path));
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || _bind_(fd, addr) != 0) {
        if (fd < 0)
            printf("system log socket %s: %s\n", path, strerror(errno));
        else
            close(fd);
        return 1;
    }
    chmod(path, 0666); // every process may log, as to any system's /dev/log
    const int on = 1, size = QUARN_SYSLOG_RCVBUF;
    setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size); // capped by rmem_max without the privilege
    g_syslog_fd = fd;
    g_queue_len = _queue_len_();
    printf("system log socket %s\n", path);
    return 0;
}

void syslog_socket_start()
{
    pthread_t tid;
    if (g_syslog_fd >= 0 && pthread_create(&tid, nullptr, syslog_thread_main, nullptr) != 0)
        puts("system log socket: no thread to receive on it");
}
