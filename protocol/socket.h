// The local socket endpoint shared by server and clients: one stream socket
// in Linux's abstract namespace, named after QUARN_SOCK_PATH.
//
// No state is kept here; callers own the descriptors.  Results never are
// positive except for descriptors and byte counts.
#pragma once

#include <sys/socket.h>

// The server's listening descriptor (SO_RCVBUF 1 MiB, backlog 10), or -1
// after printing perror ("socket", "bind", "listen").
int bsp_quarn_socket_server_create();

// A descriptor connected to the server; -1 when no socket could be made,
// -3 when the connect failed; errno tells why.  Prints nothing.  Whoever
// holds the name gets a connection only when it runs as root or as this
// process's own user: anyone else who took the name first would receive
// the records (errno EPERM).
int bsp_quarn_socket_client_create();

// Who holds the name: 0 with its pid and user, -1 when nobody listens or
// the system does not tell.
int quarn_socket_holder(int *pid, unsigned *uid);

// Sends len bytes in one non-blocking call (no SIGPIPE).  Prints nothing.
//   0  everything went out;
//  -1  nothing went out; errno tells why (EAGAIN: the connection is full);
//  -2  only part went out, so the stream is out of step; errno as send left it;
//  -5  null data.
int bsp_quarn_socket_send(int sock, const void *data, int len);

// recvfrom() with the caller's flags: the byte count (0 when the peer has
// closed), -1 on a receive error, -5 for a null buffer.
int bsp_quarn_socket_recv(int sock, void *buffer, int size, int flags);
