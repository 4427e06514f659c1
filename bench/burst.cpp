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
//
// burst_measure.cpp holds one measurement (W1, W2's loss, each W3 step, W4),
// burst_w2.cpp the timed calls of W2, burst_w3.cpp W3's search, burst_w4.cpp
// W4's two consoles; this file
// the command line, the setting's checks, W1 and the order of the runs.
#include "burst_measure.h"
#include "forward_collector.h"

#include <linux/magic.h>
#include <sys/statfs.h>

#include <map>
#include <optional>

using namespace burst;

namespace {

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
    "usage: quarn_burst [--runs N] [--quick] [--only w1,w2,w3,w4,scale] [--senders LIST] [--tmpfs DIR] [--disk DIR]\n"
    "                   [--baseline-no-fsync] [--no-forward] [--receiver-nice N]\n"
    "                   [--rss-detail]\n"
    "  --runs N             repetitions of every workload (default 3)\n"
    "  --quick              one run, 2 s paced runs (for development)\n"
    "  --only LIST          run only these workloads (scale: 400,000 records from 4 to 256 senders,\n"
    "                       against quarn and two limits; not run unless named)\n"
    "  --senders LIST       sender counts of the scaling workload (default 4,16,64,256)\n"
    "  --tmpfs DIR          in-memory log directory (default /dev/shm)\n"
    "  --disk DIR           on-disk log directory (default /tmp)\n"
    "  --baseline-no-fsync  the baseline writes batches without fsync\n"
    "  --no-forward         W3 without the forwarding run against a local rsyslog\n"
    "  --receiver-nice N    run quarn and the limit receivers at nice N (default 0; below 0 needs root)\n"
    "  --rss-detail         print where each receiver's resident pages lie at the end of a burst\n";

std::vector<int> parse_senders(const std::string &list)
{
    std::vector<int> out;
    for (size_t at = 0; at < list.size();) {
        const int n = atoi(list.c_str() + at);
        if (n < 1 || n > MAX_SENDERS)
            die("--senders takes numbers from 1 to " + std::to_string(MAX_SENDERS));
        out.push_back(n);
        at = std::min(list.find(',', at), list.size()) + 1;
    }
    return out;
}

options parse_options(int argc, char **argv)
{
    options opt;
    bool quick = false, runs_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value =
            a == "--runs" || a == "--only" || a == "--tmpfs" || a == "--disk" || a == "--senders" || a == "--receiver-nice";
        if (has_value && i + 1 >= argc)
            die("missing value after " + a);
        const std::string value = has_value ? argv[++i] : "";
        if (a == "--runs")
            opt.runs = atoi(value.c_str()), runs_given = true;
        else if (a == "--quick")
            quick = true;
        else if (a == "--only")
            opt.only = value;
        else if (a == "--senders")
            opt.scale_senders = parse_senders(value);
        else if (a == "--tmpfs" || a == "--disk")
            (a == "--tmpfs" ? opt.tmpfs_dir : opt.disk_dir) = value;
        else if (a == "--receiver-nice")
            g_receiver_nice = atoi(value.c_str());
        else if (a == "--baseline-no-fsync")
            opt.baseline_fsync = false;
        else if (a == "--rss-detail")
            g_rss_detail = true;
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
           "against the baseline receiver; W3: %d s paced, 10 %% steps; W4: W1 at level 1 with the console "
           "on a pipe drained at 11 KB/s and on /dev/null\n",
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
        if (opt.only.find("w4") != std::string::npos)
            run_w4(opt, run);
        if (opt.only.find("scale") != std::string::npos)
            run_scale(opt, run);
    }
    print_summary();
    print_scale_table();
    return 0;
}
