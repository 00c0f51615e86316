#!/usr/bin/env python3
"""Real NFS traffic through the forwarder: libnfs clients in the daemon's namespace talk to
nfs-ganesha behind stunnel, over verified TLS, and every byte is checked against the server's
disk. NFSv4 carries a 64 MiB read, 200 small files and their listing; NFSv3 makes libnfs find
the mount and nfs ports through rpcbind, so the rpcbind, mount and nfs listeners all carry
traffic; parallel clients keep several pairs live at once."""

import concurrent.futures
import os
import random
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True
import harness  # noqa: E402
import nfs_world  # noqa: E402
from nfs_world import NfsWorld, sha256_of, write_random_file  # noqa: E402

TIME_WAIT_COLLISION = re.compile(
    r"^  main: Failed to connect from \[::\]:\d+ to \[::1\]:\d+, socket \d+, "
    r"Cannot assign requested address$")

MiB = 1 << 20
BIG = 64 * MiB
CLOSE_LINE = re.compile(r"^Pair closed on port (\d+): client \S+, mount target \S+, [\d.]+ s, "
                        r"(\d+) bytes up, (\d+) bytes down(?:, reset: .*)?$")
SMALL_FILES = 200
# libnfs 4.0 cannot send an NFSv4 WRITE above about 3.9 KB, so small files stay below that.
SMALL_MAX = 3584
V3_FILE = 64 * MiB
PARALLEL = 6
PARALLEL_FILE = 4 * MiB


class NfsThroughTheForwarder(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.world = NfsWorld(say=lambda text: print(text, flush=True))
        cls.world.__enter__()
        cls.addClassCleanup(cls.world.__exit__, None, None, None)
        cls.local = os.path.join(cls.world.tmp, "local")
        os.makedirs(cls.local)
        # Listeners, loop and signal descriptors: what must be left once every client is gone.
        cls.idle_fds = cls.world.daemon.fd_count()

    def local_file(self, name, body):
        path = os.path.join(self.local, name)
        with open(path, "wb") as f:
            f.write(body)
        return path

    def closed_pairs(self):
        """(port, bytes up, bytes down) of every "Pair closed" line so far."""
        found = []
        for line in self.world.daemon_log():
            m = CLOSE_LINE.match(line.text)
            if m:
                found.append(tuple(int(g) for g in m.groups()))
        return found

    def test_1_v4_large_read_matches_the_server_disk(self):
        w = self.world
        digest = write_random_file(w.server_path("big.bin"), BIG, seed=1)
        copy = os.path.join(self.local, "big.bin")
        start = time.monotonic()
        w.nfs_cp(w.url("big.bin"), copy, timeout=nfs_world.BIG_TIMEOUT)
        seconds = time.monotonic() - start
        print(f"NFSv4 read of 64 MiB: {BIG / MiB / seconds:.1f} MiB/s", flush=True)
        self.assertEqual(os.path.getsize(copy), BIG)
        self.assertEqual(sha256_of(copy), digest)

    def test_2_v4_small_files_write_read_back_and_list(self):
        w = self.world
        directory = "many"
        os.mkdir(w.server_path(directory))
        rng = random.Random(2)
        bodies = {f"f{i:03d}.bin": rng.randbytes(rng.randint(1, SMALL_MAX))
                  for i in range(SMALL_FILES)}
        for name, body in bodies.items():
            w.nfs_cp(self.local_file(name, body), w.url(f"{directory}/{name}"))
        for name, body in bodies.items():
            with open(w.server_path(f"{directory}/{name}"), "rb") as f:
                self.assertEqual(f.read(), body, f"{name} on the server's disk")
            self.assertEqual(w.nfs_cat(w.url(f"{directory}/{name}")), body, f"{name} read back")
        listing = w.nfs_ls(w.url(directory))
        listing = {name: size for name, size in listing.items() if name not in (".", "..")}
        self.assertEqual(listing, {name: len(body) for name, body in bodies.items()})

    def test_3_v3_finds_mount_and_nfs_through_rpcbind(self):
        w = self.world
        before = len(w.routed_programs())
        source = os.path.join(self.local, "v3.bin")
        digest = write_random_file(source, V3_FILE, seed=3)
        start = time.monotonic()
        w.nfs_cp(source, w.url("v3.bin", version=3), timeout=nfs_world.BIG_TIMEOUT)
        seconds = time.monotonic() - start
        print(f"NFSv3 write of 64 MiB: {V3_FILE / MiB / seconds:.1f} MiB/s", flush=True)
        self.assertEqual(sha256_of(w.server_path("v3.bin")), digest)

        back = os.path.join(self.local, "v3-back.bin")
        w.nfs_cp(w.url("v3.bin", version=3), back, timeout=nfs_world.BIG_TIMEOUT)
        self.assertEqual(sha256_of(back), digest)
        self.assertEqual(w.nfs_ls(w.url(version=3)).get("v3.bin"), V3_FILE)

        # Only the daemon reaches the TLS terminator, so what the router saw came through it:
        # the rpcbind lookups on 111, the mount calls on 2048 and the nfs calls on 2049.
        programs = w.routed_programs()[before:]
        for program in ("portmapper", "mount", "nfs"):
            self.assertIn(program, programs)

    def test_4_parallel_clients_keep_their_own_streams(self):
        w = self.world
        # Half of them NFSv4, half NFSv3, so the mount and rpcbind pairs interleave too.
        files = [(f"p{i}.bin", 4 if i % 2 else 3) for i in range(PARALLEL)]
        digests = {name: write_random_file(w.server_path(name), PARALLEL_FILE, seed=40 + i)
                   for i, (name, _) in enumerate(files)}

        def fetch(file):
            name, version = file
            copy = os.path.join(self.local, name)
            w.nfs_cp(w.url(name, version), copy, timeout=nfs_world.BIG_TIMEOUT)
            return name, sha256_of(copy)

        with concurrent.futures.ThreadPoolExecutor(PARALLEL) as pool:
            results = dict(pool.map(fetch, files))
        self.assertEqual(results, digests)

    def test_5_daemon_verified_the_target_freed_every_pair_and_stops_cleanly(self):
        w = self.world
        self.assertTrue(w.daemon_alive(), "the daemon died while relaying")
        # Hundreds of pairs have come and gone; each must have given back both sockets. A
        # connect that is waiting out its retry delays (1 + 2 + 5 + 10 s) still holds its own.
        try:
            # At most the idle count: a descriptor the daemon held at the idle reading for a
            # moment (the syslog socket reconnecting) may be gone by now.
            harness.wait_until(lambda: w.daemon.fd_count() <= self.idle_fds, 30, "idle")
        except harness.HarnessTimeout:
            self.fail(f"{w.daemon.fd_count()} descriptors open, {self.idle_fds} when idle; "
                      "sockets:\n" + "\n".join(w.daemon_sockets()))
        # The status file and the close lines tell the same story, and it is the traffic's.
        st = w.daemon.wait_status(lambda st: st["live_pairs"] == 0 and sum(
            p["accepted"] for p in st["ports"]) == len(self.closed_pairs()))
        closed = self.closed_pairs()
        for p in st["ports"]:
            with self.subTest(port=p["port"]):
                mine = [c for c in closed if c[0] == p["port"]]
                self.assertEqual((p["accepted"], p["bytes_up"], p["bytes_down"]),
                                 (len(mine), sum(c[1] for c in mine), sum(c[2] for c in mine)))
                self.assertEqual((0, 0, 0, 0), (p["refused_at_limit"], p["connect_failures"],
                                                p["handshake_failures"],
                                                p["verification_failures"]))
        nfs = next(p for p in st["ports"] if p["port"] == harness.NFS_PORT)
        self.assertGreater(nfs["bytes_down"], BIG)
        status = w.stop_daemon()
        self.assertEqual(status, 0)
        # libnfs running as root takes reserved source ports and soon takes one again; the
        # daemon's earlier TLS connection from that port may still be in TIME_WAIT then, so
        # its connect fails once and is retried a second later. Any other error is a fault.
        errors = [line for line in w.daemon_log() if line.level >= harness.ERROR]
        collisions = [line for line in errors if TIME_WAIT_COLLISION.search(line.text)]
        print(f"connects retried after a TIME_WAIT collision: {len(collisions)}", flush=True)
        self.assertEqual([line for line in errors if line not in collisions], [])
        log = [line.text for line in w.daemon_log()]
        self.assertFalse([line for line in log if "Giving up connecting" in line])
        self.assertTrue(any("Verified cert" in line for line in log), log[-20:])
        subject = re.compile(rf"^  subject: .*CN={re.escape(nfs_world.SERVER_NAME)}$")
        self.assertTrue(any(subject.search(line) for line in log), log[-20:])
        self.assertTrue(any("received SIGTERM, exiting" in line for line in log), log[-20:])


if __name__ == "__main__":
    harness.run_tests()
