// Kernel log collector: copies (and clears) the kernel's log buffer into
// the BSP log file at a fixed period.
#include "quarn_server.h"

#include "forward.h"
#include "quarn.h"

#include <sys/klog.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace {

constexpr int QUARN_KLOG_BUF_LEN = 65536;
constexpr int QUARN_KLOG_READ_CLEAR = 4; // SYSLOG_ACTION_READ_CLEAR
constexpr int QUARN_KLOG_DEFAULT_PERIOD = 3;

char g_kernel_buf[QUARN_KLOG_BUF_LEN];      // one read of the kernel log; the one thread only
std::atomic<bool> g_klog_started{false};    // at most one collector per process

void *kernel_log_thread_main(void *arg)
{
    int period = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    if (period <= 0)
        period = QUARN_KLOG_DEFAULT_PERIOD;
    char name[32];
    snprintf(name, sizeof name, "klog_th %d", period);
    prctl(PR_SET_NAME, name);
    for (;;) {
        const int n = klogctl(QUARN_KLOG_READ_CLEAR, g_kernel_buf, QUARN_KLOG_BUF_LEN);
        if (n > 0) {
            forward_kernel(g_kernel_buf, static_cast<uint32_t>(n)); // first: the store may rewrite the text in place
            store_batch(g_log_kinds[QUARN_BSP_LOG_INIT], g_kernel_buf, static_cast<uint32_t>(n));
        }
        sleep(static_cast<unsigned>(period));
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
