// The installed package as a board's build uses it: `cmake --install` to a
// fresh prefix, then a C11 program built against it with pkg-config's flags
// sends two records, which must arrive byte for byte as the wire format
// lays them out (little-endian host).
#include "harness.h"

#include <regex>

namespace {

using namespace e2e;
using namespace std::string_literals;

// An instrumented library needs the same runtime in the program that loads it.
#if defined(__SANITIZE_ADDRESS__)
const std::string kSanitize = "-fsanitize=address,undefined";
#elif defined(__SANITIZE_THREAD__)
const std::string kSanitize = "-fsanitize=thread";
#else
const std::string kSanitize;
#endif

TEST(Install, CProgramBuiltWithPkgConfigSendsByteExactRecords)
{
    QUARN_REQUIRE_ISOLATION();
    TempDir dir;
    const int listener = quarn_socket(0, true);
    write_file(dir.file("client.c"), "#include <quarn.h>\nint main(void)\n{\n"
                                     "    quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_WARN, \"install\", \"link %s\\n\", \"up\");\n"
                                     "    quarn_msg_dsp_init(1048576, 65536, 2);\n    return 0;\n}\n");
    const std::string pc = "PKG_CONFIG_PATH=\"$(dirname \"$(find \"$PWD/prefix\" -name quarn.pc)\")\" pkg-config";
    const std::string script = "cmake --install " QUARN_BINARY_DIR " --prefix prefix >/dev/null && "
                               "cc -std=c11 -Wall -Wextra -Wpedantic -Werror " + kSanitize + " client.c -o client $(" +
                               pc + " --cflags --libs quarn) && LD_LIBRARY_PATH=\"$(" + pc +
                               " --variable=libdir quarn)\" ./client";
    ASSERT_EQ(std::system(("cd '" + dir.str() + "' && (" + script + ") >out 2>&1").c_str()), 0) << read_file(dir.file("out"));
    EXPECT_EQ(read_file(dir.file("out")), "") << "the client printed a failure";
    const int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    const std::string got = read_until_eof(conn);
    ASSERT_GT(got.size(), 61u);
    const std::string stamp = got.substr(40, 21);
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\])"))) << stamp;
    auto name = [](const std::string &tag) { return tag + std::string(28 - tag.size(), '\0'); };
    EXPECT_EQ(got, "\xAB\x79\xAB\x79\x01\x10\x2C\0\2\0\0\0"s + name("install") + stamp + "[WARN][install]link up\n" +
                       "\xAB\x79\xAB\x79\x02\x20\x18\0\5\0\0\0"s + name("DSP") + "dsp_init 1048576 65536 2");
    close(conn), close(listener);
}

} // namespace
