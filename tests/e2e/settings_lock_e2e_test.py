#!/usr/bin/env python3
"""Edits of NORVEX.DAT from several programs at once: norvexctl against norvexctl, a norvex that
starts or reloads while the file is held, and what a save keeps of the file (mode, owner).

usage: settings_lock_e2e_test.py NORVEX NORVEXCTL [unittest arguments, e.g. a test name]
"""
import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import norvex_e2e_test as base  # noqa: E402  (the Gateway of norvex's own test)

LIMIT_S = base.LIMIT_S
NORVEXCTL = None
EDITS_PER_LOOP = 30
HELD_S = 1.5  # how long the test holds the file before letting go


class SettingsLockEndToEnd(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="norvex-lock-e2e-")
        self.port = base.free_port()
        self.gateway = base.Gateway(self.directory)
        self.data = os.path.join(self.directory, "NORVEX.DAT")
        self.lock = os.path.join(self.directory, "NORVEX.DAT.lock")

    def tearDown(self):
        self.gateway.stop()
        shutil.rmtree(self.directory, ignore_errors=True)

    def run_ctl(self, *args):
        return subprocess.run([NORVEXCTL, "-C", self.directory, *args], capture_output=True,
                              timeout=LIMIT_S * 3, stdin=subprocess.DEVNULL)

    def ctl(self, *args, expect=0):
        result = self.run_ctl(*args)
        out, err = result.stdout.decode(), result.stderr.decode()
        self.assertEqual(result.returncode, expect, "norvexctl %s:\n%s%s" % (" ".join(args), out, err))
        return out, err

    def rules_shown(self, port):
        """The rule lines that show lists for a port."""
        out, _ = self.ctl("show")
        rules, inside = [], False
        for line in out.splitlines():
            if line.startswith("port "):
                inside = line.startswith("port %s " % port)
            elif inside and line.strip().startswith("rule "):
                rules.append(line.split(None, 2)[2])
        return rules

    def hold(self, path):
        """Takes an exclusive flock of path, as another editor would; the open file."""
        held = open(path, "a+b")
        fcntl.flock(held, fcntl.LOCK_EX)
        return held

    def test_two_loops_of_edits_keep_every_edit(self):
        self.ctl("options", "set", "telnet_port=%d" % self.port)
        self.ctl("port", "add", "COM1")
        self.ctl("port", "add", "COM2")
        # A running norvex reloads after every edit, reading the file in between.
        self.gateway.start()
        done = {"COM1": [], "COM2": []}
        failures = []

        def loop(port, second):
            for i in range(EDITS_PER_LOOP):
                entry = "10.%d.%d.0/24" % (second, i)
                result = self.run_ctl("rule", "add", port, "permit", entry)
                if result.returncode == 0:
                    done[port].append("permit %s" % entry)
                else:
                    failures.append((port, i, result.returncode, result.stderr.decode()))

        loops = [threading.Thread(target=loop, args=("COM1", 1)),
                 threading.Thread(target=loop, args=("COM2", 2))]
        for thread in loops:
            thread.start()
        for thread in loops:
            thread.join()
        stored = {port: self.rules_shown(port) for port in done}
        sys.stderr.write("edits reported done %d + %d, rules stored %d + %d, failed %d\n"
                         % (len(done["COM1"]), len(done["COM2"]), len(stored["COM1"]),
                            len(stored["COM2"]), len(failures)))
        for port in done:
            self.assertEqual(stored[port], done[port], port)  # every done edit, in its order
        self.assertEqual(failures, [])
        self.assertEqual(len(stored["COM1"]) + len(stored["COM2"]), 2 * EDITS_PER_LOOP)
        leftovers = [name for name in os.listdir(self.directory) if name.endswith((".tmp", ".new"))]
        self.assertEqual(leftovers, [])
        self.assertEqual(self.gateway.process.poll(), None)

    def start_while_held(self, path):
        """Starts norvex while the test holds path; it must wait, then start once it is let go."""
        held = self.hold(path)
        try:
            self.gateway.start(expect_listening=False)
            # Whatever norvex does meanwhile, it must neither give up nor load the file yet.
            self.assertFalse(self.gateway.wait_said(b"listening", HELD_S), self.gateway.said)
            self.assertEqual(self.gateway.process.poll(), None, self.gateway.said)
        finally:
            held.close()
        self.assertTrue(self.gateway.wait_said(b"listening on telnet port %d" % self.port),
                        self.gateway.said)

    def test_a_start_and_a_reload_wait_for_a_held_file(self):
        self.ctl("options", "set", "telnet_port=%d" % self.port)
        self.ctl("port", "add", "COM1")
        # The lock every editor takes, then the file itself held as `flock NORVEX.DAT` holds it.
        self.start_while_held(self.lock)
        self.gateway.stop()
        self.gateway = base.Gateway(self.directory)
        self.start_while_held(self.data)

        # A reload asked for while an edit holds the file waits for it too, and then reads the
        # edit's result.
        held = self.hold(self.lock)
        reloading = subprocess.Popen([NORVEXCTL, "-C", self.directory, "reload"],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL)
        try:
            self.assertRaises(subprocess.TimeoutExpired, reloading.wait, HELD_S)
            with open(self.data, "ab") as grown:  # what the holder saved: one more port
                grown.write(base.port_block("COM2"))
        finally:
            held.close()
        out, err = reloading.communicate(timeout=LIMIT_S * 3)
        self.assertEqual(reloading.returncode, 0, out + err)
        self.assertIn(b"COM2", out)

    def test_an_edit_gives_up_on_a_file_held_too_long_and_changes_nothing(self):
        self.ctl("port", "add", "COM1")
        with open(self.data, "rb") as before:
            content = before.read()
        held = self.hold(self.lock)
        try:
            started = time.monotonic()
            _, err = self.ctl("port", "set", "COM1", "baud_rate=1200", expect=1)
            waited = time.monotonic() - started
        finally:
            held.close()
        self.assertIn("waited 10 s", err)
        self.assertIn("nothing changed", err)
        self.assertGreaterEqual(waited, 9.5)
        with open(self.data, "rb") as after:
            self.assertEqual(after.read(), content)

    def test_an_edit_keeps_the_mode_and_the_owner(self):
        self.ctl("port", "add", "COM1")
        os.chmod(self.data, 0o640)
        as_root = os.geteuid() == 0
        if as_root:
            os.chown(self.data, 65534, 65534)  # nobody: a service's own user
        self.ctl("rule", "add", "COM1", "deny", "ALL")
        info = os.stat(self.data)
        self.assertEqual(info.st_mode & 0o7777, 0o640)
        if as_root:
            self.assertEqual((info.st_uid, info.st_gid), (65534, 65534))
        self.assertEqual(self.rules_shown("COM1"), ["deny ALL"])

    def test_show_in_a_folder_one_may_not_write(self):
        # Another user may read the settings where they can make no lock file: the read goes on
        # without it, since a rename never shows half a file; an edit there is refused.
        if os.geteuid() != 0:
            self.skipTest("needs root to act as another user")
        self.ctl("port", "add", "COM1")
        os.remove(self.lock)
        os.chmod(self.directory, 0o755)
        as_nobody = {"user": "nobody", "group": "nogroup", "extra_groups": []}
        shown = subprocess.run([NORVEXCTL, "-C", self.directory, "show"], capture_output=True,
                               timeout=LIMIT_S, stdin=subprocess.DEVNULL, **as_nobody)
        self.assertEqual(shown.returncode, 0, shown.stderr)
        self.assertIn(b"port COM1 (1 of 1)", shown.stdout)
        edit = subprocess.run([NORVEXCTL, "-C", self.directory, "rule", "add", "COM1", "deny", "ALL"],
                              capture_output=True, timeout=LIMIT_S, stdin=subprocess.DEVNULL,
                              **as_nobody)
        self.assertEqual(edit.returncode, 1, edit.stderr)
        self.assertIn(b"cannot open NORVEX.DAT or its lock NORVEX.DAT.lock", edit.stderr)
        self.assertFalse(os.path.exists(self.lock))
        self.assertEqual(self.rules_shown("COM1"), [])


if __name__ == "__main__":
    base.NORVEX, NORVEXCTL = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
