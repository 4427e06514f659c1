// Circular log files: one per log kind in one log directory, each at most
// max_size bytes, with the 9-byte end marker "\n+$end$+\n" right behind the
// newest text so that the write position survives a restart.  The file
// layout is described in logfile/FORMAT.md.
#pragma once

#include <cstdint>

inline constexpr char QUARN_END_MARK[] = "\n+$end$+\n"; // as it lies in the file
inline constexpr uint32_t QUARN_END_MARK_LEN = 9;
inline constexpr int QUARN_LOG_DIR_MAX = 128; // longest directory text accepted

struct quarn_log_file_t {
    int fd;            // open log file; 0 while a recovery has it closed
    uint32_t max_size; // largest length of the file, in bytes
    uint32_t offset;   // where the next text goes; the marker starts here
    int is_open;       // 1 once the file is open and offset is known
};

// Opens or recovers the file of kind (0 application and any unknown kind,
// 1 BSP, 2 DSP) in dir (dirLen bytes, need not be terminated), or in the
// directory remembered from an earlier open when dir is null.
//   0    open; a file whose marker could not be found (or that is longer
//        than maxSize) was appended to its ".bak" file and started afresh
//   -5   no directory given or remembered, dirLen above 128 (or negative
//        with a directory), or maxSize too small to hold one byte and the
//        marker
//   -16  the kind is already open
//   -1   even the fresh file gave no write position
//   > 0  errno of a failed open, seek or read of the log file, or of a
//        failed open, copy or sync of the backup, after perror; the kind
//        stays not open, and a log file not yet safe in the backup is left
//        as it was
int bsp_quarn_log_file_init(const char *dir, int dirLen, uint32_t maxSize, int kind);

// Stores len bytes at the write position, wrapping at max_size, then the
// end marker, and syncs the file.  A write longer than max_size keeps its
// newest max_size - 9 bytes, from offset 0.  Writes to one kind are
// serialised, so several threads may write the same file.  A log file
// removed since the last write (alone or with its directory) is first made
// again, empty, at its path.
//   0 stored; -5 null data or len below 1; -16 kind not open;
//   > 0 errno of a failed write, after perror("logwrite"); offset then
//       stands behind the last text that was stored whole, and the marker
//       is put back there when the disk has room for it
//   > 0 errno of the failed open of a removed file, after perror("open");
//       nothing is written, and the next write tries again
int bsp_quarn_log_file_write(const void *data, int len, int kind);

// The kind's record as it stands (all zero while not open).
quarn_log_file_t bsp_quarn_log_file_get(int kind);

// Closes the kind's file and marks it not open.  The server never closes a
// log file; tests use this to reopen.
void bsp_quarn_log_file_close(int kind);
