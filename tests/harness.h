// The one harness of the suite: temporary directories, records as they
// travel, the real socket name, and the real quarn executable as a child
// process.  Every wait is bounded: a server that does not listen, answer or
// stop in time fails the test instead of hanging it.
#pragma once

#include "quarn.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

inline const std::string END_MARK = "\n+$end$+\n"; // behind the newest text of a log file

// A sanitizer's runtime makes some work far dearer and reserves far more address space.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool SANITIZED = true;
#else
inline constexpr bool SANITIZED = false;
#endif

// A fresh directory, removed with everything in it at the end of the scope.
struct TempDir {
    const std::string path = [] {
        std::string templ = (std::filesystem::temp_directory_path() / "quarn-test-XXXXXX").string();
        return std::string(mkdtemp(templ.data()) ? templ : throw std::runtime_error("mkdtemp failed"));
    }();
    TempDir() = default;
    TempDir(const TempDir &) = delete;
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string file(const std::string &name) const { return path + "/" + name; }
};

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline bool has(std::string_view hay, std::string_view needle) { return hay.find(needle) != std::string_view::npos; }
inline std::size_t count(std::string_view hay, std::string_view needle)
{
    std::size_t n = 0;
    for (auto at = hay.find(needle); at != std::string_view::npos; at = hay.find(needle, at + 1))
        ++n;
    return n;
}

// The time stamp a line written now carries.
inline std::string stamp_now()
{
    char text[32];
    const time_t t = time(nullptr);
    tm local;
    strftime(text, sizeof text, "[%Y-%m-%d %H:%M:%S]", localtime_r(&t, &local));
    return text;
}

// Polls pred until it holds or the bound passes; true when it held.
template <class Pred>
bool wait_until(Pred pred, std::chrono::milliseconds bound = 10s)
{
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end)
            return pred();
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// ---- records and the socket ---------------------------------------------------------

// One record as it travels: the 40-byte header, then the text.
inline std::string make_record(uint16_t type, int32_t level, std::string_view text,
                               uint32_t magic = QUARN_MSG_MAGIC, const char *tag = "TEST")
{
    quarn_msg_head_t head{magic, type, static_cast<uint16_t>(text.size()), level, {}};
    strncpy(head.name, tag, QUARN_MSG_TAG_MAX);
    return std::string(reinterpret_cast<const char *>(&head), sizeof head).append(text);
}

// A command record that asks for a reply (its last header byte).
inline std::string command(std::string_view text, uint16_t type = QUARN_TYPE_APP)
{
    std::string rec = make_record(type, QUARN_LEVEL_CMD, text, QUARN_MSG_MAGIC, "CMD");
    rec[QUARN_MSG_HEAD_LEN - 1] = 1;
    return rec;
}

// Records stored in quarn.app with the given prefix, and the records that
// the server's own lines say were dropped.
struct Tally {
    long stored = 0, counted = 0;
};

inline Tally tally(const std::string &log, const std::string &prefix)
{
    Tally t;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        long n = 0;
        int at = 0;
        const auto tag = line.find("[quarn]");
        if (line.starts_with(prefix))
            ++t.stored;
        else if (tag != std::string::npos && sscanf(line.c_str() + tag, "[quarn]%ld records dropped%n", &n, &at) == 1 && at > 0)
            t.counted += n;
    }
    return t;
}

// A datagram socket bound to path, a collector's stand-in; -1 when that fails.
inline int dgram_bound(const std::string &path)
{
    sockaddr_un addr{AF_UNIX, {}};
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0 ? fd : (close(fd), -1);
}

// A pseudo-terminal's master with its slave ready to open; -1 when none.
inline int open_pty()
{
    const int pty = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    return pty >= 0 && grantpt(pty) == 0 && unlockpt(pty) == 0 ? pty : (close(pty), -1);
}

// A fresh stream socket (SOCK_STREAM | flags) connected to the server's
// name, or bound to it and listening; -1 when that fails.  The address is
// spelled out rather than taken from the library: NUL, then the path less
// its last letter, in 24 bytes.
inline int quarn_socket(int flags = 0, bool listener = false)
{
    sockaddr_un addr{AF_UNIX, {}};
    std::memcpy(addr.sun_path, "\0/home/app/quarn_socke", 22);
    const auto *a = reinterpret_cast<sockaddr *>(&addr);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if ((listener ? bind(fd, a, 24) == 0 && listen(fd, 64) == 0 : connect(fd, a, 24) == 0))
        return fd;
    return close(fd), -1;
}

// Everything the peer (a socket, a pipe or a terminal) sends until it
// closes, or until nothing came for ms.
inline std::string read_until_eof(int fd, int ms = 30000)
{
    std::string bytes;
    char buf[65536];
    pollfd p{fd, POLLIN, 0};
    for (ssize_t n; poll(&p, 1, ms) == 1 && (n = read(fd, buf, sizeof buf)) > 0;)
        bytes.append(buf, static_cast<size_t>(n));
    return bytes;
}

// Blocking: the test itself never loses a record.
inline bool send_all(int fd, std::string_view bytes)
{
    for (ssize_t n; fd >= 0 && !bytes.empty(); bytes.remove_prefix(static_cast<std::size_t>(n)))
        if ((n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0)
            return false;
    return fd >= 0;
}

// The application print level in the control word; nullopt while there is none.
inline std::optional<uint32_t> control_word()
{
    const int id = shmget(QUARN_CTRL_KEY, sizeof(uint32_t), 0666);
    void *addr = id < 0 ? reinterpret_cast<void *>(-1) : shmat(id, nullptr, SHM_RDONLY);
    if (addr == reinterpret_cast<void *>(-1))
        return std::nullopt;
    const uint32_t value = *static_cast<volatile uint32_t *>(addr);
    return shmdt(addr), value;
}

// Sets a variable for the servers a test starts, and takes it away after.
struct Env {
    Env(const char *name, const std::string &value) : name(name) { setenv(name, value.c_str(), 1); }
    ~Env() { unsetenv(name); }
    const char *name;
};

// One line into the kernel log; a fresh open per line escapes the per-open rate limit.
inline bool kmsg(const std::string &line)
{
    const int fd = open("/dev/kmsg", O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    return close(fd), ok;
}

// Held by every test whose server reads the kernel log: two such servers
// (test cases run in parallel, other runs of this suite too) would take
// each other's lines.  Declared before the Server, released after it ended.
struct KernelLogTurn {
    const int fd = open("/tmp/quarn-e2e-kernel-log.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    const bool had = fd >= 0 && wait_until([this] { return flock(fd, LOCK_EX | LOCK_NB) == 0; }, 300s);
    KernelLogTurn() = default;
    KernelLogTurn(const KernelLogTurn &) = delete;
    ~KernelLogTurn() { close(fd); }
    bool held() const { return had; }
};

// ---- child processes ---------------------------------------------------------------

struct ChildIo {
    std::string in{};    // standard input file; "" /dev/null
    std::string out{};   // standard output file, appended to ("" /dev/null)
    std::string err{};   // standard error file; "" keeps the test's
    int limit = -1;      // an RLIMIT_* set in the child; -1 none
    rlim_t limit_to = 0; // its value
    std::vector<int> closed{}; // descriptors closed in the child once the rest is set up
};

// Forks a child that runs body, which must not return, set up as io says; its pid.
template <class Body>
pid_t spawn(const ChildIo &io, Body body)
{
    const rlimit lim{io.limit_to, io.limit_to};
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = open(io.out.empty() ? "/dev/null" : io.out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int e = io.err.empty() ? 2 : open(io.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (dup2(open(io.in.empty() ? "/dev/null" : io.in.c_str(), O_RDONLY), 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 ||
            (io.limit >= 0 && setrlimit(io.limit, &lim)))
            _exit(126);
        for (const int fd : io.closed)
            close(fd);
        body();
    }
    return pid;
}

// Runs argv (its program looked up in PATH) as a child; its pid.
inline pid_t spawn_exec(const std::vector<std::string> &argv, const ChildIo &io = {})
{
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    return spawn(io, [&] { execvp(args[0], args.data()), _exit(127); });
}

// Prepended to a command line, runs it as the unprivileged user nobody.
inline const std::vector<std::string> AS_NOBODY = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

// Runs fn in a forked child with a client library state of its own; its
// standard output, where the library says why a record was lost, goes to out.
template <class Fn>
pid_t fork_client(Fn fn, const std::string &out = "")
{
    return spawn({.out = out}, [&] { fn(), fflush(nullptr), _exit(0); });
}

// Exit code of the child once it ended within bound; 128 + signal when a
// signal ended it; -1 when it did not end (it is then killed).
inline int wait_exit(pid_t pid, std::chrono::milliseconds bound = 20s)
{
    int st = 0;
    if (!wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; }, bound))
        return kill(pid, SIGKILL), waitpid(pid, nullptr, 0), -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Ends a child process still running at the end of the scope.
struct ChildGuard {
    pid_t pid;
    ~ChildGuard()
    {
        if (pid > 0)
            kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    }
};

// Runs argv to its end; its exit code as wait_exit gives it.
inline int run(const std::vector<std::string> &argv, const ChildIo &io = {}) { return wait_exit(spawn_exec(argv, io)); }

// A sanitizer's report in a child's standard error: a server killed at the
// end of a test leaves no exit status to show it.
inline void expect_no_sanitizer_report(const std::string &err, const char *who)
{
    if (err.find("Sanitizer") != std::string::npos || err.find("runtime error:") != std::string::npos)
        ADD_FAILURE() << who << "'s sanitizer reported:\n" << err;
}

struct CliResult {
    int status;      // as wait_exit gives it
    std::string out; // its standard output
    std::string err; // its standard error
};

// Runs `quarn args...` to its end.
inline CliResult run_cli(std::vector<std::string> args, ChildIo io = {})
{
    TempDir tmp;
    args.insert(args.begin(), QUARN_EXE);
    if (io.out.empty())
        io.out = tmp.file("out");
    io.err = tmp.file("err");
    const int status = wait_exit(spawn_exec(args, io));
    const CliResult r{status, read_file(io.out), read_file(io.err)};
    expect_no_sanitizer_report(r.err, "the control client");
    return r;
}

// ---- the server ---------------------------------------------------------------------

// A quarn server with one raw connection to it, listening once constructed
// (see up()); killed at the end of the scope unless a test stopped it.  Its
// log directory is a fresh one, or dir (a stopped server's); its standard
// output and error go to server.out and server.err there unless io names
// other files (for a log directory that may fill up or vanish).
class Server {
  public:
    explicit Server(const std::vector<std::string> &sizes = {"1M", "0K", "1"}, ChildIo io = {}, std::string dir = "")
        : dir_(dir.empty() ? own_.emplace().path : dir), out_(io.out.empty() ? file("server.out") : io.out),
          err_(io.err.empty() ? file("server.err") : io.err)
    {
        io.out = out_, io.err = err_;
        pid_ = spawn_exec({QUARN_EXE, dir_, sizes.at(0), sizes.at(1), sizes.at(2)}, io);
        if (wait_until([&] { return (conn_ = quarn_socket()) >= 0 || ended(); }) && ended())
            close(conn_), conn_ = -1;
    }
    ~Server()
    {
        close(conn_);
        if (!ended())
            kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
        expect_no_sanitizer_report(err(), "the server");
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    bool up() const { return conn_ >= 0; }
    pid_t pid() const { return pid_; }
    int conn() const { return conn_; }
    const std::string &dir() const { return dir_; }
    std::string file(const std::string &name) const { return dir_ + "/" + name; }
    std::string log(const std::string &name) const { return read_file(file(name)); }
    std::string err() const { return read_file(err_); }
    std::string report() const { return "stdout:\n" + out() + "\nstderr:\n" + err(); }
    // Standard output without the line a receive thread prints when its
    // connection ends, which may fall between the lines of a command.
    std::string out() const
    {
        std::string text = read_file(out_);
        for (auto at = text.find("client is close \n"); at != std::string::npos; at = text.find("client is close \n", at))
            text.erase(at, 17);
        return text;
    }
    bool wait_out(std::string_view text, std::size_t times = 1) const
    {
        return wait_until([&] { return count(out(), text) >= times; });
    }

    bool send(uint16_t type, int32_t level, std::string_view text, uint32_t magic = QUARN_MSG_MAGIC)
    {
        return send_all(conn_, make_record(type, level, text, magic));
    }
    // Sends a record, then true once reply is on standard output once more:
    // the print thread has handled all that the connection carried before.
    bool round_trip(uint16_t type, int32_t level, std::string_view text, const std::string &reply)
    {
        const std::size_t seen = count(out(), reply);
        return send(type, level, text) && wait_out(reply, seen + 1);
    }
    // An application "level<n>": the print thread has handled all before it.
    bool settle(int app_level = 1)
    {
        const std::string n = std::to_string(app_level);
        return round_trip(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "level" + n, "logPrintLevel = " + n + " \n");
    }
    // Writes what waits in memory and settles: the reply it asks for (the
    // last header byte) comes once the text is written.
    bool sync()
    {
        std::string reply(5, '\0');
        pollfd p{conn_, POLLIN, 0};
        return send_all(conn_, command("sync")) && poll(&p, 1, 10000) == 1 && recv(conn_, reply.data(), 5, 0) == 5 && settle();
    }

    // Sends sig; the exit code (128 + signal when one ended it, -1 when it
    // did not end within bound).
    int stop(int sig = SIGTERM, std::chrono::milliseconds bound = 20s)
    {
        if (!ended())
            kill(pid_, sig);
        if (!wait_until([&] { return ended(); }, bound))
            kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0), status_ = -1;
        return *status_ == -1 ? -1 : WIFEXITED(*status_) ? WEXITSTATUS(*status_) : 128 + WTERMSIG(*status_);
    }
    // The server's threads as /proc shows them.
    struct Task {
        std::string name; // thread name
        char state;       // R running, S sleeping, T stopped, ...
        pid_t tid;        // its thread id
    };
    std::vector<Task> tasks() const
    {
        std::vector<Task> out;
        std::error_code ec;
        for (const auto &t : std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/task", ec)) {
            const std::string stat = read_file(t.path() / "stat"), name = read_file(t.path() / "comm");
            const auto paren = stat.rfind(')');
            out.push_back({name.substr(0, name.find('\n')), paren + 2 < stat.size() ? stat[paren + 2] : '?', std::stoi(t.path().filename())});
        }
        return out;
    }
    std::size_t threads(const std::function<bool(const Task &)> &pred) const { return std::ranges::count_if(tasks(), pred); }
    // The thread named name, or -1.
    pid_t tid(const std::string &name) const
    {
        const auto all = tasks();
        const auto t = std::ranges::find(all, name, &Task::name);
        return t == all.end() ? -1 : t->tid;
    }

  private:
    bool ended()
    {
        if (int st = 0; !status_ && waitpid(pid_, &st, WNOHANG) == pid_)
            status_ = st;
        return status_.has_value();
    }

    std::optional<TempDir> own_; // the log directory unless one was given
    std::string dir_;            // the log directory
    std::string out_;            // file of the server's standard output
    std::string err_;            // file of its standard error
    pid_t pid_;                  // of the server process
    int conn_ = -1;              // the raw connection; -1 when the server never listened
    std::optional<int> status_;  // wait status once the server ended
};

// Holds one thread of a child still while the others run (the print
// thread, standing in for a disk that does not answer); it goes on at the
// end of the scope.
struct ThreadHold {
    const pid_t tid;
    const bool held = ptrace(PTRACE_SEIZE, tid, 0, 0) == 0 && ptrace(PTRACE_INTERRUPT, tid, 0, 0) == 0 &&
                      waitpid(tid, nullptr, __WALL) == tid;
    explicit ThreadHold(pid_t t) : tid(t) {}
    ThreadHold(const ThreadHold &) = delete;
    ~ThreadHold() { ptrace(PTRACE_DETACH, tid, 0, 0); }
};

} // namespace e2e
