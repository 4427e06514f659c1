// quarn_syslog_bench: 4 processes calling syslog(3) as fast as they can
// with the burst workload's payload, into quarn's system log socket and
// into BusyBox syslogd -n -O FILE, each writing to tmpfs, in one run.
// Prints records per second (first send to the last growth of the file),
// the receiver's CPU per record and the records missing from its file.
//
// syslog(3) knows only /dev/log, so the benchmark gives itself a /dev of
// its own (a private mount namespace; needs root) and runs there.
//   quarn_syslog_bench [--records N] [--runs N] [--qlen N]
// --qlen N gives both receivers a network namespace of their own whose
// net.unix.max_dgram_qlen is N (the kernel's queue per datagram socket;
// 10 by default), leaving the machine's setting alone.
#include "burst_common.h"

#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/mount.h>
#include <sys/sysmacros.h>
#include <syslog.h>

#include <algorithm>
#include <atomic>

using namespace burst;

namespace {

constexpr int SENDERS = 4;
constexpr int64_t QUIET_NS = 300 * MS; // the file has not grown for this long: all is stored

struct start_line {
    std::atomic<int> ready{0};   // senders waiting at the line
    std::atomic<bool> go{false}; // set once all are
};

// A network namespace of our own, whose datagram sockets queue qlen datagrams.
void own_net(long qlen)
{
    if (unshare(CLONE_NEWNET) != 0)
        die_errno("a network namespace of our own (needs root)");
    FILE *f = fopen("/proc/sys/net/unix/max_dgram_qlen", "w");
    if (!f || fprintf(f, "%ld\n", qlen) < 0 || fclose(f) != 0)
        die_errno("net.unix.max_dgram_qlen");
}

void own_dev()
{
    const auto node = [](const char *path, unsigned minor) {
        if (mknod(path, S_IFCHR | 0666, makedev(1, minor)) != 0 || chmod(path, 0666) != 0)
            die_errno(std::string("mknod ") + path);
    };
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/dev", "tmpfs", 0, "mode=755") != 0)
        die_errno("a /dev of our own (needs root)");
    node("/dev/null", 3), node("/dev/zero", 5), node("/dev/urandom", 9);
}

bool dev_log_served()
{
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, "/dev/log"};
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

void send_all(int id, long records, start_line *line)
{
    openlog("bench", LOG_NDELAY, LOG_USER);
    char payload[PAYLOAD_LEN + 1] = {};
    write_payload(payload, id, 0);
    payload[PAYLOAD_LEN - 1] = '\0'; // syslog(3) ends the message itself
    line->ready.fetch_add(1);
    while (!line->go.load())
        sched_yield();
    for (long i = 0; i < records; ++i, next_payload(payload))
        syslog(LOG_INFO, "%s", payload);
}

struct figures {
    double rate = 0, cpu_us = 0; // records per second; receiver CPU per record, in microseconds
    long missing = 0;            // records not in the file
};

long count_records(const std::string &path)
{
    const std::string text = read_whole(path);
    long n = 0;
    for (size_t at = text.find("bench s"); at != std::string::npos; at = text.find("bench s", at + 7))
        ++n;
    return n;
}

// One measurement of a receiver that writes into log.
figures measure(std::vector<std::string> argv, const std::string &log, const std::string &out, long records)
{
    unlink("/dev/log");
    receiver r(std::move(argv), log, out);
    for (const int64_t limit = now_ns() + 10000 * MS; !dev_log_served(); sleep_ns(POLL_NS))
        if (now_ns() > limit || r.ended())
            die("receiver never served /dev/log; see " + out);
    auto *line = shared_mem<start_line>();
    std::vector<pid_t> senders;
    for (int id = 0; id < SENDERS; ++id)
        senders.push_back(fork_child("/dev/null", [&] { send_all(id, records, line); }));
    while (line->ready.load() < SENDERS)
        sleep_ns(POLL_NS);
    const long ticks = r.cpu_ticks();
    const int64_t begin = now_ns();
    line->go = true;
    for (const pid_t pid : senders)
        waitpid(pid, nullptr, 0);
    // quarn writes a batch once it is full or on "sync"; BusyBox writes each line.
    const std::string sync = make_record(QUARN_LEVEL_CMD, "CMD", "sync");
    const int conn = connect_server();
    r.log_grew_ns = now_ns();
    for (r.poll_log(); now_ns() - r.log_grew_ns < QUIET_NS; sleep_ns(POLL_NS)) {
        if (conn >= 0 && send(conn, sync.data(), sync.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno != EAGAIN)
            die_errno("send sync");
        r.poll_log();
    }
    const double cpu_s = static_cast<double>(r.cpu_ticks() - ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
    const double seconds = static_cast<double>(r.log_grew_ns - begin) / 1e9;
    if (conn >= 0)
        close(conn);
    r.stop();
    const long delivered = count_records(log);
    return {delivered / seconds, cpu_s / static_cast<double>(delivered) * 1e6, SENDERS * records - delivered};
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    long records = 100000;
    int runs = 3;
    long qlen = 0; // 0: the namespace's own
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--records") == 0)
            records = atol(argv[i + 1]);
        else if (strcmp(argv[i], "--runs") == 0)
            runs = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--qlen") == 0)
            qlen = atol(argv[i + 1]);
    }
    if (qlen > 0)
        own_net(qlen);
    own_dev();
    std::string dir = fresh_dir("/tmp");
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=2g") != 0)
        die_errno("tmpfs for the log files");
    setenv("QUARN_SYSLOG", "/dev/log", 1);
    std::map<std::string, std::vector<figures>> all;
    for (int run = 0; run < runs; ++run) {
        const std::string q = dir + "/q" + std::to_string(run), b = dir + "/b" + std::to_string(run);
        mkdir(b.c_str(), 0755);
        // Print level 3: neither receiver spends time on a console.
        all["quarn"].push_back(measure({QUARN_EXE, q, "1G", "64K", "3"}, q + "/quarn.app", dir + "/q.out", records));
        all["busybox"].push_back(
            measure({"/bin/busybox", "syslogd", "-n", "-O", b + "/messages"}, b + "/messages", dir + "/b.out", records));
        unlink((q + "/quarn.app").c_str());
        unlink((b + "/messages").c_str());
    }
    printf("syslog(3): %d senders x %ld records of %zu bytes, %d runs, medians%s\n", SENDERS, records, PAYLOAD_LEN - 1,
           runs, qlen > 0 ? (", net.unix.max_dgram_qlen " + std::to_string(qlen)).c_str() : "");
    std::map<std::string, figures> med;
    for (auto &[name, list] : all) {
        std::vector<double> rate, cpu, missing;
        for (const figures &f : list)
            rate.push_back(f.rate), cpu.push_back(f.cpu_us), missing.push_back(static_cast<double>(f.missing));
        med[name] = {median(rate), median(cpu), static_cast<long>(*std::max_element(missing.begin(), missing.end()))};
        printf("  %-8s %9.0f records/s  %6.2f us CPU/record  %ld missing (worst run)\n", name.c_str(), med[name].rate,
               med[name].cpu_us, med[name].missing);
    }
    printf("  quarn / busybox: %.2fx the records per second, %.2fx the CPU per record\n",
           med["quarn"].rate / med["busybox"].rate, med["quarn"].cpu_us / med["busybox"].cpu_us);
    umount2(dir.c_str(), MNT_DETACH);
    rmdir(dir.c_str());
    return 0;
}
