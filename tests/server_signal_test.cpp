// How the server ends: an orderly stop writes everything it accepted, a
// fault signal ends it with status 0 without hanging, and its standard
// output file keeps what was in it.
#include "server_harness.h"

using namespace e2e;

namespace {

std::string signal_name(const testing::TestParamInfo<int> &info) { return sigabbrev_np(info.param); }

class OrderlyStop : public testing::TestWithParam<int> {};

TEST_P(OrderlyStop, WritesPendingApplicationAndDspTextAndExits0)
{
    QUARN_REQUIRE_ISOLATION();
    Session s({"1M", "64K", "1"});
    ASSERT_TRUE(s.up()) << s.srv.report();
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 65536 1"));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "app pending\n"));
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_WARN, "dsp pending\n") && s.settle());
    ASSERT_EQ(s.srv.log("quarn.app") + s.srv.log("quarn.dsp"), "") << "nothing may be written before the stop";
    EXPECT_EQ(s.srv.stop(GetParam()), 0) << s.srv.report();
    EXPECT_EQ(s.srv.log("quarn.app"), "app pending\n" + END_MARK);
    EXPECT_EQ(s.srv.log("quarn.dsp"), "dsp pending\n" + END_MARK);
}

INSTANTIATE_TEST_SUITE_P(Signals, OrderlyStop, testing::Values(SIGTERM, SIGINT), signal_name);

// A console nobody reads (a full pipe) holds the print thread, so records
// pile up in the ring buffer; after a SIGTERM every one of them must reach
// the log file once the console moves again.
TEST(Signals, RecordsQueuedAtSigtermAllReachTheLogFile)
{
    QUARN_REQUIRE_ISOLATION();
    Pipe console;
    Session s({"4M", "64K", "1"}, {.out_fd = console.write_fd()});
    console.close_end(1);
    ASSERT_TRUE(s.up()) << s.srv.err();
    std::string expected;
    for (int i = 0; i < 3000; ++i) { // some 330 KB on the console: far more than a pipe holds
        const std::string text = "queued " + std::to_string(i) + " " + std::string(90, '.') + "\n";
        expected += text;
        ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, text));
    }
    // All taken off the connection and handed on, while the console is stuck.
    ASSERT_TRUE(wait_until([&] {
        return s.conn.unread() == 0 &&
               count_tasks(s.srv.pid(), [](auto &t) { return t.name == "quarn_sv_rv" && !t.wchan.starts_with("unix_stream"); }) == 0 &&
               count_tasks(s.srv.pid(), [](auto &t) { return t.wchan.find("pipe_write") != std::string::npos; }) > 0;
    })) << "the records were not all queued behind a blocked console";
    EXPECT_EQ(s.srv.stop(SIGTERM, [&] { console.drain(); }), 0) << s.srv.err();
    EXPECT_EQ(s.srv.log("quarn.app"), expected + END_MARK);
    EXPECT_EQ(count(console.drain(), RESET), 3000u);
}

class FaultSignal : public testing::TestWithParam<int> {};

// Sent with kill to an idle server, so that flushing is safe: the pending
// text is written and the process ends with status 0.
TEST_P(FaultSignal, EndsWithStatus0WithoutHangingAndWritesPendingText)
{
    QUARN_REQUIRE_ISOLATION();
    Session s({"1M", "64K", "1"});
    ASSERT_TRUE(s.up()) << s.srv.report();
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_WARN, "pending at the fault\n") && s.settle());
    EXPECT_EQ(s.srv.stop(GetParam()), 0) << s.srv.report();
    EXPECT_EQ(s.srv.log("quarn.app"), "pending at the fault\n" + END_MARK);
}

INSTANTIATE_TEST_SUITE_P(Signals, FaultSignal, testing::Values(SIGSEGV, SIGILL, SIGABRT), signal_name);

// Standard output opened for appending: what the file held stays, and the
// server's own lines and the coloured lines all land whole.
TEST(Console, StdoutOpenedForAppendingKeepsItsContentAndEveryLineWhole)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    write_file(dir.file("stdout"), "earlier content\n");
    Server srv(dir, {}, {.out = dir.file("stdout"), .append = true});
    RawConn conn;
    ASSERT_TRUE(srv.listening() && conn.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "coloured one\n")) << srv.report();
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "level2"));
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_ERROR, "coloured two\n"));
    ASSERT_TRUE(srv.wait_out(RED + "coloured two\n" + RESET)) << srv.out();
    EXPECT_EQ(srv.stop(), 0);
    const std::string out = srv.out();
    EXPECT_TRUE(out.starts_with("earlier content\npath:" + dir.str() + "  size = 0x100000  sync 0   level 1 \n")) << out;
    for (const std::string &piece : {dir.file("quarn.app") + " open !!!\n", CYAN + "coloured one\n" + RESET,
                                     std::string("logPrintLevel = 2 \n"), RED + "coloured two\n" + RESET})
        EXPECT_EQ(count(out, piece), 1u) << piece << " in\n" << out;
}

} // namespace
