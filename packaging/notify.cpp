#include "notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

void notify_ready()
{
    const char *name = getenv("NOTIFY_SOCKET");
    if (!name || (name[0] != '/' && name[0] != '@'))
        return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t len = strlen(name);
    if (len >= sizeof addr.sun_path)
        return;
    memcpy(addr.sun_path, name, len);
    if (name[0] == '@')
        addr.sun_path[0] = '\0'; // abstract: the name's length counts, not a terminator
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    constexpr char ready[] = "READY=1";
    sendto(fd, ready, sizeof ready - 1, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&addr),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len + (name[0] == '/')));
    close(fd);
}
