"""The Debian package from ./scripts/package and the plain `cmake --install`: what they hold,
where it lands, that the installed programs run from there, and that the package is one the
archive would take (lintian, hardening, stripped programs whose debug symbols come apart, two
builds of one commit byte for byte)."""

import gzip
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import SANITIZE, ZD_BIN, ZD_SRC, run_tests

USAGE_FIRST = "Usage: zarn-dwel-forwarder [opts] <mount target IP>"
UNIT = "lib/systemd/system/zarn-dwel-forwarder@.service"
CONFIG = "etc/zarn-dwel-utils.d/config.json"
MAN8 = "usr/share/man/man8/zarn-dwel-forwarder.8.gz"
MAN1 = "usr/share/man/man1/prefix-check.1.gz"
DOC = "usr/share/doc/zarn-dwel"
PROGRAMS = ("usr/sbin/zarn-dwel-forwarder", "usr/bin/prefix-check")


def run(args, **kw):
    kw.setdefault("timeout", 600)
    kw.setdefault("capture_output", True)
    kw.setdefault("text", True)
    return subprocess.run(args, **kw)


def control_fields(deb):
    """The package's control file as a dict; continuation lines joined with newlines."""
    text = run(["dpkg-deb", "-f", deb], check=True).stdout
    fields, name = {}, None
    for line in text.splitlines():
        if line.startswith(" ") and name:
            fields[name] += "\n" + line
        else:
            name, _, value = line.partition(":")
            fields[name] = value.strip()
    return fields


def needed_libraries(binary):
    out = run(["readelf", "-d", binary], check=True).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)


def package_of_library(soname):
    """The Debian package that holds a shared library of this machine."""
    path = run(["ldconfig", "-p"], check=True).stdout
    m = re.search(r"^\s*%s \(libc6,x86-64\) => (\S+)$" % re.escape(soname), path, re.M)
    assert m, soname
    real = os.path.realpath(m.group(1))
    for candidate in (m.group(1), real, real.replace("/usr/lib/", "/lib/", 1)):
        r = run(["dpkg", "-S", candidate])
        if r.returncode == 0:
            return r.stdout.split(":")[0]
    raise AssertionError("no package holds " + soname)


def build_package(tmp, name):
    """Runs ./scripts/package in a build directory of its own; the package files it made."""
    out = os.path.join(tmp, name)
    env = dict(os.environ, BUILD_DIR=os.path.join(tmp, "build-" + name), JOBS="2")
    r = run([os.path.join(ZD_SRC, "scripts", "package"), out], env=env, cwd=ZD_SRC)
    assert r.returncode == 0, r.stdout + r.stderr
    made = [os.path.join(out, f) for f in os.listdir(out) if f.endswith((".deb", ".ddeb"))]
    return sorted(made, key=lambda f: (f.endswith(".ddeb"), f))


def build_id(binary):
    m = re.search(r"Build ID: ([0-9a-f]+)", run(["readelf", "-n", binary], check=True).stdout)
    assert m, binary
    return m.group(1)


def section_names(binary):
    return set(re.findall(r"^\s*\[\s*\d+\]\s+(\S+)", run(["readelf", "-SW", binary],
                                                         check=True).stdout, re.M))


def project_version():
    with open(os.path.join(ZD_SRC, "CMakeLists.txt")) as f:
        return re.search(r"^project\(\S+ VERSION (\S+)", f.read(), re.M).group(1)


@unittest.skipIf(SANITIZE, "the package is built without sanitizers; the plain stage checks it")
class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        r = run([os.path.join(ZD_SRC, "scripts", "deps"), "lint"])
        assert r.returncode == 0, r.stdout + r.stderr
        cls.tmp = tempfile.mkdtemp(prefix="zd-package-")
        cls.files = build_package(cls.tmp, "first")
        assert [f.rsplit("_", 2)[0] for f in map(os.path.basename, cls.files)] == [
            "zarn-dwel", "zarn-dwel-dbgsym"], cls.files
        cls.deb, cls.ddeb = cls.files
        cls.root = os.path.join(cls.tmp, "root")
        run(["dpkg", "-x", cls.deb, cls.root], check=True)
        cls.dbgsym = os.path.join(cls.tmp, "dbgsym")
        run(["dpkg", "-x", cls.ddeb, cls.dbgsym], check=True)
        cls.control = os.path.join(cls.tmp, "control")
        run(["dpkg-deb", "-e", cls.deb, cls.control], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def path(self, relative):
        return os.path.join(self.root, relative)

    def test_metadata_depends_on_every_library_the_programs_link(self):
        arch = run(["dpkg", "--print-architecture"], check=True).stdout.strip()
        fields = control_fields(self.deb)
        self.assertEqual("zarn-dwel", fields["Package"])
        self.assertEqual(arch, fields["Architecture"])
        self.assertRegex(fields["Version"], r"^\d+\.\d+\.\d+-\d+$")
        self.assertEqual(os.path.basename(self.deb),
                         "zarn-dwel_%s_%s.deb" % (fields["Version"], arch))
        self.assertEqual("net", fields["Section"])
        depends = {d.split("(")[0].strip() for d in fields["Depends"].split(",")}
        self.assertLessEqual({"libc6", "libssl3", "libjson-c5", "libcap2"}, depends)
        # Whatever the build links (libseccomp2 once the sandbox is in) is a dependency.
        for program in PROGRAMS:
            for soname in needed_libraries(self.path(program)):
                with self.subTest(program=program, library=soname):
                    self.assertIn(package_of_library(soname), depends)
        self.assertEqual(["libc.so.6"], needed_libraries(self.path("usr/bin/prefix-check")))
        # A synopsis, then an extended description wrapped for 80 columns.
        description = fields["Description"].split("\n")
        self.assertTrue(description[0] and len(description) > 2, description)
        self.assertTrue(all(len(l) < 80 and l.startswith(" ") for l in description[1:]),
                        description)

    def test_control_files(self):
        with open(os.path.join(self.control, "conffiles")) as f:
            self.assertEqual(["/" + CONFIG], f.read().split())
        for script in ("postinst", "prerm", "postrm"):
            path = os.path.join(self.control, script)
            with self.subTest(script=script):
                self.assertTrue(os.access(path, os.X_OK))
                self.assertEqual(0, run(["sh", "-n", path]).returncode)

    def test_lintian_finds_nothing_but_what_is_overridden(self):
        r = run(["lintian", "-EvIL", "+pedantic", "--fail-on", "error,warning,info,pedantic"] +
                self.files)
        tags = [l for l in r.stdout.splitlines() if re.match(r"[A-Z]: ", l)
                and not l.startswith(("N: ", "O: "))]
        self.assertEqual((0, []), (r.returncode, tags), r.stdout + r.stderr)

    def test_two_builds_of_one_commit_are_the_same_bytes(self):
        # Another build directory, so that no path of the build host can hide in the bytes.
        again = build_package(self.tmp, "second")
        self.assertEqual([os.path.basename(f) for f in self.files],
                         [os.path.basename(f) for f in again])
        for first, second in zip(self.files, again):
            with open(first, "rb") as a, open(second, "rb") as b:
                self.assertTrue(a.read() == b.read(), "%s differs from %s" % (first, second))

    def test_programs_hardened_in_the_package_and_in_the_build(self):
        # dpkg-buildflags' hardening=+all of Debian 12, which has no control-flow protection.
        programs = [self.path(p) for p in PROGRAMS]
        programs += [os.path.join(ZD_BIN, os.path.basename(p)) for p in PROGRAMS]
        for program in programs:
            with self.subTest(program=program):
                r = run(["hardening-check", "--nocfprotection", program])
                self.assertEqual(0, r.returncode, r.stdout + r.stderr)
                dynamic = run(["readelf", "-dW", program], check=True).stdout
                self.assertRegex(dynamic, r"FLAGS_1\)\s+Flags: NOW PIE")
                symbols = run(["nm", "-D", program], check=True).stdout
                self.assertIn("__stack_chk_fail", symbols)
                self.assertRegex(symbols, r"__\w+_chk\b")

    def test_programs_stripped_with_their_debug_symbols_apart(self):
        for program in PROGRAMS:
            with self.subTest(program=program):
                stripped = self.path(program)
                sections = section_names(stripped)
                self.assertIn(".gnu_debuglink", sections)
                self.assertFalse({".symtab", ".comment"} & sections, sections)
                self.assertFalse([s for s in sections if s.startswith(".debug")], sections)
                ident = build_id(stripped)
                debug = os.path.join(self.dbgsym, "usr/lib/debug/.build-id",
                                     ident[:2], ident[2:] + ".debug")
                self.assertEqual(ident, build_id(debug))
                self.assertIn(".debug_info", section_names(debug))
                # What the daemon's backtrace line asks of addr2line, against the debug file.
                main = re.search(r"^([0-9a-f]+) T main$",
                                 run(["nm", debug], check=True).stdout, re.M)
                r = run(["addr2line", "-fe", debug, "0x" + main.group(1)], check=True)
                function, place = r.stdout.splitlines()
                self.assertEqual("main", function)
                self.assertRegex(place, r"^(\./)+(src/main\.cpp|tools/prefix-check/prefix-check"
                                 r"\.c):\d+")
        fields = control_fields(self.ddeb)
        self.assertEqual(("zarn-dwel-dbgsym", "debug", "debug-symbols"),
                         (fields["Package"], fields["Section"], fields["Auto-Built-Package"]))
        self.assertEqual("zarn-dwel (= %s)" % control_fields(self.deb)["Version"],
                         fields["Depends"])
        self.assertEqual("zarn-dwel", os.readlink(
            os.path.join(self.dbgsym, "usr/share/doc/zarn-dwel-dbgsym")))

    def test_licence_and_changelog_of_the_project_version(self):
        with open(self.path(os.path.join(DOC, "copyright"))) as f:
            copyright_file = f.read()
        self.assertTrue(copyright_file.startswith(
            "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"))
        self.assertRegex(copyright_file, r"(?m)^License: Apache-2\.0$")
        with open(os.path.join(ZD_SRC, "LICENSE")) as a, \
                open("/usr/share/common-licenses/Apache-2.0") as b:
            self.assertEqual(b.read(), a.read())
        version = "%s-1" % project_version()
        self.assertEqual(version, control_fields(self.deb)["Version"])
        with gzip.open(self.path(os.path.join(DOC, "changelog.Debian.gz")), "rt") as f:
            first = f.readline()
        self.assertEqual("zarn-dwel (%s) unstable; urgency=medium\n" % version, first)
        # A changelog whose newest entry is not the project version stops the build.
        r = run([os.path.join(ZD_SRC, "packaging", "debian-changelog.py"),
                 os.path.join(ZD_SRC, "CHANGELOG.md"), "zarn-dwel", "99.0.0", "1", "m <m@x>",
                 os.path.join(self.tmp, "changelog")])
        self.assertEqual(1, r.returncode)
        self.assertIn("the project version 99.0.0", r.stderr)

    def test_installed_programs_run_from_the_extracted_tree(self):
        r = run([self.path("usr/bin/prefix-check"), "10.1.2.0/24"])
        self.assertEqual((0, "ipv4\n", ""), (r.returncode, r.stdout, r.stderr))
        r = run([self.path("usr/bin/prefix-check"), "10.1.2.1/24"])
        self.assertEqual((1, ""), (r.returncode, r.stdout))
        r = run([self.path("usr/sbin/zarn-dwel-forwarder"), "-h"])
        self.assertEqual(255, r.returncode)
        lines = r.stdout.splitlines()
        self.assertEqual((14, USAGE_FIRST), (len(lines), lines[0]), r.stdout)

    def test_unit_config_manuals_and_docs_are_in_place(self):
        with open(self.path(UNIT)) as f:
            unit = f.read()
        self.assertRegex(unit, r"(?m)^ExecStart=/usr/sbin/zarn-dwel-forwarder --net-namespace=%i ")
        self.assertRegex(unit, r"(?m)^Type=notify$")
        self.assertRegex(unit, r"(?m)^WatchdogSec=\d+")
        self.assertNotRegex(unit, r"@[A-Z_]+@")  # every placeholder filled in
        with open(self.path(CONFIG)) as f:
            names = json.load(f)["wildcards"]
        self.assertTrue(names and all(isinstance(n, str) for n in names))
        for page, title in ((MAN8, "ZARN-DWEL-FORWARDER"), (MAN1, "PREFIX-CHECK")):
            with self.subTest(page=page):
                with gzip.open(self.path(page), "rt") as f:
                    self.assertTrue(f.read().startswith(".TH %s " % title.replace("-", "\\-")))
                r = run(["man", "-l", self.path(page)], env=dict(os.environ, MANWIDTH="80"))
                self.assertEqual(0, r.returncode, r.stderr)
                self.assertIn("NAME", r.stdout)
        for doc in ("README.md", "operations.md", "architecture.md",
                    "examples/zarn-dwel-forwarder.default"):
            self.assertGreater(os.path.getsize(self.path(os.path.join(DOC, doc))), 0, doc)

    def test_unit_passes_the_managers_own_check(self):
        # systemd-analyze resolves ExecStart on this machine: point it at the extracted daemon.
        with open(self.path(UNIT)) as f:
            unit = f.read().replace("ExecStart=/usr/sbin/",
                                    "ExecStart=%s/" % self.path("usr/sbin"))
        check = os.path.join(self.tmp, "check")
        os.makedirs(check, exist_ok=True)
        path = os.path.join(check, "zarn-dwel-forwarder@.service")
        with open(path, "w") as f:
            f.write(unit)
        r = run(["systemd-analyze", "verify", "--man=no", path])
        self.assertEqual((0, ""), (r.returncode, r.stderr.strip()), r.stderr)


class CmakeInstall(unittest.TestCase):
    def test_install_into_a_prefix_stays_below_it(self):
        build = os.path.dirname(os.path.abspath(ZD_BIN))
        with tempfile.TemporaryDirectory(prefix="zd-install-") as prefix:
            r = run(["cmake", "--install", build, "--prefix", prefix])
            self.assertEqual(0, r.returncode, r.stdout + r.stderr)
            installed = sorted(os.path.relpath(os.path.join(d, f), prefix)
                               for d, _, files in os.walk(prefix) for f in files)
            self.assertEqual(sorted([
                "bin/prefix-check", "sbin/zarn-dwel-forwarder",
                "etc/zarn-dwel-utils.d/config.json",
                "lib/systemd/system/zarn-dwel-forwarder@.service",
                "share/man/man1/prefix-check.1.gz", "share/man/man8/zarn-dwel-forwarder.8.gz",
                "share/doc/zarn-dwel/README.md", "share/doc/zarn-dwel/operations.md",
                "share/doc/zarn-dwel/architecture.md",
                "share/doc/zarn-dwel/LICENSE", "share/doc/zarn-dwel/CHANGELOG.md",
                "share/doc/zarn-dwel/examples/zarn-dwel-forwarder.default",
            ]), installed)
            r = run([os.path.join(prefix, "bin", "prefix-check"), "2001:db8:1:2::/64"])
            self.assertEqual((0, "ipv6\n"), (r.returncode, r.stdout))


if __name__ == "__main__":
    run_tests()
