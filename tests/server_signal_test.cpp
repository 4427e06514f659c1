// How the server ends: a stop signal writes everything it accepted, a
// fault signal ends it with status 0 without hanging, both write the
// pending text.
#include "server_harness.h"

using namespace e2e;

namespace {

class EndingSignal : public testing::TestWithParam<int> {};

// Sent with kill to an idle server, so that a fault's flush is safe too.
TEST_P(EndingSignal, WritesPendingApplicationAndDspTextAndExits0)
{
    QUARN_REQUIRE_ISOLATION();
    Server s({"1M", "64K", "1"});
    ASSERT_TRUE(s.up()) << s.report();
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 65536 1"));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "app pending\n"));
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_WARN, "dsp pending\n") && s.settle());
    ASSERT_EQ(s.log("quarn.app") + s.log("quarn.dsp"), "") << "nothing may be written before the stop";
    EXPECT_EQ(s.stop(GetParam()), 0) << s.report();
    EXPECT_EQ(s.log("quarn.app"), "app pending\n" + END_MARK);
    EXPECT_EQ(s.log("quarn.dsp"), "dsp pending\n" + END_MARK);
}

INSTANTIATE_TEST_SUITE_P(Signals, EndingSignal, testing::Values(SIGTERM, SIGINT, SIGSEGV, SIGILL, SIGABRT),
                         [](const testing::TestParamInfo<int> &info) { return sigabbrev_np(info.param); });

// Standard output as a pipe: the server's own lines and a coloured line
// come while the server runs, not at exit.  Then a reader that stops
// reading holds the print thread, so records pile up in the ring buffer:
// after a SIGTERM every one of them must reach the log file, and the
// reader going away costs the console, not the server.
TEST(Signals, RecordsQueuedBehindAStuckConsolePipeAllReachTheLogFile)
{
    QUARN_REQUIRE_ISOLATION();
    int console[2]; // its read end made non-blocking: the test never waits on it
    ASSERT_EQ(pipe2(console, O_CLOEXEC), 0);
    fcntl(console[0], F_SETFL, O_NONBLOCK);
    Server s({"4M", "64K", "1"}, {.out_fd = console[1]});
    close(console[1]);
    std::string seen;
    const auto shown = [&](const std::string &text) {
        char buf[65536];
        for (ssize_t n; (n = read(console[0], buf, sizeof buf)) > 0;)
            seen.append(buf, static_cast<std::size_t>(n));
        return seen.find(text) != std::string::npos;
    };
    ASSERT_TRUE(s.up()) << s.err();
    EXPECT_TRUE(wait_until([&] { return shown("quarn.app open !!!\n"); }));
    std::string expected = "through a pipe\n";
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, expected));
    EXPECT_TRUE(wait_until([&] { return shown(CYAN + expected + RESET); }));
    for (int i = 0; i < 3000; ++i) { // some 330 KB on the console: far more than a pipe holds
        const std::string text = "queued " + std::to_string(i) + " " + std::string(90, '.') + "\n";
        expected += text;
        ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, text));
    }
    // All taken off the connection and handed on, while the console is stuck.
    ASSERT_TRUE(wait_until([&] {
        return s.unread() == 0 &&
               s.threads([](const Task &t) { return t.name == "quarn_sv_rv" && !t.wchan.starts_with("unix_stream"); }) == 0 &&
               s.threads([](const Task &t) { return t.wchan.find("pipe_write") != std::string::npos; }) > 0;
    })) << "the records were not all queued behind a blocked console";
    EXPECT_EQ(s.stop(SIGTERM, [&] { close(console[0]), console[0] = -1; }), 0) << s.err();
    EXPECT_EQ(s.log("quarn.app"), expected + END_MARK);
}

} // namespace
