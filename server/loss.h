// Loss accounting: every place where the server loses something a client
// sent, or could not take a client on, bumps the counter of its cause; the
// print thread turns each counter into one warning line in quarn.app once
// the cause has cleared.  The line goes straight to staging, never through
// the ring, so an overload cannot drop the line that reports it.
#pragma once

#include <atomic>
#include <cstdint>

enum quarn_loss_cause_t : int {
    QUARN_LOSS_RING,        // records dropped: the ring buffer was full
    QUARN_LOSS_MEMORY,      // records dropped: no memory to stage their text
    QUARN_LOSS_CONNECTIONS, // connections closed unserved: no thread or memory for them
    QUARN_LOSS_TOO_LONG,    // records dropped: longer than the longest a receive thread keeps
    QUARN_LOSS_FILE,        // bytes not stored in a log file; + log kind of the file
    QUARN_LOSS_CAUSES = QUARN_LOSS_FILE + 3
};

// Counts n units (records, connections or bytes) lost for cause, with the
// errno of the failure where there is one.  Any thread; lock-free.
void loss_count(int cause, uint64_t n, int err = 0);

// The cause no longer strikes (a record was stored, a write went through):
// what it counted may now be reported.  Any thread; a relaxed load when
// nothing is counted.
void loss_cleared(int cause);

// Print thread: stages one warning line for each cause that counted losses
// and has cleared since (every cause with losses when all is true), and
// resets its counter by exactly the amount reported.
void loss_report(bool all);

// Print thread, under g_stage_lock: prints the counters as one line on
// standard output and stages the same line in quarn.app.
void stats_report();

// The orderly stop's last word: what was stored and what was counted as
// lost since start, as one line on standard output.
void stop_report();

// Asks the print thread for stats_report (SIGUSR1); any thread.
void stats_request();
// True once after each stats_request; the print thread.
bool stats_requested();

// Counters that are not losses, for the counters line.
struct quarn_counters_t {
    std::atomic<uint64_t> refused{0};    // records of a reserved or unknown origin
    std::atomic<uint32_t> conn_open{0};  // connections being served
    std::atomic<uint64_t> conn_total{0}; // connections accepted since start
    std::atomic<uint64_t> written[3]{};  // bytes stored, per log kind of the file
};
extern quarn_counters_t g_counters;
