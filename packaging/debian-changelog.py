#!/usr/bin/env python3
"""Writes the Debian changelog of the package from CHANGELOG.md.

Usage: debian-changelog.py CHANGELOG.md PACKAGE VERSION REVISION MAINTAINER OUTPUT

Every entry `## <version> (<yyyy-mm-dd>)` becomes one Debian entry of PACKAGE <version>-<revision>,
its list items the entry's items. The newest entry must name VERSION: the project version
is the one the package carries, and a changelog that has not caught up with it is an error.
"""

import datetime
import email.utils
import re
import sys

HEADING = re.compile(r"^## (\S+) \((\d{4}-\d{2}-\d{2})\)$")


def entries(lines):
    """(version, date, items) per entry; an item is its list of lines without the marker."""
    found = []
    for line in lines:
        m = HEADING.match(line)
        if m:
            found.append((m.group(1), m.group(2), []))
        elif found and line.startswith("- "):
            found[-1][2].append([line[2:]])
        elif found and found[-1][2] and line.startswith("  ") and line.strip():
            found[-1][2][-1].append(line.strip())
    return found


def main(source, package, version, revision, maintainer, output):
    with open(source, encoding="utf-8") as f:
        found = entries(f.read().splitlines())
    if not found or found[0][0] != version:
        newest = found[0][0] if found else "none"
        sys.exit("%s: the newest entry is %s, the project version %s" % (source, newest, version))
    text = []
    for ver, date, items in found:
        day = datetime.datetime.strptime(date, "%Y-%m-%d").replace(tzinfo=datetime.timezone.utc)
        text.append("%s (%s-%s) unstable; urgency=medium\n\n" % (package, ver, revision))
        for item in items:
            text.append("  * " + "\n    ".join(item) + "\n")
        text.append("\n -- %s  %s\n\n" % (maintainer, email.utils.format_datetime(day)))
    with open(output, "w", encoding="utf-8") as f:
        f.write("".join(text).rstrip("\n") + "\n")


if __name__ == "__main__":
    if len(sys.argv) != 7:
        sys.exit(__doc__)
    main(*sys.argv[1:])
