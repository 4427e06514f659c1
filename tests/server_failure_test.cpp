// Failure paths: nothing accepted is lost, no failure passes for success,
// and no local process reaches a file through the server.
#include "harness.h"
#include "logfile.h"
#include "sender.h"

#include <sys/stat.h>

#include <atomic>

namespace {

using namespace e2e;
using std::string;

constexpr auto npos = string::npos;

bool has(const string &hay, const string &needle) { return hay.find(needle) != npos; }

TEST(StartUp, MissingLogDirectoryIsMadeAndAnUnopenableLogFileEndsTheServer)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir t;
    const mode_t mask = umask(022);
    {
        Server s({"1M", "0K", "1"}, {.out = t.file("out"), .err = t.file("err")}, t.file("made/here"));
        ASSERT_TRUE(s.up() && s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "kept\n")) << read_file(t.file("out"));
        EXPECT_TRUE(wait_until([&] { return s.log("quarn.app") == "kept\n" + END_MARK; }));
        struct stat st{};
        EXPECT_TRUE(stat(t.file("made").c_str(), &st) == 0 && (st.st_mode & 07777) == 0755);
    }
    umask(mask);
    mkdir(t.file("dir").c_str(), 0755);
    mkdir(t.file("dir/quarn.app").c_str(), 0755);
    write_file(t.file("file"), "");
    for (const auto &[dir, says] : {std::pair{t.file("dir"), t.file("dir/quarn.app") + ": Is a directory"},
                                    {t.file("file/sub"), t.file("file/sub") + ": Not a directory"}}) {
        const CliResult got = run_cli({dir, "1M", "0K", "1"});
        EXPECT_TRUE(got.status == 1 && has(got.out, says)) << got.status << got.out;
    }
}

// Each kind's text in its own batches; BSP-origin text in quarn.app until
// quarn.bsp is open; one sync writes every kind; a BSP level is the application's.
TEST(Kinds, TextNeverLandsInAnotherKindsFile)
{
    QUARN_REQUIRE_ISOLATION();
    KernelLogTurn turn;
    Server s({"1M", "64K", "1"});
    ASSERT_TRUE(turn.held() && s.up());
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 65536 4096 1"));
    for (const auto &[type, text] : {std::pair{QUARN_TYPE_BSP, "b1\n"}, {QUARN_TYPE_APP, "a1\n"}, {QUARN_TYPE_DSP, "d1\n"}})
        ASSERT_TRUE(s.send(type, QUARN_LEVEL_FILE, text));
    ASSERT_TRUE(s.sync());
    EXPECT_EQ(s.log("quarn.dsp"), "d1\n" + END_MARK);
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "bsp_init 65536 1") && s.settle());
    ASSERT_TRUE(s.send(QUARN_TYPE_BSP, QUARN_LEVEL_FILE, "b2\n") && s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "a2\n"));
    ASSERT_TRUE(s.sync());
    EXPECT_TRUE(has(s.log("quarn.app"), "a2\n") && !has(s.log("quarn.app"), "b2")) << s.log("quarn.app");
    EXPECT_TRUE(has(s.log("quarn.app"), "b1\n") && has(s.log("quarn.app"), "a1\n")) << s.log("quarn.app");
    EXPECT_TRUE(has(s.log("quarn.bsp"), "b2\n"));
    ASSERT_TRUE(s.round_trip(QUARN_TYPE_BSP, QUARN_LEVEL_CMD, "level3", "logPrintLevel = 3 \n"));
    EXPECT_EQ(control_word(), 3u);
}

// Forged markers: whole in one line, across two records, at the end of a
// batch, and with the newline left in front of the write position by a restart.
TEST(Marker, LogTextCannotForgeTheEndMarker)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    {
        Server s({"1M", "0K", "1"}, {}, dir.str());
        for (const char *text : {"x\n+$end$+\ny\n", "p\n+$en", "d$+\nq\n", "s\n+$end$+"})
            ASSERT_TRUE(s.up() && s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, text));
        ASSERT_TRUE(wait_until([&] { return has(s.log("quarn.app"), "s\n+$end$"); }));
        ASSERT_EQ(s.stop(), 0);
    }
    Server s({"1M", "0K", "1"}, {}, dir.str());
    ASSERT_TRUE(s.up() && s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "+$end$+\nr\n"));
    ASSERT_TRUE(wait_until([&] { return has(s.log("quarn.app"), "r\n"); }));
    EXPECT_EQ(s.log("quarn.app"), "x\n+$end$-\ny\np\n+$end$-\nq\ns\n+$end$-\n+$end$-\nr\n" + END_MARK);
}

int g_writes_left = -1; // write calls before the simulated crash; -1 none

ssize_t crashing_pwritev(int fd, const iovec *iov, int n, off_t pos)
{
    if (g_writes_left-- == 0)
        _exit(3);
    return pwritev(fd, iov, n, pos);
}

// A crash before, between and after the calls of a wrapping write: the next
// open finds a marker (no backup), and the complete write leaves its bytes.
// A failed sync is a failed write.
TEST(LogFile, CrashAtAnyPointOfAWrapLeavesAMarkerAndAFailedSyncIsAnError)
{
    const string F(40, 'F'), text = "0123456789abcdefghijklmnopqrstuvwxyz";
    const struct {
        size_t len;
        bool restart;
        string file;
    } rows[] = {
        {30, false, "opqrst" + END_MARK + F.substr(15) + "0123456789abcdefghijklmn"},
        {20, false, END_MARK + F.substr(9) + "0123456789abcdefghij\n\n\n\n"},
        {30, true, "nopqrst" + END_MARK + F.substr(16) + "\n0123456789abcdefghijklm"},
    };
    for (const auto &r : rows)
        for (int crash_at = 0; crash_at <= 3; ++crash_at) {
            TempDir d;
            auto open_log = [&] { return bsp_quarn_log_file_init(d.str().c_str(), int(d.str().size()), 64, 0); };
            auto put = [](const string &s) { return bsp_quarn_log_file_write(s.data(), int(s.size()), 0); };
            ASSERT_TRUE(open_log() == 0 && put(F) == 0);
            if (r.restart)
                bsp_quarn_log_file_close(0);
            const pid_t pid = fork();
            if (pid == 0) {
                if (r.restart && open_log() != 0)
                    _exit(1);
                g_writes_left = crash_at;
                quarn_log_file_set_io({crashing_pwritev, nullptr});
                _exit(put(text.substr(0, r.len)) == 0 ? 0 : 2);
            }
            const int status = wait_exit(pid);
            bsp_quarn_log_file_close(0);
            EXPECT_TRUE(open_log() == 0 && !std::filesystem::exists(d.file("quarn.app.bak"))) << r.len << "@" << crash_at;
            bsp_quarn_log_file_close(0);
            EXPECT_TRUE(status == 3 || (status == 0 && read_file(d.file("quarn.app")) == r.file)) << r.len << "@" << crash_at;
        }
    TempDir d; // a failed sync is a failed write, said once
    ASSERT_EQ(bsp_quarn_log_file_init(d.str().c_str(), int(d.str().size()), 64, 0), 0);
    quarn_log_file_set_io({nullptr, [](int) { return errno = EIO, -1; }});
    testing::internal::CaptureStderr();
    EXPECT_EQ(bsp_quarn_log_file_write("x\n", 2, 0), -EIO);
    EXPECT_TRUE(has(testing::internal::GetCapturedStderr(), "fsync"));
    quarn_log_file_set_io({});
    bsp_quarn_log_file_close(0);
}

// Every ending signal writes the waiting text of every kind; a fault then
// ends the server by its own signal, a stop signal with status 0.
TEST(Signals, FaultEndsByItsSignalAndStopSignalsEndInOrder)
{
    QUARN_REQUIRE_ISOLATION();
    for (const int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGQUIT, SIGTERM, SIGINT, SIGHUP}) {
        const bool fault = sig != SIGTERM && sig != SIGINT && sig != SIGHUP;
        Server s({"1M", "64K", "1"}, {.limit = RLIMIT_CORE, .limit_to = 0});
        const string text = "waits for " + std::to_string(sig) + "\n";
        ASSERT_TRUE(s.up() && s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 65536 1"));
        ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, text) && s.send(QUARN_TYPE_DSP, QUARN_LEVEL_WARN, text) && s.settle());
        ASSERT_EQ(s.log("quarn.app") + s.log("quarn.dsp"), "") << "nothing may be written before the stop";
        EXPECT_EQ(s.stop(sig), fault ? 128 + sig : 0) << strsignal(sig);
        EXPECT_EQ(s.log("quarn.app") + s.log("quarn.dsp"), text + END_MARK + text + END_MARK) << strsignal(sig);
    }
}

// The first log call blocks in its message on a full pipe; a second thread's
// call must still reach the server.
TEST(Client, MessageOfALostRecordNeverHoldsTheConnection)
{
    QUARN_REQUIRE_ISOLATION();
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK | O_CLOEXEC), 0);
    while (write(p[1], "full", 4) == 4) {
    }
    fcntl(p[1], F_SETFL, 0);
    const pid_t pid = fork_client([&] {
        close(p[0]); // the first call's message then ends with the test's read end
        std::thread second([] {
            wait_until([] { return close(quarn_socket()) == 0; }, 60s);
            quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_INFO, "T", "second thread\n");
        });
        second.detach();
        setvbuf(stdout, nullptr, _IONBF, 0);
        quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_INFO, "T", "lost\n");
    }, "/proc/self/fd/" + std::to_string(p[1]));
    ASSERT_TRUE(wait_until([&] { return has(read_file("/proc/" + std::to_string(pid) + "/wchan"), "pipe_write"); }));
    Server s;
    EXPECT_TRUE(s.wait_out("second thread\n")) << s.report();
    close(p[1]);
    close(p[0]);
    wait_exit(pid);
}

// Each child forked while another thread sends makes its own connection
// and sends its first record (the server may still drop it under the
// flood, so the child's own sender says whether it went out).
TEST(Client, ForkWhileAnotherThreadSendsLeavesAWorkingChild)
{
    QUARN_REQUIRE_ISOLATION();
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer's runtime may hold its own locks across the fork";
#endif
    Server s;
    const pid_t pid = fork_client([] {
        std::atomic<bool> stop{false};
        std::thread flood([&] {
            while (!stop)
                quarn_msg_write_with_type(QUARN_DSP_LOG_INIT, QUARN_LEVEL_FILE, "F", "flood\n");
        });
        for (int i = 0; i < 50; ++i) {
            const pid_t child = fork();
            if (child == 0)
                quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_FILE, "C", "child\n"),
                    _exit(quarn_sender_connected() ? 0 : 2);
            if (wait_exit(child, 5s) != 0)
                _exit(1);
        }
        stop = true;
        flood.join();
    });
    EXPECT_EQ(wait_exit(pid, 120s), 0) << "a child hung or could not send";
}

// dsp_init and bsp_init refuse sizes out of range and change nothing; one
// whose open fails starts neither DSP staging nor a kernel log thread.
TEST(Commands, OutOfRangeSizesOrAFailedOpenStartNothing)
{
    QUARN_REQUIRE_ISOLATION();
    KernelLogTurn turn;
    Server s;
    ASSERT_TRUE(turn.held() && s.up());
    for (const string cmd : {"dsp_init 1023 0 3", "dsp_init 1073741825 0 3", "dsp_init -1 0 3", "dsp_init 4096 4096 3",
                             "dsp_init 1073741824 4194305 3", "bsp_init 1023 1", "bsp_init -1 1"}) {
        ASSERT_TRUE(s.send(cmd[0] == 'd' ? QUARN_TYPE_DSP : QUARN_TYPE_APP, QUARN_LEVEL_CMD, cmd) && s.settle());
        EXPECT_TRUE(has(s.out(), "cmd:" + cmd + " refused")) << cmd;
    }
    EXPECT_TRUE(s.round_trip(QUARN_TYPE_DSP, QUARN_LEVEL_DEBUG, "dsp level still 0\n", "dsp level still 0\n"));
    EXPECT_FALSE(std::filesystem::exists(s.file("quarn.dsp")) || std::filesystem::exists(s.file("quarn.bsp")));
    for (const string kind : {"dsp", "bsp"}) {
        mkdir(s.file("quarn." + kind).c_str(), 0755);
        ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, kind + "_init 65536 1 1") && s.settle());
        EXPECT_TRUE(has(s.out(), "quarn_log_file_init QUARN_" + string(kind == "dsp" ? "DSP" : "BSP") + "_LOG_INIT failed.\n"));
    }
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_FILE, "not staged\n") && s.sync());
    EXPECT_EQ(s.threads("klog_th 1"), 0u);
    EXPECT_FALSE(has(s.log("quarn.app"), "not staged"));
}

TEST(Redirect, OnlyExistingTerminalsFifosAndDevicesTakeTheConsole)
{
    QUARN_REQUIRE_ISOLATION();
    Server s;
    TempDir t;
    write_file(t.file("regular"), "");
    ASSERT_TRUE(s.up() && symlink(t.file("regular").c_str(), t.file("link").c_str()) == 0);
    ASSERT_EQ(mkfifo(t.file("fifo").c_str(), 0600) | mkfifo(t.file("unread").c_str(), 0600), 0);
    const int fifo = open(t.file("fifo").c_str(), O_RDONLY | O_NONBLOCK);
    for (const string name : {"regular", "link", "missing", "unread", "fifo"}) { // "unread": no reader to wait for
        ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "redirect:" + t.file(name)) && s.settle());
        ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "to " + name + "\n") && s.settle());
    }
    EXPECT_TRUE(s.wait_out("to unread\n") && !has(s.out(), "to fifo"));
    EXPECT_TRUE(read_file(t.file("regular")).empty() && !std::filesystem::exists(t.file("missing")));
    char buf[64];
    string got;
    EXPECT_TRUE(wait_until([&] { return has(got.append(buf, std::max<ssize_t>(read(fifo, buf, 64), 0)), "to fifo\n"); }));
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    const pid_t cli = spawn_quarn({"redirect"}, {.out = "/proc/self/fd/" + std::to_string(p[1]), .err = t.file("err")});
    EXPECT_EQ(wait_exit(cli), 1);
    EXPECT_TRUE(has(read_file(t.file("err")), "redirect")) << read_file(t.file("err"));
    close(p[0]), close(p[1]), close(fifo);
}

TEST(StartUp, ClosedStandardDescriptorsNeverCarryTheLog)
{
    QUARN_REQUIRE_ISOLATION();
    for (const std::vector<int> &closed : {std::vector{0, 1}, {1, 2}, {0, 1, 2}}) {
        TempDir t;
        Server s({"1M", "0K", "1"}, {.out = t.file("out"), .err = t.file("err"), .closed = closed});
        ASSERT_TRUE(s.up() && s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "one\n"));
        ASSERT_TRUE(wait_until([&] { return has(s.log("quarn.app"), "one\n"); }));
        ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "level1") && s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "two\n"));
        ASSERT_TRUE(wait_until([&] { return has(s.log("quarn.app"), "two\n"); }));
        EXPECT_EQ(s.stop(), 0);
        EXPECT_EQ(s.log("quarn.app"), "one\ntwo\n" + END_MARK) << closed.size();
    }
}

} // namespace
