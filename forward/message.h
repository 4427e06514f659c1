// One stored line as an RFC 5424 message:
//   <PRI>1 TIMESTAMP HOSTNAME TAG PROCID TAG [quarn@32473 kind="app" level="1"] MSG
// APP-NAME and MSGID are the line's tag; PROCID is the sending process's
// pid, from its connection's credentials or its syslog line, or the
// server's for its own lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr uint8_t FORWARD_OWN_FACILITY = 0xFF; // the line takes QUARN_FORWARD_FACILITY

struct forward_line_meta {
    int64_t sec;      // arrival at the server, seconds since the epoch
    uint32_t usec;    // and microseconds
    uint8_t kind;     // QUARN_*_LOG_INIT
    uint8_t level;    // level code of the record; 4 for kernel lines
    uint8_t severity; // syslog severity, 0..7
    std::string_view tag;
    uint8_t facility = FORWARD_OWN_FACILITY; // a syslog line's own facility, or the configured one
    uint32_t pid = 0;                        // a syslog line's sender; 0: the server
};

// Syslog severity of a record's level code: debug 7, info 6, warning 4,
// error 3, file-only (and anything else) 6.
uint8_t forward_severity(uint32_t level);

// Appends n in decimal; forwarding's one writer of numbers.
void forward_append_number(std::string &out, uint32_t n);

class forward_format {
  public:
    explicit forward_format(int facility);

    // Appends the message for one line to out, cut to at most max bytes on a
    // character boundary.  MSG is the text less one trailing newline; bytes
    // that are not UTF-8, and NUL, become the four characters \xHH.
    void append(std::string &out, const forward_line_meta &m, std::string_view text, size_t max);

  private:
    void stamp_(std::string &out, int64_t sec, uint32_t usec);

    int facility_;         // syslog facility code
    std::string host_;     // HOSTNAME field, from gethostname
    uint32_t pid_;         // PROCID field of the server's own lines
    int64_t stamp_sec_ = -1; // second that stamp_date_ holds
    std::string stamp_date_; // "YYYY-MM-DDThh:mm:ss" of stamp_sec_
    std::string stamp_zone_; // its UTC offset, "+hh:mm"
};
