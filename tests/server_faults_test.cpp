// The log directory failing under a running server: a full disk, a
// directory removed, a read-only file system in its place.  The server must go on
// serving its clients, say what failed, lose no more than the batches it
// could not write, and write again once it can.
#include "server_harness.h"

#include <sched.h>
#include <sys/mount.h>

using namespace e2e;

namespace {

// A mount namespace of this test binary's own, made once; only servers
// started after it see the mounts made in it.
bool private_mounts()
{
    static const bool made = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return made;
}

// A small tmpfs on a fresh directory (or on at), in the private mount
// namespace.
class SmallDisk {
  public:
    explicit SmallDisk(const char *options, unsigned long flags = 0, const std::string &at = "")
        : at_(at.empty() ? own_.str() : at), options_(options)
    {
        mounted_ = private_mounts() && mount("tmpfs", at_.c_str(), "tmpfs", flags, options) == 0;
    }
    ~SmallDisk()
    {
        if (mounted_)
            umount2(at_.c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;

    bool mounted() const { return mounted_; }
    const std::string &dir() const { return at_; }
    std::string file(const std::string &name) const { return at_ + "/" + name; }
    // Linux refuses (EBUSY) to make a file system read-only while a file on
    // it is open for writing, as the server's log file always is.
    bool remount(unsigned long flags) const
    {
        return mount(nullptr, at_.c_str(), nullptr, MS_REMOUNT | flags, options_) == 0;
    }
    // Takes every free byte; false when the disk never reported ENOSPC.
    bool fill() const
    {
        owned_fd fd(open(file("filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        const std::string block(4096, 'F');
        for (ssize_t n = 0; n >= 0; n = write(fd.get(), block.data(), block.size())) {
        }
        return errno == ENOSPC;
    }
    void free_space() const { std::filesystem::remove(file("filler")); }

  private:
    TempDir own_;         // the mount point unless one was given
    std::string at_;      // the mount point
    const char *options_; // tmpfs options, kept for remounts
    bool mounted_;        // whether the destructor unmounts
};

constexpr int SENT = 8; // lines sent to a full disk

// Lines of about a quarter page, so that a few of them cross into a page
// the full disk cannot give.
std::string line(int i)
{
    return "full " + std::to_string(i) + " " + std::string(1000, '.') + "\n";
}

// The server's standard output and error live outside the log directory,
// which may fill up, turn read-only or vanish.
class LogDirFault : public testing::Test {
  protected:
    void SetUp() override
    {
        QUARN_REQUIRE_ISOLATION();
        if (!private_mounts())
            GTEST_SKIP() << "cannot make a private mount namespace: " << strerror(errno);
    }
    Server start(const std::string &dir) const
    {
        return Server({"1M", "0K", "1"}, {.out = out_.file("server.out"), .err = out_.file("server.err")}, dir);
    }
    // True once the print thread has handled what was sent before, and a
    // console line still comes through.
    static bool served(Server &s) { return s.settle() && s.mark(); }
    // Writes "before", fills the disk, sends SENT lines to it.
    static void lose_lines(Server &s, const SmallDisk &disk)
    {
        ASSERT_TRUE(s.up()) << s.report();
        ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "before\n") && s.settle()) << s.report();
        ASSERT_TRUE(disk.fill());
        for (int i = 0; i < SENT; ++i)
            ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, line(i)));
    }

    TempDir out_;
};

// Lines that found room are kept whole, the rest are lost with the perror
// line, and no piece of a lost line stays behind the marker to read as the
// oldest text.  The file must be exactly "before", the lines kept, then
// what comes after.
void expect_lost_lines_left_no_trace(const std::string &log, const std::string &after)
{
    std::string kept = "before\n";
    for (int i = 0; i <= SENT; kept += line(i++))
        if (log == kept + after + END_MARK)
            return;
    ADD_FAILURE() << "the log file is not the lines that found room followed by " << after << ":\n" << log;
}

TEST_F(LogDirFault, DiskFullLosesOnlyUnwrittenBatchesAndWritesAgainOnceSpaceIsFreed)
{
    SmallDisk disk("size=64k");
    ASSERT_TRUE(disk.mounted()) << strerror(errno);
    Server s = start(disk.dir());
    ASSERT_NO_FATAL_FAILURE(lose_lines(s, disk));
    EXPECT_TRUE(served(s)) << s.report();
    EXPECT_NE(s.err().find("logwrite: No space left on device\n"), std::string::npos) << s.report();
    disk.free_space();
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "after\n") && s.settle()) << s.report();
    expect_lost_lines_left_no_trace(s.log("quarn.app"), "after\n");
}

// A torn write on a full disk must not cost the file its marker: a server
// killed then restarts where it was, without a backup.
TEST_F(LogDirFault, KillAfterDiskFullRestartsAtTheMarkerWithoutBackup)
{
    SmallDisk disk("size=64k");
    ASSERT_TRUE(disk.mounted()) << strerror(errno);
    {
        Server s = start(disk.dir());
        ASSERT_NO_FATAL_FAILURE(lose_lines(s, disk));
        ASSERT_TRUE(s.settle()) << s.report();
        EXPECT_EQ(s.stop(SIGKILL), -1);
    }
    Server s = start(disk.dir());
    ASSERT_TRUE(s.up() && s.settle()) << s.report();
    EXPECT_FALSE(std::filesystem::exists(disk.file("quarn.app.bak")));
    disk.free_space();
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "after\n") && s.settle()) << s.report();
    expect_lost_lines_left_no_trace(s.log("quarn.app"), "\nafter\n"); // the marker's newline stays
}

// Writing on into the removed file would lose every later batch without a
// word: each batch reports that the file cannot be made again (a read-only
// file system in the directory's place is as good as none), and once the
// directory is writable again a fresh file takes the next batch.
TEST_F(LogDirFault, RemovedDirectoryReportsEachLostBatchAndAFreshFileTakesTheNextOnce)
{
    TempDir dir;
    Server s = start(dir.str());
    ASSERT_TRUE(s.up()) << s.report();
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "before\n") && s.settle()) << s.report();
    std::filesystem::remove_all(dir.path());
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "lost 1\n"));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "lost 2\n"));
    EXPECT_TRUE(served(s)) << s.report();
    EXPECT_EQ(count(s.err(), "open: No such file or directory\n"), 2u) << s.report();
    std::filesystem::create_directory(dir.path());
    SmallDisk disk("size=1m", MS_RDONLY, dir.str());
    ASSERT_TRUE(disk.mounted()) << strerror(errno);
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "lost 3\n"));
    EXPECT_TRUE(served(s)) << s.report();
    EXPECT_EQ(count(s.err(), "open: Read-only file system\n"), 1u) << s.report();
    ASSERT_TRUE(disk.remount(0)) << strerror(errno);
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "after\n") && s.settle()) << s.report();
    EXPECT_EQ(s.log("quarn.app"), "after\n" + END_MARK);
}

} // namespace
