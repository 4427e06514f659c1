// W4 of quarn_burst: W1's burst on tmpfs with every record shown on the
// console, once with the console on a pipe drained at the pace of a
// 115200-baud serial line and once with it on /dev/null.  Storage must not
// wait for the console, so the two rates should be close.
#include "burst_measure.h"

namespace burst {

void run_w4(const options &opt, int run)
{
    const sender_plan plan{false, W1_RECORDS, 0, SENDERS, QUARN_LEVEL_INFO};
    console_plan slow, null;
    slow.sink = console_plan::to_slow_pipe;
    null.sink = console_plan::to_null;
    burst_result by[2]; // slow, null
    for (const int which : run % 2 ? std::vector<int>{0, 1} : std::vector<int>{1, 0}) {
        by[which] = measure(opt, "quarn", opt.tmpfs_dir, plan, which == 0 ? slow : null);
        by[which].system = which == 0 ? "quarn/slow-console" : "quarn/null-console";
        print_burst("w4", "tmpfs", run, by[which], 0);
    }
    const burst_result &s = by[0], &n = by[1];
    add_figure("W4 console", "delivered rec/s", 0, s.rate(), n.rate());
    add_figure("W4 console", "loss %", 2, s.loss_pct(), n.loss_pct());
    add_figure("W4 console", "CPU s / M delivered", 3, s.cpu_per_m(), n.cpu_per_m());
    add_figure("W4 console", "console lines not shown", 0, static_cast<double>(s.console_not_shown),
               static_cast<double>(n.console_not_shown));
}

} // namespace burst
