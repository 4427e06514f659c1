// Forwarding to a syslog collector: every stored line goes out as one
// RFC 5424 message over UDP, TCP or a Unix socket, from a thread of its own.
//
// The server's threads only hand lines over: a short lock and a copy into a
// bounded queue, never a network call.  What the queue cannot hold is dropped
// and counted; once the collector takes lines again, the count comes back as
// a warning line "N lines not forwarded" with tag "quarn" through the ring
// buffer, so it is shown, stored and forwarded like any other line.
//
// Every entry point is a no-op while forwarding is off (QUARN_FORWARD unset
// or empty), which costs the record path one test of a pointer.
#pragma once

#include <chrono>
#include <cstdint>

// Reads QUARN_FORWARD and QUARN_FORWARD_FACILITY.  False, after printing
// which value is refused and why, when start-up must end.
bool forward_configure();

// Starts the forwarding thread once forward_configure accepted a target.
void forward_start();

// A line that came from the system log socket: its sender's pid (0
// unknown) and the facility and severity it was sent with, which its
// message keeps in place of the server's own.
struct forward_origin {
    uint32_t pid;     // PROCID of its message; 0: the server's
    uint8_t facility; // 0..23
    uint8_t severity; // 0..7
};

// A line the print thread has staged: its log kind (QUARN_*_LOG_INIT), its
// level code, its tag (name field of the record, up to 28 bytes, not
// necessarily terminated), its text, and where a syslog line came from
// (null for the others), or the pid of a connection's sender (0: the
// server's own line).  Print thread only.
void forward_line(int kind, uint32_t level, const char *tag, const char *text, uint32_t len,
                  const forward_origin *from = nullptr, uint32_t pid = 0);

// Print thread: the ring buffer ran dry, so the next line starts a new batch
// and takes a fresh time stamp.
void forward_idle();

// Text the kernel log collector stored: lines with their "<N>" prefixes.
void forward_kernel(const char *text, uint32_t len);

// Orderly stop: waits up to bound for the queue to reach the collector, then
// says on standard output how many lines did not.
void forward_drain(std::chrono::milliseconds bound = std::chrono::seconds(2));
