// Writing the ring: where a batch and its marker go, forged markers in the
// text defused, and the order of writes and syncs that a crash or a power
// cut at any point leaves a marker behind (FORMAT.md).
#include "store.h"

#include "result.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <span>

namespace logfile_detail {
namespace {

constexpr uint64_t QUARN_SECTOR = 512; // what a power cut keeps or loses whole

// Drops the first n bytes of iov.
void _advance_(std::span<iovec> &iov, size_t n)
{
    while (!iov.empty() && n >= iov.front().iov_len) {
        n -= iov.front().iov_len;
        iov = iov.subspan(1);
    }
    if (!iov.empty()) {
        iov.front().iov_base = static_cast<char *>(iov.front().iov_base) + n;
        iov.front().iov_len -= n;
    }
}

// Bytes that go to the file side by side from pos, in one call.
struct run_t {
    uint64_t pos = 0;          // file offset of the first byte
    std::array<iovec, 8> iov{}; // the parts, in file order
    size_t parts = 0;          // parts in use
    size_t len = 0;            // bytes in all parts

    void add(const char *p, size_t n)
    {
        if (n > 0)
            iov[parts++] = {const_cast<char *>(p), n}, len += n;
    }
    uint64_t end() const { return pos + len; }
    bool empty() const { return len == 0; }
};

// Stores every byte of run, going on after short writes.  stored counts the
// bytes that made it, also on failure.  Returns 0 or the negative errno
// after perror("logwrite").
int _write_run_(int fd, run_t run, size_t &stored)
{
    stored = 0;
    std::span<iovec> iov(run.iov.data(), run.parts);
    while (!iov.empty()) {
        const ssize_t n = g_io.pwritev(fd, iov.data(), static_cast<int>(iov.size()),
                                       static_cast<off_t>(run.pos + stored));
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO;
        if (n <= 0)
            return _fail_("logwrite");
        stored += static_cast<size_t>(n);
        _advance_(iov, static_cast<size_t>(n));
    }
    return 0;
}

// A write that failed part way (a full disk) has overwritten the marker
// with the start of text that is lost.  Puts the marker back at lf.offset,
// and where the torn text ran to the end of the file (so nothing but lost
// text lay behind it) cuts the file there: a restart then finds its place
// instead of sending the file to the backup, and no piece of the lost text
// reads as the oldest of the log.  Silent: the failure has been reported.
void _put_back_end_mark_(const quarn_log_file_t &lf, uint64_t torn_end)
{
    struct stat st;
    const bool torn_at_end = fstat(lf.fd, &st) == 0 && static_cast<uint64_t>(st.st_size) <= torn_end;
    // Only after a restart can the marker's place lie less than its length
    // before max_size; its newline then still stands in front of lf.offset.
    const uint32_t skip = uint64_t{lf.offset} + QUARN_END_MARK_LEN > lf.max_size ? 1 : 0;
    const size_t len = QUARN_END_MARK_LEN - skip;
    if (pwrite(lf.fd, QUARN_END_MARK + skip, len, lf.offset) == static_cast<ssize_t>(len) && torn_at_end &&
        ftruncate(lf.fd, static_cast<off_t>(lf.offset + len)) != 0) {
        // the marker stands; only the torn text stays behind it
    }
}

// Log text never holds the marker's bytes, so the first marker in a file is
// always the real one.  Where the 9 marker bytes would stand in the file,
// counting the bytes before the text (spelt of them already match) and a
// newline after it when follows_newline, the "+" before their last newline
// is stored as "-".  Rewrites text in place; spelt moves on to its end.
void _defuse_markers_(std::span<char> text, uint8_t &spelt, bool follows_newline)
{
    constexpr uint8_t LAST_PLUS = QUARN_END_MARK_LEN - 2;
    for (size_t i = 0; i < text.size(); ++i) {
        // Only a newline starts a marker: jump from one to the next, so that
        // a batch costs a memchr per line rather than a branch per byte.
        if (spelt == 0) {
            const void *nl = memchr(text.data() + i, '\n', text.size() - i);
            if (nl == nullptr)
                return;
            i = static_cast<size_t>(static_cast<const char *>(nl) - text.data());
        }
        const char c = text[i];
        const bool newline_next = i + 1 < text.size() ? text[i + 1] == '\n' : follows_newline;
        if (spelt == LAST_PLUS && c == '+' && newline_next) {
            text[i] = '-';
            spelt = 0;
        } else if (spelt <= LAST_PLUS && c == QUARN_END_MARK[spelt]) {
            ++spelt;
        } else {
            spelt = c == '\n' ? 1 : 0;
        }
    }
}

// What one write leaves in the file: tail from lf.offset on, head from 0
// on (either may be empty), and where the marker then stands.
struct layout_t {
    run_t tail;         // at lf.offset: text up to its end or max_size
    run_t head;         // at 0: text that wrapped, or a marker that moved there
    uint32_t offset;    // the new write position, where the new marker starts
    uint8_t spelt;      // marker bytes the text before offset spells
};

// Lays text out as a ring at lf.offset with the marker behind it, as it
// will stand once written; defuses forged markers in text on the way.
//  * Of a text longer than the file only the newest max_size - 9 bytes are
//    kept, from 0, the marker ending at max_size.
//  * Text that runs past max_size goes on at 0, the marker behind it.
//  * A marker that does not fit behind the text goes to 0, and the fewer
//    than 9 bytes left behind the text are blanked with newlines: they may
//    hold the tail of an earlier marker, which a later marker's newline in
//    front of them would make whole again.
layout_t _lay_out_(const quarn_log_file_t &lf, uint8_t spelt, std::span<char> text)
{
    static constexpr char BLANKS[QUARN_END_MARK_LEN] = {'\n', '\n', '\n', '\n', '\n', '\n', '\n', '\n', '\n'};
    const uint64_t max = lf.max_size, at = lf.offset;
    layout_t l{{.pos = at}, {}, 0, 0};
    // A text that fits behind the write position but leaves its marker no
    // room, where the marker at 0 would overwrite the text's own start, is
    // laid out from 0 like one longer than the file.
    const bool marker_over_text = text.size() <= max - at && at + text.size() + QUARN_END_MARK_LEN > max &&
                                  at < QUARN_END_MARK_LEN;
    if (text.size() > max || marker_over_text) {
        text = text.last(std::min<size_t>(text.size(), max - QUARN_END_MARK_LEN));
        _defuse_markers_(text, l.spelt, true);
        l.head.add(text.data(), text.size());
        l.head.add(QUARN_END_MARK, QUARN_END_MARK_LEN);
        l.tail = {};
        l.offset = static_cast<uint32_t>(text.size());
        return l;
    }
    const size_t room = static_cast<size_t>(max - at);
    if (text.size() <= room) {
        const bool mark_fits = at + text.size() + QUARN_END_MARK_LEN <= max;
        const size_t pad = mark_fits ? 0 : room - text.size();
        _defuse_markers_(text, spelt, mark_fits || pad > 0);
        l.tail.add(text.data(), text.size());
        l.tail.add(mark_fits ? QUARN_END_MARK : BLANKS, mark_fits ? QUARN_END_MARK_LEN : pad);
        if (!mark_fits)
            l.head.add(QUARN_END_MARK, QUARN_END_MARK_LEN);
        l.offset = mark_fits ? static_cast<uint32_t>(at + text.size()) : 0;
        l.spelt = mark_fits ? spelt : 0;
        return l;
    }
    const std::span<char> older = text.first(room), newer = text.subspan(room);
    _defuse_markers_(older, spelt, false);
    _defuse_markers_(newer, l.spelt, true);
    l.tail.add(older.data(), older.size());
    if (newer.size() + QUARN_END_MARK_LEN <= max) {
        l.head.add(newer.data(), newer.size());
        l.head.add(QUARN_END_MARK, QUARN_END_MARK_LEN);
        l.offset = static_cast<uint32_t>(newer.size());
        return l;
    }
    // The newer part fills nearly the whole file: the marker goes to 0 over its start.
    const size_t covered = std::min<size_t>(newer.size(), QUARN_END_MARK_LEN);
    l.head.add(QUARN_END_MARK, QUARN_END_MARK_LEN);
    l.head.add(newer.data() + covered, newer.size() - covered);
    l.head.add(BLANKS, max - std::max<size_t>(newer.size(), QUARN_END_MARK_LEN));
    l.spelt = 0;
    return l;
}

// Joins head and tail into one run from 0, head winning where they overlap;
// only called when they meet (head reaches lf.offset).
run_t _joined_(const layout_t &l)
{
    run_t all = l.head;
    run_t tail = l.tail;
    std::span<iovec> rest(tail.iov.data(), tail.parts);
    _advance_(rest, static_cast<size_t>(l.head.end() - tail.pos));
    for (const iovec &v : rest)
        all.add(static_cast<const char *>(v.iov_base), v.iov_len);
    return all;
}

// The part of run that lies in [lo, hi) of the file.
run_t _slice_(const run_t &run, uint64_t lo, uint64_t hi)
{
    const uint64_t from = std::max(run.pos, lo), to = std::min(run.end(), hi);
    run_t out{.pos = from};
    if (to <= from)
        return out;
    std::array<iovec, 8> iov = run.iov;
    std::span<iovec> rest(iov.data(), run.parts);
    _advance_(rest, static_cast<size_t>(from - run.pos));
    for (size_t want = static_cast<size_t>(to - from); want > 0 && !rest.empty(); rest = rest.subspan(1)) {
        const size_t n = std::min(rest.front().iov_len, want);
        out.add(static_cast<const char *>(rest.front().iov_base), n);
        want -= n;
    }
    return out;
}

// Writes the runs in order; on a failure, puts the old marker back where the
// torn text overwrote it.  0 or the negative errno.
int _write_all_(const quarn_log_file_t &lf, std::span<const run_t> runs)
{
    for (const run_t &run : runs) {
        size_t stored = 0;
        if (const int rc = _write_run_(lf.fd, run, stored); rc != 0) {
            if (stored > 0)
                _put_back_end_mark_(lf, run.pos + stored);
            return rc;
        }
    }
    return 0;
}

// A write into a file whose marker stands at k.mark_at.  A power cut may
// keep any of the sectors written since the last sync and lose the others,
// so the sectors that hold the old marker are written only once everything
// else of the batch, the new marker with it, has been synced: at any cut a
// whole marker is on the medium, and every synced batch is before it.  The
// old marker stays whole until then, so a crash between two calls finds it
// (or, once the new one is written, the new one first where the batch
// wrapped).  A batch within the old marker's one sector costs one sync.
// Returns 0, the negative errno of a failed write (the write position is
// then the one a restart would find), or that of a failed sync between the
// two steps (the batch was written all the same).
int _write_around_mark_(log_kind_t &k, const layout_t &l, bool &moved)
{
    const uint64_t lo = k.mark_at / QUARN_SECTOR * QUARN_SECTOR,
                   hi = (uint64_t{k.mark_at} + QUARN_END_MARK_LEN + QUARN_SECTOR - 1) / QUARN_SECTOR * QUARN_SECTOR;
    const bool meet = !l.head.empty() && !l.tail.empty() && l.head.end() >= l.tail.pos;
    // The run with the new marker (the head, where there is one) goes last.
    std::array<run_t, 2> runs{l.tail, l.head};
    const size_t count = meet ? 1 : 2;
    if (meet)
        runs = {_joined_(l), run_t{}};
    const bool one_sector = hi - lo == QUARN_SECTOR && std::all_of(runs.begin(), runs.begin() + count, [&](const run_t &r) {
        return r.empty() || (r.pos >= lo && r.end() <= hi);
    });
    if (one_sector) {
        std::swap(runs[0], runs[count - 1]); // the new marker first, as a crash between the calls wants
        const int rc = _write_all_(k.lf, std::span(runs.data(), count));
        moved = rc == 0;
        return rc;
    }
    const auto holds_mark = [&](const run_t &r) { // any byte of the new marker
        return !r.empty() && r.pos < uint64_t{l.offset} + QUARN_END_MARK_LEN && l.offset < r.end();
    };
    // The parts without the new marker first, each group in file order.
    // Sorted by hand: std::stable_partition may allocate, and a fault
    // handler's last words come through here.
    std::array<run_t, 4> outside{};
    size_t n = 0;
    for (const bool with_mark : {false, true})
        for (size_t i = 0; i < count; ++i)
            for (const run_t &part : {_slice_(runs[i], 0, lo), _slice_(runs[i], hi, UINT64_MAX)})
                if (!part.empty() && holds_mark(part) == with_mark)
                    outside[n++] = part;
    if (const int rc = _write_all_(k.lf, std::span(outside.data(), n)); rc != 0)
        return rc;
    const int synced = g_io.fsync(k.lf.fd) == 0 ? 0 : _fail_("fsync");
    // Within the old marker's sectors too the new marker goes first, then
    // what overwrites the old one.  Where the old marker spans two sectors
    // and the new one lies in them, the sector that ends the new marker is
    // written and synced before the other: written together, a cut could
    // keep the one that breaks the old marker and lose the new one.
    const uint64_t mark_end = uint64_t{l.offset} + QUARN_END_MARK_LEN;
    const bool by_sector = hi - lo == 2 * QUARN_SECTOR && l.offset < hi && mark_end > lo;
    const uint64_t first = by_sector && mark_end <= lo + QUARN_SECTOR ? lo : lo + QUARN_SECTOR;
    const std::array<std::pair<uint64_t, uint64_t>, 2> steps{
        by_sector ? std::pair{first, first + QUARN_SECTOR} : std::pair{lo, hi},
        by_sector ? (first == lo ? std::pair{lo + QUARN_SECTOR, hi} : std::pair{lo, lo + QUARN_SECTOR})
                  : std::pair{hi, hi}};
    moved = true;
    for (size_t step = 0; step < steps.size(); ++step) {
        if (step > 0 && by_sector && g_io.fsync(k.lf.fd) != 0)
            return _fail_("fsync");
        std::array<run_t, 2> inside{_slice_(runs[0], steps[step].first, steps[step].second),
                                    _slice_(runs[1], steps[step].first, steps[step].second)};
        if (holds_mark(inside[1]))
            std::swap(inside[0], inside[1]);
        for (size_t i = 0; i < count; ++i) {
            size_t stored = 0;
            if (const int rc = _write_run_(k.lf.fd, inside[i], stored); rc != 0) {
                // Where the new marker stands before the old one (the batch
                // wrapped) a restart takes it, so the batch counts as
                // written; elsewhere the old marker goes back.
                moved = l.offset < k.mark_at;
                if (!moved && stored > 0)
                    _put_back_end_mark_(k.lf, inside[i].pos + stored);
                return rc;
            }
        }
    }
    return synced;
}

// Writes text at k's write position (see _lay_out_): into a file with a
// marker as _write_around_mark_ says, into a fresh one in one call.
// Returns 0 or the negative errno of the failed write, after which the
// write position is the one a restart would find.
int _write_text_(log_kind_t &k, std::span<char> text)
{
    quarn_log_file_t &lf = k.lf;
    const layout_t l = _lay_out_(lf, k.spelt, text);
    bool moved = false;
    int rc = 0;
    if (k.has_mark) {
        rc = _write_around_mark_(k, l, moved);
    } else {
        const run_t all[] = {l.tail.empty() ? l.head : l.head.empty() ? l.tail : _joined_(l)};
        rc = _write_all_(lf, all);
        moved = rc == 0;
    }
    if (!moved)
        return rc;
    lf.offset = l.offset;
    k.mark_at = l.offset;
    k.has_mark = true;
    k.spelt = l.spelt;
    return rc;
}

// A log file removed under the running server (the file, or its whole
// directory) would take every later batch with it without a word.  Makes a
// fresh file at its path instead.  0, or the negative errno of the failed
// open after perror("open"): the batch is then refused, and the next one
// tries again.
int _make_again_if_removed_(log_kind_t &k)
{
    struct stat st;
    if (fstat(k.lf.fd, &st) != 0 || st.st_nlink > 0)
        return 0;
    const int fd = open_file(k.path);
    if (fd < 0)
        return _fail_("open");
    close(k.lf.fd);
    k.lf.fd = fd;
    k.lf.offset = 0;
    k.has_mark = false;
    k.spelt = 0;
    return 0;
}

// Takes mu: waits for it, or in a fault handler's last words tries for
// about a second, since the faulting thread may hold it.
bool _lock_(std::mutex &mu, bool last_words)
{
    if (!last_words) {
        mu.lock();
        return true;
    }
    for (int tries = 0; tries < 200; ++tries) {
        if (mu.try_lock())
            return true;
        const timespec pause{0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return false;
}

} // namespace

int put_text(char *text, uint32_t len, int kind, bool last_words)
{
    if (!text || len < 1 || len > INT32_MAX)
        return QUARN_E_ARG;
    log_kind_t &k = get_lf(kind);
    if (!_lock_(k.mu, last_words))
        return QUARN_E_BUSY;
    std::lock_guard lock(k.mu, std::adopt_lock);
    if (!k.lf.is_open)
        return QUARN_E_BUSY;
    if (int rc = _make_again_if_removed_(k))
        return rc;
    if (int rc = _write_text_(k, {text, len}))
        return rc;
    return g_io.fsync(k.lf.fd) == 0 ? 0 : _fail_("fsync");
}

} // namespace logfile_detail
