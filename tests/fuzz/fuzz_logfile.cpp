// Fuzzes the log file store's open and recovery on arbitrary file contents,
// followed by a few writes and a reopen.
//
// Input layout:
//   byte 0      bit 0: a backup file is given; bits 1-3: number of writes
//   bytes 1-2   max_size, little-endian
//   one byte    per write, its length: b < 250 gives b + 1 bytes, 250..255
//               give max_size - 2 .. max_size + 3 (around the wrap rules)
//   if bit 0:   one byte n, then n bytes of backup content
//   the rest    the content of quarn.app before the open
//
// The written text never holds '$', so the only markers in the file are
// the store's own and stale ones in the text it kept.  The file is checked
// byte for byte against a model of the layout in FORMAT.md.
#include "logfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view MARK{QUARN_END_MARK, QUARN_END_MARK_LEN};

std::string g_dir; // the fuzzer's own directory, made once

struct input_t {
    uint32_t max_size;                // the open's size
    std::vector<size_t> writes;       // lengths of the writes after the open
    bool has_bak;                     // a backup file exists before the open
    std::string bak;                  // its content
    std::string log;                  // quarn.app before the open
};

// The file as FORMAT.md says it must look, and where the next text goes.
struct model_t {
    std::string image; // expected file content
    uint32_t offset;   // expected write position
    uint32_t max_size; // the ring's size
    bool old_text;     // the open kept text of the file it found
};

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "fuzz_logfile: %s\n", what);
    abort();
}

std::string path(const char *name) { return g_dir + "/" + name; }

std::string slurp(const std::string &p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void spill(const std::string &p, const std::string &bytes)
{
    std::ofstream(p, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

input_t parse(const uint8_t *data, size_t size)
{
    input_t in{0, {}, false, {}, {}};
    if (size < 3)
        return in;
    in.has_bak = data[0] & 1;
    const size_t writes = (data[0] >> 1) & 7;
    in.max_size = data[1] | data[2] << 8;
    size_t at = 3;
    for (; at < size && in.writes.size() < writes; ++at) {
        const uint8_t b = data[at];
        in.writes.push_back(b < 250 ? b + 1 : std::max<int64_t>(1, int64_t{in.max_size} + b - 252));
    }
    if (in.has_bak && at < size) {
        const size_t want = data[at++];
        const size_t n = std::min(want, size - at);
        in.bak.assign(reinterpret_cast<const char *>(data + at), n);
        at += n;
    }
    in.log.assign(reinterpret_cast<const char *>(data + at), size - at);
    return in;
}

// Text of write i: lines of letters and digits, never a '$'.
std::string text_of(size_t i, size_t len)
{
    std::string t(len, ' ');
    for (size_t j = 0; j < len; ++j)
        t[j] = j % 16 == 15 ? '\n' : static_cast<char>('a' + (i * 7 + j) % 26);
    return t;
}

void put(model_t &m, uint32_t pos, std::string_view bytes)
{
    if (pos + bytes.size() > m.image.size())
        m.image.resize(pos + bytes.size());
    m.image.replace(pos, bytes.size(), bytes);
}

// One write as FORMAT.md lays it out: a ring of max_size bytes with the
// marker right behind the newest text, at 0 when it does not fit there
// (the bytes behind the text then blanked with newlines).
void model_write(model_t &m, std::string_view text)
{
    if (text.size() > m.max_size) {
        const size_t keep = m.max_size - MARK.size();
        put(m, 0, text.substr(text.size() - keep));
        m.offset = static_cast<uint32_t>(keep);
    } else {
        if (m.offset + text.size() > m.max_size) {
            const size_t room = m.max_size - m.offset;
            put(m, m.offset, text.substr(0, room));
            text.remove_prefix(room);
            m.offset = 0;
        }
        put(m, m.offset, text);
        m.offset += static_cast<uint32_t>(text.size());
        if (m.offset + MARK.size() > m.max_size) {
            put(m, m.offset, std::string(m.max_size - m.offset, '\n'));
            m.offset = 0;
        }
    }
    put(m, m.offset, MARK);
}

size_t count_marks(const std::string &s)
{
    size_t n = 0;
    for (size_t at = s.find(MARK); at != std::string::npos; at = s.find(MARK, at + 1))
        ++n;
    return n;
}

// Opens quarn.app and checks what the open did to it and its backup.
// Returns the model of the file as the open left it.
model_t open_and_check(const input_t &in)
{
    const int rc = bsp_quarn_log_file_init(g_dir.data(), static_cast<int>(g_dir.size()), in.max_size, 0);
    if (rc != 0)
        fail("open refused a usable size");
    const size_t mark = in.log.find(MARK);
    const bool kept = in.log.empty() || (in.log.size() <= in.max_size && mark != std::string::npos);
    model_t m{kept ? in.log : std::string{}, 0, in.max_size, kept && !in.log.empty()};
    if (kept && !in.log.empty())
        m.offset = static_cast<uint32_t>(mark + 1);
    if (bsp_quarn_log_file_get(0).offset != m.offset)
        fail("open found the wrong write position");
    if (slurp(path("quarn.app.bak")) != (kept ? in.bak : in.bak + in.log))
        fail("backup does not hold exactly the old backup and the unusable file");
    if (slurp(path("quarn.app")) != m.image)
        fail("open changed the log file");
    return m;
}

void write_and_check(model_t &m, const input_t &in)
{
    for (size_t i = 0; i < in.writes.size(); ++i) {
        const std::string text = text_of(i, in.writes[i]);
        if (bsp_quarn_log_file_write(text.data(), static_cast<int>(text.size()), 0) != 0)
            fail("write failed");
        model_write(m, text);
        if (bsp_quarn_log_file_get(0).offset != m.offset)
            fail("write left the wrong write position");
    }
    const std::string file = slurp(path("quarn.app"));
    if (file.size() > m.max_size)
        fail("file longer than max_size");
    if (file != m.image)
        fail("file differs from the layout");
    // Stale markers can only lie in old text the open kept; a fresh file
    // holds the store's marker alone.
    if (!in.writes.empty() && !m.old_text && count_marks(file) != 1)
        fail("fresh file does not hold exactly one marker");
    if (!in.writes.empty() && file.find(MARK) != m.offset)
        fail("the first marker is not the one written last");
}

void reopen_and_check(const model_t &m, const input_t &in)
{
    const std::string bak = slurp(path("quarn.app.bak"));
    const uint32_t before = bsp_quarn_log_file_get(0).offset;
    bsp_quarn_log_file_close(0);
    if (bsp_quarn_log_file_init(g_dir.data(), static_cast<int>(g_dir.size()), m.max_size, 0) != 0)
        fail("reopen failed");
    const uint32_t want = in.writes.empty() ? before : m.offset + 1;
    if (bsp_quarn_log_file_get(0).offset != want)
        fail("reopen found another write position");
    if (slurp(path("quarn.app.bak")) != bak || slurp(path("quarn.app")) != m.image)
        fail("reopen moved or changed the file");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::string templ = (std::filesystem::temp_directory_path() / "quarn-fuzz-XXXXXX").string();
    if (!mkdtemp(templ.data()))
        fail("no temp directory");
    g_dir = templ;
    atexit([] { std::filesystem::remove_all(g_dir); });
    // The store announces every open on standard output.
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDOUT_FILENO);
    close(null);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const input_t in = parse(data, size);
    unlink(path("quarn.app").c_str());
    unlink(path("quarn.app.bak").c_str());
    if (in.max_size <= QUARN_END_MARK_LEN) {
        if (bsp_quarn_log_file_init(g_dir.data(), static_cast<int>(g_dir.size()), in.max_size, 0) != -5)
            fail("a size without room for the marker was accepted");
        return 0;
    }
    spill(path("quarn.app"), in.log);
    if (in.has_bak)
        spill(path("quarn.app.bak"), in.bak);
    model_t m = open_and_check(in);
    write_and_check(m, in);
    reopen_and_check(m, in);
    bsp_quarn_log_file_close(0);
    return 0;
}
