// Deadlines: each socket's table of them, the heap that keeps the sockets in the order of their
// earliest deadline, the timer pass that acts on those that have passed, and the earliest of
// them all, which bounds the worker's wait.
#include "event-loop-internal.h"

#include <openssl/bio.h>

static constexpr char THIS_FILE[] = "src/loop-timers";

void set_due(evl *evl, evl_socket *s, evl_timer timer, uint64_t when)
{
    (void)evl;
    s->due[timer] = when;
    mark_dirty(s);
}

void evl_wake_by(evl *evl, uint64_t when)
{
    if (evl->next_due == 0 || when < evl->next_due)
        evl->next_due = when;
}

// The wake-up makes the worker take the new deadline into its next wait.
static int set_user_timer(evl *evl, evl_socket *sock, evl_timer timer, uint64_t when)
{
    if (!lock_if_open(sock))
        return -1;
    set_due(evl, sock, timer, when);
    pthread_mutex_unlock(&sock->mutex);
    evl_signal(evl);
    return 0;
}

int evl_set_deadline(evl *evl, evl_socket *sock, uint64_t deadline)
{
    return set_user_timer(evl, sock, EVL_TIMER_USER, deadline);
}

int evl_set_wake(evl *evl, evl_socket *sock, uint64_t when)
{
    return set_user_timer(evl, sock, EVL_TIMER_WAKE, when);
}

// ---- the deadline heap ----

static uint64_t earliest_due(const evl_socket *s)
{
    uint64_t earliest = 0;
    for (uint64_t due : s->due)
        if (due != 0 && (earliest == 0 || due < earliest))
            earliest = due;
    return earliest;
}

static void heap_put(evl *evl, uint32_t i, evl_socket *s)
{
    evl->timer_heap[i] = s;
    s->heap_place = i + 1;
}

static void sift_up(evl *evl, uint32_t i)
{
    evl_socket *s = evl->timer_heap[i];
    while (i > 0) {
        uint32_t parent = (i - 1) / 2;
        if (evl->timer_heap[parent]->heap_due <= s->heap_due)
            break;
        heap_put(evl, i, evl->timer_heap[parent]);
        i = parent;
    }
    heap_put(evl, i, s);
}

static void sift_down(evl *evl, uint32_t i)
{
    evl_socket *s = evl->timer_heap[i];
    for (;;) {
        uint32_t child = 2 * i + 1;
        if (child >= evl->heap_size)
            break;
        if (child + 1 < evl->heap_size &&
            evl->timer_heap[child + 1]->heap_due < evl->timer_heap[child]->heap_due)
            child++;
        if (s->heap_due <= evl->timer_heap[child]->heap_due)
            break;
        heap_put(evl, i, evl->timer_heap[child]);
        i = child;
    }
    heap_put(evl, i, s);
}

void timer_heap_remove(evl *evl, evl_socket *s)
{
    if (s->heap_place == 0)
        return;
    uint32_t i = s->heap_place - 1;
    ZD_ASSERT(i < evl->heap_size && evl->timer_heap[i] == s);
    s->heap_place = 0;
    evl_socket *last = evl->timer_heap[--evl->heap_size];
    if (last == s)
        return;
    heap_put(evl, i, last);
    sift_up(evl, i);
    sift_down(evl, last->heap_place - 1);
}

void timer_heap_place(evl *evl, evl_socket *s)
{
    uint64_t due = is_open(s) ? earliest_due(s) : 0;
    if (due == 0) {
        timer_heap_remove(evl, s);
        return;
    }
    if (s->heap_place != 0) {
        uint64_t before = s->heap_due;
        s->heap_due = due;
        if (due < before)
            sift_up(evl, s->heap_place - 1);
        else if (due > before)
            sift_down(evl, s->heap_place - 1);
        return;
    }
    if (evl->heap_size == evl->heap_capacity) {
        uint32_t capacity = evl->heap_capacity ? 2 * evl->heap_capacity : 64;
        auto *grown = static_cast<evl_socket **>(
            realloc(evl->timer_heap, capacity * sizeof(evl->timer_heap[0])));
        ZD_ASSERT(grown != nullptr);
        evl->timer_heap = grown;
        evl->heap_capacity = capacity;
    }
    s->heap_due = due;
    evl->timer_heap[evl->heap_size++] = s;
    sift_up(evl, evl->heap_size - 1);
}

static uint64_t first_due(const evl *evl)
{
    return evl->heap_size > 0 ? evl->timer_heap[0]->heap_due : 0;
}

// The wait ends in time for the earliest deadline of any socket and any wake-up asked for, and
// at once while the pump has work queued.
int wait_timeout_ms(evl *evl)
{
    if (!list_empty(&evl->secure_queue) || evl->self_woken)
        return 0;
    uint64_t due = first_due(evl);
    if (evl->next_due != 0 && (due == 0 || evl->next_due < due))
        due = evl->next_due;
    if (due == 0)
        return EVL_WAIT_TIMEOUT_MS;
    uint64_t now = loop_clock_ns();
    if (due <= now)
        return 0;
    uint64_t ms = (due - now + NS_PER_MS - 1) / NS_PER_MS;
    return ms < EVL_WAIT_TIMEOUT_MS ? static_cast<int>(ms) : EVL_WAIT_TIMEOUT_MS;
}

// Worker, loop lock held. Out of data, TLS close_notify written and out, and the peer
// has answered it: its end of stream here, its close_notify in the pump (secure_data). A
// session that never finished its handshake has no close_notify to wait for.
bool linger_drained(const evl_socket *s)
{
    if (s->out_plain->data_size > 0 || s->net_out->data_size > 0)
        return false;
    if (!is_secure(s))
        return true;
    if (!tls_shutdown_written(s))
        return false;
    return read_ended(s) || !SSL_is_init_finished(s->ssl);
}

static bool passed(const evl_socket *s, evl_timer timer, uint64_t now)
{
    return s->due[timer] != 0 && s->due[timer] <= now;
}

static int whole_seconds(uint64_t ns)
{
    return static_cast<int>(ns / NS_PER_SEC);
}

// Worker, loop and socket locks held. True when the socket must be closed: a deadline has
// passed, its lingering is over, or its last connect retry failed. The deadlines come first:
// an attempt due at the connect deadline would come too late anyway.
static bool check_deadlines(evl *evl, evl_socket *s, uint64_t now)
{
    char peer[ENDPOINT_TEXT_SZ];
    if (passed(s, EVL_TIMER_CONNECT, now)) {
        s->failure = EVL_FAILURE_CONNECT_TIMEOUT;
        EVL_REPORT(LVL_WARN,
                   "Connection to %s not established within %d seconds, closing socket %d\n",
                   ARGendpoint6(peer, s->ep), whole_seconds(evl->connect_timeout_ns), s->fd);
        return true;
    }
    if (passed(s, EVL_TIMER_HANDSHAKE, now)) {
        s->failure = EVL_FAILURE_HANDSHAKE_TIMEOUT;
        EVL_REPORT(LVL_WARN,
                   "TLS handshake with %s not finished within %d seconds, closing socket %d\n",
                   ARGendpoint6(peer, s->ep), whole_seconds(evl->handshake_timeout_ns), s->fd);
        return true;
    }
    if (passed(s, EVL_TIMER_USER, now)) {
        EVL_REPORT(LVL_INFO, "Deadline passed on socket %d\n", s->fd);
        if (s->failure == EVL_FAILURE_NONE && !connect_pending(s) && !handshaking(s))
            s->failure = EVL_FAILURE_DEADLINE;
        return true;
    }
    if (is_lingering(s)) {
        if (linger_drained(s)) {
            EVL_REPORT(LVL_DEBUG, "Finished lingering on socket %d\n", s->fd);
            return true;
        }
        if (passed(s, EVL_TIMER_LINGER, now)) {
            EVL_REPORT(LVL_INFO, "Linger deadline passed on socket %d\n", s->fd);
            return true;
        }
    }
    if (waits_to_retry(s) && passed(s, EVL_TIMER_RETRY, now))
        return retry_connect(evl, s);
    if (passed(s, EVL_TIMER_WAKE, now)) {
        set_due(evl, s, EVL_TIMER_WAKE, 0);
        set_state(s, EVL_SOCK_WOKEN);
    }
    return false;
}

// Worker, loop lock held.
static void check_socket(evl *evl, evl_socket *s, uint64_t now)
{
    pthread_mutex_lock(&s->mutex);
    bool close = is_open(s) && check_deadlines(evl, s, now);
    bool woken = !close && is_woken(s);
    pthread_mutex_unlock(&s->mutex);
    if (close)
        close_connection(evl, s);
    else if (woken && s->ops.on_pull_data)
        s->ops.on_pull_data(evl, s, s->arg);
    if (woken) {
        pthread_mutex_lock(&s->mutex);
        clear_state(s, EVL_SOCK_WOKEN);
        pthread_mutex_unlock(&s->mutex);
    }
}

// Runs with the loop lock held, like the pump, so the close notices follow the pump's rules.
// A deadline can pass only for a socket at the heap's top; a lingering socket may also end by
// being drained, which no clock announces, but only through a change that marked it. So the
// pass looks at the sockets whose deadline passed and at the changed ones, and they are
// changed ones too: the re-arm pass then puts them back in the heap by what is left.
void check_timers(evl *evl, bool every_socket)
{
    uint64_t now = loop_clock_ns();
    while (evl->heap_size > 0 && first_due(evl) <= now) {
        evl_socket *s = evl->timer_heap[0];
        timer_heap_remove(evl, s);
        mark_dirty(s);
    }
    if (!every_socket && list_empty(&evl->dirty))
        return;
    pthread_mutex_lock(&evl->mutex);
    if (every_socket)
        for_each_socket(evl, [evl, now](evl_socket *s) { check_socket(evl, s, now); });
    else
        for_each_dirty(evl, [evl, now](evl_socket *s) { check_socket(evl, s, now); });
    pthread_mutex_unlock(&evl->mutex);
}
