// The loop's own records and the rules its files share: event-loop.cpp (the worker, the events,
// the re-arm pass, the life cycle and the public calls), tls-pump.cpp (the TLS sessions over
// their ciphertext BIOs) and loop-timers.cpp (deadlines and the timer pass). Users include
// event-loop.h only; the loop's tests include this header too.
//
// Locks. The loop lock comes before any socket lock, and no two socket locks are ever held
// together. The pump and the timer pass run with the loop lock held; events and the public
// calls take the socket lock alone. The list of handed-back sockets has a leaf lock of its own.
#pragma once

#include "event-loop.h"

#include "report.h"

// What a socket is, fixed when it is made: the loop never changes a kind.
enum evl_sock_kind : uint8_t {
    EVL_KIND_LISTENING = 0x01,
    EVL_KIND_SECURE = 0x02, // a TLS session over the cipher buffers, or a listener that makes them
    EVL_KIND_OUTGOING = 0x04, // made by evl_secure_connect
};

struct evl_socket {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    endpoint ep;
    int fd;
    // evl_sock_kind, set when the socket is made and never changed.
    uint8_t kind;
    // evl_sock_flags: what the socket is doing now.
    uint32_t flags;
    uint32_t desired_events;
    uint32_t armed_events;
    list_node loop_link;
    list_node secure_link;
    // The loop the socket belongs to, for the calls that are given the socket alone.
    struct evl *loop;
    // Worker only: on the loop's list of sockets changed this turn (mark_dirty), or being
    // re-armed now; while set, another mark is already accounted for.
    bool dirty;
    list_node dirty_link;
    // On the loop's list of sockets handed back for collection.
    list_node closing_link;
    // Worker only: 1 + the socket's place in the loop's deadline heap, 0 when it is not in
    // it, and the earliest deadline it is kept there for.
    uint32_t heap_place;
    uint64_t heap_due;
    skb *in_plain;
    skb *out_plain;
    skb *in_cipher;
    skb *out_cipher;
    skb *net_out;
    skb *net_in;
    evl_ops ops;
    void *arg;
    SSL *ssl;
    uint64_t context;
    // Outgoing connections: the local endpoint as passed in, for the retry messages.
    endpoint local;
    // Failed connection attempts so far.
    int retry_failures;
    // Monotonic times indexed by evl_timer; 0 for a deadline that is not set.
    uint64_t due[EVL_TIMERS];
    // The whole event mask last given to epoll_ctl, EPOLLERR and EPOLLRDHUP included.
    uint32_t armed_mask;
    // Set when the loop closes the socket (evl_failure), and the library's first error code
    // of a failed TLS pump, 0 for none.
    uint8_t failure;
    unsigned long tls_error;
    // The errno of the socket's last failed receive, send or error condition, 0 for none.
    int error;
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
    // up differently for itself; set through evl_set_worker_hooks, may stay null.
    void (*on_worker_start)(struct evl *evl);
    // Run on the worker at the top of every iteration, before it waits, with no lock held (a
    // heartbeat that shows the data path turning); set through evl_set_worker_hooks, may stay null.
    // It may lower next_due to be called again by then: the wait never sleeps past it.
    void (*on_iteration)(struct evl *evl);
    // Worker only: the earliest wake-up asked for by on_iteration (evl_wake_by) since the last
    // re-arm pass, 0 for none; the wait never sleeps past it.
    uint64_t next_due;
    // Worker only: the sockets whose buffers, state or deadlines changed since the last re-arm
    // pass (mark_dirty). The timer pass and the re-arm pass look at these, not at every socket.
    list_head dirty;
    // Set when a thread other than the worker changed a socket: it cannot reach the worker's
    // list, so the next passes look at every socket instead.
    std::atomic<bool> walk_all;
    // Worker only: a binary min-heap of the open sockets with a deadline, by their earliest
    // one, so that neither the wait nor the timer pass has to walk to find it.
    evl_socket **timer_heap;
    uint32_t heap_size;
    uint32_t heap_capacity;
    // Worker only, for the tests that check a pass's cost: sockets re-armed since the start.
    std::atomic<uint64_t> rearm_visits;
    // Worker only: the worker queued work for itself (evl_signal on its own thread), so the
    // coming wait must not sleep. It stands for the eventfd write that other threads make,
    // which would cost the worker two system calls and a trip through epoll.
    bool self_woken;
    // The sockets handed back (evl_close) and not yet collected. Its own lock, a leaf: a
    // socket is handed back from any thread, with or without the loop lock.
    pthread_mutex_t closing_mutex;
    list_head closing;
    // The connect and handshake deadlines, EVL_CONNECT_TIMEOUT_S and EVL_HANDSHAKE_TIMEOUT_S
    // from evl_create; tests shorten them before they add sockets.
    uint64_t connect_timeout_ns;
    uint64_t handshake_timeout_ns;
};

// ---- the state words ----
// Every question the loop asks of a socket has one name here; callers hold the socket lock
// (or own a socket no other thread can see yet).

inline bool is_kind(const evl_socket *s, evl_sock_kind kind)
{
    return (s->kind & kind) != 0;
}

inline bool has_state(const evl_socket *s, uint32_t bit)
{
    return (s->flags & bit) != 0;
}

inline void set_state(evl_socket *s, uint32_t bits)
{
    s->flags |= bits;
}

inline void clear_state(evl_socket *s, uint32_t bits)
{
    s->flags &= ~bits;
}

inline bool is_listening(const evl_socket *s)
{
    return is_kind(s, EVL_KIND_LISTENING);
}

// A listener that makes TLS sockets, or one of them.
inline bool is_secure(const evl_socket *s)
{
    return is_kind(s, EVL_KIND_SECURE);
}

// A connection that carries a TLS session: it has the cipher buffers and their BIO.
inline bool is_tls_stream(const evl_socket *s)
{
    return is_secure(s) && !is_listening(s);
}

inline bool is_outgoing(const evl_socket *s)
{
    return is_kind(s, EVL_KIND_OUTGOING);
}

inline bool is_open(const evl_socket *s)
{
    return has_state(s, EVL_SOCK_OPEN);
}

// Handed back by its user (evl_close): the collection frees it.
inline bool is_closing(const evl_socket *s)
{
    return has_state(s, EVL_SOCK_CLOSING);
}

inline bool is_registered(const evl_socket *s)
{
    return has_state(s, EVL_SOCK_REGISTERED);
}

inline bool connect_pending(const evl_socket *s)
{
    return has_state(s, EVL_SOCK_CONNECTING);
}

inline bool waits_to_retry(const evl_socket *s)
{
    return has_state(s, EVL_SOCK_CONNECT_RETRY);
}

// Open and not waiting for its next connect attempt: epoll has something to report.
inline bool is_watched(const evl_socket *s)
{
    return is_open(s) && !waits_to_retry(s);
}

inline bool is_lingering(const evl_socket *s)
{
    return has_state(s, EVL_SOCK_LINGER);
}

// A lingering plain socket reads nothing more; a secure one reads on, for its handshake and
// for the peer's answer to its close_notify.
inline bool is_lingering_plain(const evl_socket *s)
{
    return is_lingering(s) && !is_secure(s);
}

inline bool reads_while_lingering(const evl_socket *s)
{
    return !is_lingering_plain(s);
}

inline bool is_draining(const evl_socket *s)
{
    return has_state(s, EVL_SOCK_DRAINING);
}

inline bool read_ended(const evl_socket *s)
{
    return has_state(s, EVL_SOCK_READ_EOF);
}

inline bool peer_ended(const evl_socket *s)
{
    return has_state(s, EVL_SOCK_PEER_EOF);
}

inline bool read_failed(const evl_socket *s)
{
    return has_state(s, EVL_SOCK_READ_FAILED);
}

inline bool allows_half_open(const evl_socket *s)
{
    return has_state(s, EVL_SOCK_HALF_OPEN);
}

// Nothing more to read: the stream ended, or the peer's orderly end was taken.
inline bool input_done(const evl_socket *s)
{
    return read_ended(s) || peer_ended(s);
}

inline bool tls_up(const evl_socket *s)
{
    return has_state(s, EVL_SOCK_TLS_UP);
}

inline bool handshaking(const evl_socket *s)
{
    return is_tls_stream(s) && !tls_up(s);
}

inline bool tls_failed(const evl_socket *s)
{
    return has_state(s, EVL_SOCK_TLS_FAILED);
}

// The close_notify is written (or there was no session to close): no more plaintext.
inline bool tls_shutdown_written(const evl_socket *s)
{
    return has_state(s, EVL_SOCK_TLS_SHUTDOWN);
}

// evl_linger or evl_shutdown: the session ends in order once its plaintext is encrypted.
inline bool session_end_asked(const evl_socket *s)
{
    return is_lingering(s) || has_state(s, EVL_SOCK_SHUTDOWN);
}

inline bool shutdown_asked(const evl_socket *s)
{
    return has_state(s, EVL_SOCK_SHUTDOWN);
}

inline bool write_done(const evl_socket *s)
{
    return has_state(s, EVL_SOCK_WRITE_DONE);
}

// evl_shutdown was called and the write side has not ended yet.
inline bool write_end_pending(const evl_socket *s)
{
    return shutdown_asked(s) && !write_done(s);
}

inline bool is_aborted(const evl_socket *s)
{
    return has_state(s, EVL_SOCK_ABORT);
}

inline bool is_woken(const evl_socket *s)
{
    return has_state(s, EVL_SOCK_WOKEN);
}

// A state word asked without the socket's lock held.
inline bool ask_state(evl_socket *s, bool (*predicate)(const evl_socket *))
{
    pthread_mutex_lock(&s->mutex);
    bool answer = predicate(s);
    pthread_mutex_unlock(&s->mutex);
    return answer;
}

// Pump again whenever room or input appears. Plaintext and ciphertext held in the buffers or
// the session are invisible to epoll: a socket whose buffers changed and that is not pumped
// stalls with the data in hand, and only a load test finds it. So every place where a TLS
// stream gets input, room or a new end to write comes here; a plain socket has nothing to pump.
// Socket lock held; the queue itself belongs to the worker and to callbacks of its thread.
inline void queue_pump(evl *evl, evl_socket *s)
{
    if (is_tls_stream(s))
        list_push(&evl->secure_queue, &s->secure_link);
}

// Something queued to send, nothing that says the kernel is full (EPOLLOUT armed), and a
// connection to send on: send_before_wait may send it at once.
inline bool sends_before_wait(const evl_socket *s)
{
    return is_watched(s) && !is_listening(s) && !connect_pending(s) && s->net_out->data_size > 0 &&
           !(s->armed_events & EPOLLOUT);
}

// After a send made room in out_cipher, the pump has something to do only if the session has
// more to write: plaintext to encrypt, a handshake under way, a close_notify still to go.
inline bool pump_waits_for_room(const evl_socket *s)
{
    return is_tls_stream(s) && (s->out_plain->data_size > 0 || !tls_up(s) ||
                                (session_end_asked(s) && !tls_shutdown_written(s)));
}

// ---- shared between the loop's files ----

static_assert(EVL_SOCK_PEER_EOF == 0x20);

inline constexpr uint64_t NS_PER_SEC = 1000000000;
inline constexpr uint64_t NS_PER_MS = 1000000;
inline constexpr size_t SCRATCH_SZ = 128;

// The steps whose names the helpers of a step speak with (EVL_REPORT_AS).
inline constexpr char PUMP_FN[] = "secure_data";
inline constexpr char CONNECT_FN[] = "evl_connect1";
inline constexpr char LOOP_FN[] = "loop_inner";

// Every line a loop writes starts with its name, right-aligned in six columns and cut after six.
#define EVL_REPORT(level, fmt, ...)                                                                \
    REPORT((level), "%*.*s: " fmt, 6, 6, evl->name __VA_OPT__(, ) __VA_ARGS__)
// The same, for the helpers of a step that speak with the step's own name (the TLS pump's
// passes, and the connection attempts that the worker makes again for evl_connect1).
#define EVL_REPORT_AS(function, level, fmt, ...)                                                   \
    report((level), (function), THIS_FILE, __LINE__, "%*.*s: " fmt, 6, 6,                          \
           evl->name __VA_OPT__(, ) __VA_ARGS__)

// Loop lock held. The step may free the socket it is given: the walk has already moved on.
template <typename Step> inline void for_each_socket(evl *evl, Step step)
{
    list_node *end = &evl->sockets.sentinel;
    for (list_node *n = end->next, *next; n != end; n = next) {
        next = n->next;
        step(static_cast<evl_socket *>(n->owner));
    }
}

// Worker. Sockets marked while the walk goes on join its end and are visited too; the step
// must not take its socket off the list.
template <typename Step> inline void for_each_dirty(evl *evl, Step step)
{
    list_node *end = &evl->dirty.sentinel;
    for (list_node *n = end->next; n != end; n = n->next)
        step(static_cast<evl_socket *>(n->owner));
}

inline uint64_t loop_clock_ns()
{
    return static_cast<uint64_t>(tick());
}

// event-loop.cpp
void evl_signal(evl *evl);
// The socket's buffers, state or deadlines changed: the coming timer and re-arm passes look at
// it. Any thread; a thread other than the worker makes the next passes look at every socket.
void mark_dirty(evl_socket *s);
bool lock_if_open(evl_socket *sock);
int close_connection(evl *evl, evl_socket *sock);
int close_orderly(evl *evl, evl_socket *sock);
int close_failed(evl *evl, evl_socket *sock, evl_failure failure);
bool retry_connect(evl *evl, evl_socket *sock);
// The epoll mask the socket's state and buffers ask for, EPOLLERR and EPOLLRDHUP included; 0
// when the socket must be out of epoll.
uint32_t wanted_events(const evl_socket *s);

// tls-pump.cpp
void attach_tls_session(evl_socket *sock, bool server, const char *caller);
bool tls_input_pending(const evl_socket *s);
// An orderly end is news even without bytes: `always` calls the user all the same.
void deliver_plaintext(evl *evl, evl_socket *s, bool always = false);

// loop-timers.cpp
// Every deadline is written here, and every write marks the socket changed, so that the timer
// pass and the re-arm pass, which look only at changed sockets and at the heap's first
// deadline, see it: a deadline written anywhere else could pass unseen on an idle loop.
// Socket lock held, or a socket no other thread can see yet.
void set_due(evl *evl, evl_socket *s, evl_timer timer, uint64_t when);
bool linger_drained(const evl_socket *s);
int wait_timeout_ms(evl *evl);
// Worker, socket lock held: keeps the socket in the deadline heap by its earliest deadline
// while it is open and has one, and out of it otherwise.
void timer_heap_place(evl *evl, evl_socket *s);
// Worker, or a loop whose worker has stopped.
void timer_heap_remove(evl *evl, evl_socket *s);
// `every_socket` checks all sockets, not only the changed ones and those whose deadline passed.
void check_timers(evl *evl, bool every_socket);
