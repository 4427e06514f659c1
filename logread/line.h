// The line layout the client library writes, as the reader takes it apart:
//   [YYYY-MM-DD hh:mm:ss][LABEL][tag]message     levels 0..3
//   [YYYY-MM-DD hh:mm:ss]message                 file-only lines (level 4)
// Anything else is a continuation of the line before it, or, in the BSP
// file, a kernel line ("<6>[   12.345678] ...").
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int LOGREAD_NO_LEVEL = -1;  // a line without a time stamp
inline constexpr int LOGREAD_FILE_ONLY = 4;  // stamped, but no label and no tag

struct log_line {
    int level = LOGREAD_NO_LEVEL; // 0..3 by its label, LOGREAD_FILE_ONLY, or none
    uint64_t key = 0;             // its stamp as the number YYYYMMDDhhmmss; 0 without one
    std::string_view tag;         // inside the parsed text; empty without one
};

// The number text spells when it is one or more decimal digits, nothing
// else, and at most max: how every count and level on a command line is
// read, with no sign, blank or base prefix.
bool logread_decimal(std::string_view text, uint64_t max, uint64_t &n);

// True when text starts with a whole time stamp; key gets its number.
bool logread_stamp(std::string_view text, uint64_t &key);

// True when text starts a line the server writes: a time stamp or a
// kernel line's "<N>".  Used to tell a whole line from a piece the ring cut.
bool logread_line_head(std::string_view text);

// The parts of the line that text starts with (text may end anywhere).
log_line logread_parse(std::string_view text);

// Reads TIME as --since and --until take it: "YYYY-MM-DD[ hh:mm[:ss]]"
// ('T' may stand for the blank) or "-N" with s, m, h or d, counted back
// from now in local time.  False for anything else.
bool logread_time_key(std::string_view text, time_t now, uint64_t &key);

// Which lines are shown.  Decided on a line's entry: the stamped line it
// is, or for a continuation the stamped line before it.
struct line_filter {
    int min_level = 0;             // -p; file-only lines count as info
    std::vector<std::string> tags; // -t, any of them; empty for all
    uint64_t since = 0;            // --since as a stamp number; 0 for none
    uint64_t until = UINT64_MAX;   // --until; UINT64_MAX for none

    bool by_time() const { return since != 0 || until != UINT64_MAX; }
    bool active() const { return min_level > 0 || !tags.empty() || by_time(); }
    // kernel: a BSP line without a stamp, which has no wall-clock time and
    // passes every test but time.
    bool pass(const log_line &entry, bool kernel) const;
};
