// W3 of quarn_burst: the highest total rate each system takes without loss,
// searched on a grid of paced rates.
#include "burst_measure.h"

#include <map>
#include <optional>

namespace burst {

namespace {

constexpr double W3_GRID_BASE = 200000; // origin of the grid of paced rates, where the first search starts
constexpr double W3_STEP = 1.1;         // one grid step: 10 %
constexpr int W3_MAX_STEPS = 20;        // paced runs per search at most
constexpr double W3_MIN_RATE = 5000;    // the search gives up below this

double w3_grid(int k)
{
    return W3_GRID_BASE * std::pow(W3_STEP, k);
}

// One paced run at total rate grid(k): true when it lost nothing, false when
// it lost, nothing at all when the senders could not keep the pace, which
// proves nothing about the receiver.
std::optional<bool> w3_step(const options &opt, const std::string &system, int run, int k)
{
    const double rate = w3_grid(k);
    const int per_sender = static_cast<int>(rate / SENDERS * opt.w3_seconds);
    const burst_result res =
        measure(opt, system, opt.tmpfs_dir, {system == "baseline", per_sender, rate / SENDERS});
    print_burst("w3", "tmpfs", run, res, rate);
    if (res.send_seconds > opt.w3_seconds * 1.05)
        return std::nullopt;
    return res.whole();
}

// The highest lossless total rate on the grid for one system, and what
// ended the search: from grid point k up while nothing is lost, or down
// until nothing is.
std::pair<double, std::string> w3_search(const options &opt, const std::string &system, int run, int k)
{
    if (w3_step(opt, system, run, k).value_or(false)) {
        const double cap = 0.9 * QUARN_LOG_SIZE / (STAMP_LEN + PAYLOAD_LEN) / opt.w3_seconds;
        for (int steps = 1;; ++steps, ++k) {
            if (steps >= W3_MAX_STEPS)
                return {w3_grid(k), "step limit reached"};
            if (w3_grid(k + 1) > cap)
                return {w3_grid(k), std::string("next rate would wrap the ") + QUARN_LOG_ARG + " log file"};
            const std::optional<bool> next = w3_step(opt, system, run, k + 1);
            if (!next.value_or(false))
                return {w3_grid(k), next ? "the next step lost records" : "senders could not keep the next pace"};
        }
    }
    for (int steps = 1; steps < W3_MAX_STEPS && w3_grid(--k) >= W3_MIN_RATE; ++steps)
        if (w3_step(opt, system, run, k).value_or(false))
            return {w3_grid(k), "the step above lost records"};
    return {NAN, "no lossless rate found"};
}

} // namespace

// W3 for both systems; each search starts at the grid point where the
// previous run's ended (the grid base at first), which saves most steps.
void run_w3(const options &opt, int run, std::map<std::string, int> &start)
{
    std::map<std::string, double> found;
    std::vector<std::string> systems = systems_in_order(run);
    if (!opt.forward.empty()) // beside plain quarn, before or after it as the run alternates
        systems.insert(std::find(systems.begin(), systems.end(), "quarn") + run % 2, "quarn+fwd");
    if (!opt.sink.empty())
        systems.insert(std::find(systems.begin(), systems.end(), "quarn") + run % 2, "quarn+sink");
    for (const std::string &system : systems) {
        const auto [rate, end] = w3_search(opt, system, run, start[system]);
        found[system] = rate;
        if (std::isfinite(rate))
            start[system] = static_cast<int>(std::lround(std::log(rate / W3_GRID_BASE) / std::log(W3_STEP)));
        printf("  W3 %s: highest lossless rate %.0f rec/s (%s)\n", system.c_str(), rate, end.c_str());
        json_line().add("kind", "measurement").add("workload", "w3").add("system", system).add("run", run)
            .add("seconds", opt.w3_seconds).add("lossless_rate", rate).add("search_end", end).print();
    }
    add_figure("W3 tmpfs", "lossless rec/s", 0, found["quarn"], found["baseline"]);
    if (!opt.forward.empty()) // here the baseline column is quarn without forwarding
        add_figure("W3 fwd/tcp", "lossless rec/s", 0, found["quarn+fwd"], found["quarn"]);
    if (!opt.sink.empty())
        add_figure("W3 fwd/sink", "lossless rec/s", 0, found["quarn+sink"], found["quarn"]);
}

} // namespace burst
