// The log file store's shared parts: each kind's record, the I/O seam,
// and the one error convention (see logfile.cpp).  Inside the store only.
#pragma once

#include "logfile.h"

#include <fcntl.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <mutex>

namespace logfile_detail {

inline constexpr int OPEN_FLAGS = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
inline constexpr mode_t FILE_MODE = 0640;
inline constexpr size_t PATH_LEN = 256;

struct log_kind_t {
    std::mutex mu{};       // serialises the kind's writers; guards the fields below
    quarn_log_file_t lf{}; // the kind's record
    char path[PATH_LEN]{}; // where the open file was found, to make it again
    bool has_mark = false; // a marker stands at mark_at (not in an empty file)
    uint32_t mark_at = 0;  // the marker's first byte: lf.offset, or one before it after an open
    uint8_t spelt = 0;     // marker bytes that the bytes before lf.offset already spell (0..7)
    std::atomic<bool> open{false}; // lf.is_open, readable without mu
};

extern quarn_log_file_io_t g_io; // see quarn_log_file_set_io
extern std::atomic<bool> g_quiet; // a fault handler's last words: print nothing more

log_kind_t &get_lf(int kind);

// Reports the failed call named by what and returns its negative errno.
inline int _fail_(const char *what)
{
    const int err = errno ? errno : EIO;
    if (!g_quiet.load(std::memory_order_relaxed))
        perror(what);
    return -err;
}

// Opens (or makes) a log file or backup: never through a symbolic link,
// never a FIFO, device or directory, never another user's file, any of
// which would let that user choose what the server reads or overwrites.
// The descriptor, or -1 with errno set after saying why a file was refused.
int open_file(const char *path);

// Stores len bytes of text at the kind's write position with the marker
// behind them and syncs: bsp_quarn_log_file_write's results.  last_words:
// a fault handler's, which waits for the kind's lock about a second at most.
int put_text(char *text, uint32_t len, int kind, bool last_words);

} // namespace logfile_detail
