#include "line.h"

#include "levels.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr std::size_t STAMP_LEN = 21; // "[YYYY-MM-DD hh:mm:ss]"

bool _digit_(char c) { return c >= '0' && c <= '9'; }

// Reads the digits of text at the places where pattern has a 'd' and
// checks the other characters; the digits read in order make the number.
bool _match_(std::string_view text, std::string_view pattern, uint64_t &number)
{
    if (text.size() < pattern.size())
        return false;
    number = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != 'd' && text[i] != pattern[i])
            return false;
        if (pattern[i] == 'd') {
            if (!_digit_(text[i]))
                return false;
            number = number * 10 + static_cast<uint64_t>(text[i] - '0');
        }
    }
    return true;
}

uint64_t _key_of_(const tm &t)
{
    const auto v = [](int x) { return static_cast<uint64_t>(x); };
    return ((((v(t.tm_year + 1900) * 100 + v(t.tm_mon + 1)) * 100 + v(t.tm_mday)) * 100 + v(t.tm_hour)) * 100 +
            v(t.tm_min)) * 100 + v(t.tm_sec);
}

// "-10m" and the like: the stamp number of now less that span, local time.
bool _relative_key_(std::string_view text, time_t now, uint64_t &key)
{
    if (text.size() < 3 || text[0] != '-')
        return false;
    uint64_t n = 0;
    if (!logread_decimal(text.substr(1, text.size() - 2), 100ull * 365 * 86400, n))
        return false;
    const auto unit = std::string_view("smhd").find(text.back());
    if (unit == std::string_view::npos)
        return false;
    constexpr uint64_t SECONDS[] = {1, 60, 3600, 86400};
    const time_t then = now - static_cast<time_t>(n * SECONDS[unit]);
    tm local{};
    if (!localtime_r(&then, &local))
        return false;
    key = _key_of_(local);
    return true;
}

// True when the stamp number YYYYMMDDhhmmss names a time that exists
// (2026-02-30 and 25:00 do not).
bool _real_time_(uint64_t key)
{
    // Unsigned all through: the board's C runtime then needs no signed division.
    const auto two = [&](uint64_t below) { return static_cast<unsigned>(key / below % 100); }; // two digits
    const unsigned year = static_cast<unsigned>(key / 10000000000), month = two(100000000), day = two(1000000);
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    constexpr unsigned DAYS[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month >= 1 && month <= 12 && day >= 1 && day <= DAYS[month - 1] + (month == 2 && leap) &&
           two(10000) < 24 && two(100) < 60 && two(1) < 60;
}

} // namespace

bool logread_decimal(std::string_view text, uint64_t max, uint64_t &n)
{
    n = 0;
    for (const char c : text) {
        const auto digit = static_cast<uint64_t>(c - '0');
        if (!_digit_(c) || n > max / 10 || digit > max - n * 10)
            return false;
        n = n * 10 + digit;
    }
    return !text.empty();
}

bool logread_stamp(std::string_view text, uint64_t &key)
{
    return _match_(text, "[dddd-dd-dd dd:dd:dd]", key);
}

bool logread_line_head(std::string_view text)
{
    uint64_t key = 0;
    if (logread_stamp(text, key))
        return true;
    const std::size_t close = text.substr(0, 5).find('>');
    return text.size() >= 3 && text[0] == '<' && close != std::string_view::npos && close >= 2 &&
           std::all_of(text.begin() + 1, text.begin() + static_cast<std::ptrdiff_t>(close), _digit_);
}

log_line logread_parse(std::string_view text)
{
    log_line line;
    if (!logread_stamp(text, line.key))
        return line;
    text.remove_prefix(STAMP_LEN);
    line.level = LOGREAD_FILE_ONLY;
    for (int i = 0; i < 4; ++i) {
        const std::string_view label = QUARN_LEVEL_LABELS[i];
        if (text.starts_with(label)) {
            line.level = i;
            text.remove_prefix(label.size());
            break;
        }
    }
    if (line.level == LOGREAD_FILE_ONLY || !text.starts_with('['))
        return line;
    const std::size_t close = text.find_first_of("]\n");
    if (close != std::string_view::npos && text[close] == ']')
        line.tag = text.substr(1, close - 1);
    return line;
}

bool logread_time_key(std::string_view text, time_t now, uint64_t &key)
{
    if (_relative_key_(text, now, key))
        return true;
    char copy[19]; // the longest form
    if (text.size() > sizeof copy)
        return false;
    memcpy(copy, text.data(), text.size());
    if (text.size() > 10 && copy[10] == 'T')
        copy[10] = ' ';
    const std::string_view t(copy, text.size());
    // Parts left out count as zero.
    static constexpr char FORMS[][20] = {"dddd-dd-dd dd:dd:dd", "dddd-dd-dd dd:dd", "dddd-dd-dd"};
    static constexpr uint64_t SCALE[] = {1, 100, 1000000};
    for (std::size_t i = 0; i < std::size(FORMS); ++i) {
        if (t.size() == strlen(FORMS[i]) && _match_(t, FORMS[i], key)) {
            key *= SCALE[i];
            return _real_time_(key);
        }
    }
    return false;
}

bool line_filter::pass(const log_line &entry, bool kernel) const
{
    if (kernel)
        return !by_time();
    if (entry.level == LOGREAD_NO_LEVEL)
        return !active(); // text no stamped line claims
    const int level = entry.level == LOGREAD_FILE_ONLY ? 1 : entry.level;
    if (level < min_level)
        return false;
    if (!tags.empty() && std::find(tags.begin(), tags.end(), entry.tag) == tags.end())
        return false;
    return entry.key >= since && entry.key <= until;
}
