// The recovery promise of the log file store, checked on one file image:
// shared by engines_test (chosen and torn images) and fuzz_logfile (any).
#pragma once

#include "logfile.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace store {

inline const std::string MARK(QUARN_END_MARK, QUARN_END_MARK_LEN);

inline std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline bool reopen(const std::string &dir, uint32_t max)
{
    bsp_quarn_log_file_close(0);
    return bsp_quarn_log_file_init(dir.data(), static_cast<int>(dir.size()), max, 0) == 0;
}

inline std::string trimmed(std::string text) { return text.erase(text.find_last_not_of('\n') + 1); }

// Opens the store of size max in dir on a file found as image, with text in
// the backup: a file with a marker within its size is kept as it is and
// written on at its first marker's "+"; any other goes whole into the
// backup, behind what that held, and the file starts afresh.  Then each of
// writes must leave the file within its size with its first marker right
// behind the newest text, read oldest first, and a reopen must find it
// there.  What went wrong, or "".
inline std::string recovery_fault(const std::string &dir, const std::string &image, uint32_t max,
                                  const std::vector<std::string> &writes)
{
    const std::string log = dir + "/quarn.app", bak = log + ".bak";
    std::ofstream(bak, std::ios::binary | std::ios::trunc) << "earlier\n";
    std::ofstream(log, std::ios::binary | std::ios::trunc) << image;
    const size_t mark = image.size() <= max ? image.find(MARK) : std::string::npos;
    const bool kept = mark != std::string::npos;
    if (!reopen(dir, max))
        return "open failed";
    if (slurp(log) != (kept ? image : "") || slurp(bak) != "earlier\n" + (kept ? "" : image))
        return "the file is not kept whole, or not moved whole into the backup";
    if (bsp_quarn_log_file_get(0).offset != (kept ? mark + 1 : 0))
        return "wrong write position";
    for (const std::string &text : writes) {
        if (bsp_quarn_log_file_write(text.data(), static_cast<int>(text.size()), 0) != 0)
            return "write failed";
        const std::string file = slurp(log);
        const uint32_t at = bsp_quarn_log_file_get(0).offset;
        if (file.size() > max || file.find(MARK) != at)
            return "file longer than its size, or its first marker not at the write position";
        const std::string ring = trimmed(file.substr(at + MARK.size()) + file.substr(0, at));
        if (text.size() + MARK.size() <= max && !ring.ends_with(trimmed(text)))
            return "the newest text is not the last of the ring";
        if (!reopen(dir, max) || bsp_quarn_log_file_get(0).offset != at + 1 || slurp(log) != file)
            return "reopen moved or changed the file";
    }
    return "";
}

} // namespace store
