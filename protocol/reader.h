// Framing reader: takes message records off a connection's byte stream.
//
// A reader keeps the bytes that one receive call brought beyond the record
// it hands out, so in the steady state many records cost one receive call
// and one copy out of the kernel.
#pragma once

#include <cstdint>
#include <memory>

inline constexpr int QUARN_READER_BUF_LEN = 65536; // largest record the stream may announce, plus one

// Framing state of one connection.  Everything buffered belongs to that
// connection: a reader and its connection are used by one thread at a time,
// and a reader is bound anew (quarn_reader_init) before it serves another.
struct quarn_reader_t {
    int fd = -1;                       // the connection read from
    uint32_t head = 0;                 // first byte of buf not yet handed out
    uint32_t tail = 0;                 // end of the bytes received into buf
    uint32_t skip = 0;                 // bytes of an oversized record still to throw away
    uint64_t skipped = 0;              // oversized records thrown away, for the caller to count
    uint32_t len = 0;                  // bytes of buf
    std::unique_ptr<uint8_t[]> buf;
};

// Binds r to fd, dropping whatever it had buffered, and allocates its
// buffer of buf_len bytes on the first call only.  A reader hands out only
// records shorter than its buffer: the capacity of the calls below counts
// as at most buf_len.  0; -5 for a null r or a buf_len below a header and
// its marker's resync room (64); -12 without memory.
int quarn_reader_init(quarn_reader_t *r, int fd, uint32_t buf_len = QUARN_READER_BUF_LEN);

// Blocks until the next whole record smaller than capacity bytes is in r's
// buffer and points *rec at it (valid until the next call).  Records of
// capacity..65535 bytes are skipped whole; bytes that do not start with the
// record marker are thrown away up to the next marker.  A record is judged
// only once its whole 40-byte header has arrived.  Receive calls
// interrupted by a signal are repeated.
//   > 0  the record's size (40 + len)
//   0    records were skipped whole (r->skipped counts them) and no whole
//        record is buffered: told before the call would wait for more; or,
//        on a non-blocking connection, no whole record has arrived yet
//   -1   the connection ended or failed (a record cut by the end is lost)
//   -2   a header announced 65536 bytes or more ("error package len[%d] \n");
//        it stays at the front, so the caller ends the connection
//   -5   r, its buffer or rec is null
int quarn_reader_next(quarn_reader_t *r, int capacity, const uint8_t **rec);

// Like quarn_reader_next, but never receives: 0 when the bytes already
// buffered hold no further whole record.  It moves no buffered byte, so the
// records it and the quarn_reader_next before it handed out all stay valid
// until the next call that receives; a caller can gather one receive's
// records and hand them on together.
int quarn_reader_next_buffered(quarn_reader_t *r, int capacity, const uint8_t **rec);

// The classic entry: reads the next record of sock into buffer, whose
// capacity *size gives on entry.  0 and *size = record size; otherwise *size
// is unchanged and the result is -1, -2, -5 as above, or -12 when the
// calling thread's scratch area cannot be allocated (the next call tries
// again).  Each thread keeps its own reader, allocated on its first call and
// bound to the socket it last read: reading another socket drops the bytes
// buffered for the previous one, and so does every negative result, after
// which the caller closes the connection.  A thread that closes a connection
// for reasons of its own must read another socket before it reads a new
// connection that got the same descriptor number.
int bsp_quarn_msg_read(int sock, char *buffer, int *size);
