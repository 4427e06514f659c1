// Fuzzes the framing reader on a byte stream that arrives in pieces.
//
// Input layout:
//   byte 0      bit 0: 0 reads with quarn_reader_next, 1 with
//               bsp_quarn_msg_read; bits 1-4: k, the number of piece bytes
//   bytes 1-2   capacity, little-endian (0 stands for the server's 1280)
//   k bytes     piece sizes, used in turn: a byte b sends 1 + b*b bytes
//               (k = 0 sends the stream in one piece)
//   the rest    the byte stream
//
// A writer thread sends each piece once the reader has taken everything
// sent before it, so every receive call sees exactly the piece boundaries
// the input chose and a crash replays the same way.  What the reader hands
// out is checked against a model of the framing written from the wire
// format alone: a record is the marker, a 40-byte header and len bytes.
#include "quarn.h"
#include "reader.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <thread>
#include <vector>

namespace {

constexpr int SERVER_CAPACITY = QUARN_MSG_RECV_LEN; // what the receive threads pass
constexpr size_t RECORD_LIMIT = 65536;              // a header announcing this much ends the stream

struct input_t {
    bool classic;                   // bsp_quarn_msg_read instead of quarn_reader_next
    int capacity;                   // records of this size and more are skipped
    std::vector<size_t> pieces;     // send sizes, used in turn
    std::span<const uint8_t> bytes; // the stream
};

// What the reader must deliver: the records, as spans of the stream, and
// the result that ends the reading.
struct expected_t {
    std::vector<std::span<const uint8_t>> records; // in stream order
    int end;                                       // -1 end of stream, -2 overlong header
};

[[noreturn]] void fail(const char *what, size_t index)
{
    fprintf(stderr, "fuzz_reader: %s (record %zu)\n", what, index);
    abort();
}

input_t parse(const uint8_t *data, size_t size)
{
    input_t in{false, SERVER_CAPACITY, {}, {}};
    if (size < 3)
        return in;
    in.classic = data[0] & 1;
    const size_t k = (data[0] >> 1) & 0xF;
    const int cap = data[1] | data[2] << 8;
    in.capacity = cap == 0 ? SERVER_CAPACITY : cap;
    size_t at = 3;
    for (; at < size && in.pieces.size() < k; ++at)
        in.pieces.push_back(1 + size_t{data[at]} * data[at]);
    in.bytes = {data + at, size - at};
    return in;
}

// The framing as the wire format describes it: skip to the next marker,
// judge a record by its whole header, skip records of capacity bytes and
// more whole, stop at a header announcing 65536 bytes or more.
expected_t model(std::span<const uint8_t> s, int capacity)
{
    expected_t out{{}, -1};
    const uint32_t magic = QUARN_MSG_MAGIC;
    size_t pos = 0;
    while (pos < s.size()) {
        const void *hit = memmem(s.data() + pos, s.size() - pos, &magic, sizeof magic);
        if (!hit)
            break;
        pos = static_cast<const uint8_t *>(hit) - s.data();
        if (s.size() - pos < QUARN_MSG_HEAD_LEN)
            break;
        uint16_t len;
        memcpy(&len, s.data() + pos + offsetof(quarn_msg_head_t, len), sizeof len);
        const size_t rec = QUARN_MSG_HEAD_LEN + size_t{len};
        if (rec >= RECORD_LIMIT) {
            out.end = -2;
            break;
        }
        if (rec < static_cast<size_t>(capacity)) {
            if (s.size() - pos < rec)
                break;
            out.records.push_back(s.subspan(pos, rec));
        }
        pos += rec;
    }
    return out;
}

// Waits until the reader has taken every queued byte, or has finished.
// The reader is running whenever bytes are queued, so the wait is short.
void wait_drained(int reader_fd, const std::atomic<bool> &done)
{
    int queued = 0;
    while (!done.load() && ioctl(reader_fd, SIOCINQ, &queued) == 0 && queued > 0)
        sched_yield();
}

void send_pieces(int fd, int reader_fd, const input_t &in, const std::atomic<bool> &done)
{
    std::span<const uint8_t> rest = in.bytes;
    for (size_t i = 0; !rest.empty() && !done.load(); ++i) {
        size_t n = in.pieces.empty() ? rest.size() : std::min(rest.size(), in.pieces[i % in.pieces.size()]);
        rest = rest.subspan(n);
        for (const uint8_t *p = rest.data() - n; n > 0;) {
            const ssize_t sent = send(fd, p, n, MSG_NOSIGNAL);
            if (sent <= 0)
                return; // the reader finished and shut the connection
            p += sent;
            n -= static_cast<size_t>(sent);
        }
        wait_drained(reader_fd, done);
    }
    shutdown(fd, SHUT_WR);
}

// One writer thread for the whole run: starting a thread per input would
// cost more than the input itself.
class writer_t {
  public:
    writer_t() : thread_([this] { serve_(); }) {}
    ~writer_t()
    {
        {
            std::lock_guard lock(mu_);
            stop_ = true;
            cv_.notify_all();
        }
        thread_.join();
    }
    writer_t(const writer_t &) = delete;
    writer_t &operator=(const writer_t &) = delete;
    // Starts sending in's stream on fd; reader_fd is the reading end.
    void start(int fd, int reader_fd, const input_t &in)
    {
        std::lock_guard lock(mu_);
        job_ = {fd, reader_fd, &in};
        done_ = false;
        busy_ = true;
        cv_.notify_all();
    }
    // Tells the writer the reader is finished and waits until it stops.
    void finish(int reader_fd)
    {
        done_ = true;
        shutdown(reader_fd, SHUT_RDWR); // a writer blocked in send gets EPIPE
        std::unique_lock lock(mu_);
        cv_.wait(lock, [this] { return !busy_; });
    }

  private:
    struct job_t {
        int fd;              // the writing end
        int reader_fd;       // the reading end, watched for drained queues
        const input_t *in;   // what to send
    };
    void serve_()
    {
        for (;;) {
            std::unique_lock lock(mu_);
            cv_.wait(lock, [this] { return stop_ || (busy_ && job_.in); });
            if (stop_)
                return;
            const job_t job = std::exchange(job_, {});
            lock.unlock();
            send_pieces(job.fd, job.reader_fd, *job.in, done_);
            lock.lock();
            busy_ = false;
            cv_.notify_all();
        }
    }
    std::mutex mu_;               // guards job_ and busy_
    std::condition_variable cv_;  // job_ posted, or busy_ cleared
    job_t job_{};                 // the next job, under mu_
    bool busy_ = false;           // a job is posted or running, under mu_
    bool stop_ = false;           // the process is ending, under mu_
    std::atomic<bool> done_{false}; // the reader has finished this job
    std::thread thread_;          // runs for the life of the process
};

quarn_reader_t g_reader; // the quarn_reader_next path's reader, bound anew per input

// The next record through the entry the input chose: its size, or the
// reader's negative result.
int next_record(int fd, const input_t &in, std::vector<uint8_t> &buf, const uint8_t **rec)
{
    if (!in.classic)
        return quarn_reader_next(&g_reader, in.capacity, rec);
    int size = in.capacity;
    const int rc = bsp_quarn_msg_read(fd, reinterpret_cast<char *>(buf.data()), &size);
    *rec = buf.data();
    return rc == 0 ? size : rc;
}

void check(int fd, const input_t &in, const expected_t &want)
{
    std::vector<uint8_t> buf(static_cast<size_t>(in.capacity));
    size_t i = 0;
    for (;; ++i) {
        const uint8_t *rec = nullptr;
        const int got = next_record(fd, in, buf, &rec);
        if (got < 0) {
            if (i != want.records.size())
                fail("reading ended early or late", i);
            if (got != want.end)
                fail("wrong end result", i);
            return;
        }
        if (i >= want.records.size())
            fail("a record the stream does not hold", i);
        const auto &w = want.records[i];
        if (static_cast<size_t>(got) != w.size() || memcmp(rec, w.data(), w.size()) != 0)
            fail("record differs from the bytes sent", i);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The reader reports overlong headers on standard output.
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDOUT_FILENO);
    close(null);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const input_t in = parse(data, size);
    const expected_t want = model(in.bytes, in.capacity);
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        abort();
    if (!in.classic && quarn_reader_init(&g_reader, fds[0]) != 0)
        abort();
    static writer_t writer;
    writer.start(fds[1], fds[0], in);
    check(fds[0], in, want);
    writer.finish(fds[0]);
    close(fds[0]);
    close(fds[1]);
    return 0;
}
