// How the server ends: an orderly stop writes everything it accepted, a
// fault signal ends it with status 0 without hanging, and its standard
// output file keeps what was in it.
#include "server_harness.h"

using namespace e2e;

namespace {

const std::string RESET = "\033[0m";

class OrderlyStop : public testing::TestWithParam<int> {};

TEST_P(OrderlyStop, WritesPendingApplicationAndDspTextAndExits0)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Server srv(dir, {"1M", "64K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    RawConn conn;
    ASSERT_TRUE(conn.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 65536 1"));
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "app pending\n"));
    ASSERT_TRUE(conn.send(QUARN_TYPE_DSP, QUARN_LEVEL_WARN, "dsp pending\n"));
    ASSERT_TRUE(settle(srv, conn, 1));
    ASSERT_EQ(srv.log("quarn.app") + srv.log("quarn.dsp"), "") << "nothing may be written before the stop";
    EXPECT_EQ(srv.stop(GetParam()), 0) << srv.report();
    EXPECT_EQ(srv.log("quarn.app"), "app pending\n" + END_MARK);
    EXPECT_EQ(srv.log("quarn.dsp"), "dsp pending\n" + END_MARK);
}

INSTANTIATE_TEST_SUITE_P(Signals, OrderlyStop, testing::Values(SIGTERM, SIGINT),
                         [](const testing::TestParamInfo<int> &info) { return std::string(sigabbrev_np(info.param)); });

// The console (a pipe nobody reads) blocks the print thread, so records
// pile up in the ring buffer; a SIGTERM then must still get every one of
// them into the log file once the console moves again.
TEST(Signals, RecordsQueuedAtSigtermAllReachTheLogFile)
{
    QUARN_REQUIRE_ISOLATION();
    constexpr int RECORDS = 3000; // about 330 KB of console text: far more than a pipe holds
    TempDir dir;
    Pipe console;
    ChildIo io;
    io.out_fd = console.write_fd();
    Server srv(dir, {"4M", "64K", "1"}, io);
    console.close_write();
    ASSERT_TRUE(srv.listening()) << srv.err();
    RawConn conn;
    std::string expected;
    for (int i = 0; i < RECORDS; ++i) {
        char text[112];
        snprintf(text, sizeof text, "queued %04d %0*d\n", i, 90, 0);
        expected += text;
        ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, text));
    }
    // Every byte taken off the connection and handed on: all are queued,
    // while the print thread waits for the pipe.
    ASSERT_TRUE(wait_until([&] { return conn.unread() == 0 && receivers_idle(srv.pid()); }));
    ASSERT_TRUE(wait_until([&] { return thread_waiting_in(srv.pid(), "pipe_write"); })) << "the console never blocked";
    EXPECT_EQ(srv.stop(SIGTERM, 30s, [&] { console.drain(); }), 0) << srv.err();
    EXPECT_EQ(srv.log("quarn.app"), expected + END_MARK);
    EXPECT_EQ(count(console.drain(), RESET), static_cast<std::size_t>(RECORDS));
}

class FaultSignal : public testing::TestWithParam<int> {};

// Sent with kill while the server is idle, so flushing is safe: the
// pending text is written and the process ends with status 0.
TEST_P(FaultSignal, EndsWithStatus0WithoutHangingAndWritesPendingText)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Server srv(dir, {"1M", "64K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    RawConn conn;
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_WARN, "pending at the fault\n") && settle(srv, conn, 1));
    EXPECT_EQ(srv.stop(GetParam()), 0) << srv.report();
    EXPECT_EQ(srv.log("quarn.app"), "pending at the fault\n" + END_MARK);
}

INSTANTIATE_TEST_SUITE_P(Signals, FaultSignal, testing::Values(SIGSEGV, SIGILL, SIGABRT),
                         [](const testing::TestParamInfo<int> &info) { return std::string(sigabbrev_np(info.param)); });

// Standard output opened for appending: what the file held stays, and the
// server's own lines and the coloured lines all land whole.
TEST(Console, StdoutOpenedForAppendingKeepsItsContentAndEveryLineWhole)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    ChildIo io;
    io.out = dir.file("stdout");
    io.append = true;
    write_file(io.out, "earlier content\n");
    Server srv(dir, {"1M", "0K", "1"}, io);
    ASSERT_TRUE(srv.listening()) << srv.report();
    RawConn conn;
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "coloured one\n"));
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "level2"));
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_ERROR, "coloured two\n"));
    ASSERT_TRUE(srv.wait_out("\033[31mcoloured two\n" + RESET)) << srv.out();
    EXPECT_EQ(srv.stop(), 0);
    const std::string out = srv.out();
    EXPECT_TRUE(out.starts_with("earlier content\npath:" + dir.str() + "  size = 0x100000  sync 0   level 1 \n")) << out;
    for (const std::string &piece : {dir.file("quarn.app") + " open !!!\n", "\033[36mcoloured one\n" + RESET,
                                    std::string("logPrintLevel = 2 \n"), "\033[31mcoloured two\n" + RESET})
        EXPECT_EQ(count(out, piece), 1u) << piece << " in\n" << out;
}

} // namespace
