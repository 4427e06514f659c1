// The print thread and the record dispatcher: takes records out of the
// ring buffer in order, shows them on the console stream in their level's
// colour, stages stored levels and runs commands.
#include "quarn_server.h"

#include "console.h"
#include "fault_stack.h"
#include "forward.h"
#include "levels.h"
#include "loss.h"
#include "quarn.h"
#include "ring_buffer.h"
#include "syslog_parse.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

pthread_mutex_t g_stage_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<pthread_t> g_stage_owner;
std::atomic<uint32_t> g_dispatched;

namespace {

constexpr uint32_t QUARN_CHORES_EVERY = 64; // records taken between two looks at the clock while busy
constexpr int QUARN_PRINT_BATCH = 64 * 1024; // most bytes of records taken from the ring at once

// Taken around everything that touches the staging records, so that a
// fault signal on another thread never flushes a half-updated batch.
class stage_guard {
  public:
    stage_guard()
    {
        pthread_mutex_lock(&g_stage_lock);
        g_stage_owner.store(pthread_self(), std::memory_order_relaxed);
    }
    ~stage_guard() { pthread_mutex_unlock(&g_stage_lock); }
    stage_guard(const stage_guard &) = delete;
    stage_guard &operator=(const stage_guard &) = delete;
};

void _console_length_error_(int delivered, int len)
{
    char line[96];
    const int n = snprintf(line, sizeof line, "error log size len = %d  p len = %d \n", delivered, len);
    console_line(QUARN_LEVEL_COLORS[QUARN_LEVEL_ERROR], line, static_cast<size_t>(n));
}

// Lets the print thread run the orderly stop that the signal thread asked
// for: everything queued before the request has been dispatched by now.
[[noreturn]] void _stop_()
{
    kernel_log_quiesce(2000); // kernel text already read is stored first
    loss_report(true); // the last chance to say what was lost
    flush_all();
    forward_drain(); // at most 2 s for the collector
    stop_report();
    // Other threads still run: static destructors must not run under them.
    console_drain(1000);
    _exit(0);
}

// What the print thread does between records: the counters line when
// asked for, loss lines whose cause has cleared, batches whose time has
// come.  Returns when the next batch is due (quarn_now_ns), 0 when none is.
int64_t _chores_()
{
    if (stats_requested()) {
        stage_guard guard;
        stats_report();
    }
    loss_report(false);
    stage_guard guard;
    const int64_t now = quarn_now_ns();
    command_sync_run(now);
    stage_flush_due(now);
    const int64_t due = stage_next_due(), sync = command_sync_due();
    return due == 0 || (sync != 0 && sync < due) ? sync : due;
}

// due (quarn_now_ns, 0 none) as a deadline of the ring's timed read.
const timespec *_deadline_(int64_t due, timespec *at)
{
    if (due == 0)
        return nullptr;
    at->tv_sec = static_cast<time_t>(due / 1000000000);
    at->tv_nsec = static_cast<long>(due % 1000000000);
    return at;
}

// Size of the record at rec, whose header the ring has checked.
int _record_size_(const char *rec)
{
    uint16_t len;
    memcpy(&len, rec + offsetof(quarn_msg_head_t, len), sizeof len);
    return len + QUARN_MSG_HEAD_LEN;
}

// Terminates the record's text for the dispatch in place; the byte it
// borrows is the next record's first, given back afterwards.
int _dispatch_one_(char *rec, int n)
{
    const char next = rec[n];
    rec[n] = '\0';
    if (quarn_record_type(rec) == QUARN_TYPE_STOP)
        _stop_();
    const bool from_conn = quarn_record_type(rec) != QUARN_TYPE_SYSLOG; // the system log socket names no slot
    const int result = dispatch_record(rec, n, from_conn ? &conn_peer(quarn_record_slot(rec)) : nullptr);
    rec[n] = next;
    return result;
}

// Dispatches the n bytes of whole records at batch in ring order; taken
// counts records across batches for the chores.  Returns the new count.
uint32_t _dispatch_batch_(char *batch, int n, uint32_t taken)
{
    uint32_t count = 0;
    for (int at = 0; at < n; at += _record_size_(batch + at))
        ++count;
    // The stop request waits for this to stand still, so it counts before
    // the records run, as their taking did when it was per record.
    g_dispatched.fetch_add(count, std::memory_order_relaxed);
    // A sender's share counts its records until they are dispatched; a run
    // of one sender's records gives its bytes back at once.
    uint16_t run_slot = 0;
    uint32_t run_bytes = 0;
    for (int at = 0; at < n;) {
        const int size = _record_size_(batch + at);
        if (++taken % QUARN_CHORES_EVERY == 0)
            _chores_(); // a busy ring must not hold back another kind's due batch
        const uint16_t slot = quarn_record_slot(batch + at);
        const bool from_conn = quarn_record_type(batch + at) != QUARN_TYPE_SYSLOG;
        _dispatch_one_(batch + at, size);
        if (from_conn && slot != run_slot && run_bytes > 0)
            conn_dispatched(run_slot, std::exchange(run_bytes, 0));
        if (from_conn)
            run_slot = slot, run_bytes += static_cast<uint32_t>(size);
        at += size;
    }
    if (run_bytes > 0)
        conn_dispatched(run_slot, run_bytes);
    return taken;
}

} // namespace

void flush_all()
{
    {
        stage_guard guard;
        stage_flush_all();
    }
    console_flush();
}

int dispatch_record(const char *rec, int n, const quarn_peer_t *peer)
{
    if (!rec)
        return -5;
    quarn_msg_head_t head;
    memcpy(&head, rec, sizeof head);
    if (n != head.len + QUARN_MSG_HEAD_LEN) {
        _console_length_error_(n, head.len);
        return -1;
    }
    const char *text = rec + QUARN_MSG_HEAD_LEN;
    uint32_t len = head.len;
    // A syslog line carries its origin in front of its text; kern goes
    // where kernel lines go, every other facility to the application's file.
    syslog_origin_t from{};
    const bool syslog = head.type == QUARN_TYPE_SYSLOG && syslog_origin_take(text, len, &from);
    const log_kind_t &kind = syslog && from.facility == SYSLOG_FACILITY_KERN ? g_log_kinds[QUARN_BSP_LOG_INIT]
                                                                             : log_kind_of_origin(head.type);
    const forward_origin origin{from.pid, from.facility, from.severity};
    const auto level = static_cast<uint32_t>(head.level);
    if (level <= QUARN_LEVEL_ERROR && level >= *kind.print_level)
        console_line(QUARN_LEVEL_COLORS[level], text, strnlen(text, len));
    if (level >= QUARN_LEVEL_INFO && level <= QUARN_LEVEL_FILE) {
        stage_guard guard;
        if (stage_text(kind, text, len, level))
            forward_line(kind.file, level, head.name, text, len, syslog ? &origin : nullptr,
                         peer ? static_cast<uint32_t>(peer->pid) : 0);
    } else if (level == QUARN_LEVEL_CMD && !syslog && peer) {
        stage_guard guard;
        run_command(text, kind, quarn_record_slot(rec), rec[QUARN_REPLY_AT] != 0);
    }
    return 0;
}

void *print_thread_main(void *)
{
    // Records are taken a batch at a time, and one byte stays beyond the
    // batch so that the last record's text can be terminated like the rest.
    // Static: the print thread is the only one, and its stack need not grow.
    alignas(8) static char batch[QUARN_PRINT_BATCH + 1];
    const fault_stack own_stack;
    prctl(PR_SET_NAME, "quarn_print");
    for (uint32_t taken = 0;;) {
        int n = bsp_quarn_cb_try_read_batch(batch, QUARN_PRINT_BATCH);
        if (n == -11) {
            // The ring ran dry, so a full ring has cleared: do the chores,
            // show what the console holds (their lines too), then sleep
            // until a record comes, the next batch is due or someone wakes us.
            forward_idle();
            loss_cleared(QUARN_LOSS_RING);
            loss_cleared(QUARN_LOSS_SHARE);
            const int64_t due = _chores_();
            console_flush();
            timespec at;
            n = bsp_quarn_cb_timed_read_batch(batch, QUARN_PRINT_BATCH, _deadline_(due, &at));
        }
        if (n > 0)
            taken = _dispatch_batch_(batch, n, taken);
    }
}
