#!/usr/bin/env python3
"""The demonstration the README describes: norvex-demo-setup writes the settings, norvex-demo-device
plays the equipment, norvex serves a caller who types HELP, TIME, ECHO and BYE.

usage: demo_e2e_test.py NORVEX DEMO_SETUP DEMO_DEVICE [unittest arguments]
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import norvex_e2e_test as base  # noqa: E402

LIMIT_S = base.LIMIT_S
SETUP = DEVICE = None


class DemoEndToEnd(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="norvex-demo-e2e-")
        self.port = base.free_port()
        written = subprocess.run([SETUP, "--telnet-port", str(self.port)], cwd=self.directory,
                                 capture_output=True, timeout=LIMIT_S)
        self.assertEqual(written.returncode, 0, written.stderr)
        self.device = subprocess.Popen([DEVICE, "COM1"], cwd=self.directory, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        link = os.path.join(self.directory, "COM1")
        deadline = time.monotonic() + LIMIT_S
        while not os.path.islink(link) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(os.path.islink(link))
        self.gateway = base.Gateway(self.directory)
        self.gateway.start()

    def tearDown(self):
        try:
            self.gateway.stop()
        finally:
            self.device.send_signal(signal.SIGTERM)
            self.device.wait(LIMIT_S)
            shutil.rmtree(self.directory, ignore_errors=True)

    def test_help_time_echo_then_bye_ends_the_call(self):
        caller = base.Caller(self.port)
        try:
            self.assertTrue(caller.read_until(b"Commands: HELP TIME ECHO BYE\r\n> "), caller.received)
            for typed, answer in ((b"HELP\r", b"ECHO <text>  says the text back\r\n"),
                                  (b"TIME\r", b"\r\n> "), (b"ECHO hello\r", b"hello\r\n> ")):
                seen = len(caller.received)
                caller.send(typed)
                self.assertTrue(caller.read_until(answer), caller.received)
                # Wait for the prompt that ends the answer: the call is still up after it.
                while not caller.received.endswith(b"> ") and not caller.closed:
                    caller.read_until(b"\0never\0", 0.1)
                self.assertFalse(caller.closed, caller.received[seen:])
            caller.send(b"BYE\r")
            self.assertTrue(caller.read_until_closed())
            self.assertIn(b"BYE\r\n*** BYE ***\r\n", caller.received)
            self.assertTrue(caller.received.endswith(b"*** NORVEX: call ended\r\n"), caller.received[-80:])
        finally:
            caller.close()


if __name__ == "__main__":
    base.NORVEX, SETUP, DEVICE = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
