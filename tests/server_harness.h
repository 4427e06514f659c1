// Drives the real quarn executable for the end-to-end tests: starts servers
// and control clients as child processes, talks to them through the real
// socket name, and waits for what they do with bounds.
//
// Every helper here is bounded: a server that does not listen, stop or
// write within the bound fails the test instead of hanging it.
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

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

inline const std::string END_MARK = "\n+$end$+\n"; // behind the newest text of a log file

inline std::size_t count(std::string_view hay, std::string_view needle)
{
    std::size_t n = 0;
    for (auto at = hay.find(needle); at != std::string_view::npos; at = hay.find(needle, at + 1))
        ++n;
    return n;
}

// One record as a client puts it on the wire: header, then text.
inline std::string make_record(uint16_t type, int32_t level, std::string_view text,
                               uint32_t magic = QUARN_MSG_MAGIC, const char *tag = "TEST")
{
    quarn_msg_head_t head{};
    head.magic = magic;
    head.type = type;
    head.len = static_cast<uint16_t>(text.size());
    head.level = level;
    strncpy(head.name, tag, QUARN_MSG_TAG_MAX);
    std::string rec(reinterpret_cast<const char *>(&head), sizeof head);
    return rec.append(text);
}

// ---- the socket name --------------------------------------------------------

// NUL + "/home/app/quarn_socke": the path cut by the 24-byte address length.
inline sockaddr_un quarn_addr()
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, QUARN_SOCK_PATH, sizeof QUARN_SOCK_PATH);
    return addr;
}
inline constexpr socklen_t QUARN_ADDR_LEN = 24;

// A connection made without the client library, for crafted records.
class RawConn {
  public:
    RawConn()
    {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un addr = quarn_addr();
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<const sockaddr *>(&addr), QUARN_ADDR_LEN) != 0) {
            close(fd_);
            fd_ = -1;
        }
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
    // Blocking send of all bytes: the test itself never loses a record.
    bool send_all(std::string_view bytes)
    {
        while (fd_ >= 0 && !bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return fd_ >= 0;
    }
    bool send(uint16_t type, int32_t level, std::string_view text) { return send_all(make_record(type, level, text)); }
    // Bytes not yet taken off the connection by the server.
    int unread() const
    {
        int n = -1;
        return ioctl(fd_, SIOCOUTQ, &n) == 0 ? n : -1;
    }

  private:
    int fd_ = -1;
};

// Binds the socket name itself, standing in for a server.
class Listener {
  public:
    Listener()
    {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un addr = quarn_addr();
        if (bind(fd_, reinterpret_cast<const sockaddr *>(&addr), QUARN_ADDR_LEN) != 0 || listen(fd_, 10) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Listener()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // Everything one pending connection carried up to its close; nullopt
    // when no connection is pending.  Call after the client has ended.
    std::optional<std::string> take()
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 0) != 1)
            return std::nullopt;
        const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        std::string bytes;
        char buf[4096];
        pollfd q{c, POLLIN, 0};
        while (poll(&q, 1, 5000) == 1) {
            const ssize_t n = read(c, buf, sizeof buf);
            if (n <= 0)
                break;
            bytes.append(buf, static_cast<std::size_t>(n));
        }
        close(c);
        return bytes;
    }

  private:
    int fd_ = -1;
};

inline bool name_is_listening()
{
    RawConn probe;
    return probe.ok();
}

// ---- child processes --------------------------------------------------------

// Where a child's standard streams go.
struct ChildIo {
    std::string out;          // standard output file; "" gives /dev/null
    bool append = false;      // open it with O_APPEND and keep its content
    int out_fd = -1;          // or this descriptor (a pipe's write end)
    std::string err;          // standard error file; "" gives /dev/null
    std::string in;           // standard input file; "" gives /dev/null
    rlim_t nofile = 0;        // RLIMIT_NOFILE for the child, 0 to inherit
    rlim_t data = 0;          // RLIMIT_DATA for the child, 0 to inherit
};

namespace detail {
// Runs in the forked child before exec: async-signal-safe calls only.
inline void child_redirect(const ChildIo &io, const char *out, const char *err, const char *in)
{
    const int flags = O_WRONLY | O_CREAT | (io.append ? O_APPEND : O_TRUNC);
    const int o = io.out_fd >= 0 ? io.out_fd : open(out, flags, 0644);
    const int e = open(err, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int i = open(in, O_RDONLY);
    if (o < 0 || e < 0 || i < 0 || dup2(i, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
        _exit(126);
    const rlimit nofile{io.nofile, io.nofile}, data{io.data, io.data};
    if ((io.nofile && setrlimit(RLIMIT_NOFILE, &nofile) != 0) || (io.data && setrlimit(RLIMIT_DATA, &data) != 0))
        _exit(126);
}
} // namespace detail

// Starts QUARN_EXE with args; its pid, or -1.
inline pid_t spawn_quarn(const std::vector<std::string> &args, const ChildIo &io)
{
    std::vector<char *> argv{const_cast<char *>(QUARN_EXE)};
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const char *out = io.out.empty() ? "/dev/null" : io.out.c_str();
    const char *err = io.err.empty() ? "/dev/null" : io.err.c_str();
    const char *in = io.in.empty() ? "/dev/null" : io.in.c_str();
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        detail::child_redirect(io, out, err, in);
        execv(QUARN_EXE, argv.data());
        _exit(127);
    }
    return pid;
}

// The child's wait status once it has ended within bound, else nullopt.
inline std::optional<int> wait_exit(pid_t pid, std::chrono::milliseconds bound = 10s)
{
    int status = 0;
    if (wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, bound))
        return status;
    return std::nullopt;
}

// Exit code, or 128 + signal for a child ended by a signal; -1 when it did not end.
inline int exit_code(std::optional<int> status)
{
    if (!status)
        return -1;
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
}

// Runs fn in a forked child, which then ends; for sending with the client
// library from a process of its own (fresh connection and control word).
// The child's standard output, where the library says why a record was
// lost, goes to out.
template <class Fn>
pid_t fork_client(Fn fn, const std::string &out = "/dev/null")
{
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        fn();
        fflush(nullptr);
        _exit(0);
    }
    return pid;
}
template <class Fn>
bool run_client(Fn fn)
{
    return exit_code(wait_exit(fork_client(fn), 30s)) == 0;
}

// A pipe whose read end the test drains without blocking.
class Pipe {
  public:
    Pipe()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) == 0) {
            rd_ = fds[0];
            wr_ = fds[1];
            fcntl(rd_, F_SETFL, O_NONBLOCK);
        }
    }
    ~Pipe()
    {
        close_write();
        if (rd_ >= 0)
            close(rd_);
    }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;
    int write_fd() const { return wr_; }
    void close_read()
    {
        if (rd_ >= 0)
            close(rd_);
        rd_ = -1;
    }
    void close_write()
    {
        if (wr_ >= 0)
            close(wr_);
        wr_ = -1;
    }
    // Everything read so far, after taking what is waiting now.
    const std::string &drain()
    {
        char buf[65536];
        ssize_t n;
        while ((n = read(rd_, buf, sizeof buf)) > 0)
            seen_.append(buf, static_cast<std::size_t>(n));
        return seen_;
    }

  private:
    int rd_ = -1, wr_ = -1;
    std::string seen_;
};

// True when a child's standard error holds a sanitizer's report: servers
// killed at the end of a test leave no exit status to show it.
inline bool sanitizer_report(const std::string &err)
{
    return err.find("Sanitizer") != std::string::npos || err.find("runtime error:") != std::string::npos;
}

// ---- the server ---------------------------------------------------------------

struct ServerArgs {
    std::string log_size = "1M";
    std::string sync_size = "0K";
    std::string print_level = "0";
};

// A quarn server on a log directory; killed at the end of the scope if a
// test did not stop it.
class Server {
  public:
    // Starts the server and waits until it listens.  Standard output goes
    // to "server.out" in the log directory unless io says otherwise.
    Server(const TempDir &dir, ServerArgs args = {}, ChildIo io = {}) : dir_(dir.str())
    {
        if (io.out.empty() && io.out_fd < 0)
            io.out = dir.file("server.out");
        if (io.err.empty())
            io.err = dir.file("server.err");
        out_ = io.out;
        err_ = io.err;
        pid_ = spawn_quarn({dir_, args.log_size, args.sync_size, args.print_level}, io);
        listening_ = wait_until([&] { return name_is_listening() || ended(); }) && !ended();
    }
    ~Server()
    {
        if (!ended()) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (sanitizer_report(err()))
            ADD_FAILURE() << "the server's sanitizer reported:\n" << err();
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    bool listening() const { return listening_; }
    pid_t pid() const { return pid_; }
    std::string out() const { return read_file(out_); }
    // Standard output without the lines receive threads print when their
    // connection ends, which may fall between the lines of a command.
    std::string lines() const
    {
        std::string text = out();
        const std::string_view close_line = "client is close \n";
        for (auto at = text.find(close_line); at != std::string::npos; at = text.find(close_line, at))
            text.erase(at, close_line.size());
        return text;
    }
    bool wait_lines(std::string_view text, std::chrono::milliseconds bound = 10s) const
    {
        return wait_until([&] { return lines().find(text) != std::string::npos; }, bound);
    }
    std::string err() const { return read_file(err_); }
    std::string log(const std::string &name) const { return read_file(dir_ + "/" + name); }
    // What a failed start looked like, for assertion messages.
    std::string report() const { return "stdout:\n" + out() + "\nstderr:\n" + err(); }

    // Sends sig and collects the exit code (exit_code above) within bound,
    // calling meanwhile while it waits.
    int stop(int sig = SIGTERM, std::chrono::milliseconds bound = 20s, const std::function<void()> &meanwhile = {})
    {
        if (!ended())
            kill(pid_, sig);
        wait_until([&] {
            if (meanwhile)
                meanwhile();
            return ended();
        }, bound);
        return exit_code(status_);
    }
    // Waits until stdout holds needle at least n times.
    bool wait_out(std::string_view needle, std::size_t n = 1, std::chrono::milliseconds bound = 10s) const
    {
        return wait_until([&] { return count(out(), needle) >= n; }, bound);
    }
    bool wait_log(const std::string &name, std::string_view needle, std::chrono::milliseconds bound = 10s) const
    {
        return wait_until([&] { return log(name).find(needle) != std::string::npos; }, bound);
    }

  private:
    bool ended()
    {
        if (status_)
            return true;
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_)
            status_ = st;
        return status_.has_value();
    }

    std::string dir_, out_, err_;
    pid_t pid_ = -1;
    bool listening_ = false;
    std::optional<int> status_;
};

// Returns once the print thread has handled everything sent on conn before:
// an application "level<n>" command that keeps the level as it is, whose
// reply appears on the server's standard output.
inline bool settle(const Server &srv, RawConn &conn, int app_level)
{
    const std::string reply = "logPrintLevel = " + std::to_string(app_level) + " \n";
    const std::size_t seen = count(srv.out(), reply);
    return conn.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "level" + std::to_string(app_level)) &&
           srv.wait_out(reply, seen + 1);
}

// Returns once mark, a DSP error line (shown while the DSP print level is
// at most 3), is on the console: what conn carried before it is there too.
inline bool console_mark(const Server &srv, RawConn &conn, const std::string &mark)
{
    return conn.send(QUARN_TYPE_DSP, QUARN_LEVEL_ERROR, mark + "\n") && srv.wait_out(mark + "\n");
}

// ---- the control client -------------------------------------------------------

struct CliResult {
    int status;      // exit code, -1 when it did not end within the bound
    std::string out; // its standard output
    std::string err; // its standard error
};

// Runs `quarn args...` to its end.  out_path names its standard output
// file (a fresh one when empty); append keeps that file's content.
inline CliResult run_cli(const std::vector<std::string> &args, std::string out_path = "", bool append = false)
{
    TempDir tmp;
    if (out_path.empty())
        out_path = tmp.file("out");
    ChildIo io;
    io.out = out_path;
    io.append = append;
    io.err = tmp.file("err");
    const pid_t pid = spawn_quarn(args, io);
    auto status = wait_exit(pid, 10s);
    if (!status) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    const std::string err = read_file(io.err);
    if (sanitizer_report(err))
        ADD_FAILURE() << "the control client's sanitizer reported:\n" << err;
    return {exit_code(status), read_file(out_path), err};
}

// ---- what the server looks like from outside -----------------------------------

// The application print level in the control word; nullopt while no
// server has created it.
inline std::optional<uint32_t> control_word()
{
    const int id = shmget(QUARN_CTRL_KEY, sizeof(uint32_t), 0666);
    if (id < 0)
        return std::nullopt;
    void *addr = shmat(id, nullptr, SHM_RDONLY);
    if (addr == reinterpret_cast<void *>(-1))
        return std::nullopt;
    const uint32_t value = *static_cast<volatile uint32_t *>(addr);
    shmdt(addr);
    return value;
}

// The names of pid's threads, one per thread.
inline std::vector<std::string> thread_names(pid_t pid)
{
    std::vector<std::string> names;
    std::error_code ec;
    const std::string task = "/proc/" + std::to_string(pid) + "/task";
    for (const auto &t : std::filesystem::directory_iterator(task, ec)) {
        std::string name = read_file(t.path().string() + "/comm");
        if (!name.empty() && name.back() == '\n')
            name.pop_back();
        names.push_back(name);
    }
    return names;
}

inline std::size_t threads_named(pid_t pid, std::string_view prefix)
{
    std::size_t n = 0;
    for (const auto &name : thread_names(pid))
        n += name.starts_with(prefix);
    return n;
}

// The scheduler state letter of one thread (R running, S sleeping, ...).
inline char thread_state(pid_t pid, pid_t tid)
{
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/stat");
    const auto close_paren = stat.rfind(')');
    return close_paren == std::string::npos || close_paren + 2 >= stat.size() ? '?' : stat[close_paren + 2];
}

// True when a thread of pid sleeps in a kernel function whose name holds wchan.
inline bool thread_waiting_in(pid_t pid, std::string_view wchan)
{
    std::error_code ec;
    for (const auto &t : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec))
        if (read_file(t.path().string() + "/wchan").find(wchan) != std::string::npos)
            return true;
    return false;
}

// True when every receive thread of pid sleeps in a socket read: all bytes
// the server took off its connections have been handed on.
inline bool receivers_idle(pid_t pid)
{
    std::error_code ec;
    const std::string task = "/proc/" + std::to_string(pid) + "/task";
    for (const auto &t : std::filesystem::directory_iterator(task, ec)) {
        if (read_file(t.path().string() + "/comm") != "quarn_sv_rv\n")
            continue;
        if (read_file(t.path().string() + "/wchan").find("unix_stream") == std::string::npos)
            return false;
    }
    return true;
}

inline std::size_t open_descriptors(pid_t pid)
{
    std::error_code ec;
    std::size_t n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

} // namespace e2e
