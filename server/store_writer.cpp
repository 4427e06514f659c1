// The log files' writer: staging hands each full or due batch over to a
// thread of its own ("quarn_store"), which writes and syncs it, so that a
// slow flash, or a sync that queues behind another file's (a recovery's
// backup copy on the same file system), holds back neither the console nor
// the ring.  Each kind has one batch in flight at most; its next batch
// fills in staging meanwhile, and staging waits for the writer only once
// that one is full too: then the disk is the limit, and the ring absorbs
// what it can.
#include "quarn_server.h"

#include "fault_stack.h"
#include "mutex_guard.h"

#include <sys/prctl.h>

#include <atomic>
#include <ctime>
#include <utility>

namespace {

// A batch handed over, or a free slot (len 0) that keeps its buffer for
// the next swap.  Guarded by g_mu; the fault handler reads it under g_turn.
struct in_flight_t {
    uint8_t *buf = nullptr;
    uint32_t cap = 0;
    uint32_t len = 0;  // bytes to write; 0: free
    int file = 0;      // where it goes, as decided when it was handed over
    uint64_t seq = 0;  // order of handing over, which is the order of writing
};

in_flight_t g_flight[QUARN_KIND_COUNT]; // one per kind, indexed like g_log_kinds
uint64_t g_handed = 0;                  // batches handed over so far
pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_work = PTHREAD_COND_INITIALIZER; // a batch was handed over
pthread_cond_t g_done = PTHREAD_COND_INITIALIZER; // a batch was written
// Held by the writer from taking a batch until its slot is free again, so
// that the fault handler knows every batch still in a slot is unwritten.
pthread_mutex_t g_turn = PTHREAD_MUTEX_INITIALIZER;
std::atomic<bool> g_running{false};
std::atomic<pthread_t> g_writer;
std::atomic<bool> g_writing{false}; // the writer is inside a batch

// The oldest batch handed over, or null; under g_mu.
in_flight_t *_oldest_()
{
    in_flight_t *oldest = nullptr;
    for (in_flight_t &slot : g_flight)
        if (slot.len > 0 && (!oldest || slot.seq < oldest->seq))
            oldest = &slot;
    return oldest;
}

void *_writer_main_(void *)
{
    const fault_stack own_stack;
    prctl(PR_SET_NAME, "quarn_store");
    g_writer.store(pthread_self());
    for (;;) {
        in_flight_t *slot;
        {
            const mutex_guard guard(g_mu);
            while (!(slot = _oldest_()))
                pthread_cond_wait(&g_work, &g_mu);
        }
        // A fault handler that holds the turn never gives it back: it has
        // written this batch itself, and the process is ending.
        const mutex_guard turn(g_turn);
        // The slot stays taken while it is written: staging swaps only free
        // ones, so its buffer is the writer's alone until then.
        g_writing.store(true, std::memory_order_relaxed);
        store_batch_to(slot->file, reinterpret_cast<char *>(slot->buf), slot->len, false);
        g_writing.store(false, std::memory_order_relaxed);
        const mutex_guard guard(g_mu);
        slot->len = 0;
        pthread_cond_broadcast(&g_done);
    }
}

} // namespace

bool store_writer_start()
{
    g_running = true;
    pthread_t tid;
    if (pthread_create(&tid, nullptr, _writer_main_, nullptr) != 0)
        g_running = false; // staging writes its batches itself
    return g_running;
}

void store_hand_over(const log_kind_t &kind, quarn_stage_t &st)
{
    const int file = store_file_of(kind);
    if (!g_running) {
        store_batch_to(file, reinterpret_cast<char *>(st.buf), st.used, false);
        return;
    }
    const mutex_guard guard(g_mu);
    in_flight_t &slot = g_flight[kind.file];
    while (slot.len > 0)
        pthread_cond_wait(&g_done, &g_mu);
    std::swap(slot.buf, st.buf);
    std::swap(slot.cap, st.cap);
    slot.len = std::exchange(st.used, 0);
    slot.file = file;
    slot.seq = ++g_handed;
    pthread_cond_signal(&g_work);
}

void store_wait_written()
{
    const mutex_guard guard(g_mu);
    while (_oldest_())
        pthread_cond_wait(&g_done, &g_mu);
}

void store_last_words()
{
    if (!g_running)
        return;
    // The writer's own fault leaves its batch half written at worst: it is
    // written again whole rather than lost.  Another thread's waits for the
    // writer to finish the batch it is in, about a second at most.
    const bool own = g_writing.load(std::memory_order_relaxed) &&
                     pthread_equal(g_writer.load(std::memory_order_relaxed), pthread_self());
    bool turn = false;
    for (int tries = 0; !own && !turn && tries < 200; ++tries) {
        turn = pthread_mutex_trylock(&g_turn) == 0;
        const timespec pause{0, 5 * 1000 * 1000};
        if (!turn)
            nanosleep(&pause, nullptr);
    }
    if (!own && !turn)
        return;
    while (in_flight_t *slot = _oldest_()) {
        store_batch_to(slot->file, reinterpret_cast<char *>(slot->buf), slot->len, true);
        slot->len = 0;
    }
}
