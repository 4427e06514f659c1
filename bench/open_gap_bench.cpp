// quarn_open_gap: does a DSP log file that must be recovered hold back the
// console?  The server starts with a 64 MiB quarn.dsp that has no end
// marker, one sender shows an application line every millisecond, and in
// the middle it sends dsp_init, whose open scans the whole file and copies
// it to the backup with an fsync.  The harness reads the server's console
// on a pipe and stamps each line's arrival; the figure is the longest gap
// between two consecutive lines in the 2 s around the dsp_init, beside the
// same run without it.  bench/README.md says more.
//
// Run it inside fresh network and IPC namespaces (tools/run-bench does).
#include "burst_common.h"

#include <atomic>
#include <filesystem>
#include <thread>
#include <tuple>

#ifndef QUARN_EXE
#error "QUARN_EXE must name the quarn executable"
#endif

using namespace burst;

namespace {

constexpr long DSP_FILE_SIZE = 64L << 20;       // the file to recover
constexpr int TICK_NS = 1 * MS;                 // one console line this often
constexpr int INIT_TICK = 1500;                 // dsp_init goes out before this tick
constexpr int64_t HALF_WINDOW_NS = 1000 * MS;   // the window: this long either side of it
constexpr int64_t AFTER_NS = 1500 * MS;         // ticks go on this long past it and past the open
constexpr int MAX_TICKS = 60000;                // a minute: an open that takes longer is a fault
constexpr int64_t LAST_LINE_LIMIT_NS = 5000 * MS; // the last tick's line shows within this

// What the sender leaves in shared memory.
struct tick_log {
    std::atomic<int> stop;          // the harness asks it to end
    std::atomic<int> sent;          // ticks sent so far
    int64_t init_ns;                // when dsp_init went out; 0 when it did not
    int64_t sent_ns[MAX_TICKS];     // when each tick's call returned
};

// What the console pipe brought, stamped on arrival.
struct console_log {
    std::vector<int64_t> tick_ns;   // arrival of each tick's line, in order of arrival
    std::vector<int> tick_seq;      // its tick number
    std::atomic<int64_t> open_ns{0}; // when "quarn.dsp open !!!" came; 0 not yet
    std::atomic<int> ticks{0};      // tick lines so far
};

// Reads the console until the server closes it.  Every line of one read
// has that read's arrival time.
void read_console(int fd, console_log &log)
{
    std::string partial;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) != 0;) {
        const int64_t t = now_ns();
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        partial.append(buf, static_cast<size_t>(n));
        size_t pos = 0;
        for (size_t end; (end = partial.find('\n', pos)) != std::string::npos; pos = end + 1) {
            // A line the server writes without a newline runs into the next.
            const std::string_view line(partial.data() + pos, end - pos);
            for (size_t at = 0; (at = line.find("[INFO][gap]tick ", at)) != std::string_view::npos; at += 16) {
                log.tick_ns.push_back(t);
                log.tick_seq.push_back(atoi(line.data() + at + 16));
                log.ticks.store(static_cast<int>(log.tick_ns.size()), std::memory_order_release);
            }
            if (line.find("quarn.dsp open !!!") != std::string_view::npos)
                log.open_ns.store(t, std::memory_order_release);
        }
        partial.erase(0, pos);
    }
}

// 64 MiB of text lines as a DSP would log them, with no end marker: an
// open must scan it all and keep a copy.  Forced to disk before the server
// starts, so that only the copy's writing is left for the open.
void write_unmarked_file(const std::string &path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        die_errno("create " + path);
    std::string chunk;
    for (long line = 0, written = 0; written < DSP_FILE_SIZE;) {
        char text[128];
        for (chunk.clear(); chunk.size() < (1 << 20); ++line)
            chunk.append(text, static_cast<size_t>(snprintf(text, sizeof text,
                "[2024-01-01 00:%02ld:%02ld][INFO][DSP]frame %09ld decoded, queue depth %ld, dsp load %ld %%\n",
                line / 60 % 60, line % 60, line, line % 17, line % 100)));
        const size_t n = static_cast<size_t>(std::min<long>(static_cast<long>(chunk.size()), DSP_FILE_SIZE - written));
        if (write(fd, chunk.data(), n) != static_cast<ssize_t>(n))
            die_errno("write " + path);
        written += static_cast<long>(n);
    }
    if (fsync(fd) < 0 || close(fd) < 0)
        die_errno("fsync " + path);
}

// The longest time between two consecutive arrivals that overlaps [from,
// to], in ms, and when it began, in ms after mid.
std::pair<double, double> longest_gap_ms(const std::vector<int64_t> &at, int64_t from, int64_t to, int64_t mid)
{
    int64_t longest = 0, began = mid;
    for (size_t i = 1; i < at.size(); ++i)
        if (at[i] >= from && at[i - 1] <= to && at[i] - at[i - 1] > longest)
            longest = at[i] - at[i - 1], began = at[i - 1];
    return {longest / 1e6, (began - mid) / 1e6};
}

struct gap_result {
    double console_gap_ms = NAN; // longest console gap in the window
    double gap_at_ms = NAN;      // when it began, after the dsp_init (or the tick in its place)
    double sender_gap_ms = NAN;  // longest gap between two of the sender's calls there
    double recovery_s = NAN;     // dsp_init until "quarn.dsp open !!!"
    double open_gap_ms = NAN;    // longest console gap from the window's start to the open's end
    long ticks_sent = 0, ticks_shown = 0, ticks_out_of_order = 0;
    long backup_bytes = -1;      // size of quarn.dsp.bak afterwards
    std::vector<std::string> faults;
};

gap_result measure(const std::string &base, const std::string &tmp, bool with_init)
{
    const std::string dir = fresh_dir(base), out_dir = fresh_dir(tmp);
    write_unmarked_file(dir + "/quarn.dsp");
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) < 0)
        die_errno("pipe");
    receiver r({QUARN_EXE, dir, "1G", "64K", "1"}, dir + "/quarn.app", out_dir + "/stderr", pipe_fds[1]);
    close(pipe_fds[1]);
    gap_result res;
    console_log con;
    std::thread reader;
    if (r.listening()) {
        auto *ticks = shared_mem<tick_log>();
        sender_group g(1, "/dev/null", [&](int) {
            const int64_t start = now_ns();
            for (int i = 0; i < MAX_TICKS && !ticks->stop.load(); ++i) {
                sleep_until(start + static_cast<int64_t>(i) * TICK_NS);
                if (with_init && i == INIT_TICK) {
                    ticks->init_ns = now_ns();
                    quarn_msg_dsp_init(static_cast<int>(DSP_FILE_SIZE), 65536, 1);
                }
                quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_INFO, "gap", "tick %d\n", i);
                ticks->sent_ns[i] = now_ns();
                ticks->sent.store(i + 1, std::memory_order_release);
            }
        });
        // Started after the fork, so the sender inherits no lock of it.
        reader = std::thread(read_console, pipe_fds[0], std::ref(con));
        bool stopped = false;
        g.wait([&] {
            const int sent = ticks->sent.load(std::memory_order_acquire);
            if (stopped || sent <= INIT_TICK)
                return;
            const int64_t mid = with_init ? ticks->init_ns : ticks->sent_ns[INIT_TICK];
            const int64_t open = con.open_ns.load(std::memory_order_acquire);
            if (now_ns() > mid + AFTER_NS && (!with_init || (open && now_ns() > open + AFTER_NS)))
                ticks->stop.store(1), stopped = true;
        });
        res.ticks_sent = ticks->sent.load();
        for (const int64_t limit = now_ns() + LAST_LINE_LIMIT_NS; con.ticks.load() < res.ticks_sent && now_ns() < limit;)
            sleep_ns(POLL_NS);
        if (!stopped)
            res.faults.push_back(with_init ? "no \"quarn.dsp open !!!\" within a minute" : "sender ran out of ticks");
        const int64_t mid = with_init ? ticks->init_ns : ticks->sent_ns[INIT_TICK];
        r.stop();
        reader.join();
        res.ticks_shown = static_cast<long>(con.tick_ns.size());
        for (size_t i = 1; i < con.tick_seq.size(); ++i)
            res.ticks_out_of_order += con.tick_seq[i] <= con.tick_seq[i - 1];
        std::vector<int64_t> sent(ticks->sent_ns, ticks->sent_ns + res.ticks_sent);
        std::tie(res.console_gap_ms, res.gap_at_ms) =
            longest_gap_ms(con.tick_ns, mid - HALF_WINDOW_NS, mid + HALF_WINDOW_NS, mid);
        res.sender_gap_ms = longest_gap_ms(sent, mid - HALF_WINDOW_NS, mid + HALF_WINDOW_NS, mid).first;
        if (const int64_t open = con.open_ns.load(); with_init && open) {
            res.recovery_s = (open - mid) / 1e9;
            res.open_gap_ms =
                longest_gap_ms(con.tick_ns, mid - HALF_WINDOW_NS, std::max(open, mid + HALF_WINDOW_NS), mid).first;
        }
    } else {
        r.stop();
    }
    close(pipe_fds[0]);
    if (!r.fault.empty())
        res.faults.push_back(r.fault);
    struct stat st{};
    res.backup_bytes = stat((dir + "/quarn.dsp.bak").c_str(), &st) == 0 ? st.st_size : -1;
    if (with_init && res.backup_bytes < DSP_FILE_SIZE)
        res.faults.push_back("quarn.dsp.bak holds " + std::to_string(res.backup_bytes) + " bytes, not the whole file");
    if (res.ticks_shown < res.ticks_sent)
        res.faults.push_back(std::to_string(res.ticks_sent - res.ticks_shown) + " tick lines not shown");
    if (res.ticks_out_of_order)
        res.faults.push_back(std::to_string(res.ticks_out_of_order) + " tick lines out of order");
    std::filesystem::remove_all(dir);
    std::filesystem::remove_all(out_dir);
    return res;
}

void print_result(int run, bool with_init, const gap_result &res)
{
    std::string faults;
    for (const std::string &f : res.faults)
        faults += (faults.empty() ? "" : "; ") + f;
    printf("  %-15s longest console gap %.1f ms in the 2 s window, from %+.1f ms (sender's own longest %.1f ms); "
           "%ld of %ld tick lines shown",
           with_init ? "with dsp_init" : "without", res.console_gap_ms, res.gap_at_ms, res.sender_gap_ms,
           res.ticks_shown, res.ticks_sent);
    if (with_init)
        printf("; recovery %.3f s, longest gap until it ended %.1f ms", res.recovery_s, res.open_gap_ms);
    printf("\n");
    if (!faults.empty())
        printf("    FAULT: %s\n", faults.c_str());
    json_line()
        .add("kind", "measurement").add("workload", "open_gap").add("run", run).add("dsp_init", with_init ? 1 : 0)
        .add("console_gap_ms", res.console_gap_ms).add("gap_at_ms", res.gap_at_ms).add("sender_gap_ms", res.sender_gap_ms)
        .add("recovery_s", res.recovery_s).add("open_gap_ms", res.open_gap_ms).add("ticks_sent", res.ticks_sent)
        .add("ticks_shown", res.ticks_shown).add("backup_bytes", res.backup_bytes).add("faults", faults).print();
    fflush(stdout);
}

const char USAGE[] =
    "usage: quarn_open_gap [--runs N] [--dir DIR] [--tmpfs DIR]\n"
    "  --runs N     pairs of runs, with and without dsp_init (default 5)\n"
    "  --dir DIR    log directory, where quarn.dsp is recovered (default /tmp)\n"
    "  --tmpfs DIR  where the server's other output goes (default /dev/shm)\n";

} // namespace

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);
    int runs = 5;
    std::string dir = "/tmp", tmp = "/dev/shm";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = (a == "--runs" || a == "--dir" || a == "--tmpfs") && i + 1 < argc;
        if (has_value && a == "--runs") {
            if ((runs = atoi(argv[++i])) < 1)
                die("--runs needs a positive number");
        } else if (has_value) {
            (a == "--dir" ? dir : tmp) = argv[++i];
        } else {
            fputs(USAGE, stdout);
            return a == "--help" || a == "-h" ? 0 : 2;
        }
    }
    if (connect_server() >= 0)
        die("something already listens on the quarn socket name; run in fresh namespaces "
            "(unshare --net --ipc, as tools/run-bench does)");
    printf("quarn_open_gap: %d run(s); server %s LOGDIR 1G 64K 1 with LOGDIR under %s; a %ld MiB quarn.dsp "
           "without end marker; one INFO line every 1 ms; dsp_init %ld 65536 1 before tick %d\n",
           runs, QUARN_EXE, dir.c_str(), DSP_FILE_SIZE >> 20, DSP_FILE_SIZE, INIT_TICK);
    std::vector<double> with_gap, without_gap, recovery, open_gap, with_sender, without_sender;
    for (int run = 1; run <= runs; ++run) {
        printf("\nrun %d of %d\n", run, runs);
        for (const bool with_init : run % 2 ? std::vector<bool>{true, false} : std::vector<bool>{false, true}) {
            const gap_result res = measure(dir, tmp, with_init);
            print_result(run, with_init, res);
            (with_init ? with_gap : without_gap).push_back(res.console_gap_ms);
            (with_init ? with_sender : without_sender).push_back(res.sender_gap_ms);
            if (with_init)
                recovery.push_back(res.recovery_s), open_gap.push_back(res.open_gap_ms);
        }
    }
    printf("\n%-58s %-26s %s\n", "metric", "median [min..max]", "runs");
    const auto row = [&](const char *name, const std::vector<double> &v, int decimals) {
        const stats s = summarize(v);
        printf("%-58s %-26s %zu\n", name, format_stats(s, decimals).c_str(), v.size());
        json_line().add("kind", "summary").add("workload", "open_gap").add("metric", name)
            .add("runs", static_cast<long>(v.size())).add("value", s).print();
    };
    row("longest console gap, 2 s window, with dsp_init (ms)", with_gap, 1);
    row("longest console gap, 2 s window, without (ms)", without_gap, 1);
    row("longest gap of the sender's own calls, with (ms)", with_sender, 1);
    row("longest gap of the sender's own calls, without (ms)", without_sender, 1);
    row("recovery: dsp_init to \"quarn.dsp open !!!\" (s)", recovery, 3);
    row("longest console gap until the open ended, with (ms)", open_gap, 1);
    const stats w = summarize(with_gap);
    printf("goal: longest gap with dsp_init under 20 ms: %s (median %.1f ms, max %.1f ms)\n",
           w.max < 20 ? "met" : "not met", w.median, w.max);
    return 0;
}
