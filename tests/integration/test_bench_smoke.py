"""The benchmark's load tool, tiny: every workload end to end, and its byte checks catching a
forwarder that damages the stream; and the benchmark's own CPU and memory accounting.

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
    "reconnect": ["--conns", "8", "--ramp-ms", "1", "--seconds", "20"],
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
        self.pid = self.proc.pid

    def control(self, signo):
        """Sends a control signal and returns the server's acknowledgement as a dict."""
        os.kill(self.pid, signo)
        line = self.proc.stdout.readline()
        return dict(kv.split("=", 1) for kv in line.split()[1:])

    def stop(self):
        """Ends the server and returns its summary line as a dict."""
        self.proc.send_signal(signal.SIGTERM)
        out, _ = self.proc.communicate(timeout=30)
        lines = [l for l in out.splitlines() if l.startswith("zd-load role=server conns=")]
        return dict(kv.split("=", 1) for kv in lines[-1].split()[1:])


def run_client(port, workload, extra=(), server=None):
    argv = [LOAD, "client", "--connect", "[::1]:%d" % port, "--workload", workload,
            "--timeout", "20"] + TINY.get(workload, []) + list(extra)
    if workload == "reconnect":
        argv += ["--server-pid", str(server.pid)]
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
        elif workload == "reconnect":
            # Every client was connected, lost its connection to the blip and came back.
            self.assertEqual(("8", 8), (line["connected"], ops))
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
                    rc, line = run_client(relay.port, workload, server=server)
                    self.assert_success(rc, line, workload)
                    self.assert_amounts(workload, line)
        finally:
            relay.close()
            summary = server.stop()
        self.assertEqual([], relay.errors)
        self.assertEqual("0", summary["handshake_fails"], summary)
        self.assertEqual("0", summary["check_fails"], summary)
        # bulk-up, 3 rpc, 2 read, 30 connect and 12 many connections, plus bulk-down, and 8
        # reconnect clients twice each.
        self.assertEqual(1 + 1 + 3 + 2 + 30 + 12 + 2 * 8, int(summary["conns"]), summary)
        self.assertEqual("8", summary["blipped"], summary)
        self.assertEqual("0", summary["resumed"], summary)

    def test_every_workload_against_the_plain_server(self):
        server = Server()
        try:
            for workload in TINY:
                with self.subTest(workload=workload):
                    rc, line = run_client(server.port, workload, server=server)
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


class ServerEnd(unittest.TestCase):
    """The server end is the yardstick's fixed half: every forwarder must meet the same TLS
    1.2 suite and pay for a full handshake on every connection, or the rows compare unlike
    things; only the reconnect workload has it resume sessions."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="zd-bench-smoke-")
        cls.pki = bench.make_pki(cls.tmp.name)
        cls.server = Server(cls.pki)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.tmp.cleanup()

    def context(self, version=ssl.TLSVersion.TLSv1_2, ciphers=bench.CIPHER):
        ctx = ssl.create_default_context(cafile=self.pki["ca"])
        ctx.minimum_version = ctx.maximum_version = version
        if ciphers:
            ctx.set_ciphers(ciphers)
        return ctx

    def handshake(self, ctx, session=None):
        raw = socket.create_connection(("::1", self.server.port), timeout=20)
        tls = ctx.wrap_socket(raw, server_hostname=bench.SERVER_NAME, session=session)
        # Reading drives the end of the handshake, which brings a ticket if one is offered.
        tls.settimeout(0.2)
        try:
            tls.recv(1)
        except (socket.timeout, ssl.SSLError):
            pass
        return tls

    def test_only_tls12_with_the_one_suite_is_accepted(self):
        cases = [
            ("TLS 1.3", self.context(ssl.TLSVersion.TLSv1_3, None)),
            ("another TLS 1.2 suite", self.context(ciphers="ECDHE-RSA-AES128-GCM-SHA256")),
        ]
        for what, ctx in cases:
            with self.subTest(what):
                with self.assertRaises(ssl.SSLError):
                    self.handshake(ctx).close()
        tls = self.handshake(self.context())
        self.assertEqual((bench.CIPHER, "TLSv1.2"), tls.cipher()[:2])
        tls.close()

    def test_every_connection_is_a_full_handshake(self):
        ctx = self.context()
        first = self.handshake(ctx)
        session = first.session
        first.close()
        second = self.handshake(ctx, session=session)
        self.assertFalse(second.session_reused)
        second.close()

    def test_sessions_resume_only_while_switched_on(self):
        """The reconnect workload switches sessions on around its run; the connections
        accepted before and after it are full handshakes again."""
        ctx = self.context()
        self.assertEqual("1", self.server.control(signal.SIGRTMIN)["sessions"])
        try:
            first = self.handshake(ctx)
            session = first.session
            first.close()
            second = self.handshake(ctx, session=session)
            self.assertTrue(second.session_reused)
            second.close()
        finally:
            self.assertEqual("0", self.server.control(signal.SIGRTMIN + 1)["sessions"])
        third = self.handshake(ctx, session=session)
        self.assertFalse(third.session_reused)
        third.close()


@unittest.skipUnless(os.geteuid() == 0, "needs root for a network namespace")
class InNamespace(unittest.TestCase):
    """The daemon's clients live in a namespace with nothing but loopback, where name lookups
    fail even for loopback addresses: both ends must work there with numeric endpoints."""

    def setUp(self):
        self.ns = "zdbsmoke-%d" % os.getpid()
        subprocess.run(["ip", "netns", "add", self.ns], check=True, timeout=30)
        self.addCleanup(subprocess.run, ["ip", "netns", "delete", self.ns], timeout=30)
        subprocess.run(["ip", "-n", self.ns, "link", "set", "lo", "up"], check=True, timeout=30)

    def test_plain_ends_over_ipv6_and_ipv4_loopback(self):
        inside = ["ip", "netns", "exec", self.ns]
        for host in ("[::1]", "127.0.0.1"):
            with self.subTest(host=host):
                proc = subprocess.Popen(inside + [LOAD, "server", "--plain", "--listen",
                                                  host + ":0", "--max-seconds", "60"],
                                        stdout=subprocess.PIPE, text=True)
                try:
                    fields = dict(kv.split("=", 1) for kv in proc.stdout.readline().split()[1:])
                    done = subprocess.run(
                        inside + [LOAD, "client", "--connect", "%s:%s" % (host, fields["port"]),
                                  "--workload", "rpc", "--ops", "50", "--timeout", "20"],
                        stdout=subprocess.PIPE, text=True, timeout=60)
                finally:
                    proc.send_signal(signal.SIGTERM)
                    proc.communicate(timeout=30)
                line = bench.parse_line(done.stdout)
                self.assertEqual(0, done.returncode, done.stdout)
                self.assertEqual(("ok", "50"), (line["check"], line["ops"]))


# A child that follows a script of steps on its standard input, one word a line, and answers
# "ok" after each: "burn S" spends S seconds of CPU, "hold M" keeps M MiB touched, "drop"
# frees it, "fork N M S" starts N children that each hold M MiB for S seconds, "reap" waits for
# them, "burnchild S" runs a child that burns S seconds and reaps it.
CHILD = r"""
import os, sys, time
held, kids = [], []
def burn(s):
    end = time.process_time() + s
    while time.process_time() < end:
        pass
for line in sys.stdin:
    w = line.split()
    if w[0] == "burn":
        burn(float(w[1]))
    elif w[0] == "hold":
        held.append(bytearray(os.urandom(1)) * (int(w[1]) << 20))
    elif w[0] == "drop":
        held.clear()
    elif w[0] == "fork":
        for _ in range(int(w[1])):
            pid = os.fork()
            if pid == 0:
                block = bytearray(b"x") * (int(w[2]) << 20)
                time.sleep(float(w[3]))
                os._exit(0)
            kids.append(pid)
    elif w[0] == "reap":
        for pid in kids:
            os.waitpid(pid, 0)
        kids.clear()
    elif w[0] == "burnchild":
        pid = os.fork()
        if pid == 0:
            burn(float(w[1]))
            os._exit(0)
        os.waitpid(pid, 0)
    print("ok", flush=True)
"""


class Scripted:
    def __init__(self):
        self.proc = subprocess.Popen([sys.executable, "-c", CHILD], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        self.pid = self.proc.pid

    def do(self, step):
        self.proc.stdin.write(step + "\n")
        self.proc.stdin.flush()
        assert self.proc.stdout.readline().strip() == "ok", step

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(30)
        self.proc.stdout.close()


class Accounting(unittest.TestCase):
    """The figures of the benchmark's tables come from /proc; a wrong field or a peak that
    never restarts would put plausible nonsense in every row."""

    def setUp(self):
        self.child = Scripted()

    def tearDown(self):
        self.child.close()

    def test_cpu_counts_the_process_and_its_reaped_children(self):
        before = bench.tree_cpu(self.child.pid)
        self.child.do("burn 0.3")
        own = bench.tree_cpu(self.child.pid) - before
        self.child.do("burnchild 0.3")
        both = bench.tree_cpu(self.child.pid) - before
        self.assertGreaterEqual(own, 0.25)
        self.assertLess(own, 0.5)
        self.assertGreaterEqual(both - own, 0.25)

    def test_peak_rss_restarts_with_each_run(self):
        self.child.do("hold 96")
        self.child.do("drop")
        base = bench.status_kib(self.child.pid, "VmRSS") / 1024
        with bench.RssSampler(self.child.pid) as sampler:
            self.child.do("hold 32")
        peak = sampler.peak_kib / 1024 - base
        # The earlier 96 MiB must not count: the peak is this run's 32 MiB.
        self.assertGreaterEqual(peak, 30)
        self.assertLess(peak, 60)

    def test_peak_of_a_forking_process_sums_its_children(self):
        with bench.RssSampler(self.child.pid) as sampler:
            self.child.do("fork 4 24 1.5")
            self.child.do("reap")
        self.assertGreaterEqual(sampler.peak_kib / 1024, 4 * 24 * 0.9)


if __name__ == "__main__":
    unittest.main(verbosity=2)
