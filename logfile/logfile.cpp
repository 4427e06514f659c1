// Circular log files with an end marker behind the newest text; the layout
// is written down in FORMAT.md.
//
// Errors: the entry points return the codes of protocol/result.h, and the
// positive errno of a failed system call after one perror() naming it.
// Helpers below return 0, a negative search result, or such an errno.
//
// Locks: open_mu lets one open run at a time and guards dirTmp and p_tmp.
// Each kind's mu guards its record and serialises the kind's writers; an
// open takes open_mu first, then the kind's mu.
#include "logfile.h"

#include "result.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <span>
#include <string_view>
#include <utility>

namespace {

constexpr size_t SCAN_CHUNK = 128 * 1024;        // bytes read per step of the search
constexpr size_t CHUNK_OVERLAP = QUARN_END_MARK_LEN - 1; // a marker cut by a chunk end lies whole in the next chunk
constexpr int OPEN_FLAGS = O_RDWR | O_CREAT | O_CLOEXEC;
constexpr mode_t FILE_MODE = 0777;
constexpr size_t PATH_LEN = 256;

// Search results that send the file to its backup.
constexpr int NO_MARK = -1;
constexpr int TOO_LONG = -2;

struct log_kind_t {
    const char *name;      // log file name in the log directory
    const char *bak_name;  // backup that every unusable file is appended to
    std::mutex mu{};       // serialises the kind's writers; guards lf and path
    quarn_log_file_t lf{}; // the kind's record, under mu
    char path[PATH_LEN]{}; // where the open file was found, to make it again; under mu
};

log_kind_t app_lf{"quarn.app", "quarn.app.bak"};
log_kind_t bsp_lf{"quarn.bsp", "quarn.bsp.bak"};
log_kind_t dsp_lf{"quarn.dsp", "quarn.dsp.bak"};

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

// Reports the failed call named by what and returns its positive errno.
int _fail_(const char *what)
{
    const int err = errno ? errno : EIO;
    perror(what);
    return err;
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
// file).  Returns 0, NO_MARK, TOO_LONG (after printing so), or the positive
// errno of a failed seek or read after perror; only the negative results
// mean the file is unusable.
int _get_write_pos_(quarn_log_file_t &lf)
{
    lf.offset = 0;
    const off_t len = lseek(lf.fd, 0, SEEK_END);
    if (len < 0)
        return _fail_("lseek");
    if (len == 0)
        return 0;
    if (static_cast<uint64_t>(len) > lf.max_size) {
        puts("error file size found ");
        return TOO_LONG;
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
        if (static_cast<size_t>(got) < want || start + got == len)
            return NO_MARK; // a file that shrank under us ends early
        start += got - static_cast<off_t>(CHUNK_OVERLAP);
    }
}

// ---- Moving an unusable file to the backup ----------------------------------

// Copies len bytes from the start of from onto the position of to.
// Returns 0, or the positive errno after perror("sendfile") (EIO for a
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
// backup.  Returns 0 or the positive errno after perror; on failure the
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
    if (rc == 0 && fsync(bak.get()) != 0)
        rc = _fail_("fsync");
    if (rc != 0 && ftruncate(bak.get(), old_len) != 0)
        perror("ftruncate");
    return rc;
}

// Replaces the unusable file in log (at path) by an empty one once its
// content is safe in the backup.  Returns 0 with lf.fd and lf.offset set,
// -1 when even the fresh file gives no offset, or a positive errno after
// perror; until the backup is synced the log file stays as it was.
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
    return _get_write_pos_(lf) == 0 ? 0 : -1;
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
    int rc = _get_write_pos_(lf);
    if (rc < 0)
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

// Stores every byte of iov at pos, going on after short writes.  stored
// counts the bytes that made it, also on failure.  Returns 0 or the
// positive errno after perror("logwrite").
int _write_all_(int fd, uint64_t pos, std::span<iovec> iov, size_t &stored)
{
    stored = 0;
    while (!iov.empty()) {
        const ssize_t n = pwritev(fd, iov.data(), static_cast<int>(iov.size()),
                                  static_cast<off_t>(pos + stored));
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
// False when the marker could not be put back.
bool _put_back_end_mark_(const quarn_log_file_t &lf, uint64_t torn_end)
{
    struct stat st;
    const bool torn_at_end = fstat(lf.fd, &st) == 0 && static_cast<uint64_t>(st.st_size) <= torn_end;
    // Only after a restart can the marker's place lie less than its length
    // before max_size; its newline then still stands in front of lf.offset.
    const uint32_t skip = uint64_t{lf.offset} + QUARN_END_MARK_LEN > lf.max_size ? 1 : 0;
    const size_t len = QUARN_END_MARK_LEN - skip;
    if (pwrite(lf.fd, QUARN_END_MARK + skip, len, lf.offset) != static_cast<ssize_t>(len))
        return false;
    return !torn_at_end || ftruncate(lf.fd, static_cast<off_t>(lf.offset + len)) == 0;
}

// Writes text at lf.offset, then pad, then the marker when mark is set, in
// one call.  lf.offset moves past text and pad once both are stored; a
// failure after part of them leaves the marker at lf.offset all the same.
int _write_piece_(quarn_log_file_t &lf, std::string_view text, bool mark, std::string_view pad = {})
{
    std::array<iovec, 3> iov{{
        {const_cast<char *>(text.data()), text.size()},
        {const_cast<char *>(pad.data()), pad.size()},
        {const_cast<char *>(QUARN_END_MARK), mark ? QUARN_END_MARK_LEN : 0},
    }};
    const uint64_t start = lf.offset;
    size_t stored = 0;
    const int rc = _write_all_(lf.fd, start, iov, stored);
    if (stored >= text.size() + pad.size())
        lf.offset += static_cast<uint32_t>(text.size() + pad.size());
    if (rc != 0 && stored > 0)
        _put_back_end_mark_(lf, start + stored);
    return rc;
}

// Writes the marker at lf.offset, or at 0 (with lf.offset) when it would
// end past max_size.  The next text overwrites it.
int _add_end_flag_(quarn_log_file_t &lf)
{
    if (uint64_t{lf.offset} + QUARN_END_MARK_LEN > lf.max_size)
        lf.offset = 0;
    return _write_piece_(lf, {}, true);
}

// Writes text that ends at or before max_size, then the marker: in the same
// call when it fits behind the text, else by itself at 0.  In that case the
// fewer than 9 bytes left behind the text are blanked with newlines: they
// may hold the tail of an earlier marker, which a later marker's newline
// in front of them would make whole again, a second marker in the file.
int _write_ending_(quarn_log_file_t &lf, std::string_view text)
{
    static constexpr char BLANKS[QUARN_END_MARK_LEN] = {'\n', '\n', '\n', '\n', '\n', '\n', '\n', '\n', '\n'};
    const uint64_t end = uint64_t{lf.offset} + text.size();
    const bool mark_fits = end + QUARN_END_MARK_LEN <= lf.max_size;
    const std::string_view pad = mark_fits ? std::string_view{} : std::string_view(BLANKS, lf.max_size - end);
    const int rc = _write_piece_(lf, text, mark_fits, pad);
    if (rc != 0 || mark_fits)
        return rc;
    return _add_end_flag_(lf);
}

// Stores text as a ring at lf.offset, then the marker.  Of a text longer
// than the whole file only the newest bytes that fit before the marker are
// kept, from offset 0.
int _do_log_write_(quarn_log_file_t &lf, std::string_view text)
{
    if (text.size() > lf.max_size) {
        lf.offset = 0;
        return _write_piece_(lf, text.substr(text.size() - (lf.max_size - QUARN_END_MARK_LEN)), true);
    }
    if (uint64_t{lf.offset} + text.size() > lf.max_size) {
        const size_t room = lf.max_size - lf.offset;
        if (int rc = _write_piece_(lf, text.substr(0, room), false))
            return rc;
        lf.offset = 0;
        text.remove_prefix(room);
    }
    return _write_ending_(lf, text);
}

// A log file removed under the running server (the file, or its whole
// directory) would take every later batch with it without a word.  Makes a
// fresh file at its path instead.  0, or the errno of the failed open after
// perror("open"): the batch is then refused, and the next one tries again.
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
    return 0;
}

} // namespace

int bsp_quarn_log_file_init(const char *dir, int dirLen, uint32_t maxSize, int kind)
{
    std::lock_guard open_lock(open_mu);
    if ((!dir && !dirTmp[0]) || dirLen > QUARN_LOG_DIR_MAX || (dir && dirLen < 0) ||
        maxSize <= QUARN_END_MARK_LEN)
        return QUARN_E_ARG;
    log_kind_t &k = get_lf(kind);
    std::lock_guard lock(k.mu);
    if (k.lf.is_open)
        return QUARN_E_BUSY;
    k.lf = {};
    if (dir)
        _remember_dir_(dir, dirLen);
    char bak_path[PATH_LEN];
    _form_path_(k.path, k.name);
    _form_path_(bak_path, k.bak_name);
    const int rc = _open_log_(k.lf, maxSize, k.path, bak_path);
    if (rc != 0) {
        k.lf = {};
        return rc;
    }
    printf("%s open !!!\n", k.path);
    k.lf.is_open = 1;
    return 0;
}

int bsp_quarn_log_file_write(const void *data, int len, int kind)
{
    if (!data || len < 1)
        return QUARN_E_ARG;
    log_kind_t &k = get_lf(kind);
    std::lock_guard lock(k.mu);
    if (!k.lf.is_open)
        return QUARN_E_BUSY;
    if (int rc = _make_again_if_removed_(k))
        return rc;
    const int rc = _do_log_write_(k.lf, {static_cast<const char *>(data), static_cast<size_t>(len)});
    if (rc == 0)
        fsync(k.lf.fd); // a failed sync leaves nothing to undo
    return rc;
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
}
