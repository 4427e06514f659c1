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
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr int64_t QUARN_LOG_SIZE_MIN = 1024;        // smallest log file a command may ask for
constexpr int64_t QUARN_LOG_SIZE_MAX = 1LL << 30;   // largest one
constexpr int64_t QUARN_SYNC_SIZE_MAX = 4LL << 20;  // largest batch a command may ask for
constexpr int QUARN_INTERVAL_MAX = 86400;           // longest wait a command may ask for, in seconds
constexpr int64_t QUARN_SYNC_EVERY_NS = 1000000000; // a sync writes at most this often
constexpr size_t QUARN_SYNC_WAITING_MAX = 1024;     // replies a put-off sync owes at most
constexpr size_t QUARN_REPLY_MAX = 1400;         // the longest reply: the counters line

bool _starts_with_(const char *text, const char *word)
{
    return std::string_view(text).starts_with(word);
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

// Opens path as the console, appending; -1 when it is not an absolute
// path to a terminal or a FIFO that uid owns.  The node is judged before it
// is opened, since opening a device may already act, and again once open,
// in case it was swapped meanwhile.  Nothing is created, no symbolic link
// is followed, and the descriptor never waits: a FIFO without a reader, or
// a terminal that stopped, holds only the console's own queue.
int _console_open_(const char *path, uint32_t uid)
{
    struct stat before, st;
    if (path[0] != '/' || lstat(path, &before) != 0 || before.st_uid != uid ||
        !(S_ISCHR(before.st_mode) || S_ISFIFO(before.st_mode)))
        return -1;
    const int fd = open(path, O_WRONLY | O_APPEND | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) == 0 && st.st_dev == before.st_dev && st.st_ino == before.st_ino && st.st_uid == uid &&
        (S_ISFIFO(st.st_mode) || isatty(fd)))
        return fd;
    close(fd);
    return -1;
}

// Moves the console to the path after "redirect" and its separator; a
// path that is refused leaves the console where it was.  False then.
bool _cmd_redirect_(const char *text, uint32_t uid)
{
    const char *path = strlen(text) > 9 ? text + 9 : "";
    const int fd = _console_open_(path, uid);
    if (fd < 0) {
        printf("redirect refused: not an absolute path to a terminal or FIFO of the requesting user (uid %u)\n", uid);
        return false;
    }
    console_redirect(fd);
    return true;
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

// A sync writes every kind's waiting text at most once a second: one that
// comes sooner is put off until the second is over, and so are the
// replies it owes; any number of them meanwhile make one writing.
struct sync_state_t {
    int64_t last_ns = INT64_MIN / 2; // when the last one wrote
    int64_t due_ns = 0;              // when the one put off writes; 0 none
    std::vector<std::pair<uint16_t, uint32_t>> waiting{}; // slot and serial of each sender owed a reply
};
sync_state_t g_sync; // print thread only

// True when the sync was put off, the reply with it.
bool _cmd_sync_(uint16_t slot, bool reply)
{
    const int64_t now = quarn_now_ns();
    if (g_sync.due_ns == 0 && now - g_sync.last_ns >= QUARN_SYNC_EVERY_NS) {
        stage_flush_all();
        g_sync.last_ns = now;
        return false;
    }
    if (g_sync.due_ns == 0)
        g_sync.due_ns = g_sync.last_ns + QUARN_SYNC_EVERY_NS;
    if (reply && g_sync.waiting.size() < QUARN_SYNC_WAITING_MAX)
        g_sync.waiting.emplace_back(slot, conn_serial(slot));
    return true;
}

} // namespace

int64_t command_sync_due()
{
    return g_sync.due_ns;
}

void command_sync_run(int64_t now)
{
    if (g_sync.due_ns == 0 || now < g_sync.due_ns)
        return;
    stage_flush_all();
    g_sync.last_ns = now;
    g_sync.due_ns = 0;
    for (const auto &[slot, serial] : g_sync.waiting)
        conn_reply(slot, serial, "done\n");
    g_sync.waiting.clear();
}

void run_command(const char *text, const log_kind_t &kind, uint16_t slot, bool reply)
{
    char answer[QUARN_REPLY_MAX] = "done\n";
    if (strcmp(text, "sync") == 0) {
        if (_cmd_sync_(slot, reply))
            return;
    } else if (_starts_with_(text, "level")) {
        _cmd_level_(text, kind);
    } else if (_starts_with_(text, "redirect")) {
        if (!_cmd_redirect_(text, conn_peer(slot).uid))
            memcpy(answer, "refused\n", sizeof "refused\n");
    } else if (_starts_with_(text, "dsp_init")) {
        _cmd_dsp_init_(text);
    } else if (_starts_with_(text, "bsp_init")) {
        _cmd_bsp_init_(text);
    } else if (strcmp(text, "stats") == 0) {
        stats_report(answer, sizeof answer);
    } else if (_starts_with_(text, "interval")) {
        _cmd_interval_(text);
    }
    if (reply)
        conn_reply(slot, conn_serial(slot), answer);
}
