#!/usr/bin/env python3
"""Callers' host names end to end: norvex and norvexctl against a real DNS server (dnsmasq) on
loopback. The test runs in network, mount and pid namespaces of its own, where /etc/resolv.conf, an
empty /etc/hosts and an /etc/nsswitch.conf of "hosts: files dns" send every lookup to that server,
so the machine's own name service plays no part.

usage: names_e2e_test.py NORVEX NORVEXCTL [unittest arguments]
Exits 77 (skipped) only when this machine cannot make the namespaces.
"""
import fcntl
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import norvex_e2e_test as base  # noqa: E402  (the Gateway, Caller and Equipment of norvex's own test)

LIMIT_S = base.LIMIT_S
SKIPPED = 77
INSIDE = "NORVEX_NAMES_NAMESPACE"
NORVEXCTL = None

LONG_NAME = "a23456789.b23456789.c23456789.d23456789.e23456789.f23456789.example.com"  # 71
OTHER_LONG = "x" + LONG_NAME[1:]
# What the reverse and forward zones say. Forward-only names are --address entries, reverse-only
# ones --ptr-record entries; a --host-record gives both.
DNS_RECORDS = [
    "--ptr-record=5.0.0.127.in-addr.arpa,evil.example.com",  # its owner's claim...
    "--address=/evil.example.com/10.9.9.9",  # ...which the name's own zone does not back
    "--host-record=good.example.com,127.0.0.6",
    "--host-record=multi.example.com,10.1.1.1",
    "--host-record=multi.example.com,127.0.0.7",
    "--host-record=multi.example.com,10.2.2.2",
    "--ptr-record=8.0.0.127.in-addr.arpa,gone.example.com",  # no address at all
    "--host-record=%s,127.0.0.9" % LONG_NAME,
    "--ptr-record=10.0.0.127.in-addr.arpa,%s" % OTHER_LONG,
    "--address=/%s/10.0.0.1" % OTHER_LONG,
    "--address=/%s/127.0.0.10" % OTHER_LONG[:63],  # only the cut name leads back
    "--ptr-record=11.0.0.127.in-addr.arpa,127.0.0.11",  # a "name" that is an address
]


def unshare_command():
    # A pid namespace as well: when the test ends, however it ends, the kernel ends dnsmasq and
    # norvex with it, and nothing is left behind.
    return ["unshare", "--mount", "--net", "--pid", "--fork", "--kill-child", "--mount-proc"]


def enter_namespace():
    """Runs this script again inside fresh namespaces, or exits 77 when none can be made."""
    # Not in a user namespace of an ordinary user: dnsmasq changes its groups at start, which such
    # a namespace refuses.
    if os.geteuid() != 0:
        print("SKIPPED: only root can make the namespaces that dnsmasq runs in", flush=True)
        sys.exit(SKIPPED)
    if shutil.which("unshare") is None:
        print("SKIPPED: no unshare here to make a network namespace", flush=True)
        sys.exit(SKIPPED)
    probe = subprocess.run(unshare_command() + ["true"], capture_output=True, text=True,
                           stdin=subprocess.DEVNULL, timeout=LIMIT_S)
    if probe.returncode != 0:
        print("SKIPPED: cannot make a network and mount namespace here: %s"
              % probe.stderr.strip(), flush=True)
        sys.exit(SKIPPED)
    environment = dict(os.environ, **{INSIDE: "1"})
    os.execvpe(unshare_command()[0],
               unshare_command() + [sys.executable, os.path.abspath(__file__)] + sys.argv[1:],
               environment)


def loopback_up():
    """Brings lo up in the new namespace (SIOCGIFFLAGS, SIOCSIFFLAGS; IFF_UP)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as handle:
        request = struct.pack("16sh", b"lo", 0)
        flags = struct.unpack("16sh", fcntl.ioctl(handle, 0x8913, request))[1]
        fcntl.ioctl(handle, 0x8914, struct.pack("16sh", b"lo", flags | 1))


def bind_over(path, replacement):
    subprocess.run(["mount", "--bind", replacement, path], check=True, timeout=LIMIT_S)


def private_name_service(directory):
    """Points this namespace's name service at 127.0.0.1 alone (the mounts end with it)."""
    files = os.path.join(directory, "etc")
    os.mkdir(files)
    with open(os.path.join(files, "resolv.conf"), "w") as out:
        out.write("nameserver 127.0.0.1\noptions timeout:2 attempts:3\n")
    with open(os.path.join(files, "hosts"), "w"):
        pass
    # The machine's own sources for the other databases stay; hosts: the files above, then DNS.
    lines = []
    if os.path.exists("/etc/nsswitch.conf"):
        with open("/etc/nsswitch.conf") as original:
            lines = [line for line in original if not line.lstrip().startswith("hosts:")]
    with open(os.path.join(files, "nsswitch.conf"), "w") as out:
        out.writelines(lines + ["hosts: files dns\n"])
    for name in ("resolv.conf", "hosts", "nsswitch.conf"):
        if not os.path.exists("/etc/" + name):
            with open("/etc/" + name, "w"):
                pass
        bind_over("/etc/" + name, os.path.join(files, name))
    # A name-service cache daemon of the machine would answer from outside the namespace.
    for cache in ("/run/nscd", "/var/run/nscd"):
        if os.path.isdir(cache) and not os.path.islink(cache):
            subprocess.run(["mount", "-t", "tmpfs", "none", cache], check=True, timeout=LIMIT_S)


def start_dns_server(directory):
    log = os.path.join(directory, "dnsmasq.log")
    server = subprocess.Popen(
        ["dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--pid-file=", "--no-resolv",
         "--no-hosts", "--port=53", "--listen-address=127.0.0.1", "--bind-interfaces",
         "--user=root", "--local=/#/", "--log-queries", "--log-facility=" + log] + DNS_RECORDS,
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    deadline = time.monotonic() + LIMIT_S
    while time.monotonic() < deadline:
        if server.poll() is not None:
            raise AssertionError("dnsmasq ended: %s" % server.stderr.read().decode())
        try:
            if socket.gethostbyaddr("127.0.0.6")[0] == "good.example.com":
                return server
        except OSError:
            pass
        time.sleep(0.1)
    server.kill()
    raise AssertionError("dnsmasq did not answer within %d s" % LIMIT_S)


def host_rule(pattern, permit):
    return (struct.pack("<i", 1) + base.text_field(pattern, 64) + struct.pack("<ii", 1, permit))


class NamesEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="norvex-names-")
        loopback_up()
        private_name_service(cls.scratch)
        cls.dns = start_dns_server(cls.scratch)

    @classmethod
    def tearDownClass(cls):
        cls.dns.terminate()
        cls.dns.wait(LIMIT_S)
        cls.dns.stderr.close()
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="norvex-names-e2e-")
        self.port = base.free_port()
        self.gateway = base.Gateway(self.directory)
        self.equipment = []

    def tearDown(self):
        self.gateway.stop()
        for equipment in self.equipment:
            equipment.close()
        shutil.rmtree(self.directory, ignore_errors=True)

    def status(self):
        """norvexctl status: the busy ports as {port: caller}."""
        result = subprocess.run([NORVEXCTL, "-C", self.directory, "status"], capture_output=True,
                                text=True, stdin=subprocess.DEVNULL, timeout=LIMIT_S * 3)
        self.assertEqual(result.returncode, 0, result.stderr)
        busy = {}
        for line in result.stdout.splitlines()[1:]:
            name, _, caller = line.partition("  ")
            if caller != "free":
                busy[name] = caller
        return busy

    def log_lines(self, count):
        path = os.path.join(self.directory, "access.log")
        deadline = time.monotonic() + LIMIT_S
        lines = []
        while time.monotonic() < deadline and len(lines) < count:
            if os.path.exists(path):
                with open(path, "rb") as log:
                    lines = log.read().decode("latin-1").split("\r\n")[:-1]
            time.sleep(0.05)
        return lines

    def test_only_a_name_that_leads_back_to_the_caller_counts(self):
        options = bytearray(base.options_block(self.port))
        struct.pack_into("<i", options, 1540, 1)  # resolve_host_names
        with open(os.path.join(self.directory, "NORVEX.DAT"), "wb") as out:
            out.write(bytes(options)
                      + base.port_block("COM1", rules=[host_rule(".example.com", 1)],
                                        connect="[COM1]")
                      + base.port_block("COM2", rules=[base.address_rule([127, 0, 0, 0], 8, 1)],
                                        connect="[COM2]"))
        for name in ("COM1", "COM2"):
            self.equipment.append(base.Equipment(self.directory, name))
        self.gateway.start()

        cut = OTHER_LONG[:63]
        cases = [
            # The reverse zone's word alone: no name; the address rule serves the call.
            ("127.0.0.5", "COM2", "127.0.0.5", "127.0.0.5"),
            ("127.0.0.6", "COM1", "good.example.com(127.0.0.6)", "127.0.0.6(good.example.com)"),
            ("127.0.0.7", "COM1", "multi.example.com(127.0.0.7)", "127.0.0.7(multi.example.com)"),
            ("127.0.0.8", "COM2", "127.0.0.8", "127.0.0.8"),
            # Confirmed whole, shown cut to 63 characters as before.
            ("127.0.0.9", "COM2", LONG_NAME[:63] + "(127.0.0.9)", "127.0.0.9(%s)" % LONG_NAME[:63]),
            ("127.0.0.10", "COM2", "127.0.0.10", "127.0.0.10"),
            ("127.0.0.11", "COM2", "127.0.0.11", "127.0.0.11"),
            ("127.0.0.12", "COM2", "127.0.0.12", "127.0.0.12"),  # no reverse name
        ]
        self.assertNotEqual(cut, LONG_NAME[:63])
        for count, (source, port, shown, logged) in enumerate(cases, start=1):
            with self.subTest(caller=source):
                caller = base.Caller(self.port, source)
                self.assertTrue(caller.read_until(b"]"), caller.received)  # the port's name
                self.assertTrue(caller.received.endswith(b"[%s]" % port.encode()), caller.received)
                self.assertEqual(self.status(), {port: shown})
                caller.close()
                lines = self.log_lines(count)
                self.assertEqual(len(lines), count, lines)
                self.assertEqual(lines[-1][46:], logged)
                deadline = time.monotonic() + LIMIT_S
                while self.status() and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertEqual(self.status(), {})


if __name__ == "__main__":
    if os.environ.get(INSIDE) != "1":
        enter_namespace()
    base.NORVEX = os.path.abspath(sys.argv[1])
    NORVEXCTL = os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:])
