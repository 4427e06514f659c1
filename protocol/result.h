// Result codes shared by the server's libraries.
//
// The one error convention of quarn, below the client API:
//   * Functions return a signed 32-bit int: 0 (or a byte count where the
//     contract says so) on success, a small negative code for bad arguments
//     or state (below), and -1..-3 for record or file faults that each
//     function documents.
//   * Where a system call fails in the log file store or at ring buffer
//     creation, the function prints perror() with a short prefix and returns
//     the *positive* errno; callers count only negative results as failure.
//   * The socket endpoint never returns a positive number.
//   * The client API functions return nothing; they print why a record was
//     lost on standard output and carry on.
#pragma once

inline constexpr int QUARN_E_ARG = -5;    // missing pointer or bad length; no log directory known
inline constexpr int QUARN_E_NOMEM = -12; // no room in the ring buffer, or no memory for a scratch area
inline constexpr int QUARN_E_BUSY = -16;  // log file not open, or already open
