// W3 with forwarding: the server forwards every line to a local rsyslog
// over TCP, measured beside the same server without forwarding.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace burst {

// rsyslogd is installed (tools/deps.sh installs it).
bool forward_collector_available();

// argv run with QUARN_FORWARD=target in its environment.
std::vector<std::string> forwarding(const std::string &target, std::vector<std::string> argv);

// A running rsyslog on 127.0.0.1, ended with the object; the harness dies
// when it cannot be had.
class forward_collector {
  public:
    forward_collector();
    ~forward_collector();
    forward_collector(const forward_collector &) = delete;
    forward_collector &operator=(const forward_collector &) = delete;
    std::string target; // the QUARN_FORWARD value that reaches it

  private:
    std::string dir_; // its configuration and work directory
    pid_t pid_;       // of rsyslogd
};

} // namespace burst
