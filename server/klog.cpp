// Kernel log collector: copies the kernel log into the BSP log file at a
// fixed period.  It reads from the kernel's own syslog read position, which
// moves as it reads: the kernel's buffer stays whole for dmesg, and a
// restarted server goes on where the last one stopped instead of storing
// the same lines again.
#include "quarn_server.h"

#include "fault_stack.h"
#include "forward.h"
#include "quarn.h"

#include <sys/klog.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace {

constexpr int QUARN_KLOG_BUF_LEN = 65536;
constexpr int QUARN_KLOG_READ = 2;        // SYSLOG_ACTION_READ: consumes from the syslog read position
constexpr int QUARN_KLOG_SIZE_UNREAD = 9; // SYSLOG_ACTION_SIZE_UNREAD
constexpr int QUARN_KLOG_DEFAULT_PERIOD = 3;

char g_kernel_buf[QUARN_KLOG_BUF_LEN];      // one read of the kernel log; the one thread only
std::atomic<bool> g_klog_started{false};    // at most one collector per process
// Held from a read of the kernel log until its text is stored: what the
// kernel handed over is in no other place, so the stop waits for it.
pthread_mutex_t g_klog_turn = PTHREAD_MUTEX_INITIALIZER;

class klog_turn {
  public:
    klog_turn() { pthread_mutex_lock(&g_klog_turn); }
    ~klog_turn() { pthread_mutex_unlock(&g_klog_turn); }
    klog_turn(const klog_turn &) = delete;
    klog_turn &operator=(const klog_turn &) = delete;
};

// Stores everything the kernel holds unread, a buffer at a time, so that a
// burst of any size the kernel kept arrives whole.  The read blocks while
// nothing is unread, hence the question first; should another reader take
// the lines in between, the read waits for the next kernel line, which
// holds up nothing else: the thread takes no lock and the stop does not
// wait for it.
void _collect_()
{
    for (;;) {
        const klog_turn turn;
        if (klogctl(QUARN_KLOG_SIZE_UNREAD, nullptr, 0) <= 0)
            return;
        const int n = klogctl(QUARN_KLOG_READ, g_kernel_buf, QUARN_KLOG_BUF_LEN);
        if (n <= 0)
            return;
        forward_kernel(g_kernel_buf, static_cast<uint32_t>(n)); // first: the store may rewrite the text in place
        store_batch(g_log_kinds[QUARN_BSP_LOG_INIT], g_kernel_buf, static_cast<uint32_t>(n));
    }
}

void *kernel_log_thread_main(void *arg)
{
    const fault_stack own_stack;
    int period = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    if (period <= 0)
        period = QUARN_KLOG_DEFAULT_PERIOD;
    char name[32];
    snprintf(name, sizeof name, "klog_th %d", period);
    prctl(PR_SET_NAME, name);
    const timespec pause{period, 0};
    for (;;) {
        _collect_();
        nanosleep(&pause, nullptr);
    }
}

} // namespace

int kernel_log_start(int period)
{
    if (g_klog_started.exchange(true))
        return EBUSY;
    pthread_t tid;
    const int rc = pthread_create(&tid, nullptr, kernel_log_thread_main,
                                  reinterpret_cast<void *>(static_cast<intptr_t>(period)));
    if (rc != 0)
        g_klog_started = false; // a later bsp_init may try again
    return rc;
}

void kernel_log_quiesce(int wait_ms)
{
    for (int waited = 0; pthread_mutex_trylock(&g_klog_turn) != 0 && waited < wait_ms; waited += 10) {
        const timespec pause{0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}
