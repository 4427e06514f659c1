// A power cut keeps any subset of the 512-byte sectors written since the
// last completed sync, and loses the others.  At every call of a run of
// batches, for every such subset (or thousands of random ones where there
// are too many), the file must reopen at a marker with the last synced
// batch in it (as much of it as the ring keeps beside the batch in flight),
// and never go to the backup.
#include "logfile_check.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <random>
#include <utility>

namespace {

constexpr uint64_t SECTOR = 512;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t QUARN_TRIALS = 8; // a sanitizer's allocator makes each far dearer
#else
constexpr size_t QUARN_TRIALS = 60;
#endif

struct Medium {
    std::string synced;                                     // the file as of the last completed sync
    std::vector<std::pair<uint64_t, std::string>> pending;  // writes since then, in order
};
Medium g_medium;
int g_calls = 0, g_cut_at = -1; // calls made; the call before which the cut is taken
std::optional<Medium> g_cut;    // the medium at the cut

void at_call()
{
    if (g_calls++ == g_cut_at)
        g_cut = g_medium;
}

ssize_t recorded_pwritev(int fd, const iovec *iov, int n, off_t pos)
{
    at_call();
    const ssize_t done = pwritev(fd, iov, n, pos);
    std::string bytes;
    for (int i = 0; i < n; ++i)
        bytes.append(static_cast<const char *>(iov[i].iov_base), iov[i].iov_len);
    g_medium.pending.emplace_back(pos, bytes.substr(0, static_cast<size_t>(std::max<ssize_t>(done, 0))));
    return done;
}

std::string apply(std::string file, const std::pair<uint64_t, std::string> &w)
{
    file.resize(std::max<size_t>(file.size(), w.first + w.second.size()), '\0');
    return file.replace(w.first, w.second.size(), w.second);
}

int recorded_fsync(int fd)
{
    at_call();
    for (const auto &w : g_medium.pending)
        g_medium.synced = apply(g_medium.synced, w);
    g_medium.pending.clear();
    return fd >= 0 ? 0 : -1; // the medium above is the disk here
}

// The sectors the pending writes touch, and the file as it stands once
// those of keep (a bit per sector) reached the medium.
std::vector<uint64_t> sectors(const Medium &m)
{
    std::vector<uint64_t> out;
    for (const auto &[pos, bytes] : m.pending)
        for (uint64_t s = pos / SECTOR; s * SECTOR < pos + bytes.size(); ++s)
            if (std::find(out.begin(), out.end(), s) == out.end())
                out.push_back(s);
    return out;
}

std::string after_cut(const Medium &m, const std::vector<uint64_t> &secs, const std::vector<bool> &keep)
{
    std::string full = m.synced, image = m.synced;
    for (const auto &w : m.pending)
        full = apply(full, w);
    for (size_t i = 0; i < secs.size(); ++i)
        if (keep[i] && secs[i] * SECTOR < full.size())
            image = apply(image, {secs[i] * SECTOR, full.substr(secs[i] * SECTOR, SECTOR)});
    return image;
}

struct Cut {
    std::optional<Medium> medium; // at the cut; none when the run made fewer calls
    std::string synced;           // the last batch synced before it
    size_t in_flight = 0;         // the length of the batch being written then
};

// Writes batches into a fresh store of size max with the cut before call cut_at.
Cut run(const std::string &dir, uint32_t max, const std::vector<std::string> &batches, int cut_at)
{
    std::filesystem::remove(dir + "/quarn.app");
    g_medium = {}, g_calls = 0, g_cut_at = cut_at, g_cut.reset();
    store::reopen(dir, max);
    quarn_log_file_set_io({recorded_pwritev, recorded_fsync});
    Cut cut;
    for (const std::string &b : batches) {
        if (&b == &batches[batches.size() / 2])
            store::reopen(dir, max); // a restart: the write position is found again
        const bool before = g_cut.has_value();
        EXPECT_EQ(bsp_quarn_log_file_write(b.data(), static_cast<int>(b.size()), 0), 0);
        if (!g_cut)
            cut.synced = b;
        else if (!before)
            cut.in_flight = b.size();
    }
    quarn_log_file_set_io({});
    cut.medium = g_cut;
    return cut;
}

// What is wrong with the file image reopened, or "".  Before the first
// batch was synced the file never held a marker on the medium: a torn
// first batch may go to the backup.
std::string fault(const std::string &dir, uint32_t max, const std::string &image, const Cut &cut)
{
    const std::string &synced = cut.synced;
    const size_t room = max - std::min<size_t>(max, cut.in_flight + 2 * QUARN_END_MARK_LEN);
    const std::string log = dir + "/quarn.app";
    std::filesystem::remove(log + ".bak");
    std::ofstream(log, std::ios::binary | std::ios::trunc) << image;
    if (!store::reopen(dir, max) || (!synced.empty() && std::filesystem::exists(log + ".bak")))
        return "sent to the backup";
    const std::string file = store::slurp(log);
    const uint32_t at = bsp_quarn_log_file_get(0).offset;
    const std::string ring = at == 0 ? file : file.substr(at + QUARN_END_MARK_LEN - 1) + file.substr(0, at - 1);
    return ring.find(synced.substr(synced.size() - std::min(room, synced.size()))) == std::string::npos
               ? "the last synced batch is gone"
               : "";
}

std::vector<std::string> batches(const std::vector<size_t> &sizes)
{
    std::vector<std::string> out;
    for (const size_t n : sizes) {
        std::string b = "b" + std::to_string(out.size()) + " ";
        out.push_back(b.append(n - b.size() - 1, '.') + "\n");
    }
    return out;
}

TEST(PowerCut, EverySubsetOfUnsyncedSectorsKeepsTheMarkerAndTheLastSyncedBatch)
{
    const std::string dir = (std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path().string()) +
                            "/quarn-cut-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    std::mt19937 random(7);
    struct Case {
        uint32_t max;
        std::vector<size_t> sizes; // 0: 12..20 KiB
        size_t trials;             // subsets tried per cut point; 0: every one
        int step;                  // cut points apart
    };
    for (const Case &c : {Case{2048, {30, 400, 1000, 1800, 60, 2600, 12, 500, 1500, 40, 1300}, 0, 1},
                          Case{64, {30, 20, 40, 12, 30, 20}, 0, 1}, // wraps inside one sector
                          Case{64 << 10, std::vector<size_t>(12, 0), QUARN_TRIALS, 2}}) {
        std::vector<size_t> sizes = c.sizes;
        for (size_t &n : sizes)
            n = n ? n : 12288 + random() % 8192;
        const std::vector<std::string> texts = batches(sizes);
        for (int cut = 0;; cut += c.step) {
            const Cut taken = run(dir, c.max, texts, cut);
            if (!taken.medium)
                break;
            const std::vector<uint64_t> secs = sectors(*taken.medium);
            const size_t subsets = c.trials ? c.trials : size_t{1} << secs.size();
            for (size_t t = 0; t < subsets; ++t) {
                std::vector<bool> keep(secs.size());
                for (size_t i = 0; i < secs.size(); ++i)
                    keep[i] = c.trials ? random() % 2 : (t >> i) & 1;
                const std::string why = fault(dir, c.max, after_cut(*taken.medium, secs, keep), taken);
                ASSERT_EQ(why, "") << "size " << c.max << ", cut before call " << cut << ", subset " << t;
            }
        }
    }
    bsp_quarn_log_file_close(0);
    std::filesystem::remove_all(dir);
}

} // namespace
