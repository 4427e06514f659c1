// The bounded queue between the server's threads and the forwarding thread:
// lines lie back to back in one allocation made at start-up, so handing a
// line over is a lock, a copy and an unlock, and never allocates.
#pragma once

#include "message.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <vector>

class line_queue {
  public:
    explicit line_queue(size_t capacity);

    // Copies one line in.  False when it does not fit: the line is counted
    // as dropped.  Wakes the consumer when the queue was empty.
    bool push(const forward_line_meta &m, std::string_view text);

    // Consumer: calls fn(meta, text) for queued lines, oldest first, until
    // about max_bytes of them were taken, and frees their room.  Waits up to
    // bound while the queue is empty.  The number of lines taken.
    template <class Fn>
    size_t pop(size_t max_bytes, std::chrono::milliseconds bound, Fn fn);

    // Lines dropped since the last call; resets the count.
    uint64_t take_dropped();
    // Wakes a consumer waiting in pop.
    void wake();
    size_t used() const;
    // Lines waiting, and those dropped but not yet taken by take_dropped.
    uint64_t lines() const;
    size_t capacity() const { return buf_.size(); }

  private:
    struct entry; // header of a queued line

    std::vector<unsigned char> buf_;  // the storage; its size never changes
    mutable std::mutex mtx_;          // guards everything below
    std::condition_variable ready_;   // the consumer waits here while empty
    size_t head_ = 0;                 // where the next entry goes; producers only
    size_t tail_ = 0;                 // the oldest entry; moved by the consumer, or reset while empty
    size_t used_ = 0;                 // bytes taken, wrap waste included
    uint64_t dropped_ = 0;            // lines refused since take_dropped
    uint64_t lines_ = 0;              // lines waiting
    bool woken_ = false;              // wake() was called while nobody waited
};

struct line_queue::entry {
    uint32_t size;     // bytes of the entry, header and text, a multiple of 8; 0 marks a wrap
    uint16_t text_len; // bytes of text after the header
    uint8_t kind, level, severity, tag_len;
    uint32_t usec;
    int64_t sec;
    char tag[28];      // the record's tag, tag_len bytes
    uint8_t facility;  // forward_line_meta's
    uint32_t pid;      // forward_line_meta's
};

template <class Fn>
size_t line_queue::pop(size_t max_bytes, std::chrono::milliseconds bound, Fn fn)
{
    size_t avail = 0, at = 0;
    {
        std::unique_lock lock(mtx_);
        if (used_ == 0 && !woken_)
            ready_.wait_for(lock, bound, [&] { return used_ > 0 || woken_; });
        woken_ = false;
        avail = used_, at = tail_;
    }
    // The taken bytes are the consumer's until released: producers write
    // only outside [tail_, tail_ + used_), so they are read without the lock.
    const size_t cap = buf_.size();
    size_t taken = 0, lines = 0;
    while (taken < avail && taken < max_bytes) {
        const auto *e = reinterpret_cast<const entry *>(&buf_[at]);
        if (e->size == 0) { // wrap mark: the rest of the storage is unused
            taken += cap - at, at = 0;
            continue;
        }
        const forward_line_meta m{e->sec,      e->usec, e->kind, e->level, e->severity, {e->tag, e->tag_len},
                                  e->facility, e->pid};
        fn(m, std::string_view(reinterpret_cast<const char *>(e + 1), e->text_len));
        taken += e->size, at = (at + e->size) % cap, ++lines;
    }
    std::lock_guard lock(mtx_);
    used_ -= taken;
    lines_ -= lines;
    tail_ = at;
    return lines;
}
