// quarn log [-p LEVEL] [-t TAG] [-k app|dsp|bsp] [MESSAGE...]: the shell's
// way in.  The words of MESSAGE make one line; without them every line of
// standard input is one, until its end.  Lines go out through the client
// library, so the command never waits for the server: a line it cannot
// take is lost, counted, and makes the exit status 1.
#include "quarn_server.h"

#include "line_feed.h"
#include "options.h"
#include "quarn.h"
#include "sender.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

struct log_options {
    int level = QUARN_LEVEL_INFO;
    int origin = QUARN_APP_LOG_INIT;
    std::string tag = line_feed_user();
    int first_word = 0; // argv index of MESSAGE's first word; argc when none
};

bool _kind_(std::string_view text, int &origin)
{
    constexpr std::pair<std::string_view, int> KINDS[] = {
        {"app", QUARN_APP_LOG_INIT}, {"bsp", QUARN_BSP_LOG_INIT}, {"dsp", QUARN_DSP_LOG_INIT}};
    for (const auto &[name, kind] : KINDS)
        if (text == name)
            return origin = kind, true;
    return false;
}

// Takes the value of option `opt`; "" when it is fine, else what is wrong.
std::string _option_(char opt, std::string_view value, log_options &o)
{
    switch (opt) {
    case 'p':
        return logread_level(value, o.level) ? "" : logread_join({"-p wants debug, info, warn, error or 0..3, not '", value, "'"});
    case 't':
        return value.empty() ? "-t wants a tag" : (o.tag = value, "");
    case 'k':
        return _kind_(value, o.origin) ? "" : logread_join({"-k wants app, dsp or bsp, not '", value, "'"});
    default:
        return logread_join({"unknown option -", {&opt, 1}});
    }
}

// Reads the options; "" on success, else the message saying what is wrong.
std::string _parse_(int argc, char **argv, log_options &o)
{
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.size() > 2)
            return logread_join({"unknown option ", arg});
        if (i + 1 == argc)
            return logread_join({"option ", arg, " wants a value"});
        if (std::string err = _option_(arg[1], argv[++i], o); !err.empty())
            return err;
    }
    o.first_word = i;
    return "";
}

void _usage_()
{
    puts("usage: quarn log [-p LEVEL] [-t TAG] [-k app|dsp|bsp] [MESSAGE...]\n"
         "  sends MESSAGE, or each line of standard input, as one log line;\n"
         "  LEVEL debug, info (default), warn, error or 0..3; TAG defaults to the user's name");
}

void _feed_stdin_(line_feed &feed)
{
    char buf[16384];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n > 0)
            feed.feed(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    feed.finish();
}

} // namespace

int quarn_log(int argc, char **argv)
{
    log_options o;
    if (const std::string err = _parse_(argc, argv, o); !err.empty()) {
        fprintf(stderr, "quarn log: %s\n", err.c_str());
        _usage_();
        return 2;
    }
    line_feed feed(o.origin, o.level, o.tag);
    if (o.first_word < argc) {
        std::string line = argv[o.first_word];
        for (int i = o.first_word + 1; i < argc; ++i)
            line.append(" ").append(argv[i]);
        feed.feed(line.data(), line.size());
        feed.finish();
    } else {
        _feed_stdin_(feed);
    }
    fflush(stdout); // the library's own message, if it had to say why
    if (const uint64_t lost = quarn_sender_lost(); lost > 0) {
        fprintf(stderr, "quarn log: %llu lines lost\n", static_cast<unsigned long long>(lost));
        return 1;
    }
    return 0;
}
