// Forwarding to a real syslog collector (rsyslog, started by each test in the
// test's own network namespace), and the server under a board's init:
// the init script and its readiness notification.
#include "harness.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>


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
    if (access(RSYSLOGD, X_OK) != 0)
        GTEST_SKIP() << "rsyslogd missing: apt-get install rsyslog (tools/deps.sh does)";
    if (access("/dev/kmsg", W_OK) != 0)
        GTEST_SKIP() << "cannot write /dev/kmsg";
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

} // namespace
