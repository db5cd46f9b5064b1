#!/usr/bin/env python3
"""File transfers through the built norvex program, as a user makes them: XMODEM-1K with Debian's
lrzsz, `sx -k` on one side and `rx` on the other, in both directions, and what the caller's socket
shows inside the running program. Nothing is timed: the transfers' durations go to the output
(scripts/bench.py measures them beside socat).

The equipment is a pty whose master this test pumps to and from the program's pipes; the caller
is a loopback socket behind a small telnet client that negotiates binary and undoes the doubling
of 255, pumped the same way. lrzsz flushes its input after each acknowledgement, which on a
terminal can discard the sender's next block; on a pipe the flush does nothing. Nothing is closed
before both programs have ended, so that no last acknowledgement is lost on the way.

usage: transfer_e2e_test.py NORVEX_PROGRAM SX_PROGRAM RX_PROGRAM [unittest arguments]
"""
import ctypes
import hashlib
import os
import pty
import random
import select
import socket
import subprocess
import sys
import threading
import time
import tty
import unittest

import norvex_e2e_test as e2e
from norvex_e2e_test import GREETING, port_block

SX = None
RX = None
FILE_SIZE = 256 * 1024  # whole 1 KiB blocks: XMODEM pads a short last block
TRANSFER_LIMIT_S = 180  # generous: lrzsz recovers a lost block by its own time-outs of 10 s

IAC, SB, SE, WILL, WONT, DO, DONT = 255, 250, 240, 251, 252, 253, 254
BINARY, ECHO, SGA = 0, 1, 3


class TelnetCaller:
    """A caller that answers the gateway's offers of binary, echo and go-ahead suppression, undoes
    the doubling of 255 in what it receives and doubles it in what it sends."""

    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port))
        self.state = "data"
        self.data = b""  # received data not yet handed to a program
        self.program = None
        self.send_lock = threading.Lock()
        self.threads = []

    def _send(self, data):
        with self.send_lock:
            self.socket.sendall(data)

    def _decode(self, chunk):
        """The data bytes of chunk; answers the commands in it."""
        out = bytearray()
        for byte in chunk:
            if self.state == "data":
                if byte == IAC:
                    self.state = "iac"
                else:
                    out.append(byte)
            elif self.state == "iac":
                if byte == IAC:
                    out.append(IAC)
                    self.state = "data"
                elif byte in (WILL, WONT, DO, DONT):
                    self.state = byte
                elif byte == SB:
                    self.state = "sb"
                else:
                    self.state = "data"  # a command without option
            elif self.state == "sb":
                self.state = "sb iac" if byte == IAC else "sb"
            elif self.state == "sb iac":
                self.state = "data" if byte == SE else "sb"
            else:
                verb, self.state = self.state, "data"
                if verb == WILL:
                    self._send(bytes([IAC, DO if byte in (BINARY, ECHO, SGA) else DONT, byte]))
                elif verb == DO:
                    self._send(bytes([IAC, WILL if byte in (BINARY, SGA) else WONT, byte]))
        return bytes(out)

    def read_until(self, wanted, limit_s=e2e.LIMIT_S):
        deadline = time.monotonic() + limit_s
        while wanted not in self.data and time.monotonic() < deadline:
            ready, _, _ = select.select([self.socket], [], [], 0.05)
            if ready:
                chunk = self.socket.recv(4096)
                if not chunk:
                    break
                self.data += self._decode(chunk)
        return wanted in self.data

    def attach(self, program):
        """From now on the program's input is what comes after the greeting, its output goes to
        the gateway."""
        rest = self.data[self.data.index(GREETING) + len(GREETING):]
        self.data = b""

        def inward():
            try:
                if rest:
                    program.stdin.write(rest)
                    program.stdin.flush()
                while True:
                    chunk = self.socket.recv(65536)
                    if not chunk:
                        break
                    data = self._decode(chunk)
                    if data:
                        program.stdin.write(data)
                        program.stdin.flush()
            except OSError:
                pass  # the program has ended (a broken pipe), or the call has

        def outward():
            try:
                while True:
                    chunk = os.read(program.stdout.fileno(), 65536)
                    if not chunk:
                        break
                    self._send(chunk.replace(b"\xff", b"\xff\xff"))
            except OSError:
                pass

        self.threads = [threading.Thread(target=inward, daemon=True),
                        threading.Thread(target=outward, daemon=True)]
        for thread in self.threads:
            thread.start()

    def close(self):
        try:
            self.socket.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        for thread in self.threads:
            thread.join(e2e.LIMIT_S)
        self.socket.close()


class PtyProgram:
    """A program on the equipment's side: pumped to and from the pty master the gateway's port is
    the slave of."""

    def __init__(self, master, program):
        self.master = master
        self.program = program
        self.running = True
        self.threads = [threading.Thread(target=self._inward, daemon=True),
                        threading.Thread(target=self._outward, daemon=True)]
        for thread in self.threads:
            thread.start()

    def _inward(self):
        try:
            while self.running:
                ready, _, _ = select.select([self.master], [], [], 0.05)
                if ready:
                    data = os.read(self.master, 65536)
                    self.program.stdin.write(data)
                    self.program.stdin.flush()
        except OSError:
            pass  # the program has ended

    def _outward(self):
        while True:
            chunk = os.read(self.program.stdout.fileno(), 65536)
            if not chunk:
                break
            while chunk:
                chunk = chunk[os.write(self.master, chunk):]

    def close(self):
        self.running = False
        for thread in self.threads:
            thread.join(e2e.LIMIT_S)


def start(arguments, directory, name):
    """The program, with what it says on its standard error kept in a file of the directory."""
    with open(os.path.join(directory, name + ".said"), "wb") as said:
        return subprocess.Popen(arguments, cwd=directory, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=said)


def finish(program, directory, name):
    """The program's exit code (None when it did not end in time) and what it said."""
    try:
        code = program.wait(TRANSFER_LIMIT_S)
    except subprocess.TimeoutExpired:
        program.kill()
        program.wait()
        code = None
    with open(os.path.join(directory, name + ".said"), "rb") as said:
        return code, said.read()


def accepted_socket_of(pid, caller):
    """The gateway's end of the caller's connection, taken out of the running program (a copy of
    its descriptor; the program's own stays as it is). None when this system does not let a test
    take another process's descriptors."""
    syscall = ctypes.CDLL(None, use_errno=True).syscall
    pidfd_getfd = 438  # the same number on every Linux architecture
    wanted = caller.getsockname()
    try:
        pidfd = os.pidfd_open(pid)
    except (AttributeError, OSError):
        return None
    try:
        for name in os.listdir("/proc/%d/fd" % pid):
            try:
                if not os.readlink("/proc/%d/fd/%s" % (pid, name)).startswith("socket:"):
                    continue
            except OSError:
                continue  # closed meanwhile
            copy = syscall(pidfd_getfd, pidfd, int(name), 0)
            if copy < 0:
                if ctypes.get_errno() in (1, 38):  # EPERM, ENOSYS
                    return None
                continue
            found = socket.socket(fileno=copy)
            try:
                if found.type == socket.SOCK_STREAM and found.getpeername() == wanted:
                    return found
            except OSError:
                pass  # a listening or local socket: no peer
            found.close()
    finally:
        os.close(pidfd)
    raise AssertionError("no socket of the program has the caller %r as its peer" % (wanted,))


class TransferEndToEnd(unittest.TestCase):
    setUp_directory = e2e.NorvexEndToEnd.setUp
    configure = e2e.NorvexEndToEnd.configure

    def setUp(self):
        self.setUp_directory()
        self.configure(port_block("COM1"))  # no flow control: every byte is data
        self.master, self.slave = pty.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)
        os.symlink(os.ttyname(self.slave), os.path.join(self.directory, "COM1"))
        self.programs = []
        self.equipment_side = None
        self.gateway.start()
        self.caller = TelnetCaller(self.port)
        self.assertTrue(self.caller.read_until(GREETING), self.caller.data)

    def tearDown(self):
        for program in self.programs:
            if program.poll() is None:
                program.kill()
                program.wait()
        self.caller.close()
        if self.equipment_side is not None:
            self.equipment_side.close()
        for program in self.programs:
            program.stdin.close()
            program.stdout.close()
        self.gateway.stop()
        os.close(self.master)
        os.close(self.slave)

    def transfer(self, sender_at_caller):
        rng = random.Random(24)
        content = bytes(rng.randrange(256) for _ in range(FILE_SIZE))
        content = content[:1000] + b"\xff" * 2100 + content[3100:]  # 255 alone and in runs
        with open(os.path.join(self.directory, "sent.bin"), "wb") as out:
            out.write(content)
        started = time.monotonic()
        # The sender first: it waits for the receiver's first request.
        sender = start([SX, "-k", "-q", "sent.bin"], self.directory, "sender")
        self.programs.append(sender)
        if sender_at_caller:
            self.caller.attach(sender)
        else:
            self.equipment_side = PtyProgram(self.master, sender)
        receiver = start([RX, "-c", "-q", "received.bin"], self.directory, "receiver")
        self.programs.append(receiver)
        if sender_at_caller:
            self.equipment_side = PtyProgram(self.master, receiver)
        else:
            self.caller.attach(receiver)
        receiver_code, receiver_said = finish(receiver, self.directory, "receiver")
        sender_code, sender_said = finish(sender, self.directory, "sender")
        took = time.monotonic() - started
        self.assertEqual((sender_code, receiver_code), (0, 0), (sender_said, receiver_said))
        with open(os.path.join(self.directory, "received.bin"), "rb") as received:
            got = received.read()
        self.assertEqual(len(got), len(content))
        self.assertEqual(hashlib.sha256(got).hexdigest(), hashlib.sha256(content).hexdigest())
        print("XMODEM-1K %s of %d KiB: %.2f s" % ("caller to equipment" if sender_at_caller
                                                  else "equipment to caller", FILE_SIZE // 1024,
                                                  took))

    def test_xmodem_1k_equipment_to_caller(self):
        self.transfer(sender_at_caller=False)

    def test_xmodem_1k_caller_to_equipment(self):
        self.transfer(sender_at_caller=True)

    def test_the_callers_socket_in_the_program_sends_at_once(self):
        accepted = accepted_socket_of(self.gateway.process.pid, self.caller.socket)
        if accepted is None:
            self.skipTest("this system does not let a process take another's descriptors")
        with accepted:
            self.assertEqual(accepted.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY), 1)
            self.assertEqual(accepted.getsockopt(socket.SOL_SOCKET, socket.SO_KEEPALIVE), 1)


if __name__ == "__main__":
    e2e.NORVEX, SX, RX = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
