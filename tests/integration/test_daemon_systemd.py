"""The daemon under a service manager: readiness, the watchdog heartbeat of the worker thread,
the stop notice, and the restrictions of the shipped systemd unit.

The manager is played by a unix datagram socket of this test (SO_PASSCRED). The credentials
of a datagram carry the sender's process id, not its thread id, so they cannot tell which
thread sent a heartbeat; the test tells it by stopping one thread at a time with ptrace.
"""

import ctypes
import os
import re
import shutil
import signal
import threading
import time
import unittest

import harness

from harness import (LISTENER_PORTS, WARN, ZD_SRC, Daemon, HarnessTimeout, NotifySocket, Rig,
                     exchange, free_port, run_tests, unique_name, wait_until)

WATCHDOG_USEC = 2000000
BEAT_S = WATCHDOG_USEC / 2e6  # the daemon beats every half period
UNIT = os.path.join(ZD_SRC, "packaging", "zarn-dwel-forwarder@.service.in")

_libc = ctypes.CDLL(None, use_errno=True)
_libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
_PTRACE_DETACH, _PTRACE_SEIZE, _PTRACE_INTERRUPT = 17, 0x4206, 0x4207
_WALL = 0x40000000


class FakeManager(NotifySocket):
    """The manager's end of $NOTIFY_SOCKET: a path, or an abstract name ("@..."), read by a
    thread of its own."""

    def __init__(self, abstract=False):
        name = unique_name("zd-notify-")
        super().__init__(("@" + name) if abstract else os.path.join("/tmp", name + ".sock"))
        self.messages = []  # (monotonic time, sender pid, text)
        self.cond = threading.Condition()
        self._stop = False

    def __enter__(self):
        self._thread = threading.Thread(target=self._receive, daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop = True
        self._thread.join(5)
        self.close()

    def _receive(self):
        while not self._stop:
            notice = self.receive(0.1)
            if notice is not None:
                with self.cond:
                    self.messages.append((time.monotonic(),) + notice)
                    self.cond.notify_all()

    def env(self, **more):
        env = dict(os.environ, NOTIFY_SOCKET=self.address)
        env.pop("WATCHDOG_PID", None)
        env.update(more)
        return env

    def texts(self, since=0.0):
        with self.cond:
            return [text for when, _, text in self.messages if when >= since]

    def beats(self, since=0.0, until=None):
        with self.cond:
            return [when for when, _, text in self.messages
                    if text == "WATCHDOG=1" and when >= since and (until is None or when < until)]

    def wait_for(self, text, timeout=10.0):
        """The first message that starts with text; returns (time, pid, text)."""
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                for m in self.messages:
                    if m[2].startswith(text):
                        return m
                if time.monotonic() > end:
                    raise HarnessTimeout("no %r from the daemon; got %r" % (text, self.messages))
                self.cond.wait(0.2)


class StoppedThread:
    """Stops one thread of another process (and only that thread) while the block runs."""

    def __init__(self, tid):
        self.tid = tid

    def __enter__(self):
        if _libc.ptrace(_PTRACE_SEIZE, self.tid, None, None) != 0:
            raise OSError(ctypes.get_errno(), "PTRACE_SEIZE %d" % self.tid)
        _libc.ptrace(_PTRACE_INTERRUPT, self.tid, None, None)
        status = ctypes.c_int()
        if _libc.waitpid(self.tid, ctypes.byref(status), _WALL) != self.tid:
            raise OSError(ctypes.get_errno(), "waitpid %d" % self.tid)
        return self

    def __exit__(self, *exc):
        _libc.ptrace(_PTRACE_DETACH, self.tid, None, None)


def worker_tid(d):
    """The loop's worker: the one thread that is not the main thread."""
    others = [t for t in d.threads() if t != d.pid]
    assert len(others) == 1, others
    return others[0]


class Notification(unittest.TestCase):
    def test_ready_after_listeners_then_worker_heartbeats_then_stopping(self):
        with Rig(start=False) as rig, FakeManager() as manager:
            # While another socket holds the rpcbind port the daemon retries its first
            # listener: READY=1 must wait for all four listeners.
            holder = rig.ns.hold_port(111)
            d = rig.start(env=manager.env(WATCHDOG_USEC=str(WATCHDOG_USEC)),
                          wait="evl_listen failed, will retry")
            try:
                time.sleep(1.0)
                self.assertFalse([t for t in manager.texts() if t.startswith("READY=1")],
                                 manager.messages)
            finally:
                holder.close()
            ready = manager.wait_for("READY=1", timeout=10)
            self.assertEqual(d.pid, ready[1])
            listening = rig.ns.listening_pids()
            for port in LISTENER_PORTS:
                self.assertIn(d.pid, listening.get(port, set()), "port %d" % port)
            status = ready[2].split("\n")
            self.assertEqual(2, len(status), ready)
            self.assertRegex(status[1], r"^STATUS=Listening on \[::1\]:111,2048,2049,2050 in "
                                        r"namespace %s, forwarding to \[::1\]:%d$" %
                             (re.escape(rig.ns.name), rig.peer.port))
            d.wait_line("pop network namespace")

            # A busy loop beats no more often than an idle one: every half period.
            start = time.monotonic()
            client = rig.ns.connect(2049)
            payload = os.urandom(4 << 20)
            while time.monotonic() - start < 3.2:
                self.assertEqual(payload, exchange(client, payload, timeout=20))
            time.sleep(max(0.0, 3.6 - (time.monotonic() - start)))
            beats = manager.beats(since=start)
            self.assertGreaterEqual(len(beats), 3, manager.messages)
            gaps = [b - a for a, b in zip(beats, beats[1:])]
            # Never closer than the half period, and always well within the whole one, after
            # which the manager would restart the daemon.
            self.assertTrue(all(0.8 * BEAT_S < g < 1.9 * BEAT_S for g in gaps), gaps)
            self.assertEqual({d.pid}, {pid for _, pid, t in manager.messages})
            client.close()

            # Only the worker sends them: stopped, it falls silent; the main thread stopped,
            # the beat goes on.
            with StoppedThread(worker_tid(d)):
                stopped = time.monotonic()
                time.sleep(3 * BEAT_S)
                silent = manager.beats(since=stopped + 0.2)
            self.assertEqual([], silent, "heartbeats while the worker was stopped")
            resumed = time.monotonic()
            wait_until(lambda: manager.beats(since=resumed), 2 * BEAT_S, "the next heartbeat")
            with StoppedThread(d.pid):
                stopped = time.monotonic()
                time.sleep(3 * BEAT_S)
                beats = manager.beats(since=stopped)
            self.assertGreaterEqual(len(beats), 2, "main thread stopped, worker must go on")

            d.signal(signal.SIGTERM)
            self.assertEqual(0, d.wait_exit(20))
            stopping = manager.wait_for("STOPPING=1", timeout=2)
            self.assertEqual(d.pid, stopping[1])
            self.assertIn("received SIGTERM, exiting", d.texts())
            self.assertFalse([l for l in d.lines() if l.level >= WARN and
                              l.text != "evl_listen failed, will retry..."], d.describe())

    def test_abstract_socket_and_a_watchdog_meant_for_another_process(self):
        with Rig(start=False) as rig, FakeManager(abstract=True) as manager:
            # The period belongs to another process (a wrapper that exec'd us would have
            # set its own pid): no heartbeat, but readiness and the stop notice as ever.
            d = rig.start(env=manager.env(WATCHDOG_USEC=str(WATCHDOG_USEC), WATCHDOG_PID="1"))
            manager.wait_for("READY=1\nSTATUS=Listening on [::1]", timeout=10)
            time.sleep(3 * BEAT_S)
            self.assertEqual([], manager.beats(), manager.messages)
            d.signal(signal.SIGINT)
            self.assertEqual(0, d.wait_exit(20), d.describe())
            self.assertEqual(d.pid, manager.wait_for("STOPPING=1", timeout=2)[1])

    def test_unreachable_manager_is_reported_once_and_relaying_goes_on(self):
        with Rig(start=False) as rig:
            missing = "/tmp/%s.sock" % unique_name("zd-no-manager-")
            env = dict(os.environ, NOTIFY_SOCKET=missing, WATCHDOG_USEC="200000")
            d = rig.start(env=env)
            client = rig.ns.connect(2049)
            self.assertEqual(b"y" * 5000, exchange(client, b"y" * 5000))
            client.close()
            time.sleep(1.5)  # some fifteen failed heartbeats
            warnings = [l for l in d.lines() if l.level == WARN]
            self.assertEqual(["Unable to notify the service manager at %s: "
                              "No such file or directory" % missing],
                             [l.text for l in warnings], d.describe())
            self.assertEqual("notify_send", warnings[0].function)
            self.assertIsNone(d.proc.poll())


def unit_settings():
    """The [Service] settings of the shipped unit, as name -> list of values."""
    settings = {}
    with open(UNIT) as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith(("#", "[")) and "=" in line:
                name, _, value = line.partition("=")
                settings.setdefault(name, []).append(value)
    return settings


def unit_wrapper(settings, uid, writable=()):
    """A command prefix that gives the daemon what the unit gives it, as far as this machine
    can without a service manager: the user, the capability sets, no_new_privs, a /dev of
    pseudo devices, a /proc that shows only the daemon's own processes, a read-only root but
    for the `writable` folders (the runtime folder), private /tmp and /var/tmp, and no /home or
    /root."""
    def caps(name):
        words = " ".join(settings.get(name, [])).split()
        return ",".join(["-all"] + ["+" + w.lower()[len("cap_"):] for w in words])

    mounts = []
    if settings.get("PrivateDevices") == ["yes"]:
        # A /dev of the pseudo devices alone, and the log socket.
        mounts.append('D=/run/zd-dev-$$ && mkdir $D && mount -t tmpfs -o mode=0755 tmpfs $D && '
                      'for n in null zero full random urandom log; do touch $D/$n && '
                      'mount --bind /dev/$n $D/$n || exit 1; done && mount --move $D /dev && '
                      'rmdir $D')
    if settings.get("ProtectProc") == ["invisible"]:
        mounts.append("mount -t proc -o hidepid=invisible proc /proc")
    mounts += ["mount --bind %s %s" % (p, p) for p in writable]
    if settings.get("ProtectSystem") == ["strict"]:
        mounts.append("mount -o remount,bind,ro /")
    if settings.get("PrivateTmp") == ["yes"]:
        mounts += ["mount -t tmpfs tmpfs /tmp", "mount -t tmpfs tmpfs /var/tmp"]
    if settings.get("ProtectHome") == ["yes"]:
        mounts += ["mount -t tmpfs -o ro tmpfs %s" % p for p in ("/home", "/root")]
    setpriv = ["setpriv", "--clear-groups", "--inh-caps=" + caps("AmbientCapabilities"),
               "--ambient-caps=" + caps("AmbientCapabilities"),
               "--bounding-set=" + caps("CapabilityBoundingSet")]
    if settings.get("DynamicUser") == ["yes"]:
        setpriv += ["--reuid=%d" % uid, "--regid=%d" % uid]
    if settings.get("NoNewPrivileges") == ["yes"]:
        setpriv.append("--nnp")
    script = " && ".join(mounts + ['exec "$@"'])
    return ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c", script,
            "sh"] + setpriv + ["--"]


def port_entry(status, port):
    return next(p for p in status["ports"] if p["port"] == port)


class UnitRestrictions(unittest.TestCase):
    def test_daemon_runs_and_relays_under_the_units_restrictions(self):
        settings = unit_settings()
        for name in ("Type", "NotifyAccess", "WatchdogSec", "CapabilityBoundingSet",
                     "NoNewPrivileges", "ProtectSystem", "ProtectHome", "PrivateTmp",
                     "PrivateDevices", "ProtectProc", "ExecReload"):
            self.assertIn(name, settings)
        self.assertEqual(["notify"], settings["Type"])
        # Configuration faults are not restarted; the daemon enters namespaces of one kind.
        self.assertEqual(["1 77 78"], settings["RestartPreventExitStatus"])
        self.assertEqual(["net"], settings["RestrictNamespaces"])
        uid = 61999  # within the manager's range for dynamic users
        # Outside /tmp, which the daemon does not see, and readable by its user.
        ca_dir = "/run/%s" % unique_name("zd-unit-")
        with Rig(start=False) as rig:
            os.mkdir(ca_dir, 0o755)
            try:
                ca = os.path.join(ca_dir, "ca.pem")
                shutil.copy(rig.pki.ca, ca)
                os.chmod(ca, 0o644)
                rig.log.launch_prefix()
                rig.log.open_to_all_users()
                # The checkout itself may lie below /tmp or /home, which the unit hides; the
                # installed daemon never does, so run a copy from outside them.
                daemon = os.path.join(ca_dir, "zarn-dwel-forwarder")
                shutil.copy(harness.DAEMON, daemon)
                os.chmod(daemon, 0o755)
                saved, harness.DAEMON = harness.DAEMON, daemon
                # The manager makes the instance's runtime folder, owned by its user; the
                # daemon's default status path lies in it.
                runtime = os.path.join("/run", settings["RuntimeDirectory"][0].replace(
                    "%i", rig.ns.name))
                os.makedirs(runtime)
                self.addCleanup(shutil.rmtree, runtime, True)
                os.chown(runtime, uid, uid)
                os.chmod(runtime, int(settings["RuntimeDirectoryMode"][0], 8))
                try:
                    started = Daemon(rig.log, rig.ns, rig.peer.port, ca, rig.name,
                                     wrapper=unit_wrapper(settings, uid, [runtime]),
                                     status_path=None, notify=False)
                finally:
                    harness.DAEMON = saved
                with started as d:
                    port = free_port("::", range(600, 1024))
                    try:
                        client = rig.ns.connect(2049, src_port=port)
                    except OSError as e:
                        self.fail("%s; daemon %s; log:\n%s" % (e, d.proc.poll(), d.describe()))
                    self.assertEqual(b"z" * 100000, exchange(client, b"z" * 100000),
                                     d.describe())
                    client.close()
                    # The outgoing connection kept the client's privileged port.
                    self.assertIn(port, [c.peer_port for c in rig.peer.connections])
                    self.assertEqual(str(uid), d.status_field("Uid").split()[0])
                    d.status_path = os.path.join(runtime, "status.json")
                    try:
                        d.wait_status(lambda st: port_entry(st, 2049)["bytes_down"] == 100000)
                    except HarnessTimeout as e:
                        self.fail("%s\n%s" % (e, d.describe()))
                    self.assertEqual(uid, os.stat(d.status_path).st_uid)
                    self.assertEqual(0o644, os.stat(d.status_path).st_mode & 0o777)
                    self.assertFalse([l for l in d.lines() if l.level >= WARN], d.describe())
                    for task in d.threads():
                        self.assertEqual("0000000000000400", d.status_field("CapEff", task))
                        self.assertEqual("1", d.status_field("NoNewPrivs", task))
                    d.signal(signal.SIGTERM)
                    self.assertEqual(0, d.wait_exit(20), d.describe())
            finally:
                shutil.rmtree(ca_dir)


if __name__ == "__main__":
    run_tests()
