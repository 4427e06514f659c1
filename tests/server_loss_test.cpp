// Loss made visible and waiting bounded: every record a burst costs is
// counted in a line of the file, the kernel log arrives whole and stays in
// the kernel, and staged text waits no longer than the interval.
#include "harness.h"

#include <sys/klog.h>
#include <sys/stat.h>

#include <sstream>

namespace {

using namespace e2e;

// A console nobody reads holds the print thread while raw records overrun
// the ring; then, with the server stopped, two clients overrun their
// connections.  Every record is stored or counted by a loss line, each
// client prints its reason once, and the counters line agrees.
TEST(Loss, BurstOverRingAndConnectionsIsStoredOrCountedExactly)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir tmp;
    const std::string fifo = tmp.file("console");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int console = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    Server s({"64M", "64K", "1"});
    ASSERT_TRUE(s.up() && s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "redirect:" + fifo) && s.settle()) << s.report();
    const int raw = 6000, clients = 2, each = 3000;
    for (int i = 0; i < raw; ++i)
        ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "r" + std::to_string(i) + std::string(1000, '.') + "\n"));
    ASSERT_TRUE(s.wait_out("quarn cycle buff is full !")) << s.report();
    kill(s.pid(), SIGSTOP);
    int done[2], go[2];
    ASSERT_EQ(pipe(done) | pipe(go), 0);
    std::vector<pid_t> pids;
    for (int c = 0; c < clients; ++c)
        pids.push_back(fork_client([&] {
            close(console); // a reader left in a child would keep the console pipe open
            for (int i = 0; i < each; ++i)
                quarn_msg_write_with_type(0, QUARN_LEVEL_INFO, "t", "c%d n%d %0200d\n", c, i, 0);
            char byte = 0;
            pollfd wait_go{go[0], POLLIN, 0};
            if (write(done[1], &byte, 1) == 1 && poll(&wait_go, 1, 120000) == 1)
                quarn_msg_write_with_type(0, QUARN_LEVEL_INFO, "t", "c%d last\n", c);
        }, tmp.file("client" + std::to_string(c))));
    char bytes[clients];
    pollfd p{done[0], POLLIN, 0};
    for (int got = 0; got < clients && poll(&p, 1, 60000) == 1;)
        got += static_cast<int>(read(done[0], bytes, clients - got));
    kill(s.pid(), SIGCONT);
    close(console); // the print thread's console writes fail from here on
    // Every connection read and the ring drained: the last lines fit.
    const auto idle = [](const Server::Task &t) { return t.name == "quarn_sv_rv" && !t.wchan.starts_with("unix_stream"); };
    ASSERT_TRUE(wait_until([&] { return s.threads(idle) == 0 && s.sync(); }, 90s)) << s.report();
    ASSERT_EQ(write(go[1], bytes, clients), clients);
    for (const pid_t pid : pids)
        EXPECT_EQ(wait_exit(pid, 60s), 0);
    ASSERT_TRUE(wait_until([&] { return s.sync() && count(s.log("quarn.app"), " last\n") == clients; }, 60s));

    long kept = 0, lost = 0, ring = 0, n = 0;
    std::istringstream log(s.log("quarn.app"));
    for (std::string line; std::getline(log, line);) {
        const std::string body = line.substr(line.rfind(']', 40) + 1); // behind stamp, label and tag
        const auto says = [&](std::string_view what) {
            int at = 0;
            return sscanf(body.c_str(), "%ld records %n", &n, &at) == 1 && at > 0 && body.compare(at, what.size(), what) == 0;
        };
        if (body.size() > 1 && (body[0] == 'r' || body[0] == 'c') && isdigit(body[1]))
            ++kept;
        else if (says("lost: "))
            lost += n;
        else if (says("dropped: ring buffer full"))
            ring += n;
    }
    EXPECT_GT(ring, 0) << "the ring never overran";
    EXPECT_GT(lost, 0) << "no connection overran";
    EXPECT_EQ(raw + clients * each + clients - kept, ring + lost);
    for (int c = 0; c < clients; ++c)
        EXPECT_EQ(count(read_file(tmp.file("client" + std::to_string(c))), "send failed"), 1u) << "once per run";
    EXPECT_EQ(run_cli({"stats"}).status, 0);
    ASSERT_TRUE(s.wait_out("counters: ") && kill(s.pid(), SIGUSR1) == 0 && s.wait_out("counters: ", 2));
    EXPECT_EQ(count(s.out(), "dropped (ring buffer full " + std::to_string(ring) + ","), 2u) << s.out();
}

bool kmsg(const std::string &line) // a fresh open per line escapes the per-open rate limit
{
    const int fd = open("/dev/kmsg", O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(fd);
    return ok;
}

// More than one 64 KiB read of kernel lines in one period all reach
// quarn.bsp beside whole BSP-origin batches, and the kernel's buffer still
// holds them afterwards.
TEST(KernelLog, BurstOverSixtyFourKiBArrivesWholeAndStaysInTheKernel)
{
    QUARN_REQUIRE_ISOLATION();
    if (access("/dev/kmsg", W_OK) != 0 || klogctl(9, nullptr, 0) < 0)
        GTEST_SKIP() << "cannot write /dev/kmsg or read the kernel log: " << strerror(errno);
    KernelLogTurn turn;
    Server s;
    ASSERT_TRUE(turn.held() && s.up()) << s.report();
    ASSERT_EQ(wait_exit(fork_client([] { quarn_msg_bsp_init(4194304, 5); })), 0);
    const std::string tag = "kburst-" + std::to_string(getpid()) + "-";
    ASSERT_TRUE(kmsg(tag + "start\n") && wait_until([&] { return count(s.log("quarn.bsp"), tag + "start"); }, 30s));
    const int lines = 80; // about 73 KB with the kernel's prefixes: few lines in the machine's kernel log
    for (int i = 0; i < lines; ++i) // BSP-origin batches share the file with the kernel's lines
        ASSERT_TRUE(kmsg(tag + std::to_string(i) + " " + std::string(880, 'k') + "\n") &&
                    (i % 9 || s.send(QUARN_TYPE_BSP, QUARN_LEVEL_FILE, "bline-" + std::to_string(i) + "\n")));
    EXPECT_TRUE(s.sync() && wait_until([&] { return count(s.log("quarn.bsp"), tag) == lines + 1u; }, 60s))
        << count(s.log("quarn.bsp"), tag) << " of " << lines + 1;
    const std::string log = "\n" + s.log("quarn.bsp");
    for (int i = 0; i < lines; i += 9)
        EXPECT_EQ(count(log, "\nbline-" + std::to_string(i) + "\n"), 1u) << "a batch torn or written over: " << i;
    EXPECT_TRUE(count(log, END_MARK) == 1 && log.ends_with(END_MARK));
    std::string kernel(static_cast<size_t>(klogctl(10, nullptr, 0)), '\0');
    kernel.resize(static_cast<size_t>(std::max(0, klogctl(3, kernel.data(), static_cast<int>(kernel.size())))));
    EXPECT_EQ(count(kernel, tag + std::to_string(lines - 1) + " "), 1u) << "the read cleared the kernel's buffer";
}

// A line below the sync size is written within the interval and not before
// it; an error line within a second.
TEST(Interval, WaitingTextIsWrittenWithinTheIntervalAndAnErrorWithinASecond)
{
    QUARN_REQUIRE_ISOLATION();
    Server s({"1M", "64K", "1"});
    ASSERT_TRUE(s.up() && run_cli({"interval", "2"}).status == 0 && s.wait_out("interval = 2(seconds)\n")) << s.report();
    const struct {
        int32_t level;
        std::string text;
        std::chrono::milliseconds not_before, by;
    } rows[] = {{QUARN_LEVEL_INFO, "info waits\n", 2s, 2s + 6s}, {QUARN_LEVEL_ERROR, "error hurries\n", 0s, 1s + 4s}};
    for (const auto &r : rows) {
        const auto sent = std::chrono::steady_clock::now();
        ASSERT_TRUE(s.send(QUARN_TYPE_APP, r.level, r.text));
        EXPECT_TRUE(wait_until([&] { return count(s.log("quarn.app"), r.text) == 1; }, r.by)) << r.text;
        EXPECT_GE(std::chrono::steady_clock::now() - sent, r.not_before) << r.text;
    }
}

} // namespace
