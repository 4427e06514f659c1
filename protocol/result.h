// Result codes shared by the server's libraries.
//
// The one error convention of quarn, below the client API:
//   * Functions return a signed 32-bit int: 0 (or a byte count or
//     descriptor where the contract says so) on success, and a negative
//     value on failure, never a positive one.
//   * A negative value is either one of the named codes below, for bad
//     arguments or state, or the negative errno of a failed system call;
//     -1..-3 are record faults of the ring buffer, reader and socket that
//     each function documents.  The named codes share their values with
//     EIO, ENOMEM and EBUSY: callers count any negative result as failure
//     and leave the reason to whoever printed it.
//   * The log file store and ring buffer creation print perror() with a
//     short prefix where a system call fails; the socket endpoint and the
//     client library print nothing while a lock is held.
//   * The client API functions return nothing; they print why a record was
//     lost on standard output and carry on.
#pragma once

inline constexpr int QUARN_E_ARG = -5;    // missing pointer or bad length; no log directory known
inline constexpr int QUARN_E_NOMEM = -12; // no room in the ring buffer, or no memory for a scratch area
inline constexpr int QUARN_E_BUSY = -16;  // log file not open, or already open
