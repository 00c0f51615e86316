"""Descriptors and memory stay flat over many short connections."""

import time
import unittest

from harness import NFS_PORT, HarnessTimeout, Rig, exchange, run_tests, wait_until

CYCLES = 1000
WARM_UP = 200
TIME_BOUND_S = 240
RSS_GROWTH_LIMIT_KIB = 16 * 1024


def rss_kib(d):
    return int(d.status_field("VmRSS").split()[0])


class Resources(unittest.TestCase):
    def settle(self, d, idle_fds):
        try:
            wait_until(lambda: d.fd_count() == idle_fds, 20, "descriptors to settle")
        except HarnessTimeout:
            self.fail("%d descriptors instead of %d; open sockets: %r" % (
                d.fd_count(), idle_fds, d.unclosed_sockets()))

    def test_no_growth_over_a_thousand_connect_close_cycles(self):
        with Rig() as rig:
            d = rig.daemon
            d.wait_signal_wait()
            idle_fds = d.fd_count()
            started = time.monotonic()
            rss_after_warm_up = None
            for cycle in range(CYCLES):
                self.assertLess(time.monotonic() - started, TIME_BOUND_S, "cycle %d" % cycle)
                client = rig.ns.connect(NFS_PORT)
                # Every fourth connection closes before its TLS handshake, the others after a
                # request and its answer.
                if cycle % 4:
                    self.assertEqual(b"nfs call %d" % cycle,
                                     exchange(client, b"nfs call %d" % cycle, timeout=10))
                client.close()
                if cycle + 1 == WARM_UP:
                    self.settle(d, idle_fds)
                    rss_after_warm_up = rss_kib(d)
            self.settle(d, idle_fds)
            growth = rss_kib(d) - rss_after_warm_up
            self.assertLess(growth, RSS_GROWTH_LIMIT_KIB, "VmRSS grew by %d KiB" % growth)
            self.assertEqual(CYCLES, len(rig.peer.connections))
            self.assertIsNone(d.proc.poll())


if __name__ == "__main__":
    run_tests()
