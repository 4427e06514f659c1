// The server's internal declarations: settings and staging records, their
// lookups, and the entry points that tie the server's threads together.
//
// Threads and what they own:
//   main thread    start-up, then the acceptor (acceptor.cpp) for ever;
//   print thread   the only reader of the ring buffer; owns the console
//                  stream, the print levels and the staging records
//                  (dispatcher.cpp, staging.cpp, commands.cpp);
//   receive thread one per connection, frames records into the ring;
//   kernel log     at most one, copies the kernel log into quarn.bsp;
//   signal thread  waits for SIGTERM/SIGINT and asks the print thread to
//                  stop once it has dispatched what was accepted.
// A fault signal may flush the staging records from any thread; it takes
// g_stage_lock (below) first, which the print thread holds while it stages
// or runs a command.
#pragma once

#include <pthread.h>

#include "quarn.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

// Settings of the server.  Written at start-up and by commands on the print
// thread; read by the print thread.
struct quarn_cfg_t {
    uint32_t app_log_size;  // application log file size, from the command line
    uint32_t app_sync_size; // application (and BSP) sync size, from the command line
    uint32_t dsp_sync_size; // DSP sync size; 0 until the first dsp_init
    uint32_t *ctrl;         // the attached control word, or null
};

// Staging record of a log kind.  Print thread only, under g_stage_lock.
struct quarn_stage_t {
    uint32_t enable;      // 1: texts are staged; 0: discarded
    uint8_t *buf;         // the staging buffer, null until first needed
    uint32_t used;        // text bytes waiting in buf
    uint32_t print_level; // console threshold of the kind
    uint32_t cap;         // bytes allocated at buf
};

extern quarn_cfg_t lc;
extern quarn_stage_t app_fs; // application and BSP kinds
extern quarn_stage_t dsp_fs; // DSP kind
extern FILE *pPrintFile;     // console stream for coloured log lines, or null

// Held by the print thread while it stages text or runs a command, and by a
// fault signal's last flush.  g_stage_owner names the holder; a last flush
// that finds the lock taken reads it without the lock, hence the atomic.
extern pthread_mutex_t g_stage_lock;
extern std::atomic<pthread_t> g_stage_owner;

// Records the print thread has taken off the ring buffer, wrapping; the
// signal thread watches it to tell a slow orderly stop from a stuck one.
extern std::atomic<uint32_t> g_dispatched;

// Origin code of the internal record that asks the print thread to stop
// (never accepted from a connection).
inline constexpr uint16_t QUARN_TYPE_STOP = 0;

// The origin code of the record at rec; the one header field that the
// receive threads and the print loop look at before anything else.
inline uint16_t quarn_record_type(const void *rec)
{
    uint16_t type;
    memcpy(&type, static_cast<const char *>(rec) + offsetof(quarn_msg_head_t, type), sizeof type);
    return type;
}

// Staging (staging.cpp).
quarn_stage_t *get_fs(int kind);
uint32_t get_ss(int kind);
// Appends len bytes of src to the kind's staging buffer (flush 0) and
// writes the batch out once it passes the threshold, or writes out what
// waits (flush non-zero).  Silently drops text while the kind is disabled,
// when it is empty or longer than 1116 bytes, or without memory.
void _do_log_write_(const char *src, uint32_t len, int flush, int kind);
// Writes len bytes to the kind's log file, cut to the newest part that fits
// the file beside its end marker.  Result as bsp_quarn_log_file_write.
int quarn_log_file_put(const void *data, uint32_t len, int kind);

// Commands (commands.cpp): runs the level-5 text of a record of kind.
void _cmd_handle(const char *text, int kind);

// Dispatcher (dispatcher.cpp).
void *_log_pirnt_thread_(void *);
// Prints, stages or runs one record of n delivered bytes (zero byte after
// it).  0 handled or ignored; -1 length mismatch (red error line); -5 null.
int _log_convert_(const char *rec, int n);
// Writes the pending application and DSP text and flushes the console.
void quarn_flush_all();

// Acceptor (acceptor.cpp).  quarn_listen creates the listening endpoint
// once: 0, or -1 when it cannot be had (the name is taken).  quarn_main_halt
// accepts for ever; it returns only when the endpoint cannot be created.
int quarn_listen();
int quarn_main_halt();

// Kernel log collector (klog.cpp): starts the one kernel log thread with a
// period in seconds.  0, EBUSY when one was started before, or the error
// of thread creation.
int bsp_log_start(int period);

// Start-up (startup.cpp): server mode; returns the exit status when
// start-up fails or the acceptor gives up.
int quarn_start(int argc, char **argv);

// Control client (control.cpp): help text and the commands; returns the
// exit status.
void _show_help();
int quarn_control(int argc, char **argv);
