// A plain loopback connection paired with a TLS connection through the real loop and the real
// forwarder (forwarder_ops, watched on its way), and a TLS server of the test's own, with a
// certificate from a CA the test makes, answers on the other side. Pairs made one after another
// resume the TLS session of the one before when the server can.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "evl_test_support.h"
#include "forwarder-ops.h"
#include "log_capture.h"
#include "setup-ssl-context.h"

using namespace evt;

namespace
{

// ---- the forwarder, watched ----

// What the test sees of the forwarder's one pair: the notices of the closes the loop made (a
// side the forwarder handed back itself has none), and the pair gone.
struct relay {
    forwarder_ctx *ctx = nullptr;
    std::atomic<int> plain_closes{0};
    std::atomic<int> secure_closes{0};
    // The side's peer had ended in order when the loop closed it.
    std::atomic<bool> plain_closed_ended{false};
    std::atomic<bool> secure_closed_ended{false};
    // Plaintext the secure side still held, undelivered, when its close notice came.
    std::atomic<uint64_t> secure_left_at_close{UINT64_MAX};
    std::atomic<bool> done{false};
};

relay *watched; // one relay_loop at a time

// Every callback goes on to the forwarder; the pair is gone once its table is empty.
void after_callback()
{
    if (watched->ctx->npairs == 0)
        watched->done = true;
}

int watch_new_connection(evl *loop, evl_socket *sock, uint16_t port, void *arg, endpoint l)
{
    int rc = forwarder_ops.on_new_connection(loop, sock, port, arg, l);
    after_callback();
    return rc;
}

void watch_received_data(evl *loop, evl_socket *sock, skb *in, void *arg)
{
    forwarder_ops.on_received_data(loop, sock, in, arg);
    after_callback();
}

void watch_pull_data(evl *loop, evl_socket *sock, void *arg)
{
    forwarder_ops.on_pull_data(loop, sock, arg);
    after_callback();
}

void watch_connection_closed(evl *loop, evl_socket *sock, void *arg)
{
    relay *r = watched;
    uint64_t i = evl_get_socket_context(sock);
    if (i < static_cast<uint64_t>(r->ctx->npairs) && r->ctx->pairs[i].plain == sock) {
        r->plain_closes++;
        r->plain_closed_ended = evl_peer_ended(sock);
    } else if (i < static_cast<uint64_t>(r->ctx->npairs) && r->ctx->pairs[i].secure == sock) {
        r->secure_closes++;
        r->secure_closed_ended = evl_peer_ended(sock);
        r->secure_left_at_close = evl_in_plain(sock)->data_size;
    }
    forwarder_ops.on_connection_closed(loop, sock, arg);
    after_callback();
}

const evl_ops watch_ops = {
    .on_new_connection = watch_new_connection,
    .on_received_data = watch_received_data,
    .on_pull_data = watch_pull_data,
    .on_connection_closed = watch_connection_closed,
};

// The mount target listens where the forwarder's clients come from: 127/8.
struct relay_target : tls_server {
    explicit relay_target(std::function<void(SSL *, int)> s)
        : tls_server(std::move(s), 0, loopback4(1))
    {
    }
};

// Byte i of the test stream; the period is far longer than any buffer, so a lost, doubled or
// misplaced piece never lines up again.
inline uint8_t pattern(uint64_t i)
{
    uint64_t x = (i >> 3) * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    return static_cast<uint8_t>(x >> ((i & 7) * 8));
}

// What a reader of the test stream got: the count and the offset of the first wrong byte.
struct pattern_read {
    uint64_t got = 0;
    uint64_t bad_at = UINT64_MAX;
};

// Reads up to `want` bytes of the test stream from fd, until it ends. `next_read` is called
// before each recv and gives the most to take at once, so a caller can read slowly.
template <class NextRead>
static pattern_read read_pattern(int fd, uint64_t want, NextRead next_read)
{
    pattern_read r;
    std::vector<uint8_t> buf(262144);
    while (r.got < want) {
        size_t most = std::min(buf.size(), next_read(r.got));
        ssize_t n = recv(fd, buf.data(), most, 0);
        if (n <= 0)
            break;
        for (ssize_t j = 0; j < n && r.bad_at == UINT64_MAX; j++)
            if (buf[static_cast<size_t>(j)] != pattern(r.got + static_cast<uint64_t>(j)))
                r.bad_at = r.got + static_cast<uint64_t>(j);
        r.got += static_cast<uint64_t>(n);
    }
    return r;
}

static pattern_read read_pattern(int fd, uint64_t want)
{
    return read_pattern(fd, want, [](uint64_t) { return SIZE_MAX; });
}

// The real forwarder on a loop of its own, listening on 127.0.0.1, its mount target the test's
// TLS server at server_port; its clients come from an address of their own (connect_from).
struct relay_loop {
    relay r;
    config cfg{};
    forwarder_ctx ctx{};
    evl *loop;
    uint16_t port;

    explicit relay_loop(uint16_t server_port)
    {
        loop = evl_create("relay");
        cfg.prefsrc = loopback4(static_cast<uint8_t>(2 + getpid() % 250));
        cfg.target = loopback4(1);
        cfg.nfs_ssl_port = server_port;
        ctx.config = &cfg;
        ctx.evl = loop;
        ctx.ops = &watch_ops;
        r.ctx = &ctx;
        watched = &r;
        evl_start(loop);
        EXPECT_EQ(evl_listen_ip(loop, loopback4(1), 10, &watch_ops, &ctx), 0);
        port = listener_port(loop);
    }
    int connect(int rcvbuf = 0) { return connect_from(cfg.prefsrc, {loopback4(1), port}, rcvbuf); }
    // After stop, the worker is gone and the counters are the test's to read.
    void stop()
    {
        evl_stop(loop);
        evl_destroy(loop);
    }
    // The listener's port counters: the forwarder gives the one port its first slot.
    const port_counters &counted() const { return ctx.ports[0]; }
};

constexpr uint64_t RELAY_BYTES = 64ull << 20;

// ---- a mount target that resumes sessions ----

ctx_ptr target_ctx(X509 *cert, int max_version)
{
    ctx_ptr ctx(SSL_CTX_new(TLS_server_method()));
    EXPECT_EQ(SSL_CTX_use_certificate(ctx.get(), cert), 1);
    EXPECT_EQ(SSL_CTX_use_PrivateKey(ctx.get(), the_pki().server_key.get()), 1);
    SSL_CTX_set_max_proto_version(ctx.get(), max_version);
    return ctx;
}

// What the target saw of one connection.
struct target_conn {
    bool handshake_ok = false;
    bool reused = false;
    uint64_t bytes = 0;
};

// Serves connections one after another with the given context, whose ticket keys and session
// cache live as long as it does, and echoes what it reads. The port is taken with SO_REUSEADDR,
// so that a successor can serve on the same port: a restarted mount target.
struct target {
    SSL_CTX *ctx;
    int listener = -1;
    uint16_t port = 0;
    std::thread thr;
    std::atomic<bool> stopping{false};
    // Set before a connection: after its first echo the target waits for `reset_now` and then
    // resets the connection, with no close_notify (a server that goes away).
    std::atomic<bool> reset_after_echo{false};
    std::atomic<bool> reset_now{false};
    std::mutex mx;
    std::vector<target_conn> conns;

    target(SSL_CTX *c, uint16_t want_port) : ctx(c)
    {
        listener = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int yes = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        struct sockaddr_in6 sa = sockaddr_in6_of_ep(endpoint{loopback4(1), want_port});
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
        EXPECT_EQ(listen(listener, 16), 0);
        port = local_port(listener);
        thr = std::thread([this] {
            while (!stopping) {
                int fd = accept_one(listener, 50);
                if (fd >= 0)
                    serve(fd);
            }
        });
    }
    ~target()
    {
        stopping = true;
        thr.join();
        close(listener);
    }
    void serve(int fd)
    {
        target_conn c;
        SSL *ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        c.handshake_ok = SSL_accept(ssl) == 1;
        if (c.handshake_ok) {
            c.reused = SSL_session_reused(ssl);
            char buf[4096];
            for (int n; (n = SSL_read(ssl, buf, sizeof(buf))) > 0;) {
                c.bytes += static_cast<uint64_t>(n);
                if (SSL_write(ssl, buf, n) != n)
                    break;
                if (reset_after_echo) {
                    wait_until([&] { return reset_now.load(); }, 10000);
                    reset_close(fd);
                    fd = -1;
                    break;
                }
            }
            if (fd >= 0)
                SSL_shutdown(ssl);
        }
        ERR_clear_error();
        SSL_free(ssl);
        if (fd >= 0)
            close(fd);
        std::lock_guard<std::mutex> g(mx);
        conns.push_back(c);
    }
    // The nth connection once the target is done with it.
    target_conn wait_conn(size_t n)
    {
        EXPECT_TRUE(wait_until(
            [&] {
                std::lock_guard<std::mutex> g(mx);
                return conns.size() > n;
            },
            10000));
        std::lock_guard<std::mutex> g(mx);
        return n < conns.size() ? conns[n] : target_conn{};
    }
};

// One client through the relay: a request, its echo (or the end of the connection), the close
// (or, with a reset target, the reset passed on), and the relay's pair gone. Returns the echo
// and the log lines of the whole exchange.
std::pair<std::string, std::string> round_trip(relay_loop &rl, const std::string &request,
                                               target *reset_by = nullptr)
{
    rl.r.done = false;
    std::string echo;
    std::string log = logcap::capture_stdout([&] {
        int client = rl.connect();
        EXPECT_TRUE(send_all(client, request.data(), request.size()));
        char buf[256];
        while (echo.size() < request.size()) {
            ssize_t n = recv(client, buf, sizeof(buf), 0);
            if (n <= 0)
                break;
            echo.append(buf, static_cast<size_t>(n));
        }
        if (reset_by != nullptr) {
            reset_by->reset_now = true;
            EXPECT_EQ(read_to_end(client), "");
        }
        close(client);
        EXPECT_TRUE(wait_until([&] { return rl.r.done.load(); }, 10000));
    });
    return {echo, log};
}

class LoopResume : public ::testing::TestWithParam<int>
{
};

} // namespace

// 64 MiB each way, compared byte for byte; at the end the client's orderly close makes the
// relay linger the secure side, which sends its close_notify before it is closed.
TEST(LoopRelay, MovesSixtyFourMiBEachWayIntactAndEndsTheSessionInOrder)
{
    setup_ssl_ctx(true, the_pki().ca_file.c_str(), SERVER_NAME);
    std::atomic<bool> saw_close_notify{false};
    std::atomic<uint64_t> echoed{0};
    relay_target server([&](SSL *ssl, int) {
        std::vector<char> buf(65536);
        for (;;) {
            int n = SSL_read(ssl, buf.data(), static_cast<int>(buf.size()));
            if (n <= 0) {
                saw_close_notify = SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
                return;
            }
            if (SSL_write(ssl, buf.data(), n) != n)
                return;
            echoed += static_cast<uint64_t>(n);
        }
    });
    relay_loop rl(server.port);
    auto start = std::chrono::steady_clock::now();

    int client = rl.connect();
    std::atomic<bool> sent_ok{false};
    std::thread writer([&] {
        std::vector<uint8_t> chunk(262144);
        for (uint64_t off = 0; off < RELAY_BYTES; off += chunk.size()) {
            for (size_t j = 0; j < chunk.size(); j++)
                chunk[j] = pattern(off + j);
            if (!send_all(client, chunk.data(), chunk.size()))
                return;
        }
        sent_ok = true;
    });
    pattern_read r = read_pattern(client, RELAY_BYTES);
    writer.join();
    EXPECT_TRUE(sent_ok);
    EXPECT_EQ(r.got, RELAY_BYTES);
    EXPECT_EQ(r.bad_at, UINT64_MAX) << "first wrong byte at offset " << r.bad_at;
    EXPECT_TRUE(server.handshake_ok);

    shutdown(client, SHUT_WR);
    EXPECT_EQ(read_to_end(client), "");
    EXPECT_TRUE(wait_until([&] { return rl.r.done.load(); }, 10000));
    close(client);
    server.thr.join();
    EXPECT_TRUE(saw_close_notify) << "the client's end went on as the secure side's close_notify";
    EXPECT_EQ(echoed.load(), RELAY_BYTES);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(120));
    rl.stop();
    // The pair ended in order, with every byte delivered both ways; the loop closed neither
    // side itself.
    EXPECT_EQ(rl.r.plain_closes.load() + rl.r.secure_closes.load(), 0);
    EXPECT_EQ(rl.counted().reset_pairs, 0u);
    EXPECT_EQ(rl.counted().bytes_up, RELAY_BYTES);
    EXPECT_EQ(rl.counted().bytes_down, RELAY_BYTES);
    EXPECT_EQ(rl.counted().live_pairs, 0);
    exit_ssl_setup();
}

// Both directions full at once: the server writes everything before it reads anything, and
// the client reads only once it has written. While the client does not read, the secure side's
// in_plain fills, the pump stops decrypting and the server's writes back up; the client's bytes
// fill the secure side's outgoing ciphertext meanwhile, which the server does not read. Once the
// client reads, room appears in in_plain with nothing arriving on the secure socket and nowhere
// for ciphertext to go: only the pump, run again for the room alone, can move the pair on.
TEST(LoopRelay, BothDirectionsFullAtOnceStillDrain)
{
    setup_ssl_ctx(true, the_pki().ca_file.c_str(), SERVER_NAME);
    constexpr uint64_t EACH_WAY = 24ull << 20;
    constexpr uint64_t SLOW_PART = 8ull << 20;
    std::atomic<uint64_t> server_read{0};
    std::atomic<bool> server_wrote{false};
    relay_target server([&](SSL *ssl, int) {
        std::vector<uint8_t> chunk(65536);
        for (uint64_t off = 0; off < EACH_WAY; off += chunk.size()) {
            for (size_t j = 0; j < chunk.size(); j++)
                chunk[j] = pattern(off + j);
            if (SSL_write(ssl, chunk.data(), static_cast<int>(chunk.size())) <= 0)
                return;
        }
        server_wrote = true;
        while (server_read < EACH_WAY) {
            int n = SSL_read(ssl, chunk.data(), static_cast<int>(chunk.size()));
            if (n <= 0)
                return;
            server_read += static_cast<uint64_t>(n);
        }
    });
    relay_loop rl(server.port);
    int client = rl.connect();
    std::atomic<bool> sent_ok{false};
    std::thread writer([&] {
        std::vector<uint8_t> chunk(262144, 0x5a);
        for (uint64_t off = 0; off < EACH_WAY; off += chunk.size())
            if (!send_all(client, chunk.data(), chunk.size()))
                return;
        sent_ok = true;
    });
    // Long enough for every buffer on both paths to fill.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // A slow reader at first: the secure side's in_plain then empties a piece at a time,
    // and the pump finds it full again while ciphertext is still waiting.
    pattern_read r = read_pattern(client, EACH_WAY, [](uint64_t got) -> size_t {
        if (got >= SLOW_PART)
            return SIZE_MAX;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return 65536;
    });
    writer.join();
    EXPECT_EQ(r.got, EACH_WAY) << "the server's bytes stopped coming";
    EXPECT_EQ(r.bad_at, UINT64_MAX) << "first wrong byte at offset " << r.bad_at;
    EXPECT_TRUE(sent_ok);
    EXPECT_TRUE(wait_until([&] { return server_read.load() == EACH_WAY; }, 20000));
    EXPECT_TRUE(server_wrote);
    close(client);
    server.thr.join();
    rl.stop();
    exit_ssl_setup();
}

// The client context checks the server's name: a certificate for another name fails the
// handshake, the pump logs the library's reason and the pair is closed.
TEST(LoopRelay, WrongServerNameFailsTheHandshakeAndClosesThePair)
{
    setup_ssl_ctx(true, the_pki().ca_file.c_str(), "other.zd.test");
    std::string log = logcap::capture_stdout([&] {
        relay_target server([](SSL *, int) {});
        relay_loop rl(server.port);
        int client = rl.connect();
        EXPECT_TRUE(send_all(client, "NULL call", 9));
        EXPECT_EQ(read_to_end(client), "");
        EXPECT_TRUE(wait_until([&] { return rl.r.done.load(); }, 10000));
        close(client);
        server.thr.join();
        EXPECT_FALSE(server.handshake_ok);
        EXPECT_EQ(rl.r.secure_closes.load(), 1);
        EXPECT_FALSE(rl.r.secure_closed_ended);
        EXPECT_EQ(rl.r.plain_closes.load(), 0) << "the user closed the plain side itself";
        rl.stop();
        EXPECT_EQ(rl.counted().verify_failures, 1u);
        EXPECT_EQ(rl.counted().reset_pairs, 1u);
    });
    exit_ssl_setup();
    bool found = false;
    for (const std::string &l : logcap::split_lines(log))
        if (l.find("ERROR") != std::string::npos && l.find("secure_data") != std::string::npos &&
            l.find(" relay: Received error on connection to [::ffff:127.0.0.1]:") !=
                std::string::npos &&
            l.find("certificate verify failed") != std::string::npos)
            found = true;
    EXPECT_TRUE(found) << log;
}

// The server answers, writes its close_notify and closes its socket at once: everything it
// sent before the close_notify reaches the plain client, and the close is an orderly one.
TEST(LoopRelay, CloseNotifyDeliversWhatCameBeforeIt)
{
    setup_ssl_ctx(true, the_pki().ca_file.c_str(), SERVER_NAME);
    constexpr size_t ANSWER = 300000;
    std::string log = logcap::capture_stdout([&] {
        relay_target server([&](SSL *ssl, int) {
            char request[16];
            if (SSL_read(ssl, request, sizeof(request)) <= 0)
                return;
            std::string answer(ANSWER, '\0');
            for (size_t i = 0; i < ANSWER; i++)
                answer[i] = static_cast<char>(pattern(i));
            EXPECT_EQ(SSL_write(ssl, answer.data(), static_cast<int>(answer.size())),
                      static_cast<int>(ANSWER));
            SSL_shutdown(ssl);
        });
        relay_loop rl(server.port);
        int client = rl.connect();
        EXPECT_TRUE(send_all(client, "ask", 3));
        std::string got = read_to_end(client);
        ASSERT_EQ(got.size(), ANSWER);
        for (size_t i = 0; i < ANSWER; i++)
            ASSERT_EQ(static_cast<uint8_t>(got[i]), pattern(i)) << "at " << i;
        // The close_notify went on as the end of the plain stream; the pair lives on until
        // the client ends its own direction.
        EXPECT_FALSE(rl.r.done);
        close(client);
        EXPECT_TRUE(wait_until([&] { return rl.r.done.load(); }, 10000));
        server.thr.join();
        rl.stop();
        EXPECT_EQ(rl.r.plain_closes.load() + rl.r.secure_closes.load(), 0);
        EXPECT_EQ(rl.counted().reset_pairs, 0u) << "the plaintext before the close_notify was "
                                                   "delivered before the end";
        EXPECT_EQ(rl.counted().bytes_down, ANSWER);
    });
    exit_ssl_setup();
    EXPECT_NE(log.find(" relay: Received close_notify on connection to [::ffff:127.0.0.1]:"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Received error on connection"), std::string::npos) << log;
}

// The server sends a burst and then waits, or ends its session (close_notify) and hangs up; the
// plain client starts reading only later, so the secure side's in_plain fills and the tail of
// the burst waits in in_cipher with nothing more to come from the network. Room made by the
// plain side must set the pump going again, and the end must wait for that tail.
TEST(LoopRelay, SlowReaderGetsTheWholeBurstAfterTheNetworkWentQuietOrEnded)
{
    setup_ssl_ctx(true, the_pki().ca_file.c_str(), SERVER_NAME);
    for (uint64_t burst : {3ull << 20, (7ull << 20) / 2, 4ull << 20, (9ull << 20) / 2})
        for (bool hang_up : {false, true}) {
            SCOPED_TRACE(testing::Message() << burst << (hang_up ? " then end of stream" : ""));
            std::atomic<bool> finished{false};
            relay_target server([&](SSL *ssl, int) {
                char request[4];
                if (SSL_read(ssl, request, sizeof(request)) <= 0)
                    return;
                std::vector<uint8_t> data(burst);
                for (uint64_t i = 0; i < burst; i++)
                    data[i] = pattern(i);
                EXPECT_EQ(SSL_write(ssl, data.data(), static_cast<int>(burst)),
                          static_cast<int>(burst));
                finished = true;
                // Quiet until the client has everything: no more bytes, no close.
                if (!hang_up)
                    SSL_read(ssl, request, sizeof(request));
                else
                    SSL_shutdown(ssl);
            });
            relay_loop rl(server.port);
            int client = rl.connect(4096);
            EXPECT_TRUE(send_all(client, "ask", 3));
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            pattern_read r = read_pattern(client, burst, [](uint64_t) -> size_t { return 65536; });
            EXPECT_EQ(r.got, burst);
            EXPECT_EQ(r.bad_at, UINT64_MAX) << "first wrong byte at offset " << r.bad_at;
            if (hang_up) {
                char more;
                EXPECT_EQ(recv(client, &more, 1, 0), 0) << "the end passed on in order";
            } else {
                EXPECT_TRUE(send_all(client, "done", 4));
            }
            close(client);
            server.thr.join();
            EXPECT_TRUE(finished);
            rl.stop();
        }
    exit_ssl_setup();
}

// A connection to the target that issued the kept session resumes it, and the library then
// verifies nothing: no certificate lines, one "Resumed" line; also after a connection that the
// target reset. A target that cannot resume it
// (restarted: new ticket keys, new session cache) gets a full handshake, verified as ever,
// whose session is kept in turn; one that presents a certificate for another name is refused
// before a byte passes, and the session offered to it is dropped, so that the next connection
// is a full handshake even at a target that could have resumed it.
TEST_P(LoopResume, ResumesAtTheSameTargetAndVerifiesEveryFullHandshake)
{
    setup_ssl_ctx(true, the_pki().ca_file.c_str(), SERVER_NAME);
    x509_ptr other = make_cert("other.zd.test", false, the_pki().server_key.get(),
                               the_pki().ca.get(), the_pki().ca_key.get());
    ctx_ptr first = target_ctx(the_pki().server.get(), GetParam());
    ctx_ptr restarted = target_ctx(the_pki().server.get(), GetParam());
    ctx_ptr impostor = target_ctx(other.get(), GetParam());
    const std::string resumed_line = " relay: Resumed TLS session with [::ffff:127.0.0.1]:";
    auto full_and_verified = [](const std::string &log) {
        return count_of(log, "Verified cert") == 2 && count_of(log, "Resumed TLS session") == 0;
    };
    auto resumed_unverified = [&](const std::string &log) {
        return count_of(log, "Verified cert") == 0 && count_of(log, resumed_line) == 1;
    };

    uint16_t port;
    {
        target t(first.get(), 0);
        port = t.port;
        relay_loop rl(port);
        // The second connection ends with the target's reset, which must not spoil the session
        // for the third.
        for (size_t i = 0; i < 3; i++) {
            SCOPED_TRACE(i);
            t.reset_after_echo = i == 1;
            auto [echo, log] =
                round_trip(rl, "request " + std::to_string(i), i == 1 ? &t : nullptr);
            EXPECT_EQ(echo, "request " + std::to_string(i));
            target_conn c = t.wait_conn(i);
            EXPECT_TRUE(c.handshake_ok);
            EXPECT_EQ(c.reused, i > 0);
            EXPECT_TRUE(i == 0 ? full_and_verified(log) : resumed_unverified(log)) << log;
        }
        rl.stop();
    }
    relay_loop rl(port);
    {
        target t(restarted.get(), port);
        for (size_t i = 0; i < 2; i++) {
            SCOPED_TRACE(i);
            auto [echo, log] = round_trip(rl, "after restart");
            EXPECT_EQ(echo, "after restart");
            EXPECT_EQ(t.wait_conn(i).reused, i > 0);
            EXPECT_TRUE(i == 0 ? full_and_verified(log) : resumed_unverified(log)) << log;
        }
    }
    {
        target t(impostor.get(), port);
        auto [echo, log] = round_trip(rl, "secret");
        EXPECT_EQ(echo, "");
        target_conn c = t.wait_conn(0);
        EXPECT_FALSE(c.handshake_ok);
        EXPECT_EQ(c.bytes, 0u);
        EXPECT_EQ(count_of(log, "err 62:hostname mismatch"), 1u) << log;
        // One refused handshake: the loop's error line and the forwarder's failure line.
        EXPECT_EQ(count_of(log, "certificate verify failed"), 2u) << log;
        EXPECT_EQ(count_of(log, "TLS verification of mount target"), 1u) << log;
        EXPECT_EQ(count_of(log, "Resumed TLS session"), 0u) << log;
    }
    {
        target t(restarted.get(), port);
        auto [echo, log] = round_trip(rl, "back again");
        EXPECT_EQ(echo, "back again");
        EXPECT_FALSE(t.wait_conn(0).reused) << "the refused connection dropped the session";
        EXPECT_TRUE(full_and_verified(log)) << log;
    }
    rl.stop();
    exit_ssl_setup();
}

INSTANTIATE_TEST_SUITE_P(Versions, LoopResume, ::testing::Values(TLS1_2_VERSION, TLS1_3_VERSION),
                         [](const testing::TestParamInfo<int> &info) {
                             return info.param == TLS1_2_VERSION ? "Tls12" : "Tls13";
                         });
