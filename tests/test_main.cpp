#include "support.h"

#include <sched.h>

#include <cerrno>
#include <cstring>

namespace {
bool g_isolated = false;
const char *g_isolation_error = "not tried";
} // namespace

bool quarn_test_isolated() { return g_isolated; }
const char *quarn_test_isolation_error() { return g_isolation_error; }

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    // Fresh namespaces give this binary (and the servers it starts) its own
    // abstract socket names and System V keys.  Threads made later, and
    // child processes, inherit them.
    if (!testing::GTEST_FLAG(list_tests)) {
        if (unshare(CLONE_NEWNET | CLONE_NEWIPC) == 0)
            g_isolated = true;
        else
            g_isolation_error = strerror(errno);
    }
    return RUN_ALL_TESTS();
}
