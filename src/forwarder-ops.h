// Pairs every accepted plain connection with one TLS connection to the mount target.
#pragma once

#include "config.h"
#include "event-loop.h"

inline constexpr int MAX_PAIRS = 256;
// Deadline handed with every move of bytes, and the time a side that ended in order gets for
// what it sent to leave through the other side.
inline constexpr uint64_t FORWARD_DEADLINE_NS = 5000000000;

// A pair whose one side ended in order (end of stream, TLS close_notify) is not closed at once:
// what that side received before its end must still leave through the other side.
enum pair_state : uint8_t {
    PAIR_LIVE = 0,
    // The plain side ended and is kept while its in_plain still holds bytes for the secure
    // side.
    PAIR_DRAIN_PLAIN = 1,
    // The secure side ended and is kept while its in_plain still holds bytes for the plain side.
    PAIR_DRAIN_SECURE = 2,
    // The ended side is handed back and its slot is empty; the other side lingers until it
    // has sent everything or its deadline passes, and its own close notice ends the pair.
    PAIR_LINGER = 3,
};
static_assert(PAIR_LIVE == 0, "a zero-filled table holds live states");

struct forwarder_ctx {
    struct config *config;
    struct evl *evl;
    evl_socket *plain_side[MAX_PAIRS];
    evl_socket *secure_side[MAX_PAIRS];
    int64_t npairs;
    // Per slot, moved together with the two sockets when the table is compacted.
    uint8_t state[MAX_PAIRS];
    // While a pair drains, its deadline; it is also the receiving side's loop deadline
    // (evl_set_deadline), so the pair closes at it even when nothing else happens.
    uint64_t deadline[MAX_PAIRS];
};

extern const evl_ops forwarder_ops;

void close_connection_pair(forwarder_ctx *ctx, int64_t i);
