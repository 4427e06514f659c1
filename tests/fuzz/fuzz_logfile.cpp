// The log file store's open and recovery on arbitrary file contents, then
// a few writes and a reopen.  Input: bytes 0-1 the file's size limit, byte
// 2 the number and byte 3 the seed of the writes' lengths, then the file as
// found.  Written text holds no '$', so the only markers in the file are
// the store's own and those of the text it kept.
#include "logfile.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

const std::string MARK(QUARN_END_MARK, QUARN_END_MARK_LEN);
const std::string g_dir = [] {
    std::string templ = std::filesystem::temp_directory_path() / "quarn-fuzz-XXXXXX";
    return std::string(mkdtemp(templ.data()));
}();

void check(bool ok, const char *what)
{
    if (!ok)
        fprintf(stderr, "fuzz_logfile: %s\n", what), abort();
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

int open_store(uint32_t max)
{
    bsp_quarn_log_file_close(0);
    return bsp_quarn_log_file_init(g_dir.data(), static_cast<int>(g_dir.size()), max, 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    const uint32_t max = 10 + (data[0] | data[1] << 8) % 4096;
    const std::string image(reinterpret_cast<const char *>(data) + 4, size - 4);
    const std::string log = g_dir + "/quarn.app", bak = g_dir + "/quarn.app.bak";
    std::filesystem::remove(bak);
    std::ofstream(log, std::ios::binary | std::ios::trunc) << image;
    static const bool quiet = freopen("/dev/null", "w", stdout) != nullptr; // the store's "open !!!" lines
    (void)quiet;

    // A file with a marker within its size is kept and written on at the
    // marker's "+"; any other goes whole into the backup.
    check(open_store(max) == 0, "open failed");
    const size_t mark = image.size() <= max ? image.find(MARK) : std::string::npos;
    const bool kept = mark != std::string::npos;
    check(slurp(log) == (kept ? image : ""), "file not kept whole or not started afresh");
    check(slurp(bak) == (kept ? "" : image), "backup is not the whole unusable file");
    check(bsp_quarn_log_file_get(0).offset == (kept ? mark + 1 : 0), "wrong write position");

    // Each write leaves the file within its size, with its first marker
    // right at the write position, and a reopen finds it there.
    unsigned seed = data[3];
    for (int w = 0; w < data[2] % 8; ++w) {
        seed = seed * 1103515245 + 12345;
        std::string text((seed >> 8) % (max + 12) + 1, 'a');
        for (size_t i = 0; i < text.size(); ++i)
            text[i] = "line\n+end"[(seed + i * 7) % 9];
        check(bsp_quarn_log_file_write(text.data(), static_cast<int>(text.size()), 0) == 0, "write failed");
        const std::string file = slurp(log);
        const uint32_t at = bsp_quarn_log_file_get(0).offset;
        check(file.size() <= max, "file longer than its size");
        check(file.find(MARK) == at, "first marker is not at the write position");
        check(open_store(max) == 0 && bsp_quarn_log_file_get(0).offset == at + 1 && slurp(log) == file,
              "reopen moved or changed the file");
    }
    return 0;
}
