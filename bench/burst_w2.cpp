// W2 of quarn_burst: what one library call costs beside a raw send of the
// same record, timed call by call, and what one sender alone loses.
#include "burst_measure.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <filesystem>
#include <map>

namespace burst {

namespace {

constexpr int W2_BATCHES = W2_CALLS / W2_BATCH;
constexpr char TIMED_MARK[] = "--- timed ---";  // W2: the library's failure lines after it count

// The 99th percentile of v.
double p99(std::vector<double> v)
{
    if (v.empty())
        return NAN;
    const auto at = v.begin() + static_cast<std::ptrdiff_t>(v.size() * 99 / 100);
    std::nth_element(v.begin(), at, v.end());
    return *at;
}

// W2's figures, ns per call, one per batch; the sender fills them in.
struct w2_samples {
    double library_ns[W2_BATCHES], raw_ns[W2_BATCHES]; // mean of each batch
    float library_call_ns[W2_CALLS], raw_call_ns[W2_CALLS]; // each call, clock reading included
    sender_report counts;     // raw sends that failed while timed
    bool done;                // the sender got through
};

// Waits, bounded by a second, until the receiver has taken everything these
// sockets sent, so that every timed batch starts with room in the send
// buffers: a lone sender can outrun the receiver, and a refused send is
// cheaper than a real one.
void drain(const std::vector<int> &fds)
{
    const int64_t limit = now_ns() + 1000 * MS;
    for (const int fd : fds)
        for (int queued = 0; ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0 && now_ns() < limit;)
            sleep_ns(MS / 10);
}

// Times each call of a batch (one clock reading between two calls, which
// both kinds pay alike) into calls[0, W2_BATCH); returns the batch's mean.
template <typename F> double time_batch(F &&op, float *calls)
{
    const int64_t t0 = now_ns();
    int64_t before = t0;
    for (int i = 0; i < W2_BATCH; ++i) {
        op();
        const int64_t after = now_ns();
        calls[i] = static_cast<float>(after - before);
        before = after;
    }
    return static_cast<double>(before - t0) / W2_BATCH;
}

// The W2 sender: library calls and raw sends of the same record in
// alternating batches, on two connections to the same receiver, the send
// queues drained before every batch.
void w2_sender(w2_samples &s)
{
    std::string text(PAYLOAD_LEN + 1, '\0'), rec = log_record(1);
    write_payload(text.data(), 0, 0);
    const int fd = connect_server();
    if (fd < 0)
        return;
    auto lib_call = [&] { library_call(text.data()), next_payload(text.data()); };
    auto raw_send = [&] { send_raw(fd, rec, s.counts), next_payload(&rec[PAYLOAD_AT]); };
    time_batch(lib_call, s.library_call_ns); // warm up: connect, fault in the pages, fill the time stamp cache
    time_batch(raw_send, s.raw_call_ns);
    std::vector<int> sockets; // ours and the library's connection
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        struct stat st{};
        if (const int sfd = atoi(entry.path().filename().c_str()); fstat(sfd, &st) == 0 && S_ISSOCK(st.st_mode))
            sockets.push_back(sfd);
    }
    s.counts = {};
    printf("%s\n", TIMED_MARK);
    fflush(stdout);
    for (int b = 0; b < W2_BATCHES; ++b)
        for (const bool library : {b % 2 == 1, b % 2 == 0}) { // each kind goes first every other batch
            drain(sockets);
            const size_t at = static_cast<size_t>(b) * W2_BATCH;
            (library ? s.library_ns : s.raw_ns)[b] = library ? time_batch(lib_call, s.library_call_ns + at)
                                                             : time_batch(raw_send, s.raw_call_ns + at);
        }
    s.done = true;
}

} // namespace

// W2: one sender against the baseline receiver on tmpfs.
void run_w2(const options &opt, int run)
{
    const std::string dir = fresh_dir(opt.tmpfs_dir), sender_out = dir + "/sender.out";
    receiver r = start_receiver(opt, "baseline", dir, dir + "/receiver.out");
    auto *s = shared_mem<w2_samples>();
    if (r.listening()) {
        sender_group g(1, sender_out, [&](int) { w2_sender(*s); });
        waitpid(g.pids[0], nullptr, 0);
    }
    r.stop();
    const std::string out = read_whole(sender_out);
    const size_t mark = out.find(TIMED_MARK);
    const long lib_failed = mark == std::string::npos ? 0 : std::count(out.begin() + mark, out.end(), '\n') - 1;
    std::filesystem::remove_all(dir);
    const double lib_ns = summarize({s->library_ns, s->library_ns + W2_BATCHES}).median;
    const double raw_ns = summarize({s->raw_ns, s->raw_ns + W2_BATCHES}).median;
    const double lib_p99 = p99({s->library_call_ns, s->library_call_ns + W2_CALLS});
    const double raw_p99 = p99({s->raw_call_ns, s->raw_call_ns + W2_CALLS});
    const sender_report c = s->counts;
    const bool done = s->done;
    if (!done) {
        printf("  W2 FAULT: no samples (receiver %s)\n", describe_status(r.status).c_str());
        return;
    }
    printf("  W2: library call %.0f ns, raw send %.0f ns (median of %d batches of %d; ratio %.2f); "
           "p99 of a call %.0f / %.0f ns; failed: library %ld, raw %ld EAGAIN + %ld other\n",
           lib_ns, raw_ns, W2_BATCHES, W2_BATCH, lib_ns / raw_ns, lib_p99, raw_p99, lib_failed, c.eagain,
           c.other_fail);
    json_line().add("kind", "measurement").add("workload", "w2").add("run", run).add("receiver", "baseline")
        .add("calls", static_cast<long>(W2_CALLS)).add("batch", W2_BATCH).add("library_ns", lib_ns)
        .add("raw_ns", raw_ns).add("ratio", lib_ns / raw_ns).add("library_p99_ns", lib_p99)
        .add("raw_p99_ns", raw_p99).add("library_failed", lib_failed)
        .add("raw_eagain", c.eagain).add("raw_other_fail", c.other_fail).print();
    add_figure("W2", "ns per call", 0, lib_ns, raw_ns);
    add_figure("W2", "p99 ns per call", 0, lib_p99, raw_p99);
}

// W2's loss: one sender as fast as it goes, quarn against the baseline.
void run_w2_loss(const options &opt, int run)
{
    std::map<std::string, burst_result> by;
    for (const std::string &system : systems_in_order(run)) {
        by[system] = measure(opt, system, opt.tmpfs_dir, {system != "quarn", W1_RECORDS, 0, 1});
        print_burst("w2", "tmpfs", run, by[system], 0);
    }
    add_figure("W2", "1 sender: loss %", 2, by["quarn"].loss_pct(), by["baseline"].loss_pct());
}

} // namespace burst
