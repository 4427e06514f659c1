// The worst day of a server: a disk that fills up, a log directory that
// vanishes, and connection churn.  (A kill at any moment of a write is
// logfile_test's torn images and server_failure_test's crashing writes.)
#include "harness.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>


namespace {

using namespace e2e;

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
    SmallDisk disk{mnt.str()};
    ASSERT_TRUE(disk.mounted) << strerror(errno);
    const ChildIo io{.out = out.file("server.out"), .err = out.file("server.err")};
    auto line = [](int i) { return "full " + std::to_string(i) + " " + std::string(1000, '.') + "\n"; };
    {
        Server s({"1M", "0K", "1"}, io, disk.at);
        ASSERT_TRUE(s.up() && s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "before\n") && s.settle()) << s.report();
        ASSERT_TRUE(disk.fill());
        for (int i = 0; i < 8; ++i)
            ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, line(i)));
        EXPECT_TRUE(wait_until([&] { return has(s.err(), "logwrite: No space left on device\n"); })) << s.report();
        EXPECT_EQ(s.stop(SIGKILL), 128 + SIGKILL);
    }
    Server s({"1M", "0K", "1"}, io, disk.at);
    ASSERT_TRUE(s.up() && s.settle()) << s.report();
    EXPECT_FALSE(std::filesystem::exists(disk.at + "/quarn.app.bak"));
    std::filesystem::remove(disk.at + "/filler");
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "after\n") && s.sync()) << s.report();
    std::string kept = "before\n";
    for (int i = 0; s.log("quarn.app") != kept + "\nafter\n" + END_MARK; kept += line(i++))
        ASSERT_LT(i, 8) << "not the lines that found room, then the rest:\n" << s.log("quarn.app");
    EXPECT_EQ(s.stop(), 0);
    TempDir gone;
    Server t({"1M", "0K", "1"}, io, gone.str());
    ASSERT_TRUE(t.up() && t.settle()) << t.report(); // it listens before its log file is open
    std::filesystem::remove_all(gone.str());
    ASSERT_TRUE(t.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "lost 1\n") && t.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "lost 2\n"));
    ASSERT_TRUE(t.settle());
    EXPECT_TRUE(wait_until([&] { return count(t.err(), "open: No such file or directory\n") == 2; })) << t.report();
    std::filesystem::create_directory(gone.str());
    ASSERT_TRUE(t.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "after\n") && t.settle()) << t.report();
    const std::string loss = "][WARN][quarn]14 bytes not stored in quarn.app: No such file or directory\n";
    EXPECT_TRUE(wait_until([&] { // the loss line follows once the write has gone through
        const std::string log = t.log("quarn.app");
        return log.starts_with("after\n[") && log.ends_with(loss + END_MARK) && log.size() == 26 + loss.size() + END_MARK.size();
    })) << t.log("quarn.app");
}

// A thousand connections held at once fit a 32-bit board's address space
// (small stacks per receive thread), then thousands more come and go: every
// thread and descriptor goes back, and the server serves on.
TEST(Hostile, ChurnGivesBackEveryThreadAndDescriptorAndAThousandFitABoard)
{
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4096);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const ChildIo io{}; // sanitizers reserve far more address space than a board has
#else
    const ChildIo io = sizeof(void *) == 8 ? ChildIo{.limit = RLIMIT_AS, .limit_to = rlim_t{3} << 30} : ChildIo{};
#endif
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
    EXPECT_TRUE(wait_until([&] { return s.threads("quarn_sv_rv") == 1000; }, 60s)) << s.threads("quarn_sv_rv");
    std::ranges::for_each(held, close);
    for (int i = 0; i < 2000; ++i) {
        const int fd = quarn_socket();
        ASSERT_TRUE(send_all(fd, record));
        close(fd);
    }
    EXPECT_TRUE(wait_until([&] { return entries(proc + "/task") == tasks && entries(proc + "/fd") == fds; }, 60s))
        << entries(proc + "/task") << " threads, " << entries(proc + "/fd") << " descriptors; at the start " << tasks
        << ", " << fds;
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "still serving\n"));
    EXPECT_TRUE(s.holds("quarn.app", "still serving\n" + END_MARK)) << s.log("quarn.app");
    EXPECT_EQ(s.stop(), 0) << s.report();
}

} // namespace
