// Feeds arbitrary datagrams through the system log socket's parser and
// record layout, as its receive thread does.
//
// Checks: every record fits the ring's longest record and its header's
// length; its text is the origin block, the stamp, a label of the record's
// level, the tag in brackets, then a part without control bytes and one
// newline; the parts advance through the message and together hold every
// byte of it that is not a newline.
#include "syslog_parse.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr const char *STAMP = "[2024-01-02 03:04:05]";
constexpr std::string_view LABELS[] = {"[DBUG]", "[INFO]", "[WARN]", "[ERROR]"};

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "fuzz_syslog: %s\n", what);
    abort();
}

// Checks one record of m and returns the bytes of its part.
size_t _check_record_(const syslog_msg_t &m, const char *rec, size_t size)
{
    quarn_msg_head_t head;
    memcpy(&head, rec, sizeof head);
    if (size > SYSLOG_RECORD_MAX || size > 1280 || size_t{head.len} + QUARN_MSG_HEAD_LEN != size)
        fail("record size");
    if (head.magic != QUARN_MSG_MAGIC || head.type != QUARN_TYPE_SYSLOG || head.level != syslog_level(m.severity))
        fail("record header");
    const char *text = rec + QUARN_MSG_HEAD_LEN;
    uint32_t len = head.len;
    syslog_origin_t from;
    if (!syslog_origin_take(text, len, &from) || from.facility != m.facility || from.severity != m.severity)
        fail("origin block");
    std::string_view line(text, len);
    const std::string_view tag = m.tag.empty() ? "syslog" : m.tag;
    const std::string_view label = LABELS[head.level];
    if (!line.starts_with(STAMP) || line.substr(21, label.size()) != label ||
        line.substr(21 + label.size(), tag.size() + 2) != "[" + std::string(tag) + "]" || !line.ends_with('\n'))
        fail("line layout");
    const std::string_view part = line.substr(21 + label.size() + tag.size() + 2, line.size() - 1);
    for (size_t i = 0; i + 1 < part.size(); ++i)
        if (static_cast<unsigned char>(part[i]) < ' ' && part[i] != '\t')
            fail("control byte in a part");
    return part.size() - 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    syslog_msg_t m;
    if (!syslog_parse(reinterpret_cast<const char *>(data), size, &m))
        return 0;
    if (m.facility > 23 || m.severity > 7 || m.tag.size() > SYSLOG_TAG_MAX)
        fail("parsed fields");
    const char *begin = reinterpret_cast<const char *>(data);
    if (m.msg.size() > 0 && (m.msg.data() < begin || m.msg.data() + m.msg.size() > begin + size))
        fail("message outside the datagram");
    alignas(8) static char rec[SYSLOG_RECORD_MAX];
    size_t at = 0, kept = 0;
    do {
        const size_t before = at;
        kept += _check_record_(m, rec, syslog_record(m, STAMP, 7, &at, rec));
        if (at <= before && m.msg.size() > 0)
            fail("no progress");
    } while (at < m.msg.size());
    size_t newlines = 0;
    for (const char c : m.msg)
        newlines += c == '\n';
    if (kept + newlines != m.msg.size())
        fail("bytes of the message lost or added");
    return 0;
}
