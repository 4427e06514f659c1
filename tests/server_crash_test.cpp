// A server killed (SIGKILL) at random moments while clients write and sync,
// and started again on the same log directory, round after round.  What a
// kill may cost is the batch it cut; everything written before stays whole
// and in order, and a restart goes on behind it.
//
// QUARN_CRASH_ROUNDS sets the number of rounds (50 by default).
#include "server_harness.h"

#include <array>
#include <atomic>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <thread>

using namespace e2e;

namespace {

constexpr int CLIENTS = 3;
constexpr std::size_t RECORD_LEN = 100; // of every record's text, line end included
constexpr int ROUND_RECORDS = 500;      // most records a client sends in a round
// A round's text (at most 150 KB) never wraps onto itself, so every record
// of the round up to the last acknowledged one must still be there, however
// the clients were scheduled; over the rounds the file wraps many times.
constexpr const char *LOG_SIZE = "256K";

// "{r<round> c<client> s<seq> ....}\n": the key shows which run a record
// belongs to, the frame shows whether it is whole.
std::string record_text(int round, int client, int seq)
{
    char head[32];
    snprintf(head, sizeof head, "{r%05d c%d s%06d ", round, client, seq);
    std::string text(head);
    return text.append(RECORD_LEN - text.size() - 2, '.').append("}\n");
}

struct Record {
    int round, client, seq; // as in record_text
};

// The record whose text starts at text[at], if one does.
std::optional<Record> record_at(std::string_view text, std::size_t at)
{
    Record r{};
    if (text.size() - at < RECORD_LEN || text[at] != '{' ||
        sscanf(std::string(text.substr(at, 24)).c_str(), "{r%5d c%1d s%6d ", &r.round, &r.client, &r.seq) != 3)
        return std::nullopt;
    if (text.substr(at, RECORD_LEN) != record_text(r.round, r.client, r.seq))
        return std::nullopt;
    return r;
}

// The text of a log file with a marker, oldest first: what lies behind the
// marker (the older lap), then what lies before it.
std::string age_order(const std::string &log)
{
    const auto mark = log.find(END_MARK);
    return log.substr(mark + END_MARK.size()) + log.substr(0, mark);
}

using Runs = std::map<std::pair<int, int>, std::pair<int, int>>; // (round, client) -> first and last seq

// Checks a log file that has its marker: every record whole, each client's
// records of a round one unbroken run in order, rounds in order.  Between
// records only the newline a restart leaves behind the text and the few
// bytes at the end of a lap that its marker did not need (fewer than the
// marker's length) may stand; the oldest record may be cut.  The runs found.
Runs expect_whole_runs_in_order(const std::string &log)
{
    const std::string text = age_order(log);
    Runs runs;
    int round = -1;
    std::size_t junk = 0, junk_at = 0;
    for (std::size_t at = 0; at < text.size() && !testing::Test::HasFailure();) {
        const auto r = record_at(text, at);
        if (!r) {
            junk_at = junk++ ? junk_at : at;
            ++at;
            continue;
        }
        if (junk_at > 0 && junk > END_MARK.size())
            ADD_FAILURE() << junk << " bytes of a torn record at " << junk_at << " of the oldest-first text";
        junk = 0;
        const auto key = std::make_pair(r->round, r->client);
        if (r->round < round || (runs.contains(key) && r->seq != runs[key].second + 1))
            ADD_FAILURE() << "record " << text.substr(at, 20) << " out of order, lost or repeated before it";
        runs.try_emplace(key, r->seq, r->seq).first->second.second = r->seq;
        round = r->round;
        at += RECORD_LEN;
    }
    EXPECT_LE(junk, END_MARK.size()) << "a torn record stands right before the marker";
    return runs;
}

// One client: bursts of records, each followed by a sync and by a level
// command whose reply, once on the server's standard output, shows that
// the sync's batch is written.  acked is the last record so acknowledged.
// Runs until the server dies or stop is set.
void client(const Server &s, int round, int client, unsigned seed, const std::atomic<bool> &stop,
            std::atomic<int> &acked, std::atomic<int> &acks)
{
    std::mt19937 rng(seed);
    owned_fd conn(quarn_socket());
    const uint16_t origin = client == 0 ? QUARN_TYPE_APP : QUARN_TYPE_DSP; // a DSP level leaves the file alone
    const std::string level = "level" + std::to_string(4 + client);
    const std::string reply = "logPrintLevel = " + std::to_string(4 + client) + " \n";
    for (int seq = 0; !stop && seq < ROUND_RECORDS;) {
        std::string burst;
        for (int n = std::uniform_int_distribution(1, 100)(rng); n > 0 && seq < ROUND_RECORDS; --n)
            burst += make_record(QUARN_TYPE_APP, QUARN_LEVEL_FILE, record_text(round, client, seq++));
        const std::size_t seen = count(s.out(), reply);
        if (!send_all(conn.get(), burst + make_record(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "sync") +
                                      make_record(origin, QUARN_LEVEL_CMD, level)))
            return;
        if (!wait_until([&] { return stop || count(s.out(), reply) > seen; }, 20s) || stop)
            return;
        acked = seq - 1;
        ++acks;
    }
}

int rounds()
{
    const char *env = getenv("QUARN_CRASH_ROUNDS");
    return env ? atoi(env) : 50;
}

TEST(Crash, KillAtRandomMomentsLosesAtMostTheCutBatchAndRestartGoesOnBehindTheRest)
{
    QUARN_REQUIRE_ISOLATION();
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    TempDir dir;
    const std::string app = dir.file("quarn.app"), bak = dir.file("quarn.app.bak");
    std::string killed;      // the log file as the last kill left it
    std::size_t backups = 0; // rounds whose kill left the file without a marker
    int round = 0;
    for (; round < rounds() && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string bak_before = read_file(bak);
        Server s({LOG_SIZE, "4K", "4"}, {}, dir.str());
        ASSERT_TRUE(s.up() && s.settle(4)) << s.report();
        if (killed.find(END_MARK) != std::string::npos) {
            EXPECT_TRUE(s.log("quarn.app") == killed) << "the restart changed the file";
            EXPECT_EQ(read_file(bak).size(), bak_before.size()) << "a file with its marker went to the backup";
        } else {
            EXPECT_EQ(s.log("quarn.app"), "");
            EXPECT_TRUE(read_file(bak) == bak_before + killed) << "the backup does not end in the whole old file";
        }

        std::atomic<bool> stop{false};
        std::atomic<int> acks{0};
        std::array<std::atomic<int>, CLIENTS> acked{};
        std::vector<std::thread> clients;
        for (int c = 0; c < CLIENTS; ++c) {
            acked[c] = -1;
            clients.emplace_back(client, std::cref(s), round, c, unsigned(rng()), std::cref(stop), std::ref(acked[c]),
                                 std::ref(acks));
        }
        const int target = std::uniform_int_distribution(1, 12)(rng); // each client has at least 5 bursts acknowledged
        EXPECT_TRUE(wait_until([&] { return acks >= target; }, 60s)) << s.report();
        const auto lag = std::chrono::microseconds(std::uniform_int_distribution(0, 3000)(rng));
        for (auto until = std::chrono::steady_clock::now() + lag; std::chrono::steady_clock::now() < until;) {
        } // the kill lands at any point of the server's work, not on a scheduler tick
        EXPECT_EQ(s.stop(SIGKILL), -1);
        stop = true;
        for (auto &t : clients)
            t.join();

        killed = read_file(app);
        EXPECT_LE(count(killed, END_MARK), 1u);
        if (killed.find(END_MARK) == std::string::npos) {
            ++backups;
            // Without the marker there is no telling where the ring starts;
            // a record cut by the end of the file goes on at its start.
            for (int c = 0; c < CLIENTS; ++c)
                EXPECT_TRUE(acked[c] < 0 || (killed + killed).find(record_text(round, c, acked[c])) != std::string::npos)
                    << "client " << c << "'s acknowledged record " << acked[c] << " is not in the file";
            continue;
        }
        Runs runs = expect_whole_runs_in_order(killed);
        for (int c = 0; c < CLIENTS; ++c) {
            const auto run = runs.find({round, c});
            const auto [first, last] = run == runs.end() ? std::pair(-1, -1) : run->second;
            EXPECT_TRUE(acked[c] < 0 || (first == 0 && acked[c] <= last))
                << "client " << c << "'s acknowledged record " << acked[c] << " is not in the file, which holds "
                << first << " to " << last;
        }
    }
    std::cout << "[ crash    ] " << round << " rounds, " << backups << " left the file without a marker\n";
}

} // namespace
