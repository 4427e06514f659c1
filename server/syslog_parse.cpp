// Taking apart syslog datagrams and laying them out as ring records.
#include "syslog_parse.h"

#include "levels.h"

#include <algorithm>

namespace {

using sv = std::string_view;

constexpr sv NO_TAG = "syslog";

bool _digit_(char c) { return c >= '0' && c <= '9'; }

// "<PRI>" at the front of s, 0..191: facility and severity set, s moved past it.
bool _take_pri_(sv &s, syslog_msg_t &m)
{
    if (s.size() < 3 || s[0] != '<')
        return false;
    unsigned pri = 0;
    size_t i = 1;
    for (; i < s.size() && i <= 3 && _digit_(s[i]); ++i)
        pri = pri * 10 + static_cast<unsigned>(s[i] - '0');
    if (i == 1 || i >= s.size() || s[i] != '>' || pri > 191)
        return false;
    m.facility = static_cast<uint8_t>(pri >> 3);
    m.severity = static_cast<uint8_t>(pri & 7);
    s.remove_prefix(i + 1);
    return true;
}

// Length of a BSD time stamp "Mmm dd hh:mm:ss " at the front of s, or 0.
size_t _bsd_stamp_len_(sv s)
{
    constexpr sv shape = "Aaa d0 00:00:00 "; // A letter, 0 digit, d digit or blank
    if (s.size() < shape.size())
        return 0;
    for (size_t i = 0; i < shape.size(); ++i) {
        const char c = s[i], want = shape[i];
        const bool ok = want == 'A' || want == 'a' ? (c | 0x20) >= 'a' && (c | 0x20) <= 'z'
                        : want == '0'              ? _digit_(c)
                        : want == 'd'              ? c == ' ' || _digit_(c)
                                                   : c == want;
        if (!ok)
            return 0;
    }
    return shape.size();
}

bool _tag_char_(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u > ' ' && u != 0x7F && c != ':' && c != '[' && c != ']';
}

// "TAG: ", "TAG[PID]: " or "TAG[PID] " at the front of s: tag and pid set,
// s moved to the message.  False, s as it was, for anything else.
bool _take_tag_(sv &s, syslog_msg_t &m)
{
    size_t i = 0;
    while (i < s.size() && i <= SYSLOG_TAG_MAX && _tag_char_(s[i]))
        ++i;
    if (i == 0 || i > SYSLOG_TAG_MAX || i == s.size())
        return false;
    const sv tag = s.substr(0, i);
    uint32_t pid = 0;
    if (s[i] == '[') {
        const size_t from = ++i;
        for (; i < s.size() && i - from < 10 && _digit_(s[i]); ++i)
            pid = pid * 10 + static_cast<uint32_t>(s[i] - '0');
        if (i == from || i == s.size() || s[i] != ']')
            return false;
        if (++i < s.size() && s[i] != ':' && s[i] != ' ')
            return false;
    } else if (s[i] != ':') {
        return false;
    }
    if (i < s.size() && s[i] == ':')
        ++i;
    if (i < s.size() && s[i] == ' ')
        ++i;
    m.tag = tag, m.pid = pid;
    s.remove_prefix(i);
    return true;
}

// The BSD and libc forms: an optional time stamp, then TAG, which a relay
// puts behind a host name.
void _bsd_(sv s, syslog_msg_t &m)
{
    const size_t stamp = _bsd_stamp_len_(s);
    s.remove_prefix(stamp);
    if (!_take_tag_(s, m) && stamp > 0) {
        const size_t blank = s.find(' ');
        sv after = blank == sv::npos ? sv{} : s.substr(blank + 1);
        if (blank > 0 && _take_tag_(after, m))
            s = after;
    }
    m.msg = s;
}

// The next field of an RFC 5424 header, and s moved past its blank.
sv _field_(sv &s)
{
    const size_t blank = std::min(s.find(' '), s.size());
    const sv f = s.substr(0, blank);
    s.remove_prefix(std::min(blank + 1, s.size()));
    return f;
}

// Moves s past STRUCTURED-DATA: "-" or elements "[...]" whose quoted
// values may hold escaped quotes and brackets.
void _skip_sd_(sv &s)
{
    if (!s.empty() && s[0] == '-') {
        s.remove_prefix(1);
        return;
    }
    size_t i = 0;
    while (i < s.size() && s[i] == '[') {
        bool quoted = false;
        for (++i; i < s.size() && (quoted || s[i] != ']'); ++i) {
            if (s[i] == '\\' && quoted)
                ++i;
            else if (s[i] == '"')
                quoted = !quoted;
        }
        i = std::min(i + 1, s.size());
    }
    s.remove_prefix(i);
}

void _rfc5424_(sv s, syslog_msg_t &m)
{
    _field_(s); // TIMESTAMP: the receive time counts
    _field_(s); // HOSTNAME
    const sv app = _field_(s), procid = _field_(s);
    _field_(s); // MSGID
    _skip_sd_(s);
    if (!s.empty() && s[0] == ' ')
        s.remove_prefix(1);
    if (s.starts_with("\xEF\xBB\xBF"))
        s.remove_prefix(3);
    if (app != "-" && !app.empty())
        m.tag = app.substr(0, std::min(SYSLOG_TAG_MAX, static_cast<size_t>(std::ranges::find_if_not(app, _tag_char_) - app.begin())));
    if (!procid.empty() && procid.size() < 10 && std::ranges::all_of(procid, _digit_))
        for (const char c : procid)
            m.pid = m.pid * 10 + static_cast<uint32_t>(c - '0');
    m.msg = s;
}

size_t _put_(char *at, sv s)
{
    memcpy(at, s.data(), s.size());
    return s.size();
}

// Where the part of msg that starts at `from` ends, and where the next one
// starts: at the next newline, or after SYSLOG_PART_MAX bytes without
// splitting a UTF-8 sequence.
size_t _part_end_(sv msg, size_t from, size_t *next)
{
    const sv rest = msg.substr(from);
    size_t len = std::min(rest.find('\n'), rest.size());
    *next = from + len + (len < rest.size() ? 1 : 0);
    if (len > SYSLOG_PART_MAX) {
        len = SYSLOG_PART_MAX;
        for (int back = 0; back < 3 && (static_cast<unsigned char>(rest[len]) & 0xC0) == 0x80; ++back)
            --len;
        *next = from + len;
    }
    return len;
}

} // namespace

bool syslog_parse(const char *data, size_t n, syslog_msg_t *out)
{
    sv s(data, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '\0'))
        s.remove_suffix(1);
    syslog_msg_t m;
    sv rest = s;
    if (!_take_pri_(rest, m))
        s.starts_with('<') ? void(m.msg = s) : _bsd_(s, m);
    else if (rest.starts_with("1 "))
        _rfc5424_(rest.substr(2), m);
    else
        _bsd_(rest, m);
    if (m.tag.empty() && m.msg.empty())
        return false;
    *out = m;
    return true;
}

int syslog_level(uint8_t severity)
{
    if (severity <= 3)
        return QUARN_LEVEL_ERROR;
    if (severity == 4)
        return QUARN_LEVEL_WARN;
    return severity == 7 ? QUARN_LEVEL_DEBUG : QUARN_LEVEL_INFO;
}

size_t syslog_record(const syslog_msg_t &m, const char *stamp, uint32_t pid, size_t *at, char *rec)
{
    const int level = syslog_level(m.severity);
    const sv tag = m.tag.empty() ? NO_TAG : m.tag.substr(0, SYSLOG_TAG_MAX);
    const size_t from = std::min(*at, m.msg.size());
    const size_t part = _part_end_(m.msg, from, at);
    char *text = rec + QUARN_MSG_HEAD_LEN;
    const syslog_origin_t origin{pid ? pid : m.pid, m.facility, m.severity, {}};
    size_t len = _put_(text, sv(reinterpret_cast<const char *>(&origin), sizeof origin));
    len += _put_(text + len, sv(stamp, SYSLOG_STAMP_LEN));
    len += _put_(text + len, QUARN_LEVEL_LABELS[level]);
    text[len++] = '[';
    len += _put_(text + len, tag);
    text[len++] = ']';
    for (const char c : m.msg.substr(from, part)) {
        const auto u = static_cast<unsigned char>(c);
        text[len++] = (u < ' ' && c != '\t') || u == 0x7F ? ' ' : c;
    }
    text[len++] = '\n';
    quarn_msg_head_t head{QUARN_MSG_MAGIC, QUARN_TYPE_SYSLOG, static_cast<uint16_t>(len), level, {}};
    memcpy(head.name, tag.data(), std::min(tag.size(), size_t{QUARN_MSG_TAG_MAX}));
    memcpy(rec, &head, sizeof head);
    return QUARN_MSG_HEAD_LEN + len;
}
