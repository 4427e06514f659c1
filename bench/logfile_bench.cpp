// Log file store: the search for the write position on open, beside plain
// reading of the same file, and the cost of one batch write with its marker
// and sync, beside a bare pwrite+fsync of the same size.  Files live on
// tmpfs (/dev/shm) so the figures are of the code, not of a disk;
// QUARN_BENCH_DIR=/some/disk/dir measures a disk instead.
#include "logfile.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr uint32_t SCAN_FILE_SIZE = 64u << 20;
constexpr size_t READ_CHUNK = 128 * 1024;

// A fresh directory on tmpfs (or in QUARN_BENCH_DIR), removed at exit.
class BenchDir {
  public:
    BenchDir()
    {
        const char *base = getenv("QUARN_BENCH_DIR");
        std::string templ = std::string(base && *base ? base : "/dev/shm") + "/quarn-bench-XXXXXX";
        if (!mkdtemp(templ.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = templ;
    }
    ~BenchDir() { std::filesystem::remove_all(path_); }
    BenchDir(const BenchDir &) = delete;
    BenchDir &operator=(const BenchDir &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_; // the directory
};

// Sends standard output to /dev/null for a scope, so that the open message
// of every iteration stays out of the report.
class QuietStdout {
  public:
    QuietStdout() : saved_(dup(1))
    {
        fflush(stdout);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, 1);
        close(null);
    }
    ~QuietStdout()
    {
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }
    QuietStdout(const QuietStdout &) = delete;
    QuietStdout &operator=(const QuietStdout &) = delete;

  private:
    int saved_; // the real standard output
};

// Writes a 64 MiB log file of 100-byte lines with the marker as its last
// 9 bytes.
void write_scan_file(const std::string &path)
{
    std::string line(99, 'x');
    line += '\n';
    std::string text;
    text.reserve(SCAN_FILE_SIZE);
    while (text.size() + line.size() <= SCAN_FILE_SIZE - QUARN_END_MARK_LEN)
        text += line;
    text.append(SCAN_FILE_SIZE - QUARN_END_MARK_LEN - text.size(), 'y');
    text.append(QUARN_END_MARK, QUARN_END_MARK_LEN);
    FILE *out = fopen(path.c_str(), "wb");
    if (!out || fwrite(text.data(), 1, text.size(), out) != text.size() || fclose(out) != 0)
        throw std::runtime_error("cannot write the scan file");
}

// The directory of the scan file, made once for the whole run.
const std::string &scan_dir()
{
    static const BenchDir dir;
    static const bool written = (write_scan_file(dir.path() + "/quarn.app"), true);
    (void)written;
    return dir.path();
}

void BM_LogFileOpen64MiB(benchmark::State &state)
{
    const std::string &dir = scan_dir();
    QuietStdout quiet;
    for (auto _ : state) {
        if (bsp_quarn_log_file_init(dir.data(), static_cast<int>(dir.size()), SCAN_FILE_SIZE, 0) != 0)
            state.SkipWithError("open failed");
        if (bsp_quarn_log_file_get(0).offset != SCAN_FILE_SIZE - QUARN_END_MARK_LEN + 1)
            state.SkipWithError("marker not found at the end");
        bsp_quarn_log_file_close(0);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * SCAN_FILE_SIZE);
}
BENCHMARK(BM_LogFileOpen64MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

// The yardstick: read() of the same file in 128 KiB chunks, as cat does.
void BM_ReadFile64MiB(benchmark::State &state)
{
    const std::string path = scan_dir() + "/quarn.app";
    std::vector<char> buf(READ_CHUNK);
    for (auto _ : state) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        size_t total = 0;
        for (ssize_t n; (n = read(fd, buf.data(), buf.size())) > 0;)
            total += static_cast<size_t>(n);
        close(fd);
        if (total != SCAN_FILE_SIZE)
            state.SkipWithError("short read");
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * SCAN_FILE_SIZE);
}
BENCHMARK(BM_ReadFile64MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

// One batch of state.range(0) bytes: text, marker, fsync, wrapping in a
// 64 MiB file.
void BM_LogFileWrite(benchmark::State &state)
{
    BenchDir dir;
    const std::string batch(static_cast<size_t>(state.range(0)), 'w');
    {
        QuietStdout quiet;
        if (bsp_quarn_log_file_init(dir.path().data(), static_cast<int>(dir.path().size()), 64u << 20, 0) != 0)
            state.SkipWithError("open failed");
    }
    for (auto _ : state) {
        if (bsp_quarn_log_file_write(batch.data(), static_cast<int>(batch.size()), 0) != 0)
            state.SkipWithError("write failed");
    }
    bsp_quarn_log_file_close(0);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_LogFileWrite)->Arg(4096)->Arg(65536)->UseRealTime();

// The yardstick: one pwrite of the same batch and an fsync, with no marker
// and no wrap.
void BM_PwriteFsync(benchmark::State &state)
{
    BenchDir dir;
    const std::string batch(static_cast<size_t>(state.range(0)), 'w');
    const int fd = open((dir.path() + "/plain").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    off_t pos = 0;
    for (auto _ : state) {
        if (pwrite(fd, batch.data(), batch.size(), pos) != static_cast<ssize_t>(batch.size()))
            state.SkipWithError("write failed");
        fsync(fd);
        pos = (pos + static_cast<off_t>(batch.size())) % (64 << 20);
    }
    close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_PwriteFsync)->Arg(4096)->Arg(65536)->UseRealTime();

} // namespace
