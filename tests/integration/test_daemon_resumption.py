"""TLS session resumption with the real daemon. A second connection to the same mount target
resumes the session of the first, and the log says so instead of listing certificates. A target
restarted on the same port (new ticket keys) cannot resume the session the daemon offers it: the
full handshake that follows is verified, and with the right certificate its own session resumes
from then on; with a certificate for another name it is refused before a byte of the client's
passes. ZARN_DWEL_TLS_RESUME=0 makes every handshake a full one."""

import os
import shutil
import signal
import ssl
import threading

from harness import (ERROR, NFS_PORT, Daemon, RigCase, TlsPeer, connection_closed,
                     exchange, run_tests, sha256)

NAME = "srv.test"
VERSIONS = {"TLS 1.2": ssl.TLSVersion.TLSv1_2, "TLS 1.3": ssl.TLSVersion.TLSv1_3}


class Resumption(RigCase):
    RIG = dict(name=NAME, peer_mode=None)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.cert = (cls.rig.cert, cls.rig.key)
        cls.other = cls.pki.server("other.test")

    def echo_once(self, d, peer, n):
        """One client's request and echo through the daemon; returns the target's record of
        the connection (the nth it accepted) and the daemon's lines of it."""
        mark = self.log.mark()
        client = self.ns.connect(NFS_PORT)
        payload = b"request %d " % n * 50
        self.assertEqual(payload, exchange(client, payload))
        client.close()
        conn = peer.wait_connections(n + 1)[n]
        self.assertTrue(conn.done.wait(10))
        # The last line of either kind of handshake: the leaf's subject, or the resumption.
        if conn.reused:
            d.wait_line(r"Resumed TLS session with \[::1\]:%d on socket \d+$" % peer.port,
                        start=mark)
        else:
            d.wait_line(r"^  subject: .*CN=%s$" % NAME, start=mark)
        return conn, d.texts(mark)

    def assert_full(self, conn, texts):
        self.assertFalse(conn.reused)
        self.assertEqual(2, texts.count("Verified cert"), texts)
        self.assertFalse([t for t in texts if "Resumed TLS session" in t])

    def assert_resumed(self, conn, texts):
        self.assertTrue(conn.reused)
        self.assertEqual(0, texts.count("Verified cert"), texts)
        self.assertEqual(1, len([t for t in texts if "Resumed TLS session" in t]), texts)

    def test_resumes_and_still_refuses_another_name(self):
        for version, tls_max in VERSIONS.items():
            with self.subTest(version=version), \
                    TlsPeer(*self.cert, mode="echo", tls_max=tls_max) as first, \
                    Daemon(self.log, self.ns, first.port, self.pki.ca, NAME) as d:
                port = first.port
                self.assert_full(*self.echo_once(d, first, 0))
                self.assert_resumed(*self.echo_once(d, first, 1))
                self.assert_resumed(*self.echo_once(d, first, 2))
                # The target goes away (its context and ticket keys with it); the outer exit
                # finds it stopped already.
                first.__exit__(None, None, None)

                # Offered the first target's session, which it cannot resume: a full handshake.
                with TlsPeer(*self.cert, mode="echo", port=port, tls_max=tls_max) as restarted:
                    self.assert_full(*self.echo_once(d, restarted, 0))
                    self.assert_resumed(*self.echo_once(d, restarted, 1))

                # Offered the restarted target's session, which it cannot resume either.
                with TlsPeer(*self.other, mode="sink", port=port, tls_max=tls_max) as impostor:
                    mark = self.log.mark()
                    client = self.ns.connect(NFS_PORT)
                    client.sendall(b"secret")
                    self.assertTrue(connection_closed(client, 30), "client connection stays open")
                    client.close()
                    conn = impostor.wait_connections(1)[0]
                    self.assertTrue(conn.done.wait(10))
                    self.assertTrue(conn.end.startswith("handshake"), conn.end)
                    self.assertEqual(0, conn.nbytes)
                    d.wait_line(r"^  err 62:hostname mismatch$", start=mark)
                    d.wait_line(r"certificate verify failed", start=mark)
                    self.assertFalse([t for t in d.texts(mark) if "Resumed TLS session" in t])

                with TlsPeer(*self.cert, mode="echo", port=port, tls_max=tls_max) as back:
                    self.assert_full(*self.echo_once(d, back, 0))
                    self.assert_resumed(*self.echo_once(d, back, 1))
                self.assertIsNone(d.proc.poll())

    def test_zero_turns_resumption_off(self):
        env = dict(os.environ, ZARN_DWEL_TLS_RESUME="0")
        with TlsPeer(*self.cert, mode="echo") as peer, \
                Daemon(self.log, self.ns, peer.port, self.pki.ca, NAME, env=env) as d:
            d.wait_line(r"^TLS session resumption off \(ZARN_DWEL_TLS_RESUME=0\)$")
            for n in range(2):
                self.assert_full(*self.echo_once(d, peer, n))

    def test_sighup_rotates_the_ca_while_a_pair_streams(self):
        """The bundle rewritten in place with a new CA and the target given a certificate of
        that CA: after SIGHUP new connections verify against it with a full handshake while
        the open pair streams on; a reload that fails keeps what is in force."""
        ca = os.path.join(self.pki.dir, "rotating-ca.pem")
        shutil.copy(self.pki.ca, ca)
        new_ca = self.pki.make_ca("rotated-ca")
        new_cert = self.pki.server(NAME, ca=new_ca)
        with TlsPeer(*self.cert, mode="echo") as peer, \
                Daemon(self.log, self.ns, peer.port, ca, NAME) as d:
            self.assert_full(*self.echo_once(d, peer, 0))
            self.assert_resumed(*self.echo_once(d, peer, 1))
            streaming = self.ns.connect(NFS_PORT)
            payload = os.urandom(64 << 20)
            got = []
            stream = threading.Thread(target=lambda: got.append(
                exchange(streaming, payload, timeout=60)))
            stream.start()
            with open(new_ca[0], "rb") as f, open(ca, "r+b") as bundle:
                bundle.write(f.read())
                bundle.truncate()
            peer.ctx.load_cert_chain(*new_cert)
            d.signal(signal.SIGHUP)
            d.wait_line("^Reloaded: new connections verify against the new CA bundle")
            conn, texts = self.echo_once(d, peer, 3)
            self.assert_full(conn, texts)
            self.assertIn("Verifying openssl server certs using %s (1 certificates)" % ca,
                          d.texts())
            self.assert_resumed(*self.echo_once(d, peer, 4))
            stream.join(60)
            self.assertEqual(sha256(payload), sha256(got[0]))
            streaming.close()
            st = d.wait_status(lambda st: st.get("last_reload", {}).get("result") == "ok")

            with open(ca, "w") as bundle:
                bundle.write("not a certificate\n")
            mark = self.log.mark()
            d.signal(signal.SIGHUP)
            line = d.wait_line("^Reload failed, the CA bundle and names in force stay: ",
                               start=mark)
            self.assertIn("CA bundle %s: " % ca, line.text)
            self.assertEqual(ERROR, line.level)
            self.assert_resumed(*self.echo_once(d, peer, 5))
            st = d.wait_status(lambda st: st["last_reload"]["result"] != "ok")
            self.assertTrue(st["last_reload"]["result"].startswith("CA bundle "), st)
            self.assertFalse([t for t in d.texts() if "sandbox refused" in t], d.describe())
            # The reader, a process of its own, reads only beside its two files (Landlock).
            self.assertFalse([l.text for l in self.log.records()
                              if l.text.startswith("File reader not confined")])
            self.assertIsNone(d.proc.poll())


if __name__ == "__main__":
    run_tests()
