"""Pieces of the fault tests: a mount target behind a router namespace whose paths can be cut,
a healthy pair that keeps relaying while another pair fails, and port and memory helpers.
Standard library and harness only; run as root."""

import os
import subprocess
import sys
import threading
import time

from harness import NFS_PORT, Netns, exchange, sha256, unique_name

# The daemon's outgoing connection keeps the client's source port, so the router below can
# tell the connections apart by it. Both ranges lie below every ephemeral range: in the test
# namespaces clients take 20000-32000 by themselves, the home namespace 32768 and up.
BLACKHOLE_PORTS = (15000, 15499)
SILENT_PORTS = (15500, 15999)

_RULE_TABLE_SILENT = 100
_RULE_TABLE_BLACKHOLE = 101


def ip(*args, ns=None):
    argv = ["ip"] + (["-n", ns.name] if ns is not None else []) + list(args)
    subprocess.run(argv, check=True, timeout=30, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


class RoutedTarget:
    """The mount target in a namespace of its own, reached from home through a router
    namespace over veth links, all with unique names and a unique /48 of unique local
    addresses:

        home --A-- router --C-- server     every connection, the healthy way
                      \\----B-- server     connections from SILENT_PORTS (both directions)
                      (blackhole)          connections from BLACKHOLE_PORTS: their packets
                                           are dropped without an answer

    .target is the mount target's address (on the server's lo); run the TLS peer in .server
    on "::". .silence() sets both ends of link B down; blackhole fallbacks in the routes of B
    keep that path silent (no ICMP error) instead of letting it fall back to C. .heal() brings
    B back."""

    def __init__(self):
        serial = int(unique_name("").split("-")[1])
        self.prefix = "fd7a:%x:%x" % (os.getpid() & 0xffff, serial & 0xffff)
        self.target = self.prefix + ":9::1"
        tag = "%d%d" % (os.getpid() % 100000, serial % 10)
        self.home_link = "zq%sa" % tag
        self.b_router, self.b_server = "zq%sb" % tag, "zq%sB" % tag
        self.c_router, self.c_server = "zq%sc" % tag, "zq%sC" % tag

    def addr(self, link, host):
        return "%s:%d::%d" % (self.prefix, link, host)

    def __enter__(self):
        self.router = Netns("zdr").__enter__()
        try:
            self.server = Netns("zds").__enter__()
            try:
                self._build()
            except BaseException:
                self.server.__exit__()
                raise
        except BaseException:
            self._remove_home_link()
            self.router.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        self._remove_home_link()
        self.server.__exit__()
        self.router.__exit__()

    def _remove_home_link(self):
        subprocess.run(["ip", "link", "delete", self.home_link], timeout=30,
                       stderr=subprocess.DEVNULL)

    def _link(self, name, peer, peer_ns, ns=None):
        ip("link", "add", name, "type", "veth", "peer", "name", peer, "netns", peer_ns.name,
           ns=ns)

    def _up(self, link, address, ns=None):
        ip("addr", "add", address + "/64", "dev", link, "nodad", ns=ns)
        ip("link", "set", link, "up", ns=ns)

    def _build(self):
        r, s = self.router, self.server
        self._link(self.home_link, "rA", r)
        self._up(self.home_link, self.addr(1, 1))
        self._up("rA", self.addr(1, 2), ns=r)
        ip("-6", "route", "add", self.prefix + "::/48", "via", self.addr(1, 2), "dev",
           self.home_link)
        r.run(["sysctl", "-q", "-w", "net.ipv6.conf.all.forwarding=1"], check=True)
        self._link(self.b_router, self.b_server, s, ns=r)
        self._link(self.c_router, self.c_server, s, ns=r)
        self._up(self.c_router, self.addr(3, 1), ns=r)
        self._up(self.c_server, self.addr(3, 2), ns=s)
        ip("addr", "add", self.target + "/128", "dev", "lo", ns=s)
        ip("-6", "route", "add", self.target, "via", self.addr(3, 2), ns=r)
        ip("-6", "route", "add", "default", "via", self.addr(3, 1), ns=s)
        ip("-6", "route", "add", "blackhole", self.target, "table", str(_RULE_TABLE_BLACKHOLE),
           ns=r)
        ip("-6", "route", "add", "blackhole", self.target, "metric", "4000", "table",
           str(_RULE_TABLE_SILENT), ns=r)
        ip("-6", "route", "add", "blackhole", "default", "metric", "4000", "table",
           str(_RULE_TABLE_SILENT), ns=s)
        ip("-6", "rule", "add", "pref", "100", "sport", "%d-%d" % BLACKHOLE_PORTS, "table",
           str(_RULE_TABLE_BLACKHOLE), ns=r)
        ip("-6", "rule", "add", "pref", "101", "sport", "%d-%d" % SILENT_PORTS, "table",
           str(_RULE_TABLE_SILENT), ns=r)
        ip("-6", "rule", "add", "pref", "101", "dport", "%d-%d" % SILENT_PORTS, "table",
           str(_RULE_TABLE_SILENT), ns=s)
        self._build_b()

    def _build_b(self):
        r, s = self.router, self.server
        self._up(self.b_router, self.addr(2, 1), ns=r)
        self._up(self.b_server, self.addr(2, 2), ns=s)
        # Ahead of the blackhole fallbacks (metric 4000) while link B is up.
        ip("-6", "route", "add", self.target, "via", self.addr(2, 2), "metric", "10", "table",
           str(_RULE_TABLE_SILENT), ns=r)
        ip("-6", "route", "add", "default", "via", self.addr(2, 1), "metric", "10", "table",
           str(_RULE_TABLE_SILENT), ns=s)

    def silence(self):
        ip("link", "set", self.b_server, "down", ns=self.server)
        ip("link", "set", self.b_router, "down", ns=self.router)

    def heal(self):
        for ns, link in ((self.router, self.b_router), (self.server, self.b_server)):
            ip("addr", "flush", "dev", link, ns=ns)
        self._build_b()


def rss_kib(daemon):
    return int(daemon.status_field("VmRSS").split()[0])


# The longest a healthy pair may stand still while another connection misbehaves.
MAX_PAUSE_S = 3.0


def figure(text):
    """Measured figures go to the standard error, where ctest --output-on-failure and -V
    show them; docs/reliability.md quotes them."""
    print("figure: " + text, file=sys.stderr, flush=True)


class HealthyPair:
    """One client connection through the daemon that relays checksummed chunks on a thread
    of its own, so that a test can show the daemon's other pairs keep flowing while one pair
    fails: every chunk comes back whole, and no pause between two chunks is long.

    Bounded: it stops after limit_s seconds or max_rounds chunks, whichever comes first."""

    CHUNK = 32 * 1024

    def __init__(self, ns, port=NFS_PORT, pause=0.02, limit_s=400, max_rounds=200000):
        self.ns, self.port = ns, port
        self.pause, self.limit_s, self.max_rounds = pause, limit_s, max_rounds
        self.times = []
        self.error = None
        self._stop = threading.Event()
        self._cond = threading.Condition()

    def __enter__(self):
        self.sock = self.ns.connect(self.port)
        self.sock.settimeout(1.0)
        self.started = time.monotonic()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(30)
        self.sock.close()

    def _run(self):
        end = self.started + self.limit_s
        rounds = 0
        while not self._stop.is_set() and time.monotonic() < end and rounds < self.max_rounds:
            payload = os.urandom(self.CHUNK)
            got = exchange(self.sock, payload, timeout=20)
            if sha256(got) != sha256(payload):
                self.error = "chunk %d came back as %d bytes with another checksum" % (
                    rounds, len(got))
                break
            rounds += 1
            with self._cond:
                self.times.append(time.monotonic())
                self._cond.notify_all()
            self._stop.wait(self.pause)
        with self._cond:
            self._cond.notify_all()

    def rounds(self):
        with self._cond:
            return len(self.times)

    def wait_rounds(self, n, timeout=20.0):
        """Waits for n more chunks to come back; fails on a broken pair or at the timeout."""
        with self._cond:
            goal = len(self.times) + n
            end = time.monotonic() + timeout
            while len(self.times) < goal and self.error is None:
                left = end - time.monotonic()
                if left <= 0 or not self._thread.is_alive():
                    break
                self._cond.wait(min(left, 0.5))
            if self.error is not None:
                raise AssertionError("healthy pair broke: " + self.error)
            if len(self.times) < goal:
                raise AssertionError("healthy pair relayed %d of %d chunks in %.1f s" % (
                    n - (goal - len(self.times)), n, timeout))

    def assert_kept_flowing(self, since, case):
        """Three more rounds, and no pause of MAX_PAUSE_S or more since `since`."""
        self.wait_rounds(3)
        rounds, pause = self.longest_pause(since)
        figure("%s: healthy pair relayed %d chunks of 32 KiB meanwhile, longest pause %.2f s"
               % (case, rounds, pause))
        if pause >= MAX_PAUSE_S:
            raise AssertionError("%s: the healthy pair stood still for %.2f s" % (case, pause))

    def longest_pause(self, since, until=None):
        """Chunks and the longest time without a returning chunk in [since, until]."""
        until = time.monotonic() if until is None else until
        with self._cond:
            inside = [t for t in self.times if since <= t <= until]
        if self.error is not None:
            raise AssertionError("healthy pair broke: " + self.error)
        marks = [since] + inside + [until]
        return len(inside), max(b - a for a, b in zip(marks, marks[1:]))
