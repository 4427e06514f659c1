// Where forwarding goes: QUARN_FORWARD and QUARN_FORWARD_FACILITY, read once
// at start-up.
#pragma once

#include <string>
#include <string_view>

enum class forward_transport {
    udp,  // one message per datagram
    tcp,  // octet-counted stream
    local, // a Unix socket: datagram, or stream where the socket is one
};

struct forward_target {
    forward_transport transport;
    std::string host; // name or address, without IPv6 brackets (udp, tcp)
    std::string port; // decimal 1..65535 (udp, tcp)
    std::string path; // absolute socket path (local)
    int facility;     // syslog facility code, 0..23
    std::string value; // the value as given, for messages
};

struct forward_parse_result {
    bool ok;              // false: refused
    bool enabled;         // a target was given
    forward_target target;
    std::string error;    // why it was refused
};

// Parses a QUARN_FORWARD value and a QUARN_FORWARD_FACILITY value (either
// may be null: unset; an empty forward value means off, an empty facility
// the default local0).
forward_parse_result forward_parse(const char *value, const char *facility);
