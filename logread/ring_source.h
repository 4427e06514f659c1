// A log file's text in order of age, read as a stream of chunks: the ring
// is cut at its end marker, the part behind the marker (the oldest text)
// comes first, and nothing of any marker, stale or real, is shown.  Memory
// is the caller's one buffer, whatever the file size.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

inline constexpr std::string_view LOGREAD_MARK{"\n+$end$+\n", 9}; // as the server writes it

// One stretch of a file, in the order it is to be shown.
struct ring_range {
    int fd;            // borrowed descriptor
    uint64_t begin;    // first byte
    uint64_t end;      // one past the last byte
    bool cut_start;    // may begin inside a line the ring overwrote: drop that piece
    bool padded_end;   // ends at the end of a wrapped file: drop padding and marker pieces
    bool joins_next;   // its last line goes on in the next range (the wrap point)
    bool searched;     // holds no marker, as a search found: may go out as it lies
};

// Offset of the first whole end marker in [from, to) of fd, or -1 (also on
// a read error).  buf is scratch space of at least 64 bytes.
int64_t logread_find_mark(int fd, uint64_t from, uint64_t to, std::span<char> buf);

// The ranges that show a file of size bytes oldest first, given its first
// marker (or -1 when it has none: then the file as it lies).  A backup is
// a row of whole old files: shown as it lies, each marker in it a cut.
std::vector<ring_range> logread_plan(int fd, uint64_t size, int64_t mark, bool backup);

// Streams the ranges as text: every marker inside them is dropped (the
// piece of line behind it too), and the stream ends with a line end.
class ring_source {
  public:
    explicit ring_source(std::vector<ring_range> ranges);

    // The next stretch of text, inside buf (at least 64 bytes); empty at
    // the end.  A range that cannot be read any more (the file shrank or
    // failed) ends early.
    std::string_view read(std::span<char> buf);

    // Where the range being read may go out as it lies, so that a caller
    // can copy it without reading it: [from, to), all of the range but
    // its end, whose last bytes are read to judge them.  False otherwise.
    bool plain_part(uint64_t &from, uint64_t &to, int &fd);
    // The caller put out n of the bytes plain_part gave, the last of them
    // last; fewer end the range (the file shrank).
    void took(uint64_t n, char last);

  private:
    enum class phase { head, cut, blank, text };
    void enter_(std::size_t i);
    std::string_view scan_(std::span<char> chunk, bool at_end);
    std::string_view emit_(std::string_view out);

    std::vector<ring_range> ranges_; // what is left to show, in order
    std::size_t index_ = 0;          // the range being read
    uint64_t pos_ = 0;               // next file offset to read in it
    phase phase_ = phase::text;      // what the bytes at pos_ are taken for
    char last_ = '\n';               // last byte handed out
    bool ended_ = false;             // the closing line end was handed out
    uint64_t plain_to_ = 0;          // end of the part plain_part gave
};
