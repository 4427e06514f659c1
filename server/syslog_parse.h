// Messages of the system log socket: what libc's syslog(3) (glibc, musl,
// uClibc), logger and RFC 5424 senders put in a datagram, taken apart and
// laid out as records of the ring buffer.
//
//   <PRI>Mmm dd hh:mm:ss TAG[PID]: MSG     (time stamp, [PID] optional)
//   <PRI>1 TIMESTAMP HOST APP-NAME PROCID MSGID SD MSG
//
// Nothing here reads outside the bytes it is given, allocates or prints;
// every datagram, however malformed, comes back as records or as a refusal.
#pragma once

#include "quarn.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

// Origin code of the records the syslog socket makes: internal, like the
// stop record, and never accepted from a connection.  Their text starts with
// a syslog_origin_t, then the line.
inline constexpr uint16_t QUARN_TYPE_SYSLOG = 0x3001;

inline constexpr uint8_t SYSLOG_FACILITY_KERN = 0;
inline constexpr size_t SYSLOG_TAG_MAX = 48;   // longest TAG kept (RFC 5424's APP-NAME)
inline constexpr size_t SYSLOG_STAMP_LEN = 21; // "[YYYY-MM-DD hh:mm:ss]"
inline constexpr size_t SYSLOG_PART_MAX = QUARN_MSG_PART_MAX - 1; // the library's message part, less its newline

// Where a syslog line came from, carried in front of its text through the
// ring so that forwarding can send it as it arrived.
struct syslog_origin_t {
    uint32_t pid;     // the sender's pid from its credentials; 0 unknown
    uint8_t facility; // 0..23, as the sender gave it
    uint8_t severity; // 0..7, as the sender gave it
    uint8_t pad[2];   // zero
};
static_assert(sizeof(syslog_origin_t) == 8, "the block keeps the text 8-byte aligned");

// Longest record syslog_record makes: header, origin block, stamp, the
// longest label, tag in brackets, one message part and its newline.
inline constexpr size_t SYSLOG_RECORD_MAX =
    QUARN_MSG_HEAD_LEN + sizeof(syslog_origin_t) + SYSLOG_STAMP_LEN + 7 + SYSLOG_TAG_MAX + 2 + QUARN_MSG_PART_MAX + 1;

// One datagram taken apart; the views point into it.
struct syslog_msg_t {
    uint8_t facility = 1;  // user when the datagram has no valid PRI
    uint8_t severity = 5;  // notice when the datagram has no valid PRI
    uint32_t pid = 0;      // the PID of TAG[PID] or PROCID; 0 none
    std::string_view tag;  // TAG or APP-NAME; empty when the message has none
    std::string_view msg;  // MSG, less trailing newlines, CRs and NULs
};

// Takes apart the n bytes at data.  False when there is nothing to store:
// an empty datagram, or one with neither tag nor message.  A missing or
// invalid PRI (not 0..191) reads as user.notice with the bytes from the
// first one on as the message.
bool syslog_parse(const char *data, size_t n, syslog_msg_t *out);

// The level code of a severity: emerg..err error, warning warning,
// notice and info info, debug debug.
int syslog_level(uint8_t severity);

// Writes the next record of m at rec (room for SYSLOG_RECORD_MAX bytes) and
// returns its size: a QUARN_TYPE_SYSLOG header named after the tag, the
// origin block, then "STAMP[LABEL][tag]part\n" as the client library lays
// out a line of that level and tag.  The part is the message from *at up to
// its next newline, at most SYSLOG_PART_MAX bytes cut on a UTF-8
// character boundary, with control bytes as blanks; *at moves past it.  An
// empty message makes one record with an empty part.  The caller repeats
// while *at < m.msg.size(); "syslog" stands for a missing tag.
size_t syslog_record(const syslog_msg_t &m, const char *stamp, uint32_t pid, size_t *at, char *rec);

// The origin block at the front of a syslog record's text: copied to from,
// and text and len moved past it.  False when len cannot hold one.
inline bool syslog_origin_take(const char *&text, uint32_t &len, syslog_origin_t *from)
{
    if (len < sizeof *from)
        return false;
    memcpy(from, text, sizeof *from);
    text += sizeof *from;
    len -= sizeof *from;
    return true;
}
