#include "event-loop-internal.h"

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

static constexpr uint32_t SOCKET_EVENTS = EPOLLERR | EPOLLRDHUP;
static constexpr uint32_t COUNTER_EVENTS = EPOLLIN | EPOLLERR | EPOLLRDHUP;
static_assert(SOCKET_EVENTS == 0x2008 && COUNTER_EVENTS == 0x2009);
static_assert(sizeof(struct sockaddr_in6) == 28);

static constexpr int retry_after[4] = {1, 2, 5, 10};

static void *evl_loop(void *arg);

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

static bool socket_open(evl_socket *sock)
{
    return ask_state(sock, is_open);
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

// Links and locks of a new socket, before anything may mark it changed.
static void init_socket_record(evl *evl, evl_socket *sock)
{
    sock->loop = evl;
    list_node_init(&sock->loop_link, sock);
    list_node_init(&sock->secure_link, sock);
    list_node_init(&sock->dirty_link, sock);
    list_node_init(&sock->closing_link, sock);
    init_socket_sync(sock);
}

static void unlink_if_linked(list_node *n)
{
    if (!node_not_in_list_p(n))
        list_node_unlink(n);
    list_node_uninit(n);
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
    if (!is_outgoing(s) || is_listening(s))
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
    evl *evl = s->loop;
    list_node_unlink(&s->loop_link);
    list_node_uninit(&s->loop_link);
    // Normally off the pump's queue and the changed list already; a socket handed back by
    // another thread after the re-arm pass queued or marked it must still not leave a dangling
    // node behind.
    unlink_if_linked(&s->secure_link);
    unlink_if_linked(&s->dirty_link);
    pthread_mutex_lock(&evl->closing_mutex);
    unlink_if_linked(&s->closing_link);
    pthread_mutex_unlock(&evl->closing_mutex);
    timer_heap_remove(evl, s);
    skb_destroy(s->in_plain);
    s->in_plain = nullptr;
    skb_destroy(s->out_plain);
    s->out_plain = nullptr;
    if (is_tls_stream(s)) {
        skb_destroy(s->in_cipher);
        s->in_cipher = nullptr;
        skb_destroy(s->out_cipher);
        s->out_cipher = nullptr;
        SSL_free(s->ssl);
        s->ssl = nullptr;
    }
    if (is_aborted(s))
        close_with_reset(s);
    else
        close_without_time_wait(s);
    ZD_ASSERT(close(s->fd) == 0);
    free(s);
}

// At the loop's end, after the worker stopped; a null predicate collects every socket,
// whatever its state.
static void gc_sockets(evl *evl, bool (*collect)(const evl_socket *))
{
    pthread_mutex_lock(&evl->mutex);
    for_each_socket(evl, [evl, collect](evl_socket *s) {
        pthread_mutex_lock(&s->mutex);
        if (collect && !collect(s)) {
            pthread_mutex_unlock(&s->mutex);
            return;
        }
        EVL_REPORT(LVL_INFO, "Garbage collecting socket %d\n", s->fd);
        pthread_mutex_unlock(&s->mutex);
        free_socket(s);
    });
    pthread_mutex_unlock(&evl->mutex);
}

// Every turn: the sockets handed back since the last one, and no others. Most turns have none
// and take no loop lock.
static void collect_handed_back(evl *evl)
{
    for (;;) {
        pthread_mutex_lock(&evl->closing_mutex);
        auto *s = static_cast<evl_socket *>(list_pop(&evl->closing));
        pthread_mutex_unlock(&evl->closing_mutex);
        if (!s)
            return;
        pthread_mutex_lock(&evl->mutex);
        EVL_REPORT(LVL_INFO, "Garbage collecting socket %d\n", s->fd);
        free_socket(s);
        pthread_mutex_unlock(&evl->mutex);
    }
}

// The loop this thread runs as its worker, if any.
static thread_local const evl *worker_loop;

void mark_dirty(evl_socket *s)
{
    evl *evl = s->loop;
    if (worker_loop != evl) {
        evl->walk_all = true;
        return;
    }
    if (s->dirty)
        return;
    s->dirty = true;
    list_push(&evl->dirty, &s->dirty_link);
}

void evl_signal(evl *evl)
{
    if (worker_loop == evl) {
        evl->self_woken = true;
        return;
    }
    uint64_t b = 1;
    ssize_t wr = write(evl->eventfd, &b, sizeof(b));
    ZD_ASSERT(size_t_of_ssize_t(wr) == sizeof(b));
}

// Socket lock held. A deadline has already named its failure; everything else is read off
// the state the socket is left in.
static evl_failure failure_of(const evl_socket *s)
{
    if (s->failure != EVL_FAILURE_NONE || !is_outgoing(s))
        return static_cast<evl_failure>(s->failure);
    bool secure = is_secure(s) && s->ssl != nullptr;
    if (secure && SSL_get_verify_result(s->ssl) != X509_V_OK)
        return EVL_FAILURE_VERIFY;
    if (is_lingering(s) && !tls_failed(s))
        return EVL_FAILURE_NONE;
    if (connect_pending(s))
        return EVL_FAILURE_CONNECT;
    // A fatal alert puts the session back into its handshake state, so the flag tells.
    if (secure && !tls_up(s))
        return EVL_FAILURE_HANDSHAKE;
    if (tls_failed(s))
        return EVL_FAILURE_SESSION;
    return EVL_FAILURE_NONE;
}

// A socket the loop has already closed gets no second notice: a late event, a receive after
// a failed send or a pump failure must never end its user's next pair.
int close_connection(evl *evl, evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    bool was_open = is_open(sock);
    clear_state(sock, EVL_SOCK_OPEN);
    mark_dirty(sock);
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

int close_orderly(evl *evl, evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    if (is_open(sock))
        set_state(sock, EVL_SOCK_PEER_EOF);
    pthread_mutex_unlock(&sock->mutex);
    return close_connection(evl, sock);
}

// A failure the loop has named itself; the handshake's own failures are read off its state.
int close_failed(evl *evl, evl_socket *sock, evl_failure failure)
{
    pthread_mutex_lock(&sock->mutex);
    if (is_open(sock) && sock->failure == EVL_FAILURE_NONE && !handshaking(sock))
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
    list_head_init(&evl->dirty);
    pthread_mutex_init(&evl->closing_mutex, nullptr);
    list_head_init(&evl->closing);
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

void evl_set_worker_hooks(evl *evl, void (*on_worker_start)(struct evl *evl),
                          void (*on_iteration)(struct evl *evl))
{
    evl->on_worker_start = on_worker_start;
    evl->on_iteration = on_iteration;
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
    gc_sockets(evl, [](const evl_socket *s) { return is_closing(s) || is_listening(s); });
    gc_sockets(evl, nullptr);
}

int evl_destroy(evl *evl)
{
    evl_clean_all_sockets(evl);
    list_head_uninit(&evl->sockets);
    list_head_uninit(&evl->dirty);
    list_head_uninit(&evl->closing);
    pthread_mutex_destroy(&evl->closing_mutex);
    free(evl->timer_heap);
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
    bool first = !is_closing(sock);
    clear_state(sock, EVL_SOCK_OPEN);
    set_state(sock, EVL_SOCK_CLOSING);
    mark_dirty(sock);
    pthread_mutex_unlock(&sock->mutex);
    if (first) {
        pthread_mutex_lock(&evl->closing_mutex);
        list_push(&evl->closing, &sock->closing_link);
        pthread_mutex_unlock(&evl->closing_mutex);
    }
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

// Set when the socket is made and never changed: no lock needed.
endpoint evl_socket_endpoint(const evl_socket *sock)
{
    return sock->ep;
}

void evl_describe_refusal(evl_socket *sock, char *text, size_t size)
{
    ssl_describe_refusal(sock->ssl, text, size);
}

uint64_t evl_handshake_timeout_ns(const evl *evl)
{
    return evl->handshake_timeout_ns;
}

void evl_allow_half_open(evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    set_state(sock, EVL_SOCK_HALF_OPEN);
    mark_dirty(sock);
    pthread_mutex_unlock(&sock->mutex);
}

bool evl_peer_ended(evl_socket *sock)
{
    return ask_state(sock, peer_ended);
}

bool evl_write_done(evl_socket *sock)
{
    return ask_state(sock, write_done);
}

bool evl_handshake_done(evl_socket *sock)
{
    return !ask_state(sock, handshaking);
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
    bool woken = is_woken(sock);
    clear_state(sock, EVL_SOCK_WOKEN);
    pthread_mutex_unlock(&sock->mutex);
    return woken;
}

uint64_t evl_unsent(evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    uint64_t n = sock->out_plain->data_size;
    // After a failure the session holds nothing of its user's but its alert.
    if (is_tls_stream(sock) && !tls_failed(sock))
        n += sock->out_cipher->data_size;
    pthread_mutex_unlock(&sock->mutex);
    return n;
}

evl_socket *evl_abort(evl *evl, evl_socket *sock)
{
    if (!sock)
        return nullptr;
    pthread_mutex_lock(&sock->mutex);
    set_state(sock, EVL_SOCK_ABORT);
    pthread_mutex_unlock(&sock->mutex);
    return evl_close(evl, sock);
}

// Socket lock held. The write side ends once nothing is left to go out: a plain socket sends
// its end of stream here; a secure one has had its close_notify written by the pump and
// waits for it to leave net_out. True when it has just ended.
static bool write_end_reached(evl_socket *s)
{
    if (!write_end_pending(s))
        return false;
    if (s->out_plain->data_size > 0 || s->net_out->data_size > 0)
        return false;
    if (is_tls_stream(s)) {
        if (!tls_shutdown_written(s))
            return false;
    } else {
        // A peer that is gone already shows up as an error on the next event, if at all.
        shutdown(s->fd, SHUT_WR);
    }
    set_state(s, EVL_SOCK_WRITE_DONE);
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
    init_socket_record(evl, sock);
    create_plain_buffers(sock);
    sock->ops = *ops;
    sock->arg = arg;
    sock->desired_events = EPOLLIN;
    sock->kind = EVL_KIND_LISTENING | (secure ? EVL_KIND_SECURE : 0);
    set_state(sock, EVL_SOCK_OPEN);
    add_socket(evl, sock);
    mark_dirty(sock);
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
    set_due(evl, sock, EVL_TIMER_RETRY, 0);
    if (sock->retry_failures > EVL_CONNECT_RETRIES) {
        char remote[ENDPOINT_TEXT_SZ];
        EVL_REPORT_AS(CONNECT_FN, LVL_INFO,
                      "Giving up connecting to %s after %d attempts, socket %d\n",
                      ARGendpoint6(remote, sock->ep), sock->retry_failures, sock->fd);
        clear_state(sock, EVL_SOCK_CONNECT_RETRY);
        return false;
    }
    set_state(sock, EVL_SOCK_CONNECT_RETRY);
    int delay = retry_after[sock->retry_failures - 1];
    uint64_t due = loop_clock_ns() + static_cast<uint64_t>(delay) * NS_PER_SEC;
    uint64_t deadline = sock->due[EVL_TIMER_CONNECT];
    if (deadline != 0 && due >= deadline) {
        EVL_REPORT_AS(CONNECT_FN, LVL_INFO,
                      "No further attempt before the connect deadline, socket %d\n", sock->fd);
        return true;
    }
    EVL_REPORT_AS(CONNECT_FN, LVL_INFO, "Retry connect after %d seconds\n", delay);
    set_due(evl, sock, EVL_TIMER_RETRY, due);
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
    init_socket_record(evl, sock);
    set_due(evl, sock, EVL_TIMER_CONNECT, loop_clock_ns() + evl->connect_timeout_ns);
    if (connect_attempt(evl, sock) == 0)
        report_initiated(evl, sock);
    else
        schedule_retry(evl, sock);
    create_plain_buffers(sock);
    attach_tls_session(sock, false, __func__);
    sock->ops = *ops;
    sock->arg = arg;
    sock->kind |= EVL_KIND_OUTGOING;
    set_state(sock, EVL_SOCK_OPEN | EVL_SOCK_CONNECTING);
    add_socket(evl, sock);
    mark_dirty(sock);
    evl_signal(evl);
    return sock;
}

evl_socket *evl_secure_connect(evl *evl, const evl_ops *ops, void *arg, endpoint local,
                               endpoint remote)
{
    return evl_connect1(evl, ops, arg, local, remote);
}

// Worker, socket lock held. True when the socket has run out of retries and must be closed.
bool retry_connect(evl *evl, evl_socket *sock)
{
    set_due(evl, sock, EVL_TIMER_RETRY, 0);
    if (connect_attempt(evl, sock) == 0) {
        clear_state(sock, EVL_SOCK_CONNECT_RETRY);
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
    uint64_t reading = loop_clock_ns();
    if (now)
        *now = reading;
    if (!sock)
        return -1;
    pthread_mutex_lock(&sock->mutex);
    // After its close_notify a session cannot take plaintext any more.
    if (!is_open(sock) || tls_shutdown_written(sock)) {
        pthread_mutex_unlock(&sock->mutex);
        return -1;
    }
    EVL_REPORT(LVL_TRACE, "Asked to send %zu bytes on socket %d\n", size, sock->fd);
    reading = loop_clock_ns();
    uint64_t count = 0;
    skb *out = sock->out_plain;
    if (out->avail > 0 && size > 0) {
        count = size < out->avail ? size : out->avail;
        memcpy(out->ptr, data, count);
        skb_produce(out, count);
        queue_pump(evl, sock);
        mark_dirty(sock);
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

// What the caller takes out makes room, which the re-arm pass must see to read again.
skb *evl_in_plain(evl_socket *sock)
{
    mark_dirty(sock);
    return sock->in_plain;
}

int evl_flush(evl *evl, evl_socket *sock, uint64_t deadline, uint64_t *now)
{
    EVL_REPORT(LVL_TRACE, "Flushing socket %d\n", sock->fd);
    uint64_t reading = loop_clock_ns();
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
        reading = loop_clock_ns();
    }
    pthread_mutex_unlock(&sock->mutex);
    if (now)
        *now = reading;
    EVL_REPORT(LVL_TRACE, "Finished flushing socket %d\n", sock->fd);
    return result;
}

// Takes the socket's lock when there is an open socket to act on; false (and no lock) for a
// null or no longer open one.
bool lock_if_open(evl_socket *sock)
{
    if (!sock)
        return false;
    pthread_mutex_lock(&sock->mutex);
    if (is_open(sock))
        return true;
    pthread_mutex_unlock(&sock->mutex);
    return false;
}

int evl_linger(evl *evl, evl_socket *sock, uint64_t deadline)
{
    if (!lock_if_open(sock))
        return -1;
    set_state(sock, EVL_SOCK_LINGER);
    set_due(evl, sock, EVL_TIMER_LINGER, deadline);
    EVL_REPORT(LVL_DEBUG, "Lingering on socket %d\n", sock->fd);
    // The pump writes the close_notify once the queued plaintext is encrypted.
    queue_pump(evl, sock);
    pthread_mutex_unlock(&sock->mutex);
    evl_signal(evl);
    return 0;
}

int evl_shutdown(evl *evl, evl_socket *sock)
{
    if (!lock_if_open(sock))
        return -1;
    if (!shutdown_asked(sock)) {
        set_state(sock, EVL_SOCK_SHUTDOWN);
        mark_dirty(sock);
        EVL_REPORT(LVL_DEBUG, "Ending the sending side of socket %d\n", sock->fd);
        // The pump writes the close_notify once the queued plaintext is encrypted.
        if (is_tls_stream(sock))
            queue_pump(evl, sock);
        else
            write_end_reached(sock);
    }
    pthread_mutex_unlock(&sock->mutex);
    evl_signal(evl);
    return 0;
}

static void new_connection(evl *evl, evl_socket *listener);

// ---- the test seam: the worker's own accept and close, for tests that drive a loop without
// its thread ----

static evl_socket *latest_socket(evl *evl, bool (*which)(const evl_socket *))
{
    evl_socket *found = nullptr;
    pthread_mutex_lock(&evl->mutex);
    for_each_socket(evl, [&found, which](evl_socket *s) {
        if (!which || which(s))
            found = s;
    });
    pthread_mutex_unlock(&evl->mutex);
    return found;
}

evl_socket *evl_test_accept(evl *evl)
{
    evl_socket *listener = latest_socket(evl, is_listening);
    if (!listener)
        return nullptr;
    evl_socket *before = latest_socket(evl, nullptr);
    new_connection(evl, listener);
    evl_socket *sock = latest_socket(evl, nullptr);
    if (sock == before || ask_state(sock, is_closing))
        return nullptr;
    return sock;
}

int evl_test_close(evl *evl, evl_socket *sock, evl_failure failure, bool orderly)
{
    pthread_mutex_lock(&sock->mutex);
    if (is_open(sock))
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
    bool line = report_limit_pass(&refusal_lines, loop_clock_ns(), REFUSAL_LINE_INTERVAL_NS, &held);
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
    bool secure = is_secure(listener);
    char peer[ENDPOINT_TEXT_SZ], local[ENDPOINT_TEXT_SZ];
    EVL_REPORT(LVL_INFO, "Received new %sconnection from %s@%s, socket %d\n",
               secure ? "secure " : "", ARGendpoint6(peer, sock->ep),
               ARGendpoint6(local, listener->ep), fd);
    init_socket_record(evl, sock);
    create_plain_buffers(sock);
    if (secure) {
        attach_tls_session(sock, true, __func__);
        set_due(evl, sock, EVL_TIMER_HANDSHAKE, loop_clock_ns() + evl->handshake_timeout_ns);
    }
    set_state(sock, EVL_SOCK_OPEN);
    sock->ops = listener->ops;
    sock->arg = listener->arg;
    int rc = sock->ops.on_new_connection
                 ? sock->ops.on_new_connection(evl, sock, sock->ep.port, sock->arg, listener->ep)
                 : 0;
    add_socket(evl, sock);
    mark_dirty(sock);
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
    bool failed = read_failed(sock);
    set_state(sock, EVL_SOCK_READ_EOF | EVL_SOCK_DRAINING);
    if (is_tls_stream(sock)) {
        queue_pump(evl, sock);
        pthread_mutex_unlock(&sock->mutex);
        return RECV_END;
    }
    bool half_open = allows_half_open(sock);
    if (half_open && !failed)
        set_state(sock, EVL_SOCK_PEER_EOF);
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
        queue_pump(evl, sock);
        pthread_mutex_unlock(&sock->mutex);
        return RECV_FULL;
    }
    bool secure = is_tls_stream(sock);
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
        if (err == EAGAIN && allows_half_open(sock)) {
            pthread_mutex_unlock(&sock->mutex);
            return RECV_AGAIN;
        }
        char peer[ENDPOINT_TEXT_SZ];
        EVL_REPORT(LVL_ERROR, "Received error on connection to %s: %s\n",
                   ARGendpoint6(peer, sock->ep), strerror(err));
        sock->error = err;
        // What arrived before a reset is still the peer's: a half-open socket delivers it.
        if (allows_half_open(sock)) {
            set_state(sock, EVL_SOCK_READ_FAILED);
            return input_ended(evl, sock);
        }
        pthread_mutex_unlock(&sock->mutex);
        close_connection(evl, sock);
        return RECV_END;
    }
    skb_produce(in, static_cast<uint64_t>(n));
    EVL_REPORT(LVL_TRACE, "Received %zu bytes on socket %d\n", in->data_size, sock->fd);
    if (secure)
        queue_pump(evl, sock);
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
            set_state(sock, EVL_SOCK_DRAINING);
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
    bool half_open = allows_half_open(sock) && !is_listening(sock);
    // A connect that failed has nothing to read; its state names the failure.
    bool reads = half_open && !read_ended(sock) && !connect_pending(sock);
    if (reads)
        set_state(sock, EVL_SOCK_READ_FAILED | EVL_SOCK_DRAINING);
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
    if (ask_state(sock, is_listening)) {
        close_connection(evl, sock);
        return false;
    }
    if (ask_state(sock, is_lingering_plain)) {
        // A lingering plain socket reads nothing; it goes on sending until drained or failed.
        pthread_mutex_lock(&sock->mutex);
        set_state(sock, EVL_SOCK_DRAINING);
        pthread_mutex_unlock(&sock->mutex);
        return true;
    }
    drain_after_hangup(evl, sock);
    return socket_open(sock);
}

// How a send comes about: EPOLLOUT said there is room, or the worker tries before its wait
// (send_before_wait), where a full kernel buffer is no news and only arms EPOLLOUT.
enum send_mode {
    SEND_ON_EVENT,
    SEND_BEFORE_WAIT,
};

static void send_something(evl *evl, evl_socket *sock, send_mode mode = SEND_ON_EVENT)
{
    pthread_mutex_lock(&sock->mutex);
    skb *out = sock->net_out;
    if (out->data_size == 0) {
        pthread_mutex_unlock(&sock->mutex);
        return;
    }
    // A peer that reset must end only its own connection, whatever the process's signal set-up.
    ssize_t n = send(sock->fd, out->data, out->data_size, MSG_NOSIGNAL);
    if (n < 0 && mode == SEND_BEFORE_WAIT && (errno == EAGAIN || errno == EINTR)) {
        pthread_mutex_unlock(&sock->mutex);
        return;
    }
    if (n >= 0) {
        skb_consume(out, static_cast<uint64_t>(n));
        EVL_REPORT(LVL_TRACE, "Sent %d bytes on socket %d. Left %d bytes\n", static_cast<int>(n),
                   sock->fd, static_cast<int>(out->data_size));
        pthread_cond_broadcast(&sock->cond);
        skb_compact(out);
        if (mode == SEND_ON_EVENT || pump_waits_for_room(sock))
            queue_pump(evl, sock);
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
    clear_state(sock, EVL_SOCK_CONNECTING);
    set_due(evl, sock, EVL_TIMER_CONNECT, 0);
    char peer[ENDPOINT_TEXT_SZ];
    EVL_REPORT(LVL_DEBUG, "Connection to %s established on socket %d\n",
               ARGendpoint6(peer, sock->ep), sock->fd);
    if (is_tls_stream(sock)) {
        if (!SSL_is_init_finished(sock->ssl))
            set_due(evl, sock, EVL_TIMER_HANDSHAKE, loop_clock_ns() + evl->handshake_timeout_ns);
        queue_pump(evl, sock);
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
    // Both read before the hang-up is handled, which may change them.
    bool draining = ask_state(sock, is_draining);
    bool connecting = ask_state(sock, connect_pending);
    if ((events & (EPOLLHUP | EPOLLRDHUP)) && !draining) {
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
        if (connecting)
            connection_established(evl, sock);
        EVL_REPORT_AS(LOOP_FN, LVL_TRACE, "Has something to send on socket %d\n", sock->fd);
        send_something(evl, sock);
    }
    if ((events & EPOLLIN) && socket_open(sock)) {
        if (is_listening(sock))
            new_connection(evl, sock);
        else
            receive_something(evl, sock);
    }
}

static void loop_inner(evl *evl)
{
    int nfds;
    int timeout = wait_timeout_ms(evl);
    evl->self_woken = false;
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
        if (socket_open(sock)) {
            mark_dirty(sock);
            handle_event(evl, sock, evl->events[i].events, storage);
        }
    }
    secure_all(evl);
}

static void epoll_del_socket(evl *evl, evl_socket *s)
{
    ZD_ASSERT_T(epoll_ctl(evl->epollfd, EPOLL_CTL_DEL, s->fd, nullptr) == 0,
                "epoll_ctl(evl->epollfd, 2, s->fd, ((void *)0)) == 0");
    clear_state(s, EVL_SOCK_REGISTERED);
    s->armed_events = 0;
    s->armed_mask = 0;
}

static void epoll_set_socket(evl *evl, evl_socket *s, uint32_t mask)
{
    struct epoll_event ev = {};
    ev.events = mask;
    ev.data.ptr = s;
    if (!is_registered(s)) {
        ZD_ASSERT_T(epoll_ctl(evl->epollfd, EPOLL_CTL_ADD, s->fd, &ev) == 0,
                    "epoll_ctl(evl->epollfd, 1, s->fd, &ev) == 0");
        set_state(s, EVL_SOCK_REGISTERED);
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

// Room that appears in in_plain is invisible to epoll when everything the peer sent is
// already in in_cipher or the session: such a socket goes back to the pump, or it would stall
// with the data in hand. A full out_cipher means the pump waits for the network instead.
static bool needs_pump(const evl_socket *s)
{
    if (!is_tls_stream(s))
        return false;
    return s->in_plain->avail > 0 && s->out_cipher->avail > 0 && tls_input_pending(s);
}

// Socket lock held. Reading stops while in_plain is full (back-pressure), and sending is asked
// for only while net_out holds data. A socket waiting to retry its connect has no descriptor
// state worth watching.
uint32_t wanted_events(const evl_socket *s)
{
    if (!is_watched(s))
        return 0;
    uint32_t want = 0;
    // A connection under way shows that it is up by becoming writable.
    if (s->net_out->data_size > 0 || connect_pending(s))
        want |= EPOLLOUT;
    if (s->in_plain->avail > 0 && !input_done(s) && reads_while_lingering(s))
        want |= EPOLLIN;
    // A hang-up cannot be masked out: a draining socket with nothing to do leaves epoll
    // until it has room to read or data to send.
    if (is_draining(s))
        return want == 0 ? 0 : want | EPOLLERR;
    return want | EPOLLERR | EPOLLRDHUP;
}

// What a socket queued during the iteration goes out before the wait, instead of arming
// EPOLLOUT and coming back for it after another round through epoll; only a send that would
// block leaves EPOLLOUT to the re-arm. A socket whose EPOLLOUT is armed already found the
// kernel full at its last try and waits for epoll's word; one still connecting learns of its
// connection from EPOLLOUT. Loop lock held: on_pull_data runs as it does from the timer pass.
// The socket lock is held on entry and on return, and let go for the send.
static void send_before_wait(evl *evl, evl_socket *s)
{
    if (!sends_before_wait(s))
        return;
    pthread_mutex_unlock(&s->mutex);
    send_something(evl, s, SEND_BEFORE_WAIT);
    pthread_mutex_lock(&s->mutex);
}

// Loop lock held; epoll_ctl is called only on a change. True when the timer pass must look at
// the socket again: a lingering socket that the send before the wait left drained ends there.
static bool rearm_socket(evl *evl, evl_socket *s)
{
    evl->rearm_visits.store(evl->rearm_visits.load(std::memory_order_relaxed) + 1,
                            std::memory_order_relaxed);
    pthread_mutex_lock(&s->mutex);
    send_before_wait(evl, s);
    timer_heap_place(evl, s);
    bool drained = is_open(s) && is_lingering(s) && linger_drained(s);
    uint32_t mask = wanted_events(s);
    if (mask == 0) {
        if (is_registered(s))
            epoll_del_socket(evl, s);
        if (is_watched(s))
            s->desired_events = 0;
    } else {
        s->desired_events = mask & (EPOLLIN | EPOLLOUT);
        epoll_set_socket(evl, s, mask);
    }
    if (is_watched(s) && needs_pump(s))
        queue_pump(evl, s);
    pthread_mutex_unlock(&s->mutex);
    return drained;
}

// The socket stays marked while it is re-armed, so that what its own callbacks change is
// taken in by this visit; a socket changed after its visit is marked for the next turn.
static void rearm_one(evl *evl, evl_socket *s)
{
    s->dirty = true;
    if (!node_not_in_list_p(&s->dirty_link))
        list_node_unlink(&s->dirty_link);
    bool again = rearm_socket(evl, s);
    s->dirty = false;
    if (again)
        mark_dirty(s);
}

// Only the sockets changed since the last pass, unless another thread changed some (it cannot
// mark them) or TRACE is on, whose line per open socket and pass stays as it always was. What
// this pass changes, say a partner's room made by a send before the wait, waits for the next
// turn, which then does not sleep.
static void rearm_changed(evl *evl, bool every_socket)
{
    pthread_mutex_lock(&evl->mutex);
    evl->next_due = 0;
    if (every_socket) {
        for_each_socket(evl, [evl](evl_socket *s) { rearm_one(evl, s); });
    } else {
        list_head batch;
        list_head_init(&batch);
        list_move_all(&batch, &evl->dirty);
        while (auto *s = static_cast<evl_socket *>(list_peek(&batch)))
            rearm_one(evl, s);
        list_head_uninit(&batch);
    }
    if (!list_empty(&evl->dirty))
        evl->self_woken = true;
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
    worker_loop = evl;
    if (evl->on_worker_start)
        evl->on_worker_start(evl);
    EVL_REPORT(LVL_INFO, "Event loop started\n");
    if (stop_requested(evl))
        return nullptr;
    do {
        if (evl->on_iteration)
            evl->on_iteration(evl);
        loop_inner(evl);
        bool every_socket = evl->walk_all.exchange(false) || tracing();
        check_timers(evl, every_socket);
        rearm_changed(evl, every_socket);
        collect_handed_back(evl);
    } while (!stop_requested(evl));
    return nullptr;
}
