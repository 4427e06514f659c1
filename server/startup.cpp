// Server start-up: standard descriptors, argument checks, settings, console
// stream, log directory and application log file, signals, ring buffer,
// control word, print thread, accept loop.
#include "quarn_server.h"

#include "console.h"
#include "fault_stack.h"
#include "forward.h"
#include "logfile.h"
#include "loss.h"
#include "notify.h"
#include "quarn.h"
#include "ring_buffer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr uint32_t QUARN_RING_SIZE = 0x400000;
constexpr int QUARN_STOP_WAIT_MS = 10000; // how long an orderly stop waits for a print thread that makes no progress

// Reads a size argument: a decimal number read like atoi whose last
// character is the unit letter (k, m or g, either case).  A negative number
// keeps its 32-bit wrap-around value (-1K is 4294966272).  False when the
// unit letter is missing or a positive value does not fit in 32 bits.
bool _parse_size_(const char *text, uint32_t *out)
{
    const size_t n = strlen(text);
    if (n == 0)
        return false;
    int64_t unit;
    switch (text[n - 1]) {
    case 'k': case 'K': unit = 1024; break;
    case 'm': case 'M': unit = 1024 * 1024; break;
    case 'g': case 'G': unit = 1024 * 1024 * 1024; break;
    default: return false;
    }
    const char *p = text + strspn(text, " \t\n\v\f\r"); // isspace of the C locale, the server's
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    int64_t number = 0;
    for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
        number = number * 10 + (*p - '0');
        if (number > INT32_MAX)
            return false; // beyond what the board's int holds
    }
    const int64_t value = (negative ? -number : number) * unit;
    if (value > UINT32_MAX)
        return false;
    *out = static_cast<uint32_t>(value);
    return true;
}

// The console starts on the file of standard output.  Its queue and the
// server's own messages go out through the console's writer thread, so
// that a console that does not drain never holds back storage.
void _open_console_()
{
    console_start(fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
}

// Descriptors 0, 1 and 2 that the server was started without are opened on
// /dev/null, before anything else is opened: a log file or the socket that
// became descriptor 1 would take the server's own messages.
void _fill_standard_descriptors_()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) < 0)
            return;
}

// Makes dir and its missing parents, like mkdir -p with mode 0755.  0, or
// the negative errno of the failing mkdir.
int _make_log_dir_(const char *dir)
{
    char part[PATH_MAX];
    if (snprintf(part, sizeof part, "%s", dir) >= static_cast<int>(sizeof part))
        return -ENAMETOOLONG;
    for (char *slash = part[0] ? strchr(part + 1, '/') : nullptr;; slash = strchr(slash + 1, '/')) {
        if (slash)
            *slash = '\0'; // the parent up to this slash
        if (mkdir(part, 0755) != 0 && errno != EEXIST)
            return -errno;
        if (!slash)
            break;
        *slash = '/';
    }
    struct stat st;
    if (stat(dir, &st) != 0)
        return -errno;
    return S_ISDIR(st.st_mode) ? 0 : -ENOTDIR;
}

// True when nobody but the server's user can put, swap or take a file in
// dir, nor own one of its log files or backups: anyone who could would make
// the server write through a link or read what they chose.  Otherwise it
// says how to mend it.
bool _log_dir_safe_(const char *dir)
{
    struct stat st;
    const uid_t me = geteuid();
    if (stat(dir, &st) != 0)
        return true; // what fails here fails at the open, with its own message
    if (st.st_uid != me || (st.st_mode & 0022) != 0) {
        printf("log directory %s refused: owned by uid %u with mode %03o; only the server's user (uid %u) may write "
               "it: chown %u %s && chmod go-w %s\n",
               dir, static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777),
               static_cast<unsigned>(me), static_cast<unsigned>(me), dir, dir);
        return false;
    }
    for (const char *suffix : {"", ".bak"}) {
        for (const char *name : QUARN_LOG_FILE_NAMES) {
            char path[PATH_MAX]; // a longer path no lstat would find
            if (snprintf(path, sizeof path, "%s/%s%s", dir, name, suffix) < static_cast<int>(sizeof path) &&
                lstat(path, &st) == 0 && (!S_ISREG(st.st_mode) || st.st_uid != me)) {
                printf("log file %s refused: %s; remove it, or chown %u it if it is a regular file\n", path,
                       S_ISREG(st.st_mode) ? "owned by another user" : "not a regular file", static_cast<unsigned>(me));
                return false;
            }
        }
    }
    return true;
}

// The log directory, made if it is missing, and the application log file
// in it.  False, after saying which path failed and why, when the server
// could store nothing.
bool _open_app_log_(const char *dir, uint32_t log_size)
{
    if (const int rc = _make_log_dir_(dir); rc < 0) {
        printf("cannot make log directory %s: %s\n", dir, strerror(-rc));
        return false;
    }
    if (!_log_dir_safe_(dir))
        return false;
    if (strlen(dir) > QUARN_LOG_DIR_MAX) {
        printf("log directory %s: longer than %d characters\n", dir, QUARN_LOG_DIR_MAX);
        return false;
    }
    const int rc = bsp_quarn_log_file_init(dir, static_cast<int>(strlen(dir)), log_size, QUARN_APP_LOG_INIT);
    if (rc < 0) {
        puts("quarn_log_file_init failed ");
        const bool slash = dir[strlen(dir) - 1] == '/';
        printf("cannot open log file %s%squarn.app: %s\n", dir, slash ? "" : "/", strerror(-rc));
        return false;
    }
    return true;
}

void _create_control_word_()
{
    if (g_settings.ctrl)
        return;
    // Clients only read it.  A word that another user made before us would
    // let that user set every client's level: it is removed and made anew.
    int id = shmget(QUARN_CTRL_KEY, sizeof(uint32_t), 0);
    shmid_ds ds{};
    if (id >= 0 && shmctl(id, IPC_STAT, &ds) == 0 && (ds.shm_perm.uid != geteuid() || ds.shm_perm.cuid != geteuid() ||
                                                       (ds.shm_perm.mode & 0022) != 0))
        shmctl(id, IPC_RMID, nullptr);
    id = shmget(QUARN_CTRL_KEY, sizeof(uint32_t), IPC_CREAT | 0644);
    if (id < 0) {
        perror("shmget");
        return;
    }
    void *addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void *>(-1)) {
        perror("shmat");
        return;
    }
    g_settings.ctrl = static_cast<uint32_t *>(addr);
    *g_settings.ctrl = g_settings.app_print_level;
}

constexpr int QUARN_FAULT_SIGNALS[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGQUIT};

// Last act of a fault: write what the staging buffers hold, if the print
// thread is not in the middle of changing them, then end by the signal
// itself, so that the exit status and a core file show the crash.  Only
// what is safe in a signal handler: no allocation, no stdio, and no lock
// waited on for more than about a second.
void _fault_handler_(int sig)
{
    for (int tries = 0; tries < 200; ++tries) {
        if (pthread_mutex_trylock(&g_stage_lock) == 0) {
            stage_last_words();
            break;
        }
        if (pthread_equal(g_stage_owner.load(std::memory_order_relaxed), pthread_self()))
            break; // this thread faulted while staging: the batch is not whole
        const timespec pause{0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    signal(sig, SIG_DFL); // SA_RESETHAND did so already; the signal thread's call did not
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig); // a fault signal whose default action would not end the process
}

// Every signal whose default action would end the process, apart from the
// faults: each one stops the server in order.  SIGXFSZ held back makes an
// overlong write fail instead, which the store reports.
constexpr int QUARN_STOP_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,
                                      SIGXCPU, SIGXFSZ, SIGPWR, SIGIO, SIGSTKFLT};

// The signals the signal thread takes: the stop signals, the real-time
// ones, and SIGUSR1, which asks for the counters line.
sigset_t _thread_signals_()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : QUARN_STOP_SIGNALS)
        sigaddset(&set, sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        sigaddset(&set, sig);
    sigaddset(&set, SIGUSR1);
    return set;
}

// The stop signals and SIGUSR1 are blocked in every thread and taken by
// this one.  SIGUSR1 asks the print thread for the counters line.  A stop
// signal first ends the intake: the acceptor takes what waits in its
// backlog and closes, and every connection is read until its socket buffer
// is empty.  Then a stop record goes in behind everything accepted, and the
// print thread ends the process once it reaches it.  However long that
// takes, it waits while the print thread moves on (a slow disk holds
// accepted records still to be stored); only a print thread that has taken
// nothing off the ring for QUARN_STOP_WAIT_MS is given up on.
void *_signal_thread_(void *)
{
    const fault_stack own_stack;
    prctl(PR_SET_NAME, "quarn_signal");
    const sigset_t set = _thread_signals_();
    for (int sig = 0; sigwait(&set, &sig) != 0 || sig == SIGUSR1; sig = 0)
        if (sig == SIGUSR1)
            stats_request();
    if (!accept_stop(QUARN_STOP_WAIT_MS) || !connections_wait_ended(QUARN_STOP_WAIT_MS))
        puts("connections still open at the stop; what they hold is lost");
    quarn_msg_head_t stop{};
    stop.magic = QUARN_MSG_MAGIC;
    stop.type = QUARN_TYPE_STOP;
    constexpr int STEP_MS = 50;
    const timespec step{0, STEP_MS * 1000 * 1000};
    bool queued = false;
    uint32_t seen = g_dispatched.load(std::memory_order_relaxed);
    for (int still_ms = 0; still_ms < QUARN_STOP_WAIT_MS;) {
        if (!queued)
            queued = bsp_quarn_cb_write(&stop, sizeof stop) == 0; // a full ring makes room as it drains
        nanosleep(&step, nullptr); // the print thread normally ends the process meanwhile
        const uint32_t now = g_dispatched.load(std::memory_order_relaxed);
        still_ms = now == seen ? still_ms + STEP_MS : 0;
        seen = now;
    }
    puts("print thread does not stop; exiting without it");
    if (pthread_mutex_trylock(&g_stage_lock) == 0)
        stage_last_words();
    console_drain(500);
    _exit(1); // what the ring still holds is lost
}

void _install_signal_handlers_()
{
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTTIN, SIG_IGN);
    signal(SIGTTOU, SIG_IGN);
    struct sigaction fault = {};
    fault.sa_handler = _fault_handler_;
    fault.sa_flags = SA_RESETHAND | SA_ONSTACK; // a fault inside the handler ends the process
    for (const int sig : QUARN_FAULT_SIGNALS)
        sigaction(sig, &fault, nullptr);
}

bool _start_thread_(void *(*body)(void *))
{
    pthread_t tid;
    return pthread_create(&tid, nullptr, body, nullptr) == 0;
}

} // namespace

int quarn_start(int argc, char **argv)
{
    (void)argc;
    const fault_stack own_stack; // the main thread's: it accepts for the life of the process
    // The stop signals wait for the signal thread from the very start: one
    // that came once the server listens but before that thread runs would
    // otherwise end it as if it had crashed.  Every thread inherits the mask.
    const sigset_t taken = _thread_signals_();
    pthread_sigmask(SIG_BLOCK, &taken, nullptr);
    _fill_standard_descriptors_();
    setvbuf(stdout, nullptr, _IOLBF, 0); // our own lines appear as they are printed
    const char *dir = argv[1];
    uint32_t log_size = 0, sync_size = 0;
    if (!_parse_size_(argv[2], &log_size)) {
        puts("err input");
        _show_help();
        return 1;
    }
    if (!_parse_size_(argv[3], &sync_size)) {
        puts("error input");
        _show_help();
        return 1;
    }
    const int level = atoi(argv[4]);
    printf("path:%s  size = %#x  sync %#x   level %d \n", dir, log_size, sync_size, level);
    if (log_size <= sync_size) {
        printf("err input\npath:%s  size = %#x  sync %#x   level %d \n", dir, log_size, sync_size, level);
        return 1;
    }
    // Forwarding and admin settings from the environment: a malformed one ends here.
    if (!forward_configure() || !peer_configure())
        return 1;

    // Listening endpoint first: a second server, which cannot have the
    // name, must end before it touches the running server's control word
    // and log file.
    if (quarn_listen() < 0 || syslog_socket_open() != 0)
        return 1;
    // Settings: application and BSP-origin text is staged from the start.
    g_settings.app_print_level = static_cast<uint32_t>(level);
    g_settings.app_sync_size = sync_size;
    g_settings.interval = QUARN_INTERVAL_DEFAULT;
    // DSP text batches like the application's until a dsp_init says otherwise,
    // and like BSP text it goes to quarn.app until its own file is open.
    g_settings.dsp_sync_size = sync_size;
    for (const log_kind_t &kind : g_log_kinds)
        kind.stage->enabled = true;
    // Control word, as soon as the name is ours: clients that connect
    // already read their level from it.
    _create_control_word_();
    // Console stream.
    _open_console_();
    // Log directory and application log file: a server that can store
    // nothing ends here.
    if (!_open_app_log_(dir, log_size))
        return 1;
    // Signals: ignored ones and the fault handlers.
    _install_signal_handlers_();
    // Ring buffer: without it nothing could be accepted.
    if (bsp_quarn_cb_init(QUARN_RING_SIZE) != 0)
        return 1;
    // Log file writer, print thread, and the thread that turns a stop
    // signal into an orderly stop.
    store_writer_start();
    _start_thread_(print_thread_main);
    _start_thread_(_signal_thread_);
    syslog_socket_start();
    // Forwarding thread, then the service manager's go-ahead: clients can connect.
    forward_start();
    notify_ready();
    printf("listening on @%s (pid %d); stop with Ctrl-C or kill %d\n", QUARN_SOCK_PATH, static_cast<int>(getpid()),
           static_cast<int>(getpid()));
    // Accept loop, for the life of the process.
    accept_loop();
    return 1;
}
