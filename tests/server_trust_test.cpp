// The trust boundary, tried as a hostile user would: every hostile step runs
// as the unprivileged user nobody (setpriv), against a root server.
#include "harness.h"

#include <sys/ipc.h>
#include <sys/stat.h>

#include <regex>

namespace {

using namespace e2e;
using std::string;

constexpr uid_t NOBODY = 65534;


// ---- the hostile side: this binary again, as nobody, in the mode QUARN_HOSTILE names ----

// send N: sends standard input on one connection, then shows the first N
// reply lines.  listen: takes the socket name and shows all it receives.
// hold N: N connections, each sending standard input once, held open.
// shm: makes the control word before the server does.
[[noreturn]] void hostile_main(const string &mode) // "send 9": the mode, then its N
{
    string in;
    char buf[65536];
    for (ssize_t k; (k = read(0, buf, sizeof buf)) > 0;)
        in.append(buf, size_t(k));
    const int n = atoi(mode.c_str() + mode.find(' ') + 1);
    if (mode.starts_with("send")) {
        const int fd = quarn_socket();
        string got;
        pollfd p{fd, POLLIN, 0};
        for (ssize_t k = send_all(fd, in); count(got, "\n") < size_t(n) && poll(&p, 1, 10000) == 1 &&
                                             (k = recv(fd, buf, sizeof buf, 0)) > 0;)
            got.append(buf, size_t(k));
        fputs(got.c_str(), stdout);
    } else if (mode.starts_with("listen")) {
        const int fd = quarn_socket(0, true);
        for (int c; (c = accept(fd, nullptr, nullptr)) >= 0; close(c))
            if (const string got = read_until_eof(c, 500); write(1, got.data(), got.size()) < 0)
                break;
    } else if (mode.starts_with("hold")) {
        for (int i = 0; i < n; ++i)
            send_all(quarn_socket(), in);
        pause();
    } else if (mode.starts_with("shm")) {
        void *word = shmat(shmget(QUARN_CTRL_KEY, 4, IPC_CREAT | 0666), nullptr, 0);
        _exit(word == reinterpret_cast<void *>(-1) ? 1 : (*static_cast<uint32_t *>(word) = 0));
    }
    fflush(stdout);
    _exit(0);
}

[[maybe_unused]] const bool g_hostile = getenv("QUARN_HOSTILE") && (hostile_main(getenv("QUARN_HOSTILE")), true);

// Starts args as nobody: a hostile mode of this binary, or "quarn" and its
// command line; standard input from the file in, output to out.
pid_t as_nobody(std::vector<string> args, const string &out, const string &in = "")
{
    const Env mode("QUARN_HOSTILE", args.size() > 1 ? args[0] + " " + args[1] : args[0]); // the real executable ignores it
    args[0] = args[0] == "quarn" ? QUARN_EXE : program_invocation_name; // this binary, as it was started
    args.insert(args.begin(), AS_NOBODY.begin(), AS_NOBODY.end());
    return spawn_exec(args, {.in = in, .out = out});
}

// Runs args as nobody to its end: exit code and output.
string nobody(const std::vector<string> &args, const string &in = "")
{
    TempDir t;
    write_file(t.file("in"), in);
    const int status = wait_exit(as_nobody(args, t.file("out"), t.file("in")));
    return std::to_string(status) + " " + read_file(t.file("out"));
}

string line(uint16_t type, const string &text, int32_t level = QUARN_LEVEL_INFO, const char *tag = "x")
{
    return make_record(type, level, stamp_now() + "[INFO][" + tag + "]" + text + "\n", QUARN_MSG_MAGIC, tag);
}

// Nobody may command a root server: each command is refused, said once on
// the server's output and counted, and changes nothing; root's commands
// answer, and root's sync returns once the waiting text is written.
TEST(Trust, CommandsOfOthersAreRefusedAndChangeNothing)
{
    Server s({"1M", "64K", "1"});
    ASSERT_TRUE(s.up() && s.send(QUARN_TYPE_APP, QUARN_LEVEL_CMD, "interval 0") &&
                s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "waiting\n") && s.settle())
        << s.report();
    string seen;
    for (const std::vector<string> &cli : {std::vector<string>{"quarn", "sync"}, {"quarn", "level", "3"},
                                           {"quarn", "interval", "0"}, {"quarn", "stats"}})
        seen += nobody(cli);
    seen += nobody({"send", "2"}, command("dsp_init 1048576 65536 0", QUARN_TYPE_DSP) + command("bsp_init 1048576 1", QUARN_TYPE_BSP));
    EXPECT_EQ(seen, "1 refused\n1 refused\n1 refused\n1 refused\n0 refused\nrefused\n");
    const CliResult stats = run_cli({"stats"});
    EXPECT_TRUE(stats.status == 0 && has(stats.out, "commands refused 6;") && count(s.out(), "(uid 65534) refused") == 1 &&
                !has(s.out(), "logSize") && control_word() == 1u && s.log("quarn.app").empty() &&
                !std::filesystem::exists(s.file("quarn.dsp")) && !std::filesystem::exists(s.file("quarn.bsp")))
        << stats.out << s.report();
    const CliResult sync = run_cli({"sync"});
    EXPECT_TRUE(sync.status == 0 && sync.out == "done\n" && s.log("quarn.app").starts_with("waiting\n")) << sync.out;
}

// Whoever takes the name first is named by the server, which ends, and
// gets no record of anyone but its own user.
TEST(Trust, ASquatterIsNamedAndReceivesOnlyItsOwnUsersLines)
{
    TempDir t;
    const ChildGuard squatter{as_nobody({"listen"}, t.file("got"))};
    ASSERT_TRUE(wait_until([] { return close(quarn_socket()) == 0; }));
    const CliResult server = run_cli({t.file("logs"), "1M", "0K", "1"});
    ASSERT_EQ(wait_exit(fork_client([] { quarn_msg_write_with_type(0, QUARN_LEVEL_INFO, "root", "secret\n"); }, t.file("root"))), 0);
    EXPECT_EQ(nobody({"quarn", "log", "-t", "mine", "own"}), "0 "); // through the client library
    EXPECT_TRUE(wait_until([&] { return has(read_file(t.file("got")), "[mine]own\n"); })) << server.out;
    EXPECT_TRUE(server.status == 1 && has(server.out, "taken by pid " + std::to_string(squatter.pid) + " (uid 65534)") &&
                !has(read_file(t.file("got")), "secret") && read_file(t.file("root")) == "connect failed: Operation not permitted\n")
        << server.out << read_file(t.file("root"));
}

// Even a member of the admin group moves the console only to a terminal
// or FIFO of its own that exists and has a reader, named by an absolute
// path without links; the console then shows there and only there.  The
// control client moves it only to a terminal or FIFO on its standard output.
TEST(Trust, TheConsoleGoesOnlyToTheRequestersOwnTerminalOrFifo)
{
    const Env admin("QUARN_ADMIN_GROUP", "nogroup");
    Server s;
    TempDir t;
    const int pty = open_pty();
    write_file(t.file("regular"), "");
    ASSERT_TRUE(s.up() && pty >= 0) << s.report();
    ASSERT_EQ(mkfifo(t.file("root").c_str(), 0666) | mkfifo(t.file("own").c_str(), 0600) | mkfifo(t.file("unread").c_str(), 0600), 0);
    for (const char *name : {"own", "unread", "regular"})
        ASSERT_EQ(chown(t.file(name).c_str(), NOBODY, NOBODY), 0);
    ASSERT_EQ(symlink(t.file("own").c_str(), t.file("link").c_str()), 0);
    const int readers[] = {open(t.file("root").c_str(), O_RDONLY | O_NONBLOCK), open(t.file("own").c_str(), O_RDONLY | O_NONBLOCK)};
    string cmds, shown;
    for (const string &path : {string("/dev/null"), string(ptsname(pty)), t.file("root"), t.file("link"), string("own"),
                               t.file("regular"), t.file("missing"), t.file("unread"), t.file("own")})
        cmds += command("redirect:" + path);
    EXPECT_EQ(nobody({"send", "9"}, cmds), "0 refused\nrefused\nrefused\nrefused\nrefused\nrefused\nrefused\nrefused\ndone\n") << s.report();
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "moved\n") && s.settle());
    char buf[256];
    EXPECT_TRUE(wait_until([&] { return has(shown.append(buf, std::max<ssize_t>(read(readers[1], buf, sizeof buf), 0)), "moved\n"); }));
    const CliResult cli = run_cli({"redirect"}); // standard output a regular file
    EXPECT_TRUE(!has(s.out(), "moved") && read_file(t.file("regular")).empty() && !std::filesystem::exists(t.file("missing")) &&
                cli.status == 1 && has(cli.err, "is not a terminal, FIFO")) << s.report() << cli.err;
    close(pty), close(readers[0]), close(readers[1]);
}

// The log directory and its files are root's: what another user could
// have placed there stops the start-up, and a link made at run time is
// never followed.  The control word is root's and read-only to others.
TEST(Trust, LogDirectoryFilesAndControlWordAreRootsAlone)
{
    const std::vector<std::function<int(const string &)>> setups = {
        [](const string &d) { return chmod(d.c_str(), 0775); }, [](const string &d) { return chmod(d.c_str(), 01777); },
        [](const string &d) { return chown(d.c_str(), NOBODY, NOBODY); },
        [](const string &d) { return symlink("/etc/passwd", (d + "/quarn.app").c_str()); },
        [](const string &d) { return write_file(d + "/quarn.dsp", ""), chown((d + "/quarn.dsp").c_str(), NOBODY, NOBODY); },
        [](const string &d) { return symlink("/etc/shadow", (d + "/quarn.bsp.bak").c_str()); },
    };
    string refused;
    for (const auto &setup : setups) {
        TempDir t;
        ASSERT_EQ(setup(t.path), 0);
        const CliResult r = run_cli({t.path, "1M", "0K", "1"});
        refused += std::to_string(r.status) + (has(r.out, " refused: ") ? "R" : "?");
    }
    EXPECT_EQ(refused, "1R1R1R1R1R1R");
    shmctl(shmget(QUARN_CTRL_KEY, 4, 0), IPC_RMID, nullptr); // an earlier test's server made it
    ASSERT_EQ(nobody({"shm"}), "0 ");
    TempDir victim;
    write_file(victim.file("target"), "untouched\n");
    Server s;
    ASSERT_TRUE(s.up() && s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "one\n") && s.settle()) << s.report();
    struct stat st{};
    shmid_ds ds{};
    const bool made = stat(s.file("quarn.app").c_str(), &st) == 0 && (st.st_mode & 0777) == 0640;
    ASSERT_TRUE(unlink(s.file("quarn.app").c_str()) == 0 && symlink(victim.file("target").c_str(), s.file("quarn.app").c_str()) == 0);
    ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_FILE, "two\n") && s.settle());
    EXPECT_TRUE(made && read_file(victim.file("target")) == "untouched\n" && s.wait_out("refused: a symbolic link") &&
                shmctl(shmget(QUARN_CTRL_KEY, 4, 0), IPC_STAT, &ds) == 0 && ds.shm_perm.uid == 0 &&
                (ds.shm_perm.mode & 0777) == 0644 && control_word() == 1u)
        << s.report();
}

// What a line claims is believed only from the privileged: a DSP or BSP
// origin becomes an application line, control characters reach no
// terminal raw, and the collector learns the sending process.  One user
// then holds at most 64 connections; the rest are closed at once and
// counted, and others are still served.
TEST(Trust, ALinesClaimsAreBelievedOnlyFromThePrivilegedAndAUsersConnectionsAreCapped)
{
    KernelLogTurn turn;
    TempDir t;
    const int collector = dgram_bound(t.file("collector"));
    const Env fwd("QUARN_FORWARD", "unix://" + t.file("collector"));
    Server s;
    ASSERT_TRUE(turn.held() && collector >= 0 && s.up() && s.send(QUARN_TYPE_DSP, QUARN_LEVEL_CMD, "dsp_init 1048576 0 0") &&
                s.send(QUARN_TYPE_BSP, QUARN_LEVEL_CMD, "bsp_init 1048576 3600") && s.wait_out("quarn.bsp open !!!") &&
                s.wait_out("quarn.dsp open !!!")) << s.report();
    const string evil = "erase\x1b[2J\r\b";
    EXPECT_EQ(nobody({"send"}, line(QUARN_TYPE_DSP, "dsp forged") + line(QUARN_TYPE_BSP, "bsp forged") + line(QUARN_TYPE_APP, evil)), "0 ");
    ASSERT_TRUE(s.sync() && s.wait_out("erase")) << s.report();
    const CliResult to_file = run_cli({"read", s.dir()});
    const int pty = open_pty();
    ASSERT_GE(pty, 0);
    const int tty = open(ptsname(pty), O_RDWR | O_NOCTTY | O_CLOEXEC); // keeps what the reader wrote readable
    const int to_tty = wait_exit(spawn_exec({QUARN_EXE, "read", s.dir()}, {.out = ptsname(pty)}));
    const string shown = read_until_eof(pty, 500); // the reader has ended: all it wrote waits there
    string fwd_got;
    wait_until([&] {
        char buf[8192];
        for (ssize_t k; (k = recv(collector, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
            fwd_got.append(buf, size_t(k)).append("\n");
        return has(fwd_got, "]erase");
    });
    EXPECT_TRUE(has(s.log("quarn.app"), "dsp forged\n") && has(s.log("quarn.app"), "bsp forged\n") &&
                !has(s.log("quarn.dsp") + s.log("quarn.bsp"), "forged") && has(s.log("quarn.app"), evil + "\n") &&
                has(to_file.out, evil + "\n") && has(shown, "erase\\x1b[2J\\x0d\\x08") && !has(shown, evil) &&
                has(s.out(), "erase\\x1b[2J\\x0d\\x08") && !has(s.out(), evil))
        << s.report() << shown << to_tty;
    EXPECT_TRUE(std::regex_search(fwd_got, std::regex(" x [0-9]+ x \\[")) && !has(fwd_got, " " + std::to_string(s.pid()) + " x ["))
        << fwd_got;
    close(tty), close(pty), close(collector);
    write_file(t.file("in"), line(QUARN_TYPE_APP, "held"));
    const ChildGuard holder{as_nobody({"hold", "70"}, "", t.file("in"))};
    EXPECT_TRUE(wait_until([&] { return count(s.log("quarn.app"), "held\n") == 64 && has(run_cli({"stats"}).out, " 6 shed"); }))
        << s.log("quarn.app") << run_cli({"stats"}).out;
    EXPECT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "root served\n") && wait_until([&] { return has(s.log("quarn.app"), "root served\n"); }));
}

// A print thread held still (a disk that does not answer) while a burst
// overruns the ring, then another user forges loss lines: every record is
// stored or counted once by the loss lines of the file, a forged one as
// one, and the counters say the same on `quarn stats` and on SIGUSR1.
// (What a full connection costs, the client counts: client_test.)
TEST(Loss, BurstOverTheRingIsStoredOrCountedExactlyAndAForgedCountAddsNothing)
{
    Server s({"64M", "64K", "1"});
    ASSERT_TRUE(s.up() && s.settle()) << s.report();
    {
        const ThreadHold held(s.tid("quarn_print"));
        if (!held.held)
            GTEST_SKIP() << "no thread can be held still here (no ptrace under user-mode emulation)";
        for (int i = 0; i < 6000; ++i)
            ASSERT_TRUE(s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "r" + std::to_string(i) + string(1000, '.') + "\n"));
        ASSERT_TRUE(s.wait_out("quarn cycle buff is full !")) << s.report();
        string forged; // more than the room left
        for (int i = 0; i < 50; ++i)
            forged += make_record(QUARN_TYPE_APP, QUARN_LEVEL_WARN, stamp_now() + "[WARN][quarn]1000000 records lost: " + string(1100, 'x') + "\n",
                                  QUARN_MSG_MAGIC, "quarn");
        EXPECT_EQ(nobody({"send"}, forged), "0 ");
    }
    // Behind every record in the ring; the next record carries the count.
    ASSERT_TRUE(wait_until([&] { return s.sync(); }, 90s) && s.send(QUARN_TYPE_APP, QUARN_LEVEL_INFO, "next\n") && s.sync());
    const string stats = run_cli({"stats"}).out;
    ASSERT_TRUE(kill(s.pid(), SIGUSR1) == 0 && s.wait_out("counters: ", 2)) << s.report();
    const auto dropped = [](const string &text) { // as the last counters line in text says
        const auto at = text.find(" dropped (", text.rfind("counters: "));
        return at == string::npos ? -1L : std::stol(text.substr(text.rfind(',', at) + 2));
    };
    const Tally t = tally(s.log("quarn.app"), "r");
    const long forged_kept = long(count(s.log("quarn.app"), "]1000000 records lost"));
    EXPECT_TRUE(forged_kept < 50 && t.stored + forged_kept + t.counted == 6050 && dropped(stats) == t.counted && dropped(s.out()) == t.counted)
        << t.stored << " and " << forged_kept << " forged stored, " << t.counted << " counted; " << stats;
}

} // namespace
