// Staging buffers: log text waits here per kind and reaches its log file in
// batches, so a burst of lines costs one write and one fsync per batch.
#include "quarn_server.h"

#include "logfile.h"
#include "quarn.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

quarn_cfg_t lc;
quarn_stage_t app_fs;
quarn_stage_t dsp_fs;

namespace {

constexpr uint32_t QUARN_STAGE_TEXT_MAX = 1116; // longest text staged; also the smallest capacity

uint32_t _stage_capacity_(uint32_t sync_size)
{
    return sync_size > QUARN_STAGE_TEXT_MAX - 1 ? sync_size : QUARN_STAGE_TEXT_MAX;
}

// Makes buf hold at least want bytes, keeping the waiting text.  A sync size
// raised after the buffer exists enlarges it; a lowered one keeps the larger
// buffer.  Returns the usable capacity, 0 when there is no buffer at all.
uint32_t _stage_reserve_(quarn_stage_t *fs, uint32_t want)
{
    if (fs->buf && fs->cap >= want)
        return fs->cap;
    auto *grown = static_cast<uint8_t *>(calloc(want, 1));
    if (!grown)
        return fs->buf ? fs->cap : 0; // keep what we have; a later call tries again
    if (fs->buf) {
        memcpy(grown, fs->buf, fs->used);
        free(fs->buf);
    }
    fs->buf = grown;
    fs->cap = want;
    return want;
}

// Capacity to stage for kind.  The DSP sync size comes from a client and
// may be far beyond its log file (even read from a negative number): a
// batch never needs more than the file holds, since the store keeps only
// the newest part of an overlong one, so the file's size bounds it.  The
// application's sync size is below its log size by the start-up check.
uint32_t _stage_want_(int kind)
{
    const uint32_t want = _stage_capacity_(get_ss(kind));
    if (kind != QUARN_DSP_LOG_INIT)
        return want;
    return std::min(want, _stage_capacity_(bsp_quarn_log_file_get(kind).max_size));
}

void _stage_flush_(quarn_stage_t *fs, int kind)
{
    quarn_log_file_put(fs->buf, fs->used, kind); // a refused batch is dropped
    fs->used = 0;
}

} // namespace

quarn_stage_t *get_fs(int kind)
{
    return kind == QUARN_DSP_LOG_INIT ? &dsp_fs : &app_fs;
}

uint32_t get_ss(int kind)
{
    return kind == QUARN_DSP_LOG_INIT ? lc.dsp_sync_size : lc.app_sync_size;
}

int quarn_log_file_put(const void *data, uint32_t len, int kind)
{
    // Keep every write within the file beside its marker: older bytes of an
    // overlong batch would be overwritten by its newer ones anyway.
    const uint32_t max_size = bsp_quarn_log_file_get(kind).max_size;
    if (max_size > QUARN_END_MARK_LEN && len > max_size - QUARN_END_MARK_LEN) {
        const uint32_t keep = max_size - QUARN_END_MARK_LEN;
        data = static_cast<const uint8_t *>(data) + (len - keep);
        len = keep;
    }
    return bsp_quarn_log_file_write(data, static_cast<int>(len), kind);
}

void _do_log_write_(const char *src, uint32_t len, int flush, int kind)
{
    quarn_stage_t *fs = get_fs(kind);
    if (!fs->enable)
        return;
    const uint32_t want = _stage_want_(kind);
    const uint32_t cap = _stage_reserve_(fs, want);
    if (cap == 0)
        return; // no memory: the text is lost, buf stays null
    if (flush) {
        _stage_flush_(fs, kind);
        return;
    }
    if (!src || len == 0 || len > QUARN_STAGE_TEXT_MAX)
        return;
    memcpy(fs->buf + fs->used, src, len);
    fs->used += len;
    // The threshold leaves room for one more text of the largest size, in
    // the buffer as allocated even when it could not grow to the sync size.
    if (fs->used > std::min(cap, want) - QUARN_STAGE_TEXT_MAX)
        _stage_flush_(fs, kind);
}
