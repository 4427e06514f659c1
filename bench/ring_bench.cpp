// Ring buffer: write and read of 140-byte records, the size of a typical
// log line with its header.
#include "ring_buffer.h"

#include "quarn.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <barrier>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr int kRecord = 140;
// Records per round: 2.8 MB, below the server's 4 MiB capacity, so that no
// writer meets a full buffer even when the reader falls behind.
constexpr int kPerRound = 20000;

std::vector<uint8_t> make_record()
{
    std::vector<uint8_t> r(kRecord, 'x');
    quarn_msg_head_t h{};
    h.magic = QUARN_MSG_MAGIC;
    h.type = QUARN_TYPE_APP;
    h.len = kRecord - QUARN_MSG_HEAD_LEN;
    memcpy(r.data(), &h, sizeof h);
    return r;
}

void count_records(benchmark::State &state, int64_t records)
{
    state.SetItemsProcessed(records);
    state.counters["records/s"] = benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
}

// One thread stores a record and takes it back: the cost without contention.
void BM_RingWriteReadOneThread(benchmark::State &state)
{
    bsp_quarn_cb_init(4 << 20);
    const auto rec = make_record();
    uint8_t dst[QUARN_CB_REC_MAX];
    for (auto _ : state) {
        bsp_quarn_cb_write(rec.data(), kRecord);
        benchmark::DoNotOptimize(bsp_quarn_cb_read(dst, sizeof dst));
    }
    count_records(state, state.iterations());
}
BENCHMARK(BM_RingWriteReadOneThread);

// range(0) writer threads store kPerRound records per round between them
// while this thread, the print thread's part, takes them out.
void BM_RingWriters(benchmark::State &state)
{
    const int writers = static_cast<int>(state.range(0));
    bsp_quarn_cb_init(4 << 20);
    const auto rec = make_record();
    std::atomic<bool> done{false};
    std::barrier round(writers + 1);
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&] {
            for (round.arrive_and_wait(); !done; round.arrive_and_wait()) {
                for (int i = 0; i < kPerRound / writers; ++i)
                    bsp_quarn_cb_write(rec.data(), kRecord);
            }
        });
    }
    uint8_t dst[QUARN_CB_REC_MAX];
    for (auto _ : state) {
        round.arrive_and_wait();
        for (int i = 0; i < kPerRound; ++i)
            benchmark::DoNotOptimize(bsp_quarn_cb_read(dst, sizeof dst));
    }
    done = true;
    round.arrive_and_wait();
    for (auto &t : threads)
        t.join();
    count_records(state, state.iterations() * kPerRound);
}
BENCHMARK(BM_RingWriters)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
