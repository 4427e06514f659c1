// The executable's command line: help text, argument checks with their
// exact lines, exit statuses, the records the control client sends, and
// start-ups that must fail without doing harm.
#include "server_harness.h"

using namespace e2e;

namespace {

const std::string TILDES(50, '~');
const std::string HELP = "\n" + TILDES + "\nquarn :\nsync               sync log info to log file\n"
                         "redirect           redirect the print \nlevel +int         set print level to 0~4  \n"
                         "                   0 debug   \n                   1 info   \n"
                         "                   2 warning   \n                   3 error   \n" + TILDES + "\n";
const std::string DIR = "/nonexistent/quarn"; // every case stops before it would use the directory

// The settings line, showing how each size was read.
std::string settings(const std::string &size, const std::string &sync)
{
    return "path:" + DIR + "  size = " + size + "  sync " + sync + "   level 1 \n";
}
// The size test fails: the settings line, then "err input" and the line again.
std::string size_test_failed(const std::string &size, const std::string &sync)
{
    return settings(size, sync) + "err input\n" + settings(size, sync);
}

struct CliCase {
    const char *name;
    std::vector<std::string> args;
    std::string out;                 // all of its standard output
    int status;                      // exit status
    std::optional<std::string> sent; // the command text of the one record sent
};

// All one pending connection to listener carried up to its close; nullopt
// when no connection waits.  Call after the client has ended.
std::optional<std::string> take(int listener)
{
    const owned_fd c(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    return c.get() < 0 ? std::nullopt : std::optional(read_until_eof(c.get()));
}

class CommandLine : public testing::TestWithParam<CliCase> {};

// A listener holds the socket name, so a record sent by mistake is seen,
// and a case that starts a server ends at bind, behind its settings line.
TEST_P(CommandLine, PrintsExactLinesEndsWithItsStatusAndSendsOnlyItsCommand)
{
    QUARN_REQUIRE_ISOLATION();
    const CliCase &c = GetParam();
    const int listener = quarn_socket(SOCK_NONBLOCK, true);
    ASSERT_GE(listener, 0);
    const CliResult r = run_cli(c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.status);
    std::optional<std::string> record;
    if (c.sent)
        record = make_record(QUARN_TYPE_APP, QUARN_LEVEL_CMD, *c.sent, QUARN_MSG_MAGIC, "CMD");
    EXPECT_EQ(take(listener), record);
    EXPECT_EQ(take(listener), std::nullopt) << "one connection at most";
    close(listener);
}

INSTANTIATE_TEST_SUITE_P(
    Cli, CommandLine,
    testing::Values(
        CliCase{"NoArgumentsPrintsHelp", {}, HELP, 0, {}},
        CliCase{"UnknownWordIsRejected", {"status"}, HELP, 1, {}},
        CliCase{"SyncIgnoresFurtherWords", {"sync", "a", "b"}, "", 0, "sync"},
        CliCase{"LevelSendsItsNumber", {"level", "2"}, "", 0, "level2"},
        CliCase{"LevelFourIsOutOfRange", {"level", "4"}, "err level = 4\n", 1, {}},
        CliCase{"LevelWithoutNumberPrintsHelp", {"level"}, HELP, 1, {}},
        CliCase{"LogSizeWithoutUnit", {DIR, "512", "0K", "1"}, "err input\n" + HELP, 1, {}},
        CliCase{"SyncSizeWithoutUnit", {DIR, "1M", "512", "1"}, "error input\n" + HELP, 1, {}},
        CliCase{"LogSizeBeyond32Bits", {DIR, "4096M", "0K", "1"}, "err input\n" + HELP, 1, {}},
        CliCase{"EqualSizesFailTheSizeTest", {DIR, "1M", "1M", "1"}, size_test_failed("0x100000", "0x100000"), 1, {}},
        // 3G exceeds the log size.
        CliCase{"GIsGibi", {DIR, "1G", "3G", "1"}, size_test_failed("0x40000000", "0xc0000000"), 1, {}},
        // Passes the size test, then cannot take the listener's name.
        CliCase{"NegativeLogSizeWrapsTo32Bits", {DIR, "-1K", "4K", "1"}, settings("0xfffffc00", "0x1000"), 1, {}}),
    [](const testing::TestParamInfo<CliCase> &info) { return std::string(info.param.name); });

constexpr rlim_t DATA_LIMIT = 3 << 20; // too small for the 4 MiB ring buffer

// Whether a data limit makes an allocation beyond it fail here: user-mode
// emulators keep such limits to themselves.
bool data_limit_holds()
{
    const pid_t pid = spawn({.out = "/dev/null", .limit = RLIMIT_DATA, .limit_to = DATA_LIMIT},
                            [] { _exit(malloc(2 * DATA_LIMIT) ? 1 : 0); });
    return wait_exit(pid) == 0;
}

// Without its 4 MiB ring buffer the server could accept nothing.
TEST(ServerStart, RingBufferThatCannotBeAllocatedEndsTheServer)
{
    QUARN_REQUIRE_ISOLATION();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a data limit leaves no room for the sanitizer's shadow memory";
#endif
    if (!data_limit_holds())
        GTEST_SKIP() << "data limits are not enforced here (user-mode emulation?)";
    TempDir dir;
    const CliResult r = run_cli({dir.str(), "1M", "0K", "1"}, {.limit = RLIMIT_DATA, .limit_to = DATA_LIMIT});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.status, -1) << "the server ran on without its ring buffer";
    EXPECT_NE(r.err.find("malloc"), std::string::npos) << r.err;
}

// A second server on a directory with a log size too small for the first
// one's file: it must end with status 1 and leave the running server's
// name, control word and log file as they were.
TEST(ServerStart, FailedSecondServerLeavesTheRunningOneAlone)
{
    QUARN_REQUIRE_ISOLATION();
    Server s({"1M", "0K", "3"});
    ASSERT_TRUE(s.up()) << s.report();
    const std::string earlier(1100, 'e');
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, earlier) && s.settle(3));
    ASSERT_EQ(control_word(), 3u);
    const CliResult second = run_cli({s.dir(), "1K", "0K", "0"});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("bind"), std::string::npos) << second.err;
    EXPECT_EQ(control_word(), 3u);
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "later") && s.settle(3));
    EXPECT_EQ(s.log("quarn.app"), earlier + "later" + END_MARK);
}

} // namespace
