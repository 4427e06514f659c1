// Circular log files with an end marker behind the newest text; the layout
// is written down in FORMAT.md.
//
// Errors: every function here returns 0 or a negative result: a named code
// of protocol/result.h, or the negative errno of a failed system call after
// one perror() naming the call (none in a fault handler's last words).
//
// Locks: open_mu lets one open run at a time and guards dirTmp and p_tmp.
// Each kind's mu guards its record and serialises the kind's writers; an
// open takes open_mu first, then the kind's mu.
#include "logfile.h"

#include "result.h"

#include <fcntl.h>
#include <time.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace {

constexpr size_t SCAN_CHUNK = 128 * 1024;        // bytes read per step of the search
constexpr size_t CHUNK_OVERLAP = QUARN_END_MARK_LEN - 1; // a marker cut by a chunk end lies whole in the next chunk
constexpr int OPEN_FLAGS = O_RDWR | O_CREAT | O_CLOEXEC;
constexpr mode_t FILE_MODE = 0777;
constexpr size_t PATH_LEN = 256;

struct log_kind_t {
    const char *name;      // log file name in the log directory
    const char *bak_name;  // backup that every unusable file is appended to
    std::mutex mu{};       // serialises the kind's writers; guards the fields below
    quarn_log_file_t lf{}; // the kind's record
    char path[PATH_LEN]{}; // where the open file was found, to make it again
    bool has_mark = false; // a marker stands at mark_at (not in an empty file)
    uint32_t mark_at = 0;  // the marker's first byte: lf.offset, or one before it after an open
    uint8_t spelt = 0;     // marker bytes that the bytes before lf.offset already spell (0..7)
    std::atomic<bool> open{false}; // lf.is_open, readable without mu
};

log_kind_t app_lf{"quarn.app", "quarn.app.bak"};
log_kind_t bsp_lf{"quarn.bsp", "quarn.bsp.bak"};
log_kind_t dsp_lf{"quarn.dsp", "quarn.dsp.bak"};

quarn_log_file_io_t g_io{::pwritev, ::fsync}; // see quarn_log_file_set_io
std::atomic<bool> g_quiet{false};              // a fault handler's last words: print nothing more

std::mutex open_mu;            // one open at a time; guards dirTmp and p_tmp
char dirTmp[PATH_LEN];         // remembered log directory, ends in '/'; under open_mu
char p_tmp[SCAN_CHUNK + 1];    // the search's one chunk buffer; under open_mu

// Owns a descriptor for the length of a scope.
class unique_fd {
  public:
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() { reset(-1); }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    explicit operator bool() const { return fd_ >= 0; }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

  private:
    int fd_; // owned descriptor, or -1
};

// Kinds other than BSP and DSP use the application file.
log_kind_t &get_lf(int kind)
{
    switch (kind) {
    case 1: return bsp_lf;
    case 2: return dsp_lf;
    default: return app_lf;
    }
}

// Reports the failed call named by what and returns its negative errno.
int _fail_(const char *what)
{
    const int err = errno ? errno : EIO;
    if (!g_quiet.load(std::memory_order_relaxed))
        perror(what);
    return -err;
}

void _remember_dir_(const char *dir, int dirLen)
{
    memcpy(dirTmp, dir, dirLen);
    const bool slash = dirLen > 0 && dir[dirLen - 1] == '/';
    strcpy(dirTmp + dirLen, slash ? "" : "/");
}

void _form_path_(char (&path)[PATH_LEN], const char *name)
{
    snprintf(path, sizeof path, "%s%s", dirTmp, name);
}

// ---- Finding the write offset ---------------------------------------------

// Reads up to want bytes at pos into p_tmp, going on after short reads.
// Returns the bytes read (fewer only where the file ends) or -errno.
ssize_t _read_chunk_(int fd, off_t pos, size_t want)
{
    size_t got = 0;
    while (got < want) {
        const ssize_t n = pread(fd, p_tmp + got, want - got, pos + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// Index of the first whole end marker in bytes, or -1.  The scan hops from
// one '$' to the next with memchr: '$' is rare in log text and memchr runs
// at memory speed, where memmem would cost about as much again as the read.
ssize_t _find_end_mark_(std::span<const char> bytes)
{
    constexpr size_t LEAD = 2; // marker bytes before its first '$'
    if (bytes.size() < QUARN_END_MARK_LEN)
        return -1;
    const char *p = bytes.data() + LEAD;
    const char *last = bytes.data() + bytes.size() - (QUARN_END_MARK_LEN - LEAD); // last '$' a whole marker fits behind
    while (p <= last) {
        p = static_cast<const char *>(memchr(p, '$', static_cast<size_t>(last - p) + 1));
        if (!p)
            return -1;
        if (memcmp(p - LEAD, QUARN_END_MARK, QUARN_END_MARK_LEN) == 0)
            return p - LEAD - bytes.data();
        ++p;
    }
    return -1;
}

// Sets lf.offset to the "+" of the file's first end marker (0 for an empty
// file).  Returns 0 or the negative errno of a failed seek or read after
// perror; usable turns false when the file has no marker or is longer than
// lf.max_size (after printing so), which sends it to the backup.
int _get_write_pos_(quarn_log_file_t &lf, bool &usable)
{
    usable = true;
    lf.offset = 0;
    const off_t len = lseek(lf.fd, 0, SEEK_END);
    if (len < 0)
        return _fail_("lseek");
    if (len == 0)
        return 0;
    if (static_cast<uint64_t>(len) > lf.max_size) {
        puts("error file size found ");
        usable = false;
        return 0;
    }
    for (off_t start = 0;;) {
        const size_t want = static_cast<size_t>(std::min<off_t>(SCAN_CHUNK, len - start));
        const ssize_t got = _read_chunk_(lf.fd, start, want);
        if (got < 0) {
            errno = static_cast<int>(-got);
            return _fail_("read");
        }
        const ssize_t at = _find_end_mark_({p_tmp, static_cast<size_t>(got)});
        if (at >= 0) {
            lf.offset = static_cast<uint32_t>(start + at + 1);
            return 0;
        }
        if (static_cast<size_t>(got) < want || start + got == len) {
            usable = false; // a file that shrank under us ends early
            return 0;
        }
        start += got - static_cast<off_t>(CHUNK_OVERLAP);
    }
}

// ---- Moving an unusable file to the backup ----------------------------------

// Copies len bytes from the start of from onto the position of to.
// Returns 0, or the negative errno after perror("sendfile") (EIO for a
// source that ended early).
int _send_all_(int to, int from, off_t len)
{
    off_t pos = 0;
    while (pos < len) {
        const ssize_t n = sendfile(to, from, &pos, static_cast<size_t>(len - pos));
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO;
        if (n <= 0)
            return _fail_("sendfile");
    }
    return 0;
}

// Appends the whole of the file log to the backup at bak_path and syncs the
// backup.  Returns 0 or the negative errno after perror; on failure the
// backup is cut back to its old length and the log file is not touched.
int _copy_to_backup_(int log, const char *bak_path)
{
    const off_t len = lseek(log, 0, SEEK_END);
    if (len < 0)
        return _fail_("lseek");
    unique_fd bak(open(bak_path, OPEN_FLAGS, FILE_MODE));
    if (!bak)
        return _fail_("open");
    const off_t old_len = lseek(bak.get(), 0, SEEK_END);
    if (old_len < 0)
        return _fail_("lseek");
    int rc = _send_all_(bak.get(), log, len);
    if (rc == 0 && g_io.fsync(bak.get()) != 0)
        rc = _fail_("fsync");
    if (rc != 0 && ftruncate(bak.get(), old_len) != 0)
        perror("ftruncate");
    return rc;
}

// Replaces the unusable file in log (at path) by an empty one once its
// content is safe in the backup.  Returns 0 with lf.fd and lf.offset set,
// or a negative errno after perror; until the backup is synced the log file
// stays as it was.
int _recover_(quarn_log_file_t &lf, unique_fd &log, const char *path, const char *bak_path)
{
    if (int rc = _copy_to_backup_(log.get(), bak_path))
        return rc;
    log.reset(-1);
    lf.fd = 0;
    if (unlink(path) != 0)
        return _fail_("unlink");
    log.reset(open(path, OPEN_FLAGS, FILE_MODE));
    if (!log)
        return _fail_("open");
    lf.fd = log.get();
    bool usable = true;
    return _get_write_pos_(lf, usable);
}

// Opens the log file at path into lf and finds its write offset, recovering
// an unusable file into bak_path.  Results as bsp_quarn_log_file_init; lf
// keeps the open file only on success.
int _open_log_(quarn_log_file_t &lf, uint32_t max_size, const char *path, const char *bak_path)
{
    unique_fd log(open(path, OPEN_FLAGS, FILE_MODE));
    if (!log)
        return _fail_("open");
    lf.fd = log.get();
    lf.max_size = max_size;
    bool usable = true;
    int rc = _get_write_pos_(lf, usable);
    if (rc == 0 && !usable)
        rc = _recover_(lf, log, path, bak_path);
    if (rc == 0)
        log.release();
    return rc;
}

// ---- Writing ----------------------------------------------------------------

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
    if (text.size() > max) {
        text = text.last(max - QUARN_END_MARK_LEN);
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

// Writes text at k's write position (see _lay_out_) so that a crash between
// any two system calls leaves a marker that an open accepts: the new marker
// is written before the old one is overwritten.  A wrap whose head (at 0)
// ends before the old marker writes the head, marker included, first and
// then the tail over the old marker; until then the old marker stands,
// stale, behind the new one.  A wrap whose head reaches the old marker goes
// in one call.  Returns 0 or the negative errno of the failed write; the
// write position is then the one a restart would find.
int _write_text_(log_kind_t &k, std::span<char> text)
{
    quarn_log_file_t &lf = k.lf;
    const layout_t l = _lay_out_(lf, k.spelt, text);
    // Head first only where it lies wholly before the tail: a text that fills
    // a fresh file's first bytes would otherwise overwrite its own new marker.
    const bool head_first = !l.head.empty() && !l.tail.empty() && l.head.end() <= l.tail.pos &&
                            (!k.has_mark || l.head.end() <= k.mark_at);
    size_t stored = 0;
    int rc = 0;
    if (head_first) {
        if ((rc = _write_run_(lf.fd, l.head, stored)) != 0)
            return rc; // nothing new stands before the old marker
        rc = _write_run_(lf.fd, l.tail, stored); // the new marker stands whatever happens
    } else {
        const run_t all = l.tail.empty() ? l.head : l.head.empty() ? l.tail : _joined_(l);
        if ((rc = _write_run_(lf.fd, all, stored)) != 0) {
            if (stored > 0)
                _put_back_end_mark_(lf, all.pos + stored);
            return rc;
        }
    }
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
    const int fd = open(k.path, OPEN_FLAGS, FILE_MODE);
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

int _put_(char *text, uint32_t len, int kind, bool last_words)
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

} // namespace

int bsp_quarn_log_file_init(const char *dir, int dirLen, uint32_t maxSize, int kind)
{
    std::lock_guard open_lock(open_mu);
    if ((!dir && !dirTmp[0]) || dirLen > QUARN_LOG_DIR_MAX || (dir && dirLen < 0) ||
        maxSize <= QUARN_END_MARK_LEN)
        return QUARN_E_ARG;
    log_kind_t &k = get_lf(kind);
    if (k.open.load(std::memory_order_acquire))
        return QUARN_E_BUSY;
    if (dir)
        _remember_dir_(dir, dirLen);
    // The search and a recovery run without the kind's lock: they may take
    // seconds on flash, and the kind's record must stay readable meanwhile.
    char path[PATH_LEN], bak_path[PATH_LEN];
    _form_path_(path, k.name);
    _form_path_(bak_path, k.bak_name);
    quarn_log_file_t lf{};
    if (const int rc = _open_log_(lf, maxSize, path, bak_path); rc != 0)
        return rc;
    printf("%s open !!!\n", path);
    std::lock_guard lock(k.mu);
    k.lf = lf;
    memcpy(k.path, path, sizeof path);
    k.lf.is_open = 1;
    k.has_mark = k.lf.offset > 0; // its newline stays in front of the write position
    k.mark_at = k.has_mark ? k.lf.offset - 1 : 0;
    k.spelt = k.has_mark ? 1 : 0;
    k.open = true;
    return 0;
}

int bsp_quarn_log_file_write(const void *data, int len, int kind)
{
    if (!data || len < 1)
        return QUARN_E_ARG;
    // Only text with a "$", or one that may finish a marker begun before
    // it, can need a byte defused; the caller's bytes are read-only, so
    // such text is stored from a copy.
    const std::string_view text(static_cast<const char *>(data), static_cast<size_t>(len));
    if (text.find('$') == std::string_view::npos && text.front() != '+')
        return _put_(const_cast<char *>(text.data()), static_cast<uint32_t>(len), kind, false);
    std::string copy(text);
    return _put_(copy.data(), static_cast<uint32_t>(len), kind, false);
}

int quarn_log_file_put(char *text, uint32_t len, int kind)
{
    return _put_(text, len, kind, false);
}

int quarn_log_file_put_last(char *text, uint32_t len, int kind)
{
    g_quiet.store(true, std::memory_order_relaxed);
    return _put_(text, len, kind, true);
}

bool quarn_log_file_is_open(int kind)
{
    return get_lf(kind).open.load(std::memory_order_acquire);
}

quarn_log_file_t bsp_quarn_log_file_get(int kind)
{
    log_kind_t &k = get_lf(kind);
    std::lock_guard lock(k.mu);
    return k.lf;
}

void bsp_quarn_log_file_close(int kind)
{
    log_kind_t &k = get_lf(kind);
    std::lock_guard lock(k.mu);
    if (k.lf.is_open)
        close(k.lf.fd);
    k.lf = {};
    k.has_mark = false;
    k.spelt = 0;
    k.open = false;
}

void quarn_log_file_set_io(quarn_log_file_io_t io)
{
    g_io.pwritev = io.pwritev ? io.pwritev : ::pwritev;
    g_io.fsync = io.fsync ? io.fsync : ::fsync;
}
