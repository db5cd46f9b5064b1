#!/usr/bin/env python3
"""A storm of callers against the built norvex with nine ports on ptys, for a bounded time
(NORVEX_STORM_SECONDS, 60 by default): callers abandon at once (also ten at a time), during the
negotiation or mid-call, are refused by the permissions, stall, or stay and exchange data with the
equipment. Afterwards every call has its log line, the program's threads and memory are back where
they were, and a last caller gets a normal call. A second case sends SIGTERM in the middle of a
storm: the program stops in order, within its limit, without the forced stop.

usage: storm_e2e_test.py NORVEX_PROGRAM [unittest arguments, e.g. a test name]
"""
import os
import pty
import random
import select
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

NORVEX = None
SECONDS = int(os.environ.get("NORVEX_STORM_SECONDS", "60") or "60")
CALLERS = 32
BURST = 10
PORTS = 9
LIMIT_S = 20
GREETING = b"*** CONNECT NORVEX\r\n"
BUSY = b"*** BUSY\r\n"
CONNECTED = b"connected\r\n"
BYE = b"bye\r\n"
FORCED = "サーバスレッドは強制終了されました".encode()


def text_field(data, size):
    return data + bytes(size - len(data))


def settings_file(telnet_port):
    options = (text_field(BUSY, 256) + text_field(b"*** COM PORT ERROR\r\n", 256)
               + text_field(b"*** CONNECT ERROR\r\n", 256) + text_field(GREETING, 256)
               + bytes(512) + struct.pack("<iii", telnet_port, 0, 1) + text_field(b"access.log", 244))
    deny = struct.pack("<i", 1) + bytes([127, 0, 0, 66, 32]) + bytes(59) + struct.pack("<ii", 0, 0)
    allow = struct.pack("<i", 1) + bytes(64) + struct.pack("<ii", 0, 1)
    blocks = b""
    for number in range(1, PORTS + 1):
        blocks += (text_field(b"COM%d" % number, 16)
                   + struct.pack("<iiiiiiii", 0, 0, 0, 115200, 0, 5000, 5000, 0)
                   + deny + allow + bytes(76 * 62) + bytes([8, 0, 0, 0]) + struct.pack("<ii", 0, 0)
                   + bytes(256) + text_field(CONNECTED, 256) + text_field(BYE, 256)
                   + text_field(b"BYE!", 256) + bytes(2500))
    return options + blocks


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Equipment:
    """Nine ptys linked as COM1..COM9: they echo, and say BYE! on a '!'."""

    def __init__(self, directory):
        self.masters = []
        self.slaves = []
        for number in range(1, PORTS + 1):
            master, slave = pty.openpty()
            tty.setraw(slave)
            tty.setraw(master)
            os.set_blocking(master, False)
            os.symlink(os.ttyname(slave), os.path.join(directory, "COM%d" % number))
            self.masters.append(master)
            self.slaves.append(slave)
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            ready, _, _ = select.select(self.masters, [], [], 0.05)
            for master in ready:
                try:
                    data = os.read(master, 65536)
                except OSError:
                    continue
                reply = b"BYE!" if b"!" in data else data
                try:
                    os.write(master, reply)
                except OSError:
                    pass  # the pty is full or nobody has it open: the equipment drops it

    def close(self):
        self.running = False
        self.thread.join()
        for fd in self.masters + self.slaves:
            os.close(fd)


class Caller:
    def __init__(self, port, source="127.0.0.1"):
        self.socket = socket.socket()
        try:
            self.socket.bind((source, 0))
            self.socket.settimeout(LIMIT_S)
            self.socket.connect(("127.0.0.1", port))
        except OSError:
            self.socket.close()
            raise
        self.received = b""
        self.closed = False

    def read_until(self, wanted, limit_s=LIMIT_S):
        deadline = time.monotonic() + limit_s
        while wanted not in self.received and not self.closed and time.monotonic() < deadline:
            ready, _, _ = select.select([self.socket], [], [], 0.05)
            if ready:
                try:
                    chunk = self.socket.recv(65536)
                except OSError:
                    chunk = b""
                if not chunk:
                    self.closed = True
                self.received += chunk
        return wanted in self.received

    def send(self, data):
        try:
            self.socket.sendall(data)
        except OSError:
            pass

    def close(self):
        self.socket.close()


class Counts:
    def __init__(self):
        self.lock = threading.Lock()
        self.values = {}
        self.surprises = []

    def add(self, name, caller=None):
        with self.lock:
            self.values[name] = self.values.get(name, 0) + 1
            if name == "unexpected" and len(self.surprises) < 5:
                self.surprises.append(caller.received[-80:])

    def get(self, name):
        with self.lock:
            return self.values.get(name, 0)


def process_figures(pid):
    """The program's thread count and resident memory in kB."""
    figures = {}
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            name, _, value = line.partition(":")
            if name in ("Threads", "VmRSS"):
                figures[name] = int(value.split()[0])
    return figures.get("Threads", -1), figures.get("VmRSS", -1)


def sanitizer_runtime(pid):
    """True when the program runs with a sanitizer's runtime: AddressSanitizer holds freed memory
    back (up to 256 MiB) and ThreadSanitizer grows its shadow, so resident memory says nothing of
    the program's own; its leak check at the exit covers what the figure is for."""
    with open("/proc/%d/maps" % pid) as maps:
        text = maps.read()
    return "libasan" in text or "libtsan" in text


class StormEndToEnd(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="norvex-storm-")
        self.port = free_port()
        with open(os.path.join(self.directory, "NORVEX.DAT"), "wb") as out:
            out.write(settings_file(self.port))
        self.equipment = Equipment(self.directory)
        self.process = subprocess.Popen([NORVEX], cwd=self.directory, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.said = b""
        self.reader = threading.Thread(target=self._read_stderr, daemon=True)
        self.reader.start()
        deadline = time.monotonic() + LIMIT_S
        while b"listening on telnet port" not in self.said and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertIn(b"listening on telnet port", self.said)

    def _read_stderr(self):
        for line in self.process.stderr:
            self.said += line

    def tearDown(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(LIMIT_S)
        self.reader.join(LIMIT_S)
        self.process.stderr.close()
        self.equipment.close()

    def log_lines(self):
        path = os.path.join(self.directory, "access.log")
        if not os.path.exists(path):
            return []
        with open(path, "rb") as log:
            return log.read().split(b"\r\n")[:-1]

    def wait_for(self, condition, limit_s):
        deadline = time.monotonic() + limit_s
        while not condition() and time.monotonic() < deadline:
            time.sleep(0.1)
        return condition()

    def normal_call(self):
        caller = Caller(self.port)
        try:
            if not caller.read_until(CONNECTED):
                return False
            caller.send(b"hello")
            if not caller.read_until(b"hello"):
                return False
            caller.send(b"!")
            return caller.read_until(BYE)
        finally:
            caller.close()

    def one_caller(self, kind, rng, counts):
        if kind == 6:  # many come at once and leave at once
            burst = []
            for _ in range(BURST):
                try:
                    burst.append(Caller(self.port))
                except OSError:
                    pass
            for caller in burst:
                counts.add("connections")
                counts.add("abandoned")
                caller.close()
            return
        try:
            caller = Caller(self.port, "127.0.0.66" if kind == 3 else "127.0.0.1")
        except OSError:
            return  # the program is stopping
        counts.add("connections")
        try:
            if kind == 0:
                counts.add("abandoned")
            elif kind == 1:
                time.sleep(rng.random() * 0.4)
                counts.add("abandoned")
            elif kind == 2:
                if caller.read_until(CONNECTED):
                    caller.send(b"abandoned mid-call")
                counts.add("abandoned")
            elif kind == 3:
                caller.read_until(BUSY)
                if GREETING + BUSY in caller.received:
                    counts.add("refused")
                elif not caller.closed:
                    counts.add("kept waiting" if not caller.received else "unexpected", caller)
            elif kind == 4:
                if caller.read_until(CONNECTED):
                    caller.send(b"s" * 8192)
                    time.sleep(0.2 + rng.random() * 0.8)
                    counts.add("stalled")
                elif BUSY in caller.received:
                    counts.add("busy")
            else:
                if not caller.read_until(CONNECTED):
                    if BUSY in caller.received:
                        counts.add("busy")
                    elif not caller.closed:
                        counts.add("kept waiting" if not caller.received else "unexpected",
                                   caller)
                    return
                caller.send(b"".join(b"data %d\r\n" % rng.getrandbits(32) for _ in range(40)))
                caller.send(b"!")
                if caller.read_until(BYE):
                    counts.add("calls")
                elif not caller.closed:
                    counts.add("unexpected", caller)
        finally:
            caller.close()

    def storm(self, seconds, counts, during=None):
        """Runs the callers for `seconds`; `during` runs on the main thread meanwhile. The peak
        thread count of the program."""
        stop_at = time.monotonic() + seconds
        kinds = [0, 0, 0, 1, 1, 2, 2, 3, 4, 5, 5, 5, 6]

        def caller_loop(index):
            rng = random.Random(1000 + index)
            while time.monotonic() < stop_at:
                self.one_caller(rng.choice(kinds), rng, counts)

        threads = [threading.Thread(target=caller_loop, args=(i,)) for i in range(CALLERS)]
        for thread in threads:
            thread.start()
        peak = 0
        if during is not None:
            during()
        while any(thread.is_alive() for thread in threads):
            if self.process.poll() is None:
                try:
                    peak = max(peak, process_figures(self.process.pid)[0])
                except OSError:
                    pass
            time.sleep(0.2)
        for thread in threads:
            thread.join()
        return peak

    def test_everything_is_given_back_after_the_storm(self):
        self.assertTrue(self.normal_call())
        self.assertTrue(self.wait_for(lambda: len(self.log_lines()) == 1, LIMIT_S))
        time.sleep(1)
        threads_before, memory_before = process_figures(self.process.pid)

        counts = Counts()
        started = time.monotonic()
        peak = self.storm(SECONDS, counts)
        took = time.monotonic() - started
        connections = counts.get("connections")

        self.assertTrue(self.wait_for(lambda: len(self.log_lines()) >= connections + 1, 60),
                        "%d lines for %d connections" % (len(self.log_lines()), connections + 1))
        self.assertEqual(len(self.log_lines()), connections + 1)
        self.assertEqual(counts.get("unexpected"), 0, counts.surprises)
        self.assertGreater(counts.get("calls"), 0)
        self.assertGreater(counts.get("refused"), 0)
        self.assertTrue(self.wait_for(
            lambda: process_figures(self.process.pid)[0] <= threads_before, 30),
            "threads: %d, before %d" % (process_figures(self.process.pid)[0], threads_before))
        memory_after = process_figures(self.process.pid)[1]
        if not sanitizer_runtime(self.process.pid):
            self.assertLess(memory_after - memory_before, 48 * 1024,
                            "memory: %d kB, before %d kB" % (memory_after, memory_before))
        self.assertTrue(self.normal_call())
        self.assertTrue(self.wait_for(lambda: len(self.log_lines()) == connections + 2, LIMIT_S))
        self.assertRegex(self.log_lines()[-1], rb"^\S+ \S+ \d{4}/\d\d/\d\d \d\d:\d\d:\d\d  COM\d ")
        self.assertNotIn(FORCED, self.said)
        print("storm (norvex on ptys): %d connections in %.0f s (%.1f per second); %s; "
              "peak %d threads (%d before); memory %d kB -> %d kB"
              % (connections, took, connections / took,
                 ", ".join("%d %s" % (value, name) for name, value in sorted(counts.values.items())
                           if name != "connections"),
                 peak, threads_before, memory_before, memory_after))

    def test_sigterm_during_the_storm_stops_in_order(self):
        counts = Counts()
        seconds = min(SECONDS, 20)
        result = {}

        def stop_halfway():
            time.sleep(seconds / 2)
            started = time.monotonic()
            self.process.send_signal(signal.SIGTERM)
            result["code"] = self.process.wait(LIMIT_S)
            result["took"] = time.monotonic() - started

        self.storm(seconds, counts, during=stop_halfway)
        self.reader.join(LIMIT_S)
        self.assertEqual(result.get("code"), 0)
        self.assertLess(result["took"], 10.0)
        self.assertIn(b"stopped", self.said)
        self.assertNotIn(FORCED, self.said)
        print("SIGTERM during the storm (norvex on ptys): exit code %d after %.2f s, %d connections"
              % (result["code"], result["took"], counts.get("connections")))


if __name__ == "__main__":
    NORVEX = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
