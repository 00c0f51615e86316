"""The daemon stays useful when things around it go wrong: a client that reconnects from the
same source port at once gets a working pair, whoever ended the last connection first and
with TCP timestamps on or off; SIGHUP reloads and is survived; and the daemon runs sandboxed,
every thread of it, without refusing anything it needs.

The reconnect cases run the whole daemon in a namespace pair of the test's own: "home", where
the daemon makes its TLS connections and the TLS peer listens, and the listener namespace of
the clients. The outgoing connection mirrors the client's source port, so a connection that
the daemon ended first would leave that 4-tuple in TIME_WAIT at home, and without timestamps
the kernel refuses to reuse it for the client's next connection."""

import contextlib
import errno
import os
import random
import signal
import socket
import time
import unittest

from harness import (ERROR, NFS_PORT, Daemon, Netns, Pki, RigCase, Syslog, TlsPeer, exchange,
                     read_until_end, run_tests)

NAME = "srv.test"
# Client ports above every ephemeral range of the test namespaces (20000-32000), so that the
# mirrored port never meets the TLS peer's own port at home.
CLIENT_PORTS = (40000, 50000)
# The old pair may still be ending when the client comes back: one connect retry (1 s) is
# allowed for, the 10 s connect deadline is not.
RECONNECT_BOUND_S = 4.0


def set_timestamps(ns, on):
    ns.run(["sysctl", "-q", "-w", "net.ipv4.tcp_timestamps=%d" % (1 if on else 0)], check=True)


def connect_from(ns, port, timeout=10.0):
    """A client connection from [::1]:port to the daemon's nfs port. SO_REUSEADDR lets it bind
    while its own last connection from that port is in TIME_WAIT; the kernel may still refuse
    the connect itself for up to a second (EADDRNOTAVAIL), which is the client's own matter and
    is retried here."""
    end = time.monotonic() + 3.0
    while True:
        s = ns.socket()
        s.settimeout(timeout)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("::1", port))
            s.connect(("::1", NFS_PORT))
            return s
        except OSError as e:
            s.close()
            if e.errno != errno.EADDRNOTAVAIL or time.monotonic() > end:
                raise
            time.sleep(0.05)


class Reconnect(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.log = Syslog().__enter__()
        cls.pki = Pki().__enter__()
        cls.cert, cls.key = cls.pki.server(NAME)

    @classmethod
    def tearDownClass(cls):
        cls.pki.__exit__(None, None, None)
        cls.log.__exit__(None, None, None)

    @contextlib.contextmanager
    def world(self, home_timestamps, listen_timestamps, mode):
        """(listen, peer, daemon): the daemon runs in a home namespace of its own, where the
        TLS peer listens too."""
        with contextlib.ExitStack() as stack:
            home = stack.enter_context(Netns("zdh"))
            listen = stack.enter_context(Netns("zdl"))
            set_timestamps(home, home_timestamps)
            set_timestamps(listen, listen_timestamps)
            peer = stack.enter_context(TlsPeer(self.cert, self.key, mode=mode, netns=home))
            d = stack.enter_context(Daemon(self.log, listen, peer.port, self.pki.ca, NAME,
                                           wrapper=["ip", "netns", "exec", home.name]))
            yield listen, peer, d

    def reconnect_works(self, d, listen, port, first_end):
        """Connects again from port at once; the new pair relays. first_end ends the first
        connection. Returns the seconds from the first connection's end to the first byte
        back on the second."""
        try:
            c1 = connect_from(listen, port)
        except OSError as e:
            raise AssertionError("%s; daemon %s:\n%s" % (e, d.proc.poll(), d.describe())) from e
        first_end(c1)
        ended = time.monotonic()
        c2 = connect_from(listen, port)
        try:
            got = exchange(c2, b"again" * 2000, timeout=15)
            took = time.monotonic() - ended
            self.assertEqual(b"again" * 2000, got, d.describe())
        finally:
            c2.close()
        return took

    def test_client_closes_first_and_reconnects_from_the_same_port(self):
        # The listener namespace keeps its timestamps: without them the test client itself
        # could not reuse its own TIME_WAIT; the daemon's side is the one under test.
        for timestamps in (True, False):
            with self.subTest(timestamps=timestamps), \
                    self.world(timestamps, True, "echo") as (listen, peer, d):
                port = random.randrange(*CLIENT_PORTS)

                def close_first(c):
                    self.assertEqual(b"x" * 5000, exchange(c, b"x" * 5000))
                    c.close()

                took = self.reconnect_works(d, listen, port, close_first)
                print("client first, timestamps %s: pair again after %.2f s" %
                      ("on" if timestamps else "off", took), flush=True)
                self.assertLess(took, RECONNECT_BOUND_S, d.describe())
                conns = [c for c in peer.wait_connections(2) if c.peer_port == port]
                self.assertEqual(2, len(conns), "both connections kept the client's port")
                self.assertTrue(conns[0].done.wait(10))
                self.assertEqual("close_notify", conns[0].end, "the session ended in order")
                self.assertFalse([t for t in d.texts() if "not established within" in t])

    def test_server_closes_first_and_the_client_reconnects_from_the_same_port(self):
        # Here the daemon ends the client's connection first, so the TIME_WAIT is its own in
        # the listener namespace, where it takes a new connection (the accepting side may);
        # with timestamps off in both namespaces too.
        payload = os.urandom(100000)
        for timestamps in (True, False):
            with self.subTest(timestamps=timestamps), \
                    self.world(timestamps, timestamps, "send") as (listen, peer, d):
                peer.payload = payload
                port = random.randrange(*CLIENT_PORTS)

                # The client reads to the end the daemon passes on, then closes. The next
                # connection is an echo, to see it relay.
                def server_ends(c):
                    c.sendall(b"?")
                    got, how = read_until_end(c, 15)
                    self.assertEqual((len(payload), "eof"), (len(got), how))
                    self.assertEqual(payload, got)
                    c.close()
                    peer.mode = "echo"

                took = self.reconnect_works(d, listen, port, server_ends)
                print("server first, timestamps %s: pair again after %.2f s" %
                      ("on" if timestamps else "off", took), flush=True)
                self.assertLess(took, RECONNECT_BOUND_S, d.describe())


class Running(RigCase):
    """One daemon for the signal and sandbox checks."""

    RIG = dict(name=NAME)

    def relays(self):
        c = self.ns.connect(NFS_PORT)
        try:
            return exchange(c, b"r" * 20000) == b"r" * 20000
        finally:
            c.close()

    def test_sighup_reloads_and_is_survived(self):
        mark = self.log.mark()
        for _ in range(2):
            self.d.signal(signal.SIGHUP)
            time.sleep(0.2)
        lines = self.d.wait_line(r"^received SIGHUP, reloading the CA bundle and the accepted "
                                 r"names$", start=mark, count=2)
        self.assertEqual("reload", lines.function)
        self.d.wait_line(r"^Reloaded: ", start=mark, count=2)
        self.assertIsNone(self.d.proc.poll())
        self.assertTrue(self.relays())

    def test_every_thread_runs_sandboxed_and_nothing_it_needs_is_refused(self):
        line = self.d.wait_line(r"^sandbox (entered|not entered)")
        if line.text.startswith("sandbox not entered"):
            self.skipTest(line.text)
        tasks = self.d.threads()
        self.assertGreaterEqual(len(tasks), 2)
        for task in tasks:
            self.assertEqual("2", self.d.status_field("Seccomp", task), task)
            self.assertEqual("1", self.d.status_field("NoNewPrivs", task), task)
        # Everything a day brings: pairs, an orderly end from each side, a reset, the log
        # threshold moved both ways, and the connection to syslog.
        for _ in range(20):
            self.assertTrue(self.relays())
        c = self.ns.connect(NFS_PORT)
        c.sendall(b"abc")
        c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
        c.close()
        for signo in (signal.SIGUSR1, signal.SIGUSR2):
            self.d.signal(signo)
        self.assertTrue(self.relays())
        self.assertIsNone(self.d.proc.poll())
        refused = [l.text for l in self.d.lines() if "sandbox refused" in l.text]
        self.assertEqual([], refused)
        errors = [l.text for l in self.d.lines() if l.level == ERROR and "sandbox" in l.text]
        self.assertEqual([], errors)


class Shutdown(unittest.TestCase):
    def test_sandboxed_daemon_shuts_down_in_order(self):
        with Netns() as ns, Syslog() as log, Pki() as pki, \
                TlsPeer(*pki.server(NAME), mode="echo") as peer, \
                Daemon(log, ns, peer.port, pki.ca, NAME) as d:
            d.wait_line(r"^sandbox (entered|not entered)")
            c = ns.connect(NFS_PORT)
            self.assertEqual(b"s" * 1000, exchange(c, b"s" * 1000))
            d.signal(signal.SIGTERM)
            self.assertEqual(0, d.wait_exit(60), d.describe())
            c.close()
            self.assertFalse([l.text for l in d.lines() if "sandbox refused" in l.text])
            d.wait_line(r"Event loop destroyed")


if __name__ == "__main__":
    run_tests()
