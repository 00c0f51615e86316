"""The end of a connection: what one side sent before its orderly end reaches the other side;
errors close both sides at once; a side that cannot take the rest is closed at its deadline."""

import os
import re
import socket
import struct
import time
import unittest

from harness import NFS_PORT, Rig, read_until_end, run_tests, sha256

MIB = 1 << 20


class EndOfConnection(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = Rig(peer_mode="sink").__enter__()
        cls.d = cls.rig.daemon
        cls.peer = cls.rig.peer

    @classmethod
    def tearDownClass(cls):
        cls.rig.__exit__(None, None, None)

    def setUp(self):
        self.peer.mode, self.peer.payload, self.peer.read_pause = "sink", b"", 0.0

    def secure_fd_of(self, client_port):
        line = self.d.wait_line(r"Initiated connection from \[[^\]]*\]:%d to " % client_port)
        return int(re.search(r"socket (\d+)", line.text).group(1))

    def test_client_bytes_sent_right_before_its_close_reach_the_target(self):
        # The smallest arrives before the TLS handshake is done; the largest fills every buffer
        # on the way while the target waits before reading.
        for size, pause in ((100, 0.0), (64 * 1024, 0.0), (6 * MIB, 1.0)):
            with self.subTest(size=size):
                self.peer.read_pause = pause
                payload = os.urandom(size)
                client = self.rig.ns.connect(NFS_PORT)
                port = client.getsockname()[1]
                client.sendall(payload)
                client.close()
                conn = self.peer.connection_from(port)
                self.assertTrue(conn.done.wait(30), "target connection did not end")
                self.assertEqual((size, sha256(payload)), (conn.nbytes, conn.digest()))
                self.assertEqual("close_notify", conn.end)

    def test_target_bytes_sent_right_before_close_notify_reach_the_client(self):
        self.peer.mode = "send"
        for size, pause in ((10 * 1024, 0.0), (6 * MIB, 1.0)):
            with self.subTest(size=size):
                self.peer.payload = os.urandom(size)
                client = self.rig.ns.connect(NFS_PORT)
                client.sendall(b"?")
                time.sleep(pause)
                got, how = read_until_end(client, 30)
                client.close()
                self.assertEqual((size, sha256(self.peer.payload)), (len(got), sha256(got)))
                self.assertEqual("eof", how)

    def test_reset_by_the_client_closes_both_sides_at_once(self):
        client = self.rig.ns.connect(NFS_PORT)
        port = client.getsockname()[1]
        client.sendall(b"x" * 1000)
        conn = self.peer.connection_from(port)
        deadline = time.monotonic() + 10
        while conn.nbytes < 1000 and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertEqual(1000, conn.nbytes)
        client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        client.close()
        started = time.monotonic()
        self.assertTrue(conn.done.wait(10))
        self.assertLess(time.monotonic() - started, 2.0)
        # No orderly end towards the target: the secure side was dropped, not drained.
        self.assertNotEqual("close_notify", conn.end)

    def test_a_target_that_takes_nothing_is_cut_off_at_the_deadline(self):
        # More than the buffers on the daemon's secure side hold while the target does not
        # read, and less than the client side and the kernel hold, so that the client's side
        # ends and hands everything to the secure side, which cannot send it.
        self.peer.read_pause = 9.0
        size = 3 * MIB
        client = self.rig.ns.connect(NFS_PORT)
        port = client.getsockname()[1]
        fd = self.secure_fd_of(port)
        mark = self.rig.log.mark()
        client.sendall(os.urandom(size))
        client.close()
        closed_at = time.monotonic()
        closing = r"Closing connection on socket %d$" % fd
        # Nothing else happens on the daemon meanwhile: the drain's deadline is the loop's own.
        line = self.d.wait_line(closing, timeout=9, start=mark)
        waited = line.when - closed_at
        self.assertGreater(waited, 4.0)
        self.assertLess(waited, 9.0)
        conn = self.peer.connection_from(port)
        self.assertTrue(conn.done.wait(20))
        self.assertLess(conn.nbytes, size)
        self.assertNotEqual("close_notify", conn.end)


if __name__ == "__main__":
    run_tests()
