// One measurement of quarn_burst: the receiver under test, the senders that
// push records at it, and the count of what its log file holds afterwards.
// W1, W2's loss run and every step of W3 are measurements of this kind.
#pragma once

#include "burst_common.h"

#include <string>
#include <vector>

#ifndef QUARN_EXE
#error "QUARN_EXE must name the quarn executable"
#endif

namespace burst {

constexpr int SENDERS = 4;              // sender processes of W1 and W3
constexpr int W1_RECORDS = 100000;      // records per sender in W1
constexpr int W2_CALLS = 200000;        // timed calls of each kind in W2
constexpr int W2_BATCH = 200;           // calls between two clock readings; fewer than a
                                        // send buffer holds (~280), so none meets a full one
constexpr char QUARN_LOG_ARG[] = "1G";  // the server's log size: W3 stays below a wrap
constexpr double QUARN_LOG_SIZE = 1 << 30; // the same in bytes

struct options {
    int runs = 3;                        // repetitions of every workload
    int w3_seconds = 5;                  // sending time of one paced run
    std::string tmpfs_dir = "/dev/shm";  // W1 tmpfs, W2 and W3 log directories
    std::string disk_dir = "/tmp";       // W1 disk log directory
    bool baseline_fsync = true;          // the baseline forces each batch to disk
    std::string only = "w1,w2,w3,w4";    // workloads to run
    std::vector<int> scale_senders{4, 16, 64, 256}; // sender counts of the scaling workload
    std::string forward;                 // W3 also as "quarn+fwd" forwarding here; "" not
    std::string sink;                    // W3 also as "quarn+sink" forwarding here; "" not
};

// The receiver of system ("quarn", "quarn+fwd", "quarn+sink" or "baseline")
// with its log in dir and its messages in out_path (its standard output in
// stdout_fd when that is not -1).
receiver start_receiver(const options &opt, const std::string &system, const std::string &dir,
                        const std::string &out_path, int stdout_fd = -1);

// Where the receiver's standard output goes, which is quarn's console: with
// its other messages into the output file, to /dev/null, or into a pipe
// that a reader drains at drain_bytes every drain_every_ns.
struct console_plan {
    enum sink_t { to_file, to_null, to_slow_pipe } sink = to_file;
    size_t drain_bytes = 1100;          // 11 KB/s: a 115200-baud serial console
    int64_t drain_every_ns = 100 * MS;
};

// One sender's account, left in shared memory for the harness.
struct sender_report {
    long eagain, other_fail;  // raw sends refused with EAGAIN, or failed otherwise or in part
    long connect_fail;        // raw senders whose connect failed
    int64_t end_ns;           // when its last call returned
};


void library_call(const char *payload, int level = QUARN_LEVEL_FILE);
void send_raw(int fd, const std::string &rec, sender_report &rep);
void send_all(int fd, const std::string &rec, sender_report &rep); // blocking, the whole record

// What every sender of one measurement does: `records` records through the
// library, or as one raw send each, `rate` per second (0: as fast as it
// can), in bursts every PACE_TICK_NS.
struct sender_plan {
    bool raw;
    int records;
    double rate;
    int senders = SENDERS;
    int level = QUARN_LEVEL_FILE; // of the library's records; the raw ones are level 4
    long total = 0;               // when set: records in all, spread evenly (the first senders take
                                  // the remainder), and records is ignored
    bool blocking = false;        // raw sends wait for room instead of failing with EAGAIN
    int sndbuf = 0;               // SO_SNDBUF the raw senders ask for; 0: the system's default

    int records_of(int id) const { return total ? static_cast<int>(total / senders + (id < total % senders)) : records; }
    long sent() const { return total ? total : static_cast<long>(records) * senders; }
    void run(int id, sender_report &rep) const;
};

// Everything one measurement of W1 or W3 found.
struct burst_result {
    std::string system;        // "quarn" or "baseline"
    long sent = 0;             // records the senders were asked to send
    long delivered = 0;        // distinct expected payload lines in the log file
    long duplicates = 0;       // expected payload lines found more than once
    long corrupt = 0;          // lines that are neither a payload line nor the end marker
    long not_forwarded = 0;    // lines the server reported it could not forward
    double seconds = NAN;      // common start until the file last grew
    double send_seconds = NAN; // common start until the last sender ended
    sender_report senders{};   // the raw senders' failures, summed
    long rss_kib = -1;         // the receiver's peak RSS
    double cpu_s = NAN;        // the receiver's CPU time
    long switches = -1;        // the receiver's context switches, voluntary and not
    std::string end, output;   // how it ended; its output in short
    long console_not_shown = -1; // from quarn's counters line, asked for when the console is not a file
    long console_read = -1;      // bytes the slow pipe's reader took
    std::vector<std::string> faults; // what went wrong with the receiver

    double rate() const { return delivered / seconds; }
    double loss_pct() const { return 100.0 * (1.0 - static_cast<double>(delivered) / sent); }
    double cpu_per_m() const { return delivered ? cpu_s / (delivered / 1e6) : NAN; }
    bool whole() const { return delivered == sent && corrupt == 0 && duplicates == 0 && not_forwarded == 0; }
};

// One measurement: a receiver in a fresh directory under base, the senders
// of plan, and the count of what the file holds afterwards.
burst_result measure(const options &opt, const std::string &system, const std::string &base,
                     const sender_plan &plan, const console_plan &console = {});
void print_burst(const char *workload, const char *fs, int run, const burst_result &res, double paced_rate);

// The two systems in the order of run `run`: alternating, so that slow
// drift of the machine favours neither.
std::vector<std::string> systems_in_order(int run);

// The workloads of other files.
void run_w2(const options &opt, int run);
void run_w2_loss(const options &opt, int run);
void run_w3(const options &opt, int run, std::map<std::string, int> &start);
void run_w4(const options &opt, int run);
void run_scale(const options &opt, int run);
void print_scale_table();

} // namespace burst
