// quarn_burst: the end-to-end load benchmark.  Sender processes push records
// at the quarn server and, in the same run, at the baseline receiver
// (baseline_receiver.cpp), so every quarn figure stands beside what this
// machine does with the same senders, the same records and the same disk.
// bench/README.md says what each workload measures.
//
// Run it inside fresh network and IPC namespaces (tools/run-bench does): it
// binds the server's socket name, and the server creates its control word.
// Errors of the harness itself end it with a message on stderr; faults of the
// system under test are measured and reported, never fatal.
#include "burst_common.h"
#include "forward_collector.h"

#include <linux/magic.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <sys/wait.h>

#include <array>
#include <cctype>
#include <filesystem>
#include <map>
#include <optional>

#ifndef QUARN_EXE
#error "QUARN_EXE must name the quarn executable"
#endif

using namespace burst;

namespace {

constexpr int SENDERS = 4;              // sender processes of W1 and W3
constexpr int W1_RECORDS = 100000;      // records per sender in W1
constexpr int W2_CALLS = 200000;        // timed calls of each kind in W2
constexpr int W2_BATCH = 200;           // calls between two clock readings; fewer than a
                                        // send buffer holds (~280), so none meets a full one
constexpr int W2_BATCHES = W2_CALLS / W2_BATCH;
constexpr double W3_GRID_BASE = 200000; // origin of the grid of paced rates, where the first search starts
constexpr double W3_STEP = 1.1;         // one grid step: 10 %
constexpr int W3_MAX_STEPS = 20;        // paced runs per search at most
constexpr double W3_MIN_RATE = 5000;    // the search gives up below this
constexpr int64_t SYNC_EVERY_NS = 10 * MS;      // sync records after the senders ended
constexpr int64_t QUIET_NS = 500 * MS;          // no growth and no CPU for this long: done
constexpr int64_t SETTLE_LIMIT_NS = 60000 * MS; // give up waiting for quiet after this
constexpr int64_t PACE_TICK_NS = 1 * MS;        // paced senders send in bursts this far apart
constexpr char QUARN_LOG_ARG[] = "1G";          // the server's log size: W3 stays below a wrap
constexpr double QUARN_LOG_SIZE = 1 << 30;      // the same in bytes
constexpr char TIMED_MARK[] = "--- timed ---";  // W2: the library's failure lines after it count

struct options {
    int runs = 3;                        // repetitions of every workload
    int w3_seconds = 5;                  // sending time of one paced run
    std::string tmpfs_dir = "/dev/shm";  // W1 tmpfs, W2 and W3 log directories
    std::string disk_dir = "/tmp";       // W1 disk log directory
    bool baseline_fsync = true;          // the baseline forces each batch to disk
    std::string only = "w1,w2,w3";       // workloads to run
    std::string forward;                 // W3 also as "quarn+fwd" forwarding here; "" not
    std::string sink;                    // W3 also as "quarn+sink" forwarding here; "" not
};

receiver start_receiver(const options &opt, const std::string &system, const std::string &dir,
                        const std::string &out_path)
{
    if (system.starts_with("quarn")) { // log size, sync size, level; "+fwd" and "+sink" forward
        std::vector<std::string> argv{QUARN_EXE, dir, QUARN_LOG_ARG, "64K", "1"};
        if (system != "quarn")
            argv = forwarding(system == "quarn+fwd" ? opt.forward : opt.sink, argv);
        return receiver(argv, dir + "/quarn.app", out_path);
    }
    const std::string log = dir + "/baseline.log";
    return receiver({"/proc/self/exe", "--baseline-receiver", log, opt.baseline_fsync ? "1" : "0"}, log, out_path);
}

// ---------------------------------------------------------------- senders

// One sender's account, left in shared memory for the harness.
struct sender_report {
    long eagain, other_fail;  // raw sends refused with EAGAIN, or failed otherwise or in part
    long connect_fail;        // raw senders whose connect failed
    int64_t end_ns;           // when its last call returned
};

void library_call(const char *payload)
{
    quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_FILE, "bench", "%s", payload);
}

void send_raw(int fd, const std::string &rec, sender_report &rep)
{
    const ssize_t n = send(fd, rec.data(), rec.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        ++rep.eagain;
    else if (n != static_cast<ssize_t>(rec.size()))
        ++rep.other_fail;
}

// What every sender of one measurement does: `records` records through the
// library, or as one raw send each, `rate` per second (0: as fast as it
// can), in bursts every PACE_TICK_NS.
struct sender_plan {
    bool raw;
    int records;
    double rate;
    int senders = SENDERS;

    void run(int id, sender_report &rep) const
    {
        std::string rec = raw ? log_record(id) : std::string(PAYLOAD_LEN + 1, '\0');
        char *payload = raw ? &rec[PAYLOAD_AT] : rec.data();
        write_payload(payload, id, 0);
        const int fd = raw ? connect_server() : -1;
        rep.connect_fail = raw && fd < 0;
        const int64_t start = now_ns();
        const double ns_per_record = rate > 0 ? 1e9 / rate : 0;
        int64_t now = start;
        for (int i = 0; i < records && !rep.connect_fail; ++i) {
            const int64_t due = start + static_cast<int64_t>(i * ns_per_record);
            if (due > now && (now = now_ns()) < due) {
                sleep_until(start + (due - start + PACE_TICK_NS - 1) / PACE_TICK_NS * PACE_TICK_NS);
                now = now_ns();
            }
            if (raw)
                send_raw(fd, rec, rep);
            else
                library_call(payload);
            next_payload(payload);
        }
        rep.end_ns = now_ns();
    }
};

// ---------------------------------------------------------------- one measurement

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
    std::string end, output;   // how it ended; its output in short
    std::vector<std::string> faults; // what went wrong with the receiver

    double rate() const { return delivered / seconds; }
    double loss_pct() const { return 100.0 * (1.0 - static_cast<double>(delivered) / sent); }
    double cpu_per_m() const { return delivered ? cpu_s / (delivered / 1e6) : NAN; }
    bool whole() const { return delivered == sent && corrupt == 0 && duplicates == 0 && not_forwarded == 0; }
};

// The record a line names (sender * records + sequence), or -1 when the
// line is not a time stamp and one of the payloads sent, whole and unchanged.
long payload_index(const std::string &line, std::string &expect, int records)
{
    static constexpr char shape[] = "[dddd-dd-dd dd:dd:dd]";
    if (line.size() != STAMP_LEN + PAYLOAD_LEN - 1)
        return -1;
    for (size_t i = 0; i < STAMP_LEN; ++i)
        if (shape[i] == 'd' ? !isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i])
            return -1;
    int id = -1;
    long seq = -1;
    if (sscanf(line.c_str() + STAMP_LEN, "bench s%1d n%7ld", &id, &seq) != 2 || id < 0 || id >= SENDERS ||
        seq < 0 || seq >= records)
        return -1;
    write_payload(expect.data(), id, seq);
    if (line.compare(STAMP_LEN, std::string::npos, expect, 0, PAYLOAD_LEN - 1) != 0)
        return -1;
    return static_cast<long>(id) * records + seq;
}

// Counts the payload lines of a log file, past the marker and quarn's loss lines.
void count_delivery(const std::string &path, const sender_plan &plan, burst_result &res)
{
    const std::string text = read_whole(path);
    std::vector<uint8_t> seen(static_cast<size_t>(SENDERS) * plan.records, 0);
    std::string expect(PAYLOAD_LEN, '\0'), example;
    for (size_t pos = 0, end; pos < text.size(); pos = end + 1) {
        end = std::min(text.find('\n', pos), text.size());
        const std::string line = text.substr(pos, end - pos);
        if (const size_t at = line.find("][WARN][quarn]"); at == STAMP_LEN - 1 && line.ends_with(" lines not forwarded"))
            res.not_forwarded += atol(line.c_str() + at + 14);
        if (line.empty() || line == QUARN_END_FLAG || line.find("][WARN][quarn]") == STAMP_LEN - 1)
            continue;
        if (const long idx = payload_index(line, expect, plan.records); idx >= 0)
            ++(seen[idx]++ ? res.duplicates : res.delivered);
        else if (res.corrupt++ == 0)
            example = line.substr(0, 160);
    }
    if (res.corrupt)
        res.faults.push_back(std::to_string(res.corrupt) + " corrupt lines, first: \"" + example + "\"");
    if (res.duplicates)
        res.faults.push_back(std::to_string(res.duplicates) + " duplicated lines");
    if (res.not_forwarded)
        res.faults.push_back(std::to_string(res.not_forwarded) + " lines not forwarded");
}

// Sends "sync" every SYNC_EVERY_NS until the file has not grown and the
// receiver has used no CPU for QUIET_NS, so that the last partial batch is
// written whichever connection it arrived on.
void settle(receiver &r, burst_result &res)
{
    int conn = connect_server();
    if (conn < 0)
        res.faults.push_back("could not connect to send sync");
    const std::string sync = make_record(QUARN_LEVEL_CMD, "CMD", "sync");
    const int64_t begin = now_ns();
    int64_t next_sync = begin, next_check = begin + QUIET_NS;
    for (long ticks = r.cpu_ticks();; sleep_ns(POLL_NS)) {
        const int64_t now = now_ns();
        if (conn >= 0 && now >= next_sync) {
            const ssize_t n = send(conn, sync.data(), sync.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n != static_cast<ssize_t>(sync.size()) && !(n < 0 && errno == EAGAIN)) {
                close(conn);
                conn = -1;
            }
            next_sync = now + SYNC_EVERY_NS;
        }
        r.poll_log();
        if (r.ended())
            break;
        if (now >= next_check) {
            const long t = r.cpu_ticks();
            const bool idle = t >= 0 && t - ticks <= 1;
            ticks = t;
            next_check = now + QUIET_NS;
            if (idle && now - r.log_grew_ns >= QUIET_NS)
                break;
        }
        if (now - begin > SETTLE_LIMIT_NS) {
            res.faults.push_back("still busy or growing 60 s after the senders ended");
            break;
        }
    }
    if (conn >= 0)
        close(conn);
}

// One measurement: a receiver in a fresh directory under base, the senders
// of plan, and the count of what the file holds afterwards.  The receiver's
// messages go to tmpfs, so that only its log file touches the disk.
burst_result measure(const options &opt, const std::string &system, const std::string &base,
                     const sender_plan &plan)
{
    const std::string dir = fresh_dir(base), out_dir = fresh_dir(opt.tmpfs_dir);
    receiver r = start_receiver(opt, system, dir, out_dir + "/receiver.out");
    burst_result res;
    res.system = system;
    res.sent = static_cast<long>(plan.records) * plan.senders;
    if (r.listening()) {
        r.poll_log();
        auto *reps = shared_mem<std::array<sender_report, SENDERS>>();
        sender_group g(plan.senders, "/dev/null", [&](int id) { plan.run(id, (*reps)[id]); });
        r.log_grew_ns = g.start_ns;
        if (!g.wait([&] { r.poll_log(); }))
            res.faults.push_back("senders still running after 300 s; killed");
        int64_t last_end = g.start_ns;
        for (int id = 0; id < plan.senders; ++id) {
            const sender_report &rep = (*reps)[id];
            res.senders.eagain += rep.eagain;
            res.senders.other_fail += rep.other_fail;
            last_end = std::max(last_end, rep.end_ns);
            if (rep.connect_fail)
                res.faults.push_back("sender " + std::to_string(id) + " could not connect");
        }
        res.send_seconds = (last_end - g.start_ns) / 1e9;
        settle(r, res);
        res.seconds = (r.log_grew_ns - g.start_ns) / 1e9;
    }
    const off_t settled = r.log_size;
    r.stop();
    if (r.poll_log(); r.log_size != settled)
        res.faults.push_back("file changed by " + std::to_string(r.log_size - settled) + " bytes at SIGTERM");
    if (!r.fault.empty())
        res.faults.push_back(r.fault);
    res.rss_kib = r.rss_kib;
    res.cpu_s = r.cpu_s;
    res.end = describe_status(r.status);
    count_delivery(r.log_path, plan, res);
    // What the forwarding queue still held when the stop's flush ran out.
    if (const std::string out = read_whole(out_dir + "/receiver.out"); out.find(" lines not forwarded") != std::string::npos) {
        res.not_forwarded = std::max(res.not_forwarded, 1L);
        res.faults.push_back("lines not forwarded at the stop");
    }
    res.output = r.output_digest();
    std::filesystem::remove_all(dir);
    std::filesystem::remove_all(out_dir);
    return res;
}

void print_burst(const char *workload, const char *fs, int run, const burst_result &res, double paced_rate)
{
    std::string faults;
    for (const std::string &f : res.faults)
        faults += (faults.empty() ? "" : "; ") + f;
    printf("  %-8s %s: %ld of %ld delivered (loss %.2f %%) in %.3f s = %.0f rec/s; sending took %.3f s; "
           "cpu %.3f s = %.2f s/M; peak RSS %ld KiB",
           res.system.c_str(), fs, res.delivered, res.sent, res.loss_pct(), res.seconds, res.rate(),
           res.send_seconds, res.cpu_s, res.cpu_per_m(), res.rss_kib);
    if (res.system == "baseline")
        printf("; EAGAIN %ld", res.senders.eagain);
    printf("\n    receiver output: %s\n", res.output.c_str());
    if (!faults.empty())
        printf("    FAULT: %s\n", faults.c_str());
    json_line j;
    j.add("kind", "measurement").add("workload", workload).add("fs", fs).add("system", res.system).add("run", run);
    if (paced_rate > 0)
        j.add("paced_rate", paced_rate);
    j.add("sent", res.sent).add("delivered", res.delivered).add("duplicates", res.duplicates)
        .add("corrupt", res.corrupt).add("seconds", res.seconds).add("send_seconds", res.send_seconds)
        .add("records_per_s", res.rate()).add("loss_pct", res.loss_pct()).add("cpu_s", res.cpu_s)
        .add("cpu_s_per_m", res.cpu_per_m()).add("peak_rss_kib", res.rss_kib).add("raw_eagain", res.senders.eagain)
        .add("raw_other_fail", res.senders.other_fail).add("end", res.end).add("faults", faults).print();
    fflush(stdout);
}

// ---------------------------------------------------------------- workloads

// The two systems in the order of run `run`: alternating, so that slow
// drift of the machine favours neither.
std::vector<std::string> systems_in_order(int run)
{
    return run % 2 ? std::vector<std::string>{"quarn", "baseline"} : std::vector<std::string>{"baseline", "quarn"};
}

// W1 on one file system: both systems, one measurement each.
void run_w1(const options &opt, int run, const char *fs, const std::string &base)
{
    std::map<std::string, burst_result> by;
    for (const std::string &system : systems_in_order(run)) {
        by[system] = measure(opt, system, base, {system != "quarn", W1_RECORDS, 0});
        print_burst("w1", fs, run, by[system], 0);
    }
    const burst_result &q = by["quarn"], &b = by["baseline"];
    const std::string workload = std::string("W1 ") + fs;
    add_figure(workload, "delivered rec/s", 0, q.rate(), b.rate());
    add_figure(workload, "loss %", 2, q.loss_pct(), b.loss_pct());
    add_figure(workload, "CPU s / M delivered", 3, q.cpu_per_m(), b.cpu_per_m());
    add_figure(workload, "peak RSS KiB", 0, q.rss_kib, b.rss_kib);
}

// The 99th percentile of v.
double p99(std::vector<double> v)
{
    if (v.empty())
        return NAN;
    const auto at = v.begin() + static_cast<std::ptrdiff_t>(v.size() * 99 / 100);
    std::nth_element(v.begin(), at, v.end());
    return *at;
}

// W2's figures, ns per call, one per batch; the sender fills them in.
struct w2_samples {
    double library_ns[W2_BATCHES], raw_ns[W2_BATCHES]; // mean of each batch
    float library_call_ns[W2_CALLS], raw_call_ns[W2_CALLS]; // each call, clock reading included
    sender_report counts;     // raw sends that failed while timed
    bool done;                // the sender got through
};

// Waits, bounded by a second, until the receiver has taken everything these
// sockets sent, so that every timed batch starts with room in the send
// buffers: a lone sender can outrun the receiver, and a refused send is
// cheaper than a real one.
void drain(const std::vector<int> &fds)
{
    const int64_t limit = now_ns() + 1000 * MS;
    for (const int fd : fds)
        for (int queued = 0; ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0 && now_ns() < limit;)
            sleep_ns(MS / 10);
}

// Times each call of a batch (one clock reading between two calls, which
// both kinds pay alike) into calls[0, W2_BATCH); returns the batch's mean.
template <typename F> double time_batch(F &&op, float *calls)
{
    const int64_t t0 = now_ns();
    int64_t before = t0;
    for (int i = 0; i < W2_BATCH; ++i) {
        op();
        const int64_t after = now_ns();
        calls[i] = static_cast<float>(after - before);
        before = after;
    }
    return static_cast<double>(before - t0) / W2_BATCH;
}

// The W2 sender: library calls and raw sends of the same record in
// alternating batches, on two connections to the same receiver, the send
// queues drained before every batch.
void w2_sender(w2_samples &s)
{
    std::string text(PAYLOAD_LEN + 1, '\0'), rec = log_record(1);
    write_payload(text.data(), 0, 0);
    const int fd = connect_server();
    if (fd < 0)
        return;
    auto lib_call = [&] { library_call(text.data()), next_payload(text.data()); };
    auto raw_send = [&] { send_raw(fd, rec, s.counts), next_payload(&rec[PAYLOAD_AT]); };
    time_batch(lib_call, s.library_call_ns); // warm up: connect, fault in the pages, fill the time stamp cache
    time_batch(raw_send, s.raw_call_ns);
    std::vector<int> sockets; // ours and the library's connection
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        struct stat st{};
        if (const int sfd = atoi(entry.path().filename().c_str()); fstat(sfd, &st) == 0 && S_ISSOCK(st.st_mode))
            sockets.push_back(sfd);
    }
    s.counts = {};
    printf("%s\n", TIMED_MARK);
    fflush(stdout);
    for (int b = 0; b < W2_BATCHES; ++b)
        for (const bool library : {b % 2 == 1, b % 2 == 0}) { // each kind goes first every other batch
            drain(sockets);
            const size_t at = static_cast<size_t>(b) * W2_BATCH;
            (library ? s.library_ns : s.raw_ns)[b] = library ? time_batch(lib_call, s.library_call_ns + at)
                                                             : time_batch(raw_send, s.raw_call_ns + at);
        }
    s.done = true;
}

// W2: one sender against the baseline receiver on tmpfs.
void run_w2(const options &opt, int run)
{
    const std::string dir = fresh_dir(opt.tmpfs_dir), sender_out = dir + "/sender.out";
    receiver r = start_receiver(opt, "baseline", dir, dir + "/receiver.out");
    auto *s = shared_mem<w2_samples>();
    if (r.listening()) {
        sender_group g(1, sender_out, [&](int) { w2_sender(*s); });
        waitpid(g.pids[0], nullptr, 0);
    }
    r.stop();
    const std::string out = read_whole(sender_out);
    const size_t mark = out.find(TIMED_MARK);
    const long lib_failed = mark == std::string::npos ? 0 : std::count(out.begin() + mark, out.end(), '\n') - 1;
    std::filesystem::remove_all(dir);
    const double lib_ns = summarize({s->library_ns, s->library_ns + W2_BATCHES}).median;
    const double raw_ns = summarize({s->raw_ns, s->raw_ns + W2_BATCHES}).median;
    const double lib_p99 = p99({s->library_call_ns, s->library_call_ns + W2_CALLS});
    const double raw_p99 = p99({s->raw_call_ns, s->raw_call_ns + W2_CALLS});
    const sender_report c = s->counts;
    const bool done = s->done;
    if (!done) {
        printf("  W2 FAULT: no samples (receiver %s)\n", describe_status(r.status).c_str());
        return;
    }
    printf("  W2: library call %.0f ns, raw send %.0f ns (median of %d batches of %d; ratio %.2f); "
           "p99 of a call %.0f / %.0f ns; failed: library %ld, raw %ld EAGAIN + %ld other\n",
           lib_ns, raw_ns, W2_BATCHES, W2_BATCH, lib_ns / raw_ns, lib_p99, raw_p99, lib_failed, c.eagain,
           c.other_fail);
    json_line().add("kind", "measurement").add("workload", "w2").add("run", run).add("receiver", "baseline")
        .add("calls", static_cast<long>(W2_CALLS)).add("batch", W2_BATCH).add("library_ns", lib_ns)
        .add("raw_ns", raw_ns).add("ratio", lib_ns / raw_ns).add("library_p99_ns", lib_p99)
        .add("raw_p99_ns", raw_p99).add("library_failed", lib_failed)
        .add("raw_eagain", c.eagain).add("raw_other_fail", c.other_fail).print();
    add_figure("W2", "ns per call", 0, lib_ns, raw_ns);
    add_figure("W2", "p99 ns per call", 0, lib_p99, raw_p99);
}

// W2's loss: one sender as fast as it goes, quarn against the baseline.
void run_w2_loss(const options &opt, int run)
{
    std::map<std::string, burst_result> by;
    for (const std::string &system : systems_in_order(run)) {
        by[system] = measure(opt, system, opt.tmpfs_dir, {system != "quarn", W1_RECORDS, 0, 1});
        print_burst("w2", "tmpfs", run, by[system], 0);
    }
    add_figure("W2", "1 sender: loss %", 2, by["quarn"].loss_pct(), by["baseline"].loss_pct());
}

double w3_grid(int k)
{
    return W3_GRID_BASE * std::pow(W3_STEP, k);
}

// One paced run at total rate grid(k): true when it lost nothing, false when
// it lost, nothing at all when the senders could not keep the pace, which
// proves nothing about the receiver.
std::optional<bool> w3_step(const options &opt, const std::string &system, int run, int k)
{
    const double rate = w3_grid(k);
    const int per_sender = static_cast<int>(rate / SENDERS * opt.w3_seconds);
    const burst_result res =
        measure(opt, system, opt.tmpfs_dir, {system == "baseline", per_sender, rate / SENDERS});
    print_burst("w3", "tmpfs", run, res, rate);
    if (res.send_seconds > opt.w3_seconds * 1.05)
        return std::nullopt;
    return res.whole();
}

// The highest lossless total rate on the grid for one system, and what
// ended the search: from grid point k up while nothing is lost, or down
// until nothing is.
std::pair<double, std::string> w3_search(const options &opt, const std::string &system, int run, int k)
{
    if (w3_step(opt, system, run, k).value_or(false)) {
        const double cap = 0.9 * QUARN_LOG_SIZE / (STAMP_LEN + PAYLOAD_LEN) / opt.w3_seconds;
        for (int steps = 1;; ++steps, ++k) {
            if (steps >= W3_MAX_STEPS)
                return {w3_grid(k), "step limit reached"};
            if (w3_grid(k + 1) > cap)
                return {w3_grid(k), std::string("next rate would wrap the ") + QUARN_LOG_ARG + " log file"};
            const std::optional<bool> next = w3_step(opt, system, run, k + 1);
            if (!next.value_or(false))
                return {w3_grid(k), next ? "the next step lost records" : "senders could not keep the next pace"};
        }
    }
    for (int steps = 1; steps < W3_MAX_STEPS && w3_grid(--k) >= W3_MIN_RATE; ++steps)
        if (w3_step(opt, system, run, k).value_or(false))
            return {w3_grid(k), "the step above lost records"};
    return {NAN, "no lossless rate found"};
}

// W3 for both systems; each search starts at the grid point where the
// previous run's ended (the grid base at first), which saves most steps.
void run_w3(const options &opt, int run, std::map<std::string, int> &start)
{
    std::map<std::string, double> found;
    std::vector<std::string> systems = systems_in_order(run);
    if (!opt.forward.empty()) // beside plain quarn, before or after it as the run alternates
        systems.insert(std::find(systems.begin(), systems.end(), "quarn") + run % 2, "quarn+fwd");
    if (!opt.sink.empty())
        systems.insert(std::find(systems.begin(), systems.end(), "quarn") + run % 2, "quarn+sink");
    for (const std::string &system : systems) {
        const auto [rate, end] = w3_search(opt, system, run, start[system]);
        found[system] = rate;
        if (std::isfinite(rate))
            start[system] = static_cast<int>(std::lround(std::log(rate / W3_GRID_BASE) / std::log(W3_STEP)));
        printf("  W3 %s: highest lossless rate %.0f rec/s (%s)\n", system.c_str(), rate, end.c_str());
        json_line().add("kind", "measurement").add("workload", "w3").add("system", system).add("run", run)
            .add("seconds", opt.w3_seconds).add("lossless_rate", rate).add("search_end", end).print();
    }
    add_figure("W3 tmpfs", "lossless rec/s", 0, found["quarn"], found["baseline"]);
    if (!opt.forward.empty()) // here the baseline column is quarn without forwarding
        add_figure("W3 fwd/tcp", "lossless rec/s", 0, found["quarn+fwd"], found["quarn"]);
    if (!opt.sink.empty())
        add_figure("W3 fwd/sink", "lossless rec/s", 0, found["quarn+sink"], found["quarn"]);
}

// ---------------------------------------------------------------- main

std::string fs_type(const std::string &dir)
{
    struct statfs st{};
    if (statfs(dir.c_str(), &st) < 0)
        die_errno("statfs " + dir);
    static const std::map<long, std::string> names{{TMPFS_MAGIC, "tmpfs"}, {RAMFS_MAGIC, "ramfs"},
        {EXT4_SUPER_MAGIC, "ext4"}, {XFS_SUPER_MAGIC, "xfs"}, {BTRFS_SUPER_MAGIC, "btrfs"}};
    const auto it = names.find(static_cast<long>(st.f_type));
    return it != names.end() ? it->second : "type " + std::to_string(st.f_type);
}

const char USAGE[] =
    "usage: quarn_burst [--runs N] [--quick] [--only w1,w2,w3] [--tmpfs DIR] [--disk DIR]\n"
    "                   [--baseline-no-fsync] [--no-forward]\n"
    "  --runs N             repetitions of every workload (default 3)\n"
    "  --quick              one run, 2 s paced runs (for development)\n"
    "  --only LIST          run only these workloads\n"
    "  --tmpfs DIR          in-memory log directory (default /dev/shm)\n"
    "  --disk DIR           on-disk log directory (default /tmp)\n"
    "  --baseline-no-fsync  the baseline writes batches without fsync\n"
    "  --no-forward         W3 without the forwarding run against a local rsyslog\n";

options parse_options(int argc, char **argv)
{
    options opt;
    bool quick = false, runs_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = a == "--runs" || a == "--only" || a == "--tmpfs" || a == "--disk";
        if (has_value && i + 1 >= argc)
            die("missing value after " + a);
        const std::string value = has_value ? argv[++i] : "";
        if (a == "--runs")
            opt.runs = atoi(value.c_str()), runs_given = true;
        else if (a == "--quick")
            quick = true;
        else if (a == "--only")
            opt.only = value;
        else if (a == "--tmpfs" || a == "--disk")
            (a == "--tmpfs" ? opt.tmpfs_dir : opt.disk_dir) = value;
        else if (a == "--baseline-no-fsync")
            opt.baseline_fsync = false;
        else if (a == "--no-forward")
            opt.forward = "-"; // not empty: no collector is started
        else
            fputs(USAGE, stdout), exit(a == "--help" || a == "-h" ? 0 : 2);
    }
    if (quick) {
        opt.runs = runs_given ? opt.runs : 1;
        opt.w3_seconds = 2;
    }
    if (opt.runs < 1)
        die("--runs needs a positive number");
    return opt;
}

void check_and_print_setting(const options &opt)
{
    if (connect_server() >= 0)
        die("something already listens on the quarn socket name; run in fresh namespaces "
            "(unshare --net --ipc, as tools/run-bench does)");
    const std::string t = fs_type(opt.tmpfs_dir), d = fs_type(opt.disk_dir);
    auto in_memory = [](const std::string &type) { return type == "tmpfs" || type == "ramfs"; };
    if (!in_memory(t))
        die(opt.tmpfs_dir + " is " + t + ", not an in-memory file system (--tmpfs)");
    if (in_memory(d))
        die(opt.disk_dir + " is " + d + ", not on disk (--disk)");
    if (access(QUARN_EXE, X_OK) != 0)
        die(std::string("no quarn executable at ") + QUARN_EXE);
    printf("quarn_burst: %d run(s); server %s LOGDIR %s 64K 1\n", opt.runs, QUARN_EXE, QUARN_LOG_ARG);
    printf("record: %zu bytes = %d header + %zu text (%zu time stamp + %zu payload incl. newline); "
           "the baseline sends the same bytes\n",
           PAYLOAD_AT + PAYLOAD_LEN, QUARN_MSG_HEAD_LEN, STAMP_LEN + PAYLOAD_LEN, STAMP_LEN, PAYLOAD_LEN);
    printf("tmpfs dir %s (%s), disk dir %s (%s); %ld CPUs; baseline %s each batch\n", opt.tmpfs_dir.c_str(),
           t.c_str(), opt.disk_dir.c_str(), d.c_str(), sysconf(_SC_NPROCESSORS_ONLN),
           opt.baseline_fsync ? "fsyncs" : "does not fsync");
    printf("W1: %d senders x %d records, as fast as they go; W2: %d calls, batches of %d, "
           "against the baseline receiver; W3: %d s paced, 10 %% steps\n",
           SENDERS, W1_RECORDS, W2_CALLS, W2_BATCH, opt.w3_seconds);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "--baseline-receiver") == 0)
        return baseline_receiver_main(argv[2], strcmp(argv[3], "1") == 0);
    signal(SIGPIPE, SIG_IGN);
    options opt = parse_options(argc, argv);
    check_and_print_setting(opt);
    std::optional<forward_collector> collector; // W3 forwards to it when rsyslogd is there
    opt.forward = opt.forward.empty() && opt.only.find("w3") != std::string::npos && forward_collector_available()
                      ? collector.emplace().target : "";
    std::optional<forward_sink> sink; // and to it, a collector that costs next to nothing
    opt.sink = !opt.forward.empty() ? sink.emplace().target : "";
    std::map<std::string, int> w3_start; // grid points where the previous run's searches ended
    for (int run = 1; run <= opt.runs; ++run) {
        printf("\nrun %d of %d\n", run, opt.runs);
        if (opt.only.find("w1") != std::string::npos) {
            run_w1(opt, run, "tmpfs", opt.tmpfs_dir);
            run_w1(opt, run, "disk", opt.disk_dir);
        }
        if (opt.only.find("w2") != std::string::npos)
            run_w2(opt, run), run_w2_loss(opt, run);
        if (opt.only.find("w3") != std::string::npos)
            run_w3(opt, run, w3_start);
    }
    print_summary();
    return 0;
}
