// The local socket endpoint: a thin layer over the socket calls that the
// server and every client share.  Results follow socket.h; the server's
// failures print here, once; the client's calls print nothing, since the
// sender calls them under its connection lock and prints after it.
#include "socket.h"

#include "quarn.h"
#include "result.h"

#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Only the family, the leading NUL and 21 characters of the path are given to
// bind and connect, so the name is "\0/home/app/quarn_socke".  Every client in
// the field connects to exactly that name; the short length therefore stays.
constexpr socklen_t QUARN_SOCK_ADDR_LEN = 24;
// On a Unix stream the sender's buffer alone bounds what is queued for the
// server; the receive buffer of the listening socket is kept for what may
// rely on it, but holds nothing back.
constexpr int QUARN_SOCK_RCVBUF = 1048576;
// What a client may queue while the server is behind.  The kernel charges
// each small record at about five times its size, so the default buffer
// (208 KiB) held only some 280 records of 160 bytes and a burst lost the
// rest.  The kernel caps the request at net.core.wmem_max and doubles it:
// 2 MiB where that allows 1 MiB, 416 KiB with the stock 208 KiB.  It is
// memory taken only while records wait, never for an idle connection.
constexpr int QUARN_SOCK_SNDBUF = 1048576;
// Clients connect without waiting, so a connect that finds the backlog full
// costs its record: a board starting up starts many logging processes at
// once while the acceptor is busy.  The kernel caps it at net.core.somaxconn.
constexpr int QUARN_SOCK_BACKLOG = SOMAXCONN;

static_assert(sizeof(QUARN_SOCK_PATH) + 1 <= sizeof(sockaddr_un{}.sun_path), "name fits");

// Closes the descriptor it holds unless release() handed it on.
class fd_owner {
  public:
    explicit fd_owner(int fd) : fd_(fd) {}
    ~fd_owner()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    fd_owner(const fd_owner &) = delete;
    fd_owner &operator=(const fd_owner &) = delete;
    int get() const { return fd_; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_; // owned descriptor, -1 when none
};

// The server's address in Linux's abstract namespace; nothing appears in the
// file system.
sockaddr_un _sock_addr_()
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, QUARN_SOCK_PATH, sizeof(QUARN_SOCK_PATH));
    return addr;
}

const sockaddr *_as_sockaddr_(const sockaddr_un &addr)
{
    return reinterpret_cast<const sockaddr *>(&addr);
}

} // namespace

int bsp_quarn_socket_server_create()
{
    fd_owner sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.get() < 0) {
        perror("socket");
        return -1;
    }
    unlink(QUARN_SOCK_PATH); // a socket file left by a build that bound the path itself
    const sockaddr_un addr = _sock_addr_();
    if (bind(sock.get(), _as_sockaddr_(addr), QUARN_SOCK_ADDR_LEN) < 0) {
        perror("bind");
        return -1;
    }
    const int rcvbuf = QUARN_SOCK_RCVBUF;
    if (setsockopt(sock.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) < 0)
        perror("setsockopt"); // the default buffer still works, only smaller
    if (listen(sock.get(), QUARN_SOCK_BACKLOG) < 0) {
        perror("listen");
        return -1;
    }
    return sock.release();
}

namespace {

// The socket is non-blocking from the start: a connect to a server whose
// backlog is full then fails at once (EAGAIN) instead of stalling the
// caller's log call until the server accepts.  Sends pass MSG_DONTWAIT
// anyway, so nothing else changes.
int _connect_(ucred *peer)
{
    fd_owner sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (sock.get() < 0)
        return -1;
    const sockaddr_un addr = _sock_addr_();
    socklen_t len = sizeof *peer;
    if (connect(sock.get(), _as_sockaddr_(addr), QUARN_SOCK_ADDR_LEN) < 0 ||
        getsockopt(sock.get(), SOL_SOCKET, SO_PEERCRED, peer, &len) != 0) {
        const int err = errno; // the close must not change the reason
        close(sock.release());
        errno = err;
        return -3;
    }
    return sock.release();
}

} // namespace

int quarn_socket_holder(int *pid, unsigned *uid)
{
    ucred peer{};
    const int fd = _connect_(&peer);
    if (fd < 0)
        return -1;
    close(fd);
    *pid = peer.pid;
    *uid = peer.uid;
    return 0;
}

int bsp_quarn_socket_client_create()
{
    ucred peer{};
    fd_owner sock(_connect_(&peer));
    if (sock.get() < 0)
        return sock.release();
    if (peer.uid != 0 && peer.uid != geteuid()) {
        close(sock.release());
        errno = EPERM;
        return -3;
    }
    // Not fatal: the default buffer still works, only smaller.
    setsockopt(sock.get(), SOL_SOCKET, SO_SNDBUF, &QUARN_SOCK_SNDBUF, sizeof QUARN_SOCK_SNDBUF);
    return sock.release();
}

int bsp_quarn_socket_send(int sock, const void *data, int len)
{
    if (data == nullptr || len < 0)
        return QUARN_E_ARG;
    const ssize_t sent = send(sock, data, static_cast<size_t>(len), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent == len)
        return 0;
    return sent < 0 ? -1 : -2; // errno tells the caller whether the stream survived
}

int bsp_quarn_socket_recv(int sock, void *buffer, int size, int flags)
{
    if (buffer == nullptr || size < 0)
        return QUARN_E_ARG;
    const ssize_t got = recvfrom(sock, buffer, static_cast<size_t>(size), flags, nullptr, nullptr);
    return got < 0 ? -1 : static_cast<int>(got);
}
