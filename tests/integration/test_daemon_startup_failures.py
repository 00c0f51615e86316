"""Start-ups that cannot finish: each mistake as a person at a terminal meets it (status, the
lines on standard error) and as the log shows it; busy ports and the rpcbind retries."""

import os
import re
import signal
import unittest

from harness import FATAL_EXIT, WARN, Daemon, Rig, exchange, run_tests

RETRY_WARNING = "evl_listen failed, will retry..."
EXIT_NO_PERMISSION, EXIT_CONFIGURATION = 77, 78
# A line of the standard-stream format at FATAL, and its message.
STDERR_FATAL = re.compile(r"^\S+Z: FATAL \d+:\d+ .{12}:src/[^:]+:\d+:(.*)$")
NO_SYS_ADMIN = ["setpriv", "--inh-caps=-all", "--bounding-set=-sys_admin", "--"]
ABSENT_ADDRESS = "2001:db8::1"
LOG_DAEMON_CRIT = 3 * 8 + 2


class StartupFailures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = Rig(start=False).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.rig.__exit__(None, None, None)

    def daemon(self, netns=None, extra=(), wait=None, ca=None, wrapper=(), **kw):
        rig = self.rig
        return Daemon(rig.log, netns or rig.ns, rig.peer.port, ca or rig.pki.ca, rig.name,
                      extra=extra, wait=wait, wrapper=wrapper, **kw)

    def assert_no_listener_opened(self, d):
        self.assertFalse([t for t in d.texts() if "Accepting new connections" in t],
                         d.describe())

    def test_mistakes_are_fatal_reports_that_name_their_cause(self):
        """Per mistake the status, the first line (on standard error and in the log at crit)
        and a pattern of the second, which names the cause; no backtrace, no retries."""
        pki, ns = self.rig.pki, self.rig.ns.name
        not_pem = os.path.join(pki.dir, "not-pem.pem")
        with open(not_pem, "w") as f:
            f.write("hello\n")
        missing = os.path.join(pki.dir, "missing.pem")
        ca_line = "Failed to load root CA bundle %s, aborting..."
        cases = {
            "CA bundle missing": (dict(ca=missing), EXIT_CONFIGURATION, ca_line % missing,
                                  "No such file or directory"),
            "CA bundle not PEM": (dict(ca=not_pem), EXIT_CONFIGURATION, ca_line % not_pem,
                                  "no certificate or crl found"),
            "CA bundle a directory": (dict(ca=pki.dir), EXIT_CONFIGURATION,
                                      "CA bundle %s is a directory, not a regular file" % pki.dir,
                                      "a regular file of PEM certificates"),
            "namespace missing": (dict(netns="zd-no-such-namespace"), 255,
                                  "Unable to open network namespace zd-no-such-namespace "
                                  "(netnsfd >= 0)", "No such file or directory; create it"),
            "without CAP_SYS_ADMIN": (dict(wrapper=NO_SYS_ADMIN), EXIT_NO_PERMISSION,
                                      "Missing capabilities: CAP_SYS_ADMIN", "run it as root"),
            "-I not in the namespace": (dict(extra=["-I", ABSENT_ADDRESS]), 255,
                                        "Failed to start listening to rpcbind port (111).",
                                        r"Binding \[%s\]:111 in namespace %s: Cannot assign "
                                        "requested address" % (ABSENT_ADDRESS, re.escape(ns))),
        }
        for case, (kw, status, first, second) in cases.items():
            with self.subTest(case=case), self.daemon(**kw) as d:
                self.assertEqual(status, d.wait_exit(20), d.describe())
                line = d.wait_line("^" + re.escape(first) + "$")
                self.assertEqual(FATAL_EXIT, line.level, line)
                self.assertEqual(LOG_DAEMON_CRIT, line.priority, line)
                self.assertEqual(d.pid, line.tag_pid)
                lines = d.lines()
                cause = lines[lines.index(line) + 1]
                self.assertEqual(FATAL_EXIT, cause.level, cause)
                self.assertRegex(cause.text, "^  .*" + second)
                err = d.stderr().splitlines()
                fatal = [i for i, t in enumerate(err) if STDERR_FATAL.match(t)]
                self.assertEqual(1, len(fatal), err)
                self.assertEqual(first, STDERR_FATAL.match(err[fatal[0]]).group(1))
                self.assertEqual(cause.text, err[fatal[0] + 1])
                self.assertFalse([t for t in d.texts() if t.startswith(
                    ("Failed assertion", "Backtrace", RETRY_WARNING))], d.describe())
                self.assert_no_listener_opened(d)
                # An aborted start-up leaves no status file that says "running".
                self.assertIsNone(d.status())

    def test_stderr_has_warnings_until_started_and_nothing_when_it_is_the_journal(self):
        holder = self.rig.ns.hold_port(111)
        try:
            with self.daemon() as d:
                d.wait_line(RETRY_WARNING, count=2)
                holder.close()
                d.wait_line("pop network namespace")
                d.wait_signal_wait()
                err = d.stderr()
                self.assertIn(RETRY_WARNING, err)
                self.assertNotIn(" INFO ", err)
                d.signal(signal.SIGTERM)
                self.assertEqual(0, d.wait_exit(20))
                self.assertEqual(err, d.stderr(), "lines on stderr after start-up")
        finally:
            holder.close()
        with self.daemon(extra=["-I", ABSENT_ADDRESS], journal_stderr=True) as d:
            self.assertEqual(255, d.wait_exit(20))
            d.wait_line("^Failed to start listening to rpcbind port")
            self.assertEqual("", d.stderr())

    def test_a_second_instance_for_the_namespace_is_refused_with_the_first_ones_pid(self):
        with self.daemon(wait="pop network namespace") as first:
            with self.daemon() as second:
                self.assertEqual(255, second.wait_exit(20), second.describe())
                line = second.wait_line("^Another zarn-dwel-forwarder")
                self.assertEqual(FATAL_EXIT, line.level)
                self.assertEqual("Another zarn-dwel-forwarder (pid %d) already serves network "
                                 "namespace %s" % (first.pid, self.rig.ns.name), line.text)
                self.assertIn(line.text, second.stderr())
                self.assertFalse([t for t in second.texts() if "Accepting new" in t])
            client = self.rig.ns.connect(2049)
            self.assertEqual(b"one" * 100, exchange(client, b"one" * 100))
            client.close()
            self.assertEqual([first.pid], sorted(self.rig.ns.listening_pids()[2049]))
            first.signal(signal.SIGTERM)
            self.assertEqual(0, first.wait_exit(20))
        # Gone with its holder: the next one starts.
        with self.daemon(wait="pop network namespace") as third:
            third.signal(signal.SIGTERM)
            self.assertEqual(0, third.wait_exit(20))

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
