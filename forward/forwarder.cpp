// The forwarding thread and the server's entry points into it.
#include "fault_stack.h"
#include "forward.h"

#include "config.h"
#include "link.h"
#include "message.h"
#include "queue.h"
#include "quarn.h"
#include "ring_buffer.h"

#include <pthread.h>
#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

constexpr size_t QUEUE_BYTES = 1 << 20;        // lines waiting for the collector, at most
constexpr size_t BATCH_BYTES = 64 << 10;       // formatted bytes the thread sends in one go
constexpr size_t UDP_MESSAGE_MAX = 2048;       // UDP messages are cut here
constexpr size_t MESSAGE_MAX = 8192;           // and others here (an escaped record stays below it)
constexpr auto BACKOFF_FIRST = 100ms;          // first wait before a reconnect
constexpr auto BACKOFF_LAST = 30s;             // the wait doubles up to this
constexpr auto SEND_WAIT = 1s;                 // longest wait for a full socket per round
constexpr uint32_t STAMP_LINES = 64;           // lines of one batch that share a time stamp
constexpr uint8_t KERNEL_LEVEL = QUARN_LEVEL_FILE; // kernel lines are stored, never shown
constexpr uint8_t KERNEL_SEVERITY = 6;         // a kernel line without a <N> prefix

class forwarder {
  public:
    explicit forwarder(const forward_target &t)
        : target_(t), queue_(QUEUE_BYTES), format_(t.facility), link_(t),
          max_message_(t.transport == forward_transport::udp ? UDP_MESSAGE_MAX : MESSAGE_MAX)
    {
    }

    void start();
    void push(const forward_line_meta &m, std::string_view text) { queue_.push(m, text); }
    void drain(std::chrono::milliseconds bound);

  private:
    static void *thread_main_(void *self);
    [[noreturn]] void run_();
    void take_lines_(std::chrono::milliseconds bound);
    void publish_backlog_();
    bool connect_();
    void send_();
    void lost_link_(const std::string &why);
    void report_gap_();
    void wait_retry_();

    const forward_target target_;
    line_queue queue_;
    forward_format format_;      // forwarding thread only
    collector_link link_;        // forwarding thread only
    const size_t max_message_;   // longest message the transport takes
    std::string out_;            // formatted messages not yet sent; forwarding thread only
    bool out_stream_ = false;    // out_ is framed for a stream; forwarding thread only
    std::string msg_;            // one message being framed; forwarding thread only
    std::vector<size_t> ends_;   // where each message in out_ ends; forwarding thread only
    size_t sent_ = 0;            // bytes of out_ the collector has; forwarding thread only
    uint64_t lost_ = 0;          // lines dropped and not yet reported; forwarding thread only
    bool down_said_ = false;     // the current outage was announced; forwarding thread only
    bool was_up_ = false;        // a connection was made before; forwarding thread only
    steady::duration backoff_ = BACKOFF_FIRST; // forwarding thread only
    steady::time_point retry_at_{};            // forwarding thread only

    std::mutex mtx_;             // guards hurry_ and backlog_
    std::condition_variable settled_; // signalled after every round, and for hurry_
    bool hurry_ = false;         // a drain wants a reconnect now rather than after the backoff
    uint64_t backlog_ = 0;       // lines not at the collector, as of the last round
};

// A forwarder the server asked for but cannot run ends the start-up, as
// any thread of the server that cannot be started does.
void forwarder::start()
{
    pthread_t tid;
    if (const int rc = pthread_create(&tid, nullptr, thread_main_, this); rc != 0) {
        fprintf(stderr, "quarn: cannot start the forwarding thread: %s\n", strerror(rc));
        abort();
    }
    pthread_detach(tid);
}

void *forwarder::thread_main_(void *self)
{
    static_cast<forwarder *>(self)->run_();
}

void forwarder::run_()
{
    const fault_stack own_stack;
    prctl(PR_SET_NAME, "quarn_forward");
    for (;;) {
        // Lines leave the queue only for a connected collector: while it is
        // down they wait there, and the queue's bound decides what is lost.
        if (link_.is_open() || connect_()) {
            if (out_.size() < BATCH_BYTES)
                take_lines_(out_.empty() ? 1000ms : 0ms);
            if (!out_.empty())
                send_();
            if (out_.empty() && link_.is_open())
                report_gap_();
        } else {
            wait_retry_();
        }
        publish_backlog_();
    }
}

// Formats queued lines into out_; each message keeps its own arrival time.
void forwarder::take_lines_(std::chrono::milliseconds bound)
{
    out_stream_ = link_.stream();
    queue_.pop(BATCH_BYTES - out_.size(), bound, [&](const forward_line_meta &m, std::string_view text) {
        if (out_stream_) {
            msg_.clear();
            format_.append(msg_, m, text, max_message_);
            forward_append_number(out_, static_cast<uint32_t>(msg_.size())); // RFC 6587 octet counting
            out_.append(" ").append(msg_);
        } else {
            format_.append(out_, m, text, max_message_);
        }
        ends_.push_back(out_.size());
    });
}

// Lines not yet at the collector, for drain; and whether any are left.
void forwarder::publish_backlog_()
{
    const auto unsent = static_cast<uint64_t>(ends_.end() - std::upper_bound(ends_.begin(), ends_.end(), sent_));
    const uint64_t backlog = unsent + lost_ + queue_.lines();
    {
        std::lock_guard lock(mtx_);
        backlog_ = backlog;
    }
    settled_.notify_all();
}

bool forwarder::connect_()
{
    if (steady::now() < retry_at_)
        return false;
    std::string why;
    if (!link_.open(why)) {
        lost_link_(why);
        return false;
    }
    if (down_said_)
        printf("forward: %s: connected%s\n", target_.value.c_str(), was_up_ ? " again" : "");
    down_said_ = false;
    was_up_ = true;
    backoff_ = BACKOFF_FIRST;
    if (!out_.empty() && out_stream_ != link_.stream()) {
        // A Unix socket that changed from datagram to stream or back: the
        // messages framed for the old one are counted as lost.
        lost_ += ends_.size();
        out_.clear(), ends_.clear(), sent_ = 0;
    }
    return true;
}

// Closes the link and schedules the next attempt; says so once per outage.
void forwarder::lost_link_(const std::string &why)
{
    link_.close();
    if (!down_said_)
        printf("forward: %s: %s; lines wait in the queue, retrying\n", target_.value.c_str(), why.c_str());
    down_said_ = true;
    retry_at_ = steady::now() + backoff_;
    backoff_ = std::min<steady::duration>(backoff_ * 2, BACKOFF_LAST);
}

void forwarder::send_()
{
    std::string why;
    if (link_.stream()) {
        // The collector sends nothing: a readable socket means it went away,
        // and what we wrote now would be lost without an error.
        const ssize_t n = link_.peer_closed() ? (why = "collector closed the connection", -1)
                                              : link_.send_stream(std::string_view(out_).substr(sent_), SEND_WAIT, why);
        if (n < 0) {
            // Resend from the first message the collector did not get whole.
            const auto whole = std::upper_bound(ends_.begin(), ends_.end(), sent_);
            sent_ = whole == ends_.begin() ? 0 : *(whole - 1);
            return lost_link_(why);
        }
        sent_ += static_cast<size_t>(n);
    } else {
        for (auto end = std::upper_bound(ends_.begin(), ends_.end(), sent_); end != ends_.end(); ++end) {
            const int rc = link_.send_datagram(std::string_view(out_).substr(sent_, *end - sent_), SEND_WAIT, why);
            if (rc < 0)
                return lost_link_(why);
            if (rc == 0)
                break; // the socket is full; the next round goes on
            sent_ = *end;
        }
    }
    if (sent_ == out_.size()) {
        out_.clear(), ends_.clear(), sent_ = 0;
    }
}

// While the link is down: sleeps until the next attempt, or until a drain
// asks for one now.
void forwarder::wait_retry_()
{
    std::unique_lock lock(mtx_);
    settled_.wait_until(lock, retry_at_, [&] { return hurry_; });
    if (std::exchange(hurry_, false))
        retry_at_ = {};
}

// Lines the queue could not hold come back as one warning line through the
// ring buffer, once the collector takes lines and the queue has room again.
void forwarder::report_gap_()
{
    lost_ += queue_.take_dropped();
    if (lost_ == 0 || queue_.used() > queue_.capacity() / 2)
        return;
    char text[128];
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    size_t len = strftime(text, sizeof text, "[%Y-%m-%d %H:%M:%S]", &local);
    len += static_cast<size_t>(
        snprintf(text + len, sizeof text - len, "[WARN][quarn]%" PRIu64 " lines not forwarded\n", lost_));
    char rec[QUARN_MSG_HEAD_LEN + sizeof text];
    quarn_msg_head_t head{QUARN_MSG_MAGIC, QUARN_TYPE_APP, static_cast<uint16_t>(len), QUARN_LEVEL_WARN, "quarn"};
    memcpy(rec, &head, sizeof head);
    memcpy(rec + sizeof head, text, len);
    if (bsp_quarn_cb_write(rec, static_cast<int>(sizeof head + len)) == 0)
        lost_ = 0; // a full ring keeps the count for a later round
}

void forwarder::drain(std::chrono::milliseconds bound)
{
    std::unique_lock lock(mtx_);
    hurry_ = true;
    settled_.notify_all();
    queue_.wake();
    // A round ends at least every SEND_WAIT; the bound caps the wait.
    const bool done = settled_.wait_for(lock, bound, [&] { return backlog_ == 0 && queue_.lines() == 0; });
    if (!done)
        printf("forward: %s: %" PRIu64 " lines not forwarded\n", target_.value.c_str(),
               std::max(backlog_, queue_.lines())); // backlog_ is stale if the thread is stuck in a lookup
}

forwarder *g_forwarder = nullptr; // set at start-up before any other thread exists; never destroyed
alignas(forwarder) unsigned char g_forwarder_storage[sizeof(forwarder)]; // its storage: the thread
                                                                         // may still run inside exit()

// The print thread's time stamp: one clock reading per batch of lines.
struct {
    int64_t sec;
    uint32_t usec;
    uint32_t uses = STAMP_LINES; // lines that took it; STAMP_LINES: take a new one
} g_print_stamp;

void _now_(int64_t &sec, uint32_t &usec)
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    sec = ts.tv_sec;
    usec = static_cast<uint32_t>(ts.tv_nsec / 1000);
}

} // namespace

bool forward_configure()
{
    const forward_parse_result r = forward_parse(getenv("QUARN_FORWARD"), getenv("QUARN_FORWARD_FACILITY"));
    if (!r.ok) {
        printf("%s\n", r.error.c_str());
        return false;
    }
    if (r.enabled && !g_forwarder) {
        g_forwarder = std::construct_at(reinterpret_cast<forwarder *>(g_forwarder_storage), r.target);
        printf("forwarding to %s\n", r.target.value.c_str());
    }
    return true;
}

void forward_start()
{
    if (g_forwarder)
        g_forwarder->start();
}

void forward_line(int kind, uint32_t level, const char *tag, const char *text, uint32_t len,
                  const forward_origin *from, uint32_t pid)
{
    if (!g_forwarder)
        return;
    if (g_print_stamp.uses++ >= STAMP_LINES) {
        _now_(g_print_stamp.sec, g_print_stamp.usec);
        g_print_stamp.uses = 1;
    }
    forward_line_meta m{g_print_stamp.sec, g_print_stamp.usec, static_cast<uint8_t>(kind),
                        static_cast<uint8_t>(std::min<uint32_t>(level, 255)), forward_severity(level),
                        {tag, strnlen(tag, QUARN_MSG_TAG_MAX)}, FORWARD_OWN_FACILITY, pid};
    if (from)
        m.severity = from->severity, m.facility = from->facility, m.pid = from->pid;
    g_forwarder->push(m, {text, len});
}

void forward_idle()
{
    g_print_stamp.uses = STAMP_LINES;
}

void forward_kernel(const char *text, uint32_t len)
{
    if (!g_forwarder)
        return;
    forward_line_meta m{0, 0, QUARN_BSP_LOG_INIT, KERNEL_LEVEL, KERNEL_SEVERITY, {}};
    _now_(m.sec, m.usec);
    std::string_view rest(text, len);
    while (!rest.empty()) {
        const size_t nl = rest.find('\n');
        const std::string_view line = rest.substr(0, nl == std::string_view::npos ? rest.size() : nl + 1);
        rest.remove_prefix(line.size());
        // "<N>" carries the facility too for lines written to /dev/kmsg.
        unsigned pri = 0;
        int used = 0;
        char head[9] = {}; // "<N>" is all that is read of it
        line.copy(head, sizeof head - 1);
        m.severity = sscanf(head, "<%u>%n", &pri, &used) == 1 && used > 0
                         ? static_cast<uint8_t>(pri & 7)
                         : KERNEL_SEVERITY;
        g_forwarder->push(m, line);
    }
}

void forward_drain(std::chrono::milliseconds bound)
{
    if (g_forwarder)
        g_forwarder->drain(bound);
}
