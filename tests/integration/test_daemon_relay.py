"""Relaying through a running daemon: integrity, source ports and the table of pairs."""

import os
import time

from harness import (LISTENER_PORTS, MOUNT_PORT, NFS_PORT, RigCase, connection_closed, exchange,
                     free_port, run_tests, wait_until)

MIB = 1 << 20
MAX_PAIRS = 256


class Relay(RigCase):
    def setUp(self):
        self.clients = []

    def tearDown(self):
        for c in self.clients:
            c.close()
        # Every pair of this test is gone before the next one counts pairs or descriptors.
        wait_until(lambda: self.d.fd_count() <= self.idle_fds(), 20, "the pairs to be closed")

    def idle_fds(self):
        if not hasattr(Relay, "_idle"):
            Relay._idle = self.d.fd_count()
        return Relay._idle

    def connect(self, port=NFS_PORT, **kw):
        c = self.rig.ns.connect(port, **kw)
        self.clients.append(c)
        return c

    def assert_relays(self, client, size=1000):
        payload = os.urandom(size)
        self.assertEqual(payload, exchange(client, payload, timeout=60))

    def test_a_few_mib_each_way_on_every_port(self):
        self.idle_fds()
        for port in LISTENER_PORTS:
            with self.subTest(port=port):
                client = self.connect(port)
                self.assert_relays(client, 3 * MIB + 12345)
                peer_side = self.rig.peer.connection_from(client.getsockname()[1])
                self.assertEqual(3 * MIB + 12345, peer_side.nbytes)

    def test_outgoing_connection_keeps_the_clients_source_port(self):
        self.idle_fds()
        ephemeral = self.connect()
        self.assert_relays(ephemeral)
        reserved_port = free_port("::", range(600, 1024), self.rig.ns)
        reserved = self.connect(MOUNT_PORT, src_port=reserved_port)
        self.assert_relays(reserved)
        for client in (ephemeral, reserved):
            port = client.getsockname()[1]
            peer_side = self.rig.peer.connection_from(port)
            self.assertEqual(("::1", port), (peer_side.peer_host, peer_side.peer_port))

    def test_closing_a_pair_moves_the_last_one_into_its_slot(self):
        self.idle_fds()
        a, b, c = (self.connect() for _ in range(3))
        for client in (a, b, c):
            self.assert_relays(client)
        peer_a = self.rig.peer.connection_from(a.getsockname()[1])
        a.close()
        self.assertTrue(peer_a.done.wait(10), "the secure side of the closed pair stays open")
        # Pair 2 now sits in slot 0; both of its sides must still find each other, in both
        # directions and with more than one buffer's worth of data.
        self.assert_relays(c, 2 * MIB)
        self.assert_relays(b, 2 * MIB)
        d_client = self.connect()
        self.assert_relays(d_client)
        self.assert_relays(c)
        c.close()
        self.assert_relays(b)
        self.assert_relays(d_client)
        self.assertFalse([l for l in self.d.lines() if "can't find" in l.text], self.d.describe())

    def test_257th_connection_is_closed_until_a_pair_ends(self):
        self.idle_fds()
        clients = [self.connect() for _ in range(MAX_PAIRS)]
        for client in clients:
            self.assert_relays(client, 10)
        extra = self.connect()
        started = time.monotonic()
        self.assertTrue(connection_closed(extra, 5))
        self.assertLess(time.monotonic() - started, 2.0)
        # Every live pair still works when the table is full.
        self.assert_relays(clients[0])
        self.assert_relays(clients[-1])
        port = clients[100].getsockname()[1]
        clients[100].close()
        self.assertTrue(self.rig.peer.connection_from(port).done.wait(10))
        live = lambda: self.d.fd_count() <= self.idle_fds() + 2 * (MAX_PAIRS - 1)
        wait_until(live, 10, "pair 100 to be closed")
        again = self.connect()
        self.assert_relays(again)
        self.assert_relays(clients[MAX_PAIRS - 1])


if __name__ == "__main__":
    run_tests()
