// Who may do what: a connection's credentials, and whether its user may
// command the server and speak for the DSP, the BSP and the server itself.
#include "quarn_server.h"

#include <grp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

gid_t g_admin_gid = static_cast<gid_t>(-1); // QUARN_ADMIN_GROUP; -1 none
bool g_has_admin = false;

// The peer's groups as its credentials carried them at connect; false when
// the system keeps no list (kernels before 4.13), so only its primary group
// counts.
bool _in_admin_group_(int fd, gid_t primary)
{
    if (!g_has_admin)
        return false;
    if (primary == g_admin_gid)
        return true;
    gid_t groups[256];
    socklen_t len = sizeof groups;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups, &len) != 0)
        return false;
    for (socklen_t i = 0; i < len / sizeof(gid_t); ++i)
        if (groups[i] == g_admin_gid)
            return true;
    return false;
}

} // namespace

bool peer_configure()
{
    const char *name = getenv("QUARN_ADMIN_GROUP");
    if (!name || !*name)
        return true;
    char *end = nullptr;
    errno = 0;
    const unsigned long number = strtoul(name, &end, 10);
    if (const group *g = getgrnam(name)) {
        g_admin_gid = g->gr_gid;
    } else if (*end == '\0' && errno == 0 && number < static_cast<gid_t>(-1) && name[0] != '-') {
        g_admin_gid = static_cast<gid_t>(number);
    } else {
        printf("QUARN_ADMIN_GROUP=%s refused: no such group (a group name or number)\n", name);
        return false;
    }
    g_has_admin = true;
    printf("admin group %s (gid %u)\n", name, static_cast<unsigned>(g_admin_gid));
    return true;
}

bool peer_of(int fd, quarn_peer_t *peer)
{
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return false;
    peer->pid = cred.pid;
    peer->uid = cred.uid;
    peer->privileged = cred.uid == 0 || cred.uid == geteuid() || _in_admin_group_(fd, cred.gid);
    return true;
}

bool peer_privileged(uint32_t uid, uint32_t gid)
{
    return uid == 0 || uid == geteuid() || (g_has_admin && gid == g_admin_gid);
}
