// Standard output of the reader: buffered for line-by-line output, written
// straight through for whole chunks.  A reader that went away (a closed
// pipe) ends the program quietly; any other write error ends it with a
// message.
#pragma once

#include <string_view>
#include "buffer.h"

class out_writer {
  public:
    explicit out_writer(int fd);
    out_writer(const out_writer &) = delete;
    out_writer &operator=(const out_writer &) = delete;

    void put(std::string_view text);
    // Log text: on a terminal its control characters but tab and line end
    // are shown as \xHH, so that a line cannot move the cursor or erase
    // what stands; anywhere else it goes out as stored.
    void put_text(std::string_view text);
    // Log text without copying it, after what is buffered.
    void put_through(std::string_view text);
    // Copies len bytes of the file fd from its offset from in the kernel,
    // after what is buffered.  The bytes sent (fewer where the file ended),
    // or -1 when the output cannot take a file this way (a terminal, whose
    // text is escaped).
    int64_t send_file(int fd, uint64_t from, uint64_t len);
    void flush();

  private:
    void write_all_(std::string_view text);

    int fd_;                 // where the output goes
    bool escape_;            // fd_ is a terminal
    byte_buffer buf_;        // text not yet written
    std::size_t used_ = 0;   // bytes of buf_ in use
};
