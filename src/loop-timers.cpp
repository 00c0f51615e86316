// Deadlines: each socket's table of them, the timer pass that acts on those that have passed,
// and the earliest of them, which bounds the worker's wait.
#include "event-loop-internal.h"

#include <openssl/bio.h>

static constexpr char THIS_FILE[] = "src/loop-timers";

void set_due(evl *evl, evl_socket *s, evl_timer timer, uint64_t when)
{
    s->due[timer] = when;
    evl->timers_changed = true;
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

// The wait ends in time for the earliest deadline of any socket, and at once while the pump has
// work queued.
int wait_timeout_ms(evl *evl)
{
    if (!list_empty(&evl->secure_queue) || evl->self_woken)
        return 0;
    if (evl->next_due == 0)
        return EVL_WAIT_TIMEOUT_MS;
    uint64_t now = loop_clock_ns();
    if (evl->next_due <= now)
        return 0;
    uint64_t ms = (evl->next_due - now + NS_PER_MS - 1) / NS_PER_MS;
    return ms < EVL_WAIT_TIMEOUT_MS ? static_cast<int>(ms) : EVL_WAIT_TIMEOUT_MS;
}

void note_due(evl *evl, const evl_socket *s)
{
    for (uint64_t due : s->due)
        if (due != 0 && (evl->next_due == 0 || due < evl->next_due))
            evl->next_due = due;
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

// Deadlines are rare (connects, handshakes, drains), so the walk over every socket is skipped
// while none can have passed: the last re-arm pass saw every deadline set before it, and every
// one set since has flagged itself (set_due). A lingering socket may end by being drained,
// which no clock announces.
static bool timers_may_fire(evl *evl, uint64_t now)
{
    if (evl->timers_changed.exchange(false) || evl->lingering > 0)
        return true;
    return evl->next_due != 0 && evl->next_due <= now;
}

// Runs with the loop lock held, like the pump, so the close notices follow the pump's rules.
void check_timers(evl *evl)
{
    uint64_t now = loop_clock_ns();
    if (!timers_may_fire(evl, now))
        return;
    pthread_mutex_lock(&evl->mutex);
    for_each_socket(evl, [evl, now](evl_socket *s) {
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
    });
    pthread_mutex_unlock(&evl->mutex);
}
