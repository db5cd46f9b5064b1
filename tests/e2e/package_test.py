#!/usr/bin/env python3
"""The Debian package: built with cpack from the build tree, its control fields and contents
checked, its man pages read by groff, its systemd unit verified by systemd-analyze, and the
packaged norvex started from the extracted package and reached by the packaged norvexctl.

usage: package_test.py BUILD_DIR CPACK PROJECT_VERSION [unittest arguments]
"""
import glob
import gzip
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

LIMIT_S = 30
BUILD = CPACK = VERSION = None
PROGRAMS = ["norvex", "norvexctl", "norvex-demo-device", "norvex-demo-setup"]
MAN_PAGES = ["man8/norvex.8.gz", "man8/norvexctl.8.gz", "man1/norvex-demo-device.1.gz",
             "man1/norvex-demo-setup.1.gz"]
UNIT = "usr/lib/systemd/system/norvex.service"


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=LIMIT_S * 4, **options)


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="norvex-package-")
        made = run(CPACK, "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                   "-B", cls.work)
        if made.returncode != 0:
            raise AssertionError("cpack failed:\n" + made.stdout + made.stderr)
        cls.package = glob.glob(os.path.join(cls.work, "*.deb"))[0]
        cls.root = os.path.join(cls.work, "root")
        extracted = run("dpkg-deb", "-x", cls.package, cls.root)
        if extracted.returncode != 0:
            raise AssertionError(extracted.stderr)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_control_fields(self):
        fields = dict(re.findall(r"^ ?([A-Za-z-]+): (.*)$", run("dpkg-deb", "-f", self.package).stdout,
                                 re.M))
        self.assertEqual(fields["Package"], "norvex")
        self.assertEqual(fields["Version"], VERSION)
        self.assertEqual(fields["Architecture"], "amd64")
        self.assertEqual(fields["Section"], "net")
        self.assertRegex(fields["Depends"], r"libc6 \(>= [0-9.]+\)")
        self.assertRegex(fields["Depends"], r"libstdc\+\+6")
        self.assertTrue(os.path.basename(self.package).startswith("norvex_%s_amd64" % VERSION))

    def test_contents(self):
        listing = run("dpkg-deb", "-c", self.package).stdout
        files = {}
        for line in listing.splitlines():
            mode, owner, size, day, hour, name = line.split(None, 5)
            if not mode.startswith("d"):
                files[name[2:]] = (mode, owner)
        expected = {"usr/bin/" + name for name in PROGRAMS}
        expected |= {"usr/share/man/" + page for page in MAN_PAGES}
        expected |= {UNIT, "usr/share/doc/norvex/README.md"}
        self.assertEqual(set(files), expected)
        for name, (mode, owner) in files.items():
            self.assertEqual(owner, "root/root", name)
            self.assertEqual(mode, "-rwxr-xr-x" if name.startswith("usr/bin/") else "-rw-r--r--", name)
        for name in PROGRAMS:
            kind = run("file", "-b", os.path.join(self.root, "usr/bin", name)).stdout
            self.assertIn("ELF 64-bit", kind)
            self.assertNotIn("not stripped", kind)

    def test_man_pages(self):
        ctl_names = set()
        for topic in ("options", "port"):
            help_text = run(os.path.join(self.root, "usr/bin/norvexctl"), topic, "--help").stdout
            ctl_names |= set(re.findall(r"^  ([a-z_]+) ", help_text, re.M))
        self.assertGreater(len(ctl_names), 20)
        for page in MAN_PAGES:
            with gzip.open(os.path.join(self.root, "usr/share/man", page), "rt") as source:
                text = source.read()
            self.assertNotIn("@NORVEX_VERSION@", text)
            self.assertIn(VERSION, text.splitlines()[0])
            checked = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z"], input=text,
                                     capture_output=True, text=True, timeout=LIMIT_S)
            self.assertEqual((checked.returncode, checked.stderr), (0, ""), page)
            if page.endswith("norvexctl.8.gz"):
                for name in ctl_names:  # every setting the tool knows is in its manual
                    self.assertIn(name, text, name)

    def test_unit_is_verified_by_systemd(self):
        with open(os.path.join(self.root, UNIT)) as unit:
            text = unit.read()
        for line in ("ExecStart=/usr/bin/norvex", "WorkingDirectory=/var/lib/norvex",
                     "StateDirectory=norvex", "DynamicUser=yes", "SupplementaryGroups=dialout",
                     "AmbientCapabilities=CAP_NET_BIND_SERVICE",
                     "CapabilityBoundingSet=CAP_NET_BIND_SERVICE", "Restart=on-failure",
                     "KillSignal=SIGTERM", "WantedBy=multi-user.target"):
            self.assertIn("\n" + line + "\n", text)
        self.assertNotIn("User=root", text)
        # systemd-analyze resolves the unit's dependencies and its program under the root given:
        # the package's tree with this machine's targets and slices beside the unit.
        tree = os.path.join(self.work, "verify")
        shutil.copytree(self.root, tree)
        units = os.path.join(tree, "usr/lib/systemd/system")
        for pattern in ("*.target", "*.slice"):
            for path in glob.glob(os.path.join("/lib/systemd/system", pattern)):
                if not os.path.islink(path):
                    shutil.copy(path, units)
        environment = dict(os.environ, MANPATH=os.path.join(tree, "usr/share/man"))
        verified = run("systemd-analyze", "verify", "--root=" + tree, "/" + UNIT, env=environment)
        self.assertEqual((verified.returncode, verified.stdout + verified.stderr), (0, ""))

    def test_packaged_norvex_starts_and_answers_norvexctl(self):
        directory = tempfile.mkdtemp(prefix="run-", dir=self.work)
        bin_dir = os.path.join(self.root, "usr/bin")
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        ctl = [os.path.join(bin_dir, "norvexctl"), "-C", directory]
        set_port = run(*ctl, "options", "set", "telnet_port=%d" % port)
        self.assertEqual(set_port.returncode, 0, set_port.stderr)
        gateway = subprocess.Popen([os.path.join(bin_dir, "norvex")], cwd=directory,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE)
        try:
            said = b""
            deadline = time.monotonic() + LIMIT_S
            while b"listening on telnet port" not in said and time.monotonic() < deadline:
                if select.select([gateway.stderr], [], [], 0.1)[0]:
                    chunk = os.read(gateway.stderr.fileno(), 4096)
                    if not chunk:
                        break
                    said += chunk
            self.assertIn(b"listening on telnet port %d" % port, said)
            status = run(*ctl, "status")
            self.assertEqual(status.returncode, 0, status.stderr)
            self.assertEqual(status.stdout, "norvex in %s, listening on telnet port %d\nno port\n"
                             % (directory, port))
            with socket.create_connection(("127.0.0.1", port), timeout=LIMIT_S) as caller:
                received = b""
                while b"*** BUSY\r\n" not in received:
                    chunk = caller.recv(4096)
                    if not chunk:
                        break
                    received += chunk
            self.assertTrue(received.endswith(b"*** CONNECT NORVEX\r\n*** BUSY\r\n"), received)
        finally:
            gateway.send_signal(signal.SIGTERM)
            self.assertEqual(gateway.wait(LIMIT_S), 0)
            gateway.stderr.close()


if __name__ == "__main__":
    BUILD, CPACK, VERSION = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
