// Ring buffer: records cut by the end of the storage, full and exactly-full,
// the drop rules, broken content, and concurrent writers.
#include "ring_buffer.h"

#include "quarn.h"
#include "support.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <numeric>
#include <vector>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Bytes = std::vector<uint8_t>;

// size bytes of fill, starting with the marker and, from 40 bytes on, a
// header whose len matches.
Bytes record(int size, uint8_t fill = 'x')
{
    Bytes r(size, fill);
    const uint32_t magic = QUARN_MSG_MAGIC;
    const auto len = static_cast<uint16_t>(size - QUARN_MSG_HEAD_LEN);
    memcpy(r.data(), &magic, std::min(size, 4));
    if (size >= QUARN_MSG_HEAD_LEN)
        memcpy(r.data() + 6, &len, 2);
    return r;
}

int put(const Bytes &r) { return bsp_quarn_cb_write(r.data(), static_cast<int>(r.size())); }

// The next record, empty when the read failed.
Bytes take(int bufflen = QUARN_CB_REC_MAX)
{
    Bytes d(QUARN_CB_REC_MAX);
    d.resize(std::max(bsp_quarn_cb_read(d.data(), bufflen), 0));
    return d;
}

// Leaves the buffer empty with both positions at the given offset (>= 40).
void move_to(int at)
{
    ASSERT_EQ(put(record(at)), 0);
    ASSERT_EQ(take().size(), static_cast<size_t>(at));
}

class Ring : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(bsp_quarn_cb_init(100), 0); }
};

// A record of size bytes stored from offset start of a 100-byte buffer.
struct Layout {
    int start, size, write_after;
};

class RingLayout : public Ring, public testing::WithParamInterface<Layout> {};

TEST_P(RingLayout, RecordCutByEndOfStorageIsStoredInPlaceAndComesBackWhole)
{
    const auto [start, size, write_after] = GetParam();
    move_to(start);
    Bytes r = record(size, 't');
    std::iota(r.begin() + 8, r.begin() + 40, 1); // every header byte distinct
    ASSERT_EQ(put(r), 0);
    EXPECT_EQ(cb.p_write - cb.p_buff, write_after);
    for (int i = 0; i < size; ++i)
        ASSERT_EQ(cb.p_buff[(start + i) % 100], r[i]) << "byte " << i;
    ASSERT_EQ(put(record(40, 'n')), 0); // goes where the write position says
    EXPECT_EQ(take(), r);
    EXPECT_EQ(take(), record(40, 'n'));
}

INSTANTIATE_TEST_SUITE_P(Capacity100, RingLayout,
                         testing::Values(Layout{80, 50, 30},   // text cut: 20 bytes before the end, 30 after
                                         Layout{88, 60, 48},   // header cut in its name: 12 before, 28 after
                                         Layout{60, 40, 100})); // ends at the end: the next starts at 0

// The free space of wrapped content is what lies between write and read.
TEST_F(Ring, ExactlyFullIsAcceptedOneByteMoreIsRefusedUntilRead)
{
    move_to(95);
    ASSERT_EQ(put(record(60)), 0); // runs from 95 around to 54
    CaptureStdout();
    EXPECT_EQ(put(record(41)), -12);
    EXPECT_EQ(GetCapturedStdout(), "quarn cycle buff is full !\n");
    EXPECT_EQ(put(record(40)), 0);
    EXPECT_EQ(cb.used, 100u);
    // An overload says so once, then how much it cost once it is over.
    CaptureStdout();
    EXPECT_EQ(put(record(1)), -12);
    EXPECT_EQ(put(record(1)), -12);
    EXPECT_EQ(put(record(1)), -12);
    EXPECT_EQ(take().size(), 60u);
    EXPECT_EQ(put(record(60)), 0);
    EXPECT_EQ(GetCapturedStdout(), "quarn cycle buff is full !\nquarn cycle buff was full: 3 records dropped \n");
}

TEST_F(Ring, RecordsOutsideOneTo1280BytesAreDroppedSilently)
{
    ASSERT_EQ(bsp_quarn_cb_init(4096), 0);
    const Bytes big = record(1281);
    CaptureStdout();
    EXPECT_EQ(put(big), 0);
    EXPECT_EQ(bsp_quarn_cb_write(big.data(), 0), 0);
    EXPECT_EQ(bsp_quarn_cb_write(nullptr, 40), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(cb.used, 0u);
    EXPECT_EQ(put(record(1280)), 0);
    EXPECT_EQ(take().size(), 1280u);
}

// Writer w's record number i: its text alternates w and i.
Bytes numbered(int w, int i)
{
    Bytes r = record(41 + (i * 7 + w) % 300, static_cast<uint8_t>(w));
    for (size_t k = 41; k < r.size(); k += 2)
        r[k] = static_cast<uint8_t>(i);
    return r;
}

TEST(RingConcurrency, FourWritersKeepEveryRecordWholeAndInWriterOrder)
{
    constexpr int kWriters = 4, kEach = 3000;
    ASSERT_EQ(bsp_quarn_cb_init(4096), 0); // small, so records wrap and writers meet a full buffer
    std::atomic<bool> stop{false};
    auto put_until_stored = [&](const Bytes &r) {
        while (put(r) != 0 && !stop)
            std::this_thread::yield();
    };
    auto writers = std::async(std::launch::async, [&] {
        std::vector<std::thread> ts;
        for (int w = 0; w < kWriters; ++w)
            ts.emplace_back([&, w] {
                for (int i = 0; i < kEach && !stop; ++i)
                    put_until_stored(numbered(w, i));
            });
        for (auto &t : ts)
            t.join();
        put_until_stored(record(40)); // the end: shorter than any numbered record
    });
    CaptureStdout(); // the full-buffer messages
    int next[kWriters] = {};
    for (Bytes r = take(); r.size() != 40; r = take()) {
        const int w = r.empty() ? kWriters : r[40];
        if (w >= kWriters || r != numbered(w, next[w])) {
            ADD_FAILURE() << "record of " << r.size() << " bytes out of place";
            break;
        }
        ++next[w];
    }
    stop = true;
    writers.get();
    GetCapturedStdout();
    for (int w = 0; w < kWriters; ++w)
        EXPECT_EQ(next[w], kEach) << "writer " << w;
}

} // namespace
