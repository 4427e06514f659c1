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
            for (char c = 'A'; c < 'D'; ++c)
                mine.push_back(record(100, c));
            recs.clear();
            for (const std::string &r : mine)
                recs.push_back({r.data(), 100, 0});
            CaptureStdout();
            std::thread writer([&] { bsp_quarn_cb_write_batch(recs.data(), static_cast<int>(recs.size()), &me); });
            std::vector<std::string> got;
            for (int i = 0; i < 2000 && !waiting(); ++i) // the reader starts once the writer is stuck
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (reader_takes)
                for (int i = 0; i < 2000 && got.size() < old.size() + mine.size(); ++i) {
                    std::string d(QUARN_CB_REC_MAX, '\0');
                    if (const int n = bsp_quarn_cb_try_read(d.data(), QUARN_CB_REC_MAX); n > 0)
                        got.push_back(d.substr(0, n)), holding -= 100;
                    else
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            writer.join();
            const std::string out = GetCapturedStdout();
            for (size_t i = 0; i < recs.size(); ++i)
                EXPECT_EQ(recs[i].result, reader_takes ? 0 : senders == 1 ? -12 : -16) << i;
            if (reader_takes) {
                old.insert(old.end(), mine.begin(), mine.end());
                EXPECT_EQ(got, old) << senders;
                EXPECT_EQ(out, "");
            }
        }
}

} // namespace
