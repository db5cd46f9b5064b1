#!/usr/bin/env python3
"""The modem emulator of the built norvex program end to end: a pty pair plays equipment that
expects a Hayes modem (AT commands, RING, ATA, CONNECT, NO CARRIER), loopback sockets play the
callers. Builds on the helpers of the program's own end-to-end tests.

usage: modem_e2e_test.py NORVEX_PROGRAM [unittest arguments, e.g. a test name]
"""
import os
import sys
import time
import unittest

import norvex_e2e_test as e2e
from norvex_e2e_test import GREETING, OFFERS, Caller, port_block

MODEM_EMULATION_OFFSET = 4916
CONNECT = b"CONNECT 9600/TELNET\r\n"


def modem_port_block(name):
    block = bytearray(port_block(name))
    block[MODEM_EMULATION_OFFSET:MODEM_EMULATION_OFFSET + 4] = (1).to_bytes(4, "little")
    return bytes(block)


class ModemEndToEnd(unittest.TestCase):
    # The program's own end-to-end cases set up a directory, the settings file, equipment and the
    # log the same way; their cases themselves are not repeated here.
    setUp_directory = e2e.NorvexEndToEnd.setUp
    tearDown = e2e.NorvexEndToEnd.tearDown
    configure = e2e.NorvexEndToEnd.configure
    attach_equipment = e2e.NorvexEndToEnd.attach_equipment
    log_lines = e2e.NorvexEndToEnd.log_lines

    def setUp(self):
        self.setUp_directory()
        self.configure(modem_port_block("COM1"))
        self.device = self.attach_equipment()
        self.gateway.start()

    def say(self, line, reply):
        """Sends a command line; true when the reply follows it, byte for byte."""
        with self.device.lock:
            self.device.received = b""
        self.device.send(line)
        if not self.device.wait_for(reply, e2e.LIMIT_S):
            return False
        time.sleep(0.3)  # anything more would show up now
        with self.device.lock:
            return self.device.received == reply

    def test_command_dialogue(self):
        self.assertTrue(self.say(b"AT\r", b"AT\r\nOK\r\n"), self.device.received)
        self.assertTrue(self.say(b"ATI\r", b"ATI\r\nNORVEX MODEM EMULATOR\r\nOK\r\n"),
                        self.device.received)
        self.assertTrue(self.say(b"ATI1\r", b"ATI1\r\nVer1.07\r\nOK\r\n"), self.device.received)
        self.assertTrue(self.say(b"ATX4\\S\r", b"ATX4\\S\r\nDTE SPEED   : 9600bps\r\n"
                                 b"LINE STATUS : OFFLINE\r\nQ0 V1 X1 \\V1\r\nOK\r\n"),
                        self.device.received)
        self.assertTrue(self.say(b"ATE0V0\r", b"ATE0V0\r\n0\r\n"), self.device.received)
        self.assertTrue(self.say(b"ATZ\r", b"OK\r\n"), self.device.received)
        self.assertTrue(self.say(b"ata\r", b"ata\r\nNO CARRIER\r\n"), self.device.received)
        self.assertEqual(self.gateway.stop(), 0)

    def test_answered_call_ends_with_no_carrier(self):
        self.assertTrue(self.say(b"AT\r", b"AT\r\nOK\r\n"), self.device.received)
        for call in range(2):
            with self.device.lock:
                self.device.received = b""
            self.device.reply(b"RING\r\n", b"ATA\r")
            caller = Caller(self.port)
            self.assertTrue(caller.read_until(GREETING), caller.received)
            self.assertTrue(self.device.wait_for(b"ATA\r\n" + CONNECT), self.device.received)
            caller.send(b"hello")
            self.assertTrue(self.device.wait_for(CONNECT + b"hello"), self.device.received)
            self.device.send(b"world")
            self.assertTrue(caller.read_until(b"world"), caller.received)
            self.assertEqual(caller.received, OFFERS + GREETING + b"world")
            caller.close()
            self.assertTrue(self.device.wait_for(b"helloNO CARRIER\r\n"), self.device.received)
            with self.device.lock:
                before = self.device.received.split(b"ATA\r\n")[0]
            self.assertGreaterEqual(before.count(b"\r\nRING\r\n"), 1)
            self.assertEqual(before.replace(b"\r\nRING\r\n", b""), b"")
            line = self.log_lines(call + 1)[call]
            self.assertRegex(line, rb" \d\d:\d\d:\d\d  COM1 127\.0\.0\.1$")
            self.assertTrue(self.say(b"AT\r", b"AT\r\nOK\r\n"), self.device.received)

    def test_unanswered_call_gets_the_connect_error(self):
        caller = Caller(self.port)
        started = time.monotonic()
        self.assertTrue(caller.read_until_closed(30))
        self.assertGreaterEqual(time.monotonic() - started, 9)
        self.assertEqual(caller.received, OFFERS + GREETING + b"*** CONNECT ERROR\r\n")
        caller.close()
        self.assertEqual(self.log_lines(1)[0][20:46], b"connection fail".ljust(20) + b" COM1 ")
        with self.device.lock:
            rings = self.device.received.count(b"\r\nRING\r\n")
            self.assertEqual(self.device.received, b"\r\nRING\r\n" * rings)
        self.assertGreaterEqual(rings, 5)
        self.assertLessEqual(rings, 11)
        self.assertTrue(self.say(b"AT\r", b"AT\r\nOK\r\n"), self.device.received)


if __name__ == "__main__":
    e2e.NORVEX = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
