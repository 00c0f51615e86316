#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "config.h"
#include "event-loop.h"
#include "forwarder-ops.h"
#include "setup-ssl-context.h"

static constexpr char THIS_FILE[] = "src/main";

static constexpr uint16_t RPCBIND_PORT = 111;
static constexpr int LISTEN_BACKLOG = 10;
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
// outgoing TLS connection leaves from the daemon's own namespace.
static int netns_push(const char *netns)
{
    ZD_ASSERT(netns);
    REPORT(LVL_INFO, "push network namespace: %s\n", netns);
    int masternsfd = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    ZD_ASSERT(masternsfd >= 0);
    char path[NETNS_PATH_SZ];
    int n = snprintf(path, sizeof(path), "/run/netns/%s", netns);
    // A cut path could name another namespace; a name that does not fit is one that is not there.
    int netnsfd = -1;
    if (n >= 0 && static_cast<size_t>(n) < sizeof(path))
        netnsfd = open(path, O_RDONLY | O_CLOEXEC);
    else
        errno = ENAMETOOLONG;
    ZD_ASSERT(netnsfd >= 0);
    ZD_ASSERT(0 == setns(netnsfd, 0));
    close(netnsfd);
    return masternsfd;
}

static void netns_pop(int netnsfd)
{
    REPORT(LVL_INFO, "pop network namespace\n");
    ZD_ASSERT(0 == setns(netnsfd, 0));
    close(netnsfd);
}

// Runs on the worker thread before it touches any socket. Capabilities are per thread, and the
// worker handles every byte from the network: it keeps no more than the main thread will, only
// the right to bind a client's port below 1024 for the outgoing connection.
static void worker_start(evl *evl)
{
    (void)evl;
    drop_cap();
}

// Returns after a terminating signal; SIGUSR1 and SIGUSR2 move the log threshold and go on.
static void wait_loop(int sigfd)
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
            REPORT_ERROR("Received unknown signal %d\n", signo);
        }
    }
}

static int open_signal_fd()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signo : {SIGINT, SIGQUIT, SIGTERM, SIGABRT, SIGUSR1, SIGUSR2})
        sigaddset(&set, signo);
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

static void daemon_main(config *config)
{
    report_use_syslog();
    if (config->fips)
        set_fips_mode();
    int sigfd = open_signal_fd();
    // A peer that resets a connection must end only that connection, never the process.
    signal(SIGPIPE, SIG_IGN);

    auto *ctx = static_cast<forwarder_ctx *>(zmalloc(sizeof(forwarder_ctx)));
    ctx->config = config;
    ctx->evl = evl_create("main");
    ctx->evl->on_worker_start = worker_start;
    setup_ssl_ctx(true, config->ca_file, config->common_name);
    evl_start(ctx->evl);

    int netnsfd = netns_push(config->netns);
    // Another program may still hold the rpcbind port for a moment (a restart); the other
    // ports are ours alone, so a failure there is final.
    int rc = -1;
    for (int attempt = 1; attempt <= RPCBIND_ATTEMPTS; attempt++) {
        rc = listen_on(ctx, RPCBIND_PORT);
        if (rc >= 0)
            break;
        REPORT(LVL_WARN, "evl_listen failed, will retry...\n");
        retry_pause();
    }
    if (rc != 0)
        REPORT_ERROR("Failed to start listening to rpcbind port (%d).\n", RPCBIND_PORT);
    if (listen_on(ctx, config->mount_port) != 0)
        REPORT_ERROR("Failed to start listening to mount port (%d).\n", config->mount_port);
    if (listen_on(ctx, config->nfs_port) != 0)
        REPORT_ERROR("Failed to start listening to nfs port (%d).\n", config->nfs_port);
    if (listen_on(ctx, config->nlm_port) != 0)
        REPORT_ERROR("Failed to start listening to nlm port (%d).\n", config->nlm_port);
    netns_pop(netnsfd);
    drop_cap();

    wait_loop(sigfd);
    evl_stop(ctx->evl);
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
