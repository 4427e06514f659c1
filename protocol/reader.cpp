// Framing reader: finds whole records on a connection's byte stream.
//
// Each receive call takes as much as fits into the free tail of the
// reader's buffer, and records are handed out from there, so in the steady
// state one call serves hundreds of records and each byte is copied once out
// of the kernel.  The buffer holds bytes of one connection only; the reader
// takes no lock, because a reader and its connection belong to one thread at
// a time.
#include "reader.h"

#include "quarn.h"
#include "result.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t QUARN_RECORD_LIMIT = 65536;                   // a header announcing this much ends the reading
constexpr uint32_t QUARN_MARKER_LEN = 4;                          // bytes of the record marker
constexpr int QUARN_NEED_MORE = 0;                                // _step_: the buffered bytes are not enough

uint32_t _buffered_(const quarn_reader_t *r) { return r->tail - r->head; }
uint8_t *_front_(const quarn_reader_t *r) { return r->buf.get() + r->head; }

// True when the n bytes at p could begin a record (n at most 4).
bool _is_marker_prefix_(const uint8_t *p, uint32_t n)
{
    const uint32_t magic = QUARN_MSG_MAGIC;
    return memcmp(p, &magic, n) == 0;
}

// Length of the longest tail of p[0, n), at most 3 bytes, that could be the
// start of a marker whose rest has not arrived yet.
uint32_t _marker_start_at_end_(const uint8_t *p, uint32_t n)
{
    for (uint32_t k = std::min(n, QUARN_MARKER_LEN - 1); k > 0; --k) {
        if (_is_marker_prefix_(p + n - k, k))
            return k;
    }
    return 0;
}

// Throws away the bytes in front of the first marker, keeping a marker cut
// by the end of what has arrived.  True when the front begins with a marker.
bool _resync_(quarn_reader_t *r)
{
    const uint32_t n = _buffered_(r);
    const uint8_t *front = _front_(r);
    if (n >= QUARN_MARKER_LEN && _is_marker_prefix_(front, QUARN_MARKER_LEN))
        return true;
    const uint32_t magic = QUARN_MSG_MAGIC;
    const void *hit = n > QUARN_MARKER_LEN ? memmem(front + 1, n - 1, &magic, QUARN_MARKER_LEN) : nullptr;
    if (hit != nullptr) {
        r->head = static_cast<uint32_t>(static_cast<const uint8_t *>(hit) - r->buf.get());
        return true;
    }
    r->head = r->tail - _marker_start_at_end_(front, n);
    return false;
}

// Drops what is buffered of an oversized record.  True when nothing of it
// is still to come.
bool _skip_(quarn_reader_t *r)
{
    const uint32_t n = std::min(r->skip, _buffered_(r));
    r->head += n;
    r->skip -= n;
    return r->skip == 0;
}

// Size of the record at the front, whose header is complete.
uint32_t _record_size_(const quarn_reader_t *r)
{
    uint16_t len;
    memcpy(&len, _front_(r) + offsetof(quarn_msg_head_t, len), sizeof len);
    return len + QUARN_MSG_HEAD_LEN;
}

// Works through the buffered bytes: the record's size once a whole one that
// is smaller than capacity stands at the front (*rec points at it), -2 for
// a header announcing 65536 bytes or more (left in place), QUARN_NEED_MORE
// when the buffered bytes do not settle it.
int _step_(quarn_reader_t *r, int capacity, const uint8_t **rec)
{
    for (;;) {
        if (!_skip_(r) || !_resync_(r) || _buffered_(r) < QUARN_MSG_HEAD_LEN)
            return QUARN_NEED_MORE;
        const uint32_t size = _record_size_(r);
        if (size >= QUARN_RECORD_LIMIT) {
            printf("error package len[%d] \n", static_cast<int>(size));
            return -2;
        }
        if (capacity <= 0 || size >= std::min(static_cast<uint32_t>(capacity), r->len)) {
            r->skip = size;
            ++r->skipped;
            continue;
        }
        if (_buffered_(r) < size)
            return QUARN_NEED_MORE;
        *rec = _front_(r);
        r->head += size;
        return static_cast<int>(size);
    }
}

// Bytes the front record needs in all: its size once its header is in,
// else a header's worth.
uint32_t _wanted_(const quarn_reader_t *r)
{
    if (r->skip == 0 && _buffered_(r) >= QUARN_MSG_HEAD_LEN)
        return _record_size_(r);
    return QUARN_MSG_HEAD_LEN;
}

// Makes the free tail big enough for the rest of a record of want bytes at
// the front.  The unconsumed bytes (less than that record) move to the start
// of the buffer only when the record would not fit behind them or the tail
// is too small to make a receive call worth its cost.
void _make_room_(quarn_reader_t *r, uint32_t want)
{
    if (r->head == r->tail) {
        r->head = r->tail = 0;
        return;
    }
    const bool fits = r->len - r->head >= want;
    if (fits && r->len - r->tail >= r->len / 4) // else compact rather than receive into less
        return;
    memmove(r->buf.get(), _front_(r), _buffered_(r));
    r->tail -= r->head;
    r->head = 0;
}

enum class fill_t { got, nothing_yet, ended };

// Receives what is queued, up to the free tail.  On a non-blocking
// connection an empty queue is nothing_yet; otherwise ended when the
// connection ended or failed.
fill_t _fill_(quarn_reader_t *r)
{
    _make_room_(r, _wanted_(r));
    for (;;) {
        const ssize_t got = recv(r->fd, r->buf.get() + r->tail, r->len - r->tail, 0);
        if (got > 0) {
            r->tail += static_cast<uint32_t>(got);
            return fill_t::got;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return fill_t::nothing_yet;
        if (got == 0 || errno != EINTR)
            return fill_t::ended;
    }
}

// Left uninitialised, like the receive buffer it is.  Null when there is no
// memory: the connection is refused rather than the server ended.
std::unique_ptr<uint8_t[]> _alloc_buffer_(uint32_t len)
{
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[len]);
}

} // namespace

int quarn_reader_init(quarn_reader_t *r, int fd, uint32_t buf_len)
{
    if (r == nullptr || buf_len < 64)
        return QUARN_E_ARG;
    if (!r->buf)
        r->buf = _alloc_buffer_(buf_len), r->len = r->buf ? buf_len : 0;
    if (!r->buf)
        return QUARN_E_NOMEM;
    r->fd = fd;
    r->head = r->tail = r->skip = 0;
    r->skipped = 0;
    return 0;
}

int quarn_reader_next(quarn_reader_t *r, int capacity, const uint8_t **rec)
{
    if (r == nullptr || !r->buf || rec == nullptr)
        return QUARN_E_ARG;
    const uint64_t skipped = r->skipped;
    for (;;) {
        const int result = _step_(r, capacity, rec);
        if (result != QUARN_NEED_MORE)
            return result;
        if (r->skipped != skipped && r->skip == 0)
            return 0; // what was skipped is told before the wait for more
        const fill_t filled = _fill_(r);
        if (filled != fill_t::got)
            return filled == fill_t::ended ? -1 : 0;
    }
}

int quarn_reader_next_buffered(quarn_reader_t *r, int capacity, const uint8_t **rec)
{
    if (r == nullptr || !r->buf || rec == nullptr)
        return QUARN_E_ARG;
    return _step_(r, capacity, rec);
}

int bsp_quarn_msg_read(int sock, char *buffer, int *size)
{
    if (buffer == nullptr || size == nullptr)
        return QUARN_E_ARG;
    // Allocated on the thread's first call and kept until the thread ends.
    thread_local quarn_reader_t t_reader;
    if ((!t_reader.buf || t_reader.fd != sock) && quarn_reader_init(&t_reader, sock) != 0)
        return QUARN_E_NOMEM;
    const uint8_t *rec = nullptr;
    int result;
    while ((result = quarn_reader_next(&t_reader, *size, &rec)) == 0) {
    }
    if (result < 0) {
        // The caller now closes the connection, and its descriptor number may
        // come back for another one: the leftovers must not be served there.
        t_reader.fd = -1;
        return result;
    }
    memcpy(buffer, rec, static_cast<size_t>(result));
    *size = result;
    return 0;
}
