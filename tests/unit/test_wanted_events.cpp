// The epoll mask the re-arm pass asks for, one row per socket state: a wrong bit is a socket
// that spins on a hang-up, never reads again or never sends what it holds.
#include <gtest/gtest.h>

#include <sys/epoll.h>

#include "event-loop-internal.h"

namespace
{

constexpr uint32_t IN = EPOLLIN, OUT = EPOLLOUT, ERR = EPOLLERR, RDHUP = EPOLLRDHUP;

struct wanted_case {
    const char *name;
    uint8_t kind;
    uint32_t flags;
    bool to_send;      // net_out holds data
    bool in_full;      // in_plain has no room
    uint32_t expected; // 0: out of epoll
};

constexpr uint8_t SECURE_OUT = EVL_KIND_SECURE | EVL_KIND_OUTGOING;
constexpr uint32_t OPEN = EVL_SOCK_OPEN;

constexpr wanted_case cases[] = {
    {"plain listener", EVL_KIND_LISTENING, OPEN, false, false, IN | ERR | RDHUP},
    {"secure listener", EVL_KIND_LISTENING | EVL_KIND_SECURE, OPEN, false, false, IN | ERR | RDHUP},
    {"plain open with room", 0, OPEN, false, false, IN | ERR | RDHUP},
    {"plain open, in_plain full", 0, OPEN, false, true, ERR | RDHUP},
    {"plain open with data to send", 0, OPEN, true, false, IN | OUT | ERR | RDHUP},
    {"lingering plain reads nothing", 0, OPEN | EVL_SOCK_LINGER, true, false, OUT | ERR | RDHUP},
    {"lingering secure reads on", EVL_KIND_SECURE, OPEN | EVL_SOCK_LINGER, false, false,
     IN | ERR | RDHUP},
    {"draining with room", 0, OPEN | EVL_SOCK_DRAINING, false, false, IN | ERR},
    {"draining with nothing to do", 0, OPEN | EVL_SOCK_DRAINING, false, true, 0},
    {"read end of stream, data to send", EVL_KIND_SECURE,
     OPEN | EVL_SOCK_READ_EOF | EVL_SOCK_DRAINING, true, false, OUT | ERR},
    {"read end of stream, nothing to send", EVL_KIND_SECURE,
     OPEN | EVL_SOCK_READ_EOF | EVL_SOCK_DRAINING, false, false, 0},
    {"peer ended, not draining", 0, OPEN | EVL_SOCK_PEER_EOF, false, false, ERR | RDHUP},
    {"connect in progress", SECURE_OUT, OPEN | EVL_SOCK_CONNECTING, false, false,
     IN | OUT | ERR | RDHUP},
    {"connect retry", SECURE_OUT, OPEN | EVL_SOCK_CONNECTING | EVL_SOCK_CONNECT_RETRY, true, false,
     0},
    {"half-open after the peer's end, data to send", SECURE_OUT,
     OPEN | EVL_SOCK_HALF_OPEN | EVL_SOCK_PEER_EOF | EVL_SOCK_DRAINING, true, false, OUT | ERR},
    {"half-open after the peer's end, all sent", SECURE_OUT,
     OPEN | EVL_SOCK_HALF_OPEN | EVL_SOCK_PEER_EOF | EVL_SOCK_DRAINING, false, false, 0},
    {"write done reads on", SECURE_OUT, OPEN | EVL_SOCK_SHUTDOWN | EVL_SOCK_WRITE_DONE, false,
     false, IN | ERR | RDHUP},
    {"closed by the loop", SECURE_OUT, EVL_SOCK_REGISTERED, true, false, 0},
    {"handed back", 0, EVL_SOCK_CLOSING | EVL_SOCK_REGISTERED, true, false, 0},
};

// A record as the loop builds it, with nothing but its kind, state and buffers.
struct socket_record {
    evl_socket s = {};

    explicit socket_record(const wanted_case &c)
    {
        s.kind = c.kind;
        s.flags = c.flags;
        s.in_plain = skb_create(SKB_SIZE);
        s.out_plain = skb_create(SKB_SIZE);
        s.net_in = s.in_plain;
        s.net_out = s.out_plain;
        if (is_tls_stream(&s)) {
            s.in_cipher = skb_create(SKB_SIZE);
            s.out_cipher = skb_create(SKB_SIZE);
            s.net_in = s.in_cipher;
            s.net_out = s.out_cipher;
        }
        if (c.to_send)
            skb_produce(s.net_out, 100);
        if (c.in_full)
            skb_produce(s.in_plain, s.in_plain->avail);
    }
    ~socket_record()
    {
        for (skb *b : {s.in_plain, s.out_plain, s.in_cipher, s.out_cipher})
            if (b)
                skb_destroy(b);
    }
};

TEST(WantedEvents, OneMaskPerSocketState)
{
    uint8_t storage[128];
    for (const wanted_case &c : cases) {
        socket_record r(c);
        uint32_t got = wanted_events(&r.s);
        skb text{storage, sizeof(storage), storage, storage, 0, sizeof(storage), 0};
        const char *expected = sprintf_epollbits(&text, c.expected);
        const char *seen = sprintf_epollbits(&text, got);
        EXPECT_EQ(got, c.expected) << c.name << ": want " << expected << ", got " << seen;
    }
}

} // namespace
