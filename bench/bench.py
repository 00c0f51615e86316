#!/usr/bin/env python3
"""Side-by-side benchmark of zarn-dwel-forwarder and general TLS forwarders.

Every forwarder sits between the same two ends of zd-load: the plain client end, and the TLS
server end with one throw-away CA and server certificate. Each forwarder verifies the server's
chain and host name. The daemon runs as in production: its listeners in a network namespace
made here, its TLS connections from the home namespace. The other forwarders listen on the home
loopback. All of them run at once and the rounds visit them in turn, so that a burst of load
from elsewhere on the host lands on all of them alike. The daemon runs twice, with TLS session
resumption (as it ships) and with ZARN_DWEL_TLS_RESUME=0, the second only for the connection
workloads.

Run it through ./scripts/bench, which installs the peers and builds first.
"""

import argparse
import collections
import contextlib
import json
import os
import random
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

CLK_TCK = os.sysconf("SC_CLK_TCK")
MIB = 1 << 20
GIB = 1 << 30
SERVER_NAME = "server.test"
CIPHER = "ECDHE-RSA-AES256-GCM-SHA384"
DAEMON_PORT = 2049
OURS = "zarn-dwel"
# The daemon once more, with full handshakes only; only the connection workloads visit it.
OURS_FULL = "zarn-dwel-full"
ROWS = [OURS, OURS_FULL, "stunnel", "haproxy-1t", "haproxy-2t", "socat", "plain-tcp"]


class BenchError(Exception):
    pass


def log(msg):
    print("bench: " + msg, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------------
# Process accounting from /proc.

def read_stat(pid):
    """(utime+stime, cutime+cstime) in seconds; the second holds reaped children, which is
    where socat's per-connection processes end up."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    own = (int(fields[11]) + int(fields[12])) / CLK_TCK
    reaped = (int(fields[13]) + int(fields[14])) / CLK_TCK
    return own, reaped


def children(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            return [int(x) for x in f.read().split()]
    except OSError:
        return []


def tree(pid):
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        out.append(p)
        todo.extend(children(p))
    return out


def status_kib(pid, field):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def tree_cpu(pid):
    """CPU seconds of the process, its reaped children and its live descendants."""
    own, reaped = read_stat(pid)
    total = own + reaped
    for child in tree(pid)[1:]:
        try:
            c_own, c_reaped = read_stat(child)
            total += c_own + c_reaped
        except OSError:
            pass
    return total


def reset_peak_rss(pid):
    """Writing 5 to clear_refs restarts VmHWM, so that each measurement has its own peak."""
    try:
        with open("/proc/%d/clear_refs" % pid, "w") as f:
            f.write("5")
    except OSError:
        pass


def pss_kib(pid):
    try:
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for line in f:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


class RssSampler:
    """The peak resident size of a forwarder during one run. For one process it is VmHWM,
    restarted before the run. A forwarder that forks per connection shares its code and
    libraries between its processes, so for it the figure is the largest sampled sum of their
    proportional set sizes (Pss), which counts each shared page once."""

    def __init__(self, pid):
        self.pid = pid
        self.peak_kib = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self):
        reset_peak_rss(self.pid)
        self._thread.start()
        return self

    def _run(self):
        while True:
            procs = tree(self.pid)
            if len(procs) > 1:
                self.peak_kib = max(self.peak_kib, sum(pss_kib(p) for p in procs))
            # Reading smaps of hundreds of processes costs CPU on a small host: sample a
            # forking forwarder less often than the cheap single-process case needs.
            if self._stop.wait(0.25 if len(procs) > 1 else 0.05):
                return

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self.peak_kib = max(self.peak_kib, status_kib(self.pid, "VmHWM"))


# ---------------------------------------------------------------------------------------------
# Host set-up: certificates, syslog receiver, namespace, free ports.

def openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120)


def make_pki(directory):
    """A CA and a server certificate for SERVER_NAME signed by it, valid for sixty days (clear of the daemon's expiry warning)."""
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out",
            "ca.pem", "-days", "60", "-subj", "/CN=zd-bench throw-away CA", cwd=directory)
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out",
            "server.csr", "-subj", "/CN=" + SERVER_NAME, cwd=directory)
    with open(os.path.join(directory, "ext.cnf"), "w") as f:
        f.write("subjectAltName=DNS:%s\nbasicConstraints=CA:FALSE\n"
                "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n"
                % SERVER_NAME)
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "server.pem", "-days", "60", "-extfile", "ext.cnf",
            cwd=directory)
    return {k: os.path.join(directory, v) for k, v in
            (("ca", "ca.pem"), ("cert", "server.pem"), ("key", "server.key"))}


class SyslogSink:
    """A receiver at /dev/log that discards every line: the daemon logs only to syslog, and
    its lines must go somewhere for its log calls to cost what they cost in production. A
    /dev/log that is already there belongs to someone else: wait for it to go."""

    PATH = "/dev/log"

    def __init__(self, wait_seconds, keep=None):
        self.wait_seconds = wait_seconds
        self.keep = open(keep, "wb") if keep else None
        self._ino = None
        self._stop = False

    def __enter__(self):
        deadline = time.monotonic() + self.wait_seconds
        announced = False
        while os.path.lexists(self.PATH):
            if time.monotonic() > deadline:
                raise BenchError("%s is held by another program; gave up waiting" % self.PATH)
            if not announced:
                log("%s is in use by another program; waiting for it" % self.PATH)
                announced = True
            time.sleep(2)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.bind(self.PATH)
        self._ino = os.stat(self.PATH).st_ino
        self.sock.settimeout(0.2)
        self.lines = 0
        self.last = collections.deque(maxlen=40)
        self.thread = threading.Thread(target=self._drain, daemon=True)
        self.thread.start()
        return self

    def _drain(self):
        while not self._stop:
            try:
                line = self.sock.recv(65536)
                self.last.append(line)
                self.lines += 1
                if self.keep:
                    self.keep.write(line.rstrip(b"\n") + b"\n")
            except socket.timeout:
                continue
            except OSError:
                return

    def __exit__(self, *exc):
        self._stop = True
        self.thread.join(5)
        try:
            if self._ino is not None and os.stat(self.PATH).st_ino == self._ino:
                os.unlink(self.PATH)
        except FileNotFoundError:
            pass
        self.sock.close()


# The namespace's clients take their source ports from a range of their own, below the home
# namespace's ephemeral range, and the listeners of the run sit below both. The daemon binds
# each outgoing connection to its client's source port: drawn from the home range, that port
# is now and then held by an unrelated connection of the host (a shared host has many), and
# the daemon must refuse the client. Real NFS clients use reserved ports, outside that range
# too. --shared-port-range measures the other case.
NS_PORT_RANGE = (20000, 32767)
LISTEN_PORT_RANGE = (15000, 19999)


class Netns:
    def __init__(self, port_range, label="zdbench"):
        self.name = "%s-%d" % (label, os.getpid())
        self.port_range = port_range

    def __enter__(self):
        subprocess.run(["ip", "netns", "add", self.name], check=True, timeout=30)
        try:
            subprocess.run(["ip", "-n", self.name, "link", "set", "lo", "up"], check=True,
                           timeout=30)
            if self.port_range:
                subprocess.run(["ip", "netns", "exec", self.name, "sysctl", "-q", "-w",
                                "net.ipv4.ip_local_port_range=%d %d" % self.port_range],
                               check=True, timeout=30)
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        subprocess.run(["ip", "netns", "delete", self.name], timeout=30,
                       stderr=subprocess.DEVNULL)


class LoadServer:
    """One zd-load server end, its output in a file of its own, where it acknowledges the
    control signals that switch its sessions on and off."""

    def __init__(self, argv, out_path):
        self.out_path = out_path
        self.out = open(out_path, "w")
        self.proc = subprocess.Popen(argv, stdout=self.out, stderr=subprocess.STDOUT)
        self.pid = self.proc.pid

    def _acks(self):
        with open(self.out_path) as f:
            return sum(1 for line in f if line.startswith("zd-load role=server sessions="))

    def sessions(self, on, timeout=10.0):
        """Switches TLS session resumption of the server end on or off, and waits until it
        has: the connections that it accepts from then on go with it."""
        before = self._acks()
        os.kill(self.pid, signal.SIGRTMIN if on else signal.SIGRTMIN + 1)
        end = time.monotonic() + timeout
        while self._acks() <= before:
            if time.monotonic() > end or self.proc.poll() is not None:
                raise BenchError("the server end did not switch its sessions %s" %
                                 ("on" if on else "off"))
            time.sleep(0.01)


def free_listen_port(taken):
    """A free port on the home loopback, outside every ephemeral range of the run."""
    for _ in range(1000):
        port = random.randrange(*LISTEN_PORT_RANGE)
        if port in taken:
            continue
        try:
            with socket.socket(socket.AF_INET6) as s:
                s.bind(("::1", port))
            taken.add(port)
            return port
        except OSError:
            continue
    raise BenchError("no free port in %d-%d" % LISTEN_PORT_RANGE)


# ---------------------------------------------------------------------------------------------
# The forwarders.

class Forwarder:
    """One forwarder under test: how to start it, where its client connects, where its client
    runs. `row` is the label in the tables."""

    def __init__(self, row, argv, connect, netns=None, files=(), note="", env=None,
                 workloads=None):
        self.row, self.argv, self.connect, self.netns = row, argv, connect, netns
        self.files, self.note = files, note
        # env: the environment to start with (None: the script's); workloads: the names of
        # the only workloads this row takes part in (None: all).
        self.env, self.workloads = env, workloads
        self.proc = None
        self.failed = None

    def runs(self, workload):
        return self.workloads is None or workload.name in self.workloads

    def start(self, workdir):
        for name, text in self.files:
            with open(os.path.join(workdir, name), "w") as f:
                f.write(text)
        if not self.argv:
            return
        self.stderr = open(os.path.join(workdir, self.row + ".stderr"), "w")
        self.proc = subprocess.Popen(self.argv, cwd=workdir, stdin=subprocess.DEVNULL,
                                     stdout=self.stderr, stderr=self.stderr, env=self.env)

    @property
    def pid(self):
        return self.proc.pid if self.proc else None

    def alive(self):
        return self.proc is None or self.proc.poll() is None

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)


def make_forwarders(args, pki, ports, ns, wanted, ns_full=None):
    ca = pki["ca"]
    tls = ports["tls"]
    out = []
    daemon = os.path.join(args.bin, "zarn-dwel-forwarder")
    shipped = {k: v for k, v in os.environ.items() if k != "ZARN_DWEL_TLS_RESUME"}

    if OURS in wanted:
        out.append(Forwarder(OURS, [daemon, "-T", "::1", "-S", str(tls), "-C", ca, "-O",
                                    SERVER_NAME, "-n", ns],
                             "[::1]:%d" % DAEMON_PORT, netns=ns, env=shipped,
                             note="listens on [::1]:2049 in namespace %s (its client runs there), TLS "
                                  "from the home namespace, as in production; resumes TLS "
                                  "sessions" % ns))

    if OURS_FULL in wanted and ns_full:
        out.append(Forwarder(OURS_FULL, [daemon, "-T", "::1", "-S", str(tls), "-C", ca, "-O",
                                         SERVER_NAME, "-n", ns_full],
                             "[::1]:%d" % DAEMON_PORT, netns=ns_full,
                             env=dict(shipped, ZARN_DWEL_TLS_RESUME="0"),
                             workloads={"connect", "reconnect"},
                             note="the same daemon with ZARN_DWEL_TLS_RESUME=0 (a full handshake "
                                  "on every connection), in namespace %s; connect and reconnect "
                                  "only" % ns_full))

    if "stunnel" in wanted:
        port = ports["stunnel"]
        conf = "\n".join([
            "foreground = yes", "pid =", "syslog = no", "debug = 3",
            "socket = l:TCP_NODELAY=1", "socket = r:TCP_NODELAY=1",
            "[fwd]", "client = yes", "accept = ::1:%d" % port, "connect = ::1:%d" % tls,
            "CAfile = %s" % ca, "verifyChain = yes", "checkHost = %s" % SERVER_NAME,
            "sslVersionMin = TLSv1.2", "sslVersionMax = TLSv1.2", "ciphers = %s" % CIPHER,
            ""])
        out.append(Forwarder("stunnel", ["stunnel", "stunnel.conf"], "[::1]:%d" % port,
                             files=[("stunnel.conf", conf)],
                             note="home loopback, one thread per connection"))

    for threads in (1, 2):
        row = "haproxy-%dt" % threads
        if row not in wanted:
            continue
        port = ports[row]
        conf = "\n".join([
            "global", "    nbthread %d" % threads, "    maxconn 4000",
            "    ssl-server-verify required",
            "defaults", "    mode tcp", "    timeout connect 10s", "    timeout client 120s",
            "    timeout server 120s",
            "listen fwd", "    bind [::1]:%d" % port,
            "    server tls [::1]:%d ssl verify required ca-file %s verifyhost %s "
            "ssl-min-ver TLSv1.2 ssl-max-ver TLSv1.2 ciphers %s" % (tls, ca, SERVER_NAME,
                                                                     CIPHER),
            ""])
        name = row + ".cfg"
        out.append(Forwarder(row, ["haproxy", "-db", "-f", name], "[::1]:%d" % port,
                             files=[(name, conf)],
                             note="home loopback, nbthread %d" % threads))

    if "socat" in wanted:
        port = ports["socat"]
        out.append(Forwarder("socat", [
            "socat", "-b", "65536",
            "TCP6-LISTEN:%d,bind=[::1],reuseaddr,fork,nodelay,backlog=1024" % port,
            "OPENSSL:[::1]:%d,cafile=%s,commonname=%s,verify=1,cipher=%s,"
            "min-version=TLS1.2,max-version=TLS1.2,nodelay" % (tls, ca, SERVER_NAME, CIPHER)],
            "[::1]:%d" % port, note="home loopback, one process per connection, -b 65536"))

    if "plain-tcp" in wanted:
        out.append(Forwarder("plain-tcp", None, "[::1]:%d" % ports["plain"],
                             note="no forwarder, no TLS: the load tool against itself"))
    return out


# ---------------------------------------------------------------------------------------------
# Workloads.

class Workload:
    """unit "ms" is a time (lower is better), the run's seconds; otherwise a rate. sessions:
    the server end resumes TLS sessions during the run, and the client may signal it."""

    def __init__(self, name, argv, unit, per, sessions=False):
        self.name, self.argv, self.unit, self.per = name, argv, unit, per
        self.sessions = sessions


def make_workloads(quick):
    bulk = "64M" if quick else "512M"
    secs = "1" if quick else "3"
    many_secs = "2" if quick else "5"
    return [
        Workload("bulk-up", ["--workload", "bulk-up", "--bytes", bulk, "--seconds", "120"],
                 "MiB/s", "GiB"),
        Workload("bulk-down", ["--workload", "bulk-down", "--bytes", bulk, "--seconds", "120"],
                 "MiB/s", "GiB"),
        Workload("rpc-1", ["--workload", "rpc", "--conns", "1", "--seconds", secs,
                           "--ops", "2000000"], "ops/s", "op"),
        Workload("rpc-16", ["--workload", "rpc", "--conns", "16", "--seconds", secs,
                            "--ops", "2000000"], "ops/s", "op"),
        Workload("read-1", ["--workload", "read", "--conns", "1", "--seconds", secs,
                            "--ops", "500000"], "ops/s", "op"),
        Workload("read-16", ["--workload", "read", "--conns", "16", "--seconds", secs,
                             "--ops", "500000"], "ops/s", "op"),
        Workload("connect", ["--workload", "connect", "--conns", "4", "--seconds", secs,
                             "--ops", "100000"], "conn/s", "op"),
        Workload("many", ["--workload", "many", "--conns", "250", "--seconds", many_secs,
                          "--interval-ms", "100", "--ramp-ms", "4"], "pings/s", "op"),
        Workload("reconnect", ["--workload", "reconnect", "--conns", "256", "--ramp-ms", "2",
                               "--seconds", "30", "--timeout", "20"], "ms", "op", sessions=True),
    ]


def parse_line(text):
    for line in text.splitlines():
        if line.startswith("zd-load role=client "):
            return {k: v for k, v in (kv.split("=", 1) for kv in line.split()[1:])}
    return None


def client_argv(args, fwd, workload, server_pid=None):
    argv = [os.path.join(args.bin, "zd-load"), "client", "--connect", fwd.connect]
    argv += workload.argv
    if workload.sessions and server_pid:
        argv += ["--server-pid", str(server_pid)]
    if fwd.netns:
        argv = ["ip", "netns", "exec", fwd.netns] + argv
    return argv


def settle(fwd, baseline_procs, timeout=3.0):
    """Waits for per-connection processes to end, so that their CPU has been reaped."""
    end = time.monotonic() + timeout
    while fwd.pid and len(tree(fwd.pid)) > baseline_procs and time.monotonic() < end:
        time.sleep(0.05)


def start_tracer(args, fwd, workload, rnd):
    """strace -c or perf record attached to the forwarder for one run, when asked; either
    slows the forwarder, so the figures of such a run are only good for finding costs."""
    if not fwd.pid or not (args.syscalls or args.perf):
        return None
    if args.syscalls:
        path = os.path.join(args.syscalls, "%s-%s-%d.strace" % (fwd.row, workload.name, rnd))
        argv = ["strace", "-c", "-f", "-qq", "-o", path, "-p", str(fwd.pid)]
    else:
        path = os.path.join(args.perf, "%s-%s-%d.perf" % (fwd.row, workload.name, rnd))
        argv = ["perf", "record", "-q", "-e", "cpu-clock", "-F", "1999", "-g", "-o", path,
                "-p", str(fwd.pid)]
    tracer = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    tracer.path = path
    time.sleep(0.5)
    return tracer


def stop_tracer(tracer, r):
    if not tracer:
        return
    tracer.send_signal(signal.SIGINT)
    try:
        tracer.wait(60)
    except subprocess.TimeoutExpired:
        tracer.kill()
        tracer.wait()
    if tracer.path.endswith(".strace"):
        r["syscalls"] = strace_total(tracer.path)


def strace_total(path):
    try:
        with open(path) as f:
            for line in f:
                parts = line.split()
                if parts and parts[-1] == "total":
                    return int(parts[3])
    except (OSError, ValueError, IndexError):
        pass
    return None


def measure(args, fwd, workload, server_pid, rnd=0):
    """One run of one workload through one forwarder."""
    argv = client_argv(args, fwd, workload, server_pid)
    baseline = len(tree(fwd.pid)) if fwd.pid else 0
    cpu0 = tree_cpu(fwd.pid) if fwd.pid else 0.0
    srv0 = tree_cpu(server_pid)
    sampler = RssSampler(fwd.pid) if fwd.pid else None
    tracer = start_tracer(args, fwd, workload, rnd)
    if sampler:
        sampler.__enter__()
    try:
        done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              timeout=300)
    finally:
        if sampler:
            sampler.__exit__(None, None, None)
        r = {}
        stop_tracer(tracer, r)
    settle(fwd, baseline)
    cpu = (tree_cpu(fwd.pid) - cpu0) if fwd.pid else None
    srv = tree_cpu(server_pid) - srv0
    line = parse_line(done.stdout)
    if line is None:
        raise BenchError("%s/%s: no result line (status %d): %s" % (
            fwd.row, workload.name, done.returncode, done.stderr.strip()[-400:]))
    r.update({k: float(v) for k, v in line.items() if re.fullmatch(r"-?[0-9.]+", v)})
    r["check"] = line.get("check")
    r["fwd_cpu_s"] = cpu
    r["server_cpu_s"] = srv
    r["peak_rss_mib"] = sampler.peak_kib / 1024 if sampler else None
    if r["check"] != "ok":
        log("%s/%s FAILED: %s" % (fwd.row, workload.name, done.stdout.strip()))
    return r


def wait_ready(args, fwd, timeout=20.0):
    """Ready means one request has made the whole way through the forwarder and back."""
    probe = Workload("probe", ["--workload", "rpc", "--ops", "2", "--seconds", "2",
                               "--timeout", "3"], "", "")
    end = time.monotonic() + timeout
    last = ""
    while time.monotonic() < end:
        if not fwd.alive():
            raise BenchError("%s exited with status %s" % (fwd.row, fwd.proc.returncode))
        done = subprocess.run(client_argv(args, fwd, probe), stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=30)
        line = parse_line(done.stdout)
        if line and line.get("check") == "ok":
            return
        last = done.stdout.strip()
        time.sleep(0.2)
    raise BenchError("%s did not relay within %.0f s: %s" % (fwd.row, timeout, last[-300:]))


# ---------------------------------------------------------------------------------------------
# Figures and tables.

def per_unit(r, workload):
    """The forwarder's CPU per GiB moved (bulk) or per operation, in seconds."""
    if workload.per == "GiB":
        amount = r.get("bytes", 0) / GIB
    else:
        amount = r.get("ops", 0)
    if r["fwd_cpu_s"] is None or not amount:
        return None
    return r["fwd_cpu_s"] / amount


def syscalls_per_unit(r, workload):
    """System calls per MiB moved (bulk) or per operation."""
    calls = r.get("syscalls")
    amount = r.get("bytes", 0) / MIB if workload.per == "GiB" else r.get("ops", 0)
    return calls / amount if calls is not None and amount else None


def throughput(r, workload):
    if workload.unit == "ms":
        return r["seconds"] * 1000 if "seconds" in r else None
    return r.get("mib_s") if workload.unit == "MiB/s" else r.get("ops_s")


def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def spread(values):
    values = [v for v in values if v is not None]
    if len(values) < 2:
        return ""
    return " (%s–%s)" % (num(min(values)), num(max(values)))


def num(v):
    if v is None:
        return "–"
    if abs(v) >= 100:
        return "%.0f" % v
    if abs(v) >= 10:
        return "%.1f" % v
    return "%.2f" % v


def ratio(v, ours):
    if v is None or not ours:
        return "–"
    return "%.2f" % (v / ours)


def summarize(results, workload, rows):
    """Medians over the rounds for every row of one workload."""
    out = {}
    for row in rows:
        runs = results.get((row, workload.name), [])
        if not runs:
            continue
        out[row] = {
            "runs": len(runs),
            "ok": all(r["check"] == "ok" for r in runs),
            "tput": med([throughput(r, workload) for r in runs]),
            "tput_all": [throughput(r, workload) for r in runs],
            "p50": med([r.get("p50_us") for r in runs]),
            "p99": med([r.get("p99_us") for r in runs]),
            "p99_all": [r.get("p99_us") for r in runs],
            "p999": med([r.get("p999_us") for r in runs]),
            "cpu": med([per_unit(r, workload) for r in runs]),
            "rss": med([r.get("peak_rss_mib") for r in runs]),
            "fails": sum(r.get("fails", 0) + r.get("check_fails", 0) for r in runs),
            "connected": med([r.get("connected") for r in runs]),
            "retries": med([r.get("retries") for r in runs]),
            "syscalls": med([syscalls_per_unit(r, workload) for r in runs]),
            "tool_cpu": med([(r.get("client_cpu_s", 0) + r["server_cpu_s"]) /
                             max(r.get("seconds", 1), 1e-9) * 100 for r in runs]),
        }
    return out


def table(workload, summary, aes_mib_s):
    ours = summary.get(OURS, {})
    traced = any(v.get("syscalls") is not None for v in summary.values())
    bulk = workload.unit == "MiB/s"
    cpu_unit = "CPU s/GiB" if bulk else "CPU µs/op"
    cpu_scale = 1 if bulk else 1e6
    head = ["forwarder", "%s median (min–max)" % workload.unit, "×ours"]
    if not bulk:
        head += ["p50 µs", "p99 µs (min–max)", "p99.9 µs", "p99 ×ours"]
    if workload.name.startswith("read"):
        head += ["MiB/s"]
    head += [cpu_unit, "×ours", "peak RSS MiB", "×ours", "failures", "tool CPU %"]
    if traced:
        head += ["syscalls/MiB" if bulk else "syscalls/op"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for row, s in summary.items():
        cpu = s["cpu"] * cpu_scale if s["cpu"] is not None else None
        ours_cpu = ours.get("cpu") * cpu_scale if ours.get("cpu") is not None else None
        cells = [row + ("" if s["ok"] else " (FAILED)"),
                 num(s["tput"]) + spread(s["tput_all"]), ratio(s["tput"], ours.get("tput"))]
        if not bulk:
            cells += [num(s["p50"]), num(s["p99"]) + spread(s["p99_all"]), num(s["p999"]),
                      ratio(s["p99"], ours.get("p99"))]
        if workload.name.startswith("read"):
            cells += [num(s["tput"] * 128 / 1024 if s["tput"] else None)]
        cells += [num(cpu), ratio(cpu, ours_cpu), num(s["rss"]), ratio(s["rss"], ours.get("rss")),
                  "%d" % s["fails"] + ("" if s["connected"] is None else
                                       " (%d connected)" % s["connected"]) +
                  ("" if not s["retries"] else ", %d retries" % s["retries"]),
                  num(s["tool_cpu"])]
        if traced:
            cells += [num(s["syscalls"])]
        lines.append("| " + " | ".join(cells) + " |")
    if bulk and aes_mib_s:
        cells = ["openssl speed aes-256-gcm, 1 core", num(aes_mib_s),
                 ratio(aes_mib_s, ours.get("tput"))] + ["–"] * (len(head) - 3)
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def openssl_speed(seconds):
    """One core's AES-256-GCM rate on 16 KiB blocks, the size of a full TLS record."""
    done = subprocess.run(["openssl", "speed", "-seconds", str(seconds), "-bytes", "16384",
                           "-evp", "aes-256-gcm"], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True, timeout=120)
    for line in done.stdout.splitlines():
        if line.lower().startswith("aes-256-gcm"):
            value = line.split()[-1]
            if value.endswith("k"):
                return float(value[:-1]) * 1000 / MIB
    return None


def first_line(argv):
    try:
        done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              timeout=30)
    except OSError:
        return "not installed"
    lines = [l for l in done.stdout.splitlines() if l.strip()]
    return lines[0].strip() if lines else "?"


def describe_host():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    stunnel = [l for l in subprocess.run(["stunnel", "-version"], stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT, text=True,
                                         timeout=30).stdout.splitlines()
               if l.startswith("stunnel ")]
    socat = [l for l in subprocess.run(["socat", "-V"], stdout=subprocess.PIPE,
                                       stderr=subprocess.STDOUT, text=True,
                                       timeout=30).stdout.splitlines()
             if l.startswith("socat version")]
    return ["- host: %d cores, %s, Linux %s, load average at the end %s" % (
                os.cpu_count(), model, os.uname().release,
                open("/proc/loadavg").read().split()[0]),
            "- %s; %s; %s; %s" % (first_line(["openssl", "version"]),
                                  stunnel[0] if stunnel else "stunnel ?",
                                  first_line(["haproxy", "-v"]),
                                  socat[0] if socat else "socat ?")]


# ---------------------------------------------------------------------------------------------

def parse_args():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--bin", required=True, help="directory with zd-load and the daemon")
    p.add_argument("--quick", action="store_true", help="one short round")
    p.add_argument("--rounds", type=int, default=None)
    p.add_argument("--only", default=None,
                   help="comma list of rows (%s)" % ",".join(ROWS))
    p.add_argument("--workloads", default=None, help="comma list of workload names")
    p.add_argument("--json", default=None, help="write every run's figures to this file")
    p.add_argument("--markdown", default=None, help="write the tables to this file")
    p.add_argument("--wait-devlog", type=float, default=300,
                   help="seconds to wait for another program's /dev/log to go")
    p.add_argument("--shared-port-range", action="store_true",
                   help="leave the namespace's source ports in the home ephemeral range")
    p.add_argument("--syscalls", default=None,
                   help="attach strace -c to each forwarder, one file per run in this folder")
    p.add_argument("--perf", default=None,
                   help="attach perf record to each forwarder, one file per run in this folder")
    p.add_argument("--keep-syslog", default=None, help="write the daemon's log to this file")
    return p.parse_args()


def main():
    args = parse_args()
    args.bin = os.path.abspath(args.bin)
    if os.geteuid() != 0:
        raise BenchError("needs root (network namespace, /dev/log)")
    rows = list(ROWS)
    if args.only:
        rows = [r for r in rows if r in args.only.split(",")]
    workloads = make_workloads(args.quick)
    if args.workloads:
        workloads = [w for w in workloads if w.name in args.workloads.split(",")]
    rounds = args.rounds or (1 if args.quick else 3)
    started = time.monotonic()
    results = {}
    problems = []
    forwarders = []
    servers = []

    def on_signal(signo, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_signal)
    port_range = None if args.shared_port_range else NS_PORT_RANGE
    with tempfile.TemporaryDirectory(prefix="zd-bench-") as workdir, \
            SyslogSink(args.wait_devlog, args.keep_syslog) as sink, \
            Netns(port_range) as ns, \
            (Netns(port_range, "zdbenchf") if OURS_FULL in rows else
             contextlib.nullcontext()) as ns_full:
        try:
            pki = make_pki(workdir)
            taken = set()
            ports = {k: free_listen_port(taken) for k in
                     ("tls", "plain", "stunnel", "haproxy-1t", "haproxy-2t", "socat")}
            load = os.path.join(args.bin, "zd-load")
            tls_server = LoadServer(
                [load, "server", "--listen", "[::1]:%d" % ports["tls"], "--cert", pki["cert"],
                 "--key", pki["key"], "--max-seconds", "1800"],
                os.path.join(workdir, "server.out"))
            plain_server = LoadServer(
                [load, "server", "--listen", "[::1]:%d" % ports["plain"], "--plain",
                 "--max-seconds", "1800"], os.path.join(workdir, "plain-server.out"))
            servers = [tls_server.proc, plain_server.proc]
            forwarders = make_forwarders(args, pki, ports, ns.name, rows,
                                         ns_full.name if ns_full else None)
            for fwd in forwarders:
                fwd.start(workdir)
            for fwd in forwarders:
                try:
                    wait_ready(args, fwd)
                    log("%s relays%s" % (fwd.row, " (%s)" % fwd.note if fwd.note else ""))
                except BenchError as e:
                    fwd.failed = str(e)
                    problems.append(fwd.failed)
                    log(fwd.failed)
                    if fwd.row == OURS:
                        log("last syslog lines:\n" + "\n".join(
                            l.decode("utf-8", "replace").rstrip() for l in sink.last))
                    fwd.stop()
            for rnd in range(rounds):
                for workload in workloads:
                    if workload.sessions:
                        tls_server.sessions(True)
                    for fwd in forwarders:
                        if fwd.failed or not fwd.runs(workload):
                            continue
                        if not fwd.alive():
                            fwd.failed = "%s exited with status %s during the run" % (
                                fwd.row, fwd.proc.returncode)
                            problems.append(fwd.failed)
                            continue
                        server = plain_server if fwd.row == "plain-tcp" else tls_server
                        r = measure(args, fwd, workload, server.pid, rnd + 1)
                        results.setdefault((fwd.row, workload.name), []).append(r)
                        log("round %d %-9s %-14s %s %s" % (
                            rnd + 1, workload.name, fwd.row,
                            num(throughput(r, workload)), workload.unit))
                    if workload.sessions:
                        tls_server.sessions(False)
        finally:
            for fwd in forwarders:
                fwd.stop()
            for s in servers:
                if s.poll() is None:
                    s.send_signal(signal.SIGTERM)
                    try:
                        s.wait(10)
                    except subprocess.TimeoutExpired:
                        s.kill()
                        s.wait()

    aes = openssl_speed(1 if args.quick else 3)
    elapsed = time.monotonic() - started
    report = ["# zd-load side by side, %d round(s), %.0f s" % (rounds, elapsed), ""]
    report += describe_host() + [""]
    report += ["- %s: %s" % (f.row, f.note) for f in forwarders if f.note] + [""]
    report += ["Ratios are the row's figure divided by %s's from the same run; figures are "
               "medians over the rounds, (min–max) their spread. Tool CPU is the load tool's "
               "client and server together, in %% of one core (the host has %d)." %
               (OURS, os.cpu_count()), ""]
    if problems:
        report += ["Problems:", ""] + ["- " + p for p in problems] + [""]
    for workload in workloads:
        report += ["## %s" % workload.name, "",
                   table(workload, summarize(results, workload, rows), aes), ""]
    if aes:
        report += ["openssl speed -evp aes-256-gcm, 16 KiB blocks, one core: %.0f MiB/s" % aes,
                   ""]
    text = "\n".join(report)
    print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text + "\n")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"rounds": rounds, "elapsed_s": elapsed, "aes_gcm_mib_s": aes,
                       "runs": [{"row": k[0], "workload": k[1], "figures": v}
                                for k, v in results.items()]}, f, indent=1)
    failed = [k for k, v in results.items() if any(r["check"] != "ok" for r in v)]
    if failed:
        log("failed checks: %s" % ", ".join("%s/%s" % k for k in failed))
    return 1 if failed or problems else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BenchError as e:
        log(str(e))
        sys.exit(1)
    except KeyboardInterrupt:
        log("interrupted")
        sys.exit(130)
