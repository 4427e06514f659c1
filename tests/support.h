// Helpers shared by the test binaries.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

bool quarn_test_isolated();
const char *quarn_test_isolation_error();

// Tests that bind the socket name or create the control word run only in
// the binary's own namespaces.
#define QUARN_REQUIRE_ISOLATION()                                                       \
    do {                                                                                \
        if (!quarn_test_isolated())                                                     \
            GTEST_SKIP() << "needs fresh network and IPC namespaces (unshare: "         \
                         << quarn_test_isolation_error() << "); run as root";           \
    } while (0)

// A fresh directory, removed with everything in it at the end of the scope.
class TempDir {
  public:
    TempDir()
    {
        std::string templ = (std::filesystem::temp_directory_path() / "quarn-test-XXXXXX").string();
        if (!mkdtemp(templ.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = templ;
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::string file(const std::string &name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// Polls pred until it holds or the bound passes; true when it held.
template <class Pred>
bool wait_until(Pred pred, std::chrono::milliseconds bound = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end)
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
