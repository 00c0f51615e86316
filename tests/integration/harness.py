"""Shared pieces of the daemon's script tests. Standard library only; run as root.

Every piece is a context manager that undoes what it made, also when the test fails:

    with Netns() as ns, Syslog() as log, Pki() as pki, \\
            TlsPeer(*pki.server("srv.test")) as peer, \\
            Daemon(log, ns, peer.port, pki.ca, "srv.test") as d:
        s = ns.connect(2049)                 # a client socket inside the namespace
        assert exchange(s, b"x" * 100) == b"x" * 100
        d.wait_line(r"Received new connection")

Netns     a uniquely named network namespace with lo up; .connect() and .socket() make
          sockets inside it from this process, .run() / .popen() run commands inside it.
Syslog    a receiver for the daemon's syslog lines (pid, priority, text) at /dev/log, or, when
          /dev/log is taken, at a private path that .launch_prefix() mounts over /dev/log in
          the mount namespace of one process.
Pki       a throw-away CA and server certificates made with the openssl command line.
TlsPeer   a TLS server in the home namespace (the mount target) with the modes echo, sink,
          record, send, refuse and reset; .connections records every connection.
Daemon    the real zarn-dwel-forwarder, started and waited for through its syslog lines.
exchange  sends a payload on a socket while reading the same number of bytes back.

Every wait takes a timeout and raises HarnessTimeout when it passes.
"""

import ctypes
import hashlib
import itertools
import json
import os
import random
import re
import resource
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import tempfile
import threading
import time
import unittest

ZD_BIN = os.environ.get("ZD_BIN", os.path.join(os.path.dirname(__file__), "../../build/bin"))
ZD_SRC = os.environ.get("ZD_SRC", os.path.join(os.path.dirname(__file__), "../.."))
DAEMON = os.path.join(ZD_BIN, "zarn-dwel-forwarder")

# Where the daemon keeps what belongs to one namespace's instance when no manager says.
RUNTIME_DIR = "/run/zarn-dwel"
# The daemon's fixed listener ports and its defaults for the other three.
RPCBIND_PORT, MOUNT_PORT, NFS_PORT, NLM_PORT = 111, 2048, 2049, 2050
LISTENER_PORTS = (RPCBIND_PORT, MOUNT_PORT, NFS_PORT, NLM_PORT)

# Levels of the daemon's log; fatal reports (report_error and its kin) carry syslog priority
# crit, which no other line uses, and show as FATAL_EXIT.
TRACE, DEBUG, INFO, WARN, ERROR, BUG, FATAL, FATAL_EXIT = range(8)
_LOG_CRIT = 2

_CLONE_NEWNET = 0x40000000
# Hundreds of client and peer sockets live at once in some tests.
_soft, _hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (_hard, _hard))
_libc = ctypes.CDLL(None, use_errno=True)
# The sanitizers the binaries under test carry, as CMake's ZD_SANITIZE gives them.
SANITIZE = os.environ.get("ZD_SANITIZE", "")
_TSAN = "thread" in SANITIZE
# System call numbers as /proc/<pid>/task/<tid>/syscall shows them (x86-64).
_READ_SYSCALL = "0"
_NANOSLEEP_SYSCALLS = ("35", "230")  # nanosleep, clock_nanosleep
_serial = itertools.count()


class HarnessTimeout(AssertionError):
    pass


def wait_until(predicate, timeout, what, interval=0.02):
    """Polls predicate until it returns a true value, which is returned."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise HarnessTimeout("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def function_name(name):
    """A function name as the log prefix shows it."""
    return name[:12]


def unique_name(prefix):
    return "%s%d-%d" % (prefix, os.getpid(), next(_serial))


# ---- network namespaces ----


# The daemon binds every outgoing connection, in its home namespace, to the client's own port.
# Clients in a test namespace therefore take their ports from a range that the home namespace
# never hands out by itself (its ephemeral range starts at 32768), or a busy home namespace
# makes those binds fail now and then.
CLIENT_PORT_RANGE = (20000, 32000)


class Netns:
    """A network namespace of its own with lo up and client ports from CLIENT_PORT_RANGE,
    deleted on exit."""

    def __init__(self, prefix="zdt"):
        self.name = unique_name(prefix)
        self.path = "/run/netns/" + self.name

    def __enter__(self):
        subprocess.run(["ip", "netns", "add", self.name], check=True, timeout=30)
        try:
            subprocess.run(["ip", "-n", self.name, "link", "set", "lo", "up"], check=True,
                           timeout=30)
            self.run(["sysctl", "-q", "-w",
                      "net.ipv4.ip_local_port_range=%d %d" % CLIENT_PORT_RANGE], check=True)
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        subprocess.run(["ip", "netns", "delete", self.name], timeout=30,
                       stderr=subprocess.DEVNULL)
        # The daemon's folder for the namespace: its instance lock, maybe its status file.
        shutil.rmtree(os.path.join(RUNTIME_DIR, self.name), True)

    def run(self, args, **kw):
        kw.setdefault("timeout", 60)
        return subprocess.run(["ip", "netns", "exec", self.name] + list(args), **kw)

    def popen(self, args, **kw):
        return subprocess.Popen(["ip", "netns", "exec", self.name] + list(args), **kw)

    def socket(self, family=socket.AF_INET6, type=socket.SOCK_STREAM):
        """A socket that belongs to the namespace (a socket keeps the one it was made in)."""
        return run_in(self, socket.socket, family, type)

    def connect(self, port, host="::1", src_port=None, timeout=10.0, rcvbuf=None):
        """A client connection from inside the namespace, optionally from a chosen port and
        with a chosen receive buffer (set before connecting, so that the window follows it)."""
        s = self.socket()
        s.settimeout(timeout)
        try:
            if rcvbuf is not None:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
            if src_port is not None:
                s.bind((host, src_port))
            s.connect((host, port))
        except ConnectionResetError:
            # The daemon resets a client whose mount target failed at once, which can be
            # before connect has returned: the client is given its socket all the same, and
            # its reads see the end.
            pass
        except BaseException:
            s.close()
            raise
        return s

    def hold_port(self, port, host="::1"):
        """Binds and listens on the port without SO_REUSEADDR or SO_REUSEPORT, so that nobody
        else can bind it; close the result to free the port."""
        s = self.socket()
        try:
            s.bind((host, port))
            s.listen(1)
        except BaseException:
            s.close()
            raise
        return s

    def listening_pids(self):
        """Map of listening TCP port to the set of process ids that hold it."""
        out = self.run(["ss", "-Hltnp"], capture_output=True, text=True, check=True).stdout
        return _parse_ss(out)


def home_listening_pids():
    out = subprocess.run(["ss", "-Hltnp"], capture_output=True, text=True, check=True,
                         timeout=60).stdout
    return _parse_ss(out)


def _parse_ss(out):
    ports = {}
    for line in out.splitlines():
        fields = line.split()
        if len(fields) < 4:
            continue
        port = int(fields[3].rsplit(":", 1)[1])
        ports.setdefault(port, set()).update(int(p) for p in re.findall(r"pid=(\d+)", line))
    return ports


# ---- syslog ----


class LogLine:
    """One syslog datagram of the daemon: "<PRI>Mmm dd hh:mm:ss tag: function____:src/file:N:text",
    where the tag is "zarn-dwel-forwarder@<namespace>[pid]" (.identity, .tag_pid).
    The function name is cut to its first 12 characters (compare with function_name()).
    Fatal reports have no function prefix; their level is FATAL_EXIT."""

    _prefix = re.compile(r"^(.{12}):(src/[^:]+):(\d+):(.*)$", re.S)

    def __init__(self, pid, raw, when):
        self.pid = pid
        self.when = when
        self.raw = raw
        m = re.match(r"^<(\d+)>", raw)
        self.priority = int(m.group(1)) if m else -1
        self.level = -1
        if m:
            severity = self.priority & 7
            self.level = FATAL_EXIT if severity == _LOG_CRIT else 7 - severity
        rest = raw[m.end():] if m else raw
        # The timestamp is fixed-width ("Mmm dd hh:mm:ss "); the tag ends at the first ": ".
        tag_and_message = rest[16:]
        tag, _, message = tag_and_message.partition(": ")
        self.tag = tag
        # "identity[pid]" once the daemon has opened its log.
        t = re.match(r"^(.*)\[(\d+)\]$", tag)
        self.identity, self.tag_pid = (t.group(1), int(t.group(2))) if t else (tag, None)
        message = message.rstrip("\n")
        p = self._prefix.match(message)
        if p:
            self.function = p.group(1).rstrip()
            self.file = p.group(2)
            self.line = int(p.group(3))
            self.text = p.group(4)
        else:
            self.function = self.file = None
            self.line = 0
            self.text = message

    def __repr__(self):
        return "LogLine(pid=%d, level=%d, %r, %r)" % (self.pid, self.level, self.function,
                                                       self.text)


class Syslog:
    """Collects syslog datagrams with their sender's pid (SO_PASSCRED).

    The receiver binds /dev/log when it is free and removes it on exit. While another receiver
    holds /dev/log, it binds a private path instead, and launch_prefix() gives the command
    prefix that runs one program in a mount namespace of its own with that path mounted over
    /dev/log. Programs started through launch_prefix() log here either way."""

    # Exit status of the prefix when /dev/log vanished before it could be mounted over.
    MOUNT_FAILED = 97

    def __init__(self):
        self.lines = []
        self.cond = threading.Condition()
        self._socks = []
        self._owned = []  # (path, inode) of the paths this receiver made
        self._private = None
        self._stop = False
        self._threads = []

    def __enter__(self):
        if not self._bind("/dev/log"):
            self._private = os.path.join(tempfile.gettempdir(),
                                         unique_name("zd-syslog-") + ".sock")
            if not self._bind(self._private):
                raise OSError("cannot bind " + self._private)
        return self

    def __exit__(self, *exc):
        self._stop = True
        for t in self._threads:
            t.join(5)
        for path, ino in self._owned:
            try:
                if os.stat(path).st_ino == ino:
                    os.unlink(path)
            except FileNotFoundError:
                pass
        for sock in self._socks:
            sock.close()

    def _bind(self, path):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        try:
            sock.bind(path)
        except OSError:
            sock.close()
            return False
        self._owned.append((path, os.stat(path).st_ino))
        self._socks.append(sock)
        sock.settimeout(0.2)
        t = threading.Thread(target=self._receive, args=(sock,), daemon=True)
        self._threads.append(t)
        t.start()
        return True

    def owns_dev_log(self):
        return any(path == "/dev/log" for path, _ in self._owned)

    def open_to_all_users(self):
        """Lets daemons that run as another user than root log here too."""
        for path, _ in self._owned:
            os.chmod(path, 0o666)

    def launch_prefix(self):
        """[] when programs reach this receiver at /dev/log, else the unshare/mount prefix."""
        if self.owns_dev_log() or self._bind("/dev/log"):
            return []
        return ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
                'mount --bind "$0" /dev/log 2>/dev/null || exit %d; exec "$@"' %
                self.MOUNT_FAILED, self._private]

    def _receive(self, sock):
        cred_size = struct.calcsize("iII")
        while not self._stop:
            try:
                data, anc, _, _ = sock.recvmsg(65536, socket.CMSG_SPACE(cred_size))
            except socket.timeout:
                continue
            except OSError:
                return
            pid = -1
            for level, kind, payload in anc:
                if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS:
                    pid = struct.unpack("iII", payload[:cred_size])[0]
            line = LogLine(pid, data.decode("utf-8", "replace"), time.monotonic())
            with self.cond:
                self.lines.append(line)
                self.cond.notify_all()

    def records(self, pid=None, start=0):
        with self.cond:
            return [l for l in self.lines[start:] if pid is None or l.pid == pid]

    def mark(self):
        """Index of the next line to arrive, for waits that must ignore earlier lines."""
        with self.cond:
            return len(self.lines)

    def wait_for(self, pattern, pid=None, timeout=10.0, start=0, count=1):
        """Waits until count lines of pid from index start match the regular expression
        (searched in the text); returns the matching lines."""
        rx = re.compile(pattern)
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                found = [l for l in self.lines[start:]
                         if (pid is None or l.pid == pid) and rx.search(l.text)]
                if len(found) >= count:
                    return found
                left = end - time.monotonic()
                if left <= 0:
                    raise HarnessTimeout("no %d line(s) matching %r within %.1f s" %
                                         (count, pattern, timeout))
                self.cond.wait(min(left, 0.5))


# ---- certificates ----


# Well clear of the daemon's warning about certificates that expire within 14 days.
CERT_DAYS = 60


class Pki:
    """A CA and server certificates in a temporary folder, RSA 2048, made with openssl."""

    def __init__(self):
        self.dir = None

    def __enter__(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="zd-pki-")
        self.dir = self._tmp.name
        self.ca, self.ca_key = self.make_ca("ca")
        return self

    def __exit__(self, *exc):
        self._tmp.cleanup()

    def _openssl(self, *args):
        subprocess.run(["openssl"] + list(args), check=True, timeout=120,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, cwd=self.dir)

    def make_ca(self, label):
        """A further self-signed CA; returns (certificate path, key path)."""
        cert = os.path.join(self.dir, label + ".pem")
        key = os.path.join(self.dir, label + ".key")
        self._openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                      cert, "-days", str(CERT_DAYS), "-subj", "/O=zd tests/CN=" + label)
        return cert, key

    def server(self, name, ca=None, days=None, alt=None):
        """A server certificate for the name (as CN and DNS name, or the subjectAltName text
        `alt` such as "IP:::1"), signed by the CA given as (cert, key) or by the main one, valid
        for `days` (CERT_DAYS); returns (certificate path, key path)."""
        ca_cert, ca_key = ca or (self.ca, self.ca_key)
        label = unique_name("srv-")
        cert = os.path.join(self.dir, label + ".pem")
        key = os.path.join(self.dir, label + ".key")
        csr = os.path.join(self.dir, label + ".csr")
        ext = os.path.join(self.dir, label + ".ext")
        with open(ext, "w") as f:
            f.write("subjectAltName=%s\n" % (alt or "DNS:" + name))
        self._openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
                      "-subj", "/O=zd tests/CN=" + name)
        self._openssl("x509", "-req", "-in", csr, "-CA", ca_cert, "-CAkey", ca_key,
                      "-CAcreateserial", "-out", cert, "-days", str(days or CERT_DAYS),
                      "-extfile", ext)
        return cert, key


# ---- the mount target ----


class ConnInfo:
    """One connection that the TLS peer accepted."""

    def __init__(self, peer):
        self.peer_host, self.peer_port = peer[0], peer[1]
        self.nbytes = 0
        self.sent = 0  # plaintext bytes sent so far in the send mode
        self.sha = hashlib.sha256()
        self.data = bytearray()
        self.end = None  # "close_notify", "eof", "reset", "handshake: ...", "error: ..."
        self.reused = None  # after the handshake: whether it resumed an earlier session
        self.server_name = None  # the name the client sent (SNI), if any
        self.done = threading.Event()

    def digest(self):
        return self.sha.hexdigest()


class TlsPeer:
    """A TLS server on [host]:port in this process's namespace, one thread per connection.

    Modes:
      echo    sends back everything it receives;
      sink    reads until the end, counting and hashing (ConnInfo.nbytes, .digest());
      record  like sink, and keeps the bytes (ConnInfo.data);
      send    after the handshake reads one byte, sends payload, sends close_notify and
              closes the descriptor at once;
      refuse  the port is bound but nobody listens: connections are refused;
      reset   accepts the TCP connection and resets it at once, before any TLS;
      mute    accepts the TCP connection and reads whatever comes, but never answers: a
              handshake that never finishes;
      garbage accepts the TCP connection, sends payload as it is (no TLS), then reads until
              the end;
      garbage-after  completes the handshake, echoes the first chunk it reads, and 0.3 s
              later writes payload on the bare socket, in the middle of the TLS stream, and
              reads on.
      script  runs the steps of .script (see ScriptedTls) over memory BIOs, so that the test
              decides byte for byte what goes out in which write.
    read_pause delays the first read of every connection (to fill the daemon's buffers).
    reset_after > 0 makes echo, sink and record reset the connection (no close_notify, no FIN)
    as soon as that many bytes have come in.
    netns: a Netns to listen in instead of this process's namespace.
    tls_max: the highest TLS version (an ssl.TLSVersion) to speak, by default the library's.
    Sessions resume (tickets) for as long as the peer lives; a new peer has new ticket keys.
    port 0 takes a free port (.port tells which). mode, payload, read_pause and reset_after may
    be changed between connections; each connection keeps the values it was accepted with."""

    def __init__(self, cert=None, key=None, mode="echo", host="::1", port=0, payload=b"",
                 read_pause=0.0, netns=None, reset_after=0, tls_max=None):
        self.cert, self.key, self.mode = cert, key, mode
        self.tls_max = tls_max
        self.host, self.port = host, port
        self.netns = netns
        self.payload = payload
        self.read_pause = read_pause
        self.reset_after = reset_after
        self.script = []
        self.connections = []
        self._lock = threading.Lock()
        self._threads = []
        self._socks = []
        self._stop = False

    def __enter__(self):
        if self.netns is not None:
            self.listener = self.netns.socket()
        else:
            self.listener = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((self.host, self.port))
        self.port = self.listener.getsockname()[1]
        self._accepter = None
        if self.mode != "refuse":
            if self.cert:
                self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                self.ctx.load_cert_chain(self.cert, self.key)
                self.ctx.sni_callback = self._note_server_name
                if self.tls_max is not None:
                    self.ctx.maximum_version = self.tls_max
            self.listener.listen(512)
            self.listener.settimeout(0.2)
            self._accepter = threading.Thread(target=self._accept, daemon=True)
            self._accepter.start()
        return self

    def __exit__(self, *exc):
        self._stop = True
        if self._accepter:
            self._accepter.join(5)
        self.listener.close()
        with self._lock:
            socks = list(self._socks)
        for s in socks:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for t in self._threads:
            t.join(5)

    def _accept(self):
        while not self._stop:
            try:
                raw, peer = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            info = ConnInfo(peer)
            info.mode, info.payload, info.read_pause = self.mode, self.payload, self.read_pause
            info.reset_after = self.reset_after
            info.script = list(self.script)
            with self._lock:
                self.connections.append(info)
                self._socks.append(raw)
            if info.mode == "reset":
                raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                raw.close()
                info.end = "reset"
                info.done.set()
                continue
            t = threading.Thread(target=self._serve, args=(raw, info), daemon=True)
            self._threads.append(t)
            t.start()

    def _serve(self, raw, info):
        raw.settimeout(60)
        conn = None
        try:
            if info.mode in ("mute", "garbage"):
                self._serve_without_tls(raw, info)
                return
            if info.mode == "script":
                ScriptedTls(self.ctx, raw, info).run()
                return
            try:
                # A connection that the client closed before it was accepted can fail here.
                conn = self.ctx.wrap_socket(raw, server_side=True,
                                            do_handshake_on_connect=False,
                                            suppress_ragged_eofs=False)
                conn.zd_info = info
                conn.do_handshake()
                info.reused = conn.session_reused
            except (ssl.SSLError, OSError) as e:
                info.end = "handshake: %s" % e
                return
            if info.read_pause:
                time.sleep(info.read_pause)
            if info.mode == "send":
                self._send_and_close(conn, info)
            elif info.mode == "garbage-after":
                self._echo_then_garbage(conn, info)
            else:
                self._read_all(conn, info)
        finally:
            info.done.set()
            for s in (conn, raw):
                try:
                    if s is not None:
                        s.close()
                except OSError:
                    pass

    @staticmethod
    def _note_server_name(conn, name, ctx):
        conn.zd_info.server_name = name

    def _read_all(self, conn, info):
        while True:
            try:
                chunk = conn.recv(262144)
            except ssl.SSLEOFError:
                info.end = "eof"
                return
            except (ConnectionResetError, BrokenPipeError):
                info.end = "reset"
                return
            except (ssl.SSLError, OSError) as e:
                info.end = "error: %s" % e
                return
            if not chunk:
                # recv gives b"" only after close_notify; a bare end of the TCP stream raises
                # SSLEOFError, since ragged ends are not suppressed.
                info.end = "close_notify"
                return
            info.nbytes += len(chunk)
            info.sha.update(chunk)
            if info.reset_after and info.nbytes >= info.reset_after:
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                info.end = "reset by us"
                return
            if info.mode == "record":
                info.data += chunk
            elif info.mode == "echo":
                try:
                    conn.sendall(chunk)
                except (ssl.SSLError, OSError) as e:
                    info.end = "error: %s" % e
                    return

    def _serve_without_tls(self, raw, info):
        try:
            if info.mode == "garbage":
                raw.sendall(info.payload)
            while True:
                chunk = raw.recv(65536)
                if not chunk:
                    info.end = "eof"
                    return
                info.nbytes += len(chunk)
        except (ConnectionResetError, BrokenPipeError):
            info.end = "reset"
        except OSError as e:
            info.end = "error: %s" % e

    def _echo_then_garbage(self, conn, info):
        try:
            chunk = conn.recv(65536)
            info.nbytes += len(chunk)
            conn.sendall(chunk)
            # The echo has reached the client before the garbage arrives, since an error
            # drops whatever the pair still holds.
            time.sleep(0.3)
            # Straight onto the descriptor, past the TLS session: bytes that are no record.
            os.write(conn.fileno(), info.payload)
        except (ssl.SSLError, OSError) as e:
            info.end = "error: %s" % e
            return
        self._read_all(conn, info)

    def _send_and_close(self, conn, info):
        try:
            first = conn.recv(1)
            info.nbytes += len(first)
            # In pieces, so that .sent shows how far a reader that stalls has let it come.
            view = memoryview(info.payload)
            for offset in range(0, len(view), 65536):
                piece = view[offset:offset + 65536]
                conn.sendall(piece)
                info.sent += len(piece)
            # One SSL_shutdown writes close_notify; with no wait for the answer the descriptor
            # is closed right after it.
            conn.settimeout(0)
            try:
                conn.unwrap()
            except (ssl.SSLError, OSError):
                pass
            info.end = "sent"
        except (ssl.SSLError, OSError) as e:
            info.end = "error: %s" % e

    def connection_count(self):
        with self._lock:
            return len(self.connections)

    def connection_from(self, port, timeout=10.0, since=0):
        """The newest connection whose source port is port (an earlier client of the same
        test may have had the port before). With since (a connection_count taken before the
        client connected), only a connection accepted after it: an earlier test's client may
        have had the port too, and its connection exists already."""
        def find():
            with self._lock:
                for c in reversed(self.connections[since:]):
                    if c.peer_port == port:
                        return c
            return None
        return wait_until(find, timeout, "a connection from port %d" % port)

    def wait_connections(self, n, timeout=10.0):
        def enough():
            with self._lock:
                return len(self.connections) >= n
        wait_until(enough, timeout, "%d connections at the TLS peer" % n)
        with self._lock:
            return list(self.connections)


class ScriptedTls:
    """A TLS server session over memory BIOs on one accepted connection, run step by step.

    Steps (tuples):
      ("handshake",)           completes the handshake, flushing as it goes
      ("sleep", s)
      ("read", n[, rate])      reads n bytes of plaintext (into ConnInfo.data), at most rate
                               bytes per second when given
      ("read_end",)            reads to the end; ConnInfo.end says how it ended
      ("write", data)          encrypts data into the outgoing buffer (nothing is sent yet)
      ("close_notify",)        adds a close_notify to the outgoing buffer
      ("corrupt",)             flips a byte in the last record of the outgoing buffer
      ("alert",)               adds a plaintext fatal alert record to the outgoing buffer
      ("flush",)               sends the outgoing buffer in one write
      ("fin",)                 shuts the write side down: FIN
      ("rst",)                 closes with a reset
    Nothing leaves before a flush, so "write, close_notify, flush, fin" puts the data, the
    close_notify and the FIN into one segment (data up to the loopback MSS)."""

    def __init__(self, ctx, raw, info):
        self.raw, self.info = raw, info
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.obj = ctx.wrap_bio(self.incoming, self.outgoing, server_side=True)
        self.obj.zd_info = info
        self.pending = bytearray()
        self.sent = 0

    def run(self):
        self.info.data = bytearray()
        try:
            for step in self.info.script:
                getattr(self, "_" + step[0])(*step[1:])
            if self.info.end is None:
                self.info.end = "script done"
        except (ssl.SSLError, OSError) as e:
            self.info.end = self.info.end or "error: %s" % e

    def _take_outgoing(self):
        self.pending += self.outgoing.read()

    def _send_now(self):
        self._take_outgoing()
        if self.pending:
            self.raw.sendall(bytes(self.pending))
            self.pending.clear()

    def _fill(self):
        chunk = self.raw.recv(65536)
        if not chunk:
            self.incoming.write_eof()
            return False
        self.incoming.write(chunk)
        return True

    def _handshake(self):
        while True:
            try:
                self.obj.do_handshake()
                self._send_now()
                return
            except ssl.SSLWantReadError:
                self._send_now()
                if not self._fill():
                    raise OSError("end of stream in the handshake")

    def _sleep(self, seconds):
        time.sleep(seconds)

    def _read(self, n, rate=None):
        started = time.monotonic()
        while len(self.info.data) < n:
            try:
                chunk = self.obj.read(min(16384, n - len(self.info.data)))
            except ssl.SSLWantReadError:
                self._send_now()
                if not self._fill():
                    self.info.end = "eof"
                    return
                continue
            except ssl.SSLZeroReturnError:
                self.info.end = "close_notify"
                return
            if not chunk:
                self.info.end = "close_notify"
                return
            self.info.data += chunk
            self.info.nbytes = len(self.info.data)
            if rate:
                ahead = len(self.info.data) / rate - (time.monotonic() - started)
                if ahead > 0:
                    time.sleep(ahead)

    def _read_end(self):
        try:
            self._read(1 << 40)
        except ssl.SSLEOFError:
            self.info.end = "eof"
        except ConnectionResetError:
            self.info.end = "reset"

    def _write(self, data):
        view = memoryview(data)
        for offset in range(0, len(view), 16384):
            self.obj.write(view[offset:offset + 16384])
        self._take_outgoing()

    def _close_notify(self):
        try:
            self.obj.unwrap()
        except (ssl.SSLWantReadError, ssl.SSLError):
            pass
        self._take_outgoing()

    def _corrupt(self):
        self._take_outgoing()
        self.pending[-1] ^= 0x55

    def _alert(self):
        self._take_outgoing()
        self.pending += bytes([21, 3, 3, 0, 2, 2, 40])

    def _flush(self):
        self._send_now()

    def _fin(self):
        self.raw.shutdown(socket.SHUT_WR)

    def _rst(self):
        self.raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.raw.close()


def run_in(ns, fn, *args):
    """Runs fn(*args) on a short-lived thread that has entered the namespace (the namespace is
    per thread), so that every socket fn makes belongs to it; returns fn's result or raises its
    error."""
    result = {}

    def body():
        try:
            fd = os.open(ns.path, os.O_RDONLY | os.O_CLOEXEC)
            try:
                if _libc.setns(fd, _CLONE_NEWNET) != 0:
                    raise OSError(ctypes.get_errno(), "setns " + ns.path)
            finally:
                os.close(fd)
            result["value"] = fn(*args)
        except BaseException as e:
            result["error"] = e

    t = threading.Thread(target=body)
    t.start()
    t.join()
    if "error" in result:
        raise result["error"]
    return result.get("value")


def free_port(host="::1", ports=None, ns=None):
    """A port free right now for a socket bound to host here: the kernel's choice, or one of
    `ports` (a range) tried in random order. With ns, also free for a client on ::1 inside ns:
    the daemon binds its outgoing connection at home to its client's port."""
    if ports is None:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind((host, 0))
            return s.getsockname()[1]
    for port in random.sample(ports, min(len(ports), 200)):
        try:
            with socket.socket(socket.AF_INET6) as home:
                home.bind((host, port))
                if ns is not None:
                    with ns.socket() as inside:
                        inside.bind(("::1", port))
            return port
        except OSError:
            continue
    raise HarnessTimeout("no free port in %r" % ports)


# ---- the daemon ----


def _no_core():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


# The daemon's variable for the status file's path, and how long a test waits for a rewrite
# that shows what it expects: two rounds of the 5-second iteration and some slack.
STATUS_ENV = "ZARN_DWEL_STATUS"
STATUS_WAIT_S = 15.0


# The default start-up wait: READY=1 on the harness's own notify socket.
READY = object()


class NotifySocket:
    """The manager's end of $NOTIFY_SOCKET: a datagram socket bound at address (a path, or an
    abstract name "@..."), by default in a folder of its own; it tells each message's sender."""

    def __init__(self, address=None):
        self._dir = None
        if address is None:
            self._dir = tempfile.mkdtemp(prefix="zd-notify-")
            address = os.path.join(self._dir, "notify")
        self.address = self.path = address
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
        self.sock.bind("\0" + address[1:] if address[0] == "@" else address)
        self.notices = []  # (sender pid, text)

    def receive(self, timeout):
        """The next message as (sender pid, text), or None when none came within timeout."""
        size = struct.calcsize("iII")
        self.sock.settimeout(timeout)
        try:
            data, anc, _, _ = self.sock.recvmsg(4096, socket.CMSG_SPACE(size))
        except socket.timeout:
            return None
        sender = -1
        for level, kind, payload in anc:
            if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS:
                sender = struct.unpack("iII", payload[:size])[0]
        return sender, data.decode("utf-8", "replace")

    def ready(self, pid, timeout):
        """True once pid has sent READY=1; waits at most timeout for more messages."""
        end = time.monotonic() + timeout
        while not any(p == pid and "READY=1" in t.split("\n") for p, t in self.notices):
            left = end - time.monotonic()
            notice = self.receive(left) if left > 0 else None
            if notice is None:
                return False
            self.notices.append(notice)
        return True

    def close(self):
        self.sock.close()
        if self._dir:
            shutil.rmtree(self._dir, True)
        elif self.address[0] == "/":
            os.unlink(self.address)


class Daemon:
    """The real daemon: -T host -S port -C ca -O name -n namespace, plus extra arguments, run
    behind an optional wrapper command prefix.

    By default the start waits for the daemon's READY=1 on a notify socket of the harness's own
    (start-up is over then: listeners open, worker running, sandbox entered); where the test
    brings its own $NOTIFY_SOCKET, or notify=False, for the line "pop network namespace". A
    pattern waits for that line instead; wait=None returns at once, for start-ups that are meant
    to fail."""

    def __init__(self, syslog, netns, peer_port, ca, common_name, extra=(), target="::1",
                 wait=READY, timeout=20.0, env=None, wrapper=(), status_path="",
                 journal_stderr=False, notify=True):
        self.syslog = syslog
        args = [DAEMON, "-T", target, "-S", str(peer_port), "-C", ca, "-n",
                netns if isinstance(netns, str) else netns.name]
        if common_name:
            args += ["-O", common_name]
        # wrapper: a command prefix that ends by exec'ing the daemon (so that the pid stays the
        # daemon's), such as a mount namespace of its own or a reduced capability bounding set.
        self.args = list(wrapper) + args + list(extra)
        self.timeout = timeout
        # The status file goes to a folder of the test's own (status_path ""), to the daemon's
        # own default (None), or where the test says.
        self.env = dict(os.environ if env is None else env)
        self._status_dir = None
        if status_path == "":
            self._status_dir = tempfile.mkdtemp(prefix="zd-status-")
            status_path = os.path.join(self._status_dir, "status.json")
        if status_path is None:
            self.env.pop(STATUS_ENV, None)
        else:
            self.env[STATUS_ENV] = status_path
        self.status_path = status_path
        self.notify = None
        if notify and "NOTIFY_SOCKET" not in self.env:
            self.notify = NotifySocket()
            self.env["NOTIFY_SOCKET"] = self.notify.path
        elif wait is READY:
            wait = "pop network namespace"
        self.wait = wait
        # journal_stderr: $JOURNAL_STREAM names the daemon's standard error, as systemd sets it
        # when that is the journal.
        self.journal_stderr = journal_stderr
        self.proc = None

    def __enter__(self):
        self._out = tempfile.TemporaryFile()
        self._err = tempfile.TemporaryFile()
        for _ in range(5):
            self._launch()
            if not self.prefix:
                break
            try:
                if self.proc.wait(0.5) != Syslog.MOUNT_FAILED:
                    break
            except subprocess.TimeoutExpired:
                break
        if self.wait:
            try:
                if self.wait is READY:
                    self.wait_ready(self.timeout)
                else:
                    self.wait_line(self.wait, self.timeout)
            except BaseException:
                self.__exit__()
                raise
        return self

    def _launch(self):
        self.prefix = self.syslog.launch_prefix()
        self.start_mark = self.syslog.mark()
        if self.journal_stderr:
            st = os.fstat(self._err.fileno())
            self.env["JOURNAL_STREAM"] = "%d:%d" % (st.st_dev, st.st_ino)
        self.proc = subprocess.Popen(self.prefix + self.args, stdout=self._out,
                                     stderr=self._err, stdin=subprocess.DEVNULL,
                                     preexec_fn=_no_core, env=self.env)
        self.pid = self.proc.pid

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(30)
        self._out.close()
        self._err.close()
        if self._status_dir:
            shutil.rmtree(self._status_dir, True)
        if self.notify:
            self.notify.close()

    def wait_ready(self, timeout=20.0):
        """Waits for READY=1 from this daemon; fails at once if the daemon has ended."""
        end = time.monotonic() + timeout
        while not self.notify.ready(self.pid, min(0.2, timeout)):
            if self.proc.poll() is not None:
                raise HarnessTimeout("daemon ended (status %s) before READY=1; log:\n%s" % (
                    self.proc.returncode, self.describe()))
            if time.monotonic() > end:
                raise HarnessTimeout("no READY=1 from the daemon within %.1f s; log:\n%s" % (
                    timeout, self.describe()))

    def status(self):
        """The status file as it stands, parsed; None while there is none."""
        try:
            with open(self.status_path) as f:
                return json.load(f)
        except FileNotFoundError:
            return None

    def wait_status(self, accept, timeout=STATUS_WAIT_S):
        """The first status file that `accept` takes (it is rewritten every 5 s)."""
        found = []

        def check():
            st = self.status()
            if st is not None and accept(st):
                found.append(st)
                return True
            return False
        try:
            wait_until(check, timeout, "a fitting status file", interval=0.2)
        except HarnessTimeout as e:
            raise HarnessTimeout("%s; %s holds: %s" % (e, self.status_path, self.status()))
        return found[0]

    def lines(self, start=None):
        return self.syslog.records(self.pid, self.start_mark if start is None else start)

    def texts(self, start=None):
        return [l.text for l in self.lines(start)]

    def wait_line(self, pattern, timeout=10.0, start=None, count=1):
        """Waits for a line of this daemon; fails at once if the daemon has ended."""
        start = self.start_mark if start is None else start
        end = time.monotonic() + timeout
        while True:
            try:
                return self.syslog.wait_for(pattern, self.pid, min(0.5, timeout), start,
                                            count)[-1]
            except HarnessTimeout:
                if self.proc.poll() is not None:
                    # Lines sent right before the end may still be on their way.
                    try:
                        return self.syslog.wait_for(pattern, self.pid, 0.5, start, count)[-1]
                    except HarnessTimeout:
                        raise HarnessTimeout("daemon ended (status %s) without %r; log:\n%s" % (
                            self.proc.returncode, pattern, self.describe())) from None
                if time.monotonic() > end:
                    raise HarnessTimeout("no %r from the daemon within %.1f s; log:\n%s" % (
                        pattern, timeout, self.describe())) from None

    def signal(self, signo):
        os.kill(self.pid, signo)

    def wait_exit(self, timeout=20.0):
        return self.proc.wait(timeout)

    def stderr(self):
        self._err.seek(0)
        return self._err.read().decode("utf-8", "replace")

    def stdout(self):
        self._out.seek(0)
        return self._out.read().decode("utf-8", "replace")

    def describe(self, last=40):
        return "\n".join("%d %s %s" % (l.level, l.function, l.text)
                         for l in self.lines()[-last:])

    def unclosed_sockets(self, last=6):
        """Sockets that the log shows opened and not yet collected: {fd: their last lines}."""
        opened = {}
        for l in self.lines():
            m = re.search(r"(Received new (secure )?connection|Initiated connection|"
                          r"Accepting new (secure )?connections) .*socket (\d+)", l.text)
            if m:
                opened[int(m.group(4))] = [l.text]
                continue
            m = re.search(r"socket (\d+)", l.text)
            if m and int(m.group(1)) in opened:
                fd = int(m.group(1))
                if "Garbage collecting socket" in l.text:
                    del opened[fd]
                else:
                    opened[fd].append(l.text)
        return {fd: texts[-last:] for fd, texts in opened.items()
                if not texts[0].startswith("  main: Accepting")}

    def threads(self):
        """The daemon's threads; in a thread sanitizer build without the runtime's own."""
        tasks = sorted(int(t) for t in os.listdir("/proc/%d/task" % self.pid))
        if _TSAN:
            tasks = [t for t in tasks if t == self.pid or not self._sanitizer_thread(t)]
        return tasks

    def _syscall(self, task):
        """The system call the task is in and its arguments, as text ("running" when in
        none); [] when the task is gone."""
        try:
            with open("/proc/%d/task/%d/syscall" % (self.pid, task)) as f:
                return f.read().split()
        except (FileNotFoundError, ProcessLookupError):
            return []

    def _sanitizer_thread(self, task, samples=10):
        """The thread sanitizer's background thread sleeps in nanosleep between its rounds;
        no thread of the daemon's own calls it once started."""
        for _ in range(samples):
            call = self._syscall(task)
            if call and call[0] in _NANOSLEEP_SYSCALLS:
                return True
            time.sleep(0.02)
        return False

    def wait_signal_wait(self, timeout=30.0):
        """Waits until start-up is over: its last log line comes before its last descriptor is
        opened. READY=1 says so where the harness owns the notify socket; else the main thread
        reading its signal descriptor does."""
        if self.notify:
            self.wait_ready(timeout)
            return
        # The descriptor counts too: under valgrind a thread also reads a pipe of its own
        # while it waits for its turn to run.
        def reading_signals():
            fds = [fd for fd, target in self.fd_targets().items()
                   if target == "anon_inode:[signalfd]"]
            call = self._syscall(self.pid)
            return len(fds) == 1 and call[:2] == [_READ_SYSCALL, hex(fds[0])]
        wait_until(reading_signals, timeout, "the main thread to wait for signals")

    def fd_count(self):
        return len(os.listdir("/proc/%d/fd" % self.pid))

    def fd_targets(self):
        """{fd: what it refers to}, for a message that shows which descriptors changed."""
        targets = {}
        for fd in os.listdir("/proc/%d/fd" % self.pid):
            try:
                targets[int(fd)] = os.readlink("/proc/%d/fd/%s" % (self.pid, fd))
            except OSError:
                pass
        return targets

    def status_field(self, name, task=None):
        path = "/proc/%d/status" % self.pid if task is None else \
            "/proc/%d/task/%d/status" % (self.pid, task)
        with open(path) as f:
            for line in f:
                if line.startswith(name + ":"):
                    return line.split(":", 1)[1].strip()
        return None


# ---- traffic ----


def exchange(sock, payload, timeout=30.0, expect=None):
    """Sends payload while reading expect bytes (default: as many as sent) back; returns what
    was read, which is shorter when the connection ended first."""
    expect = len(payload) if expect is None else expect
    errors = []

    def send():
        try:
            sock.sendall(payload)
        except OSError as e:
            errors.append(e)

    sender = threading.Thread(target=send, daemon=True)
    sender.start()
    got = bytearray()
    end = time.monotonic() + timeout
    while len(got) < expect and time.monotonic() < end:
        try:
            chunk = sock.recv(min(262144, expect - len(got)))
        except socket.timeout:
            continue
        except OSError:
            break
        if not chunk:
            break
        got += chunk
    sender.join(max(0.1, end - time.monotonic()))
    return bytes(got)


def read_until_end(sock, timeout=30.0, limit=1 << 30, rate=None):
    """Reads until the peer ends the connection (orderly or by reset); returns (bytes, how).
    With rate, a slow reader: at most rate bytes per second, in small reads."""
    got = bytearray()
    started = time.monotonic()
    while time.monotonic() < started + timeout and len(got) < limit:
        try:
            chunk = sock.recv(8192 if rate else 262144)
        except socket.timeout:
            continue
        except ConnectionResetError:
            return bytes(got), "reset"
        if not chunk:
            return bytes(got), "eof"
        got += chunk
        ahead = len(got) / rate - (time.monotonic() - started) if rate else 0
        if ahead > 0:
            time.sleep(ahead)
    return bytes(got), "timeout"


def connection_closed(sock, timeout=10.0):
    """True when the peer ends the connection within the timeout (any data is discarded)."""
    _, how = read_until_end(sock, timeout)
    return how in ("eof", "reset")


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def run_tests():
    """unittest.main with an overall alarm, so that no script outlives its bound."""
    def expire(signo, frame):
        raise HarnessTimeout("the script ran past its time bound")

    signal.signal(signal.SIGALRM, expire)
    signal.alarm(int(os.environ.get("ZD_TEST_ALARM", "540")))
    unittest.main(verbosity=2)


class Rig:
    """The usual set: namespace, syslog receiver, PKI, TLS peer and daemon, in that order.
    The peer's certificate is for name, which is also the daemon's -O; start=False leaves the
    daemon out (.start() adds it later), peer_mode=None the peer and the daemon."""

    def __init__(self, name="srv.test", peer_mode="echo", peer_kw=None, daemon_kw=None,
                 start=True):
        self.name = name
        self.peer_mode = peer_mode
        self.peer_kw = peer_kw or {}
        self.daemon_kw = daemon_kw or {}
        self.start_daemon = start
        self.daemon = None

    def __enter__(self):
        import contextlib
        self._stack = contextlib.ExitStack()
        try:
            self.ns = self._stack.enter_context(Netns())
            self.log = self._stack.enter_context(Syslog())
            self.pki = self._stack.enter_context(Pki())
            self.cert, self.key = self.pki.server(self.name)
            self.peer = None
            if self.peer_mode is not None:
                self.peer = self._stack.enter_context(
                    TlsPeer(self.cert, self.key, mode=self.peer_mode, **self.peer_kw))
            if self.start_daemon and self.peer is not None:
                self.start(**self.daemon_kw)
        except BaseException:
            self._stack.close()
            raise
        return self

    def start(self, **kw):
        self.daemon = self._stack.enter_context(
            Daemon(self.log, self.ns, self.peer.port, self.pki.ca, self.name, **kw))
        return self.daemon

    def __exit__(self, *exc):
        self._stack.close()


class RigCase(unittest.TestCase):
    """Tests that share one Rig (RIG its arguments), set up once for the class: cls.rig, and
    its parts as cls.ns, cls.log, cls.pki, cls.peer and cls.d (the daemon)."""

    RIG = {}

    @classmethod
    def setUpClass(cls):
        cls.rig = Rig(**cls.RIG).__enter__()
        r = cls.rig
        cls.ns, cls.log, cls.pki, cls.peer, cls.d = r.ns, r.log, r.pki, r.peer, r.daemon

    @classmethod
    def tearDownClass(cls):
        cls.rig.__exit__(None, None, None)
