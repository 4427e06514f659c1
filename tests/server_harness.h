// Drives the real quarn executable for the end-to-end tests: servers and
// control clients as child processes, the real socket name, real files.
// Every wait is bounded: a server that does not listen, answer or stop in
// time fails the test instead of hanging it.
#pragma once

#include "support.h"

#include <quarn.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/sockios.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

inline const std::string END_MARK = "\n+$end$+\n"; // behind the newest text of a log file
inline const std::string RESET = "\033[0m", GREEN = "\033[32m", CYAN = "\033[36m", YELLOW = "\033[33m",
                         RED = "\033[31m";

inline std::size_t count(std::string_view hay, std::string_view needle)
{
    std::size_t n = 0;
    for (auto at = hay.find(needle); at != std::string_view::npos; at = hay.find(needle, at + 1))
        ++n;
    return n;
}

// One record as it travels: the 40-byte header, then the text.
inline std::string make_record(uint16_t type, int32_t level, std::string_view text,
                               uint32_t magic = QUARN_MSG_MAGIC, const char *tag = "TEST")
{
    quarn_msg_head_t head{magic, type, static_cast<uint16_t>(text.size()), level, {}};
    strncpy(head.name, tag, QUARN_MSG_TAG_MAX);
    return std::string(reinterpret_cast<const char *>(&head), sizeof head).append(text);
}

// NUL + "/home/app/quarn_socke": the path cut by the 24-byte address length.
inline const sockaddr *quarn_addr()
{
    static const sockaddr_un addr = [] {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        memcpy(a.sun_path + 1, QUARN_SOCK_PATH, sizeof QUARN_SOCK_PATH);
        return a;
    }();
    return reinterpret_cast<const sockaddr *>(&addr);
}
inline constexpr socklen_t QUARN_ADDR_LEN = 24;

// A connection made without the client library, for records crafted to the byte.
class RawConn {
  public:
    RawConn() : fd_(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        if (connect(fd_, quarn_addr(), QUARN_ADDR_LEN) != 0)
            shut();
    }
    ~RawConn() { shut(); }
    RawConn(const RawConn &) = delete;
    RawConn &operator=(const RawConn &) = delete;
    bool ok() const { return fd_ >= 0; }
    void shut()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    // Blocking: the test itself never loses a record.
    bool send_all(std::string_view bytes)
    {
        for (ssize_t n; fd_ >= 0 && !bytes.empty(); bytes.remove_prefix(static_cast<std::size_t>(n)))
            if ((n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0)
                return false;
        return fd_ >= 0;
    }
    bool send(uint16_t type, int32_t level, std::string_view text) { return send_all(make_record(type, level, text)); }
    // Bytes the server has not yet taken off the connection.
    int unread() const
    {
        int n = -1;
        return ioctl(fd_, SIOCOUTQ, &n) == 0 ? n : -1;
    }

  private:
    int fd_;
};

// Holds the socket name in place of a server and collects what clients send.
class Listener {
  public:
    Listener() : fd_(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        ok_ = bind(fd_, quarn_addr(), QUARN_ADDR_LEN) == 0 && listen(fd_, 10) == 0;
    }
    ~Listener() { close(fd_); }
    bool ok() const { return ok_; }
    // All one pending connection carried up to its close; nullopt when no
    // connection waits.  Call after the client has ended.
    std::optional<std::string> take()
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 0) != 1)
            return std::nullopt;
        const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        std::string bytes;
        char buf[4096];
        for (ssize_t n; (n = read(c, buf, sizeof buf)) > 0;)
            bytes.append(buf, static_cast<std::size_t>(n));
        close(c);
        return bytes;
    }

  private:
    int fd_;
    bool ok_;
};

// ---- child processes ------------------------------------------------------------

struct ChildIo {
    std::string out{};   // standard output file; "" gives /dev/null
    bool append = false; // open it with O_APPEND, keeping its content
    int out_fd = -1;     // or this descriptor, a pipe's write end
    std::string err{};   // standard error file; "" gives /dev/null
    rlim_t nofile = 0;   // RLIMIT_NOFILE of the child; 0 inherits
    rlim_t data = 0;     // RLIMIT_DATA of the child; 0 inherits
};

// Starts QUARN_EXE with args; its pid.  Standard input is /dev/null.
inline pid_t spawn_quarn(const std::vector<std::string> &args, const ChildIo &io)
{
    std::vector<char *> argv{const_cast<char *>(QUARN_EXE)};
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const char *out = io.out.empty() ? "/dev/null" : io.out.c_str();
    const char *err = io.err.empty() ? "/dev/null" : io.err.c_str();
    const rlimit nofile{io.nofile, io.nofile}, data{io.data, io.data};
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) { // async-signal-safe calls only until exec
        const int o = io.out_fd >= 0 ? io.out_fd : open(out, O_WRONLY | O_CREAT | (io.append ? O_APPEND : O_TRUNC), 0644);
        const int e = open(err, O_WRONLY | O_CREAT | O_TRUNC, 0644), i = open("/dev/null", O_RDONLY);
        if (dup2(i, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || (io.nofile && setrlimit(RLIMIT_NOFILE, &nofile)) ||
            (io.data && setrlimit(RLIMIT_DATA, &data)))
            _exit(126);
        execv(QUARN_EXE, argv.data());
        _exit(127);
    }
    return pid;
}

// Exit code of the child once it ended within bound; 128 + signal when a
// signal ended it; -1 when it did not end (it is then killed).
inline int wait_exit(pid_t pid, std::chrono::milliseconds bound = 20s)
{
    int st = 0;
    if (!wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; }, bound)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Runs fn in a forked child with a client library state of its own; its
// standard output, where the library says why a record was lost, goes to out.
template <class Fn>
pid_t fork_client(Fn fn, const std::string &out = "/dev/null")
{
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        fn();
        fflush(nullptr);
        _exit(0);
    }
    return pid;
}
template <class Fn>
bool run_client(Fn fn)
{
    return wait_exit(fork_client(fn)) == 0;
}

// A pipe whose read end the test drains without blocking.
class Pipe {
  public:
    Pipe()
    {
        if (pipe2(fds_, O_CLOEXEC) == 0)
            fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    }
    ~Pipe() { close_end(0), close_end(1); }
    int write_fd() const { return fds_[1]; }
    void close_end(int end)
    {
        if (fds_[end] >= 0)
            close(fds_[end]);
        fds_[end] = -1;
    }
    // All read so far, after taking what waits now.
    const std::string &drain()
    {
        char buf[65536];
        for (ssize_t n; (n = read(fds_[0], buf, sizeof buf)) > 0;)
            seen_.append(buf, static_cast<std::size_t>(n));
        return seen_;
    }

  private:
    int fds_[2] = {-1, -1};
    std::string seen_;
};

// A sanitizer's report in a child's standard error: a server killed at the
// end of a test leaves no exit status to show it.
inline void expect_no_sanitizer_report(const std::string &err, const char *who)
{
    if (err.find("Sanitizer") != std::string::npos || err.find("runtime error:") != std::string::npos)
        ADD_FAILURE() << who << "'s sanitizer reported:\n" << err;
}

// ---- the server -------------------------------------------------------------------

struct ServerArgs {
    std::string log_size = "1M", sync_size = "0K", print_level = "1";
};

// A quarn server on a log directory, listening once constructed (see
// listening()); killed at the end of the scope unless a test stopped it.
class Server {
  public:
    Server(const TempDir &dir, const ServerArgs &args = {}, ChildIo io = {}) : dir_(dir.str())
    {
        if (io.out.empty() && io.out_fd < 0)
            io.out = dir.file("server.out");
        io.err = dir.file("server.err");
        out_ = io.out, err_ = io.err;
        pid_ = spawn_quarn({dir_, args.log_size, args.sync_size, args.print_level}, io);
        listening_ = wait_until([&] { return RawConn().ok() || ended(); }) && !ended();
    }
    ~Server()
    {
        if (!ended())
            kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
        expect_no_sanitizer_report(err(), "the server");
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    bool listening() const { return listening_; }
    pid_t pid() const { return pid_; }
    std::string out() const { return read_file(out_); }
    std::string err() const { return read_file(err_); }
    std::string log(const std::string &name) const { return read_file(dir_ + "/" + name); }
    std::string report() const { return "stdout:\n" + out() + "\nstderr:\n" + err(); }
    // Standard output without the line a receive thread prints when its
    // connection ends, which may fall between the lines of a command.
    std::string lines() const
    {
        std::string text = out();
        for (auto at = text.find("client is close \n"); at != std::string::npos; at = text.find("client is close \n", at))
            text.erase(at, 17);
        return text;
    }
    bool wait_out(std::string_view text, std::size_t times = 1) const
    {
        return wait_until([&] { return count(lines(), text) >= times; });
    }
    bool wait_log(const std::string &name, std::string_view text, std::chrono::milliseconds bound = 10s) const
    {
        return wait_until([&] { return log(name).find(text) != std::string::npos; }, bound);
    }
    // Sends sig; the exit code as wait_exit gives it, calling meanwhile while waiting.
    int stop(int sig = SIGTERM, const std::function<void()> &meanwhile = [] {})
    {
        if (!ended())
            kill(pid_, sig);
        wait_until([&] { return meanwhile(), ended(); }, 20s);
        if (!ended())
            kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0), status_ = -1;
        return status_ && WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -1;
    }

  private:
    bool ended()
    {
        int st = 0;
        if (!status_ && waitpid(pid_, &st, WNOHANG) == pid_)
            status_ = st;
        return status_.has_value();
    }

    std::string dir_, out_, err_;
    pid_t pid_;
    bool listening_;
    std::optional<int> status_; // wait status once the server ended
};

// True once the print thread has handled all that conn carried before: an
// application "level<n>" that keeps the level as it is, and its reply.
inline bool settle(const Server &srv, RawConn &conn, int app_level = 1)
{
    const std::string reply = "logPrintLevel = " + std::to_string(app_level) + " \n";
    const std::size_t seen = count(srv.lines(), reply);
    return conn.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "level" + std::to_string(app_level)) && srv.wait_out(reply, seen + 1);
}

// A server on a fresh log directory with one raw connection to it.
struct Session {
    TempDir dir;
    Server srv;
    RawConn conn;
    explicit Session(const ServerArgs &args = {}, const ChildIo &io = {}) : srv(dir, args, io) {}
    bool up() const { return srv.listening() && conn.ok(); }
    bool send(uint16_t type, int32_t level, std::string_view text) { return conn.send(type, level, text); }
    bool settle(int app_level = 1) { return e2e::settle(srv, conn, app_level); }
    // True once mark, a DSP error line (shown while the DSP print level is
    // at most 3), is on the console, and with it all that conn carried before.
    bool console_mark(const std::string &mark = "mark")
    {
        return send(QUARN_TYPE_DSP, QUARN_LEVEL_ERROR, mark + "\n") && srv.wait_out(mark + "\n");
    }
};

// ---- the control client and what clients see ---------------------------------------

struct CliResult {
    int status;      // as wait_exit gives it
    std::string out; // its standard output
};

// Runs `quarn args...` to its end, standard output to out_path (a fresh
// file when empty; append keeps that file's content).
inline CliResult run_cli(const std::vector<std::string> &args, std::string out_path = "", bool append = false)
{
    TempDir tmp;
    ChildIo io{out_path.empty() ? tmp.file("out") : out_path, append, -1, tmp.file("err")};
    const int status = wait_exit(spawn_quarn(args, io));
    expect_no_sanitizer_report(read_file(io.err), "the control client");
    return {status, read_file(io.out)};
}

// The application print level in the control word; nullopt while there is none.
inline std::optional<uint32_t> control_word()
{
    const int id = shmget(QUARN_CTRL_KEY, sizeof(uint32_t), 0666);
    void *addr = id < 0 ? reinterpret_cast<void *>(-1) : shmat(id, nullptr, SHM_RDONLY);
    if (addr == reinterpret_cast<void *>(-1))
        return std::nullopt;
    const uint32_t value = *static_cast<volatile uint32_t *>(addr);
    shmdt(addr);
    return value;
}

struct Task {
    std::string name;  // thread name
    char state;        // R running, S sleeping, ...
    std::string wchan; // kernel function it sleeps in
};

// The threads of pid as /proc shows them now.
inline std::vector<Task> tasks(pid_t pid)
{
    std::vector<Task> all;
    std::error_code ec;
    for (const auto &t : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        const std::string dir = t.path().string(), stat = read_file(dir + "/stat");
        std::string name = read_file(dir + "/comm");
        const auto paren = stat.rfind(')');
        all.push_back({name.substr(0, name.find('\n')), paren + 2 < stat.size() ? stat[paren + 2] : '?',
                       read_file(dir + "/wchan")});
    }
    return all;
}

inline std::size_t count_tasks(pid_t pid, const std::function<bool(const Task &)> &pred)
{
    std::size_t n = 0;
    for (const auto &t : tasks(pid))
        n += pred(t);
    return n;
}

} // namespace e2e
