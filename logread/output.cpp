#include "output.h"

#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr std::size_t OUT_BUF = 256 * 1024;

// Nobody reads the output any more: the read is over, and not a failure.
[[noreturn]] void _output_closed_()
{
    exit(0);
}

[[noreturn]] void _output_failed_(int err)
{
    fprintf(stderr, "quarn read: write error: %s\n", strerror(err));
    exit(1);
}
} // namespace

out_writer::out_writer(int fd) : fd_(fd), escape_(isatty(fd) == 1), buf_(OUT_BUF) {}

void out_writer::put_text(std::string_view text)
{
    const auto control = [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && c != '\t' && c != '\n') || u == 0x7f;
    };
    while (escape_ && !text.empty()) {
        const auto at = static_cast<std::size_t>(std::find_if(text.begin(), text.end(), control) - text.begin());
        put(text.substr(0, at));
        if (at == text.size())
            return;
        char hex[5];
        snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(text[at]));
        put(hex);
        text.remove_prefix(at + 1);
    }
    put(text);
}

void out_writer::put(std::string_view text)
{
    if (text.size() > buf_.size() - used_) {
        flush();
        if (text.size() > buf_.size())
            return write_all_(text);
    }
    memcpy(buf_.data() + used_, text.data(), text.size());
    used_ += text.size();
}

void out_writer::put_through(std::string_view text)
{
    if (escape_)
        return put_text(text);
    flush();
    write_all_(text);
}

int64_t out_writer::send_file(int fd, uint64_t from, uint64_t len)
{
    if (escape_)
        return -1;
    flush();
    auto pos = static_cast<off_t>(from);
    while (static_cast<uint64_t>(pos) < from + len) {
        const ssize_t n = sendfile(fd_, fd, &pos, static_cast<std::size_t>(std::min<uint64_t>(len - (static_cast<uint64_t>(pos) - from), 1u << 30)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EPIPE)
            _output_closed_();
        if (n < 0 && static_cast<uint64_t>(pos) == from && (errno == EINVAL || errno == ENOSYS))
            return -1;
        if (n < 0)
            _output_failed_(errno);
        if (n == 0)
            break;
    }
    return static_cast<int64_t>(static_cast<uint64_t>(pos) - from);
}

void out_writer::flush()
{
    const std::size_t n = used_;
    used_ = 0;
    write_all_({buf_.data(), n});
}

void out_writer::write_all_(std::string_view text)
{
    while (!text.empty()) {
        const ssize_t n = write(fd_, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EPIPE)
            _output_closed_();
        if (n <= 0)
            _output_failed_(n < 0 ? errno : EIO);
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}
