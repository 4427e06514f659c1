// `quarn read -f`: the last lines, then the text each batch adds, as the
// server writes it.  A batch overwrites the marker with new text and puts
// a new marker behind it, so what came since the last look lies from the
// old marker's place up to the new marker, round the end of the file when
// it wrapped.
#include "reader.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int WATCHED_MS = 2000; // look anyway now and then: a watch can miss a file system
constexpr int POLLED_MS = 500;   // without a watch (no inotify, no directory yet)
constexpr uint32_t DIR_EVENTS = IN_MODIFY | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// Watches the log directory for changes to its files.
class dir_watch {
  public:
    explicit dir_watch(const std::string &dir) : dir_(dir), fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    int fd() const { return fd_.get(); }
    // Watches the directory once it exists; the time to wait for news.
    int arm()
    {
        if (fd_ && wd_ < 0)
            wd_ = inotify_add_watch(fd_.get(), dir_.c_str(), DIR_EVENTS);
        return wd_ >= 0 ? WATCHED_MS : POLLED_MS;
    }
    // Takes the waiting events; a directory that went away is watched
    // again once it is back.
    void drain()
    {
        alignas(inotify_event) char buf[8192];
        for (ssize_t n; (n = read(fd_.get(), buf, sizeof buf)) > 0;) {
            for (ssize_t at = 0; at < n;) {
                const auto *e = reinterpret_cast<const inotify_event *>(buf + at);
                if (e->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF))
                    wd_ = -1;
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
    }

  private:
    std::string dir_;
    unique_fd fd_; // the inotify instance; none where the system has none
    int wd_ = -1;  // the directory's watch; -1 while there is none
};

// SIGINT and SIGTERM as a descriptor to wait on, so that an interrupted
// follow ends between two writes, with its output whole.
unique_fd _stop_signals_()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr); // the reader has one thread; the server imports this call already
    return unique_fd(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
}

class follower {
  public:
    follower(const read_options &opt, out_writer &out)
        : opt_(opt), out_(out), files_(logread_kinds(opt.kinds)), scratch_(READ_CHUNK)
    {
    }
    // The last lines of the files there are now; false (after a message)
    // when the directory is there but cannot be read.
    bool start();
    // Shows what every file got since the last look.
    void look();

  private:
    std::string path_(const kind_file &k) const { return opt_.dir + "/" + k.name; }
    void advance_(kind_file &k);
    void show_new_file_(kind_file &k);
    void show_(kind_file &k, std::vector<ring_range> ranges, int64_t mark);

    const read_options &opt_;
    out_writer &out_;
    std::vector<kind_file> files_;
    byte_buffer scratch_; // marker searches
    dev_t dev_[3]{};            // identity of each open file, to see it replaced
    ino_t ino_[3]{};
};

bool follower::start()
{
    struct stat st;
    if (stat(opt_.dir.c_str(), &st) != 0 && errno == ENOENT) {
        fprintf(stderr, "quarn read: waiting for %s to appear\n", opt_.dir.c_str());
        return true;
    }
    for (std::size_t i = 0; i < files_.size(); ++i) {
        const std::string problem = logread_open(files_[i], opt_.dir, opt_.backups, scratch_.span());
        if (!problem.empty()) {
            fprintf(stderr, "quarn read: %s\n", problem.c_str());
            return false;
        }
        if (files_[i].fd && fstat(files_[i].fd.get(), &st) == 0)
            dev_[i] = st.st_dev, ino_[i] = st.st_ino;
    }
    logread_initial(files_, opt_, out_);
    return true;
}

void follower::look()
{
    for (std::size_t i = 0; i < files_.size(); ++i) {
        kind_file &k = files_[i];
        struct stat st;
        const bool there = stat(path_(k).c_str(), &st) == 0;
        advance_(k); // also the last text of a file that was replaced
        if (!there || (k.fd && st.st_dev == dev_[i] && st.st_ino == ino_[i]))
            continue;
        // New, or made afresh after the old one went to the backup.
        k.fd.reset(open(path_(k).c_str(), O_RDONLY | O_CLOEXEC));
        if (k.fd && fstat(k.fd.get(), &st) == 0)
            dev_[i] = st.st_dev, ino_[i] = st.st_ino;
        show_new_file_(k);
    }
}

void follower::show_new_file_(kind_file &k)
{
    logread_look(k, scratch_.span());
    if (k.mark >= 0)
        show_(k, logread_ranges(k, false), k.mark);
    else if (k.size == 0)
        k.mark = 0; // the first batch goes to the start
}

// Shows the text between the marker seen last and the marker now.
void follower::advance_(kind_file &k)
{
    struct stat st;
    if (!k.fd || fstat(k.fd.get(), &st) != 0)
        return;
    const auto size = static_cast<uint64_t>(st.st_size);
    if (k.mark < 0 && k.size == 0)
        k.mark = 0; // found empty (the server had just made it): its first batch starts at 0
    const auto from = static_cast<uint64_t>(k.mark);
    if (k.mark < 0) { // shown as it lay, without a marker: go on from the one it has now
        logread_look(k, scratch_.span());
        return;
    }
    char at[LOGREAD_MARK.size()];
    if (pread(k.fd.get(), at, sizeof at, static_cast<off_t>(from)) == sizeof at && LOGREAD_MARK == std::string_view(at, sizeof at))
        return; // nothing new
    const int64_t ahead = logread_find_mark(k.fd.get(), from, size, scratch_.span());
    if (ahead >= 0)
        return show_(k, {{k.fd.get(), from, static_cast<uint64_t>(ahead), false, false, false, false}}, ahead);
    // Round the end of the file; none at all while a batch is half written.
    const int64_t wrapped = logread_find_mark(k.fd.get(), 0, std::min(size, from + LOGREAD_MARK.size() - 1), scratch_.span());
    if (wrapped < 0)
        return;
    std::vector<ring_range> ranges;
    if (from < size)
        ranges.push_back({k.fd.get(), from, size, false, true, true, false});
    ranges.push_back({k.fd.get(), 0, static_cast<uint64_t>(wrapped), false, false, false, false});
    show_(k, std::move(ranges), wrapped);
}

// Shows ranges of k, the text up to its marker now at mark.
void follower::show_(kind_file &k, std::vector<ring_range> ranges, int64_t mark)
{
    line_stream lines(std::move(ranges), k.kernel, opt_.filter, k.entry);
    line_printer printer(out_, opt_.color);
    while (lines.next())
        printer.put(lines);
    k.mark = mark;
}

} // namespace

int logread_follow(read_options &opt, out_writer &out)
{
    if (opt.last < 0)
        opt.last = 10;
    const unique_fd stop = _stop_signals_();
    follower f(opt, out);
    if (!f.start())
        return 1;
    dir_watch watch(opt.dir);
    for (;;) {
        const int wait_ms = watch.arm();
        f.look();
        out.flush();
        pollfd fds[] = {{stop.get(), POLLIN, 0}, {STDOUT_FILENO, 0, 0}, {watch.fd(), POLLIN, 0}};
        if (poll(fds, watch.fd() >= 0 ? 3 : 2, wait_ms) < 0 && errno != EINTR)
            return 0;
        if (fds[0].revents & POLLIN)
            return 0;
        if (fds[1].revents & (POLLERR | POLLHUP))
            return 0; // nobody reads the output any more
        watch.drain();
    }
}
