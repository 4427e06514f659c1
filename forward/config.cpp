// Reading QUARN_FORWARD and QUARN_FORWARD_FACILITY.  Only the form is
// checked here: a host name is looked up by the forwarding thread, again at
// every reconnect, since name service may come up after the server.
#include "config.h"

#include <arpa/inet.h>
#include <sys/un.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <utility>

namespace {

constexpr int FACILITY_LOCAL0 = 16;
constexpr size_t HOST_NAME_MAX_LEN = 253;

struct facility_name {
    char name[9]; // not a pointer: a table of them would need a relocation each
    int code;
};
constexpr std::array<facility_name, 20> FACILITY_NAMES{{
    {"kern", 0},    {"user", 1},    {"mail", 2},    {"daemon", 3},  {"auth", 4},
    {"syslog", 5},  {"lpr", 6},     {"news", 7},    {"uucp", 8},    {"cron", 9},
    {"authpriv", 10}, {"ftp", 11},  {"local0", 16}, {"local1", 17}, {"local2", 18},
    {"local3", 19}, {"local4", 20}, {"local5", 21}, {"local6", 22}, {"local7", 23},
}};

bool _all_digits_(std::string_view s)
{
    return !s.empty() && std::ranges::all_of(s, [](char c) { return isdigit(static_cast<unsigned char>(c)); });
}

// A decimal number within [lo, hi], or -1.
int _number_(std::string_view s, int lo, int hi)
{
    if (!_all_digits_(s) || s.size() > 5)
        return -1;
    int n = 0;
    for (const char c : s) // five digits at most: no overflow
        n = n * 10 + (c - '0');
    return n >= lo && n <= hi ? n : -1;
}

int _facility_(const char *text, std::string &error)
{
    if (!text || !*text)
        return FACILITY_LOCAL0;
    const std::string_view s(text);
    if (_all_digits_(s)) {
        const int n = _number_(s, 0, 23);
        if (n < 0)
            error = "QUARN_FORWARD_FACILITY=" + std::string(s) + " refused: a facility number is 0..23";
        return n;
    }
    for (const auto &f : FACILITY_NAMES)
        if (s == f.name)
            return f.code;
    error = "QUARN_FORWARD_FACILITY=" + std::string(s) +
            " refused: not a facility (kern, user, mail, daemon, auth, syslog, lpr, news, uucp, cron, authpriv, "
            "ftp, local0..local7, or 0..23)";
    return -1;
}

// A host name: letters, digits, '-', '.' and '_'; a dotted quad must be an
// IPv4 address.
const char *_host_problem_(const std::string &host)
{
    if (host.empty())
        return "no host before :PORT";
    if (host.find(':') != std::string::npos)
        return "an IPv6 address goes in brackets, as [::1]:514";
    if (host.size() > HOST_NAME_MAX_LEN)
        return "host name longer than 253 characters";
    const bool ok_chars = std::ranges::all_of(host, [](char c) {
        // isalnum of the C locale, the server's, spelt out
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
               c == '_';
    });
    if (!ok_chars)
        return "host name with a character other than letters, digits, '-', '.' and '_'";
    in_addr v4;
    if (std::ranges::all_of(host, [](char c) { return isdigit(static_cast<unsigned char>(c)) || c == '.'; }) &&
        inet_pton(AF_INET, host.c_str(), &v4) != 1)
        return "not an IPv4 address";
    return nullptr;
}

// HOST:PORT or [IPV6]:PORT into the target; the problem, or null.
const char *_host_port_(std::string_view rest, forward_target &t)
{
    std::string_view port;
    if (rest.starts_with('[')) {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos)
            return "'[' without ']'";
        t.host = std::string(rest.substr(1, close - 1));
        in6_addr v6;
        if (inet_pton(AF_INET6, t.host.c_str(), &v6) != 1)
            return "not an IPv6 address in brackets";
        if (rest.substr(close + 1, 1) != ":")
            return "no :PORT after the address";
        port = rest.substr(close + 2);
    } else {
        const size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos)
            return "no :PORT";
        t.host = std::string(rest.substr(0, colon));
        if (const char *problem = _host_problem_(t.host))
            return problem;
        port = rest.substr(colon + 1);
    }
    if (_number_(port, 1, 65535) < 0)
        return "PORT must be a number 1..65535";
    t.port = std::string(port);
    return nullptr;
}

const char *_socket_path_(std::string_view path, forward_target &t)
{
    if (!path.starts_with('/') || path.size() < 2)
        return "unix:// needs an absolute path, as unix:///dev/log";
    if (path.size() >= sizeof(sockaddr_un::sun_path))
        return "socket path longer than 107 characters";
    t.path = std::string(path);
    return nullptr;
}

const char *_target_(std::string_view s, forward_target &t)
{
    constexpr std::pair<std::string_view, forward_transport> schemes[] = {
        {"udp://", forward_transport::udp}, {"tcp://", forward_transport::tcp}, {"unix://", forward_transport::local}};
    for (const auto &[prefix, transport] : schemes) {
        if (!s.starts_with(prefix))
            continue;
        t.transport = transport;
        const std::string_view rest = s.substr(prefix.size());
        return transport == forward_transport::local ? _socket_path_(rest, t) : _host_port_(rest, t);
    }
    return "not one of udp://HOST:PORT, tcp://HOST:PORT, unix:///path";
}

} // namespace

forward_parse_result forward_parse(const char *value, const char *facility)
{
    forward_parse_result r{true, false, {}, {}};
    r.target.facility = _facility_(facility, r.error);
    if (r.target.facility < 0) {
        r.ok = false;
        return r;
    }
    if (!value || !*value)
        return r;
    r.enabled = true;
    r.target.value = value;
    if (const char *problem = _target_(value, r.target)) {
        r.ok = false;
        r.error = "QUARN_FORWARD=" + r.target.value + " refused: " + problem;
    }
    return r;
}
