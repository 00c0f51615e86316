"""A mount target that cannot be reached or trusted: the client's connection is reset and the
log says why."""

import re

from harness import (NFS_PORT, Daemon, RigCase, TlsPeer, connection_closed, exchange, run_tests)

NAME = "srv.test"


class TargetFailures(RigCase):
    RIG = dict(name=NAME, peer_mode=None)

    def run_case(self, peer, expected, extra=(), pairs=True):
        """Connects a client that sends a request; returns the daemon's log once the client's
        connection is closed and every expected pattern (formatted with the secure socket's
        descriptor and the peer's port) has appeared."""
        with Daemon(self.log, self.ns, peer.port, self.pki.ca, NAME, extra=extra) as d:
            client = self.ns.connect(NFS_PORT)
            client_port = client.getsockname()[1]
            try:
                client.sendall(b"request")
            except ConnectionResetError:
                pass  # the client is reset: nothing reached the target, and it must know
            self.assertTrue(connection_closed(client, 30), "client connection stays open")
            client.close()
            fields = {"port": peer.port}
            if pairs:
                line = d.wait_line(r"Initiated connection from \[[^\]]*\]:%d to \[::1\]:%d, "
                                   r"socket (\d+)" % (client_port, peer.port))
                fields["fd"] = int(re.search(r"socket (\d+)", line.text).group(1))
                d.wait_line(r"Closing connection on socket %d$" % fields["fd"])
            for pattern in expected:
                d.wait_line(pattern.format(**fields))
            # The daemon survives the failure and is still able to pair.
            self.assertIsNone(d.proc.poll())
            return d.texts()

    def test_target_refuses(self):
        with TlsPeer(mode="refuse") as peer:
            self.run_case(peer, [r"Received (error condition|HUP) on socket {fd}\."])

    def test_target_resets(self):
        with TlsPeer(mode="reset") as peer:
            self.run_case(peer, [r"(Received (error condition|HUP|RDHUP) on socket {fd}\."
                                 r"|Received error on connection to \[::1\]:{port}: )"])

    def test_certificate_problems_fail_the_handshake(self):
        other_ca = self.pki.make_ca("other-ca")
        cases = {
            "name": (self.pki.server("other.test"), "err 62:hostname mismatch",
                     "hostname mismatch", "other.test"),
            "untrusted": (self.pki.server(NAME, ca=other_ca),
                          "err 20:unable to get local issuer certificate",
                          "unable to get local issuer certificate", NAME),
        }
        for case, ((cert, key), error, verdict, cert_name) in cases.items():
            with self.subTest(case=case), TlsPeer(cert, key, mode="sink") as peer:
                self.run_case(peer, [
                    r"^failed to verify the cert$",
                    r"^  at depth: 0$",
                    "^  " + re.escape(error) + "$",
                    r"Received error on connection to \[::1\]:{port}: errno=\d+, "
                    r".*certificate verify failed",
                    # The one line that says it all: verdict, names on both sides, the
                    # bundle and the dates.
                    r"^TLS verification of mount target \[::1\]:{port} failed for client "
                    r"\[::1\]:\d+ on port %d: %s; expected %s; certificate names CN=%s, DNS:%s; "
                    r"CA bundle %s; valid from \w+ +\d+ [\d:]+ \d+ GMT until \w+ +\d+ [\d:]+ "
                    r"\d+ GMT \(0 more TLS failures on the port since the last line\)$" % (
                        NFS_PORT, re.escape(verdict), re.escape(NAME), re.escape(cert_name),
                        re.escape(cert_name), re.escape(self.pki.ca)),
                ])
                conn = peer.wait_connections(1)[0]
                self.assertTrue(conn.done.wait(10))
                self.assertTrue(conn.end.startswith("handshake"), conn.end)
                self.assertEqual(0, conn.nbytes)

    def test_server_name_sent_and_names_taken_literally(self):
        """-O: the certificate's names, whether the daemon relays, the name the target saw."""
        cases = [
            ("host name", NAME, dict(alt="DNS:" + NAME), True, NAME),
            ("address, IP subjectAltName", "::1", dict(alt="IP:::1"), True, None),
            ("address, as a DNS name only", "::1", dict(alt="DNS:::1"), False, None),
            ("IPv4 address", "127.0.0.1", dict(alt="IP:127.0.0.1"), True, None),
            ("wildcard, the same wildcard", "*.example.test", dict(alt="DNS:*.example.test"),
             True, None),
            ("wildcard, a name it would cover", "*.example.test",
             dict(alt="DNS:srv.example.test"), False, None),
        ]
        for case, name, cert_kw, relays, sent in cases:
            with self.subTest(case=case), \
                    TlsPeer(*self.pki.server("cn.test", **cert_kw), mode="echo") as peer, \
                    Daemon(self.log, self.ns, peer.port, self.pki.ca, NAME,
                           extra=["-O", name]) as d:
                client = self.ns.connect(NFS_PORT)
                got = exchange(client, b"hello", timeout=10)
                client.close()
                self.assertEqual(b"hello" if relays else b"", got, d.describe())
                conn = peer.wait_connections(1)[0]
                self.assertTrue(conn.done.wait(10))
                self.assertEqual(sent, conn.server_name)

    def test_handshake_failure_names_its_cause(self):
        with TlsPeer(mode="garbage", payload=b"HTTP/1.1 400 Bad Request\r\n" * 40) as peer:
            texts = self.run_case(peer, [
                r"^TLS handshake with mount target \[::1\]:{port} failed for client "
                r"\[::1\]:\d+ on port %d: error:[0-9A-F]+:SSL routines::\w[\w ]+ \(0 more "
                % NFS_PORT])
            self.assertFalse([t for t in texts if t.startswith("TLS verification")])

    def test_source_that_cannot_be_bound_rejects_the_client(self):
        with TlsPeer(*self.pki.server(NAME)) as peer:
            texts = self.run_case(peer, [r"Unable to bind to \[2001:db8::5\]:\d+ \("],
                                  extra=["-s", "2001:db8::5"], pairs=False)
            self.assertEqual([], peer.connections)
            self.assertFalse([t for t in texts if "Initiated connection" in t])


if __name__ == "__main__":
    run_tests()
