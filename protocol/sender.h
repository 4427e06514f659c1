// What the quarn executable asks of the sender beyond the public API.
#pragma once

// True while the process holds its connection to the server: after a call,
// the record went out (a failed connect or a broken stream leaves none).
bool quarn_sender_connected();
