#!/usr/bin/env python3
"""A real NFS world around the forwarder, shared by the end-to-end test and ./scripts/demo.

The mount target lives in a throw-away network namespace of its own, so the server side can use
the fixed NFS ports: a private rpcbind on 111 and nfs-ganesha with mount on 2048 and nfs on 2049
(NFSv3 and NFSv4), both in a private mount namespace whose /run hides the machine's rpcbind
socket. A small RPC router there takes every connection that arrives through the TLS terminator
and sends it to the service named by the program number of its first call, as a real mount
target does. stunnel terminates TLS on the daemon's side of the world, the home namespace, and
reaches the router through a unix socket, which crosses network namespaces. The daemon listens
in a second throw-away namespace, where the libnfs client tools run.

    client ns: nfs-cp -> [::1]:111/2048/2049 (the daemon's listeners)
    home ns:   daemon -> TLS -> stunnel [::1]:<tls port> -> unix socket
    server ns: router -> rpcbind 111, ganesha mount 2048, ganesha nfs 2049

Run as a program it is the demo (`demo`) or the router (`route`, started inside the server
namespace by the world itself). Standard library only.
"""

import argparse
import contextlib
import hashlib
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.environ.get("ZD_SRC", os.path.dirname(os.path.dirname(HERE)))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True

import harness  # noqa: E402
# The daemon's listener ports in the client namespace. ganesha and rpcbind use the same numbers
# in the server namespace, so the ports rpcbind answers are the ones the daemon listens on.
from harness import MOUNT_PORT, NFS_PORT, RPCBIND_PORT  # noqa: E402
from harness import HarnessTimeout, wait_until  # noqa: E402

SERVER_NAME = "server.test"
EXPORT = "/export"

PORTMAP_PROG = 100000
NFS_PROG = 100003
MOUNT_PROG = 100005
NLM_PROG = 100021
PROGRAM_NAMES = {PORTMAP_PROG: "portmapper", NFS_PROG: "nfs", MOUNT_PROG: "mount", NLM_PROG: "nlm"}

STEP_TIMEOUT = 30  # seconds for any one start-up wait or client command
BIG_TIMEOUT = 180  # seconds for a client command that moves tens of MiB


class WorldError(Exception):
    pass


def read_text(path):
    try:
        with open(path, "r", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def free_tcp_port():
    """A port free on the home loopback and outside the ephemeral range.

    The daemon binds each outgoing TLS connection to its client's source port, and the clients
    take ephemeral ports; a TLS port inside that range would now and then be the very port a
    client picked, and that connection would fail to bind."""
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        low = int(f.read().split()[0])
    return harness.free_port("::1", range(10000, max(10001, low)))


# ---------------------------------------------------------------------------------------------
# Processes


class Processes:
    """Starts helper processes with their output in log files and ends them by PID.

    Each child runs in a session of its own, so Ctrl-C reaches only this program, which then
    tears the world down in order; each child also gets a parent-death signal, so nothing it
    started outlives a test runner that killed it."""

    def __init__(self, logdir):
        self.logdir = logdir
        self.running = []

    def log_path(self, name):
        return os.path.join(self.logdir, f"{name}.log")

    def start(self, name, argv):
        with open(self.log_path(name), "wb") as log:
            proc = subprocess.Popen(
                ["setpriv", "--pdeathsig", "KILL", "--"] + argv,
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                start_new_session=True)
        proc.name = name
        self.running.append(proc)
        return proc

    def stop(self, proc, sig=signal.SIGTERM, grace=5.0):
        """Ends one process: sig first, SIGKILL after grace seconds. Returns its exit status."""
        if proc.poll() is None:
            proc.send_signal(sig)
            try:
                proc.wait(grace)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        if proc in self.running:
            self.running.remove(proc)
        return proc.returncode

    def stop_all(self):
        for proc in reversed(list(self.running)):
            self.stop(proc)


def run(argv, timeout=STEP_TIMEOUT, check=True, **kw):
    result = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                            timeout=timeout, **kw)
    if check and result.returncode != 0:
        raise WorldError(f"{' '.join(argv)} failed with status {result.returncode}: "
                         f"{result.stderr.decode(errors='replace').strip()}")
    return result


# ---------------------------------------------------------------------------------------------
# The server side: private rpcbind and ganesha in the server namespace.

GANESHA_CONF = """\
NFS_CORE_PARAM {{
    Protocols = 3, 4;
    NFS_Port = {nfs_port};
    MNT_Port = {mount_port};
    Enable_NLM = false;
    Enable_RQUOTA = false;
    Enable_UDP = false;
    mount_path_pseudo = true;
}}
NFS_KRB5 {{ Active_krb5 = false; }}
NFSV4 {{
    # Without Graceless ganesha refuses to create files for its first 90 s.
    Graceless = true;
    RecoveryBackend = fs;
    RecoveryRoot = {recovery};
    Only_Numeric_Owners = true;
}}
EXPORT {{
    Export_Id = 1;
    Path = {export};
    Pseudo = {pseudo};
    Protocols = 3, 4;
    Transports = TCP;
    Access_Type = RW;
    Squash = No_Root_Squash;
    SecType = sys;
    FSAL {{ Name = VFS; }}
}}
"""

STUNNEL_CONF = """\
foreground = yes
pid =
debug = 5
[mount-target]
accept = ::1:{port}
connect = {backend}
cert = {cert}
key = {key}
sslVersion = TLSv1.2
ciphers = ECDHE-RSA-AES256-GCM-SHA384
"""


def start_server_side(procs, tmp, srv_ns):
    """rpcbind, then ganesha registering with it, both in one private mount namespace."""
    export = os.path.join(tmp, "export")
    recovery = os.path.join(tmp, "recovery")
    os.makedirs(export)
    os.makedirs(recovery)
    # One process holds the mount namespace; rpcbind and ganesha enter it with nsenter, so
    # each of them is a process of its own, with its own PID to end.
    holder = procs.start("mountns", [
        "ip", "netns", "exec", srv_ns, "unshare", "--mount", "--propagation", "private",
        "sh", "-c", "mount -t tmpfs -o mode=755 zd-run /run && mkdir /run/rpcbind "
                    "&& exec sleep 86400"])
    wait_until(lambda: _comm(holder.pid) == "sleep" or _died(holder, procs), STEP_TIMEOUT,
               "the private /run")
    enter = ["nsenter", "-t", str(holder.pid), "--mount", "--net", "--"]

    rpcbind = procs.start("rpcbind", enter + ["rpcbind", "-f"])
    sock = f"/proc/{holder.pid}/root/run/rpcbind.sock"
    wait_until(lambda: os.path.exists(sock) or _died(rpcbind, procs), STEP_TIMEOUT, "rpcbind")

    conf = os.path.join(tmp, "ganesha.conf")
    with open(conf, "w") as f:
        f.write(GANESHA_CONF.format(nfs_port=NFS_PORT, mount_port=MOUNT_PORT,
                                    recovery=recovery, export=export, pseudo=EXPORT))
    glog = os.path.join(tmp, "ganesha.log")
    ganesha = procs.start("ganesha", enter + [
        "ganesha.nfsd", "-F", "-f", conf, "-L", glog, "-p", os.path.join(tmp, "ganesha.pid"),
        "-N", "NIV_EVENT"])
    wait_until(lambda: "NFS SERVER INITIALIZED" in read_text(glog)
               or _died(ganesha, procs, glog), STEP_TIMEOUT, "ganesha")
    # An IPv6 client asks rpcbind for tcp6 addresses; both services must be there.
    wait_until(lambda: _registered(enter, {(MOUNT_PROG, "tcp6"), (NFS_PROG, "tcp6")}),
               STEP_TIMEOUT, "ganesha's rpcbind registrations")
    return export, holder


def _comm(pid):
    return read_text(f"/proc/{pid}/comm").strip()


def _died(proc, procs, log=None):
    if proc.poll() is None:
        return False
    text = read_text(log or procs.log_path(proc.name))
    raise WorldError(f"{proc.name} exited with status {proc.returncode}:\n{text[-3000:]}")


def _registered(enter, wanted):
    out = run(enter + ["rpcinfo"], check=False).stdout.decode(errors="replace")
    have = set()
    for line in out.splitlines()[1:]:
        fields = line.split()
        if len(fields) >= 3 and fields[0].isdigit():
            have.add((int(fields[0]), fields[2]))
    return wanted <= have


# ---------------------------------------------------------------------------------------------
# The RPC router: runs inside the server namespace, one thread pair per connection.

MAX_FIRST_CALL = 1 << 20  # a first call is small; anything bigger is not RPC we route
LAST_FRAGMENT = 0x80000000


def recv_exact(sock, n):
    data = bytearray()
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            return None
        data += chunk
    return bytes(data)


def read_first_call(sock):
    """Reads one whole record-marked RPC record. Returns (raw bytes, payload) or None.

    Over TCP a record is a run of fragments, each behind a 4-byte mark whose top bit flags the
    last one; the bytes are kept as they came so they can be replayed to the backend."""
    raw = bytearray()
    payload = bytearray()
    while True:
        mark = recv_exact(sock, 4)
        if mark is None:
            return None
        (word,) = struct.unpack(">I", mark)
        size = word & ~LAST_FRAGMENT
        if len(raw) + 4 + size > MAX_FIRST_CALL:
            return None
        body = recv_exact(sock, size)
        if body is None:
            return None
        raw += mark + body
        payload += body
        if word & LAST_FRAGMENT:
            return bytes(raw), bytes(payload)


def program_of_call(payload):
    """The program number of an RPC call message, or None when payload is no RPC v2 call."""
    if len(payload) < 16:
        return None
    _xid, msg_type, rpc_version, program = struct.unpack(">IIII", payload[:16])
    if msg_type != 0 or rpc_version != 2:
        return None
    return program


def relay(src, dst):
    try:
        while True:
            data = src.recv(1 << 18)
            if not data:
                break
            dst.sendall(data)
    except OSError:
        pass
    # Either side ending ends both, as the forwarder does with its pairs.
    for s in (src, dst):
        with contextlib.suppress(OSError):
            s.shutdown(socket.SHUT_RDWR)


def route_connection(conn, routes, log):
    with conn:
        first = read_first_call(conn)
        program = program_of_call(first[1]) if first else None
        backend = routes.get(program)
        if backend is None:
            log(f"drop program={program}")
            return
        try:
            upstream = socket.create_connection(backend, timeout=STEP_TIMEOUT)
        except OSError as e:
            log(f"refused program={program} backend={backend[0]}:{backend[1]}: {e}")
            return
        with upstream:
            upstream.settimeout(None)
            # RPC is request and answer; Nagle would hold back the tail of each record.
            upstream.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            upstream.sendall(first[0])
            log(f"route program={program} ({PROGRAM_NAMES.get(program, '?')}) "
                f"-> {backend[0]}:{backend[1]}")
            back = threading.Thread(target=relay, args=(upstream, conn), daemon=True)
            back.start()
            relay(conn, upstream)
            back.join()


def route_main(listen_path, routes):
    lock = threading.Lock()

    def log(line):
        with lock:
            print(line, flush=True)

    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(listen_path)
    server.listen(64)
    log(f"router listening on {listen_path}")
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    while True:
        conn, _ = server.accept()
        threading.Thread(target=route_connection, args=(conn, routes, log), daemon=True).start()


def parse_route(text):
    program, _, backend = text.partition("=")
    host, _, port = backend.rpartition(":")
    return int(program), (host, int(port))


# ---------------------------------------------------------------------------------------------
# The world


class NfsWorld:
    """Builds every piece on enter and tears all of it down on exit, also after a failure.

    The daemon is the harness's (harness.DAEMON, from ZD_BIN); tls_port None picks a free
    port on the home loopback; say receives one line for each piece that starts."""

    def __init__(self, tls_port=None, say=lambda text: None):
        self.tls_port = tls_port
        self.say = say
        self.stack = contextlib.ExitStack()

    def __enter__(self):
        try:
            self._build()
        except BaseException:
            self.stack.close()
            raise
        return self

    def __exit__(self, *exc):
        # A second Ctrl-C must not cut the teardown short and leave pieces behind.
        on_main = threading.current_thread() is threading.main_thread()
        if on_main:
            saved = [(sig, signal.signal(sig, signal.SIG_IGN))
                     for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)]
        try:
            self.stack.close()
        finally:
            if on_main:
                for sig, handler in saved:
                    signal.signal(sig, handler)
        return False

    def _build(self):
        self.tmp = tempfile.mkdtemp(prefix="zd-nfs-")
        self.stack.callback(shutil.rmtree, self.tmp, ignore_errors=True)
        self.srv_ns = self.stack.enter_context(harness.Netns("zdsrv")).name
        self.client_ns = self.stack.enter_context(harness.Netns("zdcli")).name
        # Registered after the namespaces, so the processes in them end before they go.
        self.procs = Processes(self.tmp)
        self.stack.callback(self.procs.stop_all)
        self.say(f"namespaces: client {self.client_ns}, mount target {self.srv_ns}")

        self.export, _ = start_server_side(self.procs, self.tmp, self.srv_ns)
        self.say(f"nfs-ganesha (NFSv3+v4) exports {self.export} as {EXPORT}, "
                 f"with a private rpcbind")

        router_sock = os.path.join(self.tmp, "router.sock")
        routes = [f"{PORTMAP_PROG}=127.0.0.1:{RPCBIND_PORT}",
                  f"{MOUNT_PROG}=127.0.0.1:{MOUNT_PORT}", f"{NFS_PROG}=127.0.0.1:{NFS_PORT}"]
        self.router = self.procs.start("router", [
            "ip", "netns", "exec", self.srv_ns, sys.executable, os.path.abspath(__file__),
            "route", router_sock] + routes)
        wait_until(lambda: os.path.exists(router_sock) or _died(self.router, self.procs),
                   STEP_TIMEOUT, "the RPC router")

        pki = self.stack.enter_context(harness.Pki())
        self.ca = pki.ca
        cert, key = pki.server(SERVER_NAME)
        if self.tls_port is None:
            self.tls_port = free_tcp_port()
        conf = os.path.join(self.tmp, "stunnel.conf")
        with open(conf, "w") as f:
            f.write(STUNNEL_CONF.format(port=self.tls_port, backend=router_sock, cert=cert,
                                        key=key))
        self.stunnel = self.procs.start("stunnel", ["stunnel4", conf])
        wait_until(lambda: self._listening(self.tls_port) or _died(self.stunnel, self.procs),
                   STEP_TIMEOUT, "stunnel")
        self.say(f"stunnel terminates TLS on [::1]:{self.tls_port} for {SERVER_NAME} "
                 f"(throw-away CA), RPC router behind it")

        self.syslog = self.stack.enter_context(harness.Syslog())
        self._start_forwarder()

    def _listening(self, port):
        """True when something in the home namespace listens on [::1]:port (no probe traffic,
        which stunnel would log as a failed handshake)."""
        hexport = f"{port:04X}"
        for line in read_text("/proc/net/tcp6").splitlines()[1:]:
            fields = line.split()
            if fields[1].endswith(":" + hexport) and fields[3] == "0A":
                return True
        return False

    def _start_forwarder(self):
        self.daemon = self.stack.enter_context(harness.Daemon(
            self.syslog, self.client_ns, self.tls_port, self.ca, SERVER_NAME))
        self.say(f"zarn-dwel-forwarder started (pid {self.daemon.pid}): "
                 f"{' '.join(self.daemon.args)}")

    def daemon_alive(self):
        return self.daemon.proc.poll() is None

    def stop_daemon(self, sig=signal.SIGTERM):
        """Ends the daemon with sig; returns its exit status."""
        self.daemon.signal(sig)
        return self.daemon.wait_exit(STEP_TIMEOUT)

    def daemon_sockets(self):
        """The daemon's TCP sockets as ss shows them, in both of its namespaces."""
        tag = f"pid={self.daemon.pid},"
        shown = []
        for where, prefix in (("home", []), ("client", ["ip", "netns", "exec", self.client_ns])):
            out = run(prefix + ["ss", "-Htanp"], check=False).stdout.decode(errors="replace")
            shown += [f"{where}: {' '.join(line.split()[:5])}" for line in out.splitlines()
                      if tag in line]
        return shown

    def daemon_log(self):
        """The daemon's syslog lines as harness.LogLine records."""
        return self.daemon.lines()

    def routed_programs(self):
        """Names of the RPC programs of the connections the router has passed on, in order."""
        lines = read_text(self.procs.log_path("router")).splitlines()
        return [line.split()[2].strip("()") for line in lines if line.startswith("route ")]

    # -- the client side ----------------------------------------------------------------------

    def url(self, path="", version=4):
        """A libnfs URL through the daemon. NFSv4 names its port; NFSv3 names none, so libnfs
        asks rpcbind (port 111) for the mount and nfs ports, all through the daemon."""
        query = f"version=4&nfsport={NFS_PORT}" if version == 4 else "version=3"
        return f"nfs://::1{EXPORT}/{path}?{query}"

    def client(self, argv, timeout=STEP_TIMEOUT, **kw):
        return run(["ip", "netns", "exec", self.client_ns] + argv, timeout=timeout, **kw)

    def nfs_cp(self, src, dst, timeout=STEP_TIMEOUT):
        return self.client(["nfs-cp", src, dst], timeout=timeout)

    def nfs_cat(self, url, timeout=STEP_TIMEOUT):
        return self.client(["nfs-cat", url], timeout=timeout).stdout

    def nfs_ls(self, url):
        """{name: size} of a directory as nfs-ls prints it."""
        out = self.client(["nfs-ls", url]).stdout.decode(errors="replace")
        listing = {}
        for line in out.splitlines():
            fields = line.split(None, 5)
            if len(fields) == 6:
                listing[fields[5]] = int(fields[4])
        return listing

    def direct_url(self, path, version=4):
        """A URL straight to ganesha, for a client in the server namespace."""
        return self.url(path, version).replace("nfs://::1", "nfs://127.0.0.1")

    def direct(self, argv, timeout=BIG_TIMEOUT):
        return run(["ip", "netns", "exec", self.srv_ns] + argv, timeout=timeout)

    def server_path(self, name):
        return os.path.join(self.export, name)


def write_random_file(path, size, seed):
    """Writes size pseudo-random bytes and returns their SHA-256."""
    rng = random.Random(seed)
    digest = hashlib.sha256()
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 1 << 20)
            chunk = rng.randbytes(n)
            digest.update(chunk)
            f.write(chunk)
            left -= n
    return digest.hexdigest()


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            digest.update(chunk)
    return digest.hexdigest()


def timed(action, size):
    """Runs action() and returns the MiB/s of moving size bytes."""
    start = time.monotonic()
    action()
    return size / (1 << 20) / (time.monotonic() - start)


# ---------------------------------------------------------------------------------------------
# The demo

DEMO_SIZE = 64 << 20


def demo():
    tls_port = 2051 if port_is_free(2051) else None
    with NfsWorld(tls_port=tls_port, say=say) as w:
        local = os.path.join(w.tmp, "local")
        os.makedirs(local)
        say(f"libnfs client in namespace {w.client_ns} -> [::1]:{NFS_PORT} (the daemon) "
            f"-> TLS -> mount target")
        ok = demo_small_files(w, local)
        ok &= demo_large_transfers(w, local)
        say(f"RPC programs the mount target saw: {' '.join(sorted(set(w.routed_programs())))}")
        print_status(w.daemon)
        status = w.stop_daemon()
        ok &= status == 0
        say(f"daemon stopped with SIGTERM, exit status {status}; its log:")
        print_daemon_log(w.daemon_log())
        say("tearing down")
    say("torn down: processes, namespaces and temporary files are gone, /dev/log released")
    return 0 if ok else 1


def say(text):
    print(f"demo: {text}", flush=True)


def demo_small_files(w, local):
    bodies = {"hello.txt": b"hello through the forwarder\n",
              "notes.txt": b"written over NFSv4, read back\n",
              "small.bin": bytes(range(256)) * 12}
    for name, body in bodies.items():
        path = os.path.join(local, name)
        with open(path, "wb") as f:
            f.write(body)
        w.nfs_cp(path, w.url(name))
    say(f"nfs-cp wrote {len(bodies)} small files over NFSv4; nfs-ls {w.url()}:")
    for name, length in sorted(w.nfs_ls(w.url()).items()):
        print(f"      {length:8d}  {name}")
    back = w.nfs_cat(w.url("hello.txt"))
    intact = back == bodies["hello.txt"]
    say(f"nfs-cat hello.txt: {back.decode(errors='replace').strip()!r} "
        f"({'intact' if intact else 'DIFFERENT'})")
    return intact


def demo_large_transfers(w, local):
    size = DEMO_SIZE
    digest = write_random_file(w.server_path("big.bin"), size, seed=7)
    copy = os.path.join(local, "big.bin")
    rate = timed(lambda: w.nfs_cp(w.url("big.bin"), copy, timeout=BIG_TIMEOUT), size)
    read_ok = sha256_of(copy) == digest
    say(f"NFSv4 read of 64 MiB through the daemon: {rate:.1f} MiB/s, "
        f"sha256 {'matches' if read_ok else 'DIFFERS'}")

    rate = timed(lambda: w.nfs_cp(copy, w.url("big-v3.bin", version=3), timeout=BIG_TIMEOUT),
                 size)
    write_ok = sha256_of(w.server_path("big-v3.bin")) == digest
    say(f"NFSv3 write of 64 MiB through the daemon (rpcbind lookup, mount and nfs): "
        f"{rate:.1f} MiB/s, server copy {'matches' if write_ok else 'DIFFERS'}")

    # The same two transfers straight to ganesha, inside its namespace, show what the
    # daemon, TLS and the router cost.
    direct = os.path.join(local, "direct.bin")
    read = timed(lambda: w.direct(["nfs-cp", w.direct_url("big.bin"), direct]), size)
    write = timed(lambda: w.direct(["nfs-cp", copy, w.direct_url("big-direct.bin", 3)]), size)
    say(f"for comparison, straight to ganesha without TLS: NFSv4 read {read:.1f} MiB/s, "
        f"NFSv3 write {write:.1f} MiB/s")
    return read_ok and write_ok


def print_status(daemon):
    """The daemon's status file once it shows every pair the demo made closed."""
    st = daemon.wait_status(lambda st: st["live_pairs"] == 0 and
                            any(p["accepted"] for p in st["ports"]))
    say(f"status file {daemon.status_path} (rewritten every 5 s), per port:")
    for p in st["ports"]:
        print(f"      {p['service']:>7} {p['port']:5d}: {p['accepted']} accepted, "
              f"{p['live_pairs']} live, {p['bytes_up']} bytes up, {p['bytes_down']} bytes down, "
              f"failures: {p['connect_failures']} connect, {p['handshake_failures']} handshake, "
              f"{p['verification_failures']} verification, {p['refused_at_limit']} at the limit")


def print_daemon_log(lines):
    """Start-up, the first connection in full, two lines (its arrival and its close) for each
    later one, and the shutdown."""
    phase = "start"
    left_out = 0
    for line in lines:
        arrival = "Received new connection" in line.text
        closed = line.text.startswith("Pair closed")
        if line.text.startswith("received SIG"):
            phase = "stop"
        elif arrival and phase in ("start", "first"):
            phase = "first" if phase == "start" else "later"
        if phase == "later" and not (arrival or closed):
            left_out += 1
            continue
        print(f"      {describe_line(line)}")
    if left_out:
        say(f"({left_out} lines of the later connections' certificate checks and closes "
            f"left out)")


LEVEL_NAMES = ("TRACE", "DEBUG", "INFO", "WARN", "ERROR", "BUG", "FATAL", "FATAL")


def describe_line(line):
    level = LEVEL_NAMES[line.level] if 0 <= line.level < len(LEVEL_NAMES) else "?"
    where = f"{line.function}:{line.file}:{line.line}:" if line.function else ""
    return f"{level:>5} {where}{line.text}"


def port_is_free(port):
    with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
        try:
            s.bind(("::1", port))
        except OSError:
            return False
    return True


def interrupt(signum, frame):
    raise KeyboardInterrupt


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    d = sub.add_parser("demo", help="run the demo")
    d.add_argument("--bin", default=os.environ.get("ZD_BIN", os.path.join(SRC, "build/bin")))
    r = sub.add_parser("route", help="the RPC router (started by the world)")
    r.add_argument("listen")
    r.add_argument("routes", nargs="+", type=parse_route, help="PROGRAM=HOST:PORT")
    args = parser.parse_args(argv)
    if args.command == "route":
        return route_main(args.listen, dict(args.routes))
    # SIGTERM and SIGHUP tear down like Ctrl-C does.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, interrupt)
    # The harness took its daemon's path from ZD_BIN when it was imported.
    harness.DAEMON = os.path.join(os.path.abspath(args.bin), "zarn-dwel-forwarder")
    try:
        return demo()
    except KeyboardInterrupt:
        print("demo: interrupted; torn down", flush=True)
        return 130
    except (WorldError, HarnessTimeout) as e:
        print(f"demo: failed: {e}", file=sys.stderr, flush=True)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
