// The ring buffer of the record path at the edges the outside cannot reach
// at will.  The framing reader's stream cases are the seeds of fuzz_reader,
// which every test run replays.
#include "harness.h"
#include "ring_buffer.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using e2e::make_record;

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
    EXPECT_EQ(bsp_quarn_cb_write(nullptr, 40), 0);
    EXPECT_EQ(put(std::string(1281, 'x')), 0); // dropped silently
    EXPECT_EQ(put(record(1280)), 0);
    EXPECT_EQ(take(), record(1280));
}

} // namespace
