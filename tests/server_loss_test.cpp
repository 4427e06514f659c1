// Loss made visible and waiting bounded: every record a burst costs is
// counted in a line of the file, the kernel log arrives whole and stays in
// the kernel, and staged text waits no longer than the interval.
#include "harness.h"

#include <sys/klog.h>
#include <sys/stat.h>

#include <sstream>

namespace {

using namespace e2e;

// A print thread held still (a disk that does not answer) while records
// overrun the ring: every record is stored or counted by a loss line, and the counters
// line agrees.  (What a full connection costs, the client counts: client_test.)
TEST(Loss, BurstOverTheRingIsStoredOrCountedExactly)
{
    QUARN_REQUIRE_ISOLATION();
    Server s({"64M", "64K", "1"});
    ASSERT_TRUE(s.up() && s.settle()) << s.report();
    auto held = std::make_optional<ThreadHold>(s.tid("quarn_print"));
    if (!held->held)
        GTEST_SKIP() << "no thread can be held still here (no ptrace under user-mode emulation)";
    const int raw = 6000;
    for (int i = 0; i < raw; ++i)
        ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "r" + std::to_string(i) + std::string(1000, '.') + "\n"));
    ASSERT_TRUE(s.wait_out("quarn cycle buff is full !")) << s.report();
    held.reset(); // the print thread goes on
    // Behind every record in the ring; the next record carries the count.
    ASSERT_TRUE(wait_until([&] { return s.sync(); }, 90s) && s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "next\n") && s.sync());
    long kept = 0, ring = 0, n = 0;
    std::istringstream log(s.log("quarn.app"));
    for (std::string line; std::getline(log, line);) {
        const std::string body = line.substr(line.rfind(']', 40) + 1); // behind stamp, label and tag
        int at = 0;
        if (body.size() > 1 && body[0] == 'r' && isdigit(body[1]))
            ++kept;
        else if (sscanf(body.c_str(), "%ld records %n", &n, &at) == 1 && at > 0 && body.compare(at, 25, "dropped: ring buffer full") == 0)
            ring += n;
    }
    EXPECT_GT(ring, 0) << "the ring never overran";
    EXPECT_EQ(raw - kept, ring);
    EXPECT_EQ(run_cli({"stats"}).status, 0);
    ASSERT_TRUE(s.wait_out("counters: ") && kill(s.pid(), SIGUSR1) == 0 && s.wait_out("counters: ", 2));
    EXPECT_EQ(count(s.out(), "dropped (ring buffer full " + std::to_string(ring) + ","), 2u) << s.out();
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
