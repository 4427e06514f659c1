// The executable's command line: help text, argument checks with their
// exact lines, exit statuses, and the command records the control client
// sends (received byte-exact by a listener that stands in for the server).
#include "server_harness.h"

#include <optional>

using namespace e2e;

namespace {

const std::string TILDES(50, '~');
const std::string HELP = "\n" + TILDES + "\n"
                         "quarn :\n"
                         "sync               sync log info to log file\n"
                         "redirect           redirect the print \n"
                         "level +int         set print level to 0~4  \n"
                         "                   0 debug   \n"
                         "                   1 info   \n"
                         "                   2 warning   \n"
                         "                   3 error   \n" +
                         TILDES + "\n";

const std::string DIR = "/nonexistent/quarn"; // never reached: every case below stops before the log file

std::string settings(const std::string &size, const std::string &sync, int level)
{
    return "path:" + DIR + "  size = " + size + "  sync " + sync + "   level " + std::to_string(level) + " \n";
}

// A rejected size test prints the settings line twice around "err input".
std::string size_test_failed(const std::string &size, const std::string &sync)
{
    return settings(size, sync, 1) + "err input\n" + settings(size, sync, 1);
}

struct CliCase {
    const char *name;
    std::vector<std::string> args;
    std::string out;                 // the whole of its standard output
    int status;                      // exit code
    std::optional<std::string> sent; // command text of the one record sent, if any
};

std::ostream &operator<<(std::ostream &os, const CliCase &c) { return os << c.name; }

class CommandLine : public testing::TestWithParam<CliCase> {};

// Each case runs with a listener on the socket name, so a record sent by
// mistake (or not sent) is seen; a four-argument case that wrongly starts
// a server fails at bind or hangs into the bound of run_cli.
TEST_P(CommandLine, PrintsExactLinesExitsWithStatusAndSendsOnlyWhatItShould)
{
    QUARN_REQUIRE_ISOLATION();
    const CliCase &c = GetParam();
    Listener listener;
    ASSERT_TRUE(listener.ok());
    const CliResult r = run_cli(c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.status) << r.err;
    const std::optional<std::string> got = listener.take();
    if (c.sent)
        EXPECT_EQ(got, make_record(QUARN_TYPE_APP, QUARN_LEVEL_CMD, *c.sent, QUARN_MSG_MAGIC, "CMD"));
    else
        EXPECT_EQ(got, std::nullopt) << "nothing may be sent";
    EXPECT_EQ(listener.take(), std::nullopt) << "one connection at most";
}

INSTANTIATE_TEST_SUITE_P(
    Cli, CommandLine,
    testing::Values(
        CliCase{"NoArgumentsPrintsHelp", {}, HELP, 0, {}},
        CliCase{"UnknownWordIsRejected", {"status"}, HELP, 1, {}},
        CliCase{"CommandWordsAreCaseSensitive", {"REDIRECT"}, HELP, 1, {}},
        CliCase{"SyncSendsSync", {"sync"}, "", 0, "sync"},
        CliCase{"SyncIgnoresFurtherWords", {"sync", "a", "b"}, "", 0, "sync"},
        CliCase{"LevelSendsItsNumber", {"level", "2"}, "", 0, "level2"},
        CliCase{"LevelWithoutDigitsSendsZero", {"level", "x"}, "", 0, "level0"},
        CliCase{"LevelFourIsOutOfRange", {"level", "4"}, "err level = 4\n", 1, {}},
        CliCase{"NegativeLevelIsOutOfRange", {"level", "-1"}, "err level = -1\n", 1, {}},
        CliCase{"LevelWithoutNumberPrintsHelp", {"level"}, HELP, 1, {}},
        CliCase{"LogSizeWithoutUnit", {DIR, "512", "0K", "1"}, "err input\n" + HELP, 1, {}},
        CliCase{"EmptyLogSize", {DIR, "", "0K", "1"}, "err input\n" + HELP, 1, {}},
        CliCase{"SyncSizeWithoutUnit", {DIR, "1M", "512", "1"}, "error input\n" + HELP, 1, {}},
        CliCase{"LogSizeBeyond32Bits", {DIR, "5G", "0K", "1"}, "err input\n" + HELP, 1, {}},
        CliCase{"LogSize4096MBeyond32Bits", {DIR, "4096M", "0K", "1"}, "err input\n" + HELP, 1, {}},
        CliCase{"SyncSizeBeyond32Bits", {DIR, "1M", "5G", "1"}, "error input\n" + HELP, 1, {}},
        CliCase{"FourWordsAlwaysStartAServer", {"sync", "a", "b", "c"}, "err input\n" + HELP, 1, {}},
        CliCase{"EqualSizesFailTheSizeTest", {DIR, "1M", "1M", "1"}, size_test_failed("0x100000", "0x100000"), 1, {}},
        // The settings line shows how each size was read (3G = 0xc0000000 exceeds them all).
        CliCase{"LowerKIsKibi", {DIR, "1k", "3G", "1"}, size_test_failed("0x400", "0xc0000000"), 1, {}},
        CliCase{"UpperMIsMebi", {DIR, "2M", "3G", "1"}, size_test_failed("0x200000", "0xc0000000"), 1, {}},
        CliCase{"GIsGibi", {DIR, "1G", "3G", "1"}, size_test_failed("0x40000000", "0xc0000000"), 1, {}},
        CliCase{"UnitIsTheLastCharacter", {DIR, "12xK", "3G", "1"}, size_test_failed("0x3000", "0xc0000000"), 1, {}},
        CliCase{"FractionIsCutLikeAtoi", {DIR, "1.5M", "3G", "1"}, size_test_failed("0x100000", "0xc0000000"), 1, {}},
        CliCase{"LoneUnitIsZero", {DIR, "K", "3G", "1"}, size_test_failed("0", "0xc0000000"), 1, {}}),
    [](const testing::TestParamInfo<CliCase> &info) { return std::string(info.param.name); });

TEST(ControlClient, RedirectNamesItsOwnStandardOutput)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir tmp;
    Listener listener;
    ASSERT_TRUE(listener.ok());
    const std::string path = tmp.file("console");
    const CliResult r = run_cli({"redirect", "ignored"}, path);
    EXPECT_EQ(r.out, "file_path = " + path + " \n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(listener.take(), make_record(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "redirect:" + path, QUARN_MSG_MAGIC, "CMD"));
}

// A redirect path with a per cent sign must travel as data, not as a format.
TEST(ControlClient, RedirectPathIsNeverReadAsAFormat)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir tmp;
    Listener listener;
    ASSERT_TRUE(listener.ok());
    const std::string path = tmp.file("100%s%n");
    const CliResult r = run_cli({"redirect"}, path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(listener.take(), make_record(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "redirect:" + path, QUARN_MSG_MAGIC, "CMD"));
}

TEST(ServerStart, NegativeLogSizeWrapsTo32BitsAndStarts)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Server srv(dir, {"-1K", "4K", "1"});
    ASSERT_TRUE(srv.listening()) << srv.report();
    EXPECT_TRUE(srv.out().starts_with("path:" + dir.str() + "  size = 0xfffffc00  sync 0x1000   level 1 \n"))
        << srv.out();
    EXPECT_EQ(srv.stop(), 0);
}

TEST(ServerStart, SecondServerCannotTakeTheNameAndEndsWithStatus1)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir first_dir, second_dir;
    Server first(first_dir);
    ASSERT_TRUE(first.listening()) << first.report();
    ChildIo io;
    io.out = second_dir.file("out");
    io.err = second_dir.file("err");
    const pid_t second = spawn_quarn({second_dir.str(), "1M", "0K", "1"}, io);
    EXPECT_EQ(exit_code(wait_exit(second)), 1);
    EXPECT_NE(read_file(io.err).find("bind"), std::string::npos) << read_file(io.err);
    EXPECT_TRUE(name_is_listening()) << "the first server must keep its name";
}

// A server that cannot start must not disturb the one that runs: its
// clients drop application debug records by the control word.
TEST(ServerStart, FailedSecondServerLeavesTheRunningServersControlWordAlone)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir first_dir, second_dir;
    Server first(first_dir, {"1M", "0K", "3"});
    ASSERT_TRUE(first.listening()) << first.report();
    ASSERT_TRUE(wait_until([] { return control_word() == 3u; })) << "the server made no control word";
    EXPECT_EQ(run_cli({second_dir.str(), "1M", "0K", "0"}).status, 1);
    EXPECT_EQ(control_word(), 3u);
}

// Started on the same directory with a smaller log size, a second server
// finds the running server's file too long for it: that file must stay
// where the running server writes.
TEST(ServerStart, FailedSecondServerLeavesTheRunningServersLogFileAlone)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    Server first(dir, {"1M", "0K", "1"});
    ASSERT_TRUE(first.listening()) << first.report();
    RawConn conn;
    const std::string earlier(1100, 'e');
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, earlier) && settle(first, conn, 1));
    EXPECT_EQ(run_cli({dir.str(), "1K", "0K", "1"}).status, 1);
    ASSERT_TRUE(conn.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "later") && settle(first, conn, 1));
    EXPECT_EQ(first.log("quarn.app"), earlier + "later" + END_MARK);
}

TEST(ServerStart, UnusableLogDirectoryFailsStartupWithStatus1)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir tmp;
    const std::string dir = tmp.str() + "/" + std::string(140, 'd'); // longer than a log directory may be
    const CliResult r = run_cli({dir, "1M", "0K", "1"});
    EXPECT_EQ(r.out, "path:" + dir + "  size = 0x100000  sync 0   level 1 \nquarn_log_file_init failed \n");
    EXPECT_EQ(r.status, 1);
}

// Without the 4 MiB ring buffer the server could accept nothing: it must
// say why and end instead of running without storage.
TEST(ServerStart, RingBufferThatCannotBeAllocatedEndsTheServer)
{
    QUARN_REQUIRE_ISOLATION();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a data limit leaves no room for the sanitizer's shadow memory";
#else
    TempDir dir;
    ChildIo io;
    io.out = dir.file("out");
    io.err = dir.file("err");
    io.data = 3 << 20; // room for start-up, not for 4 MiB more
    const pid_t pid = spawn_quarn({dir.str(), "1M", "0K", "1"}, io);
    const int code = exit_code(wait_exit(pid));
    if (code == -1)
        kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    EXPECT_NE(code, 0);
    EXPECT_NE(code, -1) << "the server ran on without its ring buffer";
    EXPECT_NE(read_file(io.err).find("malloc"), std::string::npos) << read_file(io.err);
#endif
}

} // namespace
