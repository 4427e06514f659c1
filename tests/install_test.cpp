// The installed package as a board's build uses it: `cmake --install` to a
// fresh prefix, then C11 programs built against it with pkg-config's flags
// and with find_package(quarn).  Each sends two records, which must arrive
// byte for byte as the wire format lays them out (little-endian host).
#include "support.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <string>

namespace {

const char kClientSource[] = R"(#include <quarn.h>

int main(void)
{
    quarn_msg_write_with_type(QUARN_APP_LOG_INIT, QUARN_LEVEL_WARN, "install", "link %s\n", "up");
    quarn_msg_dsp_init(1048576, 65536, 2);
    return 0;
}
)";

const char kConsumerCMake[] = R"(cmake_minimum_required(VERSION 3.25)
project(consumer C)
set(CMAKE_C_STANDARD 11)
find_package(quarn REQUIRED)
add_executable(client client.c)
target_link_libraries(client PRIVATE quarn::quarn)
)";

// An instrumented library needs the same runtime in the program that loads it.
#if defined(__SANITIZE_ADDRESS__)
const std::string kSanitize = "-fsanitize=address,undefined";
#elif defined(__SANITIZE_THREAD__)
const std::string kSanitize = "-fsanitize=thread";
#else
const std::string kSanitize;
#endif

// Runs cmd in dir through the shell; its output lands in *out.
int sh(const TempDir &dir, const std::string &cmd, std::string *out)
{
    const std::string log = dir.file("sh.log");
    const int status = std::system(("cd '" + dir.str() + "' && (" + cmd + ") >'" + log + "' 2>&1").c_str());
    *out = read_file(log);
    return status;
}

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

// Everything one client sent on its connection, up to its exit.
std::string receive_one_client(int listener)
{
    std::string bytes;
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1)
        return bytes;
    const int conn = accept(listener, nullptr, nullptr);
    char buf[4096];
    for (ssize_t n; (n = recv(conn, buf, sizeof buf, 0)) > 0;)
        bytes.append(buf, static_cast<size_t>(n));
    close(conn);
    return bytes;
}

std::string bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

std::string name_field(const std::string &tag) { return tag + std::string(28 - tag.size(), '\0'); }

void expect_records_of_client(const std::string &got)
{
    const std::regex stamp(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\])");
    ASSERT_GT(got.size(), 61u);
    ASSERT_TRUE(std::regex_match(got.substr(40, 21), stamp)) << got.substr(40, 21);
    const std::string warn_text = got.substr(40, 21) + "[WARN][install]link up\n";
    const std::string expected = bytes({0xAB, 0x79, 0xAB, 0x79, 0x01, 0x10, 44, 0, 2, 0, 0, 0}) +
                                 name_field("install") + warn_text +
                                 bytes({0xAB, 0x79, 0xAB, 0x79, 0x02, 0x20, 24, 0, 5, 0, 0, 0}) +
                                 name_field("DSP") + "dsp_init 1048576 65536 2";
    EXPECT_EQ(got, expected);
}

class InstallTest : public testing::Test {
  protected:
    void SetUp() override
    {
        QUARN_REQUIRE_ISOLATION();
        ASSERT_EQ(sh(dir_, "cmake --install " QUARN_BINARY_DIR " --prefix prefix", &out_), 0) << out_;
        write_file(dir_.file("client.c"), kClientSource);
        listener_ = bind_listener();
    }
    void TearDown() override
    {
        if (listener_ >= 0)
            close(listener_);
    }
    // Runs the program at path with the installed library on its search path.
    void run_client(const std::string &path)
    {
        ASSERT_EQ(sh(dir_, "LD_LIBRARY_PATH=\"$(" + pkg_config_ + " --variable=libdir quarn)\" " + path, &out_),
                  0)
            << out_;
        EXPECT_EQ(out_, "") << "the client printed a failure";
        expect_records_of_client(receive_one_client(listener_));
    }

    TempDir dir_;
    std::string out_;
    int listener_ = -1;
    const std::string pkg_config_ = "PKG_CONFIG_PATH=\"$(dirname \"$(find \"$PWD/prefix\" -name quarn.pc)\")\" pkg-config";
};

TEST_F(InstallTest, CProgramBuiltWithPkgConfigSendsByteExactRecords)
{
    const std::string cc = "cc -std=c11 -Wall -Wextra -Wpedantic -Werror " + kSanitize +
                           " client.c -o client $(" + pkg_config_ + " --cflags --libs quarn)";
    ASSERT_EQ(sh(dir_, cc, &out_), 0) << out_;
    run_client("./client");
}

TEST_F(InstallTest, CMakeConsumerFindsThePackage)
{
    write_file(dir_.file("CMakeLists.txt"), kConsumerCMake);
    const std::string cmake = "cmake -S . -B consumer -DCMAKE_PREFIX_PATH=\"$PWD/prefix\" -DCMAKE_C_FLAGS='" +
                              kSanitize + "' && cmake --build consumer";
    ASSERT_EQ(sh(dir_, cmake, &out_), 0) << out_;
    run_client("consumer/client");
}

} // namespace
