// `quarn read` on log files the real server wrote: the order after a wrap,
// a restart and a file sent to its backup, follow across all three, and
// every filter on one set of lines.
#include "harness.h"

#include <ctime>
#include <utility>

namespace {

using namespace e2e;

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

bool send_lines(Server &s, int from, int to)
{
    bool ok = s.up();
    for (int i = from; i < to; ++i)
        ok = ok && s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, line(i));
    return ok && s.sync();
}

CliResult read_dir(const std::string &dir, std::vector<std::string> args = {})
{
    args.insert(args.begin(), "read");
    args.push_back(dir);
    return run_cli(args);
}

// A wrapped file shows whole lines oldest first, without marker or cut
// line; a restart keeps both runs in order; a file sent to its backup
// comes first with --bak.
TEST(ReadOrder, WrapAndRestartKeepTheOrderAndBackupComesFirstWithBak)
{
    QUARN_REQUIRE_ISOLATION();
    {
        Server wrapped({"2K", "0K", "1"});
        ASSERT_TRUE(send_lines(wrapped, 0, 120));
        const CliResult r = read_dir(wrapped.dir());
        const int oldest = r.out.size() > 36 ? std::atoi(r.out.c_str() + 35) : 0;
        // Only the line the wrap cut and the room the marker did not fit in go.
        EXPECT_TRUE(r.status == 0 && r.out == lines(oldest, 120) && r.out.size() + 2 * 40 + END_MARK.size() >= 2048) << r.out;
    }
    Server first({"4K", "0K", "1"});
    ASSERT_TRUE(send_lines(first, 0, 10));
    ASSERT_EQ(first.stop(), 0);
    EXPECT_EQ(count(first.out(), "; stop with Ctrl-C or kill " + std::to_string(first.pid()) + "\n") +
                  count(first.out(), " 400 bytes stored (quarn.app 400, quarn.bsp 0, quarn.dsp 0); lost: 0 records "
                                     "dropped, 0 bytes not stored, 0 connections shed\n"),
              2u) << first.out();
    Server again({"4K", "0K", "1"}, {}, first.dir());
    ASSERT_TRUE(send_lines(again, 10, 60));
    ASSERT_EQ(again.stop(), 0);
    // The marker's newline stays as the end of the last line before the
    // restart: a blank line marks it.
    EXPECT_EQ(read_dir(first.dir()).out, lines(0, 10) + "\n" + lines(10, 60));
    Server smaller({"2K", "0K", "1"}, {}, first.dir()); // the 2.4 KiB file goes to the backup
    ASSERT_TRUE(send_lines(smaller, 60, 65));
    EXPECT_EQ(read_dir(first.dir()).out + "--bak:\n" + read_dir(first.dir(), {"--bak"}).out,
              lines(60, 65) + "--bak:\n" + lines(0, 10) + "\n" + lines(10, 65));
}

// Ends a child process left running by a failed assertion.
struct ChildGuard {
    pid_t pid;
    ~ChildGuard()
    {
        if (pid > 0)
            kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    }
};

TEST(ReadFollow, EveryLineOnceInOrderAcrossWrapRestartAndBackup)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir tmp, logs;
    const std::string out = tmp.file("follow");
    ChildGuard reader{spawn_quarn({"read", "-fn", "10", "--no-color", logs.str()}, {.out = out})};
    auto without_line_ends = [](std::string text) {
        std::erase(text, '\n'); // blank lines mark restarts; the lines themselves must stay whole
        return text;
    };
    int sent = 0;
    // Ten lines at a time, each group seen before the next: a 2 KiB ring
    // wraps every 50 lines.  Then a restart, then a smaller restart that
    // sends the file to its backup and starts afresh.
    for (const char *size : {"2K", "2K", "1K"}) {
        Server srv({size, "0K", "1"}, {}, logs.str());
        for (int round = 0; round < 12; ++round, sent += 10) {
            ASSERT_TRUE(send_lines(srv, sent, sent + 10));
            ASSERT_TRUE(wait_until([&] { return without_line_ends(read_file(out)) == without_line_ends(lines(0, sent + 10)); }, 60s))
                << read_file(out);
        }
        ASSERT_EQ(srv.stop(), 0);
    }
    EXPECT_GT(e2e::count(read_file(logs.file("quarn.app.bak")), "line"), 0u);
    kill(reader.pid, SIGINT);
    EXPECT_EQ(wait_exit(std::exchange(reader.pid, -1)), 0);
}

// One set of lines, written by the server to the application and DSP
// files, read through each filter.
TEST(ReadFilter, EachOptionShowsExactlyItsLines)
{
    QUARN_REQUIRE_ISOLATION();
    const std::string now = stamp_now();
    const std::string L1 = "[2024-05-01 10:00:01][INFO][net]link up\n", L2 = "[2024-05-01 10:00:02][WARN][disk]slow\n",
                      L3 = "[2024-05-01 10:00:03][ERROR][net]link down\n  retry 3\n",
                      L4 = "[2024-05-01 10:00:04]file only\n", L5 = now + "[DBUG][net]fresh\n",
                      D1 = "[2024-05-01 10:00:02][INFO][dsp]core up\n", D2 = "[2024-05-01 10:00:03][ERROR][dsp]fault\n",
                      P0 = "a sender of its own, no stamp\n";
    Server srv({"64K", "0K", "0"});
    ASSERT_TRUE(srv.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 65536 0 1"));
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
    struct Row {
        std::vector<std::string> args;
        std::string out;
        int status;
    } rows[] = {
        {{}, P0 + L1 + L2 + L3 + L4 + L5, 0}, // the first line of a file that never wrapped is whole
        {{"-p", "warn"}, L2 + L3, 0},                 // a continuation line goes with its entry
        {{"-p", "1"}, L1 + L2 + L3 + L4, 0},          // file-only lines count as info
        {{"-t", "net", "-t", "disk"}, L1 + L2 + L3 + L5, 0},
        {{"--since", "2024-05-01 10:00:02", "--until", "2024-05-01 10:00:03"}, L2 + L3, 0},
        {{"--since", "-10m"}, L5, 0},
        {{"-n", "2"}, L4 + L5, 0},
        {{"-k", "all", "-n", "7"}, L2 + D1 + L3 + D2 + L4 + L5, 0}, // merged by stamp, application first
        {{"-k", "dsp", "-p", "error"}, D2, 0},
        {{"-p", "loud"}, "", 1},
        {{"-k", "kernel"}, "", 1},
        {{"-kdsp", "--priority=error"}, D2, 0},
        {{"--follow=yes", "-n1"}, "", 1},
        {{"--since", "2026-02-30 10:00:00"}, "", 1},
        {{"--until", "2026-13-45"}, "", 1},
    };
    for (const Row &r : rows) {
        const CliResult got = read_dir(srv.dir(), r.args);
        EXPECT_EQ(got.out + "exit " + std::to_string(got.status) + (got.err.empty() ? "" : ", said why"),
                  r.out + "exit " + std::to_string(r.status) + (r.status ? ", said why" : ""))
            << (r.args.empty() ? "(none)" : r.args[0] + " " + r.args[1]) << ": " << got.err;
    }
    // Without a directory, and on a directory without log files: said which.
    TempDir empty;
    const Env logdir("QUARN_LOGDIR", srv.file("nonexistent"));
    for (const auto &[args, status, says] : {std::tuple{std::vector<std::string>{"read"}, 1, "nonexistent: No such file"},
                                             {{"read", "-k", "all", empty.str()}, 0, "no quarn.app, quarn.dsp or quarn.bsp in"}}) {
        const CliResult got = run_cli(args);
        EXPECT_TRUE(got.status == status && got.err.find(says) != std::string::npos) << got.err;
    }
}

} // namespace
