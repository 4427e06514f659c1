// `quarn read` on log files the real server wrote: the order after a wrap,
// a restart and a file sent to its backup, with and without follow, and
// every filter on one set of lines.
#include "harness.h"

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

// Ends a child process left running by a failed assertion.
struct ChildGuard {
    pid_t pid;
    ~ChildGuard()
    {
        if (pid > 0)
            kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    }
};

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
    ChildGuard reader{spawn_quarn({"read", "-fn", "10", "--no-color", logs.str()}, {.out = out})};
    auto without_line_ends = [](std::string text) {
        std::erase(text, '\n'); // blank lines mark restarts; the lines themselves must stay whole
        return text;
    };
    std::string kept, shown, bak; // all the file had, with a blank line at a restart; what read shows; the backup
    int sent = 0;
    for (const std::size_t size : {2048, 2048, 1024}) {
        Server srv({std::to_string(size / 1024) + "K", "0K", "1"}, {}, logs.str());
        kept = size < 2048 ? (bak = shown, "") : kept + (sent ? "\n" : "");
        for (int round = 0; round < 12; ++round, sent += 10) {
            ASSERT_TRUE(send_lines(srv, sent, sent + 10));
            ASSERT_TRUE(wait_until([&] { return without_line_ends(read_file(out)) == without_line_ends(lines(0, sent + 10)); }, 60s))
                << read_file(out);
            kept += lines(sent, sent + 10), shown = read_dir(logs.str()).out;
            const std::size_t cut = kept.size() - std::min(kept.size(), shown.size());
            ASSERT_TRUE(kept.ends_with(shown) && (cut == 0 || (kept[cut - 1] == '\n' && shown.size() + 2 * 40 + END_MARK.size() >= size)))
                << kept << "\nshown:\n" << shown;
        }
        const int status = srv.stop();
        EXPECT_TRUE(status == 0 && has(srv.out(), "; stop with Ctrl-C or kill " + std::to_string(srv.pid()) + "\n") &&
                    srv.out().ends_with(" 4800 bytes stored (quarn.app 4800, quarn.bsp 0, quarn.dsp 0); lost: 0 records "
                                        "dropped, 0 bytes not stored, 0 connections shed\n"))
            << srv.out();
    }
    const std::string all = read_dir(logs.str(), {"--bak"}).out; // the backup as it lies, then the file
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
