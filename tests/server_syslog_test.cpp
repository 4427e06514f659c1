// The system log socket against the real senders (util-linux logger,
// glibc's syslog(3), Python's SysLogHandler), malformed datagrams, the
// socket's start-up, forwarding of syslog lines, and the shell's words
// quarn log and quarn run.
#include "harness.h"

#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <syslog.h>

#include <regex>

namespace {

using namespace e2e;

constexpr char DEV_LOG[] = "/dev/log"; // syslog(3) knows no other path

// A /dev of this process's own (a fresh tmpfs in a private mount
// namespace, with null and urandom), so /dev/log is free for the server.
bool own_dev()
{
    static const bool done = [] {
        const auto node = [](const char *path, unsigned minor) {
            return mknod(path, S_IFCHR | 0666, makedev(1, minor)) == 0 && chmod(path, 0666) == 0;
        };
        return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount("tmpfs", "/dev", "tmpfs", 0, "mode=755") == 0 && node("/dev/null", 3) && node("/dev/urandom", 9);
    }();
    return done;
}

// The socket's tests: the server is told to serve /dev/log, which is free
// in this process's own /dev.
class SyslogSocket : public testing::Test {
  protected:
    void SetUp() override
    {
        if (!own_dev())
            GTEST_SKIP() << "needs a private mount namespace for /dev/log; run as root";
    }
    const Env sock_{"QUARN_SYSLOG", DEV_LOG};
};

int sh(const std::string &script) { return run({"/bin/sh", "-c", script}); }

// quarn read's lines of tag, without their time stamps.
std::string lines_of(const Server &srv, const std::string &tag)
{
    const CliResult r = run_cli({"read", "--no-color", "-t", tag, srv.dir()});
    std::string text;
    for (size_t at = 0, nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1)
        text += r.out.substr(std::min(at + 21, nl), nl - std::min(at + 21, nl)) + "\n";
    return text;
}

constexpr const char *NAMES[] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};
constexpr const char *LABELS[] = {"ERROR", "ERROR", "ERROR", "ERROR", "WARN", "INFO", "INFO", "DBUG"};

// Each sender's tag, and how it sends every priority, "prio N", in order.
const std::pair<const char *, std::function<void()>> SENDERS[] = {
    {"logger_t",
     [] {
         for (const char *p : NAMES)
             run({"logger", "--socket-errors=on", "-u", DEV_LOG, "-t", "logger_t", "-p", std::string("user.") + p,
                  std::string("prio ") + p});
     }},
    {"syslog3_t",
     [] {
         wait_exit(fork_client([] {
             openlog("syslog3_t", LOG_PID | LOG_NDELAY, LOG_USER);
             for (int p = 0; p < 8; ++p)
                 syslog(p, "prio %s", NAMES[p]);
             closelog();
         }));
     }},
    {"python_t",
     [] {
         run({"python3", "-c",
              "import logging, logging.handlers as H\n"
              "h = H.SysLogHandler(address='/dev/log'); h.ident = 'python_t: '\n"
              "names = ['emerg','alert','crit','err','warning','notice','info','debug']\n"
              "h.priority_map = {n: n for n in names}\n"
              "log = logging.getLogger('t'); log.addHandler(h); log.setLevel(1)\n"
              "for i, n in enumerate(names):\n"
              "    logging.addLevelName(60 - i, n); log.log(60 - i, 'prio ' + n)\n"});
     }},
};

// Every priority of every real sender arrives once with its level and tag;
// debug, like the library's debug lines, is shown and not stored.
TEST_F(SyslogSocket, EveryPriorityOfEverySenderArrivesOnce)
{
    Server srv({"1M", "0K", "0"});
    ASSERT_TRUE(srv.up()) << srv.report();
    for (const auto &[tag, send] : SENDERS) {
        send();
        const std::string debug = std::string("[DBUG][") + tag + "]prio debug";
        std::string want;
        for (int p = 0; p < 7; ++p)
            want += std::string("[") + LABELS[p] + "][" + tag + "]prio " + NAMES[p] + "\n";
        srv.wait_out(debug);
        ASSERT_TRUE(srv.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "sync") && srv.settle(0)); // debug stays shown
        EXPECT_EQ(lines_of(srv, tag) + std::to_string(count(srv.out(), debug)), want + "1") << tag;
    }
}

// Malformed and unusual datagrams: stored as well as they can be, or
// refused.  The socket is open to every user: "kern" from root reaches
// quarn.bsp, from anyone else it is stored as a user line in quarn.app.
// Forwarding sends a line with its own facility and severity, and its
// sender's pid as PROCID.
TEST_F(SyslogSocket, DatagramsAreStoredOrRefusedKernelLinesComeOnlyFromThePrivilegedAndForwardingKeepsTheirOrigin)
{
    KernelLogTurn turn;
    TempDir tmp;
    const int collector = dgram_bound(tmp.file("c.sock"));
    const Env fwd("QUARN_FORWARD", "unix://" + tmp.file("c.sock"));
    Server srv;
    ASSERT_TRUE(turn.held() && collector >= 0 && srv.up() && srv.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "bsp_init 65536 3600") &&
                srv.wait_out("quarn.bsp open !!!")) << srv.report();
    const std::string x1500(1500, 'x');
    const std::pair<std::string, std::string> rows[] = {
        {"<157>fwd_t: hello fwd", "[INFO][fwd_t]hello fwd\n"}, // local3.notice, forwarded first
        {"<13>Dec  9 06:16:47 m1[42]: glibc", "[INFO][m1]glibc\n"},
        {"<11>m2: no stamp", "[ERROR][m2]no stamp\n"},
        {"<30>Dec 10 01:02:03 relayhost m3[7]: behind a host", "[INFO][m3]behind a host\n"},
        {"<165>1 2003-10-11T22:14:15Z h m4 99 ID [ex@1 a=\"]\\\"\"] \xEF\xBB\xBFrfc5424", "[INFO][m4]rfc5424\n"},
        {"m5: without PRI", "[INFO][m5]without PRI\n"},
        {"<192>m6: PRI over 191", "[INFO][syslog]<192>m6: PRI over 191\n"},
        {std::string("<12>m7: ctl\x01\x1b[1mx\0", 19), "[WARN][m7]ctl  [1mx\n"},
        {"<14>m8: two\nlines\n", "[INFO][m8]two\n[INFO][m8]lines\n"},
        {"<14>m9: " + x1500, "[INFO][m9]" + x1500.substr(0, 1022) + "\n[INFO][m9]" + x1500.substr(1022) + "\n"},
        {"<3>k_root: kern from root", ""}, // to quarn.bsp
        {"", ""}, {"<14>", ""},
        {"<14>end: of the rows", ""},
    };
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, "/dev/log"};
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    std::string want = "[ERROR][k_nobody]kern from nobody\n", got;
    for (const auto &[datagram, stored] : rows)
        send(fd, datagram.data(), datagram.size(), 0), want += stored;
    close(fd);
    // logger and syslog(3) never send "kern": a program that writes its own datagram does.
    std::vector<std::string> as_nobody = AS_NOBODY;
    as_nobody.insert(as_nobody.end(), {"/usr/bin/python3", "-c", "import socket; socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)"
                                       ".sendto(b'<3>k_nobody: kern from nobody', '/dev/log')"});
    ASSERT_EQ(run(as_nobody), 0);
    ASSERT_TRUE(srv.wait_out("[end]of the rows") && srv.wait_out("kern from nobody"));
    ASSERT_TRUE(srv.round_trip(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "stats", "refused") && srv.sync());
    for (const char *tag : {"k_nobody", "fwd_t", "m1", "m2", "m3", "m4", "m5", "syslog", "m7", "m8", "m9", "k_root"})
        got += lines_of(srv, tag);
    EXPECT_EQ(got + std::to_string(count(srv.out(), " 2 refused;")), want + "1") << srv.report();
    const std::string bsp = srv.log("quarn.bsp");
    EXPECT_TRUE(count(bsp, "[ERROR][k_root]kern from root\n") == 1 && !has(bsp, "nobody")) << bsp;
    std::string forwarded; // the collector's datagrams, a line each
    wait_until([&] {
        char msg[2048];
        for (ssize_t n; (n = recv(collector, msg, sizeof msg, MSG_DONTWAIT)) > 0;)
            forwarded.append(msg, size_t(n)).append("\n");
        return has(forwarded, "hello fwd");
    });
    // APP-NAME and MSGID are the tag
    const std::regex sent("(^|\n)<157>1 \\S+ \\S+ fwd_t " + std::to_string(getpid()) + " fwd_t \\[[^\n]*hello fwd\n");
    EXPECT_TRUE(std::regex_search(forwarded, sent)) << forwarded;
    close(collector);
}

// The socket's path at start-up: a stale socket is replaced and made 0666
// (mode 49590 is 0140666), a served one or anything else is refused with
// exit 1.
TEST_F(SyslogSocket, PathIsTakenOnlyWhenNobodyServesIt)
{
    const auto bound = [](bool keep) { const int fd = dgram_bound(DEV_LOG); return keep ? fd : (close(fd), -1); };
    // QUARN_SYSLOG, what to make lie at /dev/log (a descriptor to close afterwards), and the outcome
    const std::tuple<std::string, std::function<int()>, std::string> rows[] = {
        {DEV_LOG, [&] { return bound(false); }, "exit 0, mode 49590: system log socket /dev/log"},
        {DEV_LOG, [&] { return bound(true); }, "exit 1, mode 49645: system log socket /dev/log: already served by another process"},
        {DEV_LOG, [] { return write_file(DEV_LOG, "x"), -1; }, "exit 1, mode 33188: system log socket /dev/log: exists and is not a socket"},
        {"dev/log", [] { return -1; }, "exit 1, mode 0: QUARN_SYSLOG=dev/log: an absolute path of at most 107 characters"},
    };
    for (const auto &[path, make, expected] : rows) {
        unlink(DEV_LOG);
        const int keep = make();
        const Env sock("QUARN_SYSLOG", path);
        Server srv;
        // the server listens before it takes the path: stat once it has spoken
        srv.wait_out(expected.substr(expected.find(": ") + 2));
        struct stat st{};
        const std::string mode = std::to_string(stat(DEV_LOG, &st) == 0 ? st.st_mode : 0);
        const std::string status = std::to_string(srv.stop()), out = srv.out(), second = out.substr(out.find('\n') + 1);
        const std::string outcome = "exit " + status + ", mode " + mode + ": " + second.substr(0, second.find('\n'));
        close(keep);
        EXPECT_EQ(outcome, expected) << srv.report();
    }
}

// quarn log and quarn run: what is stored and the exit status.
TEST(ShellWords, LogAndRunStoreEveryLineAndExitAsTheySay)
{
    const passwd *pw = getpwuid(geteuid());
    const std::string user = pw ? pw->pw_name : "quarn", x2500(2500, 'x');
    // a script that runs `$Q log ...` or `$Q run ...` ($Q the executable), the tag whose lines quarn read
    // shows, those lines without time stamps, and the script's exit status
    const std::tuple<std::string, std::string, std::string, int> rows[] = {
        {"$Q log -p warn -t w1 hello  world", "w1", "[WARN][w1]hello world\n", 0},
        {"printf 'a\\n\\nb\\npartial' | $Q log -t w2 -p error", "w2", "[ERROR][w2]a\n[ERROR][w2]\n[ERROR][w2]b\n[ERROR][w2]partial\n", 0},
        {"$Q log -t w3 -- -p is a word", "w3", "[INFO][w3]-p is a word\n", 0},
        {"$Q log -p loud -t w4 x", "w4", "", 2},
        {"$Q log from the user", user, "[INFO][" + user + "]from the user\n", 0},
        {"$Q run -t r1 -- sh -c 'echo out; echo err >&2; exit 3'", "r1", "[INFO][r1]out\n[WARN][r1]err\n", 3},
        {"$Q run -t r2 -- sh -c 'printf no-newline; printf \" \" >&2'", "r2", "[INFO][r2]no-newline\n[WARN][r2] \n", 0},
        {"$Q run -t r3 -- sh -c 'echo dying; kill -9 $$'", "r3", "[INFO][r3]dying\n", 137},
        {"$Q run -t r4 -- sh -c 'head -c 2500 /dev/zero | tr \"\\0\" x'", "r4",
         "[INFO][r4]" + x2500.substr(0, 1022) + "\n[INFO][r4]" + x2500.substr(1022, 1022) + "\n[INFO][r4]" + x2500.substr(2044) + "\n", 0},
        {"$Q run -t r5 -- sh -c 'trap \"echo got TERM; exit 7\" TERM; echo ready; while :; do sleep 0.1; done' & "
         "while ! $Q read -t r5 $D | grep -q ready; do $Q sync; sleep 0.1; done; kill -TERM $!; wait $!", "r5",
         "[INFO][r5]ready\n[INFO][r5]got TERM\n", 7},
        {"$Q run -- /no/such/program", "program", "", 127},
        {"$Q run -- sh -c 'echo by base name'", "sh", "[INFO][sh]by base name\n", 0},
    };
    const std::string q = QUARN_EXE;
    EXPECT_EQ(sh(q + " log -t w0 nobody listens"), 1) << "without a server the line is lost";
    Server srv;
    ASSERT_TRUE(srv.up()) << srv.report();
    for (const auto &[script, tag, lines, exit_status] : rows) {
        const Env exe("Q", q), dir("D", srv.dir());
        const int status = sh(script);
        std::string stored; // the command's connection may still hold lines when it has ended
        wait_until([&] { return srv.sync() && (stored = lines_of(srv, tag)) == lines; }, 5s);
        EXPECT_EQ(stored + "exit " + std::to_string(status), lines + "exit " + std::to_string(exit_status)) << script;
    }
}

} // namespace
