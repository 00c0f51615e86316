"""A mount target that goes silent in the middle of established connections: TCP keepalive and
TCP_USER_TIMEOUT on the TLS side end each pair within about a minute, idle or with data left
unacknowledged, and the log says why. Without them the idle pair would hang for ever and the
other for the many minutes of TCP's retransmissions.

The daemon runs in a home namespace of the test's own, linked to the target's namespace by a
veth pair; the path is cut by pointing the target's address at a hardware address nobody has,
so that the daemon's packets vanish without any answer or error."""

import os
import subprocess
import threading
import time
import unittest

from harness import (NFS_PORT, Daemon, Netns, Pki, Syslog, TlsPeer, exchange, read_until_end,
                     run_tests, unique_name)

NAME = "srv.test"
# Keepalive's first probe after 25 s of silence and TCP_USER_TIMEOUT at 55 s; the bounds leave
# room for the timers' granularity and a busy host.
DETECTED_AFTER_S = (45.0, 75.0)


def ip(*args):
    subprocess.run(["ip"] + list(args), check=True, timeout=30)


class SilentTarget(unittest.TestCase):
    def setUp(self):
        self.log = self.enter(Syslog())
        pki = self.enter(Pki())
        self.home = self.enter(Netns("zdh"))
        self.listen = self.enter(Netns("zdl"))
        server = self.enter(Netns("zds"))
        tag = unique_name("")[-9:].replace("-", "")
        self.link = "zs%sa" % tag
        prefix = "fd5e:%x:%x" % (os.getpid() & 0xffff, int(tag[-4:]) & 0xffff)
        self.target = prefix + "::2"
        ip("link", "add", self.link, "netns", self.home.name, "type", "veth", "peer", "name",
           "zs%sb" % tag, "netns", server.name)
        ip("-n", self.home.name, "addr", "add", prefix + "::1/64", "dev", self.link, "nodad")
        ip("-n", server.name, "addr", "add", self.target + "/64", "dev", "zs%sb" % tag, "nodad")
        ip("-n", self.home.name, "link", "set", self.link, "up")
        ip("-n", server.name, "link", "set", "zs%sb" % tag, "up")
        self.peer = self.enter(TlsPeer(*pki.server(NAME), mode="echo", host=self.target,
                                       netns=server))
        self.d = self.enter(Daemon(self.log, self.listen, self.peer.port, pki.ca, NAME,
                                   target=self.target,
                                   wrapper=["ip", "netns", "exec", self.home.name]))

    def enter(self, part):
        value = part.__enter__()
        self.addCleanup(part.__exit__, None, None, None)
        return value

    def cut_the_path(self):
        """From now on the daemon's packets to the target reach no one."""
        ip("-n", self.home.name, "neigh", "replace", self.target, "lladdr",
           "02:00:00:00:00:99", "dev", self.link, "nud", "permanent")

    def test_idle_and_busy_pairs_end_within_a_minute_of_the_silence(self):
        idle = self.listen.connect(NFS_PORT, timeout=100)
        busy = self.listen.connect(NFS_PORT, timeout=100)
        for c in (idle, busy):
            self.assertEqual(b"hello" * 100, exchange(c, b"hello" * 100))
        self.cut_the_path()
        silent_since = time.monotonic()
        # The busy pair's request can no longer be delivered: unacknowledged data.
        busy.sendall(b"request" * 1000)
        ended = {}

        def wait_end(name, c):
            _, how = read_until_end(c, 100)
            ended[name] = (time.monotonic() - silent_since, how)

        waits = [threading.Thread(target=wait_end, args=(n, c))
                 for n, c in (("idle", idle), ("busy", busy))]
        for t in waits:
            t.start()
        for t in waits:
            t.join(110)
        idle.close()
        busy.close()
        print("silent target detected: %r" % ended, flush=True)
        for name in ("idle", "busy"):
            after, how = ended.get(name, (None, None))
            self.assertIn(how, ("eof", "reset"), "%s pair still open; log:\n%s" % (
                name, self.d.describe()))
            self.assertGreater(after, DETECTED_AFTER_S[0], name)
            self.assertLess(after, DETECTED_AFTER_S[1], name)
        # Each line goes out before its pair is closed, but the receiver may take it in after
        # the client has seen the end.
        self.d.wait_line(r"failed on socket \d+: Connection timed out$", timeout=10, count=2)
        timed_out = [t for t in self.d.texts() if "failed on socket" in t and
                     t.endswith(": Connection timed out")]
        self.assertEqual(2, len(timed_out), self.d.describe())


if __name__ == "__main__":
    run_tests()
