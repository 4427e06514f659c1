// The acceptor and the receive threads: a connection is handed at its
// accept to one of a few receive threads, which waits on all of its
// connections at once and frames the records each brings into the ring
// buffer, a connection's receive at a time.  A thread per connection woke
// once per small receive; with many senders those wake-ups cost more than
// the records, and each thread's stack and buffer kept the memory of a
// burst long after it.
#include "quarn_server.h"

#include "fault_stack.h"
#include "loss.h"
#include "quarn.h"
#include "reader.h"
#include "result.h"
#include "ring_buffer.h"
#include "socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

int g_listen_fd = -1; // the listening socket; main thread only

namespace {

inline constexpr int QUARN_CONN_SLOTS = 2048;    // connections served, and ended ones whose records still wait
inline constexpr uint32_t QUARN_CONN_MAX = 1000; // connections served at once
inline constexpr uint32_t QUARN_CONN_PER_USER = 64; // of them, of one unprivileged user

// One connection, from its accept until the print thread has dispatched
// its last record: a record in the ring names its slot, so the slot is not
// given to another connection before then.  A slot starts as all zero
// bytes, so the table's pages stay untouched until connections use them.
struct conn_slot_t {
    bool serving = false;             // fd is a connection; false once it ended; guarded by g_conns.lock
    int fd = 0;                       // while serving; guarded by g_conns.lock
    quarn_peer_t peer{};              // who is on the other end; fixed while the slot is in use
    std::atomic<uint32_t> holding{0}; // bytes of its records in the ring, not yet dispatched
    uint32_t serial = 0;              // connections the slot has served; guarded by g_conns.lock
    uint32_t carry_len = 0;           // bytes in carry (beside serial, so the slot has no padding)
    std::unique_ptr<uint8_t[]> carry; // between turns, the start of a record still coming
    std::optional<quarn_reader_t> reader; // the connection's framing; its receive thread's alone
};

// The connections being served, so that a stop can end each one's reading
// once its socket buffer is empty.
struct conn_table_t {
    std::mutex lock;
    std::condition_variable changed; // a connection ended, or the acceptor closed
    uint32_t open = 0;               // slots with a connection; guarded by lock
    bool accepting = true;           // the listening socket is open; guarded by lock
    uint32_t refused_uids[64]{};     // users told about already that they may not command
    size_t refused_count = 0;        // guarded by lock
};
conn_table_t g_conns;
// Apart from the table and constant-initialised, so that no constructor
// writes its 2048 slots (160 KiB): a new connection takes the lowest free
// slot, and the pages touched are those of the most connections at once.
constinit conn_slot_t g_slots[QUARN_CONN_SLOTS];
// eventfd: the acceptor is to take what waits in the backlog and close.
int g_stop_fd = -1;

// A free slot for a connection of peer, or -1 (errno EUSERS, EMFILE) when
// the limits refuse it.  Privileged users have no per-user limit: on a
// board they run most programs.
int _conn_add_(int fd, const quarn_peer_t &peer)
{
    const std::lock_guard hold(g_conns.lock);
    uint32_t mine = 0;
    int free_slot = -1;
    for (int at = 0; at < QUARN_CONN_SLOTS; ++at) {
        const conn_slot_t &slot = g_slots[at];
        if (slot.serving)
            mine += slot.peer.uid == peer.uid;
        else if (free_slot < 0 && slot.holding.load(std::memory_order_acquire) == 0) // see conn_dispatched
            free_slot = at;
    }
    errno = g_conns.open >= QUARN_CONN_MAX || free_slot < 0 ? EMFILE : EUSERS;
    if (g_conns.open >= QUARN_CONN_MAX || free_slot < 0 || (!peer.privileged && mine >= QUARN_CONN_PER_USER))
        return -1;
    conn_slot_t &slot = g_slots[free_slot];
    slot.serving = true, slot.fd = fd;
    slot.peer = peer;
    ++slot.serial;
    ++g_conns.open;
    return free_slot;
}

// Leaves the table before the descriptor is closed, so that a stop never
// shuts down a number the system has given to another file meanwhile.
void _conn_remove_(int slot)
{
    const std::lock_guard hold(g_conns.lock);
    g_slots[slot].serving = false;
    --g_conns.open;
    g_conns.changed.notify_all();
}

// True the first time a user's command is refused: one line per user tells
// the server's output about it, however often it tries.
bool _first_refusal_(uint32_t uid)
{
    const std::lock_guard hold(g_conns.lock);
    const auto end = g_conns.refused_uids + g_conns.refused_count;
    if (std::find(g_conns.refused_uids, end, uid) != end)
        return false;
    if (g_conns.refused_count < std::size(g_conns.refused_uids))
        g_conns.refused_uids[g_conns.refused_count++] = uid;
    return true;
}

// A receive thread's deepest path is the C library's printf under the ring
// buffer's "full" message, a few KiB; 64 KiB leaves room for a sanitizer's
// larger frames, and the fault handler's own stack comes on top.
constexpr size_t QUARN_RECV_STACK_SIZE = 64 * 1024 + QUARN_FAULT_STACK_SIZE;

// Receive threads, each serving every connection whose slot falls to it.
// Four rather than two: while a burst's senders crowd the cores, the
// scheduler gives the server a share by its runnable threads, and with two
// a burst of 16 senders lost 72 % against 59 % (five runs each).
constexpr int QUARN_RECV_THREADS = 4;
// Ready connections taken from the kernel per wait.
constexpr int QUARN_RECV_EVENTS = 64;
int g_recv_epoll[QUARN_RECV_THREADS] = {-1, -1, -1, -1}; // each receive thread's epoll; set before any accept

// The reader hands out records only from the record marker on, so the
// origin code alone decides.
bool _record_kept_(const uint8_t *rec)
{
    const uint16_t type = quarn_record_type(rec);
    return type == QUARN_TYPE_APP || type == QUARN_TYPE_BSP || type == QUARN_TYPE_DSP;
}

// How many records dropping this one loses: 1, or for a client's own loss
// line ("[stamp][WARN][quarn]N records lost: ...") the N it reported, which
// would otherwise vanish with it.  Only a privileged sender's count is
// believed: anyone could write such a line.
uint64_t _records_in_(const uint8_t *rec, int n, bool privileged)
{
    quarn_msg_head_t head;
    memcpy(&head, rec, sizeof head);
    constexpr std::string_view prefix = "[WARN][quarn]", words = " records lost: ";
    constexpr size_t stamp = 21;
    const std::string_view text(reinterpret_cast<const char *>(rec) + QUARN_MSG_HEAD_LEN, n - QUARN_MSG_HEAD_LEN);
    if (!privileged || head.level != QUARN_LEVEL_WARN || memcmp(head.name, "quarn", sizeof "quarn") != 0 ||
        text.size() < stamp + prefix.size() || text.substr(stamp, prefix.size()) != prefix)
        return 1;
    uint64_t count = 0;
    size_t at = stamp + prefix.size();
    for (; at < text.size() && at < stamp + prefix.size() + 10 && text[at] >= '0' && text[at] <= '9'; ++at)
        count = count * 10 + static_cast<uint64_t>(text[at] - '0');
    return text.substr(at, words.size()) == words && count > 0 ? count : 1;
}

// A reader buffer: a record the server keeps and room to receive a few
// dozen more beside it.  A receive thread lends its buffer to the
// connection it serves for one turn; what the turn leaves of a record not
// yet whole (less than a kept record) waits in a carry of its own size.  A
// buffer per connection instead held 2 MiB for a burst of 256 senders.
constexpr uint32_t QUARN_RECV_BUF_LEN = 8 * 1024;

using byte_buffer = std::unique_ptr<uint8_t[]>;

byte_buffer _alloc_(uint32_t len)
{
    return byte_buffer(new (std::nothrow) uint8_t[len]);
}

// Gives the connection a reader buffer for its turn: the thread's spare or
// a new one, holding what the last turn left.  False without memory.
bool _lend_buffer_(conn_slot_t &at, byte_buffer &spare)
{
    quarn_reader_t &r = *at.reader;
    if (r.buf)
        return true; // kept from a turn whose rest found no memory for a carry
    r.buf = spare ? std::move(spare) : _alloc_(QUARN_RECV_BUF_LEN);
    if (!r.buf)
        return false;
    r.len = QUARN_RECV_BUF_LEN;
    r.head = 0, r.tail = at.carry_len;
    if (at.carry_len > 0)
        memcpy(r.buf.get(), at.carry.get(), at.carry_len);
    at.carry.reset(), at.carry_len = 0;
    return true;
}

// Takes the buffer back after a turn, moving what is left of a record into
// the carry; with no memory for that, the connection keeps the buffer.
void _take_buffer_back_(conn_slot_t &at, byte_buffer &spare)
{
    quarn_reader_t &r = *at.reader;
    const uint32_t left = r.tail - r.head;
    if (left > 0) {
        at.carry = _alloc_(left);
        if (!at.carry)
            return;
        memcpy(at.carry.get(), r.buf.get() + r.head, left);
        at.carry_len = left;
    }
    if (!spare)
        spare = std::move(r.buf);
    r.buf.reset(), r.len = 0, r.head = r.tail = 0;
}

// Records of one receive handed to the ring together; 128 of 161 bytes
// make a lock acquisition serve about 20 KiB, and the array stays small on
// the receive thread's 64 KiB stack.
constexpr int QUARN_RECV_BATCH = 128;

// What a receive thread knows of its connection.
struct conn_ref_t {
    int fd;
    int slot;
    const quarn_peer_t &peer;
};

// Stores the kept records of a batch under one lock of the ring; what does
// not fit, or goes beyond the sender's share, is lost and counted record by
// record, as a single write would.
void _store_batch_(quarn_cb_rec_t *recs, int count, const conn_ref_t &conn)
{
    const quarn_cb_sender_t sender{&g_slots[conn.slot].holding, g_counters.conn_open.load()};
    if (count == 0 || bsp_quarn_cb_write_batch(recs, count, &sender) == 0)
        return;
    for (int i = 0; i < count; ++i) {
        if (recs[i].result != 0)
            loss_count(recs[i].result == QUARN_E_BUSY ? QUARN_LOSS_SHARE : QUARN_LOSS_RING,
                       _records_in_(static_cast<const uint8_t *>(recs[i].src), recs[i].len, conn.peer.privileged));
    }
}

void _send_reply_(int fd, const char *line)
{
    send(fd, line, strlen(line), MSG_DONTWAIT | MSG_NOSIGNAL); // a peer that does not read loses it
}

// Readies a kept record's ring copy, in the reader's buffer: it names its
// connection's slot, and takes back from an unprivileged sender what it may
// not claim: a DSP or BSP origin (the line is stored as an application
// line, tag and text unchanged) and a command (refused, nothing else
// happens).  False when the record goes no further.
bool _vet_record_(uint8_t *rec, const conn_ref_t &conn)
{
    quarn_msg_head_t head;
    memcpy(&head, rec, sizeof head);
    const bool command = static_cast<uint32_t>(head.level) == QUARN_LEVEL_CMD;
    const bool wants_reply = head.name[QUARN_MSG_NAME_LEN - 1] != 0;
    if (!conn.peer.privileged && command) {
        g_counters.commands_refused.fetch_add(1, std::memory_order_relaxed);
        if (_first_refusal_(conn.peer.uid))
            printf("command from pid %d (uid %u) refused: only root, the server's user and the admin group "
                   "command the server\n",
                   conn.peer.pid, conn.peer.uid);
        if (wants_reply)
            _send_reply_(conn.fd, "refused\n");
        return false;
    }
    if (!conn.peer.privileged && head.type != QUARN_TYPE_APP) {
        constexpr uint16_t app = QUARN_TYPE_APP;
        memcpy(rec + offsetof(quarn_msg_head_t, type), &app, sizeof app);
    }
    if (command)
        rec[QUARN_REPLY_AT] = wants_reply;
    const auto slot = static_cast<uint16_t>(conn.slot);
    memcpy(rec + QUARN_SLOT_AT, &slot, sizeof slot);
    return true;
}

// Takes what the connection has queued (one receive call) and hands every
// whole record in it to the ring, a full batch at a time: -1 once the
// connection is over, 0 otherwise.  One receive a turn keeps a flooding
// connection from holding back the others of its thread.
int receive_records(quarn_reader_t *reader, const conn_ref_t &conn)
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
        if (!_vet_record_(const_cast<uint8_t *>(rec), conn))
            continue;
        recs[count++] = quarn_cb_rec_t{rec, n, 0};
        if (count == QUARN_RECV_BATCH) {
            _store_batch_(recs, count, conn);
            count = 0;
        }
    }
    _store_batch_(recs, count, conn);
    if (reader->skipped > 0) {
        loss_count(QUARN_LOSS_TOO_LONG, reader->skipped);
        loss_cleared(QUARN_LOSS_TOO_LONG); // nothing to wait for: report it with the next chores
        reader->skipped = 0;
    }
    if (refused > 0)
        g_counters.refused.fetch_add(refused, std::memory_order_relaxed);
    return 0;
}

// Ends a connection its receive thread has served to the end.
void _conn_end_(int slot, int epoll_fd)
{
    conn_slot_t &at = g_slots[slot];
    const int fd = at.reader->fd;
    epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
    at.reader.reset();
    at.carry.reset(), at.carry_len = 0;
    _conn_remove_(slot);
    close(fd);
    g_counters.conn_open.fetch_sub(1, std::memory_order_relaxed);
}

void *receive_thread_main(void *arg)
{
    const fault_stack own_stack;
    const int epoll_fd = g_recv_epoll[reinterpret_cast<intptr_t>(arg)];
    if (prctl(PR_SET_NAME, "quarn_sv_rv") == -1)
        printf("%s:%d, set thread_name err!   errno = %d\n", "_msg_recv_thread_", 169, errno);
    epoll_event ready[QUARN_RECV_EVENTS];
    byte_buffer spare = _alloc_(QUARN_RECV_BUF_LEN);
    for (;;) {
        const int n = epoll_wait(epoll_fd, ready, QUARN_RECV_EVENTS, -1);
        for (int i = 0; i < n; ++i) {
            const int slot = static_cast<int>(ready[i].data.u32);
            conn_slot_t &at = g_slots[slot];
            if (!_lend_buffer_(at, spare)) {
                loss_count(QUARN_LOSS_CONNECTIONS, 1, ENOMEM);
                _conn_end_(slot, epoll_fd);
            } else if (receive_records(&*at.reader, conn_ref_t{at.reader->fd, slot, at.peer}) < 0) {
                _conn_end_(slot, epoll_fd);
            } else {
                _take_buffer_back_(at, spare);
            }
        }
    }
}

// Starts the receive threads; false (said why) when the system has none to give.
bool _start_receive_threads_()
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, QUARN_RECV_STACK_SIZE);
    bool started = true;
    for (intptr_t i = 0; i < QUARN_RECV_THREADS && started; ++i) {
        pthread_t tid;
        g_recv_epoll[i] = epoll_create1(EPOLL_CLOEXEC);
        if (g_recv_epoll[i] < 0)
            perror("epoll_create1"), started = false;
        else if (const int rc = pthread_create(&tid, &attr, receive_thread_main, reinterpret_cast<void *>(i)); rc != 0)
            printf("receive thread: %s\n", strerror(rc)), started = false;
    }
    pthread_attr_destroy(&attr);
    return started;
}

// A connection nobody serves would only fill up: it is closed at once.
void _shed_(int fd, int err)
{
    close(fd);
    loss_count(QUARN_LOSS_CONNECTIONS, 1, err);
}

// Hands a new connection to its receive thread, which serves it from now on.
void _serve_(int fd)
{
    g_counters.conn_total.fetch_add(1, std::memory_order_relaxed);
    quarn_peer_t peer{};
    if (!peer_of(fd, &peer))
        return _shed_(fd, errno);
    const int slot = _conn_add_(fd, peer);
    if (slot < 0)
        return _shed_(fd, errno);
    conn_slot_t &at = g_slots[slot];
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(slot);
    at.reader.emplace().fd = fd; // its buffer is lent at each turn
    g_counters.conn_open.fetch_add(1, std::memory_order_relaxed); // before its thread may end it
    if (epoll_ctl(g_recv_epoll[slot % QUARN_RECV_THREADS], EPOLL_CTL_ADD, fd, &ev) != 0) {
        const int err = errno;
        g_counters.conn_open.fetch_sub(1, std::memory_order_relaxed);
        _conn_remove_(slot);
        return _shed_(fd, err);
    }
    loss_cleared(QUARN_LOSS_CONNECTIONS);
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
    // Made here, before any other thread runs, since a stop signal may
    // come before the accept loop does.
    if (g_stop_fd < 0)
        g_stop_fd = eventfd(0, EFD_CLOEXEC);
    if (g_listen_fd >= 0 && g_stop_fd >= 0)
        return 0;
    if (g_listen_fd >= 0) {
        perror("eventfd");
        return -1;
    }
    // Someone has the name: say who, as far as its credentials tell.
    int pid = 0;
    unsigned uid = 0;
    if (quarn_socket_holder(&pid, &uid) == 0)
        printf("the socket name @%s is taken by pid %d (uid %u); is another server running?\n", QUARN_SOCK_PATH, pid,
               uid);
    else
        printf("the socket name @%s is taken\n", QUARN_SOCK_PATH);
    return -1;
}

// Accepts every connection that waits; false once the listening socket
// has nothing more.
void _accept_waiting_()
{
    for (;;) {
        const int fd = accept4(g_listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            _serve_(fd);
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
    if (quarn_listen() < 0 || !_start_receive_threads_())
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
    for (const conn_slot_t &slot : g_slots)
        if (slot.serving)
            shutdown(slot.fd, SHUT_RD);
    return true;
}

bool connections_wait_ended(int wait_ms)
{
    std::unique_lock hold(g_conns.lock);
    return g_conns.changed.wait_for(hold, std::chrono::milliseconds(wait_ms), [] { return g_conns.open == 0; });
}

const quarn_peer_t &conn_peer(uint16_t slot)
{
    return g_slots[slot % QUARN_CONN_SLOTS].peer;
}

void conn_dispatched(uint16_t slot, uint32_t bytes)
{
    // Release: the print thread's last reads of the slot's peer come before
    // the acceptor, seeing nothing held, gives the slot to a new connection.
    g_slots[slot % QUARN_CONN_SLOTS].holding.fetch_sub(bytes, std::memory_order_release);
}

uint32_t conn_serial(uint16_t slot)
{
    const std::lock_guard hold(g_conns.lock);
    return g_slots[slot % QUARN_CONN_SLOTS].serial;
}

void conn_reply(uint16_t slot, uint32_t serial, const char *line)
{
    const std::lock_guard hold(g_conns.lock); // the receive thread leaves the slot before it closes
    const conn_slot_t &at = g_slots[slot % QUARN_CONN_SLOTS];
    if (at.serving && at.serial == serial)
        _send_reply_(at.fd, line);
}
