// `quarn read` without -f: the files as they stand, oldest line first.
#include "logread.h"
#include "reader.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Every line, unfiltered and uncoloured, of one file: whole chunks go out
// as they are read, with no look at the lines.
bool _raw_(const read_options &opt)
{
    return !opt.filter.active() && !opt.color && opt.last < 0 && (opt.kinds & (opt.kinds - 1)) == 0;
}

} // namespace

void logread_put_raw(const kind_file &k, bool backups, std::span<char> buf, out_writer &out)
{
    ring_source src(logread_ranges(k, backups));
    bool can_send = true; // the output takes text straight from a file
    for (;;) {
        uint64_t from = 0, to = 0;
        int fd = -1;
        if (can_send && src.plain_part(from, to, fd)) {
            // Text the search for the marker has been through needs no
            // second look: the kernel copies it.
            const int64_t sent = out.send_file(fd, from, to - from);
            char last = '\n';
            if (sent > 0 && pread(fd, &last, 1, static_cast<off_t>(from) + sent - 1) != 1)
                last = '\n';
            if (sent >= 0)
                src.took(static_cast<uint64_t>(sent), last);
            can_send = sent >= 0;
            continue;
        }
        const std::string_view text = src.read(buf);
        if (text.empty())
            return;
        out.put_through(text);
    }
}

namespace {

// Empty when dir is a directory that can be read, else the message.
std::string _check_dir_(const std::string &dir)
{
    struct stat st;
    if (stat(dir.c_str(), &st) != 0)
        return dir + ": " + strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return dir + ": not a directory";
    if (access(dir.c_str(), R_OK | X_OK) != 0)
        return dir + ": " + strerror(errno);
    return "";
}

} // namespace

std::vector<kind_file> logread_kinds(unsigned kinds)
{
    std::vector<kind_file> files;
    if (kinds & KIND_APP)
        files.push_back({"quarn.app", false});
    if (kinds & KIND_DSP)
        files.push_back({"quarn.dsp", false});
    if (kinds & KIND_BSP)
        files.push_back({"quarn.bsp", true});
    return files;
}

std::string logread_open(kind_file &k, const std::string &dir, bool backups, std::span<char> scratch)
{
    const std::string path = dir + "/" + k.name;
    k.fd.reset(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!k.fd && errno != ENOENT)
        return path + ": " + strerror(errno);
    if (backups) {
        k.bak.reset(open((path + ".bak").c_str(), O_RDONLY | O_CLOEXEC));
        if (!k.bak && errno != ENOENT)
            return path + ".bak: " + strerror(errno);
    }
    logread_look(k, scratch);
    return "";
}

void logread_look(kind_file &k, std::span<char> scratch)
{
    struct stat st;
    k.size = k.fd && fstat(k.fd.get(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    k.mark = k.fd ? logread_find_mark(k.fd.get(), 0, k.size, scratch) : -1;
}

std::vector<ring_range> logread_ranges(const kind_file &k, bool backups)
{
    std::vector<ring_range> ranges;
    struct stat st;
    if (backups && k.bak && fstat(k.bak.get(), &st) == 0)
        ranges = logread_plan(k.bak.get(), static_cast<uint64_t>(st.st_size), -1, true);
    if (k.fd) {
        const auto own = logread_plan(k.fd.get(), k.size, k.mark, false);
        ranges.insert(ranges.end(), own.begin(), own.end());
    }
    return ranges;
}

void logread_initial(std::vector<kind_file> &files, const read_options &opt, out_writer &out)
{
    const auto ranges = [&] {
        std::vector<std::vector<ring_range>> all;
        for (const kind_file &k : files)
            all.push_back(logread_ranges(k, opt.backups));
        return all;
    };
    // The last N lines: one pass counts the lines that pass, a second skips
    // all but N of them, so memory does not grow with N or the files.
    uint64_t skip = 0;
    if (opt.last >= 0) {
        line_printer counter(out, false, true);
        logread_print(files, ranges(), opt.filter, counter);
        skip = counter.lines() > static_cast<uint64_t>(opt.last) ? counter.lines() - static_cast<uint64_t>(opt.last) : 0;
        for (kind_file &k : files)
            k.entry = {};
    }
    line_printer printer(out, opt.color, false, skip);
    logread_print(files, ranges(), opt.filter, printer);
}

int logread_show(read_options &opt, out_writer &out)
{
    if (const std::string problem = _check_dir_(opt.dir); !problem.empty()) {
        fprintf(stderr, "quarn read: %s%s\n", problem.c_str(),
                opt.default_dir ? " (no LOGDIR given: the default log directory)" : "");
        return 1;
    }
    byte_buffer scratch(READ_CHUNK);
    std::vector<kind_file> files = logread_kinds(opt.kinds);
    for (kind_file &k : files) {
        if (const std::string problem = logread_open(k, opt.dir, opt.backups, scratch.span()); !problem.empty()) {
            fprintf(stderr, "quarn read: %s\n", problem.c_str());
            return 1;
        }
    }
    if (std::none_of(files.begin(), files.end(), [](const kind_file &k) { return bool(k.fd); }))
        fprintf(stderr, "quarn read: no %s in %s yet\n", files.size() == 1 ? files[0].name : "quarn.app, quarn.dsp or quarn.bsp",
                opt.dir.c_str());
    if (_raw_(opt))
        logread_put_raw(files.front(), opt.backups, scratch.span(), out);
    else
        logread_initial(files, opt, out);
    out.flush();
    return 0;
}

int quarn_read(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN); // a closed pipe shows as EPIPE and ends the read quietly
    read_options opt;
    if (const std::string problem = logread_options(argc, argv, time(nullptr), opt); !problem.empty()) {
        fprintf(stderr, "quarn read: %s\n(quarn read --help lists the options)\n", problem.c_str());
        return 1;
    }
    if (opt.help) {
        logread_help();
        return 0;
    }
    if (opt.dir.empty()) {
        const char *env = getenv("QUARN_LOGDIR");
        opt.dir = env && *env ? env : QUARN_DEFAULT_LOGDIR;
        opt.default_dir = true;
    }
    opt.color = opt.color && isatty(STDOUT_FILENO);
    out_writer out(STDOUT_FILENO); // a failed write ends the program from there
    return opt.follow ? logread_follow(opt, out) : logread_show(opt, out);
}
