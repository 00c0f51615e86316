"""The daemon's start-up, its threads' privileges, the log-threshold signals and shutdown."""

import os
import signal
import time
import unittest

from harness import (DEBUG, INFO, LISTENER_PORTS, TRACE, Rig, RigCase, connection_closed, exchange,
                     function_name, home_listening_pids, run_tests)

UNPRIVILEGED_CAPS = "0000000000000400"  # CAP_NET_BIND_SERVICE alone


class RunningDaemon(RigCase):
    def relay_once(self, port, payload=b"ping"):
        s = self.rig.ns.connect(port)
        try:
            return exchange(s, payload, timeout=10)
        finally:
            s.close()

    def test_startup_lines_in_order(self):
        rig, d = self.rig, self.d
        expected = [
            ("evl_create", "  main: Event loop created"),
            ("setup_ssl_ctx", "openssl version "),
            (None, "RAND_load_file /dev/urandom"),
            (None, "Verifying against openssl server cert name srv.test"),
            (None, "Verifying openssl server certs using " + rig.pki.ca),
            ("netns_push", "push network namespace: " + rig.ns.name),
            (None, "  main: Accepting new connections on [::1]:111, on socket "),
            (None, "  main: Accepting new connections on [::1]:2048, on socket "),
            (None, "  main: Accepting new connections on [::1]:2049, on socket "),
            (None, "  main: Accepting new connections on [::1]:2050, on socket "),
            ("netns_pop", "pop network namespace"),
        ]
        lines = [l for l in d.lines() if l.function != "evl_loop"]
        starts = [i for i, l in enumerate(lines) if l.text.startswith(expected[0][1])]
        self.assertTrue(starts, d.describe())
        got = lines[starts[0]:starts[0] + len(expected)]
        self.assertEqual([t for _, t in expected],
                         [l.text[:len(t)] for (_, t), l in zip(expected, got)], d.describe())
        for (function, _), line in zip(expected, got):
            if function:
                self.assertEqual(function_name(function), line.function)
            self.assertEqual(29, line.priority, line)  # LOG_DAEMON | LOG_NOTICE: INFO
            self.assertEqual(("zarn-dwel-forwarder@" + rig.ns.name, d.pid),
                             (line.identity, line.tag_pid))
        self.assertEqual("src/main", got[5].file)
        self.assertEqual("src/main", got[-1].file)
        # The worker starts after the TLS context exists, whatever the main thread does next.
        texts = d.texts()
        started = [i for i, t in enumerate(texts) if t == "  main: Event loop started"]
        self.assertEqual(1, len(started), d.describe())
        self.assertGreater(started[0], texts.index(expected[4][1]))
        self.assertFalse([l for l in d.lines() if l.level > INFO], d.describe())

    def test_listeners_live_in_the_named_namespace(self):
        in_ns = self.rig.ns.listening_pids()
        for port in LISTENER_PORTS:
            self.assertIn(self.d.pid, in_ns.get(port, set()), "port %d: %r" % (port, in_ns))
        at_home = [p for p, pids in home_listening_pids().items() if self.d.pid in pids]
        self.assertEqual([], at_home)
        for port in LISTENER_PORTS:
            self.assertEqual(b"ping", self.relay_once(port), "port %d" % port)

    def test_every_thread_keeps_only_net_bind_service(self):
        self.relay_once(2049)  # the worker has handled a connection since its start
        tasks = self.d.threads()
        self.assertEqual(2, len(tasks))
        for task in tasks:
            for field in ("CapEff", "CapPrm", "CapInh"):
                self.assertEqual(UNPRIVILEGED_CAPS, self.d.status_field(field, task),
                                 "%s of task %d" % (field, task))

    def test_usr1_and_usr2_move_the_threshold(self):
        d = self.d

        def levels_after(signo, times):
            for _ in range(times):
                d.signal(signo)
            time.sleep(0.5)
            mark = self.rig.log.mark()
            self.assertEqual(b"ping", self.relay_once(2049))
            time.sleep(0.3)
            return {l.level for l in d.lines(mark)}

        try:
            levels = levels_after(signal.SIGUSR1, 1)
            self.assertIn(DEBUG, levels)
            self.assertNotIn(TRACE, levels)
            levels = levels_after(signal.SIGUSR1, 1)
            self.assertIn(TRACE, levels)
            # Not below TRACE: a third SIGUSR1 changes nothing, and one SIGUSR2 is DEBUG again.
            self.assertIn(TRACE, levels_after(signal.SIGUSR1, 1))
            levels = levels_after(signal.SIGUSR2, 1)
            self.assertIn(DEBUG, levels)
            self.assertNotIn(TRACE, levels)
        finally:
            levels = levels_after(signal.SIGUSR2, 1)
        self.assertFalse(levels & {TRACE, DEBUG}, levels)
        self.assertIsNone(d.proc.poll())


class Shutdown(unittest.TestCase):
    def test_terminating_signals_end_with_status_0(self):
        with Rig(start=False) as rig:
            for signo in (signal.SIGTERM, signal.SIGINT, signal.SIGQUIT, signal.SIGABRT):
                with self.subTest(signal=signo.name):
                    d = rig.start()
                    # A live pair at shutdown: the loop must collect both of its sockets.
                    client = rig.ns.connect(2049)
                    self.assertEqual(b"x" * 1000, exchange(client, b"x" * 1000))
                    d.signal(signo)
                    self.assertEqual(0, d.wait_exit(20), d.describe())
                    d.wait_line("Event loop destroyed")
                    texts = d.texts()
                    order = [texts.index("received %s, exiting" % signo.name),
                             texts.index("  main: Event loop stopped"),
                             texts.index("  main: Event loop destroyed")]
                    self.assertEqual(sorted(order), order)
                    self.assertTrue(connection_closed(client, 5))
                    client.close()
                    self.assertFalse(os.path.exists("/proc/%d" % d.pid))


if __name__ == "__main__":
    run_tests()
