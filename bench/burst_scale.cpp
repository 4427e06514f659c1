// The scaling workload: W1's 400,000 records on tmpfs from 4, 16, 64 and
// 256 senders, against quarn and two limits of the baseline receiver in the
// same run: "lossless", whose raw senders block while their send buffer is
// full, and "nowait", whose raw senders never wait (non-blocking sends on a
// 1 MiB send buffer, the one the library asks for), a refused send lost.
// The first is the rate this machine can carry without loss, the second
// what a never-blocking sender can expect to lose at that rate.
#include "burst_measure.h"

#include <map>

namespace burst {
namespace {

constexpr long SCALE_RECORDS = 400000;   // records in all, whatever the senders
constexpr int LIMIT_SNDBUF = 1 << 20;    // as the library asks
const char *const SCALE_SYSTEMS[] = {"quarn", "lossless", "nowait"};

// Every measurement, by senders and system, run by run.
std::map<int, std::map<std::string, std::vector<burst_result>>> results;

sender_plan plan_of(const std::string &system, int senders)
{
    sender_plan plan{system != "quarn", 0, 0, senders};
    plan.total = SCALE_RECORDS;
    plan.blocking = system == "lossless";
    plan.sndbuf = plan.raw ? LIMIT_SNDBUF : 0;
    return plan;
}

template <typename F> stats over(const std::vector<burst_result> &runs, F figure)
{
    std::vector<double> v;
    for (const burst_result &r : runs)
        v.push_back(figure(r));
    return summarize(v);
}

// Run by run: quarn's figure over the limit's.
template <typename F>
stats ratio(const std::vector<burst_result> &q, const std::vector<burst_result> &limit, F figure)
{
    std::vector<double> v;
    for (size_t i = 0; i < q.size() && i < limit.size(); ++i)
        v.push_back(figure(q[i]) / figure(limit[i]));
    return summarize(v);
}

std::string med(const stats &s, int decimals)
{
    char buf[32] = "-";
    if (std::isfinite(s.median))
        snprintf(buf, sizeof buf, "%.*f", decimals, s.median);
    return buf;
}

} // namespace

void run_scale(const options &opt, int run)
{
    for (const int senders : opt.scale_senders) {
        for (int k = 0; k < 3; ++k) { // the order turns from run to run
            const std::string system = SCALE_SYSTEMS[(k + run - 1) % 3];
            burst_result res = measure(opt, system, opt.tmpfs_dir, plan_of(system, senders));
            print_burst(("scale" + std::to_string(senders)).c_str(), "tmpfs", run, res, 0);
            results[senders][system].push_back(res);
        }
    }
}

void print_scale_table()
{
    if (results.empty())
        return;
    auto rate = [](const burst_result &r) { return r.rate(); };
    auto loss = [](const burst_result &r) { return r.loss_pct(); };
    auto cpu = [](const burst_result &r) { return r.cpu_per_m(); };
    auto rss = [](const burst_result &r) { return static_cast<double>(r.rss_kib); };
    printf("\nscaling: %ld records on tmpfs in all, medians over the runs; lossless = baseline receiver, blocking "
           "senders; nowait = baseline receiver, non-blocking senders on a 1 MiB send buffer\n",
           SCALE_RECORDS);
    printf("| senders | system | delivered rec/s | loss %% | CPU s / M delivered | peak RSS KiB |\n");
    printf("|---|---|---|---|---|---|\n");
    for (const auto &[senders, by] : results)
        for (const char *system : SCALE_SYSTEMS) {
            const std::vector<burst_result> &runs = by.at(system);
            printf("| %d | %s | %s | %s | %s | %s |\n", senders, system, med(over(runs, rate), 0).c_str(),
                   med(over(runs, loss), 1).c_str(), med(over(runs, cpu), 2).c_str(), med(over(runs, rss), 0).c_str());
        }
    printf("\n| senders | rate / lossless | loss: quarn vs nowait | CPU per record / lossless | CPU per record / "
           "nowait | quarn peak RSS MiB |\n");
    printf("|---|---|---|---|---|---|\n");
    for (const auto &[senders, by] : results) {
        const auto &q = by.at("quarn"), &l = by.at("lossless"), &n = by.at("nowait");
        printf("| %d | %s | %s %% vs %s %% | %s | %s | %s |\n", senders, med(ratio(q, l, rate), 2).c_str(),
               med(over(q, loss), 1).c_str(), med(over(n, loss), 1).c_str(), med(ratio(q, l, cpu), 2).c_str(),
               med(ratio(q, n, cpu), 2).c_str(), med(over(q, [&](const burst_result &r) { return rss(r) / 1024; }), 2).c_str());
        for (const char *system : SCALE_SYSTEMS) {
            const auto &runs = by.at(system);
            json_line().add("kind", "scale").add("senders", senders).add("system", system)
                .add("runs", static_cast<long>(runs.size())).add("records_per_s", over(runs, rate))
                .add("loss_pct", over(runs, loss)).add("cpu_s_per_m", over(runs, cpu))
                .add("peak_rss_kib", over(runs, rss)).print();
        }
    }
}

} // namespace burst
