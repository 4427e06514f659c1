#include "harness.h"

#include <sched.h>

namespace {
bool g_isolated = false;
}

bool quarn_test_isolated() { return g_isolated; }

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    // Fresh namespaces give this binary (and the servers it starts) its own
    // abstract socket names and System V keys; threads and child processes
    // made later inherit them.
    if (!testing::GTEST_FLAG(list_tests))
        g_isolated = unshare(CLONE_NEWNET | CLONE_NEWIPC) == 0;
    return RUN_ALL_TESTS();
}
