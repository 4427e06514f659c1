// One measurement of quarn_burst: the receiver, its senders, settling the
// last partial batch, and the count of what the file holds afterwards.
#include "burst_measure.h"
#include "forward_collector.h"

#include <array>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <thread>

namespace burst {

namespace {

constexpr int64_t SYNC_EVERY_NS = 10 * MS;      // sync records after the senders ended
constexpr int64_t QUIET_NS = 500 * MS;          // no growth and no CPU for this long: done
constexpr int64_t SETTLE_LIMIT_NS = 60000 * MS; // give up waiting for quiet after this
constexpr int64_t PACE_TICK_NS = 1 * MS;        // paced senders send in bursts this far apart
constexpr int64_t COUNTERS_LIMIT_NS = 5000 * MS; // the counters line is stored within this

// What the library puts between the time stamp and the message of a
// record of this level: nothing at level 4, else "[LABEL][bench]".
std::string record_label(int level)
{
    static constexpr const char *labels[] = {"[DBUG]", "[INFO]", "[WARN]", "[ERROR]"};
    return level >= 0 && level <= QUARN_LEVEL_ERROR ? std::string(labels[level]) + "[bench]" : "";
}

// The record a line names (sender * records + sequence), or -1 when the
// line is not a time stamp, the label and one of the payloads sent, whole
// and unchanged.
long payload_index(const std::string &line, std::string &expect, const sender_plan &plan, const std::string &label)
{
    static constexpr char shape[] = "[dddd-dd-dd dd:dd:dd]";
    const size_t at = STAMP_LEN + label.size();
    if (line.size() != at + PAYLOAD_LEN - 1 || line.compare(STAMP_LEN, label.size(), label) != 0)
        return -1;
    for (size_t i = 0; i < STAMP_LEN; ++i)
        if (shape[i] == 'd' ? !isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i])
            return -1;
    int id = -1;
    long seq = -1;
    if (sscanf(line.c_str() + at, "bench s%3d n%7ld", &id, &seq) != 2 || id < 0 || id >= plan.senders || seq < 0 ||
        seq >= plan.records_of(id))
        return -1;
    write_payload(expect.data(), id, seq);
    if (line.compare(at, std::string::npos, expect, 0, PAYLOAD_LEN - 1) != 0)
        return -1;
    return static_cast<long>(id) * plan.records_of(0) + seq;
}

// Counts the payload lines of a log file, past the marker and quarn's loss
// and counters lines.
void count_delivery(const std::string &path, const sender_plan &plan, burst_result &res)
{
    const std::string text = read_whole(path), label = plan.raw ? "" : record_label(plan.level);
    std::vector<uint8_t> seen(static_cast<size_t>(plan.senders) * plan.records_of(0), 0);
    std::string expect(PAYLOAD_LEN, '\0'), example;
    for (size_t pos = 0, end; pos < text.size(); pos = end + 1) {
        end = std::min(text.find('\n', pos), text.size());
        const std::string line = text.substr(pos, end - pos);
        if (const size_t at = line.find("][WARN][quarn]"); at == STAMP_LEN - 1 && line.ends_with(" lines not forwarded"))
            res.not_forwarded += atol(line.c_str() + at + 14);
        if (line.empty() || line == QUARN_END_FLAG || line.find("][WARN][quarn]") == STAMP_LEN - 1 ||
            line.find("][INFO][quarn]counters: ") == STAMP_LEN - 1)
            continue;
        if (const long idx = payload_index(line, expect, plan, label); idx >= 0)
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

// The receiver's standard output as a console plan has it, and the slow
// pipe's reader, a thread of the harness that only reads and sleeps (so the
// senders forked meanwhile inherit no lock of it).
class console_sink {
  public:
    explicit console_sink(const console_plan &plan)
    {
        if (plan.sink == console_plan::to_null && (write_fd_ = open("/dev/null", O_WRONLY | O_CLOEXEC)) < 0)
            die_errno("open /dev/null");
        if (plan.sink != console_plan::to_slow_pipe)
            return;
        int p[2];
        if (pipe2(p, O_CLOEXEC | O_NONBLOCK) < 0)
            die_errno("pipe");
        read_fd_ = p[0], write_fd_ = p[1];
        reader_ = std::thread([this, plan] {
            std::vector<char> buf(plan.drain_bytes);
            for (int64_t next = now_ns(); !stop_.load(std::memory_order_relaxed); next += plan.drain_every_ns) {
                sleep_until(next); // a late wake-up reads at once: the average rate holds
                if (const ssize_t n = read(read_fd_, buf.data(), buf.size()); n > 0)
                    read_.fetch_add(n, std::memory_order_relaxed);
            }
        });
    }
    console_sink(const console_sink &) = delete;
    console_sink &operator=(const console_sink &) = delete;
    ~console_sink() { stop(); }

    int fd() const { return write_fd_; } // -1: the output file
    // The receiver holds its own copy now.
    void started()
    {
        if (write_fd_ >= 0)
            close(write_fd_);
        write_fd_ = -1;
    }
    // Ends the reader; the bytes it took, -1 when there is none.
    long stop()
    {
        started();
        if (reader_.joinable()) {
            stop_.store(true, std::memory_order_relaxed);
            reader_.join();
            close(read_fd_);
        }
        return read_fd_ >= 0 ? read_.load() : -1;
    }

  private:
    int write_fd_ = -1, read_fd_ = -1;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::atomic<long> read_{0};
};

// Asks quarn for its counters line and takes "console lines not shown N"
// from the line it stores; -1 when none came within COUNTERS_LIMIT_NS.
long console_not_shown(receiver &r)
{
    // The new line overwrites the end marker, so it starts a little before
    // the file's end; the one counters line of a run is the first found.
    r.poll_log();
    const off_t from = std::max<off_t>(0, r.log_size - 4096);
    const int conn = connect_server();
    const std::string stats = make_record(QUARN_LEVEL_CMD, "CMD", "stats"),
                      sync = make_record(QUARN_LEVEL_CMD, "CMD", "sync");
    long found = -1;
    if (conn >= 0 && send(conn, stats.data(), stats.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(stats.size())) {
        for (const int64_t limit = now_ns() + COUNTERS_LIMIT_NS; found < 0 && now_ns() < limit; sleep_ns(SYNC_EVERY_NS)) {
            if (send(conn, sync.data(), sync.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno != EAGAIN)
                break;
            std::ifstream in(r.log_path, std::ios::binary);
            in.seekg(from);
            static constexpr char key[] = "console lines not shown ";
            for (std::string line; found < 0 && std::getline(in, line);)
                if (const size_t at = line.find("][INFO][quarn]counters: "); at == STAMP_LEN - 1)
                    if (const size_t k = line.find(key); k != std::string::npos)
                        found = atol(line.c_str() + k + sizeof key - 1);
        }
    }
    if (conn >= 0)
        close(conn);
    r.poll_log();
    return found;
}

} // namespace

receiver start_receiver(const options &opt, const std::string &system, const std::string &dir,
                        const std::string &out_path, int stdout_fd)
{
    if (system.starts_with("quarn")) { // log size, sync size, level; "+fwd" and "+sink" forward
        std::vector<std::string> argv{QUARN_EXE, dir, QUARN_LOG_ARG, "64K", "1"};
        if (system != "quarn")
            argv = forwarding(system == "quarn+fwd" ? opt.forward : opt.sink, argv);
        return receiver(argv, dir + "/quarn.app", out_path, stdout_fd);
    }
    const std::string log = dir + "/baseline.log";
    return receiver({"/proc/self/exe", "--baseline-receiver", log, opt.baseline_fsync ? "1" : "0"}, log, out_path,
                    stdout_fd);
}

void library_call(const char *payload, int level)
{
    quarn_msg_write_with_type(QUARN_APP_LOG_INIT, level, "bench", "%s", payload);
}

void send_raw(int fd, const std::string &rec, sender_report &rep)
{
    const ssize_t n = send(fd, rec.data(), rec.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        ++rep.eagain;
    else if (n != static_cast<ssize_t>(rec.size()))
        ++rep.other_fail;
}

void send_all(int fd, const std::string &rec, sender_report &rep)
{
    for (size_t done = 0; done < rec.size();) {
        const ssize_t n = send(fd, rec.data() + done, rec.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR) {
            ++rep.other_fail;
            return;
        }
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
}

void sender_plan::run(int id, sender_report &rep) const
{
    std::string rec = raw ? log_record(id) : std::string(PAYLOAD_LEN + 1, '\0');
    char *payload = raw ? &rec[PAYLOAD_AT] : rec.data();
    write_payload(payload, id, 0);
    const int fd = raw ? connect_server() : -1;
    rep.connect_fail = raw && fd < 0;
    if (fd >= 0 && sndbuf > 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    const int records = records_of(id);
    const int64_t start = now_ns();
    const double ns_per_record = rate > 0 ? 1e9 / rate : 0;
    int64_t now = start;
    for (int i = 0; i < records && !rep.connect_fail; ++i) {
        const int64_t due = start + static_cast<int64_t>(i * ns_per_record);
        if (due > now && (now = now_ns()) < due) {
            sleep_until(start + (due - start + PACE_TICK_NS - 1) / PACE_TICK_NS * PACE_TICK_NS);
            now = now_ns();
        }
        if (raw && blocking)
            send_all(fd, rec, rep);
        else if (raw)
            send_raw(fd, rec, rep);
        else
            library_call(payload, level);
        next_payload(payload);
    }
    rep.end_ns = now_ns();
}

// One measurement: a receiver in a fresh directory under base, the senders
// of plan, and the count of what the file holds afterwards.  The receiver's
// messages go to tmpfs, so that only its log file touches the disk.
burst_result measure(const options &opt, const std::string &system, const std::string &base,
                     const sender_plan &plan, const console_plan &console)
{
    const std::string dir = fresh_dir(base), out_dir = fresh_dir(opt.tmpfs_dir);
    console_sink sink(console);
    receiver r = start_receiver(opt, system, dir, out_dir + "/receiver.out", sink.fd());
    sink.started();
    burst_result res;
    res.system = system;
    res.sent = plan.sent();
    if (r.listening()) {
        r.poll_log();
        auto *reps = shared_mem<std::array<sender_report, MAX_SENDERS>>();
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
        if (console.sink != console_plan::to_file && system.starts_with("quarn"))
            res.console_not_shown = console_not_shown(r);
    }
    const off_t settled = r.log_size;
    r.stop();
    res.console_read = sink.stop();
    if (r.poll_log(); r.log_size != settled)
        res.faults.push_back("file changed by " + std::to_string(r.log_size - settled) + " bytes at SIGTERM");
    if (!r.fault.empty())
        res.faults.push_back(r.fault);
    res.rss_kib = r.rss_kib;
    res.cpu_s = r.cpu_s;
    res.switches = r.usage.ru_nvcsw + r.usage.ru_nivcsw;
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
           "cpu %.3f s = %.2f s/M; %ld context switches; peak RSS %ld KiB",
           res.system.c_str(), fs, res.delivered, res.sent, res.loss_pct(), res.seconds, res.rate(),
           res.send_seconds, res.cpu_s, res.cpu_per_m(), res.switches, res.rss_kib);
    if (!res.system.starts_with("quarn"))
        printf("; EAGAIN %ld", res.senders.eagain);
    if (res.console_not_shown >= 0 || res.console_read >= 0)
        printf("; console lines not shown %ld, console bytes read %ld", res.console_not_shown, res.console_read);
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
        .add("cpu_s_per_m", res.cpu_per_m()).add("context_switches", res.switches).add("peak_rss_kib", res.rss_kib).add("raw_eagain", res.senders.eagain)
        .add("raw_other_fail", res.senders.other_fail).add("console_not_shown", res.console_not_shown)
        .add("console_read", res.console_read).add("end", res.end).add("faults", faults).print();
    fflush(stdout);
}

std::vector<std::string> systems_in_order(int run)
{
    return run % 2 ? std::vector<std::string>{"quarn", "baseline"} : std::vector<std::string>{"baseline", "quarn"};
}

} // namespace burst
