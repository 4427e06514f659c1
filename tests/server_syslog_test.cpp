// The server's faces to the rest of the board: forwarding to a real syslog
// collector (rsyslog, started by each test in the test's own network
// namespace); the system log socket against the real senders (util-linux
// logger, glibc's syslog(3), Python's SysLogHandler), malformed datagrams,
// the socket's start-up and forwarding of syslog lines; the shell's words
// quarn log and quarn run; and the server under a board's init: the init
// script and its readiness notification.
#include "harness.h"

#include <net/if.h>
#include <pwd.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <syslog.h>

#include <regex>

namespace {

using namespace e2e;

constexpr char RSYSLOGD[] = "/usr/sbin/rsyslogd";

// A fresh network namespace starts with loopback down.
bool loopback_up()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    strcpy(ifr.ifr_name, "lo");
    const bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &ifr) == 0);
    close(fd);
    return ok;
}

// rsyslog on 127.0.0.1 (UDP and TCP) and on a Unix datagram socket, one
// line per message: PRI MSGID STRUCTURED-DATA MSG.
class Collector {
  public:
    Collector()
    {
        write_file(dir_.file("conf"),
                   "global(workDirectory=\"" + dir_.path + "\")\n"
                   "module(load=\"imudp\")\nmodule(load=\"imtcp\")\nmodule(load=\"imuxsock\" SysSock.Use=\"off\")\n"
                   "input(type=\"imudp\" address=\"127.0.0.1\" port=\"5514\" rcvBufSize=\"8m\")\n" // holds a burst
                   "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"5514\")\n"
                   "input(type=\"imuxsock\" Socket=\"" + socket() + "\" UseSpecialParser=\"off\" RateLimit.Interval=\"0\")\n"
                   "template(name=\"t\" type=\"string\" string=\"%pri% %msgid% %structured-data% %msg%\\n\")\n"
                   "action(type=\"omfile\" file=\"" + dir_.file("received") + "\" template=\"t\")\n");
    }
    ~Collector() { stop(); }
    bool start()
    {
        if (!loopback_up())
            return false;
        pid_ = spawn_exec({RSYSLOGD, "-n", "-f", dir_.file("conf"), "-i", dir_.file("pid")}, {.out = dir_.file("rsyslog.out")});
        // Listening on TCP port 5514 (hex 158A), then on the Unix socket.
        return wait_until([] { return has(read_file("/proc/net/tcp"), ":158A 00000000:0000 0A"); }, 20s) &&
               wait_until([&] { return access(socket().c_str(), F_OK) == 0; });
    }
    void stop()
    {
        if (pid_ > 0)
            kill(pid_, SIGTERM), wait_exit(pid_), pid_ = -1;
    }
    std::string socket() const { return dir_.file("log.sock"); }
    std::string received() const { return read_file(dir_.file("received")); }
    bool wait_for(const std::string &text, std::size_t times = 1, std::chrono::milliseconds bound = 30s) const
    {
        return wait_until([&] { return count(received(), text) >= times; }, bound);
    }

  private:
    TempDir dir_;
    pid_t pid_ = -1;
};

std::string numbered(const std::string &stem, int n)
{
    std::string records;
    for (int i = 0; i < n; ++i)
        records += make_record(QUARN_TYPE_APP, QUARN_LEVEL_FILE, stem + std::to_string(i) + " " + std::string(80, '.') + "\n");
    return records;
}

class EveryStoredLine : public testing::TestWithParam<std::string> {};

// Each kind and level arrives once, with its severity (PRI under local0),
// tag and kind; a burst arrives whole.  Kernel lines keep their own "<N>".
TEST_P(EveryStoredLine, ArrivesOnceWithSeverityTagAndKind)
{
    if (access(RSYSLOGD, X_OK) != 0 || access("/dev/kmsg", W_OK) != 0)
        GTEST_SKIP() << "needs rsyslogd (apt-get install rsyslog; tools/deps.sh does) and a writable /dev/kmsg";
    KernelLogTurn turn;
    Collector c;
    ASSERT_TRUE(turn.held() && c.start());
    const Env fwd("QUARN_FORWARD", GetParam() == "unix" ? "unix://" + c.socket() : GetParam() + "://127.0.0.1:5514");
    Server s({"4M", "64K", "1"});
    ASSERT_TRUE(s.up()) << s.report();
    ASSERT_TRUE(s.round_trip(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 0 1", "logSize = 0x100000"));
    // type, level, text, and the line the collector gets ("" none)
    const std::tuple<uint16_t, int, std::string, std::string> rows[] = {
        {QUARN_TYPE_APP, QUARN_LEVEL_INFO, "app-info\n", "134 TEST [quarn@32473 kind=\"app\" level=\"1\"] app-info\n"},
        {QUARN_TYPE_APP, QUARN_LEVEL_WARN, "app-warn\n", "132 TEST [quarn@32473 kind=\"app\" level=\"2\"] app-warn\n"},
        {QUARN_TYPE_APP, QUARN_LEVEL_ERROR, "app-err \xff\n", "131 TEST [quarn@32473 kind=\"app\" level=\"3\"] app-err \\xFF\n"},
        {QUARN_TYPE_APP, QUARN_LEVEL_FILE, "app-file\n", "134 TEST [quarn@32473 kind=\"app\" level=\"4\"] app-file\n"},
        {QUARN_TYPE_BSP, QUARN_LEVEL_ERROR, "bsp-err\n", "131 TEST [quarn@32473 kind=\"bsp\" level=\"3\"] bsp-err\n"},
        {QUARN_TYPE_DSP, QUARN_LEVEL_WARN, "dsp-warn\n", "132 TEST [quarn@32473 kind=\"dsp\" level=\"2\"] dsp-warn\n"},
        {QUARN_TYPE_APP, QUARN_LEVEL_DEBUG, "app-debug-never-stored\n", ""},
    };
    for (const auto &[type, level, text, expect] : rows)
        ASSERT_TRUE(s.send(type, level, text));
    ASSERT_TRUE(send_all(s.conn(), numbered("burst-", 500)));
    // Written again while it does not arrive: something outside may read the kernel log too.
    const std::string kline = "kline-" + std::to_string(getpid());
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "bsp_init 65536 1") && s.settle());
    EXPECT_TRUE(wait_until([&] { return kmsg("<3>" + kline + "\n") && c.wait_for(kline, 1, 3s); }, 30s));
    ASSERT_TRUE(c.wait_for("burst-499 ")) << c.received();
    const std::string got = c.received();
    for (const auto &[type, level, text, expect] : rows) {
        EXPECT_EQ(count(got, text.substr(0, 8)), expect.empty() ? 0u : 1u) << text << got;
        EXPECT_EQ(count(got, expect.empty() ? "\x01" : expect), expect.empty() ? 0u : 1u) << expect;
    }
    EXPECT_EQ(count(got, "134 TEST [quarn@32473 kind=\"app\" level=\"4\"] burst-"), 500u);
    const auto at = got.find("131 - [quarn@32473 kind=\"bsp\" level=\"4\"] <11>");
    EXPECT_TRUE(at != std::string::npos && got.find(kline, at) < got.find('\n', at)) << got;
}

INSTANTIATE_TEST_SUITE_P(Transports, EveryStoredLine, testing::Values("tcp", "udp", "unix"));

// The collector stops mid-stream: the server stores everything at full
// speed, and every line is either forwarded once the collector is back or
// counted in the "lines not forwarded" warning, which is stored too.
TEST(Forward, CollectorDownBlocksNothingAndTheGapIsReported)
{
    if (access(RSYSLOGD, X_OK) != 0)
        GTEST_SKIP() << "rsyslogd missing: apt-get install rsyslog (tools/deps.sh does)";
    Collector c;
    ASSERT_TRUE(c.start());
    const Env fwd("QUARN_FORWARD", "tcp://127.0.0.1:5514");
    Server s({"4M", "64K", "1"});
    ASSERT_TRUE(s.up() && send_all(s.conn(), numbered("before-", 20)) && c.wait_for("before-19 "));
    c.stop();
    constexpr int GAP = 12000; // about twice what the 1 MiB queue holds
    ASSERT_TRUE(send_all(s.conn(), numbered("gap-", GAP)) && s.sync());
    EXPECT_EQ(count(s.log("quarn.app"), "gap-"), static_cast<std::size_t>(GAP));
    // The report comes once the collector takes lines again; a line sent
    // before that may meet a full queue and be counted instead.
    ASSERT_TRUE(c.start() && c.wait_for(" lines not forwarded", 1, 90s)) << s.report();
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "after\n") && c.wait_for("] after\n")) << s.report();
    const std::string got = c.received();
    const auto at = got.find("132 quarn [quarn@32473 kind=\"app\" level=\"2\"] ["), warn = got.find("][WARN][quarn]", at);
    ASSERT_TRUE(at != std::string::npos && warn != std::string::npos) << got;
    const unsigned long reported = std::stoul(got.substr(warn + 14));
    EXPECT_TRUE(got.substr(warn + 14, 30).starts_with(std::to_string(reported) + " lines not forwarded") && reported > 0 &&
                count(got, "] gap-") + reported == std::size_t{GAP} && s.sync() && count(s.log("quarn.app"), " lines not forwarded\n") == 1)
        << got.substr(warn, 60) << count(got, "] gap-");
}

// Malformed settings end start-up with status 1 and the reason; the forms
// the README names start and store what they are sent.  DNS may come up
// after the server: a name that does not resolve neither fails start-up
// nor holds the server, and SIGTERM ends it after at most the 2 s flush,
// saying what was not forwarded.
TEST(Forward, MalformedSettingsAreRefusedAtStartUp)
{
    // QUARN_FORWARD, QUARN_FORWARD_FACILITY, the exit status (1 refused, 0
    // accepted), and the reason or what the stop says
    const std::tuple<const char *, const char *, int, const char *> rows[] = {
        {"ftp://h:1", "", 1, "not one of udp://HOST:PORT"},
        {"udp://host", "", 1, "no :PORT"},
        {"udp://host:0", "", 1, "PORT must be a number 1..65535"},
        {"tcp://host:65536", "", 1, "PORT must be a number 1..65535"},
        {"tcp://:514", "", 1, "no host"},
        {"tcp://::1:514", "", 1, "IPv6 address goes in brackets"},
        {"tcp://[::1:514", "", 1, "'[' without ']'"},
        {"tcp://[1.2.3.4]:514", "", 1, "not an IPv6 address"},
        {"tcp://300.1.1.1:514", "", 1, "not an IPv4 address"},
        {"tcp://bad host:514", "", 1, "host name with a character"},
        {"unix://log.sock", "", 1, "absolute path"},
        {"udp://h:514", "local8", 1, "not a facility"},
        {"udp://h:514", "24", 1, "a facility number is 0..23"},
        {"udp://127.0.0.1:514", "local3", 0, ""},
        {"tcp://[::1]:6514", "17", 0, ""},
        {"tcp://collector.invalid:514", "daemon", 0, "lines not forwarded"},
        {"unix:///nonexistent/log.sock", "", 0, ""},
    };
    for (const auto &[forward, facility, refused, says] : rows) {
        const Env fwd("QUARN_FORWARD", forward), fac("QUARN_FORWARD_FACILITY", facility);
        Server s;
        const bool stored = s.up() && send_all(s.conn(), numbered("line-", 300)) && s.sync() && count(s.log("quarn.app"), "line-") == 300;
        const int status = s.stop(refused ? 0 : SIGTERM, 10s);
        EXPECT_TRUE(status == refused && stored == !refused && has(s.out(), says)) << forward << ": " << status << " " << s.report();
    }
}

// The init script starts the built server, reports it, and stops it in
// order: a line sent before the stop is in the log file afterwards.  A
// Type=notify manager (here on an abstract socket) hears READY=1 once
// clients can connect.
TEST(Service, InitScriptStartsReportsAndStopsInOrder)
{
    if (access("/sbin/start-stop-daemon", X_OK) != 0 && access("/usr/sbin/start-stop-daemon", X_OK) != 0)
        GTEST_SKIP() << "start-stop-daemon missing";
    prctl(PR_SET_CHILD_SUBREAPER, 1); // the daemon is ours to reap once it ends
    TempDir dir;
    const Env bin("QUARN_BIN", QUARN_EXE), logs("QUARN_LOGDIR", dir.file("logs")), pidf("QUARN_PIDFILE", dir.file("pid")),
        out("QUARN_OUTPUT", dir.file("out")), defaults("QUARN_DEFAULTS", "/nonexistent");
    const auto init = [&](const char *word) {
        return wait_exit(spawn({}, [&] { execl("/bin/sh", "sh", QUARN_SOURCE_DIR "/packaging/quarn.init", word, nullptr); }), 60s);
    };
    const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, "\0quarn-test-notify"};
    ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr *>(&addr), offsetof(sockaddr_un, sun_path) + 18), 0);
    const Env ready("NOTIFY_SOCKET", "@quarn-test-notify");
    ASSERT_EQ(init("start"), 0) << read_file(dir.file("out"));
    EXPECT_EQ(init("status"), 0);
    const pid_t pid = std::stoi(read_file(dir.file("pid")));
    pollfd p{notify, POLLIN, 0};
    char msg[64] = {};
    EXPECT_TRUE(poll(&p, 1, 20000) == 1 && recv(notify, msg, sizeof msg - 1, 0) > 0 && msg == std::string("READY=1")) << msg;
    const int conn = quarn_socket();
    EXPECT_TRUE(send_all(conn, make_record(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "before-stop\n") +
                                   make_record(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "level1")));
    EXPECT_TRUE(wait_until([&] { return count(read_file(dir.file("out")), "logPrintLevel = 1 \n"); }));
    close(conn), close(notify);
    EXPECT_EQ(init("stop"), 0);
    // Ours to reap as its subreaper; under a user-mode emulator, which keeps
    // that to itself, init reaps it and only its absence shows.
    int st = -1;
    EXPECT_TRUE(wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid || (errno == ECHILD && kill(pid, 0) != 0); }, 5s));
    EXPECT_TRUE((st == -1 || (WIFEXITED(st) && WEXITSTATUS(st) == 0)) && init("status") == 3 &&
                count(read_file(dir.file("logs/quarn.app")), "before-stop\n") == 1) << st;
}

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
