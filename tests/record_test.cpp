// Records as quarn_msg_write_with_type puts them on the wire, read by a
// listener bound to the real socket name: header fields, text layout per
// level, and the cuts that keep every record inside its buffer.
#include "quarn.h"
#include "support.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <wchar.h>

namespace {

struct received_t {
    quarn_msg_head_t head{}; // header as it arrived
    std::string text;        // exactly head.len bytes
};

// The abstract name every client in the field connects to, spelled out here
// rather than taken from the library: NUL, then the path less its last letter.
int bind_listener()
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, "\0/home/app/quarn_socke", 22);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), 24) < 0 || listen(fd, 10) < 0)
        ADD_FAILURE() << "listener: " << strerror(errno);
    return fd;
}

bool wait_readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 10000) == 1;
}

bool read_exact(int fd, void *buf, size_t n)
{
    for (size_t got = 0; got < n;) {
        const ssize_t r = wait_readable(fd) ? recv(fd, static_cast<char *>(buf) + got, n - got, 0) : -1;
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

std::string stamp_of(time_t t)
{
    tm local{};
    localtime_r(&t, &local);
    char text[32];
    strftime(text, sizeof text, "[%Y-%m-%d %H:%M:%S]", &local);
    return text;
}

class RecordTest : public testing::Test {
  protected:
    void SetUp() override
    {
        QUARN_REQUIRE_ISOLATION();
        if (listener_ < 0)
            listener_ = bind_listener();
    }

    // The next record on the process's one connection.  Each call sends one
    // record, so nothing may follow it: a wrong len would leave bytes behind.
    static received_t next_record()
    {
        received_t rec;
        if (conn_ < 0 && wait_readable(listener_))
            conn_ = accept(listener_, nullptr, nullptr);
        EXPECT_TRUE(read_exact(conn_, &rec.head, sizeof rec.head)) << "no header";
        rec.text.resize(rec.head.len);
        EXPECT_TRUE(read_exact(conn_, rec.text.data(), rec.text.size())) << "text shorter than len";
        char extra;
        EXPECT_LT(recv(conn_, &extra, 1, MSG_DONTWAIT | MSG_PEEK), 0) << "bytes beyond len";
        return rec;
    }

    // The stamp a record sent between before and now must carry.
    static void expect_stamp(const std::string &text, time_t before)
    {
        const std::string stamp = text.substr(0, 21);
        if (stamp != stamp_of(before)) {
            EXPECT_EQ(stamp, stamp_of(time(nullptr)));
        }
    }

    static inline int listener_ = -1; // bound for the life of the binary
    static inline int conn_ = -1;     // the library's connection, accepted once
};

const std::string kTag40(40, 't');

void expect_name(const quarn_msg_head_t &head, const std::string &tag)
{
    const std::string kept = tag.substr(0, QUARN_MSG_TAG_MAX);
    EXPECT_EQ(std::string(head.name, kept.size()), kept);
    for (size_t i = kept.size(); i < sizeof head.name; ++i)
        EXPECT_EQ(head.name[i], '\0') << "name padding at " << i;
}

struct layout_case {
    int level;         // level passed in
    const char *label; // expected label, or null when the text has none
    bool stamped;      // text starts with the time stamp
};

class LevelLayout : public RecordTest, public testing::WithParamInterface<layout_case> {};

TEST_P(LevelLayout, TextCarriesStampLabelTagAsTheLevelAsks)
{
    const layout_case c = GetParam();
    const time_t before = time(nullptr);
    quarn_msg_write_with_type(QUARN_APP_LOG_INIT, c.level, "net", "link %s %d\n", "up", 7);
    const received_t rec = next_record();
    std::string expected = c.label ? std::string(c.label) + "[net]" : "";
    expected += "link up 7\n";
    if (c.stamped) {
        expect_stamp(rec.text, before);
        EXPECT_EQ(rec.text.substr(21), expected);
    } else {
        EXPECT_EQ(rec.text, expected);
    }
    EXPECT_EQ(rec.head.magic, QUARN_MSG_MAGIC);
    EXPECT_EQ(rec.head.type, QUARN_TYPE_APP);
    EXPECT_EQ(rec.head.level, c.level);
    EXPECT_EQ(rec.text.find('\0'), std::string::npos) << "len counts a NUL";
    expect_name(rec.head, "net");
}

INSTANTIATE_TEST_SUITE_P(Levels, LevelLayout,
                         testing::Values(layout_case{0, "[DBUG]", true}, layout_case{1, "[INFO]", true},
                                         layout_case{2, "[WARN]", true}, layout_case{3, "[ERROR]", true},
                                         layout_case{4, nullptr, true}, layout_case{5, nullptr, false},
                                         layout_case{7, nullptr, true}, layout_case{-1, nullptr, true}));

TEST_F(RecordTest, OriginMapsToTypeCodeAndCommandsCarryBareText)
{
    quarn_msg_write_with_type(QUARN_DSP_LOG_INIT, QUARN_LEVEL_CMD, "CMD", "sync");
    received_t rec = next_record();
    EXPECT_EQ(rec.head.type, QUARN_TYPE_DSP);
    EXPECT_EQ(rec.head.len, 4);
    EXPECT_EQ(rec.text, "sync");

    quarn_msg_bsp_init(2048, 5);
    rec = next_record();
    EXPECT_EQ(rec.head.type, QUARN_TYPE_APP) << "BSP origin leaves as application text";
    EXPECT_EQ(rec.text, "bsp_init 2048 5");
    expect_name(rec.head, "BSP");

    quarn_msg_dsp_init(1048576, 65536, 1);
    EXPECT_EQ(next_record().text, "dsp_init 1048576 65536 1");
    quarn_dsp_change_level(3);
    rec = next_record();
    EXPECT_EQ(rec.text, "level3");
    EXPECT_EQ(rec.head.type, QUARN_TYPE_DSP);
}

TEST_F(RecordTest, StampFollowsTheClockAcrossSeconds)
{
    const time_t first = time(nullptr);
    quarn_msg_write_with_type(0, QUARN_LEVEL_FILE, "clk", "a");
    expect_stamp(next_record().text, first);
    ASSERT_TRUE(wait_until([&] { return time(nullptr) > first; }, std::chrono::seconds(5)));
    const time_t later = time(nullptr);
    quarn_msg_write_with_type(0, QUARN_LEVEL_FILE, "clk", "b");
    const received_t rec = next_record();
    expect_stamp(rec.text, later);
    EXPECT_NE(rec.text.substr(0, 21), stamp_of(first)) << "a stale time stamp was reused";
}

TEST_F(RecordTest, MessagePartIsCutAt1023Characters)
{
    std::string msg(2000, 'm');
    for (size_t i = 0; i < msg.size(); i += 10)
        msg[i] = static_cast<char>('0' + i / 10 % 10);
    quarn_msg_write_with_type(0, QUARN_LEVEL_INFO, "cut", "%s", msg.c_str());
    const received_t rec = next_record();
    EXPECT_EQ(rec.text.substr(21), "[INFO][cut]" + msg.substr(0, QUARN_MSG_PART_MAX));
    EXPECT_EQ(rec.head.len, 21 + 11 + QUARN_MSG_PART_MAX);
}

TEST_F(RecordTest, TagOf40IsWholeInTextAndCutAt26InName)
{
    quarn_msg_write_with_type(0, QUARN_LEVEL_WARN, kTag40.c_str(), "x");
    const received_t rec = next_record();
    EXPECT_EQ(rec.text.substr(21), "[WARN][" + kTag40 + "]x");
    expect_name(rec.head, kTag40);
}

// A long tag leaves less room for the message; nothing may spill past the
// 1112-byte text area, whose last byte is kept for the formatter's NUL.
TEST_F(RecordTest, LongTagsKeepTheTextInsideItsArea)
{
    const std::string msg(2000, 'q');
    for (size_t tag_len : {100u, 5000u}) {
        const std::string tag(tag_len, 'g');
        quarn_msg_write_with_type(0, QUARN_LEVEL_ERROR, tag.c_str(), "%s", msg.c_str());
        const received_t rec = next_record();
        const std::string label_tag = ("[ERROR][" + tag + "]").substr(0, QUARN_MSG_PART_MAX);
        const size_t room = QUARN_MSG_TEXT_LEN - 1 - 21 - label_tag.size();
        EXPECT_EQ(rec.head.len, QUARN_MSG_TEXT_LEN - 1) << "tag of " << tag_len;
        EXPECT_EQ(rec.text.substr(21), label_tag + msg.substr(0, room)) << "tag of " << tag_len;
        expect_name(rec.head, tag);
    }
}

// The record buffer is not cleared beyond the header, so a message that
// fails to format must not count bytes it never wrote.
TEST_F(RecordTest, FailedFormatSendsNoStaleBytes)
{
    const wchar_t unencodable[] = {0x20AC, 0}; // no C-locale encoding
    quarn_msg_write_with_type(0, QUARN_LEVEL_INFO, "fmt", "ab%lscd", unencodable);
    const received_t rec = next_record();
    EXPECT_EQ(rec.text.substr(21), "[INFO][fmt]");
}

} // namespace
