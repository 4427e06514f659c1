// Lines of a kind's text with their verdicts, the printer, and the merge
// of the application and DSP lines by time stamp.
#include "reader.h"
#include "levels.h"

#include <cstring>
#include <memory>

namespace {

constexpr std::size_t LINE_BUF = 256 * 1024; // longer lines come in pieces
constexpr std::size_t MIN_READ = 4096;       // room below which the buffer is compacted first
constexpr std::string_view RESET = "\033[0m";

// Puts out a and b merged: the older line first, a's first among lines of
// one second, a line's pieces and continuation lines never parted.
void _merge_(line_stream &a, line_stream &b, line_printer &printer)
{
    bool more_a = a.next(), more_b = b.next();
    line_stream *held = nullptr; // the stream whose line is half out
    while (more_a || more_b) {
        line_stream *s = held ? held : !more_b ? &a : !more_a ? &b : a.key() <= b.key() ? &a : &b;
        printer.put(*s);
        held = s->ends_line() ? nullptr : s;
        (s == &a ? more_a : more_b) = s->next();
        if (held && !(s == &a ? more_a : more_b))
            held = nullptr;
    }
}

void _drain_(line_stream &s, line_printer &printer)
{
    while (s.next())
        printer.put(s);
}

} // namespace

line_stream::line_stream(std::vector<ring_range> ranges, bool kernel, const line_filter &filter, entry_state &entry)
    : src_(std::move(ranges)), kernel_(kernel), filter_(filter), entry_(entry), buf_(LINE_BUF)
{
}

// Reads more text behind end_, compacting the buffer first when it is
// short of room; false when nothing came (eof_ tells the end of the text
// from a buffer full of one line).
bool line_stream::fill_()
{
    if (buf_.size() - end_ < MIN_READ && begin_ > 0) {
        memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        cut_ = begin_ = 0;
    }
    if (buf_.size() - end_ < MIN_READ)
        return false;
    const std::string_view got = src_.read(buf_.span().subspan(end_));
    eof_ = got.empty();
    if (!eof_)
        memmove(buf_.data() + end_, got.data(), got.size());
    end_ += got.size();
    return !eof_;
}

bool line_stream::next()
{
    begin_ = cut_;
    scanned_ = 0;
    for (;;) {
        const char *from = buf_.data() + begin_ + scanned_;
        if (const void *nl = memchr(from, '\n', end_ - begin_ - scanned_)) {
            cut_ = static_cast<std::size_t>(static_cast<const char *>(nl) - buf_.data()) + 1;
            break;
        }
        scanned_ = end_ - begin_;
        if (!eof_ && fill_())
            continue;
        if (end_ == begin_)
            return false;
        cut_ = end_; // a line longer than the buffer, or text without a last line end
        break;
    }
    starts_ = !in_line_;
    in_line_ = !ends_line();
    if (starts_)
        judge_();
    return true;
}

void line_stream::judge_()
{
    const log_line line = logread_parse(piece());
    if (line.level != LOGREAD_NO_LEVEL) {
        entry_ = {line.level, line.key, filter_.pass(line, false)};
    } else if (kernel_) {
        pass_ = filter_.pass(line, true);
        level_ = LOGREAD_NO_LEVEL;
        key_ = entry_.key;
        return;
    } else if (entry_.level == LOGREAD_NO_LEVEL) {
        entry_.pass = filter_.pass(line, false);
    }
    pass_ = entry_.pass;
    level_ = entry_.level;
    key_ = entry_.key;
}

void line_printer::put(const line_stream &s)
{
    if (!s.pass())
        return;
    if (s.starts_line()) {
        ++lines_;
        hidden_ = counting_ || lines_ <= skip_;
    }
    if (hidden_)
        return;
    const bool color = color_ && s.level() >= 0 && s.level() <= 3;
    std::string_view text = s.piece();
    if (color && s.starts_line())
        out_.put(QUARN_LEVEL_COLORS[s.level()]); // as the server's console
    if (color && s.ends_line()) {
        text.remove_suffix(1);
        out_.put_text(text);
        out_.put(RESET);
        out_.put("\n");
        return;
    }
    out_.put_text(text);
}

void logread_print(std::vector<kind_file> &files, std::vector<std::vector<ring_range>> ranges,
                   const line_filter &filter, line_printer &printer)
{
    std::vector<std::unique_ptr<line_stream>> wall, kernel; // by the clock their lines carry
    for (std::size_t i = 0; i < files.size(); ++i)
        if (files[i].fd || files[i].bak)
            (files[i].kernel ? kernel : wall)
                .push_back(std::make_unique<line_stream>(std::move(ranges[i]), files[i].kernel, filter, files[i].entry));
    // Application and DSP lines carry the wall clock and merge; kernel
    // lines carry the kernel's own and follow in file order.
    if (wall.size() == 2)
        _merge_(*wall[0], *wall[1], printer);
    else if (wall.size() == 1)
        _drain_(*wall[0], printer);
    for (auto &s : kernel)
        _drain_(*s, printer);
}
