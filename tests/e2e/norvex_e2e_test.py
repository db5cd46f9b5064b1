#!/usr/bin/env python3
"""The built norvex program end to end: a pty pair plays the serial equipment, loopback sockets and
Debian's telnet client play the callers, and NORVEX.DAT is written here from its documented layout.

usage: norvex_e2e_test.py NORVEX_PROGRAM TELNET_CLIENT [unittest arguments, e.g. a test name]
"""
import os
import pty
import random
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import tty
import unittest

LIMIT_S = 20  # generous: other builds share the machine
STOP_GRACE_S = 20  # for norvex to end after SIGTERM; its own stop gives up after 15 s
NORVEX = None
TELNET = None
OFFERS = bytes([255, 251, 0, 255, 253, 0, 255, 251, 1, 255, 251, 3, 255, 253, 3])
GREETING = b"*** CONNECT NORVEX\r\n"


def text_field(text, size):
    data = text.encode("latin-1") if isinstance(text, str) else text
    assert len(data) < size
    return data + bytes(size - len(data))


def options_block(telnet_port, log_name="access.log"):
    return (text_field("*** BUSY\r\n", 256) + text_field("*** COM PORT ERROR\r\n", 256)
            + text_field("*** CONNECT ERROR\r\n", 256) + text_field(GREETING, 256)
            + bytes(512) + struct.pack("<iii", telnet_port, 0, 1) + text_field(log_name, 244))


def address_rule(octets, prefix, permit):
    return struct.pack("<i", 1) + bytes(octets) + bytes([prefix]) + bytes(59) + struct.pack("<ii", 0, permit)


def port_block(name, rules=(), autopilot="", connect="", disconnect="", keyword="", idle_s=0,
               flow=0):
    table = b"".join(rules) + bytes(76 * (64 - len(rules)))
    head = text_field(name, 16) + struct.pack("<iiiiiiii", 0, 0, 0, 9600, flow, 5000, 5000, idle_s)
    tail = (bytes([8, 0, 0, 0]) + struct.pack("<ii", 0, 0) + text_field(autopilot, 256)
            + text_field(connect, 256) + text_field(disconnect, 256) + text_field(keyword, 256)
            + bytes(2500))
    block = head + table + tail
    assert len(block) == 8448
    return block


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Equipment:
    """A pty whose device is linked as NAME in the gateway's directory; the test holds the master."""

    def __init__(self, directory, name="COM1"):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        os.symlink(os.ttyname(self.slave), os.path.join(directory, name))
        self.received = b""
        self.replies = []  # (wanted, reply): sent once when `wanted` arrives
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while self.running:
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if not ready:
                continue
            try:
                chunk = os.read(self.master, 4096)
            except OSError:
                time.sleep(0.05)  # nobody has the device open
                continue
            with self.lock:
                self.received += chunk
                for rule in list(self.replies):
                    if rule[0] in self.received:
                        self.replies.remove(rule)
                        os.write(self.master, rule[1])

    def reply(self, wanted, reply):
        with self.lock:
            self.replies.append((wanted, reply))

    def send(self, data):
        os.write(self.master, data)

    def send_all(self, data):
        while data:
            data = data[os.write(self.master, data):]

    def wait_count(self, count, limit_s=LIMIT_S):
        deadline = time.monotonic() + limit_s
        while time.monotonic() < deadline:
            with self.lock:
                if len(self.received) >= count:
                    return True
            time.sleep(0.02)
        return False

    def wait_for(self, wanted, limit_s=LIMIT_S):
        deadline = time.monotonic() + limit_s
        while time.monotonic() < deadline:
            with self.lock:
                if wanted in self.received:
                    return True
            time.sleep(0.02)
        return False

    def close(self):
        self.running = False
        self.thread.join()
        os.close(self.master)
        os.close(self.slave)


class Gateway:
    """norvex running in a directory of its own."""

    def __init__(self, directory):
        self.directory = directory
        self.process = None
        self.said = b""

    def start(self, expect_listening=True):
        self.process = subprocess.Popen([NORVEX], cwd=self.directory, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if expect_listening and not self.wait_said(b"listening on telnet port"):
            raise AssertionError("norvex did not start listening; said %r" % self.said)

    def wait_said(self, wanted, limit_s=LIMIT_S):
        deadline = time.monotonic() + limit_s
        while wanted not in self.said and time.monotonic() < deadline:
            ready, _, _ = select.select([self.process.stderr], [], [], 0.1)
            if ready:
                chunk = os.read(self.process.stderr.fileno(), 4096)
                if not chunk:
                    break
                self.said += chunk
        return wanted in self.said

    def finish(self, limit_s=LIMIT_S):
        """Waits for the program to end; its exit code."""
        code = self.process.wait(limit_s)
        self.said += self.process.stderr.read()
        return code

    def stop(self):
        """SIGTERM, then the program's exit code. A program still running after the grace period
        is killed by its process id and its directory removed, and the test fails: none is left
        behind to run on."""
        if self.process is None:
            return None
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.finish(STOP_GRACE_S)
        except subprocess.TimeoutExpired:
            os.kill(self.process.pid, signal.SIGKILL)
            self.process.wait()
            self.process.stderr.close()
            shutil.rmtree(self.directory, ignore_errors=True)
            raise AssertionError("norvex (pid %d) did not end within %d s of SIGTERM; killed, its "
                                 "directory %s removed" % (self.process.pid, STOP_GRACE_S,
                                                           self.directory)) from None


class Caller:
    """A raw telnet caller: a socket that stays silent during the negotiation."""

    def __init__(self, port, source="127.0.0.1"):
        self.socket = socket.socket()
        self.socket.bind((source, 0))
        self.socket.connect(("127.0.0.1", port))
        self.received = b""
        self.closed = False

    def read_until(self, wanted, limit_s=LIMIT_S):
        deadline = time.monotonic() + limit_s
        while wanted not in self.received and not self.closed and time.monotonic() < deadline:
            ready, _, _ = select.select([self.socket], [], [], 0.05)
            if ready:
                chunk = self.socket.recv(4096)
                if not chunk:
                    self.closed = True
                self.received += chunk
        return wanted in self.received

    def read_until_count(self, count, limit_s=LIMIT_S):
        deadline = time.monotonic() + limit_s
        while len(self.received) < count and not self.closed and time.monotonic() < deadline:
            self.read_until(b"\0never\0", 0.1)
        return len(self.received) >= count

    def read_until_closed(self, limit_s=LIMIT_S):
        deadline = time.monotonic() + limit_s
        while not self.closed and time.monotonic() < deadline:
            self.read_until(b"\0never\0", 0.1)
        return self.closed

    def send(self, data):
        self.socket.sendall(data)

    def close(self):
        self.socket.close()


class NorvexEndToEnd(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="norvex-e2e-")
        self.port = free_port()
        self.gateway = Gateway(self.directory)
        self.equipment = []

    def tearDown(self):
        try:
            self.gateway.stop()
        finally:
            for equipment in self.equipment:
                equipment.close()
            shutil.rmtree(self.directory, ignore_errors=True)

    def configure(self, *ports):
        with open(os.path.join(self.directory, "NORVEX.DAT"), "wb") as out:
            out.write(options_block(self.port) + b"".join(ports))

    def attach_equipment(self, name="COM1"):
        equipment = Equipment(self.directory, name)
        self.equipment.append(equipment)
        return equipment

    def log_lines(self, count, limit_s=LIMIT_S):
        path = os.path.join(self.directory, "access.log")
        deadline = time.monotonic() + limit_s
        lines = []
        while time.monotonic() < deadline:
            if os.path.exists(path):
                with open(path, "rb") as log:
                    lines = log.read().split(b"\r\n")[:-1]
                if len(lines) >= count:
                    break
            time.sleep(0.05)
        return lines

    def test_a_whole_call_with_exact_bytes(self):
        self.configure(port_block("COM1", autopilot="AT\\r{5000}[OK]", connect="CONNECTED\r\n",
                                  disconnect="BYE\r\n", keyword="LOGOFF"))
        device = self.attach_equipment()
        device.reply(b"AT\r", b"\r\nOK")
        self.gateway.start()
        caller = Caller(self.port)
        self.assertTrue(caller.read_until(b"CONNECTED\r\n"), caller.received)
        self.assertEqual(caller.received, OFFERS + GREETING + b"CONNECTED\r\n")

        caller.send(b"ab\xff\xffcd")
        self.assertTrue(device.wait_for(b"AT\rab\xffcd"), device.received)
        device.send(b"x\xffy")
        self.assertTrue(caller.read_until(b"x\xff\xffy"), caller.received)
        device.send(b"...LOGOFF")
        self.assertTrue(caller.read_until_closed())
        self.assertTrue(caller.received.endswith(b"x\xff\xffy...LOGOFFBYE\r\n"), caller.received)

        line = self.log_lines(1)[0]
        self.assertRegex(line, rb"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d \d{4}/\d\d/\d\d \d\d:\d\d:\d\d  COM1 127\.0\.0\.1$")
        self.assertTrue(self.gateway.wait_said(b"COM1 free"), self.gateway.said)

    def test_streams_of_every_byte_value_get_through_whole_both_ways_at_once(self):
        # 255s alone, doubled and in long runs fall on every place of the 1 KiB blocks.
        rng = random.Random(7)
        upstream = bytes(rng.randrange(256) for _ in range(200000)) + b"\xff" * 3000 + b"end"
        downstream = b"\xff" * 3001 + bytes(rng.randrange(256) for _ in range(200000)) + b"end"
        self.configure(port_block("COM1"))  # no flow control: every byte is data
        device = self.attach_equipment()
        self.gateway.start()
        caller = Caller(self.port)
        self.assertTrue(caller.read_until(GREETING), caller.received)
        start = len(caller.received)

        # Both sides write from threads of their own while this one reads the caller's side.
        senders = [threading.Thread(target=caller.send,
                                    args=(upstream.replace(b"\xff", b"\xff\xff"),)),
                   threading.Thread(target=device.send_all, args=(downstream,))]
        for sender in senders:
            sender.start()
        expected = downstream.replace(b"\xff", b"\xff\xff")
        self.assertTrue(caller.read_until_count(start + len(expected)), len(caller.received))
        for sender in senders:
            sender.join(LIMIT_S)
        self.assertEqual(caller.received[start:], expected)
        self.assertTrue(device.wait_count(len(upstream)), len(device.received))
        self.assertEqual(device.received, upstream)
        caller.close()

    def test_permission_refusal_by_source_address(self):
        self.configure(port_block("COM1", rules=[address_rule([127, 0, 0, 2], 32, 0),
                                                 address_rule([0, 0, 0, 0], 0, 1)]))
        self.attach_equipment()
        self.gateway.start()
        refused = Caller(self.port, source="127.0.0.2")
        self.assertTrue(refused.read_until_closed())
        self.assertEqual(refused.received, OFFERS + GREETING + b"*** BUSY\r\n")
        line = self.log_lines(1)[0]
        self.assertEqual(line[19:], b" " + b"all port busy".ljust(20) + b" " * 6 + b"127.0.0.2")

        admitted = Caller(self.port, source="127.0.0.3")
        self.assertTrue(admitted.read_until(GREETING))
        self.assertFalse(admitted.read_until(b"BUSY", 1.0))

    def test_port_error_for_a_device_that_cannot_open(self):
        self.configure(port_block("COM2"))
        os.symlink("/nonexistent/tty", os.path.join(self.directory, "COM2"))
        self.gateway.start()
        caller = Caller(self.port)
        self.assertTrue(caller.read_until_closed())
        self.assertEqual(caller.received, OFFERS + GREETING + b"*** COM PORT ERROR\r\n")
        self.assertEqual(self.log_lines(1)[0][19:], b" com port attach fail" + b" COM2 127.0.0.1")

    def test_idle_end(self):
        self.configure(port_block("COM1", disconnect="IDLE BYE\r\n", idle_s=1))
        self.attach_equipment()
        self.gateway.start()
        caller = Caller(self.port)
        self.assertTrue(caller.read_until(GREETING))
        started = time.monotonic()
        self.assertTrue(caller.read_until_closed())
        self.assertGreaterEqual(time.monotonic() - started, 0.8)
        self.assertTrue(caller.received.endswith(b"IDLE BYE\r\n"))

    def test_dtr_dsr_flow_on_a_device_without_modem_lines(self):
        # A pty has no DSR to hold output by: DR/ER flow control must not stop the call.
        self.configure(port_block("COM1", flow=2, keyword="BYE"))
        device = self.attach_equipment()
        self.gateway.start()
        caller = Caller(self.port)
        self.assertTrue(caller.read_until(GREETING))
        caller.send(b"to the device")
        self.assertTrue(device.wait_for(b"to the device"), device.received)
        device.send(b"to the caller BYE")
        self.assertTrue(caller.read_until_closed())
        self.assertTrue(caller.received.endswith(b"to the caller BYE"), caller.received)

    def test_sigterm_during_a_call(self):
        self.configure(port_block("COM1", disconnect="never sent\r\n"))
        device = self.attach_equipment()
        self.gateway.start()
        caller = Caller(self.port)
        self.assertTrue(caller.read_until(GREETING))
        caller.send(b"hello")
        self.assertTrue(device.wait_for(b"hello"))
        self.gateway.process.send_signal(signal.SIGTERM)
        self.assertEqual(self.gateway.finish(), 0)
        self.assertTrue(caller.read_until_closed(5))
        self.assertNotIn(b"never sent", caller.received)
        self.assertEqual(self.log_lines(1)[0][20:46], b"transfer fail".ljust(20) + b" COM1 ")
        self.assertIn(b"stopping", self.gateway.said)
        self.assertIn(b"stopped", self.gateway.said)

    def test_second_instance_touches_nothing(self):
        self.configure(port_block("COM1"))
        self.attach_equipment()
        self.gateway.start()
        before = os.stat(os.path.join(self.directory, "NORVEX.DAT"))
        second = subprocess.run([NORVEX], cwd=self.directory, capture_output=True, timeout=LIMIT_S)
        self.assertEqual(second.returncode, 0)
        self.assertIn(b"another instance", second.stderr)
        after = os.stat(os.path.join(self.directory, "NORVEX.DAT"))
        self.assertEqual((before.st_mtime_ns, before.st_size), (after.st_mtime_ns, after.st_size))
        caller = Caller(self.port)  # the first instance still serves
        self.assertTrue(caller.read_until(GREETING))

    def test_start_up_failures_end_with_a_nonzero_code(self):
        with open(os.path.join(self.directory, "NORVEX.DAT"), "wb") as out:
            out.write(options_block(self.port) + bytes(100))  # a short last record
        self.gateway.start(expect_listening=False)
        self.assertEqual(self.gateway.finish(), 1)
        self.assertIn("設定ファイルの読み込みに失敗しました".encode(), self.gateway.said)

        self.configure()
        with socket.socket() as holder:
            holder.bind(("0.0.0.0", self.port))
            holder.listen()
            gateway = Gateway(self.directory)
            gateway.start(expect_listening=False)
            self.assertEqual(gateway.finish(), 1)
            self.assertIn(b"%d" % self.port, gateway.said)

    def test_fresh_directory_gets_the_default_settings(self):
        self.gateway.start(expect_listening=False)
        # Without a file the defaults listen on port 23, which needs privileges here or is taken;
        # either way the file has been created with the defaults.
        self.gateway.wait_said(b"NORVEX:", LIMIT_S)
        self.gateway.stop()
        with open(os.path.join(self.directory, "NORVEX.DAT"), "rb") as settings:
            data = settings.read()
        self.assertEqual(len(data), 1792)
        self.assertEqual(struct.unpack_from("<i", data, 1536)[0], 23)

    def test_real_telnet_client_session(self):
        self.configure(port_block("COM1", connect="WELCOME\r\n", keyword="GOODBYE"))
        device = self.attach_equipment()
        self.gateway.start()
        pid, terminal = pty.fork()
        if pid == 0:
            os.environ["TERM"] = "vt100"
            os.execvp(TELNET, [TELNET, "127.0.0.1", str(self.port)])
        screen = b""

        def wait_screen(wanted, limit_s=LIMIT_S):
            nonlocal screen
            deadline = time.monotonic() + limit_s
            while wanted not in screen and time.monotonic() < deadline:
                ready, _, _ = select.select([terminal], [], [], 0.05)
                if ready:
                    try:
                        chunk = os.read(terminal, 4096)
                    except OSError:
                        break
                    if not chunk:
                        break
                    screen += chunk
            return wanted in screen

        try:
            self.assertTrue(wait_screen(b"WELCOME"), screen)
            os.write(terminal, b"q")  # one key, no Enter: character at a time
            self.assertTrue(device.wait_for(b"q"), device.received)
            device.send(b"seen q\r\n")
            self.assertTrue(wait_screen(b"seen q"), screen)
            device.send(b"GOODBYE")
            self.assertTrue(wait_screen(b"Connection closed by foreign host"), screen)
        finally:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            os.waitpid(pid, 0)
            os.close(terminal)
        self.assertRegex(self.log_lines(1)[0], rb" \d\d:\d\d:\d\d  COM1 127\.0\.0\.1$")


if __name__ == "__main__":
    NORVEX, TELNET = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:], verbosity=2)
