#!/usr/bin/env python3
"""The prefix checker's whole contract: one table of arguments against the exact bytes on each
stream and the exit status, the usage line, and the promise that it needs only the C library."""

import os
import shutil
import subprocess
import tempfile
import unittest

BIN = os.path.join(os.environ.get("ZD_BIN", "build/bin"), "prefix-check")
TIMEOUT = 10
# Sanitizers the build carries (address,undefined | thread); they link their runtime into the
# checker and take over malloc, so the promises about libraries and allocation do not hold there.
SANITIZE = os.environ.get("ZD_SANITIZE", "")


def v6_length(text):
    return f'ERROR: zarn-dwel-utils only allows a /64 IPv6 prefix "{text}"...exiting.\n'


def v4_length(text):
    return f'ERROR: zarn-dwel-utils only allows a /24 IPv4 prefix "{text}"...exiting.\n'


def invalid(text):
    return f'ERROR: invalid address "{text}"...exiting.\n'


NO_FIRST = "ERROR: can't find first token...exiting.\n"
NO_SECOND = "ERROR: can't find second token...exiting.\n"
V6_END = 'ERROR: IPv6 /64 network prefix must end in "::"...exiting.\n'
V4_END = 'ERROR: IPv4 /24 network prefix must end with ".0"...exiting.\n'

IPV4 = ("ipv4\n", "", 0)
IPV6 = ("ipv6\n", "", 0)


def refused(message):
    return ("", message, 1)


# argument -> (stdout, stderr, exit status)
CASES = [
    # Accepted prefixes.
    ("10.1.2.0/24", IPV4),
    ("0.0.0.0/24", IPV4),
    ("2001:db8:1:2::/64", IPV6),
    ("::/64", IPV6),
    # Only the ending is checked, not the bits behind the length.
    ("2001:db8:1:2:3::/64", IPV6),
    # strtok drops empty tokens and everything after the second one.
    ("//10.1.2.0//24", IPV4),
    ("10.1.2.0/24/extra", IPV4),
    ("10.1.2.0/24/", IPV4),
    ("2001:db8::/64/", IPV6),
    # Missing tokens.
    ("", refused(NO_FIRST)),
    ("/", refused(NO_FIRST)),
    ("///", refused(NO_FIRST)),
    ("10.1.2.0", refused(NO_SECOND)),
    ("10.1.2.0/", refused(NO_SECOND)),
    ("/10.1.2.0", refused(NO_SECOND)),
    # The family comes first, so a wrong length gets the family's own message; the length is
    # compared as text.
    ("10.1.2.0/16", refused(v4_length("10.1.2.0"))),
    ("10.1.2.0/024", refused(v4_length("10.1.2.0"))),
    ("10.1.2.0/24 ", refused(v4_length("10.1.2.0"))),
    ("10.1.2.0/64", refused(v4_length("10.1.2.0"))),
    ("2001:db8::/48", refused(v6_length("2001:db8::"))),
    ("2001:db8::/064", refused(v6_length("2001:db8::"))),
    ("2001:db8::/24", refused(v6_length("2001:db8::"))),
    # The length is checked before the ending.
    ("10.1.2.1/16", refused(v4_length("10.1.2.1"))),
    ("2001:db8::1/48", refused(v6_length("2001:db8::1"))),
    # Wrong endings.
    ("10.1.2.1/24", refused(V4_END)),
    ("10.1.2.100/24", refused(V4_END)),
    ("10.1.2.10/24", refused(V4_END)),
    ("2001:db8::1/64", refused(V6_END)),
    ("2001:db8:0:0:0:0:0:0/64", refused(V6_END)),
    ("::ffff:10.1.2.0/64", refused(V6_END)),
    # Texts that neither parse accepts, whatever the length.
    ("10.1.2/24", refused(invalid("10.1.2"))),
    ("host/24", refused(invalid("host"))),
    ("10.1.2.0.0/24", refused(invalid("10.1.2.0.0"))),
    ("10.1.2.0.0/99", refused(invalid("10.1.2.0.0"))),
    ("fe80::%eth0/64", refused(invalid("fe80::%eth0"))),
    ("[2001:db8::]/64", refused(invalid("[2001:db8::]"))),
    (" 10.1.2.0/24", refused(invalid(" 10.1.2.0"))),
]


def run(args, argv0=None):
    argv = [argv0 if argv0 is not None else BIN] + args
    return subprocess.run(argv, executable=BIN, capture_output=True, timeout=TIMEOUT)


class PrefixCheck(unittest.TestCase):
    def test_table(self):
        for arg, (out, err, status) in CASES:
            with self.subTest(arg=arg):
                r = run([arg])
                self.assertEqual(r.stdout, out.encode())
                self.assertEqual(r.stderr, err.encode())
                self.assertEqual(r.returncode, status)

    def test_usage_names_the_invocation(self):
        for args in ([], ["10.1.2.0/24", "2001:db8::/64"], ["a", "b", "c"]):
            for argv0 in ("prefix-check", "/some/where/pc"):
                with self.subTest(args=args, argv0=argv0):
                    r = run(args, argv0)
                    self.assertEqual(r.stdout, f"usage: {argv0} <addr/prefix>\n".encode())
                    self.assertEqual(r.stderr, b"")
                    self.assertEqual(r.returncode, 1)

    @unittest.skipIf(SANITIZE, "the sanitizer runtime replaces malloc, so a preloaded shim "
                     "cannot refuse the copy")
    def test_copy_failure(self):
        # Replacing malloc is supported by glibc, and strdup allocates through it; a shim that
        # refuses exactly the copy's size makes the copy fail and nothing else.
        cc = shutil.which("cc") or shutil.which("gcc")
        if cc is None:
            self.skipTest("no C compiler to build the allocation shim")
        size = 7777
        with tempfile.TemporaryDirectory() as tmp:
            src = os.path.join(tmp, "shim.c")
            lib = os.path.join(tmp, "shim.so")
            with open(src, "w") as f:
                f.write(
                    "#include <stddef.h>\n"
                    "extern void *__libc_malloc(size_t);\n"
                    f"void *malloc(size_t n) {{ return n == {size} ? NULL : __libc_malloc(n); }}\n"
                )
            subprocess.run([cc, "-shared", "-fPIC", "-o", lib, src], check=True, timeout=60)
            env = dict(os.environ, LD_PRELOAD=lib)
            r = subprocess.run(
                [BIN, "1" * (size - 1)], env=env, capture_output=True, timeout=TIMEOUT
            )
        self.assertEqual(r.stdout, b"")
        self.assertEqual(r.stderr, b"ERROR: strdup failed...exiting.\n")
        self.assertEqual(r.returncode, 1)

    @unittest.skipIf(SANITIZE, "a sanitizer build links the sanitizer runtime and libstdc++")
    def test_needs_only_libc(self):
        r = subprocess.run(["ldd", BIN], capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(r.returncode, 0, r.stderr)
        libs = [line.split()[0] for line in r.stdout.splitlines() if line.strip()]
        self.assertIn("libc.so.6", libs)
        for lib in libs:
            base = os.path.basename(lib)
            with self.subTest(lib=lib):
                self.assertTrue(
                    base == "libc.so.6" or base.startswith("ld-linux") or "vdso" in base,
                    f"unexpected dependency {lib}",
                )


if __name__ == "__main__":
    unittest.main(verbosity=2)
