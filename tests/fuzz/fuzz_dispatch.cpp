// Fuzzes the dispatcher and the command handler on one record at a time,
// with the log files in a directory of the fuzzer's own.
//
// Input layout:
//   byte 0      bits 0-1 pick the origin (application, reserved, BSP, DSP);
//               bit 2: take the origin from bytes 1-2 instead
//   bytes 1-2   a raw origin code, little-endian
//   byte 3      the level, as a signed byte
//   byte 4      bit 0: the delivered length disagrees with the header
//   the rest    the text, at most what a receive thread keeps
//
// Confinement, so that no input reaches beyond the directory:
//   * redirect paths are rewritten into the directory (an empty path stays
//     empty, a path ending in '/' becomes the directory itself, which
//     cannot be opened as a stream, anything else becomes its console file);
//   * bsp_init opens quarn.bsp in the directory like the server does, but
//     the kernel log collector is replaced below, so the machine's kernel
//     log is never read or cleared and no thread is started;
//   * standard output, where the commands reply, goes to /dev/null.
// Every few thousand inputs the staging records, the DSP and BSP files and
// the console are reset, so memory and files stay bounded.
#include "logfile.h"
#include "quarn.h"
#include "quarn_server.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr uint32_t APP_LOG_SIZE = 64 * 1024;  // the application file, as a small server would have it
constexpr uint32_t APP_SYNC_SIZE = 4096;      // a batch every few records
constexpr size_t TEXT_MAX = QUARN_MSG_RECV_LEN - 1 - QUARN_MSG_HEAD_LEN; // longest text a receive thread keeps
constexpr unsigned RESET_EVERY = 4096;        // inputs between resets of the server's state
constexpr uint16_t ORIGINS[] = {QUARN_TYPE_APP, QUARN_TYPE_APP_RSV, QUARN_TYPE_BSP, QUARN_TYPE_DSP};

std::string g_dir;      // the fuzzer's own directory, made once
bool g_klog_started;    // the stand-in collector was asked to start

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "fuzz_dispatch: %s\n", what);
    abort();
}

std::string path(const char *name) { return g_dir + "/" + name; }

void open_console()
{
    pPrintFile = fopen("/dev/null", "w");
}

// Maps the path of a redirect text into the directory; see the top.
std::string confine_redirect(const std::string &text)
{
    if (text.size() <= 9)
        return text;
    const std::string head = text.substr(0, 9);
    if (text.back() == '/')
        return head + g_dir + "/";
    return head + path("console");
}

void open_app_log()
{
    unlink(path("quarn.app").c_str());
    if (bsp_quarn_log_file_init(g_dir.data(), static_cast<int>(g_dir.size()), APP_LOG_SIZE, QUARN_APP_LOG_INIT) != 0)
        abort();
}

void drop_stage(quarn_stage_t *fs)
{
    free(fs->buf);
    *fs = quarn_stage_t{};
}

// Back to the state right after start-up: nothing staged, only the
// application file open, the console on /dev/null.
void reset_server()
{
    drop_stage(&app_fs);
    drop_stage(&dsp_fs);
    app_fs.enable = 1;
    lc = quarn_cfg_t{APP_LOG_SIZE, APP_SYNC_SIZE, 0, nullptr};
    for (int kind : {QUARN_APP_LOG_INIT, QUARN_BSP_LOG_INIT, QUARN_DSP_LOG_INIT})
        bsp_quarn_log_file_close(kind);
    for (const char *name : {"quarn.app.bak", "quarn.bsp", "quarn.bsp.bak", "quarn.dsp", "quarn.dsp.bak", "console"})
        unlink(path(name).c_str());
    open_app_log();
    if (pPrintFile)
        fclose(pPrintFile);
    open_console();
    g_klog_started = false;
}

// A redirected console keeps only what the last input printed.
void trim_console()
{
    if (!pPrintFile)
        return;
    fflush(pPrintFile);
    if (ftruncate(fileno(pPrintFile), 0) != 0 && errno != EINVAL)
        perror("fuzz_dispatch: ftruncate");
}

// The record as the print thread holds it: header, text, a zero byte.
std::vector<char> build_record(const uint8_t *data, size_t size, int *delivered)
{
    const uint16_t raw = static_cast<uint16_t>(data[1] | data[2] << 8);
    quarn_msg_head_t head{QUARN_MSG_MAGIC, data[0] & 4 ? raw : ORIGINS[data[0] & 3], 0,
                          static_cast<int8_t>(data[3]), "FUZZ"};
    std::string text(reinterpret_cast<const char *>(data + 5), std::min(size - 5, TEXT_MAX));
    if (static_cast<uint32_t>(head.level) == QUARN_LEVEL_CMD && strncmp(text.c_str(), "redirect", 8) == 0)
        text = confine_redirect(text.c_str()).substr(0, TEXT_MAX);
    head.len = static_cast<uint16_t>(text.size());
    std::vector<char> rec(sizeof head + text.size() + 1, '\0');
    memcpy(rec.data(), &head, sizeof head);
    memcpy(rec.data() + sizeof head, text.data(), text.size());
    *delivered = static_cast<int>(sizeof head + text.size()) + ((data[4] & 1) ? 1 : 0);
    return rec;
}

// Staging never fills past its buffer; every log file that was written
// stays within its size and has its marker at the write position.
void check_bounds()
{
    for (const quarn_stage_t *fs : {&app_fs, &dsp_fs})
        if (fs->used > fs->cap)
            fail("staging filled past its buffer");
    for (int kind : {QUARN_APP_LOG_INIT, QUARN_BSP_LOG_INIT, QUARN_DSP_LOG_INIT}) {
        const quarn_log_file_t lf = bsp_quarn_log_file_get(kind);
        struct stat st;
        if (!lf.is_open || fstat(lf.fd, &st) != 0 || st.st_size == 0)
            continue;
        if (static_cast<uint64_t>(st.st_size) > lf.max_size)
            fail("log file longer than its max_size");
        char mark[QUARN_END_MARK_LEN];
        if (pread(lf.fd, mark, sizeof mark, lf.offset) != static_cast<ssize_t>(sizeof mark) ||
            memcmp(mark, QUARN_END_MARK, sizeof mark) != 0)
            fail("log file without its marker at the write position");
    }
}

} // namespace

// Stands in for the kernel log collector (klog.cpp is never linked in):
// the one answer the command handler can see, with nothing started.
int bsp_log_start(int)
{
    if (g_klog_started)
        return EBUSY;
    g_klog_started = true;
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::string templ = (std::filesystem::temp_directory_path() / "quarn-fuzz-XXXXXX").string();
    if (!mkdtemp(templ.data()))
        abort();
    g_dir = templ;
    atexit([] { std::filesystem::remove_all(g_dir); });
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDOUT_FILENO);
    close(null);
    reset_server();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static unsigned runs;
    if (++runs % RESET_EVERY == 0)
        reset_server();
    if (size < 5)
        return 0;
    int delivered = 0;
    std::vector<char> rec = build_record(data, size, &delivered);
    const bool mismatch = delivered != static_cast<int>(rec.size()) - 1;
    if (_log_convert_(rec.data(), delivered) != (mismatch ? -1 : 0))
        fail("a length mismatch was not refused, or a good record was");
    check_bounds();
    trim_console();
    return 0;
}
