// One epoll worker thread per loop owns every socket: it accepts, connects, receives, sends,
// runs the TLS sessions over in-memory BIO pairs and calls its user through evl_ops.
//
// Threads and locks. The owner thread creates, starts, stops and destroys a loop and may open
// listeners and connections; the worker does everything else and runs every callback. The loop
// lock is always taken before a socket lock. Callbacks run with no socket lock held; those
// called from the TLS pump and from the timer pass (connect retries, lingering) run with the
// loop lock held, so every callback may call only evl_send, evl_send_skbuf, evl_close,
// evl_linger and the context accessors, except on_new_connection, which runs with no lock held
// and may also connect.
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
// Failed connection attempts are retried after these delays, then the socket is closed.
inline constexpr int EVL_CONNECT_RETRIES = 4;

enum evl_sock_flags : uint32_t {
    EVL_SOCK_REGISTERED = 0x01,
    EVL_SOCK_OPEN = 0x02,
    EVL_SOCK_LISTENING = 0x04,
    EVL_SOCK_CLOSING = 0x08,
    EVL_SOCK_SECURE = 0x10,
    // Set before on_connection_closed when the peer ended in order: end of stream, or a TLS
    // close_notify. Clear for a reset, a TLS failure, an error event or a lingering close.
    EVL_SOCK_PEER_EOF = 0x20,
    // The loop's own state; users only read it in log lines, if at all.
    // A connect that failed at once waits for its next attempt (retry_due); not in epoll.
    EVL_SOCK_CONNECT_RETRY = 0x40,
    // evl_linger: sending what is queued, not reading, closed once drained or at the deadline.
    EVL_SOCK_LINGER = 0x80,
    // The peer shut its side down; reading goes on until end of stream without EPOLLRDHUP.
    EVL_SOCK_DRAINING = 0x100,
    // A secure socket read end of stream; the pump decrypts what is left and then closes it.
    EVL_SOCK_READ_EOF = 0x200,
    // A lingering secure socket has written its close_notify (or had no session to close).
    EVL_SOCK_TLS_SHUTDOWN = 0x400,
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
    // Outgoing connections: the local endpoint as passed in, for the retry messages.
    endpoint local;
    // EVL_SOCK_CONNECT_RETRY: the monotonic time of the next attempt and failures so far.
    uint64_t retry_due;
    int retry_failures;
    // EVL_SOCK_LINGER: the monotonic time at which the socket is closed whatever it holds.
    uint64_t linger_deadline;
    // The whole event mask last given to epoll_ctl, EPOLLERR and EPOLLRDHUP included.
    uint32_t armed_mask;
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
    // Worker only: the earliest connect retry or linger deadline seen by the last re-arm pass,
    // 0 for none; the wait never sleeps past it.
    uint64_t next_due;
};

// Life cycle (owner thread).
evl *evl_create(const char *name);
void evl_start(evl *evl);
void evl_stop(evl *evl);
void evl_clean_all_sockets(evl *evl);
int evl_destroy(evl *evl);

// Close-and-collect: always returns null so callers can drop their reference in one statement.
// A socket that the loop closed (on_connection_closed) but that is not yet handed back keeps
// its buffers: its in_plain stays readable through evl_in_plain until evl_close.
evl_socket *evl_close(evl *evl, evl_socket *sock);
void evl_set_socket_context(evl_socket *sock, uint64_t value);
uint64_t evl_get_socket_context(evl_socket *sock);

// Listening and connecting; must not be called with the loop lock held.
[[nodiscard]] int evl_listen(evl *evl, int backlog, const evl_ops *ops, void *arg, endpoint ep);
[[nodiscard]] int evl_listen_ip(evl *evl, address addr, int backlog, const evl_ops *ops, void *arg);
[[nodiscard]] int evl_secure_listen(evl *evl, int backlog, const evl_ops *ops, void *arg,
                                    endpoint ep);
// Null only when the descriptor cannot be made or bound. A connect that fails at once does not
// block: the socket comes back waiting for a retry (1, 2, 5, 10 s later), queues what the user
// sends meanwhile, and is closed through on_connection_closed after the last retry fails.
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

// Ends a connection in order (worker thread, from callbacks). The socket stops reading but
// goes on sending what it holds; a secure socket then writes its TLS close_notify. Once
// out_plain, net_out and the BIO pair are empty, or once `deadline` (monotonic ns) has passed,
// the worker closes it through on_connection_closed with EVL_SOCK_PEER_EOF clear; an error on
// the socket ends lingering early. Queue everything that should still go out before calling:
// a secure socket refuses data (evl_send gives -1) once its close_notify is written.
// Returns -1 for a null or no longer open socket, 0 otherwise.
int evl_linger(evl *evl, evl_socket *sock, uint64_t deadline);

// Renders an epoll mask ("IN,ERR,RDHUP") at the end of buf; returns where the text starts.
char *sprintf_epollbits(skb *buf, uint32_t mask);
