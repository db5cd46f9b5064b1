#!/usr/bin/env python3
"""Programs on a port's own TCP port end to end: the built norvex with NORVEX.INI's tcp_port and
rfc2217, a pty as the equipment, pyserial's rfc2217:// client as the program and a raw socket
where a test needs the exact bytes.

usage: rfc2217_e2e_test.py NORVEX NORVEXCTL [unittest arguments, e.g. a test name]
"""
import importlib.util
import io
import logging
import os
import socket
import subprocess
import sys
import tempfile
import termios
import time
import unittest

import serial

HERE = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location("norvex_e2e", os.path.join(HERE, "norvex_e2e_test.py"))
base = importlib.util.module_from_spec(spec)
spec.loader.exec_module(base)

LIMIT_S = base.LIMIT_S
NORVEXCTL = None
IAC, SB, SE, WILL, WONT, DO, DONT = 255, 250, 240, 251, 252, 253, 254
COM_PORT = 44

SPEEDS = {termios.B9600: 9600, termios.B19200: 19200, termios.B38400: 38400,
          termios.B57600: 57600, termios.B115200: 115200}
SIZES = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}


def line_of(fd):
    """The pty's line as its termios tells it: (speed, data bits, parity N/E/O, stop bits)."""
    attributes = termios.tcgetattr(fd)
    cflag = attributes[2]
    parity = "N"
    if cflag & termios.PARENB:
        parity = "O" if cflag & termios.PARODD else "E"
    return (SPEEDS.get(attributes[5], attributes[5]), SIZES[cflag & termios.CSIZE], parity, 2 if cflag & termios.CSTOPB else 1)


class RawCaller(base.Caller):
    """A telnet caller that answers the server's option offers by a table and reads the
    COM-PORT-OPTION messages out of what it receives."""

    def subnegotiations(self):
        """The server's option-44 subnegotiations received so far, as their parameter bytes."""
        found = []
        data = self.received
        start = 0
        while True:
            start = data.find(bytes([IAC, SB, COM_PORT]), start)
            if start < 0:
                return found
            end = data.find(bytes([IAC, SE]), start)
            if end < 0:
                return found
            found.append(data[start + 3:end].replace(bytes([IAC, IAC]), bytes([IAC])))
            start = end + 2

    def wait_subnegotiation(self, wanted, limit_s=LIMIT_S):
        deadline = time.monotonic() + limit_s
        while time.monotonic() < deadline and not self.closed:
            if wanted in self.subnegotiations():
                return True
            self.read_until(b"\x00never\x00", 0.1)
        return wanted in self.subnegotiations()


class Rfc2217EndToEnd(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="norvex-rfc2217-e2e-")
        self.port = base.free_port()
        self.com1_tcp = base.free_port()
        self.com2_tcp = base.free_port()
        self.gateway = base.Gateway(self.directory)
        self.equipment = []
        self.openings = []
        with open(os.path.join(self.directory, "NORVEX.DAT"), "wb") as out:
            out.write(base.options_block(self.port) + base.port_block("COM1")
                      + base.port_block("COM2"))
        with open(os.path.join(self.directory, "NORVEX.INI"), "w") as out:
            out.write("[COM1]\ntcp_port = %d\nrfc2217 = on\n\n[COM2]\ntcp_port = %d\n"
                      % (self.com1_tcp, self.com2_tcp))
        # pyserial tells what it sends and hears on its logger: kept to name the commands used.
        self.log = io.StringIO()
        self.handler = logging.StreamHandler(self.log)
        logging.getLogger("pySerial.rfc2217").addHandler(self.handler)
        logging.getLogger("pySerial.rfc2217").setLevel(logging.DEBUG)

    def tearDown(self):
        logging.getLogger("pySerial.rfc2217").removeHandler(self.handler)
        for opened in self.openings:
            opened.close()
        self.gateway.stop()
        for equipment in self.equipment:
            equipment.close()
        if os.environ.get("NORVEX_RFC2217_LOG"):
            with open(os.environ["NORVEX_RFC2217_LOG"], "a") as out:
                out.write("== %s\n%s" % (self.id(), self.log.getvalue()))

    def attach(self, name):
        equipment = base.Equipment(self.directory, name)
        self.equipment.append(equipment)
        return equipment

    def open(self, tcp_port, **options):
        opened = serial.serial_for_url("rfc2217://127.0.0.1:%d?logging=debug&poll_modem" % tcp_port,
                                       timeout=LIMIT_S, **options)
        self.openings.append(opened)
        return opened

    def wait_line(self, fd, wanted, limit_s=LIMIT_S):
        deadline = time.monotonic() + limit_s
        while time.monotonic() < deadline and line_of(fd) != wanted:
            time.sleep(0.02)
        return line_of(fd)

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

    def test_pyserial_sets_the_line_moves_data_and_the_next_call_starts_from_the_stored_line(self):
        equipment = self.attach("COM1")
        self.gateway.start()
        self.assertTrue(self.gateway.wait_said(b"COM1: direct TCP port %d" % self.com1_tcp))

        program = self.open(self.com1_tcp, baudrate=57600)
        self.assertEqual(self.wait_line(equipment.slave, (57600, 8, "N", 1)), (57600, 8, "N", 1))
        # The program gets the equipment's bytes alone: no greeting, no connect text.
        program.write(b"AT\r")
        self.assertTrue(equipment.wait_for(b"AT\r"))
        equipment.send(b"OK\r\n")
        self.assertEqual(program.read(4), b"OK\r\n")

        program.stopbits = serial.STOPBITS_TWO
        self.assertEqual(self.wait_line(equipment.slave, (57600, 8, "N", 2)), (57600, 8, "N", 2))
        program.baudrate = 19200
        self.assertEqual(self.wait_line(equipment.slave, (19200, 8, "N", 2)), (19200, 8, "N", 2))
        # A Linux pty keeps 8 data bits and no parity whatever it is told: the answer carries what
        # it kept, and pyserial takes that as the value refused.
        with self.assertRaisesRegex(ValueError, "datasize"):
            program.bytesize = serial.SEVENBITS
        self.assertEqual(line_of(equipment.slave), (19200, 8, "N", 2))
        program.bytesize = serial.EIGHTBITS
        with self.assertRaisesRegex(ValueError, "parity"):
            program.parity = serial.PARITY_EVEN
        program.parity = serial.PARITY_NONE
        self.assertEqual(line_of(equipment.slave), (19200, 8, "N", 2))
        # The input lines asked for (a NOTIFY-MODEMSTATE of the client's): a pty has none.
        self.assertFalse(program.cd)

        every = bytes(range(256)) * 4
        equipment.send_all(every)
        self.assertEqual(program.read(len(every)), every)
        program.write(every)
        self.assertTrue(equipment.wait_for(every))
        program.close()

        # The next call, a plain telnet caller on the same port, starts at the stored line and
        # is a pool caller's call: the greeting first.
        self.assertEqual(self.wait_line(equipment.slave, (9600, 8, "N", 1)), (9600, 8, "N", 1))
        caller = base.Caller(self.com1_tcp)
        self.assertTrue(caller.read_until(base.GREETING))
        caller.send(b"ATZ\r")
        self.assertTrue(equipment.wait_for(b"ATZ\r"))
        self.assertEqual(line_of(equipment.slave), (9600, 8, "N", 1))
        caller.close()
        lines = self.log_lines(2)
        self.assertEqual(len(lines), 2, lines)
        self.assertTrue(all(b"COM1" in line for line in lines), lines)

    def test_queries_and_a_value_the_pty_cannot_take_are_answered_with_the_line(self):
        equipment = self.attach("COM1")
        self.gateway.start()
        caller = RawCaller(self.com1_tcp)
        caller.send(bytes([IAC, WILL, COM_PORT, IAC, WILL, 0, IAC, DO, 0]))
        caller.send(bytes([IAC, SB, COM_PORT, 1, 0, 0, 0xE1, 0, IAC, SE]))  # 57600
        self.assertTrue(caller.wait_subnegotiation(bytes([101, 0, 0, 0xE1, 0])))
        self.assertEqual(self.wait_line(equipment.slave, (57600, 8, "N", 1)), (57600, 8, "N", 1))
        # Queries: the speed, the data size, the parity and the stop size in force.
        caller.send(bytes([IAC, SB, COM_PORT, 1, 0, 0, 0, 0, IAC, SE,
                           IAC, SB, COM_PORT, 2, 0, IAC, SE,
                           IAC, SB, COM_PORT, 3, 0, IAC, SE,
                           IAC, SB, COM_PORT, 4, 0, IAC, SE]))
        for answer in (bytes([101, 0, 0, 0xE1, 0]), bytes([102, 8]), bytes([103, 1]),
                       bytes([104, 1])):
            self.assertTrue(caller.wait_subnegotiation(answer), (answer, caller.subnegotiations()))
        # Mark parity is beyond a pty: the answer is the parity it kept.
        caller.send(bytes([IAC, SB, COM_PORT, 3, 4, IAC, SE]))
        self.assertTrue(caller.wait_subnegotiation(bytes([103, 1])))
        self.assertNotIn(bytes([103, 4]), caller.subnegotiations())
        self.assertNotIn(base.GREETING, caller.received)
        caller.close()

    def test_a_port_without_the_option_refuses_it_and_pyserial_fails_to_open(self):
        equipment = self.attach("COM2")
        self.gateway.start()
        with self.assertRaises(serial.SerialException):
            self.open(self.com2_tcp, baudrate=57600)
        # Its call ended as a refused program's: nothing reached the equipment, the line is the
        # port's stored one.
        self.assertEqual(len(self.log_lines(1)), 1)
        self.assertEqual(equipment.received, b"")
        self.assertEqual(line_of(equipment.slave), (9600, 8, "N", 1))
        # The refusal is the pool's: a telnet caller there gets the greeting and the port.
        caller = RawCaller(self.com2_tcp)
        caller.send(bytes([IAC, WILL, COM_PORT]))
        self.assertTrue(caller.read_until(bytes([IAC, DONT, COM_PORT])))
        self.assertTrue(caller.read_until(base.GREETING))
        caller.send(bytes([IAC, SB, COM_PORT, 1, 0, 0, 0xE1, 0, IAC, SE]) + b"ping")
        self.assertTrue(equipment.wait_for(b"ping"))
        self.assertEqual(caller.subnegotiations(), [])
        self.assertEqual(line_of(equipment.slave), (9600, 8, "N", 1))
        caller.close()
        # The pool's telnet port refuses it as well.
        pool = RawCaller(self.port)
        pool.send(bytes([IAC, WILL, COM_PORT]))
        self.assertTrue(pool.read_until(bytes([IAC, DONT, COM_PORT])))
        pool.close()

    def test_a_busy_port_gives_the_busy_text_and_the_close(self):
        self.attach("COM1")
        self.gateway.start()
        program = self.open(self.com1_tcp, baudrate=57600)
        second = base.Caller(self.com1_tcp)
        self.assertTrue(second.read_until(b"*** BUSY\r\n"))
        second.read_until_closed()
        self.assertTrue(second.closed)
        # A program that agreed to the option gets no text: the refusal is the end.
        refused = RawCaller(self.com1_tcp)
        refused.send(bytes([IAC, WILL, COM_PORT]))
        refused.read_until_closed()
        self.assertTrue(refused.closed)
        self.assertIn(bytes([IAC, DO, COM_PORT]), refused.received)
        self.assertNotIn(b"BUSY", refused.received)
        self.assertNotIn(base.GREETING, refused.received)
        refused.close()
        program.close()
        second.close()

    def test_norvexctl_sets_them_status_shows_them_and_a_reload_opens_and_closes_them(self):
        equipment = self.attach("COM2")
        self.gateway.start()
        third = base.free_port()

        def norvexctl(*arguments):
            return subprocess.run([NORVEXCTL, "-C", self.directory, *arguments],
                                  capture_output=True, timeout=LIMIT_S)

        done = norvexctl("port", "set", "COM2", "tcp_port=%d" % third, "rfc2217=on")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(b"COM2: direct TCP port %d with the COM-PORT-OPTION" % third, done.stdout)
        status = norvexctl("status")
        self.assertEqual(status.returncode, 0, status.stderr)
        self.assertIn(b"direct: COM1 on TCP port %d, RFC 2217" % self.com1_tcp, status.stdout)
        self.assertIn(b"direct: COM2 on TCP port %d, RFC 2217" % third, status.stdout)
        program = self.open(third, baudrate=57600)
        self.assertEqual(self.wait_line(equipment.slave, (57600, 8, "N", 1)), (57600, 8, "N", 1))
        program.close()
        # Its old TCP port was let go; a clash changes nothing and the running gateway keeps on.
        with socket.socket() as old:
            self.assertNotEqual(old.connect_ex(("127.0.0.1", self.com2_tcp)), 0)
        refused = norvexctl("port", "set", "COM2", "tcp_port=%d" % self.com1_tcp)
        self.assertEqual(refused.returncode, 2)
        done = norvexctl("port", "set", "COM2", "tcp_port=0")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(b"COM2: direct TCP port %d closed" % third, done.stdout)
        status = norvexctl("status")
        self.assertNotIn(b"COM2 on TCP port", status.stdout)
        deadline = time.monotonic() + LIMIT_S
        while time.monotonic() < deadline:
            with socket.socket() as closed:
                if closed.connect_ex(("127.0.0.1", third)) != 0:
                    break
            time.sleep(0.05)
        with socket.socket() as closed:
            self.assertNotEqual(closed.connect_ex(("127.0.0.1", third)), 0)


if __name__ == "__main__":
    base.NORVEX = sys.argv[1]
    NORVEXCTL = sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:])
