// Framing reader: takes message records off a connection's byte stream.
//
// A reader keeps the bytes that one receive call brought beyond the record
// it hands out, so in the steady state many records cost one receive call
// and one copy out of the kernel.
#pragma once

#include <cstdint>
#include <memory>

inline constexpr int QUARN_READER_BUF_LEN = 65536; // largest record the stream may announce, plus one

// Framing state of one connection.  One thread uses it at a time.
struct quarn_reader_t {
    int fd = -1;                       // the connection read from
    uint32_t head = 0;                 // first byte of buf not yet handed out
    uint32_t tail = 0;                 // end of the bytes received into buf
    uint32_t skip = 0;                 // bytes of an oversized record still to throw away
    std::unique_ptr<uint8_t[]> buf;    // QUARN_READER_BUF_LEN bytes
};

// Binds r to fd and allocates its buffer once.  0, or -12 without memory.
int quarn_reader_init(quarn_reader_t *r, int fd);

// Blocks until the next whole record smaller than capacity bytes is in r's
// buffer and points *rec at it (valid until the next call).  Records of
// capacity..65535 bytes are skipped whole; bytes that do not start with the
// record marker are thrown away up to the next marker.
//   > 0  the record's size (40 + len)
//   -1   the connection ended or failed
//   -2   a header announced 65536 bytes or more ("error package len[%d] \n")
//   -5   r, its buffer or rec is null
int quarn_reader_next(quarn_reader_t *r, int capacity, const uint8_t **rec);

// The classic entry: reads the next record of sock into buffer, whose
// capacity *size gives on entry.  0 and *size = record size; otherwise *size
// is unchanged and the result is -1, -2, -5 as above, or -12 when the
// calling thread's scratch area cannot be allocated.  Each thread keeps its
// own scratch state, bound to the socket it last read.
int bsp_quarn_msg_read(int sock, char *buffer, int *size);
