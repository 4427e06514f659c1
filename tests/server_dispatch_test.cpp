// The record path through a running server: which records reach the
// console (the server's standard output) in which colour and which reach
// the application log file; many clients at once; an acceptor out of
// descriptors.
#include "server_harness.h"

#include <regex>
#include <sstream>

using namespace e2e;

namespace {

struct RuleCase {
    const char *name;
    int print_level;    // the server's application print level
    uint16_t type;      // origin code on the wire
    int32_t level;      // level code on the wire
    std::string colour; // of the line on the console; "" when not shown
    bool stored;        // lands in quarn.app
    uint32_t magic = QUARN_MSG_MAGIC;
};

class PrintRules : public testing::TestWithParam<RuleCase> {};

// Crafted records, so that origin and level arrive exactly as given (the
// client library would drop or recode some of them).
TEST_P(PrintRules, RecordIsShownInItsColourAndStoredOnlyAsItsKindAllows)
{
    QUARN_REQUIRE_ISOLATION();
    const RuleCase &c = GetParam();
    Server s({"1M", "0K", std::to_string(c.print_level)});
    ASSERT_TRUE(s.up()) << s.report();
    const std::string text = std::string("rule case ") + c.name + "\n";
    ASSERT_TRUE(s.send(c.type, c.level, text, c.magic) && s.mark()) << s.report();
    if (c.colour.empty())
        EXPECT_EQ(s.out().find(text), std::string::npos) << s.out();
    else
        EXPECT_NE(s.out().find(c.colour + text + RESET), std::string::npos) << s.out();
    EXPECT_EQ(s.log("quarn.app"), c.stored ? text + END_MARK : "");
}

INSTANTIATE_TEST_SUITE_P(
    Dispatch, PrintRules,
    testing::Values(RuleCase{"DebugShownGreenAtLevel0NeverStored", 0, QUARN_TYPE_APP, QUARN_LEVEL_DEBUG, GREEN, false},
                    RuleCase{"InfoShownCyanAndStored", 1, QUARN_TYPE_APP, QUARN_LEVEL_INFO, CYAN, true},
                    RuleCase{"InfoHiddenAtLevel2StillStored", 2, QUARN_TYPE_APP, QUARN_LEVEL_INFO, "", true},
                    RuleCase{"WarningShownYellowAtLevel2", 2, QUARN_TYPE_APP, QUARN_LEVEL_WARN, YELLOW, true},
                    RuleCase{"ErrorShownRedAtLevel3", 3, QUARN_TYPE_APP, QUARN_LEVEL_ERROR, RED, true},
                    RuleCase{"FileOnlyNeverShownAlwaysStored", 0, QUARN_TYPE_APP, QUARN_LEVEL_FILE, "", true},
                    RuleCase{"LevelCode6Ignored", 0, QUARN_TYPE_APP, 6, "", false},
                    RuleCase{"BspOriginJudgedByApplicationLevel", 2, QUARN_TYPE_BSP, QUARN_LEVEL_WARN, YELLOW, false},
                    RuleCase{"DspOriginShownWhileDspLevelIs0", 4, QUARN_TYPE_DSP, QUARN_LEVEL_DEBUG, GREEN, false},
                    RuleCase{"UnknownOriginDropped", 0, 0x3000, QUARN_LEVEL_INFO, "", false},
                    RuleCase{"WrongMarkerDropped", 0, QUARN_TYPE_APP, QUARN_LEVEL_INFO, "", false, 0x79AB79AA}),
    [](const testing::TestParamInfo<RuleCase> &info) { return std::string(info.param.name); });

// The library gives the caller no result, so each client keeps its
// connection's queue short itself: records are then lost only if the
// server loses them.
void send_paced(int client, int records)
{
    const int sock = dup(0); // the lowest free number: the library's one connection takes it
    close(sock);
    for (int r = 0, queued = 0; r < records; ++r) {
        if (r > 0 && !wait_until([&] { return ioctl(sock, SIOCOUTQ, &queued) == 0 && queued < (64 << 10); }, 20s))
            return (void)puts("the connection's queue never drained");
        quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_FILE, "load", "c%02d r%04d\n", client, r);
    }
}

TEST(Load, TwentyClientsTimesTwoThousandRecordsArriveWholeOnceAndInOrder)
{
    QUARN_REQUIRE_ISOLATION();
    constexpr int CLIENTS = 20, RECORDS = 2000;
    Server s({"4M", "64K", "4"});
    ASSERT_TRUE(s.up()) << s.report();
    std::vector<pid_t> pids;
    for (int c = 0; c < CLIENTS; ++c)
        pids.push_back(fork_client([c] { send_paced(c, RECORDS); }, s.file("client" + std::to_string(c))));
    for (int c = 0; c < CLIENTS; ++c) {
        EXPECT_EQ(wait_exit(pids[c], 120s), 0);
        EXPECT_EQ(s.log("client" + std::to_string(c)), "") << "client " << c << " lost records";
    }
    // Once the clients' receive threads are gone, all records are queued,
    // and a sync behind them writes the last batch.
    ASSERT_TRUE(wait_until([&] { return s.threads("quarn_sv_rv") == 1; }, 60s));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "sync") && s.settle(4));
    std::string log = s.log("quarn.app");
    ASSERT_TRUE(log.ends_with(END_MARK));
    log.resize(log.size() - END_MARK.size());
    std::vector<int> next(CLIENTS, 0);
    const std::regex line(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]c(\d\d) r(\d{4}))");
    std::istringstream in(log);
    int lines = 0;
    for (std::string l; std::getline(in, l) && !HasFailure(); ++lines) {
        std::smatch m;
        if (!std::regex_match(l, m, line) || std::stoi(m[1]) >= CLIENTS || std::stoi(m[2]) != next[std::stoi(m[1])]++)
            ADD_FAILURE() << "line " << lines << " broken, repeated or out of order: " << l;
    }
    EXPECT_EQ(lines, CLIENTS * RECORDS);
}

// A board starting up starts many logging processes at once.  Their
// connects must not fail while the acceptor is busy (here: stopped), since a
// client never waits: a failed connect costs the client its record.
TEST(Acceptor, ManyClientsConnectingWhileItIsBusyAreAllServed)
{
    QUARN_REQUIRE_ISOLATION();
    constexpr int CLIENTS = 100;
    Server s({"1M", "0K", "1"});
    ASSERT_TRUE(s.up()) << s.report();
    ASSERT_EQ(kill(s.pid(), SIGSTOP), 0);
    ASSERT_TRUE(wait_until([&] { return s.threads([](const Task &t) { return t.state != 'T'; }) == 0; }));
    std::vector<int> socks;
    for (int c = 0; c < CLIENTS; ++c) {
        socks.push_back(quarn_socket(SOCK_NONBLOCK));
        ASSERT_GE(socks.back(), 0) << "connect " << c << ": " << strerror(errno);
        ASSERT_TRUE(send_all(socks.back(), make_record(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "client\n")));
    }
    kill(s.pid(), SIGCONT);
    EXPECT_TRUE(wait_until([&] { return count(s.log("quarn.app"), "client\n") == CLIENTS; }, 30s)) << s.log("quarn.app");
    for (int fd : socks)
        close(fd);
}

// A failing accept (no descriptor left) must neither spin a core nor stop
// the server serving once descriptors are free again.
TEST(Acceptor, OutOfDescriptorsNeitherSpinsNorStopsServing)
{
    QUARN_REQUIRE_ISOLATION();
    constexpr rlim_t LIMIT = 24;
    Server s({"1M", "0K", "1"}, {.limit = RLIMIT_NOFILE, .limit_to = LIMIT});
    ASSERT_TRUE(s.up()) << s.report();
    std::vector<int> socks;
    const std::string fds = "/proc/" + std::to_string(s.pid()) + "/fd";
    ASSERT_TRUE(wait_until([&] {
        socks.push_back(quarn_socket(SOCK_NONBLOCK));
        return std::distance(std::filesystem::directory_iterator(fds), {}) >= static_cast<long>(LIMIT);
    }));
    for (int i = 0; i < 5; ++i)
        socks.push_back(quarn_socket(SOCK_NONBLOCK)); // left waiting in the backlog
    EXPECT_TRUE(wait_until([&] { return s.threads([](const Task &t) { return t.state == 'R'; }) == 0; }, 5s))
        << "a thread of the server keeps running while accept fails";
    for (int fd : socks)
        close(fd);
    const int fresh = quarn_socket();
    EXPECT_TRUE(send_all(fresh, make_record(QUARN_TYPE_DSP, QUARN_LEVEL_ERROR, "served again\n")));
    EXPECT_TRUE(s.wait_out("served again\n")) << s.report();
    close(fresh);
}

} // namespace
