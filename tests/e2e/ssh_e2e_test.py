#!/usr/bin/env python3
"""Callers over SSH end to end: the built norvex with NORVEX.INI's ssh_port, ptys as equipment and
OpenSSH's own client (ssh) as the caller, with keys made by ssh-keygen.

usage: ssh_e2e_test.py NORVEX NORVEXCTL [unittest arguments, e.g. a test name]
"""
import hashlib
import importlib.util
import os
import pty
import select
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import tty
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location("norvex_e2e", os.path.join(HERE, "norvex_e2e_test.py"))
base = importlib.util.module_from_spec(spec)
spec.loader.exec_module(base)

LIMIT_S = base.LIMIT_S
NORVEXCTL = None


class SshCaller:
    """OpenSSH's client in batch mode, its standard input and output as the caller's two ways."""

    def __init__(self, port, key, user="alice", extra=(), command=(), tty_mode="-T", read=True):
        self.process = subprocess.Popen(
            ["ssh", "-F", "/dev/null", "-p", str(port), "-i", key, "-o", "IdentitiesOnly=yes",
             "-o", "IdentityAgent=none", "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=no",
             "-o", "UserKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR", "-e", "none", tty_mode,
             *extra, "%s@127.0.0.1" % user, *command],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.received = b""
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read if read else lambda: None, daemon=True)
        self.thread.start()

    def _read(self):
        while True:
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                return
            with self.lock:
                self.received += chunk

    def read_until(self, wanted, limit_s=LIMIT_S):
        deadline = time.monotonic() + limit_s
        while time.monotonic() < deadline:
            with self.lock:
                if wanted in self.received:
                    return True
            if not self.thread.is_alive():
                break
            time.sleep(0.02)
        with self.lock:
            return wanted in self.received

    def read_until_count(self, count, limit_s=LIMIT_S):
        deadline = time.monotonic() + limit_s
        while time.monotonic() < deadline and self.thread.is_alive():
            with self.lock:
                if len(self.received) >= count:
                    return True
            time.sleep(0.02)
        return len(self.received) >= count

    def send(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def finish(self, limit_s=LIMIT_S):
        """Waits for ssh to end (the gateway closed the session); its exit code."""
        code = self.process.wait(limit_s)
        self.thread.join(limit_s)
        return code

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(LIMIT_S)
        self.thread.join(LIMIT_S)
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            stream.close()


class PtyBridge:
    """Copies between the equipment's pty and a program's pipes, both ways, until stopped."""

    def __init__(self, master, program):
        self.master = master
        self.program = program
        self.running = True
        self.threads = [threading.Thread(target=self._to_program, daemon=True),
                        threading.Thread(target=self._from_program, daemon=True)]
        for thread in self.threads:
            thread.start()

    def _to_program(self):
        while self.running:
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if ready:
                try:
                    self.program.stdin.write(os.read(self.master, 65536))
                    self.program.stdin.flush()
                except (OSError, ValueError):
                    return

    def _from_program(self):
        while True:
            chunk = os.read(self.program.stdout.fileno(), 65536)
            if not chunk:
                return
            while chunk:
                chunk = chunk[os.write(self.master, chunk):]

    def stop(self):
        self.running = False
        for thread in self.threads:
            thread.join(LIMIT_S)


def make_key(directory, name):
    path = os.path.join(directory, name)
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", name, "-f", path],
                   check=True)
    with open(path + ".pub") as public:
        return path, public.read().strip()


def options_block(telnet_port, greeting=base.GREETING, busy=b"*** BUSY\r\n"):
    return (base.text_field(busy, 256) + base.text_field("*** COM PORT ERROR\r\n", 256)
            + base.text_field("*** CONNECT ERROR\r\n", 256) + base.text_field(greeting, 256)
            + bytes(512) + base.struct.pack("<iii", telnet_port, 0, 1)
            + base.text_field("access.log", 244))


class SshEndToEnd(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="norvex-ssh-e2e-")
        self.port = base.free_port()
        self.ssh_port = base.free_port()
        self.gateway = base.Gateway(self.directory)
        self.equipment = []
        self.callers = []
        self.key, public = make_key(self.directory, "alice_key")
        self.write("authorized_keys", public + "\n", 0o600)
        self.write("NORVEX.INI", "# SSH callers\nssh_port = %d\n" % self.ssh_port)

    def tearDown(self):
        for caller in self.callers:
            caller.close()
        self.gateway.stop()
        for equipment in self.equipment:
            equipment.close()

    def write(self, name, text, mode=0o644):
        path = os.path.join(self.directory, name)
        with open(path, "w") as out:
            out.write(text)
        os.chmod(path, mode)

    def configure(self, *ports, greeting=base.GREETING):
        with open(os.path.join(self.directory, "NORVEX.DAT"), "wb") as out:
            out.write(options_block(self.port, greeting) + b"".join(ports))

    def attach(self, name="COM1"):
        equipment = base.Equipment(self.directory, name)
        self.equipment.append(equipment)
        return equipment

    def call(self, user="alice", key=None, **options):
        caller = SshCaller(self.ssh_port, key or self.key, user, **options)
        self.callers.append(caller)
        return caller

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

    def norvexctl(self, *arguments):
        return subprocess.run([NORVEXCTL, "-C", self.directory, *arguments], capture_output=True,
                              timeout=LIMIT_S)

    def test_a_known_key_gets_the_greeting_and_data_both_ways(self):
        self.configure(base.port_block("COM1", connect="CONNECTED\r\n", disconnect="BYE\r\n"))
        device = self.attach()
        self.gateway.start()
        self.assertTrue(self.gateway.wait_said(b"host key SHA256:"), self.gateway.said)
        key_mode = os.stat(os.path.join(self.directory, "ssh_host_ed25519_key")).st_mode
        self.assertEqual(stat.S_IMODE(key_mode), 0o600)

        shown = self.norvexctl("show")
        fingerprint = self.gateway.said.split(b"host key ")[1].split(b"\n")[0]
        self.assertIn(b"ssh_host_key", shown.stdout)
        self.assertIn(fingerprint, shown.stdout)

        caller = self.call("alice")
        self.assertTrue(caller.read_until(base.GREETING + b"CONNECTED\r\n"), caller.received)
        self.assertEqual(caller.received, base.GREETING + b"CONNECTED\r\n")
        status = self.norvexctl("status")
        self.assertIn(b"alice@127.0.0.1", status.stdout, status)

        caller.send(b"typed\r")
        self.assertTrue(device.wait_for(b"typed\r"), device.received)
        device.send(b"from the equipment\r\n")
        self.assertTrue(caller.read_until(b"from the equipment\r\n"), caller.received)
        caller.process.stdin.close()  # the caller leaves
        self.assertEqual(caller.finish(), 0)
        self.assertTrue(caller.received.endswith(b"from the equipment\r\nBYE\r\n"), caller.received)
        line = self.log_lines(1)[0]
        self.assertRegex(line, rb"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d \d{4}/\d\d/\d\d \d\d:\d\d:\d\d  COM1 127\.0\.0\.1$")

    def test_an_unknown_key_is_refused_and_reaches_no_port(self):
        self.configure(base.port_block("COM1"))
        device = self.attach()
        self.gateway.start()
        stranger, _ = make_key(self.directory, "stranger_key")
        caller = self.call("COM1", key=stranger)
        self.assertEqual(caller.finish(), 255)
        self.assertIn(b"Permission denied", caller.process.stderr.read())
        line = self.log_lines(1)[0]
        self.assertIn(b"initialize fail", line)
        self.assertEqual(device.received, b"")

    def test_refusals_other_ways_in_and_unsafe_key_files(self):
        self.configure(base.port_block("COM1"))
        device = self.attach()
        self.gateway.start()
        # A command, a subsystem and a remote forwarding are refused; so are passwords.
        caller = self.call("alice", command=("uname",))
        self.assertNotEqual(caller.finish(), 0)
        caller = self.call("alice", extra=("-s",), command=("sftp",))
        self.assertNotEqual(caller.finish(), 0)
        caller = self.call("alice", extra=("-N", "-o", "ExitOnForwardFailure=yes", "-R",
                                           "127.0.0.1:0:127.0.0.1:22"))
        self.assertEqual(caller.finish(), 255)
        caller = self.call("alice", extra=("-o", "PreferredAuthentications=password,keyboard-interactive"))
        self.assertEqual(caller.finish(), 255)
        # An authorized_keys that others may write is not believed, as sshd does.
        os.chmod(os.path.join(self.directory, "authorized_keys"), 0o664)
        caller = self.call("alice")
        self.assertEqual(caller.finish(), 255)
        self.assertEqual(device.received, b"")

    def test_the_user_name_picks_the_port_and_busy_gets_the_busy_message(self):
        self.configure(base.port_block("COM1", connect="ONE\r\n"), base.port_block("COM2", connect="TWO\r\n"))
        self.attach("COM1")
        second = self.attach("COM2")
        self.gateway.start()
        caller = self.call("com2")
        self.assertTrue(caller.read_until(b"TWO\r\n"), caller.received)
        caller.send(b"for two\r")
        self.assertTrue(second.wait_for(b"for two\r"))
        other = self.call("COM2")
        self.assertTrue(other.read_until(b"*** BUSY\r\n"), other.received)
        self.assertEqual(other.finish(), 0)
        self.assertNotIn(b"ONE", other.received)
        anyone = self.call("bob")
        self.assertTrue(anyone.read_until(b"ONE\r\n"), anyone.received)

    def test_an_address_rule_denies_an_ssh_caller(self):
        only_tens = base.address_rule([10, 0, 0, 0], 8, 1)
        self.configure(base.port_block("COM1", rules=[only_tens]))
        device = self.attach()
        self.gateway.start()
        caller = self.call("COM1")
        self.assertTrue(caller.read_until(b"*** BUSY\r\n"), caller.received)
        self.assertEqual(caller.finish(), 0)
        self.assertIn(b"all port busy", self.log_lines(1)[0])
        self.assertEqual(device.received, b"")

    def test_every_byte_value_both_ways(self):
        self.configure(base.port_block("COM1"), greeting=b"")
        device = self.attach()
        self.gateway.start()
        caller = self.call("COM1")
        everything = bytes(range(256)) * 64
        device.send(b"up")  # the call is up once the equipment's first bytes come through
        self.assertTrue(caller.read_until(b"up"))
        caller.send(everything)
        self.assertTrue(device.wait_count(len(everything)), len(device.received))
        self.assertEqual(device.received, everything)
        device.send_all(everything)
        self.assertTrue(caller.read_until_count(2 + len(everything)))
        self.assertEqual(caller.received, b"up" + everything)

    def test_zmodem_transfers_of_a_mebibyte_both_ways(self):
        self.configure(base.port_block("COM1"), greeting=b"")
        master, slave = pty.openpty()
        tty.setraw(slave)
        os.symlink(os.ttyname(slave), os.path.join(self.directory, "COM1"))
        self.gateway.start()
        payload = os.urandom(1024 * 1024)
        source = os.path.join(self.directory, "payload.bin")
        with open(source, "wb") as out:
            out.write(payload)
        try:
            for number, direction in enumerate(("to_caller", "to_equipment"), 1):
                work = tempfile.mkdtemp(dir=self.directory)
                caller = self.call("COM1", read=False)
                sender, receiver = ["sz", "-q", "-b", source], ["rz", "-q", "-b", "-E"]
                caller_side = sender if direction == "to_equipment" else receiver
                equipment_side = receiver if direction == "to_equipment" else sender
                # lrzsz sets up the terminal it runs on and flushes it when it ends; on the pty
                # itself that would drop the last bytes of either side, so it talks through pipes.
                at_caller = subprocess.Popen(caller_side, cwd=work, stdin=caller.process.stdout,
                                             stdout=caller.process.stdin, stderr=subprocess.DEVNULL)
                at_equipment = subprocess.Popen(equipment_side, cwd=work, stdin=subprocess.PIPE,
                                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                bridge = PtyBridge(master, at_equipment)
                self.assertEqual(at_equipment.wait(120), 0, direction)
                self.assertEqual(at_caller.wait(120), 0, direction)
                bridge.stop()
                with open(os.path.join(work, "payload.bin"), "rb") as got:
                    self.assertEqual(hashlib.sha256(got.read()).hexdigest(),
                                     hashlib.sha256(payload).hexdigest(), direction)
                caller.process.stdin.close()
                self.assertEqual(caller.finish(), 0)
                self.assertEqual(len(self.log_lines(number)), number)
        finally:
            os.close(master)
            os.close(slave)

    def test_norvexctl_turns_ssh_on_and_off_and_a_reload_takes_it(self):
        os.remove(os.path.join(self.directory, "NORVEX.INI"))
        self.configure(base.port_block("COM1", connect="CONNECTED\r\n"))
        self.attach()
        self.gateway.start()
        self.assertFalse(os.path.exists(os.path.join(self.directory, "ssh_host_ed25519_key")))
        result = self.norvexctl("options", "set", "ssh_port=%d" % self.ssh_port)
        self.assertEqual(result.returncode, 0, result)
        self.assertIn(b"SSH callers on port %d; host key SHA256:" % self.ssh_port, result.stdout)
        caller = self.call("alice")
        self.assertTrue(caller.read_until(b"CONNECTED\r\n"), caller.received)
        result = self.norvexctl("options", "set", "ssh_port=0")
        self.assertEqual(result.returncode, 0, result)
        self.assertIn(b"SSH port closed", result.stdout)
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", self.ssh_port), timeout=LIMIT_S).close()
        caller.send(b"still here\r")  # the call that came in by it goes on
        self.assertTrue(self.equipment[0].wait_for(b"still here\r"))

    def test_forced_disconnect_idle_keyword_and_stop_end_ssh_calls_in_order(self):
        self.configure(base.port_block("COM1", disconnect="BYE\r\n"),
                       base.port_block("COM2", idle_s=1, disconnect="BYE\r\n"),
                       base.port_block("COM3", keyword="LOGOFF", disconnect="BYE\r\n"),
                       base.port_block("COM4"), base.port_block("COM5"))
        devices = [self.attach("COM%d" % n) for n in range(1, 6)]

        self.gateway.start()
        forced = self.call("COM1")
        devices[0].send(b"hello")
        self.assertTrue(forced.read_until(b"hello"))
        result = self.norvexctl("disconnect", "COM1")
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(forced.finish(), 0)
        self.assertNotIn(b"BYE", forced.received)
        self.assertIn(b"transfer fail", self.log_lines(1)[0])

        idle = self.call("COM2")
        self.assertEqual(idle.finish(), 0)
        self.assertTrue(idle.received.endswith(b"BYE\r\n"), idle.received)

        keyword = self.call("COM3")
        devices[2].send(b"bye now LOGOFF")
        self.assertEqual(keyword.finish(), 0)
        self.assertTrue(keyword.received.endswith(b"LOGOFFBYE\r\n"), keyword.received)
        lines = self.log_lines(3)
        self.assertEqual([line[41:45].strip() for line in lines], [b"COM1", b"COM2", b"COM3"])

        held = [self.call("COM4"), self.call("COM5")]
        devices[3].send(b"four")
        devices[4].send(b"five")
        self.assertTrue(held[0].read_until(b"four"))
        self.assertTrue(held[1].read_until(b"five"))
        self.assertEqual(self.gateway.stop(), 0)
        for caller in held:
            self.assertEqual(caller.finish(), 0)
        lines = self.log_lines(5)
        self.assertEqual(sorted(line[41:45].strip() for line in lines[3:]), [b"COM4", b"COM5"])
        self.assertTrue(all(b"transfer fail" in line for line in lines[3:]), lines)


if __name__ == "__main__":
    base.NORVEX = sys.argv[1]
    NORVEXCTL = sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:])
