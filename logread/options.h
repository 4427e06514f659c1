// The command line of `quarn read` and its help text.
#pragma once

#include "line.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

// Which log files a read shows; bits of log_kinds.
enum log_kind_bit : unsigned { KIND_APP = 1, KIND_DSP = 2, KIND_BSP = 4, KIND_ALL = 7 };

struct read_options {
    bool help = false;      // --help: print the help and nothing else
    bool follow = false;    // -f
    int64_t last = -1;      // -n; -1 for every line
    unsigned kinds = KIND_APP; // -k, log_kind_bit values
    bool backups = false;   // --bak
    bool color = true;      // off with --no-color (and where output is no terminal)
    line_filter filter;     // -p, -t, --since, --until
    std::string dir;        // the log directory
    bool default_dir = false; // none was given: $QUARN_LOGDIR or the service's default
};

// Reads argv[1..argc) (argv[0] is the word "read").  Empty on success, else
// the message saying what is wrong.
std::string logread_options(int argc, char **argv, time_t now, read_options &opt);

void logread_help();

// A level as -p takes it: debug, info, warn, error (and their short forms,
// any case) or 0..3.  False for anything else.
bool logread_level(std::string_view text, int &level);

// The parts one after the other: how the command lines' messages are made.
std::string logread_join(std::initializer_list<std::string_view> parts);
