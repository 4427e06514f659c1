// The connection to the collector.  Every socket is non-blocking and every
// wait is bounded, so the forwarding thread always comes back to its queue.
#pragma once

#include "config.h"

#include <chrono>
#include <string>
#include <string_view>
#include <sys/types.h>

class collector_link {
  public:
    explicit collector_link(forward_target target) : target_(std::move(target)) {}
    ~collector_link() { close(); }
    collector_link(const collector_link &) = delete;
    collector_link &operator=(const collector_link &) = delete;

    // Looks the host up (every time: name service may have changed) and
    // connects.  False, with the reason in why, when no address took it.
    bool open(std::string &why);
    void close();
    bool is_open() const { return fd_ >= 0; }
    // Octet-counted stream (tcp, or a Unix stream socket) or datagrams.
    bool stream() const { return stream_; }

    // Stream: sends what it can of data within bound.  The bytes sent, or -1
    // when the connection broke (why says how).
    ssize_t send_stream(std::string_view data, std::chrono::milliseconds bound, std::string &why);
    // Datagram: sends one message, waiting up to bound for room.  1 sent,
    // 0 the socket is still full, -1 failed (why says how).
    int send_datagram(std::string_view msg, std::chrono::milliseconds bound, std::string &why);
    // Stream: the collector has closed its end (it never sends anything, so
    // readable means gone).
    bool peer_closed() const;

  private:
    bool connect_local_(std::string &why);
    bool connect_inet_(std::string &why);

    forward_target target_;
    int fd_ = -1;         // the connected socket, or -1
    bool stream_ = false; // fd_ is a stream socket
};
