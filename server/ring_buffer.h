// The ring buffer between the receive threads (many writers) and the print
// thread (the one reader).  Records lie back to back, each a 40-byte header
// and its text, and may be cut anywhere by the end of the storage.
#pragma once

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdint>

inline constexpr int QUARN_CB_REC_MAX = 1280; // longest record a writer may pass

struct quarn_cycle_buff_t {
    uint32_t size;         // capacity of p_buff in bytes; fixed after creation
    uint32_t used;         // bytes of whole records not yet taken; guarded by mutex
    uint8_t *p_write;      // where the next record goes; guarded by mutex
    uint8_t *p_read;       // first byte of the oldest record; reader thread only, under mutex
    uint8_t *p_buff;       // the storage, allocated once; fixed after creation
    uint32_t dropped;      // records refused since the last one stored; guarded by mutex
    uint32_t high_water;   // the most bytes ever stored at once; guarded by mutex
    uint64_t stored;       // records stored since creation; guarded by mutex
    bool woken;            // bsp_quarn_cb_wake was called; guarded by mutex
    uint64_t taken;        // bytes the reader has given back since creation; guarded by mutex
    uint64_t stalled_at;   // taken when a writer last waited in vain for room, else ~0; guarded by mutex
    uint32_t room_waiters; // writers waiting on room; guarded by mutex
    bool lingering;        // the reader waits for records with a short timeout of its own; guarded by mutex
    uint32_t last_taken;   // bytes the reader took last; guarded by mutex
    pthread_mutex_t mutex; // guards used, p_write, p_read and the counters
    pthread_cond_t cond;   // the reader waits here while used is 0 (CLOCK_MONOTONIC)
    pthread_cond_t room;   // writers wait here for the reader to free space (CLOCK_MONOTONIC)
};

extern quarn_cycle_buff_t cb;

// Creates the buffer with size bytes of storage (a second call replaces the
// first buffer; only for tests).  0, or the positive errno after
// perror("malloc").
int bsp_quarn_cb_init(uint32_t size);

// Appends one whole record of len bytes.  0 when stored, and also when
// dropped for a null src or a len outside 1..1280; -12 when it does not fit.
// The first refusal prints "quarn cycle buff is full !"; the rest of an
// overload is counted, not printed (a line per record would cost the server
// a write per record exactly when it is behind), and the next record stored
// reports how many were refused in all.
int bsp_quarn_cb_write(const void *src, int len);

// One record of a batch for bsp_quarn_cb_write_batch.
struct quarn_cb_rec_t {
    const void *src; // the record
    int len;         // its bytes
    int result;      // set by the batch write: what bsp_quarn_cb_write would return
};

// One sender's share of the ring.  While more than three quarters of it
// are in use, a sender that already holds more than its share (the bytes in
// use over the senders) may not store, so that one flood cannot fill the
// last quarter that the others still need.
//
// A sender's record that does not fit, or goes beyond its share, waits for
// the reader to free space for as long as the reader keeps taking records:
// while it waits, the records behind it stay in the sender's connection,
// where the client sees the connection full and counts the loss itself,
// instead of the server spending its time on records it would drop.  Only
// when the reader has taken nothing for QUARN_CB_STALL_MS (a disk that does
// not answer) is it refused, -12 or -16, and so is every record after it
// until the reader moves again.
inline constexpr int QUARN_CB_STALL_MS = 1000;

// How long a reader that finds the ring empty looks again by itself before
// it sleeps until a writer signals: at most this much later a record is
// taken, and a steady stream costs at most one wake-up of the reader per
// this much time instead of one per batch stored.
inline constexpr long QUARN_CB_LINGER_NS = 1000000;
// It lingers only after taking at least this much at once: a stream, not
// a record now and then, whose order of records and chores stays as it was.
inline constexpr uint32_t QUARN_CB_LINGER_AFTER = 4096;

struct quarn_cb_sender_t {
    std::atomic<uint32_t> *holding; // its bytes in the ring; the write adds what it stores, the taker subtracts
    uint32_t senders;               // senders sharing the ring now, at least 1
};

// Appends count records in order under one lock acquisition, each as
// bsp_quarn_cb_write would (a record that does not fit is refused whole and
// gets -12; a smaller one behind it may still fit), and wakes the reader at
// most once.  With a sender, a record beyond its share gets -16, and both
// refusals first wait as told above.  How many records were refused.
int bsp_quarn_cb_write_batch(quarn_cb_rec_t *recs, int count, const quarn_cb_sender_t *sender = nullptr);

// Takes the oldest record into dst, blocking while the buffer is empty.
//   > 0  the record's length, copied to dst
//   0    dropped: the bookkeeping did not cover the record (buffer emptied)
//   -1   no record marker at the read position (buffer emptied)
//   -2   record longer than bufflen (buffer emptied)
//   -5   null dst
int bsp_quarn_cb_read(void *dst, int bufflen);

// Like bsp_quarn_cb_read, but returns -11 at once when the buffer is empty.
int bsp_quarn_cb_try_read(void *dst, int bufflen);

// Like bsp_quarn_cb_try_read, and like bsp_quarn_cb_read with a deadline
// (CLOCK_MONOTONIC; null: none; -11 when nothing was stored by then or
// bsp_quarn_cb_wake was called since the last read returned), but take as many
// whole records as are stored and fit into bufflen bytes, back to back into
// dst, with one copy and one lock acquisition to give their bytes back.
// > 0 is the bytes taken; each record's size is its header's len + 40.  A
// record the reader would reject ends a batch before it, so that the next
// call meets it first and answers for it exactly as the single reads do
// (with bufflen capped at QUARN_CB_REC_MAX).
int bsp_quarn_cb_try_read_batch(void *dst, int bufflen);
int bsp_quarn_cb_timed_read_batch(void *dst, int bufflen, const timespec *deadline);

// Makes the reader's current or next timed read return; any thread.
void bsp_quarn_cb_wake();

// Records stored since creation, and the most bytes ever stored at once.
void bsp_quarn_cb_counters(uint64_t *stored, uint32_t *high_water);

// Empties the buffer, discarding everything stored.  Holds the lock for one
// second, so writers that arrive meanwhile wait.
void bsp_quarn_cb_reinit();
