// The client library against a listener bound to the real socket name:
// what a call puts on the wire, when it drops a record, and how its one
// connection survives a full stream and a server that went away.
#include "harness.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <set>

namespace {

using namespace e2e;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const std::string kFull = "send failed: Resource temporarily unavailable \n";

// The texts behind the 21-byte time stamp of the records in a stream.
std::vector<std::string> messages(const std::string &stream)
{
    std::vector<std::string> out;
    size_t at = 0;
    for (uint16_t len; at + QUARN_MSG_HEAD_LEN + 21 <= stream.size(); at += QUARN_MSG_HEAD_LEN + len) {
        std::memcpy(&len, stream.data() + at + offsetof(quarn_msg_head_t, len), sizeof len);
        out.push_back(stream.substr(at + QUARN_MSG_HEAD_LEN + 21, len - 21));
    }
    EXPECT_EQ(at, stream.size()) << "a torn record";
    return out;
}

// First in this file, so that the child starts without a connection.
// Threads share one connection, even on descriptor 0; a full connection
// costs records, never the call's time nor the stream, which stays whole;
// the reason is printed once per run of losses, and the next record that
// goes out is preceded by a line that counts them, so every record is
// either received or counted.
TEST(ClientAlone, FullConnectionCostsRecordsButNeverTheStreamAndCountsThem)
{
    const int listener = quarn_socket(SOCK_NONBLOCK, true);
    TempDir dir;
    const pid_t child = fork_client([] {
        close(STDIN_FILENO);
        {
            std::vector<std::jthread> threads;
            for (int t = 0; t < 4; ++t)
                threads.emplace_back([t] {
                    for (int i = 0; i < 1000; ++i)
                        quarn_msg_write_with_type(0, QUARN_LEVEL_FILE, "s", "%d:%d %0900d", t, i, 0);
                });
        }
        puts("sent"), fflush(stdout);
        wait_until([] { int queued = 1; return ioctl(0, SIOCOUTQ, &queued) == 0 && queued == 0; }, 30s);
        quarn_msg_write_with_type(0, QUARN_LEVEL_FILE, "s", "last");
    }, dir.file("out"));
    ASSERT_TRUE(wait_until([&] { return count(read_file(dir.file("out")), "sent\n") == 1; }, 30s)) << "a call was held up";
    const int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    const std::vector<std::string> got = messages(read_until_eof(conn));
    EXPECT_EQ(wait_exit(child), 0);
    std::size_t lost = 0, stored = 0;
    for (const std::string &m : got)
        m.starts_with("[WARN][quarn]") ? lost += std::stoul(m.substr(13)) : ++stored;
    const std::string output = read_file(dir.file("out"));
    // Every record received or counted, none twice, on one connection.
    EXPECT_TRUE(lost > 0 && count(output, kFull) > 0 && count(output, kFull) < lost && stored + lost == 4001 && got.back() == "last" &&
                std::set<std::string>(got.begin(), got.end()).size() == got.size() && accept4(listener, nullptr, nullptr, 0) < 0)
        << stored << " received, " << lost << " counted; " << output.substr(0, 300);
    close(conn), close(listener);
}

class Client : public testing::Test {
  protected:
    // A connection left by an earlier test of this process dies on the
    // first call; the second connects here.
    void SetUp() override
    {
        ASSERT_GE(listener_ = quarn_socket(0, true), 0);
        CaptureStdout();
        quarn_msg_write_with_type(0, QUARN_LEVEL_FILE, "s", "warm-up");
        quarn_msg_write_with_type(0, QUARN_LEVEL_FILE, "s", "warm-up");
        GetCapturedStdout();
        arrived();
    }
    void TearDown() override { close(conn_), close(listener_); }
    // What arrived on the library's connection, accepted on first use, within ms.
    std::string arrived(int ms = 200)
    {
        if (conn_ < 0)
            conn_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return read_until_eof(conn_, ms);
    }
    int listener_ = -1, conn_ = -1;
};

// Each level's layout, origin and header byte for byte (the tag kept in the
// name at 26 characters); the message part is cut at 1023 characters and the
// tag only by the room left, so nothing spills past the 1112-byte text area;
// a message that fails to format sends no stale bytes.
TEST_F(Client, RecordsCarryTheirLevelsLayoutAndStayInsideTheTextArea)
{
    std::string msg(2000, 'm');
    for (size_t i = 0; i < msg.size(); ++i)
        msg[i] = static_cast<char>('a' + i % 26);
    const std::string g40(40, 'g'), g5000(5000, 'g');
    // origin, level, tag, message, and the text the record carries behind its stamp
    const std::tuple<int, int, std::string, std::string, std::string> rows[] = {
        {0, 0, "net", "up", "[DBUG][net]up"}, {0, 1, "net", "up", "[INFO][net]up"}, {2, 2, "net", "up", "[WARN][net]up"},
        {0, 3, "net", "up", "[ERROR][net]up"}, {0, 4, "net", "up", "up"}, {0, 5, "net", "up", "up"},
        {0, 3, "abc", msg, "[ERROR][abc]" + msg.substr(0, 1023)},
        {0, 3, g40, msg.substr(0, 1), "[ERROR][" + g40 + "]a"},
        {0, 3, g5000, msg, ("[ERROR][" + g5000).substr(0, 1023) + msg.substr(0, 1111 - 21 - 1023)},
    };
    for (const auto &[origin, level, tag, text, expected] : rows) {
        for (const char *fmt : {"%s", "%.9999s"}) { // a ready line is copied, a real format goes to vsnprintf
            const std::string before = stamp_now();
            quarn_msg_write_with_type(origin, level, tag.c_str(), fmt, text.c_str());
            const std::string got = arrived(), stamp = level == 5 ? "" : got.substr(40, 21);
            EXPECT_TRUE(stamp.empty() || stamp == before || stamp == stamp_now()) << stamp;
            EXPECT_EQ(got, make_record(origin == 2 ? QUARN_TYPE_DSP : QUARN_TYPE_APP, level, stamp + expected,
                                       QUARN_MSG_MAGIC, tag.c_str())) << fmt << " " << expected.substr(0, 20);
        }
    }
    const wchar_t unencodable[] = {0x20AC, 0}; // no C-locale encoding
    quarn_msg_write_with_type(0, QUARN_LEVEL_INFO, "fmt", "ab%lscd", unencodable);
    EXPECT_EQ(messages(arrived()), std::vector<std::string>{"[INFO][fmt]"});
}

// Application debug records follow the control word once it appears (the
// attach is retried); no other record is ever dropped.
TEST_F(Client, DropRuleFollowsTheControlWordOnceItAppears)
{
    quarn_msg_write_with_type(0, QUARN_LEVEL_DEBUG, "a", "1");
    const int id = shmget(QUARN_CTRL_KEY, sizeof(uint32_t), IPC_CREAT | 0666);
    auto *word = static_cast<volatile uint32_t *>(shmat(id, nullptr, 0));
    *word = 1;
    for (const auto &[origin, level, text] : {std::tuple{0, 0, "2"}, {2, 0, "3"}, {0, 1, "4"}})
        quarn_msg_write_with_type(origin, level, "a", "%s", text);
    *word = 0;
    quarn_msg_write_with_type(0, QUARN_LEVEL_DEBUG, "a", "5");
    EXPECT_EQ(messages(arrived()), (std::vector<std::string>{"[DBUG][a]1", "[DBUG][a]3", "[INFO][a]4", "[DBUG][a]5"}));
    shmctl(id, IPC_RMID, nullptr);
}

// A server gone costs the next call its record and the connection; once a
// server listens again the calls reach it, the first with the count of
// the lost ones.
TEST_F(Client, ReconnectsOnTheCallAfterTheServerWentAway)
{
    close(conn_), close(listener_), conn_ = -1;
    CaptureStdout();
    quarn_msg_write_with_type(0, QUARN_LEVEL_FILE, "s", "lost on the dead stream");
    quarn_msg_write_with_type(0, QUARN_LEVEL_FILE, "s", "lost: no server");
    listener_ = quarn_socket(0, true);
    quarn_msg_write_with_type(0, QUARN_LEVEL_FILE, "s", "back");
    EXPECT_EQ(GetCapturedStdout(), "send failed: Broken pipe \n") << "printed once per run of losses";
    EXPECT_EQ(messages(arrived()), (std::vector<std::string>{"[WARN][quarn]2 records lost: send failed: Broken pipe\n", "back"}));
}

} // namespace
