// The baseline receiver: what one thread does with the bare system calls,
// so that quarn's figures have something to stand beside.  epoll over the
// listener, the connections and SIGTERM; 64 KiB reads; records framed by
// their header; the text gathered into 64 KiB batches, each written and then
// forced to disk as the log file store does.  A "sync" command record or
// SIGTERM writes out the batch, so that nothing sent is left behind.
#include "burst_common.h"

#include <sys/epoll.h>
#include <sys/signalfd.h>

#include <map>

namespace burst {
namespace {

constexpr size_t CHUNK = 65536;     // read and batch size
constexpr int RCVBUF = 1048576;     // the server's listening options
constexpr int BACKLOG = SOMAXCONN;

// One accepted connection: bytes read and not yet framed.  Room for a read
// beside the longest partial record.
struct conn {
    std::vector<uint8_t> buf = std::vector<uint8_t>(CHUNK + QUARN_MSG_HEAD_LEN + 65535);
    size_t have = 0;
};

int out_fd = -1;                    // the log file
bool force = true;                  // fsync after every batch
std::vector<char> batch(CHUNK);     // text waiting for its write
size_t used = 0;                    // bytes of batch in use

void flush()
{
    for (size_t done = 0; done < used;) {
        const ssize_t n = write(out_fd, batch.data() + done, used - done);
        if (n < 0 && errno != EINTR)
            die_errno("baseline write");
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (used && force)
        fsync(out_fd);
    used = 0;
}

// Handles the whole records at the front of p[0, n) and returns the bytes
// used; bytes that do not start a record are skipped one at a time.
size_t frame(const uint8_t *p, size_t n)
{
    size_t pos = 0;
    for (quarn_msg_head_t head; n - pos >= QUARN_MSG_HEAD_LEN;) {
        memcpy(&head, p + pos, sizeof head);
        const uint8_t *text = p + pos + QUARN_MSG_HEAD_LEN;
        const size_t size = QUARN_MSG_HEAD_LEN + head.len;
        if (head.magic != QUARN_MSG_MAGIC) {
            ++pos;
            continue;
        }
        if (n - pos < size)
            break;
        if (head.level != QUARN_LEVEL_CMD) {
            if (used + head.len > batch.size())
                flush();
            memcpy(batch.data() + used, text, head.len);
            used += head.len;
        } else if (head.len == 4 && memcmp(text, "sync", 4) == 0) {
            flush();
        }
        pos += size;
    }
    return pos;
}

// One read; false once the connection is over.
bool on_readable(int fd, conn &c)
{
    const ssize_t n = read(fd, c.buf.data() + c.have, CHUNK);
    if (n <= 0)
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    c.have += static_cast<size_t>(n);
    const size_t done = frame(c.buf.data(), c.have);
    memmove(c.buf.data(), c.buf.data() + done, c.have - done);
    c.have -= done;
    return true;
}

void watch(int ep, int fd)
{
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) < 0)
        die_errno("epoll_ctl");
}

} // namespace

int baseline_receiver_main(const char *path, bool force_batches)
{
    force = force_batches;
    out_fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out_fd < 0)
        die_errno(std::string("open ") + path);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, nullptr);
    const int sig = signalfd(-1, &term, SFD_CLOEXEC);
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_un addr = server_addr();
    if (listener < 0 || bind(listener, reinterpret_cast<const sockaddr *>(&addr), SOCK_ADDR_LEN) < 0)
        die_errno("baseline bind");
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &RCVBUF, sizeof RCVBUF);
    if (listen(listener, BACKLOG) < 0)
        die_errno("baseline listen");
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    watch(ep, sig);
    watch(ep, listener);
    std::map<int, conn> conns;
    for (;;) {
        epoll_event evs[64];
        const int n = epoll_wait(ep, evs, 64, -1);
        for (int i = 0; i < n; ++i) {
            const int fd = evs[i].data.fd;
            if (fd == sig) {
                flush();
                return 0;
            }
            if (fd == listener) {
                const int c = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (c >= 0) {
                    conns[c];
                    watch(ep, c);
                }
            } else if (!on_readable(fd, conns[fd])) {
                conns.erase(fd);
                close(fd); // which also takes it out of the epoll set
            }
        }
    }
}

} // namespace burst
