#include "forwarder-ops.h"

#include <pthread.h>

#include <openssl/err.h>

#include <cinttypes>

#include "setup-ssl-context.h"

static constexpr char THIS_FILE[] = "src/forwarder-ops";

static uint64_t forward_deadline()
{
    return static_cast<uint64_t>(tick()) + FORWARD_DEADLINE_NS;
}

// The loop sets the flag under the socket's lock before it calls on_connection_closed.
static bool peer_ended(evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    bool ended = (sock->flags & EVL_SOCK_PEER_EOF) != 0;
    pthread_mutex_unlock(&sock->mutex);
    return ended;
}

// Finds the pair that holds sock in the slot its context value names. A socket whose pair was
// closed is in no slot, since closing a pair empties both of its slots before another pair can
// take them; so a late callback for it can never act on the pair that uses the slot now.
static bool find_pair(forwarder_ctx *ctx, evl_socket *sock, int64_t *pair, evl_socket **partner)
{
    uint64_t i = evl_get_socket_context(sock);
    if (i >= static_cast<uint64_t>(ctx->npairs))
        return false;
    if (ctx->plain_side[i] == sock)
        *partner = ctx->secure_side[i];
    else if (ctx->secure_side[i] == sock)
        *partner = ctx->plain_side[i];
    else
        return false;
    *pair = static_cast<int64_t>(i);
    return true;
}

static void set_pair_context(forwarder_ctx *ctx, int64_t i)
{
    // A lingering pair has handed back its ended side; only the other one is left to renumber.
    if (ctx->plain_side[i])
        evl_set_socket_context(ctx->plain_side[i], static_cast<uint64_t>(i));
    if (ctx->secure_side[i])
        evl_set_socket_context(ctx->secure_side[i], static_cast<uint64_t>(i));
}

void forwarder_add_port(forwarder_ctx *ctx, uint16_t port)
{
    for (port_counters &p : ctx->ports) {
        if (p.port == 0 || p.port == port) {
            p.port = port;
            return;
        }
    }
}

// A port no one announced takes a free slot; once all are taken, the last one counts for the
// rest, so that no connection goes uncounted.
static uint8_t port_slot(forwarder_ctx *ctx, uint16_t port)
{
    for (int k = 0; k < FORWARDER_PORTS; k++) {
        if (ctx->ports[k].port == port)
            return static_cast<uint8_t>(k);
        if (ctx->ports[k].port == 0) {
            ctx->ports[k].port = port;
            return static_cast<uint8_t>(k);
        }
    }
    return FORWARDER_PORTS - 1;
}

static port_counters *pair_port(forwarder_ctx *ctx, int64_t i)
{
    return &ctx->ports[ctx->record[i].port];
}

// Moves what `from` holds into `to`, the sending side of pair i, and counts it for the pair
// and its port; the direction is the receiving side's.
static int move_bytes(forwarder_ctx *ctx, int64_t i, evl_socket *to, skb *from)
{
    uint64_t sent = 0;
    uint64_t deadline = ctx->deadline[i] != 0 ? ctx->deadline[i] : forward_deadline();
    int rc = evl_send_skbuf(ctx->evl, to, from, deadline, &sent, nullptr);
    port_counters *port = pair_port(ctx, i);
    if (to == ctx->secure_side[i]) {
        ctx->record[i].up += sent;
        port->bytes_up += sent;
    } else {
        ctx->record[i].down += sent;
        port->bytes_down += sent;
    }
    return rc;
}

static void report_refusal(port_counters *port, uint16_t client_port)
{
    uint64_t held;
    if (!report_limit_pass(&port->refusal_lines, static_cast<uint64_t>(tick()),
                           FAILURE_LINE_INTERVAL_NS, &held))
        return;
    REPORT(LVL_WARN,
           "Refused client port %u on port %u: %d pairs are live, the most there can be (%" PRIu64
           " more refused since the last line)\n",
           client_port, port->port, MAX_PAIRS, held);
}

static bool is_draining(const forwarder_ctx *ctx, int64_t i)
{
    return ctx->state[i] == PAIR_DRAIN_PLAIN || ctx->state[i] == PAIR_DRAIN_SECURE;
}

static evl_socket *receiving_side(const forwarder_ctx *ctx, int64_t i)
{
    return ctx->state[i] == PAIR_DRAIN_PLAIN ? ctx->secure_side[i] : ctx->plain_side[i];
}

static int on_new_connection(evl *evl, evl_socket *sock, uint16_t peer_port, void *arg,
                             endpoint listener)
{
    auto *ctx = static_cast<forwarder_ctx *>(arg);
    uint8_t port = port_slot(ctx, listener.port);
    ctx->ports[port].accepted++;
    if (ctx->npairs == MAX_PAIRS) {
        ctx->ports[port].refused_at_limit++;
        report_refusal(&ctx->ports[port], peer_port);
        return -1;
    }
    const config *c = ctx->config;
    // The mount target sees the client's own source port, which it may use to tell privileged
    // clients apart.
    endpoint local{c->prefsrc, peer_port};
    endpoint remote{c->target, c->nfs_ssl_port};
    evl_socket *secure = evl_secure_connect(evl, &forwarder_ops, ctx, local, remote);
    if (!secure) {
        ctx->ports[port].connect_failures++;
        return -1;
    }
    int64_t i = ctx->npairs;
    ctx->secure_side[i] = secure;
    ctx->plain_side[i] = sock;
    ctx->state[i] = PAIR_LIVE;
    ctx->deadline[i] = 0;
    ctx->record[i] = pair_record{sock->ep, remote, static_cast<uint64_t>(tick()), 0, 0, port};
    ctx->ports[port].live_pairs++;
    set_pair_context(ctx, i);
    ctx->npairs = i + 1;
    return 0;
}

// Moves what the ended side still holds into the other side. Once the ended side is empty it
// is handed back, and the other side lingers: it sends what it has queued and then closes,
// which brings its own close notice and ends the pair. A secure side still in its handshake
// lingers too: the loop finishes the handshake before it sends what is queued.
static void continue_drain(forwarder_ctx *ctx, int64_t i)
{
    if (ctx->state[i] == PAIR_LINGER)
        return;
    bool plain_ended = ctx->state[i] == PAIR_DRAIN_PLAIN;
    evl_socket **ended = plain_ended ? &ctx->plain_side[i] : &ctx->secure_side[i];
    evl_socket *other = receiving_side(ctx, i);
    skb *held = evl_in_plain(*ended);
    if (held->data_size > 0 && move_bytes(ctx, i, other, held) < 0) {
        close_connection_pair(ctx, i);
        return;
    }
    if (held->data_size > 0)
        return;
    *ended = evl_close(ctx->evl, *ended);
    ctx->state[i] = PAIR_LINGER;
    if (evl_set_deadline(ctx->evl, other, 0) < 0 ||
        evl_linger(ctx->evl, other, forward_deadline()) < 0)
        close_connection_pair(ctx, i);
}

// The drain's deadline is the receiving side's own loop deadline: a receiving side that takes
// nothing brings no callback, and the loop's notice at the deadline ends the pair even on an
// otherwise idle daemon.
static void begin_drain(forwarder_ctx *ctx, int64_t i, evl_socket *ended)
{
    REPORT(LVL_DEBUG, "evl_socket=%p ended, draining pair %ld\n", static_cast<void *>(ended),
           static_cast<long>(i));
    ctx->state[i] = ended == ctx->plain_side[i] ? PAIR_DRAIN_PLAIN : PAIR_DRAIN_SECURE;
    ctx->deadline[i] = forward_deadline();
    if (evl_set_deadline(ctx->evl, receiving_side(ctx, i), ctx->deadline[i]) < 0) {
        close_connection_pair(ctx, i);
        return;
    }
    continue_drain(ctx, i);
}

static void on_received_data(evl *evl, evl_socket *sock, skb *skb, void *arg)
{
    (void)evl; // the same loop as ctx->evl
    auto *ctx = static_cast<forwarder_ctx *>(arg);
    int64_t i;
    evl_socket *other;
    if (!find_pair(ctx, sock, &i, &other)) {
        REPORT(LVL_INFO, "can't find evl_socket=%p\n", static_cast<void *>(sock));
        return;
    }
    // A pair that drains moves only the ended side's bytes: what the other side receives has
    // nowhere to go and stays where it is until the pair closes.
    if (ctx->state[i] != PAIR_LIVE) {
        continue_drain(ctx, i);
        return;
    }
    ZD_ASSERT(other);
    if (move_bytes(ctx, i, other, skb) < 0)
        close_connection_pair(ctx, i);
}

static void on_pull_data(evl *evl, evl_socket *sock, void *arg)
{
    (void)evl;
    auto *ctx = static_cast<forwarder_ctx *>(arg);
    int64_t i;
    evl_socket *other;
    if (!find_pair(ctx, sock, &i, &other)) {
        REPORT(LVL_INFO, "can't find evl_socket=%p\n", static_cast<void *>(sock));
        return;
    }
    if (ctx->state[i] != PAIR_LIVE) {
        continue_drain(ctx, i);
        return;
    }
    ZD_ASSERT(other);
    if (move_bytes(ctx, i, sock, evl_in_plain(other)) < 0)
        close_connection_pair(ctx, i);
}

// The cause of a failed TLS session in words: the library's reason, or the deadline.
static void describe_tls_failure(forwarder_ctx *ctx, evl_socket *sock, evl_failure failure,
                                 unsigned long tls_error, char *text, size_t size)
{
    if (failure == EVL_FAILURE_VERIFY) {
        ssl_describe_refusal(sock->ssl, text, size);
        return;
    }
    if (failure == EVL_FAILURE_HANDSHAKE_TIMEOUT)
        snprintf(text, size, "not finished within %d seconds",
                 static_cast<int>(ctx->evl->handshake_timeout_ns / 1000000000));
    else if (tls_error != 0)
        ERR_error_string_n(tls_error, text, size);
    else
        snprintf(text, size, "the server ended the connection during the handshake");
}

static void report_pair_tls_failure(forwarder_ctx *ctx, int64_t i, evl_socket *sock,
                                    evl_failure failure, unsigned long tls_error)
{
    port_counters *port = pair_port(ctx, i);
    uint64_t held;
    if (!report_limit_pass(&port->failure_lines, static_cast<uint64_t>(tick()),
                           FAILURE_LINE_INTERVAL_NS, &held))
        return;
    char cause[REFUSAL_TEXT_SZ], client[ENDPOINT_TEXT_SZ], target[ENDPOINT_TEXT_SZ];
    describe_tls_failure(ctx, sock, failure, tls_error, cause, sizeof(cause));
    REPORT(LVL_WARN,
           "TLS %s mount target %s failed for client %s on port %u: %s (%" PRIu64
           " more TLS failures on the port since the last line)\n",
           failure == EVL_FAILURE_VERIFY ? "verification of" : "handshake with",
           ARGendpoint6(target, ctx->record[i].target), ARGendpoint6(client, ctx->record[i].client),
           port->port, cause, held);
}

// The secure side of pair i was closed by the loop: counts why, and names a TLS failure.
static void note_secure_close(forwarder_ctx *ctx, int64_t i, evl_socket *sock)
{
    unsigned long tls_error = 0;
    evl_failure failure = evl_get_failure(sock, &tls_error);
    port_counters *port = pair_port(ctx, i);
    switch (failure) {
    case EVL_FAILURE_NONE:
        return;
    case EVL_FAILURE_CONNECT:
    case EVL_FAILURE_CONNECT_TIMEOUT:
        port->connect_failures++;
        return;
    case EVL_FAILURE_HANDSHAKE:
    case EVL_FAILURE_HANDSHAKE_TIMEOUT:
        port->handshake_failures++;
        break;
    case EVL_FAILURE_VERIFY:
        port->verify_failures++;
        break;
    }
    report_pair_tls_failure(ctx, i, sock, failure, tls_error);
}

// An orderly end keeps the pair until the ended side's bytes are out; an error (reset, TLS
// failure, error condition) or the end of a pair's second side closes both at once.
static void on_connection_closed(evl *evl, evl_socket *sock, void *arg)
{
    (void)evl;
    auto *ctx = static_cast<forwarder_ctx *>(arg);
    int64_t i;
    evl_socket *other;
    if (!find_pair(ctx, sock, &i, &other)) {
        REPORT(LVL_DEBUG, "ignoring close of evl_socket=%p, its pair is gone\n",
               static_cast<void *>(sock));
        return;
    }
    if (sock == ctx->secure_side[i])
        note_secure_close(ctx, i, sock);
    if (ctx->state[i] == PAIR_LIVE && peer_ended(sock)) {
        begin_drain(ctx, i, sock);
        return;
    }
    if (is_draining(ctx, i) && static_cast<uint64_t>(tick()) >= ctx->deadline[i])
        REPORT(LVL_INFO, "drain of pair %ld timed out\n", static_cast<long>(i));
    close_connection_pair(ctx, i);
}

static void report_pair_closed(forwarder_ctx *ctx, int64_t i)
{
    const pair_record &r = ctx->record[i];
    uint64_t lived_ms = (static_cast<uint64_t>(tick()) - r.opened_ns) / 1000000;
    char client[ENDPOINT_TEXT_SZ], target[ENDPOINT_TEXT_SZ];
    REPORT(LVL_INFO,
           "Pair closed on port %u: client %s, mount target %s, %" PRIu64 ".%03" PRIu64
           " s, %" PRIu64 " bytes up, %" PRIu64 " bytes down\n",
           ctx->ports[r.port].port, ARGendpoint6(client, r.client), ARGendpoint6(target, r.target),
           lived_ms / 1000, lived_ms % 1000, r.up, r.down);
}

// The last pair moves into the freed slot, so that slots 0 to npairs - 1 stay in use.
void close_connection_pair(forwarder_ctx *ctx, int64_t i)
{
    ZD_ASSERT(i >= 0 && i < ctx->npairs);
    report_pair_closed(ctx, i);
    pair_port(ctx, i)->live_pairs--;
    if (ctx->plain_side[i])
        ctx->plain_side[i] = evl_close(ctx->evl, ctx->plain_side[i]);
    if (ctx->secure_side[i])
        ctx->secure_side[i] = evl_close(ctx->evl, ctx->secure_side[i]);
    int64_t last = ctx->npairs - 1;
    if (i != last) {
        ctx->plain_side[i] = ctx->plain_side[last];
        ctx->secure_side[i] = ctx->secure_side[last];
        ctx->state[i] = ctx->state[last];
        ctx->deadline[i] = ctx->deadline[last];
        ctx->record[i] = ctx->record[last];
        ctx->plain_side[last] = nullptr;
        ctx->secure_side[last] = nullptr;
        set_pair_context(ctx, i);
    }
    ctx->state[last] = PAIR_LIVE;
    ctx->deadline[last] = 0;
    ctx->npairs = last;
}

const evl_ops forwarder_ops = {
    .on_new_connection = on_new_connection,
    .on_received_data = on_received_data,
    .on_pull_data = on_pull_data,
    .on_connection_closed = on_connection_closed,
};
