// Hostile and careless clients against a running server: a connection that
// stalls in the middle of a record, a redirect to a pipe nobody reads, a
// flood that keeps the print thread busy when a fault signal lands, a storm
// of garbage and boundary-length records on many connections at once, and
// connection churn that must give back every thread, descriptor and byte.
#include "server_harness.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <deque>
#include <random>
#include <thread>

using namespace e2e;

namespace {

// The console with the lines receive threads print on their own (which may
// fall between the pieces of a console line) taken out.
std::string console(const Server &s)
{
    std::string text = s.out();
    for (auto at = text.find("error package len["); at != std::string::npos; at = text.find("error package len[", at)) {
        const auto end = text.find("] \n", at);
        text.erase(at, end == std::string::npos ? std::string::npos : end + 3 - at);
    }
    return text;
}

// ---- a stalled connection ------------------------------------------------------------

// Each connection stops inside a record of its own kind and waits; the
// server has taken what they sent.  Records on other connections, old and
// new, must reach the console and the file meanwhile, and once the stalled
// records are completed they arrive whole, nothing lost at the stall.
TEST(StalledClient, HalfARecordHoldsUpNoOtherConnection)
{
    QUARN_REQUIRE_ISOLATION();
    Server s;
    ASSERT_TRUE(s.up()) << s.report();
    const std::string after_skip = make_record(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "after the skipped one\n");
    const std::string stalls[] = {
        make_record(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "marker cut\n"),              // held: half the marker
        make_record(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "header cut\n"),              // half the header
        make_record(QUARN_TYPE_DSP, QUARN_LEVEL_ERROR, "text cut in two\n"),        // half the text
        make_record(QUARN_TYPE_APP, QUARN_LEVEL_INFO, std::string(5000, 'o')) + after_skip, // inside a skip
        make_record(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "nothing sent\n"),            // nothing at all
    };
    const std::size_t held[] = {2, 20, 48, 1000, 0};
    std::deque<owned_fd> conns;
    for (std::size_t i = 0; i < std::size(stalls); ++i) {
        conns.emplace_back(quarn_socket());
        ASSERT_TRUE(send_all(conns.back().get(), std::string_view(stalls[i]).substr(0, held[i])));
    }
    ASSERT_TRUE(wait_until([&] {
        return s.threads("quarn_sv_rv") == 1 + std::size(stalls) &&
               std::ranges::all_of(conns, [](const owned_fd &c) { return unread(c.get()) == 0; });
    })) << "the stalled bytes were not all taken off their connections";

    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_WARN, "old connection\n"));
    owned_fd fresh(quarn_socket());
    ASSERT_TRUE(send_all(fresh.get(), make_record(QUARN_TYPE_APP, QUARN_LEVEL_WARN, "new connection\n")));
    EXPECT_TRUE(s.wait_out(YELLOW + "new connection\n" + RESET)) << s.report();
    ASSERT_TRUE(s.settle());
    EXPECT_NE(s.out().find(YELLOW + "old connection\n" + RESET), std::string::npos) << s.out();
    EXPECT_EQ(s.out().find("text cut in two"), std::string::npos) << "shown before it was whole";
    const std::string early = s.log("quarn.app");
    EXPECT_EQ(count(early, "old connection\n") + count(early, "new connection\n"), 2u) << early;

    for (std::size_t i = 0; i < std::size(stalls); ++i)
        ASSERT_TRUE(send_all(conns[i].get(), std::string_view(stalls[i]).substr(held[i])));
    const std::string late[] = {"marker cut\n", "header cut\n", "after the skipped one\n", "nothing sent\n"};
    ASSERT_TRUE(wait_until([&] {
        const std::string log = s.log("quarn.app");
        return std::ranges::all_of(late, [&](const std::string &t) { return log.find(t) != std::string::npos; });
    })) << s.log("quarn.app");
    EXPECT_TRUE(s.wait_out(RED + "text cut in two\n" + RESET)) << s.out();
    const std::string log = s.log("quarn.app");
    EXPECT_TRUE(log.starts_with(early.substr(0, early.size() - END_MARK.size()))) << log;
    EXPECT_EQ(log.size(), early.size() + 11 + 11 + 22 + 13) << "a stalled record came out twice or torn:\n" << log;
}

// A redirect to a named pipe that nobody reads from (a careless control
// client's terminal can be one): opening it must not wait for a reader,
// or the print thread hangs and every client's records pile up unseen.
TEST(CarelessClient, RedirectToAPipeWithoutReaderKeepsTheServerServing)
{
    QUARN_REQUIRE_ISOLATION();
    Server s;
    ASSERT_TRUE(s.up()) << s.report();
    const std::string fifo = s.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << strerror(errno);
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "redirect:" + fifo));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_WARN, "after the redirect\n"));
    EXPECT_TRUE(s.settle()) << "the print thread hangs";
    EXPECT_EQ(s.log("quarn.app"), "after the redirect\n" + END_MARK);
    EXPECT_EQ(s.stop(), 0) << s.report();
}

// Clients that never let up keep the print thread staging (sync size 0K: a
// write and an fsync per record, under the staging lock) when a fault
// signal lands on another thread.  Its last flush must wait for the lock
// or give up cleanly, and the server must end with status 0.
TEST(Flood, FaultSignalWhileThePrintThreadStagesEndsCleanly)
{
    QUARN_REQUIRE_ISOLATION();
    Server s({"4M", "0K", "1"});
    ASSERT_TRUE(s.up()) << s.report();
    std::vector<std::jthread> flooders; // until the server is gone or the test ends
    for (int c = 0; c < 4; ++c)
        flooders.emplace_back([c](std::stop_token stop) {
            std::string burst;
            for (int i = 0; i < 1000; ++i)
                burst += make_record(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "flood " + std::to_string(c) + "\n");
            owned_fd fd(quarn_socket());
            while (!stop.stop_requested() && send_all(fd.get(), burst)) {
            }
        });
    ASSERT_TRUE(s.wait_out("quarn cycle buff is full !")) << s.report();
    EXPECT_EQ(s.stop(SIGSEGV), 0) << s.report();
    const std::string log = s.log("quarn.app");
    ASSERT_TRUE(log.ends_with(END_MARK));
    EXPECT_EQ(count(log, "\n") - 2, count(log, "flood ")) << "a torn record in the file";
}

// ---- a storm of bad bytes ------------------------------------------------------------

// What one stormy connection sends and what of it must and must not show.
struct Storm {
    std::string bytes;              // sent in one go, then the connection is closed
    std::vector<std::string> shown; // each on the console exactly once
    std::vector<std::string> never; // on neither the console nor the file
};

// Random bytes that cannot start a record marker.
std::string noise(std::mt19937 &rng, std::size_t n)
{
    std::string bytes(n, '\0');
    for (char &c : bytes)
        c = static_cast<char>(rng() % 0xAB);
    return bytes;
}

// Every kind of record the server must drop, each len boundary of the
// reader (0 and 1239 delivered, 1240 and 65495 skipped whole, 65496 ends the
// connection), with noise between them.  Texts are unique to connection c.
Storm boundary_storm(int c, std::mt19937 &rng)
{
    const std::string id = "-c" + std::to_string(c) + "\n";
    Storm st;
    const auto add = [&](uint16_t type, int32_t level, const std::string &text, bool shown) {
        st.bytes += make_record(type, level, text);
        (shown ? st.shown : st.never).push_back(text);
    };
    st.bytes += noise(rng, 3000);
    for (uint16_t type : {0, QUARN_TYPE_APP_RSV, 0x1003, 0x3000, 0xFFFF}) // 0: the server's own stop code
        add(type, QUARN_LEVEL_ERROR, "origin " + std::to_string(type) + id, false);
    for (int32_t level : {6, 7, 100, -1, INT_MIN, INT_MAX})
        add(QUARN_TYPE_APP, level, "level " + std::to_string(level) + id, false);
    add(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "garbage command" + id, false);
    st.bytes += make_record(QUARN_TYPE_APP, QUARN_LEVEL_ERROR, "");
    add(QUARN_TYPE_APP, QUARN_LEVEL_ERROR, ("len 1239" + id).append(1239 - 8 - id.size(), '.'), true);
    st.bytes += noise(rng, 500);
    add(QUARN_TYPE_DSP, QUARN_LEVEL_ERROR, ("len 1240" + id).append(1240 - 8 - id.size(), '.'), false);
    add(QUARN_TYPE_APP, QUARN_LEVEL_ERROR, ("len 65495" + id).append(65495 - 9 - id.size(), '.'), false);
    add(QUARN_TYPE_APP, QUARN_LEVEL_ERROR, "after the skips" + id, true);
    st.bytes += make_record(QUARN_TYPE_APP, QUARN_LEVEL_ERROR, std::string(65496, '!'));
    add(QUARN_TYPE_APP, QUARN_LEVEL_ERROR, "after the end" + id, false);
    return st;
}

// Random bytes with record markers planted in them, followed by random
// header fields: origins, levels and lengths of every kind.
Storm random_storm(std::mt19937 &rng)
{
    Storm st;
    while (st.bytes.size() < 256 * 1024) {
        st.bytes += noise(rng, rng() % 200);
        const uint16_t types[] = {QUARN_TYPE_APP, QUARN_TYPE_BSP, QUARN_TYPE_DSP, 0, QUARN_TYPE_APP_RSV,
                                  static_cast<uint16_t>(rng())};
        quarn_msg_head_t head{QUARN_MSG_MAGIC, types[rng() % 6], static_cast<uint16_t>(rng()),
                              static_cast<int32_t>(rng() % 3 ? rng() % 7 : rng()), {}};
        if (rng() % 2)
            head.len %= 1400;
        st.bytes.append(reinterpret_cast<const char *>(&head), rng() % 3 ? sizeof head : rng() % sizeof head);
    }
    return st;
}

// Many connections at once send garbage, records the server must drop and
// records at every length boundary.  The server must frame each connection
// on its own, stay up, and serve a well-formed client afterwards.
TEST(Storm, GarbageAndBoundaryRecordsOnManyConnectionsLeaveTheServerServing)
{
    QUARN_REQUIRE_ISOLATION();
    constexpr int boundary_conns = 16, random_conns = 8;
    Server s({"1M", "64K", "1"}); // batches: the noise stores many small texts
    ASSERT_TRUE(s.up()) << s.report();
    std::vector<Storm> storms;
    for (int c = 0; c < boundary_conns + random_conns; ++c) {
        std::mt19937 rng(static_cast<unsigned>(c));
        storms.push_back(c < boundary_conns ? boundary_storm(c, rng) : random_storm(rng));
    }
    {
        std::vector<std::jthread> senders;
        for (const Storm &st : storms)
            senders.emplace_back([&st] {
                owned_fd fd(quarn_socket());
                send_all(fd.get(), st.bytes); // the server may end the connection part way
            });
    }
    ASSERT_TRUE(wait_until([&] { return s.threads("quarn_sv_rv") == 1; }, 60s)) << "stormy connections still served";

    const std::string well_formed = "well-formed after the storm";
    ASSERT_EQ(wait_exit(fork_client([&] {
        quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_WARN, "calm", "%s\n", well_formed.c_str());
    })), 0);
    ASSERT_TRUE(s.wait_out("][WARN][calm]" + well_formed + "\n" + RESET)) << s.report();
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "sync") && s.settle());
    EXPECT_TRUE(s.log("quarn.app").ends_with("][WARN][calm]" + well_formed + "\n" + END_MARK));
    EXPECT_GE(count(s.out(), "error package len[65536] \n"), static_cast<std::size_t>(boundary_conns));
    const std::string shown = console(s), stored = s.log("quarn.app");
    for (const Storm &st : storms) {
        for (const std::string &text : st.shown)
            EXPECT_EQ(count(shown, RED + text + RESET), 1u) << text.substr(0, 20);
        for (const std::string &text : st.never)
            EXPECT_EQ(count(shown, text) + count(stored, text), 0u) << text.substr(0, 20);
    }
    EXPECT_EQ(s.stop(), 0) << s.report();
}

// ---- connection churn ---------------------------------------------------------------

// What the server holds, from /proc.
struct Holdings {
    std::size_t tasks; // threads
    std::size_t fds;   // open descriptors
    long rss_kib;      // resident memory
};

std::size_t entries(const std::string &dir)
{
    std::error_code ec;
    const auto it = std::filesystem::directory_iterator(dir, ec);
    return ec ? 0 : static_cast<std::size_t>(std::distance(it, std::filesystem::directory_iterator{}));
}

Holdings holdings(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    const std::string status = read_file(proc + "/status");
    const auto at = status.find("VmRSS:");
    return {entries(proc + "/task"), entries(proc + "/fd"),
            at == std::string::npos ? -1 : std::stol(status.substr(at + 6))};
}

// 200 connections held open at once, each with a record; then 1,000
// opened, used and closed one after another.  True once the server has
// seen every one of them end.
bool churn_round(const Server &s, std::size_t ended_before)
{
    constexpr int held = 200, churned = 1000;
    const std::string record = make_record(QUARN_TYPE_APP, QUARN_LEVEL_DEBUG, "churn\n");
    {
        std::deque<owned_fd> open;
        for (int i = 0; i < held; ++i)
            if (open.emplace_back(quarn_socket()).get() < 0 || !send_all(open.back().get(), record))
                return false;
        if (!wait_until([&] { return s.threads("quarn_sv_rv") == 1 + held; }, 60s))
            return ADD_FAILURE() << "the held connections did not get a thread each", false;
    }
    for (int i = 0; i < churned; ++i) {
        owned_fd fd(quarn_socket());
        if (!send_all(fd.get(), record))
            return false;
    }
    const auto ended = [&] { return count(read_file(s.file("server.out")), "client is close \n"); };
    return wait_until([&] { return ended() == ended_before + held + churned; }, 120s);
}

// Whether the server's resident memory measures the server itself: not
// under user-mode emulation, where it is the emulator's (its translated code
// grows with every path taken), nor under ThreadSanitizer, which keeps state
// for every thread that ever ran.  Leaks are for the other builds to find.
bool rss_measures_server(pid_t pid)
{
#ifdef __SANITIZE_THREAD__
    return (void)pid, false;
#else
    std::error_code ec;
    return std::filesystem::equivalent("/proc/" + std::to_string(pid) + "/exe", QUARN_EXE, ec);
#endif
}

// Every connection's thread and descriptor must go back once it ends, and
// a round after the first must not grow the server's memory: a reader
// buffer kept per connection would add some 10 MiB (the pages a record
// touched), where a sound server adds well under 1 MiB, or 2 under
// AddressSanitizer.
TEST(Churn, ThousandsOfConnectionsGiveBackEveryThreadDescriptorAndByte)
{
    QUARN_REQUIRE_ISOLATION();
#ifdef __SANITIZE_ADDRESS__
    // Freed blocks wait in the sanitizer's quarantine (256 MiB) before reuse;
    // a small one lets resident memory show what the server itself keeps.
    const std::string options = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    setenv("ASAN_OPTIONS", (options + ":quarantine_size_mb=1").c_str(), 1);
    Server s;
    setenv("ASAN_OPTIONS", options.c_str(), 1);
#else
    Server s;
#endif
    ASSERT_TRUE(s.up() && s.settle()) << s.report();
    const Holdings base = holdings(s.pid());
    const auto back_to_base = [&] {
        return wait_until([&] {
            const Holdings now = holdings(s.pid());
            return now.tasks == base.tasks && now.fds == base.fds;
        }, 60s);
    };
    constexpr int rounds = 2, round_conns = 1200;
    ASSERT_TRUE(churn_round(s, 0));
    ASSERT_TRUE(back_to_base()) << "after the warm-up round: " << holdings(s.pid()).tasks << " threads, "
                                << holdings(s.pid()).fds << " descriptors; at the start " << base.tasks << ", "
                                << base.fds;
    const long warm = holdings(s.pid()).rss_kib;
    for (int r = 1; r < rounds; ++r)
        ASSERT_TRUE(churn_round(s, static_cast<std::size_t>(r) * round_conns)) << "round " << r;
    EXPECT_TRUE(back_to_base()) << holdings(s.pid()).tasks << " threads, " << holdings(s.pid()).fds
                                << " descriptors; at the start " << base.tasks << ", " << base.fds;
    if (rss_measures_server(s.pid())) {
        const long grown = holdings(s.pid()).rss_kib - warm;
        EXPECT_LT(grown, 4 * 1024) << "KiB of resident memory added after the warm-up round (" << warm << " KiB then)";
    }
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "still serving\n") && s.settle());
    EXPECT_EQ(s.log("quarn.app"), "still serving\n" + END_MARK);
    EXPECT_EQ(s.stop(), 0) << s.report(); // the leak checker of a sanitizer build reports at the exit
}

} // namespace
