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

// A server whose standard output is a pipe that the test reads only when
// asked, and the text it was sent.
struct PipedServer {
    int console[2]{-1, -1}; // its read end made non-blocking: the test never waits on it
    std::optional<Server> s;
    std::string seen;     // read from the console so far
    std::string expected; // sent as application info, in order

    PipedServer()
    {
        if (pipe2(console, O_CLOEXEC) == 0) {
            fcntl(console[0], F_SETFL, O_NONBLOCK);
            s.emplace(std::vector<std::string>{"4M", "64K", "1"}, ChildIo{.out_fd = console[1]});
        }
        close(console[1]);
    }
    ~PipedServer() { close(console[0]); }
    // Reads at most limit bytes of what the console holds.
    void read_console(std::size_t limit = SIZE_MAX)
    {
        char buf[65536];
        for (ssize_t n; limit > 0 && (n = read(console[0], buf, std::min(sizeof buf, limit))) > 0;)
            seen.append(buf, static_cast<std::size_t>(n)), limit -= static_cast<std::size_t>(n);
    }
    bool shown(const std::string &text) { return read_console(), seen.find(text) != std::string::npos; }

    // The server's lines and a coloured line come while it runs, not at
    // exit; then a reader that stops reading holds the print thread while
    // records lines of length bytes pile up in the ring buffer.
    void queue_behind_stuck_console(int records, std::size_t length)
    {
        ASSERT_TRUE(s && s->up()) << s->err();
        EXPECT_TRUE(wait_until([&] { return shown("quarn.app open !!!\n"); }));
        expected = "through a pipe\n";
        ASSERT_TRUE(s->send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, expected));
        EXPECT_TRUE(wait_until([&] { return shown(CYAN + expected + RESET); }));
        for (int i = 0; i < records; ++i) {
            std::string text = "queued " + std::to_string(i) + " ";
            text += std::string(length - text.size() - 1, '.') + "\n";
            expected += text;
            ASSERT_TRUE(s->send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, text));
        }
        // All taken off the connection and handed on, while the console is stuck.
        ASSERT_TRUE(wait_until([&] {
            return s->unread() == 0 &&
                   s->threads([](const Task &t) { return t.name == "quarn_sv_rv" && !t.wchan.starts_with("unix_stream"); }) == 0 &&
                   s->threads([](const Task &t) { return t.wchan.find("pipe_write") != std::string::npos; }) > 0;
        })) << "the records were not all queued behind a blocked console";
    }
};

// After a SIGTERM every queued record must reach the log file, and the
// reader going away costs the console, not the server.
TEST(Signals, RecordsQueuedBehindAStuckConsolePipeAllReachTheLogFile)
{
    QUARN_REQUIRE_ISOLATION();
    PipedServer p;
    p.queue_behind_stuck_console(3000, 100); // some 330 KB on the console: far more than a pipe holds
    EXPECT_EQ(p.s->stop(SIGTERM, [&] { close(p.console[0]), p.console[0] = -1; }), 0) << p.s->err();
    EXPECT_EQ(p.s->log("quarn.app"), p.expected + END_MARK);
}

// A console that takes the queued lines slowly (here over some 13 seconds)
// but steadily: the stop waits for them all, however long that is.
TEST(Signals, SlowButMovingConsoleDelaysTheStopWithoutLosingRecords)
{
    QUARN_REQUIRE_ISOLATION();
    PipedServer p;
    p.queue_behind_stuck_console(4500, 110);
    constexpr std::size_t BYTES_PER_SECOND = 40000;
    const auto start = std::chrono::steady_clock::now();
    std::size_t taken = p.seen.size();
    const int status = p.s->stop(SIGTERM, [&] {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        const std::size_t due = static_cast<std::size_t>(ms.count()) * BYTES_PER_SECOND / 1000;
        if (due > taken)
            p.read_console(due - taken), taken = due;
    }, 60s);
    EXPECT_EQ(status, 0) << p.s->err();
    const std::string log = p.s->log("quarn.app");
    EXPECT_TRUE(log == p.expected + END_MARK) << "the log file holds " << log.size() << " bytes of "
                                              << p.expected.size() + END_MARK.size();
    p.read_console();
    EXPECT_EQ(p.seen.find("does not stop"), std::string::npos);
}

} // namespace
