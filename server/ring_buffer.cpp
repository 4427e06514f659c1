// The ring buffer between the receive threads and the print thread.
//
// Lock discipline: cb.mutex guards used, p_write and p_read.  A writer holds
// it from the space test through its copy to the update of used, so used
// only ever counts bytes that are in place; a batch of records costs a
// writer one acquisition.  The one reader holds it only to wait and, after
// copying a record or a batch out, to give its bytes back; those bytes
// still count in used while it copies, so no writer can overwrite them.
// p_read changes on the reader's thread alone (the emptying runs there too).
//
// After a large take the reader sleeps on cond only once the ring has
// stayed empty for QUARN_CB_LINGER_NS: while it lingers, writers do not
// signal it.
//
// Writers of a sender wait on room while the ring is full; the reader wakes
// them only once a quarter of the ring is free again, so that a full ring
// costs one wake-up per quarter, not one per batch taken.
#include "ring_buffer.h"

#include "quarn.h"
#include "result.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

quarn_cycle_buff_t cb;

namespace {

constexpr int QUARN_CB_EMPTY = -11; // try_read: nothing stored

void _quarn_cb_lock() { pthread_mutex_lock(&cb.mutex); }
void _quarn_cb_unlock() { pthread_mutex_unlock(&cb.mutex); }

// 1 when a record of len bytes does not fit into the free space (or there is
// no storage at all), else 0.  Called with the lock held.
int _quarn_cb_not_enough(int len)
{
    return cb.p_buff == nullptr || static_cast<uint32_t>(len) > cb.size - cb.used;
}

// The position n bytes after pos; a position may stand at the very end of the
// storage, and the step past it starts again at p_buff.
uint8_t *_advance_(uint8_t *pos, uint32_t n)
{
    const auto offset = static_cast<uint32_t>(pos - cb.p_buff);
    return offset + n <= cb.size ? pos + n : pos + n - cb.size;
}

// Bytes from pos up to the end of the storage.
uint32_t _room_to_end_(const uint8_t *pos) { return static_cast<uint32_t>(cb.p_buff + cb.size - pos); }

void _copy_in_(uint8_t *pos, const uint8_t *src, uint32_t n)
{
    const uint32_t first = std::min(n, _room_to_end_(pos));
    memcpy(pos, src, first);
    memcpy(cb.p_buff, src + first, n - first);
}

void _copy_out_(uint8_t *dst, const uint8_t *pos, uint32_t n)
{
    const uint32_t first = std::min(n, _room_to_end_(pos));
    memcpy(dst, pos, first);
    memcpy(dst + first, cb.p_buff, n - first);
}

// Releases what creation took, so that a second creation starts clean.
void _quarn_cb_release_()
{
    if (cb.p_buff == nullptr)
        return;
    pthread_cond_destroy(&cb.cond);
    pthread_cond_destroy(&cb.room);
    pthread_mutex_destroy(&cb.mutex);
    free(cb.p_buff);
}

// The header of the oldest record, of which avail bytes are stored.  Bytes
// beyond avail are not the reader's to look at (a writer may be filling
// them) and read as zero; a record that short is judged broken below.
quarn_msg_head_t _read_head_(uint32_t avail)
{
    quarn_msg_head_t head{};
    _copy_out_(reinterpret_cast<uint8_t *>(&head), cb.p_read, std::min<uint32_t>(avail, sizeof head));
    return head;
}

// Waits until records are stored; returns how many bytes are.  A wakeable
// wait also returns, with 0, at the deadline (if any) or once woken.
uint32_t _wait_stored_(bool wakeable, const timespec *deadline)
{
    _quarn_cb_lock();
    // Under a steady stream the ring runs dry between every two batches: a
    // short look back, unsignalled, saves the writers a futex wake per batch.
    // Only then: a record that comes alone is taken alone, at once.
    if (cb.used == 0 && !(wakeable && cb.woken) && cb.last_taken >= QUARN_CB_LINGER_AFTER) {
        timespec linger{};
        clock_gettime(CLOCK_MONOTONIC, &linger);
        linger.tv_nsec += QUARN_CB_LINGER_NS;
        linger.tv_sec += linger.tv_nsec / 1000000000L;
        linger.tv_nsec %= 1000000000L;
        const bool deadline_first = deadline && (deadline->tv_sec < linger.tv_sec ||
                                                 (deadline->tv_sec == linger.tv_sec && deadline->tv_nsec < linger.tv_nsec));
        cb.lingering = true;
        int rc = 0;
        while (cb.used == 0 && !(wakeable && cb.woken) && rc != ETIMEDOUT)
            rc = pthread_cond_timedwait(&cb.cond, &cb.mutex, deadline_first ? deadline : &linger);
        cb.lingering = false;
        if (rc == ETIMEDOUT && deadline_first && cb.used == 0) {
            if (wakeable)
                cb.woken = false;
            _quarn_cb_unlock();
            return 0;
        }
    }
    while (cb.used == 0 && !(wakeable && cb.woken)) {
        if (!deadline)
            pthread_cond_wait(&cb.cond, &cb.mutex);
        else if (pthread_cond_timedwait(&cb.cond, &cb.mutex, deadline) == ETIMEDOUT)
            break;
    }
    if (wakeable)
        cb.woken = false;
    const uint32_t avail = cb.used;
    _quarn_cb_unlock();
    return avail;
}

// How many bytes are stored now, without waiting.
uint32_t _stored_now_()
{
    _quarn_cb_lock();
    const uint32_t avail = cb.used;
    _quarn_cb_unlock();
    return avail;
}

// The bookkeeping does not cover the record at the read position: drop
// everything, without the pause of the emptying.
void _lose_track_()
{
    _quarn_cb_lock();
    cb.p_read = cb.p_write;
    cb.used = 0;
    _quarn_cb_unlock();
    pthread_cond_broadcast(&cb.room);
    printf("Unknow error happen %s[%d] \n", "bsp_quarn_cb_read", 278);
}

// Gives the need bytes of the record just copied out back to the writers.
void _give_back_(uint32_t need)
{
    _quarn_cb_lock();
    cb.p_read = _advance_(cb.p_read, need);
    cb.used -= need;
    cb.taken += need;
    cb.last_taken = need;
    const bool wake = cb.room_waiters > 0 && cb.used <= cb.size / 4 * 3;
    _quarn_cb_unlock();
    if (wake)
        pthread_cond_broadcast(&cb.room);
}

// Takes the oldest record, of which avail bytes are known to be stored.
// Results as bsp_quarn_cb_read.
int _take_(uint8_t *dst, int bufflen, uint32_t avail)
{
    const quarn_msg_head_t head = _read_head_(avail);
    if (head.magic != QUARN_MSG_MAGIC) {
        bsp_quarn_cb_reinit();
        printf("%s_%d error magic  \n", "bsp_quarn_cb_read", 247);
        return -1;
    }
    const int need = head.len + QUARN_MSG_HEAD_LEN;
    if (bufflen < need) {
        bsp_quarn_cb_reinit();
        printf("bufflen = %d  len = %d \n", bufflen, need);
        return -2;
    }
    // used never shrinks behind the reader, so a record covered now stays so.
    if (static_cast<uint32_t>(need) > avail && static_cast<uint32_t>(need) > _stored_now_()) {
        _lose_track_();
        return 0;
    }
    _copy_out_(dst, cb.p_read, need);
    _give_back_(need);
    return need;
}

// Bytes of the whole, well-formed records at the read position that lie
// within the avail stored bytes and fit into bufflen; stops at the first
// record that does not.  Headers are read in place: the stored bytes are the
// reader's until given back.
uint32_t _batch_bytes_(uint32_t avail, uint32_t bufflen)
{
    const uint32_t limit = std::min(avail, bufflen);
    uint32_t total = 0;
    while (limit - total >= QUARN_MSG_HEAD_LEN) {
        quarn_msg_head_t head{};
        _copy_out_(reinterpret_cast<uint8_t *>(&head), _advance_(cb.p_read, total), sizeof head);
        const uint32_t need = head.len + QUARN_MSG_HEAD_LEN;
        if (head.magic != QUARN_MSG_MAGIC || need > QUARN_CB_REC_MAX || need > limit - total)
            break;
        total += need;
    }
    return total;
}

// Takes a batch, of which avail bytes are known to be stored; an oldest
// record that cannot start one is answered for by _take_.
int _take_batch_(uint8_t *dst, int bufflen, uint32_t avail)
{
    const uint32_t total = bufflen > 0 ? _batch_bytes_(avail, static_cast<uint32_t>(bufflen)) : 0;
    if (total == 0)
        return _take_(dst, std::min(bufflen, QUARN_CB_REC_MAX), avail);
    _copy_out_(dst, cb.p_read, total);
    _give_back_(total);
    return static_cast<int>(total);
}

// Stores one record of a batch, the lock held; false when it does not fit.
bool _store_locked_(const quarn_cb_rec_t &rec)
{
    if (_quarn_cb_not_enough(rec.len))
        return false;
    _copy_in_(cb.p_write, static_cast<const uint8_t *>(rec.src), rec.len);
    cb.p_write = _advance_(cb.p_write, rec.len);
    cb.used += rec.len;
    ++cb.stored;
    return true;
}

} // namespace

int bsp_quarn_cb_init(uint32_t size)
{
    _quarn_cb_release_();
    memset(&cb, 0, sizeof cb);
    cb.size = size;
    cb.p_buff = static_cast<uint8_t *>(malloc(size > 0 ? size : 1));
    if (cb.p_buff == nullptr) {
        const int err = errno;
        perror("malloc");
        return err;
    }
    cb.used = 0;
    cb.p_write = cb.p_read = cb.p_buff;
    pthread_mutex_init(&cb.mutex, nullptr);
    // Deadlines of the timed read must not move with the wall clock.
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&cb.cond, &attr);
    pthread_cond_init(&cb.room, &attr);
    pthread_condattr_destroy(&attr);
    cb.stalled_at = ~uint64_t{0};
    return 0;
}

// Under the lock: the sender, with the bytes it added in this batch, holds
// more than its share while the ring is above its high-water mark.
bool _over_share_(const quarn_cb_sender_t *sender, uint32_t added)
{
    return sender && cb.used > cb.size / 4 * 3 &&
           sender->holding->load(std::memory_order_relaxed) + added > cb.used / std::max(sender->senders, 1u);
}

// Under the lock: waits until the record fits and is within the sender's
// share, while the reader keeps taking.
void _wait_for_room_(const quarn_cb_rec_t &rec, const quarn_cb_sender_t *sender, uint32_t added)
{
    auto blocked = [&] { return _quarn_cb_not_enough(rec.len) || _over_share_(sender, added); };
    if (cb.p_buff == nullptr || static_cast<uint32_t>(rec.len) > cb.size)
        return;
    while (blocked()) {
        if (cb.stalled_at == cb.taken)
            return;
        const uint64_t before = cb.taken;
        timespec deadline{};
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_nsec += QUARN_CB_STALL_MS * 1000000L;
        deadline.tv_sec += deadline.tv_nsec / 1000000000L;
        deadline.tv_nsec %= 1000000000L;
        ++cb.room_waiters;
        pthread_cond_signal(&cb.cond); // records this batch stored may not have woken the reader yet
        int rc = 0;
        while (blocked() && cb.taken == before && rc != ETIMEDOUT)
            rc = pthread_cond_timedwait(&cb.room, &cb.mutex, &deadline);
        --cb.room_waiters;
        if (cb.taken == before && blocked())
            cb.stalled_at = before; // until the reader moves, the next blocked record does not wait
    }
}

int bsp_quarn_cb_write_batch(quarn_cb_rec_t *recs, int count, const quarn_cb_sender_t *sender)
{
    int refused = 0, kept = 0;
    uint32_t added = 0;      // bytes stored for the sender
    bool first_full = false; // the first refusal of an overload is printed
    uint32_t reported = 0;   // refusals that stored records of this batch end
    _quarn_cb_lock();
    const bool was_empty = cb.used == 0 && !cb.lingering; // a lingering reader looks again by itself
    for (int i = 0; i < count; ++i) {
        quarn_cb_rec_t &rec = recs[i];
        rec.result = 0;
        if (rec.src == nullptr || rec.len < 1 || rec.len > QUARN_CB_REC_MAX)
            continue;
        if (sender)
            _wait_for_room_(rec, sender, added); // what still does not fit is refused below
        if (_over_share_(sender, added)) {
            rec.result = QUARN_E_BUSY;
            ++refused;
            continue;
        }
        if (!_store_locked_(rec)) {
            first_full |= cb.dropped++ == 0;
            rec.result = QUARN_E_NOMEM;
            ++refused;
            continue;
        }
        ++kept;
        added += static_cast<uint32_t>(rec.len);
        if (cb.dropped > 1)
            reported += cb.dropped;
        cb.dropped = 0;
    }
    cb.high_water = std::max(cb.high_water, cb.used);
    if (sender && added > 0) // before the unlock, so the taker never subtracts bytes not yet added
        sender->holding->fetch_add(added, std::memory_order_relaxed);
    _quarn_cb_unlock();
    // Only the change from empty can find the reader asleep.
    if (was_empty && kept > 0)
        pthread_cond_signal(&cb.cond);
    if (first_full)
        puts("quarn cycle buff is full !");
    if (reported > 0)
        printf("quarn cycle buff was full: %u records dropped \n", reported);
    return refused;
}

int bsp_quarn_cb_write(const void *src, int len)
{
    quarn_cb_rec_t rec{src, len, 0};
    bsp_quarn_cb_write_batch(&rec, 1);
    return rec.result;
}

int bsp_quarn_cb_read(void *dst, int bufflen)
{
    if (dst == nullptr)
        return QUARN_E_ARG;
    const uint32_t avail = _wait_stored_(false, nullptr);
    return _take_(static_cast<uint8_t *>(dst), bufflen, avail);
}

int bsp_quarn_cb_try_read_batch(void *dst, int bufflen)
{
    if (dst == nullptr)
        return QUARN_E_ARG;
    const uint32_t avail = _stored_now_();
    if (avail == 0)
        return QUARN_CB_EMPTY;
    return _take_batch_(static_cast<uint8_t *>(dst), bufflen, avail);
}

int bsp_quarn_cb_timed_read_batch(void *dst, int bufflen, const timespec *deadline)
{
    if (dst == nullptr)
        return QUARN_E_ARG;
    const uint32_t avail = _wait_stored_(true, deadline);
    if (avail == 0)
        return QUARN_CB_EMPTY;
    return _take_batch_(static_cast<uint8_t *>(dst), bufflen, avail);
}

void bsp_quarn_cb_wake()
{
    _quarn_cb_lock();
    cb.woken = true;
    _quarn_cb_unlock();
    pthread_cond_signal(&cb.cond);
}

void bsp_quarn_cb_counters(uint64_t *stored, uint32_t *high_water)
{
    _quarn_cb_lock();
    *stored = cb.stored;
    *high_water = cb.high_water;
    _quarn_cb_unlock();
}

int bsp_quarn_cb_try_read(void *dst, int bufflen)
{
    if (dst == nullptr)
        return QUARN_E_ARG;
    const uint32_t avail = _stored_now_();
    if (avail == 0)
        return QUARN_CB_EMPTY;
    return _take_(static_cast<uint8_t *>(dst), bufflen, avail);
}

void bsp_quarn_cb_reinit()
{
    _quarn_cb_lock();
    cb.used = 0;
    // Writers wait out this second; records they bring afterwards are kept.
    const timespec second{1, 0};
    nanosleep(&second, nullptr);
    cb.p_write = cb.p_read = cb.p_buff;
    cb.used = 0;
    _quarn_cb_unlock();
    pthread_cond_broadcast(&cb.room);
}
