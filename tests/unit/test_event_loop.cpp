// The event loop against real loopback peers: life cycle, close-and-collect, sending and
// flushing, listening, and the behaviours that keep one connection's fault from reaching
// another (late close notices, broken pipes, vanished connections, failing connects, the last
// bytes before a hang-up, lingering).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>

#include <csignal>

#include "evl_test_support.h"
#include "log_capture.h"
#include "setup-ssl-context.h"

using namespace evt;

namespace
{

std::string epoll_text(skb *b, uint32_t mask)
{
    return sprintf_epollbits(b, mask);
}

std::string epoll_text(uint32_t mask)
{
    uint8_t storage[128];
    skb b{storage, sizeof(storage), storage, storage, 0, sizeof(storage), 0};
    return epoll_text(&b, mask);
}

// Secure sockets need a context; a server-mode one is enough when no peer checks it.
void ensure_ssl_ctx()
{
    if (!ssl_ctx)
        setup_ssl_ctx(false, nullptr, nullptr);
}

bool counter_readable(evl *loop)
{
    struct pollfd p = {loop->eventfd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

void drain_counter(evl *loop)
{
    uint64_t v;
    if (counter_readable(loop)) {
        EXPECT_EQ(read(loop->eventfd, &v, sizeof(v)), 8);
    }
}

std::string fd_text(const char *what, int fd)
{
    return what + std::to_string(fd);
}

// Accepts one more connection on the running loop's listener and returns its socket.
evl_socket *accept_next(running_loop &rl, uint16_t port, int *client)
{
    size_t before = rl.rec.accepted_count();
    *client = connect_to(port);
    EXPECT_TRUE(wait_until([&] { return rl.rec.accepted_count() > before; }, 3000));
    return rl.rec.accepted_at(before);
}

// The first connection of a test whose byte holds the worker in the gate.
struct held_worker {
    gate g;
    evl_socket *sock = nullptr;
    int client = -1;

    void hold()
    {
        g.close_gate();
        EXPECT_TRUE(send_all(client, "g", 1));
        EXPECT_TRUE(g.wait_inside(3000));
    }
    // Lets the worker go after the kernel has delivered what the test did meanwhile.
    void release()
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        g.open();
    }
    ~held_worker()
    {
        if (client >= 0)
            close(client);
    }
};

// Routes the gate connection's bytes to the gate and everything else to `other`.
void with_gate(running_loop &rl, held_worker &hw, uint16_t port,
               std::function<void(evl_socket *, skb *)> other = nullptr)
{
    recorder *rec = &rl.rec;
    held_worker *h = &hw;
    rl.rec.on_data = [rec, h, other](evl_socket *s, skb *in) {
        if (s == h->sock) {
            skb_consume(in, in->data_size);
            h->g.pass();
        } else if (other) {
            other(s, in);
        } else {
            rec->take(s, in);
        }
    };
    hw.sock = accept_next(rl, port, &hw.client);
}

// A connected client whose local port another socket may also bind: the next connection from
// that port to the same server collides with it (EADDRNOTAVAIL) until it is gone.
struct colliding_client {
    int server = -1, client = -1, accepted = -1;
    uint16_t server_port = 0, client_port = 0;

    colliding_client()
    {
        server = listen_plain(&server_port);
        client = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int yes = 1;
        setsockopt(client, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        setsockopt(client, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof(yes));
        struct sockaddr_in6 sa = sockaddr_in6_of_ep(endpoint{loopback(), 0});
        EXPECT_EQ(bind(client, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
        client_port = local_port(client);
        sa = sockaddr_in6_of_ep(endpoint{loopback(), server_port});
        EXPECT_EQ(connect(client, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
        accepted = accept_one(server, 3000);
    }
    // A reset leaves no TIME_WAIT behind, so the port pair is free at once.
    void vanish()
    {
        if (client >= 0)
            reset_close(client);
        client = -1;
    }
    ~colliding_client()
    {
        vanish();
        close(accepted);
        close(server);
    }
};

} // namespace

TEST(EpollBits, NamesTheKnownBitsInOrder)
{
    EXPECT_EQ(epoll_text(0), "");
    EXPECT_EQ(epoll_text(0x2019), "IN,ERR,HUP,RDHUP");
    std::string all = epoll_text(0xffffffffu);
    EXPECT_EQ(all, "IN,PRI,OUT,ERR,HUP,RDNORM,RDBAND,WRNORM,WRBAND,MSG,RDHUP");
    EXPECT_EQ(all.size(), 56u);
    EXPECT_EQ(epoll_text(EPOLLET | EPOLLONESHOT | 0x20), "") << "unnamed bits write nothing";

    // Texts are appended with their terminator, each returned from where it starts.
    uint8_t storage[128];
    skb b{storage, sizeof(storage), storage, storage, 0, sizeof(storage), 0};
    char *first = sprintf_epollbits(&b, EPOLLIN | EPOLLERR | EPOLLRDHUP);
    char *second = sprintf_epollbits(&b, EPOLLOUT);
    EXPECT_STREQ(first, "IN,ERR,RDHUP");
    EXPECT_EQ(second, first + strlen("IN,ERR,RDHUP") + 1);
    EXPECT_STREQ(second, "OUT");
    EXPECT_EQ(b.data_size, strlen("IN,ERR,RDHUP") + 1 + strlen("OUT") + 1);
}

TEST(LoopLifeCycle, EmptyLoopRunsItsWorkerHookFirstAndStopsOnOneWakeUp)
{
    static pthread_t owner;
    static std::atomic<bool> hook_on_worker{false};
    owner = pthread_self();
    std::chrono::steady_clock::duration stop_time{};
    std::string log = logcap::capture_stdout([&] {
        evl *loop = evl_create("life");
        loop->on_worker_start = [](evl *) {
            hook_on_worker = !pthread_equal(pthread_self(), owner);
            printf("worker hook ran\n");
        };
        evl_start(loop);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        auto t0 = std::chrono::steady_clock::now();
        evl_stop(loop);
        stop_time = std::chrono::steady_clock::now() - t0;
        EXPECT_EQ(evl_destroy(loop), 0);
        evl_destroy(evl_create("toolongname"));
    });
    EXPECT_TRUE(hook_on_worker);
    EXPECT_LT(stop_time, std::chrono::seconds(1)) << "the wait is 5 s; the wake-up must end it";
    std::vector<std::string> order = {"  life: Event loop created",   "worker hook ran",
                                      "  life: Event loop started",   "  life: Event loop stopped",
                                      "  life: Event loop destroyed", "toolon: Event loop created"};
    size_t at = 0;
    for (const std::string &want : order) {
        size_t found = log.find(want, at);
        ASSERT_NE(found, std::string::npos) << want << " in order in\n" << log;
        at = found;
    }
}

// A turn costs what changed in it, not what is open: with many idle connections, each round
// trip of one busy one re-arms a handful of sockets, not every one of them.
TEST(LoopLifeCycle, ATurnLooksAtTheSocketsThatChangedNotAtIdleOnes)
{
    constexpr int IDLE = 64, ROUNDS = 50;
    running_loop rl;
    rl.rec.on_data = [&](evl_socket *s, skb *in) {
        uint64_t sent = 0;
        EXPECT_EQ(evl_send(rl.loop, s, in->data, in->data_size, 0, &sent, nullptr), 0);
        skb_consume(in, sent);
    };
    uint16_t port = rl.listen();
    int busy;
    accept_next(rl, port, &busy);
    std::vector<int> idle(IDLE);
    for (int &fd : idle)
        accept_next(rl, port, &fd);
    ASSERT_EQ(rl.rec.accepted_count(), static_cast<size_t>(IDLE + 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    uint64_t before = rl.loop->rearm_visits.load();
    for (int i = 0; i < ROUNDS; i++) {
        char c = static_cast<char>('a' + i % 26), back = 0;
        ASSERT_TRUE(send_all(busy, &c, 1));
        ASSERT_EQ(recv(busy, &back, 1, MSG_WAITALL), 1);
        EXPECT_EQ(back, c);
    }
    uint64_t visits = rl.loop->rearm_visits.load() - before;
    EXPECT_LT(visits, static_cast<uint64_t>(ROUNDS * 4))
        << "a walk over every socket makes " << ROUNDS * (IDLE + 2);
    for (int fd : idle)
        close(fd);
    close(busy);
    rl.stop();
}

// A socket its user hands back from a callback, and a connection its user refuses at once:
// each is closed and then collected, once, and its user gets no notice of either.
TEST(CloseAndCollect, HandedBackOrRefusedSocketIsClosedThenCollectedOnceWithoutNotice)
{
    for (bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "refused" : "handed back");
        std::atomic<uint64_t> first_context{99};
        std::atomic<int> fd_flags_after_close{-2};
        std::atomic<bool> open_after_close{true};
        std::atomic<bool> closing_after_close{false};
        std::atomic<int> fd{-1};
        std::string log = logcap::capture_stdout([&] {
            running_loop rl;
            rl.rec.on_new = [&](evl_socket *s) {
                first_context = evl_get_socket_context(s);
                fd = s->fd;
                return refused ? -1 : 0;
            };
            rl.rec.on_data = [&](evl_socket *s, skb *in) {
                skb_consume(in, in->data_size);
                EXPECT_EQ(evl_close(rl.loop, s), nullptr);
                fd_flags_after_close = fcntl(s->fd, F_GETFD);
                open_after_close = ask_state(s, is_open);
                closing_after_close = ask_state(s, is_closing);
            };
            uint16_t port = rl.listen();
            int client = connect_to(port);
            if (!refused) {
                EXPECT_TRUE(send_all(client, "x", 1));
            }
            EXPECT_EQ(read_to_end(client), "") << "the descriptor is closed once collected";
            close(client);
            if (refused) {
                EXPECT_TRUE(wait_until([&] { return socket_count(rl.loop) == 1; }, 3000));
                EXPECT_EQ(rl.rec.get(rl.rec.accepted_at(0)).received, 0u);
            }
            EXPECT_EQ(rl.rec.total_closes(), 0) << "a socket the user closes gets no notice";
            rl.stop();
        });
        EXPECT_EQ(first_context.load(), 0u);
        if (!refused) {
            EXPECT_GE(fd_flags_after_close.load(), 0) << "still open inside the same iteration";
            EXPECT_FALSE(open_after_close.load());
            EXPECT_TRUE(closing_after_close.load());
        }
        std::string closing = fd_text("  test: Closing connection on socket ", fd) + "\n";
        std::string collected = fd_text("  test: Garbage collecting socket ", fd) + "\n";
        EXPECT_EQ(count_of(log, closing), 1u) << log;
        EXPECT_EQ(count_of(log, collected), 1u) << log;
        EXPECT_LT(log.find(closing), log.find(collected)) << log;
    }
}

TEST(CloseAndCollect, DestroyFreesOpenListeningClosingAndSecureSocketsWithoutCallbacks)
{
    ensure_ssl_ctx();
    recorder rec;
    evl *loop = evl_create("test");
    rec.loop = loop;
    evl_start(loop);
    ASSERT_EQ(evl_listen_ip(loop, loopback(), 10, &recorder_ops, &rec), 0);
    uint16_t port = listener_port(loop);
    int c1 = connect_to(port), c2 = connect_to(port);
    ASSERT_TRUE(wait_until([&] { return rec.accepted_count() == 2; }, 3000));
    uint16_t server_port;
    int server = listen_plain(&server_port);
    ASSERT_NE(evl_secure_connect(loop, &recorder_ops, &rec, endpoint{loopback(), 0},
                                 endpoint{loopback(), server_port}),
              nullptr);
    evl_stop(loop);
    evl_close(loop, rec.accepted_at(1));
    std::string log = logcap::capture_stdout([&] { EXPECT_EQ(evl_destroy(loop), 0); });
    EXPECT_EQ(count_of(log, "  test: Garbage collecting socket "), 4u) << log;
    EXPECT_EQ(rec.total_closes(), 0);
    EXPECT_EQ(read_to_end(c1), "");
    EXPECT_EQ(read_to_end(c2), "");
    close(c1);
    close(c2);
    close(server);
}

// A secure socket whose connect is under way, on a loop whose worker the test plays: the loop
// is never started, so every wake-up stays in the counter.
class Sending : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ensure_ssl_ctx();
        server = listen_plain(&server_port);
        loop = evl_create("send");
        s = evl_secure_connect(loop, &recorder_ops, &rec, endpoint{loopback(), 0},
                               endpoint{loopback(), server_port});
        ASSERT_NE(s, nullptr);
    }
    void TearDown() override
    {
        evl_destroy(loop);
        close(server);
    }
    recorder rec;
    uint16_t server_port = 0;
    int server = -1;
    evl *loop = nullptr;
    evl_socket *s = nullptr;
};

TEST_F(Sending, SendQueuesWhatFitsRefusesClosedSocketsAndWakesOnlyForBytes)
{
    // A connect under way returns the whole record at once.
    EXPECT_TRUE(s->in_plain && s->out_plain && s->in_cipher && s->out_cipher && s->ssl);
    EXPECT_EQ(s->net_out, s->out_cipher);
    EXPECT_EQ(s->net_in, s->in_cipher);
    EXPECT_EQ(s->flags, uint32_t{EVL_SOCK_OPEN | EVL_SOCK_CONNECTING});
    EXPECT_EQ(s->kind, EVL_KIND_SECURE | EVL_KIND_OUTGOING);
    drain_counter(loop);

    uint64_t sent = 99, now = 0;
    uint64_t before = now_ns();
    EXPECT_EQ(evl_send(loop, s, "", 0, 0, &sent, &now), 0);
    EXPECT_EQ(sent, 0u);
    EXPECT_GE(now, before);
    EXPECT_FALSE(counter_readable(loop)) << "nothing queued, nothing woken";

    std::vector<uint8_t> big(1500000);
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(evl_send(loop, s, big.data(), big.size(), 0, &sent, nullptr), 0);
    EXPECT_EQ(sent, 1048576u);
    EXPECT_EQ(s->out_plain->avail, 0u);
    EXPECT_EQ(memcmp(s->out_plain->data, big.data(), 1048576), 0);
    EXPECT_TRUE(counter_readable(loop));
    EXPECT_FALSE(list_empty(&loop->secure_queue)) << "queued for the pump";
    drain_counter(loop);
    EXPECT_EQ(evl_send(loop, s, big.data(), big.size(), 0, &sent, nullptr), 0);
    EXPECT_EQ(sent, 0u);
    EXPECT_FALSE(counter_readable(loop));

    evl_close(loop, s);
    sent = 99;
    EXPECT_EQ(evl_send(loop, s, "x", 1, 0, &sent, nullptr), -1);
    EXPECT_EQ(sent, 0u);
    EXPECT_EQ(evl_send(loop, nullptr, "x", 1, 0, &sent, nullptr), -1);
}

TEST_F(Sending, SendSkbufMovesWhatFitsAndLeavesTheRestInOrder)
{
    skb *src = skb_create(SKB_SIZE);
    auto fill = [&](size_t n) {
        for (size_t i = 0; i < n; i++)
            src->ptr[i] = static_cast<uint8_t>(i % 253);
        skb_produce(src, n);
    };

    fill(300000);
    uint64_t sent = 0;
    EXPECT_EQ(evl_send_skbuf(loop, s, src, 0, &sent, nullptr), 0);
    EXPECT_EQ(sent, 300000u);
    EXPECT_EQ(src->data_size, 0u);
    EXPECT_EQ(src->data, src->buffer);
    EXPECT_EQ(src->ptr, src->buffer);
    EXPECT_EQ(src->avail, src->size);

    // Leave 100000 bytes of room in out_plain: a third of the source fits.
    std::vector<uint8_t> filler(SKB_SIZE - 300000 - 100000);
    EXPECT_EQ(evl_send(loop, s, filler.data(), filler.size(), 0, &sent, nullptr), 0);
    fill(300000);
    EXPECT_EQ(evl_send_skbuf(loop, s, src, 0, &sent, nullptr), 0);
    EXPECT_EQ(sent, 100000u);
    ASSERT_EQ(src->data_size, 200000u);
    for (size_t i = 0; i < 200000; i++)
        ASSERT_EQ(src->data[i], static_cast<uint8_t>((i + 100000) % 253)) << "at " << i;

    evl_close(loop, s);
    EXPECT_EQ(evl_send_skbuf(loop, s, src, 0, &sent, nullptr), -1);
    EXPECT_EQ(sent, 0u);
    EXPECT_EQ(src->data_size, 200000u) << "a refused source stays untouched";
    skb_destroy(src);
}

TEST_F(Sending, FlushIsImmediateWhenEmptyFailsPastItsDeadlineAndWaitsOnTheMonotonicClock)
{
    uint64_t t0 = now_ns(), reading = 0;
    EXPECT_EQ(evl_flush(loop, s, t0 + 5000000000ull, &reading), 0);
    EXPECT_LT(now_ns() - t0, ms_ns(100));
    EXPECT_GE(reading, t0);
    EXPECT_EQ(evl_flush(loop, s, now_ns() - 1, nullptr), -1) << "tested before the buffers";

    // Nobody sends: the wait ends at the deadline.
    EXPECT_EQ(evl_send(loop, s, "abc", 3, 0, nullptr, nullptr), 0);
    t0 = now_ns();
    EXPECT_EQ(evl_flush(loop, s, t0 + ms_ns(60), &reading), -1);
    EXPECT_GE(reading, t0 + ms_ns(60));
    EXPECT_LT(reading, t0 + ms_ns(1000));
}

TEST(Flushing, FlushReturnsOnceTheWorkerHasSentEverything)
{
    running_loop rl;
    std::vector<uint8_t> payload(800000, 'p');
    std::atomic<bool> queued{false};
    rl.rec.on_data = [&](evl_socket *s, skb *in) {
        skb_consume(in, in->data_size);
        uint64_t sent = 0;
        EXPECT_EQ(evl_send(rl.loop, s, payload.data(), payload.size(), 0, &sent, nullptr), 0);
        EXPECT_EQ(sent, payload.size());
        queued = true;
    };
    uint16_t port = rl.listen();
    int client;
    evl_socket *s = accept_next(rl, port, &client);
    EXPECT_TRUE(send_all(client, "go", 2));
    ASSERT_TRUE(wait_until([&] { return queued.load(); }, 3000));
    std::thread reader([&] {
        size_t got = 0;
        char buf[65536];
        for (ssize_t n; got < payload.size() && (n = recv(client, buf, sizeof(buf), 0)) > 0;)
            got += static_cast<size_t>(n);
        EXPECT_EQ(got, payload.size());
    });
    EXPECT_EQ(evl_flush(rl.loop, s, now_ns() + 10000000000ull, nullptr), 0);
    // Under the socket's lock, as the worker reads it: the worker frees the socket once the
    // client is gone, and only the lock orders that after this read.
    pthread_mutex_lock(&s->mutex);
    uint64_t left = s->out_plain->data_size;
    pthread_mutex_unlock(&s->mutex);
    EXPECT_EQ(left, 0u);
    reader.join();
    close(client);
    rl.stop();
}

TEST(Listening, MessagesNameTheKindAndAnAbsentAddressFailsAndAddsNothing)
{
    recorder rec;
    evl *loop = evl_create("test");
    address absent;
    ASSERT_EQ(parse_address("2001:db8::7", &absent), 0);
    std::string log = logcap::capture_stdout([&] {
        EXPECT_EQ(evl_listen(loop, 10, &recorder_ops, &rec, endpoint{absent, 2049}),
                  -EADDRNOTAVAIL);
        EXPECT_EQ(socket_count(loop), 0u);
        EXPECT_EQ(evl_listen_ip(loop, loopback(), 10, &recorder_ops, &rec), 0);
        EXPECT_EQ(evl_secure_listen(loop, 10, &recorder_ops, &rec, endpoint{loopback(), 0}), 0);
    });
    EXPECT_NE(log.find("  test: Failed to bind socket to [2001:db8::7]:2049: Cannot assign "
                       "requested address\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("  test: Accepting new connections on [::1]:0, on socket "),
              std::string::npos);
    EXPECT_NE(log.find("  test: Accepting new secure connections on [::1]:0, on socket "),
              std::string::npos);
    auto ls = listeners(loop);
    ASSERT_EQ(ls.size(), 2u);
    EXPECT_NE(ls[0].second, 0) << "evl_listen_ip listens on a kernel-chosen port";
    // The descriptor does not block: accept with nothing pending answers at once.
    EXPECT_TRUE(fcntl(ls[0].first, F_GETFL) & O_NONBLOCK);
    evl_destroy(loop);
}

// Both ends of a pair hang up while the worker is held: their events arrive in one batch, the
// first one closes the pair, and the second socket's stale event gives no second notice.
TEST(Sound, PairWhoseEndsHangUpInOneBatchGetsOneNotice)
{
    int a_fd = -1, b_fd = -1;
    std::string log = logcap::capture_stdout([&] {
        running_loop rl;
        held_worker hw;
        uint16_t port = rl.listen();
        // Hooks are set before the worker can run them; the sockets are filled in later and
        // reach the worker through the gate's lock.
        evl_socket *a = nullptr, *b = nullptr;
        rl.rec.on_closed = [&](evl_socket *) {
            evl_close(rl.loop, a);
            evl_close(rl.loop, b);
        };
        with_gate(rl, hw, port);
        int ca, cb;
        a = accept_next(rl, port, &ca);
        b = accept_next(rl, port, &cb);
        a_fd = a->fd;
        b_fd = b->fd;
        hw.hold();
        close(ca);
        close(cb);
        hw.release();
        EXPECT_TRUE(wait_until([&] { return socket_count(rl.loop) == 2; }, 3000));
        EXPECT_EQ(rl.rec.total_closes(), 1);
        EXPECT_EQ(rl.rec.max_closes(), 1);
        rl.stop();
    });
    EXPECT_EQ(count_of(log, fd_text("Received RDHUP on socket ", a_fd) + ".") +
                  count_of(log, fd_text("Received RDHUP on socket ", b_fd) + "."),
              1u)
        << "the later event of the batch is skipped\n"
        << log;
}

// A send fails hard (our own side is shut for writing) in an event that also reports data
// to read: the receive is skipped, the socket gets one notice, and EPIPE raises no SIGPIPE.
TEST(Sound, FailedSendSkipsTheReceiveAndBreaksNoProcess)
{
    signal(SIGPIPE, SIG_DFL);
    int fd = -1;
    std::string log = logcap::capture_stdout([&] {
        running_loop rl;
        held_worker hw;
        uint16_t port = rl.listen();
        with_gate(rl, hw, port);
        int ca;
        evl_socket *a = accept_next(rl, port, &ca);
        fd = a->fd;
        hw.hold();
        // The worker is held inside a callback, so a plain socket's buffers are free to use.
        std::vector<uint8_t> data(65536, 'd');
        EXPECT_EQ(evl_send(rl.loop, a, data.data(), data.size(), 0, nullptr, nullptr), 0);
        EXPECT_EQ(shutdown(a->fd, SHUT_WR), 0);
        EXPECT_TRUE(send_all(ca, "late", 4));
        hw.release();
        EXPECT_TRUE(wait_until([&] { return rl.rec.total_closes() == 1; }, 3000));
        EXPECT_TRUE(wait_until([&] { return socket_count(rl.loop) == 2; }, 3000));
        socket_record r = rl.rec.get(a);
        EXPECT_EQ(r.closes, 1);
        EXPECT_EQ(r.received, 0u) << "nothing read after the failed send";
        EXPECT_EQ(r.data_after_close, 0);
        close(ca);
        rl.stop();
    });
    EXPECT_NE(log.find(fd_text("Failed to send data on socket ", fd) + ": Broken pipe(32)"),
              std::string::npos)
        << log;
}

// Two sockets are writable in one batch; the callback after the first send resets the other
// one's peer and takes its pending error, so the second send meets a broken pipe.
TEST(Sound, PeerThatResetsMidBatchEndsOnlyItsOwnConnection)
{
    signal(SIGPIPE, SIG_DFL);
    std::string log = logcap::capture_stdout([&] {
        running_loop rl;
        held_worker hw;
        uint16_t port = rl.listen();
        int ca = -1, cb = -1;
        evl_socket *a = nullptr, *b = nullptr;
        std::atomic<evl_socket *> broken{nullptr};
        rl.rec.on_pull = [&](evl_socket *s) {
            if (broken || (s != a && s != b))
                return;
            evl_socket *other = s == a ? b : a;
            int &peer = s == a ? cb : ca;
            reset_close(peer);
            peer = -1;
            wait_until(
                [&] {
                    int err = 0;
                    socklen_t len = sizeof(err);
                    getsockopt(other->fd, SOL_SOCKET, SO_ERROR, &err, &len);
                    return err == ECONNRESET;
                },
                2000);
            broken = other;
        };
        with_gate(rl, hw, port);
        a = accept_next(rl, port, &ca);
        b = accept_next(rl, port, &cb);
        hw.hold();
        EXPECT_EQ(evl_send(rl.loop, a, "to a", 4, 0, nullptr, nullptr), 0);
        EXPECT_EQ(evl_send(rl.loop, b, "to b", 4, 0, nullptr, nullptr), 0);
        hw.release();
        ASSERT_TRUE(wait_until([&] { return rl.rec.total_closes() == 1; }, 3000));
        evl_socket *victim = broken;
        evl_socket *survivor = victim == a ? b : a;
        int survivor_client = victim == a ? cb : ca;
        EXPECT_EQ(rl.rec.get(victim).closes, 1);
        EXPECT_EQ(rl.rec.get(survivor).closes, 0);
        char buf[4];
        EXPECT_EQ(recv(survivor_client, buf, sizeof(buf), MSG_WAITALL), 4);
        EXPECT_TRUE(ask_state(survivor, is_open));
        close(survivor_client);
        rl.stop();
    });
    EXPECT_NE(log.find(": Broken pipe(32)"), std::string::npos) << log;
}

// Two listeners have a connection pending in the same batch; the callback for the first
// accept takes the other listener's connection away, so the second accept finds nothing.
// Meanwhile a connection is reset while still pending. The worker must go on serving.
TEST(Sound, VanishedPendingConnectionDoesNotStallTheWorker)
{
    report_set_min_level(LVL_DEBUG);
    std::string log = logcap::capture_stdout([&] {
        running_loop rl;
        held_worker hw;
        uint16_t port1 = rl.listen();
        ASSERT_EQ(evl_listen_ip(rl.loop, loopback(), 10, &recorder_ops, &rl.rec), 0);
        auto ls = listeners(rl.loop);
        ASSERT_EQ(ls.size(), 2u);
        uint16_t port2 = ls[1].second;
        std::atomic<bool> steal{false};
        std::atomic<int> stolen{0};
        rl.rec.on_new = [&](evl_socket *s) {
            if (!steal.exchange(false))
                return 0;
            int other = local_port(s->fd) == port1 ? ls[1].first : ls[0].first;
            int fd = accept4(other, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                stolen++;
                close(fd);
            }
            return 0;
        };
        with_gate(rl, hw, port1);
        hw.hold();
        int c1 = connect_to(port1), c2 = connect_to(port2);
        int c3 = connect_to(port1);
        reset_close(c3);
        steal = true;
        hw.release();
        EXPECT_TRUE(wait_until([&] { return stolen == 1; }, 3000));
        // The pending connections that were not stolen are accepted one per iteration, in an
        // order epoll chooses; the new connection below must not be taken for one of them.
        for (int round = 0; round < 10; round++) {
            size_t settled = rl.rec.accepted_count();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (rl.rec.accepted_count() == settled)
                break;
        }
        // Still serving: a new connection's bytes arrive.
        int c4;
        evl_socket *s4 = accept_next(rl, port2, &c4);
        bool served = s4 && send_all(c4, "ping", 4) &&
                      wait_until([&] { return rl.rec.get(s4).received == 4; }, 3000);
        if (!served) {
            // A worker stuck in accept would never be joined: end the process instead.
            ADD_FAILURE() << "the worker stalled";
            fflush(stdout);
            _exit(1);
        }
        close(c1);
        close(c2);
        close(c4);
        rl.stop();
    });
    report_set_min_level(LVL_INFO);
    EXPECT_NE(log.find("Pending connection went away before accept: Resource temporarily "
                       "unavailable"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Failed to accept new connection"), std::string::npos);
}

// The mirrored source port is still in use: the connect fails at once. The caller gets its
// socket back without waiting, the loop keeps serving, and the retry after one second
// connects once the port is free; the bytes queued meanwhile start the TLS handshake.
TEST(Sound, ImmediateConnectFailureIsRetriedLaterWithoutStallingTheLoop)
{
    ensure_ssl_ctx();
    colliding_client cc;
    std::string log = logcap::capture_stdout([&] {
        running_loop rl;
        uint16_t port = rl.listen();
        std::atomic<evl_socket *> out{nullptr};
        std::atomic<int64_t> connect_ns{-1};
        std::atomic<uint64_t> failed_at{0};
        rl.rec.on_new = [&](evl_socket *) {
            if (out)
                return 0;
            uint64_t t0 = now_ns();
            evl_socket *s = evl_secure_connect(rl.loop, &recorder_ops, &rl.rec,
                                               endpoint{loopback(), cc.client_port},
                                               endpoint{loopback(), cc.server_port});
            connect_ns = static_cast<int64_t>(now_ns() - t0);
            failed_at = t0;
            if (s) {
                EXPECT_EQ(evl_send(rl.loop, s, "request", 7, 0, nullptr, nullptr), 0);
            }
            out = s;
            return 0;
        };
        int trigger = connect_to(port);
        ASSERT_TRUE(wait_until([&] { return out.load() != nullptr; }, 3000));
        EXPECT_LT(connect_ns.load(), static_cast<int64_t>(ms_ns(200)));
        evl_socket *s = out;
        EXPECT_TRUE(wait_until([&] { return ask_state(s, waits_to_retry); }, 100));

        int other;
        evl_socket *o = accept_next(rl, port, &other);
        uint64_t t0 = now_ns();
        EXPECT_TRUE(send_all(other, "ping", 4));
        EXPECT_TRUE(wait_until([&] { return rl.rec.get(o).received == 4; }, 500));
        EXPECT_LT(now_ns() - t0, ms_ns(500)) << "other sockets are served during the wait";
        EXPECT_FALSE(ask_state(s, is_registered)) << "a socket waiting to retry is off epoll";

        cc.vanish();
        int conn = accept_one(cc.server, 4000);
        uint64_t connected_at = now_ns();
        ASSERT_GE(conn, 0) << "the retry connects";
        EXPECT_GE(connected_at - failed_at, ms_ns(900));
        EXPECT_LT(connected_at - failed_at, ms_ns(2500));
        uint8_t first = 0;
        EXPECT_EQ(recv(conn, &first, 1, 0), 1);
        EXPECT_EQ(first, 0x16) << "a TLS handshake record";
        EXPECT_FALSE(ask_state(s, waits_to_retry));
        EXPECT_EQ(rl.rec.get(s).closes, 0);
        close(conn);
        close(trigger);
        close(other);
        rl.stop();
    });
    EXPECT_NE(log.find("evl_connect1:src/event-loop:"), std::string::npos);
    EXPECT_EQ(
        count_of(log, "  test: Failed to connect from [::1]:" + std::to_string(cc.client_port) +
                          " to [::1]:" + std::to_string(cc.server_port) + ", socket "),
        1u)
        << log;
    EXPECT_NE(log.find(", Cannot assign requested address\n"), std::string::npos);
    EXPECT_EQ(count_of(log, "  test: Retry connect after 1 seconds\n"), 1u);
    EXPECT_EQ(
        count_of(log, "  test: Initiated connection from [::1]:" + std::to_string(cc.client_port)),
        1u);
}

// A connect that keeps failing is tried again after 1, 2, 5 and 10 seconds and then closed
// through on_connection_closed as a failure, when the connect deadline leaves time for that.
TEST(Sound, ConnectThatKeepsFailingIsClosedAfterFourRetries)
{
    ensure_ssl_ctx();
    colliding_client cc;
    uint64_t elapsed = 0;
    std::string log = logcap::capture_stdout([&] {
        running_loop rl;
        rl.loop->connect_timeout_ns = ms_ns(30000);
        uint64_t t0 = now_ns();
        evl_socket *s = evl_secure_connect(rl.loop, &recorder_ops, &rl.rec,
                                           endpoint{loopback(), cc.client_port},
                                           endpoint{loopback(), cc.server_port});
        ASSERT_NE(s, nullptr);
        EXPECT_TRUE(wait_until([&] { return rl.rec.get(s).closes == 1; }, 25000));
        elapsed = now_ns() - t0;
        EXPECT_FALSE(rl.rec.get(s).peer_ended_at_close);
        rl.stop();
    });
    EXPECT_GE(elapsed, ms_ns(18000));
    EXPECT_LT(elapsed, ms_ns(21000));
    EXPECT_EQ(count_of(log, "  test: Failed to connect from "), 5u) << log;
    size_t at = 0;
    for (int delay : {1, 2, 5, 10}) {
        at = log.find("  test: Retry connect after " + std::to_string(delay) + " seconds\n", at);
        ASSERT_NE(at, std::string::npos) << delay << " in order in\n" << log;
    }
    EXPECT_EQ(count_of(log, "Retry connect after"), 4u);
    EXPECT_NE(log.find("  test: Giving up connecting to [::1]:"), std::string::npos);
    EXPECT_EQ(log.find("not established within"), std::string::npos);
}

// With the default connect deadline of 10 s the attempts are made at 0, 1, 3 and 8 s; the
// fourth delay would end past the deadline, so the socket waits for the deadline instead,
// which closes it at 10 s with the WARN line.
TEST(Deadlines, ConnectDeadlineCoversTheWholeRetryPhase)
{
    ensure_ssl_ctx();
    colliding_client cc;
    uint64_t elapsed = 0;
    int fd = -1;
    std::string log = logcap::capture_stdout([&] {
        running_loop rl;
        EXPECT_EQ(rl.loop->connect_timeout_ns, 10000000000ull);
        uint64_t t0 = now_ns();
        evl_socket *s = evl_secure_connect(rl.loop, &recorder_ops, &rl.rec,
                                           endpoint{loopback(), cc.client_port},
                                           endpoint{loopback(), cc.server_port});
        ASSERT_NE(s, nullptr);
        fd = s->fd;
        EXPECT_TRUE(wait_until([&] { return rl.rec.get(s).closes == 1; }, 15000));
        elapsed = now_ns() - t0;
        EXPECT_FALSE(rl.rec.get(s).peer_ended_at_close);
        rl.stop();
    });
    EXPECT_GE(elapsed, ms_ns(10000));
    EXPECT_LT(elapsed, ms_ns(10300)) << "the idle loop honours the deadline on time";
    EXPECT_EQ(count_of(log, "  test: Failed to connect from "), 4u) << log;
    EXPECT_EQ(count_of(log, "Retry connect after"), 3u);
    EXPECT_EQ(count_of(log, "  test: No further attempt before the connect deadline, socket " +
                                std::to_string(fd) + "\n"),
              1u);
    EXPECT_EQ(count_of(log, "WARN"), 1u);
    std::string warn = "  test: Connection to [::1]:" + std::to_string(cc.server_port) +
                       " not established within 10 seconds, closing socket " + std::to_string(fd) +
                       "\n";
    EXPECT_EQ(count_of(log, warn), 1u) << log;
    EXPECT_EQ(log.find("Giving up"), std::string::npos);
}

// Data and the FIN arrive while the worker is held, so one event carries IN and RDHUP: every
// byte still reaches the user, and the end is an orderly one.
TEST(Sound, DataSentJustBeforeTheFinReachesTheUser)
{
    int fd = -1;
    std::string log = logcap::capture_stdout([&] {
        running_loop rl;
        rl.rec.keep_bytes = true;
        held_worker hw;
        uint16_t port = rl.listen();
        with_gate(rl, hw, port);
        int ca;
        evl_socket *a = accept_next(rl, port, &ca);
        fd = a->fd;
        std::string sent(200000, '\0');
        for (size_t i = 0; i < sent.size(); i++)
            sent[i] = static_cast<char>(i % 241);
        hw.hold();
        EXPECT_TRUE(send_all(ca, sent.data(), sent.size()));
        shutdown(ca, SHUT_WR);
        hw.release();
        EXPECT_TRUE(wait_until([&] { return rl.rec.get(a).closes == 1; }, 3000));
        socket_record r = rl.rec.get(a);
        EXPECT_EQ(r.received, sent.size());
        EXPECT_TRUE(r.bytes == sent);
        EXPECT_TRUE(r.peer_ended_at_close);
        close(ca);
        rl.stop();
    });
    EXPECT_EQ(count_of(log, fd_text("Received RDHUP on socket ", fd) + ".  Events: IN,RDHUP."), 1u)
        << log;
}

// The user takes nothing while the peer sends 1.5 MiB and hangs up, so in_plain fills before
// the end of stream. The socket stops asking for RDHUP (the worker does not spin), and once
// the user makes room it reads on to the end: every byte arrives, in order.
TEST(Sound, FullBufferAtHangUpKeepsReadingToTheEndWithoutSpinning)
{
    report_set_min_level(LVL_DEBUG);
    constexpr size_t TOTAL = 1536 * 1024;
    int fd = -1;
    std::string log = logcap::capture_stdout([&] {
        running_loop rl;
        uint16_t port = rl.listen();
        std::atomic<bool> hold{true};
        std::string got;
        evl_socket *a = nullptr;
        evl_socket *trigger = nullptr;
        rl.rec.on_data = [&](evl_socket *s, skb *in) {
            if (s == trigger) {
                skb_consume(in, in->data_size);
                hold = false;
                in = evl_in_plain(a);
                s = a;
            }
            if (s == a && !hold) {
                got.append(reinterpret_cast<char *>(in->data), in->data_size);
                skb_consume(in, in->data_size);
                skb_compact(in);
            }
        };
        int ca, ct;
        a = accept_next(rl, port, &ca);
        trigger = accept_next(rl, port, &ct);
        fd = a->fd;
        std::thread writer([&] {
            std::string data(TOTAL, '\0');
            for (size_t i = 0; i < TOTAL; i++)
                data[i] = static_cast<char>((i * 13) % 251);
            EXPECT_TRUE(send_all(ca, data.data(), data.size()));
            shutdown(ca, SHUT_WR);
        });
        EXPECT_TRUE(wait_until([&] { return ask_state(a, is_draining); }, 5000));
        EXPECT_EQ(a->in_plain->avail, 0u);
        printf("MARK quiet start\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        printf("MARK quiet end\n");
        EXPECT_TRUE(send_all(ct, "t", 1));
        EXPECT_TRUE(wait_until([&] { return rl.rec.get(a).closes == 1; }, 5000));
        writer.join();
        ASSERT_EQ(got.size(), TOTAL);
        for (size_t i = 0; i < TOTAL; i++)
            ASSERT_EQ(static_cast<uint8_t>(got[i]), (i * 13) % 251) << "at " << i;
        EXPECT_TRUE(rl.rec.get(a).peer_ended_at_close);
        close(ca);
        close(ct);
        rl.stop();
    });
    report_set_min_level(LVL_INFO);
    EXPECT_EQ(count_of(log, fd_text("Received RDHUP on socket ", fd) + "."), 1u) << log;
    size_t from = log.find("MARK quiet start"), to = log.find("MARK quiet end");
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos);
    EXPECT_LT(count_of(log.substr(from, to - from), "Event loop got woken"), 10u)
        << "a full socket at its end of stream must not wake the worker";
}

// Lingering sends what is queued, then closes the socket as soon as it is drained, long
// before the deadline, with the orderly-end flag clear (the user chose to end it): a large
// payload ends on a send that epoll asked for, a small one on the send before the wait.
class Lingering : public ::testing::TestWithParam<size_t>
{
};
INSTANTIATE_TEST_SUITE_P(Sound, Lingering, ::testing::Values(1048576, 100));

TEST_P(Lingering, SocketIsClosedOnceDrained)
{
    running_loop rl;
    std::string payload(GetParam(), '\0');
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = static_cast<char>(i % 239);
    std::atomic<uint64_t> lingered_at{0};
    rl.rec.on_data = [&](evl_socket *s, skb *in) {
        skb_consume(in, in->data_size);
        uint64_t sent = 0;
        EXPECT_EQ(evl_send(rl.loop, s, payload.data(), payload.size(), 0, &sent, nullptr), 0);
        EXPECT_EQ(sent, payload.size());
        EXPECT_EQ(evl_linger(rl.loop, s, now_ns() + 10000000000ull), 0);
        lingered_at = now_ns();
    };
    uint16_t port = rl.listen();
    int client;
    evl_socket *s = accept_next(rl, port, &client);
    EXPECT_TRUE(send_all(client, "go", 2));
    EXPECT_TRUE(read_to_end(client) == payload);
    EXPECT_TRUE(wait_until([&] { return rl.rec.get(s).closes == 1; }, 3000));
    EXPECT_LT(now_ns() - lingered_at, ms_ns(1000));
    EXPECT_FALSE(rl.rec.get(s).peer_ended_at_close);
    EXPECT_EQ(evl_linger(rl.loop, nullptr, 0), -1);
    close(client);
    rl.stop();
}

// A secure socket whose handshake never completes cannot drain its plaintext: lingering ends
// at the deadline, which the worker's wait honours within a few milliseconds.
TEST(Sound, LingeringSocketIsClosedAtItsDeadline)
{
    ensure_ssl_ctx();
    uint16_t server_port;
    int server = listen_plain(&server_port);
    running_loop rl;
    std::atomic<evl_socket *> out{nullptr};
    std::atomic<uint64_t> deadline{0};
    rl.rec.on_data = [&](evl_socket *s, skb *in) {
        skb_consume(in, in->data_size);
        if (out)
            return;
        evl_socket *o = evl_secure_connect(rl.loop, &recorder_ops, &rl.rec, endpoint{loopback(), 0},
                                           endpoint{loopback(), server_port});
        ASSERT_NE(o, nullptr);
        EXPECT_EQ(evl_send(rl.loop, o, "never encrypted", 15, 0, nullptr, nullptr), 0);
        deadline = now_ns() + ms_ns(300);
        EXPECT_EQ(evl_linger(rl.loop, o, deadline), 0);
        out = o;
        (void)s;
    };
    uint16_t port = rl.listen();
    int client;
    accept_next(rl, port, &client);
    EXPECT_TRUE(send_all(client, "go", 2));
    ASSERT_TRUE(wait_until([&] { return out.load() != nullptr; }, 3000));
    EXPECT_TRUE(wait_until([&] { return rl.rec.get(out).closes == 1; }, 3000));
    uint64_t closed_at = now_ns();
    EXPECT_GE(closed_at, deadline.load());
    EXPECT_LT(closed_at - deadline, ms_ns(100));
    EXPECT_FALSE(rl.rec.get(out).peer_ended_at_close);
    close(client);
    rl.stop();
    close(server);
}
