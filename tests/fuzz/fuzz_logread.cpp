// Feeds arbitrary log file images through the reader's ordering, its raw
// output and its line parser and filters.
//
// Input layout:
//   byte 0   bits 0-5: read buffer of 64 + 61 * n bytes, so markers and
//            lines fall across chunk ends; bit 6: the BSP file (kernel
//            lines); bit 7: a 100 KiB line goes into the image
//   byte 1   bits 5-7: lines to skip, as -n does
//   byte 2   where the long line goes, in 256ths of the image
//   the rest the file
//
// Checks: the marker found is the image's first; nothing of the output is
// out of the file's age order; no marker is shown; the raw path (chunks
// and kernel copies) and the line path give the same bytes; -n keeps
// exactly the last lines.
#include "reader.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr auto npos = std::string_view::npos;

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "fuzz_logread: %s\n", what);
    abort();
}

unique_fd memfile(std::string_view bytes)
{
    unique_fd fd(memfd_create("quarn-image", MFD_CLOEXEC));
    if (!fd || write(fd.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        fail("memfd");
    return fd;
}

std::string contents(int fd)
{
    std::string text(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)), '\0');
    if (pread(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        fail("reading the output back");
    return text;
}

std::string without_newlines(std::string text)
{
    std::erase(text, '\n');
    return text;
}

bool subsequence(std::string_view small, std::string_view big)
{
    std::size_t at = 0;
    for (const char c : small)
        if ((at = big.find(c, at)) == npos)
            return false;
        else
            ++at;
    return true;
}

std::vector<std::string_view> split_lines(std::string_view text)
{
    std::vector<std::string_view> lines;
    for (std::size_t nl; (nl = text.find('\n')) != npos; text.remove_prefix(nl + 1))
        lines.push_back(text.substr(0, nl + 1));
    return lines;
}

// What the printer puts out of k through filter, skipping skip lines.
std::string printed(kind_file &k, const line_filter &filter, bool color, uint64_t skip)
{
    unique_fd out = memfile("");
    {
        out_writer writer(out.get());
        line_printer printer(writer, color, false, skip);
        std::vector<kind_file> one;
        one.push_back(std::move(k));
        logread_print(one, {logread_ranges(one[0], false)}, filter, printer);
        writer.flush();
        k = std::move(one[0]);
        k.entry = {};
    }
    return contents(out.get());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    std::string image(reinterpret_cast<const char *>(data) + 3, size - 3);
    if (data[0] & 0x80)
        image.insert(image.size() * data[2] / 256, std::string(100 * 1024, 'x'));
    byte_buffer buf(64 + 61 * (data[0] & 0x3f));
    kind_file k{"image", (data[0] & 0x40) != 0};
    k.fd = memfile(image);
    logread_look(k, buf.span());
    const std::size_t first = image.find(LOGREAD_MARK);
    if (k.mark != (first == npos ? -1 : static_cast<int64_t>(first)))
        fail("the marker found is not the file's first");

    ring_source src(logread_ranges(k, false));
    std::string shown;
    for (std::string_view text; !(text = src.read(buf.span())).empty();)
        shown += text;
    const std::string aged = first == npos ? image : image.substr(first + LOGREAD_MARK.size()) + image.substr(0, first);
    if (!subsequence(without_newlines(shown), without_newlines(aged)))
        fail("text shown out of its age order, or not in the file");
    if (shown.find(LOGREAD_MARK) != npos)
        fail("a marker is shown");
    if (!shown.empty() && shown.back() != '\n')
        fail("the last line has no line end");

    unique_fd raw = memfile("");
    out_writer writer(raw.get());
    logread_put_raw(k, false, buf.span(), writer);
    writer.flush();
    if (contents(raw.get()) != shown)
        fail("the raw path differs from the ordering");
    if (printed(k, {}, false, 0) != shown)
        fail("the line path changed unfiltered text");

    const uint64_t skip = data[1] >> 5;
    const auto lines = split_lines(shown);
    std::string last;
    for (std::size_t i = std::min<std::size_t>(skip, lines.size()); i < lines.size(); ++i)
        last += lines[i];
    if (printed(k, {}, false, skip) != last)
        fail("skipping lines (-n) kept the wrong ones");
    return 0;
}
