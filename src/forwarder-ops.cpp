#include "forwarder-ops.h"

#include <pthread.h>

#include <openssl/err.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "setup-ssl-context.h"

static constexpr char THIS_FILE[] = "src/forwarder-ops";

static uint64_t forward_deadline()
{
    return static_cast<uint64_t>(tick()) + FORWARD_DEADLINE_NS;
}

// Finds the pair that holds sock in the slot its context value names. A socket whose pair was
// closed is in no slot, since closing a pair empties both of its slots before another pair can
// take them; so a late callback for it can never act on the pair that uses the slot now.
static bool find_pair(forwarder_ctx *ctx, evl_socket *sock, int64_t *pair, evl_socket **partner)
{
    uint64_t i = evl_get_socket_context(sock);
    if (i >= static_cast<uint64_t>(ctx->npairs))
        return false;
    if (ctx->pairs[i].plain == sock)
        *partner = ctx->pairs[i].secure;
    else if (ctx->pairs[i].secure == sock)
        *partner = ctx->pairs[i].plain;
    else
        return false;
    *pair = static_cast<int64_t>(i);
    return true;
}

static void set_pair_context(forwarder_ctx *ctx, int64_t i)
{
    // A lingering pair has handed back its ended side; only the other one is left to renumber.
    if (ctx->pairs[i].plain)
        evl_set_socket_context(ctx->pairs[i].plain, static_cast<uint64_t>(i));
    if (ctx->pairs[i].secure)
        evl_set_socket_context(ctx->pairs[i].secure, static_cast<uint64_t>(i));
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
    return &ctx->ports[ctx->pairs[i].record.port];
}

// Moves what `from` holds into `to`, the sending side of pair i, and counts it for the pair
// and its port; the direction is the receiving side's.
static int move_bytes(forwarder_ctx *ctx, int64_t i, evl_socket *to, skb *from)
{
    // A side whose sending has ended takes nothing more, and has nothing to be asked for.
    if (from->data_size == 0)
        return 0;
    uint64_t sent = 0;
    uint64_t deadline = ctx->pairs[i].deadline != 0 ? ctx->pairs[i].deadline : forward_deadline();
    int rc = evl_send_skbuf(ctx->evl, to, from, deadline, &sent, nullptr);
    port_counters *port = pair_port(ctx, i);
    if (to == ctx->pairs[i].secure) {
        ctx->pairs[i].record.up += sent;
        port->bytes_up += sent;
    } else {
        ctx->pairs[i].record.down += sent;
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
    return ctx->pairs[i].state == PAIR_DRAIN_PLAIN || ctx->pairs[i].state == PAIR_DRAIN_SECURE;
}

static evl_socket *receiving_side(const forwarder_ctx *ctx, int64_t i)
{
    return ctx->pairs[i].state == PAIR_DRAIN_PLAIN ? ctx->pairs[i].secure : ctx->pairs[i].plain;
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
    evl_socket *secure =
        evl_secure_connect(evl, ctx->ops ? ctx->ops : &forwarder_ops, ctx, local, remote);
    if (!secure) {
        ctx->ports[port].connect_failures++;
        return -1;
    }
    // Each side's end is passed on behind its bytes while the other direction goes on.
    evl_allow_half_open(sock);
    evl_allow_half_open(secure);
    int64_t i = ctx->npairs;
    ctx->pairs[i] = forwarder_pair{};
    ctx->pairs[i].plain = sock;
    ctx->pairs[i].secure = secure;
    ctx->pairs[i].record =
        pair_record{evl_socket_endpoint(sock), remote, static_cast<uint64_t>(tick()), 0, 0, port};
    ctx->ports[port].live_pairs++;
    set_pair_context(ctx, i);
    ctx->npairs = i + 1;
    return 0;
}

// The side that stays to the end of the pair: the one that receives a drain, else the plain.
static evl_socket *lasting_side(const forwarder_ctx *ctx, int64_t i)
{
    if (ctx->pairs[i].state == PAIR_LIVE)
        return ctx->pairs[i].plain;
    if (is_draining(ctx, i))
        return receiving_side(ctx, i);
    return ctx->pairs[i].plain ? ctx->pairs[i].plain : ctx->pairs[i].secure;
}

static uint64_t kernel_unsent(const forwarder_ctx *ctx, int64_t i)
{
    uint64_t queued = 0;
    for (evl_socket *s : {ctx->pairs[i].plain, ctx->pairs[i].secure})
        if (s)
            queued += evl_kernel_unsent(s);
    return queued;
}

// What the kernel holds is noted with every wake-up set, once per idle period, to tell at the
// next one whether it has shrunk.
static void set_wake(forwarder_ctx *ctx, int64_t i)
{
    ctx->pairs[i].kernel_unsent = kernel_unsent(ctx, i);
    ctx->pairs[i].wake = ctx->pairs[i].deadline;
    if (evl_set_wake(ctx->evl, lasting_side(ctx, i), ctx->pairs[i].wake) < 0)
        ctx->pairs[i].wake = 0;
}

// Once a side has ended, the pair must keep moving bytes: every callback of the pair is
// progress and moves its idle deadline on. That costs no system call: one wake-up per idle
// period checks the deadline, and sets itself again for a deadline that moved meanwhile. A
// secure side still connecting or in its handshake has the loop's own deadlines for that.
static void keep_moving(forwarder_ctx *ctx, int64_t i)
{
    evl_socket *secure = ctx->pairs[i].secure;
    if (secure && ctx->pairs[i].state == PAIR_LIVE && !evl_handshake_done(secure))
        return;
    ctx->pairs[i].deadline = static_cast<uint64_t>(tick()) + PAIR_IDLE_NS;
    if (ctx->pairs[i].wake == 0)
        set_wake(ctx, i);
}

static void fail_pair(forwarder_ctx *ctx, int64_t i, evl_socket *failed, const char *cause);

// The pair's wake-up. Bytes the kernel still holds for a slow reader leave without any
// callback: a queue that shrank since the last wake-up counts as progress.
static void check_idle(forwarder_ctx *ctx, int64_t i)
{
    ctx->pairs[i].wake = 0;
    if (ctx->pairs[i].deadline == 0)
        return;
    uint64_t now = static_cast<uint64_t>(tick());
    if (now < ctx->pairs[i].deadline) {
        set_wake(ctx, i);
        return;
    }
    if (kernel_unsent(ctx, i) < ctx->pairs[i].kernel_unsent) {
        ctx->pairs[i].deadline = now + PAIR_IDLE_NS;
        set_wake(ctx, i);
        return;
    }
    static_assert(PAIR_IDLE_NS == 15000000000, "the line names the idle time");
    fail_pair(ctx, i, nullptr, "no byte moved in 15 s");
}

// Moves what the ended side still holds into the other side. Once the ended side is empty it
// is handed back, and the other side lingers: it sends what it has queued and then closes,
// which brings its own close notice and ends the pair. A secure side still in its handshake
// lingers too: the loop finishes the handshake before it sends what is queued.
static void continue_drain(forwarder_ctx *ctx, int64_t i)
{
    if (ctx->pairs[i].state == PAIR_LINGER) {
        keep_moving(ctx, i);
        return;
    }
    bool plain_ended = ctx->pairs[i].state == PAIR_DRAIN_PLAIN;
    evl_socket **ended = plain_ended ? &ctx->pairs[i].plain : &ctx->pairs[i].secure;
    evl_socket *other = receiving_side(ctx, i);
    skb *held = evl_in_plain(*ended);
    if (held->data_size > 0 && move_bytes(ctx, i, other, held) < 0) {
        close_connection_pair(ctx, i);
        return;
    }
    keep_moving(ctx, i);
    if (held->data_size > 0)
        return;
    *ended = evl_close(ctx->evl, *ended);
    ctx->pairs[i].state = PAIR_LINGER;
    // The wake-up went with the side handed back when that was the one that held it.
    ctx->pairs[i].wake = 0;
    keep_moving(ctx, i);
    if (evl_linger(ctx->evl, other, 0) < 0)
        close_connection_pair(ctx, i);
}

static void begin_drain(forwarder_ctx *ctx, int64_t i, evl_socket *ended)
{
    REPORT(LVL_DEBUG, "evl_socket=%p ended, draining pair %ld\n", static_cast<void *>(ended),
           static_cast<long>(i));
    ctx->pairs[i].state = ended == ctx->pairs[i].plain ? PAIR_DRAIN_PLAIN : PAIR_DRAIN_SECURE;
    ctx->pairs[i].wake = 0;
    continue_drain(ctx, i);
}

static bool ended_and_empty(evl_socket *sock)
{
    return evl_peer_ended(sock) && evl_in_plain(sock)->data_size == 0;
}

// An orderly end is passed on once every byte before it has been handed to the other side;
// the pair closes once both ends have been passed on and have gone out.
static void pass_ends(forwarder_ctx *ctx, int64_t i)
{
    evl_socket *plain = ctx->pairs[i].plain;
    evl_socket *secure = ctx->pairs[i].secure;
    if (!(ctx->pairs[i].ends & PAIR_UP_ENDED) && ended_and_empty(plain)) {
        ctx->pairs[i].ends |= PAIR_UP_ENDED;
        if (evl_shutdown(ctx->evl, secure) < 0) {
            fail_pair(ctx, i, secure, nullptr);
            return;
        }
    }
    if (!(ctx->pairs[i].ends & PAIR_DOWN_ENDED) && ended_and_empty(secure)) {
        ctx->pairs[i].ends |= PAIR_DOWN_ENDED;
        if (evl_shutdown(ctx->evl, plain) < 0) {
            fail_pair(ctx, i, plain, nullptr);
            return;
        }
    }
    if (ctx->pairs[i].ends == PAIR_BOTH_ENDED && evl_write_done(plain) && evl_write_done(secure)) {
        close_connection_pair(ctx, i);
        return;
    }
    // The idle deadline starts with the peer's end, not with its passing on: an end stuck
    // behind bytes the other side cannot take would otherwise wait for ever on a reader that
    // never reads.
    if (ctx->pairs[i].ends != 0 || evl_peer_ended(plain) || evl_peer_ended(secure))
        keep_moving(ctx, i);
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
    if (ctx->pairs[i].state != PAIR_LIVE) {
        continue_drain(ctx, i);
        return;
    }
    ZD_ASSERT(other);
    if (move_bytes(ctx, i, other, skb) < 0) {
        fail_pair(ctx, i, other, nullptr);
        return;
    }
    pass_ends(ctx, i);
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
    if (evl_woken(sock)) {
        check_idle(ctx, i);
        return;
    }
    if (ctx->pairs[i].state != PAIR_LIVE) {
        continue_drain(ctx, i);
        return;
    }
    ZD_ASSERT(other);
    if (move_bytes(ctx, i, sock, evl_in_plain(other)) < 0) {
        fail_pair(ctx, i, sock, nullptr);
        return;
    }
    pass_ends(ctx, i);
}

// The cause of a failed TLS session in words: the library's reason, or the deadline.
static void describe_tls_failure(forwarder_ctx *ctx, evl_socket *sock, evl_failure failure,
                                 unsigned long tls_error, char *text, size_t size)
{
    if (failure == EVL_FAILURE_VERIFY) {
        evl_describe_refusal(sock, text, size);
        return;
    }
    if (failure == EVL_FAILURE_HANDSHAKE_TIMEOUT)
        snprintf(text, size, "not finished within %d seconds",
                 static_cast<int>(evl_handshake_timeout_ns(ctx->evl) / 1000000000));
    else if (tls_error != 0)
        ERR_error_string_n(tls_error, text, size);
    else
        snprintf(text, size, "the server ended the connection during the handshake");
}

static const char *tls_failure_kind(evl_failure failure)
{
    switch (failure) {
    case EVL_FAILURE_VERIFY:
        return "verification of";
    case EVL_FAILURE_SESSION:
        return "session with";
    default:
        return "handshake with";
    }
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
           tls_failure_kind(failure), ARGendpoint6(target, ctx->pairs[i].record.target),
           ARGendpoint6(client, ctx->pairs[i].record.client), port->port, cause, held);
}

// The secure side of pair i was closed by the loop: counts why, and names a TLS failure.
static void note_secure_close(forwarder_ctx *ctx, int64_t i, evl_socket *sock)
{
    unsigned long tls_error = 0;
    evl_failure failure = evl_get_failure(sock, &tls_error);
    port_counters *port = pair_port(ctx, i);
    switch (failure) {
    case EVL_FAILURE_NONE:
    case EVL_FAILURE_RESET:
    case EVL_FAILURE_TRUNCATED:
    case EVL_FAILURE_DEADLINE:
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
    case EVL_FAILURE_SESSION:
        port->session_failures++;
        break;
    }
    report_pair_tls_failure(ctx, i, sock, failure, tls_error);
}

// Why a side ended, as the words that follow "the client" or "the mount target" in the line
// of a pair that was reset; in the order of evl_failure.
static constexpr const char *failure_words[] = {
    "ended the connection",
    "could not be reached",
    "was not reached in time",
    "failed the TLS handshake",
    "did not finish the TLS handshake in time",
    "presented a certificate that was refused",
    "failed the TLS session",
    "reset the connection",
    "ended its TCP stream without a TLS close_notify",
    "let the idle deadline pass",
};
static_assert(sizeof(failure_words) / sizeof(failure_words[0]) == EVL_FAILURE_DEADLINE + 1);

struct pair_loss {
    char cause[REFUSAL_TEXT_SZ];
    bool by_client; // the client reset or failed: its own doing, not the target's nor ours
    uint64_t up;    // held for the mount target and never sent
    uint64_t down;  // held for the client and never sent
};

static void describe_failure(evl_socket *failed, bool client, pair_loss *loss)
{
    unsigned long tls_error = 0;
    evl_failure failure = evl_get_failure(failed, &tls_error);
    int err = evl_get_error(failed);
    char reason[REFUSAL_TEXT_SZ] = "";
    if (tls_error != 0)
        ERR_error_string_n(tls_error, reason, sizeof(reason));
    else if (err != 0)
        snprintf(reason, sizeof(reason), "%s", strerror(err));
    snprintf(loss->cause, sizeof(loss->cause), "%s %s%s%s%s",
             client ? "the client" : "the mount target", failure_words[failure],
             reason[0] ? " (" : "", reason, reason[0] ? ")" : "");
}

static void end_pair(forwarder_ctx *ctx, int64_t i, const pair_loss *loss);

// What a side was given to send and has not delivered, the kernel's queue included, which the
// reset throws away. Bytes already encrypted count as they are, records and all.
static uint64_t owed_by(evl_socket *sock)
{
    return sock ? evl_unsent(sock) + evl_kernel_unsent(sock) : 0;
}

// A side failed, or the pair stopped moving (`cause`): whatever the pair still holds cannot be
// delivered in order, so both sides end with a reset, never with a clean end, and one line
// says why and what was left.
static void fail_pair(forwarder_ctx *ctx, int64_t i, evl_socket *failed, const char *cause)
{
    pair_loss loss;
    evl_socket *plain = ctx->pairs[i].plain;
    evl_socket *secure = ctx->pairs[i].secure;
    loss.by_client = failed != nullptr && failed == plain;
    if (cause)
        snprintf(loss.cause, sizeof(loss.cause), "%s", cause);
    else
        describe_failure(failed, loss.by_client, &loss);
    loss.up = (plain ? evl_in_plain(plain)->data_size : 0) + owed_by(secure);
    loss.down = (secure ? evl_in_plain(secure)->data_size : 0) + owed_by(plain);
    end_pair(ctx, i, &loss);
}

// Nothing the partner sent is still on its way to the side that ended.
static bool nothing_owed_to(forwarder_ctx *ctx, int64_t i, evl_socket *ended)
{
    evl_socket *partner = ended == ctx->pairs[i].plain ? ctx->pairs[i].secure : ctx->pairs[i].plain;
    return evl_unsent(ended) == 0 && evl_in_plain(partner)->data_size == 0;
}

// A side that ended in order and then failed (a reset right after its last bytes and its
// close_notify) keeps its pair while those bytes leave through the other side, when nothing
// was lost on the way to it; any other failure, or a drain that stops moving, resets the pair.
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
    if (sock == ctx->pairs[i].secure)
        note_secure_close(ctx, i, sock);
    if (ctx->pairs[i].state == PAIR_LIVE) {
        if (evl_peer_ended(sock) && nothing_owed_to(ctx, i, sock))
            begin_drain(ctx, i, sock);
        else
            fail_pair(ctx, i, sock, nullptr);
        return;
    }
    unsigned long tls_error;
    if (evl_get_failure(sock, &tls_error) == EVL_FAILURE_NONE && !is_draining(ctx, i))
        close_connection_pair(ctx, i);
    else
        fail_pair(ctx, i, sock, nullptr);
}

static void report_pair_closed(forwarder_ctx *ctx, int64_t i, const pair_loss *loss)
{
    const pair_record &r = ctx->pairs[i].record;
    uint64_t lived_ms = (static_cast<uint64_t>(tick()) - r.opened_ns) / 1000000;
    char client[ENDPOINT_TEXT_SZ], target[ENDPOINT_TEXT_SZ];
    char reset[2 * REFUSAL_TEXT_SZ] = "";
    uint64_t left = loss ? loss->up + loss->down : 0;
    if (loss)
        snprintf(reset, sizeof(reset),
                 ", reset: %s, %" PRIu64 " bytes left undelivered (%" PRIu64 " up, %" PRIu64
                 " down)",
                 loss->cause, left, loss->up, loss->down);
    // A client that resets with its answer unread (NFS clients do, as they unmount) has only
    // itself to blame; anything else that leaves bytes behind is news for the administrator.
    REPORT(left > 0 && !loss->by_client ? LVL_WARN : LVL_INFO,
           "Pair closed on port %u: client %s, mount target %s, %" PRIu64 ".%03" PRIu64
           " s, %" PRIu64 " bytes up, %" PRIu64 " bytes down%s\n",
           ctx->ports[r.port].port, ARGendpoint6(client, r.client), ARGendpoint6(target, r.target),
           lived_ms / 1000, lived_ms % 1000, r.up, r.down, reset);
}

// What was moved into a side but never left it does not count as delivered. A pair that ends
// in order has delivered everything.
static void count_undelivered(forwarder_ctx *ctx, int64_t i, const pair_loss *loss)
{
    if (!loss)
        return;
    pair_record &r = ctx->pairs[i].record;
    port_counters *port = pair_port(ctx, i);
    uint64_t up = std::min(r.up, loss->up);
    uint64_t down = std::min(r.down, loss->down);
    r.up -= up;
    port->bytes_up -= up;
    r.down -= down;
    port->bytes_down -= down;
}

void close_connection_pair(forwarder_ctx *ctx, int64_t i)
{
    end_pair(ctx, i, nullptr);
}

// The last pair moves into the freed slot, so that slots 0 to npairs - 1 stay in use.
static void end_pair(forwarder_ctx *ctx, int64_t i, const pair_loss *loss)
{
    ZD_ASSERT(i >= 0 && i < ctx->npairs);
    count_undelivered(ctx, i, loss);
    report_pair_closed(ctx, i, loss);
    port_counters *port = pair_port(ctx, i);
    port->live_pairs--;
    if (loss)
        port->reset_pairs++;
    auto hand_back = loss ? evl_abort : evl_close;
    forwarder_pair *p = &ctx->pairs[i];
    if (p->plain)
        p->plain = hand_back(ctx->evl, p->plain);
    if (p->secure)
        p->secure = hand_back(ctx->evl, p->secure);
    int64_t last = ctx->npairs - 1;
    if (i != last) {
        *p = ctx->pairs[last];
        set_pair_context(ctx, i);
    }
    ctx->pairs[last] = forwarder_pair{};
    ctx->npairs = last;
}

const evl_ops forwarder_ops = {
    .on_new_connection = on_new_connection,
    .on_received_data = on_received_data,
    .on_pull_data = on_pull_data,
    .on_connection_closed = on_connection_closed,
};
