// What a plain read and follow share: the log files of one read, a line
// stream with the filter's verdict on each line, and the printer.
#pragma once

#include "options.h"
#include "output.h"
#include "buffer.h"
#include "ring_source.h"

#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

// Owns a descriptor for the length of a scope.
class unique_fd {
  public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(unique_fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    unique_fd &operator=(unique_fd &&o) noexcept
    {
        reset(std::exchange(o.fd_, -1));
        return *this;
    }
    explicit operator bool() const { return fd_ >= 0; }
    int get() const { return fd_; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

  private:
    int fd_; // owned descriptor, or -1
};

// The stamped line that continuation lines after it belong to.
struct entry_state {
    int level = LOGREAD_NO_LEVEL; // its level; none before the first stamped line
    uint64_t key = 0;             // its stamp number
    bool pass = false;            // the filter's verdict on it
};

// One kind's log file as the reader last saw it.
struct kind_file {
    const char *name;         // file name in the log directory
    bool kernel;              // the BSP file: unstamped lines are kernel lines
    unique_fd fd{};           // the open log file; none while it does not exist
    unique_fd bak{};          // its backup, for --bak
    uint64_t size = 0;        // length when last looked at
    int64_t mark = -1;        // first marker then; -1 without one
    entry_state entry{};      // where its last line stands
};

// Scratch space for marker searches, also the chunk buffer of a raw read.
inline constexpr std::size_t READ_CHUNK = 256 * 1024;

// The kinds opts selects, not yet opened.
std::vector<kind_file> logread_kinds(unsigned kinds);

// Opens k in dir (and its backup when backups) and finds its marker.
// Empty when done or when the file does not exist; else the message.
std::string logread_open(kind_file &k, const std::string &dir, bool backups, std::span<char> scratch);

// Looks at k's file again: its size and first marker.
void logread_look(kind_file &k, std::span<char> scratch);

// The ranges that show the whole of k oldest first, its backup first.
std::vector<ring_range> logread_ranges(const kind_file &k, bool backups);

// The lines of one kind's text, piece by piece (a line longer than the
// buffer comes in several), each with the filter's verdict.
class line_stream {
  public:
    line_stream(std::vector<ring_range> ranges, bool kernel, const line_filter &filter, entry_state &entry);
    bool next(); // to the next piece; false at the end
    std::string_view piece() const { return {buf_.data() + begin_, cut_ - begin_}; }
    bool starts_line() const { return starts_; }
    bool ends_line() const { return cut_ > begin_ && buf_[cut_ - 1] == '\n'; }
    bool pass() const { return pass_; }
    int level() const { return level_; } // for the colour; none for kernel lines
    uint64_t key() const { return key_; } // the stamp its entry carries

  private:
    bool fill_();
    void judge_();

    ring_source src_;
    bool kernel_;                // lines without a stamp are kernel lines
    const line_filter &filter_;
    entry_state &entry_;         // outlives the stream in follow
    byte_buffer buf_;            // bytes read, not all handed out yet
    std::size_t begin_ = 0, cut_ = 0, end_ = 0; // piece [begin_, cut_), data up to end_
    std::size_t scanned_ = 0;    // bytes from begin_ known to hold no newline
    bool eof_ = false, starts_ = false, in_line_ = false, pass_ = false;
    int level_ = LOGREAD_NO_LEVEL;
    uint64_t key_ = 0;
};

// Writes the pieces that pass: coloured by level, or only counted, or
// left out while the first `skip` lines go by.
class line_printer {
  public:
    line_printer(out_writer &out, bool color, bool counting = false, uint64_t skip = 0)
        : out_(out), color_(color), counting_(counting), skip_(skip)
    {
    }
    void put(const line_stream &s);
    uint64_t lines() const { return lines_; } // lines that passed the filter

  private:
    out_writer &out_;
    bool color_, counting_;
    uint64_t skip_;
    uint64_t lines_ = 0;
    bool hidden_ = false; // the current line is skipped
};

// Puts out every line of k (its backup first) unfiltered and uncoloured:
// whole chunks as they are read, and text the marker search has been
// through copied by the kernel where the output allows it.
void logread_put_raw(const kind_file &k, bool backups, std::span<char> buf, out_writer &out);

// Puts out the kinds' text oldest first (application and DSP merged by
// time stamp), whole or the given ranges of each.
void logread_print(std::vector<kind_file> &files, std::vector<std::vector<ring_range>> ranges,
                   const line_filter &filter, line_printer &printer);

int logread_show(read_options &opt, out_writer &out);
int logread_follow(read_options &opt, out_writer &out);
// The last `last` lines (every line when negative) of the open files.
void logread_initial(std::vector<kind_file> &files, const read_options &opt, out_writer &out);
