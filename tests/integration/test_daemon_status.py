"""What an operator sees without debug logs: the status file with its per-port counters, the
line for every closed pair, and the rate-limited lines about refused certificates and about a
certificate that is about to expire."""

import os
import re
import signal
import tempfile
import time
import unittest

from harness import (INFO, LISTENER_PORTS, MOUNT_PORT, NFS_PORT, RPCBIND_PORT, WARN, Daemon,
                     Rig, TlsPeer, connection_closed, exchange, run_tests, wait_until)

FIELDS = {"port", "service", "accepted", "refused_at_limit", "connect_failures",
          "handshake_failures", "verification_failures", "session_failures", "reset_pairs",
          "live_pairs", "bytes_up", "bytes_down"}
# The daemon lets a line about failures through at most once per port in this time.
FAILURE_LINE_INTERVAL_S = 10


def port_entry(status, port):
    return next(p for p in status["ports"] if p["port"] == port)


def allowed_lines(started):
    """How many rate-limited lines may have gone out since `started`."""
    return 1 + int((time.monotonic() - started) // FAILURE_LINE_INTERVAL_S) + 1


class StatusFile(unittest.TestCase):
    def test_counts_pairs_and_bytes_per_port(self):
        with Rig() as rig:
            d = rig.daemon
            first = d.wait_status(lambda st: True)
            self.assertEqual((d.pid, "running", rig.ns.name, "[::1]:%d" % rig.peer.port),
                             (first["pid"], first["state"], first["namespace"],
                              first["mount_target"]))
            self.assertEqual(list(LISTENER_PORTS), [p["port"] for p in first["ports"]])
            self.assertEqual(["rpcbind", "mount", "nfs", "nlm"],
                             [p["service"] for p in first["ports"]])
            for p in first["ports"]:
                self.assertEqual(FIELDS, set(p))

            gone = rig.ns.connect(NFS_PORT)
            gone_port = gone.getsockname()[1]
            self.assertEqual(b"a" * 1000, exchange(gone, b"a" * 1000))
            gone.close()
            kept_nfs = rig.ns.connect(NFS_PORT)
            self.assertEqual(b"b" * 5000, exchange(kept_nfs, b"b" * 5000))
            kept_mount = rig.ns.connect(MOUNT_PORT)
            self.assertEqual(b"c" * 300, exchange(kept_mount, b"c" * 300))

            def settled(st):
                nfs, mount = port_entry(st, NFS_PORT), port_entry(st, MOUNT_PORT)
                return nfs["live_pairs"] == 1 and nfs["bytes_up"] == 6000 and \
                    mount["bytes_down"] == 300
            st = d.wait_status(settled)
            # The live pairs one by one, the names in force and the target's certificate.
            self.assertEqual((2, rig.name), (st["schema"], st["accepted_names"]))
            self.assertRegex(st["version"], r"^\d+\.\d+\.\d+$")
            self.assertRegex(st["target_not_after"], r"^\d{4}-\d\d-\d\dT[\d:]{8}Z$")
            pairs = sorted((p["port"], p["bytes_up"], p["bytes_down"]) for p in st["pairs"])
            self.assertEqual([(MOUNT_PORT, 300, 300), (NFS_PORT, 5000, 5000)], pairs)
            self.assertEqual(["[::1]:%d" % kept_mount.getsockname()[1]],
                             [p["client"] for p in st["pairs"] if p["port"] == MOUNT_PORT])
            self.assertTrue(all(p["age_s"] >= 0 for p in st["pairs"]))
            nfs, mount = port_entry(st, NFS_PORT), port_entry(st, MOUNT_PORT)
            self.assertEqual((2, 0, 0, 0, 0, 1, 6000, 6000),
                             tuple(nfs[k] for k in ("accepted", "refused_at_limit",
                                                    "connect_failures", "handshake_failures",
                                                    "verification_failures", "live_pairs",
                                                    "bytes_up", "bytes_down")))
            self.assertEqual((1, 1, 300, 300), (mount["accepted"], mount["live_pairs"],
                                                mount["bytes_up"], mount["bytes_down"]))
            self.assertEqual(0, port_entry(st, RPCBIND_PORT)["accepted"])
            self.assertEqual(2, st["live_pairs"])
            self.assertGreaterEqual(st["updated"], first["updated"])

            line = d.wait_line(r"^Pair closed on port %d: client \[::1\]:%d, mount target "
                               r"\[::1\]:%d, \d+\.\d\d\d s, 1000 bytes up, 1000 bytes down$"
                               % (NFS_PORT, gone_port, rig.peer.port))
            self.assertEqual(INFO, line.level)

            kept_mount.close()
            d.wait_line(r"^Pair closed on port %d: .*, 300 bytes up, 300 bytes down$"
                        % MOUNT_PORT)
            d.signal(signal.SIGTERM)
            self.assertEqual(0, d.wait_exit(20))
            last = d.wait_status(lambda st: st["state"] == "stopped", timeout=5)
            self.assertEqual(6000, port_entry(last, NFS_PORT)["bytes_down"])
            kept_nfs.close()

    def test_path_from_the_environment_and_off(self):
        with Rig() as rig:
            d = rig.daemon
            st = d.wait_status(lambda st: True)
            self.assertEqual(d.pid, st["pid"])
            self.assertTrue(d.wait_line(r"^Writing status to %s every 5 seconds "
                                        r"\(writer pid \d+\)$" % re.escape(d.status_path)))
            # One daemon per namespace: the first goes before the second comes.
            d.signal(signal.SIGTERM)
            self.assertEqual(0, d.wait_exit(20))
            off = Daemon(rig.log, rig.ns, rig.peer.port, rig.pki.ca, rig.name,
                         env=dict(os.environ), status_path=None)
            off.env["ZARN_DWEL_STATUS"] = ""
            with off as d:
                d.wait_line(r"^No status file$")
                self.assertFalse([t for t in d.texts() if t.startswith("Writing status")])


    def test_metrics_file_in_the_prometheus_text_format(self):
        with Rig(start=False) as rig, tempfile.TemporaryDirectory(prefix="zd-prom-") as folder:
            metrics = os.path.join(folder, "zarn-dwel.prom")
            rig.start(env=dict(os.environ, ZARN_DWEL_METRICS=metrics))
            c = rig.ns.connect(NFS_PORT)
            self.assertEqual(b"m" * 700, exchange(c, b"m" * 700))
            c.close()
            sample = ('zarn_dwel_bytes_up_total{namespace="%s",port="%d",service="nfs"} 700'
                      % (rig.ns.name, NFS_PORT))

            def written():
                try:
                    with open(metrics) as f:
                        text = f.read()
                except FileNotFoundError:
                    return None
                return text if sample in text.splitlines() else None
            text = wait_until(written, 15, "the metrics file with the relayed bytes")
            for line in text.splitlines():
                self.assertRegex(line, r'^(# (HELP|TYPE) zarn_dwel_\w+ .+|'
                                       r'zarn_dwel_\w+\{namespace="[^"]*"(,port="\d+",'
                                       r'service="\w+")?\} \d+)$')
            self.assertIn("# TYPE zarn_dwel_live_pairs gauge", text)
            self.assertEqual(0o644, os.stat(metrics).st_mode & 0o777)


class RefusedCertificates(unittest.TestCase):
    def test_failures_are_counted_per_port_and_their_lines_limited(self):
        with Rig(start=False) as rig, TlsPeer(*rig.pki.server("other.test")) as peer, \
                Daemon(rig.log, rig.ns, peer.port, rig.pki.ca, rig.name) as d:
            started = time.monotonic()
            tries = {NFS_PORT: 4, RPCBIND_PORT: 2}
            for port, n in tries.items():
                for _ in range(n):
                    c = rig.ns.connect(port)
                    self.assertTrue(connection_closed(c, 30))
                    c.close()

            def counted(st):
                return all(port_entry(st, p)["verification_failures"] == n
                           for p, n in tries.items())
            st = d.wait_status(counted)
            for port, n in tries.items():
                entry = port_entry(st, port)
                self.assertEqual((n, 0, 0, 0), (entry["accepted"], entry["handshake_failures"],
                                                entry["connect_failures"], entry["live_pairs"]))
                lines = [l for l in d.lines() if l.text.startswith("TLS verification of")
                         and " on port %d: " % port in l.text]
                self.assertTrue(lines)
                self.assertEqual(WARN, lines[0].level)
                self.assertIn("(0 more TLS failures on the port since the last line)",
                              lines[0].text)
                self.assertLessEqual(len(lines), min(n, allowed_lines(started)))


class ExpiringCertificate(unittest.TestCase):
    def test_warns_once_while_it_still_verifies(self):
        with Rig(start=False) as rig, TlsPeer(*rig.pki.server(rig.name, days=5)) as peer, \
                Daemon(rig.log, rig.ns, peer.port, rig.pki.ca, rig.name) as d:
            for _ in range(3):
                c = rig.ns.connect(NFS_PORT)
                self.assertEqual(b"x" * 100, exchange(c, b"x" * 100))
                c.close()
            warnings = [l for l in d.lines() if "expires in" in l.text]
            self.assertEqual(1, len(warnings), d.describe())
            self.assertEqual(WARN, warnings[0].level)
            self.assertRegex(warnings[0].text,
                             r"^Mount target certificate /O=zd tests/CN=%s expires in [45] days "
                             r"\(not after \w+ +\d+ [\d:]+ \d+ GMT\)$" % re.escape(rig.name))


if __name__ == "__main__":
    run_tests()
