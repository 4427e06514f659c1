// Control commands: level-5 records whose text the print thread executes.
#include "quarn_server.h"

#include "console.h"
#include "fault_stack.h"
#include "logfile.h"
#include "loss.h"
#include "quarn.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int64_t QUARN_LOG_SIZE_MIN = 1024;        // smallest log file a command may ask for
constexpr int64_t QUARN_LOG_SIZE_MAX = 1LL << 30;   // largest one
constexpr int64_t QUARN_SYNC_SIZE_MAX = 4LL << 20;  // largest batch a command may ask for
constexpr int QUARN_INTERVAL_MAX = 86400;           // longest wait a command may ask for, in seconds

bool _starts_with_(const char *text, const char *word)
{
    return strncmp(text, word, strlen(word)) == 0;
}

bool _log_size_ok_(int64_t log_size)
{
    return log_size >= QUARN_LOG_SIZE_MIN && log_size <= QUARN_LOG_SIZE_MAX;
}

// The kind's print level, and the control word, which always holds the
// application's: a BSP-origin level is the application's too.
void _cmd_level_(const char *text, const log_kind_t &kind)
{
    *kind.print_level = static_cast<uint32_t>(atoi(text + 5));
    if (g_settings.ctrl)
        std::atomic_ref<uint32_t>(*g_settings.ctrl).store(g_settings.app_print_level, std::memory_order_relaxed);
    printf("logPrintLevel = %d \n", static_cast<int>(*kind.print_level));
}

// Opens path as the console, appending; -1 when it cannot be had or is
// not a terminal, a FIFO or a character device.  Any local process can ask
// for this, so nothing is created, no symbolic link is followed and a
// regular file is closed unwritten.  The descriptor never waits: a FIFO
// without a reader, or a terminal that stopped, holds only the console's
// own queue.
int _console_open_(const char *path)
{
    const int fd = open(path, O_WRONLY | O_APPEND | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) == 0 && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)))
        return fd;
    close(fd);
    return -1;
}

// Moves the console to the path after "redirect" and its separator; a
// path that is refused leaves the console where it was.
void _cmd_redirect_(const char *text)
{
    const char *path = strlen(text) > 9 ? text + 9 : "";
    const int fd = _console_open_(path);
    if (fd < 0) {
        printf("redirect %s refused: not an existing terminal, FIFO or character device\n", path);
        return;
    }
    console_redirect(fd);
}

// One open of the DSP or BSP log file.
struct open_request_t {
    int kind;      // QUARN_DSP_LOG_INIT or QUARN_BSP_LOG_INIT
    uint32_t size; // the file's largest size
    int period;    // BSP: the kernel log collector's period in seconds
};

void _open_log_file_(const open_request_t &req)
{
    if (bsp_quarn_log_file_init(nullptr, 0, req.size, req.kind) < 0)
        puts(req.kind == QUARN_DSP_LOG_INIT ? "quarn_log_file_init QUARN_DSP_LOG_INIT failed."
                                            : "quarn_log_file_init QUARN_BSP_LOG_INIT failed.");
    else if (req.kind == QUARN_BSP_LOG_INIT)
        kernel_log_start(req.period); // a collector that already runs keeps its period
}

void *_opener_main_(void *arg)
{
    const fault_stack own_stack;
    prctl(PR_SET_NAME, "quarn_open");
    const open_request_t req = *static_cast<open_request_t *>(arg);
    free(arg);
    _open_log_file_(req);
    return nullptr;
}

// Finding a file's write position reads it whole, and a file without a
// marker is copied to its backup first: seconds on flash.  So the open
// runs on a thread of its own while the print thread goes on; the kind's
// batches meanwhile go where they went before its file was open.  A kind
// already open is refused at once, in order with the print thread's lines.
void _open_in_background_(const open_request_t &req)
{
    auto *cell = quarn_log_file_is_open(req.kind) ? nullptr : static_cast<open_request_t *>(malloc(sizeof req));
    pthread_attr_t attr;
    pthread_t tid;
    if (cell && pthread_attr_init(&attr) == 0) {
        *cell = req;
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        const bool started = pthread_create(&tid, &attr, _opener_main_, cell) == 0;
        pthread_attr_destroy(&attr);
        if (started)
            return;
    }
    free(cell);
    _open_log_file_(req); // no thread to be had: open it here
}

// Opens the DSP log file.  DSP text that came before goes to quarn.app, in
// order before anything of the new file.  Sizes outside what a
// board can hold are refused before anything changes: a negative number
// would otherwise arrive as about 4 GiB, and the staging buffer with it.
void _cmd_dsp_init_(const char *text)
{
    int log_size, sync_size, level;
    if (sscanf(text + 8, " %d %d %d", &log_size, &sync_size, &level) < 3) {
        printf("cmd:%s format error!\n", text);
        return;
    }
    printf("logSize = 0x%x, syncSize = 0x%x, loglevel = %d\n", log_size, sync_size, level);
    if (!_log_size_ok_(log_size) || sync_size < 0 || sync_size >= log_size || sync_size > QUARN_SYNC_SIZE_MAX) {
        printf("cmd:%s refused: log size 1 KiB..1 GiB, sync size below it and at most 4 MiB\n", text);
        return;
    }
    if (level < 0) {
        level = 0;
        printf("set loglevel=debug(%d)\n", level);
    } else if (level > 3) {
        level = 3;
        printf("set loglevel=error(%d)\n", level);
    }
    const log_kind_t &dsp = g_log_kinds[QUARN_DSP_LOG_INIT];
    if (!quarn_log_file_is_open(dsp.file))
        stage_flush(dsp);
    *dsp.sync_size = static_cast<uint32_t>(sync_size);
    *dsp.print_level = static_cast<uint32_t>(level);
    _open_in_background_({dsp.file, static_cast<uint32_t>(log_size), 0});
}

// Opens the BSP log file and starts the kernel log thread, which moves the
// kernel's syslog read position as it reads: it runs only into an open file.
void _cmd_bsp_init_(const char *text)
{
    int log_size, period;
    if (sscanf(text + 8, " %d %d", &log_size, &period) < 2) {
        printf("cmd=%s\n", text);
        return;
    }
    printf("logSize = 0x%x, freq = %d(seconds)\n", log_size, period);
    if (!_log_size_ok_(log_size)) {
        printf("cmd:%s refused: log size 1 KiB..1 GiB\n", text);
        return;
    }
    _open_in_background_({QUARN_BSP_LOG_INIT, static_cast<uint32_t>(log_size), period});
}

// How long staged text may wait before it is written, in whole seconds;
// 0 leaves the writing to the sync size alone.
void _cmd_interval_(const char *text)
{
    int seconds = -1;
    char extra;
    if (sscanf(text + 8, " %d %c", &seconds, &extra) != 1 || seconds < 0 || seconds > QUARN_INTERVAL_MAX) {
        printf("cmd:%s refused: interval 0..%d seconds\n", text, QUARN_INTERVAL_MAX);
        return;
    }
    g_settings.interval = static_cast<uint32_t>(seconds);
    printf("interval = %d(seconds)\n", seconds);
}

} // namespace

void run_command(const char *text, const log_kind_t &kind)
{
    if (strcmp(text, "sync") == 0)
        stage_flush_all();
    else if (_starts_with_(text, "level"))
        _cmd_level_(text, kind);
    else if (_starts_with_(text, "redirect"))
        _cmd_redirect_(text);
    else if (_starts_with_(text, "dsp_init"))
        _cmd_dsp_init_(text);
    else if (_starts_with_(text, "bsp_init"))
        _cmd_bsp_init_(text);
    else if (strcmp(text, "stats") == 0)
        stats_report();
    else if (_starts_with_(text, "interval"))
        _cmd_interval_(text);
}
