// The installed package as a board's build uses it: `cmake --install` to a
// fresh prefix, then a C11 program built against it with pkg-config's
// flags.  It sends two records, which must arrive byte for byte as the wire format lays them out (little-endian host).
#include "wire.h"

#include <regex>

namespace {

using namespace std::string_literals;

const char kClientSource[] = R"(#include <quarn.h>
int main(void)
{
    quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_WARN, "install", "link %s\n", "up");
    quarn_msg_dsp_init(1048576, 65536, 2);
    return 0;
}
)";

// An instrumented library needs the same runtime in the program that loads it.
#if defined(__SANITIZE_ADDRESS__)
const std::string kSanitize = "-fsanitize=address,undefined";
#elif defined(__SANITIZE_THREAD__)
const std::string kSanitize = "-fsanitize=thread";
#else
const std::string kSanitize;
#endif

const std::string kPkgConfig = "PKG_CONFIG_PATH=\"$(dirname \"$(find \"$PWD/prefix\" -name quarn.pc)\")\" pkg-config";

class InstallTest : public testing::Test {
  protected:
    void SetUp() override
    {
        QUARN_REQUIRE_ISOLATION();
        ASSERT_EQ(sh("cmake --install " QUARN_BINARY_DIR " --prefix prefix"), 0) << out_;
        write_file(dir_.file("client.c"), kClientSource);
        listener_.reset(bind_listener());
    }
    // Runs cmd in the test's directory through the shell; its output lands in out_.
    int sh(const std::string &cmd)
    {
        const std::string log = dir_.file("sh.log");
        const int status = std::system(("cd '" + dir_.str() + "' && (" + cmd + ") >'" + log + "' 2>&1").c_str());
        out_ = read_file(log);
        return status;
    }
    TempDir dir_;
    std::string out_;   // output of the last sh()
    owned_fd listener_; // where the client connects
};

TEST_F(InstallTest, CProgramBuiltWithPkgConfigSendsByteExactRecords)
{
    ASSERT_EQ(sh("cc -std=c11 -Wall -Wextra -Wpedantic -Werror " + kSanitize + " client.c -o client $(" + kPkgConfig +
                 " --cflags --libs quarn)"),
              0)
        << out_;
    ASSERT_EQ(sh("LD_LIBRARY_PATH=\"$(" + kPkgConfig + " --variable=libdir quarn)\" ./client"), 0) << out_;
    EXPECT_EQ(out_, "") << "the client printed a failure";
    owned_fd conn(accept_one(listener_.get()));
    const std::string got = read_until_eof(conn.get());
    ASSERT_GT(got.size(), 61u);
    const std::string stamp = got.substr(40, 21);
    ASSERT_TRUE(std::regex_match(stamp, std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\])"))) << stamp;
    auto name = [](const std::string &tag) { return tag + std::string(28 - tag.size(), '\0'); };
    EXPECT_EQ(got, "\xAB\x79\xAB\x79\x01\x10\x2C\0\2\0\0\0"s + name("install") + stamp + "[WARN][install]link up\n" +
                       "\xAB\x79\xAB\x79\x02\x20\x18\0\5\0\0\0"s + name("DSP") + "dsp_init 1048576 65536 2");
}

} // namespace
