// The pairing table, driven through forwarder_ops on a loop whose worker never runs: every socket
// stays in the state the test puts it in, so slot moves, late notices and the end-of-connection
// states can be checked exactly. The test does the worker's part one step at a time: the plain
// sides are real clients accepted by the loop (evl_test_accept), the secure sides real outgoing
// connections to a listener that never accepts, and every close the loop's own
// (evl_test_close); evl_destroy at the end collects them, handed back or not.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "evl_test_support.h"
#include "forwarder-ops.h"
#include "log_capture.h"
#include "setup-ssl-context.h"

namespace
{

class Pairing : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ssl_ctx = SSL_CTX_new(TLS_client_method());
        ASSERT_NE(ssl_ctx, nullptr);
        target_fd = evt::listen_plain(&target_port, evt::loopback4(1));
        cfg.target = evt::loopback4(1);
        cfg.prefsrc = client_addr;
        cfg.nfs_ssl_port = target_port;
        loop = evl_create("fwd");
        ctx.config = &cfg;
        ctx.evl = loop;
        ASSERT_EQ(evl_listen_ip(loop, evt::loopback4(1), MAX_PAIRS, &forwarder_ops, &ctx), 0);
        listen_port = evt::listener_port(loop);
    }

    void TearDown() override
    {
        evl_destroy(loop);
        for (int fd : clients)
            close(fd);
        close(target_fd);
        exit_ssl_setup();
    }

    // Accepts one client; returns its plain socket, or null when the pairing refused it.
    evl_socket *accept_client()
    {
        clients.push_back(evt::connect_from(client_addr, endpoint{evt::loopback4(1), listen_port}));
        return evl_test_accept(loop);
    }

    evl_socket *secure_of(evl_socket *plain)
    {
        return ctx.pairs[evl_get_socket_context(plain)].secure;
    }

    void loop_closes(evl_socket *s, bool orderly, evl_failure failure = EVL_FAILURE_NONE)
    {
        EXPECT_EQ(evl_test_close(loop, s, failure, orderly), 0);
    }

    static void put(skb *b, size_t n, char c = 'x')
    {
        memset(b->ptr, c, n);
        skb_produce(b, n);
    }

    static bool handed_back(evl_socket *s) { return ask_state(s, is_closing); }

    void expect_slot(int64_t i, evl_socket *plain, evl_socket *secure)
    {
        EXPECT_EQ(ctx.pairs[i].plain, plain);
        EXPECT_EQ(ctx.pairs[i].secure, secure);
        if (plain) {
            EXPECT_EQ(evl_get_socket_context(plain), static_cast<uint64_t>(i));
        }
        if (secure) {
            EXPECT_EQ(evl_get_socket_context(secure), static_cast<uint64_t>(i));
        }
    }

    config cfg{};
    forwarder_ctx ctx{};
    evl *loop = nullptr;
    int target_fd = -1;
    uint16_t target_port = 0;
    uint16_t listen_port = 0;
    address client_addr = evt::loopback4(static_cast<uint8_t>(2 + getpid() % 250));
    std::vector<int> clients;
};

TEST_F(Pairing, ClientsTakeSlotsInOrderAndBytesCrossInBothDirections)
{
    evl_socket *p[3];
    for (auto &plain : p)
        ASSERT_NE(plain = accept_client(), nullptr);
    EXPECT_EQ(ctx.npairs, 3);
    for (int64_t i = 0; i < 3; i++) {
        ASSERT_NE(ctx.pairs[i].secure, nullptr);
        expect_slot(i, p[i], ctx.pairs[i].secure);
        EXPECT_TRUE(ask_state(ctx.pairs[i].secure, is_tls_stream));
    }
    put(p[1]->in_plain, 700);
    forwarder_ops.on_received_data(loop, p[1], p[1]->in_plain, &ctx);
    EXPECT_EQ(p[1]->in_plain->data_size, 0u);
    EXPECT_EQ(secure_of(p[1])->out_plain->data_size, 700u);
    // The other way round the secure side's plaintext waits until the plain side pulls it.
    put(secure_of(p[1])->in_plain, 300);
    forwarder_ops.on_pull_data(loop, p[1], &ctx);
    EXPECT_EQ(p[1]->out_plain->data_size, 300u);
}

TEST_F(Pairing, ClosingPairZeroMovesTheLastPairIntoSlotZero)
{
    evl_socket *p[3];
    for (auto &plain : p)
        ASSERT_NE(plain = accept_client(), nullptr);
    evl_socket *s0 = ctx.pairs[0].secure, *s2 = ctx.pairs[2].secure;
    loop_closes(p[0], false);
    EXPECT_TRUE(handed_back(p[0]));
    EXPECT_TRUE(handed_back(s0));
    EXPECT_EQ(ctx.npairs, 2);
    expect_slot(0, p[2], s2);
    expect_slot(2, nullptr, nullptr);
    put(s2->in_plain, 50);
    forwarder_ops.on_received_data(loop, s2, s2->in_plain, &ctx);
    EXPECT_EQ(p[2]->out_plain->data_size, 50u);

    // Notices that come late for the closed pair touch neither the pair in its old slot nor
    // any other, and never hand an empty slot back.
    forwarder_ops.on_connection_closed(loop, s0, &ctx);
    std::string log = logcap::capture_stdout([&] {
        put(p[0]->in_plain, 10);
        forwarder_ops.on_received_data(loop, p[0], p[0]->in_plain, &ctx);
        forwarder_ops.on_pull_data(loop, s0, &ctx);
    });
    EXPECT_EQ(ctx.npairs, 2);
    expect_slot(0, p[2], s2);
    expect_slot(1, p[1], ctx.pairs[1].secure);
    EXPECT_FALSE(handed_back(p[2]) || handed_back(s2) || handed_back(p[1]));
    EXPECT_EQ(p[0]->in_plain->data_size, 10u);
    EXPECT_EQ(evt::count_of(log, "can't find evl_socket="), 2u) << log;

    // Closing the last pair moves nothing.
    evl_socket *s1 = ctx.pairs[1].secure;
    loop_closes(s1, false);
    EXPECT_EQ(ctx.npairs, 1);
    EXPECT_TRUE(handed_back(p[1]));
    expect_slot(0, p[2], s2);
}

TEST_F(Pairing, AFullTableRefusesUntilAPairCloses)
{
    std::vector<evl_socket *> p;
    for (int i = 0; i < MAX_PAIRS; i++) {
        p.push_back(accept_client());
        ASSERT_NE(p.back(), nullptr) << i;
    }
    size_t sockets = evt::socket_count(loop);
    EXPECT_EQ(accept_client(), nullptr);
    EXPECT_EQ(ctx.npairs, MAX_PAIRS);
    // The refused client's own socket, waiting to be collected, and no secure side.
    EXPECT_EQ(evt::socket_count(loop), sockets + 1) << "a connection was attempted";
    loop_closes(p[100], false);
    evl_socket *again = accept_client();
    ASSERT_NE(again, nullptr);
    expect_slot(MAX_PAIRS - 1, again, ctx.pairs[MAX_PAIRS - 1].secure);
    expect_slot(100, p[MAX_PAIRS - 1], ctx.pairs[100].secure);
}

TEST_F(Pairing, AConnectionThatCannotBeBoundIsRefused)
{
    ASSERT_EQ(parse_address("2001:db8::5", &cfg.prefsrc), 0);
    EXPECT_EQ(accept_client(), nullptr);
    EXPECT_EQ(ctx.npairs, 0);
}

TEST_F(Pairing, OrderlyEndOfThePlainSideHandsItsBytesOnAndTheSecureSideLingers)
{
    evl_socket *quiet = accept_client();
    evl_socket *talker = accept_client();
    evl_socket *quiet_secure = secure_of(quiet), *talker_secure = secure_of(talker);

    // Nothing queued: the ended side goes back at once and its partner lingers.
    std::string log = logcap::capture_stdout([&] { loop_closes(quiet, true); });
    EXPECT_TRUE(handed_back(quiet));
    EXPECT_FALSE(handed_back(quiet_secure));
    EXPECT_TRUE(ask_state(quiet_secure, is_lingering));
    EXPECT_EQ(ctx.npairs, 2);
    expect_slot(0, nullptr, quiet_secure);
    forwarder_ops.on_pull_data(loop, quiet_secure, &ctx);
    forwarder_ops.on_received_data(loop, quiet_secure, quiet_secure->in_plain, &ctx);

    // Bytes sent before the end move to the secure side, whose handshake has not even begun;
    // it lingers all the same, since the loop runs a lingering handshake to its end before it
    // sends what is queued. It has no fixed deadline: the pair's idle wake-up rules now.
    put(talker->in_plain, 4000);
    loop_closes(talker, true);
    EXPECT_EQ(talker_secure->out_plain->data_size, 4000u);
    EXPECT_TRUE(handed_back(talker));
    EXPECT_TRUE(ask_state(talker_secure, is_lingering));
    EXPECT_EQ(talker_secure->due[EVL_TIMER_USER], 0u);
    EXPECT_EQ(talker_secure->due[EVL_TIMER_LINGER], 0u);
    EXPECT_EQ(talker_secure->due[EVL_TIMER_WAKE], ctx.pairs[1].deadline);
    EXPECT_GT(ctx.pairs[1].deadline, evt::now_ns() + PAIR_IDLE_NS - 1000000000);
    expect_slot(1, nullptr, talker_secure);

    // The lingering pair ends with its partner's own notice; the ended side is not handed
    // back a second time.
    log += logcap::capture_stdout([&] { loop_closes(quiet_secure, false); });
    EXPECT_TRUE(handed_back(quiet_secure));
    EXPECT_EQ(evt::count_of(log, "Closing connection on socket " + std::to_string(quiet->fd)), 1u)
        << log;
    EXPECT_EQ(ctx.npairs, 1);
    expect_slot(0, nullptr, talker_secure);

    // An error on the lingering side closes the pair whatever it still holds.
    loop_closes(talker_secure, false);
    EXPECT_TRUE(handed_back(talker_secure));
    EXPECT_EQ(ctx.npairs, 0);
}

TEST_F(Pairing, OrderlyEndOfTheSecureSideWaitsForRoomOnThePlainSide)
{
    evl_socket *first = accept_client();
    evl_socket *slow = accept_client();
    evl_socket *slow_secure = secure_of(slow);
    put(slow->out_plain, SKB_SIZE - 100);
    put(slow_secure->in_plain, 300, 'r');
    loop_closes(slow_secure, true);
    EXPECT_EQ(slow->out_plain->avail, 0u);
    EXPECT_EQ(slow_secure->in_plain->data_size, 200u);
    EXPECT_FALSE(handed_back(slow_secure));

    // Pair 0 closes meanwhile: the draining pair moves into slot 0 and keeps draining there.
    loop_closes(first, false);
    expect_slot(0, slow, slow_secure);

    skb_consume(slow->out_plain, SKB_SIZE - 100);
    skb_compact(slow->out_plain);
    forwarder_ops.on_pull_data(loop, slow, &ctx);
    EXPECT_EQ(slow->out_plain->data_size, 300u);
    EXPECT_TRUE(handed_back(slow_secure));
    EXPECT_TRUE(ask_state(slow, is_lingering));
    expect_slot(0, slow, nullptr);
    loop_closes(slow, false);
    EXPECT_EQ(ctx.npairs, 0);
}

// The receiving side of a drain takes nothing, so its pair gets no callback of its own: the
// pair's wake-up (what the worker does when it is due) finds that nothing moved, not even in
// the kernel, and resets both sides. Another connection's callbacks do not end it.
TEST_F(Pairing, ADrainThatStopsMovingIsResetAtItsWakeUp)
{
    evl_socket *stuck = accept_client();
    evl_socket *other = accept_client();
    evl_socket *stuck_secure = secure_of(stuck);
    put(stuck->out_plain, SKB_SIZE);
    put(stuck_secure->in_plain, 10);
    uint64_t before = evt::now_ns();
    loop_closes(stuck_secure, true);
    EXPECT_FALSE(handed_back(stuck_secure));
    EXPECT_EQ(ctx.pairs[0].state, PAIR_DRAIN_SECURE);
    EXPECT_EQ(stuck->due[EVL_TIMER_WAKE], ctx.pairs[0].deadline);
    EXPECT_GE(ctx.pairs[0].deadline, before + PAIR_IDLE_NS);
    EXPECT_LT(ctx.pairs[0].deadline, evt::now_ns() + PAIR_IDLE_NS);

    ctx.pairs[0].deadline = 1;
    forwarder_ops.on_pull_data(loop, other, &ctx);
    EXPECT_FALSE(handed_back(stuck)) << "no callback polls the drains";

    pthread_mutex_lock(&stuck->mutex);
    set_state(stuck, EVL_SOCK_WOKEN);
    pthread_mutex_unlock(&stuck->mutex);
    std::string log =
        logcap::capture_stdout([&] { forwarder_ops.on_pull_data(loop, stuck, &ctx); });
    EXPECT_TRUE(handed_back(stuck));
    EXPECT_TRUE(handed_back(stuck_secure));
    EXPECT_TRUE(ask_state(stuck, is_aborted)) << "a reset, not a clean end";
    EXPECT_EQ(ctx.npairs, 1);
    expect_slot(0, other, secure_of(other));
    EXPECT_NE(log.find("reset: no byte moved in 15 s, 1048586 bytes left undelivered (0 up, "
                       "1048586 down)"),
              std::string::npos)
        << log;
}

// Why the loop closed a side decides the counter in the status file, the TLS failure line and
// the cause in the pair's close line; a session that failed after its handshake is not a
// handshake failure. Each loss resets the pair.
TEST_F(Pairing, EachFailureHasItsCounterAndItsCause)
{
    using counter = uint64_t port_counters::*;
    struct failure_case {
        bool client; // the plain side failed, else the secure side
        evl_failure failure;
        counter count; // null: no counter but reset_pairs
        const char *tls_line;
        const char *cause;
    } cases[] = {
        {false, EVL_FAILURE_CONNECT, &port_counters::connect_failures, nullptr,
         "the mount target could not be reached"},
        {false, EVL_FAILURE_CONNECT_TIMEOUT, &port_counters::connect_failures, nullptr,
         "the mount target was not reached in time"},
        {false, EVL_FAILURE_HANDSHAKE, &port_counters::handshake_failures, "TLS handshake with",
         "the mount target failed the TLS handshake"},
        {false, EVL_FAILURE_HANDSHAKE_TIMEOUT, &port_counters::handshake_failures,
         "TLS handshake with", "the mount target did not finish the TLS handshake in time"},
        {false, EVL_FAILURE_VERIFY, &port_counters::verify_failures, "TLS verification of",
         "the mount target presented a certificate that was refused"},
        {false, EVL_FAILURE_SESSION, &port_counters::session_failures, "TLS session with",
         "the mount target failed the TLS session"},
        {false, EVL_FAILURE_RESET, nullptr, nullptr, "the mount target reset the connection"},
        {false, EVL_FAILURE_TRUNCATED, nullptr, nullptr,
         "the mount target ended its TCP stream without a TLS close_notify"},
        {false, EVL_FAILURE_DEADLINE, nullptr, nullptr,
         "the mount target let the idle deadline pass"},
        {true, EVL_FAILURE_NONE, nullptr, nullptr, "the client ended the connection"},
        {true, EVL_FAILURE_RESET, nullptr, nullptr, "the client reset the connection"},
    };
    const counter failure_counters[] = {
        &port_counters::connect_failures, &port_counters::handshake_failures,
        &port_counters::verify_failures, &port_counters::session_failures};
    port_counters &port = ctx.ports[0];
    for (const failure_case &c : cases) {
        SCOPED_TRACE(testing::Message() << (c.client ? "client " : "target ") << int(c.failure));
        evl_socket *plain = accept_client();
        evl_socket *secure = secure_of(plain);
        // The TLS failure lines of a port are spaced out; every case starts afresh.
        port.failure_lines = report_limit{};
        port_counters before = port;
        std::string log = logcap::capture_stdout(
            [&] { loop_closes(c.client ? plain : secure, false, c.failure); });
        for (counter k : failure_counters)
            EXPECT_EQ(port.*k, before.*k + (k == c.count ? 1 : 0));
        EXPECT_EQ(port.reset_pairs, before.reset_pairs + 1);
        EXPECT_EQ(port.live_pairs, before.live_pairs - 1);
        EXPECT_TRUE(ask_state(c.client ? secure : plain, is_aborted));
        EXPECT_EQ(evt::count_of(log, std::string(", reset: ") + c.cause +
                                         ", 0 bytes left undelivered (0 up, 0 down)"),
                  1u)
            << log;
        EXPECT_EQ(evt::count_of(log, " failed for client "), c.tls_line ? 1u : 0u) << log;
        if (c.tls_line) {
            EXPECT_NE(log.find(std::string(c.tls_line) + " mount target "), std::string::npos)
                << log;
        }
    }
    EXPECT_EQ(ctx.npairs, 0);
}

} // namespace
