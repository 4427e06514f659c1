#include "link.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

constexpr int CONNECT_WAIT_MS = 5000; // a collector that does not answer a connect in this time counts as down

struct addrinfo_free {
    void operator()(addrinfo *ai) const { freeaddrinfo(ai); }
};

// Connects fd to addr, waiting at most CONNECT_WAIT_MS; 0 or an errno.
int _connect_(int fd, const sockaddr *addr, socklen_t len)
{
    if (connect(fd, addr, len) == 0)
        return 0;
    if (errno != EINPROGRESS)
        return errno;
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, CONNECT_WAIT_MS) != 1)
        return ETIMEDOUT;
    int err = 0;
    socklen_t n = sizeof err;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &n);
    return err;
}

} // namespace

void collector_link::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool collector_link::open(std::string &why)
{
    close();
    return target_.transport == forward_transport::local ? connect_local_(why) : connect_inet_(why);
}

// A datagram socket, as a system log socket usually is; a stream socket
// when the path names one.
bool collector_link::connect_local_(std::string &why)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, target_.path.data(), target_.path.size());
    int err = 0;
    for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
        fd_ = socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            break;
        err = _connect_(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        if (err == 0) {
            stream_ = type == SOCK_STREAM;
            return true;
        }
        close();
        if (err != EPROTOTYPE)
            break;
    }
    why = strerror(err ? err : errno);
    return false;
}

bool collector_link::connect_inet_(std::string &why)
{
    const bool tcp = target_.transport == forward_transport::tcp;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = tcp ? SOCK_STREAM : SOCK_DGRAM;
    addrinfo *found = nullptr;
    if (const int rc = getaddrinfo(target_.host.c_str(), target_.port.c_str(), &hints, &found); rc != 0) {
        why = target_.host + ": " + gai_strerror(rc);
        return false;
    }
    const std::unique_ptr<addrinfo, addrinfo_free> list(found);
    int err = 0;
    for (const addrinfo *ai = found; ai; ai = ai->ai_next) {
        fd_ = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd_ < 0) {
            err = errno;
            continue;
        }
        err = _connect_(fd_, ai->ai_addr, ai->ai_addrlen);
        if (err == 0) {
            stream_ = tcp;
            return true;
        }
        close();
    }
    why = strerror(err);
    return false;
}

ssize_t collector_link::send_stream(std::string_view data, std::chrono::milliseconds bound, std::string &why)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd_, POLLOUT, 0};
            if (poll(&p, 1, static_cast<int>(bound.count())) == 1 && !(p.revents & (POLLERR | POLLHUP)))
                continue;
            if (p.revents & (POLLERR | POLLHUP))
                continue; // the next send says what broke
            break;        // a slow collector: come back later
        }
        why = n == 0 ? "connection closed" : strerror(errno);
        return -1;
    }
    return static_cast<ssize_t>(done);
}

int collector_link::send_datagram(std::string_view msg, std::chrono::milliseconds bound, std::string &why)
{
    for (bool waited = false;;) {
        if (send(fd_, msg.data(), msg.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0)
            return 1;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) {
            why = strerror(errno);
            return -1;
        }
        if (waited)
            return 0;
        // A Unix datagram socket is writable again once its reader took
        // some; UDP rarely fills at all.
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(bound.count()));
        waited = true;
    }
}

bool collector_link::peer_closed() const
{
    pollfd p{fd_, POLLIN | POLLRDHUP, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR));
}
