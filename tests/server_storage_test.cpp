// What the server accepted it stores, or counts: at a stop by any signal
// in mid-burst, at a crash on an overflowed stack, and while a log file is
// being recovered.
#include "harness.h"

namespace {

using namespace e2e;

// Senders at full speed on blocking connections, each counting the records
// its send() accepted until the server ends its reading; the stop signal
// comes in mid-burst.  Every accepted record must be stored or counted.
class StopBySignal : public testing::TestWithParam<int> {};

TEST_P(StopBySignal, KeepsOrCountsEveryRecordAcceptedBeforeIt)
{
    Server s({"64M", "64K", "1"});
    ASSERT_TRUE(s.up()) << s.report();
    int counts[2];
    ASSERT_EQ(pipe(counts), 0);
    constexpr int senders = 3;
    std::vector<pid_t> pids;
    for (int k = 0; k < senders; ++k)
        pids.push_back(spawn({}, [&] {
            const int fd = quarn_socket();
            long sent = 0;
            for (; sent < 200000; ++sent) {
                std::string text = "s" + std::to_string(k) + " " + std::to_string(sent) + " ";
                if (!send_all(fd, make_record(QUARN_TYPE_APP, QUARN_LEVEL_INFO, text.append(99 - text.size(), '.') + "\n")))
                    break;
            }
            _exit(write(counts[1], &sent, sizeof sent) == sizeof sent ? 0 : 1);
        }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(s.stop(GetParam()), 0) << s.report();
    long accepted = 0;
    for (const pid_t pid : pids) {
        long sent = 0;
        EXPECT_EQ(wait_exit(pid), 0);
        EXPECT_EQ(read(counts[0], &sent, sizeof sent), static_cast<ssize_t>(sizeof sent));
        accepted += sent;
    }
    const Tally t = tally(s.log("quarn.app"), "s");
    EXPECT_EQ(t.stored + t.counted, accepted) << t.stored << " stored, " << t.counted << " counted";
}

INSTANTIATE_TEST_SUITE_P(Signals, StopBySignal,
                         testing::Values(SIGTERM, SIGINT, SIGUSR2, SIGALRM, SIGPWR, SIGXCPU, SIGRTMIN + 2),
                         [](const auto &info) { return std::string(sigabbrev_np(info.param) ?: "RT"); });

// A receive thread that overflows its stack (the preloaded library makes
// the second one recurse) still runs the fault handler: the staged text is
// written, and the server ends by the fault.
TEST(Crash, AStackOverflowInAReceiveThreadKeepsTheStagedText)
{
#ifdef QUARN_NO_PRELOAD
    GTEST_SKIP() << "a static or emulated server loads no preloaded library";
#endif
    setenv("LD_PRELOAD", QUARN_OVERFLOW_PRELOAD, 1);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    Server s({"1M", "64K", "1"});
    unsetenv("LD_PRELOAD");
    ASSERT_TRUE(s.up() && s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "staged\n") && s.settle()) << s.report();
    EXPECT_EQ(s.log("quarn.app"), "");
    const int second = quarn_socket();
    EXPECT_EQ(s.stop(0), 128 + SIGSEGV) << s.report();
    EXPECT_EQ(s.log("quarn.app"), "staged\n" + END_MARK);
    close(second);
}

// A dsp_init whose file has no marker recovers it (a scan, a copy to the
// backup and a sync) on a thread of its own: held still there, it holds
// back no line of another kind.
TEST(Open, ARecoveringDspInitHoldsBackNoOtherKindsLines)
{
    Server s({"1M", "0K", "1"});
    ASSERT_TRUE(s.up() && s.settle()) << s.report();
    write_file(s.file("quarn.dsp"), std::string(64 << 20, 'x'));
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 67108864 65536 1"));
    std::optional<ThreadHold> held;
    ASSERT_TRUE(wait_until([&] { return s.tid("quarn_open") > 0; })) << s.report();
    if (!held.emplace(s.tid("quarn_open")).held)
        GTEST_SKIP() << "no thread can be held still here (no ptrace under user-mode emulation)";
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "goes on\n"));
    EXPECT_TRUE(wait_until([&] { return s.log("quarn.app") == "goes on\n" + END_MARK; }) && !has(s.out(), "quarn.dsp open !!!"))
        << s.report();
    held.reset();
    EXPECT_TRUE(s.wait_out(s.file("quarn.dsp") + " open !!!") && read_file(s.file("quarn.dsp.bak")).size() == 64u << 20) << s.report();
}

// The log files' writer held still (a disk that does not answer) holds
// back neither the console nor staging, and a fault meanwhile still writes
// the batch it had been handed, ahead of the text staged after it.
TEST(Open, AStalledWriterHoldsBackNoConsoleLineAndAFaultStillStoresItsBatch)
{
    Server s({"1M", "4K", "1"});
    ASSERT_TRUE(s.up() && s.settle() && s.tid("quarn_store") > 0) << s.report();
    std::optional<ThreadHold> held;
    if (!held.emplace(s.tid("quarn_store")).held)
        GTEST_SKIP() << "no thread can be held still here (no ptrace under user-mode emulation)";
    std::string lines; // a batch and a half at this sync size
    for (int i = 0; i < 45; ++i) {
        std::string line = "line " + std::to_string(i) + " ";
        lines += line.append(99 - line.size(), '.') + "\n";
        ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, line + "\n"));
    }
    EXPECT_TRUE(s.wait_out("line 44 ") && s.log("quarn.app").empty()) << s.report();
    // The held thread ends with the rest, and is ours to reap.
    kill(s.pid(), SIGSEGV);
    waitpid(held->tid, nullptr, __WALL);
    EXPECT_EQ(std::to_string(s.stop(0)) + " " + s.log("quarn.app"), std::to_string(128 + SIGSEGV) + " " + lines + END_MARK) << s.report();
}

} // namespace
