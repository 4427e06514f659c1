// The sender's connection and drop rule against a real listener and a real
// control word.  Every scenario runs the library in a forked child, so each
// starts with no connection and no attachment; this process only listens.
#include "wire.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/wait.h>

#include <functional>
#include <set>
#include <vector>

namespace {

const std::string kRefused = "connect failed: Connection refused\n";
const std::string kFull = "send failed: Resource temporarily unavailable \n";

bool nothing_pending(int listener) { return !wait_readable(listener, 0); }

// The message parts (text after the 21-byte stamp) of the records in a
// stream; a bad marker or a torn record fails the test.
std::vector<std::string> messages(const std::string &stream)
{
    std::vector<std::string> out;
    for (const received_t &r : records(stream))
        out.push_back(r.text.substr(std::min<size_t>(21, r.text.size())));
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

// A forked child running body with its standard output captured.  The
// child's step() reports and waits until the parent calls resume().  A child
// still running at the end is killed.
class child_t {
  public:
    explicit child_t(const std::function<void(child_t &)> &body)
    {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ctl_), 0);
        if ((pid_ = fork()) != 0)
            return;
        // Only the output and the control socket stay open in the child, so
        // that closing a listener here frees its name.
        dup2(out_, STDOUT_FILENO);
        dup2(ctl_[1], 3);
        close_range(4, ~0u, 0);
        body(*this);
        fflush(stdout);
        _exit(0);
    }
    ~child_t()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {ctl_[0], ctl_[1], out_})
            close(fd);
    }
    void step()
    {
        char c = 's';
        if (write(3, &c, 1) != 1 || read(3, &c, 1) != 1)
            _exit(3);
    }
    bool reached_step()
    {
        char c;
        return wait_readable(ctl_[0]) && read(ctl_[0], &c, 1) == 1;
    }
    void resume() { EXPECT_EQ(write(ctl_[0], "r", 1), 1); }
    // True once the child has ended normally, within the hang bound.
    bool finished()
    {
        int status = 0;
        reaped_ = wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(30));
        return reaped_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    std::string output() { return read_file("/proc/self/fd/" + std::to_string(out_)); }

  private:
    int ctl_[2] = {-1, -1};                     // step and resume; the child's end becomes 3
    int out_ = memfd_create("stdout", MFD_CLOEXEC); // the child's standard output
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
    return &(*static_cast<uint32_t *>(addr) = value);
}

class SenderTest : public testing::Test {
  protected:
    void SetUp() override
    {
        QUARN_REQUIRE_ISOLATION();
        listener_.reset(bind_listener());
    }
    owned_fd listener_; // where the library connects
};

// The word appears after the first call (attach is retried) and then
// changes; application debug records follow it, other records never drop.
TEST_F(SenderTest, DropRuleFollowsTheControlWordOnceItAppears)
{
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
    owned_fd conn(accept_one(listener_.get()));
    EXPECT_EQ(messages(read_until_eof(conn.get())),
              (std::vector<std::string>{"[DBUG][a]1", "[DBUG][a]3", "[INFO][a]4", "[DBUG][a]5"}));
    EXPECT_EQ(child.output(), "");
}

// Each kept record tries to connect and says why it failed; a dropped one
// does not try at all.
TEST_F(SenderTest, ConnectIsTriedByEachKeptRecordUntilAServerListens)
{
    listener_.reset(); // no server yet
    ASSERT_NE(control_word(1), nullptr);
    child_t child([](child_t &self) {
        quarn_msg_write_with_type(0, QUARN_LEVEL_DEBUG, "a", "dropped");
        send_file_record("1");
        send_file_record("2");
        self.step(); // a server listens now
        send_file_record("3");
    });
    ASSERT_TRUE(child.reached_step());
    listener_.reset(bind_listener());
    child.resume();
    ASSERT_TRUE(child.finished());
    owned_fd conn(accept_one(listener_.get()));
    EXPECT_EQ(messages(read_until_eof(conn.get())), std::vector<std::string>{"3"});
    EXPECT_EQ(child.output(), kRefused + kRefused);
}

// Server gone, then back: the first call fails on the dead stream and
// closes it, the second connects to the new server.
TEST_F(SenderTest, ReconnectsOnTheCallAfterTheServerWentAway)
{
    child_t child([](child_t &self) {
        send_file_record("1");
        self.step(); // the server restarts
        send_file_record("2");
        send_file_record("3");
    });
    ASSERT_TRUE(child.reached_step());
    owned_fd conn(accept_one(listener_.get()));
    ASSERT_TRUE(wait_readable(conn.get()));
    EXPECT_EQ(messages(read_until_eof(conn.get(), 0)), std::vector<std::string>{"1"});
    conn.reset();
    listener_.reset();
    listener_.reset(bind_listener());
    child.resume();
    ASSERT_TRUE(child.finished());
    conn.reset(accept_one(listener_.get()));
    EXPECT_EQ(messages(read_until_eof(conn.get())), std::vector<std::string>{"3"});
    EXPECT_TRUE(nothing_pending(listener_.get()));
    EXPECT_EQ(child.output(), "send failed: Broken pipe \n");
}

// A full connection costs the record, not the call's time and not the
// connection: the stream stays whole and carries the next record.
TEST_F(SenderTest, FullConnectionLosesTheRecordButKeepsTheStream)
{
    constexpr int kCalls = 3000;
    child_t child([](child_t &self) {
        const std::string filler(1000, 'f');
        for (int i = 0; i < kCalls; ++i)
            quarn_msg_write_with_type(0, QUARN_LEVEL_FILE, "s", "%05d%s", i, filler.c_str());
        self.step(); // the server has drained the connection
        send_file_record("last");
    });
    ASSERT_TRUE(child.reached_step()) << "a send on the full connection hung";
    owned_fd conn(accept_one(listener_.get()));
    std::string stream = read_until_eof(conn.get(), 0);
    child.resume();
    ASSERT_TRUE(child.finished());
    const std::vector<std::string> got = messages(stream + read_until_eof(conn.get()));
    const size_t lost = count_lines(child.output(), kFull);
    EXPECT_GT(lost, 0u) << "the connection never filled";
    EXPECT_EQ(got.size() + lost, kCalls + 1u);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), "last");
    EXPECT_TRUE(nothing_pending(listener_.get())) << "a second connection was made";
}

// With standard input closed the connection gets descriptor 0, which must
// still count as connected while many threads send at once.
TEST_F(SenderTest, ThreadsShareOneConnectionOnDescriptorZeroAndNoRecordIsTorn)
{
    constexpr int kThreads = 8, kPerThread = 2000;
    child_t child([](child_t &) {
        close(STDIN_FILENO);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < kPerThread; ++i)
                    quarn_msg_write_with_type(0, QUARN_LEVEL_FILE, "s", "%d:%d", t, i);
            });
        for (std::thread &th : threads)
            th.join();
    });
    owned_fd conn(accept_one(listener_.get()));
    const std::vector<std::string> got = messages(read_until_eof(conn.get()));
    ASSERT_TRUE(child.finished());
    EXPECT_EQ(std::set<std::string>(got.begin(), got.end()).size(), got.size()) << "a record arrived twice";
    EXPECT_EQ(got.size() + count_lines(child.output(), kFull), size_t{kThreads * kPerThread});
    EXPECT_TRUE(nothing_pending(listener_.get())) << "a second connection was made";
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
        testing::internal::CaptureStdout();
        quarn_get_version(ver, c.size, nullptr, 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
        EXPECT_EQ(std::string(ver, c.size), c.kept + std::string(c.size - std::strlen(c.kept), '\0'));
        EXPECT_EQ(std::string(ver + c.size, sizeof ver - c.size), std::string(sizeof ver - c.size, 'x'))
            << "written past a buffer of " << c.size;
    }
    char bld[20];
    testing::internal::CaptureStdout();
    quarn_get_version(nullptr, 0, bld, sizeof bld);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error, len(20) > bld_len(20)");
    EXPECT_EQ(std::string(bld, sizeof bld), std::string(sizeof bld, '\0'));
}

} // namespace
