// The loop's per-socket deadlines, with short values: a connect that is never answered, a TLS
// server that never answers, the user's own deadline on an idle loop, lingering on a session
// still in its handshake and waiting for the peer's answer to a close_notify, and closes of
// outgoing connections that leave no TIME_WAIT on the local port, whoever ends first.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <map>
#include <thread>

#include "evl_test_support.h"
#include "log_capture.h"
#include "setup-ssl-context.h"

using namespace evt;

namespace
{

// The servers below write to connections that the loop may have reset meanwhile.
void client_ctx()
{
    signal(SIGPIPE, SIG_IGN);
    setup_ssl_ctx(true, the_pki().ca_file.c_str(), SERVER_NAME);
}

// Runs a function on the worker thread, from the data callback of a plain trigger connection:
// secure sockets are queued for the pump, which only the worker may touch. Data on every other
// socket goes to the recorder as usual.
struct on_worker {
    running_loop &rl;
    std::atomic<evl_socket *> trigger{nullptr};
    int client = -1;
    std::mutex m;
    std::function<void()> pending;
    std::atomic<int> ran{0};

    explicit on_worker(running_loop &loop) : rl(loop)
    {
        uint16_t port = rl.listen();
        rl.rec.on_data = [this](evl_socket *s, skb *in) {
            if (s != trigger.load()) {
                rl.rec.take(s, in);
                return;
            }
            skb_consume(in, in->data_size);
            std::function<void()> fn;
            {
                std::lock_guard<std::mutex> g(m);
                fn.swap(pending);
            }
            if (fn)
                fn();
            ran++;
        };
        client = connect_to(port);
        EXPECT_TRUE(wait_until([&] { return rl.rec.accepted_count() == 1; }, 3000));
        trigger = rl.rec.accepted_at(0);
    }
    ~on_worker() { close(client); }
    void run(std::function<void()> fn)
    {
        int before = ran;
        {
            std::lock_guard<std::mutex> g(m);
            pending = std::move(fn);
        }
        EXPECT_TRUE(send_all(client, "t", 1));
        EXPECT_TRUE(wait_until([&] { return ran > before; }, 3000));
    }
    // The socket may be closed and freed by the worker at any time after this returns; its
    // local port is read while it certainly exists.
    evl_socket *connect(uint16_t server_port, uint16_t *local = nullptr)
    {
        evl_socket *s = nullptr;
        run([&] {
            s = evl_secure_connect(rl.loop, &recorder_ops, &rl.rec, endpoint{loopback(), 0},
                                   endpoint{loopback(), server_port});
            if (s && local)
                *local = local_port(s->fd);
        });
        return s;
    }
};

// Polls until the socket's close notice came; returns when, 0 if it never came.
uint64_t closed_at(recorder &rec, evl_socket *s, int timeout_ms)
{
    if (!wait_until([&] { return rec.get(s).closes > 0; }, timeout_ms))
        return 0;
    return now_ns();
}

// Reads until the client's close_notify; true when it came. Counts and checks the bytes.
bool read_to_close_notify(SSL *ssl, uint64_t *count, bool *intact)
{
    char buf[16384];
    for (;;) {
        int n = SSL_read(ssl, buf, sizeof(buf));
        if (n <= 0)
            return SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
        for (int j = 0; j < n; j++)
            *intact &= static_cast<uint8_t>(buf[j]) == static_cast<uint8_t>((*count + j) % 251);
        *count += static_cast<uint64_t>(n);
    }
}

std::string fd_end(int fd)
{
    return "socket " + std::to_string(fd) + "\n";
}

// True when /proc/net/tcp6 shows a TIME_WAIT entry from local_port to remote_port.
bool time_wait_between(uint16_t local_port, uint16_t remote_port)
{
    FILE *f = fopen("/proc/net/tcp6", "r");
    if (!f)
        return false;
    char line[512];
    bool found = false;
    while (fgets(line, sizeof(line), f)) {
        char local[64], remote[64];
        unsigned state;
        if (sscanf(line, " %*d: %63s %63s %x", local, remote, &state) != 3)
            continue;
        const char *lp = strchr(local, ':'), *rp = strchr(remote, ':');
        if (!lp || !rp)
            continue;
        if (state == 6 && strtoul(lp + 1, nullptr, 16) == local_port &&
            strtoul(rp + 1, nullptr, 16) == remote_port)
            found = true;
    }
    fclose(f);
    return found;
}

std::vector<uint8_t> pattern_bytes(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = static_cast<uint8_t>(i % 251);
    return v;
}

} // namespace

// A listener whose accept queue is full drops every further SYN without an answer: the connect
// stays under way until its deadline, which closes it with the WARN line.
TEST(Deadlines, UnansweredConnectIsClosedAtTheConnectDeadline)
{
    client_ctx();
    int server = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in6 sa = sockaddr_in6_of_ep(endpoint{loopback(), 0});
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
    ASSERT_EQ(listen(server, 0), 0);
    uint16_t port = local_port(server);
    std::vector<int> fillers;
    for (int i = 0; i < 2; i++) {
        int c = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sa = sockaddr_in6_of_ep(endpoint{loopback(), port});
        connect(c, reinterpret_cast<sockaddr *>(&sa), sizeof(sa));
        fillers.push_back(c);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int fd = -1;
    uint64_t waited = 0;
    std::string log = logcap::capture_stdout([&] {
        running_loop rl;
        rl.loop->connect_timeout_ns = ms_ns(1000);
        uint64_t t0 = now_ns();
        evl_socket *s = evl_secure_connect(rl.loop, &recorder_ops, &rl.rec, endpoint{loopback(), 0},
                                           endpoint{loopback(), port});
        ASSERT_NE(s, nullptr);
        fd = s->fd;
        uint64_t at = closed_at(rl.rec, s, 5000);
        ASSERT_NE(at, 0u);
        waited = at - t0;
        EXPECT_FALSE(rl.rec.get(s).peer_ended_at_close);
        rl.stop();
    });
    EXPECT_GE(waited, ms_ns(1000));
    EXPECT_LT(waited, ms_ns(1200));
    EXPECT_EQ(count_of(log, "  test: Connection to [::1]:" + std::to_string(port) +
                                " not established within 1 seconds, closing " + fd_end(fd)),
              1u)
        << log;
    for (int c : fillers)
        close(c);
    close(server);
    exit_ssl_setup();
}

// The connection is up but the server never says a word: the handshake starts with the
// connection, without any request from the user, and its deadline closes the socket.
TEST(Deadlines, SilentTlsServerIsClosedAtTheHandshakeDeadline)
{
    client_ctx();
    uint16_t port;
    int server = listen_plain(&port);
    int fd = -1;
    uint64_t waited = 0;
    uint8_t first = 0;
    std::string log = logcap::capture_stdout([&] {
        running_loop rl;
        rl.loop->handshake_timeout_ns = ms_ns(1000);
        evl_socket *s = evl_secure_connect(rl.loop, &recorder_ops, &rl.rec, endpoint{loopback(), 0},
                                           endpoint{loopback(), port});
        ASSERT_NE(s, nullptr);
        fd = s->fd;
        int conn = accept_one(server, 3000);
        ASSERT_GE(conn, 0);
        uint64_t t0 = now_ns();
        EXPECT_EQ(recv(conn, &first, 1, 0), 1);
        uint64_t at = closed_at(rl.rec, s, 5000);
        ASSERT_NE(at, 0u);
        waited = at - t0;
        close(conn);
        rl.stop();
    });
    EXPECT_EQ(first, 0x16) << "a handshake record, sent with nothing queued by the user";
    EXPECT_GE(waited, ms_ns(900));
    EXPECT_LT(waited, ms_ns(1200));
    EXPECT_EQ(count_of(log, "  test: TLS handshake with [::1]:" + std::to_string(port) +
                                " not finished within 1 seconds, closing " + fd_end(fd)),
              1u)
        << log;
    EXPECT_EQ(log.find("not established within"), std::string::npos);
    close(server);
    exit_ssl_setup();
}

// Once connected and through its handshake a socket has no deadline left: it stays open well
// past both, idle, and still carries data.
TEST(Deadlines, EstablishedSessionKeepsNoDeadline)
{
    client_ctx();
    std::atomic<bool> got{false};
    tls_server server([&](SSL *ssl, int) {
        char buf[4];
        got = SSL_read(ssl, buf, sizeof(buf)) == 4;
    });
    running_loop rl;
    rl.loop->connect_timeout_ns = ms_ns(300);
    rl.loop->handshake_timeout_ns = ms_ns(300);
    on_worker w(rl);
    evl_socket *s = w.connect(server.port);
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(wait_until([&] { return server.handshake_ok.load(); }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_EQ(rl.rec.get(s).closes, 0);
    pthread_mutex_lock(&s->mutex);
    for (uint64_t due : s->due)
        EXPECT_EQ(due, 0u);
    pthread_mutex_unlock(&s->mutex);
    w.run([&] { EXPECT_EQ(evl_send(rl.loop, s, "ping", 4, 0, nullptr, nullptr), 0); });
    EXPECT_TRUE(wait_until([&] { return got.load(); }, 3000));
    server.thr.join();
    rl.stop();
    exit_ssl_setup();
}

// The user's deadline closes a socket of an otherwise idle loop on time, with the orderly-end
// flag clear; a deadline set to 0 is gone.
TEST(Deadlines, UserDeadlineHoldsOnAnIdleLoopAndZeroRemovesIt)
{
    std::string log = logcap::capture_stdout([&] {
        running_loop rl;
        uint16_t port = rl.listen();
        int ca = connect_to(port), cb = connect_to(port);
        ASSERT_TRUE(wait_until([&] { return rl.rec.accepted_count() == 2; }, 3000));
        evl_socket *a = rl.rec.accepted_at(0), *b = rl.rec.accepted_at(1);
        // Inside the notice the socket is no longer open: a deadline is refused.
        std::atomic<int> refused_at_close{0};
        rl.rec.on_closed = [&](evl_socket *s) {
            refused_at_close = evl_set_deadline(rl.loop, s, now_ns() + ms_ns(100));
            evl_close(rl.loop, s);
        };
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        uint64_t deadline = now_ns() + ms_ns(300);
        EXPECT_EQ(evl_set_deadline(rl.loop, a, deadline), 0);
        EXPECT_EQ(evl_set_deadline(rl.loop, b, now_ns() + ms_ns(200)), 0);
        EXPECT_EQ(evl_set_deadline(rl.loop, b, 0), 0);
        uint64_t at = closed_at(rl.rec, a, 3000);
        ASSERT_NE(at, 0u);
        EXPECT_GE(at, deadline);
        EXPECT_LT(at - deadline, ms_ns(60));
        EXPECT_FALSE(rl.rec.get(a).peer_ended_at_close);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(rl.rec.get(b).closes, 0);
        EXPECT_EQ(refused_at_close.load(), -1);
        EXPECT_EQ(evl_set_deadline(rl.loop, nullptr, deadline), -1);
        close(ca);
        close(cb);
        rl.stop();
    });
    EXPECT_EQ(count_of(log, "Deadline passed on socket "), 1u) << log;
}

// Deadlines set by the worker itself, in its accept notice, as the forwarder sets them: each
// socket's deadline is set, then moved earlier, later or removed, in an order that makes the
// loop's heap move its entries both ways. Each closes on time and in order; a removed one never.
TEST(Deadlines, DeadlinesSetOnTheWorkerFireInOrderEachOnTimeAndRemovedOnesNever)
{
    struct step {
        int first_ms; // the deadline set first, after the start
        int then_ms;  // moved to this; 0 removes it, -1 leaves it
    };
    static constexpr step steps[] = {
        {300, -1}, {100, 400}, {500, 150}, {200, 0},   {250, -1}, {450, 350},
        {120, -1}, {600, 0},   {380, 180}, {220, 520}, {330, -1}, {160, 260},
    };
    constexpr size_t N = std::size(steps);
    // Made before the loop, so that they outlive its notices on every way out of the test.
    std::mutex m;
    std::map<evl_socket *, size_t> which;
    std::vector<uint64_t> closed(N, 0);
    std::vector<size_t> order;
    running_loop rl;
    uint16_t port = rl.listen();
    uint64_t start = now_ns() + ms_ns(200);
    rl.rec.on_new = [&](evl_socket *s) {
        std::lock_guard<std::mutex> g(m);
        size_t i = which.size();
        which[s] = i;
        EXPECT_EQ(evl_set_deadline(rl.loop, s, start + ms_ns(steps[i].first_ms)), 0);
        if (steps[i].then_ms >= 0) {
            uint64_t then = steps[i].then_ms ? start + ms_ns(steps[i].then_ms) : 0;
            EXPECT_EQ(evl_set_deadline(rl.loop, s, then), 0);
        }
        return 0;
    };
    rl.rec.on_closed = [&](evl_socket *s) {
        {
            std::lock_guard<std::mutex> g(m);
            closed[which[s]] = now_ns();
            order.push_back(which[s]);
        }
        evl_close(rl.loop, s);
    };
    std::vector<int> clients;
    for (size_t i = 0; i < N; i++) {
        clients.push_back(connect_to(port));
        ASSERT_TRUE(wait_until([&] { return rl.rec.accepted_count() == i + 1; }, 3000));
    }
    ASSERT_LT(now_ns(), start) << "the connections took too long for the table's times";
    std::this_thread::sleep_for(std::chrono::milliseconds(200 + 600 + 150));
    rl.stop();
    uint64_t last = 0;
    for (size_t k = 0; k < order.size(); k++) {
        size_t i = order[k];
        const step &st = steps[i];
        uint64_t due = start + ms_ns(st.then_ms > 0 ? st.then_ms : st.first_ms);
        EXPECT_GE(closed[i], due) << "row " << i;
        EXPECT_LT(closed[i] - due, ms_ns(60)) << "row " << i;
        EXPECT_GE(due, last) << "row " << i << " closed out of order";
        last = due;
    }
    for (size_t i = 0; i < N; i++)
        EXPECT_EQ(closed[i] == 0, steps[i].then_ms == 0) << "row " << i;
    for (int c : clients)
        close(c);
}

// Lingering starts before the server has even accepted: the secure socket reads on, finishes
// its handshake, sends everything queued and its close_notify, and is closed as soon as the
// server answers, long before the linger deadline.
TEST(Lingering, SessionInItsHandshakeFinishesItAndDeliversWhatWasQueued)
{
    client_ctx();
    constexpr size_t SIZE = 300000;
    std::atomic<uint64_t> count{0};
    std::atomic<bool> intact{true}, notify{false};
    tls_server server(
        [&](SSL *ssl, int) {
            uint64_t n = 0;
            bool ok = true;
            notify = read_to_close_notify(ssl, &n, &ok);
            count = n;
            intact = ok;
            SSL_shutdown(ssl);
        },
        300);
    std::string log = logcap::capture_stdout([&] {
        running_loop rl;
        on_worker w(rl);
        std::vector<uint8_t> data = pattern_bytes(SIZE);
        evl_socket *s = nullptr;
        uint64_t deadline = now_ns() + ms_ns(5000);
        w.run([&] {
            s = evl_secure_connect(rl.loop, &recorder_ops, &rl.rec, endpoint{loopback(), 0},
                                   endpoint{loopback(), server.port});
            ASSERT_NE(s, nullptr);
            uint64_t sent = 0;
            EXPECT_EQ(evl_send(rl.loop, s, data.data(), SIZE, 0, &sent, nullptr), 0);
            EXPECT_EQ(sent, SIZE);
            EXPECT_EQ(evl_linger(rl.loop, s, deadline), 0);
        });
        uint64_t at = closed_at(rl.rec, s, 6000);
        ASSERT_NE(at, 0u);
        EXPECT_LT(at, deadline - ms_ns(3000));
        EXPECT_FALSE(rl.rec.get(s).peer_ended_at_close);
        server.thr.join();
        rl.stop();
    });
    EXPECT_TRUE(server.handshake_ok);
    EXPECT_EQ(count.load(), SIZE);
    EXPECT_TRUE(intact);
    EXPECT_TRUE(notify) << "the session ended in order";
    EXPECT_EQ(log.find("Linger deadline passed"), std::string::npos) << log;
    exit_ssl_setup();
}

// After its close_notify a lingering socket waits for the server's answer; a server that keeps
// the connection open without answering is cut off at the linger deadline, with a reset.
TEST(Lingering, CloseNotifyWaitsForTheAnswerUntilTheDeadline)
{
    client_ctx();
    for (int answer_ms : {300, -1}) {
        SCOPED_TRACE(answer_ms);
        std::atomic<bool> notify{false}, reset{false};
        std::atomic<uint64_t> answered_at{0};
        tls_server server([&](SSL *ssl, int fd) {
            uint64_t n = 0;
            bool ok = true;
            notify = read_to_close_notify(ssl, &n, &ok);
            if (answer_ms >= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(answer_ms));
                answered_at = now_ns();
                SSL_shutdown(ssl);
                return;
            }
            char c;
            reset = recv(fd, &c, 1, 0) < 0 && errno == ECONNRESET;
        });
        running_loop rl;
        on_worker w(rl);
        evl_socket *s = w.connect(server.port);
        ASSERT_NE(s, nullptr);
        ASSERT_TRUE(wait_until([&] { return server.handshake_ok.load(); }, 3000));
        uint64_t deadline = now_ns() + ms_ns(1000);
        w.run([&] { EXPECT_EQ(evl_linger(rl.loop, s, deadline), 0); });
        uint64_t at = closed_at(rl.rec, s, 3000);
        ASSERT_NE(at, 0u);
        EXPECT_TRUE(notify);
        if (answer_ms >= 0) {
            EXPECT_GE(at, answered_at.load());
            EXPECT_LT(at, deadline);
        } else {
            EXPECT_GE(at, deadline);
        }
        server.thr.join();
        EXPECT_EQ(reset.load(), answer_ms < 0) << "cut off with a reset";
        rl.stop();
    }
    exit_ssl_setup();
}

// Whoever ends first, the outgoing connection's port is not left in TIME_WAIT: the user's own
// close and the end of a lingering session after the close_notify exchange, both while the
// server still holds its side open, and the server's own end (FIN first) all leave the local
// port free for the next connection to the same server.
TEST(TimeWait, OutgoingConnectionsLeaveNoTimeWaitWhoeverEnds)
{
    client_ctx();
    enum ending { USER_CLOSES, LINGER_EXCHANGE, SERVER_FIRST };
    for (ending how : {USER_CLOSES, LINGER_EXCHANGE, SERVER_FIRST}) {
        SCOPED_TRACE(how);
        tls_server server([&](SSL *ssl, int) {
            if (how == SERVER_FIRST) {
                SSL_shutdown(ssl);
                return;
            }
            uint64_t n = 0;
            bool ok = true;
            if (read_to_close_notify(ssl, &n, &ok))
                SSL_shutdown(ssl);
            // Still open for a while after the answer: the loop's close comes first.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        });
        running_loop rl;
        on_worker w(rl);
        uint16_t local = 0;
        evl_socket *s = w.connect(server.port, &local);
        ASSERT_NE(s, nullptr);
        ASSERT_TRUE(wait_until([&] { return server.handshake_ok.load(); }, 3000));
        // Whatever the server sent after its handshake is read by now, so that a close with
        // unread bytes (which the kernel turns into a reset by itself) proves nothing.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (how == USER_CLOSES)
            w.run([&] { evl_close(rl.loop, s); });
        if (how == LINGER_EXCHANGE)
            w.run([&] { EXPECT_EQ(evl_linger(rl.loop, s, now_ns() + ms_ns(3000)), 0); });
        if (how != USER_CLOSES) {
            EXPECT_NE(closed_at(rl.rec, s, 3000), 0u);
        }
        EXPECT_TRUE(wait_until([&] { return socket_count(rl.loop) == 2; }, 3000))
            << "the outgoing socket is collected";
        server.thr.join();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(time_wait_between(local, server.port));
        rl.stop();
    }
    exit_ssl_setup();
}
