// quarn run [-t TAG] -- PROGRAM ARGS...: runs a service that has no log of
// its own with its standard output and standard error on pipes, and sends
// each stdout line at info and each stderr line at warning.  Signals are
// passed on to it; the exit status is its own, or 128 + the signal that
// ended it.
#include "quarn_server.h"

#include "line_feed.h"
#include "quarn.h"
#include "sender.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr int QUARN_RUN_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGWINCH, SIGCONT};

volatile sig_atomic_t g_child = 0; // the program's pid once it runs
int g_child_ended[2] = {-1, -1};   // self-pipe: SIGCHLD writes a byte, poll wakes

void _pass_on_(int sig)
{
    if (g_child > 0)
        kill(g_child, sig);
}

void _child_ended_(int)
{
    const int saved = errno;
    [[maybe_unused]] const ssize_t n = write(g_child_ended[1], "", 1);
    errno = saved;
}

void _install_(int sig, void (*handler)(int))
{
    struct sigaction sa{};
    sa.sa_handler = handler;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

// Runs PROGRAM with its output on the write ends of out and err; in the
// child, a failed exec says why on the caller's standard error and ends
// with 127 (126 when it exists but cannot run), as a shell would.
pid_t _start_(char **argv, const int out[2], const int err[2])
{
    const int own_err = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    const pid_t pid = fork();
    if (pid != 0) {
        close(own_err);
        return pid;
    }
    for (const int sig : QUARN_RUN_SIGNALS)
        signal(sig, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);
    if (dup2(out[1], STDOUT_FILENO) < 0 || dup2(err[1], STDERR_FILENO) < 0)
        _exit(126);
    execvp(argv[0], argv);
    const int e = errno;
    dprintf(own_err, "quarn run: cannot run %s: %s\n", argv[0], strerror(e));
    _exit(e == ENOENT ? 127 : 126);
}

// Reads what one pipe holds into its feed; false once it has ended.
bool _drain_(int fd, line_feed &feed)
{
    char buf[16384];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            feed.feed(buf, static_cast<size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return n < 0 && errno == EAGAIN;
    }
}

// Sends the program's lines until it has ended and its pipes hold no
// more; a descendant that keeps them open does not hold us once the
// program itself is gone.  Its wait status.
int _relay_(pid_t pid, int out, int err, line_feed &lines, line_feed &warnings)
{
    pollfd fds[3] = {{out, POLLIN, 0}, {err, POLLIN, 0}, {g_child_ended[0], POLLIN, 0}};
    int status = 0;
    bool ended = false;
    while (!ended && (fds[0].fd >= 0 || fds[1].fd >= 0)) {
        if (poll(fds, 3, -1) < 0 && errno != EINTR)
            break;
        ended = waitpid(pid, &status, WNOHANG) == pid;
        for (int i = 0; i < 2; ++i)
            if (fds[i].fd >= 0 && (fds[i].revents || ended) && !_drain_(fds[i].fd, i == 0 ? lines : warnings))
                fds[i].fd = -1;
        char b[64];
        if (fds[2].revents && read(g_child_ended[0], b, sizeof b) < 0)
            continue;
    }
    if (!ended)
        waitpid(pid, &status, 0);
    lines.finish();
    warnings.finish();
    return status;
}

} // namespace

int quarn_run(int argc, char **argv)
{
    std::string tag;
    int i = 1;
    if (i + 1 < argc && strcmp(argv[i], "-t") == 0)
        tag = argv[i + 1], i += 2;
    const bool dashes = i < argc && strcmp(argv[i], "--") == 0;
    i += dashes ? 1 : 0;
    if (i >= argc || (!dashes && argv[i][0] == '-')) {
        fputs("usage: quarn run [-t TAG] -- PROGRAM ARGS...\n", stderr);
        return 2;
    }
    if (tag.empty()) {
        const std::string_view program = argv[i];
        tag = program.substr(program.rfind('/') + 1); // npos + 1 is 0: the whole name
    }
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(g_child_ended, O_CLOEXEC | O_NONBLOCK) != 0) {
        perror("quarn run: pipe");
        return 126;
    }
    _install_(SIGCHLD, _child_ended_);
    for (const int sig : QUARN_RUN_SIGNALS)
        _install_(sig, _pass_on_);
    const pid_t pid = _start_(argv + i, out, err);
    if (pid < 0) {
        perror("quarn run: fork");
        return 126;
    }
    g_child = pid;
    close(out[1]);
    close(err[1]);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    line_feed lines(QUARN_APP_LOG_INIT, QUARN_LEVEL_INFO, tag), warnings(QUARN_APP_LOG_INIT, QUARN_LEVEL_WARN, tag);
    const int status = _relay_(pid, out[0], err[0], lines, warnings);
    fflush(stdout); // the library's own message, if it had to say why
    if (const uint64_t lost = quarn_sender_lost(); lost > 0)
        fprintf(stderr, "quarn run: %llu lines lost\n", static_cast<unsigned long long>(lost));
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}
