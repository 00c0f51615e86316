// The TLS sessions: each runs over an in-memory BIO pair, and the pump moves bytes between the
// socket's buffers, the pair and the session until nothing moves.
#include "event-loop-internal.h"

#include <openssl/bio.h>
#include <openssl/err.h>

#include "setup-ssl-context.h"

static constexpr char THIS_FILE[] = "src/tls-pump";

static constexpr size_t TLS_ERROR_TEXT_SZ = 256;

// The session never touches the network: it reads and writes the plain half of a BIO pair,
// and the pump moves ciphertext between the other half and the socket's buffers. The
// assertions carry the name of the step that builds the socket.
void attach_tls_session(evl_socket *sock, bool server, const char *caller)
{
    sock->kind |= EVL_KIND_SECURE;
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
    if (!session_end_asked(s) || tls_shutdown_written(s) || s->out_plain->data_size > 0)
        return PUMP_STALLED;
    if (!SSL_is_init_finished(s->ssl)) {
        if (!is_lingering(s))
            return PUMP_STALLED;
        set_state(s, EVL_SOCK_TLS_SHUTDOWN);
        return PUMP_STALLED;
    }
    ERR_clear_error();
    int rc = SSL_shutdown(s->ssl);
    EVL_REPORT_AS(PUMP_FN, LVL_TRACE, "SSL_shutdown() %d\n", rc);
    if (rc < 0)
        return tls_wait(evl, s, rc);
    set_state(s, EVL_SOCK_TLS_SHUTDOWN);
    return PUMP_PROGRESS;
}

// Step 3: plaintext out of the session.
static pump_status decrypt_ciphertext(evl *evl, evl_socket *s)
{
    skb *in = s->in_plain;
    if (in->avail == 0 || peer_ended(s))
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
bool tls_input_pending(const evl_socket *s)
{
    return s->in_cipher->data_size > 0 || BIO_ctrl_pending(s->plain) > 0 || SSL_pending(s->ssl) > 0;
}

static void report_tls_failure(evl *evl, evl_socket *s)
{
    char reason[TLS_ERROR_TEXT_SZ];
    s->tls_error = ERR_get_error();
    set_state(s, EVL_SOCK_TLS_FAILED);
    ERR_error_string_n(s->tls_error, reason, sizeof(reason));
    ERR_clear_error();
    char peer[ENDPOINT_TEXT_SZ];
    EVL_REPORT_AS(PUMP_FN, LVL_ERROR, "Received error on connection to %s: errno=%d, %s\n",
                  ARGendpoint6(peer, s->ep), errno, reason);
}

void deliver_plaintext(evl *evl, evl_socket *s, bool always)
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
    if (!lock_if_open(sock))
        return;
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
        bool lingering = is_lingering(sock);
        if (!lingering && allows_half_open(sock)) {
            // The session stays for what is still to be sent; the user learns of the end
            // behind the last bytes, and reading stops here.
            set_state(sock, EVL_SOCK_PEER_EOF | EVL_SOCK_DRAINING);
            bool failed = read_failed(sock);
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
        set_state(sock, EVL_SOCK_TLS_UP);
    if (established && sock->due[EVL_TIMER_HANDSHAKE] != 0) {
        set_due(evl, sock, EVL_TIMER_HANDSHAKE, 0);
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
    bool ended = read_ended(sock) && !tls_input_pending(sock);
    bool lingering = is_lingering(sock);
    bool half_open = allows_half_open(sock);
    bool failed = read_failed(sock);
    bool peer_gone = peer_ended(sock);
    bool was_up = tls_up(sock);
    // After our own close_notify a server that just closes has answered it, as many do: the
    // end of its stream is taken as its close_notify.
    bool answered =
        ended && half_open && was_up && !failed && !peer_gone && tls_shutdown_written(sock);
    if (answered) {
        set_state(sock, EVL_SOCK_PEER_EOF);
        peer_gone = true;
    }
    pthread_mutex_unlock(&sock->mutex);
    deliver_plaintext(evl, sock, answered);
    if (!ended || (lingering && established))
        return;
    if (half_open && peer_gone) {
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
