// Records as quarn_msg_write_with_type puts them on the wire, read by a
// listener bound to the real socket name: header fields, text layout per
// level, and the cuts that keep every record inside its buffer.
#include "wire.h"

#include <ctime>
#include <wchar.h>

namespace {

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
        if (conn_ < 0)
            conn_ = accept_one(listener_);
        const std::vector<received_t> got = records(read_until_eof(conn_, 0));
        EXPECT_EQ(got.size(), 1u) << "one call, one record";
        return got.empty() ? received_t{} : got[0];
    }

    // The text after the stamp a record sent between before and now carries.
    static std::string after_stamp(const std::string &text, time_t before)
    {
        if (text.substr(0, 21) != stamp_of(before)) {
            EXPECT_EQ(text.substr(0, 21), stamp_of(time(nullptr)));
        }
        return text.substr(21);
    }

    static inline int listener_ = -1; // bound for the life of the binary
    static inline int conn_ = -1;     // the library's connection, accepted once
};

// The name field holds the tag cut at 26 characters, NUL-padded.
void expect_name(const quarn_msg_head_t &head, const std::string &tag)
{
    const std::string kept = tag.substr(0, QUARN_MSG_TAG_MAX);
    EXPECT_EQ(std::string(head.name, sizeof head.name), kept + std::string(sizeof head.name - kept.size(), '\0'));
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
    const std::string expected = (c.label ? std::string(c.label) + "[net]" : "") + "link up 7\n";
    EXPECT_EQ(c.stamped ? after_stamp(rec.text, before) : rec.text, expected);
    EXPECT_EQ(rec.head.magic, QUARN_MSG_MAGIC);
    EXPECT_EQ(rec.head.type, QUARN_TYPE_APP);
    EXPECT_EQ(rec.head.level, c.level);
    expect_name(rec.head, "net");
}

INSTANTIATE_TEST_SUITE_P(Levels, LevelLayout,
                         testing::Values(layout_case{0, "[DBUG]", true}, layout_case{1, "[INFO]", true},
                                         layout_case{2, "[WARN]", true}, layout_case{3, "[ERROR]", true},
                                         layout_case{4, nullptr, true}, layout_case{5, nullptr, false}));

// The message part is cut at 1023 characters, the tag only by the room
// left: nothing may spill past the 1112-byte text area, whose last byte is
// kept for the formatter's NUL.
TEST_F(RecordTest, CutsKeepEveryPartInsideTheTextArea)
{
    std::string msg(2000, 'm');
    for (size_t i = 0; i < msg.size(); ++i)
        msg[i] = static_cast<char>('a' + i % 26);
    struct cut_case {
        size_t tag, msg, len; // tag and message lengths sent, len expected
    };
    for (const cut_case c : {cut_case{3, 2000, 21 + 12 + 1023}, cut_case{40, 1, 21 + 49 + 1},
                             cut_case{5000, 2000, 1111}}) {
        const std::string tag(c.tag, 'g');
        const time_t before = time(nullptr);
        quarn_msg_write_with_type(0, QUARN_LEVEL_ERROR, tag.c_str(), "%s", msg.substr(0, c.msg).c_str());
        const received_t rec = next_record();
        const std::string label_tag = ("[ERROR][" + tag + "]").substr(0, QUARN_MSG_PART_MAX);
        EXPECT_EQ(rec.head.len, c.len) << "tag of " << c.tag;
        EXPECT_EQ(after_stamp(rec.text, before), label_tag + msg.substr(0, c.len - 21 - label_tag.size()))
            << "tag of " << c.tag;
        expect_name(rec.head, tag);
    }
}

// The record buffer is not cleared beyond the header, so a message that
// fails to format must not count bytes it never wrote.
TEST_F(RecordTest, FailedFormatSendsNoStaleBytes)
{
    const wchar_t unencodable[] = {0x20AC, 0}; // no C-locale encoding
    quarn_msg_write_with_type(0, QUARN_LEVEL_INFO, "fmt", "ab%lscd", unencodable);
    EXPECT_EQ(next_record().text.substr(21), "[INFO][fmt]");
}

} // namespace
