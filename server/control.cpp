// The control client: sends one command record to the running server.
#include "quarn_server.h"

#include "quarn.h"
#include "socket.h"
#include "line.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <chrono>
#include <string>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int QUARN_REPLY_WAIT_MS = 5000; // how long the control client waits for the server's answer

// Reads the reply line into out within the wait; false when none came.
bool _read_reply_(int fd, std::string &out)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(QUARN_REPLY_WAIT_MS);
    char buf[512];
    while (out.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        out.append(buf, static_cast<size_t>(n));
    }
    out.erase(out.find('\n') + 1);
    return true;
}

// Sends the command on a connection of its own, asking for a reply, and
// prints the reply: 0 done (or the counters), 1 refused, no server, or no
// answer within the wait (a server too old to answer, or a full ring).
int _send_command_(const char *text)
{
    const int fd = bsp_quarn_socket_client_create();
    if (fd < 0) {
        int pid = 0;
        unsigned uid = 0;
        if (errno == EPERM && quarn_socket_holder(&pid, &uid) == 0)
            printf("the socket name is held by pid %d (uid %u), which is neither root nor this user: not sent\n", pid,
                   uid);
        else
            printf("connect failed: %s\nno quarn server is running\n", strerror(errno));
        return 1;
    }
    const size_t len = strlen(text);
    quarn_msg_head_t head{QUARN_MSG_MAGIC, QUARN_TYPE_APP, static_cast<uint16_t>(len), QUARN_LEVEL_CMD, "CMD"};
    head.name[QUARN_MSG_NAME_LEN - 1] = 1; // asks for the reply
    const std::string rec = std::string(reinterpret_cast<const char *>(&head), sizeof head).append(text, len);
    std::string reply;
    const bool answered = bsp_quarn_socket_send(fd, rec.data(), static_cast<int>(rec.size())) == 0 && _read_reply_(fd, reply);
    close(fd);
    if (!answered) {
        puts("no answer from the quarn server");
        return 1;
    }
    fputs(reply.c_str(), stdout);
    return reply == "refused\n" ? 1 : 0;
}

// True when path names a terminal, a FIFO or a character device: the only
// consoles the server takes.  An anonymous pipe's link is no path at all.
bool _console_path_(const char *path)
{
    struct stat st;
    return path[0] == '/' && stat(path, &st) == 0 && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode));
}

// Tells the server to move its console to the terminal (or FIFO, or
// character device) that this process's standard output names.
int _redirect_()
{
    char link[1024] = {};
    char path[1024] = {};
    snprintf(link, sizeof link, "/proc/self/fd/%d", STDOUT_FILENO);
    if (readlink(link, path, sizeof path - 1) < 0)
        path[0] = '\0';
    printf("file_path = %s \n", path);
    if (!_console_path_(path)) {
        fflush(stdout);
        fprintf(stderr, "redirect: standard output (%s) is not a terminal, FIFO or character device\n", path);
        return 1;
    }
    return _send_command_(("redirect:" + std::string(path)).c_str());
}

// A level as a whole number (checked against 0..3 by the caller) or by
// its name; false for anything else.
bool _level_value_(const char *arg, int &n)
{
    static constexpr char NAMES[][6] = {"debug", "info", "warn", "error"};
    for (n = 0; n < 4; ++n)
        if (strcmp(arg, NAMES[n]) == 0)
            return true;
    // A whole number that fits an int, with an optional minus sign: the
    // caller names a negative one.
    const bool minus = arg[0] == '-';
    uint64_t value = 0;
    if (!logread_decimal(arg + minus, minus ? uint64_t{INT_MAX} + 1 : INT_MAX, value))
        return false;
    n = static_cast<int>(minus ? -static_cast<int64_t>(value) : static_cast<int64_t>(value));
    return true;
}

int _level_(int argc, char **argv)
{
    if (argc < 3) {
        _show_help();
        return 1;
    }
    int n = 0;
    if (!_level_value_(argv[2], n)) {
        printf("err level = %s: a whole number 0..3, or debug, info, warn, error\n", argv[2]);
        return 1;
    }
    if (n < 0 || n > 3) {
        printf("err level = %d\n", n);
        return 1;
    }
    char text[256] = {};
    snprintf(text, sizeof text, "%s%d", "level", n);
    return _send_command_(text);
}

// "interval N": whole seconds, 0 up to a day.
int _interval_(int argc, char **argv)
{
    if (argc < 3) {
        _show_help();
        return 1;
    }
    const char *arg = argv[2];
    const bool digits = arg[0] != '\0' && strspn(arg, "0123456789") == strlen(arg);
    if (!digits || strlen(arg) > 5 || atoi(arg) > 86400) {
        printf("err interval = %s: whole seconds, 0..86400\n", arg);
        return 1;
    }
    char text[32] = {};
    snprintf(text, sizeof text, "interval %d", atoi(arg));
    return _send_command_(text);
}

} // namespace

void _show_help()
{
    // One call, not one a line: each call costs the board's image some ten bytes.
    puts("\n~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\n"
         "quarn :\n"
         "sync               sync log info to log file\n"
         "redirect           redirect the print \n"
         "level +int         set print level to 0~4  \n"
         "                   0 debug   \n"
         "                   1 info   \n"
         "                   2 warning   \n"
         "                   3 error   \n"
         "                   (or by name: debug, info, warn, error)\n"
         "read [-f] [LOGDIR] show the log files oldest line first, -f to follow\n"
         "                   (quarn read --help lists the filters)\n"
         "stats              the server prints and stores its counters\n"
         "interval +int      write waiting log text within N seconds (0: by size only)\n"
         "log [-p L] [-t T]  send a message, or each line of standard input\n"
         "run [-t T] -- PROG run PROG, sending its output lines (stderr as warnings)\n"
         "--help, --version  this text; the version\n"
         "LOGDIR LOGSIZE SYNCSIZE LEVEL\n"
         "                   run the server: log files in LOGDIR of at most LOGSIZE,\n"
         "                   written every SYNCSIZE (sizes end in k, m or g: 1M 64K),\n"
         "                   lines of LEVEL and above shown; e.g. quarn logs 1M 64K 1\n"
         "                   (man quarn tells the whole story)\n"
         "~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~");
}

int quarn_control(int argc, char **argv)
{
    if (argc < 2) {
        _show_help();
        return 0;
    }
    const char *word = argv[1];
    if (strcmp(word, "--help") == 0 || strcmp(word, "-h") == 0 || strcmp(word, "help") == 0) {
        _show_help();
        return 0;
    }
    if (strcmp(word, "--version") == 0) {
        char ver[64] = {};
        quarn_get_version(ver, sizeof ver, nullptr, 0);
        printf("quarn %s\n", ver);
        return 0;
    }
    if (strcmp(word, "sync") == 0)
        return _send_command_("sync");
    if (strcmp(word, "level") == 0)
        return _level_(argc, argv);
    if (strcmp(word, "redirect") == 0)
        return _redirect_();
    if (strcmp(word, "stats") == 0)
        return _send_command_("stats");
    if (strcmp(word, "interval") == 0)
        return _interval_(argc, argv);
    if (argc > 2)
        printf("quarn: the server takes 4 arguments (LOGDIR LOGSIZE SYNCSIZE LEVEL), not %d\n", argc - 1);
    else
        printf("quarn: unknown command '%s'\n", word);
    _show_help();
    return 1;
}
