// The record path through a running server: which records reach the
// console (the server's standard output) in which colour, which reach the
// application log file, which are dropped, and that many clients at once
// lose nothing.
#include "server_harness.h"

#include <regex>
#include <sstream>

using namespace e2e;

namespace {

const std::string RESET = "\033[0m";
const char *const GREEN = "\033[32m", *const CYAN = "\033[36m", *const YELLOW = "\033[33m", *const RED = "\033[31m";

struct RuleCase {
    const char *name;
    int print_level;    // the server's application print level
    uint16_t type;      // origin code on the wire
    int32_t level;      // level code on the wire
    const char *colour; // the line's colour on the console; nullptr: not shown
    bool stored;        // lands in quarn.app
    uint32_t magic = QUARN_MSG_MAGIC;
};

std::ostream &operator<<(std::ostream &os, const RuleCase &c) { return os << c.name; }

class PrintRules : public testing::TestWithParam<RuleCase> {};

// Crafted records, so that origin and level reach the server exactly as
// given (the client library would drop or recode some of them).
TEST_P(PrintRules, RecordIsShownInItsColourAndStoredOnlyAsItsKindAllows)
{
    QUARN_REQUIRE_ISOLATION();
    const RuleCase &c = GetParam();
    TempDir dir;
    Server srv(dir, {"1M", "0K", std::to_string(c.print_level)});
    ASSERT_TRUE(srv.listening()) << srv.report();
    RawConn conn;
    const std::string text = std::string("rule case ") + c.name + "\n";
    ASSERT_TRUE(conn.send_all(make_record(c.type, c.level, text, c.magic)));
    ASSERT_TRUE(console_mark(srv, conn, "mark")) << srv.report();
    ASSERT_TRUE(settle(srv, conn, c.print_level)) << srv.report();

    if (c.colour)
        EXPECT_NE(srv.out().find(c.colour + text + RESET), std::string::npos) << srv.out();
    else
        EXPECT_EQ(srv.out().find(text), std::string::npos) << srv.out();
    EXPECT_EQ(srv.log("quarn.app"), c.stored ? text + END_MARK : "");
}

INSTANTIATE_TEST_SUITE_P(
    Dispatch, PrintRules,
    testing::Values(
        RuleCase{"DebugShownGreenAtLevel0NeverStored", 0, QUARN_TYPE_APP, QUARN_LEVEL_DEBUG, GREEN, false},
        RuleCase{"InfoShownCyanAndStored", 1, QUARN_TYPE_APP, QUARN_LEVEL_INFO, CYAN, true},
        RuleCase{"InfoHiddenAtLevel2StillStored", 2, QUARN_TYPE_APP, QUARN_LEVEL_INFO, nullptr, true},
        RuleCase{"WarningShownYellowAtLevel2", 2, QUARN_TYPE_APP, QUARN_LEVEL_WARN, YELLOW, true},
        RuleCase{"ErrorShownRedAtLevel3", 3, QUARN_TYPE_APP, QUARN_LEVEL_ERROR, RED, true},
        RuleCase{"Level4SilencesErrorsButStoresThem", 4, QUARN_TYPE_APP, QUARN_LEVEL_ERROR, nullptr, true},
        RuleCase{"FileOnlyNeverShownAlwaysStored", 0, QUARN_TYPE_APP, QUARN_LEVEL_FILE, nullptr, true},
        RuleCase{"LevelCode6Ignored", 0, QUARN_TYPE_APP, 6, nullptr, false},
        RuleCase{"AllBitsLevelCodeIgnored", 0, QUARN_TYPE_APP, -1, nullptr, false},
        RuleCase{"BspOriginJudgedByApplicationLevel", 2, QUARN_TYPE_BSP, QUARN_LEVEL_WARN, YELLOW, false},
        RuleCase{"BspOriginInfoHiddenAtLevel2", 2, QUARN_TYPE_BSP, QUARN_LEVEL_INFO, nullptr, false},
        RuleCase{"DspOriginShownWhileDspLevelIs0", 4, QUARN_TYPE_DSP, QUARN_LEVEL_DEBUG, GREEN, false},
        RuleCase{"ReservedOriginDropped", 0, QUARN_TYPE_APP_RSV, QUARN_LEVEL_INFO, nullptr, false},
        RuleCase{"UnknownOriginDropped", 0, 0x3000, QUARN_LEVEL_INFO, nullptr, false},
        RuleCase{"WrongMarkerDropped", 0, QUARN_TYPE_APP, QUARN_LEVEL_INFO, nullptr, false, 0x79AB79AA}),
    [](const testing::TestParamInfo<RuleCase> &info) { return std::string(info.param.name); });

TEST(Dispatch, TextIsShownUpToItsFirstNulButStoredWhole)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Server srv(dir, {"1M", "0K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    RawConn conn;
    const std::string text("shown\0hidden\n", 13);
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, text));
    ASSERT_TRUE(console_mark(srv, conn, "mark"));
    ASSERT_TRUE(settle(srv, conn, 1));
    EXPECT_NE(srv.out().find(CYAN + std::string("shown") + RESET), std::string::npos) << srv.out();
    EXPECT_EQ(srv.out().find("hidden"), std::string::npos);
    EXPECT_EQ(srv.log("quarn.app"), text + END_MARK);
}

// The dispatcher's length check must never see a record the reader framed
// short: a record cut by its sender's close is neither shown nor stored.
TEST(Dispatch, RecordCutByThePeersCloseIsNeitherShownNorStored)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Server srv(dir, {"1M", "0K", "0"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    {
        RawConn cut;
        const std::string whole = make_record(QUARN_TYPE_APP, QUARN_LEVEL_INFO, std::string(100, 'c') + "\n");
        ASSERT_TRUE(cut.send_all(whole.substr(0, 90)));
    }
    ASSERT_TRUE(wait_until([&] { return threads_named(srv.pid(), "quarn_sv_rv") == 0; }))
        << "the cut connection's receive thread did not end";
    RawConn conn;
    ASSERT_TRUE(console_mark(srv, conn, "mark"));
    ASSERT_TRUE(settle(srv, conn, 0));
    EXPECT_EQ(srv.out().find("ccc"), std::string::npos) << srv.out();
    EXPECT_EQ(srv.out().find("error log size"), std::string::npos) << srv.out();
    EXPECT_EQ(srv.log("quarn.app"), "");
}

// The client library's own layout, end to end; and the console stream,
// sharing the standard output file, leaves the server's own lines intact.
TEST(Dispatch, ClientLinesKeepTheirLayoutAndTheServersOwnLinesSurvive)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Server srv(dir, {"1M", "0K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    ASSERT_TRUE(run_client([] { quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_WARN, "net", "link %s\n", "up"); }));
    const std::string stamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\])";
    const std::regex line(stamp + R"(\[WARN\]\[net\]link up\n)");
    ASSERT_TRUE(wait_until([&] { return std::regex_search(srv.log("quarn.app"), line); })) << srv.log("quarn.app");
    EXPECT_TRUE(std::regex_match(srv.log("quarn.app"), std::regex(stamp + R"(\[WARN\]\[net\]link up\n)" + "\n\\+\\$end\\$\\+\n")));
    ASSERT_TRUE(srv.wait_out(RESET));
    EXPECT_TRUE(std::regex_search(srv.out(), std::regex("\033\\[33m" + stamp + R"(\[WARN\]\[net\]link up\n)" + "\033\\[0m")))
        << srv.out();
    EXPECT_TRUE(srv.lines().starts_with("path:" + dir.str() + "  size = 0x100000  sync 0   level 1 \n" + dir.str() +
                                      "/quarn.app open !!!\n"))
        << srv.out();
}

// Standard output as a pipe: the server's own lines and the coloured lines
// arrive while the server runs, not when a buffer fills or it exits; and
// a reader that goes away costs the console, not the server.
TEST(Dispatch, ConsoleLinesReachAPipeWhileTheServerRunsAndOutliveItsReader)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Pipe pipe;
    ChildIo io;
    io.out_fd = pipe.write_fd();
    Server srv(dir, {"1M", "0K", "1"}, io);
    pipe.close_write();
    ASSERT_TRUE(srv.listening()) << srv.err();
    EXPECT_TRUE(wait_until([&] { return pipe.drain().find("quarn.app open !!!\n") != std::string::npos; })) << pipe.drain();
    ASSERT_TRUE(run_client([] { quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_INFO, "pipe", "through a pipe\n"); }));
    EXPECT_TRUE(wait_until([&] { return pipe.drain().find("[INFO][pipe]through a pipe\n" + RESET) != std::string::npos; }))
        << pipe.drain();
    pipe.close_read();
    RawConn conn;
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_ERROR, "nobody reads this\n"));
    EXPECT_TRUE(wait_until([&] { return srv.log("quarn.app").find("nobody reads this\n") != std::string::npos; }));
    EXPECT_EQ(srv.stop(), 0) << srv.err();
}

// The library gives the caller no result, so each child keeps its
// connection's queue short itself: records are then lost only if the
// server loses them.
void send_paced(int client, int records)
{
    int sock = -1;
    for (int r = 0; r < records; ++r) {
        wait_until([&] {
            int queued = 0;
            return sock < 0 || (ioctl(sock, SIOCOUTQ, &queued) == 0 && queued < (64 << 10));
        }, 20s);
        quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_FILE, "load", "c%02d r%04d\n", client, r);
        for (int fd = 3; sock < 0 && fd < 64; ++fd) { // the library's one connection
            sockaddr_un peer{};
            socklen_t len = sizeof peer;
            if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len) == 0 && peer.sun_family == AF_UNIX)
                sock = fd;
        }
    }
}

TEST(Load, TwentyClientsTimesTwoThousandRecordsArriveWholeEachOnceInOrder)
{
    QUARN_REQUIRE_ISOLATION();
    constexpr int CLIENTS = 20, RECORDS = 2000;
    TempDir dir;
    Server srv(dir, {"4M", "64K", "4"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    std::vector<pid_t> pids;
    for (int c = 0; c < CLIENTS; ++c)
        pids.push_back(fork_client([c] { send_paced(c, RECORDS); }, dir.file("client" + std::to_string(c))));
    for (int c = 0; c < CLIENTS; ++c) {
        EXPECT_EQ(exit_code(wait_exit(pids[c], 120s)), 0);
        EXPECT_EQ(read_file(dir.file("client" + std::to_string(c))), "") << "client " << c << " lost records";
    }
    // Every client has closed; once their receive threads are gone, all
    // records are queued, and a sync behind them writes the last batch.
    ASSERT_TRUE(wait_until([&] { return threads_named(srv.pid(), "quarn_sv_rv") == 0; }, 60s));
    RawConn conn;
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "sync"));
    ASSERT_TRUE(settle(srv, conn, 4));

    std::string log = srv.log("quarn.app");
    ASSERT_TRUE(log.ends_with(END_MARK));
    log.resize(log.size() - END_MARK.size());
    std::vector<int> next(CLIENTS, 0);
    const std::regex line(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]c(\d\d) r(\d{4}))");
    std::istringstream in(log);
    int lines = 0, bad = 0;
    for (std::string l; std::getline(in, l); ++lines) {
        std::smatch m;
        if (!std::regex_match(l, m, line) || std::stoi(m[1]) >= CLIENTS || std::stoi(m[2]) != next[std::stoi(m[1])]++)
            ADD_FAILURE() << "line " << lines << " broken, repeated or out of order: " << l, ++bad;
        if (bad > 5)
            break;
    }
    EXPECT_EQ(lines, CLIENTS * RECORDS);
}

// A failing accept (no descriptor left) must neither spin a core nor stop
// the server serving once descriptors are free again.
TEST(Acceptor, OutOfDescriptorsNeitherSpinsNorStopsServing)
{
    QUARN_REQUIRE_ISOLATION();
    constexpr rlim_t LIMIT = 24;
    TempDir dir;
    ChildIo io;
    io.nofile = LIMIT;
    Server srv(dir, {"1M", "0K", "1"}, io);
    ASSERT_TRUE(srv.listening()) << srv.report();
    std::vector<int> socks;
    const sockaddr_un addr = quarn_addr();
    auto connect_one = [&] {
        const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(s, reinterpret_cast<const sockaddr *>(&addr), QUARN_ADDR_LEN); // refused ones just stay unconnected
        socks.push_back(s);
    };
    ASSERT_TRUE(wait_until([&] {
        connect_one();
        return open_descriptors(srv.pid()) >= LIMIT;
    })) << open_descriptors(srv.pid());
    for (int i = 0; i < 5; ++i)
        connect_one(); // left waiting in the backlog
    EXPECT_TRUE(wait_until([&] {
        for (const auto &t : std::filesystem::directory_iterator("/proc/" + std::to_string(srv.pid()) + "/task"))
            if (thread_state(srv.pid(), std::stoi(t.path().filename())) == 'R')
                return false;
        return true;
    }, 5s)) << "a thread of the server keeps running while accept fails";
    for (int s : socks)
        close(s);
    RawConn conn;
    ASSERT_TRUE(conn.ok());
    EXPECT_TRUE(console_mark(srv, conn, "served again")) << srv.report();
}

} // namespace
