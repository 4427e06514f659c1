#include "harness.h"

#include <sched.h>

namespace {

bool g_isolated = false;

// The end-to-end binaries bind the fixed socket name and make the control
// word: outside namespaces of their own they would meet a server running
// on the machine, so each of their tests is skipped there instead.
struct NeedsIsolation : testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &) override
    {
        if (!g_isolated)
            GTEST_SKIP() << "needs fresh network and IPC namespaces (unshare); run as root";
    }
};

} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    // Fresh namespaces give this binary (and the servers it starts) its own
    // abstract socket names and System V keys; threads and child processes
    // made later inherit them.
    g_isolated = !testing::GTEST_FLAG(list_tests) && unshare(CLONE_NEWNET | CLONE_NEWIPC) == 0;
#ifdef QUARN_E2E
    testing::UnitTest::GetInstance()->listeners().Append(new NeedsIsolation);
#endif
    return RUN_ALL_TESTS();
}
