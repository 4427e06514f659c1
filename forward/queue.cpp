#include "queue.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

constexpr size_t ALIGN = 8;

size_t _round_up_(size_t n)
{
    return (n + ALIGN - 1) / ALIGN * ALIGN;
}

} // namespace

line_queue::line_queue(size_t capacity) : buf_(_round_up_(capacity)) {}

bool line_queue::push(const forward_line_meta &m, std::string_view text)
{
    entry head{};
    head.text_len = static_cast<uint16_t>(std::min<size_t>(text.size(), UINT16_MAX));
    head.size = static_cast<uint32_t>(_round_up_(sizeof(entry) + head.text_len));
    head.kind = m.kind, head.level = m.level, head.severity = m.severity, head.pid = m.pid;
    head.tag_len = static_cast<uint8_t>(std::min(m.tag.size(), sizeof head.tag));
    std::ranges::copy(m.tag.substr(0, head.tag_len), head.tag); // a kernel line's tag is empty, its data null
    head.usec = m.usec, head.sec = m.sec;
    head.facility = m.facility, head.pid = m.pid;

    const size_t cap = buf_.size();
    std::unique_lock lock(mtx_);
    if (used_ == 0)
        head_ = tail_ = 0;
    size_t at = head_;
    size_t waste = 0;
    const bool wrapped = head_ < tail_ || (head_ == tail_ && used_ > 0);
    if (wrapped ? tail_ - head_ < head.size : cap - head_ < head.size) {
        // At the end of the storage: the entry goes to the start, and what is
        // left at the end is marked as skipped.
        if (wrapped || tail_ < head.size) {
            ++dropped_;
            return false;
        }
        waste = cap - head_;
        at = 0;
    }
    if (waste)
        reinterpret_cast<entry *>(&buf_[head_])->size = 0;
    memcpy(&buf_[at], &head, sizeof head);
    std::ranges::copy(text.substr(0, head.text_len), &buf_[at + sizeof head]);
    const bool was_empty = used_ == 0;
    used_ += waste + head.size;
    ++lines_;
    head_ = (at + head.size) % cap;
    lock.unlock();
    if (was_empty)
        ready_.notify_one();
    return true;
}

uint64_t line_queue::take_dropped()
{
    std::lock_guard lock(mtx_);
    return std::exchange(dropped_, 0);
}

void line_queue::wake()
{
    {
        std::lock_guard lock(mtx_);
        woken_ = true;
    }
    ready_.notify_one();
}

size_t line_queue::used() const
{
    std::lock_guard lock(mtx_);
    return used_;
}

uint64_t line_queue::lines() const
{
    std::lock_guard lock(mtx_);
    return lines_ + dropped_;
}
