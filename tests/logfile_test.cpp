// The circular log file store on chosen file images: the layout each write
// leaves, the write position a restart finds, recovery into the backup, and
// writes or copies cut short.
#include "harness.h"
#include "logfile_check.h"

#include <signal.h>
#include <sys/resource.h>


namespace {

using namespace e2e;
using store::MARK;

struct LogFile : testing::Test {
    ~LogFile() override
    {
        for (int kind = 0; kind < 3; ++kind)
            bsp_quarn_log_file_close(kind);
    }
    int open(uint32_t max)
    {
        bsp_quarn_log_file_close(0);
        return bsp_quarn_log_file_init(dir_.str().data(), int(dir_.str().size()), max, 0);
    }
    int write(std::string_view text) { return bsp_quarn_log_file_write(text.data(), int(text.size()), 0); }
    uint32_t offset() { return bsp_quarn_log_file_get(0).offset; }
    std::string log() { return read_file(path_); }

    void expect_recovered(const std::string &image, uint32_t max)
    {
        EXPECT_EQ(store::recovery_fault(dir_.str(), image, max, {"next\n"}), "") << testing::PrintToString(image.substr(0, 80));
    }

    TempDir dir_;
    const std::string path_ = dir_.file("quarn.app"), bak_ = dir_.file("quarn.app.bak");
};

// Writes on a 20-byte file, with a restart wherever a text is "|": the
// bytes and the write position each sequence must leave.
TEST_F(LogFile, EveryWriteLeavesTheRingInOrderWithOneMarkerBehindTheNewest)
{
    struct Row {
        std::vector<std::string> writes;
        std::string file;
        uint32_t offset;
    } rows[] = {
        {{"abc"}, "abc" + MARK, 3},
        {{"abc", "|", "de"}, "abc\nde" + MARK, 6},                                     // the marker's newline stays
        {{"abcdefghijk", "|", "0123456789"}, "89" + MARK + "\n01234567", 2},             // text wraps to the start
        {{"abcdefghijk", "|", "01234567"}, MARK + "jk\n01234567", 0},                    // ends at the end: marker to 0
        {{"abcdefghijk"}, "abcdefghijk" + MARK, 11},                                     // marker ends at the end
        {{"abcdefghijk", "|", "0123456789abcdefghijklmnopqrstuvwxy"}, "opqrstuvwxy" + MARK, 11}, // overlong
        {{"abcdefghijk", "l", "m", "n", "o"}, "mno" + MARK + std::string(8, '\n'), 3}, // no stale marker tail
    };
    for (const Row &r : rows) {
        std::filesystem::remove(path_);
        ASSERT_EQ(open(20), 0);
        for (const std::string &w : r.writes)
            ASSERT_EQ(w == "|" ? open(20) : write(w), 0);
        const std::string got = log() + " at " + std::to_string(offset());
        ASSERT_EQ(open(20), 0);
        EXPECT_EQ(got + ", restart at " + std::to_string(offset()) + (std::filesystem::exists(bak_) ? ", backup" : ""),
                  r.file + " at " + std::to_string(r.offset) + ", restart at " + std::to_string(r.file.find(MARK) + 1));
    }
}

// Images as a restart may find them: markers cut by the search's chunks,
// NUL bytes, the flag inside text; files without a marker or too long; and
// every way the last write (before and after the first wrap) can be torn:
// stopped after k bytes with the old bytes or zeros behind, or the tail
// cut off or zeroed inside the marker or behind it.
TEST_F(LogFile, EveryImageKeepsItsBytesInTheFileOrTheBackup)
{
    auto lines = [](size_t len, size_t mark_at, char fill = 'x') {
        std::string text(len, fill);
        for (size_t i = 99; i < len; i += 100)
            text[i] = '\n';
        return text.replace(mark_at, MARK.size(), MARK);
    };
    expect_recovered(lines(200000, 128 * 1024 - 4), 1 << 20);
    expect_recovered(lines(1 << 20, (1 << 20) - 9), 1 << 20);
    expect_recovered(lines(1000, 500, '\0'), 1000);
    expect_recovered("a\n+$end$+ b\nc +$end$+\n" + MARK + "old", 100);
    expect_recovered("written by another program\n", 100);
    expect_recovered(std::string(30, 'x') + MARK, 30); // longer than its size
    for (const uint32_t max : {4096u, 600u}) {
        std::string before, after;
        uint32_t at = 0;
        ASSERT_EQ(open(max), 0);
        for (int i = 0; i < 40; ++i) {
            before = log(), at = offset();
            ASSERT_EQ(write("line " + std::to_string(i) + " of the log\n"), 0);
        }
        after = log();
        const size_t span = after.find(MARK, at) + MARK.size() - at, mark = after.find(MARK);
        for (size_t k = 0; k <= span && !HasFailure(); ++k) {
            std::string cut = before;
            cut.resize(std::max<size_t>(cut.size(), at + k));
            cut.replace(at, k, after, at, k);
            expect_recovered(cut, max);
            cut.resize(std::max<size_t>(cut.size(), at + span));
            expect_recovered(cut.replace(at + k, span - k, span - k, '\0'), max);
        }
        for (size_t p = mark; p <= after.size() && !HasFailure(); p += p < mark + MARK.size() ? 1 : 23) {
            expect_recovered(after.substr(0, p), max);
            expect_recovered(after.substr(0, p) + std::string(after.size() - p, '\0'), max);
        }
    }
}

// Writes past the process's file size limit fail with EFBIG: a copy into
// the backup cut short leaves both files as they were, and a write cut in
// its text or its marker leaves the marker behind what was stored whole.
// A failed sync is a failed write.
TEST_F(LogFile, WritesAndCopiesCutShortLoseNothingStoredBefore)
{
    signal(SIGXFSZ, SIG_IGN);
    auto limited = [](rlim_t bytes, auto fn) {
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        const rlimit lower{bytes, old.rlim_max};
        setrlimit(RLIMIT_FSIZE, &lower);
        const int rc = fn();
        setrlimit(RLIMIT_FSIZE, &old);
        return std::abs(rc);
    };
    const std::string earlier(4096, 'e'), content(100, 'n');
    write_file(bak_, earlier);
    write_file(path_, content);
    EXPECT_EQ(limited(earlier.size() + 4, [&] { return open(1000); }), EFBIG);
    EXPECT_EQ(bsp_quarn_log_file_get(0).is_open, 0);
    EXPECT_TRUE(log() == content && read_file(bak_) == earlier);
    ASSERT_EQ(open(1000), 0);
    EXPECT_TRUE(read_file(bak_) == earlier + content);

    for (const rlim_t limit : {4005, 4012}) { // cut in the text, cut in the marker
        std::filesystem::remove(path_);
        ASSERT_EQ(open(100000), 0);
        ASSERT_EQ(write(std::string(4000, 'f')), 0);
        EXPECT_EQ(limited(limit, [&] { return write("0123456789"); }), EFBIG);
        ASSERT_EQ(write("XY"), 0);
        EXPECT_TRUE(log() == std::string(4000, 'f') + "XY" + MARK) << "limit " << limit; // the failed batch left nothing
    }
    quarn_log_file_set_io({nullptr, [](int) { return errno = EIO, -1; }}); // a failed sync is a failed write, said once
    testing::internal::CaptureStderr();
    const int rc = write("x\n");
    EXPECT_EQ(std::to_string(rc) + testing::internal::GetCapturedStderr(), std::to_string(-EIO) + "fsync: Input/output error\n");
    quarn_log_file_set_io({});
}

} // namespace
