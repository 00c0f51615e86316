"""The benchmark's load tool, tiny: every workload end to end, and its byte checks catching a
forwarder that damages the stream.

The client end speaks plain TCP and the server end TLS, so the relay in this test is a small
TLS client of its own (Python's ssl module) that verifies the server as the forwarders do. It
can flip one byte at a chosen offset of one direction, which is what the checks are for."""

import os
import select
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.join(os.environ.get("ZD_SRC", os.path.join(
    os.path.dirname(__file__), "..", "..")), "bench"))
import bench  # noqa: E402  (the benchmark script makes the certificates)

BIN = os.environ.get("ZD_BIN", "build/bin")
LOAD = os.path.join(BIN, "zd-load")
MIB = 1 << 20

# Small runs of every workload; none may take long, and no figure is judged, only the checks.
TINY = {
    "bulk-up": ["--bytes", "3M"],
    "bulk-down": ["--bytes", "3M"],
    "rpc": ["--conns", "3", "--ops", "300", "--seconds", "20"],
    "read": ["--conns", "2", "--ops", "40", "--seconds", "20"],
    "connect": ["--conns", "2", "--ops", "30", "--seconds", "20"],
    "many": ["--conns", "12", "--seconds", "1", "--interval-ms", "100", "--ramp-ms", "1"],
}


class Relay:
    """Plain in, verified TLS out; `flip` = (direction, offset) damages one byte, where the
    direction is "up" (client to server) or "down"."""

    def __init__(self, server_port, ca, flip=None):
        self.server_port, self.flip = server_port, flip
        self.ctx = ssl.create_default_context(cafile=ca)
        self.ctx.minimum_version = ssl.TLSVersion.TLSv1_2
        self.ctx.maximum_version = ssl.TLSVersion.TLSv1_2
        self.ctx.set_ciphers(bench.CIPHER)
        self.listener = socket.socket(socket.AF_INET6)
        self.listener.bind(("::1", 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.stopping = False
        self.errors = []
        threading.Thread(target=self._accept, daemon=True).start()

    def close(self):
        self.stopping = True
        self.listener.close()

    def _accept(self):
        while not self.stopping:
            try:
                plain, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._pair, args=(plain,), daemon=True).start()

    def _pair(self, plain):
        try:
            raw = socket.create_connection(("::1", self.server_port), timeout=20)
            secure = self.ctx.wrap_socket(raw, server_hostname=bench.SERVER_NAME)
        except (OSError, ssl.SSLError) as e:
            self.errors.append(e)
            plain.close()
            return
        try:
            self._pump(plain, secure)
        except (OSError, ssl.SSLError):
            pass
        finally:
            plain.close()
            secure.close()

    def _damage(self, direction, done, data):
        if self.flip and self.flip[0] == direction and done <= self.flip[1] < done + len(data):
            i = self.flip[1] - done
            data[i] ^= 0x40

    def _pump(self, plain, secure):
        """One thread per pair: an OpenSSL session must not be read and written at once from
        two threads. Either side ending ends the pair, as it does in the daemon."""
        plain.setblocking(False)
        secure.setblocking(False)
        up, down = bytearray(), bytearray()
        done = {"up": 0, "down": 0}
        limit = 1 << 20
        while True:
            readers = ([plain] if len(up) < limit else []) + \
                      ([secure] if len(down) < limit else [])
            writers = ([secure] if up else []) + ([plain] if down else [])
            if secure.pending() and len(down) < limit:
                ready = [secure], [], []
            else:
                ready = select.select(readers, writers, [], 20)
                if ready == ([], [], []):
                    return
            if plain in ready[0] and not self._move(plain, up, "up", done):
                return self._flush(secure, up)
            if secure in ready[0] and not self._move(secure, down, "down", done):
                return self._flush(plain, down)
            for sock, buf in ((secure, up), (plain, down)):
                if buf and sock in ready[1]:
                    try:
                        del buf[:sock.send(buf[:65536])]
                    except (ssl.SSLWantWriteError, ssl.SSLWantReadError, BlockingIOError):
                        pass

    @staticmethod
    def _flush(sock, buf):
        """What one side sent before it ended still reaches the other side."""
        sock.setblocking(True)
        sock.settimeout(20)
        sock.sendall(buf)

    def _move(self, sock, buf, direction, done):
        try:
            data = bytearray(sock.recv(65536))
        except (ssl.SSLWantReadError, ssl.SSLWantWriteError, BlockingIOError):
            return True
        if not data:
            return False
        self._damage(direction, done[direction], data)
        done[direction] += len(data)
        buf += data
        return True


class Server:
    def __init__(self, pki=None):
        argv = [LOAD, "server", "--listen", "[::1]:0", "--max-seconds", "300"]
        argv += ["--cert", pki["cert"], "--key", pki["key"]] if pki else ["--plain"]
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True)
        first = self.proc.stdout.readline()
        fields = dict(kv.split("=", 1) for kv in first.split()[1:])
        assert fields.get("listening") == "1", first
        self.port = int(fields["port"])

    def stop(self):
        """Ends the server and returns its summary line as a dict."""
        self.proc.send_signal(signal.SIGTERM)
        out, _ = self.proc.communicate(timeout=30)
        lines = [l for l in out.splitlines() if l.startswith("zd-load role=server conns=")]
        return dict(kv.split("=", 1) for kv in lines[-1].split()[1:])


def run_client(port, workload, extra=()):
    argv = [LOAD, "client", "--connect", "[::1]:%d" % port, "--workload", workload,
            "--timeout", "20"] + TINY.get(workload, []) + list(extra)
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          timeout=120)
    line = bench.parse_line(done.stdout)
    assert line is not None, "no result line: %r %r" % (done.stdout, done.stderr)
    return done.returncode, line


class LoadTool(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="zd-bench-smoke-")
        cls.pki = bench.make_pki(cls.tmp.name)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def assert_success(self, rc, line, workload):
        self.assertEqual(0, rc, line)
        self.assertEqual("ok", line["check"], line)
        self.assertEqual("0", line["fails"], line)
        self.assertEqual("0", line["check_fails"], line)
        self.assertEqual(workload, line["workload"])

    def assert_amounts(self, workload, line):
        ops, nbytes = int(line["ops"]), int(line["bytes"])
        if workload.startswith("bulk"):
            self.assertEqual(3 * MIB, nbytes)
        elif workload == "rpc":
            self.assertEqual(300, ops)
            self.assertEqual(300 * 200, nbytes)
        elif workload == "read":
            self.assertEqual(40, ops)
            self.assertEqual(40 * 128 * 1024, nbytes)
        elif workload == "connect":
            self.assertEqual(30, ops)
        elif workload == "many":
            self.assertEqual("12", line["connected"])
            self.assertGreater(ops, 0)
        if workload not in ("bulk-up", "bulk-down"):
            for key in ("p50_us", "p99_us", "p999_us"):
                self.assertIn(key, line)
            self.assertLessEqual(float(line["p50_us"]), float(line["p999_us"]))

    def test_every_workload_through_a_verifying_tls_relay(self):
        server = Server(self.pki)
        relay = Relay(server.port, self.pki["ca"])
        try:
            for workload in TINY:
                with self.subTest(workload=workload):
                    rc, line = run_client(relay.port, workload)
                    self.assert_success(rc, line, workload)
                    self.assert_amounts(workload, line)
        finally:
            relay.close()
            summary = server.stop()
        self.assertEqual([], relay.errors)
        self.assertEqual("0", summary["handshake_fails"], summary)
        self.assertEqual("0", summary["check_fails"], summary)
        # bulk-up, 3 rpc, 2 read, 30 connect and 12 many connections, plus bulk-down.
        self.assertEqual(1 + 1 + 3 + 2 + 30 + 12, int(summary["conns"]), summary)

    def test_every_workload_against_the_plain_server(self):
        server = Server()
        try:
            for workload in TINY:
                with self.subTest(workload=workload):
                    rc, line = run_client(server.port, workload)
                    self.assert_success(rc, line, workload)
                    self.assert_amounts(workload, line)
        finally:
            summary = server.stop()
        self.assertEqual("0", summary["check_fails"], summary)

    def test_one_flipped_byte_fails_the_check_of_its_direction(self):
        # Offsets past the 32-byte hello, so that the damage hits the checked stream itself;
        # the upload is checked by the server, which reports it in its ack.
        cases = [
            ("bulk-up", ("up", 2 * MIB + 7)),
            ("bulk-down", ("down", MIB + 3)),
            ("rpc", ("down", 200 * 17 + 5)),
            ("read", ("down", 128 * 1024 * 3 + 11)),
        ]
        for workload, flip in cases:
            with self.subTest(workload=workload, flip=flip):
                server = Server(self.pki)
                relay = Relay(server.port, self.pki["ca"], flip=flip)
                try:
                    rc, line = run_client(relay.port, workload, ["--conns", "1"]
                                          if workload in ("rpc", "read") else [])
                finally:
                    relay.close()
                    summary = server.stop()
                self.assertEqual(1, rc, line)
                self.assertEqual("FAILED", line["check"], line)
                self.assertEqual("1", line["check_fails"], line)
                if workload == "bulk-up":
                    self.assertEqual("1", summary["check_fails"], summary)

    def test_a_damaged_request_ends_its_connection_and_fails_the_run(self):
        server = Server(self.pki)
        relay = Relay(server.port, self.pki["ca"], flip=("up", 32 + 200 * 5 + 1))
        try:
            rc, line = run_client(relay.port, "rpc", ["--conns", "1"])
        finally:
            relay.close()
            summary = server.stop()
        self.assertEqual(1, rc, line)
        self.assertEqual("FAILED", line["check"])
        self.assertEqual("1", line["fails"], line)
        self.assertEqual("1", summary["check_fails"], summary)

    def test_nothing_listening_is_a_failure_not_a_hang(self):
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
            port = s.getsockname()[1]
        for workload in ("bulk-up", "rpc", "connect"):
            with self.subTest(workload=workload):
                rc, line = run_client(port, workload)
                self.assertEqual(1, rc, line)
                self.assertEqual("FAILED", line["check"])
                self.assertNotEqual("0", line["fails"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
