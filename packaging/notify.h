// Readiness for a service manager that starts the server with Type=notify.
#pragma once

// Sends "READY=1" to the datagram socket that $NOTIFY_SOCKET names (a path,
// or an abstract name written with a leading '@').  Does nothing without
// it; a manager that does not listen only costs the message.
void notify_ready();
