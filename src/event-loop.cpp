#include "event-loop.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>

#include <cinttypes>
#include <cstdio>

#include "setup-ssl-context.h"

static constexpr char THIS_FILE[] = "src/event-loop";

// Every line a loop writes starts with its name, right-aligned in six columns and cut after six.
#define EVL_REPORT(level, fmt, ...)                                                                \
    REPORT((level), "%*.*s: " fmt, 6, 6, evl->name __VA_OPT__(, ) __VA_ARGS__)
// The same, for the helpers of a step that speak with the step's own name (the TLS pump's
// passes, and the connection attempts that the worker makes again for evl_connect1).
#define EVL_REPORT_AS(function, level, fmt, ...)                                                   \
    report((level), (function), THIS_FILE, __LINE__, "%*.*s: " fmt, 6, 6,                          \
           evl->name __VA_OPT__(, ) __VA_ARGS__)

static constexpr char PUMP_FN[] = "secure_data";
static constexpr char CONNECT_FN[] = "evl_connect1";
static constexpr char LOOP_FN[] = "loop_inner";

static constexpr uint32_t SOCKET_EVENTS = EPOLLERR | EPOLLRDHUP;
static constexpr uint32_t COUNTER_EVENTS = EPOLLIN | EPOLLERR | EPOLLRDHUP;
static_assert(SOCKET_EVENTS == 0x2008 && COUNTER_EVENTS == 0x2009);
static_assert(EVL_SOCK_PEER_EOF == 0x20);
static_assert(sizeof(struct sockaddr_in6) == 28);

static constexpr int retry_after[4] = {1, 2, 5, 10};
static constexpr uint64_t NS_PER_SEC = 1000000000;
static constexpr uint64_t NS_PER_MS = 1000000;
static constexpr size_t SCRATCH_SZ = 128;
static constexpr size_t TLS_ERROR_TEXT_SZ = 256;

static void *evl_loop(void *arg);

static uint64_t now_ns()
{
    return static_cast<uint64_t>(tick());
}

// ---- epoll masks as text ----

struct epoll_bit_name {
    uint32_t bit;
    const char *name;
};

static constexpr epoll_bit_name epoll_bit_names[] = {
    {EPOLLIN, "IN"},         {EPOLLPRI, "PRI"},       {EPOLLOUT, "OUT"},
    {EPOLLERR, "ERR"},       {EPOLLHUP, "HUP"},       {EPOLLRDNORM, "RDNORM"},
    {EPOLLRDBAND, "RDBAND"}, {EPOLLWRNORM, "WRNORM"}, {EPOLLWRBAND, "WRBAND"},
    {EPOLLMSG, "MSG"},       {EPOLLRDHUP, "RDHUP"},
};

char *sprintf_epollbits(skb *buf, uint32_t mask)
{
    char *start = reinterpret_cast<char *>(buf->ptr);
    const char *separator = "";
    for (const epoll_bit_name &b : epoll_bit_names) {
        if (!(mask & b.bit))
            continue;
        int n = snprintf(reinterpret_cast<char *>(buf->ptr), buf->avail, "%s%s", separator, b.name);
        skb_produce(buf, static_cast<uint64_t>(n));
        separator = ",";
    }
    uint8_t *terminator = buf->ptr;
    skb_produce(buf, 1);
    *terminator = 0;
    return start;
}

// The worker's message texts are made in a small buffer on its stack, never allocated.
static skb scratch_buffer(uint8_t *storage)
{
    return skb{storage, SCRATCH_SZ, storage, storage, 0, SCRATCH_SZ, 0};
}

static bool tracing()
{
    return report_min_level() <= LVL_TRACE;
}

// ---- socket records ----

static uint32_t socket_flags(evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    uint32_t flags = sock->flags;
    pthread_mutex_unlock(&sock->mutex);
    return flags;
}

static bool socket_open(evl_socket *sock)
{
    return socket_flags(sock) & EVL_SOCK_OPEN;
}

static bool is_tls_stream(const evl_socket *s)
{
    return (s->flags & EVL_SOCK_SECURE) && !(s->flags & EVL_SOCK_LISTENING);
}

// evl_flush measures its deadline on the monotonic clock, so the condition must too.
static void init_socket_sync(evl_socket *sock)
{
    pthread_mutex_init(&sock->mutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&sock->cond, &attr);
    pthread_condattr_destroy(&attr);
}

static void create_plain_buffers(evl_socket *sock)
{
    sock->in_plain = skb_create(SKB_SIZE);
    sock->out_plain = skb_create(SKB_SIZE);
    sock->net_in = sock->in_plain;
    sock->net_out = sock->out_plain;
}

// The session never touches the network: it reads and writes the plain half of a BIO pair,
// and the pump moves ciphertext between the other half and the socket's buffers. The
// assertions carry the name of the step that builds the socket.
static void attach_tls_session(evl_socket *sock, bool server, const char *caller)
{
    sock->flags |= EVL_SOCK_SECURE;
    sock->ssl = ssl_new_session();
    if (!sock->ssl)
        assert_failure(caller, THIS_FILE, __LINE__, "sock->ssl");
    if (!BIO_new_bio_pair(&sock->plain, SSL_BIO_SIZE, &sock->cipher, SSL_BIO_SIZE))
        assert_failure(caller, THIS_FILE, __LINE__,
                       "BIO_new_bio_pair(&sock->plain, SSL_BIO_SIZE, &sock->cipher, SSL_BIO_SIZE)");
    SSL_set_mode(sock->ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_set_bio(sock->ssl, sock->plain, sock->plain);
    if (server) {
        SSL_set_accept_state(sock->ssl);
    } else {
        SSL_set_connect_state(sock->ssl);
        ssl_offer_session(sock->ssl);
    }
    sock->in_cipher = skb_create(SKB_SIZE);
    sock->out_cipher = skb_create(SKB_SIZE);
    sock->net_out = sock->out_cipher;
    sock->net_in = sock->in_cipher;
}

static void add_socket(evl *evl, evl_socket *sock)
{
    pthread_mutex_lock(&evl->mutex);
    list_push(&evl->sockets, &sock->loop_link);
    pthread_mutex_unlock(&evl->mutex);
}

// Whoever ends a TCP connection first keeps its 4-tuple in TIME_WAIT for a minute. For an
// outgoing connection that tuple holds the client's own source port, and the client's next
// connection from that port needs the same tuple again: without TCP timestamps the kernel
// refuses to reuse it, and the reconnecting client would get no pair. So an outgoing socket
// whose peer has not ended its side is closed with a reset, which leaves nothing behind; one
// whose peer has already ended (CLOSE_WAIT) sends the second FIN, which leaves nothing either.
// Nothing is lost by the reset: a lingering socket gets here only after the peer answered its
// close_notify (or at its deadline), and every other close is abortive for the pair anyway.
// A reset would throw away what the kernel still holds: such a connection ends with a FIN,
// TIME_WAIT or not, since its bytes (a close_notify at least) are owed to the peer.
static void close_without_time_wait(evl_socket *s)
{
    if ((s->flags & (EVL_SOCK_OUTGOING | EVL_SOCK_LISTENING)) != EVL_SOCK_OUTGOING)
        return;
    struct tcp_info info = {};
    socklen_t len = sizeof(info);
    if (getsockopt(s->fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 &&
        (info.tcpi_state == TCP_CLOSE_WAIT || info.tcpi_state == TCP_CLOSE))
        return;
    int unacknowledged = 0;
    if (ioctl(s->fd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged > 0)
        return;
    struct linger abortive = {1, 0};
    ZD_ASSERT(setsockopt(s->fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive)) == 0);
}

// The peer must see a failure, not a short but clean stream.
static void close_with_reset(evl_socket *s)
{
    struct linger abortive = {1, 0};
    ZD_ASSERT(setsockopt(s->fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive)) == 0);
}

static void free_socket(evl_socket *s)
{
    pthread_mutex_destroy(&s->mutex);
    pthread_cond_destroy(&s->cond);
    list_node_unlink(&s->loop_link);
    list_node_uninit(&s->loop_link);
    // Normally off the pump's queue already; a socket handed back by another thread after
    // the re-arm pass queued it must still not leave a dangling node behind.
    if (s->secure_link.magic) {
        if (!node_not_in_list_p(&s->secure_link))
            list_node_unlink(&s->secure_link);
        list_node_uninit(&s->secure_link);
    }
    skb_destroy(s->in_plain);
    s->in_plain = nullptr;
    skb_destroy(s->out_plain);
    s->out_plain = nullptr;
    if ((s->flags & EVL_SOCK_SECURE) && !(s->flags & EVL_SOCK_LISTENING)) {
        skb_destroy(s->in_cipher);
        s->in_cipher = nullptr;
        skb_destroy(s->out_cipher);
        s->out_cipher = nullptr;
        SSL_free(s->ssl);
        s->ssl = nullptr;
        BIO_free(s->cipher);
    }
    if (s->flags & EVL_SOCK_ABORT)
        close_with_reset(s);
    else
        close_without_time_wait(s);
    ZD_ASSERT(close(s->fd) == 0);
    free(s);
}

// A mask of 0 collects every socket, whatever its state: the loop's end.
static void gc_sockets(evl *evl, uint32_t mask)
{
    pthread_mutex_lock(&evl->mutex);
    list_node *end = &evl->sockets.sentinel;
    for (list_node *n = end->next, *next; n != end; n = next) {
        next = n->next;
        auto *s = static_cast<evl_socket *>(n->owner);
        pthread_mutex_lock(&s->mutex);
        if (mask != 0 && !(s->flags & mask)) {
            pthread_mutex_unlock(&s->mutex);
            continue;
        }
        EVL_REPORT(LVL_INFO, "Garbage collecting socket %d\n", s->fd);
        pthread_mutex_unlock(&s->mutex);
        free_socket(s);
    }
    pthread_mutex_unlock(&evl->mutex);
}

static void evl_signal(evl *evl)
{
    uint64_t b = 1;
    ssize_t wr = write(evl->eventfd, &b, sizeof(b));
    ZD_ASSERT(size_t_of_ssize_t(wr) == sizeof(b));
}

// Socket lock held. A deadline has already named its failure; everything else is read off
// the state the socket is left in.
static evl_failure failure_of(const evl_socket *s)
{
    if (s->failure != EVL_FAILURE_NONE || !(s->flags & EVL_SOCK_OUTGOING))
        return static_cast<evl_failure>(s->failure);
    bool secure = (s->flags & EVL_SOCK_SECURE) && s->ssl != nullptr;
    if (secure && SSL_get_verify_result(s->ssl) != X509_V_OK)
        return EVL_FAILURE_VERIFY;
    if ((s->flags & EVL_SOCK_LINGER) && !(s->flags & EVL_SOCK_TLS_FAILED))
        return EVL_FAILURE_NONE;
    if (s->flags & EVL_SOCK_CONNECTING)
        return EVL_FAILURE_CONNECT;
    // A fatal alert puts the session back into its handshake state, so the flag tells.
    if (secure && !(s->flags & EVL_SOCK_TLS_UP))
        return EVL_FAILURE_HANDSHAKE;
    if (s->flags & EVL_SOCK_TLS_FAILED)
        return EVL_FAILURE_SESSION;
    return EVL_FAILURE_NONE;
}

// A socket the loop has already closed gets no second notice: a late event, a receive after
// a failed send or a pump failure must never end its user's next pair.
static int close_connection(evl *evl, evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    bool was_open = sock->flags & EVL_SOCK_OPEN;
    sock->flags &= ~EVL_SOCK_OPEN;
    if (was_open)
        sock->failure = failure_of(sock);
    // The loop ends a handshake that is under way only when it failed: a TLS error, the peer's
    // end or reset, an error event, the deadline. The session it offered goes with it.
    bool handshake_failed = was_open && sock->ssl && sock->due[EVL_TIMER_HANDSHAKE] != 0;
    pthread_mutex_unlock(&sock->mutex);
    if (!was_open)
        return -1;
    if (handshake_failed)
        ssl_session_done(sock->ssl, false);
    if (sock->ops.on_connection_closed)
        sock->ops.on_connection_closed(evl, sock, sock->arg);
    return 0;
}

static int close_orderly(evl *evl, evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    if (sock->flags & EVL_SOCK_OPEN)
        sock->flags |= EVL_SOCK_PEER_EOF;
    pthread_mutex_unlock(&sock->mutex);
    return close_connection(evl, sock);
}

// A failure the loop has named itself; the handshake's own failures are read off its state.
static int close_failed(evl *evl, evl_socket *sock, evl_failure failure)
{
    pthread_mutex_lock(&sock->mutex);
    bool handshaking = is_tls_stream(sock) && !(sock->flags & EVL_SOCK_TLS_UP);
    if ((sock->flags & EVL_SOCK_OPEN) && sock->failure == EVL_FAILURE_NONE && !handshaking)
        sock->failure = failure;
    pthread_mutex_unlock(&sock->mutex);
    return close_connection(evl, sock);
}

// ---- life cycle ----

evl *evl_create(const char *name)
{
    auto *evl = static_cast<struct evl *>(zmalloc(sizeof(struct evl)));
    evl->name = name;
    pthread_mutex_init(&evl->mutex, nullptr);
    evl->stop = 0;
    evl->connect_timeout_ns = static_cast<uint64_t>(EVL_CONNECT_TIMEOUT_S) * NS_PER_SEC;
    evl->handshake_timeout_ns = static_cast<uint64_t>(EVL_HANDSHAKE_TIMEOUT_S) * NS_PER_SEC;
    list_head_init(&evl->sockets);
    list_head_init(&evl->secure_queue);
    evl->epollfd = epoll_create(1);
    ZD_ASSERT(evl->epollfd >= 0);
    evl->eventfd = eventfd(0, 0);
    ZD_ASSERT(evl->eventfd >= 0);
    // The null data pointer tells the wake-up counter from a socket.
    struct epoll_event ev = {};
    ev.events = COUNTER_EVENTS;
    ev.data.ptr = nullptr;
    ZD_ASSERT_T(epoll_ctl(evl->epollfd, EPOLL_CTL_ADD, evl->eventfd, &ev) == 0,
                "epoll_ctl(evl->epollfd, 1, evl->eventfd, &ev) == 0");
    EVL_REPORT(LVL_INFO, "Event loop created\n");
    return evl;
}

void evl_start(evl *evl)
{
    ZD_ASSERT_T(pthread_create(&evl->thr, nullptr, evl_loop, evl) == 0,
                "pthread_create(&evl->thr, ((void *)0), evl_loop, evl) == 0");
}

void evl_stop(evl *evl)
{
    pthread_mutex_lock(&evl->mutex);
    evl->stop = 1;
    pthread_mutex_unlock(&evl->mutex);
    evl_signal(evl);
    pthread_join(evl->thr, nullptr);
    EVL_REPORT(LVL_INFO, "Event loop stopped\n");
}

// After the worker has stopped: listeners first, so that no client is accepted while the
// rest go, then everything else, including sockets the loop closed whose user had not handed
// them back yet (a pair that was draining).
void evl_clean_all_sockets(evl *evl)
{
    gc_sockets(evl, EVL_SOCK_CLOSING | EVL_SOCK_LISTENING);
    gc_sockets(evl, 0);
}

int evl_destroy(evl *evl)
{
    evl_clean_all_sockets(evl);
    list_head_uninit(&evl->sockets);
    ZD_ASSERT(close(evl->epollfd) == 0);
    close(evl->eventfd);
    pthread_mutex_destroy(&evl->mutex);
    EVL_REPORT(LVL_INFO, "Event loop destroyed\n");
    free(evl);
    return 0;
}

evl_socket *evl_close(evl *evl, evl_socket *sock)
{
    if (!sock)
        return nullptr;
    EVL_REPORT(LVL_INFO, "Closing connection on socket %d\n", sock->fd);
    pthread_mutex_lock(&sock->mutex);
    sock->flags &= ~EVL_SOCK_OPEN;
    sock->flags |= EVL_SOCK_CLOSING;
    pthread_mutex_unlock(&sock->mutex);
    evl_signal(evl);
    return nullptr;
}

void evl_set_socket_context(evl_socket *sock, uint64_t value)
{
    pthread_mutex_lock(&sock->mutex);
    sock->context = value;
    pthread_mutex_unlock(&sock->mutex);
}

evl_failure evl_get_failure(evl_socket *sock, unsigned long *tls_error)
{
    pthread_mutex_lock(&sock->mutex);
    auto failure = static_cast<evl_failure>(sock->failure);
    *tls_error = sock->tls_error;
    pthread_mutex_unlock(&sock->mutex);
    return failure;
}

uint64_t evl_get_socket_context(evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    uint64_t value = sock->context;
    pthread_mutex_unlock(&sock->mutex);
    return value;
}

int evl_get_error(evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    int err = sock->error;
    pthread_mutex_unlock(&sock->mutex);
    return err;
}

void evl_allow_half_open(evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    sock->flags |= EVL_SOCK_HALF_OPEN;
    pthread_mutex_unlock(&sock->mutex);
}

bool evl_peer_ended(evl_socket *sock)
{
    return socket_flags(sock) & EVL_SOCK_PEER_EOF;
}

bool evl_write_done(evl_socket *sock)
{
    return socket_flags(sock) & EVL_SOCK_WRITE_DONE;
}

bool evl_handshake_done(evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    bool done = !is_tls_stream(sock) || (sock->flags & EVL_SOCK_TLS_UP);
    pthread_mutex_unlock(&sock->mutex);
    return done;
}

uint64_t evl_unsent_plaintext(evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    uint64_t n = sock->out_plain->data_size;
    pthread_mutex_unlock(&sock->mutex);
    return n;
}

uint64_t evl_kernel_unsent(evl_socket *sock)
{
    int n = 0;
    if (ioctl(sock->fd, SIOCOUTQ, &n) != 0 || n < 0)
        return 0;
    return static_cast<uint64_t>(n);
}

bool evl_woken(evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    bool woken = sock->flags & EVL_SOCK_WOKEN;
    sock->flags &= ~EVL_SOCK_WOKEN;
    pthread_mutex_unlock(&sock->mutex);
    return woken;
}

uint64_t evl_unsent(evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    uint64_t n = sock->out_plain->data_size;
    // After a failure the session holds nothing of its user's but its alert.
    if (is_tls_stream(sock) && !(sock->flags & EVL_SOCK_TLS_FAILED))
        n += sock->out_cipher->data_size + BIO_ctrl_pending(sock->cipher);
    pthread_mutex_unlock(&sock->mutex);
    return n;
}

evl_socket *evl_abort(evl *evl, evl_socket *sock)
{
    if (!sock)
        return nullptr;
    pthread_mutex_lock(&sock->mutex);
    sock->flags |= EVL_SOCK_ABORT;
    pthread_mutex_unlock(&sock->mutex);
    return evl_close(evl, sock);
}

// Socket lock held. The write side ends once nothing is left to go out: a plain socket sends
// its end of stream here; a secure one has had its close_notify written by the pump and
// waits for it to leave the pair and net_out. True when it has just ended.
static bool write_end_reached(evl_socket *s)
{
    if ((s->flags & (EVL_SOCK_SHUTDOWN | EVL_SOCK_WRITE_DONE)) != EVL_SOCK_SHUTDOWN)
        return false;
    if (s->out_plain->data_size > 0 || s->net_out->data_size > 0)
        return false;
    if (is_tls_stream(s)) {
        if (!(s->flags & EVL_SOCK_TLS_SHUTDOWN) || BIO_ctrl_pending(s->cipher) != 0)
            return false;
    } else {
        // A peer that is gone already shows up as an error on the next event, if at all.
        shutdown(s->fd, SHUT_WR);
    }
    s->flags |= EVL_SOCK_WRITE_DONE;
    return true;
}

// ---- listening and connecting ----

// The TLS connection crosses the network to the mount target, and a target that goes silent
// would otherwise hold the pair, and the client's mount, for as long as TCP retransmits (many
// minutes) or, idle, for ever. The values are explained beside the constants.
static void set_liveness_options(int fd)
{
    int yes = 1;
    ZD_ASSERT(setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &yes, sizeof(yes)) != -1);
    ZD_ASSERT(setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &EVL_KEEPIDLE_S, sizeof(EVL_KEEPIDLE_S)) !=
              -1);
    ZD_ASSERT(setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &EVL_KEEPINTVL_S,
                         sizeof(EVL_KEEPINTVL_S)) != -1);
    ZD_ASSERT(setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &EVL_KEEPCNT, sizeof(EVL_KEEPCNT)) != -1);
    ZD_ASSERT(setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &EVL_USER_TIMEOUT_MS,
                         sizeof(EVL_USER_TIMEOUT_MS)) != -1);
}

void set_socket_options(int fd)
{
    int val = fcntl(fd, F_GETFL, 0);
    ZD_ASSERT(fcntl(fd, F_SETFL, val | O_NONBLOCK) != -1);
    ZD_ASSERT(fcntl(fd, F_SETFD, FD_CLOEXEC) != -1);
    int yes = 1;
    ZD_ASSERT(setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes)) != -1);
    ZD_ASSERT(setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof(yes)) != -1);
    ZD_ASSERT(setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes)) != -1);
    ZD_ASSERT(setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &SNDBUF_SZ, sizeof(SNDBUF_SZ)) != -1);
    ZD_ASSERT(setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &RCVBUF_SZ, sizeof(RCVBUF_SZ)) != -1);
}

// Made with the first listener, while descriptors are still to be had (see below).
static void keep_reserve();

static int evl_listen1(evl *evl, int backlog, const evl_ops *ops, void *arg, bool secure,
                       endpoint ep)
{
    auto *sock = static_cast<evl_socket *>(zmalloc(sizeof(evl_socket)));
    sock->ep = ep;
    sock->fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ZD_ASSERT(sock->fd >= 0);
    int yes = 1;
    ZD_ASSERT(setsockopt(sock->fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes)) == 0);
    ZD_ASSERT(setsockopt(sock->fd, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof(yes)) == 0);
    char text[ENDPOINT_TEXT_SZ];
    struct sockaddr_in6 sa = sockaddr_in6_of_ep(ep);
    if (bind(sock->fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) {
        // The caller tells a busy port, worth another try, from one that waiting cannot cure.
        int err = errno;
        EVL_REPORT(LVL_INFO, "Failed to bind socket to %s: %s\n", ARGendpoint6(text, ep),
                   strerror(err));
        ZD_ASSERT(close(sock->fd) == 0);
        free(sock);
        return -err;
    }
    // A pending connection can vanish between epoll's report and the accept; a blocking
    // descriptor would then hold the worker until the next client came.
    int val = fcntl(sock->fd, F_GETFL, 0);
    ZD_ASSERT(fcntl(sock->fd, F_SETFL, val | O_NONBLOCK) != -1);
    listen(sock->fd, backlog);
    keep_reserve();
    EVL_REPORT(LVL_INFO, "Accepting new %sconnections on %s, on socket %d, sock %p\n",
               secure ? "secure " : "", ARGendpoint6(text, ep), sock->fd,
               static_cast<void *>(sock));
    list_node_init(&sock->loop_link, sock);
    init_socket_sync(sock);
    create_plain_buffers(sock);
    sock->ops = *ops;
    sock->arg = arg;
    sock->desired_events = EPOLLIN;
    sock->flags |= EVL_SOCK_OPEN | EVL_SOCK_LISTENING | (secure ? uint32_t{EVL_SOCK_SECURE} : 0u);
    add_socket(evl, sock);
    evl_signal(evl);
    return 0;
}

int evl_listen(evl *evl, int backlog, const evl_ops *ops, void *arg, endpoint ep)
{
    return evl_listen1(evl, backlog, ops, arg, false, ep);
}

int evl_listen_ip(evl *evl, address addr, int backlog, const evl_ops *ops, void *arg)
{
    return evl_listen1(evl, backlog, ops, arg, false, endpoint{addr, 0});
}

int evl_secure_listen(evl *evl, int backlog, const evl_ops *ops, void *arg, endpoint ep)
{
    return evl_listen1(evl, backlog, ops, arg, true, ep);
}

// One connection attempt, made again at once when interrupted. 0 when the connection is
// established or under way, -1 after the failure message. Either way the worker learns that
// the connection is up from the socket's first writability (connection_established).
static int connect_attempt(evl *evl, evl_socket *sock)
{
    struct sockaddr_in6 sa = sockaddr_in6_of_ep(sock->ep);
    for (;;) {
        int ret = connect(sock->fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa));
        if (ret > 0)
            assert_failure(CONNECT_FN, THIS_FILE, __LINE__, "ret <= 0");
        // An attempt interrupted earlier goes on in the background: EALREADY is under way.
        if (ret == 0 || errno == EINPROGRESS || errno == EALREADY)
            return 0;
        if (errno == EINTR)
            continue;
        int err = errno;
        char local[ENDPOINT_TEXT_SZ], remote[ENDPOINT_TEXT_SZ];
        EVL_REPORT_AS(CONNECT_FN, LVL_ERROR, "Failed to connect from %s to %s, socket %d, %s\n",
                      ARGendpoint6(local, sock->local), ARGendpoint6(remote, sock->ep), sock->fd,
                      strerror(err));
        return -1;
    }
}

static void report_initiated(evl *evl, evl_socket *sock)
{
    struct sockaddr_in6 sa = sockaddr_in6_of_ep(sock->local);
    socklen_t len = sizeof(sa);
    getsockname(sock->fd, reinterpret_cast<sockaddr *>(&sa), &len);
    char local[ENDPOINT_TEXT_SZ], remote[ENDPOINT_TEXT_SZ];
    EVL_REPORT_AS(CONNECT_FN, LVL_INFO, "Initiated connection from %s to %s, socket %d, sock %p\n",
                  ARGendpoint6(local, ep_of_sockaddr_in6(&sa)), ARGendpoint6(remote, sock->ep),
                  sock->fd, static_cast<void *>(sock));
}

// After a failed attempt the socket waits, off epoll, for the worker to try again: sleeping
// here would stall every other connection of the loop. False when no retry is left.
//
// The connect deadline covers the whole retry phase: a client whose request waits on a
// connection that cannot be made must hear about it within that time, however the attempts
// fail. So an attempt that would fall after the deadline is not scheduled; the socket waits
// for its deadline instead, which closes it with the one WARN line that says so. With the
// default 10 s the attempts are made at 0, 1, 3 and 8 s.
static bool schedule_retry(evl *evl, evl_socket *sock)
{
    sock->retry_failures++;
    sock->due[EVL_TIMER_RETRY] = 0;
    if (sock->retry_failures > EVL_CONNECT_RETRIES) {
        char remote[ENDPOINT_TEXT_SZ];
        EVL_REPORT_AS(CONNECT_FN, LVL_INFO,
                      "Giving up connecting to %s after %d attempts, socket %d\n",
                      ARGendpoint6(remote, sock->ep), sock->retry_failures, sock->fd);
        sock->flags &= ~EVL_SOCK_CONNECT_RETRY;
        return false;
    }
    sock->flags |= EVL_SOCK_CONNECT_RETRY;
    int delay = retry_after[sock->retry_failures - 1];
    uint64_t due = now_ns() + static_cast<uint64_t>(delay) * NS_PER_SEC;
    uint64_t deadline = sock->due[EVL_TIMER_CONNECT];
    if (deadline != 0 && due >= deadline) {
        EVL_REPORT_AS(CONNECT_FN, LVL_INFO,
                      "No further attempt before the connect deadline, socket %d\n", sock->fd);
        return true;
    }
    EVL_REPORT_AS(CONNECT_FN, LVL_INFO, "Retry connect after %d seconds\n", delay);
    sock->due[EVL_TIMER_RETRY] = due;
    return true;
}

static inline evl_socket *evl_connect1(evl *evl, const evl_ops *ops, void *arg, endpoint local,
                                       endpoint remote)
{
    auto *sock = static_cast<evl_socket *>(zmalloc(sizeof(evl_socket)));
    sock->ep = remote;
    sock->local = local;
    sock->fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock->fd < 0) {
        EVL_REPORT(LVL_ERROR, "Failed to allocate socket: %s\n", strerror(errno));
        free(sock);
        return nullptr;
    }
    set_socket_options(sock->fd);
    set_liveness_options(sock->fd);
    char text[ENDPOINT_TEXT_SZ];
    struct sockaddr_in6 sa = sockaddr_in6_of_ep(local);
    if (bind(sock->fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) {
        EVL_REPORT(LVL_ERROR, "Unable to bind to %s (%s)...\n", ARGendpoint6(text, local),
                   strerror(errno));
        ZD_ASSERT(close(sock->fd) == 0);
        free(sock);
        return nullptr;
    }
    EVL_REPORT(LVL_INFO, "Bound local socket endpoint to %s\n", ARGendpoint6(text, local));
    struct linger off = {0, 0};
    if (setsockopt(sock->fd, SOL_SOCKET, SO_LINGER, &off, sizeof(off)) != 0)
        EVL_REPORT(LVL_ERROR, "Unable to disable socket lingering...\n");
    sock->due[EVL_TIMER_CONNECT] = now_ns() + evl->connect_timeout_ns;
    if (connect_attempt(evl, sock) == 0)
        report_initiated(evl, sock);
    else
        schedule_retry(evl, sock);
    list_node_init(&sock->loop_link, sock);
    list_node_init(&sock->secure_link, sock);
    init_socket_sync(sock);
    create_plain_buffers(sock);
    attach_tls_session(sock, false, __func__);
    sock->ops = *ops;
    sock->arg = arg;
    sock->flags |= EVL_SOCK_OPEN | EVL_SOCK_OUTGOING | EVL_SOCK_CONNECTING;
    add_socket(evl, sock);
    evl_signal(evl);
    return sock;
}

evl_socket *evl_secure_connect(evl *evl, const evl_ops *ops, void *arg, endpoint local,
                               endpoint remote)
{
    return evl_connect1(evl, ops, arg, local, remote);
}

// Worker, socket lock held. True when the socket has run out of retries and must be closed.
static bool retry_connect(evl *evl, evl_socket *sock)
{
    sock->due[EVL_TIMER_RETRY] = 0;
    if (connect_attempt(evl, sock) == 0) {
        sock->flags &= ~EVL_SOCK_CONNECT_RETRY;
        report_initiated(evl, sock);
        return false;
    }
    return !schedule_retry(evl, sock);
}

// ---- sending and flushing ----

int evl_send(evl *evl, evl_socket *sock, const void *data, uint64_t size, uint64_t deadline,
             uint64_t *sent, uint64_t *now)
{
    (void)deadline; // the call never waits
    if (sent)
        *sent = 0;
    uint64_t reading = now_ns();
    if (now)
        *now = reading;
    if (!sock)
        return -1;
    pthread_mutex_lock(&sock->mutex);
    // After its close_notify a session cannot take plaintext any more.
    if (!(sock->flags & EVL_SOCK_OPEN) || (sock->flags & EVL_SOCK_TLS_SHUTDOWN)) {
        pthread_mutex_unlock(&sock->mutex);
        return -1;
    }
    EVL_REPORT(LVL_TRACE, "Asked to send %zu bytes on socket %d\n", size, sock->fd);
    reading = now_ns();
    uint64_t count = 0;
    skb *out = sock->out_plain;
    if (out->avail > 0 && size > 0) {
        count = size < out->avail ? size : out->avail;
        memcpy(out->ptr, data, count);
        skb_produce(out, count);
        if (sock->flags & EVL_SOCK_SECURE)
            list_push(&evl->secure_queue, &sock->secure_link);
    }
    pthread_mutex_unlock(&sock->mutex);
    if (count)
        evl_signal(evl);
    if (sent)
        *sent = count;
    if (now)
        *now = reading;
    return 0;
}

int evl_send_skbuf(evl *evl, evl_socket *sock, skb *skb, uint64_t deadline, uint64_t *sent,
                   uint64_t *now)
{
    uint64_t count = 0;
    int rc = evl_send(evl, sock, skb->data, skb->data_size, deadline, &count, now);
    if (rc != 0) {
        if (sent)
            *sent = 0;
        return rc;
    }
    skb_consume(skb, count);
    skb_compact(skb);
    if (sent)
        *sent = count;
    return 0;
}

skb *evl_in_plain(evl_socket *sock)
{
    return sock->in_plain;
}

int evl_flush(evl *evl, evl_socket *sock, uint64_t deadline, uint64_t *now)
{
    EVL_REPORT(LVL_TRACE, "Flushing socket %d\n", sock->fd);
    uint64_t reading = now_ns();
    int result;
    pthread_mutex_lock(&sock->mutex);
    for (;;) {
        if (reading > deadline) {
            result = -1;
            break;
        }
        if (sock->net_out->data_size == 0 && sock->out_plain->data_size == 0) {
            result = 0;
            break;
        }
        struct timespec until = {static_cast<time_t>(deadline / NS_PER_SEC),
                                 static_cast<long>(deadline % NS_PER_SEC)};
        pthread_cond_timedwait(&sock->cond, &sock->mutex, &until);
        reading = now_ns();
    }
    pthread_mutex_unlock(&sock->mutex);
    if (now)
        *now = reading;
    EVL_REPORT(LVL_TRACE, "Finished flushing socket %d\n", sock->fd);
    return result;
}

// Takes the socket's lock when there is an open socket to act on; false (and no lock) for a
// null or no longer open one.
static bool lock_if_open(evl_socket *sock)
{
    if (!sock)
        return false;
    pthread_mutex_lock(&sock->mutex);
    if (sock->flags & EVL_SOCK_OPEN)
        return true;
    pthread_mutex_unlock(&sock->mutex);
    return false;
}

int evl_linger(evl *evl, evl_socket *sock, uint64_t deadline)
{
    if (!lock_if_open(sock))
        return -1;
    sock->flags |= EVL_SOCK_LINGER;
    sock->due[EVL_TIMER_LINGER] = deadline;
    evl->timers_changed = true;
    EVL_REPORT(LVL_DEBUG, "Lingering on socket %d\n", sock->fd);
    // The pump writes the close_notify once the queued plaintext is encrypted.
    if ((sock->flags & EVL_SOCK_SECURE) && !(sock->flags & EVL_SOCK_LISTENING))
        list_push(&evl->secure_queue, &sock->secure_link);
    pthread_mutex_unlock(&sock->mutex);
    evl_signal(evl);
    return 0;
}

int evl_shutdown(evl *evl, evl_socket *sock)
{
    if (!lock_if_open(sock))
        return -1;
    if (!(sock->flags & EVL_SOCK_SHUTDOWN)) {
        sock->flags |= EVL_SOCK_SHUTDOWN;
        EVL_REPORT(LVL_DEBUG, "Ending the sending side of socket %d\n", sock->fd);
        // The pump writes the close_notify once the queued plaintext is encrypted.
        if (is_tls_stream(sock))
            list_push(&evl->secure_queue, &sock->secure_link);
        else
            write_end_reached(sock);
    }
    pthread_mutex_unlock(&sock->mutex);
    evl_signal(evl);
    return 0;
}

// The wake-up makes the worker take the new deadline into its next wait.
static int set_user_timer(evl *evl, evl_socket *sock, evl_timer timer, uint64_t when)
{
    if (!lock_if_open(sock))
        return -1;
    sock->due[timer] = when;
    evl->timers_changed = true;
    pthread_mutex_unlock(&sock->mutex);
    evl_signal(evl);
    return 0;
}

int evl_set_deadline(evl *evl, evl_socket *sock, uint64_t deadline)
{
    return set_user_timer(evl, sock, EVL_TIMER_USER, deadline);
}

int evl_set_wake(evl *evl, evl_socket *sock, uint64_t when)
{
    return set_user_timer(evl, sock, EVL_TIMER_WAKE, when);
}

// ---- TLS record pump ----

enum pump_status {
    PUMP_STALLED,
    PUMP_PROGRESS,
    PUMP_FAILED,
    PUMP_PEER_CLOSED,
};

// Every TLS call starts with an empty error queue, so a failure names this session's error
// and never one left behind by another.
static pump_status tls_wait(evl *evl, evl_socket *s, int rc)
{
    switch (SSL_get_error(s->ssl, rc)) {
    case SSL_ERROR_WANT_READ:
        EVL_REPORT_AS(PUMP_FN, LVL_TRACE, "The error is SSL_ERROR_WANT_READ\n");
        return PUMP_STALLED;
    case SSL_ERROR_WANT_WRITE:
        EVL_REPORT_AS(PUMP_FN, LVL_TRACE, "The error is SSL_ERROR_WANT_WRITE\n");
        return s->out_cipher->avail > 0 ? PUMP_PROGRESS : PUMP_STALLED;
    case SSL_ERROR_ZERO_RETURN:
        return PUMP_PEER_CLOSED;
    default:
        return PUMP_FAILED;
    }
}

// Step 1: ciphertext from the network into the pair.
static bool feed_ciphertext(evl *evl, evl_socket *s)
{
    skb *in = s->in_cipher;
    if (in->data_size == 0 || BIO_ctrl(s->cipher, BIO_C_GET_WRITE_GUARANTEE, 0, nullptr) <= 0)
        return false;
    int brc = BIO_write(s->cipher, in->data, static_cast<int>(in->data_size));
    EVL_REPORT_AS(PUMP_FN, LVL_TRACE, "BIO_write() %d bytes to BIO\n", brc);
    if (brc < 0)
        assert_failure(PUMP_FN, THIS_FILE, __LINE__, "brc >= 0");
    skb_consume(in, static_cast<uint64_t>(brc));
    skb_compact(in);
    return true;
}

// Step 2: the user's plaintext into the session.
static pump_status encrypt_plaintext(evl *evl, evl_socket *s)
{
    skb *out = s->out_plain;
    if (out->data_size == 0)
        return PUMP_STALLED;
    ERR_clear_error();
    int rc = SSL_write(s->ssl, out->data, static_cast<int>(out->data_size));
    EVL_REPORT_AS(PUMP_FN, LVL_TRACE, "SSL_write() %d bytes to SSL\n", rc);
    if (rc <= 0)
        return tls_wait(evl, s, rc);
    skb_consume(out, static_cast<uint64_t>(rc));
    skb_compact(out);
    return PUMP_PROGRESS;
}

// A lingering socket ends its session in order once all its plaintext is encrypted. A session
// still in its handshake has nothing to protect and no close_notify to send. A socket whose
// sending side is ended (evl_shutdown) stays open for its peer's answer, so its close_notify
// waits for the handshake to finish: the peer must tell it from a failed handshake.
static pump_status shutdown_session(evl *evl, evl_socket *s)
{
    if (!(s->flags & (EVL_SOCK_LINGER | EVL_SOCK_SHUTDOWN)) || (s->flags & EVL_SOCK_TLS_SHUTDOWN) ||
        s->out_plain->data_size > 0)
        return PUMP_STALLED;
    if (!SSL_is_init_finished(s->ssl)) {
        if (!(s->flags & EVL_SOCK_LINGER))
            return PUMP_STALLED;
        s->flags |= EVL_SOCK_TLS_SHUTDOWN;
        return PUMP_STALLED;
    }
    ERR_clear_error();
    int rc = SSL_shutdown(s->ssl);
    EVL_REPORT_AS(PUMP_FN, LVL_TRACE, "SSL_shutdown() %d\n", rc);
    if (rc < 0)
        return tls_wait(evl, s, rc);
    s->flags |= EVL_SOCK_TLS_SHUTDOWN;
    return PUMP_PROGRESS;
}

// Step 3: plaintext out of the session.
static pump_status decrypt_ciphertext(evl *evl, evl_socket *s)
{
    skb *in = s->in_plain;
    if (in->avail == 0 || (s->flags & EVL_SOCK_PEER_EOF))
        return PUMP_STALLED;
    ERR_clear_error();
    int rc = SSL_read(s->ssl, in->ptr, static_cast<int>(in->avail));
    EVL_REPORT_AS(PUMP_FN, LVL_TRACE, "SSL_read() %d bytes from SSL\n", rc);
    if (rc <= 0)
        return tls_wait(evl, s, rc);
    skb_produce(in, static_cast<uint64_t>(rc));
    return PUMP_PROGRESS;
}

// Step 4: ciphertext out of the pair, towards the network.
static bool drain_ciphertext(evl *evl, evl_socket *s)
{
    skb *out = s->out_cipher;
    if (BIO_ctrl(s->cipher, BIO_CTRL_PENDING, 0, nullptr) <= 0 || out->avail == 0)
        return false;
    int rc = BIO_read(s->cipher, out->ptr, static_cast<int>(out->avail));
    EVL_REPORT_AS(PUMP_FN, LVL_TRACE, "BIO_read() %d bytes from BIO\n", rc);
    if (rc <= 0)
        return false;
    skb_produce(out, static_cast<uint64_t>(rc));
    return true;
}

// Passes until one moves nothing: the buffers are stuck or the session waits for the network.
static pump_status pump_passes(evl *evl, evl_socket *s)
{
    for (;;) {
        bool progress = feed_ciphertext(evl, s);
        for (auto step : {encrypt_plaintext, shutdown_session, decrypt_ciphertext}) {
            pump_status st = step(evl, s);
            if (st == PUMP_FAILED || st == PUMP_PEER_CLOSED)
                return st;
            progress |= st == PUMP_PROGRESS;
        }
        progress |= drain_ciphertext(evl, s);
        if (!progress)
            return PUMP_STALLED;
    }
}

// Ciphertext the session has not turned into plaintext yet, anywhere between the network
// buffer and the session.
static bool tls_input_pending(evl_socket *s)
{
    return s->in_cipher->data_size > 0 || BIO_ctrl_pending(s->plain) > 0 || SSL_pending(s->ssl) > 0;
}

static void report_tls_failure(evl *evl, evl_socket *s)
{
    char reason[TLS_ERROR_TEXT_SZ];
    s->tls_error = ERR_get_error();
    s->flags |= EVL_SOCK_TLS_FAILED;
    ERR_error_string_n(s->tls_error, reason, sizeof(reason));
    ERR_clear_error();
    char peer[ENDPOINT_TEXT_SZ];
    EVL_REPORT_AS(PUMP_FN, LVL_ERROR, "Received error on connection to %s: errno=%d, %s\n",
                  ARGendpoint6(peer, s->ep), errno, reason);
}

// An orderly end is news even without bytes: `always` calls the user all the same.
static void deliver_plaintext(evl *evl, evl_socket *s, bool always = false)
{
    if (s->in_plain->data_size == 0 && !always)
        return;
    if (s->ops.on_received_data)
        s->ops.on_received_data(evl, s, s->in_plain, s->arg);
    skb_compact(s->in_plain);
}

#define PUMP_BUFFERS(s)                                                                            \
    (s)->in_plain->avail, (s)->in_plain->data_size, (s)->out_plain->avail,                         \
        (s)->out_plain->data_size, (s)->in_cipher->avail, (s)->in_cipher->data_size,               \
        (s)->out_cipher->avail, (s)->out_cipher->data_size

static void secure_data(evl *evl, evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    if (!(sock->flags & EVL_SOCK_OPEN)) {
        pthread_mutex_unlock(&sock->mutex);
        return;
    }
    EVL_REPORT(LVL_TRACE,
               "Before: [in_plain: avail=%zu,data=%zu], [out_plain: avail=%zu,data=%zu], "
               "[in_cipher: avail=%zu,data=%zu], [out_cipher: avail=%zu,data=%zu]\n",
               PUMP_BUFFERS(sock));
    pump_status st = pump_passes(evl, sock);
    if (st == PUMP_FAILED) {
        report_tls_failure(evl, sock);
        pthread_mutex_unlock(&sock->mutex);
        close_connection(evl, sock);
        return;
    }
    if (st == PUMP_PEER_CLOSED) {
        // An orderly end: what the peer sent before its close_notify still reaches the user.
        // A lingering socket has its answer: the user ended the connection and wants nothing
        // more from it, and the peer has read everything up to our own close_notify.
        ERR_clear_error();
        char peer[ENDPOINT_TEXT_SZ];
        EVL_REPORT(LVL_INFO, "Received close_notify on connection to %s\n",
                   ARGendpoint6(peer, sock->ep));
        bool lingering = sock->flags & EVL_SOCK_LINGER;
        if (!lingering && (sock->flags & EVL_SOCK_HALF_OPEN)) {
            // The session stays for what is still to be sent; the user learns of the end
            // behind the last bytes, and reading stops here.
            sock->flags |= EVL_SOCK_PEER_EOF | EVL_SOCK_DRAINING;
            bool failed = sock->flags & EVL_SOCK_READ_FAILED;
            pthread_mutex_unlock(&sock->mutex);
            deliver_plaintext(evl, sock, true);
            // A reset that came after the close_notify leaves nothing to send on: the socket
            // fails, but its user knows that everything the peer sent has arrived.
            if (failed)
                close_failed(evl, sock, EVL_FAILURE_RESET);
            return;
        }
        pthread_mutex_unlock(&sock->mutex);
        if (lingering) {
            close_connection(evl, sock);
            return;
        }
        deliver_plaintext(evl, sock);
        close_orderly(evl, sock);
        return;
    }
    EVL_REPORT(LVL_TRACE,
               "After: [in_plain: avail=%zu,data=%zu], [out_plain: avail=%zu,data=%zu], "
               "[in_cipher: avail=%zu,data=%zu], [out_cipher: avail=%zu,data=%zu]\n",
               PUMP_BUFFERS(sock));
    bool established = SSL_is_init_finished(sock->ssl);
    if (established)
        sock->flags |= EVL_SOCK_TLS_UP;
    if (established && sock->due[EVL_TIMER_HANDSHAKE] != 0) {
        sock->due[EVL_TIMER_HANDSHAKE] = 0;
        char peer[ENDPOINT_TEXT_SZ];
        EVL_REPORT(LVL_DEBUG, "TLS handshake with %s finished on socket %d\n",
                   ARGendpoint6(peer, sock->ep), sock->fd);
        int resumed = ssl_session_done(sock->ssl, true);
        if (resumed < 0) {
            // Nothing has passed either way yet: what the session encrypted is still in
            // out_cipher, what it decrypted in in_plain.
            pthread_mutex_unlock(&sock->mutex);
            close_connection(evl, sock);
            return;
        }
        if (resumed > 0)
            EVL_REPORT(LVL_INFO, "Resumed TLS session with %s on socket %d\n",
                       ARGendpoint6(peer, sock->ep), sock->fd);
    }
    // After the end of the TCP stream the socket closes once nothing is left to decrypt; an
    // end before the handshake finished is no orderly end of a TLS session. A lingering
    // socket with a session may still send after the peer's end: its linger check ends it.
    bool ended = (sock->flags & EVL_SOCK_READ_EOF) && !tls_input_pending(sock);
    bool lingering = sock->flags & EVL_SOCK_LINGER;
    bool half_open = sock->flags & EVL_SOCK_HALF_OPEN;
    bool failed = sock->flags & EVL_SOCK_READ_FAILED;
    bool peer_ended = sock->flags & EVL_SOCK_PEER_EOF;
    bool was_up = sock->flags & EVL_SOCK_TLS_UP;
    // After our own close_notify a server that just closes has answered it, as many do: the
    // end of its stream is taken as its close_notify.
    bool answered = ended && half_open && was_up && !failed && !peer_ended &&
                    (sock->flags & EVL_SOCK_TLS_SHUTDOWN);
    if (answered) {
        sock->flags |= EVL_SOCK_PEER_EOF;
        peer_ended = true;
    }
    pthread_mutex_unlock(&sock->mutex);
    deliver_plaintext(evl, sock, answered);
    if (!ended || (lingering && established))
        return;
    if (half_open && peer_ended) {
        if (failed)
            close_failed(evl, sock, EVL_FAILURE_RESET);
        return;
    }
    // Without a close_notify the stream may have been cut short, by accident or by an attacker:
    // a half-open socket's user must not take it for an orderly end.
    if (half_open && was_up)
        close_failed(evl, sock, failed ? EVL_FAILURE_RESET : EVL_FAILURE_TRUNCATED);
    else if (established && !failed)
        close_orderly(evl, sock);
    else
        close_connection(evl, sock);
}

void secure_all(evl *evl)
{
    pthread_mutex_lock(&evl->mutex);
    while (!list_empty(&evl->secure_queue)) {
        auto *sock = static_cast<evl_socket *>(list_pop(&evl->secure_queue));
        secure_data(evl, sock);
    }
    pthread_mutex_unlock(&evl->mutex);
}

static evl_socket *latest_socket(evl *evl, uint32_t flag)
{
    evl_socket *found = nullptr;
    pthread_mutex_lock(&evl->mutex);
    list_node *end = &evl->sockets.sentinel;
    for (list_node *n = end->next; n != end; n = n->next) {
        auto *s = static_cast<evl_socket *>(n->owner);
        if (flag == 0 || (s->flags & flag))
            found = s;
    }
    pthread_mutex_unlock(&evl->mutex);
    return found;
}

static void new_connection(evl *evl, evl_socket *listener);

evl_socket *evl_test_accept(evl *evl)
{
    evl_socket *listener = latest_socket(evl, EVL_SOCK_LISTENING);
    if (!listener)
        return nullptr;
    evl_socket *before = latest_socket(evl, 0);
    new_connection(evl, listener);
    evl_socket *sock = latest_socket(evl, 0);
    if (sock == before || (sock->flags & EVL_SOCK_CLOSING))
        return nullptr;
    return sock;
}

int evl_test_close(evl *evl, evl_socket *sock, evl_failure failure, bool orderly)
{
    pthread_mutex_lock(&sock->mutex);
    if (sock->flags & EVL_SOCK_OPEN)
        sock->failure = failure;
    pthread_mutex_unlock(&sock->mutex);
    return orderly ? close_orderly(evl, sock) : close_connection(evl, sock);
}

// ---- the worker ----

static void handle_signal(evl *evl)
{
    uint64_t b;
    ssize_t rs = read(evl->eventfd, &b, sizeof(b));
    ZD_ASSERT(size_t_of_ssize_t(rs) == sizeof(b));
}

// ---- out of descriptors ----
//
// At the descriptor limit accept fails with EMFILE and leaves the connection queued, so the
// level-triggered listener is reported again at once and the worker would spin on it. One
// descriptor is kept in reserve for that moment: it is given up to take each waiting
// connection, which is closed at once (its client sees an end, not a hang), and made again.
// Pairs already made go on untouched. One reserve serves every loop of the process.
static pthread_mutex_t reserve_mx = PTHREAD_MUTEX_INITIALIZER;
static int reserve_fd = -1;
static report_limit refusal_lines;
static uint64_t refused_since_line;
static constexpr uint64_t REFUSAL_LINE_INTERVAL_NS = NS_PER_SEC;
static constexpr int MAX_REFUSED_PER_EVENT = 64;

// reserve_mx held. A descriptor of a kind the sandbox allows, so it can be made again there.
static void keep_reserve_locked()
{
    if (reserve_fd < 0)
        reserve_fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

static void keep_reserve()
{
    pthread_mutex_lock(&reserve_mx);
    keep_reserve_locked();
    pthread_mutex_unlock(&reserve_mx);
}

static bool out_of_descriptors(int err)
{
    return err == EMFILE || err == ENFILE;
}

// Worker, after accept failed for want of a descriptor: refuses what waits on the listener,
// with one line a second that counts the connections refused since the last one.
static void refuse_waiting_connections(evl *evl, evl_socket *listener, int err)
{
    pthread_mutex_lock(&reserve_mx);
    int refused = 0;
    while (refused < MAX_REFUSED_PER_EVENT && reserve_fd >= 0) {
        close(reserve_fd);
        reserve_fd = -1;
        int fd = accept4(listener->fd, nullptr, nullptr, SOCK_CLOEXEC);
        int accept_err = fd < 0 ? errno : 0;
        if (fd >= 0) {
            close(fd);
            refused++;
        }
        keep_reserve_locked();
        // Nothing left waiting (EAGAIN), or not even the reserve made room.
        if (fd < 0 && accept_err != EINTR)
            break;
    }
    refused_since_line += static_cast<uint64_t>(refused);
    uint64_t held = 0, count = refused_since_line;
    bool line = report_limit_pass(&refusal_lines, now_ns(), REFUSAL_LINE_INTERVAL_NS, &held);
    if (line)
        refused_since_line = 0;
    pthread_mutex_unlock(&reserve_mx);
    char local[ENDPOINT_TEXT_SZ];
    if (line)
        EVL_REPORT(LVL_WARN,
                   "Failed to accept new connection: %s; %" PRIu64
                   " waiting connections on %s closed at once since the last such line\n",
                   strerror(err), count, ARGendpoint6(local, listener->ep));
}

static void new_connection(evl *evl, evl_socket *listener)
{
    struct sockaddr_in6 sa;
    socklen_t len;
    int fd;
    do {
        len = sizeof(sa);
        fd = accept4(listener->fd, reinterpret_cast<sockaddr *>(&sa), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // The client gave up between epoll's report and the accept: nothing to do.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED)
            EVL_REPORT(LVL_DEBUG, "Pending connection went away before accept: %s\n",
                       strerror(errno));
        else if (out_of_descriptors(errno))
            refuse_waiting_connections(evl, listener, errno);
        else
            EVL_REPORT(LVL_ERROR, "Failed to accept new connection: %s\n", strerror(errno));
        return;
    }
    set_socket_options(fd);
    auto *sock = static_cast<evl_socket *>(zmalloc(sizeof(evl_socket)));
    sock->fd = fd;
    sock->ep = ep_of_sockaddr_in6(&sa);
    bool secure = listener->flags & EVL_SOCK_SECURE;
    char peer[ENDPOINT_TEXT_SZ], local[ENDPOINT_TEXT_SZ];
    EVL_REPORT(LVL_INFO, "Received new %sconnection from %s@%s, socket %d\n",
               secure ? "secure " : "", ARGendpoint6(peer, sock->ep),
               ARGendpoint6(local, listener->ep), fd);
    list_node_init(&sock->loop_link, sock);
    list_node_init(&sock->secure_link, sock);
    init_socket_sync(sock);
    create_plain_buffers(sock);
    if (secure) {
        attach_tls_session(sock, true, __func__);
        sock->due[EVL_TIMER_HANDSHAKE] = now_ns() + evl->handshake_timeout_ns;
    }
    sock->flags |= EVL_SOCK_OPEN;
    sock->ops = listener->ops;
    sock->arg = listener->arg;
    int rc = sock->ops.on_new_connection
                 ? sock->ops.on_new_connection(evl, sock, sock->ep.port, sock->arg, listener->ep)
                 : 0;
    add_socket(evl, sock);
    if (rc < 0)
        evl_close(evl, sock);
}

enum recv_result {
    RECV_NOTHING, // interrupted: nothing read
    RECV_FULL,    // no room in net_in: nothing read
    RECV_DATA,
    RECV_END,   // end of stream or error: closed, or for a secure socket left to the pump
    RECV_AGAIN, // a half-open socket has nothing more to read for now
};

// Socket lock held on entry, released on return. The end of a socket's input: a secure
// socket leaves it to the pump, which decrypts what came before it first; a half-open plain
// socket tells its user and stays for sending; any other closes.
static recv_result input_ended(evl *evl, evl_socket *sock)
{
    bool failed = sock->flags & EVL_SOCK_READ_FAILED;
    sock->flags |= EVL_SOCK_READ_EOF | EVL_SOCK_DRAINING;
    if (sock->flags & EVL_SOCK_SECURE) {
        list_push(&evl->secure_queue, &sock->secure_link);
        pthread_mutex_unlock(&sock->mutex);
        return RECV_END;
    }
    bool half_open = sock->flags & EVL_SOCK_HALF_OPEN;
    if (half_open && !failed)
        sock->flags |= EVL_SOCK_PEER_EOF;
    pthread_mutex_unlock(&sock->mutex);
    if (failed)
        close_failed(evl, sock, EVL_FAILURE_RESET);
    else if (half_open)
        deliver_plaintext(evl, sock, true);
    else
        close_orderly(evl, sock);
    return RECV_END;
}

static recv_result receive_something(evl *evl, evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    skb *in = sock->net_in;
    if (in->avail == 0) {
        // Only the pump empties in_cipher, and EPOLLIN is armed only while in_plain has room,
        // so the pump can move on. Nothing else would run it when the peer, its own buffers
        // full, waits for us to read while our ciphertext waits for it: both sides would wait.
        if (sock->flags & EVL_SOCK_SECURE)
            list_push(&evl->secure_queue, &sock->secure_link);
        pthread_mutex_unlock(&sock->mutex);
        return RECV_FULL;
    }
    bool secure = sock->flags & EVL_SOCK_SECURE;
    ssize_t n = recv(sock->fd, in->ptr, in->avail, 0);
    if (n == 0) {
        EVL_REPORT(LVL_DEBUG, "Received 0 bytes from socket %d. Closing.\n", sock->fd);
        // Ciphertext already received may hold the last records and the close_notify: the
        // pump decrypts them first and closes the socket when nothing is left.
        return input_ended(evl, sock);
    }
    if (n < 0) {
        int err = errno;
        if (err == EINTR) {
            pthread_mutex_unlock(&sock->mutex);
            return RECV_NOTHING;
        }
        if (err == EAGAIN && (sock->flags & EVL_SOCK_HALF_OPEN)) {
            pthread_mutex_unlock(&sock->mutex);
            return RECV_AGAIN;
        }
        char peer[ENDPOINT_TEXT_SZ];
        EVL_REPORT(LVL_ERROR, "Received error on connection to %s: %s\n",
                   ARGendpoint6(peer, sock->ep), strerror(err));
        sock->error = err;
        // What arrived before a reset is still the peer's: a half-open socket delivers it.
        if (sock->flags & EVL_SOCK_HALF_OPEN) {
            sock->flags |= EVL_SOCK_READ_FAILED;
            return input_ended(evl, sock);
        }
        pthread_mutex_unlock(&sock->mutex);
        close_connection(evl, sock);
        return RECV_END;
    }
    skb_produce(in, static_cast<uint64_t>(n));
    EVL_REPORT(LVL_TRACE, "Received %zu bytes on socket %d\n", in->data_size, sock->fd);
    if (secure)
        list_push(&evl->secure_queue, &sock->secure_link);
    else
        ZD_ASSERT(sock->in_plain->data_size > 0);
    skb_compact(in);
    pthread_mutex_unlock(&sock->mutex);
    if (!secure && sock->ops.on_received_data)
        sock->ops.on_received_data(evl, sock, sock->in_plain, sock->arg);
    return RECV_DATA;
}

// After the peer's shutdown the kernel may still hold what it sent last: read it all before
// ending the connection. When net_in fills first, the socket keeps reading as room appears
// but stops asking for EPOLLRDHUP, which would otherwise report itself in every iteration.
static void drain_after_hangup(evl *evl, evl_socket *sock)
{
    for (;;) {
        switch (receive_something(evl, sock)) {
        case RECV_DATA:
        case RECV_NOTHING:
            continue;
        case RECV_FULL:
            pthread_mutex_lock(&sock->mutex);
            sock->flags |= EVL_SOCK_DRAINING;
            pthread_mutex_unlock(&sock->mutex);
            return;
        case RECV_END:
        case RECV_AGAIN:
            return;
        }
    }
}

// An error condition on a half-open socket: what the peer sent before it is read and
// delivered first, and the socket fails when its input ends. True for any other socket,
// which is closed at once.
static bool fail_after_reading(evl *evl, evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    uint32_t flags = sock->flags;
    bool half_open = (flags & EVL_SOCK_HALF_OPEN) && !(flags & EVL_SOCK_LISTENING);
    // A connect that failed has nothing to read; its state names the failure.
    bool reads = half_open && !(flags & (EVL_SOCK_READ_EOF | EVL_SOCK_CONNECTING));
    if (reads)
        sock->flags |= EVL_SOCK_READ_FAILED | EVL_SOCK_DRAINING;
    pthread_mutex_unlock(&sock->mutex);
    if (reads)
        drain_after_hangup(evl, sock);
    else if (half_open)
        close_failed(evl, sock, EVL_FAILURE_RESET);
    return !half_open;
}

// A hang-up on a socket that is not yet draining. False when the socket is closed.
static bool handle_hangup(evl *evl, evl_socket *sock)
{
    uint32_t flags = socket_flags(sock);
    if (flags & EVL_SOCK_LISTENING) {
        close_connection(evl, sock);
        return false;
    }
    if ((flags & (EVL_SOCK_LINGER | EVL_SOCK_SECURE)) == EVL_SOCK_LINGER) {
        // A lingering plain socket reads nothing; it goes on sending until drained or failed.
        pthread_mutex_lock(&sock->mutex);
        sock->flags |= EVL_SOCK_DRAINING;
        pthread_mutex_unlock(&sock->mutex);
        return true;
    }
    drain_after_hangup(evl, sock);
    return socket_open(sock);
}

static void send_something(evl *evl, evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    skb *out = sock->net_out;
    if (out->data_size == 0) {
        pthread_mutex_unlock(&sock->mutex);
        return;
    }
    // A peer that reset must end only its own connection, whatever the process's signal set-up.
    ssize_t n = send(sock->fd, out->data, out->data_size, MSG_NOSIGNAL);
    if (n >= 0) {
        skb_consume(out, static_cast<uint64_t>(n));
        EVL_REPORT(LVL_TRACE, "Sent %d bytes on socket %d. Left %d bytes\n", static_cast<int>(n),
                   sock->fd, static_cast<int>(out->data_size));
        pthread_cond_broadcast(&sock->cond);
        skb_compact(out);
        if (sock->flags & EVL_SOCK_SECURE)
            list_push(&evl->secure_queue, &sock->secure_link);
        write_end_reached(sock);
        pthread_mutex_unlock(&sock->mutex);
        if (sock->ops.on_pull_data)
            sock->ops.on_pull_data(evl, sock, sock->arg);
        return;
    }
    int err = errno;
    EVL_REPORT(LVL_ERROR, "Failed to send data on socket %d: %s(%d)\n", sock->fd, strerror(err),
               err);
    bool transient = err == EINTR || err == EAGAIN;
    if (!transient)
        sock->error = err;
    pthread_mutex_unlock(&sock->mutex);
    if (transient) {
        if (sock->ops.on_pull_data)
            sock->ops.on_pull_data(evl, sock, sock->arg);
    } else {
        close_failed(evl, sock, EVL_FAILURE_RESET);
    }
}

// The wait ends in time for the earliest deadline of any socket, and at once while the pump has
// work queued.
static int wait_timeout_ms(evl *evl)
{
    if (!list_empty(&evl->secure_queue))
        return 0;
    if (evl->next_due == 0)
        return EVL_WAIT_TIMEOUT_MS;
    uint64_t now = now_ns();
    if (evl->next_due <= now)
        return 0;
    uint64_t ms = (evl->next_due - now + NS_PER_MS - 1) / NS_PER_MS;
    return ms < EVL_WAIT_TIMEOUT_MS ? static_cast<int>(ms) : EVL_WAIT_TIMEOUT_MS;
}

// The error condition's own words: a target that went silent shows "Connection timed out"
// here, once keepalive or TCP_USER_TIMEOUT gave up on it.
// Reading SO_ERROR clears the error, so it is kept: a reset must not pass for an end of stream
// on the receive that follows.
static void report_socket_error(evl *evl, evl_socket *sock)
{
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(sock->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err == 0)
        return;
    pthread_mutex_lock(&sock->mutex);
    sock->error = err;
    pthread_mutex_unlock(&sock->mutex);
    char peer[ENDPOINT_TEXT_SZ];
    EVL_REPORT_AS(LOOP_FN, LVL_WARN, "Connection to %s failed on socket %d: %s\n",
                  ARGendpoint6(peer, sock->ep), sock->fd, strerror(err));
}

// The first writability of an outgoing connection: it is up. The handshake starts at once, so
// that its deadline measures the server and not the client's first request.
static void connection_established(evl *evl, evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    sock->flags &= ~EVL_SOCK_CONNECTING;
    sock->due[EVL_TIMER_CONNECT] = 0;
    char peer[ENDPOINT_TEXT_SZ];
    EVL_REPORT(LVL_DEBUG, "Connection to %s established on socket %d\n",
               ARGendpoint6(peer, sock->ep), sock->fd);
    if (sock->flags & EVL_SOCK_SECURE) {
        if (!SSL_is_init_finished(sock->ssl))
            sock->due[EVL_TIMER_HANDSHAKE] = now_ns() + evl->handshake_timeout_ns;
        list_push(&evl->secure_queue, &sock->secure_link);
    }
    pthread_mutex_unlock(&sock->mutex);
}

// One event of the batch; its messages carry the name of the step that dispatches them.
static void handle_event(evl *evl, evl_socket *sock, uint32_t events, uint8_t *storage)
{
    skb scratch = scratch_buffer(storage);
    if (tracing())
        EVL_REPORT_AS(LOOP_FN, LVL_TRACE, "Event mask for fd %d is %s\n", sock->fd,
                      sprintf_epollbits(&scratch, events));
    if (events & EPOLLERR) {
        EVL_REPORT_AS(LOOP_FN, LVL_WARN, "Received error condition on socket %d.  Events: %s.\n",
                      sock->fd, sprintf_epollbits(&scratch, events));
        report_socket_error(evl, sock);
        if (!fail_after_reading(evl, sock))
            return;
        close_connection(evl, sock);
        return;
    }
    uint32_t flags = socket_flags(sock);
    if ((events & (EPOLLHUP | EPOLLRDHUP)) && !(flags & EVL_SOCK_DRAINING)) {
        if (events & EPOLLHUP)
            EVL_REPORT_AS(LOOP_FN, LVL_INFO, "Received HUP on socket %d.  Events: %s.\n", sock->fd,
                          sprintf_epollbits(&scratch, events));
        else
            EVL_REPORT_AS(LOOP_FN, LVL_INFO, "Received RDHUP on socket %d.  Events: %s.\n",
                          sock->fd, sprintf_epollbits(&scratch, events));
        if (!handle_hangup(evl, sock))
            return;
        events &= ~static_cast<uint32_t>(EPOLLIN);
    }
    if (events & EPOLLOUT) {
        if (flags & EVL_SOCK_CONNECTING)
            connection_established(evl, sock);
        EVL_REPORT_AS(LOOP_FN, LVL_TRACE, "Has something to send on socket %d\n", sock->fd);
        send_something(evl, sock);
    }
    if ((events & EPOLLIN) && socket_open(sock)) {
        if (sock->flags & EVL_SOCK_LISTENING)
            new_connection(evl, sock);
        else
            receive_something(evl, sock);
    }
}

static void loop_inner(evl *evl)
{
    int nfds;
    int timeout = wait_timeout_ms(evl);
    do {
        nfds = epoll_wait(evl->epollfd, evl->events, EVL_MAX_EVENTS, timeout);
    } while (nfds < 0 && errno == EINTR);
    EVL_REPORT(LVL_DEBUG, "Event loop got woken: nfds=%d\n", nfds);
    secure_all(evl);
    uint8_t storage[SCRATCH_SZ];
    for (int i = 0; i < nfds; i++) {
        if (!evl->events[i].data.ptr) {
            handle_signal(evl);
            continue;
        }
        auto *sock = static_cast<evl_socket *>(evl->events[i].data.ptr);
        // Closed earlier in this batch (say by its partner's hang-up): the event is stale.
        if (socket_open(sock))
            handle_event(evl, sock, evl->events[i].events, storage);
    }
    secure_all(evl);
}

// Worker, loop lock held. Out of data, TLS close_notify written and pair empty, and the peer
// has answered it: its end of stream here, its close_notify in the pump (secure_data). A
// session that never finished its handshake has no close_notify to wait for.
static bool linger_drained(evl_socket *s)
{
    if (s->out_plain->data_size > 0 || s->net_out->data_size > 0)
        return false;
    if (!(s->flags & EVL_SOCK_SECURE))
        return true;
    if (!(s->flags & EVL_SOCK_TLS_SHUTDOWN) || BIO_ctrl_pending(s->cipher) != 0)
        return false;
    return (s->flags & EVL_SOCK_READ_EOF) || !SSL_is_init_finished(s->ssl);
}

static bool passed(const evl_socket *s, evl_timer timer, uint64_t now)
{
    return s->due[timer] != 0 && s->due[timer] <= now;
}

static int whole_seconds(uint64_t ns)
{
    return static_cast<int>(ns / NS_PER_SEC);
}

// Worker, loop and socket locks held. True when the socket must be closed: a deadline has
// passed, its lingering is over, or its last connect retry failed. The deadlines come first:
// an attempt due at the connect deadline would come too late anyway.
static bool check_deadlines(evl *evl, evl_socket *s, uint64_t now)
{
    char peer[ENDPOINT_TEXT_SZ];
    if (passed(s, EVL_TIMER_CONNECT, now)) {
        s->failure = EVL_FAILURE_CONNECT_TIMEOUT;
        EVL_REPORT(LVL_WARN,
                   "Connection to %s not established within %d seconds, closing socket %d\n",
                   ARGendpoint6(peer, s->ep), whole_seconds(evl->connect_timeout_ns), s->fd);
        return true;
    }
    if (passed(s, EVL_TIMER_HANDSHAKE, now)) {
        s->failure = EVL_FAILURE_HANDSHAKE_TIMEOUT;
        EVL_REPORT(LVL_WARN,
                   "TLS handshake with %s not finished within %d seconds, closing socket %d\n",
                   ARGendpoint6(peer, s->ep), whole_seconds(evl->handshake_timeout_ns), s->fd);
        return true;
    }
    if (passed(s, EVL_TIMER_USER, now)) {
        EVL_REPORT(LVL_INFO, "Deadline passed on socket %d\n", s->fd);
        if (s->failure == EVL_FAILURE_NONE && !(s->flags & EVL_SOCK_CONNECTING) &&
            !(is_tls_stream(s) && !(s->flags & EVL_SOCK_TLS_UP)))
            s->failure = EVL_FAILURE_DEADLINE;
        return true;
    }
    if (s->flags & EVL_SOCK_LINGER) {
        if (linger_drained(s)) {
            EVL_REPORT(LVL_DEBUG, "Finished lingering on socket %d\n", s->fd);
            return true;
        }
        if (passed(s, EVL_TIMER_LINGER, now)) {
            EVL_REPORT(LVL_INFO, "Linger deadline passed on socket %d\n", s->fd);
            return true;
        }
    }
    if ((s->flags & EVL_SOCK_CONNECT_RETRY) && passed(s, EVL_TIMER_RETRY, now))
        return retry_connect(evl, s);
    if (passed(s, EVL_TIMER_WAKE, now)) {
        s->due[EVL_TIMER_WAKE] = 0;
        s->flags |= EVL_SOCK_WOKEN;
    }
    return false;
}

// Deadlines are rare (connects, handshakes, drains), so the walk over every socket is skipped
// while none can have passed: the last re-arm pass saw every deadline set before it, and those
// set since (connects, handshakes, retries) lie in the future, except the user's own, which
// flag themselves. A lingering socket may end by being drained, which no clock announces.
static bool timers_may_fire(evl *evl, uint64_t now)
{
    if (evl->timers_changed.exchange(false) || evl->lingering > 0)
        return true;
    return evl->next_due != 0 && evl->next_due <= now;
}

// Runs with the loop lock held, like the pump, so the close notices follow the pump's rules.
static void check_timers(evl *evl)
{
    uint64_t now = now_ns();
    if (!timers_may_fire(evl, now))
        return;
    pthread_mutex_lock(&evl->mutex);
    list_node *end = &evl->sockets.sentinel;
    for (list_node *n = end->next, *next; n != end; n = next) {
        next = n->next;
        auto *s = static_cast<evl_socket *>(n->owner);
        pthread_mutex_lock(&s->mutex);
        bool close = (s->flags & EVL_SOCK_OPEN) && check_deadlines(evl, s, now);
        bool woken = !close && (s->flags & EVL_SOCK_WOKEN);
        pthread_mutex_unlock(&s->mutex);
        if (close)
            close_connection(evl, s);
        else if (woken && s->ops.on_pull_data)
            s->ops.on_pull_data(evl, s, s->arg);
        if (woken) {
            pthread_mutex_lock(&s->mutex);
            s->flags &= ~EVL_SOCK_WOKEN;
            pthread_mutex_unlock(&s->mutex);
        }
    }
    pthread_mutex_unlock(&evl->mutex);
}

static void epoll_del_socket(evl *evl, evl_socket *s)
{
    ZD_ASSERT_T(epoll_ctl(evl->epollfd, EPOLL_CTL_DEL, s->fd, nullptr) == 0,
                "epoll_ctl(evl->epollfd, 2, s->fd, ((void *)0)) == 0");
    s->flags &= ~EVL_SOCK_REGISTERED;
    s->armed_events = 0;
    s->armed_mask = 0;
}

static void epoll_set_socket(evl *evl, evl_socket *s, uint32_t mask)
{
    struct epoll_event ev = {};
    ev.events = mask;
    ev.data.ptr = s;
    if (!(s->flags & EVL_SOCK_REGISTERED)) {
        ZD_ASSERT_T(epoll_ctl(evl->epollfd, EPOLL_CTL_ADD, s->fd, &ev) == 0,
                    "epoll_ctl(evl->epollfd, 1, s->fd, &ev) == 0");
        s->flags |= EVL_SOCK_REGISTERED;
    } else if (mask != s->armed_mask) {
        ZD_ASSERT_T(epoll_ctl(evl->epollfd, EPOLL_CTL_MOD, s->fd, &ev) == 0,
                    "epoll_ctl(evl->epollfd, 3, s->fd, &ev) == 0");
    }
    s->armed_mask = mask;
    s->armed_events = s->desired_events;
    if (tracing()) {
        uint8_t storage[SCRATCH_SZ];
        skb scratch = scratch_buffer(storage);
        const char *mask_text = sprintf_epollbits(&scratch, mask);
        const char *desired_text = sprintf_epollbits(&scratch, s->desired_events);
        const char *armed_text = sprintf_epollbits(&scratch, s->armed_events);
        EVL_REPORT(LVL_TRACE, "Rearmed socked %d with flags %s (desired %s, events %s)\n", s->fd,
                   armed_text, desired_text, mask_text);
    }
    s->desired_events = 0;
}

static void note_due(evl *evl, const evl_socket *s)
{
    for (uint64_t due : s->due)
        if (due != 0 && (evl->next_due == 0 || due < evl->next_due))
            evl->next_due = due;
}

// Room that appears in in_plain is invisible to epoll when everything the peer sent is
// already in in_cipher or the pair: such a socket goes back to the pump, or it would stall
// with the data in hand. A full out_cipher means the pump waits for the network instead.
static bool needs_pump(evl_socket *s)
{
    if ((s->flags & (EVL_SOCK_SECURE | EVL_SOCK_LISTENING)) != EVL_SOCK_SECURE)
        return false;
    return s->in_plain->avail > 0 && s->out_cipher->avail > 0 && tls_input_pending(s);
}

// Loop lock held. Reading stops while in_plain is full (back-pressure), and sending is asked
// for only while net_out holds data; epoll_ctl is called only on a change.
static void rearm_socket(evl *evl, evl_socket *s)
{
    pthread_mutex_lock(&s->mutex);
    uint32_t flags = s->flags;
    if (flags & EVL_SOCK_OPEN)
        note_due(evl, s);
    if ((flags & (EVL_SOCK_OPEN | EVL_SOCK_LINGER)) == (EVL_SOCK_OPEN | EVL_SOCK_LINGER))
        evl->lingering++;
    if (!(flags & EVL_SOCK_OPEN) || (flags & EVL_SOCK_CONNECT_RETRY)) {
        if (flags & EVL_SOCK_REGISTERED)
            epoll_del_socket(evl, s);
        pthread_mutex_unlock(&s->mutex);
        return;
    }
    uint32_t want = 0;
    // A connection under way shows that it is up by becoming writable.
    if (s->net_out->data_size > 0 || (flags & EVL_SOCK_CONNECTING))
        want |= EPOLLOUT;
    if (s->in_plain->avail > 0 && !(flags & (EVL_SOCK_READ_EOF | EVL_SOCK_PEER_EOF)) &&
        (flags & (EVL_SOCK_LINGER | EVL_SOCK_SECURE)) != EVL_SOCK_LINGER)
        want |= EPOLLIN;
    s->desired_events = want;
    // A hang-up cannot be masked out: a draining socket with nothing to do leaves epoll
    // until it has room to read or data to send.
    if ((flags & EVL_SOCK_DRAINING) && want == 0) {
        if (flags & EVL_SOCK_REGISTERED)
            epoll_del_socket(evl, s);
        s->desired_events = 0;
    } else {
        uint32_t mask = want | EPOLLERR | ((flags & EVL_SOCK_DRAINING) ? 0u : uint32_t{EPOLLRDHUP});
        epoll_set_socket(evl, s, mask);
    }
    if (needs_pump(s))
        list_push(&evl->secure_queue, &s->secure_link);
    pthread_mutex_unlock(&s->mutex);
}

static void rearm_all(evl *evl)
{
    pthread_mutex_lock(&evl->mutex);
    evl->next_due = 0;
    evl->lingering = 0;
    list_node *end = &evl->sockets.sentinel;
    for (list_node *n = end->next; n != end; n = n->next)
        rearm_socket(evl, static_cast<evl_socket *>(n->owner));
    pthread_mutex_unlock(&evl->mutex);
}

static bool stop_requested(evl *evl)
{
    pthread_mutex_lock(&evl->mutex);
    bool stop = evl->stop;
    pthread_mutex_unlock(&evl->mutex);
    return stop;
}

static void *evl_loop(void *arg)
{
    auto *evl = static_cast<struct evl *>(arg);
    if (evl->on_worker_start)
        evl->on_worker_start(evl);
    EVL_REPORT(LVL_INFO, "Event loop started\n");
    if (stop_requested(evl))
        return nullptr;
    do {
        if (evl->on_iteration)
            evl->on_iteration(evl);
        loop_inner(evl);
        check_timers(evl);
        rearm_all(evl);
        gc_sockets(evl, EVL_SOCK_CLOSING);
    } while (!stop_requested(evl));
    return nullptr;
}
