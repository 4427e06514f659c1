// Circular log files: one per log kind in one log directory, each at most
// max_size bytes, with the 9-byte end marker "\n+$end$+\n" right behind the
// newest text so that the write position survives a restart.  The file
// layout is described in logfile/FORMAT.md.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>

inline constexpr char QUARN_END_MARK[] = "\n+$end$+\n"; // as it lies in the file
inline constexpr uint32_t QUARN_END_MARK_LEN = 9;
inline constexpr int QUARN_LOG_DIR_MAX = 128; // longest directory text accepted
// The log file of each kind (0 application, 1 BSP, 2 DSP) in the directory;
// its backup adds ".bak".
inline constexpr char QUARN_LOG_FILE_NAMES[3][10] = {"quarn.app", "quarn.bsp", "quarn.dsp"};

struct quarn_log_file_t {
    int fd;            // open log file; 0 while a recovery has it closed
    uint32_t max_size; // largest length of the file, in bytes
    uint32_t offset;   // where the next text goes; the marker starts here
    int is_open;       // 1 once the file is open and offset is known
};

// Results: 0, or a negative value that is either a named code of
// protocol/result.h or the negative errno of the failed system call (after
// one perror() naming the call).  The named codes share their values with
// EIO, ENOMEM and EBUSY; every caller needs only "negative means failed".

// Opens or recovers the file of kind (0 application and any unknown kind,
// 1 BSP, 2 DSP) in dir (dirLen bytes, need not be terminated), or in the
// directory remembered from an earlier open when dir is null.
//   0       open; a file whose marker could not be found (or that is
//           longer than maxSize) was appended to its ".bak" file and
//           started afresh
//   -5      no directory given or remembered, dirLen above 128 (or
//           negative with a directory), or maxSize too small to hold one
//           byte and the marker
//   -16     the kind is already open
//   -errno  a failed open, seek or read of the log file, or a failed open,
//           copy or sync of the backup; the kind stays not open, and a log
//           file not yet safe in the backup is left as it was
int bsp_quarn_log_file_init(const char *dir, int dirLen, uint32_t maxSize, int kind);

// Stores len bytes at the write position, wrapping at max_size, then the
// end marker, and syncs the file.  A write longer than max_size keeps its
// newest max_size - 9 bytes, from offset 0.  Text never stores the marker's
// bytes: where they would stand, the "+" before their last newline is
// stored as "-" (FORMAT.md).  Writes to one kind are serialised, so several
// threads may write the same file.  A log file removed since the last write
// (alone or with its directory) is first made again, empty, at its path.
// A crash at any point leaves a marker that the next open accepts.
//   0 stored and synced; -5 null data or len below 1; -16 kind not open;
//   -errno of a failed write: the write position then is the one that a
//          restart would find, and a torn batch has put the old marker back
//          where the disk had room for it;
//   -errno of a failed sync, after perror("fsync"): the text was written
//          but may not be on the disk;
//   -errno of the failed open of a removed file: nothing is written, and
//          the next write tries again.
int bsp_quarn_log_file_write(const void *data, int len, int kind);

// As bsp_quarn_log_file_write, but defuses forged markers in text itself
// rather than in a copy (the server's own buffers).
int quarn_log_file_put(char *text, uint32_t len, int kind);

// As quarn_log_file_put, for a fault handler's last words: never prints
// (from now on), never allocates, and gives up with -16 on a kind whose
// lock stays taken for about a second.
int quarn_log_file_put_last(char *text, uint32_t len, int kind);

// True once the kind is open.  Safe in a fault handler.
bool quarn_log_file_is_open(int kind);

// The kind's record as it stands (all zero while not open).
quarn_log_file_t bsp_quarn_log_file_get(int kind);

// Closes the kind's file and marks it not open.  The server never closes a
// log file; tests use this to reopen.
void bsp_quarn_log_file_close(int kind);

// Test seam: the calls through which the store changes a log file.  Tests
// replace them to fail a write or to end the process between two calls.
struct quarn_log_file_io_t {
    ssize_t (*pwritev)(int fd, const iovec *iov, int iovcnt, off_t pos); // every write of text or marker
    int (*fsync)(int fd);                                                 // the sync after a write
};
// Routes the store's writes and syncs through io; a null member restores
// the system's own call.
void quarn_log_file_set_io(quarn_log_file_io_t io);
