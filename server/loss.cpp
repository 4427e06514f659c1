// Loss accounting and the counters line: the server's own lines in
// quarn.app, laid out like a client's, tag "quarn".
#include "loss.h"

#include "quarn_server.h"

#include "console.h"
#include "forward.h"
#include "levels.h"
#include "logfile.h"
#include "ring_buffer.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <unistd.h>

quarn_counters_t g_counters;

namespace {

struct loss_counter_t {
    std::atomic<uint64_t> pending{0};  // lost and not yet reported; reset by what a line reports
    std::atomic<uint64_t> total{0};    // lost since start, for the counters line
    std::atomic<int> err{0};           // errno of the first loss not yet reported
    std::atomic<bool> striking{false}; // lost since the cause last cleared
};
loss_counter_t g_losses[QUARN_LOSS_CAUSES];
std::atomic<bool> g_stats_wanted{false}; // SIGUSR1 came; the print thread answers

// One line of the server's own as a record of application origin, tag
// "quarn", with its text terminated behind it.
struct own_line_t {
    alignas(8) char rec[QUARN_CB_REC_MAX + 1]; // header, text, NUL
    int size;                                  // header and text bytes
    const char *text() const { return rec + QUARN_MSG_HEAD_LEN; }
    uint32_t len() const { return static_cast<uint32_t>(size - QUARN_MSG_HEAD_LEN); }
};

__attribute__((format(printf, 2, 3))) own_line_t _own_line_(int level, const char *fmt, ...)
{
    own_line_t line;
    char *text = line.rec + QUARN_MSG_HEAD_LEN;
    const int room = static_cast<int>(sizeof line.rec) - QUARN_MSG_HEAD_LEN - 1; // keeps a byte for "\n"
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    int n = snprintf(text, room, "[%04d-%02d-%02d %02d:%02d:%02d]%s[quarn]", local.tm_year + 1900, local.tm_mon + 1,
                     local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, QUARN_LEVEL_LABELS[level]);
    va_list args;
    va_start(args, fmt);
    const int m = vsnprintf(text + n, room - n, fmt, args);
    va_end(args);
    n += m < 0 ? 0 : std::min(m, room - n - 1);
    text[n++] = '\n';
    text[n] = '\0';
    quarn_msg_head_t head{QUARN_MSG_MAGIC, QUARN_TYPE_APP, static_cast<uint16_t>(n), level, "quarn"};
    memcpy(line.rec, &head, sizeof head);
    line.size = QUARN_MSG_HEAD_LEN + n;
    return line;
}

unsigned long long _ull_(uint64_t v) { return static_cast<unsigned long long>(v); }

// The warning line that reports n units lost for cause.
own_line_t _loss_line_(int cause, uint64_t n, int err)
{
    switch (cause) {
    case QUARN_LOSS_RING:
        return _own_line_(QUARN_LEVEL_WARN, "%llu records dropped: ring buffer full", _ull_(n));
    case QUARN_LOSS_MEMORY:
        return _own_line_(QUARN_LEVEL_WARN, "%llu records dropped: out of memory", _ull_(n));
    case QUARN_LOSS_TOO_LONG:
        return _own_line_(QUARN_LEVEL_WARN, "%llu records dropped: longer than %d bytes", _ull_(n),
                          QUARN_MSG_RECV_LEN - 1);
    case QUARN_LOSS_SHARE:
        return _own_line_(QUARN_LEVEL_WARN, "%llu records dropped: their sender held more than its share of the ring buffer",
                          _ull_(n));
    case QUARN_LOSS_CONNECTIONS:
        return _own_line_(QUARN_LEVEL_WARN, "%llu connections shed: %s", _ull_(n), strerror(err));
    default: // bytes: whole KiB, rounded up, from 1 KiB on
        const char *file = QUARN_LOG_FILE_NAMES[cause - QUARN_LOSS_FILE];
        if (n < 1024)
            return _own_line_(QUARN_LEVEL_WARN, "%llu bytes not stored in %s: %s", _ull_(n), file, strerror(err));
        return _own_line_(QUARN_LEVEL_WARN, "%llu KiB not stored in %s: %s", _ull_((n + 1023) / 1024), file,
                          strerror(err));
    }
}

uint64_t _total_(int cause) { return g_losses[cause].total.load(std::memory_order_relaxed); }

} // namespace

void loss_count(int cause, uint64_t n, int err)
{
    loss_counter_t &c = g_losses[cause];
    if (c.pending.fetch_add(n, std::memory_order_relaxed) == 0)
        c.err.store(err, std::memory_order_relaxed);
    c.total.fetch_add(n, std::memory_order_relaxed);
    c.striking.store(true, std::memory_order_release);
}

void loss_cleared(int cause)
{
    loss_counter_t &c = g_losses[cause];
    if (!c.striking.load(std::memory_order_relaxed))
        return;
    c.striking.store(false, std::memory_order_release);
    if (c.pending.load(std::memory_order_relaxed) != 0)
        bsp_quarn_cb_wake(); // the print thread may be asleep with nothing else to do
}

void loss_report(bool all)
{
    for (int cause = 0; cause < QUARN_LOSS_CAUSES; ++cause) {
        loss_counter_t &c = g_losses[cause];
        if (c.pending.load(std::memory_order_relaxed) == 0 || (!all && c.striking.load(std::memory_order_acquire)))
            continue;
        const int err = c.err.load(std::memory_order_relaxed);
        const uint64_t n = c.pending.exchange(0, std::memory_order_relaxed);
        const own_line_t line = _loss_line_(cause, n, err);
        dispatch_record(line.rec, line.size);
    }
}

void stats_report(char *reply, size_t size)
{
    uint64_t accepted = 0;
    uint32_t high_water = 0;
    bsp_quarn_cb_counters(&accepted, &high_water);
    const uint64_t ring = _total_(QUARN_LOSS_RING), memory = _total_(QUARN_LOSS_MEMORY),
                   too_long = _total_(QUARN_LOSS_TOO_LONG), share = _total_(QUARN_LOSS_SHARE);
    const uint64_t not_stored =
        _total_(QUARN_LOSS_FILE) + _total_(QUARN_LOSS_FILE + 1) + _total_(QUARN_LOSS_FILE + 2);
    const own_line_t line = _own_line_(
        QUARN_LEVEL_INFO,
        "counters: %llu records accepted, %llu dropped (ring buffer full %llu, out of memory %llu, too long %llu, "
        "over their sender's share %llu), %llu refused; commands refused %llu; "
        "bytes written quarn.app %llu, quarn.bsp %llu, quarn.dsp %llu, not stored %llu; "
        "connections %u open, %llu in all, %llu shed; ring high-water %u bytes; console lines not shown %llu",
        _ull_(accepted), _ull_(ring + memory + too_long + share), _ull_(ring), _ull_(memory), _ull_(too_long),
        _ull_(share), _ull_(g_counters.refused.load()), _ull_(g_counters.commands_refused.load()),
        _ull_(g_counters.written[0].load()), _ull_(g_counters.written[1].load()), _ull_(g_counters.written[2].load()),
        _ull_(not_stored), g_counters.conn_open.load(), _ull_(g_counters.conn_total.load()),
        _ull_(_total_(QUARN_LOSS_CONNECTIONS)), high_water, _ull_(console_skipped()));
    fputs(line.text(), stdout);
    if (reply)
        snprintf(reply, size, "%s", line.text());
    if (stage_text(g_log_kinds[QUARN_APP_LOG_INIT], line.text(), line.len(), QUARN_LEVEL_INFO))
        forward_line(g_log_kinds[QUARN_APP_LOG_INIT].file, QUARN_LEVEL_INFO, "quarn", line.text(), line.len());
}

void stop_report()
{
    uint64_t accepted = 0;
    uint32_t high_water = 0;
    bsp_quarn_cb_counters(&accepted, &high_water);
    uint64_t written[3], not_stored = 0;
    for (int file = 0; file < 3; ++file) {
        written[file] = g_counters.written[file].load();
        not_stored += _total_(QUARN_LOSS_FILE + file);
    }
    const uint64_t ring = _total_(QUARN_LOSS_RING) + _total_(QUARN_LOSS_SHARE), memory = _total_(QUARN_LOSS_MEMORY);
    accepted -= accepted > 0; // the stop record that brought the print thread here
    printf("stopped: %llu records accepted, %llu bytes stored (quarn.app %llu, quarn.bsp %llu, quarn.dsp %llu); "
           "lost: %llu records dropped, %llu bytes not stored, %llu connections shed\n",
           _ull_(accepted), _ull_(written[0] + written[1] + written[2]), _ull_(written[0]), _ull_(written[1]),
           _ull_(written[2]), _ull_(ring + memory), _ull_(not_stored), _ull_(_total_(QUARN_LOSS_CONNECTIONS)));
}

void stats_request()
{
    g_stats_wanted.store(true, std::memory_order_relaxed);
    bsp_quarn_cb_wake();
}

bool stats_requested()
{
    return g_stats_wanted.load(std::memory_order_relaxed) && g_stats_wanted.exchange(false);
}
