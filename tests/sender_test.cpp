// The sender's connection and drop rule against a real listener and a real
// control word.  Every scenario runs the library in a forked child, so each
// starts with no connection and no attachment; this process only listens
// and never sends itself.
#include "quarn.h"
#include "support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kBoundMs = 30000; // hang check, far above any honest run

const std::string kRefused = "connect failed: Connection refused\n";
const std::string kBacklogFull = "connect failed: Resource temporarily unavailable\n";
const std::string kFull = "send failed: Resource temporarily unavailable \n";
const std::string kBrokenPipe = "send failed: Broken pipe \n";

class owned_fd {
  public:
    explicit owned_fd(int fd = -1) : fd_(fd) {}
    ~owned_fd() { reset(); }
    owned_fd(const owned_fd &) = delete;
    owned_fd &operator=(const owned_fd &) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

  private:
    int fd_; // owned descriptor or -1
};

bool wait_readable(int fd, int ms = kBoundMs)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

// A listener on the name the library connects to: NUL, then the path less
// its last letter (24-byte address).
int bind_listener(int backlog = 10)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, "\0/home/app/quarn_socke", 22);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), 24) < 0 || listen(fd, backlog) < 0)
        ADD_FAILURE() << "listener: " << strerror(errno);
    return fd;
}

int accept_one(int listener)
{
    return wait_readable(listener) ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

bool nothing_pending(int listener) { return !wait_readable(listener, 0); }

// Whatever is readable now, without waiting.
std::string drain(int fd)
{
    std::string bytes;
    char buf[65536];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
        bytes.append(buf, static_cast<size_t>(n));
    return bytes;
}

std::string read_until_eof(int fd)
{
    std::string bytes;
    char buf[65536];
    for (ssize_t n; wait_readable(fd) && (n = recv(fd, buf, sizeof buf, 0)) > 0;)
        bytes.append(buf, static_cast<size_t>(n));
    return bytes;
}

// The message parts of the records in a stream (text after skip bytes).
// A bad marker or a torn record fails the test.
std::vector<std::string> messages(const std::string &stream, size_t skip = 21)
{
    std::vector<std::string> out;
    for (size_t at = 0; at < stream.size();) {
        quarn_msg_head_t head;
        if (stream.size() - at < sizeof head) {
            ADD_FAILURE() << "torn header at " << at;
            break;
        }
        std::memcpy(&head, stream.data() + at, sizeof head);
        if (head.magic != QUARN_MSG_MAGIC || stream.size() - at - sizeof head < head.len) {
            ADD_FAILURE() << "bad or torn record at " << at;
            break;
        }
        out.push_back(stream.substr(at + sizeof head + skip, head.len - skip));
        at += sizeof head + head.len;
    }
    return out;
}

// How often line makes up output; anything else in output fails the test.
size_t count_lines(const std::string &output, const std::string &line)
{
    size_t n = 0;
    for (size_t at = 0; at < output.size(); at += line.size(), ++n)
        if (output.compare(at, line.size(), line) != 0) {
            ADD_FAILURE() << "unexpected output: " << output.substr(at, 200);
            break;
        }
    return n;
}

// A forked child running body with its standard output in a file.  The
// parent steps it through a scenario: the child's step() reports and waits
// until the parent calls resume().  A child still running at the end is
// killed.
class child_t {
  public:
    explicit child_t(const std::function<void(child_t &)> &body)
    {
        if (pipe2(up_, O_CLOEXEC) < 0 || pipe2(down_, O_CLOEXEC) < 0)
            ADD_FAILURE() << "pipe: " << strerror(errno);
        pid_ = fork();
        if (pid_ == 0) {
            keep_only_pipes();
            const int out = open(out_.file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, STDOUT_FILENO);
            body(*this);
            fflush(stdout);
            _exit(0);
        }
    }
    ~child_t()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {up_[0], up_[1], down_[0], down_[1]})
            close(fd);
    }
    void step()
    {
        char c = 's';
        if (write(up_[1], &c, 1) != 1 || read(down_[0], &c, 1) != 1)
            _exit(3);
    }
    bool reached_step()
    {
        char c;
        return wait_readable(up_[0]) && read(up_[0], &c, 1) == 1;
    }
    void resume()
    {
        char c = 'r';
        EXPECT_EQ(write(down_[1], &c, 1), 1);
    }
    // True once the child has ended normally, within the hang bound.
    bool finished()
    {
        int status = 0;
        reaped_ = wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; },
                             std::chrono::milliseconds(kBoundMs));
        return reaped_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    std::string output() { return read_file(out_.file("stdout")); }

  private:
    // Drops the child's copies of this process's sockets, so that closing a
    // listener here frees its name.
    void keep_only_pipes()
    {
        const unsigned lo = std::min(up_[1], down_[0]), hi = std::max(up_[1], down_[0]);
        close_range(3, lo - 1, 0);
        close_range(lo + 1, hi - 1, 0);
        close_range(hi + 1, ~0u, 0);
    }

    TempDir out_;
    int up_[2] = {-1, -1};   // child to parent: step reached
    int down_[2] = {-1, -1}; // parent to child: go on
    pid_t pid_ = -1;
    bool reaped_ = false;
};

void send_file_record(const char *msg) { quarn_msg_write_with_type(0, QUARN_LEVEL_FILE, "s", "%s", msg); }

// The control word the server would create, at the given value.
uint32_t *control_word(uint32_t value)
{
    const int id = shmget(QUARN_CTRL_KEY, sizeof(uint32_t), IPC_CREAT | 0666);
    void *addr = id < 0 ? reinterpret_cast<void *>(-1) : shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void *>(-1)) {
        ADD_FAILURE() << "control word: " << strerror(errno);
        return nullptr;
    }
    *static_cast<uint32_t *>(addr) = value;
    return static_cast<uint32_t *>(addr);
}

class SenderTest : public testing::Test {
  protected:
    void SetUp() override { QUARN_REQUIRE_ISOLATION(); }
};

// The word appears after the first call (attach is retried) and then
// changes; application debug records follow it, other records never drop.
TEST_F(SenderTest, DropRuleFollowsTheControlWordOnceItAppears)
{
    owned_fd listener(bind_listener());
    child_t child([](child_t &self) {
        quarn_msg_write_with_type(0, QUARN_LEVEL_DEBUG, "a", "1");
        self.step(); // control word now 1
        quarn_msg_write_with_type(0, QUARN_LEVEL_DEBUG, "a", "2");
        quarn_msg_write_with_type(2, QUARN_LEVEL_DEBUG, "a", "3");
        quarn_msg_write_with_type(0, QUARN_LEVEL_INFO, "a", "4");
        self.step(); // control word back at 0
        quarn_msg_write_with_type(0, QUARN_LEVEL_DEBUG, "a", "5");
    });
    ASSERT_TRUE(child.reached_step());
    uint32_t *word = control_word(1);
    ASSERT_NE(word, nullptr);
    child.resume();
    ASSERT_TRUE(child.reached_step());
    *word = 0;
    child.resume();
    ASSERT_TRUE(child.finished());
    owned_fd conn(accept_one(listener.get()));
    const size_t label_tag = std::strlen("[DBUG][a]");
    EXPECT_EQ(messages(read_until_eof(conn.get()), 21 + label_tag),
              (std::vector<std::string>{"1", "3", "4", "5"}));
    EXPECT_EQ(child.output(), "");
}

TEST_F(SenderTest, DroppedRecordDoesNotConnect)
{
    owned_fd listener(bind_listener());
    ASSERT_NE(control_word(1), nullptr);
    child_t child([](child_t &) { quarn_msg_write_with_type(0, QUARN_LEVEL_DEBUG, "a", "x"); });
    ASSERT_TRUE(child.finished());
    EXPECT_TRUE(nothing_pending(listener.get()));
    control_word(0);
}

TEST_F(SenderTest, ConnectFailureIsPrintedEachCallUntilAServerListens)
{
    child_t child([](child_t &self) {
        send_file_record("1");
        send_file_record("2");
        self.step(); // a server listens now
        send_file_record("3");
    });
    ASSERT_TRUE(child.reached_step());
    owned_fd listener(bind_listener());
    child.resume();
    ASSERT_TRUE(child.finished());
    owned_fd conn(accept_one(listener.get()));
    EXPECT_EQ(messages(read_until_eof(conn.get())), std::vector<std::string>{"3"});
    EXPECT_EQ(child.output(), kRefused + kRefused);
}

// A server that stopped accepting must not stall a log call in connect.
TEST_F(SenderTest, ConnectToAFullBacklogFailsAtOnce)
{
    owned_fd listener(bind_listener(0));
    owned_fd queued(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, "\0/home/app/quarn_socke", 22);
    ASSERT_EQ(connect(queued.get(), reinterpret_cast<sockaddr *>(&addr), 24), 0);
    child_t child([](child_t &) { send_file_record("1"); });
    ASSERT_TRUE(child.finished()) << "the call hung in connect";
    EXPECT_EQ(child.output(), kBacklogFull);
}

// Server gone, then back: the first call fails on the dead stream and
// closes it, the second connects to the new server.
TEST_F(SenderTest, ReconnectsOnTheCallAfterTheServerWentAway)
{
    owned_fd listener(bind_listener());
    child_t child([](child_t &self) {
        send_file_record("1");
        self.step(); // the server restarts
        send_file_record("2");
        send_file_record("3");
    });
    ASSERT_TRUE(child.reached_step());
    owned_fd conn(accept_one(listener.get()));
    ASSERT_TRUE(wait_readable(conn.get()));
    EXPECT_EQ(messages(drain(conn.get())), std::vector<std::string>{"1"});
    conn.reset();
    listener.reset();
    listener.reset(bind_listener());
    child.resume();
    ASSERT_TRUE(child.finished());
    conn.reset(accept_one(listener.get()));
    EXPECT_EQ(messages(read_until_eof(conn.get())), std::vector<std::string>{"3"});
    EXPECT_TRUE(nothing_pending(listener.get()));
    EXPECT_EQ(child.output(), kBrokenPipe);
}

// A full connection costs the record, not the call's time and not the
// connection: the stream stays whole and carries the next record.
TEST_F(SenderTest, FullConnectionLosesTheRecordButKeepsTheStream)
{
    constexpr int kCalls = 3000;
    owned_fd listener(bind_listener());
    child_t child([](child_t &self) {
        const std::string filler(1000, 'f');
        for (int i = 0; i < kCalls; ++i)
            quarn_msg_write_with_type(0, QUARN_LEVEL_FILE, "s", "%05d%s", i, filler.c_str());
        self.step(); // the server has drained the connection
        send_file_record("last");
    });
    ASSERT_TRUE(child.reached_step()) << "a send on the full connection hung";
    owned_fd conn(accept_one(listener.get()));
    std::string stream = drain(conn.get());
    child.resume();
    ASSERT_TRUE(child.finished());
    stream += read_until_eof(conn.get());
    const std::vector<std::string> got = messages(stream);
    const size_t lost = count_lines(child.output(), kFull);
    EXPECT_GT(lost, 0u) << "the connection never filled";
    EXPECT_EQ(got.size() + lost, kCalls + 1u);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), "last");
    EXPECT_TRUE(nothing_pending(listener.get())) << "a second connection was made";
}

TEST_F(SenderTest, ThreadsShareOneConnectionAndNoRecordIsTorn)
{
    constexpr int kThreads = 8, kPerThread = 2000;
    owned_fd listener(bind_listener());
    child_t child([](child_t &) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < kPerThread; ++i)
                    quarn_msg_write_with_type(0, QUARN_LEVEL_FILE, "s", "%d:%d", t, i);
            });
        for (std::thread &th : threads)
            th.join();
    });
    owned_fd conn(accept_one(listener.get()));
    const std::vector<std::string> got = messages(read_until_eof(conn.get()));
    ASSERT_TRUE(child.finished());
    const std::set<std::string> distinct(got.begin(), got.end());
    EXPECT_EQ(distinct.size(), got.size()) << "a record arrived twice";
    EXPECT_EQ(got.size() + count_lines(child.output(), kFull), size_t{kThreads * kPerThread});
    EXPECT_TRUE(nothing_pending(listener.get())) << "a second connection was made";
}

// With standard input closed the connection gets descriptor 0, which must
// still count as connected.
TEST_F(SenderTest, ConnectionOnDescriptorZeroIsKept)
{
    owned_fd listener(bind_listener());
    child_t child([](child_t &) {
        close(STDIN_FILENO);
        for (int i = 0; i < 50; ++i)
            send_file_record("z");
    });
    ASSERT_TRUE(child.finished());
    owned_fd conn(accept_one(listener.get()));
    EXPECT_EQ(messages(read_until_eof(conn.get())).size(), 50u);
    EXPECT_TRUE(nothing_pending(listener.get())) << "a second connection was made";
    EXPECT_EQ(child.output(), "");
}

// Standard output printed while fn runs in this process.
std::string stdout_of(const std::function<void()> &fn)
{
    TempDir dir;
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int out = open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(out, STDOUT_FILENO);
    close(out);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    return read_file(dir.file("out"));
}

// The buffer is poisoned past the given size to catch writes beyond it.
TEST(VersionTest, NeverWritesPastTheBufferAndRefusesNoRoomForTheNul)
{
    struct sized_case {
        int size;
        const char *printed; // expected message, empty when the copy fits
        const char *kept;    // expected buffer contents
    };
    for (const sized_case &c : {sized_case{10, "error, len(16) > ver_len(10)", ""},
                                sized_case{16, "error, len(16) > ver_len(16)", ""},
                                sized_case{17, "", "v1.0.0 svn635612"}}) {
        char ver[40];
        std::memset(ver, 'x', sizeof ver);
        EXPECT_EQ(stdout_of([&] { quarn_get_version(ver, c.size, nullptr, 0); }), c.printed);
        const std::string expected = std::string(c.kept) + std::string(c.size - std::strlen(c.kept), '\0');
        EXPECT_EQ(std::string(ver, c.size), expected) << "size " << c.size;
        EXPECT_EQ(std::string(ver + c.size, sizeof ver - c.size), std::string(sizeof ver - c.size, 'x'))
            << "written past a buffer of " << c.size;
    }
}

TEST(VersionTest, NullVersionBufferStillFillsBuildText)
{
    char bld[21];
    std::memset(bld, 'x', sizeof bld);
    EXPECT_EQ(stdout_of([&] { quarn_get_version(nullptr, 0, bld, sizeof bld); }), "");
    EXPECT_TRUE(std::regex_match(bld, std::regex("[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}")))
        << std::string(bld, sizeof bld);
    EXPECT_EQ(stdout_of([&] { quarn_get_version(nullptr, 0, bld, 20); }), "error, len(20) > bld_len(20)");
}

} // namespace
