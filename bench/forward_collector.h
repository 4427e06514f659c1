// W3 with forwarding: the server forwards every line to a local rsyslog
// over TCP, measured beside the same server without forwarding, and beside
// it forwarding to a bare TCP sink that reads and drops, which stands in
// for a collector on another machine.
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

// A process on 127.0.0.1 that reads every TCP connection and drops what
// it reads, ended with the object.
class forward_sink {
  public:
    forward_sink();
    ~forward_sink();
    forward_sink(const forward_sink &) = delete;
    forward_sink &operator=(const forward_sink &) = delete;
    std::string target; // the QUARN_FORWARD value that reaches it

  private:
    pid_t pid_;
};

} // namespace burst
