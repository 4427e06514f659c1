// What the quarn executable asks of the sender beyond the public API.
#pragma once

#include <cstdint>

// True while the process holds its connection to the server: after a call,
// the record went out (a failed connect or a broken stream leaves none).
bool quarn_sender_connected();
// Records this process could not send since it began (reported or not).
uint64_t quarn_sender_lost();
