#!/usr/bin/env python3
"""NORVEX.EXE ends in order when the operator exits while callers storm it.

Callers come and go as fast as they can (some leave at once, some during the negotiation, some
after the greeting, one holds the port and keeps sending) while the operator answers the exit
question with Yes from the tray menu. The program must stop its server without the forced stop
(message 1014), end with code 0 and free the telnet port. The time from Yes to the end is printed.

usage: exit_under_load_test.py NORVEX.EXE DRIVER.EXE HOST-TEST.EXE NORVEXCTL.EXE WINE-PREFIX.SH
                               PREFIX SCREENSHOTS [unittest arguments]
(the arguments of gui_test.py)
"""
import os
import random
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gui_test  # noqa: E402
from gui_test import (EXIT_QUESTION, GREETING, IDYES, LIMIT_S, free_port,  # noqa: E402
                      port_is_free, pty_port_block, wait_for)

STORM_S = 6        # callers before the exit question is answered
CALLERS = 8        # threads of callers
FORCED_STOP = "サーバスレッドは強制終了されました"


class Storm:
    """Callers on threads until stopped; counts what they got."""

    def __init__(self, telnet_port):
        self.port = telnet_port
        self.stopping = threading.Event()
        self.lock = threading.Lock()
        self.counts = {"connections": 0, "greeted": 0, "refused": 0}
        self.threads = [threading.Thread(target=self.run, args=(n,)) for n in range(CALLERS)]
        for thread in self.threads:
            thread.start()

    def count(self, what):
        with self.lock:
            self.counts[what] += 1

    def run(self, index):
        rng = random.Random(index)
        while not self.stopping.is_set():
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=5) as caller:
                    self.count("connections")
                    self.one_call(caller, rng.randrange(4))
            except OSError:
                self.count("refused")  # after the exit, or a full backlog
                self.stopping.wait(0.05)

    def one_call(self, caller, kind):
        if kind == 0:
            return  # leaves at once
        received = b""
        while GREETING not in received and not self.stopping.is_set():
            chunk = caller.recv(4096)
            if not chunk:
                return
            received += chunk
            if kind == 1:
                return  # leaves during the negotiation
        self.count("greeted")
        if kind == 3:  # stays and talks until the gateway ends the call
            while not self.stopping.is_set():
                caller.sendall(b"data\r\n")
                if not caller.recv(4096):
                    return

    def stop(self):
        self.stopping.set()
        for thread in self.threads:
            thread.join(LIMIT_S)


class ExitUnderLoad(gui_test.NorvexWindows):
    def test_exit_during_a_storm_of_callers(self):
        telnet_port = free_port()
        self.attach_equipment()
        self.configure(telnet_port, pty_port_block("COM1"))
        self.start()
        tray = wait_for(self.tray, "the tray icon")

        storm = Storm(telnet_port)
        self.addCleanup(storm.stop)
        wait_for(lambda: storm.counts["greeted"] >= 5, "callers to be greeted")
        time.sleep(STORM_S)  # the storm itself: callers come and go meanwhile

        self.click(self.tray_icon_rect(tray), button=3)
        self.choose_from_menu("x")  # "終了(&X)"
        box = self.wait_box(EXIT_QUESTION)
        answered = time.monotonic()
        self.ask("click", box, IDYES)
        seen = []

        def ended():
            if self.program.process.poll() is not None:
                return True
            shown = self.shown_box()
            if shown and shown != box:
                try:
                    seen.append(self.ask("text", shown, gui_test.BOX_TEXT))
                except AssertionError:
                    pass  # the program's thread is busy stopping: it shows no box meanwhile
            return False

        wait_for(ended, "the program to end", limit_s=3 * LIMIT_S)
        took = time.monotonic() - answered
        storm.stop()
        self.assertNotIn(FORCED_STOP, seen)
        self.assertEqual(self.program.exit_code(), 0)
        wait_for(lambda: port_is_free(telnet_port), "the telnet port to be free")
        print("exit during the storm: %.2f s from Yes to the end; %d connections, %d greeted"
              % (took, storm.counts["connections"], storm.counts["greeted"]))


if __name__ == "__main__":
    (gui_test.NORVEX, gui_test.DRIVER, gui_test.HOST_TEST, gui_test.NORVEXCTL,
     gui_test.WINE_PREFIX_SH, gui_test.PREFIX, gui_test.SCREENSHOTS) = [
        os.path.abspath(argument) for argument in sys.argv[1:8]]
    unittest.main(argv=[sys.argv[0]] + sys.argv[8:], verbosity=2)
