// The acceptor and the receive threads: every connection gets a thread of
// its own that frames records off the stream into the ring buffer.
#include "quarn_server.h"

#include "fault_stack.h"
#include "loss.h"
#include "quarn.h"
#include "reader.h"
#include "ring_buffer.h"
#include "socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

int g_listen_fd = -1; // the listening socket; main thread only

namespace {

// The connections being served, so that a stop can end each one's reading
// once its socket buffer is empty.
struct conn_table_t {
    std::mutex lock;
    std::condition_variable changed; // a connection ended, or the acceptor closed
    std::vector<int> fds;            // served connections; guarded by lock
    bool accepting = true;           // the listening socket is open; guarded by lock
};
conn_table_t g_conns;
int g_stop_fd = -1; // eventfd: the acceptor is to take what waits in the backlog and close

void _conn_add_(int fd)
{
    const std::lock_guard hold(g_conns.lock);
    g_conns.fds.push_back(fd);
}

// Leaves the table before the descriptor is closed, so that a stop never
// shuts down a number the system has given to another file meanwhile.
void _conn_remove_(int fd)
{
    const std::lock_guard hold(g_conns.lock);
    std::erase(g_conns.fds, fd);
    g_conns.changed.notify_all();
}

// A receive thread's deepest path is the C library's printf under the ring
// buffer's "full" message, a few KiB; 64 KiB leaves room for a sanitizer's
// larger frames, and the fault handler's own stack comes on top.  With the
// default 8 MiB, a 32-bit board's address space held only a few hundred
// connections.
constexpr size_t QUARN_RECV_STACK_SIZE = 64 * 1024 + QUARN_FAULT_STACK_SIZE;

// The reader hands out records only from the record marker on, so the
// origin code alone decides.
bool _record_kept_(const uint8_t *rec)
{
    const uint16_t type = quarn_record_type(rec);
    return type == QUARN_TYPE_APP || type == QUARN_TYPE_BSP || type == QUARN_TYPE_DSP;
}

// How many records dropping this one loses: 1, or for a client's own loss
// line ("[stamp][WARN][quarn]N records lost: ...") the N it reported, which
// would otherwise vanish with it.
uint64_t _records_in_(const uint8_t *rec, int n)
{
    quarn_msg_head_t head;
    memcpy(&head, rec, sizeof head);
    constexpr std::string_view prefix = "[WARN][quarn]", words = " records lost: ";
    constexpr size_t stamp = 21;
    const std::string_view text(reinterpret_cast<const char *>(rec) + QUARN_MSG_HEAD_LEN, n - QUARN_MSG_HEAD_LEN);
    if (head.level != QUARN_LEVEL_WARN || strncmp(head.name, "quarn", sizeof head.name) != 0 ||
        text.size() < stamp + prefix.size() || text.substr(stamp, prefix.size()) != prefix)
        return 1;
    uint64_t count = 0;
    size_t at = stamp + prefix.size();
    for (; at < text.size() && at < stamp + prefix.size() + 10 && text[at] >= '0' && text[at] <= '9'; ++at)
        count = count * 10 + static_cast<uint64_t>(text[at] - '0');
    return text.substr(at, words.size()) == words && count > 0 ? count : 1;
}

// Records of one receive handed to the ring together; 128 of 161 bytes
// make a lock acquisition serve about 20 KiB, and the array stays small on
// the receive thread's 64 KiB stack.
constexpr int QUARN_RECV_BATCH = 128;

// Stores the kept records of a batch under one lock of the ring; what does
// not fit is lost and counted record by record, as a single write would.
void _store_batch_(quarn_cb_rec_t *recs, int count)
{
    if (count == 0 || bsp_quarn_cb_write_batch(recs, count) == 0)
        return;
    for (int i = 0; i < count; ++i) {
        if (recs[i].result != 0)
            loss_count(QUARN_LOSS_RING, _records_in_(static_cast<const uint8_t *>(recs[i].src), recs[i].len));
    }
}

// Reads the connection's next records, waiting for the first, and hands
// every whole one already received with it to the ring (a full batch at a
// time): -1 once the connection is over, 0 after records were stored,
// dropped or refused.
int receive_records(quarn_reader_t *reader)
{
    const uint8_t *rec = nullptr;
    int n = quarn_reader_next(reader, QUARN_MSG_RECV_LEN, &rec);
    if (n < 0) {
        puts("client is close ");
        return -1;
    }
    quarn_cb_rec_t recs[QUARN_RECV_BATCH];
    int count = 0;
    uint64_t refused = 0;
    for (; n > 0; n = quarn_reader_next_buffered(reader, QUARN_MSG_RECV_LEN, &rec)) {
        if (!_record_kept_(rec)) {
            ++refused;
            continue;
        }
        recs[count++] = quarn_cb_rec_t{rec, n, 0};
        if (count == QUARN_RECV_BATCH) {
            _store_batch_(recs, count);
            count = 0;
        }
    }
    _store_batch_(recs, count);
    if (reader->skipped > 0) {
        loss_count(QUARN_LOSS_TOO_LONG, reader->skipped);
        loss_cleared(QUARN_LOSS_TOO_LONG); // nothing to wait for: report it with the next chores
        reader->skipped = 0;
    }
    if (refused > 0)
        g_counters.refused.fetch_add(refused, std::memory_order_relaxed);
    return 0;
}

void *receive_thread_main(void *arg)
{
    const fault_stack own_stack;
    const int fd = *static_cast<int *>(arg);
    free(arg);
    if (prctl(PR_SET_NAME, "quarn_sv_rv") == -1)
        printf("%s:%d, set thread_name err!   errno = %d\n", "_msg_recv_thread_", 169, errno);
    g_counters.conn_open.fetch_add(1, std::memory_order_relaxed);
    {
        quarn_reader_t reader;
        if (quarn_reader_init(&reader, fd) == 0) {
            while (receive_records(&reader) >= 0) {
            }
        } else {
            loss_count(QUARN_LOSS_CONNECTIONS, 1, ENOMEM);
            puts("client is close ");
        }
    }
    _conn_remove_(fd);
    close(fd);
    g_counters.conn_open.fetch_sub(1, std::memory_order_relaxed);
    pthread_detach(pthread_self());
    return nullptr;
}

void _start_receive_thread_(int fd)
{
    g_counters.conn_total.fetch_add(1, std::memory_order_relaxed);
    auto *cell = static_cast<int *>(malloc(sizeof(int)));
    if (!cell) {
        printf("%s:malloc failed!\n", "_create_new_recv_thread_");
        loss_count(QUARN_LOSS_CONNECTIONS, 1, ENOMEM);
        close(fd);
        return;
    }
    *cell = fd;
    _conn_add_(fd);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, QUARN_RECV_STACK_SIZE);
    pthread_t tid;
    if (const int rc = pthread_create(&tid, &attr, receive_thread_main, cell); rc != 0) {
        free(cell);
        _conn_remove_(fd);
        close(fd); // a connection nobody serves would only fill up
        loss_count(QUARN_LOSS_CONNECTIONS, 1, rc);
    } else {
        loss_cleared(QUARN_LOSS_CONNECTIONS);
    }
    pthread_attr_destroy(&attr);
}

// Failures that a later accept may not repeat if we give the system a
// moment; retrying them at once would spin a core.
bool _accept_needs_pause_(int err)
{
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

} // namespace

int quarn_listen()
{
    if (g_listen_fd < 0)
        g_listen_fd = bsp_quarn_socket_server_create();
    return g_listen_fd < 0 ? -1 : 0;
}

// Accepts every connection that waits; false once the listening socket
// has nothing more.
void _accept_waiting_()
{
    for (;;) {
        const int fd = accept4(g_listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            _start_receive_thread_(fd);
        } else if (errno == EINTR || errno == ECONNABORTED) {
            continue;
        } else {
            if (_accept_needs_pause_(errno)) {
                const timespec pause{0, 100 * 1000 * 1000};
                nanosleep(&pause, nullptr);
            }
            return;
        }
    }
}

int accept_loop()
{
    if (quarn_listen() < 0 || (g_stop_fd = eventfd(0, EFD_CLOEXEC)) < 0)
        return -1;
    fcntl(g_listen_fd, F_SETFL, fcntl(g_listen_fd, F_GETFL) | O_NONBLOCK);
    pollfd fds[] = {{g_listen_fd, POLLIN, 0}, {g_stop_fd, POLLIN, 0}};
    while (poll(fds, 2, -1) < 0 || !(fds[1].revents & POLLIN))
        _accept_waiting_();
    // A client whose connect went through before the stop has its records
    // in its connection already: take every one still in the backlog.
    _accept_waiting_();
    close(g_listen_fd);
    {
        const std::lock_guard hold(g_conns.lock);
        g_conns.accepting = false;
        g_conns.changed.notify_all();
    }
    for (;;)
        pause(); // the stop ends the process
}

bool accept_stop(int wait_ms)
{
    const uint64_t one = 1;
    std::unique_lock hold(g_conns.lock);
    if (g_stop_fd < 0 || write(g_stop_fd, &one, sizeof one) < 0)
        return false;
    if (!g_conns.changed.wait_for(hold, std::chrono::milliseconds(wait_ms), [] { return !g_conns.accepting; }))
        return false;
    // Each receive thread reads what its connection holds, then meets its end.
    for (const int fd : g_conns.fds)
        shutdown(fd, SHUT_RD);
    return true;
}

bool connections_wait_ended(int wait_ms)
{
    std::unique_lock hold(g_conns.lock);
    return g_conns.changed.wait_for(hold, std::chrono::milliseconds(wait_ms), [] { return g_conns.fds.empty(); });
}
