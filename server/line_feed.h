// Text that arrives in pieces (a pipe, standard input) sent as log lines of
// one kind, level and tag through the client library, for `quarn log` and
// `quarn run`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class line_feed {
  public:
    // origin is a log kind (QUARN_*_LOG_INIT), level a level code.
    line_feed(int origin, int level, std::string tag) : origin_(origin), level_(level), tag_(std::move(tag)) {}

    // Sends every whole line of what has come so far; a line longer than
    // the library's longest message (1022 bytes and the newline) goes out
    // as several, cut on a UTF-8
    // character boundary, so nothing is dropped.
    void feed(const char *data, size_t n);
    // Sends what is left without its newline, if anything.
    void finish();
    // Sends one line as it is (no newline in it).
    void send(const char *data, size_t n);

  private:
    int origin_;          // log kind of the lines
    int level_;           // their level code
    std::string tag_;     // their tag
    std::string pending_; // the start of a line whose newline has not come yet
};

// The user's name, as logger takes it for its default tag: the login name
// of the effective user, else $LOGNAME or $USER, else "quarn".
std::string line_feed_user();
