// The print thread and the record dispatcher: takes records out of the
// ring buffer in order, shows them on the console stream in their level's
// colour, stages stored levels and runs commands.
#include "quarn_server.h"

#include "forward.h"
#include "loss.h"
#include "quarn.h"
#include "ring_buffer.h"

#include <cstdlib>
#include <cstring>

FILE *g_console = nullptr;
pthread_mutex_t g_stage_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<pthread_t> g_stage_owner;
std::atomic<uint32_t> g_dispatched;

namespace {

constexpr char QUARN_COLOR_RESET[] = "\033[0m";
constexpr uint32_t QUARN_CHORES_EVERY = 64; // records taken between two looks at the clock while busy
constexpr const char *QUARN_COLORS[] = {
    "\033[32m", // debug: green
    "\033[36m", // info: cyan
    "\033[33m", // warning: yellow
    "\033[31m", // error: red
};

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

// Only the print thread writes the console, so the unlocked stdio calls
// are safe.
void _console_write_(const char *color, const char *text, size_t len)
{
    if (!g_console)
        return;
    fwrite_unlocked(color, 1, strlen(color), g_console);
    fwrite_unlocked(text, 1, len, g_console);
    fwrite_unlocked(QUARN_COLOR_RESET, 1, sizeof QUARN_COLOR_RESET - 1, g_console);
}

void _console_length_error_(int delivered, int len)
{
    if (!g_console)
        return;
    fwrite_unlocked(QUARN_COLORS[QUARN_LEVEL_ERROR], 1, 5, g_console);
    fprintf(g_console, "error log size len = %d  p len = %d \n", delivered, len);
    fwrite_unlocked(QUARN_COLOR_RESET, 1, sizeof QUARN_COLOR_RESET - 1, g_console);
}

// Lets the print thread run the orderly stop that the signal thread asked
// for: everything queued before the request has been dispatched by now.
[[noreturn]] void _stop_()
{
    loss_report(true); // the last chance to say what was lost
    flush_all();
    forward_drain(); // at most 2 s for the collector
    exit(0);
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
    stage_flush_due(quarn_now_ns());
    return stage_next_due();
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

} // namespace

void flush_all()
{
    {
        stage_guard guard;
        stage_flush_all();
    }
    if (g_console)
        fflush(g_console);
}

int dispatch_record(const char *rec, int n)
{
    if (!rec)
        return -5;
    quarn_msg_head_t head;
    memcpy(&head, rec, sizeof head);
    const log_kind_t &kind = log_kind_of_origin(head.type);
    if (n != head.len + QUARN_MSG_HEAD_LEN) {
        _console_length_error_(n, head.len);
        return -1;
    }
    const char *text = rec + QUARN_MSG_HEAD_LEN;
    const auto level = static_cast<uint32_t>(head.level);
    if (level <= QUARN_LEVEL_ERROR && level >= *kind.print_level)
        _console_write_(QUARN_COLORS[level], text, strnlen(text, head.len));
    if (level >= QUARN_LEVEL_INFO && level <= QUARN_LEVEL_FILE) {
        stage_guard guard;
        if (stage_text(kind, text, head.len, level))
            forward_line(kind.file, level, head.name, text, head.len);
    } else if (level == QUARN_LEVEL_CMD) {
        stage_guard guard;
        run_command(text, kind);
    }
    return 0;
}

void *print_thread_main(void *)
{
    // One byte beyond the largest record, so its text is always terminated.
    alignas(8) char rec[QUARN_CB_REC_MAX + 1];
    for (uint32_t taken = 0;;) {
        int n = bsp_quarn_cb_try_read(rec, QUARN_CB_REC_MAX);
        if (n == -11) {
            // The ring ran dry, so a full ring has cleared: show what the
            // console holds, do the chores, then sleep until a record
            // comes, the next batch is due or someone wakes us.
            if (g_console)
                fflush(g_console);
            forward_idle();
            loss_cleared(QUARN_LOSS_RING);
            timespec at;
            n = bsp_quarn_cb_timed_read(rec, QUARN_CB_REC_MAX, _deadline_(_chores_(), &at));
        } else if (++taken % QUARN_CHORES_EVERY == 0) {
            _chores_(); // a busy ring must not hold back another kind's due batch
        }
        if (n <= 0)
            continue;
        g_dispatched.fetch_add(1, std::memory_order_relaxed);
        rec[n] = '\0';
        if (quarn_record_type(rec) == QUARN_TYPE_STOP)
            _stop_();
        dispatch_record(rec, n);
    }
}
