// The framing reader on an arbitrary byte stream that arrives in pieces.
// Input: byte 0 picks the piece size (1 + b*b bytes, 0 one piece) and the
// entry point; the rest is the stream.  A writer thread sends each piece
// once the reader took everything before it, so a crash replays the same
// way.  What the reader hands out is checked against a model of the
// framing written from the wire format alone.
#include "quarn.h"
#include "reader.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

void check(bool ok, const char *what)
{
    if (!ok)
        fprintf(stderr, "fuzz_reader: %s\n", what), abort();
}

// The records a reader of capacity 1280 must deliver, how it must end (-1
// at the end of the stream, -2 at a header announcing 64 KiB or more), and
// how many longer records it skips, counted once their header is in.
std::vector<std::string> model(const std::string &s, int &end, uint64_t &skipped)
{
    const uint32_t marker = QUARN_MSG_MAGIC;
    const std::string magic(reinterpret_cast<const char *>(&marker), sizeof marker);
    std::vector<std::string> out;
    for (size_t at = s.find(magic); at != std::string::npos; at = s.find(magic, at)) {
        quarn_msg_head_t head;
        if (s.size() - at < sizeof head)
            break;
        memcpy(&head, s.data() + at, sizeof head);
        const size_t size = sizeof head + head.len;
        if (size >= 65536)
            return end = -2, out;
        skipped += size >= QUARN_MSG_RECV_LEN;
        if (s.size() - at < size)
            break;
        if (size < QUARN_MSG_RECV_LEN)
            out.push_back(s.substr(at, size));
        at += size;
    }
    return end = -1, out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t piece = data[0] >> 1 ? 1 + (data[0] >> 1) * (data[0] >> 1) : size;
    const bool classic = data[0] & 1;
    const std::string stream(reinterpret_cast<const char *>(data) + 1, size - 1);
    int fd[2];
    check(socketpair(AF_UNIX, SOCK_STREAM, 0, fd) == 0, "socketpair");
    std::atomic<bool> done{false}; // the reader has ended
    std::thread writer([&] {
        for (size_t at = 0; at < stream.size() && !done; at += piece) {
            for (int queued = 1; !done && ioctl(fd[0], SIOCINQ, &queued) == 0 && queued > 0;)
                std::this_thread::yield();
            if (send(fd[1], stream.data() + at, std::min(piece, stream.size() - at), MSG_NOSIGNAL) < 0)
                break; // the reader gave up on the stream
        }
        shutdown(fd[1], SHUT_WR);
    });
    int want_end = 0, end = 0;
    uint64_t want_skipped = 0;
    const std::vector<std::string> want = model(stream, want_end, want_skipped);
    std::vector<std::string> got;
    static quarn_reader_t reader;
    check(quarn_reader_init(&reader, fd[0]) == 0, "init");
    for (;;) {
        char buf[QUARN_MSG_RECV_LEN];
        int n = sizeof buf;
        const uint8_t *rec = nullptr;
        if (classic)
            end = bsp_quarn_msg_read(fd[0], buf, &n), rec = reinterpret_cast<uint8_t *>(buf);
        else
            end = n = quarn_reader_next(&reader, QUARN_MSG_RECV_LEN, &rec);
        if (end < 0)
            break;
        if (n == 0)
            continue; // skipped records only
        got.emplace_back(reinterpret_cast<const char *>(rec), n);
    }
    done = true;
    shutdown(fd[0], SHUT_RDWR);
    writer.join();
    close(fd[0]), close(fd[1]);
    check(got == want, "records differ from the model");
    check(end == want_end, "wrong end");
    check(classic || reader.skipped == want_skipped, "skipped records miscounted");
    return 0;
}
