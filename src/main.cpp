#include <fcntl.h>
#include <sched.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/capability.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <ctime>

#include "config.h"
#include "event-loop.h"
#include "forwarder-ops.h"
#include "notify.h"
#include "reload.h"
#include "sandbox.h"
#include "setup-ssl-context.h"
#include "status.h"
#include "version.h"

static constexpr char THIS_FILE[] = "src/main";

// Clients arrive in bursts: every mount of a host at boot, and all of them again after the
// mount target comes back. A queue that overflows drops SYNs, which the clients retry only
// after 1, 3, 7 and 15 s, so the queue holds a whole burst of MAX_PAIRS and more (the kernel
// caps it at net.core.somaxconn, 4096 by default).
static constexpr int LISTEN_BACKLOG = 1024;
static_assert(LISTEN_BACKLOG >= MAX_PAIRS);
static constexpr int RPCBIND_ATTEMPTS = 30;
static constexpr long RETRY_PAUSE_NS = 100000000;
static constexpr size_t NETNS_PATH_SZ = 4096;

static void retry_pause()
{
    struct timespec pause = {.tv_sec = 0, .tv_nsec = RETRY_PAUSE_NS};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// Only the calling thread changes namespace: the worker, started earlier, stays home, so every
// outgoing TLS connection leaves from the daemon's own namespace. A namespace that is not
// there yet may be made by the time a service manager tries again, so that fault keeps the
// usual status; one the daemon may not enter will not.
static int netns_push(const char *netns)
{
    ZD_ASSERT(netns);
    // The name comes from the service's settings file: escaped.
    char shown[report_escape_size(CONFIG_TEXT_SZ)];
    REPORT(LVL_INFO, "push network namespace: %s\n",
           report_escape(netns, strnlen(netns, CONFIG_TEXT_SZ), shown, sizeof(shown)));
    int masternsfd = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (masternsfd < 0)
        REPORT_FATAL(255,
                     "Unable to open the daemon's own network namespace (masternsfd >= 0)\n"
                     "  /proc/self/ns/net: %s; the daemon needs /proc\n",
                     strerror(errno));
    char path[NETNS_PATH_SZ];
    int n = snprintf(path, sizeof(path), "/run/netns/%s", netns);
    // A cut path could name another namespace; a name that does not fit is one that is not there.
    int netnsfd = -1;
    if (n >= 0 && static_cast<size_t>(n) < sizeof(path))
        netnsfd = open(path, O_RDONLY | O_CLOEXEC);
    else
        errno = ENAMETOOLONG;
    if (netnsfd < 0)
        REPORT_FATAL(255,
                     "Unable to open network namespace %s (netnsfd >= 0)\n"
                     "  /run/netns/%s: %s; create it (ip netns add %s) or start the daemon "
                     "after whatever creates it\n",
                     netns, netns, strerror(errno), netns);
    // Asking for a network namespace refuses any other kind, and lets a service manager allow
    // this one kind alone (RestrictNamespaces=net).
    if (setns(netnsfd, CLONE_NEWNET) != 0) {
        int err = errno;
        REPORT_FATAL(err == EPERM ? EXIT_NO_PERMISSION : EXIT_CONFIGURATION,
                     "Unable to enter network namespace %s (0 == setns(netnsfd, 0))\n"
                     "  /run/netns/%s: %s; %s\n",
                     netns, netns, strerror(err),
                     err == EPERM ? "the daemon needs CAP_SYS_ADMIN over that namespace"
                                  : "it must be a network namespace made with ip netns add");
    }
    close(netnsfd);
    return masternsfd;
}

static void netns_pop(int netnsfd)
{
    REPORT(LVL_INFO, "pop network namespace\n");
    ZD_ASSERT_T(0 == setns(netnsfd, CLONE_NEWNET), "0 == setns(netnsfd, 0)");
    close(netnsfd);
}

// Runs on the worker thread before it touches any socket. Capabilities are per thread, and the
// worker handles every byte from the network: it keeps no more than the main thread will, only
// the right to bind a client's port below 1024 for the outgoing connection.
//
// The sandbox forbids changing capabilities, so the main thread enters it only once the worker
// has posted worker_ready here.
static sem_t worker_ready;

static void worker_start(evl *evl)
{
    (void)evl;
    drop_cap();
    report_hold_lines();
    ZD_ASSERT(sem_post(&worker_ready) == 0);
}

static void wait_for_worker()
{
    while (sem_wait(&worker_ready) != 0)
        ZD_ASSERT(errno == EINTR);
}

// The status file is rendered by the worker, which owns every counter, so it needs no lock.
static forwarder_ctx *forwarder;
static bool status_on;
static int64_t started_s;
static uint64_t status_due;

static int64_t wall_clock_s()
{
    return static_cast<int64_t>(time(nullptr));
}

static bool metrics_on;

static void publish_status(bool running)
{
    static char text[STATUS_TEXT_SZ];
    int64_t now_s = wall_clock_s();
    size_t len =
        status_render(forwarder, forwarder->config, started_s, now_s, running, text, sizeof(text));
    status_publish(text, len);
    if (metrics_on) {
        len = status_render_metrics(forwarder, forwarder->config, started_s, now_s, text,
                                    sizeof(text));
        status_publish_metrics(text, len);
    }
}

static void status_beat(evl *evl, uint64_t now)
{
    if (now >= status_due) {
        publish_status(true);
        status_due = now + STATUS_INTERVAL_NS;
    }
    evl_wake_by(evl, status_due);
}

// Set once start-up is over: a status file written before would say "running" for a daemon
// whose start-up may still fail, and stay so.
static std::atomic<bool> serving{false};

static void worker_iteration(evl *evl)
{
    uint64_t now = static_cast<uint64_t>(tick());
    if (uint64_t due = notify_watchdog_beat(now); due != 0)
        evl_wake_by(evl, due);
    if (status_on && serving.load())
        status_beat(evl, now);
    // The loop waits next: the lines of the last round, and of the beats, go out now.
    report_flush();
}

static void start_status(const config *config)
{
    char path[PATH_MAX];
    if (!status_path(config->netns, path, sizeof(path))) {
        REPORT(LVL_INFO, "No status file\n");
        return;
    }
    started_s = wall_clock_s();
    const char *metrics = getenv(METRICS_ENV);
    if (metrics != nullptr && metrics[0] == '\0')
        metrics = nullptr;
    status_on = status_start(path, metrics) == 0;
    metrics_on = status_on && metrics != nullptr;
}

// A call the sandbox refused fails with EPERM where it was made; this is its log line, written
// here because the thread that made the call was inside a signal handler then.
static void report_refusal(int nr)
{
    char name[64];
    REPORT(LVL_ERROR, "sandbox refused system call %s (%d)\n",
           sandbox_syscall_name(nr, name, sizeof(name)), nr);
}

// ---- reload ----

static constexpr size_t NAMES_TEXT_MAX = 4095;
static constexpr size_t REASON_SZ = 512;

// The names of the file's text as sent by the reader; null with the reason in `why`.
static char **names_of(const reload_file &file, const char *path, char *why, size_t size)
{
    if (file.err != 0)
        snprintf(why, size, "accepted-names file %s: %s", path, strerror(file.err));
    else if (file.len == 0)
        snprintf(why, size, "accepted-names file %s is empty", path);
    else if (file.len > NAMES_TEXT_MAX || strlen(file.data) != file.len)
        snprintf(why, size, "accepted-names file %s: longer than 4095 bytes or not text", path);
    else if (char **names = read_json(path, file.data); names != nullptr)
        return names;
    else
        snprintf(why, size,
                 "accepted-names file %s: not a JSON object whose \"wildcards\" "
                 "array holds only strings (see the line before)",
                 path);
    return nullptr;
}

static int reload_trust(const config *config, char *why, size_t size)
{
    reload_files files;
    int rc = reload_fetch(&files);
    char **names = nullptr;
    if (rc != 0) {
        snprintf(why, size, "the file reader did not answer: %s", strerror(-rc));
    } else if (files.ca.err != 0) {
        snprintf(why, size, "CA bundle %s: %s", config->ca_file, strerror(files.ca.err));
        rc = -1;
    } else if (config->common_name[0] == '\0' &&
               (names = names_of(files.names, accepted_names_path, why, size)) == nullptr) {
        rc = -1;
    } else {
        rc = ssl_reload(config->ca_file, files.ca.data, files.ca.len, config->common_name, names,
                        why, size);
    }
    free(names);
    reload_files_free(&files);
    return rc;
}

// A certificate rotation must not cost the clients their mounts: the pairs that are open keep
// their sessions, and only connections made from now on use the new CA bundle and names.
static void reload(const config *config)
{
    REPORT(LVL_INFO, "received SIGHUP, reloading the CA bundle and the accepted names\n");
    char why[REASON_SZ];
    if (reload_trust(config, why, sizeof(why)) != 0) {
        REPORT(LVL_ERROR, "Reload failed, the CA bundle and names in force stay: %s\n", why);
        status_note_reload(wall_clock_s(), why);
        return;
    }
    REPORT(LVL_INFO, "Reloaded: new connections verify against the new CA bundle and names; the "
                     "kept TLS session is dropped\n");
    status_note_reload(wall_clock_s(), "ok");
}

// Returns after a terminating signal; SIGUSR1 and SIGUSR2 move the log threshold and go on;
// SIGHUP reloads the CA bundle and the accepted names. The sandbox's signal reports a refused
// system call.
static void wait_loop(int sigfd, const config *config)
{
    for (;;) {
        struct signalfd_siginfo siginfo;
        ZD_ASSERT_T(static_cast<ssize_t>(sizeof(siginfo)) == read(sigfd, &siginfo, sizeof(siginfo)),
                    "sizeof(siginfo) == read(sigfd, &siginfo, sizeof(siginfo))");
        int signo = static_cast<int>(siginfo.ssi_signo);
        switch (signo) {
        case SIGUSR1:
            report_more();
            continue;
        case SIGUSR2:
            report_less();
            continue;
        case SIGHUP:
            reload(config);
            continue;
        case SIGINT:
            REPORT(LVL_INFO, "received SIGINT, exiting\n");
            return;
        case SIGQUIT:
            REPORT(LVL_INFO, "received SIGQUIT, exiting\n");
            return;
        case SIGTERM:
            REPORT(LVL_INFO, "received SIGTERM, exiting\n");
            return;
        case SIGABRT:
            REPORT(LVL_INFO, "received SIGABRT, exiting\n");
            return;
        default:
            if (signo == sandbox_signal()) {
                report_refusal(siginfo.ssi_int);
                continue;
            }
            REPORT_ERROR("Received unknown signal %d\n", signo);
        }
    }
}

static int open_signal_fd()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signo : {SIGINT, SIGQUIT, SIGTERM, SIGABRT, SIGUSR1, SIGUSR2, SIGHUP})
        sigaddset(&set, signo);
    sigaddset(&set, sandbox_signal());
    // Blocked before the worker exists, which inherits the mask: the signals reach only the
    // descriptor, and only wait_loop reads it.
    ZD_ASSERT(pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0);
    int sigfd = signalfd(-1, &set, SFD_CLOEXEC);
    ZD_ASSERT(sigfd >= 0);
    return sigfd;
}

static int listen_on(forwarder_ctx *ctx, uint16_t port)
{
    endpoint ep{ctx->config->local, port};
    return evl_listen(ctx->evl, LISTEN_BACKLOG, &forwarder_ops, ctx, ep);
}

// A port that another socket holds may come free (whoever held it restarts too); an address
// that the namespace does not have, a family switched off there or a port the daemon may not
// bind stays so however long it waits.
static bool bind_may_succeed_later(int rc)
{
    return rc == -EADDRINUSE;
}

static const char *bind_advice(int rc)
{
    switch (-rc) {
    case EADDRINUSE:
        return "another socket holds the port there (ss -ltnp run in the namespace shows which)";
    case EADDRNOTAVAIL:
        return "the namespace has no such address: check -I, and that IPv6 is not switched off "
               "there (ip addr run in the namespace)";
    case EACCES:
    case EPERM:
        return "the daemon needs CAP_NET_BIND_SERVICE for ports below 1024";
    default:
        return "check -I and the namespace's addresses";
    }
}

[[noreturn]] static void listen_failed(const config *config, const char *service, uint16_t port,
                                       int rc)
{
    char local[ADDRESS_TEXT_SZ];
    REPORT_ERROR("Failed to start listening to %s port (%d).\n"
                 "  Binding [%s]:%d in namespace %s: %s; %s\n",
                 service, port, ARGipv6(config->local, local), port, config->netns, strerror(-rc),
                 bind_advice(rc));
}

// One daemon per namespace: every listener allows SO_REUSEPORT, so a second daemon for the same
// namespace would start without a word and the kernel would split the clients between the two.
// The lock is a POSIX record lock on a file in the instance's runtime folder: held for the
// process's life, gone with it however it ends, not inherited by the status writer, and its
// holder's pid is what F_GETLK answers. A folder that cannot be written costs the check, not
// the start.
static constexpr char LOCK_NAME[] = "lock";

static int lock_path(const char *netns, char *path, size_t size)
{
    const char *runtime = getenv("RUNTIME_DIRECTORY");
    int n = runtime != nullptr && runtime[0] != '\0'
                ? snprintf(path, size, "%s/%s", runtime, LOCK_NAME)
                : snprintf(path, size, "%s/%s/%s", STATUS_DIR, netns, LOCK_NAME);
    if (n < 0 || static_cast<size_t>(n) >= size)
        return -ENAMETOOLONG;
    if (runtime == nullptr || runtime[0] == '\0') {
        // Outside a service manager nobody else makes the folders.
        char folder[PATH_MAX];
        snprintf(folder, sizeof(folder), "%s/%s", STATUS_DIR, netns);
        (void)mkdir(STATUS_DIR, 0755);
        (void)mkdir(folder, 0755);
    }
    return 0;
}

static void hold_instance_lock(const char *netns)
{
    char path[PATH_MAX];
    int rc = lock_path(netns, path, sizeof(path));
    int fd = rc == 0 ? open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644) : -1;
    if (fd < 0) {
        REPORT(LVL_WARN, "Unable to take the instance lock %s: %s\n", path,
               strerror(rc != 0 ? -rc : errno));
        return;
    }
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &whole) == 0) {
        char pid[32];
        int n = snprintf(pid, sizeof(pid), "%d\n", static_cast<int>(getpid()));
        if (ftruncate(fd, 0) != 0 || write(fd, pid, static_cast<size_t>(n)) != n)
            REPORT(LVL_WARN, "Unable to write the pid to %s: %s\n", path, strerror(errno));
        return; // the descriptor stays open: closing it would let the lock go
    }
    int err = errno;
    struct flock holder = whole;
    if (err != EAGAIN && err != EACCES) {
        REPORT(LVL_WARN, "Unable to take the instance lock %s: %s\n", path, strerror(err));
        close(fd);
        return;
    }
    if (fcntl(fd, F_GETLK, &holder) != 0 || holder.l_type == F_UNLCK)
        holder.l_pid = 0;
    REPORT_ERROR("Another zarn-dwel-forwarder (pid %d) already serves network namespace %s\n"
                 "  It holds %s; stop it first: two daemons would share the listening ports, "
                 "and each client would reach either\n",
                 static_cast<int>(holder.l_pid), netns, path);
}

// setns needs CAP_SYS_ADMIN and the listeners and the worker CAP_NET_BIND_SERVICE. Without
// them start-up would end in assertions on one thread or the other; it ends here instead.
static void check_capabilities()
{
    cap_t caps = cap_get_proc();
    cap_flag_value_t admin = CAP_CLEAR, bind = CAP_CLEAR;
    if (caps != nullptr) {
        (void)cap_get_flag(caps, CAP_SYS_ADMIN, CAP_EFFECTIVE, &admin);
        (void)cap_get_flag(caps, CAP_NET_BIND_SERVICE, CAP_EFFECTIVE, &bind);
        cap_free(caps);
    }
    if (admin == CAP_SET && bind == CAP_SET)
        return;
    REPORT_FATAL(EXIT_NO_PERMISSION,
                 "Missing capabilities:%s%s\n"
                 "  The daemon needs CAP_SYS_ADMIN and CAP_NET_BIND_SERVICE at start-up: run it "
                 "as root, or through its systemd unit, which grants both\n",
                 admin == CAP_SET ? "" : " CAP_SYS_ADMIN",
                 bind == CAP_SET ? "" : " CAP_NET_BIND_SERVICE");
}

// Two instances for two namespaces must be told apart in a log they share: the identity names
// the namespace, and every record carries the pid. The facility is the daemon's.
static void open_log(const char *netns)
{
    static char identity[CONFIG_TEXT_SZ + 32];
    snprintf(identity, sizeof(identity), "zarn-dwel-forwarder@%s", netns);
    report_open_log(identity);
}

static void daemon_main(config *config)
{
    open_log(config->netns);
    report_use_syslog();
    report_mirror_startup();
    REPORT(LVL_INFO, "zarn-dwel-forwarder %s starting for network namespace %s\n", ZD_VERSION,
           config->netns);
    check_capabilities();
    hold_instance_lock(config->netns);
    if (config->fips)
        set_fips_mode();
    // The status writer is forked before any thread exists and before signals are redirected.
    start_status(config);
    // So is the file reader of a reload, for the same reason: the sandbox forbids opening
    // files afterwards.
    (void)!reload_reader_start(config->ca_file,
                               config->common_name[0] == '\0' ? accepted_names_path : nullptr);
    int sigfd = open_signal_fd();
    // A peer that resets a connection must end only that connection, never the process.
    signal(SIGPIPE, SIG_IGN);

    // The forwarder's state lives until the process ends. Held in a static, it and the
    // configuration it points to stay reachable after this function returns, so leak
    // checkers do not count them as lost.
    forwarder_ctx *ctx = static_cast<forwarder_ctx *>(zmalloc(sizeof(forwarder_ctx)));
    forwarder = ctx;
    ctx->config = config;
    ctx->evl = evl_create("main");
    // Before the worker runs: it reads the port table from its first iteration on.
    for (uint16_t port : {RPCBIND_PORT, config->mount_port, config->nfs_port, config->nlm_port})
        forwarder_add_port(ctx, port);
    ZD_ASSERT(sem_init(&worker_ready, 0, 0) == 0);
    notify_watchdog_start();
    evl_set_worker_hooks(ctx->evl, worker_start, worker_iteration);
    setup_ssl_ctx(true, config->ca_file, config->common_name);
    evl_start(ctx->evl);

    int netnsfd = netns_push(config->netns);
    // Another program may still hold the rpcbind port for a moment (a restart); the other
    // ports are ours alone, so a failure there is final.
    int rc = -1;
    for (int attempt = 1; attempt <= RPCBIND_ATTEMPTS; attempt++) {
        rc = listen_on(ctx, RPCBIND_PORT);
        if (rc >= 0 || !bind_may_succeed_later(rc))
            break;
        REPORT(LVL_WARN, "evl_listen failed, will retry...\n");
        retry_pause();
    }
    if (rc != 0)
        listen_failed(config, "rpcbind", RPCBIND_PORT, rc);
    if ((rc = listen_on(ctx, config->mount_port)) != 0)
        listen_failed(config, "mount", config->mount_port, rc);
    if ((rc = listen_on(ctx, config->nfs_port)) != 0)
        listen_failed(config, "nfs", config->nfs_port, rc);
    if ((rc = listen_on(ctx, config->nlm_port)) != 0)
        listen_failed(config, "nlm", config->nlm_port, rc);
    netns_pop(netnsfd);
    drop_cap();
    // Start-up was the last thing that needed files, namespaces and capabilities. Every
    // thread, the worker included, runs confined from here on.
    wait_for_worker();
    rc = sandbox_enter();
    if (rc != 0)
        REPORT_ERROR("Failed to enter the sandbox: %s\n", strerror(-rc));
    notify_ready(config);
    report_startup_done();
    serving.store(true);

    wait_loop(sigfd, config);
    (void)notify_send("STOPPING=1");
    evl_stop(ctx->evl);
    if (status_on)
        publish_status(false);
    status_stop();
    evl_destroy(ctx->evl);
    exit_ssl_setup();
}

int main(int argc, char **argv)
{
    config *config = parse_arguments(argc, argv);
    if (!config)
        REPORT_ERROR("Failed to parse arguments\n");
    daemon_main(config);
    return 0;
}
