"""The Debian package from ./scripts/package and the plain `cmake --install`: what they hold,
where it lands, and that the installed programs run from there."""

import gzip
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from harness import ZD_BIN, ZD_SRC, run_tests

USAGE_FIRST = "Usage: zarn-dwel-forwarder [opts] <mount target IP>"
UNIT = "lib/systemd/system/zarn-dwel-forwarder@.service"
CONFIG = "etc/zarn-dwel-utils.d/config.json"
MAN8 = "usr/share/man/man8/zarn-dwel-forwarder.8.gz"
MAN1 = "usr/share/man/man1/prefix-check.1.gz"
DOC = "usr/share/doc/zarn-dwel"


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


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="zd-package-")
        out = os.path.join(cls.tmp, "out")
        env = dict(os.environ, BUILD_DIR=os.path.join(cls.tmp, "build"), JOBS="2")
        r = run([os.path.join(ZD_SRC, "scripts", "package"), out], env=env, cwd=ZD_SRC)
        assert r.returncode == 0, r.stdout + r.stderr
        debs = [f for f in os.listdir(out) if f.endswith(".deb")]
        assert len(debs) == 1, debs
        cls.deb = os.path.join(out, debs[0])
        cls.root = os.path.join(cls.tmp, "root")
        run(["dpkg", "-x", cls.deb, cls.root], check=True)
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
        for program in ("usr/sbin/zarn-dwel-forwarder", "usr/bin/prefix-check"):
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
                "share/doc/zarn-dwel/examples/zarn-dwel-forwarder.default",
            ]), installed)
            r = run([os.path.join(prefix, "bin", "prefix-check"), "2001:db8:1:2::/64"])
            self.assertEqual((0, "ipv6\n"), (r.returncode, r.stdout))


if __name__ == "__main__":
    run_tests()
