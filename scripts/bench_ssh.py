#!/usr/bin/env python3
"""SSH callers measured beside OpenSSH's own server, in one run: norvex with an SSH port and a pty
as echoing equipment, and sshd on loopback whose forced command is socat relaying to a pty of its
own. The same OpenSSH client calls both. Reports the echo round trip (p50, p99; medians of rounds
taking turns) and throughput both ways (medians of rounds taking turns) with their ratios.

Run by scripts/bench.py, or alone: scripts/bench_ssh.py [--norvex PATH] [--quick]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402  the equipment and the settings file

SSHD = "/usr/sbin/sshd"
READY = bench.READY


class SshCall:
    """OpenSSH's client as the caller, its pipes as the caller's two ways."""

    def __init__(self, port, key, user):
        self.process = subprocess.Popen(
            ["ssh", "-F", "/dev/null", "-p", str(port), "-i", key, "-o", "IdentitiesOnly=yes",
             "-o", "IdentityAgent=none", "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=no",
             "-o", "UserKnownHostsFile=/dev/null", "-o", "LogLevel=ERROR", "-e", "none", "-T",
             "%s@127.0.0.1" % user],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
        self.out = self.process.stdin.fileno()
        self.into = self.process.stdout.fileno()

    def wait_for(self, marker, limit_s=20):
        seen = b""
        deadline = time.monotonic() + limit_s
        while marker not in seen:
            if time.monotonic() > deadline:
                raise RuntimeError("no data path over SSH; got %r" % seen)
            chunk = os.read(self.into, 4096)
            if not chunk:
                raise RuntimeError("SSH call closed; got %r" % seen)
            seen += chunk

    def round_trips(self, count):
        times = []
        for i in range(count):
            byte = bytes([0x41 + i % 26])
            started = time.perf_counter()
            os.write(self.out, byte)
            os.read(self.into, 16)
            times.append(time.perf_counter() - started)
        times.sort()
        return times[len(times) // 2], times[int(len(times) * 0.99)]

    def to_equipment(self, equipment, total):
        equipment.mode = "swallow"
        equipment.swallowed = 0
        block = bytes((i * 7 + 1) % 255 for i in range(65536))
        started = time.monotonic()
        sent = 0
        while sent < total:
            sent += os.write(self.out, block)
        while equipment.swallowed < total:
            time.sleep(0.001)
        return total / (time.monotonic() - started)

    def to_caller(self, equipment, total):
        equipment.mode = "swallow"
        writer = threading.Thread(target=equipment.stream, args=(total,))
        started = time.monotonic()
        writer.start()
        got = 0
        while got < total:
            chunk = os.read(self.into, 1 << 20)
            if not chunk:
                raise RuntimeError("SSH call closed during the stream")
            got += len(chunk)
        elapsed = time.monotonic() - started
        writer.join()
        return total / elapsed

    def close(self):
        self.process.stdin.close()
        self.process.wait(20)
        self.process.stdout.close()


def measure(norvex, quick):
    trips = 300 if quick else 2000
    volume = (8 if quick else 32) << 20
    rounds_count = 1 if quick else 5
    directory = tempfile.mkdtemp(prefix="norvex-bench-ssh-")
    key = os.path.join(directory, "caller_key")
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key], check=True)
    with open(key + ".pub") as public:
        key_line = public.read().strip()

    gateway_dir = os.path.join(directory, "gateway")
    os.mkdir(gateway_dir)
    equipment = bench.Equipment()
    os.symlink(equipment.device(), os.path.join(gateway_dir, "COM1"))
    ssh_port = bench.free_port()
    with open(os.path.join(gateway_dir, "NORVEX.DAT"), "wb") as out:
        out.write(bench.settings_file(bench.free_port(), ["COM1"]))
    with open(os.path.join(gateway_dir, "NORVEX.INI"), "w") as out:
        out.write("ssh_port = %d\n" % ssh_port)
    with open(os.path.join(gateway_dir, "authorized_keys"), "w") as out:
        out.write(key_line + "\n")
    os.chmod(os.path.join(gateway_dir, "authorized_keys"), 0o600)

    # The floor: sshd whose forced command relays the session to a pty with socat.
    floor_equipment = bench.Equipment()
    floor_port = bench.free_port()
    host_key = os.path.join(directory, "sshd_host_key")
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", host_key], check=True)
    with open(os.path.join(directory, "authorized_keys"), "w") as out:
        out.write(key_line + "\n")
    config = os.path.join(directory, "sshd_config")
    with open(config, "w") as out:
        out.write("\n".join([
            "Port %d" % floor_port, "ListenAddress 127.0.0.1", "HostKey %s" % host_key,
            "AuthorizedKeysFile %s/authorized_keys" % directory, "PasswordAuthentication no",
            "KbdInteractiveAuthentication no", "UsePAM no", "StrictModes no",
            "PermitRootLogin yes", "PidFile none",
            "ForceCommand socat - FILE:%s,raw,echo=0" % floor_equipment.device(), ""]))
    os.makedirs("/run/sshd", exist_ok=True)
    floor = subprocess.Popen([SSHD, "-D", "-e", "-f", config], stderr=subprocess.DEVNULL)
    gateway = subprocess.Popen([os.path.abspath(norvex)], cwd=gateway_dir,
                               stderr=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    results = {}
    try:
        time.sleep(1.0)
        call = SshCall(ssh_port, key, "COM1")
        call.wait_for(READY)
        user = os.environ.get("USER") or "root"
        floor_call = SshCall(floor_port, key, user)
        time.sleep(0.5)
        echoes = {"gateway": [], "sshd + socat": []}
        for _ in range(rounds_count):
            echoes["gateway"].append(call.round_trips(trips // rounds_count))
            echoes["sshd + socat"].append(floor_call.round_trips(trips // rounds_count))
        for name, samples in echoes.items():
            results["SSH echo p50 / p99 %s (ms)" % name] = (
                statistics.median(p50 for p50, _ in samples) * 1e3,
                statistics.median(p99 for _, p99 in samples) * 1e3)
        results["SSH echo p50 ratio gateway/sshd"] = statistics.median(
            [a[0] / b[0] for a, b in zip(echoes["gateway"], echoes["sshd + socat"])])
        for way in ("to_equipment", "to_caller"):
            ours, theirs = [], []
            for _ in range(rounds_count):
                ours.append(getattr(call, way)(equipment, volume) / 1e6)
                theirs.append(getattr(floor_call, way)(floor_equipment, volume) / 1e6)
            label = "caller->equipment" if way == "to_equipment" else "equipment->caller"
            results["SSH %s MB/s gateway / sshd + socat" % label] = (
                statistics.median(ours), statistics.median(theirs))
            results["SSH %s ratio gateway/sshd" % label] = statistics.median(
                [a / b for a, b in zip(ours, theirs)])
        call.close()
        floor_call.close()
    finally:
        gateway.terminate()
        gateway.wait(30)
        floor.terminate()
        floor.wait(30)
        equipment.close()
        floor_equipment.close()
        shutil.rmtree(directory, ignore_errors=True)
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--norvex", default=os.path.join(os.path.dirname(__file__), "..", "build",
                                                         "native", "src", "norvex"))
    parser.add_argument("--quick", action="store_true")
    arguments = parser.parse_args()
    for name, value in measure(arguments.norvex, arguments.quick).items():
        if isinstance(value, tuple):
            print("%-64s %s" % (name, " / ".join("%.3f" % v for v in value)))
        else:
            print("%-64s %.3f" % (name, value))


if __name__ == "__main__":
    sys.exit(main())
