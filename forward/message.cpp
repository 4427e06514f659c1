// Formatting of RFC 5424 messages; runs on the forwarding thread only.
#include "message.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <ctime>

namespace {

constexpr char KIND_NAMES[][4] = {"app", "bsp", "dsp"}; // by QUARN_*_LOG_INIT
constexpr size_t MSGID_MAX = 32;

// PRINTUSASCII only, as HOSTNAME and MSGID require; "-" when nothing is left.
std::string _printable_(std::string_view s, size_t max)
{
    std::string out;
    for (const char c : s) {
        if (c == '\0' || out.size() == max)
            break;
        out += c > ' ' && c < 127 ? c : '_';
    }
    return out.empty() ? "-" : out;
}

// Length of the well-formed UTF-8 sequence at the start of s, or 0.
size_t _utf8_len_(std::string_view s)
{
    const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    if (c >= 0x01 && c < 0x80)
        return 1;
    size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || s.size() < n)
        return 0;
    // Second byte ranges that rule out overlong forms, surrogates and
    // code points beyond U+10FFFF.
    const unsigned char lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
    if (b(1) < lo || b(1) > hi)
        return 0;
    for (size_t i = 2; i < n; ++i)
        if ((b(i) & 0xC0) != 0x80)
            return 0;
    return n;
}

// Appends text as UTF-8 with every other byte as \xHH, stopping before
// out would pass max bytes.
void _append_text_(std::string &out, std::string_view text, size_t max)
{
    while (!text.empty()) {
        // Log text is mostly ASCII: take a run of it in one append.
        size_t ascii = 0;
        while (ascii < text.size() && static_cast<unsigned char>(text[ascii] - 1) < 0x7F)
            ++ascii;
        if (ascii > 0) {
            const size_t room = max > out.size() ? max - out.size() : 0;
            out.append(text.substr(0, std::min(ascii, room)));
            if (ascii > room)
                return;
            text.remove_prefix(ascii);
            continue;
        }
        const size_t n = _utf8_len_(text);
        const size_t add = n ? n : 4;
        if (out.size() + add > max)
            return;
        if (n) {
            out.append(text.substr(0, n));
        } else {
            char esc[5];
            snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned char>(text[0]));
            out.append(esc, 4);
        }
        text.remove_prefix(n ? n : 1);
    }
}

} // namespace

uint8_t forward_severity(uint32_t level)
{
    constexpr uint8_t by_level[] = {7, 6, 4, 3};
    return level < std::size(by_level) ? by_level[level] : 6;
}

void forward_append_number(std::string &out, uint32_t n)
{
    char digits[10];
    size_t at = sizeof digits;
    do
        digits[--at] = static_cast<char>('0' + n % 10);
    while ((n /= 10) != 0);
    out.append(digits + at, sizeof digits - at);
}

forward_format::forward_format(int facility) : facility_(facility), pid_(static_cast<uint32_t>(getpid()))
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        name[0] = '\0';
    host_ = _printable_(name, 255);
}

// RFC 3339 local time with microseconds and the UTC offset; the date part is
// worked out once per second.
void forward_format::stamp_(std::string &out, int64_t sec, uint32_t usec)
{
    if (sec != stamp_sec_) {
        const time_t t = static_cast<time_t>(sec);
        tm local{};
        localtime_r(&t, &local);
        char date[32];
        strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
        // Minutes east of UTC, worked out unsigned so that the board's C
        // runtime needs no signed division.
        const long east = local.tm_gmtoff;
        const unsigned long east_abs = east < 0 ? 0ul - static_cast<unsigned long>(east) : static_cast<unsigned long>(east);
        const unsigned off = static_cast<unsigned>(east_abs / 60 % (24 * 60));
        char zone[16];
        snprintf(zone, sizeof zone, "%c%02u:%02u", east < 0 && off != 0 ? '-' : '+', off / 60, off % 60);
        stamp_sec_ = sec, stamp_date_ = date, stamp_zone_ = zone;
    }
    char frac[7] = {'.'};
    for (uint32_t i = 6, u = usec % 1000000; i > 0; --i, u /= 10)
        frac[i] = static_cast<char>('0' + u % 10);
    out.append(stamp_date_).append(frac, sizeof frac).append(stamp_zone_);
}

void forward_format::append(std::string &out, const forward_line_meta &m, std::string_view text, size_t max)
{
    const size_t start = out.size();
    out += '<';
    const int facility = m.facility == FORWARD_OWN_FACILITY ? facility_ : m.facility;
    forward_append_number(out, static_cast<uint32_t>(facility * 8 + (m.severity & 7)));
    out += ">1 ";
    stamp_(out, m.sec, m.usec);
    const std::string tag = _printable_(m.tag, MSGID_MAX); // APP-NAME too: the collector sees who sent it
    out.append(" ").append(host_).append(" ").append(tag).append(" ");
    forward_append_number(out, m.pid ? m.pid : pid_);
    out.append(" ").append(tag);
    out.append(" [quarn@32473 kind=\"").append(KIND_NAMES[m.kind % 3]).append("\" level=\"");
    forward_append_number(out, m.level);
    out.append("\"] ");
    if (text.ends_with('\n'))
        text.remove_suffix(1);
    _append_text_(out, text, start + max);
}
