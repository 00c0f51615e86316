"""The three files the daemon reads at start-up, broken: a CA bundle, an accepted-names file
and a RANDFILE that are missing, empty, huge or unreadable. The daemon either starts fully or
ends with its fatal line before it opens anything; it is never left half-started.

The accepted-names file has a fixed path under /etc. Each daemon that reads it runs in a
mount namespace of its own with an overlay over /etc whose upper layer holds the test's file,
so the host's /etc is never touched. "Unreadable" is a file of mode 000 read by a daemon whose
capability bounding set lacks the two capabilities that let root read it anyway."""

import base64
import os
import re
import signal
import sys
import tempfile
import time
import unittest

from harness import (ERROR, FATAL_EXIT, INFO, NFS_PORT, WARN, Daemon, Rig, exchange, function_name, run_tests,
                     sha256)

NAME = "srv.test"
NAMES_FILE = "/etc/zarn-dwel-utils.d/config.json"
MIB = 1 << 20
EXIT_BOUND_S = 20
ABORTED = -signal.SIGABRT
EXIT_CONFIGURATION = 78

# Root reads a mode 000 file through these; without them it is refused like anybody else.
NO_DAC = ["setpriv", "--bounding-set", "-dac_override,-dac_read_search", "--"]
OVERLAY_FAILED = 98
FATAL_LINES = ("Failed assertion: ", "Failed to load root CA bundle ", "No accepted server names")


def figure(text):
    print("figure: " + text, file=sys.stderr, flush=True)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def names_overlay(layer):
    """The prefix that runs the daemon with layer/upper laid over /etc."""
    script = ('mount -t overlay zd-etc -o "lowerdir=/etc,upperdir=$0/upper,workdir=$0/work" '
              '/etc || exit %d; exec "$@"' % OVERLAY_FAILED)
    return ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c", script, layer]


class BadStartupFiles(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = Rig(start=False).__enter__()
        cls._tmp = tempfile.TemporaryDirectory(prefix="zd-files-")
        cls.dir = cls._tmp.name

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()
        cls.rig.__exit__(None, None, None)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data, mode=0o644):
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode)
        return path

    def daemon(self, ca=None, common_name=NAME, env=None, wrapper=(), wait=None):
        rig = self.rig
        return Daemon(rig.log, rig.ns, rig.peer.port, ca or rig.pki.ca, common_name, env=env,
                      wrapper=wrapper, wait=wait)

    def assert_fails_before_opening_anything(self, case, d, started, patterns, status):
        """The daemon ends with the status; the patterns match consecutive lines of its log,
        each at its level and, where given, function; nothing was started or opened."""
        ended = d.wait_exit(EXIT_BOUND_S)
        took = time.monotonic() - started
        self.assertNotEqual(OVERLAY_FAILED, ended, "the overlay over /etc failed")
        self.assertEqual(status, ended, d.describe())
        first = d.wait_line(patterns[0][2])
        lines = d.lines()
        at = lines.index(first)
        fatal = [l.text for l in lines[at:] if l.text.startswith(FATAL_LINES)]
        figure("%s: start-up ended (%d) after %.2f s: %r" % (case, ended, took, fatal[:1]))
        for (level, function, pattern), line in zip(patterns, lines[at:]):
            self.assertRegex(line.text, pattern)
            self.assertEqual(level, line.level, line)
            if function:
                self.assertEqual(function_name(function), line.function, line)
        texts = d.texts()
        for never in ("  main: Event loop started", "push network namespace: "):
            self.assertFalse([t for t in texts if t.startswith(never)], d.describe())
        self.assertFalse([t for t in texts if "Accepting new connections" in t])

    def assert_starts_and_relays(self, case, d, started):
        d.wait_line("pop network namespace", timeout=EXIT_BOUND_S)
        figure("%s: started in %.2f s" % (case, time.monotonic() - started))
        client = self.rig.ns.connect(NFS_PORT)
        payload = os.urandom(64 * 1024)
        try:
            self.assertEqual(sha256(payload), sha256(exchange(client, payload, timeout=20)),
                             "status %s, log:\n%s" % (d.proc.poll(), d.describe()))
        finally:
            client.close()

    def run_case(self, case, patterns, status=ABORTED, **kw):
        started = time.monotonic()
        with self.daemon(**kw) as d:
            if patterns is None:
                self.assert_starts_and_relays(case, d, started)
                return d.texts()
            self.assert_fails_before_opening_anything(case, d, started, patterns, status)
            return d.texts()

    # ---- the CA bundle ----

    def test_ca_bundle(self):
        pem = base64.encodebytes(os.urandom(16 * MIB)).decode()
        cases = {
            "missing": (self.path("no-such-ca.pem"), ()),
            "empty": (self.write("empty-ca.pem", b""), ()),
            "huge, random bytes": (self.write("random-ca.pem", os.urandom(32 * MIB)), ()),
            "huge, one PEM block": (self.write("block-ca.pem", (
                "-----BEGIN CERTIFICATE-----\n%s-----END CERTIFICATE-----\n" % pem).encode()),
                ()),
            "unreadable": (self.write("locked-ca.pem", read(self.rig.pki.ca), 0),
                           NO_DAC),
        }
        for case, (path, wrapper) in cases.items():
            with self.subTest(case=case):
                pattern = "^Failed to load root CA bundle %s, aborting\\.\\.\\.$" % re.escape(path)
                self.run_case("CA bundle " + case, [
                    (FATAL_EXIT, None, pattern),
                    (FATAL_EXIT, None, "^  %s: .*; the file must exist" % re.escape(path)),
                ], status=EXIT_CONFIGURATION, ca=path, wrapper=wrapper)
        # Anything but a regular file is refused at once, saying what it is: opening a FIFO
        # nobody writes to would wait for good, with the terminating signals already blocked.
        for case, path, kind in [("a FIFO", self.fifo("ca.fifo"), "FIFO"),
                                 ("a directory", self.dir, "directory"),
                                 ("a device", "/dev/zero", "character device")]:
            with self.subTest(case=case):
                self.run_case("CA bundle " + case, [
                    (FATAL_EXIT, None, "^CA bundle %s is a %s, not a regular file$" % (
                        re.escape(path), kind))], status=EXIT_CONFIGURATION, ca=path)

    def fifo(self, name):
        path = self.path(name)
        os.mkfifo(path)
        return path

    def test_large_valid_ca_bundle_is_loaded(self):
        other, _ = self.rig.pki.make_ca("bundle-filler")
        filler = read(other)
        path = self.write("large-ca.pem", filler * 4000 + read(self.rig.pki.ca))
        figure("large CA bundle: %.1f MiB, 4001 certificates" % (os.path.getsize(path) / MIB))
        self.run_case("large CA bundle", None, ca=path)

    # ---- the accepted-names file, read without -O ----

    def names_layer(self, label, data=None, mode=0o644):
        layer = self.path("etc-" + label)
        folder = os.path.join(layer, "upper", "zarn-dwel-utils.d")
        os.makedirs(folder)
        os.makedirs(os.path.join(layer, "work"))
        # Opaque: whatever the host has in that folder stays hidden.
        os.setxattr(folder, "trusted.overlay.opaque", b"y")
        path = os.path.join(folder, "config.json")
        if data == "fifo":
            os.mkfifo(path, mode)
        elif data is not None:
            with open(path, "wb") as f:
                f.write(data)
            os.chmod(path, mode)
        return layer

    def test_accepted_names_file(self):
        names = ['"name-%06d.test"' % i for i in range(MIB // 16)]
        cases = {
            "missing": (None, 0o644, (), "Unable to open config file",
                        "No such file or directory"),
            "empty": (b"", 0o644, (), "Unable to read json file", "see the line before"),
            "huge": (('{"wildcards": [%s, "%s"]}' % (", ".join(names), NAME)).encode(), 0o644,
                     (), "Unable to parse json file", "see the line before"),
            "unreadable": (b'{"wildcards": ["%s"]}' % NAME.encode(), 0, NO_DAC,
                           "Unable to open config file", "Permission denied"),
            # Names the library cannot check would leave the check off, or match nothing.
            "an empty name": (b'{"wildcards": ["%s", ""]}' % NAME.encode(), 0o644, (),
                              'Unable to use cname "" at index 1 from json file %s: an empty '
                              'name would turn the host-name check off.', "see the line before"),
            "a forged line": (b'{"wildcards": ["a\\nb<13>forged\\u001b[2J"]}', 0o644, (),
                              'Unable to use cname "a\\x0ab<13>forged\\x1b[2J" at index 0 from '
                              'json file %s: not a host name (letters, digits, "-", "_", "*" and '
                              'dots only).', "see the line before"),
            "a FIFO": ("fifo", 0o644, (), "Unable to read json file %s: it is a FIFO, not a "
                       "regular file.", "see the line before"),
        }
        for case, (data, mode, no_dac, message, cause) in cases.items():
            with self.subTest(case=case):
                layer = self.names_layer(case.replace(" ", "-"), data, mode)
                if "%s" not in message:
                    message += " %s."
                self.run_case("names file " + case, [
                    (ERROR, "read_json", "^%s$" % re.escape(message % NAMES_FILE)),
                    (FATAL_EXIT, None, r"^No accepted server names \(cnames\)"),
                    (FATAL_EXIT, None, "^  %s: %s; give the server name with -O" % (
                        re.escape(NAMES_FILE), cause)),
                ], status=EXIT_CONFIGURATION, common_name="",
                    wrapper=names_overlay(layer) + list(no_dac))

    def test_empty_names_list_checks_no_name_and_says_so(self):
        # Valid: any certificate that chains to the bundle is accepted, loudly, and the status
        # file shows it; with names, it shows the check on.
        for case, data, checked in [("empty list", b'{"wildcards": []}', False),
                                    ("one name", b'{"wildcards": ["%s"]}' % NAME.encode(), True)]:
            with self.subTest(case=case):
                layer = self.names_layer(case.replace(" ", "-"), data)
                with self.daemon(common_name="", wrapper=names_overlay(layer),
                                 wait="pop network namespace") as d:
                    warned = [l for l in d.lines() if l.text.startswith("No accepted server names")]
                    if checked:
                        self.assertEqual([], warned)
                    else:
                        self.assertEqual(1, len(warned), d.describe())
                        self.assertEqual((WARN, function_name("absorb_cert")),
                                         (warned[0].level, warned[0].function))
                        self.assertEqual(
                            "No accepted server names in %s: no host name is checked, any "
                            "certificate that chains to the CA bundle %s is accepted"
                            % (NAMES_FILE, self.rig.pki.ca), warned[0].text)
                    st = d.wait_status(lambda st: True)
                    self.assertIs(checked, st["host_name_check"])

    def test_valid_accepted_names_file_is_read_through_the_overlay(self):
        # Without this the failures above could come from an overlay that shows nothing.
        layer = self.names_layer("valid", b'{"wildcards": ["other.test", "%s"]}' % NAME.encode())
        texts = self.run_case("names file valid", None, common_name="",
                              wrapper=names_overlay(layer))
        verifying = [t for t in texts if t.startswith("Verifying against openssl server cert")]
        self.assertEqual(["Verifying against openssl server cert name other.test",
                          "Verifying against openssl server cert name " + NAME], verifying)

    def test_reload_of_the_names_file(self):
        """A reload reads the file again: a broken one keeps the names in force and says why,
        a fixed one with another name puts that name in force."""
        layer = self.names_layer("reload", b'{"wildcards": ["%s"]}' % NAME.encode())
        upper = os.path.join(layer, "upper", "zarn-dwel-utils.d", "config.json")
        cases = [
            (b'{"wildcards": [', r"^Reload failed, the CA bundle and names in force stay: "
             r"accepted-names file %s: not a JSON object" % re.escape(NAMES_FILE), NAME),
            (b"", "^Reload failed, .*: accepted-names file %s is empty$" % re.escape(NAMES_FILE),
             NAME),
            (b'{"wildcards": ["other.test"]}', "^Reloaded: ", "other.test"),
        ]
        with self.daemon(common_name="", wrapper=names_overlay(layer),
                         wait="pop network namespace") as d:
            for data, line, in_force in cases:
                with self.subTest(data=data):
                    with open(upper, "wb") as f:
                        f.write(data)
                    mark = self.rig.log.mark()
                    d.signal(signal.SIGHUP)
                    d.wait_line(line, start=mark)
                    st = d.wait_status(lambda st: st["accepted_names"] == in_force and
                                       st.get("last_reload", {}).get("at") is not None)
                    self.assertEqual(in_force, st["accepted_names"])
            self.assertIsNone(d.proc.poll())

    # ---- RANDFILE ----

    def test_randfile(self):
        fifo = self.path("seed-fifo")
        os.mkfifo(fifo)
        cases = {
            "missing": (self.path("no-such-seed"), ()),
            "empty": (self.write("empty-seed", b""), ()),
            "15 bytes": (self.write("short-seed", os.urandom(15)), ()),
            "a directory": (self.dir, ()),
            "unreadable": (self.write("locked-seed", os.urandom(64), 0), NO_DAC),
            # Nobody writes to it: opening it would wait for a writer for ever.
            "a FIFO": (fifo, ()),
        }
        for case, (path, wrapper) in cases.items():
            with self.subTest(case=case):
                self.run_case("RANDFILE " + case, [
                    (INFO, "init_ssl_ctx", "^RAND_load_file %s$" % re.escape(path)),
                    (ERROR, "init_ssl_ctx",
                     r"^Failed assertion: RAND_load_file\(random_src, 16\) == 16$"),
                ], env=dict(os.environ, RANDFILE=path), wrapper=wrapper)

    def test_huge_randfile_gives_its_first_16_bytes(self):
        path = self.path("huge-seed")
        with open(path, "wb") as f:
            f.write(os.urandom(16))
            f.truncate(1 << 30)  # sparse: one GiB that costs nothing
        texts = self.run_case("RANDFILE of 1 GiB", None, env=dict(os.environ, RANDFILE=path))
        self.assertIn("RAND_load_file " + path, texts)


if __name__ == "__main__":
    run_tests()
