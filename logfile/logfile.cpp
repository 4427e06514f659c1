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
#include "store.h"

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

namespace logfile_detail {

quarn_log_file_io_t g_io{::pwritev, ::fdatasync};
std::atomic<bool> g_quiet{false};

int open_file(const char *path)
{
    const int fd = open(path, OPEN_FLAGS, FILE_MODE);
    struct stat st;
    const bool ours = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
    if ((fd >= 0 || errno == ELOOP) && !ours && !g_quiet.load(std::memory_order_relaxed))
        printf("%s refused: %s\n", path, fd < 0 ? "a symbolic link" : "not a regular file of the server's user");
    if (fd < 0 || ours)
        return fd;
    close(fd);
    errno = EPERM;
    return -1;
}

// All zero at the start: the records and their paths take no room in the
// executable's image.
log_kind_t app_lf, bsp_lf, dsp_lf;

// Kinds other than BSP and DSP use the application file.
log_kind_t &get_lf(int kind)
{
    switch (kind) {
    case 1: return bsp_lf;
    case 2: return dsp_lf;
    default: return app_lf;
    }
}

} // namespace logfile_detail

using namespace logfile_detail;

namespace {

constexpr size_t SCAN_CHUNK = 128 * 1024;        // bytes read per step of the search
constexpr size_t CHUNK_OVERLAP = QUARN_END_MARK_LEN - 1; // a marker cut by a chunk end lies whole in the next chunk

std::mutex open_mu;            // one open at a time; guards dirTmp and p_tmp
char dirTmp[QUARN_LOG_DIR_MAX + 2]; // remembered log directory, ends in '/'; under open_mu
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



void _remember_dir_(const char *dir, int dirLen)
{
    memcpy(dirTmp, dir, dirLen);
    const bool slash = dirLen > 0 && dir[dirLen - 1] == '/';
    dirTmp[dirLen] = '/'; // overwritten by the end below when the slash was there
    dirTmp[dirLen + (slash ? 0 : 1)] = '\0';
}

// The log file of a kind (as get_lf maps it) in the remembered directory;
// suffix ".bak" names the backup that every unusable file is appended to.
void _form_path_(char (&path)[PATH_LEN], int kind, const char *suffix)
{
    snprintf(path, sizeof path, "%s%s%s", dirTmp, QUARN_LOG_FILE_NAMES[kind == 1 || kind == 2 ? kind : 0], suffix);
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
    // The copy goes out a step at a time, each written back before the
    // next: a backup of many MiB left dirty would make every other file's
    // sync on the same file system wait for all of it at once.
    constexpr off_t STEP = 1 << 20;
    for (off_t pos = 0; pos < len;) {
        const off_t from_pos = pos, step = std::min(STEP, len - pos);
        const off_t to_pos = lseek(to, 0, SEEK_CUR);
        while (pos < from_pos + step) {
            const ssize_t n = sendfile(to, from, &pos, static_cast<size_t>(from_pos + step - pos));
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0)
                errno = EIO;
            if (n <= 0)
                return _fail_("sendfile");
        }
        if (to_pos >= 0) // a failure here leaves the work to the sync after the copy
            sync_file_range(to, to_pos, step, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
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
    unique_fd bak(open_file(bak_path));
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
    log.reset(open_file(path));
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
    unique_fd log(open_file(path));
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
    _form_path_(path, kind, "");
    _form_path_(bak_path, kind, ".bak");
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
        return put_text(const_cast<char *>(text.data()), static_cast<uint32_t>(len), kind, false);
    std::string copy(text);
    return put_text(copy.data(), static_cast<uint32_t>(len), kind, false);
}

int quarn_log_file_put(char *text, uint32_t len, int kind)
{
    return put_text(text, len, kind, false);
}

int quarn_log_file_put_last(char *text, uint32_t len, int kind)
{
    g_quiet.store(true, std::memory_order_relaxed);
    return put_text(text, len, kind, true);
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
    g_io.fsync = io.fsync ? io.fsync : ::fdatasync;
}
