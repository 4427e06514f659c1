// The log file store's open and recovery on arbitrary file contents, then
// a few writes, each followed by a reopen.  Input: bytes 0-1 the file's
// size limit, byte 2 the number and byte 3 the seed of the writes'
// lengths, then the file as found.  Written text holds no '$', so the only
// markers in the file are the store's own and those of the text it kept.
#include "../logfile_check.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

const std::string g_dir = [] {
    std::string templ = std::filesystem::temp_directory_path() / "quarn-fuzz-XXXXXX";
    return std::string(mkdtemp(templ.data()));
}();

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    const uint32_t max = 10 + (data[0] | data[1] << 8) % 4096;
    [[maybe_unused]] static const bool quiet = freopen("/dev/null", "w", stdout) != nullptr; // the store's "open !!!" lines
    std::vector<std::string> writes;
    unsigned seed = data[3];
    for (int w = 0; w < data[2] % 8; ++w) {
        seed = seed * 1103515245 + 12345;
        std::string &text = writes.emplace_back((seed >> 8) % (max + 12) + 1, 'a');
        for (size_t i = 0; i < text.size(); ++i)
            text[i] = "line\n+end"[(seed + i * 7) % 9];
    }
    const std::string fault = store::recovery_fault(g_dir, std::string(reinterpret_cast<const char *>(data) + 4, size - 4), max, writes);
    if (!fault.empty())
        fprintf(stderr, "fuzz_logfile: %s\n", fault.c_str()), abort();
    return 0;
}
