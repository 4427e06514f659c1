// The real quarn executable on its main paths: the command line, what each
// record shows and stores, staging and the commands, the kernel log, a
// restart, the orderly stop, many clients at once, a kernel log burst and
// the interval staged text waits at most, even behind a stalled console.  Then `quarn read` on log files
// the real server wrote: the order after a wrap, a restart and a file sent
// to its backup, with and without follow, and every filter on one set of
// lines.
#include "harness.h"

#include <sys/klog.h>
#include <sys/stat.h>

#include <utility>

namespace {

using namespace e2e;

const std::string TILDES(50, '~');
// The help's first lines (its words are the control client's own literals).
const std::string HELP = "\n" + TILDES + "\nquarn :\n";
const std::string RESET = "\033[0m", GREEN = "\033[32m", CYAN = "\033[36m", YELLOW = "\033[33m", RED = "\033[31m";

std::string opened(const Server &s, const std::string &name) { return s.file(name) + " open !!!\n"; }

// Exact standard output (HELP standing for the whole help), exit status and
// the one record each command line sends to a listener holding the name; a
// server that passes its checks ends at the taken name, harming nothing.
TEST(CommandLine, PrintsExactLinesEndsWithItsStatusAndSendsOnlyItsCommand)
{
    const std::string dir = "/nonexistent/quarn";
    auto settings = [&](std::string size, std::string sync) {
        return "path:" + dir + "  size = " + size + "  sync " + sync + "   level 1 \n";
    };
    // the command line, its output, the command it sends and its exit status; a
    // listener holds the name but for the line that finds no server running
    const std::tuple<std::vector<std::string>, std::string, std::string, int> rows[] = {
        {{}, HELP, "", 0}, {{"--help"}, HELP, "", 0}, {{"-h"}, HELP, "", 0}, {{"help"}, HELP, "", 0},
        {{"--version"}, "quarn v1.0.0 svn635612\n", "", 0},
        {{"status"}, "quarn: unknown command 'status'\n" + HELP, "", 1},
        {{dir, "1M", "64K"}, "quarn: the server takes 4 arguments (LOGDIR LOGSIZE SYNCSIZE LEVEL), not 3\n" + HELP, "", 1},
        {{"sync"}, "connect failed: Connection refused\nno quarn server is running\n", "", 1},
        {{"level", "warn"}, "no answer from the quarn server\n", "level2", 1},
        {{"level", "abc"}, "err level = abc: a whole number 0..3, or debug, info, warn, error\n", "", 1},
        {{"level", "2x"}, "err level = 2x: a whole number 0..3, or debug, info, warn, error\n", "", 1},
        {{"interval", "2x"}, "err interval = 2x: whole seconds, 0..86400\n", "", 1},
        {{"sync", "a"}, "no answer from the quarn server\n", "sync", 1},
        {{"level", "2"}, "no answer from the quarn server\n", "level2", 1}, // a server too old to answer
        {{"level", "4"}, "err level = 4\n", "", 1},
        {{"level"}, HELP, "", 1},
        {{dir, "512", "0K", "1"}, "err input\n" + HELP, "", 1},
        {{dir, "1M", "512", "1"}, "error input\n" + HELP, "", 1},
        {{dir, "4096M", "0K", "1"}, "err input\n" + HELP, "", 1},
        {{dir, "1M", "1M", "1"}, settings("0x100000", "0x100000") + "err input\n" + settings("0x100000", "0x100000"), "", 1},
        {{dir, "1G", "3G", "1"}, settings("0x40000000", "0xc0000000") + "err input\n" + settings("0x40000000", "0xc0000000"), "", 1},
        {{dir, "-1K", "4K", "1"}, settings("0xfffffc00", "0x1000") + "the socket name @/home/app/quarn_socket is taken by pid " +
                                      std::to_string(getpid()) + " (uid 0); is another server running?\n", "", 1},
    };
    for (const auto &[args, out, cmd, status] : rows) {
        const int listener = has(out, "no quarn server is running") ? -1 : quarn_socket(SOCK_NONBLOCK, true);
        const CliResult got = run_cli(args);
        const int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        const std::string sent = cmd.empty() ? "" : command(cmd);
        const bool shown = out.ends_with(HELP) ? got.out.starts_with(out) && got.out.ends_with(TILDES + "\n") : got.out == out;
        EXPECT_TRUE(shown && got.status == status && (conn < 0 ? "" : read_until_eof(conn)) == sent)
            << (args.empty() ? "(none)" : args[0] + " ...") << ": exit " << got.status << "\n" << got.out;
        close(conn), close(listener);
    }
    // The server that passed its checks ended at the taken name before it
    // touched a running server's control word or log directory.
    EXPECT_FALSE(control_word().has_value() || std::filesystem::exists(dir));
}

// Clients of a board starting up connect while the acceptor is busy (here
// stopped) and must not fail, since a client never waits; an acceptor out
// of descriptors neither spins a core nor stops serving once some are free.
TEST(Acceptor, BusyOrOutOfDescriptorsItLosesNoClientAndNeverSpins)
{
    Server s({"1M", "0K", "1"}, {.limit = RLIMIT_NOFILE, .limit_to = 24});
    ASSERT_TRUE(s.up() && kill(s.pid(), SIGSTOP) == 0) << s.report();
    ASSERT_TRUE(wait_until([&] { return s.threads([](const Server::Task &t) { return t.state != 'T'; }) == 0; }));
    for (int c = 0; c < 100; ++c) {
        const int fd = quarn_socket(SOCK_NONBLOCK);
        ASSERT_TRUE(send_all(fd, make_record(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "client\n"))) << c << strerror(errno);
        close(fd);
    }
    kill(s.pid(), SIGCONT);
    EXPECT_TRUE(wait_until([&] { return count(s.log("quarn.app"), "client\n") == 100; }, 30s)) << s.log("quarn.app");
    std::vector<int> held(30);
    std::ranges::generate(held, [] { return quarn_socket(SOCK_NONBLOCK); }); // the last ones wait in the backlog
    EXPECT_TRUE(wait_until([&] { return s.threads([](const Server::Task &t) { return t.state == 'R'; }) == 0; }, 5s))
        << "a thread of the server keeps running while accept fails";
    std::ranges::for_each(held, close);
    EXPECT_TRUE(s.round_trip(QUARN_TYPE_DSP, QUARN_LEVEL_ERROR, "served again\n", "served again\n")) << s.report();
}

// Crafted records, so that origin, level and marker arrive exactly as given
// (the library would drop or recode some): the colour each is shown in at
// each print level, and whether it is stored (sync size 0: at once); an
// oversized record ends its connection.
TEST(PrintRules, RecordIsShownInItsColourAndStoredOnlyAsItsKindAllows)
{
    Server s({"1M", "0K", "1"});
    ASSERT_TRUE(s.up()) << s.report();
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "level0")); // no DSP file: DSP lines are only shown
    struct Row {
        int print_level;
        uint16_t type;
        int32_t level;
        std::string colour; // "" not shown
        int stored;         // 1 stored in quarn.app, 0 not, -1 not looked at
        uint32_t magic = QUARN_MSG_MAGIC;
    } rows[] = {
        {0, QUARN_TYPE_APP, QUARN_LEVEL_DEBUG, GREEN, 0}, {1, QUARN_TYPE_APP, QUARN_LEVEL_INFO, CYAN, 1},
        {2, QUARN_TYPE_APP, QUARN_LEVEL_INFO, "", 1},     {2, QUARN_TYPE_APP, QUARN_LEVEL_WARN, YELLOW, 1},
        {3, QUARN_TYPE_APP, QUARN_LEVEL_ERROR, RED, 1},   {0, QUARN_TYPE_APP, QUARN_LEVEL_FILE, "", 1},
        {0, QUARN_TYPE_APP, 6, "", 0},                    {0, QUARN_TYPE_APP, -1, "", 0},
        {2, QUARN_TYPE_BSP, QUARN_LEVEL_WARN, YELLOW, -1}, {3, QUARN_TYPE_BSP, QUARN_LEVEL_WARN, "", -1},
        {3, QUARN_TYPE_DSP, QUARN_LEVEL_DEBUG, GREEN, 0}, {0, QUARN_TYPE_APP_RSV, QUARN_LEVEL_INFO, "", 0},
        {0, 0x3000, QUARN_LEVEL_INFO, "", 0},             {0, QUARN_TYPE_APP, QUARN_LEVEL_INFO, "", 0, 0x79AB79AA},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row &r = rows[i];
        const std::string text = "row " + std::to_string(i) + "\n";
        ASSERT_TRUE(s.settle(r.print_level) && s.send(r.type, r.level, text, r.magic));
        ASSERT_TRUE(s.round_trip(QUARN_TYPE_DSP, QUARN_LEVEL_ERROR, "mark\n", "mark\n")) << s.report();
        const std::size_t shown = r.colour.empty() ? 0 : 1;
        EXPECT_TRUE(count(s.out(), r.colour + text + RESET) == shown && count(s.out(), text) == shown) << text << s.out();
    }
    ASSERT_TRUE(s.sync());
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_TRUE(rows[i].stored < 0 || has(s.log("quarn.app"), "row " + std::to_string(i) + "\n") == (rows[i].stored == 1)) << i;
    // A header announcing 64 KiB or more ends its connection: nothing behind it is framed.
    const int conn = quarn_socket();
    ASSERT_TRUE(send_all(conn, make_record(QUARN_TYPE_APP, 3, std::string(65496, '!')) + make_record(QUARN_TYPE_APP, 3, "behind\n")));
    EXPECT_TRUE(s.wait_out("error package len[65536] \n") && s.settle() && !count(s.out(), "behind")) << s.out();
    close(conn);
}

// Sizes out of range are refused and change nothing; a failed open starts
// neither staging nor a kernel log thread.  The application batch goes in
// one write once more than 4096 - 1239 bytes wait, or at a sync; every text
// a record can carry (1239 bytes) is staged, and a longer record is counted.
// dsp_init opens quarn.dsp and stages DSP text in its own batches at its own
// print level; a sync writes every kind; a repeat cannot open the file
// again.  DSP and BSP text goes to quarn.app until its own file is open,
// then never again.  The application's print level is in
// the control word, set by application and BSP commands; a DSP level is not.
TEST(Commands, RefusalsStagingSyncLevelAndEachKindsFileDoWhatTheySay)
{
    KernelLogTurn turn;
    Server s({"1M", "4K", "1"});
    ASSERT_TRUE(turn.held() && s.up()) << s.report();
    EXPECT_TRUE(wait_until([] { return control_word() == 1u; })); // made once the server listens
    for (const std::string cmd : {"dsp_init 1023 0 3", "dsp_init 1073741825 0 3", "dsp_init -1 0 3", "dsp_init 4096 4096 3",
                                  "dsp_init 1073741824 4194305 3", "bsp_init 1023 1", "bsp_init -1 1"})
        EXPECT_TRUE(s.send(cmd[0] == 'd' ? QUARN_TYPE_DSP : QUARN_TYPE_APP, QUARN_LEVEL_CMD, cmd) && s.settle() &&
                    count(s.out(), "cmd:" + cmd + " refused")) << cmd;
    EXPECT_TRUE(s.round_trip(QUARN_TYPE_DSP, QUARN_LEVEL_DEBUG, "dsp level still 0\n", "dsp level still 0\n"));
    mkdir(s.file("quarn.bsp").c_str(), 0755);
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "bsp_init 65536 1") && s.settle());
    EXPECT_TRUE(s.wait_out("quarn_log_file_init QUARN_BSP_LOG_INIT failed.\n") && s.tid("klog_th 1") < 0) << s.out();
    EXPECT_TRUE(!std::filesystem::exists(s.file("quarn.dsp")) && std::filesystem::remove(s.file("quarn.bsp")));

    const std::string a(1000, 'a'), b(1000, 'b'), c(850, 'c'), longest(1239, 'L');
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, a) && s.send(QUARN_TYPE_APP, QUARN_LEVEL_WARN, b));
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_FILE, "dsp early\n")); // no DSP file yet
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, c) && s.settle());
    EXPECT_EQ(s.log("quarn.app"), "") << "2850 bytes must still wait";
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, longest) && s.settle());
    const std::string batch = a + b + c + longest;
    // Batches reach the file from the server's writer thread a moment after their lines were handled.
    EXPECT_TRUE(wait_until([&] { return s.log("quarn.app") == batch + END_MARK; })) << s.log("quarn.app");

    ASSERT_EQ(wait_exit(fork_client([] { quarn_msg_dsp_init(16384, 4096, 2); })), 0);
    EXPECT_TRUE(s.wait_out("logSize = 0x4000, syncSize = 0x1000, loglevel = 2\n" + opened(s, "quarn.dsp"))) << s.out();
    EXPECT_TRUE(wait_until([&] { return s.log("quarn.app") == batch + "dsp early\n" + END_MARK; })) << s.log("quarn.app");
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_INFO, "dsp info\n") && s.send(QUARN_TYPE_DSP, QUARN_LEVEL_WARN, "dsp warn\n"));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "app waits\n") && s.send(QUARN_TYPE_BSP, QUARN_LEVEL_FILE, "b1\n") && s.settle());
    EXPECT_EQ(s.log("quarn.dsp"), "");
    EXPECT_EQ(run_cli({"sync"}).status, 0); // writes every kind's waiting text
    EXPECT_TRUE(wait_until([&] { return s.log("quarn.dsp") == "dsp info\ndsp warn\n" + END_MARK; })) << s.log("quarn.dsp");
    EXPECT_EQ(s.log("quarn.app") + std::to_string(count(s.out(), "dsp info")) + std::to_string(count(s.out(), YELLOW + "dsp warn\n" + RESET)),
              batch + "dsp early\napp waits\nb1\n" + END_MARK + "01");
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 16384 4096 9") && s.settle());
    EXPECT_TRUE(s.wait_out("set loglevel=error(3)\nquarn_log_file_init QUARN_DSP_LOG_INIT failed.\n")) << s.out();

    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "bsp_init 65536 1") && s.wait_out(opened(s, "quarn.bsp")));
    ASSERT_TRUE(s.send(QUARN_TYPE_BSP, QUARN_LEVEL_FILE, "b2\n") && s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "a2\n") && s.sync());
    EXPECT_EQ(s.log("quarn.app"), batch + "dsp early\napp waits\nb1\na2\n" + END_MARK);
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, longest + "X")); // longer than a record may be
    EXPECT_TRUE(s.wait_out("[quarn]1 records dropped: longer than 1279 bytes")) << s.out();
    // The kernel log collector also copies whatever the machine's kernel
    // log holds unread, so only this test's own line is looked for.
    EXPECT_EQ(count("\n" + s.log("quarn.bsp"), "\nb2\n"), 1u) << s.log("quarn.bsp");
    ASSERT_TRUE(s.settle(2) && s.round_trip(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "level0", "logPrintLevel = 0 \n"));
    const std::optional<uint32_t> after_dsp = control_word();
    ASSERT_TRUE(s.round_trip(QUARN_TYPE_BSP, QUARN_LEVEL_CMD, "level3", "logPrintLevel = 3 \n"));
    EXPECT_TRUE(after_dsp == 2u && control_word() == 3u) << after_dsp.value_or(99);
}

// A console that no longer drains (a FIFO nobody reads) holds nothing
// back: every line is stored and synced meanwhile, the console skips what
// it cannot take, and once it drains it says how many lines it skipped;
// staged text is still written when the interval says.
TEST(Console, AStalledConsoleHoldsBackNoStorageNorTheIntervalAndCountsWhatItSkipped)
{
    TempDir tmp;
    const std::string fifo = tmp.file("console");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int console = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    Server s({"4M", "64K", "1"}, {.out = fifo}); // its console is not read until the end
    ASSERT_TRUE(s.up()) << s.err();
    std::string expected;
    const std::size_t lines = 3000;
    for (std::size_t i = 0; i < lines; ++i) {
        std::string text = "queued " + std::to_string(i) + " ";
        expected += text.append(99 - text.size(), '.') + "\n";
        ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, text + "\n"));
    }
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "sync"));
    EXPECT_TRUE(wait_until([&] { return s.log("quarn.app") == expected + END_MARK; })) << s.log("quarn.app").size();
    std::string shown;
    long skipped = -1;
    ASSERT_TRUE(wait_until([&] {
        const auto at = (shown += read_until_eof(console, 0)).find("[WARN][quarn]");
        return at != std::string::npos && sscanf(shown.c_str() + at, "[WARN][quarn]%ld lines not shown", &skipped) == 1;
    })) << shown.size();
    EXPECT_TRUE(count(shown, "queued ") + skipped == lines && skipped > 0) << skipped << s.err();
    // Text below the sync size is written within the interval and not
    // before it; an error line within a second.
    ASSERT_EQ(run_cli({"interval", "2"}).status, 0);
    using std::chrono::milliseconds; // level, text, written not before and by
    const std::tuple<int32_t, std::string, milliseconds, milliseconds> rows[] = {{QUARN_LEVEL_INFO, "info waits\n", 2s, 2s + 6s},
                                                                                {QUARN_LEVEL_ERROR, "error hurries\n", 0s, 1s + 4s}};
    for (const auto &[level, text, not_before, by] : rows) {
        const auto sent = std::chrono::steady_clock::now();
        ASSERT_TRUE(s.send(QUARN_TYPE_APP, level, text));
        EXPECT_TRUE(wait_until([&] { return count(s.log("quarn.app"), text) == 1; }, by)) << text;
        EXPECT_GE(std::chrono::steady_clock::now() - sent, not_before) << text;
    }
    EXPECT_EQ(s.stop(), 0) << s.err();
    close(console);
}

// More than one 64 KiB read of kernel lines in one period all reach
// quarn.bsp beside whole BSP-origin batches, and the kernel's buffer still
// holds them afterwards.
TEST(KernelLog, BurstOverSixtyFourKiBArrivesWholeAndStaysInTheKernel)
{
    if (access("/dev/kmsg", W_OK) != 0 || klogctl(9, nullptr, 0) < 0)
        GTEST_SKIP() << "cannot write /dev/kmsg or read the kernel log: " << strerror(errno);
    KernelLogTurn turn;
    Server s;
    ASSERT_TRUE(turn.held() && s.up()) << s.report();
    ASSERT_EQ(wait_exit(fork_client([] { quarn_msg_bsp_init(4194304, 5); })), 0);
    const std::string tag = "kburst-" + std::to_string(getpid()) + "-";
    ASSERT_TRUE(kmsg(tag + "start\n") && wait_until([&] { return count(s.log("quarn.bsp"), tag + "start"); }, 30s));
    const int lines = 80; // about 73 KB with the kernel's prefixes: few lines in the machine's kernel log
    for (int i = 0; i < lines; ++i) // BSP-origin batches share the file with the kernel's lines
        ASSERT_TRUE(kmsg(tag + std::to_string(i) + " " + std::string(880, 'k') + "\n") &&
                    (i % 9 || s.send(QUARN_TYPE_BSP, QUARN_LEVEL_FILE, "bline-" + std::to_string(i) + "\n")));
    EXPECT_TRUE(s.sync() && wait_until([&] { return count(s.log("quarn.bsp"), tag) == lines + 1u; }, 60s))
        << count(s.log("quarn.bsp"), tag) << " of " << lines + 1;
    const std::string log = "\n" + s.log("quarn.bsp");
    for (int i = 0; i < lines; i += 9)
        EXPECT_EQ(count(log, "\nbline-" + std::to_string(i) + "\n"), 1u) << "a batch torn or written over: " << i;
    EXPECT_TRUE(count(log, END_MARK) == 1 && log.ends_with(END_MARK));
    std::string kernel(static_cast<size_t>(klogctl(10, nullptr, 0)), '\0');
    kernel.resize(static_cast<size_t>(std::max(0, klogctl(3, kernel.data(), static_cast<int>(kernel.size())))));
    EXPECT_EQ(count(kernel, tag + std::to_string(lines - 1) + " "), 1u) << "the read cleared the kernel's buffer";
}

// 40 bytes, numbered so that order and loss show.
std::string line(int i)
{
    char text[64];
    snprintf(text, sizeof text, "[2024-05-01 10:00:00][INFO][t]line %04d\n", i);
    return text;
}

std::string lines(int from, int to)
{
    std::string text;
    for (int i = from; i < to; ++i)
        text += line(i);
    return text;
}

CliResult read_dir(const std::string &dir, std::vector<std::string> args = {})
{
    args.insert(args.begin(), "read");
    args.push_back(dir);
    return run_cli(args);
}

// Ten lines at a time, each group seen before the next, into a 2 KiB ring
// that wraps every 50 lines; then a restart, then a smaller restart that
// sends the file to its backup and starts afresh.  quarn read -f shows
// every line once in order; quarn read after each group shows whole lines
// oldest first, a blank line where the server restarted, and nothing of
// the marker or the line the wrap cut; --bak shows the file sent there
// first, as it lies.
// Each stop says what was stored and that nothing was lost.
TEST(ReadOrder, FollowAndReadKeepEveryLineInOrderAcrossWrapRestartAndBackup)
{
    TempDir tmp, logs;
    const std::string out = tmp.file("follow");
    ChildGuard reader{spawn_exec({QUARN_EXE, "read", "-fn", "10", "--no-color", logs.path}, {.out = out})};
    auto without_line_ends = [](std::string text) {
        std::erase(text, '\n'); // blank lines mark restarts; the lines themselves must stay whole
        return text;
    };
    std::string kept, shown, bak; // all the file had, with a blank line at a restart; what read shows; the backup
    int sent = 0;
    for (const std::size_t size : {2048, 2048, 1024}) {
        Server srv({std::to_string(size / 1024) + "K", "0K", "1"}, {}, logs.path);
        kept = size < 2048 ? (bak = shown, "") : kept + (sent ? "\n" : "");
        for (int round = 0; round < 12; ++round, sent += 10) {
            for (int i = sent; i < sent + 10; ++i)
                ASSERT_TRUE(srv.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, line(i)));
            ASSERT_TRUE(srv.sync());
            ASSERT_TRUE(wait_until([&] { return without_line_ends(read_file(out)) == without_line_ends(lines(0, sent + 10)); }, 60s))
                << read_file(out);
            kept += lines(sent, sent + 10), shown = read_dir(logs.path).out;
            const std::size_t cut = kept.size() - std::min(kept.size(), shown.size());
            ASSERT_TRUE(kept.ends_with(shown) && (cut == 0 || (kept[cut - 1] == '\n' && shown.size() + 2 * 40 + END_MARK.size() >= size)))
                << kept << "\nshown:\n" << shown;
        }
        EXPECT_TRUE(srv.stop() == 0 && has(srv.out(), "; stop with Ctrl-C or kill " + std::to_string(srv.pid()) + "\n") &&
                    srv.out().ends_with(" 4800 bytes stored (quarn.app 4800, quarn.bsp 0, quarn.dsp 0); lost: 0 records "
                                        "dropped, 0 bytes not stored, 0 connections shed\n"))
            << srv.out();
    }
    const std::string all = read_dir(logs.path, {"--bak"}).out; // the backup as it lies, then the file
    EXPECT_TRUE(!bak.empty() && all.ends_with(shown)) << all;
    for (int i = 0; i < sent; ++i)
        ASSERT_EQ(count(all, line(i)), count(bak + shown, line(i))) << i << "\n" << all;
    kill(reader.pid, SIGINT);
    EXPECT_EQ(wait_exit(std::exchange(reader.pid, -1)), 0);
}

// One set of lines, written by the server to the application and DSP
// files, read through each filter.
TEST(ReadFilter, EachOptionShowsExactlyItsLines)
{
    const std::string now = stamp_now();
    const std::string L1 = "[2024-05-01 10:00:01][INFO][net]link up\n", L2 = "[2024-05-01 10:00:02][WARN][disk]slow\n",
                      L3 = "[2024-05-01 10:00:03][ERROR][net]link down\n  retry 3\n",
                      L4 = "[2024-05-01 10:00:04]file only\n", L5 = now + "[DBUG][net]fresh\n",
                      D1 = "[2024-05-01 10:00:02][INFO][dsp]core up\n", D2 = "[2024-05-01 10:00:03][ERROR][dsp]fault\n",
                      P0 = "a sender of its own, no stamp\n";
    Server srv({"64K", "0K", "0"});
    // DSP lines go to quarn.app until quarn.dsp is open, which its own thread does.
    ASSERT_TRUE(srv.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 65536 0 1") && srv.wait_out(opened(srv, "quarn.dsp")));
    for (const auto &[type, level, text] : {std::tuple{QUARN_TYPE_APP, QUARN_LEVEL_FILE, P0},
                                            {QUARN_TYPE_APP, QUARN_LEVEL_INFO, L1},
                                            {QUARN_TYPE_APP, QUARN_LEVEL_WARN, L2},
                                            {QUARN_TYPE_DSP, QUARN_LEVEL_INFO, D1},
                                            {QUARN_TYPE_APP, QUARN_LEVEL_ERROR, L3},
                                            {QUARN_TYPE_DSP, QUARN_LEVEL_ERROR, D2},
                                            {QUARN_TYPE_APP, QUARN_LEVEL_FILE, L4},
                                            {QUARN_TYPE_APP, QUARN_LEVEL_INFO, L5}})
        ASSERT_TRUE(srv.send(type, level, text));
    ASSERT_TRUE(srv.sync());
    // the options, what quarn read shows, and its exit status
    const std::tuple<std::vector<std::string>, std::string, int> rows[] = {
        {{}, P0 + L1 + L2 + L3 + L4 + L5, 0}, // the first line of a file that never wrapped is whole
        {{"-p", "warn"}, L2 + L3, 0},                 // a continuation line goes with its entry
        {{"-p", "1"}, L1 + L2 + L3 + L4, 0},          // file-only lines count as info
        {{"-t", "net", "-t", "disk"}, L1 + L2 + L3 + L5, 0},
        {{"--since", "2024-05-01 10:00:02", "--until", "2024-05-01 10:00:03"}, L2 + L3, 0},
        {{"--since", "-10m"}, L5, 0},
        {{"-n", "2"}, L4 + L5, 0},
        {{"-k", "all", "-n", "7"}, L2 + D1 + L3 + D2 + L4 + L5, 0}, // merged by stamp, application first
        {{"-k", "dsp", "-p", "error"}, D2, 0},
        {{"-p", "loud"}, "", 1}, {{"-k", "kernel"}, "", 1},
        {{"-kdsp", "--priority=error"}, D2, 0},
        {{"--follow=yes", "-n1"}, "", 1},
        {{"--since", "2026-02-30 10:00:00"}, "", 1}, {{"--until", "2026-13-45"}, "", 1},
    };
    for (const auto &[args, out, status] : rows) {
        const CliResult got = read_dir(srv.dir(), args);
        EXPECT_EQ(got.out + "exit " + std::to_string(got.status) + (got.err.empty() ? "" : ", said why"),
                  out + "exit " + std::to_string(status) + (status ? ", said why" : ""))
            << (args.empty() ? "(none)" : args[0] + " " + args[1]) << ": " << got.err;
    }
    // Without a directory, and on a directory without log files: said which.
    TempDir empty;
    const Env logdir("QUARN_LOGDIR", srv.file("nonexistent"));
    for (const auto &[args, status, says] : {std::tuple{std::vector<std::string>{"read"}, 1, "nonexistent: No such file"},
                                             {{"read", "-k", "all", empty.path}, 0, "no quarn.app, quarn.dsp or quarn.bsp in"}}) {
        const CliResult got = run_cli(args);
        EXPECT_TRUE(got.status == status && got.err.find(says) != std::string::npos) << got.err;
    }
}

} // namespace
