// Staging and control commands on a running server: when text reaches the
// log files (byte-exact), what sync, level, redirect, dsp_init and
// bsp_init do and print, and the kernel log thread.
#include "server_harness.h"

#include <sys/file.h>

using namespace e2e;

namespace {

const std::string RED = "\033[31m", RESET = "\033[0m";

// What a server starting on dir prints for a log file it opened.
std::string opened(const TempDir &dir, const std::string &name) { return dir.file(name) + " open !!!\n"; }

// Writes line to the kernel log; false where that is not allowed.  A fresh
// open per line keeps clear of the per-open rate limit.
bool kernel_log(const std::string &line)
{
    const int fd = open("/dev/kmsg", O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(fd);
    return ok;
}

// Writes token to the kernel log, after filler lines of 220 bytes each,
// until the BSP file shows it: another server's kernel log thread (tests
// run in parallel) may take and clear the line first.
bool kernel_line_reaches_bsp(const Server &srv, const std::string &token, int filler = 0)
{
    for (int attempt = 0; attempt < 15; ++attempt) {
        for (int i = 0; i < filler; ++i)
            kernel_log("quarn e2e filler " + std::string(200, 'f') + "\n");
        if (!kernel_log(token + "\n"))
            return false;
        if (srv.wait_log("quarn.bsp", token, 2s))
            return true;
    }
    return false;
}

// Held by every test whose server reads the kernel log.  Each read clears
// that log for the whole machine, so two such servers (CTest runs cases in
// parallel, and other runs of this suite may be going on) would take each
// other's lines.  Declare it before the Server: it is released after.
class KernelLogTurn {
  public:
    KernelLogTurn()
    {
        const auto path = std::filesystem::temp_directory_path() / "quarn-e2e-kernel-log.lock";
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        held_ = fd_ >= 0 && wait_until([&] { return flock(fd_, LOCK_EX | LOCK_NB) == 0; }, 300s);
    }
    ~KernelLogTurn()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    KernelLogTurn(const KernelLogTurn &) = delete;
    KernelLogTurn &operator=(const KernelLogTurn &) = delete;
    bool held() const { return held_; }

  private:
    int fd_ = -1;
    bool held_ = false;
};

std::size_t threads_called(pid_t pid, const std::string &name)
{
    std::size_t n = 0;
    for (const auto &t : thread_names(pid))
        n += t == name;
    return n;
}

// ---- staging -----------------------------------------------------------------

TEST(Staging, SyncSize0KWritesEachTextAtOnceBehindTheLast)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Server srv(dir, {"1M", "0K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    RawConn conn;
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "one\n") && settle(srv, conn, 1));
    EXPECT_EQ(srv.log("quarn.app"), "one\n" + END_MARK);
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "two\n") && settle(srv, conn, 1));
    EXPECT_EQ(srv.log("quarn.app"), "one\ntwo\n" + END_MARK);
}

// Sync size 4K: capacity 4096, so the batch goes once more than
// 4096 - 1116 = 2980 bytes wait, in one write.
TEST(Staging, SyncSize4KWritesTheBatchOnlyOnceTheFillPasses2980)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Server srv(dir, {"1M", "4K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    RawConn conn;
    const std::string a(999, 'a'), b(999, 'b'), c(979, 'c');
    for (const auto &t : {a + "\n", b + "\n", c + "\n"})
        ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, t));
    ASSERT_TRUE(settle(srv, conn, 1));
    EXPECT_EQ(srv.log("quarn.app"), "") << "2980 bytes must still wait";
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "d") && settle(srv, conn, 1));
    EXPECT_EQ(srv.log("quarn.app"), a + "\n" + b + "\n" + c + "\nd" + END_MARK);
}

TEST(Staging, TextOf1116BytesIsStoredAndOneOf1117IsNot)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Server srv(dir, {"1M", "0K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    RawConn conn;
    const std::string longest(1116, 'L'), too_long(1117, 'T');
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, too_long) && conn.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, longest));
    ASSERT_TRUE(settle(srv, conn, 1));
    EXPECT_EQ(srv.log("quarn.app"), longest + END_MARK);
}

// A batch longer than the whole file keeps its newest part and never
// makes the file longer than its size.
TEST(Staging, BatchLongerThanTheLogSizeNeverGrowsTheFile)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Server srv(dir, {"1K", "0K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    std::string text;
    for (int i = 0; text.size() < 1116; ++i)
        text += std::to_string(i) + ",";
    text.resize(1116);
    RawConn conn;
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, text) && settle(srv, conn, 1));
    const std::string log = srv.log("quarn.app");
    EXPECT_LE(log.size(), 1024u);
    EXPECT_NE(log.find(text.substr(text.size() - 1000)), std::string::npos) << log;
    EXPECT_EQ(count(log, END_MARK), 1u);
}

TEST(Staging, SyncWritesTheApplicationBatchAndLeavesTheDspBatchWaiting)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Server srv(dir, {"1M", "64K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    RawConn conn;
    ASSERT_TRUE(conn.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 65536 1"));
    ASSERT_TRUE(conn.send(QUARN_TYPE_DSP, QUARN_LEVEL_INFO, "dsp waits\n"));
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "app waits\n"));
    ASSERT_TRUE(settle(srv, conn, 1));
    ASSERT_EQ(srv.log("quarn.app"), "");
    EXPECT_EQ(run_cli({"sync"}).status, 0);
    EXPECT_TRUE(wait_until([&] { return srv.log("quarn.app") == "app waits\n" + END_MARK; })) << srv.log("quarn.app");
    ASSERT_TRUE(settle(srv, conn, 1));
    EXPECT_EQ(srv.log("quarn.dsp"), "");
    ASSERT_TRUE(conn.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "sync") && settle(srv, conn, 1));
    EXPECT_EQ(srv.log("quarn.dsp"), "dsp waits\n" + END_MARK);
}

// A restart finds the end marker and writes on at its "+", so the marker's
// newline stays behind the earlier text.
TEST(LogFile, RestartedServerWritesOnBehindTheEarlierText)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    {
        Server first(dir, {"1M", "0K", "1"});
        ASSERT_TRUE(first.listening()) << first.report();
        RawConn conn;
        ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "before") && settle(first, conn, 1));
        ASSERT_EQ(first.stop(), 0);
    }
    Server second(dir, {"1M", "0K", "1"});
    ASSERT_TRUE(second.listening()) << second.report();
    RawConn conn;
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "after") && settle(second, conn, 1));
    EXPECT_EQ(second.log("quarn.app"), "before\nafter" + END_MARK);
}

// ---- level and the control word ----------------------------------------------

TEST(Level, OnlyApplicationLevelCommandsMoveTheControlWord)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Server srv(dir, {"1M", "0K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    EXPECT_TRUE(wait_until([] { return control_word() == 1u; }));
    EXPECT_EQ(run_cli({"level", "3"}).status, 0);
    EXPECT_TRUE(srv.wait_out("logPrintLevel = 3 \n"));
    EXPECT_TRUE(wait_until([] { return control_word() == 3u; }));

    ASSERT_TRUE(run_client([] { quarn_dsp_change_level(2); }));
    EXPECT_TRUE(srv.wait_out("logPrintLevel = 2 \n"));
    RawConn conn;
    ASSERT_TRUE(conn.send(QUARN_TYPE_BSP, QUARN_LEVEL_CMD, "level0"));
    EXPECT_TRUE(srv.wait_out("logPrintLevel = 0 \n"));
    EXPECT_EQ(control_word(), 3u) << "DSP and BSP levels must leave the control word alone";
    // The BSP command lowered the application print level all the same.
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_DEBUG, "debug shows\n") && console_mark(srv, conn, "mark"));
    EXPECT_NE(srv.out().find("\033[32mdebug shows\n" + RESET), std::string::npos) << srv.out();
}

TEST(Level, ControlWordTakesTheLevelUncheckedAndMinusOneSilencesTheConsole)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Server srv(dir, {"1M", "0K", "7"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    EXPECT_TRUE(wait_until([] { return control_word() == 7u; })) << "no range check on the server's level";
    RawConn conn;
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "level-1"));
    ASSERT_TRUE(srv.wait_out("logPrintLevel = -1 \n"));
    EXPECT_EQ(control_word(), 0xFFFFFFFFu);
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_ERROR, "silenced\n") && console_mark(srv, conn, "mark"));
    EXPECT_EQ(srv.out().find("silenced"), std::string::npos);
    EXPECT_EQ(srv.log("quarn.app"), "silenced\n" + END_MARK);
}

// ---- redirect ----------------------------------------------------------------

// The control client names its own standard output; the server appends
// to that file and keeps what was in it.
TEST(Redirect, ConsoleMovesToTheClientsFileKeepingItsContent)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Server srv(dir, {"1M", "0K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    const std::string console = dir.file("console");
    write_file(console, "earlier\n");
    EXPECT_EQ(run_cli({"redirect"}, console, true).status, 0);
    const auto holds_console = [&] {
        std::error_code ec;
        for (const auto &fd : std::filesystem::directory_iterator("/proc/" + std::to_string(srv.pid()) + "/fd", ec))
            if (std::filesystem::read_symlink(fd.path(), ec) == console)
                return true;
        return false;
    };
    ASSERT_TRUE(wait_until(holds_console)) << srv.report();
    RawConn conn;
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_ERROR, "moved\n"));
    EXPECT_TRUE(wait_until([&] { return read_file(console).find(RESET) != std::string::npos; }));
    EXPECT_EQ(read_file(console), "earlier\nfile_path = " + console + " \n" + RED + "moved\n" + RESET);
    EXPECT_EQ(srv.out().find("moved"), std::string::npos);
}

TEST(Redirect, UnopenablePathSilencesTheConsoleUntilTheNextRedirect)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Server srv(dir, {"1M", "0K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    RawConn conn;
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "redirect:" + dir.file("no/such/dir")));
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_ERROR, "unseen\n") && settle(srv, conn, 1));
    EXPECT_EQ(srv.log("quarn.app"), "unseen\n" + END_MARK) << "staging goes on without a console";
    const std::string console = dir.file("console");
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "redirect:" + console));
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_ERROR, "seen\n"));
    EXPECT_TRUE(wait_until([&] { return read_file(console) == RED + "seen\n" + RESET; })) << read_file(console);
    EXPECT_EQ(srv.out().find("unseen"), std::string::npos);
}

// ---- dsp_init ----------------------------------------------------------------

TEST(DspInit, PrintsItsSettingsClampsTheLevelAndStagesDspText)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Server srv(dir, {"1M", "0K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    ASSERT_TRUE(run_client([] { quarn_msg_dsp_init(1048576, 0, 7); }));
    EXPECT_TRUE(srv.wait_lines("logSize = 0x100000, syncSize = 0x0, loglevel = 7\nset loglevel=error(3)\n" +
                               opened(dir, "quarn.dsp")))
        << srv.out();
    RawConn conn;
    ASSERT_TRUE(conn.send(QUARN_TYPE_DSP, QUARN_LEVEL_WARN, "dsp warning\n"));
    ASSERT_TRUE(conn.send(QUARN_TYPE_DSP, QUARN_LEVEL_ERROR, "dsp error\n"));
    ASSERT_TRUE(settle(srv, conn, 1) && srv.wait_out(RED + "dsp error\n" + RESET)) << srv.out();
    EXPECT_EQ(srv.out().find("dsp warning"), std::string::npos) << "DSP print level 3 hides warnings";
    EXPECT_EQ(srv.log("quarn.dsp"), "dsp warning\ndsp error\n" + END_MARK);
    EXPECT_EQ(srv.log("quarn.app"), "");
}

// A repeat cannot open the file again, yet its sync size and level apply.
TEST(DspInit, RepeatFailsToOpenButItsSettingsApplyAndShortFormsAreRejected)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Server srv(dir, {"1M", "0K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    RawConn conn;
    ASSERT_TRUE(conn.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 0 3"));
    ASSERT_TRUE(conn.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 2048 4096 -5"));
    ASSERT_TRUE(conn.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 65536"));
    ASSERT_TRUE(conn.send(QUARN_TYPE_DSP, QUARN_LEVEL_INFO, "waits for 4K\n"));
    ASSERT_TRUE(conn.send(QUARN_TYPE_DSP, QUARN_LEVEL_DEBUG, "level 0 shows debug\n"));
    ASSERT_TRUE(settle(srv, conn, 1));
    EXPECT_NE(srv.lines().find("logSize = 0x800, syncSize = 0x1000, loglevel = -5\nset loglevel=debug(0)\n"
                             "quarn_log_file_init QUARN_DSP_LOG_INIT failed.\n"
                             "cmd:dsp_init 1048576 65536 format error!\n"),
              std::string::npos)
        << srv.out();
    EXPECT_TRUE(srv.wait_out("\033[32mlevel 0 shows debug\n" + RESET));
    EXPECT_EQ(srv.log("quarn.dsp"), "");
}

// Raising the DSP sync size enlarges the staging buffer and keeps what
// waits in it; the batch goes out at the new threshold, whole and in order.
TEST(DspInit, RaisedSyncSizeKeepsTheWaitingTextAndTheNewThreshold)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Server srv(dir, {"1M", "0K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    RawConn conn;
    const std::string first(500, '0');
    ASSERT_TRUE(conn.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 2000 3"));
    ASSERT_TRUE(conn.send(QUARN_TYPE_DSP, QUARN_LEVEL_FILE, first));
    ASSERT_TRUE(conn.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 8192 3"));
    std::string expected = first;
    for (char c = '1'; c <= '6'; ++c) { // 6500 bytes: below 8192 - 1116
        expected += std::string(1000, c);
        ASSERT_TRUE(conn.send(QUARN_TYPE_DSP, QUARN_LEVEL_FILE, std::string(1000, c)));
    }
    ASSERT_TRUE(settle(srv, conn, 1));
    EXPECT_EQ(srv.log("quarn.dsp"), "");
    expected += std::string(1000, '7');
    ASSERT_TRUE(conn.send(QUARN_TYPE_DSP, QUARN_LEVEL_FILE, std::string(1000, '7')) && settle(srv, conn, 1));
    EXPECT_EQ(srv.log("quarn.dsp"), expected + END_MARK);
}

// ---- bsp_init and the kernel log thread --------------------------------------

TEST(BspInit, OpensTheFileStartsOneKernelThreadAndRepeatsFail)
{
    QUARN_REQUIRE_ISOLATION();
    KernelLogTurn turn;
    ASSERT_TRUE(turn.held());
    TempDir dir;
    Server srv(dir, {"1M", "0K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    ASSERT_TRUE(run_client([] { quarn_msg_bsp_init(65536, 0); }));
    EXPECT_TRUE(srv.wait_lines("logSize = 0x10000, freq = 0(seconds)\n" + opened(dir, "quarn.bsp"))) << srv.out();
    EXPECT_TRUE(wait_until([&] { return threads_called(srv.pid(), "klog_th 3") == 1; })) << "period 0 reads every 3 s";
    RawConn conn;
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "bsp_init 65536 5"));
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "bsp_init 65536"));
    ASSERT_TRUE(settle(srv, conn, 1));
    EXPECT_NE(srv.lines().find("logSize = 0x10000, freq = 5(seconds)\nquarn_log_file_init QUARN_BSP_LOG_INIT failed.\n"
                             "cmd=bsp_init 65536\n"),
              std::string::npos)
        << srv.out();
    EXPECT_EQ(threads_named(srv.pid(), "klog_th"), 1u);
}

// The first open fails (the name is a directory), the second succeeds:
// still one kernel log thread, however the opens went.
TEST(BspInit, FailedOpenThenGoodOpenStillRunsOneKernelThread)
{
    QUARN_REQUIRE_ISOLATION();
    KernelLogTurn turn;
    ASSERT_TRUE(turn.held());
    TempDir dir;
    Server srv(dir, {"1M", "0K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    ASSERT_TRUE(std::filesystem::create_directory(dir.file("quarn.bsp")));
    RawConn conn;
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "bsp_init 65536 1") && settle(srv, conn, 1));
    EXPECT_TRUE(wait_until([&] { return srv.err().find("open") != std::string::npos; })) << srv.report();
    const std::size_t unnamed = threads_called(srv.pid(), "quarn");
    ASSERT_TRUE(std::filesystem::remove(dir.file("quarn.bsp")));
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "bsp_init 65536 1") && settle(srv, conn, 1));
    EXPECT_TRUE(srv.wait_out(opened(dir, "quarn.bsp"))) << srv.out();
    // A thread made by the second open names itself at once; wait for that.
    ASSERT_TRUE(wait_until([&] {
        return threads_named(srv.pid(), "klog_th") >= 1 && threads_called(srv.pid(), "quarn") <= unnamed;
    }));
    EXPECT_EQ(threads_named(srv.pid(), "klog_th"), 1u);
}

TEST(KernelLog, LineWrittenToKmsgReachesTheBspFile)
{
    QUARN_REQUIRE_ISOLATION();
    if (!kernel_log("quarn e2e: kernel log test starts\n"))
        GTEST_SKIP() << "cannot write /dev/kmsg: " << strerror(errno);
    KernelLogTurn turn;
    ASSERT_TRUE(turn.held());
    TempDir dir;
    Server srv(dir, {"1M", "0K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    ASSERT_TRUE(run_client([] { quarn_msg_bsp_init(1 << 20, 1); }));
    ASSERT_TRUE(srv.wait_out(opened(dir, "quarn.bsp")));
    const std::string token = "quarn-e2e-kmsg-" + std::to_string(getpid());
    EXPECT_TRUE(kernel_line_reaches_bsp(srv, token)) << srv.log("quarn.bsp");
    EXPECT_TRUE(srv.log("quarn.bsp").ends_with(END_MARK));
}

// One kernel read longer than the BSP file keeps its newest part.
TEST(KernelLog, ReadLongerThanTheBspFileKeepsItsNewestPart)
{
    QUARN_REQUIRE_ISOLATION();
    if (!kernel_log("quarn e2e: long kernel read test starts\n"))
        GTEST_SKIP() << "cannot write /dev/kmsg: " << strerror(errno);
    KernelLogTurn turn;
    ASSERT_TRUE(turn.held());
    TempDir dir;
    Server srv(dir, {"1M", "0K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    ASSERT_TRUE(run_client([] { quarn_msg_bsp_init(4096, 1); }));
    ASSERT_TRUE(srv.wait_out(opened(dir, "quarn.bsp")));
    EXPECT_TRUE(kernel_line_reaches_bsp(srv, "quarn-e2e-newest-" + std::to_string(getpid()), 40));
    EXPECT_LE(srv.log("quarn.bsp").size(), 4096u);
}

// The kernel log thread and BSP-origin batches write one file: each write
// stays whole, nothing is overwritten, one marker stands at the end.
TEST(KernelLog, BspFileWritersNeverOverwriteEachOther)
{
    QUARN_REQUIRE_ISOLATION();
    if (!kernel_log("quarn e2e: two writers test starts\n"))
        GTEST_SKIP() << "cannot write /dev/kmsg: " << strerror(errno);
    KernelLogTurn turn;
    ASSERT_TRUE(turn.held());
    TempDir dir;
    Server srv(dir, {"1M", "0K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    RawConn conn;
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "bsp_init 4194304 1") && settle(srv, conn, 1));
    const std::string tag = std::to_string(getpid());
    const pid_t kernel_writer = fork_client([&] {
        for (int i = 0; i < 100; ++i)
            kernel_log("kline-" + tag + "-" + std::to_string(i) + "\n");
    });
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(conn.send(QUARN_TYPE_BSP, QUARN_LEVEL_FILE, "bline-" + std::to_string(i) + "\n"));
    ASSERT_EQ(exit_code(wait_exit(kernel_writer, 60s)), 0);
    ASSERT_TRUE(settle(srv, conn, 1));
    EXPECT_TRUE(kernel_line_reaches_bsp(srv, "kline-" + tag + "-last"));
    const std::string log = srv.log("quarn.bsp");
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(count(log, "\nbline-" + std::to_string(i) + "\n") + log.starts_with("bline-" + std::to_string(i) + "\n"), 1u)
            << "bline-" << i;
    EXPECT_EQ(count(log, END_MARK), 1u);
    EXPECT_TRUE(log.ends_with(END_MARK));
}

} // namespace
