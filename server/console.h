// The server's output channels: the console, where coloured log lines go,
// and the server's own standard output and error.  Nothing that stores or
// forwards ever waits for them: a line goes into a channel's queue, and one
// writer thread takes it to its descriptor as fast as that drains.  A line
// that finds its queue full is not shown and is counted; the channel takes
// no further line until its queue has drained, and then shows one line
// saying how many it skipped.
#pragma once

#include <cstddef>
#include <cstdint>

// Starts the writer thread with the console on console_fd (taken over; -1
// for none) and routes stdout and stderr through their own channels.
// False when the thread cannot be had: everything then writes as before,
// blocking.  Main thread, before the other threads start.
bool console_start(int console_fd);

// Queues one coloured line, color + text + reset, whole or not at all.
// Print thread.
void console_line(const char *color, const char *text, size_t len);

// What the print thread queued may go out now (the ring ran dry).
void console_flush();

// Moves the console to fd (taken over; the old one is closed once the
// writer is done with it).  Lines still queued go to the new console.
void console_redirect(int fd);

// Console lines skipped since start, for the counters line.
uint64_t console_skipped();

// Waits up to ms for every channel's queue to go out.  Any thread.
void console_drain(unsigned ms);
