// A soak: many client threads in several processes mix log records of every
// origin and level with every command the client library can send, for a
// while (QUARN_SOAK_SECONDS, 5 by default so that CI stays short), and a
// SIGTERM ends the server.  Run it under the ThreadSanitizer build to look
// for races: the harness fails the test on any report in the server's or a
// client's standard error.
#include "server_harness.h"

#include <atomic>
#include <set>
#include <thread>
#include <tuple>

using namespace e2e;

namespace {

constexpr int PROCESSES = 5, THREADS_EACH = 10; // 50 client threads, 5 connections at a time
const std::string PENDING = "pending at the stop\n";

int soak_seconds()
{
    const char *text = std::getenv("QUARN_SOAK_SECONDS");
    return text ? std::max(1, std::atoi(text)) : 5;
}

// One call of client thread t of process p, the n-th: mostly log records
// of every origin and level, every 20th a command.
void soak_call(int p, int t, int n, const std::string &dir)
{
    const int origin = n % 3, level = n / 3 % 5;
    if (n % 20 != 19) {
        quarn_msg_write_with_type(origin, level, "soak", "p%d t%d n%d\n", p, t, n);
        return;
    }
    switch (n / 20 % 6) {
    case 0: quarn_msg_write_with_type(origin, QUARN_LEVEL_CMD, "soak", "level%d", n % 4); break;
    case 1: quarn_msg_write_with_type(origin, QUARN_LEVEL_CMD, "soak", "sync"); break;
    case 2: quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_CMD, "soak", "redirect:%s/console-%d", dir.c_str(), p); break;
    case 3: quarn_msg_dsp_init(1 << 20, (n % 3) * 4096, n % 4); break;
    case 4: quarn_msg_bsp_init(1 << 20, 1); break;
    default: quarn_dsp_change_level(n % 4); break;
    }
}

// Body of client process p: its threads call until the deadline.  Each
// call is followed by a millisecond's pause that shapes the load (some
// 50,000 calls a second in all) so that the server, not the machine, is
// what is soaked.
// At the end it prints "calls <n>" with the number of calls made.
void soak_process(int p, std::chrono::steady_clock::time_point until, const std::string &dir)
{
    std::atomic<long> calls{0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < THREADS_EACH; ++t)
            threads.emplace_back([=, &calls] {
                int n = 0;
                for (; std::chrono::steady_clock::now() < until; ++n) {
                    soak_call(p, t, n, dir);
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                calls += n;
            });
    }
    std::printf("calls %ld\n", calls.load());
}

// Sum of the numbers behind word in text.
long total(const std::string &text, const std::string &word)
{
    long sum = 0;
    for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        sum += std::atol(text.c_str() + at + word.size());
    return sum;
}

// The log file's text in order of age: behind the marker the oldest kept,
// in front of it the newest.
std::string in_order(const std::string &file)
{
    const auto mark = file.find(END_MARK);
    if (mark == std::string::npos)
        return ADD_FAILURE() << "no end marker", "";
    EXPECT_EQ(file.find(END_MARK, mark + 1), std::string::npos) << "two end markers";
    return file.substr(mark + END_MARK.size()) + file.substr(0, mark);
}

// True for a line as a soak client formats it, stamped, for a stored level;
// its (process, thread, call) goes to id.
bool soak_line(std::string_view line, std::tuple<int, int, int> &id)
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

// Every line but the first (which the ring may have cut) is whole, came
// from a soak client, and came once; the pending text ends the file.
// Returns how many lines were checked.
std::size_t expect_whole_lines(const std::string &file, const std::string &pending)
{
    const std::string text = in_order(file);
    if (!text.ends_with(pending))
        return ADD_FAILURE() << "the pending text is missing at the end of\n"
                             << text.substr(text.size() - std::min<std::size_t>(text.size(), 300)), 0;
    std::set<std::tuple<int, int, int>> seen;
    std::size_t lines = 0;
    for (auto at = text.find('\n') + 1, end = text.size() - pending.size(); at < end; ++lines) {
        const auto eol = text.find('\n', at);
        std::tuple<int, int, int> id;
        const std::string_view line(text.data() + at, eol - at);
        if (!soak_line(line, id) || !seen.insert(id).second)
            return ADD_FAILURE() << "torn, foreign or repeated after " << lines << " lines: " << line, lines;
        at = eol + 1;
    }
    EXPECT_GT(lines, 0u);
    return lines;
}

// 50 client threads for the soak's duration, then a SIGTERM: the server
// must end with status 0, every stored line whole and once, the text that
// still waited in the staging buffers written, and no sanitizer report.
TEST(Soak, ClientThreadsMixingRecordsAndCommandsThenSigtermLeaveWholeFiles)
{
    QUARN_REQUIRE_ISOLATION();
    KernelLogTurn turn; // bsp_init starts the kernel log thread
    Server s({"4M", "64K", "1"});
    ASSERT_TRUE(turn.held() && s.up()) << s.report();
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
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 65536 1"));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "sync") && s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "sync"));
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, PENDING));
    ASSERT_TRUE(s.send(QUARN_TYPE_DSP, QUARN_LEVEL_INFO, "dsp " + PENDING) && s.settle(1)) << s.report();
    ASSERT_FALSE(s.log("quarn.app").ends_with(PENDING + END_MARK)) << "written before the stop";
    EXPECT_EQ(s.threads("klog_th 1"), 1u) << "bsp_init did not start the kernel log thread";
    EXPECT_EQ(s.stop(), 0) << s.report();
    const std::size_t app_lines = expect_whole_lines(s.log("quarn.app"), PENDING);
    const std::size_t dsp_lines = expect_whole_lines(s.log("quarn.dsp"), "dsp " + PENDING);
    const std::string bsp = s.log("quarn.bsp"); // the kernel may have logged nothing
    EXPECT_TRUE(bsp.empty() || (count(bsp, END_MARK) == 1 && bsp.ends_with(END_MARK))) << bsp.size();
    std::printf("soak of %d s: %ld client calls, %zu application and %zu DSP lines checked whole\n", soak_seconds(),
                total(read_file(s.file("client.out")), "calls "), app_lines, dsp_lines);
}

} // namespace
