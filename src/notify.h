// Service-manager notification (READY, STATUS, WATCHDOG, STOPPING).
#pragma once

#include <cstdint>

struct config;

// Service-manager notification over the datagram protocol of $NOTIFY_SOCKET (a path, or an
// abstract name written with a leading "@"), without linking the manager's own library.
// `state` is one or more "NAME=value" lines such as "READY=1". Returns 0 once sent and also
// when the variable is unset (nobody listens), -1 when the datagram could not be sent; the
// first failure after a success is logged at WARN. Any thread; it never blocks.
int notify_send(const char *state);
// How often "WATCHDOG=1" is due, in nanoseconds: half of $WATCHDOG_USEC. 0 when the manager
// expects no heartbeat: the variable unset, zero or not a number, or $WATCHDOG_PID naming
// another process (the heartbeat is then meant for a parent that exec'd us, not for us).
uint64_t notify_watchdog_interval();
// "READY=1" with the STATUS line that `systemctl status` shows beside "active (running)".
void notify_ready(const config *config);
// Takes the heartbeat's period from the environment; before the worker starts.
void notify_watchdog_start();
// Worker, once per turn of its loop: sends "WATCHDOG=1" when it is due and returns when the
// next one is, 0 when the manager expects none.
uint64_t notify_watchdog_beat(uint64_t now);
