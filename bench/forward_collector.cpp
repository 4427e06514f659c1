// The collector of the forwarding measurement: a local rsyslog that takes
// RFC 5424 over TCP, parses every message and discards the benchmark's
// lines by their MSGID.  In the field the collector runs on another
// machine; here it shares the cores, so it does as little as a real
// collector can.
#include "forward_collector.h"

#include "burst_common.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>

#include <filesystem>

namespace burst {

namespace {

constexpr char RSYSLOGD[] = "/usr/sbin/rsyslogd";
constexpr int PORT = 5514;
constexpr int SINK_PORT = 5515;

// Fresh network namespaces start with loopback down.
void _loopback_up_()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    strcpy(ifr.ifr_name, "lo");
    if (ioctl(fd, SIOCGIFFLAGS, &ifr) != 0 || (ifr.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &ifr)) != 0)
        die_errno("bringing up lo");
    close(fd);
}

bool _listening_(int port = PORT)
{
    sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

} // namespace

std::vector<std::string> forwarding(const std::string &target, std::vector<std::string> argv)
{
    argv.insert(argv.begin(), {"/usr/bin/env", "QUARN_FORWARD=" + target});
    return argv;
}

bool forward_collector_available()
{
    return access(RSYSLOGD, X_OK) == 0;
}

forward_collector::forward_collector() : dir_("/dev/shm/quarn-burst-rsyslog-" + std::to_string(getpid()))
{
    _loopback_up_();
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ + "/conf") << "global(workDirectory=\"" << dir_ << "\")\n"
                                  << "module(load=\"imtcp\")\n"
                                  << "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" << PORT << "\")\n"
                                  << "if $msgid == \"bench\" then stop\n"
                                  << "action(type=\"omfile\" file=\"" << dir_ << "/other\")\n";
    const std::string conf = dir_ + "/conf", pid = dir_ + "/pid";
    pid_ = fork_child(dir_ + "/rsyslog.out", [&] {
        execl(RSYSLOGD, RSYSLOGD, "-n", "-f", conf.c_str(), "-i", pid.c_str(), nullptr);
        _exit(127);
    });
    for (int i = 0; i < 200 && !_listening_(); ++i)
        usleep(50 * 1000);
    if (!_listening_())
        die("rsyslogd did not listen on 127.0.0.1:" + std::to_string(PORT));
    target = "tcp://127.0.0.1:" + std::to_string(PORT);
}

forward_collector::~forward_collector()
{
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    std::filesystem::remove_all(dir_);
}

forward_sink::forward_sink()
{
    _loopback_up_();
    pid_ = fork_child("/dev/null", [] {
        const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{AF_INET, htons(SINK_PORT), {htonl(INADDR_LOOPBACK)}, {}};
        if (bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listener, 8) != 0)
            _exit(1);
        // One connection at a time: the server keeps one.
        static char buf[1 << 16];
        for (;;) {
            const int fd = accept(listener, nullptr, nullptr);
            while (fd >= 0 && read(fd, buf, sizeof buf) > 0) {
            }
            close(fd);
        }
    });
    for (int i = 0; i < 200 && !_listening_(SINK_PORT); ++i)
        usleep(10 * 1000);
    if (!_listening_(SINK_PORT))
        die("the sink did not listen on 127.0.0.1:" + std::to_string(SINK_PORT));
    target = "tcp://127.0.0.1:" + std::to_string(SINK_PORT);
}

forward_sink::~forward_sink()
{
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

} // namespace burst
