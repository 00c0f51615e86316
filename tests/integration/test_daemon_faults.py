"""Mount targets that fail in the middle of a running daemon: a black-holed address, a server
that never answers the handshake, one that resets mid-stream, one that sends garbage instead
of TLS, and a path that goes silent. Each fault ends only its own pair, within a bound, while
a healthy pair relays checksummed data before, during and after it."""

import contextlib
import errno
import ipaddress
import os
import re
import select
import socket
import time
import unittest

from fault_kit import BLACKHOLE_PORTS, SILENT_PORTS, HealthyPair, RoutedTarget, figure
from harness import (NFS_PORT, WARN, Daemon, Netns, Pki, Syslog, TlsPeer, exchange, free_port,
                     run_tests, sha256)

NAME = "srv.test"
MIB = 1 << 20
# The healthy pair returns a chunk every few tens of milliseconds; a pause this long means
# the fault held up the whole loop, not just its own pair.
# The deadlines: 10 s to connect, 10 s for the handshake, about 60 s for a silent server.
CONNECT_DEADLINE_S = HANDSHAKE_DEADLINE_S = 10
CLOSE_BOUNDS_S = (9.0, 20.0)
SILENT_PATH_BOUND_S = 90.0
QUICK_CLOSE_S = 5.0
CHUNK = 64 * 1024
RESET_AFTER = 4 * CHUNK


def wait_closed(socks, timeout):
    """Reads from every socket until its peer ends it; returns {socket: monotonic time of the
    end} for those that ended within the timeout."""
    ended = {}
    open_socks = list(socks)
    end = time.monotonic() + timeout
    while open_socks and time.monotonic() < end:
        readable, _, _ = select.select(open_socks, [], [], min(0.5, end - time.monotonic()))
        for s in readable:
            try:
                chunk = s.recv(65536)
            except (ConnectionResetError, socket.timeout):
                chunk = b""
            if not chunk:
                ended[s] = time.monotonic()
                open_socks.remove(s)
    return ended


class TargetFaults(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with contextlib.ExitStack() as stack:
            cls.ns = stack.enter_context(Netns())
            cls.log = stack.enter_context(Syslog())
            cls.pki = stack.enter_context(Pki())
            cls.world = stack.enter_context(RoutedTarget())
            cert, key = cls.pki.server(NAME)
            cls.peer = stack.enter_context(TlsPeer(cert, key, host="::", netns=cls.world.server))
            cls.d = stack.enter_context(Daemon(cls.log, cls.ns, cls.peer.port, cls.pki.ca, NAME,
                                               target=cls.world.target))
            cls.healthy = stack.enter_context(HealthyPair(cls.ns))
            cls.target_ep = "[%s]:%d" % (ipaddress.ip_address(cls.world.target).compressed,
                                         cls.peer.port)
            cls.stack = stack.pop_all()

    @classmethod
    def tearDownClass(cls):
        cls.stack.close()

    def setUp(self):
        self.peer.mode, self.peer.payload, self.peer.reset_after = "echo", b"", 0
        self.mark = self.log.mark()
        self.healthy.wait_rounds(3)
        self.started = time.monotonic()
        self.clients = []

    def tearDown(self):
        for c in self.clients:
            c.close()

    def connect(self, ports=None):
        src_port = free_port("::", range(ports[0], ports[1] + 1), self.ns) if ports else None
        c = self.ns.connect(NFS_PORT, src_port=src_port)
        self.clients.append(c)
        return c, c.getsockname()[1]

    def secure_fd(self, client_port):
        line = self.d.wait_line(r"Initiated connection from \[[^\]]*\]:%d to " % client_port,
                                start=self.mark)
        return int(re.search(r"socket (\d+)", line.text).group(1))

    def assert_closes_its_pair(self, fd):
        self.d.wait_line(r"Closing connection on socket %d$" % fd, timeout=5, start=self.mark)

    def assert_others_kept_flowing(self, case):
        """The healthy pair went on through the fault and after it, and a new pair relays."""
        self.healthy.assert_kept_flowing(self.started, case)
        fresh, _ = self.connect()
        payload = os.urandom(256 * 1024)
        self.assertEqual(sha256(payload), sha256(exchange(fresh, payload, timeout=20)))
        self.assertIsNone(self.d.proc.poll())

    def assert_closed_by_deadline(self, case, started, client, fd, pattern):
        ended = wait_closed([client], CLOSE_BOUNDS_S[1] + 5)
        self.assertIn(client, ended, "%s: client still connected after %.0f s" % (
            case, time.monotonic() - started))
        waited = ended[client] - started
        figure("%s: pair closed %.2f s after the client connected" % (case, waited))
        line = self.d.wait_line(pattern % (re.escape(self.target_ep), fd), timeout=5,
                                start=self.mark)
        self.assertEqual(WARN, line.level)
        self.assertTrue(CLOSE_BOUNDS_S[0] <= waited <= CLOSE_BOUNDS_S[1], waited)
        self.assert_closes_its_pair(fd)

    def test_black_holed_target_is_given_up_at_the_connect_deadline(self):
        # Two at once: each connection has a deadline of its own.
        pending = []
        for _ in range(2):
            client, port = self.connect(BLACKHOLE_PORTS)
            client.sendall(b"nfs call")
            pending.append((client, self.secure_fd(port), time.monotonic()))
        for client, fd, started in pending:
            self.assert_closed_by_deadline(
                "black-holed target", started, client, fd,
                r"Connection to %s not established within " + str(CONNECT_DEADLINE_S) +
                r" seconds, closing socket %d$")
        self.assert_others_kept_flowing("black-holed target")

    def test_server_that_never_answers_the_handshake_is_given_up(self):
        self.peer.mode = "mute"
        seen = self.peer.connection_count()
        client, port = self.connect()
        started = time.monotonic()
        client.sendall(b"nfs call")
        conn = self.peer.connection_from(port, since=seen)
        self.peer.mode = "echo"
        fd = self.secure_fd(port)
        self.assert_closed_by_deadline(
            "silent handshake", started, client, fd,
            r"TLS handshake with %s not finished within " + str(HANDSHAKE_DEADLINE_S) +
            r" seconds, closing socket %d$")
        self.assertTrue(conn.done.wait(5), "the server's connection stays open")
        self.assertGreater(conn.nbytes, 0, "no ClientHello reached the server")
        self.assert_others_kept_flowing("silent handshake")

    def test_reset_mid_stream_closes_the_pair_at_once(self):
        self.peer.reset_after = RESET_AFTER
        client, port = self.connect()
        fd = self.secure_fd(port)
        # Chunk by chunk, so that what the server echoes before its reset is back in full.
        sent = bytearray()
        got = bytearray()
        for _ in range(2 * RESET_AFTER // CHUNK):
            chunk = os.urandom(CHUNK)
            sent += chunk
            answer = exchange(client, chunk, timeout=10)
            got += answer
            if len(answer) < len(chunk):
                break
        ended = time.monotonic()
        conn = self.peer.connection_from(port)
        self.peer.reset_after = 0
        self.assertEqual("reset by us", conn.end)
        self.assertEqual(bytes(sent[:len(got)]), bytes(got), "bytes relayed before the reset "
                         "were damaged")
        self.assertGreaterEqual(len(got), RESET_AFTER - CHUNK)
        self.assertLess(len(got), RESET_AFTER)
        line = self.d.wait_line(r"(Received (error condition|HUP|RDHUP) on socket %d\.|"
                                r"Received error on connection to %s: |"
                                r"Failed to send data on socket %d: )" % (
                                    fd, re.escape(self.target_ep), fd), start=self.mark)
        self.assert_closes_its_pair(fd)
        figure("reset mid-stream: client's end %.3f s after the daemon saw %r; %d bytes "
               "echoed before it" % (ended - line.when, line.text, len(got)))
        self.assertLess(abs(ended - line.when), QUICK_CLOSE_S)
        self.assert_others_kept_flowing("reset mid-stream")

    def test_garbage_instead_of_tls_fails_only_that_pair(self):
        cases = {
            "ssh banner": ("garbage", b"SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n"),
            "http answer": ("garbage", b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n"),
            "1 MiB of random bytes": ("garbage", b"\x00" + os.urandom(MIB)),
            # An application-data record header with random contents after a good handshake.
            "forged record mid-stream": ("garbage-after", b"\x17\x03\x03\x00\x40" +
                                         os.urandom(64)),
        }
        for case, (mode, garbage) in cases.items():
            with self.subTest(case=case):
                self.mark = self.log.mark()
                self.peer.mode, self.peer.payload = mode, garbage
                # The daemon resets the client as soon as the handshake fails, which can be
                # before the client's own connect or send has returned.
                seen = self.peer.connection_count()
                client = self.ns.socket()
                self.clients.append(client)
                client.settimeout(10)
                self.assertIn(client.connect_ex(("::1", NFS_PORT)), (0, errno.ECONNRESET))
                port = client.getsockname()[1]
                started = time.monotonic()
                first = b"nfs call " + case.encode()
                try:
                    client.sendall(first)
                except (ConnectionResetError, BrokenPipeError):
                    pass
                self.peer.connection_from(port, since=seen)
                self.peer.mode, self.peer.payload = "echo", b""
                fd = self.secure_fd(port)
                got = bytearray()
                client.settimeout(QUICK_CLOSE_S)
                while True:
                    try:
                        chunk = client.recv(65536)
                    except (ConnectionResetError, socket.timeout):
                        break
                    if not chunk:
                        break
                    got += chunk
                waited = time.monotonic() - started
                line = self.d.wait_line(r"Received error on connection to %s: errno=\d+, " %
                                        re.escape(self.target_ep), start=self.mark)
                self.assert_closes_its_pair(fd)
                figure("garbage (%s): pair closed %.3f s after connecting: %s" % (
                    case, waited, line.text.split(": ", 2)[-1]))
                self.assertLess(waited, QUICK_CLOSE_S)
                # Nothing of the garbage is ever passed on as plaintext.
                self.assertEqual(first if mode == "garbage-after" else b"", bytes(got))
        self.assert_others_kept_flowing("garbage")

    def test_silent_server_path_is_detected(self):
        # One pair idle when the path goes silent (keepalive finds it), one with data in
        # flight (the user timeout finds it).
        pairs = {}
        for role in ("idle", "busy"):
            client, port = self.connect(SILENT_PORTS)
            payload = os.urandom(64 * 1024)
            self.assertEqual(payload, exchange(client, payload, timeout=20), role)
            pairs[role] = (client, self.secure_fd(port))
        self.world.silence()
        try:
            cut = time.monotonic()
            pairs["busy"][0].sendall(os.urandom(64 * 1024))
            ended = wait_closed([c for c, _ in pairs.values()], SILENT_PATH_BOUND_S + 5)
        finally:
            self.world.heal()
        for role, (client, fd) in pairs.items():
            self.assertIn(client, ended, "%s pair still open %.0f s after the path went silent" %
                          (role, time.monotonic() - cut))
            waited = ended[client] - cut
            why = ["%.1f s %s" % (l.when - cut, l.text) for l in self.d.lines(self.mark)
                   if re.search(r"socket %d\b" % fd, l.text) and l.when > cut]
            figure("silent path (%s pair): closed %.1f s after the link went down; %r" % (
                role, waited, why[:2]))
            self.assertLessEqual(waited, SILENT_PATH_BOUND_S)
            self.assert_closes_its_pair(fd)
        self.assert_others_kept_flowing("silent path")


if __name__ == "__main__":
    run_tests()
