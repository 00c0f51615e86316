// One epoll worker thread per loop owns every socket: it accepts, connects, receives, sends,
// runs the TLS sessions over in-memory BIO pairs and calls its user through evl_ops.
#pragma once

#include <pthread.h>
#include <sys/epoll.h>

#include <openssl/ssl.h>

#include "list.h"
#include "mbuf.h"
#include "util.h"

inline constexpr int EVL_MAX_EVENTS = 65536;
inline constexpr int EVL_WAIT_TIMEOUT_MS = 5000;
inline constexpr int SSL_BIO_SIZE = 17408;
inline constexpr uint64_t SNDBUF_SZ = 1048576;
inline constexpr uint64_t RCVBUF_SZ = 1048576;

enum evl_sock_flags : uint32_t {
    EVL_SOCK_REGISTERED = 0x01,
    EVL_SOCK_OPEN = 0x02,
    EVL_SOCK_LISTENING = 0x04,
    EVL_SOCK_CLOSING = 0x08,
    EVL_SOCK_SECURE = 0x10,
};

struct evl;
struct evl_socket;

struct evl_ops {
    int (*on_new_connection)(evl *evl, evl_socket *sock, uint16_t peer_port, void *arg,
                             endpoint listener);
    void (*on_received_data)(evl *evl, evl_socket *sock, skb *in_plain, void *arg);
    void (*on_pull_data)(evl *evl, evl_socket *sock, void *arg);
    void (*on_connection_closed)(evl *evl, evl_socket *sock, void *arg);
};

struct evl_socket {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    endpoint ep;
    int fd;
    uint32_t flags;
    uint32_t desired_events;
    uint32_t armed_events;
    list_node loop_link;
    list_node secure_link;
    skb *in_plain;
    skb *out_plain;
    skb *in_cipher;
    skb *out_cipher;
    skb *net_out;
    skb *net_in;
    evl_ops ops;
    void *arg;
    SSL *ssl;
    BIO *plain;
    BIO *cipher;
    uint64_t context;
};

struct evl {
    const char *name;
    pthread_t thr;
    pthread_mutex_t mutex;
    int stop;
    int epollfd;
    int eventfd;
    list_head sockets;
    list_head secure_queue;
    struct epoll_event events[EVL_MAX_EVENTS];
    // Run first on the worker thread, for per-thread state (capabilities) that the owner set
    // up differently for itself; set before evl_start, may stay null.
    void (*on_worker_start)(struct evl *evl);
};

// Life cycle (owner thread).
evl *evl_create(const char *name);
void evl_start(evl *evl);
void evl_stop(evl *evl);
void evl_clean_all_sockets(evl *evl);
int evl_destroy(evl *evl);

// Close-and-collect: always returns null so callers can drop their reference in one statement.
evl_socket *evl_close(evl *evl, evl_socket *sock);
void evl_set_socket_context(evl_socket *sock, uint64_t value);
uint64_t evl_get_socket_context(evl_socket *sock);

// Listening and connecting; must not be called with the loop lock held.
[[nodiscard]] int evl_listen(evl *evl, int backlog, const evl_ops *ops, void *arg, endpoint ep);
[[nodiscard]] int evl_listen_ip(evl *evl, address addr, int backlog, const evl_ops *ops,
                                void *arg);
[[nodiscard]] int evl_secure_listen(evl *evl, int backlog, const evl_ops *ops, void *arg,
                                    endpoint ep);
evl_socket *evl_secure_connect(evl *evl, const evl_ops *ops, void *arg, endpoint local,
                               endpoint remote);
void set_socket_options(int fd);

// Sending (worker thread, from callbacks) and flushing (any other thread).
int evl_send(evl *evl, evl_socket *sock, const void *data, uint64_t size, uint64_t deadline,
             uint64_t *sent, uint64_t *now);
int evl_send_skbuf(evl *evl, evl_socket *sock, skb *skb, uint64_t deadline, uint64_t *sent,
                   uint64_t *now);
skb *evl_in_plain(evl_socket *sock);
int evl_flush(evl *evl, evl_socket *sock, uint64_t deadline, uint64_t *now);

// Renders an epoll mask ("IN,ERR,RDHUP") at the end of buf; returns where the text starts.
char *sprintf_epollbits(skb *buf, uint32_t mask);
