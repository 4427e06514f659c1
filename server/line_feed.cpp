// Cutting text into log lines for the shell words.
#include "line_feed.h"

#include "quarn.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace {

// The library's message part holds the newline too.
constexpr size_t QUARN_PIECE_MAX = QUARN_MSG_PART_MAX - 1;

// Bytes of the next piece of a line of n bytes: all of it, or at most
// QUARN_PIECE_MAX without splitting a UTF-8 sequence.
size_t _piece_(const char *p, size_t n)
{
    if (n <= QUARN_PIECE_MAX)
        return n;
    size_t len = QUARN_PIECE_MAX;
    for (int back = 0; back < 3 && (static_cast<unsigned char>(p[len]) & 0xC0) == 0x80; ++back)
        --len;
    return len;
}

} // namespace

void line_feed::send(const char *data, size_t n)
{
    do {
        const size_t len = _piece_(data, n);
        quarn_msg_write_with_type(origin_, level_, tag_.c_str(), "%.*s\n", static_cast<int>(len), data);
        data += len, n -= len;
    } while (n > 0);
}

void line_feed::feed(const char *data, size_t n)
{
    pending_.append(data, n);
    size_t from = 0;
    for (size_t nl; (nl = pending_.find('\n', from)) != std::string::npos; from = nl + 1)
        send(pending_.data() + from, nl - from);
    pending_.erase(0, from);
    // A line that will not fit one message goes out as it fills, so a
    // program that never writes a newline costs no more than a message.
    size_t whole = 0;
    while (pending_.size() - whole > QUARN_PIECE_MAX) {
        const size_t len = _piece_(pending_.data() + whole, pending_.size() - whole);
        send(pending_.data() + whole, len);
        whole += len;
    }
    pending_.erase(0, whole);
}

void line_feed::finish()
{
    if (!pending_.empty())
        send(pending_.data(), pending_.size());
    pending_.clear();
}

std::string line_feed_user()
{
    if (const passwd *pw = getpwuid(geteuid()); pw && pw->pw_name && *pw->pw_name)
        return pw->pw_name;
    for (const char *name : {"LOGNAME", "USER"})
        if (const char *v = getenv(name); v && *v)
            return v;
    return "quarn";
}
