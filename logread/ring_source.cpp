#include "ring_source.h"

#include "line.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t MARK_LEN = LOGREAD_MARK.size();
constexpr std::size_t HOLD = MARK_LEN - 1;  // bytes of a marker that may reach past a chunk
constexpr std::size_t TAIL = 2 * MARK_LEN;  // a range's last read holds at least this much, so
                                            // padding and a marker piece at its end lie whole in it
constexpr auto npos = std::string_view::npos;

// Reads up to len bytes at pos, going on after short reads; the count
// read (short only at the end of the file), or -1.
ssize_t _pread_full_(int fd, char *buf, std::size_t len, uint64_t pos)
{
    std::size_t got = 0;
    while (got < len) {
        const ssize_t n = pread(fd, buf + got, len - got, static_cast<off_t>(pos + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// Index of the first whole marker in bytes at or after from, or npos.  It
// hops from '$' to '$' with memchr: '$' is rare in log text, and memchr
// keeps up with the read that brought the bytes in.
std::size_t _find_mark_(std::string_view bytes, std::size_t from = 0)
{
    constexpr std::size_t LEAD = 2; // marker bytes before its first '$'
    if (bytes.size() < from + MARK_LEN)
        return npos;
    const char *base = bytes.data();
    const char *p = base + from + LEAD;
    const char *last = base + bytes.size() - (MARK_LEN - LEAD); // last '$' a whole marker fits behind
    while (p <= last) {
        p = static_cast<const char *>(memchr(p, '$', static_cast<std::size_t>(last - p) + 1));
        if (!p)
            return npos;
        if (memcmp(p - LEAD, LOGREAD_MARK.data(), MARK_LEN) == 0)
            return static_cast<std::size_t>(p - LEAD - base);
        ++p;
    }
    return npos;
}

bool _mark_at_(std::string_view bytes, std::size_t at) { return bytes.substr(at).starts_with(LOGREAD_MARK); }

// Length of the longest start of a marker that bytes end with (0..8).
std::size_t _mark_start_at_end_(std::string_view bytes)
{
    for (std::size_t n = std::min(HOLD, bytes.size()); n > 0; --n)
        if (bytes.ends_with(LOGREAD_MARK.substr(0, n)))
            return n;
    return 0;
}

// The end of a range: the start of a marker that a write cut short (a
// power cut, or an older server that left it behind the newest text) is
// dropped; its newline stays as the end of the last line.
std::string_view _trim_mark_piece_(std::string_view text)
{
    const std::size_t piece = _mark_start_at_end_(text);
    if (piece >= 2)
        text.remove_suffix(piece - 1);
    return text;
}

// The end of a wrapped file: up to 8 newlines that padded out the room a
// marker did not fit in.  The first newline of the run stays, as the end
// of the last line.  The range's last read holds at least TAIL bytes, so
// the run is judged the same whatever the chunk size.
std::string_view _trim_padding_(std::string_view text)
{
    const std::size_t last_text = text.find_last_not_of('\n');
    const std::size_t run = last_text == npos ? text.size() : text.size() - last_text - 1;
    text.remove_suffix(run > 1 ? std::min(run - 1, HOLD) : 0);
    return text;
}

} // namespace

int64_t logread_find_mark(int fd, uint64_t from, uint64_t to, std::span<char> buf)
{
    for (uint64_t start = from; start < to;) {
        const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(buf.size(), to - start));
        const ssize_t got = _pread_full_(fd, buf.data(), want, start);
        if (got <= 0)
            return -1;
        const std::size_t at = _find_mark_({buf.data(), static_cast<std::size_t>(got)});
        if (at != npos)
            return static_cast<int64_t>(start + at);
        if (static_cast<std::size_t>(got) < want || start + static_cast<uint64_t>(got) >= to)
            return -1;
        start += static_cast<uint64_t>(got) - HOLD;
    }
    return -1;
}

std::vector<ring_range> logread_plan(int fd, uint64_t size, int64_t mark, bool backup)
{
    if (backup || mark < 0) // the search for the marker went through the whole file
        return {{fd, 0, size, false, false, false, !backup}};
    const uint64_t newest_end = static_cast<uint64_t>(mark);
    const uint64_t oldest = newest_end + MARK_LEN;
    // Not wrapped: the first line is whole, whoever wrote it, stamped or
    // not.  A ring whose newest text ends exactly at its end (a batch as
    // long as the file) looks the same and may show the rest of a line it
    // overwrote: better than hiding the first line of every fresh file.
    if (oldest >= size)
        return {{fd, 0, newest_end, false, false, false, true}};
    return {{fd, oldest, size, true, true, true, false}, {fd, 0, newest_end, false, false, false, true}};
}

ring_source::ring_source(std::vector<ring_range> ranges) : ranges_(std::move(ranges)) { enter_(0); }

void ring_source::enter_(std::size_t i)
{
    index_ = i;
    if (i < ranges_.size()) {
        pos_ = ranges_[i].begin;
        phase_ = ranges_[i].cut_start ? phase::head : phase::text;
    }
}

std::string_view ring_source::emit_(std::string_view out)
{
    if (!out.empty())
        last_ = out.back();
    return out;
}

bool ring_source::plain_part(uint64_t &from, uint64_t &to, int &fd)
{
    if (index_ >= ranges_.size() || !ranges_[index_].searched || phase_ != phase::text ||
        pos_ + TAIL >= ranges_[index_].end)
        return false;
    from = pos_;
    to = ranges_[index_].end - TAIL;
    fd = ranges_[index_].fd;
    plain_to_ = to;
    return true;
}

void ring_source::took(uint64_t n, char last)
{
    pos_ += n;
    if (pos_ < plain_to_)
        ranges_[index_].end = pos_;
    if (n > 0)
        last_ = last;
}

std::string_view ring_source::read(std::span<char> buf)
{
    for (;;) {
        if (index_ >= ranges_.size()) {
            if (ended_ || last_ == '\n')
                return {};
            ended_ = true;
            buf[0] = '\n';
            return emit_({buf.data(), 1});
        }
        ring_range &r = ranges_[index_];
        if (pos_ >= r.end) {
            const bool close_line = !r.joins_next && last_ != '\n';
            enter_(index_ + 1);
            if (close_line) {
                buf[0] = '\n';
                return emit_({buf.data(), 1});
            }
            continue;
        }
        const uint64_t left = r.end - pos_;
        std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(buf.size(), left));
        if (want < left && left - want < TAIL)
            want = static_cast<std::size_t>(left - TAIL);
        const ssize_t got = _pread_full_(r.fd, buf.data(), want, pos_);
        if (got <= 0) {
            r.end = pos_; // the file shrank, or cannot be read any more
            continue;
        }
        if (static_cast<std::size_t>(got) < want)
            r.end = pos_ + static_cast<uint64_t>(got);
        const std::string_view out = scan_(buf.first(static_cast<std::size_t>(got)), pos_ + static_cast<uint64_t>(got) == r.end);
        if (!out.empty())
            return emit_(out);
    }
}

// Takes what it can of chunk (the bytes at pos_) and moves pos_ past it.
// Bytes that cannot be judged yet (a marker may begin in them) are left
// for the next read, which starts with them.
std::string_view ring_source::scan_(std::span<char> chunk, bool at_end)
{
    const std::string_view v(chunk.data(), chunk.size());
    const std::size_t limit = at_end ? v.size() : v.size() - HOLD; // bytes that can be judged now
    std::size_t s = 0;
    if (phase_ == phase::head)
        phase_ = logread_line_head(v) ? phase::text : phase::cut;
    if (phase_ == phase::cut) { // the rest of a line the ring overwrote the start of
        const std::size_t nl = v.find('\n');
        if (nl == npos || nl >= limit) {
            pos_ += limit;
            return {};
        }
        s = nl;
        phase_ = phase::blank;
    }
    if (phase_ == phase::blank) { // its line end, and blank lines behind it
        const ring_range &r = ranges_[index_];
        for (; s < limit && v[s] == '\n' && !_mark_at_(v, s); ++s)
            if (at_end && (r.padded_end || !r.joins_next) && v.size() - s >= 2 && LOGREAD_MARK.starts_with(v.substr(s))) {
                pos_ += v.size(); // a marker cut by the range's end, and no line before it to end
                return {};
            }
        if (s == limit && !at_end) {
            pos_ += s;
            return {};
        }
        phase_ = phase::text;
    }
    // A marker cut by the end of the file, its newline already out; the
    // newline behind it may be the next marker's, where the range ends.
    const std::string_view flag = LOGREAD_MARK.substr(1, MARK_LEN - 2);
    if (pos_ == ranges_[index_].begin && index_ > 0 && ranges_[index_ - 1].joins_next && last_ == '\n' &&
        v.starts_with(flag) && (v.size() == flag.size() ? at_end : v[flag.size()] == '\n')) {
        pos_ += std::min(v.size(), flag.size() + 1);
        phase_ = phase::head;
        return {};
    }
    const std::size_t mark = _find_mark_(v, s);
    if (mark != npos) {
        // The marker's newline ends the line before it when that line has none.
        const char before = mark > s ? v[mark - 1] : last_;
        const std::size_t stop = before == '\n' ? mark : mark + 1;
        pos_ += mark + MARK_LEN;
        phase_ = phase::head; // behind a marker lies older text, cut by the ring
        return v.substr(s, stop - s);
    }
    const std::size_t end = at_end ? v.size() : v.size() - _mark_start_at_end_(v.substr(s));
    pos_ += end;
    std::string_view out = v.substr(s, end - s);
    const ring_range &r = ranges_[index_];
    if (at_end && (r.padded_end || !r.joins_next))
        out = _trim_mark_piece_(out);
    if (at_end && r.padded_end)
        out = _trim_padding_(out);
    return out;
}
