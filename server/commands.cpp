// Control commands: level-5 records whose text the print thread executes.
#include "quarn_server.h"

#include "logfile.h"
#include "quarn.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool _starts_with_(const char *text, const char *word)
{
    return strncmp(text, word, strlen(word)) == 0;
}

void _cmd_level_(const char *text, quarn_stage_t *fs, int kind)
{
    fs->print_level = static_cast<uint32_t>(atoi(text + 5));
    if (kind == QUARN_APP_LOG_INIT && lc.ctrl)
        std::atomic_ref<uint32_t>(*lc.ctrl).store(fs->print_level, std::memory_order_relaxed);
    printf("logPrintLevel = %d \n", static_cast<int>(fs->print_level));
}

// Opens path for appending as the console; null when it cannot be had.
// The open does not wait: a named pipe without a reader (or a terminal
// waiting for its line) would otherwise hold the print thread for good.
// Writes then block as they do on standard output.
FILE *_console_open_(const char *path)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    FILE *stream = fcntl(fd, F_SETFL, O_APPEND) == 0 ? fdopen(fd, "a") : nullptr;
    if (!stream)
        close(fd);
    return stream;
}

// Moves the console to the path after "redirect" and its separator.  The
// target is opened for appending: a redirect never destroys what a file holds.
void _cmd_redirect_(const char *text)
{
    if (pPrintFile)
        fclose(pPrintFile);
    pPrintFile = _console_open_(strlen(text) > 9 ? text + 9 : "");
    if (pPrintFile)
        setvbuf(pPrintFile, nullptr, _IOFBF, 16384); // flushed when the ring runs dry
}

void _cmd_dsp_init_(const char *text, quarn_stage_t *fs)
{
    int log_size, sync_size, level;
    if (sscanf(text + 8, " %d %d %d", &log_size, &sync_size, &level) < 3) {
        printf("cmd:%s format error!\n", text);
        return;
    }
    printf("logSize = 0x%x, syncSize = 0x%x, loglevel = %d\n", log_size, sync_size, level);
    if (level < 0) {
        level = 0;
        printf("set loglevel=debug(%d)\n", level);
    } else if (level > 3) {
        level = 3;
        printf("set loglevel=error(%d)\n", level);
    }
    lc.dsp_sync_size = static_cast<uint32_t>(sync_size);
    fs->print_level = static_cast<uint32_t>(level);
    if (bsp_quarn_log_file_init(nullptr, 0, static_cast<uint32_t>(log_size), QUARN_DSP_LOG_INIT) < 0)
        puts("quarn_log_file_init QUARN_DSP_LOG_INIT failed.");
    else
        fs->enable = 1;
}

void _cmd_bsp_init_(const char *text)
{
    int log_size, period;
    if (sscanf(text + 8, " %d %d", &log_size, &period) < 2) {
        printf("cmd=%s\n", text);
        return;
    }
    printf("logSize = 0x%x, freq = %d(seconds)\n", log_size, period);
    if (bsp_quarn_log_file_init(nullptr, 0, static_cast<uint32_t>(log_size), QUARN_BSP_LOG_INIT) < 0) {
        puts("quarn_log_file_init QUARN_BSP_LOG_INIT failed.");
        return;
    }
    bsp_log_start(period); // a collector that already runs keeps its period
}

} // namespace

void _cmd_handle(const char *text, int kind)
{
    quarn_stage_t *fs = get_fs(kind);
    if (strcmp(text, "sync") == 0)
        _do_log_write_(nullptr, 0, 1, kind);
    else if (_starts_with_(text, "level"))
        _cmd_level_(text, fs, kind);
    else if (_starts_with_(text, "redirect"))
        _cmd_redirect_(text);
    else if (_starts_with_(text, "dsp_init"))
        _cmd_dsp_init_(text, fs);
    else if (_starts_with_(text, "bsp_init"))
        _cmd_bsp_init_(text);
}
