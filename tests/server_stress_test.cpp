// The worst day of a server: killed at random moments, a disk that fills
// up, a log directory that vanishes, and connection churn.
#include "harness.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <atomic>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>

namespace {

using namespace e2e;

int env_or(const char *name, int fallback) { return getenv(name) ? atoi(getenv(name)) : fallback; }

// The text of a log file oldest first: behind the first marker lies the
// older lap.  A second marker behind it is a stale one that a wrap cut
// short left; the text behind that is older still, and each of the three
// pieces may then start and end inside a record.
std::vector<std::string> age_order(const std::string &log)
{
    const auto mark = log.find(END_MARK), stale = log.find(END_MARK, mark + 1), skip = END_MARK.size();
    if (stale == std::string::npos)
        return {log.substr(mark + skip) + log.substr(0, mark)};
    return {log.substr(stale + skip), log.substr(mark + skip, stale - mark - skip), log.substr(0, mark)};
}

// "{r<round> c<client> s<seq> ...}\n", 100 bytes: the key says which run a
// record belongs to, the frame whether it is whole.
std::string record_text(int round, int client, int seq)
{
    char head[32];
    snprintf(head, sizeof head, "{r%05d c%d s%06d ", round, client, seq);
    return std::string(head).append(100 - strlen(head) - 2, '.').append("}\n");
}

// One client of a crash round: bursts of records, each followed by a sync
// and a level command whose reply on the console shows the sync's batch is
// written; acked is the last record so acknowledged.
void crash_client(const Server &s, int round, int client, unsigned seed, const std::atomic<bool> &stop,
                  std::atomic<int> &acked, std::atomic<int> &acks)
{
    std::mt19937 rng(seed);
    const int conn = quarn_socket();
    const std::string level = std::to_string(4 + client), reply = "logPrintLevel = " + level + " \n";
    for (int seq = 0; !stop && seq < 500;) {
        std::string burst;
        for (int n = std::uniform_int_distribution(1, 100)(rng); n > 0 && seq < 500; --n)
            burst += make_record(QUARN_TYPE_APP, QUARN_LEVEL_FILE, record_text(round, client, seq++));
        const std::size_t seen = count(s.out(), reply);
        burst += make_record(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "sync") +
                 make_record(client ? QUARN_TYPE_DSP : QUARN_TYPE_APP, QUARN_LEVEL_CMD, "level" + level);
        if (!send_all(conn, burst) || !wait_until([&] { return stop || count(s.out(), reply) > seen; }, 20s) || stop)
            break;
        acked = seq - 1, ++acks;
    }
    close(conn);
}

// Rounds of three clients writing and syncing into a 256K file, the server
// killed at a random moment and restarted on the same directory: a file
// with its marker is found as it was left, any other goes whole into the
// backup; read oldest first, every record is whole, each client's run
// unbroken and in order, rounds in order, and every acknowledged record is
// there.  QUARN_CRASH_ROUNDS=N.
TEST(Crash, KillAtRandomMomentsLosesAtMostTheCutBatchAndRestartGoesOnBehindTheRest)
{
    QUARN_REQUIRE_ISOLATION();
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    TempDir dir;
    std::string killed, bak; // the log file as the last kill left it; what the backup must hold
    int unmarked = 0;        // kills that left the file without its marker
    int round = 0;
    for (; round < env_or("QUARN_CRASH_ROUNDS", 50) && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Server s({"256K", "4K", "4"}, {}, dir.str());
        ASSERT_TRUE(s.up() && s.settle(4)) << s.report();
        const bool marked = killed.find(END_MARK) != std::string::npos;
        EXPECT_TRUE(s.log("quarn.app") == (marked ? killed : "")) << "the restart changed a file with its marker";
        EXPECT_TRUE(read_file(dir.file("quarn.app.bak")) == bak) << "the backup is not every unmarked file, whole";
        std::atomic<bool> stop{false};
        std::atomic<int> acks{0}, acked[3];
        std::vector<std::thread> clients;
        for (int c = 0; c < 3; ++c)
            acked[c] = -1, clients.emplace_back(crash_client, std::cref(s), round, c, unsigned(rng()), std::cref(stop),
                                                std::ref(acked[c]), std::ref(acks));
        EXPECT_TRUE(wait_until([&] { return acks >= std::uniform_int_distribution(1, 12)(rng); }, 60s)) << s.report();
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(rng() % 3000);
        while (std::chrono::steady_clock::now() < until) {
        } // the kill lands anywhere in the server's work, not on a scheduler tick
        EXPECT_EQ(s.stop(SIGKILL), 128 + SIGKILL);
        stop = true;
        for (auto &t : clients)
            t.join();
        killed = s.log("quarn.app");
        if (killed.find(END_MARK) == std::string::npos) {
            // A kill can cut a write of several pages short, marker and all.
            ++unmarked, bak += killed;
            for (int c = 0; c < 3; ++c)
                EXPECT_TRUE(acked[c] < 0 || count(killed + killed, record_text(round, c, acked[c])) > 0) << c;
            continue;
        }
        const std::vector<std::string> pieces = age_order(killed);
        std::map<std::pair<int, int>, std::pair<int, int>> runs; // (round, client) -> first, last seq
        int last_round = -1;
        for (const std::string &text : pieces) {
            std::size_t junk = 0;
            for (std::size_t at = 0; at < text.size() && !HasFailure();) {
                int r, c, q;
                if (sscanf(text.c_str() + at, "{r%5d c%1d s%6d ", &r, &c, &q) != 3 || text.compare(at, 100, record_text(r, c, q))) {
                    EXPECT_TRUE(++junk <= END_MARK.size() || at < 100 || (pieces.size() > 1 && text.size() - at < 100))
                        << "torn record at " << at << ": " << text.substr(at, 100);
                    ++at;
                    continue;
                }
                const auto key = std::pair(r, c);
                EXPECT_FALSE(r < last_round || (runs.contains(key) && q != runs[key].second + 1 && pieces.size() == 1))
                    << text.substr(at, 20);
                runs.try_emplace(key, q, q).first->second.second = q;
                last_round = r, junk = 0, at += 100;
            }
        }
        for (int c = 0; c < 3; ++c) {
            const auto [first, last] = runs.contains({round, c}) ? runs[{round, c}] : std::pair(-1, -1);
            EXPECT_TRUE(acked[c] < 0 || (first == 0 && acked[c] <= last)) << "client " << c << " acked " << acked[c];
        }
    }
    std::cout << "[ crash    ] " << round << " rounds, " << unmarked << " left the file without its marker\n";
}

// A small tmpfs mounted in this binary's own mount namespace: only servers
// started after it see it.
struct SmallDisk {
    std::string at;
    bool mounted = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                   mount("tmpfs", at.c_str(), "tmpfs", 0, "size=64k") == 0;
    ~SmallDisk() { umount2(at.c_str(), MNT_DETACH); }
    bool fill() const // takes every free byte
    {
        const int fd = open((at + "/filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        for (const std::string block(4096, 'F'); write(fd, block.data(), block.size()) > 0;) {
        }
        return close(fd), errno == ENOSPC;
    }
};

// A full disk costs only the batches it could not take, says so, leaves no
// piece of them behind the marker, and a kill then restarts at the marker;
// a removed directory reports each lost batch, a fresh file takes the
// next once the directory is back, and a line then counts what was lost.
// Output lives outside the directory.
TEST(LogDirFault, FullDiskAndRemovedDirectoryLoseOnlyWhatCouldNotBeWritten)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir out, mnt;
    SmallDisk disk{mnt.str()};
    ASSERT_TRUE(disk.mounted) << strerror(errno);
    const ChildIo io{.out = out.file("server.out"), .err = out.file("server.err")};
    auto line = [](int i) { return "full " + std::to_string(i) + " " + std::string(1000, '.') + "\n"; };
    {
        Server s({"1M", "0K", "1"}, io, disk.at);
        ASSERT_TRUE(s.up() && s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "before\n") && s.settle()) << s.report();
        ASSERT_TRUE(disk.fill());
        for (int i = 0; i < 8; ++i)
            ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, line(i)));
        ASSERT_TRUE(s.settle()) << s.report();
        EXPECT_NE(s.err().find("logwrite: No space left on device\n"), std::string::npos) << s.report();
        EXPECT_EQ(s.stop(SIGKILL), 128 + SIGKILL);
    }
    Server s({"1M", "0K", "1"}, io, disk.at);
    ASSERT_TRUE(s.up() && s.settle()) << s.report();
    EXPECT_FALSE(std::filesystem::exists(disk.at + "/quarn.app.bak"));
    std::filesystem::remove(disk.at + "/filler");
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "after\n") && s.settle()) << s.report();
    std::string kept = "before\n";
    for (int i = 0; s.log("quarn.app") != kept + "\nafter\n" + END_MARK; kept += line(i++))
        ASSERT_LT(i, 8) << "not the lines that found room, then the rest:\n" << s.log("quarn.app");


    EXPECT_EQ(s.stop(), 0);
    TempDir gone;
    Server t({"1M", "0K", "1"}, io, gone.str());
    ASSERT_TRUE(t.up()) << t.report();
    std::filesystem::remove_all(gone.str());
    ASSERT_TRUE(t.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "lost 1\n") && t.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "lost 2\n"));
    ASSERT_TRUE(t.settle());
    EXPECT_EQ(count(t.err(), "open: No such file or directory\n"), 2u) << t.report();
    std::filesystem::create_directory(gone.str());
    ASSERT_TRUE(t.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "after\n") && t.settle()) << t.report();
    const std::string log = t.log("quarn.app"), loss = "][WARN][quarn]14 bytes not stored in quarn.app: No such file or directory\n";
    EXPECT_TRUE(log.starts_with("after\n[") && log.ends_with(loss + END_MARK) && log.size() == 26 + loss.size() + END_MARK.size())
        << log;
}

// A thousand connections held at once fit a 32-bit board's address space
// (small stacks per receive thread), then thousands more come and go: every
// thread and descriptor goes back, and the server serves on.
TEST(Hostile, ChurnGivesBackEveryThreadAndDescriptorAndAThousandFitABoard)
{
    QUARN_REQUIRE_ISOLATION();
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4096);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const ChildIo io{}; // sanitizers reserve far more address space than a board has
#else
    const ChildIo io = sizeof(void *) == 8 ? ChildIo{.limit = RLIMIT_AS, .limit_to = rlim_t{3} << 30} : ChildIo{};
#endif
    Server s({"1M", "0K", "1"}, io);
    ASSERT_TRUE(s.up() && s.settle()) << s.report();
    const std::string proc = "/proc/" + std::to_string(s.pid());
    auto entries = [](const std::string &dir) {
        std::error_code ec;
        return std::distance(std::filesystem::directory_iterator(dir, ec), {});
    };
    const auto tasks = entries(proc + "/task"), fds = entries(proc + "/fd");
    const std::string record = make_record(QUARN_TYPE_APP, QUARN_LEVEL_DEBUG, "churn\n");
    std::vector<int> held(1000);
    for (int &fd : held)
        ASSERT_TRUE(send_all(fd = quarn_socket(), record));
    EXPECT_TRUE(wait_until([&] { return s.threads("quarn_sv_rv") == 1001; }, 60s)) << s.threads("quarn_sv_rv");
    std::ranges::for_each(held, close);
    for (int i = 0; i < 2000; ++i) {
        const int fd = quarn_socket();
        ASSERT_TRUE(send_all(fd, record));
        close(fd);
    }
    EXPECT_TRUE(wait_until([&] { return entries(proc + "/task") == tasks && entries(proc + "/fd") == fds; }, 60s))
        << entries(proc + "/task") << " threads, " << entries(proc + "/fd") << " descriptors; at the start " << tasks
        << ", " << fds;
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "still serving\n") && s.settle());
    EXPECT_EQ(s.log("quarn.app"), "still serving\n" + END_MARK);
    EXPECT_EQ(s.stop(), 0) << s.report();
}

} // namespace
