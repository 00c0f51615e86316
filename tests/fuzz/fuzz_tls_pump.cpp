// The client TLS pump fed by a hostile server. One event loop, never started: for each input
// a secure client socket is made with evl_secure_connect from the daemon's client context
// (verifying SERVER_NAME against a throw-away CA), its request is queued, and the input is
// written as the server's ciphertext into the socket's in_cipher piece by piece, the pump
// running after every piece as the worker would run it after a receive.
//
// Input layout: one header byte, then the ciphertext.
//   bits 0-1: 0 the whole input as one piece, 1 one byte at a time (the first 4 KiB; the rest
//             in one piece), 2 and 3 random-sized pieces
//   bit 2:    end of stream after the last piece (the worker's zero-byte read)
//   bit 3:    a slow user, who takes at most 16 bytes of plaintext per call
//   bits 4-7: seed of the random piece sizes
//
// Properties: plaintext reaches the user only from a session whose handshake is finished and
// whose server passed verification; a closed socket never calls its user again and is closed
// once; the recorded transcripts, in every piece size, deliver exactly the server's reply (a
// slow user gets a beginning of it).
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "event-loop-internal.h"
#include "fuzz_support.h"
#include "setup-ssl-context.h"
#include "tls_peer.h"

namespace
{

constexpr uint8_t MODE_WHOLE = 0;
constexpr uint8_t MODE_BYTES = 1;
constexpr uint8_t MODE_RANDOM = 2;
constexpr uint8_t END_OF_STREAM = 4;
constexpr uint8_t SLOW_USER = 8;
constexpr int SEED_SHIFT = 4;
constexpr size_t MAX_PIECE = 2048;
constexpr size_t BYTEWISE_PREFIX = 4096;
constexpr size_t SLOW_USER_TAKES = 16;
// More than the BIO pair holds, so that the pump feeds the pair in several writes.
constexpr size_t BULK_REPLY_SZ = 20000;
constexpr size_t MAX_PLAINTEXT = 65536;
// Rounds of the worker's re-arm pass after the last piece, for ciphertext left in in_cipher.
constexpr int REARM_ROUNDS = 4;

fz::tls_peer peer;
evl *loop;
endpoint dead_end; // a bound port that never listens: connects are refused on loopback
int dead_end_fd = -1;

struct outcome {
    bool slow = false;
    bool closed = false;
    bool peer_eof = false;
    bool established = false;
    int closes = 0;
    std::string plaintext;
};

void on_received_data(evl *, evl_socket *sock, skb *in_plain, void *arg)
{
    auto *o = static_cast<outcome *>(arg);
    FZ_CHECK(!o->closed);
    FZ_CHECK(SSL_is_init_finished(sock->ssl));
    FZ_CHECK(SSL_get0_peer_certificate(sock->ssl) != nullptr);
    FZ_CHECK(SSL_get_verify_result(sock->ssl) == X509_V_OK);
    auto unread = skb_unread(in_plain);
    size_t take = o->slow ? std::min(unread.size(), SLOW_USER_TAKES) : unread.size();
    if (o->plaintext.size() < MAX_PLAINTEXT)
        o->plaintext.append(reinterpret_cast<const char *>(unread.data()), take);
    skb_consume(in_plain, take);
}

void on_connection_closed(evl *, evl_socket *sock, void *arg)
{
    auto *o = static_cast<outcome *>(arg);
    o->closes++;
    FZ_CHECK(o->closes == 1);
    o->closed = true;
    o->peer_eof = peer_ended(sock);
}

const evl_ops OPS = {
    .on_new_connection = nullptr,
    .on_received_data = on_received_data,
    .on_pull_data = nullptr,
    .on_connection_closed = on_connection_closed,
};

// What the worker does with a socket's buffers around the pump.
void queue(evl_socket *sock)
{
    queue_pump(loop, sock);
}

void receive(evl_socket *sock, const uint8_t *data, size_t n)
{
    pthread_mutex_lock(&sock->mutex);
    skb *in = sock->in_cipher;
    n = n < in->avail ? n : in->avail;
    memcpy(skb_free_space(in).data(), data, n);
    skb_produce(in, n);
    queue(sock);
    skb_compact(in);
    pthread_mutex_unlock(&sock->mutex);
}

// The server reads everything the client sends; nobody looks at it.
void send_all(evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    skb_consume(sock->out_cipher, sock->out_cipher->data_size);
    skb_compact(sock->out_cipher);
    pthread_mutex_unlock(&sock->mutex);
}

void end_of_stream(evl_socket *sock)
{
    pthread_mutex_lock(&sock->mutex);
    set_state(sock, EVL_SOCK_READ_EOF | EVL_SOCK_DRAINING);
    queue(sock);
    pthread_mutex_unlock(&sock->mutex);
}

void pump(evl_socket *sock)
{
    secure_all(loop);
    send_all(sock);
}

struct piece_sizes {
    uint8_t mode;
    uint32_t state;

    size_t next(size_t offset, size_t left)
    {
        size_t n = left;
        if (mode == MODE_BYTES)
            n = offset < BYTEWISE_PREFIX ? 1 : left;
        else if (mode >= MODE_RANDOM) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            n = 1 + state % MAX_PIECE;
        }
        return n < left ? n : left;
    }
};

outcome run_client(uint8_t header, const uint8_t *cipher, size_t size)
{
    outcome o;
    o.slow = header & SLOW_USER;
    fz::rand_restart(fz::RAND_CLIENT);
    fz::rand_use(fz::RAND_CLIENT);
    endpoint local{dead_end.addr, 0};
    evl_socket *sock = evl_secure_connect(loop, &OPS, &o, local, dead_end);
    FZ_CHECK(sock != nullptr);
    uint64_t sent = 0;
    FZ_CHECK(evl_send(loop, sock, fz::REQUEST, sizeof(fz::REQUEST) - 1, 0, &sent, nullptr) == 0);
    FZ_CHECK(sent == sizeof(fz::REQUEST) - 1);
    pump(sock);
    piece_sizes sizes{static_cast<uint8_t>(header & 3), 0x9e3779b9u ^ (header >> SEED_SHIFT)};
    for (size_t off = 0; off < size && !o.closed;) {
        size_t n = sizes.next(off, size - off);
        receive(sock, cipher + off, n);
        off += n;
        pump(sock);
    }
    for (int r = 0; r < REARM_ROUNDS && !o.closed && sock->in_cipher->data_size > 0; r++) {
        queue(sock);
        pump(sock);
    }
    if ((header & END_OF_STREAM) && !o.closed) {
        end_of_stream(sock);
        pump(sock);
    }
    o.established = SSL_is_init_finished(sock->ssl);
    evl_close(loop, sock);
    evl_clean_all_sockets(loop);
    ERR_clear_error();
    fz::rand_use(fz::RAND_SETUP);
    return o;
}

// ---- recorded transcripts, the self-check and the seeds ----

struct transcript {
    const char *name;
    std::string reply;
    bool valid;        // answers the client's request
    bool close_notify; // ends with the server's close_notify
    std::string bytes;
};

std::vector<transcript> transcripts;

void record_all()
{
    std::string bulk(BULK_REPLY_SZ, '\0');
    for (size_t i = 0; i < bulk.size(); i++)
        bulk[i] = static_cast<char>('a' + i % 26);
    transcripts = {
        {"t13", fz::REPLY, true, false, {}},      {"t12", fz::REPLY, true, false, {}},
        {"t13-close", fz::REPLY, true, true, {}}, {"t12-close", fz::REPLY, true, true, {}},
        {"t12-bulk", bulk, true, false, {}},      {"wrong-name", fz::REPLY, false, false, {}},
    };
    for (auto &t : transcripts) {
        std::string name = t.name;
        SSL_CTX *server = name == "wrong-name"        ? peer.wrong_name
                          : name.rfind("t12", 0) == 0 ? peer.tls12
                                                      : peer.tls13;
        t.bytes = fz::record_transcript(server, t.reply, t.close_notify);
    }
}

// What a user of the recorded transcript must have seen: all of the reply, or for a slow user
// the beginning of it that it took.
bool delivered(const transcript &t, const outcome &o)
{
    if (!o.slow)
        return o.plaintext == t.reply;
    return !o.plaintext.empty() && t.reply.compare(0, o.plaintext.size(), o.plaintext) == 0;
}

// The whole set of checks the fuzzing relies on: if the pump cannot complete a recorded
// handshake in every piece size, every later run would only explore the first record.
bool self_check()
{
    static constexpr uint8_t HEADERS[] = {MODE_WHOLE, MODE_BYTES, MODE_RANDOM | (7 << SEED_SHIFT),
                                          MODE_WHOLE | END_OF_STREAM, MODE_RANDOM | SLOW_USER};
    bool ok = true;
    for (const auto &t : transcripts) {
        for (uint8_t h : HEADERS) {
            auto *bytes = reinterpret_cast<const uint8_t *>(t.bytes.data());
            outcome o = run_client(h, bytes, t.bytes.size());
            bool good = t.valid ? o.established && delivered(t, o)
                                : !o.established && o.closed && o.plaintext.empty();
            if (t.close_notify || (h & END_OF_STREAM))
                good = good && o.closed && o.peer_eof == t.valid;
            if (!good) {
                fprintf(stderr,
                        "self-check: %s (%zu bytes), header %#x: established=%d closed=%d "
                        "peer_eof=%d plaintext=%zu bytes\n",
                        t.name, t.bytes.size(), h, o.established, o.closed, o.peer_eof,
                        o.plaintext.size());
                ok = false;
            }
        }
    }
    return ok;
}

void write_seed(const std::string &dir, const std::string &name, uint8_t header,
                const std::string &bytes)
{
    std::string path = dir + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        perror(path.c_str());
        return;
    }
    fputc(header, f);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

std::string with_byte(std::string s, size_t at, char value)
{
    if (at < s.size())
        s[at] = value;
    return s;
}

// Valid transcripts in the three piece sizes, cut ones, and broken records.
void write_seeds(const std::string &dir)
{
    for (const auto &t : transcripts) {
        write_seed(dir, std::string(t.name) + "-whole", MODE_WHOLE, t.bytes);
        // The bulk transcript is the one big seed; its other piece sizes are a mutation away.
        if (t.reply.size() > sizeof(fz::REPLY))
            continue;
        write_seed(dir, std::string(t.name) + "-bytes", MODE_BYTES, t.bytes);
        write_seed(dir, std::string(t.name) + "-random", MODE_RANDOM | (3 << SEED_SHIFT), t.bytes);
        write_seed(dir, std::string(t.name) + "-slow", MODE_RANDOM | SLOW_USER, t.bytes);
        write_seed(dir, std::string(t.name) + "-eof", MODE_WHOLE | END_OF_STREAM, t.bytes);
    }
    const std::string &t12 = transcripts[1].bytes;
    const std::string &t13 = transcripts[0].bytes;
    const uint8_t eof = MODE_WHOLE | END_OF_STREAM;
    write_seed(dir, "cut-record-header", eof, t12.substr(0, 3));
    write_seed(dir, "cut-server-hello", eof, t12.substr(0, 20));
    write_seed(dir, "cut-half-t12", eof, t12.substr(0, t12.size() / 2));
    write_seed(dir, "cut-last-byte-t13", eof, t13.substr(0, t13.size() - 1));
    write_seed(dir, "cut-half-t13-random", MODE_RANDOM | END_OF_STREAM,
               t13.substr(0, t13.size() / 2));
    write_seed(dir, "bad-type-appdata-first", MODE_WHOLE, with_byte(t12, 0, 0x17));
    write_seed(dir, "bad-length-ffff", MODE_WHOLE, with_byte(with_byte(t12, 3, '\xff'), 4, '\xff'));
    write_seed(dir, "bad-version-ssl3", MODE_WHOLE, with_byte(t12, 2, 0x00));
    write_seed(dir, "bad-mac-t13", MODE_WHOLE, with_byte(t13, t13.size() - 8, 0x55));
    write_seed(dir, "bad-cert-byte-t12", MODE_WHOLE, with_byte(t12, 300, 0x00));
    write_seed(dir, "alert-handshake-failure", eof, std::string("\x15\x03\x03\x00\x02\x02\x28", 7));
    write_seed(dir, "empty-record", MODE_WHOLE, std::string("\x16\x03\x03\x00\x00", 5));
    write_seed(dir, "sslv2-header", MODE_WHOLE, std::string("\x80\x2e\x02\x00\x02\x00", 6));
    write_seed(dir, "http-answer", eof, "HTTP/1.1 400 Bad Request\r\n\r\n");
    write_seed(dir, "nothing-then-eof", eof, "");
}

void make_dead_end()
{
    dead_end_fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FZ_CHECK(dead_end_fd >= 0);
    address loopback{};
    loopback.b[15] = 1;
    sockaddr_in6 sa = sockaddr_in6_of_ep(endpoint{loopback, 0});
    FZ_CHECK(bind(dead_end_fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) == 0);
    socklen_t len = sizeof(sa);
    FZ_CHECK(getsockname(dead_end_fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0);
    dead_end = ep_of_sockaddr_in6(&sa);
}

void teardown()
{
    evl_destroy(loop);
    exit_ssl_setup();
    fz::tls_peer_destroy(&peer);
    close(dead_end_fd);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *level = getenv("ZD_FUZZ_LOG_LEVEL");
    // The self-check runs with every trace line, so that their formats are exercised too.
    report_set_min_level(LVL_TRACE);
    fz::rand_install();
    if (!fz::tls_peer_create(&peer))
        abort();
    // Every input replays a transcript recorded from a full handshake, which is only valid
    // for a client that offers no session: with resumption the second connection's hello
    // would carry the first one's session and no longer match what was recorded.
    setenv(TLS_RESUME_ENV, "0", 1);
    setup_ssl_ctx(true, peer.ca_file.c_str(), fz::SERVER_NAME);
    loop = evl_create("fuzz");
    make_dead_end();
    record_all();
    if (!self_check()) {
        fprintf(stderr, "self-check of the recorded transcripts failed\n");
        abort();
    }
    if (const char *dir = getenv("ZD_FUZZ_SEED_OUT"))
        write_seeds(dir);
    report_set_min_level(level != nullptr ? atoi(level) : LVL_FATAL);
    atexit(teardown);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    outcome o = run_client(data[0], data + 1, size - 1);
    // A recorded transcript, whatever the piece sizes, must still deliver the reply.
    for (const auto &t : transcripts)
        if (t.valid && t.bytes.size() == size - 1 &&
            memcmp(t.bytes.data(), data + 1, size - 1) == 0)
            FZ_CHECK(delivered(t, o));
    return 0;
}
