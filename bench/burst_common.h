// What quarn_burst and its baseline receiver share: the socket name, the
// records both kinds of sender put on the wire, child processes, and the
// figures (median [min..max], JSON lines).
#pragma once

#include "quarn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <new>
#include <sstream>
#include <string>
#include <vector>

namespace burst {

constexpr size_t STAMP_LEN = 21;                              // "[YYYY-MM-DD hh:mm:ss]"
constexpr size_t PAYLOAD_LEN = 100;                           // payload bytes, newline included
constexpr size_t PREFIX_LEN = 20;                             // "bench sIII nNNNNNNN "
constexpr int MAX_SENDERS = 256;                              // sender numbers a payload can carry
constexpr size_t PAYLOAD_AT = QUARN_MSG_HEAD_LEN + STAMP_LEN; // payload offset in a record
constexpr socklen_t SOCK_ADDR_LEN = 24; // family, NUL, 21 characters of the path, as the library
constexpr int64_t MS = 1000000;
constexpr int64_t POLL_NS = 1 * MS;           // polling period of files and children
constexpr int64_t STOP_LIMIT_NS = 10000 * MS; // SIGTERM to exit, before SIGKILL
constexpr int64_t SENDER_LIMIT_NS = 300000 * MS; // a sender taking longer is hung

[[noreturn]] inline void die(const std::string &what)
{
    fprintf(stderr, "quarn_burst: %s\n", what.c_str());
    exit(2);
}

[[noreturn]] inline void die_errno(const std::string &what)
{
    die(what + ": " + strerror(errno));
}

inline int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

inline void sleep_until(int64_t when_ns)
{
    const timespec ts{static_cast<time_t>(when_ns / 1000000000LL), static_cast<long>(when_ns % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

inline void sleep_ns(int64_t ns)
{
    sleep_until(now_ns() + ns);
}

inline std::string read_whole(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::string fresh_dir(const std::string &base)
{
    std::string tmpl = base + "/quarn-burst-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        die_errno("mkdtemp under " + base);
    return tmpl;
}

inline sockaddr_un server_addr()
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, QUARN_SOCK_PATH, sizeof QUARN_SOCK_PATH);
    return addr;
}

// A connection to whoever holds the server's name; -1 when nobody listens.
inline int connect_server()
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un addr = server_addr();
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&addr), SOCK_ADDR_LEN) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A record as the library lays it out: header, then the text.
inline std::string make_record(int level, const char *tag, const std::string &text)
{
    quarn_msg_head_t head{};
    head.magic = QUARN_MSG_MAGIC;
    head.type = QUARN_TYPE_APP;
    head.len = static_cast<uint16_t>(text.size());
    head.level = level;
    snprintf(head.name, sizeof head.name, "%s", tag);
    return std::string(reinterpret_cast<const char *>(&head), sizeof head) + text;
}

// Every payload is unique, so the log file tells which records arrived:
// "bench s<id, 3 digits> n<seq, 7 digits> ", dots, a newline.
inline void write_payload(char *at, int id, long seq)
{
    char prefix[32];
    snprintf(prefix, sizeof prefix, "bench s%03d n%07ld ", id % 1000, seq % 10000000);
    memcpy(at, prefix, PREFIX_LEN);
    memset(at + PREFIX_LEN, '.', PAYLOAD_LEN - 1 - PREFIX_LEN);
    at[PAYLOAD_LEN - 1] = '\n';
}

// Moves a payload to the next sequence number in place: a few byte stores,
// the same for every sender, so that the senders' own work stays small.
inline void next_payload(char *at)
{
    for (char *d = at + PREFIX_LEN - 2; *d != 'n'; --d) {
        if (++*d <= '9')
            return;
        *d = '0';
    }
}

// A level-4 application record with tag "bench" and the local time stamp,
// byte for byte what the library sends for the same payload.
inline std::string log_record(int id)
{
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char stamp[STAMP_LEN + 1];
    strftime(stamp, sizeof stamp, "[%Y-%m-%d %H:%M:%S]", &local);
    std::string rec = make_record(QUARN_LEVEL_FILE, "bench", stamp + std::string(PAYLOAD_LEN, ' '));
    write_payload(&rec[PAYLOAD_AT], id, 0);
    return rec;
}

// Forks a child that dies with the harness and sends its output to out_path;
// it runs body and exits.
template <typename F> pid_t fork_child(const std::string &out_path, F body)
{
    fflush(stdout);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0)
        die_errno("fork");
    if (pid > 0)
        return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    dup2(out, 1);
    dup2(out, 2);
    body();
    fflush(stdout);
    _exit(0);
}

// Zeroed memory that forked children write and the parent reads after them;
// one area, reused by every measurement.
template <typename T> T *shared_mem()
{
    constexpr size_t SIZE = 4 << 20;
    static_assert(sizeof(T) <= SIZE);
    static void *area = mmap(nullptr, SIZE, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED)
        die_errno("mmap");
    return new (area) T{};
}

inline std::string describe_status(int status)
{
    if (WIFEXITED(status))
        return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("killed by ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// The nice value every receiver runs at (--receiver-nice): quarn and the
// limit receivers alike, as a board's init would start its log service.
inline int g_receiver_nice = 0;

// --rss-detail: print where each receiver's resident pages lie just before
// it is stopped, at the end of a burst.
inline bool g_rss_detail = false;

// The resident KiB of a process by kind of mapping: anonymous (the ring, the
// heaps, the stacks), its own executable, and each shared library, whose
// code pages are shared with every process that maps them.
inline std::string rss_by_mapping(pid_t pid)
{
    std::map<std::string, long> kib;
    std::string name = "anonymous";
    std::istringstream smaps(read_whole("/proc/" + std::to_string(pid) + "/smaps"));
    for (std::string line; std::getline(smaps, line);) {
        if (!line.empty() && isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < line.find(' ')) {
            const size_t path = line.find('/');
            name = path == std::string::npos ? "anonymous" : line.substr(line.rfind('/') + 1);
        } else if (line.rfind("Rss:", 0) == 0) {
            kib[name] += atol(line.c_str() + 4);
        }
    }
    std::string out;
    for (const auto &[file, size] : kib) {
        out += out.empty() ? "" : ", ";
        out += file;
        out += ' ';
        out += std::to_string(size);
    }
    return out + " (KiB)";
}

// A receiver under test, the quarn server or the baseline receiver, from its
// start to what stopping it found.
struct receiver {
    std::string log_path;     // the file its records end up in
    std::string out_path;     // its standard output and error
    pid_t pid = -1;
    bool exited = false;      // reaped already
    int status = 0;           // wait status once exited
    rusage usage{};           // resource use once exited
    long rss_kib = -1;        // VmHWM just before SIGTERM
    double cpu_s = NAN;       // user + system over its whole life
    std::string fault;        // empty, or what went wrong with its start or end
    off_t log_size = 0;       // the log file's size at the last look
    int64_t log_grew_ns = 0;  // when that size last changed

    // Its standard output goes to stdout_fd instead when that is not -1.
    receiver(std::vector<std::string> argv, const std::string &log, const std::string &out, int stdout_fd = -1)
        : log_path(log), out_path(out)
    {
        pid = fork_child(out_path, [&] {
            if (stdout_fd >= 0)
                dup2(stdout_fd, 1);
            std::vector<char *> args;
            for (std::string &a : argv)
                args.push_back(a.data());
            args.push_back(nullptr);
            if (g_receiver_nice != 0 && setpriority(PRIO_PROCESS, 0, g_receiver_nice) != 0)
                die_errno("setpriority");
            execv(args[0], args.data());
            _exit(127);
        });
    }

    void poll_log()
    {
        struct stat st{};
        if (stat(log_path.c_str(), &st) == 0 && st.st_size != log_size) {
            log_size = st.st_size;
            log_grew_ns = now_ns();
        }
    }

    bool ended()
    {
        if (!exited && wait4(pid, &status, WNOHANG, &usage) == pid)
            exited = true;
        return exited;
    }

    // Waits, bounded, until it takes connections; false if it never did.
    bool listening()
    {
        for (const int64_t limit = now_ns() + 10000 * MS; now_ns() < limit && !ended(); sleep_ns(POLL_NS))
            if (const int fd = connect_server(); fd >= 0)
                return close(fd) == 0;
        fault = "never listened (" + (exited ? describe_status(status) : "timeout") + ")";
        return false;
    }

    // User and system CPU time of all its threads so far, in clock ticks; -1 if unknown.
    long cpu_ticks() const
    {
        const std::string stat = read_whole("/proc/" + std::to_string(pid) + "/stat");
        const size_t paren = stat.rfind(')');
        unsigned long utime = 0, stime = 0; // fields 14 and 15; the command ends field 2
        if (paren == std::string::npos ||
            sscanf(stat.c_str() + paren + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                   &stime) != 2)
            return -1;
        return static_cast<long>(utime + stime);
    }

    // Stops it with SIGTERM, SIGKILL after a bound, and reaps it.
    void stop()
    {
        std::string why;
        if (ended()) {
            why = "ended before SIGTERM (" + describe_status(status) + ")";
        } else {
            const std::string proc = read_whole("/proc/" + std::to_string(pid) + "/status");
            if (const size_t at = proc.find("VmHWM:"); at != std::string::npos)
                rss_kib = atol(proc.c_str() + at + 6);
            if (g_rss_detail)
                printf("    resident before the stop: %s\n", rss_by_mapping(pid).c_str());
            kill(pid, SIGTERM);
            for (const int64_t limit = now_ns() + STOP_LIMIT_NS; !ended() && now_ns() < limit;)
                sleep_ns(POLL_NS);
            if (!exited) {
                why = "did not end within 10 s of SIGTERM; killed";
                kill(pid, SIGKILL);
                wait4(pid, &status, 0, &usage);
                exited = true;
            } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                why = "SIGTERM ended it with " + describe_status(status);
            }
        }
        fault = fault.empty() ? why : fault;
        cpu_s = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                usage.ru_stime.tv_usec / 1e6;
        rss_kib = rss_kib < 0 ? usage.ru_maxrss : rss_kib;
    }

    // Its output in short: line count and the most frequent lines.
    std::string output_digest() const
    {
        std::ifstream in(out_path);
        std::map<std::string, long> seen;
        long lines = 0;
        for (std::string line; std::getline(in, line); ++lines)
            ++seen[line.substr(0, 48)];
        std::vector<std::pair<long, std::string>> top;
        for (const auto &[text, n] : seen)
            top.emplace_back(n, text);
        std::sort(top.rbegin(), top.rend());
        std::string out = std::to_string(lines) + " lines";
        for (size_t i = 0; i < top.size() && i < 3; ++i)
            out += "; " + std::to_string(top[i].first) + "x \"" + top[i].second + "\"";
        return out;
    }
};

// Sender processes that start together: they wait on a pipe that the
// harness closes.  Their output goes to out_path: the library prints a line
// for every record it loses.
struct sender_group {
    std::vector<pid_t> pids;
    int64_t start_ns = 0;     // the common start

    template <typename F> sender_group(int count, const std::string &out_path, F body)
    {
        int barrier[2];
        if (pipe2(barrier, O_CLOEXEC) < 0)
            die_errno("pipe");
        for (int id = 0; id < count; ++id)
            pids.push_back(fork_child(out_path, [&] {
                close(barrier[1]);
                char byte;
                while (read(barrier[0], &byte, 1) < 0 && errno == EINTR) {
                }
                body(id);
            }));
        close(barrier[0]);
        start_ns = now_ns();
        close(barrier[1]);
    }

    // Reaps the senders, calling poll meanwhile; false if they hung and were killed.
    template <typename F> bool wait(F poll)
    {
        for (; !pids.empty(); sleep_ns(POLL_NS)) {
            std::erase_if(pids, [](pid_t p) { return waitpid(p, nullptr, WNOHANG) == p; });
            poll();
            if (now_ns() - start_ns > SENDER_LIMIT_NS) {
                for (const pid_t p : pids)
                    kill(p, SIGKILL), waitpid(p, nullptr, 0);
                return false;
            }
        }
        return true;
    }
};

// Median, minimum and maximum of the finite values; NaN when there are none.
struct stats {
    double median = NAN, min = NAN, max = NAN;
};

inline stats summarize(std::vector<double> v)
{
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return !std::isfinite(x); }), v.end());
    if (v.empty())
        return {};
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return {n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2, v.front(), v.back()};
}

// One "JSON {...}" line, so that the figures can be grepped from the output.
class json_line {
  public:
    json_line &add(const char *key, double v)
    {
        char num[32] = "null";
        if (std::isfinite(v))
            snprintf(num, sizeof num, "%.6g", v);
        return raw(key, num);
    }
    json_line &add(const char *key, long v) { return raw(key, std::to_string(v)); }
    json_line &add(const char *key, int v) { return raw(key, std::to_string(v)); }
    json_line &add(const char *key, const std::string &v) { return raw(key, quote(v)); }
    json_line &add(const char *key, const char *v) { return raw(key, quote(v)); }
    json_line &add(const char *key, const stats &s)
    {
        return raw(key, "{" + json_line().add("median", s.median).add("min", s.min).add("max", s.max).body_ + "}");
    }
    void print() const { printf("JSON {%s}\n", body_.c_str()); }

  private:
    static std::string quote(const std::string &s)
    {
        std::string out = "\"";
        for (const unsigned char c : s) {
            char esc[8] = {static_cast<char>(c), 0};
            if (c == '"' || c == '\\')
                snprintf(esc, sizeof esc, "\\%c", c);
            else if (c < 0x20 || c >= 0x7f)
                snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        }
        return out + "\"";
    }
    json_line &raw(const char *key, const std::string &value)
    {
        body_ += (body_.empty() ? "" : ",") + quote(key) + ":" + value;
        return *this;
    }
    std::string body_; // the members written so far
};

// The values of one metric, run by run, for quarn and the baseline.
struct metric {
    std::string workload, name; // e.g. "W1 tmpfs", "delivered rec/s"
    int decimals;               // digits after the point in the table
    std::vector<double> quarn, base, ratio; // one value per run, same order
};

inline std::vector<metric> metrics; // in table order, filled as the runs go

// The ratio is taken run by run: the machine drifts, a run's two systems
// share its state.
inline void add_figure(const std::string &workload, const char *name, int decimals, double q, double b)
{
    auto m = std::find_if(metrics.begin(), metrics.end(),
                          [&](const metric &x) { return x.workload == workload && x.name == name; });
    if (m == metrics.end())
        m = metrics.insert(m, {workload, name, decimals, {}, {}, {}});
    m->quarn.push_back(q);
    m->base.push_back(b);
    m->ratio.push_back(b != 0 ? q / b : NAN);
}

inline std::string format_stats(const stats &s, int decimals)
{
    char buf[96] = "-";
    if (std::isfinite(s.median))
        snprintf(buf, sizeof buf, "%.*f [%.*f..%.*f]", decimals, s.median, decimals, s.min, decimals, s.max);
    return buf;
}

inline void print_summary()
{
    static constexpr char row[] = "%-10s %-22s %-34s %-34s %s\n";
    printf("\n");
    printf(row, "workload", "metric", "quarn  median [min..max]", "baseline  median [min..max]",
           "quarn/baseline (run by run)");
    for (const metric &m : metrics)
        printf(row, m.workload.c_str(), m.name.c_str(), format_stats(summarize(m.quarn), m.decimals).c_str(),
               format_stats(summarize(m.base), m.decimals).c_str(), format_stats(summarize(m.ratio), 2).c_str());
    for (const metric &m : metrics)
        json_line().add("kind", "summary").add("workload", m.workload).add("metric", m.name)
            .add("runs", static_cast<long>(m.quarn.size())).add("quarn", summarize(m.quarn))
            .add("baseline", summarize(m.base)).add("ratio", summarize(m.ratio)).print();
}

// The baseline receiver (baseline_receiver.cpp): writes what arrives to path,
// each batch forced to disk when force is set; returns 0 after SIGTERM.
int baseline_receiver_main(const char *path, bool force);

} // namespace burst
