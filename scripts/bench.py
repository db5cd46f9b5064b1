#!/usr/bin/env python3
"""Measures the Linux gateway beside socat as the floor, in one run.

Runs norvex in a scratch directory with COM1..COM9 linked to ptys whose masters this script plays
as echoing equipment, and socat relaying TCP to a pty the same way. Reports:
  - one-byte echo round trip through the gateway and through socat (p50, p99; medians of five
    rounds taking turns) and the median of the rounds' ratios, with how the processors idle;
  - throughput on the pty, caller to equipment and equipment to caller (medians of five rounds,
    gateway and socat taking turns, and the median of the rounds' ratios) and the CPU time the
    relaying process spent per megabyte; beside socat also socat with 1 KiB blocks, the gateway's;
  - request/response through the gateway and through socat (medians of five rounds taking turns,
    and the median of the rounds' ratios): the equipment sends a block of 1029 bytes (an
    XMODEM-1K block) and the caller answers with one byte, and the reverse; messages per second;
  - an XMODEM-1K transfer with lrzsz (sx -k, rx) both ways through the gateway and through socat
    (when lrzsz is installed): seconds;
  - time from connect to the data path (the connect message);
  - wake-ups per second and CPU milliseconds per 20 s while quiet: with no call, with one open
    call and with nine, beside socat with as many calls (one socat per call, as it serves one);
  - peak memory (VmHWM) with nine calls up;
  - SSH callers beside OpenSSH's server relaying to a pty with socat (scripts/bench_ssh.py): echo
    and throughput both ways, when ssh and sshd are installed (--no-ssh leaves them out).

With --control, only how long `norvexctl status` takes while 20 clients hold the control socket
open without a word (the channel lets each go after about a second, and serves others meanwhile).

usage: scripts/bench.py [--norvex build/native/src/norvex] [--quick]
       scripts/bench.py --control [--norvex ...] [--norvexctl build/native/src/norvexctl]
"""
import argparse
import os
import pty
import select
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import tty

GREETING = b"*** CONNECT NORVEX\r\n"
READY = b"*** DATA PATH ***\r\n"
# A message longer than the gateway's reads of 1 KiB, as an XMODEM-1K block with its CRC is; no
# 0xFF in it, so the gateway doubles nothing.
MESSAGE = bytes((i * 7 + 1) % 255 for i in range(1029))
ANSWER = b"\x06"


def text_field(data, size):
    return data + bytes(size - len(data))


def settings_file(telnet_port, ports):
    options = (text_field(b"*** BUSY\r\n", 256) + text_field(b"*** COM PORT ERROR\r\n", 256)
               + text_field(b"*** CONNECT ERROR\r\n", 256) + text_field(GREETING, 256)
               + bytes(512) + struct.pack("<iii", telnet_port, 0, 0) + bytes(244))
    blocks = b""
    for name in ports:
        blocks += (text_field(name.encode(), 16)
                   + struct.pack("<iiiiiiii", 0, 0, 0, 115200, 0, 5000, 5000, 0)
                   + bytes(76 * 64) + bytes([8, 0, 0, 0]) + struct.pack("<ii", 0, 0)
                   + bytes(256) + text_field(READY, 256) + bytes(256) + bytes(256) + bytes(2500))
    return options + blocks


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Equipment:
    """A pty master that echoes (or swallows, or streams) what the gateway sends it."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        tty.setraw(self.master)
        self.mode = "echo"
        self.swallowed = 0
        self.program = None  # mode "program": what the device receives goes to its input
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def device(self):
        return os.ttyname(self.slave)

    def _run(self):
        while self.running:
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if not ready:
                continue
            try:
                data = os.read(self.master, 65536)
            except OSError:
                time.sleep(0.01)
                continue
            if self.mode == "echo":
                os.write(self.master, data)
            elif self.mode == "answer with a message":  # each byte asks for one
                for _ in range(len(data)):
                    self.write_all(MESSAGE)
            elif self.mode == "answer each message":
                self.swallowed += len(data)
                while self.swallowed >= len(MESSAGE):
                    self.swallowed -= len(MESSAGE)
                    os.write(self.master, ANSWER)
            elif self.mode == "program":
                try:
                    self.program.stdin.write(data)
                    self.program.stdin.flush()
                except (OSError, ValueError):
                    pass  # the program has ended, or its input is closed
            else:
                self.swallowed += len(data)

    def write_all(self, data):
        while data:
            data = data[os.write(self.master, data):]

    def stream(self, total, chunk=16384):
        block = bytes((i * 7 + 1) % 255 for i in range(chunk))  # no 0xFF: nothing to double
        sent = 0
        while sent < total:
            sent += os.write(self.master, block[: min(chunk, total - sent)])

    def close(self):
        self.running = False
        self.thread.join()
        os.close(self.master)
        os.close(self.slave)


def connect(port, marker, limit_s=20):
    """A caller connected and past the marker text; the time it took."""
    started = time.monotonic()
    caller = socket.create_connection(("127.0.0.1", port))
    caller.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    seen = b""
    deadline = started + limit_s
    while marker not in seen:
        if time.monotonic() > deadline:
            raise RuntimeError("no data path; got %r" % seen)
        chunk = caller.recv(4096)
        if not chunk:
            raise RuntimeError("closed; got %r" % seen)
        seen += chunk
    return caller, time.monotonic() - started


def round_trips(caller, count):
    times = []
    for i in range(count):
        byte = bytes([0x41 + i % 26])
        started = time.perf_counter()
        caller.sendall(byte)
        got = caller.recv(16)
        while not got:
            got = caller.recv(16)
        times.append(time.perf_counter() - started)
    times.sort()
    return times[len(times) // 2], times[int(len(times) * 0.99)]


def messages_from_equipment(caller, equipment, count):
    """Messages per second: the equipment sends MESSAGE, the caller answers with one byte."""
    equipment.mode = "answer with a message"
    started = time.perf_counter()
    for _ in range(count):
        caller.sendall(ANSWER)
        got = 0
        while got < len(MESSAGE):
            chunk = caller.recv(65536)
            if not chunk:
                raise RuntimeError("closed during the messages")
            got += len(chunk)
    return count / (time.perf_counter() - started)


def messages_to_equipment(caller, equipment, count):
    """Messages per second: the caller sends MESSAGE, the equipment answers with one byte."""
    equipment.swallowed = 0
    equipment.mode = "answer each message"
    started = time.perf_counter()
    for _ in range(count):
        caller.sendall(MESSAGE)
        if not caller.recv(16):
            raise RuntimeError("closed during the messages")
    return count / (time.perf_counter() - started)


class Undoubler:
    """Undoes the gateway's doubling of 255 in what a caller receives (the call's negotiation is
    over: nothing else starts with 255), across the ends of chunks."""

    def __init__(self):
        self.after_255 = False

    def data(self, chunk):
        out = bytearray()
        for byte in chunk:
            if byte == 255 and not self.after_255:
                self.after_255 = True
                continue
            self.after_255 = False
            out.append(byte)
        return bytes(out)


def xmodem(caller, equipment, telnet, directory, sender_at_caller):
    """Seconds an XMODEM-1K transfer of directory/sent.bin takes with lrzsz, sx -k on one side and
    rx on the other, both on pipes pumped to the caller's socket and the equipment's pty (lrzsz
    flushes a terminal's input after each acknowledgement, which can drop a block). telnet: the
    gateway, which doubles 255 both ways; socat passes bytes as they are."""
    def start(arguments):
        return subprocess.Popen(arguments, cwd=directory, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

    stop = threading.Event()
    undoubler = Undoubler()

    def caller_inward(program):
        while not stop.is_set():
            ready, _, _ = select.select([caller], [], [], 0.05)
            if ready:
                chunk = caller.recv(65536)
                if not chunk:
                    raise RuntimeError("closed during the transfer")
                try:
                    program.stdin.write(undoubler.data(chunk) if telnet else chunk)
                    program.stdin.flush()
                except OSError:
                    pass  # the program has ended

    def caller_outward(program):
        while True:
            chunk = os.read(program.stdout.fileno(), 65536)
            if not chunk:
                return
            caller.sendall(chunk.replace(b"\xff", b"\xff\xff") if telnet else chunk)

    def equipment_outward(program):
        while True:
            chunk = os.read(program.stdout.fileno(), 65536)
            if not chunk:
                return
            equipment.write_all(chunk)

    started = time.monotonic()
    sender = start(["sx", "-k", "-q", "sent.bin"])  # first: it waits for the receiver
    receiver = start(["rx", "-c", "-q", "received.bin"])
    at_caller, at_equipment = (sender, receiver) if sender_at_caller else (receiver, sender)
    equipment.program = at_equipment
    equipment.mode = "program"
    pumps = [threading.Thread(target=caller_inward, args=(at_caller,)),
             threading.Thread(target=caller_outward, args=(at_caller,)),
             threading.Thread(target=equipment_outward, args=(at_equipment,))]
    for pump in pumps:
        pump.start()
    codes = (sender.wait(600), receiver.wait(600))
    took = time.monotonic() - started
    stop.set()
    for pump in pumps:
        pump.join()
    equipment.mode = "swallow"
    for program in (sender, receiver):
        program.stdin.close()
        program.stdout.close()
    with open(os.path.join(directory, "sent.bin"), "rb") as sent, \
            open(os.path.join(directory, "received.bin"), "rb") as received:
        if codes != (0, 0) or sent.read() != received.read():
            raise RuntimeError("XMODEM transfer failed: exit codes %r" % (codes,))
    os.unlink(os.path.join(directory, "received.bin"))
    return took


def throughput_to_equipment(caller, equipment, total):
    equipment.mode = "swallow"
    equipment.swallowed = 0
    block = bytes((i * 7 + 1) % 255 for i in range(65536))
    started = time.monotonic()
    sent = 0
    while sent < total:
        caller.sendall(block)
        sent += len(block)
    while equipment.swallowed < total:
        time.sleep(0.001)
    return total / (time.monotonic() - started)


def throughput_to_caller(caller, equipment, total):
    equipment.mode = "swallow"
    writer = threading.Thread(target=equipment.stream, args=(total,))
    started = time.monotonic()
    writer.start()
    got = 0
    while got < total:
        chunk = caller.recv(1 << 20)
        if not chunk:
            raise RuntimeError("closed during the stream")
        got += len(chunk)
    elapsed = time.monotonic() - started
    writer.join()
    return total / elapsed


def cpu_seconds(pid):
    """CPU time of the process's threads, to the nanosecond (scheduler statistics)."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as stat:
                total += int(stat.read().split()[0])
        except OSError:
            pass  # a thread that ended meanwhile
    return total / 1e9


def wakeups(pid):
    """Times the process's threads went to sleep and were woken since they started."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, task)) as status:
                for line in status:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except OSError:
            pass  # a thread that ended meanwhile
    return total


def measure_quiet(groups, seconds):
    """Wake-ups per second and CPU ms per 20 s of each group of processes, over one window."""
    def sample():
        return {name: (sum(cpu_seconds(pid) for pid in pids), sum(wakeups(pid) for pid in pids))
                for name, pids in groups.items()}
    before = sample()
    time.sleep(seconds)
    after = sample()
    return {name: ((after[name][1] - before[name][1]) / seconds,
                   (after[name][0] - before[name][0]) * 1e3 * 20 / seconds) for name in groups}


def idle_state():
    """How this machine's idle processors wait: a woken thread's latency depends on it. A virtual
    machine whose processors halt at once (no halt polling) charges every wake-up of a thread on
    an idle processor with a trip through the host."""
    def read(path):
        try:
            with open(path) as source:
                return source.read().strip()
        except OSError:
            return None
    driver = read("/sys/devices/system/cpu/cpuidle/current_driver") or "unknown"
    poll_ns = read("/sys/module/haltpoll/parameters/guest_halt_poll_ns")
    if driver == "haltpoll" and poll_ns is not None:
        return "haltpoll, guest_halt_poll_ns %s%s" % (poll_ns, " (halt polling off)"
                                                        if poll_ns == "0" else "")
    return driver


def peak_memory_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def silent_clients_status(norvex, norvexctl, silent_count=20, rounds=3):
    """Seconds that `norvexctl status` takes with silent_count clients connected before it that
    never send a byte; one figure per round, each with new clients."""
    directory = tempfile.mkdtemp(prefix="norvex-bench-control-")
    with open(os.path.join(directory, "NORVEX.DAT"), "wb") as out:
        out.write(settings_file(free_port(), []))
    gateway = subprocess.Popen([os.path.abspath(norvex)], cwd=directory,
                               stderr=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    socket_file = os.path.join(directory, "NORVEX.CTL")
    figures = []
    try:
        deadline = time.monotonic() + 20
        while not os.path.exists(socket_file) and time.monotonic() < deadline:
            time.sleep(0.05)
        for _ in range(rounds):
            silent = []

            def connect_silently():
                client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                silent.append(client)
                try:
                    client.connect(socket_file)  # waits while the gateway's queue is full
                except OSError:
                    pass

            # Each on a thread of its own: a connect to a full queue waits for the gateway.
            connectors = [threading.Thread(target=connect_silently, daemon=True)
                          for _ in range(silent_count)]
            for connector in connectors:
                connector.start()
            time.sleep(0.3)  # all of them there before the request
            start = time.monotonic()
            subprocess.run([os.path.abspath(norvexctl), "-C", directory, "status"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
            figures.append(time.monotonic() - start)
            for client in silent:
                client.close()
            time.sleep(1.5)
    finally:
        gateway.terminate()
        gateway.wait(30)
        shutil.rmtree(directory, ignore_errors=True)
    return figures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--norvex", default=os.path.join(os.path.dirname(__file__), "..", "build",
                                                         "native", "src", "norvex"))
    parser.add_argument("--norvexctl", default=os.path.join(os.path.dirname(__file__), "..",
                                                            "build", "native", "src", "norvexctl"))
    parser.add_argument("--quick", action="store_true", help="shorter run, for a smoke test")
    parser.add_argument("--control", action="store_true",
                        help="only norvexctl status behind 20 silent control clients")
    parser.add_argument("--no-ssh", action="store_true",
                        help="leave out the SSH callers beside OpenSSH's server")
    arguments = parser.parse_args()
    if arguments.control:
        figures = silent_clients_status(arguments.norvex, arguments.norvexctl)
        print("%-64s %s" % ("norvexctl status behind 20 silent clients (s, each round)",
                            " / ".join("%.3f" % f for f in figures)))
        return 0
    idle_s = 5 if arguments.quick else 20
    trips = 300 if arguments.quick else 2000
    messages = 200 if arguments.quick else 1000
    xmodem_size = (256 if arguments.quick else 1024) << 10
    volume = (8 if arguments.quick else 32) << 20
    rounds_count = 1 if arguments.quick else 5

    directory = tempfile.mkdtemp(prefix="norvex-bench-")
    names = ["COM%d" % n for n in range(1, 10)]
    equipment = {name: Equipment() for name in names}
    for name in names:
        os.symlink(equipment[name].device(), os.path.join(directory, name))
    telnet_port = free_port()
    with open(os.path.join(directory, "NORVEX.DAT"), "wb") as out:
        out.write(settings_file(telnet_port, names))

    gateway = subprocess.Popen([os.path.abspath(arguments.norvex)], cwd=directory,
                               stderr=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    # The floor: one socat per call, each relaying TCP to a pty of its own.
    def start_socat(*options):
        floor_equipment = Equipment()
        floor_port = free_port()
        floor = subprocess.Popen(["socat"] + list(options) +
                                 ["TCP-LISTEN:%d,reuseaddr,nodelay" % floor_port,
                                  "FILE:%s,raw,echo=0" % floor_equipment.device()],
                                 stderr=subprocess.DEVNULL)
        return floor, floor_equipment, floor_port

    floors = [start_socat() for _ in names]
    socat_pids = [floor[0].pid for floor in floors]
    # For throughput only: socat moving blocks of the gateway's size (its own are 8 KiB), which
    # tells the cost of the block size from the cost of the relay.
    small_blocks = start_socat("-b", "1024")

    def floor_call(index, floor=None):
        caller = socket.create_connection(("127.0.0.1", (floor or floors[index])[2]))
        caller.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return caller

    baseline = {}

    def quiet(label, calls):
        """The whole process, and what each call adds to it without any (the listener's share)."""
        figures = measure_quiet({"gateway": [gateway.pid], "socat": socat_pids}, idle_s)
        for name in ("gateway", "socat"):
            wakes, cpu_ms = figures[name]
            results["%s, %s: wake-ups/s / CPU ms per 20 s" % (label, name)] = (wakes, cpu_ms)
            if calls:
                base_wakes, base_cpu_ms = baseline[name]
                results["%s, %s: added per call" % (label, name)] = (
                    (wakes - base_wakes) / calls, (cpu_ms - base_cpu_ms) / calls)
            else:
                baseline[name] = (wakes, cpu_ms)

    results = {}
    try:
        time.sleep(1.0)
        quiet("no call", 0)

        setups = []
        for _ in range(5):
            caller, took = connect(telnet_port, READY)
            setups.append(took)
            caller.close()
            time.sleep(0.5)  # the call ends and the port is free again
        results["connect to data path (s, median of 5)"] = statistics.median(setups)

        # The echo too in rounds taking turns: one sample of each settles on one placement of
        # the threads on the processors, and these differ from one moment to the next.
        caller, _ = connect(telnet_port, READY)
        floor_caller = floor_call(0)
        time.sleep(0.2)
        echoes = {"gateway": [], "socat": []}
        for _ in range(rounds_count):
            echoes["gateway"].append(round_trips(caller, trips // rounds_count))
            echoes["socat"].append(round_trips(floor_caller, trips // rounds_count))
        for name, samples in echoes.items():
            results["echo p50 / p99 %s (ms)" % name] = (
                statistics.median(p50 for p50, _ in samples) * 1e3,
                statistics.median(p99 for _, p99 in samples) * 1e3)
        results["echo p50 ratio gateway/socat"] = statistics.median(
            [a[0] / b[0] for a, b in zip(echoes["gateway"], echoes["socat"])])

        # Throughput in alternating rounds, gateway then socat, so that a passing load weighs on
        # both alike; the medians of the rounds and of their ratios are reported.
        small_caller = floor_call(0, small_blocks)
        relays = [("gateway", gateway.pid, caller, equipment["COM1"]),
                  ("socat", floors[0][0].pid, floor_caller, floors[0][1]),
                  ("socat -b 1024", small_blocks[0].pid, small_caller, small_blocks[1])]
        directions = [("caller->equipment", throughput_to_equipment),
                      ("equipment->caller", throughput_to_caller)]
        rounds = {(name, way): [] for name, _, _, _ in relays for way, _ in directions}
        cpu = {key: 0.0 for key in rounds}  # CPU seconds of the relaying process, summed
        for _ in range(rounds_count):
            for way, measure in directions:
                for name, pid, relay_caller, relay_equipment in relays:
                    before = cpu_seconds(pid)
                    rounds[name, way].append(measure(relay_caller, relay_equipment, volume) / 1e6)
                    cpu[name, way] += cpu_seconds(pid) - before
        megabytes = rounds_count * volume / 1e6
        median = statistics.median
        for way, _ in directions:
            results["%s MB/s gateway / socat / socat -b 1024" % way] = tuple(
                median(rounds[name, way]) for name, _, _, _ in relays)
            for floor in ("socat", "socat -b 1024"):
                results["%s ratio gateway/%s" % (way, floor)] = median(
                    [a / b for a, b in zip(rounds["gateway", way], rounds[floor, way])])
            results["%s CPU ms per MB gateway / socat / socat -b 1024" % way] = tuple(
                cpu[name, way] * 1e3 / megabytes for name, _, _, _ in relays)
        small_caller.close()

        # Request/response in rounds taking turns, as the echo.
        message_ways = [("equipment->caller", messages_from_equipment),
                        ("caller->equipment", messages_to_equipment)]
        exchanges = {(name, way): [] for name in ("gateway", "socat") for way, _ in message_ways}
        for _ in range(rounds_count):
            for way, measure in message_ways:
                for name, _, relay_caller, relay_equipment in relays[:2]:
                    exchanges[name, way].append(
                        measure(relay_caller, relay_equipment, messages // rounds_count))
        for way, _ in message_ways:
            results["request/response %s, messages/s gateway / socat" % way] = tuple(
                median(exchanges[name, way]) for name in ("gateway", "socat"))
            results["request/response %s ratio gateway/socat" % way] = median(
                [a / b for a, b in zip(exchanges["gateway", way], exchanges["socat", way])])

        if shutil.which("sx") and shutil.which("rx"):
            with open(os.path.join(directory, "sent.bin"), "wb") as out:
                out.write(os.urandom(xmodem_size))
            for way, sender_at_caller in (("equipment->caller", False),
                                          ("caller->equipment", True)):
                results["XMODEM-1K %d KiB %s, s gateway / socat" % (xmodem_size >> 10, way)] = (
                    xmodem(caller, equipment["COM1"], True, directory, sender_at_caller),
                    xmodem(floor_caller, floors[0][1], False, directory, sender_at_caller))
        else:
            print("no lrzsz (sx, rx): no XMODEM transfer", file=sys.stderr)

        time.sleep(1.0)
        quiet("1 quiet call", 1)

        others = [connect(telnet_port, READY)[0] for _ in names[1:]]
        floor_others = [floor_call(index) for index in range(1, len(floors))]
        time.sleep(1.0)
        quiet("9 quiet calls", 9)
        results["peak memory with 9 calls (MiB)"] = peak_memory_kib(gateway.pid) / 1024
        for other in others + floor_others:
            other.close()
        caller.close()
        floor_caller.close()
    finally:
        gateway.terminate()
        gateway.wait(30)
        for floor, _, _ in floors + [small_blocks]:
            floor.kill()
            floor.wait()
        for item in list(equipment.values()) + [floor[1] for floor in floors + [small_blocks]]:
            item.close()
        shutil.rmtree(directory, ignore_errors=True)

    if not arguments.no_ssh and shutil.which("ssh") and os.path.exists("/usr/sbin/sshd"):
        import bench_ssh  # the SSH callers beside sshd + socat, after the rest has ended
        results.update(bench_ssh.measure(arguments.norvex, arguments.quick))

    print("%-64s %s" % ("processor idle", idle_state()))
    for name, value in results.items():
        if isinstance(value, tuple):
            print("%-64s %s" % (name, " / ".join("%.3f" % v for v in value)))
        else:
            print("%-64s %.3f" % (name, value))


if __name__ == "__main__":
    sys.exit(main())
