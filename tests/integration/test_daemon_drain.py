"""The ends of a connection, as a table: who ends it (client, mount target), how (end of stream
after data, a half-close, close_notify and FIN, all of them in the segment of the last data, a
reset, an alert, a corrupted record), when (in the handshake, right after it, mid-stream, with
both directions full) and how fast the receiver reads. Every byte before an orderly end
arrives, and then the end; whatever cannot be delivered ends the other side with a reset.

The mount target is a TLS session over memory BIOs (harness.ScriptedTls), so that "data,
close_notify and FIN in one write" really arrives in one segment."""

import os
import re
import signal
import socket
import struct
import threading
import time
import unittest

from harness import NFS_PORT, Rig, RigCase, read_until_end, run_tests, sha256

MIB = 1 << 20
KIB = 1 << 10
# A slow reader: a small receive buffer, read at this rate. The amounts below keep such a
# reader busy for several seconds, longer than any fixed drain deadline would allow.
SLOW_RATE = 192 * KIB
SLOW_RCVBUF = 64 * KIB


def pattern(n, seed):
    unit = bytes((seed + 7 * i) % 251 for i in range(4096))
    return (unit * (n // len(unit) + 1))[:n]


REPLY = pattern(256 * KIB, 1)
SMALL = pattern(200, 2)
REQUEST = pattern(100, 3)
BULK = pattern(3 * MIB // 2, 4)

HS = ("handshake",)
DROP_END = ("read_end",)  # the target reads on to the end, so its close is not a reset


def reply_then(*end):
    return [HS, ("read", len(REQUEST)), ("write", REPLY)] + list(end)


# name: (target's steps, client's bytes, client's end, client reads slowly,
#        what the client must read (bytes, how) -- how "reset" allows any prefix --,
#        what the target must read, how the target's read ends (None: not checked),
#        the end of the close line ("" clean, else a pattern after "reset: "))
CASES = {
    # The target answers right after the handshake: data, close_notify and FIN in one write.
    "target_data_close_notify_fin_in_one_segment":
        ([HS, ("write", SMALL), ("close_notify",), ("flush",), ("fin",), DROP_END],
         b"", "keep", False, (SMALL, "eof"), b"", "close_notify", ""),
    "target_256k_close_notify_fin_in_one_write":
        ([HS, ("write", REPLY), ("close_notify",), ("flush",), ("fin",), DROP_END],
         b"", "keep", False, (REPLY, "eof"), b"", "close_notify", ""),
    "target_reply_close_notify_fin_after_request":
        (reply_then(("close_notify",), ("flush",), ("fin",), DROP_END),
         REQUEST, "keep", False, (REPLY, "eof"), REQUEST, "close_notify", ""),
    "target_close_notify_to_a_slow_reader":
        ([HS, ("write", BULK), ("close_notify",), ("flush",), ("fin",), DROP_END],
         b"", "keep", True, (BULK, "eof"), b"", "close_notify", ""),
    # The reply and the close_notify are there before the reset: they still count.
    "target_close_notify_then_reset":
        (reply_then(("close_notify",), ("flush",), ("sleep", 0.05), ("rst",)),
         REQUEST, "keep", False, (REPLY, "eof"), REQUEST, None, ""),
    "target_reset_right_after_its_last_bytes":
        (reply_then(("flush",), ("rst",)),
         REQUEST, "keep", False, (REPLY, "reset"), REQUEST, None,
         r"the mount target reset the connection"),
    "target_fin_without_close_notify_is_a_truncation":
        (reply_then(("flush",), ("fin",), DROP_END),
         REQUEST, "keep", False, (REPLY, "reset"), REQUEST, None,
         r"the mount target ended its TCP stream without a TLS close_notify"),
    "target_corrupted_record_mid_stream":
        ([HS, ("write", REPLY), ("flush",), ("write", SMALL), ("corrupt",), ("flush",), DROP_END],
         b"", "keep", False, (REPLY, "reset"), b"", None,
         r"the mount target failed the TLS session \(.*bad record mac"),
    "target_alert_mid_stream":
        ([HS, ("write", REPLY), ("flush",), ("alert",), ("flush",), DROP_END],
         b"", "keep", False, (REPLY, "reset"), b"", None, r"the mount target failed the TLS session"),
    "target_reset_in_the_handshake":
        # A reset that comes with the connect's completion counts as a failed connect.
        ([("rst",)], REQUEST, "keep", False, (b"", "reset"), b"", None,
         r"the mount target (failed the TLS handshake|could not be reached)"),
    "target_fin_in_the_handshake":
        ([("fin",), ("sleep", 0.3)], REQUEST, "keep", False, (b"", "reset"), b"", None,
         r"the mount target failed the TLS handshake"),
    # The client ends first.
    "client_data_then_close":
        ([HS, DROP_END, ("close_notify",), ("flush",)], BULK, "close", False, None, BULK,
         "close_notify", ""),
    "client_half_close_slow_target_reply_after":
        ([HS, ("read", len(BULK), SLOW_RATE), ("write", SMALL), ("close_notify",), ("flush",),
          DROP_END],
         BULK, "shut_wr", False, (SMALL, "eof"), BULK, "close_notify", ""),
    # After the daemon's close_notify, a bare end of stream is taken as the target's answer.
    "client_half_close_target_answers_without_close_notify":
        ([HS, DROP_END, ("write", SMALL), ("flush",), ("fin",)],
         REQUEST, "shut_wr", False, (SMALL, "eof"), REQUEST, "close_notify", ""),
    "client_half_close_during_a_slow_handshake":
        ([("sleep", 7.0), HS, DROP_END, ("write", SMALL), ("close_notify",), ("flush",)],
         REQUEST, "shut_wr", False, (SMALL, "eof"), REQUEST, "close_notify", ""),
    "both_directions_full_then_both_end":
        ([HS, ("write", BULK), ("flush",), ("read", len(BULK)), ("close_notify",), ("flush",),
          DROP_END],
         BULK, "shut_wr", False, (BULK, "eof"), BULK, "close_notify", ""),
}


class EndOfConnection(RigCase):
    RIG = dict(peer_mode="sink")

    def setUp(self):
        self.peer.mode, self.peer.payload, self.peer.read_pause = "sink", b"", 0.0

    def client(self, slow):
        return self.rig.ns.connect(NFS_PORT, timeout=30, rcvbuf=SLOW_RCVBUF if slow else None)

    def close_line(self, port, start):
        return self.d.wait_line(r"^Pair closed on port %d: client \[::1\]:%d, " % (NFS_PORT, port),
                                timeout=30, start=start).text

    def run_case(self, name):
        steps, sent, end, slow, want, target_reads, target_end, reset = CASES[name]
        self.peer.mode, self.peer.script = "script", steps
        mark = self.rig.log.mark()
        client = self.client(slow)
        port = client.getsockname()[1]
        # Sent before anything is read. A reset that comes before the send is taken by the
        # send, and the read then sees a plain end of stream: the send's error counts.
        refused = []

        def send():
            try:
                client.sendall(sent)
            except (ConnectionResetError, BrokenPipeError) as e:
                refused.append(e)

        sender = threading.Thread(target=send, daemon=True)
        sender.start()
        sender.join(60)
        if end != "keep":
            if end == "close":
                client.close()
            else:
                client.shutdown(socket.SHUT_WR)
        if want is not None:
            got, how = read_until_end(client, 60, rate=SLOW_RATE if slow else None)
            if refused and how == "eof":
                how = "reset"
            want_bytes, want_how = want
            self.assertEqual(want_how, how, "%d of %d bytes" % (len(got), len(want_bytes)))
            if how == "reset":
                self.assertEqual(want_bytes[:len(got)], got, "a prefix of what was sent")
            else:
                self.assertEqual((len(want_bytes), sha256(want_bytes)), (len(got), sha256(got)))
            client.close()
        sender.join(60)
        conn = self.peer.connection_from(port)
        self.assertTrue(conn.done.wait(60), "the target's side did not end")
        self.assertEqual((len(target_reads), sha256(target_reads)),
                         (len(conn.data), sha256(bytes(conn.data))))
        if target_end is not None:
            self.assertEqual(target_end, conn.end)
        line = self.close_line(port, mark)
        if reset:
            self.assertRegex(line, r", reset: %s.*, \d+ bytes left undelivered \(\d+ up, \d+ down\)$"
                             % reset)
        else:
            self.assertNotIn("reset:", line)

    def test_every_end_in_the_table(self):
        for name in CASES:
            with self.subTest(case=name):
                self.run_case(name)

    def test_reset_by_the_client_resets_the_target_side(self):
        seen = self.peer.connection_count()
        client = self.rig.ns.connect(NFS_PORT)
        port = client.getsockname()[1]
        mark = self.rig.log.mark()
        client.sendall(b"x" * 1000)
        conn = self.peer.connection_from(port, since=seen)
        deadline = time.monotonic() + 10
        while conn.nbytes < 1000 and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertEqual(1000, conn.nbytes)
        client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        client.close()
        started = time.monotonic()
        self.assertTrue(conn.done.wait(10))
        self.assertLess(time.monotonic() - started, 2.0)
        # No orderly end towards the target: the secure side was reset, not drained.
        self.assertNotEqual("close_notify", conn.end)
        self.assertIn("reset: the client reset the connection", self.close_line(port, mark))

    def test_a_target_that_takes_nothing_is_reset_once_nothing_moves(self):
        # More than the buffers on the daemon's secure side hold while the target does not
        # read, and less than the client side and the kernel hold, so that the client's side
        # ends and hands everything to the secure side, which cannot send it.
        self.peer.read_pause = 40.0
        size = 3 * MIB
        client = self.rig.ns.connect(NFS_PORT)
        port = client.getsockname()[1]
        line = self.d.wait_line(r"Initiated connection from \[[^\]]*\]:%d to " % port)
        fd = int(re.search(r"socket (\d+)", line.text).group(1))
        mark = self.rig.log.mark()
        client.sendall(os.urandom(size))
        client.close()
        closed_at = time.monotonic()
        # Nothing else happens on the daemon meanwhile: the idle deadline is the loop's own.
        line = self.d.wait_line(r"Closing connection on socket %d$" % fd, timeout=40, start=mark)
        waited = line.when - closed_at
        self.assertGreater(waited, 14.0)
        self.assertLess(waited, 35.0)
        self.assertRegex(self.close_line(port, mark),
                         r"reset: no byte moved in 15 s, [1-9]\d* bytes left undelivered")
        conn = self.peer.connection_from(port)
        self.assertTrue(conn.done.wait(60))
        self.assertLess(conn.nbytes, size)
        self.assertNotEqual("close_notify", conn.end)


class ShutdownWhilePairsEnd(unittest.TestCase):
    def test_sigterm_ends_with_status_0_whatever_the_pairs_do(self):
        with Rig(peer_mode="sink", peer_kw={"read_pause": 30.0}) as rig:
            # One pair drains towards a target that reads nothing, one is half closed and
            # waits for its answer, one relays.
            draining = rig.ns.connect(NFS_PORT)
            draining.sendall(os.urandom(3 * MIB))
            draining.close()
            half = rig.ns.connect(NFS_PORT)
            half.sendall(b"question")
            half.shutdown(socket.SHUT_WR)
            live = rig.ns.connect(NFS_PORT)
            live.sendall(b"x" * 1000)
            rig.daemon.wait_line(r"Received RDHUP on socket", count=2)
            time.sleep(0.5)
            rig.daemon.signal(signal.SIGTERM)
            self.assertEqual(0, rig.daemon.wait_exit(20), rig.daemon.describe())
            for c in (half, live):
                c.close()


if __name__ == "__main__":
    run_tests()
