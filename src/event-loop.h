// One epoll worker thread per loop owns every socket: it accepts, connects, receives, sends,
// runs the TLS sessions over in-memory BIOs and calls its user through evl_ops.
//
// Threads and locks. The owner thread creates, starts, stops and destroys a loop and may open
// listeners and connections; the worker does everything else and runs every callback. The loop
// lock is always taken before a socket lock. Callbacks run with no socket lock held; those
// called from the TLS pump, from the timer pass (deadlines, connect retries, lingering) and
// from the sends made just before the wait run with the loop lock held, so every callback may call
// only evl_send, evl_send_skbuf, evl_close, evl_linger, evl_set_deadline and the context accessors,
// except on_new_connection, which runs with no lock held and may also connect.
//
// Deadlines. Every socket carries a small table of deadlines on the monotonic clock, one per
// reason (next connect attempt, connection established, TLS handshake finished, lingering, the
// user's own). The worker never sleeps past the earliest of them and acts on each one that has
// passed at the end of the iteration, so a deadline holds on an idle loop as on a busy one.
#pragma once

#include <pthread.h>

#include <atomic>
#include <sys/epoll.h>

#include <openssl/ssl.h>

#include "list.h"
#include "mbuf.h"
#include "util.h"

inline constexpr int EVL_MAX_EVENTS = 65536;
inline constexpr int EVL_WAIT_TIMEOUT_MS = 5000;
inline constexpr uint64_t SNDBUF_SZ = 1048576;
inline constexpr uint64_t RCVBUF_SZ = 1048576;
// Failed connection attempts are retried after these delays, then the socket is closed.
inline constexpr int EVL_CONNECT_RETRIES = 4;
// An outgoing connection must be established within this time of evl_secure_connect, all its
// attempts included, and a TLS session must finish its handshake within the same time of its
// connection being established; otherwise the socket is closed with a WARN line that says which.
inline constexpr int EVL_CONNECT_TIMEOUT_S = 10;
inline constexpr int EVL_HANDSHAKE_TIMEOUT_S = 10;
// A mount target that goes silent is detected within about 55 s on an established TLS
// connection: idle, the first keepalive probe leaves after 25 s and TCP_USER_TIMEOUT ends the
// connection 55 s after the last sign of life, while probes go unanswered (the keepalive count
// is what ends it where TCP_USER_TIMEOUT is not honoured: 25 + 3 * 10 = 55 s); with data
// unacknowledged, TCP_USER_TIMEOUT ends it 55 s after the oldest unacknowledged segment left.
inline constexpr int EVL_KEEPIDLE_S = 25;
inline constexpr int EVL_KEEPINTVL_S = 10;
inline constexpr int EVL_KEEPCNT = 3;
inline constexpr int EVL_USER_TIMEOUT_MS = 55000;

// A socket's state; what kind of socket it is (listening, secure, outgoing) is fixed when it is
// made and kept apart (evl_sock_kind). Read through the loop's predicates, never as masks.
enum evl_sock_flags : uint32_t {
    EVL_SOCK_REGISTERED = 0x01,
    EVL_SOCK_OPEN = 0x02,
    EVL_SOCK_CLOSING = 0x08,
    // Set before on_connection_closed when the peer ended in order: end of stream, or a TLS
    // close_notify. Clear for a reset, a TLS failure, an error event or a lingering close.
    EVL_SOCK_PEER_EOF = 0x20,
    // The loop's own state; users only read it in log lines, if at all.
    // A connect that failed at once waits for its next attempt (EVL_TIMER_RETRY); not in epoll.
    EVL_SOCK_CONNECT_RETRY = 0x40,
    // evl_linger: sending what is queued, then closed once drained or at the deadline. A plain
    // socket reads nothing meanwhile; a secure one reads on, for its handshake and for the
    // peer's answer to its close_notify.
    EVL_SOCK_LINGER = 0x80,
    // The peer shut its side down; reading goes on until end of stream without EPOLLRDHUP.
    EVL_SOCK_DRAINING = 0x100,
    // A secure socket read end of stream; the pump decrypts what is left and then closes it.
    EVL_SOCK_READ_EOF = 0x200,
    // A lingering secure socket has written its close_notify (or had no session to close).
    EVL_SOCK_TLS_SHUTDOWN = 0x400,
    // An outgoing connection not yet known to be established.
    EVL_SOCK_CONNECTING = 0x1000,
    // The TLS pump failed on the socket (report_tls_failure).
    EVL_SOCK_TLS_FAILED = 0x2000,
    // evl_allow_half_open: an orderly end of the peer's side (end of stream, or a TLS
    // close_notify) does not close the socket; on_received_data tells of it instead
    // (evl_peer_ended), and the socket can still send until its user ends it.
    EVL_SOCK_HALF_OPEN = 0x4000,
    // evl_shutdown: the write side ends in order once everything queued has gone out.
    EVL_SOCK_SHUTDOWN = 0x8000,
    // The write side has ended: end of stream sent (plain) or close_notify out (secure).
    EVL_SOCK_WRITE_DONE = 0x10000,
    // evl_abort: the collection ends the connection with a reset, whatever it still holds.
    EVL_SOCK_ABORT = 0x20000,
    // Reading failed (a reset) or an error condition was seen: what came before it is still
    // read and decrypted, and then the socket fails instead of ending in order.
    EVL_SOCK_READ_FAILED = 0x40000,
    // The wake-up of evl_set_wake is due: the on_pull_data that follows is it (evl_woken).
    EVL_SOCK_WOKEN = 0x80000,
    // The TLS handshake has finished; a session that fails later fails as a session.
    EVL_SOCK_TLS_UP = 0x100000,
};

// Why the loop closed an outgoing connection, for its user's counters and log lines; set
// before on_connection_closed. A socket its user ended (evl_linger) failed only if its TLS
// session failed or its certificate was refused: giving up on it is no failure of the server.
enum evl_failure : uint8_t {
    EVL_FAILURE_NONE = 0,
    EVL_FAILURE_CONNECT,           // not established: refused, unreachable or out of retries
    EVL_FAILURE_CONNECT_TIMEOUT,   // not established within the connect deadline
    EVL_FAILURE_HANDSHAKE,         // the handshake failed or the server ended it
    EVL_FAILURE_HANDSHAKE_TIMEOUT, // the handshake did not finish within its deadline
    EVL_FAILURE_VERIFY,            // the server's certificate was refused
    EVL_FAILURE_SESSION,           // the TLS session failed after its handshake
    EVL_FAILURE_RESET,             // the peer reset the connection, or an error condition
    EVL_FAILURE_TRUNCATED,         // the TCP stream ended without a TLS close_notify
    EVL_FAILURE_DEADLINE,          // the user's deadline (evl_set_deadline) passed
};

// The reasons a socket waits for a point in time; each has its slot in evl_socket.due.
enum evl_timer : int {
    EVL_TIMER_RETRY,     // the next connection attempt (EVL_SOCK_CONNECT_RETRY)
    EVL_TIMER_CONNECT,   // the outgoing connection must be established
    EVL_TIMER_HANDSHAKE, // the TLS handshake must be finished
    EVL_TIMER_LINGER,    // evl_linger's deadline
    EVL_TIMER_USER,      // evl_set_deadline
    EVL_TIMER_WAKE,      // evl_set_wake
    EVL_TIMERS,
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

// Life cycle (owner thread).
evl *evl_create(const char *name);
// Before evl_start, either may be null. on_worker_start runs first on the worker thread, for
// per-thread state (capabilities) that the owner set up differently for itself. on_iteration
// runs on the worker at the top of every iteration, before it waits, with no lock held (a
// heartbeat that shows the data path turning); it may call evl_wake_by.
void evl_set_worker_hooks(evl *evl, void (*on_worker_start)(struct evl *evl),
                          void (*on_iteration)(struct evl *evl));
// Worker only, from on_iteration: the coming wait does not sleep past `when` (monotonic ns).
void evl_wake_by(evl *evl, uint64_t when);
void evl_start(evl *evl);
void evl_stop(evl *evl);
void evl_clean_all_sockets(evl *evl);
int evl_destroy(evl *evl);

// Close-and-collect: always returns null so callers can drop their reference in one statement.
// A socket that the loop closed (on_connection_closed) but that is not yet handed back keeps
// its buffers: its in_plain stays readable through evl_in_plain until evl_close.
evl_socket *evl_close(evl *evl, evl_socket *sock);
void evl_set_socket_context(evl_socket *sock, uint64_t value);
// Why the loop closed the socket, with the TLS library's error code for a failed session (0
// when there is none); valid from on_connection_closed until evl_close.
evl_failure evl_get_failure(evl_socket *sock, unsigned long *tls_error);
uint64_t evl_get_socket_context(evl_socket *sock);
// The errno of the socket's last failed receive, send or error condition, 0 for none.
int evl_get_error(evl_socket *sock);
// The peer's endpoint: the client's for an accepted socket, the server's for an outgoing one.
endpoint evl_socket_endpoint(const evl_socket *sock);
// Why the server's certificate was refused (EVL_FAILURE_VERIFY), in words; valid from
// on_connection_closed until evl_close.
void evl_describe_refusal(evl_socket *sock, char *text, size_t size);
// The handshake deadline of the loop's TLS sessions.
uint64_t evl_handshake_timeout_ns(const evl *evl);

// Half-open connections (worker thread, from callbacks, or before the socket is in use).
// After evl_allow_half_open, the peer's orderly end (end of stream; for a secure socket its
// close_notify, after everything before it is decrypted) leaves the socket open: the loop
// calls on_received_data, and from then on evl_peer_ended is true. A secure socket whose TCP
// stream ends without a close_notify fails instead (EVL_FAILURE_TRUNCATED), and so does a
// socket that is reset, after everything it received before the reset has been delivered.
void evl_allow_half_open(evl_socket *sock);
bool evl_peer_ended(evl_socket *sock);
// Ends the write side in order once everything queued has gone out: an end of stream on a
// plain socket, a close_notify on a secure one (after its handshake). The socket keeps
// reading. evl_write_done is true from then on; the loop calls on_pull_data when it happens.
// Returns -1 for a null or no longer open socket.
int evl_shutdown(evl *evl, evl_socket *sock);
bool evl_write_done(evl_socket *sock);
// True for a plain socket, and for a secure one once its TLS handshake has finished.
bool evl_handshake_done(evl_socket *sock);
// Bytes queued for sending that have not reached the kernel yet: plaintext not yet encrypted,
// and ciphertext, for a secure socket whose session has not failed. Valid until evl_close.
uint64_t evl_unsent(evl_socket *sock);
// The plaintext part of evl_unsent: bytes queued with evl_send that were never encrypted (a
// secure socket) or sent (a plain one).
uint64_t evl_unsent_plaintext(evl_socket *sock);
// Bytes the kernel still holds for the peer: not yet sent, or sent and not yet acknowledged.
uint64_t evl_kernel_unsent(evl_socket *sock);
// Hands the socket back like evl_close, and its connection ends with a reset (SO_LINGER
// {1, 0}) that discards whatever it still holds, so that the peer sees a failure, never a
// clean end.
evl_socket *evl_abort(evl *evl, evl_socket *sock);

// Listening and connecting; must not be called with the loop lock held. A listener that
// cannot be bound gives the negated errno value of the bind.
[[nodiscard]] int evl_listen(evl *evl, int backlog, const evl_ops *ops, void *arg, endpoint ep);
[[nodiscard]] int evl_listen_ip(evl *evl, address addr, int backlog, const evl_ops *ops, void *arg);
[[nodiscard]] int evl_secure_listen(evl *evl, int backlog, const evl_ops *ops, void *arg,
                                    endpoint ep);
// Null only when the descriptor cannot be made or bound. A connect that fails at once does not
// block: the socket comes back waiting for a retry (1, 2, 5, 10 s later) and queues what the
// user sends meanwhile. A connection that is not established when the connect deadline passes
// (EVL_CONNECT_TIMEOUT_S after this call, retries included, so the 10-second retry is never
// made with the default deadline), or whose retries run out first, is closed through
// on_connection_closed. Once established, the socket starts its TLS handshake at once, and
// a handshake not finished within EVL_HANDSHAKE_TIMEOUT_S closes it the same way.
// The socket carries TCP keepalive and TCP_USER_TIMEOUT (the EVL_KEEP* constants). When it is
// collected while its peer has not ended its side, it is closed abortively (a reset), so that
// no TIME_WAIT is left on the client's port, which the client's next connection mirrors again,
// also on hosts without TCP timestamps.
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
// out_plain and net_out are empty, or once `deadline` (monotonic ns) has passed,
// the worker closes it through on_connection_closed with EVL_SOCK_PEER_EOF clear; an error on
// the socket ends lingering early. Queue everything that should still go out before calling:
// a secure socket refuses data (evl_send gives -1) once its close_notify is written.
// Returns -1 for a null or no longer open socket, 0 otherwise.
// A secure socket keeps reading while it lingers: a handshake still under way runs to its end
// and then carries what was queued, and after its close_notify the socket waits for the peer's
// answer (its close_notify or its end of stream), so that the abortive close that follows
// loses nothing the peer was still to read.
int evl_linger(evl *evl, evl_socket *sock, uint64_t deadline);

// Closes the socket through on_connection_closed, with EVL_SOCK_PEER_EOF clear, once
// `deadline` (monotonic ns) has passed, on an idle loop as on a busy one; 0 removes it.
// Worker thread (from callbacks) or any other. Returns -1 for a null or no longer open socket.
int evl_set_deadline(evl *evl, evl_socket *sock, uint64_t deadline);
// Calls on_pull_data once `when` (monotonic ns) has passed, on an idle loop as on a busy one,
// with evl_woken true in that call only; a later call replaces an earlier wake-up, 0 removes
// it. Same threads and results as evl_set_deadline.
int evl_set_wake(evl *evl, evl_socket *sock, uint64_t when);
// True in the on_pull_data call that is the socket's wake-up (evl_set_wake), false otherwise;
// it reads and clears the mark.
bool evl_woken(evl_socket *sock);

// For test drivers only: runs the TLS pump for every socket on secure_queue, as the worker
// does after each wait. In the daemon the worker is its only caller.
void secure_all(evl *evl);
// For test drivers only, on a loop whose worker does not run: accepts one connection waiting on
// the loop's latest listener as the worker does (null when none waits or its user refused it),
// and closes a socket as the worker does when it fails (`failure`, else the one its state
// shows) or its peer ends in order.
evl_socket *evl_test_accept(evl *evl);
int evl_test_close(evl *evl, evl_socket *sock, evl_failure failure, bool orderly);

// Renders an epoll mask ("IN,ERR,RDHUP") at the end of buf; returns where the text starts.
char *sprintf_epollbits(skb *buf, uint32_t mask);
