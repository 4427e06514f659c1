// The server's internal declarations: the table of log kinds, settings and
// staging records, and the entry points that tie the server's threads
// together.
//
// Threads and what they own:
//   main thread    start-up, then the accept loop (acceptor.cpp) for ever;
//   print thread   the only reader of the ring buffer; owns the console
//                  stream, the settings and the staging records
//                  (dispatcher.cpp, staging.cpp, commands.cpp);
//   store writer   writes and syncs the batches that staging hands over
//                  (store_writer.cpp);
//   receive thread four, each serving many connections through epoll,
//                  frame records into the ring (acceptor.cpp);
//   kernel log     at most one, copies the kernel log into quarn.bsp;
//   syslog         with QUARN_SYSLOG, frames datagrams into the ring;
//   signal thread  waits for SIGTERM/SIGINT/SIGHUP and asks the print
//                  thread to stop once it has dispatched what was accepted.
// The fault handler may write the staging records from any thread; it takes
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
#include <ctime>

// Settings of the server.  Written at start-up and by commands on the
// print thread; read by the print thread.
struct quarn_settings_t {
    uint32_t app_print_level; // console threshold of application and BSP-origin lines
    uint32_t dsp_print_level; // console threshold of DSP lines; 0 until set
    uint32_t app_sync_size;   // application and BSP-origin batch size, from the command line
    uint32_t dsp_sync_size;   // DSP batch size; the application's until the first dsp_init
    uint32_t interval;        // seconds staged text may wait at most; 0: only the sync size writes
    uint32_t *ctrl;           // the attached control word (the application print level), or null
};

// Staging record of a log kind.  Print thread only, under g_stage_lock.
struct quarn_stage_t {
    bool enabled;  // texts are staged; false: discarded
    uint8_t *buf;  // the staging buffer, null until first needed
    uint32_t used; // text bytes waiting in buf
    uint32_t cap;  // bytes allocated at buf
    int64_t first_ns;   // when the oldest waiting text arrived (quarn_now_ns)
    int64_t error_ns;   // when the batch must go out for an error line in it; 0 none
    int64_t written_ns; // when the last batch went out
};

inline constexpr uint32_t QUARN_INTERVAL_DEFAULT = 10;      // seconds, until an interval command
inline constexpr int64_t QUARN_ERROR_WAIT_NS = 1000000000;  // an error line's batch: within a second,
                                                            // and no more often per staging record

// CLOCK_MONOTONIC in nanoseconds: the clock of batch deadlines.
inline int64_t quarn_now_ns()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// One log kind: every decision that depends on the kind of a record is read
// from its row, so it is made in one place.
struct log_kind_t {
    uint16_t origin;       // origin code of its records on the wire
    int file;              // its log file in the store (QUARN_*_LOG_INIT)
    int fallback;          // kind whose file takes its batches while its own is not open; -1 none
    quarn_stage_t *stage;  // its staging record: a batch holds one kind's text
    uint32_t *print_level; // console threshold of its lines, also what its "level" sets
    uint32_t *sync_size;   // how much of its text waits before a batch is written
};

inline constexpr int QUARN_KIND_COUNT = 3;
extern const log_kind_t g_log_kinds[QUARN_KIND_COUNT]; // indexed by QUARN_*_LOG_INIT

// The kind of a record's origin code; the application's for any code but
// those of BSP and DSP.
const log_kind_t &log_kind_of_origin(uint16_t origin);

extern quarn_settings_t g_settings;

// Held by the print thread while it stages text or runs a command, and by
// the fault handler.  g_stage_owner names the holder; the fault handler
// reads it without the lock, hence the atomic.
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

// Staging (staging.cpp), under g_stage_lock.
// Appends len bytes of text to the kind's staging buffer and writes the
// batch once it passes the kind's threshold; text of level error sets the
// batch a deadline a second away at most (while the interval is not 0).
// Drops text silently while the kind is not enabled, when it is empty or
// longer than 1239 bytes (which no record carries); without memory it is dropped and counted.  True
// when the text was staged, so that only stored lines are forwarded.
bool stage_text(const log_kind_t &kind, const char *text, uint32_t len, uint32_t level = QUARN_LEVEL_INFO);
// When the first waiting batch is due (quarn_now_ns), 0 when none is.
int64_t stage_next_due();
// Writes every batch that is due at now.
void stage_flush_due(int64_t now);
// Writes what waits for the kind, or for every kind.
void stage_flush(const log_kind_t &kind);
void stage_flush_all();
// The fault handler's flush: writes what waits for every kind without
// allocating, printing or waiting long for a lock; skips buffers that do
// not exist yet.
void stage_last_words();
// Writes len bytes of data (rewritten in place, see quarn_log_file_put) to
// the kind's log file, or to its fallback's while its own is not open, cut
// to the newest part that fits the file beside its marker.  0 or negative.
int store_batch(const log_kind_t &kind, char *data, uint32_t len, bool last_words = false);
// The same for a file chosen before: store_file_of says which file takes
// the kind's batches now.
int store_batch_to(int file, char *data, uint32_t len, bool last_words);
int store_file_of(const log_kind_t &kind);

// The log files' writer thread (store_writer.cpp).  store_writer_start
// starts it (false: no thread, staging writes its batches itself).
// store_hand_over takes the staged batch of kind, giving st the buffer of
// the kind's last written batch in exchange; it waits only while the
// kind's previous batch is still being written.  store_wait_written
// returns once every batch handed over is written and synced.
// store_last_words writes, in a fault handler under g_stage_lock, the
// batches handed over and not yet written.
bool store_writer_start();
void store_hand_over(const log_kind_t &kind, quarn_stage_t &st);
void store_wait_written();
void store_last_words();

// Who is on the other end of a connection, as its credentials say.
struct quarn_peer_t {
    int pid;         // its process, 0 when unknown
    uint32_t uid;    // its user
    bool privileged; // root, the server's own user or a member of the admin group
};

// Peers (peer.cpp).  peer_configure reads QUARN_ADMIN_GROUP (a group name
// or number) once at start-up: false, after saying why, when it names no
// group.  peer_of reads a connection's credentials: false when the system
// cannot tell.
bool peer_configure();
bool peer_of(int fd, quarn_peer_t *peer);
// The same judgement for a datagram's credentials (uid, primary gid).
bool peer_privileged(uint32_t uid, uint32_t gid);

// The ring's copy of every record carries the slot of the connection it
// came from in the last two bytes of its name, which no tag reaches (a
// tag keeps 26 characters); a command's copy also says in the byte before
// them whether its sender waits for a reply.  Nothing of this is stored.
inline constexpr int QUARN_SLOT_AT = offsetof(quarn_msg_head_t, name) + QUARN_MSG_TAG_MAX;
inline constexpr int QUARN_REPLY_AT = QUARN_SLOT_AT - 1;
inline uint16_t quarn_record_slot(const void *rec)
{
    uint16_t slot;
    memcpy(&slot, static_cast<const char *>(rec) + QUARN_SLOT_AT, sizeof slot);
    return slot;
}

// Connections (acceptor.cpp), for the print thread, by the slot a record
// names: the peer that sent it (valid while the record is not yet
// dispatched), the record's leaving the ring (its bytes no longer count
// against the sender's share), and a reply line on the connection while
// the one that had the slot at conn_serial is still open (never waiting).
const quarn_peer_t &conn_peer(uint16_t slot);
void conn_dispatched(uint16_t slot, uint32_t bytes);
uint32_t conn_serial(uint16_t slot);
void conn_reply(uint16_t slot, uint32_t serial, const char *line);

// Commands (commands.cpp): runs the level-5 text of a record of kind that
// came from the connection in slot; its sender is privileged.
void run_command(const char *text, const log_kind_t &kind, uint16_t slot, bool reply);
// A sync whose writing waits out the once-a-second limit: its time
// (quarn_now_ns), 0 none; and its writing, with the replies it owes.
int64_t command_sync_due();
void command_sync_run(int64_t now);

// Record dispatcher and print thread (dispatcher.cpp).
void *print_thread_main(void *);
// Prints, stages or runs one record of n delivered bytes (zero byte after
// it) that came from a connection's peer, or from the server itself (null).
// 0 handled or ignored; -1 length mismatch (red error line); -5 null.
int dispatch_record(const char *rec, int n, const quarn_peer_t *peer = nullptr);
// Writes the waiting text of every kind and flushes the console.
void flush_all();

// Acceptor (acceptor.cpp).  quarn_listen creates the listening endpoint
// once: 0, or -1 when it cannot be had (the name is taken).  accept_loop
// accepts until accept_stop; it returns only when the endpoint cannot be
// created.
int quarn_listen();
int accept_loop();
// The orderly stop: the acceptor takes every connection still in its
// backlog and closes the listening socket; then every connection's reading
// ends once its socket buffer is empty (a client's later send fails, and
// the client counts that record as lost).  False when the acceptor did not
// answer within wait_ms.  Any thread but the main one.
bool accept_stop(int wait_ms);
// True once every connection has ended, false after wait_ms.
bool connections_wait_ended(int wait_ms);

// Kernel log collector (klog.cpp): starts the one kernel log thread with a
// period in seconds.  0, EBUSY when one was started before, or the error
// of thread creation.
int kernel_log_start(int period);
// The stop: waits up to wait_ms until no kernel text is between its read
// and its store, and keeps the collector from reading more.
void kernel_log_quiesce(int wait_ms);

// System log socket (syslog_socket.cpp), when QUARN_SYSLOG names a path.
// syslog_socket_open binds it: 0, also when none is asked for; 1 after a
// message when the path is served by another process or cannot be had.
// syslog_socket_start starts its receive thread once the ring exists.
int syslog_socket_open();
void syslog_socket_start();

// Start-up (startup.cpp): server mode; returns the exit status when
// start-up fails or the acceptor gives up.
int quarn_start(int argc, char **argv);

// Control client (control.cpp): help text and the commands; returns the
// exit status.
void _show_help();
int quarn_control(int argc, char **argv);

// The shell's ways in (log_word.cpp, run_word.cpp): argv[0] is the word;
// they return the exit status.
int quarn_log(int argc, char **argv);
int quarn_run(int argc, char **argv);
