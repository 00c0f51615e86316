// Pairs every accepted plain connection with one TLS connection to the mount target.
#pragma once

#include "config.h"
#include "event-loop.h"

inline constexpr int MAX_PAIRS = 256;

struct forwarder_ctx {
    struct config *config;
    struct evl *evl;
    evl_socket *plain_side[MAX_PAIRS];
    evl_socket *secure_side[MAX_PAIRS];
    int64_t npairs;
};

extern const evl_ops forwarder_ops;

void close_connection_pair(forwarder_ctx *ctx, int64_t i);
