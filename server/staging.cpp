// Staging buffers: log text waits here per kind and reaches its log file in
// batches, so a burst of lines costs one write and one fsync per batch.
// Also the table of log kinds, which says where each kind's text goes.
#include "quarn_server.h"

#include "logfile.h"
#include "loss.h"
#include "quarn.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

quarn_settings_t g_settings;

namespace {

quarn_stage_t g_stages[QUARN_KIND_COUNT]; // one per kind, indexed like g_log_kinds

// Longest text staged, also the smallest capacity: the longest a receive
// thread keeps, so that every record it accepted can be stored.
constexpr uint32_t QUARN_STAGE_TEXT_MAX = QUARN_MSG_RECV_LEN - 1 - QUARN_MSG_HEAD_LEN;

uint32_t _stage_capacity_(uint32_t sync_size)
{
    return sync_size > QUARN_STAGE_TEXT_MAX - 1 ? sync_size : QUARN_STAGE_TEXT_MAX;
}

// Makes buf hold at least want bytes, keeping the waiting text.  A sync size
// raised after the buffer exists enlarges it; a lowered one keeps the larger
// buffer.  Returns the usable capacity, 0 when there is no buffer at all.
uint32_t _stage_reserve_(quarn_stage_t *st, uint32_t want)
{
    if (st->buf && st->cap >= want)
        return st->cap;
    auto *grown = static_cast<uint8_t *>(calloc(want, 1));
    if (!grown)
        return st->buf ? st->cap : 0; // keep what we have; a later call tries again
    if (st->buf) {
        memcpy(grown, st->buf, st->used);
        free(st->buf);
    }
    st->buf = grown;
    st->cap = want;
    return want;
}

// Capacity to stage for kind: its sync size, bounded by what its file
// holds, since the store keeps only the newest part of an overlong batch.
uint32_t _stage_want_(const log_kind_t &kind)
{
    const uint32_t want = _stage_capacity_(*kind.sync_size);
    const uint32_t file_size = bsp_quarn_log_file_get(kind.file).max_size;
    return file_size ? std::min(want, _stage_capacity_(file_size)) : want;
}

void _stage_write_out_(const log_kind_t &kind, bool last_words)
{
    quarn_stage_t &st = *kind.stage;
    if (st.buf && st.used > 0) {
        if (last_words)
            store_batch(kind, reinterpret_cast<char *>(st.buf), st.used, true);
        else
            store_hand_over(kind, st); // a refused batch is counted where it is written
        st.written_ns = quarn_now_ns();
    }
    st.used = 0;
    st.error_ns = 0;
}

// When the kind's waiting text is due; 0 when none waits or the interval is off.
int64_t _stage_due_(const quarn_stage_t &st)
{
    if (st.used == 0 || g_settings.interval == 0)
        return 0;
    const int64_t due = st.first_ns + int64_t{g_settings.interval} * 1000000000;
    return st.error_ns ? std::min(due, st.error_ns) : due;
}

// An error line waits at most a second, and brings a batch out at most once
// a second: an error storm costs the flash one write a second.
void _stage_error_arrived_(quarn_stage_t &st)
{
    const int64_t at = std::max(quarn_now_ns(), st.written_ns + QUARN_ERROR_WAIT_NS);
    if (st.error_ns == 0 || at < st.error_ns)
        st.error_ns = at;
}

// Counts what a write stored or lost in the file it went to.
void _account_write_(int file, uint32_t len, int rc)
{
    if (rc < 0) {
        loss_count(QUARN_LOSS_FILE + file, len, -rc);
        return;
    }
    g_counters.written[file].fetch_add(len, std::memory_order_relaxed);
    loss_cleared(QUARN_LOSS_FILE + file);
}

} // namespace

const log_kind_t g_log_kinds[QUARN_KIND_COUNT] = {
    {QUARN_TYPE_APP, QUARN_APP_LOG_INIT, -1, &g_stages[QUARN_APP_LOG_INIT], &g_settings.app_print_level,
     &g_settings.app_sync_size},
    {QUARN_TYPE_BSP, QUARN_BSP_LOG_INIT, QUARN_APP_LOG_INIT, &g_stages[QUARN_BSP_LOG_INIT],
     &g_settings.app_print_level, &g_settings.app_sync_size},
    {QUARN_TYPE_DSP, QUARN_DSP_LOG_INIT, QUARN_APP_LOG_INIT, &g_stages[QUARN_DSP_LOG_INIT], &g_settings.dsp_print_level,
     &g_settings.dsp_sync_size},
};

const log_kind_t &log_kind_of_origin(uint16_t origin)
{
    for (const log_kind_t &kind : g_log_kinds)
        if (kind.origin == origin)
            return kind;
    return g_log_kinds[QUARN_APP_LOG_INIT];
}

int store_file_of(const log_kind_t &kind)
{
    return kind.fallback >= 0 && !quarn_log_file_is_open(kind.file) ? kind.fallback : kind.file;
}

int store_batch(const log_kind_t &kind, char *data, uint32_t len, bool last_words)
{
    return store_batch_to(store_file_of(kind), data, len, last_words);
}

int store_batch_to(int file, char *data, uint32_t len, bool last_words)
{
    if (last_words)
        return quarn_log_file_put_last(data, len, file); // the store keeps the newest part of an overlong batch
    // Keep every write within the file beside its marker: older bytes of an
    // overlong batch would be overwritten by its newer ones anyway.
    const uint32_t max_size = bsp_quarn_log_file_get(file).max_size;
    if (max_size > QUARN_END_MARK_LEN && len > max_size - QUARN_END_MARK_LEN) {
        const uint32_t keep = max_size - QUARN_END_MARK_LEN;
        data += len - keep;
        len = keep;
    }
    const int rc = quarn_log_file_put(data, len, file);
    _account_write_(file, len, rc);
    return rc;
}

bool stage_text(const log_kind_t &kind, const char *text, uint32_t len, uint32_t level)
{
    quarn_stage_t *st = kind.stage;
    if (!st->enabled || !text || len == 0 || len > QUARN_STAGE_TEXT_MAX)
        return false;
    const uint32_t want = _stage_want_(kind);
    const uint32_t cap = _stage_reserve_(st, want);
    if (cap == 0) {
        loss_count(QUARN_LOSS_MEMORY, 1, ENOMEM); // buf stays null; the next text tries again
        return false;
    }
    loss_cleared(QUARN_LOSS_MEMORY);
    if (st->used == 0)
        st->first_ns = quarn_now_ns();
    memcpy(st->buf + st->used, text, len);
    st->used += len;
    // The threshold leaves room for one more text of the largest size, in
    // the buffer as allocated even when it could not grow to the sync size.
    if (st->used > std::min(cap, want) - QUARN_STAGE_TEXT_MAX)
        _stage_write_out_(kind, false);
    else if (level == QUARN_LEVEL_ERROR && g_settings.interval > 0)
        _stage_error_arrived_(*st);
    return true;
}

int64_t stage_next_due()
{
    int64_t next = 0;
    for (const log_kind_t &kind : g_log_kinds)
        if (const int64_t due = _stage_due_(*kind.stage); due && (next == 0 || due < next))
            next = due;
    return next;
}

void stage_flush_due(int64_t now)
{
    for (const log_kind_t &kind : g_log_kinds)
        if (const int64_t due = _stage_due_(*kind.stage); due && due <= now)
            _stage_write_out_(kind, false);
}

void stage_flush(const log_kind_t &kind)
{
    _stage_write_out_(kind, false);
}

void stage_flush_all()
{
    for (const log_kind_t &kind : g_log_kinds)
        stage_flush(kind);
    store_wait_written();
}

void stage_last_words()
{
    store_last_words(); // batches handed over came first
    for (const log_kind_t &kind : g_log_kinds)
        _stage_write_out_(kind, true);
}
