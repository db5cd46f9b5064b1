#!/usr/bin/env python3
"""norvexctl against a running norvex: ptys play the equipment, loopback sockets the callers, and
every setting is made with norvexctl itself.

usage: norvexctl_e2e_test.py NORVEX NORVEXCTL [unittest arguments, e.g. a test name]
"""
import os
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import norvex_e2e_test as base  # noqa: E402  (the Gateway, Caller and Equipment of norvex's own test)

LIMIT_S = base.LIMIT_S
NORVEXCTL = None
OFFERS_AND_GREETING = base.OFFERS + base.GREETING


class NorvexctlEndToEnd(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="norvexctl-e2e-")
        self.port = base.free_port()
        self.gateway = base.Gateway(self.directory)
        self.equipment = []
        self.callers = []

    def tearDown(self):
        for caller in self.callers:
            caller.close()
        try:
            self.gateway.stop()
        finally:
            for equipment in self.equipment:
                equipment.close()
            shutil.rmtree(self.directory, ignore_errors=True)

    def ctl(self, *args, expect=0, user=None):
        """Runs norvexctl in the gateway's directory; its (stdout, stderr) as text."""
        result = subprocess.run([NORVEXCTL, "-C", self.directory, *args], capture_output=True,
                                timeout=LIMIT_S * 3, stdin=subprocess.DEVNULL, user=user,
                                **({"group": "nogroup", "extra_groups": []} if user else {}))
        out, err = result.stdout.decode(), result.stderr.decode()
        self.assertEqual(result.returncode, expect, "norvexctl %s:\n%s%s" % (" ".join(args), out, err))
        return out, err

    def add_port(self, name, *settings):
        self.equipment.append(base.Equipment(self.directory, name))
        self.ctl("port", "add", name, "flow_control=none", *settings)
        return self.equipment[-1]

    def call(self, source="127.0.0.1"):
        caller = base.Caller(self.port, source)
        self.callers.append(caller)
        return caller

    def start(self):
        self.ctl("options", "set", "telnet_port=%d" % self.port)
        self.gateway.start()

    def test_status_shows_the_callers_as_the_main_window_does(self):
        self.add_port("COM1", "connect_message=ONE\\r\\n")
        self.add_port("COM2", "connect_message=TWO\\r\\n")
        self.add_port("COM3")
        self.ctl("options", "set", "resolve_host_names=on")
        self.start()
        out, _ = self.ctl("status")
        self.assertEqual(out.splitlines(), ["norvex in %s, listening on telnet port %d" % (self.directory, self.port),
                                            "COM1  free", "COM2  free", "COM3  free"])
        first = self.call("127.0.0.1")
        self.assertTrue(first.read_until(b"ONE\r\n"), first.received)
        second = self.call("127.0.0.2")
        self.assertTrue(second.read_until(b"TWO\r\n"), second.received)
        try:
            name = socket.gethostbyaddr("127.0.0.2")[0][:63]
            shown = "%s(127.0.0.2)" % name
        except OSError:
            shown = "127.0.0.2"
        first_name = socket.gethostbyaddr("127.0.0.1")[0][:63]
        out, _ = self.ctl("status")
        self.assertEqual(out.splitlines()[1:], ["COM1  %s(127.0.0.1)" % first_name,
                                                "COM2  %s" % shown, "COM3  free"])

    def test_disconnect_ends_the_call_and_frees_the_port(self):
        device = self.add_port("COM1", "connect_message=HELLO\\r\\n", "disconnect_message=GOODBYE\\r\\n")
        self.add_port("COM2")
        self.ctl("options", "set", "access_log_enabled=on", "access_log_file_name=access.log")
        self.start()
        caller = self.call()
        self.assertTrue(caller.read_until(b"HELLO\r\n"), caller.received)
        caller.send(b"typed")
        self.assertTrue(device.wait_for(b"typed"), device.received)

        out, _ = self.ctl("disconnect", "com1")
        self.assertIn("COM1: the call from 127.0.0.1 is told to end", out)
        self.assertIn("COM1: the call has ended; the port is free", out)
        # A forced end, as the Windows program's: no disconnect message, a failed transfer logged.
        self.assertTrue(caller.read_until_closed())
        self.assertTrue(caller.received.endswith(b"HELLO\r\n"), caller.received)
        self.assertNotIn(b"GOODBYE", caller.received)
        log = os.path.join(self.directory, "access.log")
        deadline = time.monotonic() + LIMIT_S
        while not os.path.exists(log) and time.monotonic() < deadline:
            time.sleep(0.05)
        with open(log, "rb") as lines:
            self.assertRegex(lines.read(), rb"transfer fail +COM1 127\.0\.0\.1\r\n$")
        self.assertIn("COM1  free", self.ctl("status")[0])
        self.assertTrue(self.gateway.wait_said(b"COM1: forced disconnect of 127.0.0.1"), self.gateway.said)

        out, _ = self.ctl("disconnect", "COM2")
        self.assertIn("COM2 is free: there is no call to end", out)
        _, err = self.ctl("disconnect", "COM7", expect=2)
        self.assertIn("no port COM7 (ports: COM1 COM2)", err)
        # The port serves the next caller, whose call is not cut by the old request.
        again = self.call()
        self.assertTrue(again.read_until(b"HELLO\r\n"), again.received)
        self.assertIn("COM1  127.0.0.1", self.ctl("status")[0])

    def test_reload_after_port_add_gives_the_next_caller_the_new_port(self):
        self.add_port("COM1", "connect_message=ONE\\r\\n")
        self.start()
        first = self.call()
        self.assertTrue(first.read_until(b"ONE\r\n"), first.received)
        refused = self.call()
        self.assertTrue(refused.read_until_closed())
        self.assertEqual(refused.received, OFFERS_AND_GREETING + b"*** BUSY\r\n")

        device = self.add_port("COM2", "connect_message=TWO\\r\\n")  # a running gateway reloads
        third = self.call()
        self.assertTrue(third.read_until(b"TWO\r\n"), third.received)
        third.send(b"to two")
        self.assertTrue(device.wait_for(b"to two"), device.received)
        self.assertTrue(self.gateway.wait_said(b"reload: COM2 added"), self.gateway.said)
        first.send(b"still here")
        self.assertTrue(self.equipment[0].wait_for(b"still here"))

    def test_edits_report_the_reload(self):
        self.add_port("COM1")
        self.start()
        out, _ = self.ctl("port", "add", "COM2", "flow_control=none")
        self.assertEqual(out.splitlines(), ["COM2 added with flow_control", "COM2 added"])
        out, _ = self.ctl("port", "move", "COM2", "up")
        self.assertEqual(out.splitlines()[1], "port order now: COM2, COM1")
        out, _ = self.ctl("options", "set", "telnet_port=%d" % (self.port + 1))
        self.assertIn("options changed: telnet_port", out)
        self.assertIn("listening on %d, the next start uses %d" % (self.port, self.port + 1), out)
        self.assertIn("listening on telnet port %d" % self.port, self.ctl("status")[0])
        out, _ = self.ctl("reload")
        self.assertIn("the next start uses %d" % (self.port + 1), out)
        # A file the gateway could not start with is refused, and nothing changes.
        with open(os.path.join(self.directory, "NORVEX.DAT"), "ab") as out_file:
            out_file.write(b"\0")
        _, err = self.ctl("reload", expect=1)
        self.assertIn("the gateway: NORVEX.DAT is not 1792 + 8448 x N bytes long; nothing changed", err)
        self.assertIn("COM2  free", self.ctl("status")[0])

    def test_port_remove_of_a_port_in_a_call_does_not_cut_the_call(self):
        device = self.add_port("COM1", "connect_message=IN\\r\\n", "disconnect_message=OLD\\r\\n",
                               "disconnect_keyword=LOGOFF")
        self.start()
        caller = self.call()
        self.assertTrue(caller.read_until(b"IN\r\n"), caller.received)
        out, _ = self.ctl("port", "set", "COM1", "disconnect_message=NEW\\r\\n")
        self.assertIn("COM1 updated; the call in progress keeps its settings", out)
        out, _ = self.ctl("port", "remove", "COM1")
        self.assertIn("COM1 removed; its call goes on until it ends", out)
        self.assertEqual(self.ctl("status")[0].splitlines()[1:], ["no port"])

        caller.send(b"after removal")
        self.assertTrue(device.wait_for(b"after removal"), device.received)
        device.send(b"answer")
        self.assertTrue(caller.read_until(b"answer"), caller.received)
        nobody = self.call()
        self.assertTrue(nobody.read_until_closed())
        self.assertEqual(nobody.received, OFFERS_AND_GREETING + b"*** BUSY\r\n")
        device.send(b"LOGOFF")  # the call ends as it began: the old message
        self.assertTrue(caller.read_until_closed())
        self.assertTrue(caller.received.endswith(b"answerLOGOFFOLD\r\n"), caller.received)
        self.assertEqual(self.gateway.process.poll(), None)

    def test_edits_of_an_emulated_port_in_a_call_do_not_cut_the_call(self):
        device = self.add_port("COM1", "modem_emulation=on")
        self.start()
        device.reply(b"RING", b"ATA\r")
        caller = self.call()
        self.assertTrue(device.wait_for(b"ATA\r\nCONNECT 9600/TELNET\r\n"), device.received)
        out, _ = self.ctl("port", "set", "COM1", "idle_timeout_s=600", "baud_rate=19200")
        self.assertIn("COM1 updated; the call in progress keeps its settings", out)

        caller.send(b"after the edit")
        self.assertTrue(device.wait_for(b"after the edit"), device.received)
        device.send(b"answer")
        self.assertTrue(caller.read_until(b"answer"), caller.received)
        self.assertIn("COM1  127.0.0.1", self.ctl("status")[0])
        self.assertNotIn(b"NO CARRIER", device.received)
        caller.close()
        self.assertTrue(device.wait_for(b"NO CARRIER\r\n"), device.received)

        # Then the emulator has the new settings. (It opens the port again for them: a line
        # typed while it does may be lost, so the question is asked until it is answered.)
        deadline = time.monotonic() + LIMIT_S
        answered = False
        while not answered and time.monotonic() < deadline:
            device.send(b"AT\\S\r")
            answered = device.wait_for(b"DTE SPEED   : 19200bps", 1)
        self.assertTrue(answered, device.received)
        self.assertIn("COM1  free", self.ctl("status")[0])

    def test_another_user_is_refused(self):
        if os.geteuid() != 0:
            self.skipTest("running norvexctl as nobody needs root")
        self.add_port("COM1")
        self.start()
        # nobody must be able to reach the directory and the program to get as far as the socket.
        os.chmod(self.directory, 0o755)
        tool = os.path.join(self.directory, "norvexctl")
        shutil.copy(NORVEXCTL, tool)
        os.chmod(tool, 0o755)
        control = os.path.join(self.directory, "NORVEX.CTL")
        self.assertEqual(stat.S_IMODE(os.stat(control).st_mode), 0o600)

        def as_nobody(*args):
            result = subprocess.run([tool, "-C", self.directory, *args], capture_output=True,
                                    timeout=LIMIT_S, stdin=subprocess.DEVNULL, user="nobody",
                                    group="nogroup", extra_groups=[])
            return result.returncode, result.stderr.decode()

        code, err = as_nobody("status")
        self.assertEqual(code, 1, err)
        self.assertIn("is not yours: run norvexctl as its user or as root", err)
        # Past a loosened file mode, the gateway still knows the peer for another user.
        os.chmod(control, 0o666)
        for request in ("status", "disconnect", "reload"):
            code, err = as_nobody(*([request, "COM1"] if request == "disconnect" else [request]))
            self.assertEqual(code, 1, err)
            self.assertIn("the gateway: only the gateway's own user and root may use its control "
                          "channel", err)
        self.assertIn("COM1  free", self.ctl("status")[0])

    def test_a_garbage_request_leaves_the_gateway_serving(self):
        device = self.add_port("COM1", "connect_message=UP\\r\\n")
        self.start()
        control = os.path.join(self.directory, "NORVEX.CTL")
        replies = []
        for garbage in (b"\xff\xfe\x00garbage\n", b"A" * 5000 + b"\n", os.urandom(100000), b"stat",
                        b"", b"disconnect " + b"C" * 300 + b"\n", b"reload now\n"):
            client = socket.socket(socket.AF_UNIX)
            client.settimeout(LIMIT_S)
            client.connect(control)
            try:
                client.sendall(garbage)
                client.shutdown(socket.SHUT_WR)
                reply = b""
                while True:
                    chunk = client.recv(4096)
                    if not chunk:
                        break
                    reply += chunk
            except OSError:
                reply = b"<reset>"
            client.close()
            replies.append(reply)
        self.assertEqual(replies[0], b"error input request holds control bytes: \\xFF\\xFE\\x00garbage\n")
        self.assertEqual(replies[1], b"error input request longer than 255 bytes\n")
        self.assertEqual(replies[3], b"")  # ended before a whole line: owed nothing
        self.assertEqual(replies[5], b"error input request longer than 255 bytes\n")
        self.assertTrue(replies[6].startswith(b"error input unknown request reload now"), replies[6])

        caller = self.call()
        self.assertTrue(caller.read_until(b"UP\r\n"), caller.received)
        caller.send(b"fine")
        self.assertTrue(device.wait_for(b"fine"))
        self.assertIn("COM1  127.0.0.1", self.ctl("status")[0])
        self.assertEqual(self.gateway.process.poll(), None)

    def test_without_a_gateway(self):
        _, err = self.ctl("status", expect=1)
        self.assertIn("no norvex runs in %s" % self.directory, err)
        self.ctl("reload", expect=1)
        self.ctl("disconnect", "COM1", expect=1)
        out, _ = self.ctl("port", "add", "COM1")
        self.assertIn("no norvex runs in %s; it takes the file when it starts" % self.directory, out)
        # A gateway that was killed leaves its socket file; nothing answers on it.
        self.start()
        self.gateway.process.kill()
        self.gateway.process.wait(LIMIT_S)
        self.assertTrue(os.path.exists(os.path.join(self.directory, "NORVEX.CTL")))
        self.ctl("status", expect=1)
        self.gateway.process.stderr.close()
        self.gateway = base.Gateway(self.directory)
        self.gateway.start()  # the next one replaces the left-over socket
        self.assertIn("COM1  free", self.ctl("status")[0])


if __name__ == "__main__":
    base.NORVEX, NORVEXCTL = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
