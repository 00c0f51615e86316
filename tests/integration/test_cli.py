"""The daemon's command line as an operator meets it: exit status, stream and text of every
refusal, run against the real binary.

A parse that succeeds is recognised by the start-up that follows it (see PARSED); the values of
successful parses are checked in-process by the unit test.
"""

import os
import re
import subprocess
import unittest

BIN = os.path.join(os.environ["ZD_BIN"], "zarn-dwel-forwarder")
# A successful parse goes on into start-up, which logs to syslog from then on (and its faults to
# standard error) and stops at the missing CA bundle, a fault of the configuration.
PARSED = 78
TIMEOUT = 10  # seconds; nothing here should take more than a few milliseconds

# Targets of successful parses stay on loopback in case the start-up goes further one day.
REQUIRED = ["-C", "ca.pem", "-n", "ns0", "-T", "127.0.0.1"]

USAGE = (
    "Usage: zarn-dwel-forwarder [opts] <mount target IP>\n"
    "Supported options are:\n"
    "  -R or --reserved-port    - default to 0\n"
    "  -N or --nfs-port         - default to 2049\n"
    "  -M or --mount-port       - default to 2048\n"
    "  -L or --nlm-port         - default to 2050\n"
    "  -S or --nfs-ssl-port     - default to 2051\n"
    "  -I or --local-ip         - default to [::1]\n"
    "  -s or --src-addr         - local address to use as src.\n"
    "  -T or --target-ip        - mount target ip.\n"
    "  -O or --common-name      - common name of the SSL server.\n"
    "  -F or --fips             - enforce fips mode.\n"
    "  -C or --ssl-cert         - SSL certificate to use.\n"
    "  -n or --net-namespace    - Network namespace name.\n"
)

# Time with "-" between hours, minutes and seconds; level right-aligned in five columns;
# pid:tid; function name padded or cut to twelve columns; file; line.
LINE = re.compile(
    r"(?P<time>\d{4}-\d{2}-\d{2}T\d{2}-\d{2}-\d{2}\.\d{6}Z): "
    r"(?P<level>[ A-Z]{5}) (?P<pid>\d+):(?P<tid>\d+) (?P<function>.{12}):"
    r"(?P<file>[^:]+):(?P<line>\d+):(?P<message>.*)"
)

DEPRECATED = "-R, --reserved-port is deprecated."
NO_CA = "Invalid value for CA file"
NO_NETNS = "Invalid network namespace name.  Hint: '--net-namespace'."
NO_TARGET = "Invalid value of Mount Target ip ::"


def run(args):
    # GNU getopt stops at the first word under POSIXLY_CORRECT, and its diagnostics follow
    # the locale; pin both so the expectations hold on any machine.
    env = {k: v for k, v in os.environ.items() if k != "POSIXLY_CORRECT"}
    env["LC_ALL"] = "C"
    with subprocess.Popen(
        [BIN] + args,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
        text=True,
    ) as proc:
        out, err = proc.communicate(timeout=TIMEOUT)
        return proc.returncode, out, err, proc.pid


class CliCase(unittest.TestCase):
    def log_lines(self, text, pid):
        """Splits a stream into (level, message) pairs, checking every prefix on the way."""
        lines = []
        for raw in text.splitlines():
            m = LINE.fullmatch(raw)
            self.assertIsNotNone(m, f"not a log line: {raw!r}")
            level = m["level"].strip()
            self.assertEqual(m["level"], f"{level:>5}")
            self.assertEqual(int(m["pid"]), pid)
            # Parsing runs on the main thread, whose thread id is the process id.
            self.assertEqual(int(m["tid"]), pid)
            self.assertEqual(m["function"], "parse_argume")
            self.assertEqual(m["file"], "src/config")
            self.assertGreater(int(m["line"]), 0)
            lines.append((level, m["message"]))
        return lines


class FinalChecks(CliCase):
    """Only the first failing check reports, on standard error with the WARN level."""

    CASES = [
        ("no arguments", [], NO_CA),
        ("no -C", ["-n", "ns0", "-T", "127.0.0.1"], NO_CA),
        ("empty -C", ["-C", "", "-n", "ns0", "-T", "127.0.0.1"], NO_CA),
        ("-C alone", ["-C", "ca.pem"], NO_NETNS),
        ("no -n", ["-C", "ca.pem", "-T", "127.0.0.1"], NO_NETNS),
        ("no -T", ["-C", "ca.pem", "-n", "ns0"], NO_TARGET),
        ("-T ::", ["-C", "ca.pem", "-n", "ns0", "-T", "::"], NO_TARGET),
        ("--target-ip=0::0", ["-C", "ca.pem", "-n", "ns0", "--target-ip=0::0"], NO_TARGET),
        ("bare word", ["-C", "ca.pem", "-n", "ns0", "10.0.0.5"], NO_TARGET),
        ("bare word first", ["10.0.0.5", "-C", "ca.pem", "-n", "ns0"], NO_TARGET),
    ]

    def test_first_failing_check_reports(self):
        for name, args, message in self.CASES:
            with self.subTest(name):
                status, out, err, pid = run(args)
                self.assertEqual(status, 255)
                self.assertEqual(out, "")
                self.assertEqual(self.log_lines(err, pid), [("WARN", message)])


class BadAddresses(CliCase):
    """An address that does not parse ends the parse at once with status 1."""

    CASES = [
        (["-I", "bogus"], "-I or --local-ip invalid (bogus), exiting..."),
        (["--local-ip=1.2.3"], "-I or --local-ip invalid (1.2.3), exiting..."),
        (["-s", "300.1.1.1"], "-s or --prefsrc invalid (300.1.1.1), exiting..."),
        (["--prefsrc", "::g"], "-s or --prefsrc invalid (::g), exiting..."),
        (["-T", "10.0.0"], "-T or --target-ip invalid (10.0.0), exiting..."),
        (["--target-ip", ""], "-T or --target-ip invalid (), exiting..."),
        (["-T", "[::1]"], "-T or --target-ip invalid ([::1]), exiting..."),
        # The settings file expands into the command line: its text cannot forge a line.
        (["-I", "::1\n<13>forged\x1b[2J"], "-I or --local-ip invalid (::1\\x0a<13>forged"
                                            "\\x1b[2J), exiting..."),
    ]

    def test_refused_before_any_later_option_or_check(self):
        for args, message in self.CASES:
            # Alone, the final checks would fail too; with a valid line around it, the bad
            # address is the only fault. Either way the address message is the one shown.
            for words in (args, REQUIRED + args, args + ["-T", "bad2"]):
                with self.subTest(words=words):
                    status, out, err, pid = run(words)
                    self.assertEqual(status, 1)
                    self.assertEqual(err, "")
                    self.assertEqual(self.log_lines(out, pid), [("ERROR", message)])


class ReservedPort(CliCase):
    FORMS = [
        ["--reserved-port"],
        ["--reserved-port=7"],
        ["-R", "7"],
        ["-R7"],
        ["--res=7"],
        # The long form's value is optional, so a separate word is no value but a stray word.
        ["--reserved-port", "7"],
    ]

    def test_every_form_logs_the_deprecation_and_parses(self):
        for form in self.FORMS:
            for args in (form + REQUIRED, REQUIRED + form):
                with self.subTest(args=args):
                    status, out, err, pid = run(args)
                    self.assertEqual(status, PARSED, err)
                    self.assertEqual(self.log_lines(out, pid), [("INFO", DEPRECATED)])

    def test_each_occurrence_logs_once(self):
        status, out, _, pid = run(["-R", "1", "--reserved-port"] + REQUIRED)
        self.assertEqual(status, PARSED)
        self.assertEqual(self.log_lines(out, pid), [("INFO", DEPRECATED)] * 2)

    # The INFO line sits in the stdio buffer of a pipe when the process ends; each way out
    # must still deliver it, in order with the lines that follow it.
    def test_info_line_survives_report_error_on_a_pipe(self):
        status, out, err, pid = run(["-R", "7", "-n", "ns0", "-T", "127.0.0.1"])
        self.assertEqual(status, 255)
        self.assertEqual(self.log_lines(err, pid), [("WARN", NO_CA)])
        self.assertEqual(self.log_lines(out, pid), [("INFO", DEPRECATED)])

    def test_info_line_survives_exit_and_usage_on_a_pipe(self):
        status, out, err, pid = run(["-R", "7", "-T", "bogus"])
        self.assertEqual(status, 1)
        self.assertEqual(
            self.log_lines(out, pid),
            [("INFO", DEPRECATED), ("ERROR", "-T or --target-ip invalid (bogus), exiting...")],
        )

        status, out, err, pid = run(["-R", "7", "-h"])
        self.assertEqual(status, 255)
        first, rest = out.split("\n", 1)
        self.assertEqual(self.log_lines(first, pid), [("INFO", DEPRECATED)])
        self.assertEqual(rest, USAGE)


class Usage(CliCase):
    """Help, unknown options and missing values print the usage text and exit 255; for the
    last two getopt_long has already said why on standard error."""

    CASES = [
        ("-h", ["-h"], None),
        ("--help", ["--help"], None),
        ("--he", ["--he"], None),
        ("-h wins over a valid line", REQUIRED + ["-h"], None),
        ("--src-addr", ["--src-addr", "127.0.0.2"] + REQUIRED, "unrecognized option '--src-addr'"),
        ("unknown short", ["-x"] + REQUIRED, "invalid option -- 'x'"),
        ("bare -R at the end", REQUIRED + ["-R"], "option requires an argument -- 'R'"),
        ("bare -T at the end", ["-C", "ca.pem", "-n", "ns0", "-T"], "-- 'T'"),
        ("--fips without value", REQUIRED + ["--fips"], "option '--fips' requires an argument"),
        ("--n is ambiguous", ["--n", "x", "-C", "ca.pem", "-T", "127.0.0.1"], "'--n' is ambiguous"),
        ("--nfs is ambiguous", REQUIRED + ["--nfs", "1"], "'--nfs' is ambiguous"),
        ("--help takes no value", ["--help=1"], "option '--help' doesn't allow an argument"),
    ]

    def test_usage_text_and_status(self):
        for name, args, diagnostic in self.CASES:
            with self.subTest(name):
                status, out, err, _ = run(args)
                self.assertEqual(status, 255)
                self.assertEqual(out, USAGE)
                if diagnostic is None:
                    self.assertEqual(err, "")
                else:
                    self.assertEqual(err.count("\n"), 1, err)
                    self.assertIn(diagnostic, err)


class TextLimits(CliCase):
    """The CA path and the common name have 255 characters of room (the unit test fills them);
    longer text is refused with the usage path rather than cut."""

    CASES = [
        (["-O"], "-O or --common-name"),
        (["--common-name"], "-O or --common-name"),
        (["-C"], "-C or --ssl-cert"),
        (["--ssl-cert"], "-C or --ssl-cert"),
    ]

    def test_too_long_is_refused(self):
        for option, label in self.CASES:
            for length in (256, 5000):
                with self.subTest(option=option[0], length=length):
                    status, out, err, pid = run(REQUIRED + option + ["x" * length])
                    self.assertEqual(status, 255)
                    self.assertEqual(err, "")
                    first, rest = out.split("\n", 1)
                    message = f"{label} is too long ({length} characters, at most 255)"
                    self.assertEqual(self.log_lines(first, pid), [("ERROR", message)])
                    self.assertEqual(rest, USAGE)


class Version(CliCase):
    """-V and --version (and its prefixes) print the program's and the TLS library's versions
    and exit 0, before any check of the other options."""

    def test_every_form_prints_both_versions(self):
        with open(os.path.join(os.environ["ZD_SRC"], "CMakeLists.txt")) as f:
            project = re.search(r"project\(zarn-dwel VERSION (\S+)", f.read()).group(1)
        for args in (["-V"], ["--version"], ["--vers"], REQUIRED + ["-V"], ["-V", "-x"]):
            with self.subTest(args=args):
                status, out, err, _ = run(args)
                self.assertEqual((0, ""), (status, err))
                self.assertRegex(out, r"^zarn-dwel-forwarder %s\nOpenSSL 3\.\S+ .*\n$" %
                                 re.escape(project))


class Accepted(CliCase):
    CASES = [
        ("required only", REQUIRED),
        ("-T 0.0.0.0 is not the unset target", ["-C", "ca.pem", "-n", "ns0", "-T", "0.0.0.0"]),
        ("--net abbreviates --net-namespace", ["-C", "ca.pem", "--net", "x", "-T", "127.0.0.1"]),
        ("numbers are not checked", REQUIRED + ["-N", "abc", "-M", "70000", "-S", "0x801"]),
        ("words anywhere", ["w1"] + REQUIRED + ["w2", "10.0.0.5"]),
    ]

    def test_parse_succeeds_silently(self):
        for name, args in self.CASES:
            with self.subTest(name):
                status, out, err, _ = run(args)
                self.assertEqual(status, PARSED, err)
                self.assertEqual(out, "")


if __name__ == "__main__":
    unittest.main(verbosity=2)
