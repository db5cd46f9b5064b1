#!/usr/bin/env python3
"""The folders of src/ include one another in one direction only, and only the platform backends
reach the operating system. Run by CTest on every build; a stray include fails it with the file
and line."""
import pathlib
import re
import sys
import unittest

SRC = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parents[2] / "src")

# A folder may include folders of a lower rank and its own; the program shells none of each other.
RANK = {
    "platform": 0, "resources": 0,
    "settings": 1, "telnet": 1,
    "serial": 2, "ssh": 2,
    "modem": 3,
    "gateway": 4,
    "app": 5,
    "dialogs": 6,
    "control": 7,
    "tray": 8, "service": 8, "ctl": 8,
}

# The known exceptions: the port list starts and stops modem emulators; WinMain calls the tray
# program's entry.
ALLOWED_UPWARDS = {
    ("settings/port_list.cpp", "modem"),
    ("platform/win32/win_main.cpp", "tray"),
}

OS_HEADERS = re.compile(
    r"#include <(windows\.h|winsock2?\.h|ws2tcpip\.h|commctrl\.h|shellapi\.h|unistd\.h|"
    r"pthread\.h|termios\.h|fcntl\.h|poll\.h|netdb\.h|signal\.h|sys/[^>]+|netinet/[^>]+|"
    r"arpa/[^>]+|linux/[^>]+)>")
PROJECT_INCLUDE = re.compile(r'#include "([a-z0-9_]+)/')


def sources():
    for path in sorted(SRC.rglob("*")):
        if path.suffix in (".cpp", ".h"):
            yield path, path.relative_to(SRC).as_posix()


class IncludeLayers(unittest.TestCase):
    def test_every_folder_is_ranked(self):
        folders = {p.name for p in SRC.iterdir() if p.is_dir()}
        self.assertEqual(folders - RANK.keys(), set(), "a new folder needs its place in RANK")

    def test_includes_point_down(self):
        wrong = []
        for path, name in sources():
            folder = name.split("/")[0]
            for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
                match = PROJECT_INCLUDE.match(line)
                if not match or match.group(1) == folder:
                    continue
                target = match.group(1)
                if target not in RANK:
                    wrong.append(f"{name}:{number}: includes unknown folder {target}/")
                elif (name, target) in ALLOWED_UPWARDS:
                    continue
                elif RANK[target] >= RANK[folder]:
                    wrong.append(f"{name}:{number}: {folder}/ includes {target}/ ({line.strip()})")
        self.assertEqual(wrong, [])

    def test_only_the_backends_reach_the_operating_system(self):
        wrong = []
        for path, name in sources():
            if name.startswith(("platform/posix/", "platform/win32/")):
                continue
            for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
                if OS_HEADERS.match(line) or line.strip().startswith("#if") and "_WIN32" in line:
                    wrong.append(f"{name}:{number}: {line.strip()}")
        self.assertEqual(wrong, [])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
