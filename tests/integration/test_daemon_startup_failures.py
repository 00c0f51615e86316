"""Start-ups that cannot finish: a missing namespace, busy ports, the rpcbind retries."""

import re
import signal
import unittest

from harness import ERROR, FATAL_EXIT, WARN, Daemon, Rig, exchange, run_tests

RETRY_WARNING = "evl_listen failed, will retry..."


class StartupFailures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = Rig(start=False).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.rig.__exit__(None, None, None)

    def daemon(self, netns=None, extra=(), wait=None):
        rig = self.rig
        return Daemon(rig.log, netns or rig.ns, rig.peer.port, rig.pki.ca, rig.name, extra=extra,
                      wait=wait)

    def assert_no_listener_opened(self, d):
        self.assertFalse([t for t in d.texts() if "Accepting new connections" in t],
                         d.describe())

    def test_missing_namespace_is_fatal_before_any_listener(self):
        with self.daemon(netns="zd-no-such-namespace") as d:
            self.assertEqual(-signal.SIGABRT, d.wait_exit(20), d.describe())
            d.wait_line("Backtrace: ")
            texts = d.texts()
            # The worker is already started then, but whether it has logged its first line
            # before the abort is a race; the line is not checked.
            self.assertIn("push network namespace: zd-no-such-namespace", texts)
            failed = [l for l in d.lines() if l.text == "Failed assertion: netnsfd >= 0"]
            self.assertEqual(1, len(failed), d.describe())
            self.assertEqual((ERROR, "netns_push", "src/main"),
                             (failed[0].level, failed[0].function, failed[0].file))
            self.assert_no_listener_opened(d)

    def test_busy_port_is_fatal_at_once_with_its_message(self):
        # Configured ports other than the defaults, so that the message must show the option.
        ports = {"mount": ("-M", 3048), "nfs": ("-N", 3049), "nlm": ("-L", 3050)}
        extra = [a for option, port in ports.values() for a in (option, str(port))]
        for name, (_, port) in ports.items():
            with self.subTest(port=name):
                holder = self.rig.ns.hold_port(port)
                try:
                    with self.daemon(extra=extra) as d:
                        self.assertEqual(255, d.wait_exit(20), d.describe())
                        message = "Failed to start listening to %s port (%d).\n" % (name, port)
                        line = d.wait_line("^" + re.escape(message.rstrip()))
                        self.assertEqual((FATAL_EXIT, message),
                                         (line.level, line.text + "\n"))
                        self.assertNotIn("pop network namespace", d.texts())
                        self.assertFalse([t for t in d.texts() if RETRY_WARNING in t])
                finally:
                    holder.close()

    def test_rpcbind_port_is_retried_until_free(self):
        holder = self.rig.ns.hold_port(111)
        try:
            with self.daemon() as d:
                d.wait_line(RETRY_WARNING, count=4, timeout=10)
                holder.close()
                d.wait_line("pop network namespace", timeout=10)
                lines = [l for l in d.lines() if l.text == RETRY_WARNING]
                self.assertTrue(all(l.level == WARN and l.function == "daemon_main"
                                    for l in lines))
                self.assertLess(len(lines), 30)
                # Arrival times at the receiver jitter on a busy host; their mean does not.
                gaps = [b.when - a.when for a, b in zip(lines, lines[1:])]
                self.assertTrue(0.09 <= sum(gaps) / len(gaps) <= 0.3, gaps)
                self.assertLess(max(gaps), 1.0, gaps)
                # The first attempt that succeeds carries on: the daemon runs and relays.
                self.assertIn("  main: Accepting new connections on [::1]:111, on socket ",
                              [t[:58] for t in d.texts()])
                client = self.rig.ns.connect(111)
                self.assertEqual(b"rpc", exchange(client, b"rpc"))
                client.close()
                d.signal(signal.SIGTERM)
                self.assertEqual(0, d.wait_exit(20))
        finally:
            holder.close()

    def test_rpcbind_gives_up_after_30_attempts(self):
        holder = self.rig.ns.hold_port(111)
        try:
            with self.daemon() as d:
                self.assertEqual(255, d.wait_exit(20), d.describe())
                line = d.wait_line("^Failed to start listening to rpcbind port")
                self.assertEqual("Failed to start listening to rpcbind port (111).", line.text)
                warnings = [l for l in d.lines() if l.text == RETRY_WARNING]
                self.assertEqual(30, len(warnings))
                # 29 pauses of 100 ms between the first warning and the last.
                self.assertGreater(warnings[-1].when - warnings[0].when, 2.6)
                self.assert_no_listener_opened(d)
        finally:
            holder.close()


if __name__ == "__main__":
    run_tests()
