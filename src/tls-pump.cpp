// The TLS sessions: each reads and writes the socket's ciphertext buffers through a BIO of its
// own, and the pump moves bytes between the socket's buffers and the session until nothing
// moves.
#include "event-loop-internal.h"

#include <openssl/bio.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstring>

#include "setup-ssl-context.h"

static constexpr char THIS_FILE[] = "src/tls-pump";

static constexpr size_t TLS_ERROR_TEXT_SZ = 256;

// The session never touches the network: its BIO reads ciphertext straight out of in_cipher
// and writes it straight into out_cipher, so each byte is copied once between the socket's
// buffers and the library's record buffer, and the pump only watches the buffers' edges move.
// An empty in_cipher or a full out_cipher is a retry, never an end: the end of the TCP stream
// is the pump's to judge (read_ended), after everything before it is decrypted.
static int cipher_bio_read(BIO *b, char *out, int len)
{
    auto *s = static_cast<evl_socket *>(BIO_get_data(b));
    BIO_clear_retry_flags(b);
    uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(len), s->in_cipher->data_size);
    if (n == 0) {
        BIO_set_retry_read(b);
        return -1;
    }
    memcpy(out, s->in_cipher->data, n);
    skb_consume(s->in_cipher, n);
    return static_cast<int>(n);
}

static int cipher_bio_write(BIO *b, const char *in, int len)
{
    auto *s = static_cast<evl_socket *>(BIO_get_data(b));
    BIO_clear_retry_flags(b);
    uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(len), s->out_cipher->avail);
    if (n == 0) {
        BIO_set_retry_write(b);
        return -1;
    }
    memcpy(s->out_cipher->ptr, in, n);
    skb_produce(s->out_cipher, n);
    return static_cast<int>(n);
}

static long cipher_bio_ctrl(BIO *b, int cmd, long, void *)
{
    auto *s = static_cast<evl_socket *>(BIO_get_data(b));
    switch (cmd) {
    case BIO_CTRL_FLUSH:
        return 1;
    case BIO_CTRL_PENDING:
        return static_cast<long>(s->in_cipher->data_size);
    default:
        return 0;
    }
}

static int cipher_bio_create(BIO *b)
{
    BIO_set_init(b, 1);
    return 1;
}

// One method table serves every session; it lives as long as the process.
static BIO_METHOD *cipher_bio_method()
{
    static BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "skb cipher");
        ZD_ASSERT(m != nullptr);
        ZD_ASSERT(BIO_meth_set_read(m, cipher_bio_read) == 1);
        ZD_ASSERT(BIO_meth_set_write(m, cipher_bio_write) == 1);
        ZD_ASSERT(BIO_meth_set_ctrl(m, cipher_bio_ctrl) == 1);
        ZD_ASSERT(BIO_meth_set_create(m, cipher_bio_create) == 1);
        return m;
    }();
    return method;
}

// The assertions carry the name of the step that builds the socket.
void attach_tls_session(evl_socket *sock, bool server, const char *caller)
{
    sock->kind |= EVL_KIND_SECURE;
    sock->ssl = ssl_new_session();
    if (!sock->ssl)
        assert_failure(caller, THIS_FILE, __LINE__, "sock->ssl");
    sock->in_cipher = skb_create(SKB_SIZE);
    sock->out_cipher = skb_create(SKB_SIZE);
    sock->net_out = sock->out_cipher;
    sock->net_in = sock->in_cipher;
    BIO *bio = BIO_new(cipher_bio_method());
    if (!bio)
        assert_failure(caller, THIS_FILE, __LINE__, "BIO_new(cipher_bio_method())");
    BIO_set_data(bio, sock);
    SSL_set_mode(sock->ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // The session owns the BIO from here on and frees it with itself.
    SSL_set_bio(sock->ssl, bio, bio);
    if (server) {
        SSL_set_accept_state(sock->ssl);
    } else {
        SSL_set_connect_state(sock->ssl);
        ssl_offer_session(sock->ssl);
    }
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

// Step 1: the user's plaintext into the session.
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

// Step 2: plaintext out of the session.
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

// Passes until one moves nothing: the buffers are stuck or the session waits for the network.
// The session takes ciphertext from in_cipher and puts it into out_cipher inside the steps, so
// a pass that moved ciphertext either way made progress even when every step ended waiting: a
// handshake message answered, or one that finished the handshake, lets the next pass carry
// the queued plaintext.
static pump_status pump_passes(evl *evl, evl_socket *s)
{
    for (;;) {
        uint64_t in_before = s->in_cipher->data_size;
        uint64_t out_before = s->out_cipher->data_size;
        bool progress = false;
        pump_status st = PUMP_STALLED;
        for (auto step : {encrypt_plaintext, shutdown_session, decrypt_ciphertext}) {
            st = step(evl, s);
            if (st == PUMP_FAILED || st == PUMP_PEER_CLOSED)
                break;
            progress |= st == PUMP_PROGRESS;
        }
        uint64_t taken = in_before - s->in_cipher->data_size;
        uint64_t made = s->out_cipher->data_size - out_before;
        if (taken > 0)
            EVL_REPORT_AS(PUMP_FN, LVL_TRACE, "BIO_write() %d bytes to BIO\n",
                          static_cast<int>(taken));
        if (made > 0)
            EVL_REPORT_AS(PUMP_FN, LVL_TRACE, "BIO_read() %d bytes from BIO\n",
                          static_cast<int>(made));
        skb_compact(s->in_cipher);
        if (st == PUMP_FAILED || st == PUMP_PEER_CLOSED)
            return st;
        if (!progress && taken == 0 && made == 0)
            return PUMP_STALLED;
    }
}

// Ciphertext the session has not turned into plaintext yet, anywhere between the network
// buffer and the session.
bool tls_input_pending(const evl_socket *s)
{
    return s->in_cipher->data_size > 0 || SSL_has_pending(s->ssl);
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
        mark_dirty(sock);
        secure_data(evl, sock);
    }
    pthread_mutex_unlock(&evl->mutex);
}
