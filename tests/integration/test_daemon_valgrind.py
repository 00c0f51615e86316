"""The daemon under valgrind's memcheck: start-up, a thousand short pairs and SIGTERM make no
memory error and lose no block."""

import os
import re
import shutil
import signal
import sys
import tempfile
import threading
import time
import unittest

from harness import NFS_PORT, SANITIZE, HarnessTimeout, Rig, exchange, run_tests, wait_until

PAIRS = 1000
# Pairs live at once, so that the daemon has the next handshake at hand while a client waits.
CLIENTS = 4
# Memcheck runs the daemon some twenty times slower; the whole script stays near a minute.
TIME_BOUND_S = 75
START_TIMEOUT_S = 60
EXIT_TIMEOUT_S = 60
# Valgrind's own status when it found an error; the daemon itself never exits with it.
ERROR_EXIT = 99
# CTest counts this status as a skipped test.
SKIP_STATUS = 77


def why_not_runnable():
    if SANITIZE:
        return "the daemon is built with -fsanitize=%s, which valgrind cannot run" % SANITIZE
    if not shutil.which("valgrind"):
        return "valgrind is not installed (scripts/deps installs it)"
    return None


def memcheck(log_file):
    return ["valgrind", "--tool=memcheck", "--leak-check=full",
            "--show-leak-kinds=definite,indirect", "--errors-for-leak-kinds=definite",
            "--error-exitcode=%d" % ERROR_EXIT, "--num-callers=30", "--log-file=" + log_file,
            # The status writer, a fork that only writes one file, would add its own report.
            "--child-silent-after-fork=yes"]


def leak_bytes(report, kind):
    """Bytes of one leak kind in memcheck's summary; 0 when every block was freed."""
    m = re.search(r"%s lost: ([\d,]+) bytes" % kind, report)
    if m:
        return int(m.group(1).replace(",", ""))
    if "All heap blocks were freed" in report:
        return 0
    raise AssertionError("no leak summary in the valgrind log:\n" + report[-4000:])


class UnderMemcheck(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zd-valgrind-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.log_file = os.path.join(self.tmp, "memcheck.log")

    def run_pairs(self, rig):
        """PAIRS connections, CLIENTS of them live at a time: connect, a few bytes each way
        through the TLS peer's echo, close."""
        d = rig.daemon
        # Memcheck makes the gap between the start-up line and the last close of start-up long.
        d.wait_signal_wait()
        idle_fds = d.fd_targets()
        started = time.monotonic()
        pairs = iter(range(PAIRS))
        lock = threading.Lock()
        failures = []

        def client():
            while not failures:
                with lock:
                    i = next(pairs, None)
                if i is None:
                    return
                if time.monotonic() - started > TIME_BOUND_S:
                    failures.append("pair %d: past the time bound of %d s" % (i, TIME_BOUND_S))
                    return
                try:
                    with rig.ns.connect(NFS_PORT, timeout=20) as s:
                        payload = b"pair %d" % i
                        got = exchange(s, payload, timeout=20)
                except OSError as e:
                    got = e
                if got != payload:
                    failures.append("pair %d: %r" % (i, got))

        threads = [threading.Thread(target=client) for _ in range(CLIENTS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(TIME_BOUND_S + 60)
        self.assertEqual([], failures, d.describe())
        print("%d pairs in %.1f s" % (PAIRS, time.monotonic() - started), flush=True)
        self.assertEqual(PAIRS, len(rig.peer.connections))
        # The last pairs are collected before the signal, so that the run covers their frees.
        try:
            wait_until(lambda: d.fd_count() == len(idle_fds), 30, "the pairs to be collected")
        except HarnessTimeout:
            now = d.fd_targets()
            self.fail("%d descriptors instead of %d; gone: %r, new: %r; open sockets: %r" % (
                len(now), len(idle_fds), sorted(idle_fds.items() - now.items()),
                sorted(now.items() - idle_fds.items()), d.unclosed_sockets()))

    def test_thousand_pairs_and_sigterm_leave_no_error_and_no_lost_block(self):
        with Rig(start=False) as rig:
            d = rig.start(wrapper=memcheck(self.log_file), timeout=START_TIMEOUT_S)
            self.run_pairs(rig)
            d.signal(signal.SIGTERM)
            status = d.wait_exit(EXIT_TIMEOUT_S)
            d.wait_line("Event loop destroyed", 10)
        with open(self.log_file) as f:
            report = f.read()
        summary = [l.split("== ", 1)[-1] for l in report.splitlines()
                   if re.search(r"ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|"
                                r"still reachable|All heap blocks", l)]
        print("\n".join(summary), flush=True)
        self.assertEqual(0, status, report[-8000:])
        self.assertRegex(report, r"ERROR SUMMARY: 0 errors from 0 contexts")
        self.assertEqual(0, leak_bytes(report, "definitely"), report[-8000:])
        self.assertEqual(0, leak_bytes(report, "indirectly"), report[-8000:])


if __name__ == "__main__":
    reason = why_not_runnable()
    if reason:
        print("skipped: " + reason, flush=True)
        sys.exit(SKIP_STATUS)
    run_tests()
