// The server's side of the socket as the client tests see it: a listener on
// the name every client connects to, and bounded reads of what arrives.
#pragma once

#include "quarn.h"
#include "support.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// A descriptor closed at the end of its scope.
class owned_fd {
  public:
    explicit owned_fd(int fd = -1) : fd_(fd) {}
    ~owned_fd() { reset(); }
    owned_fd(const owned_fd &) = delete;
    owned_fd &operator=(const owned_fd &) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

  private:
    int fd_; // owned descriptor or -1
};

// False when nothing arrived within ms (the hang bound by default).
inline bool wait_readable(int fd, int ms = 30000)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

// Spelled out here rather than taken from the library: NUL, then the path
// less its last letter, in a 24-byte address.
inline int connect_or_bind(int fd, bool bind_it)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, "\0/home/app/quarn_socke", 22);
    const auto *a = reinterpret_cast<sockaddr *>(&addr);
    return bind_it ? bind(fd, a, 24) : connect(fd, a, 24);
}

inline int bind_listener(int backlog = 10)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect_or_bind(fd, true) < 0 || listen(fd, backlog) < 0)
        ADD_FAILURE() << "listener: " << strerror(errno);
    return fd;
}

inline int accept_one(int listener)
{
    return wait_readable(listener) ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

// Everything up to the peer's close, or until nothing came for ms (0: what
// has arrived so far).
inline std::string read_until_eof(int fd, int ms = 30000)
{
    std::string bytes;
    char buf[65536];
    for (ssize_t n; wait_readable(fd, ms) && (n = recv(fd, buf, sizeof buf, 0)) > 0;)
        bytes.append(buf, static_cast<size_t>(n));
    return bytes;
}

struct received_t {
    quarn_msg_head_t head{}; // header as it arrived
    std::string text;        // exactly head.len bytes
};

// The records of a stream; a bad marker or a torn record fails the test.
inline std::vector<received_t> records(const std::string &stream)
{
    std::vector<received_t> out;
    for (size_t at = 0; at < stream.size(); at += sizeof(quarn_msg_head_t) + out.back().head.len) {
        received_t r;
        std::memcpy(&r.head, stream.data() + at, std::min(sizeof r.head, stream.size() - at));
        if (stream.size() - at < sizeof r.head || r.head.magic != QUARN_MSG_MAGIC ||
            stream.size() - at - sizeof r.head < r.head.len) {
            ADD_FAILURE() << "bad or torn record at " << at;
            break;
        }
        r.text = stream.substr(at + sizeof r.head, r.head.len);
        out.push_back(r);
    }
    return out;
}

// One record as it travels: the 40-byte header, then the text.
inline std::string make_record(uint16_t type, int32_t level, std::string_view text,
                               uint32_t magic = QUARN_MSG_MAGIC, const char *tag = "TEST")
{
    quarn_msg_head_t head{magic, type, static_cast<uint16_t>(text.size()), level, {}};
    strncpy(head.name, tag, QUARN_MSG_TAG_MAX);
    return std::string(reinterpret_cast<const char *>(&head), sizeof head).append(text);
}

// Blocking: the test itself never loses a record.
inline bool send_all(int fd, std::string_view bytes)
{
    for (ssize_t n; fd >= 0 && !bytes.empty(); bytes.remove_prefix(static_cast<std::size_t>(n)))
        if ((n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0)
            return false;
    return fd >= 0;
}
