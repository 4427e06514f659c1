// quarn_fairness: one flooder at full speed beside one quiet client that
// sends 100 lines a second, both through the library, for 10 s.  The quiet
// client must lose nothing, and every record the flooder lost must be
// counted: by the server's loss lines or by the library's own.  The quiet
// client goes through the library; the flooder sends prepared records
// itself, faster than the library's call.
//   quarn_fairness [LOGDIR_BASE]   (default /dev/shm; run in fresh net and IPC
//                                   namespaces, as tools/run-bench does)
#include "burst_common.h"

#include <filesystem>
#include <functional>

namespace {

using namespace burst;

constexpr int SECONDS = 10;
constexpr int QUIET_RATE = 100; // lines a second

// Sends until the deadline as fast as the connection takes it: 400 short
// records a call (the log holds what the server stores in 10 s), on a blocking connection, so that nothing is
// lost before the server.  The number of records goes to the pipe.
[[noreturn]] void flooder(int64_t until, int out)
{
    std::string batch;
    for (int i = 0; i < 400; ++i)
        batch += make_record(QUARN_LEVEL_FILE, "flood", "[2024-01-31 09:05:07]flood\n");
    const int fd = connect_server();
    uint64_t sent = 0;
    for (; now_ns() < until; sent += 400)
        for (size_t at = 0; at < batch.size();) {
            const ssize_t n = send(fd, batch.data() + at, batch.size() - at, MSG_NOSIGNAL);
            if (n <= 0)
                die_errno("flood send");
            at += static_cast<size_t>(n);
        }
    close(fd);
    if (write(out, &sent, sizeof sent) != sizeof sent)
        _exit(1);
    _exit(0);
}

[[noreturn]] void quiet(int64_t until, int out)
{
    uint64_t sent = 0;
    for (int64_t next = now_ns(); next < until; next += 1000 * MS / QUIET_RATE) {
        sleep_until(next);
        quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_FILE, "quiet", "quiet %llu\n",
                                  static_cast<unsigned long long>(sent++));
    }
    if (write(out, &sent, sizeof sent) != sizeof sent)
        _exit(1);
    _exit(0);
}

pid_t start(const std::function<void()> &body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        freopen("/dev/null", "w", stdout); // where the library says why a record was lost
        body();
    }
    return pid;
}

// The sum of N over the loss lines "[quarn]N<words>" of the log.
uint64_t sum_of(const std::string &log, const std::string &words)
{
    uint64_t n = 0;
    for (size_t at = log.find("[quarn]"); at != std::string::npos; at = log.find("[quarn]", at + 1)) {
        char *end = nullptr;
        const unsigned long long k = strtoull(log.c_str() + at + 7, &end, 10);
        if (end && log.compare(static_cast<size_t>(end - log.c_str()), words.size(), words) == 0)
            n += k;
    }
    return n;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string dir = fresh_dir(argc > 1 ? argv[1] : "/dev/shm");
    const pid_t server = fork();
    if (server == 0) {
        freopen((dir + ".out").c_str(), "w", stdout);
        execl(QUARN_EXE, QUARN_EXE, dir.c_str(), "4000M", "64K", "1", nullptr);
        _exit(127);
    }
    for (int fd; (fd = connect_server()) < 0;)
        sleep_ns(10 * MS);
    int flood_pipe[2], quiet_pipe[2];
    if (pipe(flood_pipe) != 0 || pipe(quiet_pipe) != 0)
        die_errno("pipe");
    const int64_t until = now_ns() + SECONDS * 1000 * MS;
    const pid_t flood = start([&] { flooder(until, flood_pipe[1]); });
    const pid_t calm = start([&] { quiet(until, quiet_pipe[1]); });
    uint64_t flood_sent = 0, quiet_sent = 0;
    if (read(flood_pipe[0], &flood_sent, sizeof flood_sent) != sizeof flood_sent ||
        read(quiet_pipe[0], &quiet_sent, sizeof quiet_sent) != sizeof quiet_sent)
        die("a sender did not report");
    waitpid(flood, nullptr, 0), waitpid(calm, nullptr, 0);
    kill(server, SIGTERM); // the orderly stop stores every loss line
    waitpid(server, nullptr, 0);
    const std::string log = read_whole(dir + "/quarn.app");
    const auto lines = [&](const char *prefix) {
        uint64_t n = 0;
        for (size_t at = log.find(prefix); at != std::string::npos; at = log.find(prefix, at + 1))
            ++n;
        return n;
    };
    const uint64_t quiet_got = lines("]quiet "), flood_got = lines("]flood\n");
    const uint64_t server_counted = sum_of(log, " records dropped: "), client_counted = sum_of(log, " records lost: ");
    printf("quiet client: %llu lines sent, %llu stored, %llu lost\n", static_cast<unsigned long long>(quiet_sent),
           static_cast<unsigned long long>(quiet_got), static_cast<unsigned long long>(quiet_sent - quiet_got));
    printf("flooder: %llu lines sent, %llu stored, %llu lost; counted: %llu by the server, %llu by the library "
           "(%llu uncounted)\n",
           static_cast<unsigned long long>(flood_sent), static_cast<unsigned long long>(flood_got),
           static_cast<unsigned long long>(flood_sent - flood_got), static_cast<unsigned long long>(server_counted),
           static_cast<unsigned long long>(client_counted),
           static_cast<unsigned long long>(flood_sent - flood_got - server_counted - client_counted));
    std::filesystem::remove_all(dir);
    std::filesystem::remove(dir + ".out");
    return quiet_got == quiet_sent && flood_sent == flood_got + server_counted + client_counted ? 0 : 1;
}
