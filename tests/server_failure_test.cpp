// Failure paths: nothing accepted is lost, no failure passes for success,
// and no local process reaches a file through the server.  What the server
// accepted it stores, or counts: at a stop by any signal in mid-burst, at a
// crash on an overflowed stack, and while a log file is being recovered.
// And the worst day of a server: a disk that fills up, a log directory that
// vanishes, and connection churn.
#include "harness.h"
#include "sender.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <atomic>

namespace {

using namespace e2e;
using std::string;


// A missing directory is made (0755 under umask 022); a log file that cannot
// be opened ends the server with the reason; closed standard descriptors
// never carry the log.
TEST(StartUp, DirectoryIsMadeUnopenableLogEndsTheServerAndClosedDescriptorsNeverCarryTheLog)
{
    TempDir t;
    const mode_t mask = umask(022);
    for (const std::vector<int> &closed : {std::vector<int>{}, {0, 1}, {1, 2}, {0, 1, 2}}) {
        TempDir fresh; // {0, 1} and {1, 2} must not share a directory
        const string dir = fresh.file("made/here");
        Server s({"1M", "0K", "1"}, {.out = t.file("out"), .err = t.file("err"), .closed = closed}, dir);
        ASSERT_TRUE(s.up() && s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "one\n") && wait_until([&] { return has(s.log("quarn.app"), "one\n"); }));
        ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "level1") && s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "two\n") &&
                    wait_until([&] { return has(s.log("quarn.app"), "two\n"); })) << closed.size();
        struct stat st{};
        EXPECT_TRUE(s.stop() == 0 && s.log("quarn.app") == "one\ntwo\n" + END_MARK && stat(dir.c_str(), &st) == 0 &&
                    (st.st_mode & 07777) == 0755) << closed.size() << s.log("quarn.app");
    }
    umask(mask);
    mkdir(t.file("dir").c_str(), 0755), mkdir(t.file("dir/quarn.app").c_str(), 0755), write_file(t.file("file"), "");
    for (const auto &[dir, says] : {std::pair{t.file("dir"), t.file("dir/quarn.app") + " refused: not a regular file"},
                                    {t.file("file/sub"), t.file("file/sub") + ": Not a directory"}}) {
        const CliResult got = run_cli({dir, "1M", "0K", "1"});
        EXPECT_TRUE(got.status == 1 && has(got.out, says)) << got.status << got.out;
    }
}

// Forged markers: whole in one line, across two records, at the end of a
// batch, and with the newline left in front of the write position by a restart.
TEST(Marker, LogTextCannotForgeTheEndMarker)
{
    TempDir dir;
    for (const auto &texts : {std::vector<string>{"x\n+$end$+\ny\n", "p\n+$en", "d$+\nq\n", "s\n+$end$+"}, {"+$end$+\nr\n"}}) {
        Server s({"1M", "0K", "1"}, {}, dir.path);
        for (const string &text : texts)
            ASSERT_TRUE(s.up() && s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, text));
        ASSERT_TRUE(s.settle() && s.stop() == 0);
    }
    EXPECT_EQ(read_file(dir.file("quarn.app")), "x\n+$end$-\ny\np\n+$end$-\nq\ns\n+$end$-\n+$end$-\nr\n" + END_MARK);
}

// A lost record's message never waits, neither for a full pipe nor for
// the stdout lock another thread holds; a signal handler that logs in the
// middle of a send loses its record instead of waiting for its own thread;
// and what was lost is reported at exit once a server listens.
TEST(Client, LostRecordsNeverWaitAndAreReportedAtExit)
{
    int p[2], done[2], go[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK | O_CLOEXEC) | pipe(done) | pipe(go), 0);
    while (write(p[1], "full", 4) == 4) {
    }
    fcntl(p[1], F_SETFL, 0);
    static std::atomic<long> calls{0};
    const pid_t pid = fork_client([&] {
        std::atomic<bool> sent_all{false};
        std::thread holder([&] { flockfile(stdout), sent_all.wait(false), funlockfile(stdout); });
        signal(SIGALRM, [](int) { ++calls, quarn_msg_write_with_type(0, QUARN_LEVEL_INFO, "T", "from the handler\n"); });
        const itimerval every{{0, 50}, {0, 50}}, off{};
        // The timer starts after the first loss, so that the loss the report
        // names is the refused connect and not a handler's that raced it.
        for (int i = 0; i < 5000; ++i, ++calls) {
            quarn_msg_write_with_type(0, QUARN_LEVEL_INFO, "T", "lost %d\n", i);
            if (i == 0)
                setitimer(ITIMER_REAL, &every, nullptr);
        }
        setitimer(ITIMER_REAL, &off, nullptr);
        sent_all = true, sent_all.notify_one(), holder.join();
        char byte;
        const long sent = calls;
        if (write(done[1], &sent, sizeof sent) == sizeof sent && read(go[0], &byte, 1) == 1)
            exit(0); // the library reports what was lost at exit
    }, "/proc/self/fd/" + std::to_string(p[1]));
    long lost = 0;
    pollfd ready{done[0], POLLIN, 0};
    if (poll(&ready, 1, 60000) != 1 || read(done[0], &lost, sizeof lost) != sizeof lost)
        FAIL() << "a call waited: " << (kill(pid, SIGKILL), wait_exit(pid));
    Server s;
    ASSERT_EQ(write(go[1], "g", 1), 1);
    EXPECT_EQ(wait_exit(pid), 0);
    EXPECT_TRUE(s.wait_out("[quarn]" + std::to_string(lost) + " records lost: connect failed: Connection refused\n")) << s.out();
    close(p[0]), close(p[1]);
}

// Each child forked while another thread sends makes its own connection
// and sends its first record (the server may still drop it under the
// flood, so the child's own sender says whether it went out).
TEST(Client, ForkWhileAnotherThreadSendsLeavesAWorkingChild)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer's runtime may hold its own locks across the fork";
#endif
    Server s;
    const pid_t pid = fork_client([] {
        std::atomic<bool> stop{false};
        std::jthread flood([&] {
            while (!stop)
                quarn_msg_write_with_type(QUARN_DSP_LOG_INIT, QUARN_LEVEL_FILE, "F", "flood\n");
        });
        for (int i = 0; i < 50; ++i) {
            const pid_t child = fork();
            if (child == 0)
                quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_FILE, "C", "child\n"), _exit(quarn_sender_connected() ? 0 : 2);
            if (wait_exit(child, 5s) != 0)
                _exit(1);
        }
        stop = true;
    });
    EXPECT_EQ(wait_exit(pid, 120s), 0) << "a child hung or could not send";
}

// Every stop signal in mid-burst (senders at full speed on blocking
// connections, each counting the records its send() accepted until the
// server ends its reading) ends the server with status 0 and every
// accepted record stored or counted; a fault ends it by its own signal.
// Either way the waiting text of every kind is written.  Signal 0 stands
// for a receive thread that overflows its stack (the preloaded library
// makes it recurse on "overflow now"): it still runs the fault handler.
class StopBySignal : public testing::TestWithParam<int> {};

TEST_P(StopBySignal, WritesTheWaitingTextAndKeepsOrCountsEveryRecordAcceptedBeforeIt)
{
    const int sig = GetParam();
    const bool overflow = sig == 0, fault = overflow || sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE ||
                                            sig == SIGABRT || sig == SIGQUIT;
#ifdef QUARN_NO_PRELOAD
    if (overflow)
        GTEST_SKIP() << "a static or emulated server loads no preloaded library";
#endif
    // An empty LD_PRELOAD loads nothing; the preload goes before a sanitizer's runtime.
    const Env preload("LD_PRELOAD", overflow ? QUARN_OVERFLOW_PRELOAD : ""), asan("ASAN_OPTIONS", "verify_asan_link_order=0");
    Server s({"64M", "64K", "1"}, {.limit = RLIMIT_CORE, .limit_to = 0});
    const string text = "waits for " + std::to_string(sig) + "\n";
    ASSERT_TRUE(s.up() && s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 65536 1") &&
                s.wait_out(s.file("quarn.dsp") + " open !!!")) << s.report();
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, text) && s.send(QUARN_TYPE_DSP, QUARN_LEVEL_WARN, text) && s.settle());
    ASSERT_EQ(s.log("quarn.app") + s.log("quarn.dsp"), "") << "nothing may be written before the stop";
    int counts[2];
    ASSERT_EQ(pipe(counts), 0);
    std::vector<pid_t> pids;
    for (int k = 0; k < (fault ? 0 : 3); ++k)
        pids.push_back(spawn({}, [&] {
            const int fd = quarn_socket();
            long sent = 0;
            for (; sent < 200000; ++sent) {
                string line = "s" + std::to_string(k) + " " + std::to_string(sent) + " ";
                if (!send_all(fd, make_record(QUARN_TYPE_APP, QUARN_LEVEL_INFO, line.append(99 - line.size(), '.') + "\n")))
                    break;
            }
            _exit(write(counts[1], &sent, sizeof sent) == sizeof sent ? 0 : 1);
        }));
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(!overflow || s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "overflow now\n"));
    EXPECT_EQ(s.stop(sig), fault ? 128 + (overflow ? SIGSEGV : sig) : 0) << s.report();
    long accepted = 0;
    for (const pid_t pid : pids) {
        long sent = 0;
        EXPECT_TRUE(wait_exit(pid) == 0 && read(counts[0], &sent, sizeof sent) == sizeof sent);
        accepted += sent;
    }
    const Tally t = tally(s.log("quarn.app"), "s");
    EXPECT_TRUE(s.log("quarn.app").starts_with(text) && s.log("quarn.app").ends_with(END_MARK) && t.stored + t.counted == accepted &&
                s.log("quarn.dsp") == text + END_MARK)
        << t.stored << " stored, " << t.counted << " counted of " << accepted;
}

INSTANTIATE_TEST_SUITE_P(Signals, StopBySignal,
                         testing::Values(0, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGQUIT, SIGTERM, SIGINT, SIGHUP, SIGUSR2,
                                         SIGALRM, SIGPWR, SIGXCPU, SIGRTMIN + 2),
                         [](const auto &info) { return string(info.param == 0 ? "StackOverflow" : sigabbrev_np(info.param) ?: "RT"); });

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

// A small tmpfs mounted in this binary's own mount namespace: only servers
// started after it see it.
struct SmallDisk {
    std::string at;
    bool mounted = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   mount("tmpfs", at.c_str(), "tmpfs", 0, "size=64k,mode=0755") == 0;
    ~SmallDisk() { umount2(at.c_str(), MNT_DETACH); }
    bool fill() const // takes every free byte
    {
        const int fd = open((at + "/filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        for (const std::string block(4096, 'F'); write(fd, block.data(), block.size()) > 0;) {
        }
        return close(fd), errno == ENOSPC;
    }
};

// A full disk costs only the batches it could not take, says so, leaves no
// piece of them behind the marker, and a kill then restarts at the marker;
// a removed directory reports each lost batch, a fresh file takes the
// next once the directory is back, and a line then counts what was lost.
// Output lives outside the directory.
TEST(LogDirFault, FullDiskAndRemovedDirectoryLoseOnlyWhatCouldNotBeWritten)
{
    TempDir out, mnt;
    SmallDisk disk{mnt.path};
    ASSERT_TRUE(disk.mounted) << strerror(errno);
    const ChildIo io{.out = out.file("server.out"), .err = out.file("server.err")};
    auto line = [](int i) { return "full " + std::to_string(i) + " " + std::string(1000, '.') + "\n"; };
    {
        Server s({"1M", "0K", "1"}, io, disk.at);
        ASSERT_TRUE(s.up() && s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "before\n") && s.settle() && disk.fill()) << s.report();
        for (int i = 0; i < 8; ++i)
            ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, line(i)));
        EXPECT_TRUE(wait_until([&] { return has(s.err(), "logwrite: No space left on device\n"); })) << s.report();
        s.stop(SIGKILL); // killed before it could write anything more
    }
    Server s({"1M", "0K", "1"}, io, disk.at);
    ASSERT_TRUE(s.up() && s.settle() && !std::filesystem::exists(disk.at + "/quarn.app.bak")) << s.report();
    std::filesystem::remove(disk.at + "/filler");
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "after\n") && s.sync()) << s.report();
    std::string kept = "before\n";
    for (int i = 0; s.log("quarn.app") != kept + "\nafter\n" + END_MARK; kept += line(i++))
        ASSERT_LT(i, 8) << "not the lines that found room, then the rest:\n" << s.log("quarn.app");
    EXPECT_EQ(s.stop(), 0);
    TempDir gone;
    Server t({"1M", "0K", "1"}, io, gone.path);
    ASSERT_TRUE(t.up() && t.settle()) << t.report(); // it listens before its log file is open
    std::filesystem::remove_all(gone.path);
    ASSERT_TRUE(t.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "lost 1\n") && t.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "lost 2\n") &&
                t.settle());
    EXPECT_TRUE(wait_until([&] { return count(t.err(), "open: No such file or directory\n") == 2; })) << t.report();
    std::filesystem::create_directory(gone.path);
    ASSERT_TRUE(t.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "after\n") && t.settle()) << t.report();
    const std::string loss = "][WARN][quarn]14 bytes not stored in quarn.app: No such file or directory\n";
    EXPECT_TRUE(wait_until([&] { // the loss line follows once the write has gone through
        const std::string log = t.log("quarn.app");
        return log.starts_with("after\n[") && log.ends_with(loss + END_MARK) && log.size() == 26 + loss.size() + END_MARK.size();
    })) << t.log("quarn.app");
}

// A thousand connections held at once fit a 32-bit board's address space,
// then thousands more come and go: every thread and descriptor goes back,
// and the server serves on.
TEST(Hostile, ChurnGivesBackEveryThreadAndDescriptorAndAThousandFitABoard)
{
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4096);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
    // A 64-bit server gets a 32-bit board's address space; a sanitized one needs far more.
    const ChildIo io = sizeof(void *) == 8 && !SANITIZED ? ChildIo{.limit = RLIMIT_AS, .limit_to = rlim_t{3} << 30} : ChildIo{};
    Server s({"1M", "0K", "1"}, io);
    ASSERT_TRUE(s.up() && s.settle()) << s.report();
    const std::string proc = "/proc/" + std::to_string(s.pid());
    auto entries = [](const std::string &dir) {
        std::error_code ec;
        return std::distance(std::filesystem::directory_iterator(dir, ec), {});
    };
    const auto tasks = entries(proc + "/task"), fds = entries(proc + "/fd");
    const std::string record = make_record(QUARN_TYPE_APP, QUARN_LEVEL_DEBUG, "churn\n");
    std::vector<int> held(999); // with the settling one, as many as are served at once
    for (int &fd : held)
        ASSERT_TRUE(send_all(fd = quarn_socket(), record));
    EXPECT_TRUE(wait_until([&] { return entries(proc + "/fd") == fds + 999; }, 60s)) << entries(proc + "/fd");
    std::ranges::for_each(held, close);
    // the churn starts once they are gone: beyond the thousand it would be shed, and say so
    EXPECT_TRUE(wait_until([&] { return entries(proc + "/fd") == fds; }, 60s)) << entries(proc + "/fd");
    for (int i = 0; i < 2000; ++i) {
        const int fd = quarn_socket();
        ASSERT_TRUE(send_all(fd, record));
        close(fd);
    }
    EXPECT_TRUE(wait_until([&] { return entries(proc + "/task") == tasks && entries(proc + "/fd") == fds; }, 60s))
        << entries(proc + "/task") << " threads, " << entries(proc + "/fd") << " descriptors; at the start " << tasks
        << ", " << fds;
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "still serving\n"));
    EXPECT_TRUE(wait_until([&] { return s.log("quarn.app") == "still serving\n" + END_MARK; })) << s.log("quarn.app");
    EXPECT_EQ(s.stop(), 0) << s.report();
}

} // namespace
