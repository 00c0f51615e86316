// Pairs every accepted plain connection with one TLS connection to the mount target.
#pragma once

#include "config.h"
#include "event-loop.h"
#include "report.h"

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
    int64_t live_pairs;
    uint64_t bytes_up;   // client to mount target, plaintext
    uint64_t bytes_down; // mount target to client, plaintext
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
    pair_record record[MAX_PAIRS];
    // Written by the worker only; the status file is written from the worker too.
    port_counters ports[FORWARDER_PORTS];
};

extern const evl_ops forwarder_ops;

void close_connection_pair(forwarder_ctx *ctx, int64_t i);
// Gives a listening port its counters, in the order of the calls; before the loop starts.
void forwarder_add_port(forwarder_ctx *ctx, uint16_t port);
