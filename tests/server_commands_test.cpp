// Staging and control commands on a running server: when text reaches the
// log files (to the byte), what sync, level, redirect, dsp_init and
// bsp_init do and print, and the kernel log thread.
#include "server_harness.h"

#include <sys/file.h>

using namespace e2e;

namespace {

std::string opened(const Session &s, const std::string &name) { return s.dir.file(name) + " open !!!\n"; }

// ---- staging ---------------------------------------------------------------------

TEST(Staging, SyncSize0KWritesEachTextAtOnceBehindTheLast)
{
    QUARN_REQUIRE_ISOLATION();
    Session s;
    ASSERT_TRUE(s.up()) << s.srv.report();
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "one\n") && s.settle());
    EXPECT_EQ(s.srv.log("quarn.app"), "one\n" + END_MARK);
    const std::string longest(1116, 'L'); // the longest text staged; one byte more is not
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, longest + "X") && s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, longest));
    ASSERT_TRUE(s.settle());
    EXPECT_EQ(s.srv.log("quarn.app"), "one\n" + longest + END_MARK);
}

// Capacity 4096: the batch goes in one write once more than 4096 - 1116 =
// 2980 bytes wait.
TEST(Staging, SyncSize4KWritesTheBatchOnlyOnceTheFillPasses2980)
{
    QUARN_REQUIRE_ISOLATION();
    Session s({"1M", "4K", "1"});
    ASSERT_TRUE(s.up()) << s.srv.report();
    const std::string a(1000, 'a'), b(1000, 'b'), c(980, 'c');
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, a) && s.send(QUARN_TYPE_APP, QUARN_LEVEL_WARN, b));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, c) && s.settle());
    EXPECT_EQ(s.srv.log("quarn.app"), "") << "2980 bytes must still wait";
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "d") && s.settle());
    EXPECT_EQ(s.srv.log("quarn.app"), a + b + c + "d" + END_MARK);
}

// A batch longer than the whole file keeps its newest part and never makes
// the file longer than its size.
TEST(Staging, BatchLongerThanTheLogSizeNeverGrowsTheFile)
{
    QUARN_REQUIRE_ISOLATION();
    Session s({"1K", "0K", "1"});
    ASSERT_TRUE(s.up()) << s.srv.report();
    std::string text;
    for (int i = 0; text.size() < 1116; ++i)
        text += std::to_string(i) + ",";
    text.resize(1116);
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, text) && s.settle());
    const std::string log = s.srv.log("quarn.app");
    EXPECT_LE(log.size(), 1024u);
    EXPECT_NE(log.find(text.substr(text.size() - 1000)), std::string::npos) << log;
    EXPECT_EQ(count(log, END_MARK), 1u);
}

TEST(Staging, SyncFromTheControlClientWritesOnlyTheApplicationBatch)
{
    QUARN_REQUIRE_ISOLATION();
    Session s({"1M", "64K", "1"});
    ASSERT_TRUE(s.up()) << s.srv.report();
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 65536 1"));
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_INFO, "dsp waits\n"));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "app waits\n") && s.settle());
    ASSERT_EQ(s.srv.log("quarn.app"), "");
    EXPECT_EQ(run_cli({"sync"}).status, 0);
    EXPECT_TRUE(wait_until([&] { return s.srv.log("quarn.app") == "app waits\n" + END_MARK; })) << s.srv.log("quarn.app");
    ASSERT_TRUE(s.settle());
    EXPECT_EQ(s.srv.log("quarn.dsp"), "");
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "sync") && s.settle());
    EXPECT_EQ(s.srv.log("quarn.dsp"), "dsp waits\n" + END_MARK);
}

// A restart finds the end marker and writes on at its "+": the marker's
// newline stays behind the earlier text.
TEST(LogFile, RestartedServerWritesOnBehindTheEarlierText)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    for (const char *text : {"before", "after"}) {
        Server srv(dir);
        RawConn conn;
        ASSERT_TRUE(srv.listening() && conn.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, text) && settle(srv, conn)) << srv.report();
        ASSERT_EQ(srv.stop(), 0);
    }
    EXPECT_EQ(read_file(dir.file("quarn.app")), "before\nafter" + END_MARK);
}

// ---- level and the control word ------------------------------------------------------

TEST(Level, OnlyApplicationLevelCommandsMoveTheControlWord)
{
    QUARN_REQUIRE_ISOLATION();
    Session s;
    ASSERT_TRUE(s.up()) << s.srv.report();
    EXPECT_TRUE(wait_until([] { return control_word() == 1u; }));
    EXPECT_EQ(run_cli({"level", "3"}).status, 0);
    EXPECT_TRUE(s.srv.wait_out("logPrintLevel = 3 \n"));
    EXPECT_TRUE(wait_until([] { return control_word() == 3u; }));
    ASSERT_TRUE(run_client([] { quarn_dsp_change_level(2); }));
    EXPECT_TRUE(s.srv.wait_out("logPrintLevel = 2 \n"));
    ASSERT_TRUE(s.send(QUARN_TYPE_BSP, QUARN_LEVEL_CMD, "level0") && s.srv.wait_out("logPrintLevel = 0 \n"));
    EXPECT_EQ(control_word(), 3u) << "DSP and BSP levels must leave the control word alone";
    // The BSP command lowered the application print level all the same.
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_DEBUG, "debug shows\n") && s.console_mark());
    EXPECT_NE(s.srv.out().find(GREEN + "debug shows\n" + RESET), std::string::npos) << s.srv.out();
}

TEST(Level, ControlWordTakesAnyLevelAndMinusOneSilencesTheConsole)
{
    QUARN_REQUIRE_ISOLATION();
    Session s({"1M", "0K", "7"});
    ASSERT_TRUE(s.up()) << s.srv.report();
    EXPECT_TRUE(wait_until([] { return control_word() == 7u; })) << "no range check on the server's level";
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "level-1") && s.srv.wait_out("logPrintLevel = -1 \n"));
    EXPECT_EQ(control_word(), 0xFFFFFFFFu);
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_ERROR, "silenced\n") && s.console_mark());
    EXPECT_EQ(s.srv.out().find("silenced"), std::string::npos);
    EXPECT_EQ(s.srv.log("quarn.app"), "silenced\n" + END_MARK);
}

// ---- redirect ------------------------------------------------------------------------

// The control client names its own standard output; the server appends to
// that file and keeps what was in it.
TEST(Redirect, ConsoleMovesToTheClientsFileKeepingItsContent)
{
    QUARN_REQUIRE_ISOLATION();
    Session s;
    ASSERT_TRUE(s.up()) << s.srv.report();
    const std::string console = s.dir.file("console");
    write_file(console, "earlier\n");
    EXPECT_EQ(run_cli({"redirect"}, console, true).status, 0);
    const std::string fds = "/proc/" + std::to_string(s.srv.pid()) + "/fd";
    ASSERT_TRUE(wait_until([&] {
        std::error_code ec;
        for (const auto &fd : std::filesystem::directory_iterator(fds, ec))
            if (std::filesystem::read_symlink(fd.path(), ec) == console)
                return true;
        return false;
    })) << s.srv.report();
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_ERROR, "moved\n"));
    EXPECT_TRUE(wait_until([&] { return read_file(console).ends_with(RESET); }));
    EXPECT_EQ(read_file(console), "earlier\nfile_path = " + console + " \n" + RED + "moved\n" + RESET);
    EXPECT_EQ(s.srv.out().find("moved"), std::string::npos);
    // A path that cannot be opened silences the console; staging goes on.
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "redirect:" + s.dir.file("no/such/file")));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_ERROR, "unseen\n") && s.settle());
    EXPECT_EQ(s.srv.log("quarn.app"), "moved\nunseen\n" + END_MARK);
    EXPECT_EQ(count(read_file(console) + s.srv.out(), "unseen"), 0u);
}

// ---- dsp_init ------------------------------------------------------------------------

// The first dsp_init opens the file and stages DSP text at its own level;
// a repeat cannot open it again, yet its sync size and level apply; a
// short form changes nothing.
TEST(DspInit, PrintsItsSettingsClampsTheLevelAndRepeatsFailButApply)
{
    QUARN_REQUIRE_ISOLATION();
    Session s;
    ASSERT_TRUE(s.up()) << s.srv.report();
    ASSERT_TRUE(run_client([] { quarn_msg_dsp_init(1048576, 0, 7); }));
    EXPECT_TRUE(s.srv.wait_out("logSize = 0x100000, syncSize = 0x0, loglevel = 7\nset loglevel=error(3)\n" +
                               opened(s, "quarn.dsp")))
        << s.srv.out();
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_WARN, "dsp warning\n"));
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_ERROR, "dsp error\n") && s.srv.wait_out(RED + "dsp error\n" + RESET));
    EXPECT_EQ(s.srv.out().find("dsp warning"), std::string::npos) << "DSP print level 3 hides warnings";
    EXPECT_EQ(s.srv.log("quarn.dsp"), "dsp warning\ndsp error\n" + END_MARK);
    EXPECT_EQ(s.srv.log("quarn.app"), "");

    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 2048 4096 -5"));
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 0"));
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_INFO, "waits for 4K\n"));
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_DEBUG, "level 0 shows debug\n") && s.settle());
    EXPECT_NE(s.srv.lines().find("logSize = 0x800, syncSize = 0x1000, loglevel = -5\nset loglevel=debug(0)\n"
                                 "quarn_log_file_init QUARN_DSP_LOG_INIT failed.\n"
                                 "cmd:dsp_init 1048576 0 format error!\n"),
              std::string::npos)
        << s.srv.out();
    EXPECT_TRUE(s.srv.wait_out(GREEN + "level 0 shows debug\n" + RESET));
    EXPECT_EQ(s.srv.log("quarn.dsp"), "dsp warning\ndsp error\n" + END_MARK);
}

// A raised sync size enlarges the staging buffer keeping what waits in it;
// the batch goes out at the new threshold, whole and in order.
TEST(DspInit, RaisedSyncSizeKeepsTheWaitingTextAndTakesTheNewThreshold)
{
    QUARN_REQUIRE_ISOLATION();
    Session s;
    ASSERT_TRUE(s.up()) << s.srv.report();
    std::string expected(500, '0');
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 2000 3"));
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_FILE, expected));
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 8192 3"));
    for (char c = '1'; c <= '6'; ++c) { // 6500 bytes in all: not above 8192 - 1116
        expected += std::string(1000, c);
        ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_FILE, std::string(1000, c)));
    }
    ASSERT_TRUE(s.settle());
    EXPECT_EQ(s.srv.log("quarn.dsp"), "");
    expected += std::string(1000, '7');
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_FILE, std::string(1000, '7')) && s.settle());
    EXPECT_EQ(s.srv.log("quarn.dsp"), expected + END_MARK);
}

// ---- bsp_init and the kernel log thread -------------------------------------------

// Held by every test whose server reads the kernel log: each read clears
// that log for the whole machine, so two such servers (test cases run in
// parallel, other runs of this suite too) would take each other's lines.
// Declared before the Session, it is released after the server ended.
class KernelLogTurn {
  public:
    KernelLogTurn() : fd_(open("/tmp/quarn-e2e-kernel-log.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666))
    {
        held_ = fd_ >= 0 && wait_until([&] { return flock(fd_, LOCK_EX | LOCK_NB) == 0; }, 300s);
    }
    ~KernelLogTurn() { close(fd_); }
    bool held() const { return held_; }

  private:
    int fd_;
    bool held_;
};

std::size_t klog_threads(const Session &s)
{
    return count_tasks(s.srv.pid(), [](auto &t) { return t.name.starts_with("klog_th"); });
}

TEST(BspInit, OpensTheFileStartsOneKernelThreadAndRepeatsFail)
{
    QUARN_REQUIRE_ISOLATION();
    KernelLogTurn turn;
    Session s;
    ASSERT_TRUE(turn.held() && s.up()) << s.srv.report();
    ASSERT_TRUE(run_client([] { quarn_msg_bsp_init(65536, 0); }));
    EXPECT_TRUE(s.srv.wait_out("logSize = 0x10000, freq = 0(seconds)\n" + opened(s, "quarn.bsp"))) << s.srv.out();
    EXPECT_TRUE(wait_until([&] { return count_tasks(s.srv.pid(), [](auto &t) { return t.name == "klog_th 3"; }) == 1; }))
        << "period 0 reads every 3 seconds";
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "bsp_init 65536 5"));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "bsp_init 65536") && s.settle());
    EXPECT_NE(s.srv.lines().find("logSize = 0x10000, freq = 5(seconds)\nquarn_log_file_init QUARN_BSP_LOG_INIT failed.\n"
                                 "cmd=bsp_init 65536\n"),
              std::string::npos)
        << s.srv.out();
    EXPECT_EQ(klog_threads(s), 1u);
}

// The first open fails (the name is a directory) and the second succeeds:
// still one kernel log thread, however the opens went.
TEST(BspInit, FailedOpenThenGoodOpenStillRunOneKernelThread)
{
    QUARN_REQUIRE_ISOLATION();
    KernelLogTurn turn;
    Session s;
    ASSERT_TRUE(turn.held() && s.up()) << s.srv.report();
    ASSERT_TRUE(std::filesystem::create_directory(s.dir.file("quarn.bsp")));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "bsp_init 65536 1") && s.settle());
    EXPECT_TRUE(wait_until([&] { return s.srv.err().find("open") != std::string::npos; })) << s.srv.report();
    const auto unnamed = [&] { return count_tasks(s.srv.pid(), [](auto &t) { return t.name == "quarn"; }); };
    const std::size_t before = unnamed();
    ASSERT_TRUE(std::filesystem::remove(s.dir.file("quarn.bsp")));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "bsp_init 65536 1") && s.settle());
    EXPECT_TRUE(s.srv.wait_out(opened(s, "quarn.bsp"))) << s.srv.out();
    // A thread the second open made names itself at once: wait for that.
    ASSERT_TRUE(wait_until([&] { return klog_threads(s) >= 1 && unnamed() <= before; }));
    EXPECT_EQ(klog_threads(s), 1u);
}

// Writes one line to the kernel log; a fresh open per line escapes the
// per-open rate limit.
bool kmsg(const std::string &line)
{
    const int fd = open("/dev/kmsg", O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(fd);
    return ok;
}

// Writes filler lines of 220 bytes, then token, to the kernel log until the
// BSP file shows the token (something outside this suite may clear the
// log too).
bool kernel_line_reaches_bsp(const Session &s, const std::string &token, int filler = 0)
{
    for (int attempt = 0; attempt < 10; ++attempt) {
        for (int i = 0; i < filler; ++i)
            kmsg("quarn e2e filler " + std::string(200, 'f') + "\n");
        if (kmsg(token + "\n") && s.srv.wait_log("quarn.bsp", token, 3s))
            return true;
    }
    return false;
}

class KernelLog : public testing::Test {
  protected:
    // A server whose BSP log file of size bytes is open, read every second.
    void start(int size)
    {
        QUARN_REQUIRE_ISOLATION();
        if (access("/dev/kmsg", W_OK) != 0)
            GTEST_SKIP() << "cannot write /dev/kmsg: " << strerror(errno);
        ASSERT_TRUE(turn_.held());
        s_.emplace();
        ASSERT_TRUE(s_->up()) << s_->srv.report();
        ASSERT_TRUE(s_->send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "bsp_init " + std::to_string(size) + " 1") && s_->settle());
        ASSERT_TRUE(s_->srv.wait_out(opened(*s_, "quarn.bsp")));
    }
    KernelLogTurn turn_;
    std::optional<Session> s_;
    const std::string tag_ = std::to_string(getpid());
};

TEST_F(KernelLog, LineWrittenToKmsgReachesTheBspFile)
{
    start(1 << 20);
    if (IsSkipped() || HasFatalFailure())
        return;
    EXPECT_TRUE(kernel_line_reaches_bsp(*s_, "quarn-e2e-kmsg-" + tag_));
    EXPECT_TRUE(s_->srv.log("quarn.bsp").ends_with(END_MARK));
}

TEST_F(KernelLog, ReadLongerThanTheBspFileKeepsItsNewestPart)
{
    start(4096);
    if (IsSkipped() || HasFatalFailure())
        return;
    EXPECT_TRUE(kernel_line_reaches_bsp(*s_, "quarn-e2e-newest-" + tag_, 40));
    EXPECT_LE(s_->srv.log("quarn.bsp").size(), 4096u);
}

// The kernel log thread and BSP-origin batches write one file: each write
// stays whole, none overwrites another, one marker stands at the end.
TEST_F(KernelLog, BspFileWritersNeverOverwriteEachOther)
{
    start(4 << 20);
    if (IsSkipped() || HasFatalFailure())
        return;
    const pid_t kernel_writer = fork_client([&] {
        for (int i = 0; i < 100; ++i)
            kmsg("kline-" + tag_ + "-" + std::to_string(i) + "\n");
    });
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(s_->send(QUARN_TYPE_BSP, QUARN_LEVEL_FILE, "bline-" + std::to_string(i) + "\n"));
    ASSERT_EQ(wait_exit(kernel_writer, 60s), 0);
    ASSERT_TRUE(s_->settle() && kernel_line_reaches_bsp(*s_, "kline-" + tag_ + "-last"));
    const std::string log = "\n" + s_->srv.log("quarn.bsp");
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(count(log, "\nbline-" + std::to_string(i) + "\n"), 1u) << "bline-" << i;
    EXPECT_EQ(count(log, END_MARK), 1u);
    EXPECT_TRUE(log.ends_with(END_MARK));
}

} // namespace
