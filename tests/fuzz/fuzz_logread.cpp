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

void check(bool ok, const char *what)
{
    if (!ok)
        fprintf(stderr, "fuzz_logread: %s\n", what), abort();
}

unique_fd memfile(std::string_view bytes)
{
    unique_fd fd(memfd_create("quarn-image", MFD_CLOEXEC));
    check(fd && write(fd.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()), "memfd");
    return fd;
}

std::string contents(int fd)
{
    std::string text(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)), '\0');
    check(pread(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()), "reading the output back");
    return text;
}

// Whether small, newlines left out, is a subsequence of big.
bool subsequence(std::string_view small, std::string_view big)
{
    std::size_t at = 0;
    for (const char c : small)
        if (c != '\n' && (at = big.find(c, at)) == npos)
            return false;
        else
            at += c != '\n';
    return true;
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
    check(k.mark == (first == npos ? -1 : static_cast<int64_t>(first)), "the marker found is not the file's first");

    ring_source src(logread_ranges(k, false));
    std::string shown;
    for (std::string_view text; !(text = src.read(buf.span())).empty();)
        shown += text;
    const std::string aged = first == npos ? image : image.substr(first + LOGREAD_MARK.size()) + image.substr(0, first);
    check(subsequence(shown, aged), "text shown out of its age order, or not in the file");
    check(shown.find(LOGREAD_MARK) == npos, "a marker is shown");
    check(shown.empty() || shown.back() == '\n', "the last line has no line end");

    unique_fd raw = memfile("");
    out_writer writer(raw.get());
    logread_put_raw(k, false, buf.span(), writer);
    writer.flush();
    check(contents(raw.get()) == shown, "the raw path differs from the ordering");
    check(printed(k, {}, false, 0) == shown, "the line path changed unfiltered text");

    std::size_t from = 0; // behind the first data[1] >> 5 lines
    for (uint64_t skip = data[1] >> 5; skip > 0 && from < shown.size(); --skip)
        from = shown.find('\n', from) + 1;
    check(printed(k, {}, false, data[1] >> 5) == shown.substr(from), "skipping lines (-n) kept the wrong ones");
    return 0;
}
