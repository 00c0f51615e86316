// Service-manager notification: the datagram protocol of $NOTIFY_SOCKET, spoken without the
// manager's own library, so that the daemon links nothing it does not need.
#include "notify.h"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config.h"
#include "report.h"
#include "util.h"

static constexpr char THIS_FILE[] = "src/notify";

static pthread_mutex_t notify_mx = PTHREAD_MUTEX_INITIALIZER;
static int notify_fd = -1;
static bool notify_failing;

// The address in $NOTIFY_SOCKET; false when it names nothing that a datagram can reach.
static bool notify_address(const char *name, sockaddr_un *sa, socklen_t *len)
{
    size_t n = strlen(name);
    // A path needs room for its terminating zero; an abstract name may fill sun_path.
    size_t room = sizeof(sa->sun_path) - (name[0] == '/');
    if ((name[0] != '/' && name[0] != '@') || n < 2 || n > room)
        return false;
    memset(sa, 0, sizeof(*sa));
    sa->sun_family = AF_UNIX;
    memcpy(sa->sun_path, name, n);
    // An abstract name has no terminating zero and is counted exactly; a path keeps its zero.
    if (name[0] == '@')
        sa->sun_path[0] = '\0';
    *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + (name[0] == '/'));
    return true;
}

// One unconnected socket serves every message: a manager that re-creates its socket is found
// again by the next datagram, and once the first message is out nothing but sendto is needed.
// Only threads in the home network namespace call here (the worker, and the main thread once
// it is back), so the socket is made where an abstract name of the manager lives.
static int notify_socket_locked()
{
    if (notify_fd < 0)
        notify_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    return notify_fd;
}

int notify_send(const char *state)
{
    const char *name = getenv("NOTIFY_SOCKET");
    if (name == nullptr || name[0] == '\0')
        return 0;
    sockaddr_un sa;
    socklen_t len = 0;
    int err = EINVAL;
    ssize_t sent = -1;
    pthread_mutex_lock(&notify_mx);
    if (notify_address(name, &sa, &len)) {
        int fd = notify_socket_locked();
        if (fd >= 0) {
            // Never waits: a manager whose queue is full loses one heartbeat, not the worker.
            do {
                sent = sendto(fd, state, strlen(state), MSG_NOSIGNAL | MSG_DONTWAIT,
                              reinterpret_cast<sockaddr *>(&sa), len);
            } while (sent < 0 && errno == EINTR);
        }
        err = errno;
    }
    bool report_it = sent < 0 && !notify_failing;
    notify_failing = sent < 0;
    pthread_mutex_unlock(&notify_mx);
    if (report_it) {
        char shown[report_escape_size(sizeof(sockaddr_un::sun_path))];
        REPORT(LVL_WARN, "Unable to notify the service manager at %s: %s\n",
               report_escape(name, strnlen(name, sizeof(sa.sun_path)), shown, sizeof(shown)),
               strerror(err));
    }
    return sent < 0 ? -1 : 0;
}

// A decimal number that fills the whole text, as the manager writes it.
static bool parse_u64(const char *text, uint64_t *out)
{
    if (text == nullptr || text[0] < '0' || text[0] > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *out = v;
    return true;
}

uint64_t notify_watchdog_interval()
{
    uint64_t usec = 0;
    if (!parse_u64(getenv("WATCHDOG_USEC"), &usec) || usec == 0 || usec > UINT64_MAX / 1000)
        return 0;
    const char *pid_text = getenv("WATCHDOG_PID");
    uint64_t pid = 0;
    if (pid_text != nullptr &&
        (!parse_u64(pid_text, &pid) || pid != static_cast<uint64_t>(getpid())))
        return 0;
    return usec * 1000 / 2;
}

// What `systemctl status` shows beside "active (running)".
void notify_ready(const config *config)
{
    char local[ADDRESS_TEXT_SZ], target[ADDRESS_TEXT_SZ], state[512];
    snprintf(state, sizeof(state),
             "READY=1\nSTATUS=Listening on [%s]:%d,%d,%d,%d in namespace %s, forwarding to "
             "[%s]:%d",
             ARGipv6(config->local, local), RPCBIND_PORT, config->mount_port, config->nfs_port,
             config->nlm_port, config->netns, ARGipv6(config->target, target),
             config->nfs_ssl_port);
    (void)notify_send(state);
}

// The heartbeat comes from the worker itself, once per turn of its loop, so the service
// manager hears it only while the data path turns: a worker stuck anywhere falls silent and
// is restarted. The main thread, which only waits for signals, would beat on regardless.
static uint64_t watchdog_interval;
static uint64_t watchdog_due;

void notify_watchdog_start()
{
    watchdog_interval = notify_watchdog_interval();
}

uint64_t notify_watchdog_beat(uint64_t now)
{
    if (watchdog_interval == 0)
        return 0;
    if (now >= watchdog_due) {
        (void)notify_send("WATCHDOG=1");
        watchdog_due = now + watchdog_interval;
    }
    return watchdog_due;
}
