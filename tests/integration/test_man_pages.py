"""The manual pages: free of roff warnings under two formatters, and in step with what the
programs and the unit really accept."""

import os
import re
import subprocess
import unittest

from harness import ZD_SRC, run_tests

MAN_DIR = os.path.join(ZD_SRC, "docs", "man")
DAEMON_PAGE = os.path.join(MAN_DIR, "zarn-dwel-forwarder.8")
TOOL_PAGE = os.path.join(MAN_DIR, "prefix-check.1")


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=120, **kw)


def rendered(page):
    """The page as man shows it, wide enough that no line is filled or hyphenated."""
    r = run(["man", "--warnings", "-l", page],
            env=dict(os.environ, MANWIDTH="400", MAN_KEEP_FORMATTING="", LC_ALL="C.UTF-8"))
    assert r.returncode == 0, r.stderr
    # Typographic quotes and the Unicode hyphen stand for the ASCII ones of the source.
    text = r.stdout.translate(str.maketrans("\u201c\u201d\u2018\u2019\u2010\u2212",
                                            "\"\"''--"))
    return re.sub(r"[ \t]+", " ", text)


def source(path):
    with open(os.path.join(ZD_SRC, path)) as f:
        return f.read()


def option_paragraph(text, short):
    """The text under an option's tag ("-N, --nfs-port=port") up to the next tag."""
    m = re.search(r"(?m)^ -%s, --\S+.*?(?=^ -\S, --|^[A-Z])" % re.escape(short), text, re.S)
    return m.group(0) if m else ""


class Lint(unittest.TestCase):
    def test_pages_have_no_warnings(self):
        for page in (DAEMON_PAGE, TOOL_PAGE):
            with self.subTest(page=os.path.basename(page)):
                # mandoc's "warning" and worse; its "style" notes (such as long source lines)
                # are not faults.
                r = run(["mandoc", "-T", "lint", "-W", "warning", page])
                self.assertEqual((0, ""), (r.returncode, r.stdout + r.stderr))
                r = run(["man", "--warnings=w", "-l", page], env=dict(os.environ,
                                                                      MANWIDTH="80"))
                self.assertEqual((0, ""), (r.returncode, r.stderr))


class DaemonPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.text = rendered(DAEMON_PAGE)

    def test_every_option_with_its_default(self):
        config = source("src/config.cpp")
        options = re.findall(r'\{"([a-z-]+)", (\w+), nullptr, \'(\w)\'\}', config)
        self.assertEqual(14, len(options), options)
        for long_name, _, short in options:
            with self.subTest(option=long_name):
                self.assertIn("-%s, --%s" % (short, long_name), self.text)
        # The usage text's defaults are the page's defaults.
        for short, default in re.findall(r'"  -(\w) or --\S+ +- default to (\S+)"', config):
            if short == "R":
                continue  # ignored, and documented as such
            with self.subTest(short=short):
                self.assertRegex(option_paragraph(self.text, short),
                                 r"Default %s\b" % re.escape(default.strip("[]")))
        ignored = option_paragraph(self.text, "R")
        self.assertIn("-R, --reserved-port is deprecated.", ignored)
        # The quirks that the usage text keeps.
        self.assertIn("--src-addr", option_paragraph(self.text, "s"))
        self.assertIn("usage text", option_paragraph(self.text, "T"))

    def test_signals_environment_files_and_exit_statuses(self):
        for name in ("SIGINT", "SIGQUIT", "SIGTERM", "SIGABRT", "SIGUSR1", "SIGUSR2", "SIGHUP",
                     "RANDFILE", "NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID",
                     "ZARN_DWEL_TLS_RESUME", "READY=1", "STOPPING=1", "WATCHDOG=1", "STATUS=",
                     "/etc/zarn-dwel-utils.d/config.json", "\"wildcards\"", "/run/netns",
                     "CAP_SYS_ADMIN", "CAP_NET_BIND_SERVICE"):
            self.assertIn(name, self.text)
        statuses = re.search(r"(?ms)^EXIT STATUS\n(.*?)^[A-Z]", self.text).group(1)
        self.assertEqual(["0", "1", "77", "78", "255"], re.findall(r"(?m)^ (\d+) ", statuses))

    def test_unit_settings_are_documented(self):
        unit = source("packaging/zarn-dwel-forwarder@.service.in")
        default = source("packaging/zarn-dwel-forwarder.default")
        exec_start = re.search(r"(?m)^ExecStart=(.*)$", unit).group(1)
        variables = set(re.findall(r"\$\{?([A-Z_]+)\}?", exec_start))
        self.assertEqual({"TARGET", "CA_FILE", "COMMON_NAME", "OPTIONS"}, variables)
        for name in variables:
            with self.subTest(variable=name):
                self.assertIn(name, self.text)
                self.assertRegex(default, r"(?m)^%s=" % name)
        self.assertIn("zarn-dwel-forwarder@.service", self.text)
        self.assertIn("/etc/default/zarn-dwel-forwarder-", unit)
        self.assertIn("/etc/default/zarn-dwel-forwarder-namespace", self.text)


def warnings_and_errors():
    """(file, constant start of the format) of every WARN, ERROR and fatal message in src/."""
    found = []
    call = re.compile(r'(?:EVL_)?REPORT(?:_AS)?\((?:\w+_FN,\s*)?(LVL_\w+),\s*"((?:[^"\\]|\\.)*)"')
    fatal = re.compile(r'REPORT_ERROR\(\s*"((?:[^"\\]|\\.)*)"')
    src = os.path.join(ZD_SRC, "src")
    for name in sorted(os.listdir(src)):
        if not name.endswith(".cpp"):
            continue
        text = source(os.path.join("src", name))
        formats = [f for level, f in call.findall(text) if level in ("LVL_WARN", "LVL_ERROR")]
        formats += fatal.findall(text)
        for f in formats:
            start = f.split("%")[0].replace("\\n", "").replace('\\"', '"').rstrip()
            if start:
                found.append((name, start))
    return found


class OperationsGuide(unittest.TestCase):
    def test_every_warning_and_error_is_explained(self):
        guide = source("docs/operations.md")
        messages = warnings_and_errors()
        self.assertGreater(len(messages), 30)
        missing = [m for m in messages if m[1] not in guide]
        self.assertEqual([], missing, "add these to the troubleshooting tables")


class ToolPage(unittest.TestCase):
    def test_every_message_of_the_tool(self):
        text = rendered(TOOL_PAGE)
        tool = source("tools/prefix-check/prefix-check.c")
        messages = [m.replace('\\"', '"') for m in re.findall(r'"(ERROR: [^\n]*?)\\n"', tool)]
        self.assertEqual(8, len(messages), messages)
        for message in messages:
            with self.subTest(message=message):
                pattern = re.escape(message).replace("%s", r"\S+")
                self.assertRegex(text, pattern)
        self.assertIn("usage: prefix-check <addr/prefix>", text)


if __name__ == "__main__":
    run_tests()
