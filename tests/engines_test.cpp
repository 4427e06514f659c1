// The engines at the edges the outside cannot reach at will: the ring
// buffer of the record path, and the circular log file store on chosen file
// images (the layout each write leaves, the write position a restart finds,
// recovery into the backup, writes or copies cut short) and at every power
// cut.  The framing reader's stream cases are the seeds of fuzz_reader,
// which every test run replays.
#include "harness.h"
#include "logfile_check.h"
#include "ring_buffer.h"

#include <random>
#include <set>

namespace {

using namespace e2e;
using store::MARK;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// A record of size bytes (at least 40) whose text is fill.
std::string record(int size, char fill = 'x')
{
    return make_record(QUARN_TYPE_APP, 1, std::string(size - QUARN_MSG_HEAD_LEN, fill));
}

int put(const std::string &r) { return bsp_quarn_cb_write(r.data(), static_cast<int>(r.size())); }

std::string take()
{
    std::string d(QUARN_CB_REC_MAX, '\0');
    d.resize(std::max(bsp_quarn_cb_read(d.data(), QUARN_CB_REC_MAX), 0));
    return d;
}

// Records cut by the end of the storage come back whole, wherever the cut
// falls (in the magic, in the header's name, in the text, exactly at the
// end); a wrapped buffer takes exactly what is free, and an overload says
// so once, then once more with what it cost.
TEST(Ring, RecordsCutByTheEndComeBackWholeAndFullIsExact)
{
    for (const auto &[start, size] : {std::pair{80, 50}, {88, 55}, {60, 40}, {95, 59}}) {
        ASSERT_EQ(bsp_quarn_cb_init(100), 0);
        ASSERT_EQ(put(record(start)), 0);
        ASSERT_EQ(take().size(), static_cast<size_t>(start));
        std::string r = record(size, 't');
        for (int i = 8; i < 40; ++i)
            r[i] = static_cast<char>(i); // every header byte distinct
        ASSERT_EQ(put(r), 0);
        ASSERT_EQ(put(record(40, 'n')), 0);
        const std::string filler = record(40).substr(0, 4) + std::string(100, 'f');
        const int free = 100 - size - 40;
        CaptureStdout();
        EXPECT_EQ(put(filler.substr(0, free + 1)), -12) << "start " << start;
        EXPECT_EQ(put(filler.substr(0, free + 2)), -12) << "start " << start;
        EXPECT_EQ(put(filler.substr(0, free)), 0) << "start " << start;
        EXPECT_EQ(GetCapturedStdout(), "quarn cycle buff is full !\nquarn cycle buff was full: 2 records dropped \n");
        EXPECT_EQ(take(), r) << "start " << start;
        EXPECT_EQ(take(), record(40, 'n'));
    }
    ASSERT_EQ(bsp_quarn_cb_init(4096), 0);
    // A record longer than 1280 bytes is dropped silently.
    EXPECT_TRUE(bsp_quarn_cb_write(nullptr, 40) == 0 && put(std::string(1281, 'x')) == 0 && put(record(1280)) == 0 &&
                take() == record(1280));
}

bool waiting()
{
    pthread_mutex_lock(&cb.mutex);
    const bool any = cb.room_waiters > 0;
    pthread_mutex_unlock(&cb.mutex);
    return any;
}

// A sender's records that meet a full ring, or their sender over its
// share, wait while the reader takes, and arrive whole and in order; with a
// reader that takes nothing they are refused and counted as before.
TEST(Ring, ASenderWaitsForRoomWhileTheReaderTakesAndIsRefusedWhileItStalls)
{
    for (const bool reader_takes : {true, false})
        for (const uint32_t senders : {1u, 2u}) { // 2: the ring is full only by the other's share
            ASSERT_EQ(bsp_quarn_cb_init(1000), 0);
            std::atomic<uint32_t> holding{0};
            const quarn_cb_sender_t me{&holding, senders};
            std::vector<std::string> old, mine;
            std::vector<quarn_cb_rec_t> recs;
            for (char c = 'a'; c < (senders == 1 ? 'k' : 'i'); ++c) // 1000 or 800 bytes in use
                old.push_back(record(100, c)), recs.push_back({old.back().data(), 100, 0});
            ASSERT_EQ(bsp_quarn_cb_write_batch(recs.data(), static_cast<int>(recs.size()), &me), 0);
            recs.clear();
            for (char c = 'A'; c < 'D'; ++c)
                mine.push_back(record(100, c)), recs.push_back({mine.back().data(), 100, 0});
            CaptureStdout();
            std::thread writer([&] { bsp_quarn_cb_write_batch(recs.data(), static_cast<int>(recs.size()), &me); });
            std::vector<std::string> got;
            wait_until(waiting, 2s); // the reader starts once the writer is stuck
            if (reader_takes)
                wait_until([&] {
                    std::string d(QUARN_CB_REC_MAX, '\0');
                    if (const int n = bsp_quarn_cb_try_read(d.data(), QUARN_CB_REC_MAX); n > 0)
                        got.push_back(d.substr(0, n)), holding -= 100;
                    return got.size() == old.size() + mine.size();
                });
            writer.join();
            const std::string out = GetCapturedStdout();
            for (size_t i = 0; i < recs.size(); ++i)
                EXPECT_EQ(recs[i].result, reader_takes ? 0 : senders == 1 ? -12 : -16) << i;
            old.insert(old.end(), mine.begin(), mine.end());
            EXPECT_TRUE(!reader_takes || (got == old && out.empty())) << senders << " senders: " << got.size() << " taken; " << out;
        }
}

struct LogFile : testing::Test {
    ~LogFile() override { bsp_quarn_log_file_close(0); }
    int open(uint32_t max)
    {
        bsp_quarn_log_file_close(0);
        return bsp_quarn_log_file_init(dir_.path.data(), int(dir_.path.size()), max, 0);
    }
    int write(std::string_view text) { return bsp_quarn_log_file_write(text.data(), int(text.size()), 0); }
    uint32_t offset() { return bsp_quarn_log_file_get(0).offset; }
    std::string log() { return read_file(path_); }

    void expect_recovered(const std::string &image, uint32_t max)
    {
        EXPECT_EQ(store::recovery_fault(dir_.path, image, max, {"next\n"}), "") << testing::PrintToString(image.substr(0, 80));
    }

    TempDir dir_;
    const std::string path_ = dir_.file("quarn.app"), bak_ = dir_.file("quarn.app.bak");
};

// Writes on a 20-byte file, with a restart wherever a text is "|": the
// bytes and the write position each sequence must leave.
TEST_F(LogFile, EveryWriteLeavesTheRingInOrderWithOneMarkerBehindTheNewest)
{
    // the writes, then the bytes of the file and its write position
    const std::tuple<std::vector<std::string>, std::string, uint32_t> rows[] = {
        {{"abc"}, "abc" + MARK, 3},
        {{"abc", "|", "de"}, "abc\nde" + MARK, 6},                                     // the marker's newline stays
        {{"abcdefghijk", "|", "0123456789"}, "89" + MARK + "\n01234567", 2},             // text wraps to the start
        {{"abcdefghijk", "|", "01234567"}, MARK + "jk\n01234567", 0},                    // ends at the end: marker to 0
        {{"abcdefghijk"}, "abcdefghijk" + MARK, 11},                                     // marker ends at the end
        {{"abcdefghijk", "|", "0123456789abcdefghijklmnopqrstuvwxy"}, "opqrstuvwxy" + MARK, 11}, // overlong
        {{"abcdefghijk", "l", "m", "n", "o"}, "mno" + MARK + std::string(8, '\n'), 3}, // no stale marker tail
    };
    for (const auto &[writes, file, at] : rows) {
        std::filesystem::remove(path_);
        ASSERT_EQ(open(20), 0);
        for (const std::string &w : writes)
            ASSERT_EQ(w == "|" ? open(20) : write(w), 0);
        const std::string got = log() + " at " + std::to_string(offset());
        ASSERT_EQ(open(20), 0);
        EXPECT_EQ(got + ", restart at " + std::to_string(offset()) + (std::filesystem::exists(bak_) ? ", backup" : ""),
                  file + " at " + std::to_string(at) + ", restart at " + std::to_string(file.find(MARK) + 1));
    }
}

// Images as a restart may find them: markers cut by the search's chunks
// (NUL bytes, the flag inside text, files without a marker or too long are
// seeds of fuzz_logfile); and every way the last write (before and after the first wrap) can be torn:
// stopped after k bytes with the old bytes or zeros behind, or the tail
// cut off or zeroed inside the marker or behind it.
TEST_F(LogFile, EveryImageKeepsItsBytesInTheFileOrTheBackup)
{
    auto lines = [](size_t len, size_t mark_at) {
        std::string text(len, 'x');
        for (size_t i = 99; i < len; i += 100)
            text[i] = '\n';
        return text.replace(mark_at, MARK.size(), MARK);
    };
    expect_recovered(lines(200000, 128 * 1024 - 4), 1 << 20);
    expect_recovered(lines(1 << 20, (1 << 20) - 9), 1 << 20);
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
    EXPECT_TRUE(bsp_quarn_log_file_get(0).is_open == 0 && log() == content && read_file(bak_) == earlier);
    EXPECT_TRUE(open(1000) == 0 && read_file(bak_) == earlier + content);

    for (const rlim_t limit : {4005, 4012}) { // cut in the text, cut in the marker
        std::filesystem::remove(path_);
        ASSERT_TRUE(open(100000) == 0 && write(std::string(4000, 'f')) == 0);
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

// A power cut keeps any subset of the 512-byte sectors written since the
// last completed sync, and loses the others.  At every call of a run of
// batches, for every such subset (or thousands of random ones where there
// are too many), the file must reopen at a marker with the last synced
// batch in it (as much of it as the ring keeps beside the batch in flight),
// and never go to the backup.
constexpr uint64_t SECTOR = 512;
constexpr size_t QUARN_TRIALS = SANITIZED ? 8 : 60;

struct Medium {
    std::string synced;                                     // the file as of the last completed sync
    std::vector<std::pair<uint64_t, std::string>> pending;  // writes since then, in order
};
// The medium as a power cut before a call of the store's I/O would leave it.
struct Cut {
    Medium medium;
    std::string synced;   // the last batch synced before it
    size_t in_flight = 0; // the length of the batch being written then
};
Medium g_medium;
Cut g_now;                // what a cut now would find but the medium
std::vector<Cut> g_cuts;  // one before each call of a run

void at_call()
{
    g_cuts.push_back(g_now);
    g_cuts.back().medium = g_medium;
}

ssize_t recorded_pwritev(int fd, const iovec *iov, int n, off_t pos)
{
    at_call();
    const ssize_t done = pwritev(fd, iov, n, pos);
    std::string bytes;
    for (int i = 0; i < n; ++i)
        bytes.append(static_cast<const char *>(iov[i].iov_base), iov[i].iov_len);
    g_medium.pending.emplace_back(pos, bytes.substr(0, static_cast<size_t>(std::max<ssize_t>(done, 0))));
    return done;
}

std::string apply(std::string file, const std::pair<uint64_t, std::string> &w)
{
    file.resize(std::max<size_t>(file.size(), w.first + w.second.size()), '\0');
    return file.replace(w.first, w.second.size(), w.second);
}

int recorded_fsync(int fd)
{
    at_call();
    for (const auto &w : g_medium.pending)
        g_medium.synced = apply(g_medium.synced, w);
    g_medium.pending.clear();
    return fd >= 0 ? 0 : -1; // the medium above is the disk here
}

// The sectors the pending writes touch, and the file as it stands once
// those of keep (a bit per sector) reached the medium.
std::vector<uint64_t> sectors(const Medium &m)
{
    std::set<uint64_t> out;
    for (const auto &[pos, bytes] : m.pending)
        for (uint64_t s = pos / SECTOR; s * SECTOR < pos + bytes.size(); ++s)
            out.insert(s);
    return {out.begin(), out.end()};
}

std::string after_cut(const Medium &m, const std::vector<uint64_t> &secs, const std::vector<bool> &keep)
{
    std::string full = m.synced, image = m.synced;
    for (const auto &w : m.pending)
        full = apply(full, w);
    for (size_t i = 0; i < secs.size(); ++i)
        if (keep[i] && secs[i] * SECTOR < full.size())
            image = apply(image, {secs[i] * SECTOR, full.substr(secs[i] * SECTOR, SECTOR)});
    return image;
}

// Writes batches into a fresh store of size max; the cut before each call.
std::vector<Cut> run_batches(const std::string &dir, uint32_t max, const std::vector<std::string> &batches)
{
    std::filesystem::remove(dir + "/quarn.app");
    g_medium = {}, g_now = {}, g_cuts.clear();
    store::reopen(dir, max);
    quarn_log_file_set_io({recorded_pwritev, recorded_fsync});
    for (const std::string &b : batches) {
        if (&b == &batches[batches.size() / 2])
            store::reopen(dir, max); // a restart: the write position is found again
        g_now.in_flight = b.size();
        EXPECT_EQ(bsp_quarn_log_file_write(b.data(), static_cast<int>(b.size()), 0), 0);
        g_now.synced = b, g_now.in_flight = 0;
    }
    quarn_log_file_set_io({});
    return std::move(g_cuts);
}

// What is wrong with the file image reopened, or "".  Before the first
// batch was synced the file never held a marker on the medium: a torn
// first batch may go to the backup.
std::string fault(const std::string &dir, uint32_t max, const std::string &image, const Cut &cut)
{
    const std::string &synced = cut.synced;
    const size_t room = max - std::min<size_t>(max, cut.in_flight + 2 * QUARN_END_MARK_LEN);
    const std::string log = dir + "/quarn.app";
    std::filesystem::remove(log + ".bak");
    std::ofstream(log, std::ios::binary | std::ios::trunc) << image;
    if (!store::reopen(dir, max) || (!synced.empty() && std::filesystem::exists(log + ".bak")))
        return "sent to the backup";
    const std::string file = store::slurp(log);
    const uint32_t at = bsp_quarn_log_file_get(0).offset;
    const std::string ring = at == 0 ? file : file.substr(at + QUARN_END_MARK_LEN - 1) + file.substr(0, at - 1);
    return ring.find(synced.substr(synced.size() - std::min(room, synced.size()))) == std::string::npos
               ? "the last synced batch is gone"
               : "";
}

std::vector<std::string> batches(const std::vector<size_t> &sizes)
{
    std::vector<std::string> out;
    for (const size_t n : sizes) {
        std::string b = "b" + std::to_string(out.size()) + " ";
        out.push_back(b.append(n - b.size() - 1, '.') + "\n");
    }
    return out;
}

TEST(PowerCut, EverySubsetOfUnsyncedSectorsKeepsTheMarkerAndTheLastSyncedBatch)
{
    const std::string dir = (std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path().string()) +
                            "/quarn-cut-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    std::mt19937 random(7);
    // the store's size, the batches' sizes (0: 12..20 KiB), the subsets tried
    // per cut point (0: every one), and how many cut points apart they are
    using Case = std::tuple<uint32_t, std::vector<size_t>, size_t, size_t>;
    for (auto [max, sizes, trials, step] : {Case{2048, {30, 400, 1000, 1800, 60, 2600, 12, 500, 1500, 40, 1300}, 0, 1},
                                            Case{64, {30, 20, 40, 12, 30, 20}, 0, 1}, // wraps inside one sector
                                            Case{64 << 10, std::vector<size_t>(12, 0), QUARN_TRIALS, 2}}) {
        for (size_t &n : sizes)
            n = n ? n : 12288 + random() % 8192;
        const std::vector<Cut> cuts = run_batches(dir, max, batches(sizes));
        for (size_t cut = 0; cut < cuts.size(); cut += step) {
            const std::vector<uint64_t> secs = sectors(cuts[cut].medium);
            const size_t subsets = trials ? trials : size_t{1} << secs.size();
            for (size_t t = 0; t < subsets; ++t) {
                std::vector<bool> keep(secs.size());
                for (size_t i = 0; i < secs.size(); ++i)
                    keep[i] = trials ? random() % 2 : (t >> i) & 1;
                const std::string why = fault(dir, max, after_cut(cuts[cut].medium, secs, keep), cuts[cut]);
                ASSERT_EQ(why, "") << "size " << max << ", cut before call " << cut << ", subset " << t;
            }
        }
    }
    bsp_quarn_log_file_close(0);
    std::filesystem::remove_all(dir);
}

// The board's division routines (server/arm_division.cpp, linked here on
// 32-bit ARM, where the compiler calls them for every / and %): quotient
// and remainder must rebuild the numerator, the remainder below the
// divisor and of the numerator's sign, for operands of every size.
template <typename T> bool _division_wrong_(T n, T d, T q, T r)
{
    using U = std::make_unsigned_t<T>;
    const auto magnitude = [](T v) { return std::is_signed_v<T> && v < T{} ? U{} - U(v) : U(v); };
    return T(q * d + r) != n || magnitude(r) >= magnitude(d) || (r != T{} && (r < T{}) != (n < T{}));
}

TEST(Division, QuotientAndRemainderRebuildTheNumerator)
{
#ifndef __arm__
    GTEST_SKIP() << "the routines stand in for the C runtime's on 32-bit ARM only";
#endif
    std::mt19937_64 random(7);
    const auto pick = [&] { return random() >> random() % 64; }; // small and large alike
    long mismatches = 0;
    for (int i = 0; i < 500000; ++i) {
        const volatile uint32_t u = pick(), v = pick() | 1;
        const volatile int32_t s = static_cast<int32_t>(pick()), t = static_cast<int32_t>(pick() | 1);
        const volatile uint64_t U = pick(), V = pick() | 1;
        const volatile int64_t S = static_cast<int64_t>(pick()), T = static_cast<int64_t>(pick() | 1);
        if (t == -1 || T == -1)
            continue; // the one quotient that overflows
        mismatches += _division_wrong_<uint32_t>(u, v, u / v, u % v) + _division_wrong_<uint64_t>(U, V, U / V, U % V);
        mismatches += _division_wrong_<int32_t>(s, t, s / t, s % t) + _division_wrong_<int64_t>(S, T, S / T, S % T);
    }
    EXPECT_EQ(mismatches, 0);
}

} // namespace
