// The acceptor and the receive threads: every connection gets a thread of
// its own that frames records off the stream into the ring buffer.
#include "quarn_server.h"

#include "loss.h"
#include "quarn.h"
#include "reader.h"
#include "ring_buffer.h"
#include "socket.h"

#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

int g_listen_fd = -1; // the listening socket; main thread only

namespace {

// A receive thread's deepest path is the C library's printf under the ring
// buffer's "full" message, a few KiB; 64 KiB leaves room for a sanitizer's
// larger frames.  With the default 8 MiB, a 32-bit board's address space
// held only a few hundred connections.
constexpr size_t QUARN_RECV_STACK_SIZE = 64 * 1024;

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
    if (refused > 0)
        g_counters.refused.fetch_add(refused, std::memory_order_relaxed);
    return 0;
}

void *receive_thread_main(void *arg)
{
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
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, QUARN_RECV_STACK_SIZE);
    pthread_t tid;
    if (const int rc = pthread_create(&tid, &attr, receive_thread_main, cell); rc != 0) {
        free(cell);
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

int accept_loop()
{
    if (quarn_listen() < 0)
        return -1;
    for (;;) {
        const int fd = accept4(g_listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            _start_receive_thread_(fd);
        } else if (_accept_needs_pause_(errno)) {
            const timespec pause{0, 100 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
}
