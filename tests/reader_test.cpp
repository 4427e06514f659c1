// Message reader: the size limits, records and headers that arrive in
// pieces or not at all, resynchronisation, and readers side by side.
#include "reader.h"

#include "wire.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <vector>

namespace {

// A record with len text bytes of fill.
std::string record(int len, char fill = 'r') { return make_record(QUARN_TYPE_APP, 0, std::string(len, fill)); }

// Reads one record of fd: the result, and in *rec the bytes *size then covers.
int read_record(int fd, std::string *rec)
{
    std::vector<char> buf(QUARN_MSG_RECV_LEN);
    int size = QUARN_MSG_RECV_LEN;
    const int rc = bsp_quarn_msg_read(fd, buf.data(), &size);
    rec->assign(buf.data(), size);
    return rc;
}

class Reader : public testing::Test {
  protected:
    // A fresh connection whose calls give up after a bound instead of
    // hanging a faulty run.
    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd_), 0);
        const timeval bound{10, 0};
        setsockopt(fd_[0], SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        setsockopt(fd_[1], SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    }
    // Drops this thread's leftovers, as the next test may get the same
    // descriptor: reads another, ended connection.
    void TearDown() override
    {
        int p[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, p), 0);
        close(p[1]);
        EXPECT_EQ(read_record(p[0], &rec_), -1);
        close(p[0]);
        close(fd_[0]);
        hang_up();
    }
    void hang_up()
    {
        if (fd_[1] >= 0)
            close(fd_[1]);
        fd_[1] = -1;
    }
    // Sends the pieces from another thread, each once the reader took
    // everything sent before, then hangs up.
    std::future<void> send_in_pieces(std::vector<std::string> pieces)
    {
        return std::async(std::launch::async, [this, pieces] {
            for (const auto &p : pieces) {
                EXPECT_TRUE(wait_until([this] {
                    int queued = -1;
                    return ioctl(fd_[0], SIOCINQ, &queued) == 0 && queued == 0;
                }));
                EXPECT_TRUE(send_all(fd_[1], p));
            }
            hang_up();
        });
    }
    int read() { return read_record(fd_[0], &rec_); }

    int fd_[2] = {-1, -1};
    std::string rec_; // the last record read, or the capacity's worth of zeros
};

// 1280 bytes do not fit the 1280-byte buffer with room to spare: skipped.
TEST_F(Reader, RecordsOfCapacitySizeAndOf64KiBLessOneAreSkippedWhole)
{
    std::string big = record(65495, 's');
    big.replace(65490, 43, record(3, 'x')); // a skipped record's text is never framed
    auto sender = send_in_pieces({record(1240) + record(1239, 'n') + big.substr(0, 30000),
                                  big.substr(30000) + record(5, 'n')});
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(rec_, record(1239, 'n'));
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(rec_, record(5, 'n'));
    sender.get();
}

TEST_F(Reader, HeaderAnnouncing64KiBFailsWithMessage)
{
    ASSERT_TRUE(send_all(fd_[1], record(65496).substr(0, 40)));
    testing::internal::CaptureStdout();
    EXPECT_EQ(read(), -2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "error package len[65536] \n");
    EXPECT_EQ(rec_, std::string(QUARN_MSG_RECV_LEN, '\0'));
}

TEST_F(Reader, HeaderArrivingInPiecesIsDeliveredWhole)
{
    const std::string r = record(1000, 'p');
    auto sender = send_in_pieces({record(1239), r.substr(0, 2), r.substr(2, 5), r.substr(7, 32), r.substr(39, 1),
                                  r.substr(40, 50), r.substr(90)});
    // Leaves 4 where r's high len byte will land: judged on 7 bytes, r would be
    // 1296 bytes long and skipped.
    ASSERT_EQ(read(), 0);
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(rec_, r);
    sender.get();
}

TEST_F(Reader, PeerClosingMidHeaderOrMidRecordEndsConnection)
{
    for (size_t cut : {90, 20}) { // the next connection may get the same descriptor
        ASSERT_TRUE(send_all(fd_[1], record(5) + record(100).substr(0, cut)));
        hang_up();
        EXPECT_EQ(read(), 0);
        EXPECT_EQ(rec_, record(5));
        EXPECT_EQ(read(), -1) << "cut after " << cut;
        EXPECT_EQ(rec_.size(), size_t{QUARN_MSG_RECV_LEN});
        close(fd_[0]);
        SetUp();
    }
}

// Stray bytes, then a good record, sent in two pieces cut at `cut`.
struct Stray {
    const char *name;
    std::string before;
    size_t cut;
};

class ReaderResync : public Reader, public testing::WithParamInterface<Stray> {};

TEST_P(ReaderResync, GoodRecordAfterStrayBytesIsDelivered)
{
    const std::string stream = GetParam().before + record(20, 'g') + record(1, 'h');
    auto sender = send_in_pieces({stream.substr(0, GetParam().cut), stream.substr(GetParam().cut)});
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(rec_, record(20, 'g'));
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(rec_, record(1, 'h'));
    sender.get();
}

const std::string kMarkerStart = record(0).substr(0, 3);

INSTANTIATE_TEST_SUITE_P(Stream, ReaderResync,
                         testing::Values(Stray{"TenStrayBytesInTheSameSend", std::string(10, '\x11'), 0},
                                         Stray{"MarkerSplitAfterTwoBytes", std::string(10, '\x11'), 12},
                                         Stray{"MarkerPrefixThatIsNoMarker", kMarkerStart, 3},
                                         Stray{"MoreStrayBytesThanTheBuffer", std::string(70000, '\x11'), 69999}),
                         [](const auto &info) { return std::string(info.param.name); });

// Many records of mixed size, several to a receive, on two connections
// read in two threads at once.
TEST(ReaderConcurrency, TwoConnectionsInTwoThreadsKeepTheirOwnRecordsInOrder)
{
    auto serve = [](char fill) {
        int fd[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
        std::string all;
        for (int i = 0; i < 3000; ++i)
            all += record(i * 37 % 1240, fill);
        auto sender = std::async(std::launch::async, [&] { EXPECT_TRUE(send_all(fd[1], all)); });
        int good = 0;
        std::string rec;
        while (good < 3000 && read_record(fd[0], &rec) == 0 && rec == record(good * 37 % 1240, fill))
            ++good;
        sender.get();
        close(fd[0]);
        close(fd[1]);
        return good;
    };
    auto a = std::async(std::launch::async, serve, 'A');
    auto b = std::async(std::launch::async, serve, 'B');
    EXPECT_EQ(a.get(), 3000);
    EXPECT_EQ(b.get(), 3000);
}

} // namespace
