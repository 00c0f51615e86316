// Pairs every accepted plain connection with one TLS connection to the mount target.
#pragma once

#include "config.h"
#include "event-loop.h"
#include "report.h"

inline constexpr int MAX_PAIRS = 256;
// Deadline handed with every move of bytes (the loop never waits on it).
inline constexpr uint64_t FORWARD_DEADLINE_NS = 5000000000;
// Once a side of a pair has ended, the pair lives on while bytes keep moving: it is given up
// (both sides reset) only when no byte has moved either way for this long. It is longer than
// the handshake deadline, so a slow handshake is never cut short by it.
inline constexpr uint64_t PAIR_IDLE_NS = 15000000000;
static_assert(PAIR_IDLE_NS >= EVL_HANDSHAKE_TIMEOUT_S * 1000000000ull);

// An orderly end passed on, per direction: the client's end of stream as the secure side's
// close_notify (up), the mount target's close_notify as the plain side's end of stream (down).
enum pair_end : uint8_t {
    PAIR_UP_ENDED = 1,
    PAIR_DOWN_ENDED = 2,
    PAIR_BOTH_ENDED = 3,
};

// Both sides of a live pair stay open after one of them ends in order; the end travels behind
// the bytes, one direction at a time (pair_end). A pair whose one side failed after its peer
// had ended in order (a reset right after the last reply and its close_notify) is not closed
// at once either: what that side received before its end must still leave through the other.
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

// The daemon's four listening ports (rpcbind, mount, nfs, nlm). Every pair counts toward the
// port its client came in on; the status file shows these counters.
inline constexpr int FORWARDER_PORTS = 4;
// Log lines about refused clients and failed TLS sessions go out at most once per port and
// kind in this time; the next line says how many were held back.
inline constexpr uint64_t FAILURE_LINE_INTERVAL_NS = 10000000000;

struct port_counters {
    uint16_t port;               // 0: slot not yet taken
    uint64_t accepted;           // connections accepted, those refused at once included
    uint64_t refused_at_limit;   // closed at once: MAX_PAIRS pairs were live
    uint64_t connect_failures;   // the mount target could not be reached in time
    uint64_t handshake_failures; // the TLS handshake failed, ended or timed out
    uint64_t verify_failures;    // the mount target's certificate was refused
    uint64_t session_failures;   // the TLS session failed after its handshake
    uint64_t reset_pairs;        // pairs ended with a reset: something could not be delivered
    int64_t live_pairs;
    uint64_t bytes_up;   // client to mount target, plaintext, handed to the kernel
    uint64_t bytes_down; // mount target to client, plaintext, handed to the kernel
    report_limit refusal_lines;
    report_limit failure_lines;
};

// What the close line of a pair reports; moved with the pair's slot.
struct pair_record {
    endpoint client;
    endpoint target;
    uint64_t opened_ns;
    uint64_t up;
    uint64_t down;
    uint8_t port; // index into forwarder_ctx.ports
};

// Everything kept per pair, so that it moves as one when the table is compacted.
struct forwarder_pair {
    evl_socket *plain;
    evl_socket *secure;
    uint8_t state; // pair_state
    uint8_t ends;  // pair_end bits
    // Once a side has ended, the idle deadline last given to the pair's sockets
    // (evl_set_deadline), so that the pair ends at it even when nothing else happens.
    uint64_t deadline;
    // The time the pair's wake-up (evl_set_wake) is set for, 0 for none; at it the pair
    // checks its deadline.
    uint64_t wake;
    // What the kernel held for the pair's peers at its last wake-up: a queue that shrinks is
    // progress too, though the daemon sees no callback for it.
    uint64_t kernel_unsent;
    pair_record record;
};

struct forwarder_ctx {
    struct config *config;
    struct evl *evl;
    // The table the secure side of every pair is given, like the listeners: forwarder_ops when
    // null; a test may wrap it to watch the callbacks of both sides.
    const evl_ops *ops;
    forwarder_pair pairs[MAX_PAIRS];
    int64_t npairs;
    // Written by the worker only; the status file is written from the worker too.
    port_counters ports[FORWARDER_PORTS];
};

extern const evl_ops forwarder_ops;

void close_connection_pair(forwarder_ctx *ctx, int64_t i);
// Gives a listening port its counters, in the order of the calls; before the loop starts.
void forwarder_add_port(forwarder_ctx *ctx, uint16_t port);
