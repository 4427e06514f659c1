// Circular log file: write position, wrap, restart, recovery into the
// backup, and files that cannot be read or backed up.
#include "logfile.h"
#include "result.h"
#include "support.h"

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

const std::string MARK(QUARN_END_MARK, QUARN_END_MARK_LEN);
constexpr size_t CHUNK = 128 * 1024;
constexpr auto by_name = [](const auto &info) { return std::string(info.param.name); };

class LogFileTest : public testing::Test {
  protected:
    void TearDown() override
    {
        for (int kind = 0; kind < 3; ++kind)
            bsp_quarn_log_file_close(kind);
    }
    int open(uint32_t max) { return bsp_quarn_log_file_init(dir_.str().data(), int(dir_.str().size()), max, 0); }
    int reopen(uint32_t max)
    {
        bsp_quarn_log_file_close(0);
        return open(max);
    }
    int write(std::string_view text, int kind = 0) { return bsp_quarn_log_file_write(text.data(), int(text.size()), kind); }
    uint32_t offset() { return bsp_quarn_log_file_get(0).offset; }
    std::string log() { return read_file(path_); }
    bool has_backup() { return std::filesystem::exists(bak_); }

    TempDir dir_;
    const std::string path_ = dir_.file("quarn.app");
    const std::string bak_ = dir_.file("quarn.app.bak");
};

// Lowers the file size limit of the process for one scope; writes beyond it
// fail with EFBIG (the signal that would end the process is ignored).
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) : old_signal_(signal(SIGXFSZ, SIG_IGN))
    {
        getrlimit(RLIMIT_FSIZE, &old_);
        const rlimit lower{bytes, old_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, old_signal_);
    }

  private:
    rlimit old_{};            // limit to restore
    sighandler_t old_signal_; // SIGXFSZ disposition to restore
};

TEST_F(LogFileTest, FirstWriteEndsWithMarkerAndRestartResumesAtItsPlus)
{
    CaptureStdout();
    ASSERT_EQ(open(100), 0);
    EXPECT_EQ(GetCapturedStdout(), path_ + " open !!!\n");
    EXPECT_TRUE(std::filesystem::exists(path_));
    EXPECT_EQ(log(), "");
    ASSERT_EQ(write("abc"), 0);
    EXPECT_EQ(log(), "abc" + MARK);
    EXPECT_EQ(offset(), 3u);
    ASSERT_EQ(reopen(100), 0);
    EXPECT_EQ(offset(), 4u) << "the marker's newline is kept";
    ASSERT_EQ(write("de"), 0);
    EXPECT_EQ(log(), "abc\nde" + MARK);
}

// The BSP file has two writers, the kernel log thread and the print thread.
TEST_F(LogFileTest, ConcurrentWritersOfOneKindKeepBatchesWhole)
{
    ASSERT_EQ(open(1 << 20), 0);
    auto writer = [this](char id) {
        for (int i = 1000; i < 1200; ++i)
            write(id + std::to_string(i) + "\n");
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    std::string text = log();
    ASSERT_TRUE(text.ends_with(MARK));
    text.resize(text.size() - MARK.size());
    std::set<std::string> got, want;
    for (size_t at = 0; at < text.size(); at += 6)
        got.insert(text.substr(at, 6));
    for (int i = 1000; i < 1200; ++i)
        want.insert({'a' + std::to_string(i) + '\n', 'b' + std::to_string(i) + '\n'});
    EXPECT_EQ(got, want);
    EXPECT_EQ(text.size(), want.size() * 6);
}

struct WrapCase {
    const char *name;
    std::string before; // written first, on a fresh file, then reopened
    std::string text;   // the write under test
    std::string file;   // the file afterwards
    uint32_t offset;    // offset afterwards
    uint32_t reopened;  // offset after a further restart
};

class LogFileWrapTest : public LogFileTest, public testing::WithParamInterface<WrapCase> {};

TEST_P(LogFileWrapTest, KeepsRingOrderAndRestartFindsPosition)
{
    const WrapCase &c = GetParam();
    ASSERT_EQ(open(20), 0);
    if (!c.before.empty()) {
        ASSERT_EQ(write(c.before), 0);
        ASSERT_EQ(reopen(20), 0);
    }
    ASSERT_EQ(write(c.text), 0);
    EXPECT_EQ(log(), c.file);
    EXPECT_EQ(offset(), c.offset);
    ASSERT_EQ(reopen(20), 0);
    EXPECT_EQ(offset(), c.reopened);
    EXPECT_FALSE(has_backup());
}

INSTANTIATE_TEST_SUITE_P(
    Wraps, LogFileWrapTest,
    testing::Values(WrapCase{"TextWrapsToStart", "abcdefghijk", "0123456789", "89" + MARK + "\n01234567", 2, 3},
                    WrapCase{"WriteEndingAtMaxSizePutsMarkerAtStart", "abcdefghijk", "01234567",
                             MARK + "jk\n01234567", 0, 1},
                    WrapCase{"MarkerEndingAtMaxSizeStays", "", "abcdefghijk", "abcdefghijk" + MARK, 11, 12},
                    WrapCase{"OverlongWriteKeepsNewestBytes", "abcdefghijk", "0123456789abcdefghijklmnopqrstuvwxy",
                             "opqrstuvwxy" + MARK, 11, 12}),
    by_name);

// A marker moved to offset 0 leaves fewer than 9 bytes behind the text; had
// they kept the tail of the marker that stood there, the marker written
// right in front of them three writes later would complete a second one.
TEST_F(LogFileTest, MarkerMovedToStartLeavesNoStaleMarkerTail)
{
    ASSERT_EQ(open(20), 0);
    for (std::string_view text : {"abcdefghijk", "l", "m", "n", "o"})
        ASSERT_EQ(write(text), 0);
    EXPECT_EQ(log(), "mno" + MARK + std::string(8, '\n'));
    ASSERT_EQ(reopen(20), 0);
    EXPECT_EQ(offset(), 4u);
}

// len bytes of log lines with the marker at index at.
std::string file_with_mark(size_t len, size_t at, char fill = 'x')
{
    std::string text(len, fill);
    for (size_t i = 99; i < len; i += 100)
        text[i] = '\n';
    return text.replace(at, MARK.size(), MARK);
}

struct PositionCase {
    const char *name;
    std::string content; // the file as found
    uint32_t max;        // size it is opened with
    uint32_t offset;     // expected write position
};

class LogFilePositionTest : public LogFileTest, public testing::WithParamInterface<PositionCase> {};

TEST_P(LogFilePositionTest, FindsFirstWholeMarker)
{
    const PositionCase &c = GetParam();
    write_file(path_, c.content);
    ASSERT_EQ(open(c.max), 0);
    EXPECT_EQ(offset(), c.offset);
    EXPECT_TRUE(log() == c.content);
    EXPECT_FALSE(has_backup());
}

INSTANTIATE_TEST_SUITE_P(
    Positions, LogFilePositionTest,
    testing::Values(
        PositionCase{"MarkerCutByChunkBoundary", file_with_mark(200000, CHUNK - 4), 1 << 20, CHUNK - 3},
        PositionCase{"MarkerAtEndOfFileOfExactlyOneMiB", file_with_mark(1 << 20, (1 << 20) - 9), 1 << 20,
                     (1 << 20) - 8},
        PositionCase{"NulBytesInText", file_with_mark(1000, 500, '\0'), 1000, 501},
        PositionCase{"EndFlagInsideTextIsNotMarker", "a\n+$end$+ b\nc +$end$+\n" + MARK + "old", 100, 23}),
    by_name);

struct RecoveryCase {
    const char *name;
    std::string content; // the unusable file
    uint32_t max;        // size it is opened with
    std::string printed; // said before the open line
};

class LogFileRecoveryTest : public LogFileTest, public testing::WithParamInterface<RecoveryCase> {};

TEST_P(LogFileRecoveryTest, AppendsWholeFileToBackupAndStartsAfresh)
{
    const RecoveryCase &c = GetParam();
    std::string backup = "earlier\n";
    write_file(bak_, backup);
    for (int round = 0; round < 2; ++round) {
        bsp_quarn_log_file_close(0);
        write_file(path_, c.content);
        CaptureStdout();
        ASSERT_EQ(open(c.max), 0);
        EXPECT_EQ(GetCapturedStdout(), c.printed + path_ + " open !!!\n");
        EXPECT_EQ(offset(), 0u);
        EXPECT_EQ(log(), "");
        EXPECT_EQ(read_file(bak_), backup += c.content);
    }
    ASSERT_EQ(write("x"), 0);
    EXPECT_EQ(log(), "x" + MARK);
}

INSTANTIATE_TEST_SUITE_P(Recoveries, LogFileRecoveryTest,
                         testing::Values(RecoveryCase{"NoMarker", "written by another program\n", 100, ""},
                                         RecoveryCase{"LongerThanMaxSize", "abc" + MARK, 11, "error file size found \n"}),
                         by_name);

TEST_F(LogFileTest, ShortCopyIntoBackupLeavesBothFilesAlone)
{
    const std::string earlier(4096, 'e'), content(100, 'n'); // room for the captured message below the limit
    write_file(bak_, earlier);
    write_file(path_, content);
    CaptureStderr();
    {
        FileSizeLimit limit(earlier.size() + 4);
        EXPECT_EQ(open(1000), EFBIG);
    }
    EXPECT_EQ(GetCapturedStderr(), "sendfile: File too large\n");
    EXPECT_EQ(bsp_quarn_log_file_get(0).is_open, 0);
    EXPECT_EQ(log(), content);
    EXPECT_EQ(read_file(bak_), earlier);
    ASSERT_EQ(open(1000), 0); // the failed open can be repeated
    EXPECT_EQ(read_file(bak_), earlier + content);
}

// sysfs of this binary's own network namespace, mounted for one scope: the
// carrier of its loopback, which is down, fails to read with EINVAL.
struct SysfsMount {
    std::string at; // mount point
    bool mounted = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   mount("sysfs", at.c_str(), "sysfs", 0, nullptr) == 0; // whether to undo it
    ~SysfsMount()
    {
        if (mounted)
            umount2(at.c_str(), MNT_DETACH);
    }
};

TEST_F(LogFileTest, UnreadableFileIsNotMovedToBackup)
{
    QUARN_REQUIRE_ISOLATION(); // the loopback is down only in a fresh namespace
    TempDir sys;
    SysfsMount mount{sys.str()};
    if (!mount.mounted)
        GTEST_SKIP() << "cannot mount sysfs in a private mount namespace: " << strerror(errno);
    ASSERT_EQ(symlink((sys.str() + "/class/net/lo/carrier").c_str(), path_.c_str()), 0);
    CaptureStderr();
    EXPECT_EQ(open(100000), EINVAL);
    EXPECT_EQ(GetCapturedStderr(), "read: Invalid argument\n");
    EXPECT_FALSE(has_backup());
    EXPECT_TRUE(std::filesystem::is_symlink(path_));
}

struct ShortWriteCase {
    const char *name;
    size_t limit;      // file size limit during the write
    std::string after; // what follows the first 4000 bytes once "XY" is written
};

class LogFileShortWriteTest : public LogFileTest, public testing::WithParamInterface<ShortWriteCase> {};

TEST_P(LogFileShortWriteTest, NextWriteContinuesRightAfterStoredText)
{
    const std::string first(4000, 'f'); // room for the captured message below the limit
    ASSERT_EQ(open(100000), 0);
    ASSERT_EQ(write(first), 0);
    CaptureStderr();
    {
        FileSizeLimit limit(GetParam().limit);
        EXPECT_EQ(write("0123456789"), EFBIG);
    }
    EXPECT_EQ(GetCapturedStderr(), "logwrite: File too large\n");
    ASSERT_EQ(write("XY"), 0);
    EXPECT_TRUE(log() == first + GetParam().after + MARK);
}

INSTANTIATE_TEST_SUITE_P(ShortWrites, LogFileShortWriteTest,
                         testing::Values(ShortWriteCase{"TextCutShort", 4005, "XY"},
                                         ShortWriteCase{"MarkerCutShort", 4012, "0123456789XY"}),
                         by_name);

// Log sizes up to 4 GiB are accepted, so positions beyond 2 GiB must work
// on the boards' 32-bit ABI too.  The file is sparse: only its tail is real.
TEST_F(LogFileTest, WritePositionBeyond2GiBIsFoundAndWrittenAt)
{
    constexpr off_t AT = (off_t{1} << 31) + 1000; // where the old text ends
    {
        std::ofstream(path_).close();
        ASSERT_EQ(truncate(path_.c_str(), AT + 4096), 0) << strerror(errno);
        std::fstream f(path_, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(AT - 4);
        f << "old\n" << MARK;
        ASSERT_TRUE(f.good());
    }
    ASSERT_EQ(open(3u << 30), 0);
    EXPECT_EQ(offset(), uint32_t(AT + 1));
    ASSERT_EQ(write("new\n"), 0);
    std::ifstream f(path_, std::ios::binary);
    std::string tail(9 + MARK.size(), '\0');
    f.seekg(AT - 4);
    f.read(tail.data(), std::streamsize(tail.size()));
    EXPECT_EQ(tail, "old\n\nnew\n" + MARK);
    EXPECT_FALSE(has_backup());
}

// A file as the store wrote it, before and after its last write, which
// starts at at and puts len bytes and the marker behind them.
struct LastWrite {
    std::string before, after; // the file's bytes
    uint32_t at;               // where the last write starts
    size_t len;                // text bytes it writes
};

// Shapes of a file whose last write was cut short: the write stopped after
// k bytes (the file keeps what stood behind them, or, as after a power cut,
// zeros where the rest should have gone), or the file lost its tail (cut
// off or zeroed) inside the marker or, a sample, anywhere behind it.
std::vector<std::string> torn_shapes(const LastWrite &w)
{
    std::vector<std::string> shapes;
    const size_t span = w.len + MARK.size();
    for (size_t k = 0; k <= span; ++k) {
        std::string cut = w.before;
        cut.resize(std::max<size_t>(cut.size(), w.at + k));
        cut.replace(w.at, k, w.after, w.at, k);
        shapes.push_back(cut);
        std::string zeroed = cut;
        zeroed.resize(std::max<size_t>(zeroed.size(), w.at + span));
        zeroed.replace(w.at + k, span - k, span - k, '\0');
        shapes.push_back(zeroed);
    }
    const size_t mark = w.after.find(MARK);
    for (size_t p = mark; p <= w.after.size(); p += p < mark + MARK.size() ? 1 : 23) {
        shapes.push_back(w.after.substr(0, p));
        shapes.push_back(w.after.substr(0, p) + std::string(w.after.size() - p, '\0'));
    }
    return shapes;
}

class LogFileTornTailTest : public LogFileTest, public testing::WithParamInterface<uint32_t> {
  protected:
    // Lines through the store until the file has wrapped (or not, for a
    // size it cannot fill); the last one is recorded.
    LastWrite write_lines(uint32_t max)
    {
        EXPECT_EQ(open(max), 0);
        LastWrite w{};
        for (int i = 0; i < 40; ++i) {
            const std::string line = "line " + std::to_string(i) + " of the log\n";
            w = {log(), {}, offset(), line.size()};
            EXPECT_EQ(write(line), 0);
        }
        w.after = log();
        bsp_quarn_log_file_close(0);
        return w;
    }
};

// However the tail was torn, the open succeeds, and every byte that was
// there is kept: in the file when its marker is whole (writing goes on at
// it), else whole in the backup.
TEST_P(LogFileTornTailTest, RecoversKeepingEveryByteBeforeTheCut)
{
    const LastWrite w = write_lines(GetParam());
    ASSERT_LE(w.at + w.len + MARK.size(), GetParam()) << "the last write must not wrap";
    const std::vector<std::string> shapes = torn_shapes(w);
    for (size_t i = 0; i < shapes.size() && !HasFailure(); ++i) {
        SCOPED_TRACE("shape " + std::to_string(i));
        const std::string &torn = shapes[i];
        std::filesystem::remove(bak_);
        write_file(path_, torn);
        CaptureStdout();
        ASSERT_EQ(open(GetParam()), 0);
        GetCapturedStdout();
        const size_t mark = torn.find(MARK);
        if (mark != std::string::npos) {
            EXPECT_TRUE(log() == torn && !has_backup());
            EXPECT_EQ(offset(), mark + 1);
        } else {
            EXPECT_TRUE(log().empty() && read_file(bak_) == torn);
        }
        const uint32_t at = offset();
        ASSERT_EQ(write("next\n"), 0);
        EXPECT_EQ(log().substr(at, 5 + MARK.size()), "next\n" + MARK);
        bsp_quarn_log_file_close(0);
    }
}

INSTANTIATE_TEST_SUITE_P(TornTails, LogFileTornTailTest, testing::Values(4096u, 600u),
                         [](const auto &info) { return info.param == 4096u ? "BeforeFirstWrap" : "Wrapped"; });

} // namespace
