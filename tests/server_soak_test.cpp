// A soak: many client threads in several processes mix log records of every
// origin and level with every command the client library can send, for a
// while (QUARN_SOAK_SECONDS, 5 by default so that CI stays short), and a
// SIGTERM ends the server.  Run it under the ThreadSanitizer build to look
// for races: the harness fails the test on any report in the server's or a
// client's standard error.
#include "server_harness.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <set>
#include <thread>
#include <tuple>

using namespace e2e;

namespace {

constexpr int PROCESSES = 5, THREADS_EACH = 10; // 50 client threads, 5 connections at a time
const std::string PENDING = "pending at the stop\n";

using line_id = std::tuple<int, int, int>; // process, thread and call that made a line
using line_set = std::set<line_id>;

int soak_seconds()
{
    const char *text = std::getenv("QUARN_SOAK_SECONDS");
    return text ? std::max(1, std::atoi(text)) : 5;
}

int soak_origin(int n) { return n % 3; }
int soak_level(int n) { return n % 20 == 19 ? QUARN_LEVEL_CMD : n / 3 % 5; }

// The log file that the n-th call of a client thread stores a line in:
// QUARN_APP_LOG_INIT or QUARN_DSP_LOG_INIT, or -1 for none.
int soak_file(int n)
{
    const int level = soak_level(n);
    if (level < QUARN_LEVEL_INFO || level > QUARN_LEVEL_FILE)
        return -1;
    return soak_origin(n) == QUARN_DSP_LOG_INIT ? QUARN_DSP_LOG_INIT : QUARN_APP_LOG_INIT;
}

// One call of client thread t of process p, the n-th: mostly log records
// of every origin and level, every 20th a command.
void soak_call(int p, int t, int n, const std::string &dir)
{
    const int origin = soak_origin(n), level = soak_level(n);
    if (level != QUARN_LEVEL_CMD) {
        quarn_msg_write_with_type(origin, level, "soak", "p%d t%d n%d\n", p, t, n);
        return;
    }
    const int round = n / 120; // each command once a round, with origins and levels changing from round to round
    switch (n / 20 % 6) {
    case 0: quarn_msg_write_with_type(round % 3, QUARN_LEVEL_CMD, "soak", "level%d", round % 4); break;
    case 1: quarn_msg_write_with_type(round % 3, QUARN_LEVEL_CMD, "soak", "sync"); break;
    case 2: quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_CMD, "soak", "redirect:%s/console-%d", dir.c_str(), p); break;
    case 3: quarn_msg_dsp_init(1 << 26, (round % 3 + 1) * 4096, round % 4); break; // 0K would fsync every line
    case 4: quarn_msg_bsp_init(1 << 20, 1); break;
    default: quarn_dsp_change_level(round % 4); break;
    }
}

// Body of client process p: its threads call until the deadline.  Each
// call is followed by a millisecond's pause that shapes the load (some
// 50,000 calls a second in all) so that the server, not the machine, is
// what is soaked.  At the end it prints "calls <p> <t> <n>" for each thread
// t with the number of calls n it made.
void soak_process(int p, std::chrono::steady_clock::time_point until, const std::string &dir)
{
    int calls[THREADS_EACH] = {};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < THREADS_EACH; ++t)
            threads.emplace_back([=, &calls] {
                int n = 0;
                for (; std::chrono::steady_clock::now() < until; ++n) {
                    soak_call(p, t, n, dir);
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                calls[t] = n;
            });
    }
    for (int t = 0; t < THREADS_EACH; ++t)
        std::printf("calls %d %d %d\n", p, t, calls[t]);
}

// The lines the client threads stored, per log file, from what they told
// (indexed by QUARN_*_LOG_INIT), and how many calls they made in all.
std::pair<std::array<line_set, 3>, long> soak_expected(const std::string &told)
{
    std::array<line_set, 3> lines;
    long calls = 0;
    for (auto at = told.find("calls "); at != std::string::npos; at = told.find("calls ", at + 1)) {
        int p = 0, t = 0, made = 0;
        if (std::sscanf(told.c_str() + at, "calls %d %d %d", &p, &t, &made) != 3)
            continue;
        calls += made;
        for (int n = 0; n < made; ++n)
            if (soak_file(n) >= 0)
                lines[soak_file(n)].insert({p, t, n});
    }
    return {lines, calls};
}

// The log file's text in order of age: behind the marker the oldest kept,
// in front of it the newest; *wrapped tells whether there was any behind.
std::string in_order(const std::string &file, bool *wrapped)
{
    const auto mark = file.find(END_MARK);
    if (mark == std::string::npos)
        return ADD_FAILURE() << "no end marker", "";
    EXPECT_EQ(file.find(END_MARK, mark + 1), std::string::npos) << "two end markers";
    *wrapped = mark + END_MARK.size() < file.size();
    return file.substr(mark + END_MARK.size()) + file.substr(0, mark);
}

// True for a line as a soak client formats it, stamped, for a stored level;
// its maker goes to id.
bool soak_line(std::string_view line, line_id &id)
{
    if (line.size() < 22 || line[0] != '[' || line[20] != ']')
        return false;
    line.remove_prefix(21);
    for (std::string_view label : {"[INFO][soak]", "[WARN][soak]", "[ERROR][soak]"})
        if (line.starts_with(label))
            line.remove_prefix(label.size());
    auto &[p, t, n] = id;
    int used = 0;
    const std::string text(line);
    return std::sscanf(text.c_str(), "p%d t%d n%d%n", &p, &t, &n, &used) == 3 && used == static_cast<int>(text.size());
}

// The lines of a log file, each of which must be whole, from a soak client
// and there once, with the pending text at the end.  The oldest line is
// left out when the file wrapped (the ring may have cut it); *wrapped says so.
line_set whole_lines(const std::string &file, const std::string &pending, bool *wrapped)
{
    const std::string text = in_order(file, wrapped);
    line_set seen;
    if (!text.ends_with(pending))
        return ADD_FAILURE() << "the pending text is missing at the end of\n"
                             << text.substr(text.size() - std::min<std::size_t>(text.size(), 300)), seen;
    for (auto at = *wrapped ? text.find('\n') + 1 : 0, end = text.size() - pending.size(); at < end;) {
        const auto eol = text.find('\n', at);
        line_id id;
        const std::string_view line(text.data() + at, eol - at);
        if (!soak_line(line, id) || !seen.insert(id).second)
            return ADD_FAILURE() << "torn, foreign or repeated after " << seen.size() << " lines: " << line, seen;
        at = eol + 1;
    }
    EXPECT_FALSE(seen.empty());
    return seen;
}

// Sum of the numbers behind word in text.
std::size_t total(const std::string &text, const std::string &word)
{
    std::size_t sum = 0;
    for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        sum += std::strtoul(text.c_str() + at + word.size(), nullptr, 10);
    return sum;
}

// Records reported lost on the way in: each failed connect or send at a
// client, and what the full ring refused (an overload prints one line at
// its first refusal and, when it refused more than one, the count at its end).
std::size_t reported_losses(const std::string &told, const std::string &out)
{
    const std::string counted = "quarn cycle buff was full: ";
    return count(told, "connect failed") + count(told, "send failed") + count(out, "quarn cycle buff is full !") -
           count(out, counted) + total(out, counted);
}

// How many expected lines the file lacks (none are looked for when it
// wrapped); a line in it that no client stored fails the test.
std::size_t missing_lines(const line_set &seen, const line_set &expected, bool wrapped, const char *file)
{
    std::vector<line_id> foreign, missing;
    std::ranges::set_difference(seen, expected, std::back_inserter(foreign));
    EXPECT_TRUE(foreign.empty()) << foreign.size() << " lines in " << file << " that no client stored";
    if (wrapped)
        return std::printf("%s wrapped: lines lost to the ring not looked for\n", file), 0;
    std::ranges::set_difference(expected, seen, std::back_inserter(missing));
    return missing.size();
}

// 50 client threads for the soak's duration, then a SIGTERM: the server
// must end with status 0, every stored line whole and once, the text that
// still waited in the staging buffers written, and no sanitizer report.
// Every line the clients stored must be in the files, but for as many as
// were reported lost on the way in (a failed send, a full ring).
TEST(Soak, ClientThreadsMixingRecordsAndCommandsThenSigtermLoseNoLineUnreported)
{
    QUARN_REQUIRE_ISOLATION();
    KernelLogTurn turn; // bsp_init starts the kernel log thread
    Server s({"64M", "64K", "1"});
    ASSERT_TRUE(turn.held() && s.up()) << s.report();
    // DSP text is staged from the first record on.
    ASSERT_TRUE(s.round_trip(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 67108864 65536 1", "quarn.dsp open !!!\n"));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(soak_seconds());
    std::vector<pid_t> clients;
    for (int p = 0; p < PROCESSES; ++p) {
        const ChildIo io{.out = s.file("client.out"), .err = s.file("client" + std::to_string(p) + ".err")};
        clients.push_back(spawn(io, [&] { soak_process(p, until, s.dir()), fflush(nullptr), _exit(0); }));
    }
    for (int p = 0; p < PROCESSES; ++p) {
        EXPECT_EQ(wait_exit(clients[p], std::chrono::seconds(soak_seconds() + 120)), 0);
        expect_no_sanitizer_report(read_file(s.file("client" + std::to_string(p) + ".err")), "a client");
    }
    ASSERT_TRUE(wait_until([&] { return s.threads("quarn_sv_rv") == 1; }, 120s)) << "client connections still open";

    // Empty both batches, then leave one text waiting in each.
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 67108864 65536 1"));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "sync") && s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "sync"));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, PENDING));
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_INFO, "dsp " + PENDING) && s.settle(1)) << s.report();
    ASSERT_FALSE(s.log("quarn.app").ends_with(PENDING + END_MARK)) << "written before the stop";
    EXPECT_EQ(s.threads("klog_th 1"), 1u) << "bsp_init did not start the kernel log thread";
    EXPECT_EQ(s.stop(), 0) << s.report();

    bool app_wrapped = false, dsp_wrapped = false;
    const line_set app = whole_lines(s.log("quarn.app"), PENDING, &app_wrapped);
    const line_set dsp = whole_lines(s.log("quarn.dsp"), "dsp " + PENDING, &dsp_wrapped);
    const std::string bsp = s.log("quarn.bsp"); // the kernel may have logged nothing
    EXPECT_TRUE(bsp.empty() || count(bsp, END_MARK) == 1) << bsp.size();
    const std::string told = read_file(s.file("client.out"));
    const auto [expected, calls] = soak_expected(told);
    const std::size_t lost = reported_losses(told, s.out());
    const std::size_t missing = missing_lines(app, expected[QUARN_APP_LOG_INIT], app_wrapped, "quarn.app") +
                                missing_lines(dsp, expected[QUARN_DSP_LOG_INIT], dsp_wrapped, "quarn.dsp");
    std::printf("soak of %d s: %ld client calls, %zu application and %zu DSP lines whole; %zu stored lines "
                "missing, %zu records reported lost\n",
                soak_seconds(), calls, app.size(), dsp.size(), missing, lost);
    EXPECT_LE(missing, lost) << "lines lost without a word";
}

} // namespace
