#include "options.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

constexpr int64_t LAST_MAX = INT64_MAX / 2;

bool _number_(std::string_view text, int64_t &n)
{
    uint64_t value = 0;
    if (!logread_decimal(text, LAST_MAX, value))
        return false;
    n = static_cast<int64_t>(value);
    return true;
}

bool _level_(std::string_view text, int &level)
{
    // Character arrays, not pointers: a table of pointers costs the
    // executable a relocation for each.
    static constexpr char NAMES[][3][8] = {
        {"0", "debug", "dbug"}, {"1", "info", "info"}, {"2", "warn", "warning"}, {"3", "error", "err"}};
    for (int i = 0; i < 4; ++i)
        for (const char *name : NAMES[i])
            if (text.size() == strlen(name) && strncasecmp(text.data(), name, text.size()) == 0)
                return level = i, true;
    return false;
}

bool _kind_(std::string_view text, unsigned &kinds)
{
    static constexpr char KINDS[][4] = {"app", "dsp", "bsp", "all"};
    static constexpr unsigned BITS[] = {KIND_APP, KIND_DSP, KIND_BSP, KIND_ALL};
    for (int i = 0; i < 4; ++i)
        if (text == KINDS[i])
            return kinds = BITS[i], true;
    return false;
}

// What an option's value must be, for the message that refuses one.
std::string _refused_(std::string_view name, std::string_view wanted, std::string_view value)
{
    return logread_join({name, " wants ", wanted, ", not '", value, "'"});
}

// Applies an option that takes a value; empty on success, else the message.
std::string _apply_(std::string_view name, std::string_view value, time_t now, read_options &opt)
{
    if (name == "-n")
        return _number_(value, opt.last) ? "" : _refused_(name, "a count of lines", value);
    if (name == "-k")
        return _kind_(value, opt.kinds) ? "" : _refused_(name, "app, dsp, bsp or all", value);
    if (name == "-p")
        return _level_(value, opt.filter.min_level) ? "" : _refused_(name, "debug, info, warn, error or 0..3", value);
    if (name == "-t") {
        opt.filter.tags.emplace_back(value);
        return "";
    }
    uint64_t &bound = name == "--since" ? opt.filter.since : opt.filter.until;
    if (!logread_time_key(value, now, bound))
        return _refused_(name, "\"YYYY-MM-DD hh:mm:ss\" or -N with s, m, h or d", value);
    return "";
}

// The long names of the short options that take a value, as journalctl
// spells them where it has them.
std::string_view _short_name_(std::string_view name)
{
    static constexpr char LONG[][11] = {"--lines", "--kind", "--priority", "--tag"};
    static constexpr char SHORT[][3] = {"-n", "-k", "-p", "-t"};
    for (int i = 0; i < 4; ++i)
        if (name == LONG[i])
            return SHORT[i];
    return name;
}

bool _takes_value_(std::string_view name)
{
    for (const std::string_view with_value : {"-n", "-k", "-p", "-t", "--since", "--until"})
        if (name == with_value)
            return true;
    return false;
}

// Sets the flag name stands for; false when it is none.
bool _flag_(std::string_view name, read_options &opt)
{
    struct flag {
        char name[11];
        bool read_options::*field;
        bool value;
    };
    static constexpr flag FLAGS[] = {{"--help", &read_options::help, true},      {"-h", &read_options::help, true},
                                      {"-f", &read_options::follow, true},       {"--follow", &read_options::follow, true},
                                      {"--bak", &read_options::backups, true},   {"--no-color", &read_options::color, false}};
    for (const flag &f : FLAGS)
        if (name == f.name)
            return opt.*f.field = f.value, true;
    return false;
}

// One argument of options: "--name", "--name=value" or a row of short
// options ("-fn", "-fn3", "-fp warn"), whose first that takes a value
// takes the rest of the row or, if nothing is left, the next argument.
// Empty on success, else the message.  Values are views of argv.
std::string _option_(int argc, char **argv, int &i, time_t now, read_options &opt)
{
    const std::string_view arg = argv[i];
    if (arg.starts_with("--")) {
        const auto eq = arg.find('=');
        const std::string_view given = arg.substr(0, eq);
        const std::string_view name = _short_name_(given);
        if (_takes_value_(name)) {
            if (eq == std::string_view::npos && i + 1 == argc)
                return logread_join({arg, " wants a value"});
            return _apply_(name, eq != std::string_view::npos ? arg.substr(eq + 1) : argv[++i], now, opt);
        }
        if (!_flag_(name, opt))
            return logread_join({"unknown option '", given, "'"});
        return eq == std::string_view::npos ? "" : logread_join({name, " takes no value, not '", arg.substr(eq + 1), "'"});
    }
    for (std::size_t c = 1; c < arg.size(); ++c) {
        const char short_name[] = {'-', arg[c]};
        const std::string_view name(short_name, sizeof short_name);
        if (_takes_value_(name)) {
            if (c + 1 == arg.size() && i + 1 == argc)
                return logread_join({name, " wants a value"});
            return _apply_(name, c + 1 < arg.size() ? arg.substr(c + 1) : argv[++i], now, opt);
        }
        if (!_flag_(name, opt))
            return logread_join({"unknown option '", name, "'", arg.size() > 2 ? " in '" : "", arg.size() > 2 ? arg : "",
                                 arg.size() > 2 ? "'" : ""});
    }
    return "";
}

} // namespace

std::string logread_join(std::initializer_list<std::string_view> parts)
{
    std::string text;
    for (const std::string_view part : parts)
        text += part;
    return text;
}

std::string logread_options(int argc, char **argv, time_t now, read_options &opt)
{
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (options_end || arg.empty() || arg[0] != '-' || arg == "-") {
            if (!opt.dir.empty())
                return logread_join({"one log directory only, not '", opt.dir, "' and '", arg, "'"});
            opt.dir = arg;
        } else if (arg == "--") {
            options_end = true;
        } else if (const std::string e = _option_(argc, argv, i, now, opt); !e.empty()) {
            return e;
        }
    }
    return "";
}

void logread_help()
{
    fputs(
        "usage: quarn read [-f] [-n N] [-k app|dsp|bsp|all] [-p LEVEL] [-t TAG]\n"
        "                  [--since TIME] [--until TIME] [--bak] [--no-color] [LOGDIR]\n"
        "\n"
        "Shows the log files in LOGDIR oldest line first: the text behind the end\n"
        "marker of a file that has wrapped, then the text before it.  The marker,\n"
        "padding and the line the wrap cut in two are left out.  Without LOGDIR:\n"
        "$QUARN_LOGDIR, else " QUARN_DEFAULT_LOGDIR ".\n"
        "\n"
        "  -f            follow: the last 10 lines (or -n N), then new text as the\n"
        "                server writes it, across wraps, restarts and a file sent\n"
        "                to its backup, until Ctrl-C.  Text still waiting in the\n"
        "                server's memory shows once it is written: by a full\n"
        "                batch, a sync (quarn sync) or the server's write interval\n"
        "                (quarn interval).  With -k all, new text of each file is\n"
        "                shown as it comes, not merged.\n"
        "  -n N          only the last N lines (also --lines)\n"
        "  -k KIND       app (the default), dsp, bsp, or all: the application and\n"
        "                DSP lines merged by time stamp (lines of one second keep\n"
        "                their file order), then the kernel lines, in file order:\n"
        "                they carry the kernel's own clock, not the wall clock\n"
        "                (also --kind)\n"
        "  -p LEVEL      lowest level shown: debug, info, warn, error or 0..3;\n"
        "                file-only lines count as info (also --priority)\n"
        "  -t TAG        only lines with this tag; give it again for more tags\n"
        "                (also --tag)\n"
        "  --since TIME  only lines stamped at or after TIME\n"
        "  --until TIME  only lines stamped at or before TIME; TIME is\n"
        "                \"YYYY-MM-DD hh:mm:ss\" (parts on the right may be left\n"
        "                out and count as zero) or back from now: -30s, -10m, -2h, -1d\n"
        "  --bak         the backups (quarn.*.bak) first: the older history, each\n"
        "                file the server set aside in the order it was appended\n"
        "  --no-color    no colours; lines are coloured by level only on a terminal\n"
        "\n"
        "Short options combine (-fn 20, -fp warn); a long option's value may follow\n"
        "it or an '=' (--since=-1h).\n"
        "Lines without a time stamp belong to the line before them.  Kernel lines\n"
        "in quarn.bsp pass -p and -t; having no wall-clock time, they are left out\n"
        "by --since and --until.\n"
        "Exit status: 0 when the files were read (also when no line matched), 1 for\n"
        "a bad option or a log directory that cannot be read.\n",
        stdout);
}

bool logread_level(std::string_view text, int &level)
{
    return _level_(text, level);
}
