// Reader: 100,000 records of 140 bytes queued on a local stream connection,
// each put there by its own send call as a client does.  The connection's
// send buffer is raised with SO_SNDBUFFORCE (needs CAP_NET_ADMIN) so that the
// whole queue is in place before the clock runs; the reader is timed alone.
//
// Counters per record: receive calls, bytes copied (what recv copies out of
// the kernel, the bytes moved to the front of the reader's buffer, and the
// copy into the caller's buffer).
#include "reader.h"

#include "quarn.h"

#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

constexpr int kRecord = 140;
constexpr int kRecords = 100000;
constexpr int kQueueBytes = 256 << 20; // each small send is charged far more than its bytes

int64_t g_recv_calls = 0;                 // receive calls of the timed reader
int64_t g_recv_bytes = 0;                 // bytes they copied out of the kernel
int64_t g_moved_bytes = 0;                // bytes moved to the front of the buffer before a receive
const quarn_reader_t *g_watched = nullptr; // the reader whose moves are counted, when visible

} // namespace

// Counts the reader's receive calls on the way to the C library's recv.
extern "C" ssize_t recv(int fd, void *buf, size_t n, int flags)
{
    using recv_fn = ssize_t (*)(int, void *, size_t, int);
    static const auto real = reinterpret_cast<recv_fn>(dlsym(RTLD_NEXT, "recv"));
    // A receive into a buffer whose unconsumed bytes start at 0 follows a
    // move of those bytes (records of this size are always consumed first).
    if (g_watched != nullptr && g_watched->head == 0)
        g_moved_bytes += g_watched->tail;
    const ssize_t got = real(fd, buf, n, flags);
    ++g_recv_calls;
    if (got > 0)
        g_recv_bytes += got;
    return got;
}

namespace {

struct Connection {
    int fd[2] = {-1, -1}; // [0] read by the reader, [1] written by the "client"
    ~Connection()
    {
        close(fd[0]);
        close(fd[1]);
    }
};

// Queues kRecords records on c, one send each; false when they do not fit.
bool queue_records(const Connection &c)
{
    std::vector<uint8_t> rec(kRecord, 'x');
    quarn_msg_head_t h{};
    h.magic = QUARN_MSG_MAGIC;
    h.type = QUARN_TYPE_APP;
    h.len = kRecord - QUARN_MSG_HEAD_LEN;
    memcpy(rec.data(), &h, sizeof h);
    for (int i = 0; i < kRecords; ++i) {
        if (send(c.fd[1], rec.data(), kRecord, MSG_DONTWAIT | MSG_NOSIGNAL) != kRecord)
            return false;
    }
    return true;
}

bool open_connection(Connection *c)
{
    return socketpair(AF_UNIX, SOCK_STREAM, 0, c->fd) == 0 &&
           setsockopt(c->fd[1], SOL_SOCKET, SO_SNDBUFFORCE, &kQueueBytes, sizeof kQueueBytes) == 0;
}

// copied_out: bytes copied into callers' buffers.  The moves are counted
// only where the reader is visible (not the calling thread's own reader of
// bsp_quarn_msg_read, which runs the same code).
void report(benchmark::State &state, int64_t copied_out)
{
    const double records = static_cast<double>(state.iterations()) * kRecords;
    state.SetItemsProcessed(static_cast<int64_t>(records));
    state.counters["records/s"] = benchmark::Counter(records, benchmark::Counter::kIsRate);
    state.counters["recv/rec"] = static_cast<double>(g_recv_calls) / records;
    state.counters["copied_B/rec"] = static_cast<double>(g_recv_bytes + g_moved_bytes + copied_out) / records;
    if (g_watched != nullptr)
        state.counters["moved_B/rec"] = static_cast<double>(g_moved_bytes) / records;
}

// Runs one round per iteration: queue the records untimed, then read them.
template <class ReadAll>
void run_rounds(benchmark::State &state, ReadAll read_all)
{
    g_recv_calls = g_recv_bytes = g_moved_bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Connection c;
        if (!open_connection(&c) || !queue_records(c)) {
            state.SkipWithError("cannot queue the records (SO_SNDBUFFORCE needs CAP_NET_ADMIN)");
            break;
        }
        shutdown(c.fd[1], SHUT_WR);
        state.ResumeTiming();
        if (!read_all(c.fd[0])) {
            state.SkipWithError("records lost");
            break;
        }
    }
}

// The classic entry: each record copied into the caller's buffer.
void BM_ReaderMsgRead(benchmark::State &state)
{
    run_rounds(state, [](int fd) {
        char buf[QUARN_MSG_RECV_LEN];
        int n = 0;
        for (int size = sizeof buf; bsp_quarn_msg_read(fd, buf, &size) == 0; size = sizeof buf)
            ++n;
        return n == kRecords;
    });
    report(state, static_cast<int64_t>(state.iterations()) * kRecords * kRecord);
}
BENCHMARK(BM_ReaderMsgRead)->Unit(benchmark::kMillisecond)->UseRealTime();

// The receive thread's way: records used in place in the reader's buffer.
void BM_ReaderNext(benchmark::State &state)
{
    quarn_reader_t reader;
    g_watched = &reader;
    run_rounds(state, [&reader](int fd) {
        quarn_reader_init(&reader, fd);
        const uint8_t *rec = nullptr;
        int n = 0;
        while (quarn_reader_next(&reader, QUARN_MSG_RECV_LEN, &rec) > 0)
            ++n;
        return n == kRecords;
    });
    report(state, 0);
    g_watched = nullptr;
}
BENCHMARK(BM_ReaderNext)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floor: the same queue taken by 64 KiB receive calls with no framing.
void BM_RawRecvFloor(benchmark::State &state)
{
    run_rounds(state, [](int fd) {
        static char buf[QUARN_READER_BUF_LEN];
        int64_t total = 0;
        for (ssize_t got; (got = recv(fd, buf, sizeof buf, 0)) > 0;)
            total += got;
        return total == int64_t{kRecords} * kRecord;
    });
    report(state, 0);
}
BENCHMARK(BM_RawRecvFloor)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
