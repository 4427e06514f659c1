// Staging and control commands on a running server: when text reaches the
// log files (to the byte), what sync, level, redirect, dsp_init and
// bsp_init do and print, and the kernel log thread.
#include "server_harness.h"

using namespace e2e;

namespace {

std::string opened(const Server &s, const std::string &name) { return s.file(name) + " open !!!\n"; }

// ---- staging and the log file -----------------------------------------------------

// Capacity 4096: the application batch goes in one write once more than
// 4096 - 1116 = 2980 bytes wait, or at a sync from the control client,
// which leaves the DSP batch to a DSP sync.
TEST(Staging, SyncSize4KWritesTheBatchOnceTheFillPasses2980OrAtSync)
{
    QUARN_REQUIRE_ISOLATION();
    Server s({"1M", "4K", "1"});
    ASSERT_TRUE(s.up()) << s.report();
    const std::string a(1000, 'a'), b(1000, 'b'), c(980, 'c');
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, a) && s.send(QUARN_TYPE_APP, QUARN_LEVEL_WARN, b));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, c) && s.settle());
    EXPECT_EQ(s.log("quarn.app"), "") << "2980 bytes must still wait";
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "d") && s.settle());
    const std::string batch = a + b + c + "d";
    EXPECT_EQ(s.log("quarn.app"), batch + END_MARK);
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 65536 1"));
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_INFO, "dsp waits\n"));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "app waits\n") && s.settle());
    ASSERT_EQ(s.log("quarn.app"), batch + END_MARK);
    EXPECT_EQ(run_cli({"sync"}).status, 0);
    EXPECT_TRUE(wait_until([&] { return s.log("quarn.app") == batch + "app waits\n" + END_MARK; }));
    ASSERT_TRUE(s.settle());
    EXPECT_EQ(s.log("quarn.dsp"), "");
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "sync") && s.settle());
    EXPECT_EQ(s.log("quarn.dsp"), "dsp waits\n" + END_MARK);
}

// Sync size 0K writes each text at once behind the last.  A restart finds
// the end marker and writes on at its "+": the marker's newline stays
// behind the earlier text.  Standard output, opened for appending, keeps
// the first server's lines, and the second's land whole beside them.
TEST(Restart, LogFileAndStandardOutputKeepTheEarlierText)
{
    QUARN_REQUIRE_ISOLATION();
    Server first;
    ASSERT_TRUE(first.up() && first.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "before") && first.settle()) << first.report();
    EXPECT_EQ(first.log("quarn.app"), "before" + END_MARK);
    ASSERT_EQ(first.stop(), 0);
    Server second({"1M", "0K", "1"}, {}, first.dir());
    const std::string longest(1116, 'L'); // the longest text staged; one byte more is not
    ASSERT_TRUE(second.up() && second.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "after") && second.settle()) << second.report();
    ASSERT_TRUE(second.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, longest + "X"));
    ASSERT_TRUE(second.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, longest) && second.settle());
    EXPECT_EQ(second.log("quarn.app"), "before\nafter" + longest + END_MARK);
    EXPECT_EQ(second.stop(), 0);
    const std::string out = second.out(), started = "path:" + first.dir() + "  size = 0x100000  sync 0   level 1 \n";
    EXPECT_TRUE(out.starts_with(started + opened(first, "quarn.app"))) << out;
    const std::pair<std::string, std::size_t> pieces[] = {{started, 2}, {opened(first, "quarn.app"), 2},
        {"logPrintLevel = 1 \n", 3}, {CYAN + "before" + RESET, 1}, {CYAN + "after" + RESET, 1}};
    for (const auto &[piece, times] : pieces)
        EXPECT_EQ(count(out, piece), times) << piece << " in\n" << out;
}

// ---- level, redirect -----------------------------------------------------------------

// The server's own level goes into the control word unchecked; later only
// application level commands move it, though a BSP one moves the application
// print level all the same; -1 silences the console, not the file.
TEST(Level, OnlyApplicationLevelCommandsMoveTheControlWord)
{
    QUARN_REQUIRE_ISOLATION();
    Server s({"1M", "0K", "7"});
    ASSERT_TRUE(s.up()) << s.report();
    EXPECT_TRUE(wait_until([] { return control_word() == 7u; })) << "no range check on the server's level";
    EXPECT_EQ(run_cli({"level", "3"}).status, 0);
    EXPECT_TRUE(s.wait_out("logPrintLevel = 3 \n"));
    EXPECT_TRUE(wait_until([] { return control_word() == 3u; }));
    ASSERT_EQ(wait_exit(fork_client([] { quarn_dsp_change_level(2); })), 0);
    EXPECT_TRUE(s.wait_out("logPrintLevel = 2 \n"));
    ASSERT_TRUE(s.round_trip(QUARN_TYPE_BSP, QUARN_LEVEL_CMD, "level0", "logPrintLevel = 0 \n"));
    EXPECT_EQ(control_word(), 3u) << "DSP and BSP levels must leave the control word alone";
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_DEBUG, "debug shows\n") && s.mark());
    EXPECT_NE(s.out().find(GREEN + "debug shows\n" + RESET), std::string::npos) << s.out();
    ASSERT_TRUE(s.round_trip(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "level-1", "logPrintLevel = -1 \n"));
    EXPECT_EQ(control_word(), 0xFFFFFFFFu);
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_ERROR, "silenced\n") && s.mark());
    EXPECT_EQ(s.out().find("silenced"), std::string::npos);
    EXPECT_EQ(s.log("quarn.app"), "silenced\n" + END_MARK);
}

// The control client names its own standard output; the server appends to
// that file and keeps what was in it.  A path that cannot be opened
// silences the console; staging goes on.
TEST(Redirect, ConsoleMovesToTheClientsFileKeepingItsContent)
{
    QUARN_REQUIRE_ISOLATION();
    Server s;
    ASSERT_TRUE(s.up()) << s.report();
    const std::string console = s.file("console");
    write_file(console, "earlier\n");
    EXPECT_EQ(run_cli({"redirect", "ignored"}, {.out = console}).status, 0);
    const std::string fds = "/proc/" + std::to_string(s.pid()) + "/fd";
    ASSERT_TRUE(wait_until([&] {
        std::error_code ec;
        for (const auto &fd : std::filesystem::directory_iterator(fds, ec))
            if (std::filesystem::read_symlink(fd.path(), ec) == console)
                return true;
        return false;
    })) << s.report();
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_ERROR, "moved\n"));
    EXPECT_TRUE(wait_until([&] { return read_file(console).ends_with(RESET); }));
    EXPECT_EQ(read_file(console), "earlier\nfile_path = " + console + " \n" + RED + "moved\n" + RESET);
    EXPECT_EQ(s.out().find("moved"), std::string::npos);
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "redirect:" + s.file("no/such/file")));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_ERROR, "unseen\n") && s.settle());
    EXPECT_EQ(s.log("quarn.app"), "moved\nunseen\n" + END_MARK);
    EXPECT_EQ(count(read_file(console) + s.out(), "unseen"), 0u);
}

// ---- dsp_init ------------------------------------------------------------------------

// The first dsp_init opens the file and stages DSP text at its own level;
// a repeat cannot open it again, yet its sync size and level apply (a
// raised sync size enlarges the staging buffer keeping the text waiting in
// it); a short form changes nothing.
TEST(DspInit, PrintsItsSettingsAndRepeatsFailButApplyKeepingTheWaitingText)
{
    QUARN_REQUIRE_ISOLATION();
    Server s;
    ASSERT_TRUE(s.up()) << s.report();
    ASSERT_EQ(wait_exit(fork_client([] { quarn_msg_dsp_init(1048576, 0, 7); })), 0);
    EXPECT_TRUE(s.wait_out("logSize = 0x100000, syncSize = 0x0, loglevel = 7\nset loglevel=error(3)\n" +
                           opened(s, "quarn.dsp")))
        << s.out();
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_WARN, "dsp warning\n"));
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_ERROR, "dsp error\n") && s.wait_out(RED + "dsp error\n" + RESET));
    EXPECT_EQ(s.out().find("dsp warning"), std::string::npos) << "DSP print level 3 hides warnings";
    const std::string written = "dsp warning\ndsp error\n";
    EXPECT_EQ(s.log("quarn.dsp"), written + END_MARK);
    EXPECT_EQ(s.log("quarn.app"), "");

    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 2048 4096 -5"));
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 0"));
    std::string waiting = "waits for 4K\n";
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_INFO, waiting));
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_DEBUG, "level 0 shows debug\n") && s.settle());
    EXPECT_NE(s.out().find("logSize = 0x800, syncSize = 0x1000, loglevel = -5\nset loglevel=debug(0)\n"
                           "quarn_log_file_init QUARN_DSP_LOG_INIT failed.\ncmd:dsp_init 1048576 0 format error!\n"),
              std::string::npos)
        << s.out();
    EXPECT_TRUE(s.wait_out(GREEN + "level 0 shows debug\n" + RESET));
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 8192 3"));
    for (char c = '1'; c <= '7'; ++c) { // 7013 bytes in all: not above 8192 - 1116
        waiting += std::string(1000, c);
        ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_FILE, std::string(1000, c)));
    }
    ASSERT_TRUE(s.settle());
    EXPECT_EQ(s.log("quarn.dsp"), written + END_MARK);
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_FILE, std::string(1000, '8')) && s.settle());
    EXPECT_EQ(s.log("quarn.dsp"), written + waiting + std::string(1000, '8') + END_MARK);
}

// A sync size far beyond the DSP file (here 1 GiB for a 16 KiB file) must
// not let text pile up in memory: no batch could be stored whole anyway.
TEST(DspInit, SyncSizeBeyondTheFileWritesBatchesThatFitIt)
{
    QUARN_REQUIRE_ISOLATION();
    Server s;
    ASSERT_TRUE(s.up()) << s.report();
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 16384 1073741824 3"));
    std::string last;
    for (char c = 'a'; c <= 't'; ++c) // 20000 bytes: more than the file holds
        ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_FILE, last = std::string(999, c) + "\n"));
    ASSERT_TRUE(s.settle());
    const std::string log = s.log("quarn.dsp");
    EXPECT_LE(log.size(), 16384u);
    EXPECT_NE(log.find(std::string(999, 'n')), std::string::npos) << "batches were written as the text came";
}

// ---- bsp_init and the kernel log thread -------------------------------------------

// The first open fails (the name is a directory) yet starts the kernel log
// thread (period 0 reads every 3 seconds); the second opens the file, and
// repeats cannot open it again: one thread all the same.
TEST(BspInit, PrintsItsSettingsAndRunsOneKernelThreadWhateverTheOpens)
{
    QUARN_REQUIRE_ISOLATION();
    KernelLogTurn turn;
    Server s;
    ASSERT_TRUE(turn.held() && s.up()) << s.report();
    ASSERT_TRUE(std::filesystem::create_directory(s.file("quarn.bsp")));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "bsp_init 65536 0") && s.settle());
    EXPECT_TRUE(wait_until([&] { return s.err().find("open") != std::string::npos; })) << s.report();
    const std::size_t unnamed = s.threads("quarn");
    ASSERT_TRUE(std::filesystem::remove(s.file("quarn.bsp")));
    ASSERT_EQ(wait_exit(fork_client([] { quarn_msg_bsp_init(65536, 5); })), 0);
    EXPECT_TRUE(s.wait_out("logSize = 0x10000, freq = 5(seconds)\n" + opened(s, "quarn.bsp"))) << s.out();
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "bsp_init 65536 2"));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "bsp_init 65536") && s.settle());
    EXPECT_NE(s.out().find("logSize = 0x10000, freq = 2(seconds)\nquarn_log_file_init QUARN_BSP_LOG_INIT failed.\n"
                           "cmd=bsp_init 65536\n"),
              std::string::npos)
        << s.out();
    // A thread any open made names itself at once: wait for that.
    ASSERT_TRUE(wait_until([&] { return s.threads("klog_th 3") == 1 && s.threads("quarn") <= unnamed; }));
    EXPECT_EQ(s.threads([](const Task &t) { return t.name.starts_with("klog_th"); }), 1u);
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

// The kernel log thread and BSP-origin batches write one file: kernel lines
// reach it, each write stays whole, none overwrites another, one marker
// stands at the end.
TEST(KernelLog, LinesReachTheBspFileAndNeverOverwriteItsBatches)
{
    QUARN_REQUIRE_ISOLATION();
    if (access("/dev/kmsg", W_OK) != 0)
        GTEST_SKIP() << "cannot write /dev/kmsg: " << strerror(errno);
    KernelLogTurn turn;
    Server s;
    ASSERT_TRUE(turn.held() && s.up()) << s.report();
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "bsp_init 4194304 1") && s.wait_out(opened(s, "quarn.bsp")));
    const std::string tag = "kline-" + std::to_string(getpid());
    const pid_t kernel_writer = fork_client([&] {
        for (int i = 0; i < 100; ++i)
            kmsg(tag + "-" + std::to_string(i) + "\n");
    });
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(s.send(QUARN_TYPE_BSP, QUARN_LEVEL_FILE, "bline-" + std::to_string(i) + "\n"));
    ASSERT_EQ(wait_exit(kernel_writer, 60s), 0);
    // Written again while it does not arrive: something outside this suite may clear the log too.
    ASSERT_TRUE(s.settle());
    const std::string last = tag + "-last";
    ASSERT_TRUE(wait_until([&] {
        return kmsg(last + "\n") && wait_until([&] { return s.log("quarn.bsp").find(last) != std::string::npos; }, 3s);
    }, 30s));
    const std::string log = "\n" + s.log("quarn.bsp");
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(count(log, "\nbline-" + std::to_string(i) + "\n"), 1u) << "bline-" << i;
    EXPECT_EQ(count(log, END_MARK), 1u);
    EXPECT_TRUE(log.ends_with(END_MARK));
}

} // namespace
