#!/usr/bin/env python3
"""NORVEX.EXE's windows under wine + Xvfb, driven from outside as an operator would drive them.

Each test starts its own X server and wine session (in a prefix that only these tests use, one
test at a time), runs the real NORVEX.EXE in an empty folder, and plays the operator: a driver
program beside it finds the windows and reads their controls and list-view cells; xdotool gives
real clicks and keys (menus are chosen with their mnemonic keys). Callers are raw loopback
sockets, the serial equipment a pty mapped as COM1. Screenshots are kept for review.

The ui host's own test program (HOST-TEST.EXE, on templates of its own) runs in such a session
too: it needs a display as much as the program does.

usage: gui_test.py NORVEX.EXE DRIVER.EXE HOST-TEST.EXE WINE-PREFIX.SH PREFIX SCREENSHOTS
                   [unittest arguments]
"""
import os
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from norvex_e2e_test import (Caller, Equipment, GREETING, free_port,  # noqa: E402
                             options_block, port_block)

LIMIT_S = 30  # generous: other builds and wine sessions share the machine
DISPLAYS = range(82, 90)
SCREEN = "1024x768x24"
NORVEX = DRIVER = HOST_TEST = WINE_PREFIX_SH = PREFIX = SCREENSHOTS = None

# What the program shows (its resource texts).
MAIN_BUTTONS = {1: "回線設定", 101: "ｵﾌﾟｼｮﾝ", 102: "ﾊﾞｰｼﾞｮﾝ情報", 3: "終了", 2: "閉じる"}
STATUS_LIST = 100
EXIT_QUESTION = "終了してもよろしいですか？"
IDOK, IDYES, IDNO = 1, 6, 7
BOX_TEXT = 65535
DROP_ON_FALLING_EDGE = 4920  # offset in a port's record of NORVEX.DAT

# The Japanese UI fonts, which a Japanese Windows has, are IPA fonts here (fonts-ipafont-gothic):
# without them wine picks a fallback with other widths, and button texts are cut off.
FONT_REPLACEMENTS = {"ＭＳ Ｐゴシック": "IPAPGothic", "ＭＳ ゴシック": "IPAGothic",
                     "MS UI Gothic": "IPAPGothic"}


def pty_port_block(name, **texts):
    """A port for a pty under wine: only a falling edge of the watched signals ends a call. Wine
    cannot read a pty's modem lines at all, and a failed read otherwise counts as a dropped line."""
    block = bytearray(port_block(name, **texts))
    struct.pack_into("<i", block, DROP_ON_FALLING_EDGE, 1)
    return bytes(block)


def port_is_free(port):
    """True when nobody listens on the port (connections of the past may linger)."""
    with socket.socket() as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("0.0.0.0", port))
            return True
        except OSError:
            return False


def wait_for(check, what, limit_s=LIMIT_S):
    """Polls check() until it gives a true value, which is returned; fails after limit_s."""
    deadline = time.monotonic() + limit_s
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("waited %d s for %s" % (limit_s, what))
        time.sleep(0.1)


class XServer:
    """An Xvfb of its own on the first free display of DISPLAYS."""

    def __init__(self):
        self.process = None
        for number in DISPLAYS:
            if os.path.exists("/tmp/.X%d-lock" % number):
                continue
            process = subprocess.Popen(["Xvfb", ":%d" % number, "-screen", "0", SCREEN,
                                        "-nolisten", "tcp"], stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
            socket_path = "/tmp/.X11-unix/X%d" % number
            deadline = time.monotonic() + LIMIT_S
            while process.poll() is None and not os.path.exists(socket_path):
                if time.monotonic() > deadline:
                    break
                time.sleep(0.05)
            if process.poll() is None and os.path.exists(socket_path):
                self.process, self.display = process, ":%d" % number
                return
            process.kill()
            process.wait()
        raise AssertionError("no free X display among :%d-:%d" % (DISPLAYS[0], DISPLAYS[-1]))

    def stop(self):
        self.process.terminate()
        self.process.wait(LIMIT_S)


class Session:
    """A wine session on the test's X server: the GUI prefix's wineserver, its explorer (which
    holds the tray) and the driver."""

    def __init__(self, display):
        self.env = dict(os.environ, WINEPREFIX=PREFIX, DISPLAY=display, WINEARCH="win64",
                        WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                        LANG="ja_JP.UTF-8", LC_ALL="ja_JP.UTF-8")
        self.driver = None
        self.mapped = []
        self.stop_server()  # one left over by an interrupted test would hold another display
        self.start_server()
        marker = os.path.join(PREFIX, ".norvex-gui-fonts")
        if not os.path.exists(marker):
            self.import_registry("HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements",
                                 FONT_REPLACEMENTS)
            open(marker, "w").close()

    def start_server(self):
        if subprocess.run([WINE_PREFIX_SH, "start"], env=self.env).returncode != 0:
            raise AssertionError("the wine session did not start")

    def stop_server(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stderr=subprocess.DEVNULL)

    def import_registry(self, key, values):
        lines = ["Windows Registry Editor Version 5.00", "", "[%s]" % key]
        lines += ['"%s"="%s"' % (name, value) for name, value in values.items()]
        with tempfile.NamedTemporaryFile("wb", suffix=".reg", delete=False) as script:
            script.write(b"\xff\xfe" + ("\r\n".join(lines) + "\r\n").encode("utf-16-le"))
        try:
            subprocess.run(["wine", "regedit", "/S", script.name], env=self.env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        finally:
            os.remove(script.name)

    def set_com_port(self, name, device):
        subprocess.run(["wine", "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", name, "/t",
                        "REG_SZ", "/d", device, "/f"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def map_com_port(self, name, device):
        """Maps a COM port to a device. Wine reads the mapping when a session starts."""
        self.set_com_port(name, device)
        self.mapped.append(name)
        self.stop_server()
        self.start_server()
        link = os.path.join(PREFIX, "dosdevices", name.lower())
        if os.path.realpath(link) != os.path.realpath(device):
            raise AssertionError("%s is not mapped to %s" % (name, device))

    def start_driver(self):
        self.driver = subprocess.Popen(["wine", DRIVER], env=self.env, stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.pending = b""

    def ask(self, *words):
        self.driver.stdin.write((" ".join(str(word) for word in words) + "\n").encode())
        self.driver.stdin.flush()
        deadline = time.monotonic() + LIMIT_S
        while b"\n" not in self.pending:
            ready, _, _ = select.select([self.driver.stdout], [], [], 0.1)
            if ready:
                chunk = os.read(self.driver.stdout.fileno(), 4096)
                if not chunk:
                    raise AssertionError("the driver ended")
                self.pending += chunk
            elif time.monotonic() > deadline:
                raise AssertionError("the driver did not answer %r" % (words,))
        line, self.pending = self.pending.split(b"\n", 1)
        answer = line.decode("utf-8").rstrip("\r")
        if answer.startswith("error"):
            raise AssertionError("driver: %s (for %r)" % (answer, words))
        return answer

    def stop(self):
        if self.driver is not None:
            self.driver.stdin.close()
            self.driver.wait(LIMIT_S)
            self.driver.stdout.close()
        for name in self.mapped:  # a later session must not reach a pty that has gone
            self.set_com_port(name, "")
        self.stop_server()


class Program:
    """NORVEX.EXE running under wine in a folder."""

    def __init__(self, session, folder):
        self.process = subprocess.Popen(["wine", NORVEX], cwd=folder, env=session.env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def exit_code(self, limit_s=LIMIT_S):
        return self.process.wait(limit_s)


class NorvexWindows(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="norvex-gui-")
        self.x = XServer()
        self.addCleanup(self.x.stop)
        self.session = Session(self.x.display)
        self.addCleanup(self.session.stop)
        self.equipment = None
        self.addCleanup(self.release)

    def release(self):
        if self.equipment is not None:
            self.equipment.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    # ---- Setting up

    def configure(self, telnet_port, *ports):
        with open(os.path.join(self.folder, "NORVEX.DAT"), "wb") as out:
            out.write(options_block(telnet_port) + b"".join(ports))

    def attach_equipment(self):
        """A pty mapped as COM1; its link in the folder is unused (wine opens the mapped device)."""
        links = tempfile.mkdtemp(prefix="norvex-gui-pty-")
        self.addCleanup(shutil.rmtree, links, True)
        self.equipment = Equipment(links)
        self.session.map_com_port("COM1", os.ttyname(self.equipment.slave))
        return self.equipment

    def start(self):
        self.session.start_driver()
        self.program = Program(self.session, self.folder)
        self.main = wait_for(lambda: self.find("NORVEX"), "the main window")
        return self.program

    # ---- Looking

    def ask(self, *words):
        return self.session.ask(*words)

    def find(self, window_class, title=None):
        found = self.ask("find", window_class, *([title] if title else []))
        return None if found == "0" else found

    def visible(self, window):
        return window is not None and self.ask("visible", window) == "1"

    def shown(self, window_class):
        """The first visible top-level window of the class, or None."""
        found = self.ask("shown", window_class)
        return None if found == "0" else found

    def tray(self):
        """The tray window that holds the program's icon, when it is shown."""
        return self.shown("__winex11_standalone_tray")

    def box(self):
        """The message box the program shows (caption "NORVEX"), when there is one."""
        return self.find("#32770", "NORVEX")

    def shown_box(self):
        box = self.box()
        return box if self.visible(box) else None

    def menu(self):
        return self.shown("#32768")

    def rect(self, window, control=None):
        return [int(n) for n in self.ask("rect", window, *([control] if control else [])).split()]

    def cell(self, row, column):
        return self.ask("cell", self.main, STATUS_LIST, row, column)

    def column(self, number):
        """A status-list column's width and title, once it exists."""
        shown = self.ask("column", self.main, STATUS_LIST, number)
        return None if shown == "-" else shown

    def rows(self):
        return int(self.ask("rows", self.main, STATUS_LIST))

    def wait_box(self, text):
        box = wait_for(self.shown_box, "a message box saying %s" % text)
        self.assertEqual(self.ask("text", box, BOX_TEXT), text)
        return box

    def answer_box(self, box, button):
        self.assertEqual(self.ask("exists", box, button), "1")
        self.ask("click", box, button)
        wait_for(lambda: self.find("#32770", "NORVEX") != box, "the box to close")

    def screenshot(self, name, window=None):
        """Saves the screen; once `window` (default: the main window, when it is shown) has been
        painted: an X window is black until then."""
        window = window or (self.main if self.visible(getattr(self, "main", None)) else None)
        os.makedirs(SCREENSHOTS, exist_ok=True)
        path = os.path.join(SCREENSHOTS, name + ".png")

        def painted():
            subprocess.run(["import", "-display", self.x.display, "-window", "root", path],
                           check=True)
            if window is None:
                return True
            left, top, right, bottom = self.rect(window)
            brightest = subprocess.run(
                ["convert", path, "-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top),
                 "-format", "%[fx:maxima]", "info:"], check=True, capture_output=True, text=True)
            return float(brightest.stdout) > 0

        wait_for(painted, "%s to be painted" % name)
        return path

    # ---- Acting as the operator

    def xdotool(self, *words):
        subprocess.run(["xdotool"] + [str(word) for word in words], env=self.session.env,
                       check=True)

    def click(self, rect, button=1, repeat=1):
        self.xdotool("mousemove", (rect[0] + rect[2]) // 2, (rect[1] + rect[3]) // 2,
                     "click", "--repeat", repeat, button)

    def tray_icon_rect(self, tray):
        # The icons sit in a row at the left of the tray's client area; it is one icon high.
        left, top, right, bottom = [int(n) for n in self.ask("client", tray).split()]
        size = bottom - top
        return [left, top, left + size, bottom]

    def choose_from_menu(self, key):
        wait_for(self.menu, "the menu")
        self.xdotool("key", key)
        wait_for(lambda: not self.menu(), "the menu to close")

    def exit_confirmed(self):
        self.ask("click", self.main, 3)  # "終了"
        self.answer_box(self.wait_box(EXIT_QUESTION), IDYES)
        self.assertEqual(self.program.exit_code(), 0)

    # ---- The cases

    def test_first_start_in_an_empty_folder(self):
        # Port 23, the default, is held here (or cannot be had at all), so that the failure to
        # listen is told the same way on every machine.
        holder = socket.socket()
        try:
            holder.bind(("0.0.0.0", 23))
            holder.listen()
        except OSError:
            pass
        self.addCleanup(holder.close)
        self.start()
        box = self.wait_box("TELNETﾎﾟｰﾄ 23 で待ち受けできません")
        self.screenshot("cannot-listen", box)
        self.assertEqual(self.ask("exists", box, IDYES), "0")
        self.answer_box(box, IDOK)

        wait_for(lambda: self.visible(self.main), "the main window to show")
        with open(os.path.join(self.folder, "NORVEX.DAT"), "rb") as settings:
            data = settings.read()
        self.assertEqual(len(data), 1792)
        self.assertEqual(struct.unpack_from("<i", data, 1536)[0], 23)

        self.assertEqual(self.ask("text", self.main), "NORVEX")
        for button, text in MAIN_BUTTONS.items():
            self.assertEqual(self.ask("text", self.main, button), text)
            self.assertEqual(self.ask("enabled", self.main, button), "1")
        # The columns are made once the message loop runs, which may be after the window shows.
        width = int(self.ask("clientwidth", self.main, STATUS_LIST))
        columns = [wait_for(lambda: self.column(n), "column %d" % n) for n in (0, 1)]
        self.assertEqual(columns, ["%d ﾎﾟｰﾄ" % (width * 3 // 10),
                                   "%d ｱﾄﾞﾚｽ" % (width - width * 3 // 10)])
        self.assertEqual(self.rows(), 0)
        self.assertTrue(self.tray())
        self.screenshot("first-start")
        self.exit_confirmed()

    def test_unreadable_settings_end_the_program(self):
        telnet_port = free_port()
        with open(os.path.join(self.folder, "NORVEX.DAT"), "wb") as out:
            out.write(options_block(telnet_port) + bytes(100))  # a short port record
        self.session.start_driver()
        self.program = Program(self.session, self.folder)
        self.answer_box(self.wait_box("設定ファイルの読み込みに失敗しました"), IDOK)
        box = self.wait_box("Window の作成に失敗しました")
        self.screenshot("window-not-made", box)
        self.assertIsNone(self.find("NORVEX"))
        self.assertIsNone(self.tray())
        with socket.socket() as probe, self.assertRaises(ConnectionRefusedError):
            probe.connect(("127.0.0.1", telnet_port))  # no server was started
        self.answer_box(box, IDOK)
        self.assertEqual(self.program.exit_code(), 0)

    def test_configured_start_stays_in_the_tray(self):
        telnet_port = free_port()
        self.attach_equipment()
        self.configure(telnet_port, port_block("COM1"))
        self.start()
        tray = wait_for(self.tray, "the tray icon")
        self.assertFalse(self.visible(self.main))
        self.assertIsNone(self.box())

        self.xdotool("mousemove", *self.centre(self.tray_icon_rect(tray)))
        tip = wait_for(self.shown_tip, "the tray icon's tip")
        self.assertEqual(tip, "NORVEX")

        self.click(self.tray_icon_rect(tray), button=3)
        wait_for(self.menu, "the tray menu")
        self.screenshot("tray-menu", self.menu())
        self.choose_from_menu("v")  # "ｽﾃｰﾀｽ表示(&V)"
        wait_for(lambda: self.visible(self.main), "the main window to show")
        wait_for(lambda: self.rows() == 1, "the status list")
        self.assertEqual(self.cell(0, 0), "COM1")
        self.assertEqual(self.cell(0, 1), "")
        self.exit_confirmed()

    def centre(self, rect):
        return (rect[0] + rect[2]) // 2, (rect[1] + rect[3]) // 2

    def shown_tip(self):
        tip = self.shown("tooltips_class32")
        return self.ask("tip", tip) if tip else None

    def test_second_start_raises_the_first(self):
        telnet_port = free_port()
        self.attach_equipment()
        self.configure(telnet_port, port_block("COM1"))
        self.start()
        wait_for(self.tray, "the tray icon")
        self.assertFalse(self.visible(self.main))
        settings = os.path.join(self.folder, "NORVEX.DAT")
        before = os.stat(settings)

        # Started in another, empty folder: a start that went further would create NORVEX.DAT
        # there and try the telnet port.
        elsewhere = tempfile.mkdtemp(prefix="norvex-gui-second-")
        self.addCleanup(shutil.rmtree, elsewhere, True)
        second = subprocess.run(["wine", NORVEX], cwd=elsewhere, env=self.session.env,
                                timeout=LIMIT_S, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        self.assertEqual(second.returncode, 0)
        self.assertEqual(os.listdir(elsewhere), [])
        wait_for(lambda: self.visible(self.main), "the first instance's window to show")
        self.assertEqual(self.ask("foreground"), self.main)
        # Brought to the front, the program is activated, and that fills the status list.
        wait_for(lambda: self.rows() == 1, "the status list")
        self.assertEqual(self.cell(0, 0), "COM1")
        after = os.stat(settings)
        self.assertEqual((before.st_mtime_ns, before.st_size), (after.st_mtime_ns, after.st_size))
        caller = Caller(telnet_port)  # the first instance still serves
        self.assertTrue(caller.read_until(GREETING))
        caller.close()
        self.exit_confirmed()

    def test_close_hides_and_the_server_keeps_serving(self):
        telnet_port = free_port()
        self.configure(telnet_port)
        self.start()
        wait_for(lambda: self.visible(self.main), "the main window to show")
        self.click(self.rect(self.main, 2))  # "閉じる"
        wait_for(lambda: not self.visible(self.main), "the main window to hide")
        self.assertTrue(self.tray())
        caller = Caller(telnet_port)
        self.assertTrue(caller.read_until(GREETING))
        self.assertTrue(caller.read_until(b"*** BUSY\r\n"))  # no port is configured
        caller.close()

        self.click(self.tray_icon_rect(self.tray()), repeat=2)  # a left double click
        wait_for(lambda: self.visible(self.main), "the main window to show again")
        self.exit_confirmed()

    def test_exit_asks_first(self):
        telnet_port = free_port()
        self.configure(telnet_port)
        self.start()
        wait_for(lambda: self.visible(self.main), "the main window to show")
        self.click(self.rect(self.main, 3))  # "終了"
        box = self.wait_box(EXIT_QUESTION)
        self.assertEqual(self.ask("exists", box, IDOK), "0")
        self.answer_box(box, IDNO)
        self.assertIsNone(self.program.process.poll())
        self.assertTrue(self.visible(self.main))
        caller = Caller(telnet_port)
        self.assertTrue(caller.read_until(GREETING))
        caller.close()

        # From the tray menu this time; Yes ends everything.
        self.click(self.tray_icon_rect(self.tray()), button=3)
        self.choose_from_menu("x")  # "終了(&X)"
        self.answer_box(self.wait_box(EXIT_QUESTION), IDYES)
        self.assertEqual(self.program.exit_code(), 0)
        wait_for(lambda: not self.tray(), "the tray icon to go")
        wait_for(lambda: port_is_free(telnet_port), "the telnet port to be free")

    def test_forced_disconnect_from_the_status_list(self):
        telnet_port = free_port()
        device = self.attach_equipment()
        self.configure(telnet_port, pty_port_block("COM1", disconnect="*** NORMAL END\r\n"))
        self.start()
        wait_for(self.tray, "the tray icon")
        self.click(self.tray_icon_rect(self.tray()), repeat=2)
        wait_for(lambda: self.visible(self.main), "the main window to show")

        caller = Caller(telnet_port)
        self.assertTrue(caller.read_until(GREETING))
        caller.send(b"hello")
        self.assertTrue(device.wait_for(b"hello"), device.received)
        wait_for(lambda: self.cell(0, 1) == "127.0.0.1", "the caller in the status list")
        self.assertEqual(self.cell(0, 0), "COM1")
        self.screenshot("main-window-with-a-caller")

        row = [int(n) for n in self.ask("rowrect", self.main, STATUS_LIST, 0).split()]
        self.click(row, button=3)
        self.choose_from_menu("c")  # "強制切断(&C)"
        box = self.wait_box("COM1 を強制切断しますか？")
        self.screenshot("forced-disconnect-question", box)
        self.answer_box(box, IDYES)
        # A forced end is no normal end: the caller gets no disconnect message.
        self.assertTrue(caller.read_until_closed())
        self.assertTrue(caller.received.endswith(GREETING), caller.received)
        caller.close()
        wait_for(lambda: self.cell(0, 1) == "", "the port to be free in the status list")
        self.assertEqual(self.cell(0, 0), "COM1")

        again = Caller(telnet_port)  # the port serves the next caller
        self.assertTrue(again.read_until(GREETING))
        wait_for(lambda: self.cell(0, 1) == "127.0.0.1", "the next caller in the status list")
        again.close()
        self.exit_confirmed()


class UiHostProgram(unittest.TestCase):
    def test_ui_host(self):
        x = XServer()
        self.addCleanup(x.stop)
        session = Session(x.display)
        self.addCleanup(session.stop)
        run = subprocess.run(["wine", HOST_TEST], env=session.env, capture_output=True,
                             timeout=10 * LIMIT_S)
        report = run.stdout.decode("cp932", errors="replace")
        self.assertEqual(run.returncode, 0, report)
        self.assertIn("[  PASSED  ]", report)


if __name__ == "__main__":
    NORVEX, DRIVER, HOST_TEST, WINE_PREFIX_SH, PREFIX, SCREENSHOTS = [
        os.path.abspath(argument) for argument in sys.argv[1:7]]
    unittest.main(argv=[sys.argv[0]] + sys.argv[7:], verbosity=2)
