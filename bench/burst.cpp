// quarn_burst: the end-to-end load benchmark.  Sender processes push records
// at the quarn server and, in the same run, at a minimal receiver of this
// program's own (the baseline: one thread, epoll, 64 KiB reads, framing by
// the header, 64 KiB batch writes), so every quarn figure stands beside what
// this machine does with the same senders, the same records and the same
// disk.  bench/README.md says what each workload measures.
//
// Run it inside fresh network and IPC namespaces (tools/run-bench does): it
// binds the server's socket name, and the server creates its control word.
//
// Errors of the harness itself end it with a message on stderr; faults of the
// system under test are measured and reported, never fatal.
#include "quarn.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <linux/sockios.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#ifndef QUARN_EXE
#error "QUARN_EXE must name the quarn executable"
#endif

namespace {

// ---------------------------------------------------------------- settings

constexpr int SENDERS = 4;              // sender processes of W1 and W3
constexpr int W1_RECORDS = 100000;      // records per sender in W1
constexpr int W2_CALLS = 200000;        // timed calls of each kind in W2
constexpr int W2_BATCH = 200;           // calls between two clock readings; fewer than a
                                        // send buffer holds (~280), so none meets a full one
constexpr double W3_GRID_BASE = 50000;  // origin of the grid of paced rates
constexpr double W3_STEP = 1.1;         // one grid step: 10 %
constexpr int W3_MAX_STEPS = 16;        // paced runs per search at most
constexpr double W3_MIN_RATE = 5000;    // the search gives up below this
constexpr size_t STAMP_LEN = 21;        // "[YYYY-MM-DD hh:mm:ss]"
constexpr size_t IO_CHUNK = 65536;      // the baseline's read and batch size
constexpr socklen_t SOCK_ADDR_LEN = 24; // family, NUL, 21 characters of the path
constexpr int SOCK_RCVBUF = 1048576;    // the same listening options as quarn's
constexpr int SOCK_BACKLOG = SOMAXCONN; // as the server
constexpr int64_t MS = 1000000;
constexpr int64_t POLL_NS = 1 * MS;         // file size and child polling period
constexpr int64_t SYNC_EVERY_NS = 10 * MS;  // sync records after the senders ended
constexpr int64_t QUIET_NS = 500 * MS;      // no growth and no CPU for this long: done
constexpr int64_t SETTLE_LIMIT_NS = 60000 * MS; // give up waiting for quiet after this
constexpr int64_t SENDER_LIMIT_NS = 300000 * MS; // a sender taking longer is hung
constexpr int64_t PACE_TICK_NS = 1 * MS;    // paced senders send in bursts this far apart
constexpr int64_t STOP_LIMIT_NS = 10000 * MS; // SIGTERM to exit, before SIGKILL
constexpr uint64_t QUARN_LOG_SIZE = 256ull << 20; // "256M" on the server's command line
const char *const QUARN_SERVER_ARGS[] = {"256M", "64K", "1"}; // log size, sync size, level
constexpr char BASELINE_FILE[] = "baseline.log";
constexpr char QUARN_FILE[] = "quarn.app";

struct options {
    int runs = 3;                        // repetitions of every workload
    bool quick = false;                  // one run, shorter paced runs
    int w3_seconds = 5;                  // sending time of one paced run
    size_t payload_len = 100;            // payload bytes, its newline included
    std::string tmpfs_dir = "/dev/shm";  // W1 tmpfs, W2 and W3 log directories
    std::string disk_dir = "/tmp";       // W1 disk log directory
    bool baseline_fsync = true;          // the baseline forces each batch to disk
    bool keep = false;                   // keep log directories for inspection
    bool w1 = true, w2 = true, w3 = true; // workloads to run
};

// ---------------------------------------------------------------- basics

[[noreturn]] void die(const std::string &what)
{
    fprintf(stderr, "quarn_burst: %s\n", what.c_str());
    exit(2);
}

[[noreturn]] void die_errno(const std::string &what)
{
    die(what + ": " + strerror(errno));
}

int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void sleep_until(int64_t when_ns)
{
    const timespec ts{static_cast<time_t>(when_ns / 1000000000LL), static_cast<long>(when_ns % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void sleep_ns(int64_t ns)
{
    sleep_until(now_ns() + ns);
}

// Closes the descriptor it holds.
class fd_owner {
  public:
    explicit fd_owner(int fd = -1) : fd_(fd) {}
    ~fd_owner() { reset(); }
    fd_owner(fd_owner &&other) noexcept : fd_(other.release()) {}
    fd_owner &operator=(fd_owner &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    int get() const { return fd_; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

  private:
    int fd_; // owned descriptor, -1 when none
};

// Median, minimum and maximum of the finite values; NaN when there are none.
struct stats {
    double median = NAN; // middle value, mean of the two middle ones
    double min = NAN;    // smallest value
    double max = NAN;    // largest value
};

stats summarize(std::vector<double> v)
{
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return !std::isfinite(x); }), v.end());
    stats s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    s.min = v.front();
    s.max = v.back();
    return s;
}

// One "JSON {...}" line per measurement, so the output can be grepped.
class json_line {
  public:
    json_line &add(const char *key, double v)
    {
        char num[64];
        if (std::isfinite(v))
            snprintf(num, sizeof num, "%.6g", v);
        else
            snprintf(num, sizeof num, "null");
        return raw_(key, num);
    }
    json_line &add(const char *key, long v) { return raw_(key, std::to_string(v)); }
    json_line &add(const char *key, int v) { return add(key, static_cast<long>(v)); }
    json_line &add(const char *key, bool v) { return raw_(key, v ? "true" : "false"); }
    json_line &add(const char *key, const std::string &v) { return raw_(key, quote_(v)); }
    json_line &add(const char *key, const char *v) { return add(key, std::string(v)); }
    json_line &add(const char *key, const stats &s)
    {
        json_line inner;
        inner.add("median", s.median).add("min", s.min).add("max", s.max);
        return raw_(key, "{" + inner.body_ + "}");
    }
    void print() const { printf("JSON {%s}\n", body_.c_str()); }

  private:
    static std::string quote_(const std::string &s)
    {
        std::string out = "\"";
        for (const unsigned char c : s) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20 || c >= 0x7f) {
                char esc[8];
                snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
        }
        return out + "\"";
    }
    json_line &raw_(const char *key, const std::string &value)
    {
        if (!body_.empty())
            body_ += ",";
        body_ += quote_(key) + ":" + value;
        return *this;
    }
    std::string body_; // the members written so far
};

// ---------------------------------------------------------------- records

// A unique payload per record, kept up to date in place: "bench s<id>
// n<seq, 7 digits> " then dots up to len - 1, then a newline.  Moving to the
// next sequence number costs a few byte stores, the same for every sender.
class payload_gen {
  public:
    static constexpr size_t PREFIX_LEN = 18; // "bench sI nNNNNNNN "
    static constexpr size_t DIGITS_AT = 10;  // offset of the sequence number
    static constexpr size_t DIGITS = 7;

    payload_gen(char *at, size_t len, int id) : digits_(at + DIGITS_AT)
    {
        char prefix[PREFIX_LEN + 1];
        snprintf(prefix, sizeof prefix, "bench s%d n%07d ", id % 10, 0);
        memcpy(at, prefix, PREFIX_LEN);
        memset(at + PREFIX_LEN, '.', len - 1 - PREFIX_LEN);
        at[len - 1] = '\n';
    }
    void next()
    {
        for (size_t i = DIGITS; i-- > 0;) {
            if (++digits_[i] <= '9')
                return;
            digits_[i] = '0';
        }
    }

  private:
    char *digits_; // the sequence number inside the payload
};

// The local time stamp as the client library writes it.
void fill_stamp(char *at)
{
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char text[64];
    snprintf(text, sizeof text, "[%04d-%02d-%02d %02d:%02d:%02d]", local.tm_year + 1900,
             local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    memcpy(at, text, STAMP_LEN);
}

// A record laid out as the library lays out a level-4 application record
// with tag "bench": header, time stamp, payload.
struct raw_record {
    std::vector<char> bytes; // header and text
    size_t size() const { return bytes.size(); }
    char *payload() { return bytes.data() + QUARN_MSG_HEAD_LEN + STAMP_LEN; }
};

quarn_msg_head_t make_head(int level, const char *tag, size_t text_len)
{
    quarn_msg_head_t head{};
    head.magic = QUARN_MSG_MAGIC;
    head.type = QUARN_TYPE_APP;
    head.len = static_cast<uint16_t>(text_len);
    head.level = level;
    snprintf(head.name, sizeof head.name, "%s", tag);
    return head;
}

raw_record make_log_record(size_t payload_len)
{
    raw_record rec;
    const size_t text_len = STAMP_LEN + payload_len;
    rec.bytes.resize(QUARN_MSG_HEAD_LEN + text_len);
    const quarn_msg_head_t head = make_head(QUARN_LEVEL_FILE, "bench", text_len);
    memcpy(rec.bytes.data(), &head, sizeof head);
    fill_stamp(rec.bytes.data() + QUARN_MSG_HEAD_LEN);
    return rec;
}

// The command record that `quarn sync` sends.
std::vector<char> make_sync_record()
{
    constexpr std::string_view text = "sync";
    std::vector<char> rec(QUARN_MSG_HEAD_LEN + text.size());
    const quarn_msg_head_t head = make_head(QUARN_LEVEL_CMD, "CMD", text.size());
    memcpy(rec.data(), &head, sizeof head);
    memcpy(rec.data() + QUARN_MSG_HEAD_LEN, text.data(), text.size());
    return rec;
}

// ---------------------------------------------------------------- socket

sockaddr_un server_addr()
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, QUARN_SOCK_PATH, sizeof QUARN_SOCK_PATH);
    return addr;
}

// A connection to whoever holds the server's name; -1 on failure.
int connect_server()
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const sockaddr_un addr = server_addr();
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), SOCK_ADDR_LEN) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The abstract name as /proc/net/unix shows it.
std::string proc_name()
{
    return "@" + std::string(QUARN_SOCK_PATH).substr(0, SOCK_ADDR_LEN - 3);
}

// True while a socket of this network namespace listens on the name.
bool name_listening()
{
    std::ifstream in("/proc/net/unix");
    std::string line;
    const std::string name = proc_name();
    while (std::getline(in, line)) {
        char flags[16] = "";
        char path[128] = "";
        // Num RefCount Protocol Flags Type St Inode Path
        if (sscanf(line.c_str(), "%*s %*s %*s %15s %*s %*s %*s %127s", flags, path) == 2 &&
            name == path && strcmp(flags, "00010000") == 0)
            return true;
    }
    return false;
}

// ---------------------------------------------------------------- baseline receiver

// One accepted connection of the baseline receiver.
struct rx_conn {
    fd_owner fd;               // the connection
    std::vector<uint8_t> buf;  // bytes read and not yet framed
    size_t have = 0;           // valid bytes at the front of buf
};

// The baseline receiver's output side.
struct rx_out {
    int fd = -1;               // the log file
    bool force = true;         // fsync after every batch write, like a log file
    std::vector<char> batch;   // text waiting for its write
    size_t used = 0;           // bytes of batch in use
};

void rx_flush(rx_out &out)
{
    size_t done = 0;
    while (done < out.used) {
        const ssize_t n = write(out.fd, out.batch.data() + done, out.used - done);
        if (n < 0 && errno != EINTR)
            die_errno("baseline write");
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (out.used && out.force)
        fsync(out.fd);
    out.used = 0;
}

void rx_record(rx_out &out, const quarn_msg_head_t &head, const uint8_t *text)
{
    if (head.level == QUARN_LEVEL_CMD) {
        if (head.len == 4 && memcmp(text, "sync", 4) == 0)
            rx_flush(out);
        return;
    }
    if (head.len > out.batch.size())
        return;
    if (out.used + head.len > out.batch.size())
        rx_flush(out);
    memcpy(out.batch.data() + out.used, text, head.len);
    out.used += head.len;
}

// Handles the whole records at the front of p[0, n); returns the bytes used.
// Bytes that do not start a record are skipped one by one.
size_t rx_frame(rx_out &out, const uint8_t *p, size_t n)
{
    size_t pos = 0;
    while (n - pos >= QUARN_MSG_HEAD_LEN) {
        quarn_msg_head_t head;
        memcpy(&head, p + pos, sizeof head);
        if (head.magic != QUARN_MSG_MAGIC) {
            ++pos;
            continue;
        }
        const size_t size = QUARN_MSG_HEAD_LEN + head.len;
        if (n - pos < size)
            break;
        rx_record(out, head, p + pos + QUARN_MSG_HEAD_LEN);
        pos += size;
    }
    return pos;
}

// One read of up to 64 KiB; false once the connection is over.
bool rx_read(rx_out &out, rx_conn &c)
{
    const ssize_t n = read(c.fd.get(), c.buf.data() + c.have, IO_CHUNK);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    if (n == 0)
        return false;
    c.have += static_cast<size_t>(n);
    const size_t used = rx_frame(out, c.buf.data(), c.have);
    memmove(c.buf.data(), c.buf.data() + used, c.have - used);
    c.have -= used;
    return true;
}

int rx_listen()
{
    fd_owner sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const sockaddr_un addr = server_addr();
    if (sock.get() < 0 || bind(sock.get(), reinterpret_cast<const sockaddr *>(&addr), SOCK_ADDR_LEN) < 0)
        die_errno("baseline bind");
    setsockopt(sock.get(), SOL_SOCKET, SO_RCVBUF, &SOCK_RCVBUF, sizeof SOCK_RCVBUF);
    if (listen(sock.get(), SOCK_BACKLOG) < 0)
        die_errno("baseline listen");
    return sock.release();
}

void epoll_watch(int ep, int fd, void *tag)
{
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = tag;
    if (epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) < 0)
        die_errno("epoll_ctl");
}

std::unique_ptr<rx_conn> rx_accept(int listener)
{
    const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return nullptr;
    auto c = std::make_unique<rx_conn>();
    c->fd.reset(fd);
    c->buf.resize(IO_CHUNK + QUARN_MSG_HEAD_LEN + 65535); // a read beside the longest partial record
    return c;
}

// The baseline receiver's main: one thread, epoll, 64 KiB reads, framing by
// the header, 64 KiB batch writes; a "sync" command record and SIGTERM
// write out the batch.  Ends with status 0 on SIGTERM.
int baseline_receiver_main(const char *path, bool force)
{
    rx_out out;
    out.force = force;
    out.batch.resize(IO_CHUNK);
    out.fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out.fd < 0)
        die_errno(std::string("open ") + path);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, nullptr);
    fd_owner sig(signalfd(-1, &term, SFD_CLOEXEC));
    fd_owner listener(rx_listen());
    fd_owner ep(epoll_create1(EPOLL_CLOEXEC));
    epoll_watch(ep.get(), sig.get(), &sig);
    epoll_watch(ep.get(), listener.get(), &listener);
    std::map<rx_conn *, std::unique_ptr<rx_conn>> conns;
    for (;;) {
        epoll_event evs[64];
        const int n = epoll_wait(ep.get(), evs, 64, -1);
        for (int i = 0; i < n; ++i) {
            void *tag = evs[i].data.ptr;
            if (tag == &sig) {
                rx_flush(out);
                return 0;
            }
            if (tag == &listener) {
                if (auto c = rx_accept(listener.get())) {
                    epoll_watch(ep.get(), c->fd.get(), c.get());
                    conns[c.get()] = std::move(c);
                }
                continue;
            }
            auto *c = static_cast<rx_conn *>(tag);
            if (!rx_read(out, *c))
                conns.erase(c); // closing the descriptor removes it from the epoll set
        }
    }
}

// ---------------------------------------------------------------- processes

// A receiver under test: the quarn server or the baseline receiver.
struct receiver {
    pid_t pid = -1;           // its process
    std::string log_path;     // the file its records end up in
    std::string out_path;     // its standard output and error
    bool exited = false;      // reaped already
    int status = 0;           // wait status once exited
    rusage usage{};           // resource use once exited
};

// Runs argv in a child whose standard output and error go to out_path (or
// /dev/null) and which dies with the harness.
pid_t spawn(const std::vector<std::string> &argv, const std::string &out_path)
{
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0)
        die_errno("fork");
    if (pid > 0)
        return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    const int out = open(out_path.empty() ? "/dev/null" : out_path.c_str(),
                         O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
    }
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// Reaps the receiver if it has ended; true when it has.
bool receiver_ended(receiver &r)
{
    if (r.exited)
        return true;
    if (wait4(r.pid, &r.status, WNOHANG, &r.usage) == r.pid)
        r.exited = true;
    return r.exited;
}

// Waits, bounded, until the receiver listens on the name; false if it ended
// or never listened.
bool wait_listening(receiver &r)
{
    const int64_t limit = now_ns() + 10000 * MS;
    while (now_ns() < limit) {
        if (name_listening())
            return true;
        if (receiver_ended(r))
            return false;
        sleep_ns(POLL_NS);
    }
    return false;
}

receiver start_quarn(const std::string &dir, const std::string &out_path)
{
    receiver r;
    r.log_path = dir + "/" + QUARN_FILE;
    r.out_path = out_path;
    std::vector<std::string> argv{QUARN_EXE, dir};
    argv.insert(argv.end(), std::begin(QUARN_SERVER_ARGS), std::end(QUARN_SERVER_ARGS));
    r.pid = spawn(argv, out_path);
    return r;
}

receiver start_baseline(const std::string &dir, const std::string &out_path, bool force)
{
    receiver r;
    r.log_path = dir + "/" + BASELINE_FILE;
    r.out_path = out_path;
    r.pid = spawn({"/proc/self/exe", "--baseline-receiver", r.log_path, force ? "1" : "0"}, out_path);
    return r;
}

// CPU time of a running process, user and system, in clock ticks; -1 when
// it cannot be read.
long cpu_ticks(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos)
        return -1;
    unsigned long utime = 0, stime = 0;
    // Fields after the command: state is field 3, utime 14, stime 15.
    if (sscanf(stat.c_str() + close_paren + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
               &utime, &stime) != 2)
        return -1;
    return static_cast<long>(utime + stime);
}

// Peak resident set of a running process in KiB (VmHWM); -1 if unknown.
long peak_rss_kib(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return atol(line.c_str() + 6);
    return -1;
}

std::string describe_status(int status)
{
    if (WIFEXITED(status))
        return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("killed by ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// What stopping a receiver found.
struct stop_report {
    long rss_kib = -1;       // VmHWM just before SIGTERM
    double cpu_s = NAN;      // user + system over its whole life
    std::string status;      // how it ended
    std::string fault;       // empty, or what went wrong while stopping
};

// Stops the receiver with SIGTERM and reaps it; SIGKILL after a bound.
stop_report stop_receiver(receiver &r)
{
    stop_report rep;
    if (!r.exited) {
        rep.rss_kib = peak_rss_kib(r.pid);
        kill(r.pid, SIGTERM);
        const int64_t limit = now_ns() + STOP_LIMIT_NS;
        while (!receiver_ended(r) && now_ns() < limit)
            sleep_ns(POLL_NS);
        if (!r.exited) {
            rep.fault = "did not end within 10 s of SIGTERM; killed";
            kill(r.pid, SIGKILL);
            wait4(r.pid, &r.status, 0, &r.usage);
            r.exited = true;
        }
    } else {
        rep.fault = "ended before SIGTERM (" + describe_status(r.status) + ")";
    }
    rep.status = describe_status(r.status);
    if (rep.fault.empty() && !(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0))
        rep.fault = "SIGTERM ended it with " + rep.status;
    const rusage &u = r.usage;
    rep.cpu_s = u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
    if (rep.rss_kib < 0)
        rep.rss_kib = u.ru_maxrss;
    return rep;
}

// The receiver's output in short: line count and the most frequent lines.
std::string summarize_output(const std::string &path)
{
    std::ifstream in(path);
    std::map<std::string, long> seen;
    std::string line;
    long lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        ++seen[line.substr(0, 48)];
    }
    std::vector<std::pair<long, std::string>> top;
    for (const auto &[text, n] : seen)
        top.emplace_back(n, text);
    std::sort(top.rbegin(), top.rend());
    std::string out = std::to_string(lines) + " lines";
    for (size_t i = 0; i < top.size() && i < 3; ++i)
        out += "; " + std::to_string(top[i].first) + "x \"" + top[i].second + "\"";
    return out;
}

// ---------------------------------------------------------------- senders

enum class sender_kind { library, raw };

// What every sender of one measurement does.
struct sender_plan {
    sender_kind kind;        // through the client library or one raw send
    int records;             // records each sender sends
    double rate;             // records per second per sender; 0: as fast as it can
    size_t payload_len;      // payload bytes, newline included
};

// One sender's account, written to the parent through a pipe.
struct sender_report {
    int id;                  // sender number
    long eagain;             // raw sends refused with EAGAIN (raw senders only)
    long other_fail;         // raw sends that failed otherwise, or went out in part
    long connect_fail;       // raw senders: connects that failed
    int64_t start_ns;        // when it began sending
    int64_t end_ns;          // when its last call returned
};

// Paces record i of a sender: records are due at start + i / rate and go out
// in bursts at ticks PACE_TICK_NS apart.
class pacer {
  public:
    pacer(int64_t start, double rate) : start_(start), ns_per_record_(rate > 0 ? 1e9 / rate : 0) {}
    void wait(int i)
    {
        if (ns_per_record_ == 0)
            return;
        const int64_t due = start_ + static_cast<int64_t>(i * ns_per_record_);
        if (due <= now_)
            return;
        now_ = now_ns();
        if (due <= now_)
            return;
        const int64_t ticks = (due - start_ + PACE_TICK_NS - 1) / PACE_TICK_NS;
        sleep_until(start_ + ticks * PACE_TICK_NS);
        now_ = now_ns();
    }

  private:
    int64_t start_;          // when record 0 is due
    double ns_per_record_;   // spacing of the records, 0 when not paced
    int64_t now_ = 0;        // the clock as last read
};

void send_library(const sender_plan &plan, int id, sender_report &rep)
{
    std::vector<char> payload(plan.payload_len + 1, '\0');
    payload_gen gen(payload.data(), plan.payload_len, id);
    pacer pace(rep.start_ns, plan.rate);
    for (int i = 0; i < plan.records; ++i) {
        pace.wait(i);
        quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_FILE, "bench", "%s", payload.data());
        gen.next();
    }
}

// One raw send; counts what failed.
void send_raw_one(int fd, const raw_record &rec, sender_report &rep)
{
    const ssize_t n = send(fd, rec.bytes.data(), rec.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(rec.size()))
        return;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        ++rep.eagain;
    else
        ++rep.other_fail;
}

void send_raw(const sender_plan &plan, int id, sender_report &rep)
{
    raw_record rec = make_log_record(plan.payload_len);
    payload_gen gen(rec.payload(), plan.payload_len, id);
    fd_owner fd(connect_server());
    if (fd.get() < 0) {
        rep.connect_fail = 1;
        return;
    }
    pacer pace(rep.start_ns, plan.rate);
    for (int i = 0; i < plan.records; ++i) {
        pace.wait(i);
        send_raw_one(fd.get(), rec, rep);
        gen.next();
    }
}

// The sender processes of one measurement, waiting at the barrier.
struct sender_group {
    std::vector<pid_t> pids;   // the senders, reaped as they end
    fd_owner barrier;          // write end; closing it starts them all
    fd_owner results;          // read end of the reports
    int64_t start_ns = 0;      // the common start
};

[[noreturn]] void sender_child(const sender_plan &plan, int id, int barrier_r, int results_w)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1); // the library says "send failed: ..." for every lost record
    char byte;
    while (read(barrier_r, &byte, 1) < 0 && errno == EINTR) {
    }
    sender_report rep{};
    rep.id = id;
    rep.start_ns = now_ns();
    if (plan.kind == sender_kind::library)
        send_library(plan, id, rep);
    else
        send_raw(plan, id, rep);
    rep.end_ns = now_ns();
    fflush(stdout);
    if (write(results_w, &rep, sizeof rep) != static_cast<ssize_t>(sizeof rep))
        _exit(3);
    _exit(0);
}

sender_group fork_senders(const sender_plan &plan, int count)
{
    int barrier[2], results[2];
    if (pipe2(barrier, O_CLOEXEC) < 0 || pipe2(results, O_CLOEXEC) < 0)
        die_errno("pipe");
    fflush(stdout);
    sender_group g;
    for (int id = 0; id < count; ++id) {
        const pid_t pid = fork();
        if (pid < 0)
            die_errno("fork");
        if (pid == 0) {
            close(barrier[1]);
            close(results[0]);
            sender_child(plan, id, barrier[0], results[1]);
        }
        g.pids.push_back(pid);
    }
    close(barrier[0]);
    close(results[1]);
    g.barrier.reset(barrier[1]);
    g.results.reset(results[0]);
    return g;
}

void release_senders(sender_group &g)
{
    g.start_ns = now_ns();
    g.barrier.reset();
}

// Reaps the senders that have ended; true once all have.
bool senders_done(sender_group &g)
{
    for (auto it = g.pids.begin(); it != g.pids.end();) {
        int status = 0;
        if (waitpid(*it, &status, WNOHANG) == *it)
            it = g.pids.erase(it);
        else
            ++it;
    }
    return g.pids.empty();
}

std::vector<sender_report> read_reports(sender_group &g)
{
    std::vector<sender_report> reps;
    sender_report rep;
    while (read(g.results.get(), &rep, sizeof rep) == static_cast<ssize_t>(sizeof rep))
        reps.push_back(rep);
    return reps;
}

void kill_senders(sender_group &g)
{
    for (const pid_t pid : g.pids) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    g.pids.clear();
}

// ---------------------------------------------------------------- delivery

// What a log file holds, counted against the records that were sent.
struct delivery {
    long delivered = 0;       // distinct expected payload lines found
    long duplicates = 0;      // expected payload lines found more than once
    long corrupt = 0;         // lines that are neither a payload line nor the end marker
    std::string example;      // the first corrupt line, cut
};

bool is_stamp(std::string_view s)
{
    static constexpr char shape[] = "[dddd-dd-dd dd:dd:dd]";
    for (size_t i = 0; i < STAMP_LEN; ++i) {
        const bool digit = shape[i] == 'd';
        if (digit ? !isdigit(static_cast<unsigned char>(s[i])) : s[i] != shape[i])
            return false;
    }
    return true;
}

// The record index (sender * records + sequence) a payload line names, or
// -1 when the line is not one of ours, whole and unchanged.
long payload_index(std::string_view line, size_t payload_len, int senders, int records)
{
    if (line.size() != STAMP_LEN + payload_len - 1 || !is_stamp(line))
        return -1;
    const std::string_view p = line.substr(STAMP_LEN);
    if (p.substr(0, 7) != "bench s" || p.substr(8, 2) != " n" || p[payload_gen::PREFIX_LEN - 1] != ' ')
        return -1;
    const int id = p[7] - '0';
    long seq = 0;
    for (size_t i = 0; i < payload_gen::DIGITS; ++i) {
        const char d = p[payload_gen::DIGITS_AT + i];
        if (d < '0' || d > '9')
            return -1;
        seq = seq * 10 + (d - '0');
    }
    if (p.find_first_not_of('.', payload_gen::PREFIX_LEN) != std::string_view::npos)
        return -1;
    if (id < 0 || id >= senders || seq >= records)
        return -1;
    return static_cast<long>(id) * records + seq;
}

std::string read_whole(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Counts the payload lines of a log file; the end marker's lines are skipped.
delivery count_delivery(const std::string &path, size_t payload_len, int senders, int records)
{
    const std::string text = read_whole(path);
    std::vector<uint8_t> seen(static_cast<size_t>(senders) * records, 0);
    delivery d;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string_view line(text.data() + pos, end - pos);
        pos = end + 1;
        if (line.empty() || line == QUARN_END_FLAG)
            continue;
        const long idx = payload_index(line, payload_len, senders, records);
        if (idx < 0) {
            if (d.corrupt++ == 0)
                d.example = std::string(line.substr(0, 160));
        } else if (seen[idx]++) {
            ++d.duplicates;
        } else {
            ++d.delivered;
        }
    }
    return d;
}

// ---------------------------------------------------------------- one burst

// Watches a file's size and remembers when it last changed.
struct growth_watch {
    std::string path;        // the watched file
    off_t size = 0;          // its size at the last look
    int64_t last_ns = 0;     // when the size last changed

    void poll()
    {
        struct stat st{};
        if (stat(path.c_str(), &st) == 0 && st.st_size != size) {
            size = st.st_size;
            last_ns = now_ns();
        }
    }
};

// Everything one measurement of W1 or W3 found.
struct burst_result {
    std::string system;       // "quarn" or "baseline"
    long sent = 0;            // records the senders were asked to send
    delivery found;           // what the log file holds
    double seconds = NAN;     // common start until the file last grew
    double send_seconds = NAN; // common start until the last sender ended
    long eagain = 0;          // raw senders' refused sends
    long other_fail = 0;      // raw senders' other failures
    stop_report stop;         // the receiver's CPU, RSS and end
    std::string output;       // the receiver's output in short
    std::vector<std::string> faults; // what went wrong with the receiver

    double rate() const { return found.delivered / seconds; }
    double loss_pct() const { return 100.0 * (1.0 - static_cast<double>(found.delivered) / sent); }
    double cpu_per_m() const { return found.delivered ? stop.cpu_s / (found.delivered / 1e6) : NAN; }
};

// Sends "sync" every SYNC_EVERY_NS until the receiver is quiet: the file has
// not grown and the receiver has used no CPU for QUIET_NS.  So the last
// partial batch is written, whichever connection it arrived on.
void settle(receiver &r, growth_watch &watch, burst_result &res)
{
    fd_owner conn(connect_server());
    if (conn.get() < 0)
        res.faults.push_back("could not connect to send sync");
    const std::vector<char> sync = make_sync_record();
    const int64_t begin = now_ns();
    int64_t next_sync = begin, next_check = begin + QUIET_NS;
    long ticks = cpu_ticks(r.pid);
    for (;;) {
        const int64_t now = now_ns();
        if (conn.get() >= 0 && now >= next_sync) {
            const ssize_t n = send(conn.get(), sync.data(), sync.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n != static_cast<ssize_t>(sync.size()) && !(n < 0 && errno == EAGAIN))
                conn.reset();
            next_sync = now + SYNC_EVERY_NS;
        }
        watch.poll();
        if (receiver_ended(r))
            return;
        if (now >= next_check) {
            const long t = cpu_ticks(r.pid);
            const bool idle = t >= 0 && t - ticks <= 1;
            ticks = t;
            next_check = now + QUIET_NS;
            if (idle && now - watch.last_ns >= QUIET_NS)
                return;
        }
        if (now - begin > SETTLE_LIMIT_NS) {
            res.faults.push_back("still busy or growing 60 s after the senders ended");
            return;
        }
        sleep_ns(POLL_NS);
    }
}

// Polls the file while the senders run; false if they hung.
bool watch_senders(sender_group &g, receiver &r, growth_watch &watch)
{
    while (!senders_done(g)) {
        watch.poll();
        receiver_ended(r);
        if (now_ns() - g.start_ns > SENDER_LIMIT_NS)
            return false;
        sleep_ns(POLL_NS);
    }
    return true;
}

void account_senders(sender_group &g, burst_result &res)
{
    int64_t last_end = g.start_ns;
    for (const sender_report &rep : read_reports(g)) {
        res.eagain += rep.eagain;
        res.other_fail += rep.other_fail;
        last_end = std::max(last_end, rep.end_ns);
        if (rep.connect_fail)
            res.faults.push_back("sender " + std::to_string(rep.id) + " could not connect");
    }
    res.send_seconds = (last_end - g.start_ns) / 1e9;
}

// Runs the senders against a started receiver and measures what arrived.
burst_result drive(receiver &r, const sender_plan &plan, const std::string &system)
{
    burst_result res;
    res.system = system;
    res.sent = static_cast<long>(plan.records) * SENDERS;
    if (!wait_listening(r)) {
        res.faults.push_back("never listened (" + (r.exited ? describe_status(r.status) : "timeout") + ")");
        res.stop = stop_receiver(r);
        return res;
    }
    growth_watch watch{r.log_path};
    watch.poll();
    sender_group g = fork_senders(plan, SENDERS);
    release_senders(g);
    watch.last_ns = g.start_ns;
    if (!watch_senders(g, r, watch)) {
        res.faults.push_back("senders still running after 300 s; killed");
        kill_senders(g);
    }
    account_senders(g, res);
    settle(r, watch, res);
    const off_t settled = watch.size;
    res.seconds = (watch.last_ns - g.start_ns) / 1e9;
    res.stop = stop_receiver(r);
    if (!res.stop.fault.empty())
        res.faults.push_back(res.stop.fault);
    watch.poll();
    if (watch.size != settled)
        res.faults.push_back("file changed by " + std::to_string(watch.size - settled) + " bytes at SIGTERM");
    return res;
}

// A fresh directory for one measurement's log files.
std::string fresh_dir(const std::string &base)
{
    std::string tmpl = base + "/quarn-burst-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        die_errno("mkdtemp under " + base);
    return tmpl;
}

// One measurement: a receiver in a fresh directory under base, the senders of
// plan, and the count of what the file holds afterwards.  The receiver's
// messages go to tmpfs, so that only its log file touches the disk.
burst_result measure(const options &opt, const std::string &system, const std::string &base,
                     const sender_plan &plan)
{
    const std::string dir = fresh_dir(base);
    const std::string out_dir = base == opt.tmpfs_dir ? dir : fresh_dir(opt.tmpfs_dir);
    const std::string out_path = out_dir + "/receiver.out";
    receiver r = system == "quarn" ? start_quarn(dir, out_path) : start_baseline(dir, out_path, opt.baseline_fsync);
    burst_result res = drive(r, plan, system);
    res.found = count_delivery(r.log_path, plan.payload_len, SENDERS, plan.records);
    res.output = summarize_output(out_path);
    if (res.found.corrupt)
        res.faults.push_back(std::to_string(res.found.corrupt) + " corrupt lines, first: \"" + res.found.example + "\"");
    if (res.found.duplicates)
        res.faults.push_back(std::to_string(res.found.duplicates) + " duplicated lines");
    if (opt.keep) {
        printf("  kept %s %s\n", dir.c_str(), out_path.c_str());
    } else {
        std::filesystem::remove_all(dir);
        std::filesystem::remove_all(out_dir);
    }
    return res;
}

// ---------------------------------------------------------------- summary

// The values of one metric, run by run, for quarn and the baseline.
struct metric {
    std::string workload;      // e.g. "W1 tmpfs"
    std::string name;          // e.g. "delivered rec/s"
    int decimals;              // digits after the point in the table
    std::vector<double> quarn; // one value per run
    std::vector<double> base;  // one value per run, same order
};

// The metrics in table order, filled as the runs go.
class report {
  public:
    metric &at(const std::string &workload, const std::string &name, int decimals)
    {
        for (metric &m : metrics_)
            if (m.workload == workload && m.name == name)
                return m;
        metrics_.push_back({workload, name, decimals, {}, {}});
        return metrics_.back();
    }
    void print_table() const;
    void print_json() const;

  private:
    std::vector<metric> metrics_; // in the order first used
};

// Ratios quarn / baseline, run by run.
std::vector<double> ratios(const metric &m)
{
    std::vector<double> r;
    for (size_t i = 0; i < m.quarn.size() && i < m.base.size(); ++i)
        r.push_back(m.base[i] != 0 ? m.quarn[i] / m.base[i] : NAN);
    return r;
}

std::string format_stats(const stats &s, int decimals)
{
    if (!std::isfinite(s.median))
        return "-";
    char buf[96];
    snprintf(buf, sizeof buf, "%.*f [%.*f..%.*f]", decimals, s.median, decimals, s.min, decimals, s.max);
    return buf;
}

void report::print_table() const
{
    printf("\n%-10s %-22s %-34s %-34s %s\n", "workload", "metric", "quarn  median [min..max]",
           "baseline  median [min..max]", "quarn/baseline (run by run)");
    for (const metric &m : metrics_) {
        printf("%-10s %-22s %-34s %-34s %s\n", m.workload.c_str(), m.name.c_str(),
               format_stats(summarize(m.quarn), m.decimals).c_str(),
               format_stats(summarize(m.base), m.decimals).c_str(),
               format_stats(summarize(ratios(m)), 2).c_str());
    }
}

void report::print_json() const
{
    for (const metric &m : metrics_)
        json_line()
            .add("kind", "summary")
            .add("workload", m.workload)
            .add("metric", m.name)
            .add("runs", static_cast<long>(m.quarn.size()))
            .add("quarn", summarize(m.quarn))
            .add("baseline", summarize(m.base))
            .add("ratio", summarize(ratios(m)))
            .print();
}

std::string join(const std::vector<std::string> &v)
{
    std::string out;
    for (const std::string &s : v)
        out += (out.empty() ? "" : "; ") + s;
    return out;
}

void print_burst(const char *workload, const char *fs, int run, const burst_result &res, double paced_rate)
{
    printf("  %-8s %s: %ld of %ld delivered (loss %.2f %%) in %.3f s = %.0f rec/s; sending took %.3f s; "
           "cpu %.3f s = %.2f s/M; peak RSS %ld KiB",
           res.system.c_str(), fs, res.found.delivered, res.sent, res.loss_pct(), res.seconds, res.rate(),
           res.send_seconds, res.stop.cpu_s, res.cpu_per_m(), res.stop.rss_kib);
    if (res.system == "baseline")
        printf("; EAGAIN %ld", res.eagain);
    printf("\n    receiver output: %s\n", res.output.c_str());
    if (!res.faults.empty())
        printf("    FAULT: %s\n", join(res.faults).c_str());
    json_line j;
    j.add("kind", "measurement").add("workload", workload).add("fs", fs).add("system", res.system).add("run", run);
    if (paced_rate > 0)
        j.add("paced_rate", paced_rate);
    j.add("sent", res.sent)
        .add("delivered", res.found.delivered)
        .add("duplicates", res.found.duplicates)
        .add("corrupt", res.found.corrupt)
        .add("seconds", res.seconds)
        .add("send_seconds", res.send_seconds)
        .add("records_per_s", res.rate())
        .add("loss_pct", res.loss_pct())
        .add("cpu_s", res.stop.cpu_s)
        .add("cpu_s_per_m", res.cpu_per_m())
        .add("peak_rss_kib", res.stop.rss_kib)
        .add("raw_eagain", res.eagain)
        .add("raw_other_fail", res.other_fail)
        .add("end", res.stop.status)
        .add("faults", join(res.faults))
        .print();
    fflush(stdout);
}

// ---------------------------------------------------------------- workloads

sender_kind kind_of(const std::string &system)
{
    return system == "quarn" ? sender_kind::library : sender_kind::raw;
}

// The two systems in the order of run `run`: alternating, so slow drift of
// the machine does not favour one of them.
std::vector<std::string> systems_in_order(int run)
{
    if (run % 2)
        return {"quarn", "baseline"};
    return {"baseline", "quarn"};
}

// W1 on one file system: both systems, one measurement each.
void run_w1(const options &opt, report &rep, int run, const char *fs, const std::string &base)
{
    const std::string workload = std::string("W1 ") + fs;
    std::map<std::string, burst_result> by_system;
    for (const std::string &system : systems_in_order(run)) {
        const sender_plan plan{kind_of(system), W1_RECORDS, 0, opt.payload_len};
        by_system[system] = measure(opt, system, base, plan);
        print_burst("w1", fs, run, by_system[system], 0);
    }
    const burst_result &q = by_system["quarn"], &b = by_system["baseline"];
    auto add = [&](const char *name, int decimals, double qv, double bv) {
        metric &m = rep.at(workload, name, decimals);
        m.quarn.push_back(qv);
        m.base.push_back(bv);
    };
    add("delivered rec/s", 0, q.rate(), b.rate());
    add("loss %", 2, q.loss_pct(), b.loss_pct());
    add("CPU s / M delivered", 3, q.cpu_per_m(), b.cpu_per_m());
    add("peak RSS KiB", 0, static_cast<double>(q.stop.rss_kib), static_cast<double>(b.stop.rss_kib));
}

// Per-batch costs of W2, in ns per call.
struct w2_samples {
    std::vector<double> library; // ns per library call, one value per batch
    std::vector<double> raw;     // ns per raw send, one value per batch
    long raw_eagain = 0;         // raw sends refused during the timed batches
    long raw_other = 0;          // raw sends that failed otherwise
    long library_failed = 0;     // failure lines the library printed while timed
};

bool write_exact(int fd, const void *buf, size_t len)
{
    auto *p = static_cast<const char *>(buf);
    while (len > 0) {
        const ssize_t n = write(fd, p, len);
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// The open sockets of this process.
std::vector<int> socket_fds()
{
    std::vector<int> fds;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = atoi(entry.path().filename().c_str());
        struct stat st{};
        if (fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode))
            fds.push_back(fd);
    }
    return fds;
}

// Waits, bounded by a second, until the receiver has taken everything these
// sockets sent, so that every timed batch starts with room in the send
// buffers: a lone sender can outrun the receiver, and a refused send is
// cheaper than a real one.
void drain(const std::vector<int> &fds)
{
    const int64_t limit = now_ns() + 1000 * MS;
    for (const int fd : fds) {
        int queued = 0;
        while (ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0 && now_ns() < limit)
            sleep_ns(MS / 10);
    }
}

template <typename F> double time_batch(F &&op)
{
    const int64_t t0 = now_ns();
    for (int i = 0; i < W2_BATCH; ++i)
        op();
    return static_cast<double>(now_ns() - t0) / W2_BATCH;
}

// The W2 sender: library calls and raw sends of the same record in
// alternating batches, on two connections to the same receiver, the send
// queues drained between batches.  Writes the samples to out_fd; the
// library's own failure lines go to standard output.
[[noreturn]] void w2_child(size_t payload_len, int out_fd)
{
    std::vector<char> payload(payload_len + 1, '\0');
    payload_gen lib_gen(payload.data(), payload_len, 0);
    raw_record rec = make_log_record(payload_len);
    payload_gen raw_gen(rec.payload(), payload_len, 1);
    fd_owner fd(connect_server());
    if (fd.get() < 0)
        _exit(4);
    sender_report counts{};
    auto lib_call = [&] {
        quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_FILE, "bench", "%s", payload.data());
        lib_gen.next();
    };
    auto raw_send = [&] {
        send_raw_one(fd.get(), rec, counts);
        raw_gen.next();
    };
    time_batch(lib_call); // warm up: connect, fault in the pages, fill the time stamp cache
    time_batch(raw_send);
    const std::vector<int> sockets = socket_fds(); // ours and the library's connection
    counts = {};
    fflush(stdout);
    printf("--- timed ---\n");
    std::vector<double> lib, raw;
    for (int b = 0; b < W2_CALLS / W2_BATCH; ++b) {
        drain(sockets);
        if (b % 2) {
            lib.push_back(time_batch(lib_call));
            drain(sockets);
            raw.push_back(time_batch(raw_send));
        } else {
            raw.push_back(time_batch(raw_send));
            drain(sockets);
            lib.push_back(time_batch(lib_call));
        }
    }
    fflush(stdout);
    const long head[3] = {static_cast<long>(lib.size()), counts.eagain, counts.other_fail};
    const bool ok = write_exact(out_fd, head, sizeof head) &&
                    write_exact(out_fd, lib.data(), lib.size() * sizeof(double)) &&
                    write_exact(out_fd, raw.data(), raw.size() * sizeof(double));
    _exit(ok ? 0 : 5);
}

bool read_exact(int fd, void *buf, size_t len)
{
    auto *p = static_cast<char *>(buf);
    while (len > 0) {
        const ssize_t n = read(fd, p, len);
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Lines the library printed after the warm-up ("send failed: ...").
long library_failures(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    bool timed = false;
    long failed = 0;
    while (std::getline(in, line)) {
        if (line == "--- timed ---")
            timed = true;
        else if (timed)
            ++failed;
    }
    return failed;
}

bool collect_w2(int fd, w2_samples &s)
{
    long head[3];
    if (!read_exact(fd, head, sizeof head) || head[0] <= 0 || head[0] > W2_CALLS)
        return false;
    s.library.resize(head[0]);
    s.raw.resize(head[0]);
    s.raw_eagain = head[1];
    s.raw_other = head[2];
    return read_exact(fd, s.library.data(), head[0] * sizeof(double)) &&
           read_exact(fd, s.raw.data(), head[0] * sizeof(double));
}

// Runs the W2 sender against a listening receiver; false when it brought
// back no samples.  s.library_failed counts the library's failure lines.
bool w2_sample(const std::string &dir, size_t payload_len, w2_samples &s)
{
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) < 0)
        die_errno("pipe");
    const std::string lib_out = dir + "/sender.out";
    fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0)
        die_errno("fork");
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(open(lib_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        close(pipefd[0]);
        w2_child(payload_len, pipefd[1]);
    }
    close(pipefd[1]);
    fd_owner samples(pipefd[0]);
    const bool ok = collect_w2(samples.get(), s);
    waitpid(pid, nullptr, 0);
    s.library_failed = library_failures(lib_out);
    return ok;
}

void print_w2(int run, const w2_samples &s)
{
    const double lib_ns = summarize(s.library).median, raw_ns = summarize(s.raw).median;
    printf("  W2: library call %.0f ns, raw send %.0f ns (median of %zu batches of %d; ratio %.2f); "
           "failed: library %ld, raw %ld EAGAIN + %ld other\n",
           lib_ns, raw_ns, s.library.size(), W2_BATCH, lib_ns / raw_ns, s.library_failed, s.raw_eagain,
           s.raw_other);
    json_line()
        .add("kind", "measurement")
        .add("workload", "w2")
        .add("run", run)
        .add("receiver", "baseline")
        .add("calls", static_cast<long>(s.library.size()) * W2_BATCH)
        .add("batch", W2_BATCH)
        .add("library_ns", lib_ns)
        .add("raw_ns", raw_ns)
        .add("ratio", lib_ns / raw_ns)
        .add("library_failed", s.library_failed)
        .add("raw_eagain", s.raw_eagain)
        .add("raw_other_fail", s.raw_other)
        .print();
}

// W2: one sender against the baseline receiver on tmpfs.
void run_w2(const options &opt, report &rep, int run)
{
    const std::string dir = fresh_dir(opt.tmpfs_dir);
    receiver r = start_baseline(dir, dir + "/receiver.out", opt.baseline_fsync);
    w2_samples s;
    const bool ok = wait_listening(r) && w2_sample(dir, opt.payload_len, s);
    const stop_report stop = stop_receiver(r);
    if (!opt.keep)
        std::filesystem::remove_all(dir);
    if (!ok) {
        printf("  W2 FAULT: no samples (receiver %s)\n", stop.status.c_str());
        return;
    }
    print_w2(run, s);
    metric &m = rep.at("W2", "ns per call", 0);
    m.quarn.push_back(summarize(s.library).median);
    m.base.push_back(summarize(s.raw).median);
}

// The result of one W3 search.
struct w3_result {
    double rate = NAN;        // the highest lossless total rate found
    std::string end;          // what ended the search
};

// What one paced run showed.
enum class w3_outcome { lossless, lost, unpaced };

double w3_grid(int k)
{
    return W3_GRID_BASE * std::pow(W3_STEP, k);
}

// One paced run at total rate `rate`.  A run whose senders could not keep
// the pace proves nothing about the receiver.
w3_outcome w3_step(const options &opt, const std::string &system, int run, double rate)
{
    const int per_sender = static_cast<int>(rate / SENDERS * opt.w3_seconds);
    const sender_plan plan{kind_of(system), per_sender, rate / SENDERS, opt.payload_len};
    const burst_result res = measure(opt, system, opt.tmpfs_dir, plan);
    print_burst("w3", "tmpfs", run, res, rate);
    if (res.send_seconds > opt.w3_seconds * 1.05)
        return w3_outcome::unpaced;
    const bool whole = res.found.delivered == res.sent && res.found.corrupt == 0 && res.found.duplicates == 0;
    return whole ? w3_outcome::lossless : w3_outcome::lost;
}

// Steps up the grid from the lossless point k until a run loses.
w3_result w3_search_up(const options &opt, const std::string &system, int run, int k)
{
    const double cap = 0.9 * QUARN_LOG_SIZE / (STAMP_LEN + opt.payload_len) / opt.w3_seconds;
    w3_result res;
    for (int steps = 1;; ++steps) {
        res.rate = w3_grid(k);
        if (steps >= W3_MAX_STEPS) {
            res.end = "step limit reached";
            return res;
        }
        if (w3_grid(++k) > cap) {
            res.end = "next rate would wrap the 256M log file";
            return res;
        }
        const w3_outcome next = w3_step(opt, system, run, w3_grid(k));
        if (next != w3_outcome::lossless) {
            res.end = next == w3_outcome::lost ? "the next step lost records" : "senders could not keep the next pace";
            return res;
        }
    }
}

// Steps down the grid from the lossy point k until a run loses nothing.
w3_result w3_search_down(const options &opt, const std::string &system, int run, int k)
{
    w3_result res;
    for (int steps = 1; steps < W3_MAX_STEPS; ++steps) {
        if (w3_grid(--k) < W3_MIN_RATE)
            break;
        if (w3_step(opt, system, run, w3_grid(k)) == w3_outcome::lossless) {
            res.rate = w3_grid(k);
            res.end = "the step above lost records";
            return res;
        }
    }
    res.end = "no lossless rate found";
    return res;
}

// W3 for one system: from grid point k, up while nothing is lost, or down
// until nothing is.
w3_result run_w3_search(const options &opt, const std::string &system, int run, int k)
{
    if (w3_step(opt, system, run, w3_grid(k)) == w3_outcome::lossless)
        return w3_search_up(opt, system, run, k);
    return w3_search_down(opt, system, run, k);
}

// The grid point of a rate found earlier; 0 (the grid base) when none was.
int w3_grid_index(double rate)
{
    if (!std::isfinite(rate))
        return 0;
    return static_cast<int>(std::lround(std::log(rate / W3_GRID_BASE) / std::log(W3_STEP)));
}

// W3 for both systems; each search starts where the previous run's ended,
// which saves most of the steps after the first run.
void run_w3(const options &opt, report &rep, int run, std::map<std::string, double> &last)
{
    std::map<std::string, w3_result> found;
    for (const std::string &system : systems_in_order(run)) {
        const int k = w3_grid_index(last.count(system) ? last[system] : NAN);
        found[system] = run_w3_search(opt, system, run, k);
        if (std::isfinite(found[system].rate))
            last[system] = found[system].rate;
        printf("  W3 %s: highest lossless rate %.0f rec/s (%s)\n", system.c_str(), found[system].rate,
               found[system].end.c_str());
        json_line()
            .add("kind", "measurement")
            .add("workload", "w3")
            .add("system", system)
            .add("run", run)
            .add("seconds", opt.w3_seconds)
            .add("lossless_rate", found[system].rate)
            .add("search_end", found[system].end)
            .print();
    }
    metric &m = rep.at("W3 tmpfs", "lossless rec/s", 0);
    m.quarn.push_back(found["quarn"].rate);
    m.base.push_back(found["baseline"].rate);
}

// ---------------------------------------------------------------- main

std::string fs_type(const std::string &dir)
{
    struct statfs st{};
    if (statfs(dir.c_str(), &st) < 0)
        die_errno("statfs " + dir);
    switch (st.f_type) {
    case TMPFS_MAGIC: return "tmpfs";
    case RAMFS_MAGIC: return "ramfs";
    case EXT4_SUPER_MAGIC: return "ext4";
    case XFS_SUPER_MAGIC: return "xfs";
    case BTRFS_SUPER_MAGIC: return "btrfs";
    case OVERLAYFS_SUPER_MAGIC: return "overlay";
    default: {
        char hex[32];
        snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(st.f_type));
        return hex;
    }
    }
}

bool in_memory(const std::string &type)
{
    return type == "tmpfs" || type == "ramfs";
}

void usage()
{
    puts("usage: quarn_burst [--runs N] [--quick] [--only w1,w2,w3] [--tmpfs DIR] [--disk DIR]\n"
         "                   [--payload BYTES] [--baseline-no-fsync] [--keep]\n"
         "  --runs N             repetitions of every workload (default 3)\n"
         "  --quick              one run, 2 s paced runs (for development)\n"
         "  --only LIST          run only these workloads\n"
         "  --tmpfs DIR          in-memory log directory (default /dev/shm)\n"
         "  --disk DIR           on-disk log directory (default /tmp)\n"
         "  --payload BYTES      payload per record, newline included (default 100)\n"
         "  --baseline-no-fsync  the baseline writes batches without fsync\n"
         "  --keep               keep the log directories");
}

options parse_options(int argc, char **argv)
{
    options opt;
    bool runs_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                die("missing value after " + a);
            return argv[++i];
        };
        if (a == "--runs") {
            opt.runs = atoi(value().c_str());
            runs_given = true;
        } else if (a == "--quick") {
            opt.quick = true;
        } else if (a == "--only") {
            const std::string list = value();
            opt.w1 = list.find("w1") != std::string::npos;
            opt.w2 = list.find("w2") != std::string::npos;
            opt.w3 = list.find("w3") != std::string::npos;
        } else if (a == "--tmpfs") {
            opt.tmpfs_dir = value();
        } else if (a == "--disk") {
            opt.disk_dir = value();
        } else if (a == "--payload") {
            opt.payload_len = static_cast<size_t>(atol(value().c_str()));
        } else if (a == "--baseline-no-fsync") {
            opt.baseline_fsync = false;
        } else if (a == "--keep") {
            opt.keep = true;
        } else {
            usage();
            exit(a == "--help" || a == "-h" ? 0 : 2);
        }
    }
    if (opt.quick) {
        opt.runs = runs_given ? opt.runs : 1;
        opt.w3_seconds = 2;
    }
    if (opt.runs < 1)
        die("--runs needs a positive number");
    if (opt.payload_len < payload_gen::PREFIX_LEN + 2 || opt.payload_len > QUARN_MSG_PART_MAX)
        die("--payload must lie between 20 and 1023");
    return opt;
}

void check_setting(const options &opt)
{
    if (name_listening())
        die("something already listens on the quarn socket name; run in fresh namespaces "
            "(unshare --net --ipc, as tools/run-bench does)");
    const std::string t = fs_type(opt.tmpfs_dir), d = fs_type(opt.disk_dir);
    if (!in_memory(t))
        die(opt.tmpfs_dir + " is " + t + ", not an in-memory file system (--tmpfs)");
    if (in_memory(d))
        die(opt.disk_dir + " is " + d + ", not on disk (--disk)");
    if (access(QUARN_EXE, X_OK) != 0)
        die(std::string("no quarn executable at ") + QUARN_EXE);
}

void print_setting(const options &opt)
{
    const size_t record = QUARN_MSG_HEAD_LEN + STAMP_LEN + opt.payload_len;
    printf("quarn_burst: %d run(s); server %s LOGDIR 256M 64K 1\n", opt.runs, QUARN_EXE);
    printf("record: %zu bytes = %d header + %zu text (%zu time stamp + %zu payload incl. newline); "
           "the baseline sends the same bytes\n",
           record, QUARN_MSG_HEAD_LEN, STAMP_LEN + opt.payload_len, STAMP_LEN, opt.payload_len);
    printf("tmpfs dir %s (%s), disk dir %s (%s); %ld CPUs; baseline %s each batch\n", opt.tmpfs_dir.c_str(),
           fs_type(opt.tmpfs_dir).c_str(), opt.disk_dir.c_str(), fs_type(opt.disk_dir).c_str(),
           sysconf(_SC_NPROCESSORS_ONLN), opt.baseline_fsync ? "fsyncs" : "does not fsync");
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
    const options opt = parse_options(argc, argv);
    check_setting(opt);
    print_setting(opt);
    report rep;
    std::map<std::string, double> w3_last; // lossless rates of the previous run
    for (int run = 1; run <= opt.runs; ++run) {
        printf("\nrun %d of %d\n", run, opt.runs);
        if (opt.w1) {
            run_w1(opt, rep, run, "tmpfs", opt.tmpfs_dir);
            run_w1(opt, rep, run, "disk", opt.disk_dir);
        }
        if (opt.w2)
            run_w2(opt, rep, run);
        if (opt.w3)
            run_w3(opt, rep, run, w3_last);
    }
    rep.print_table();
    rep.print_json();
    return 0;
}
