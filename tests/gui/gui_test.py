#!/usr/bin/env python3
"""NORVEX.EXE's windows under wine + Xvfb, driven from outside as an operator would drive them.

Each test starts its own X server and wine session (in a prefix that only these tests use, one
test at a time), runs the real NORVEX.EXE in an empty folder, and plays the operator: a driver
program beside it finds the windows and reads their controls and list-view cells; xdotool gives
real clicks and keys (menus are chosen with their mnemonic keys). Callers are raw loopback
sockets, the serial equipment a pty mapped as COM1. Screenshots are kept for review.

The ui host's own test program (HOST-TEST.EXE, on templates of its own) runs in such a session
too: it needs a display as much as the program does.

The settings dialogs are driven the same way, through the running program; what they write to
NORVEX.DAT is compared with what the settings code writes for the same settings (the operator's
tool of the Linux program, built for Windows as NORVEXCTL.EXE).

usage: gui_test.py NORVEX.EXE DRIVER.EXE HOST-TEST.EXE NORVEXCTL.EXE WINE-PREFIX.SH PREFIX
                   SCREENSHOTS [unittest arguments]
"""
import os
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from norvex_e2e_test import (Caller, Equipment, GREETING, free_port,  # noqa: E402
                             options_block, port_block)

LIMIT_S = 30  # generous: other builds and wine sessions share the machine
DISPLAYS = range(82, 90)
SCREEN = "1024x768x24"
NORVEX = DRIVER = HOST_TEST = NORVEXCTL = WINE_PREFIX_SH = PREFIX = SCREENSHOTS = None

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
        # Seldom, right after the session started, reg.exe fails to open the key (status 1); the
        # value is written once the session has settled.
        command = ["wine", "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", name, "/t",
                   "REG_SZ", "/d", device, "/f"]
        wait_for(lambda: subprocess.run(command, env=self.env, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL).returncode == 0,
                 "the registry to take %s=%s" % (name, device))

    def map_com_ports(self, devices):
        """Maps COM ports to devices ({name: device}). Wine reads the mapping when a session
        starts."""
        for name, device in devices.items():
            self.set_com_port(name, device)
            self.mapped.append(name)
        self.stop_server()
        self.start_server()
        for name, device in devices.items():
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


class Operator(unittest.TestCase):
    """The operator's hands and eyes on NORVEX.EXE; the test classes below hold the cases."""

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
        self.session.map_com_ports({"COM1": os.ttyname(self.equipment.slave)})
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

    def click(self, rect, button=1, repeat=1, window=None):
        """Clicks the middle of rect; when it lies in `window` (a top-level window of the
        program), once the X server shows that window there: the program knows a window as shown
        a moment before the X server does, and a click before that would go to what lies beneath."""
        self.xdotool("mousemove", (rect[0] + rect[2]) // 2, (rect[1] + rect[3]) // 2)
        if window is not None:
            self.wait_under_pointer(window)
        self.xdotool("click", "--repeat", repeat, button)

    def press(self, window, control, repeat=1):
        """Clicks a control of a top-level window of the program."""
        self.click(self.rect(window, control), repeat=repeat, window=window)

    def wait_under_pointer(self, window):
        # Without a window manager a top-level window's X window is its client area.
        client = [int(n) for n in self.ask("client", window).split()]

        def there():
            place = subprocess.run(["xdotool", "getmouselocation", "--shell"],
                                   env=self.session.env, capture_output=True, text=True).stdout
            shown = dict(line.split("=", 1) for line in place.split() if "=" in line)
            size = subprocess.run(["xdotool", "getwindowgeometry", "--shell", shown["WINDOW"]],
                                  env=self.session.env, capture_output=True, text=True).stdout
            shown.update(line.split("=", 1) for line in size.split() if "=" in line)
            try:
                left, top = int(shown["X"]), int(shown["Y"])
                return [left, top, left + int(shown["WIDTH"]), top + int(shown["HEIGHT"])] == client
            except (KeyError, ValueError):
                return False
        wait_for(there, "the window under the pointer")

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


class NorvexWindows(Operator):
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
        self.press(self.main, 2)  # "閉じる"
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
        self.press(self.main, 3)  # "終了"
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
        self.click(row, button=3, window=self.main)
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


# The dialogs' titles.
SETUP_TITLE, ADD_PORT_TITLE, EDIT_PORT_TITLE = "回線設定", "ﾎﾟｰﾄの追加", "ﾎﾟｰﾄの設定"
PERMISSION_TITLE, OPTIONS_TITLE, ABOUT_TITLE = "接続許可設定", "ｵﾌﾟｼｮﾝ設定", "NORVEXについて"
SETUP_BUTTONS = (101, 102, 103, 104, 105, 1)  # up, down, settings, add, delete, close
ALL_PORT_NAMES = "".join("COM%d|" % n for n in range(1, 10))
GREETING_AT = 768        # offsets in NORVEX.DAT
TELNET_PORT_AT = 1536


class NorvexDialogs(Operator):
    """The settings dialogs, opened from the running program and filled in with clicks and keys."""

    # ---- Looking at dialogs

    def dialog(self, title):
        """The shown dialog of that title, once it is shown."""
        def shown():
            found = self.find("#32770", title)
            return found if self.visible(found) else None
        return wait_for(shown, "the dialog %s" % title)

    def wait_main_shown(self):
        """Waits for the main window of a program without ports; a message box in its way (the
        telnet port taken, say) is told."""
        try:
            wait_for(lambda: self.visible(self.main) or self.shown_box(), "the main window")
        except AssertionError:
            self.screenshot("%s-no-main-window" % self.id().rsplit(".", 1)[-1])
            raise
        box = self.shown_box()
        if box is not None:
            self.fail("message box instead of the main window: %s" % self.ask("text", box, BOX_TEXT))

    def wait_closed(self, dialog, owner=None):
        """Waits for a dialog to go and, when it had an owner, for the owner to take clicks again
        (the dialog is hidden a moment before its owner is enabled)."""
        try:
            wait_for(lambda: not self.visible(dialog), "the dialog to close")
            if owner is not None:
                wait_for(lambda: self.ask("enabled", owner) == "1", "the owner to be enabled")
        except AssertionError:
            self.screenshot("%s-not-closed" % self.id().rsplit(".", 1)[-1])
            raise

    def enabled_of(self, dialog, ids):
        return [control for control in ids if self.ask("enabled", dialog, control) == "1"]

    def wait_text(self, dialog, control, text):
        wait_for(lambda: self.ask("text", dialog, control) == text,
                 "%r in control %d" % (text, control))

    def settings_file(self):
        with open(os.path.join(self.folder, "NORVEX.DAT"), "rb") as settings:
            return settings.read()

    # ---- Acting on dialogs

    def key(self, window, *keys):
        """Presses keys in a window of the program, first clicked in a corner of its client area
        (where no control is), as a user would: without a window manager the X server's keyboard
        focus stays where it was. (Without one, nobody draws the frame either: only the client
        area is an X window.)"""
        left, top, _, _ = [int(n) for n in self.ask("client", window).split()]
        self.xdotool("mousemove", left + 2, top + 2)
        self.wait_under_pointer(window)
        self.xdotool("click", 1)
        self.xdotool("key", "--delay", 50, *keys)

    def type_text(self, text):
        """Types text; a line break is the Enter key."""
        for number, line in enumerate(text.split("\n")):
            if number > 0:
                self.xdotool("key", "Return")
            if line:
                self.xdotool("type", "--delay", 30, line)

    def fill(self, dialog, control, text, shown=None):
        """Clicks into an empty edit field and types text, then waits until the field shows it
        (`shown`: as it shows it)."""
        self.press(dialog, control)
        self.type_text(text)
        self.wait_text(dialog, control, text.replace("\n", "  ") if shown is None else shown)

    def replace(self, dialog, control, text, shown=None):
        """Selects the whole of a one-line field with the keyboard and types text over it."""
        self.press(dialog, control)
        self.xdotool("key", "--delay", 50, "End", "shift+Home")
        self.type_text(text)
        self.wait_text(dialog, control, text if shown is None else shown)

    def choose(self, dialog, combo, key, item):
        """Drops a combo box's list with a click, moves in it with a key, takes it with Enter."""
        self.press(dialog, combo)
        wait_for(lambda: self.shown("ComboLBox"), "the combo box's list")
        self.xdotool("key", "--delay", 50, key, "Return")
        wait_for(lambda: not self.shown("ComboLBox"), "the combo box's list to close")
        self.wait_text(dialog, combo, item)

    def tick(self, dialog, box):
        self.press(dialog, box)
        wait_for(lambda: self.ask("checked", dialog, box) == "1", "box %d ticked" % box)

    def click_line(self, dialog, line, repeat=1):
        self.click([int(n) for n in self.ask("itemrect", dialog, 100, line).split()],
                   repeat=repeat, window=dialog)

    def add_rule(self, permission, entry, choice_key, choice, row):
        self.fill(permission, 200, entry)
        if choice_key:
            self.choose(permission, 201, choice_key, choice)
        self.press(permission, 103)  # "追加(&A)"
        wait_for(lambda: self.ask("rows", permission, 100) == str(row + 1), "rule %s" % entry)

    def open_from_tray(self, key, title):
        self.click(self.tray_icon_rect(wait_for(self.tray, "the tray icon")), button=3)
        self.choose_from_menu(key)
        return self.dialog(title)

    def reference_settings(self, initial, *commands):
        """NORVEX.DAT as the settings code writes it: `initial` edited by NORVEXCTL.EXE's
        commands, in a folder of its own."""
        folder = tempfile.mkdtemp(prefix="norvex-gui-reference-")
        self.addCleanup(shutil.rmtree, folder, True)
        path = os.path.join(folder, "NORVEX.DAT")
        with open(path, "wb") as out:
            out.write(initial)
        for command in commands:
            run = subprocess.run(["wine", NORVEXCTL] + list(command), cwd=folder,
                                 env=self.session.env, capture_output=True, timeout=LIMIT_S)
            self.assertEqual(run.returncode, 0, (command, run.stdout, run.stderr))
        with open(path, "rb") as settings:
            return settings.read()

    def assertSameBytes(self, written, expected):
        if written != expected:
            at = next((i for i, (a, b) in enumerate(zip(written, expected)) if a != b),
                      min(len(written), len(expected)))
            self.fail("%d bytes written, %d expected; first difference at offset %d: %r, not %r"
                      % (len(written), len(expected), at, written[at:at + 16],
                         expected[at:at + 16]))

    # ---- The cases

    def test_ports_added_ordered_and_served(self):
        telnet_port = free_port()
        links = tempfile.mkdtemp(prefix="norvex-gui-pty-")
        self.addCleanup(shutil.rmtree, links, True)
        com1, com2 = Equipment(links, "COM1"), Equipment(links, "COM2")
        self.addCleanup(com1.close)
        self.addCleanup(com2.close)
        self.session.map_com_ports({"COM1": os.ttyname(com1.slave),
                                    "COM2": os.ttyname(com2.slave)})
        self.configure(telnet_port)
        initial = self.settings_file()
        self.start()
        self.wait_main_shown()  # no port yet

        self.press(self.main, 1)  # "回線設定"
        setup = self.dialog(SETUP_TITLE)
        self.assertEqual(self.ask("items", setup, 100), "")
        self.assertEqual(self.enabled_of(setup, SETUP_BUTTONS), [104, 1])

        # COM1: another speed, a time-out typed with a letter among its digits, the settings a
        # pty needs under wine (no signals to raise, no flow control, only a falling edge ends a
        # call), a two-line connect message, an auto-pilot text and two rules.
        self.press(setup, 104)  # "ﾎﾟｰﾄ追加(&A)"
        port = self.dialog(ADD_PORT_TITLE)
        self.assertEqual(self.ask("comboitems", port, 100), ALL_PORT_NAMES)
        self.assertEqual(self.ask("text", port, 100), "COM1")
        self.assertEqual(self.ask("enabled", port, 100), "1")
        # The keyboard starts at the port name and goes through the controls in reading order.
        wait_for(lambda: self.ask("focus", port) == "100", "the focus on the port name")
        for control in list(range(101, 114)) + [200]:
            self.key(port, "Tab")
            wait_for(lambda: self.ask("focus", port) == str(control), "Tab to %d" % control)
        self.choose(port, 101, "Down", "19200")
        self.choose(port, 105, "Home", "none")
        self.choose(port, 106, "Home", "none")
        self.tick(port, 113)
        self.replace(port, 109, "7x500", shown="7500")  # digits only
        self.fill(port, 200, "== COM1 READY ==\nLINE 2")  # Enter breaks the line
        self.fill(port, 202, "AT\\r")
        # Before the permission list opens over it: an X server shows a closed window a moment
        # longer than the program knows it.
        self.screenshot("port-settings-dialog", port)

        self.press(port, 300)  # "接続許可設定(&P)"
        permission = self.dialog(PERMISSION_TITLE)
        self.assertEqual(self.ask("rows", permission, 100), "0")
        self.add_rule(permission, "127.0.0.1", None, None, 0)
        self.assertEqual(self.ask("text", permission, 200), "")  # emptied for the next rule
        self.add_rule(permission, "all", "Down", "拒否", 1)
        rules = [[self.ask("cell", permission, 100, row, column) for column in (0, 1)]
                 for row in (0, 1)]
        self.assertEqual(rules, [["127.0.0.1", "許可"], ["ALL", "拒否"]])
        row = [int(n) for n in self.ask("rowrect", permission, 100, 0).split()]
        self.click(row, window=permission)
        self.wait_text(permission, 200, "127.0.0.1")  # a selected rule comes back to be changed
        self.assertEqual(self.ask("text", permission, 201), "許可")
        self.screenshot("permission-dialog", permission)
        self.press(permission, 1)  # "閉じる"
        self.wait_closed(permission, port)

        self.press(port, 1)  # "OK"
        self.wait_closed(port, setup)
        wait_for(lambda: self.ask("items", setup, 100) == "COM1|", "COM1 in the list")

        # COM2, the first free name, ended with Enter in a one-line field.
        self.press(setup, 104)
        port = self.dialog(ADD_PORT_TITLE)
        self.assertEqual(self.ask("comboitems", port, 100), ALL_PORT_NAMES[len("COM1|"):])
        self.assertEqual(self.ask("text", port, 100), "COM2")
        self.choose(port, 105, "Home", "none")
        self.choose(port, 106, "Home", "none")
        self.tick(port, 113)
        self.fill(port, 200, "== COM2 READY ==")
        self.press(port, 110)
        self.key(port, "Return")
        self.wait_closed(port, setup)
        wait_for(lambda: self.ask("items", setup, 100) == "COM1|COM2|", "COM2 in the list")
        self.assertEqual(self.enabled_of(setup, SETUP_BUTTONS), [104, 1])  # nothing selected

        self.click_line(setup, 1)
        wait_for(lambda: self.ask("selection", setup, 100) == "1", "COM2 selected")
        self.assertEqual(self.enabled_of(setup, SETUP_BUTTONS), [101, 103, 104, 105, 1])
        self.press(setup, 101)  # "上へ(&U)"
        wait_for(lambda: self.ask("items", setup, 100) == "COM2|COM1|", "COM2 moved up")
        self.assertEqual(self.ask("selection", setup, 100), "0")  # still selected
        self.assertEqual(self.enabled_of(setup, SETUP_BUTTONS), [102, 103, 104, 105, 1])
        self.screenshot("port-list-dialog", setup)

        # A double click on a line opens that port's settings, as they were stored.
        self.click_line(setup, 1, repeat=2)
        port = self.dialog(EDIT_PORT_TITLE)
        self.assertEqual([self.ask("text", port, control) for control in (100, 101, 105, 109)],
                         ["COM1", "19200", "none", "7500"])
        self.assertEqual(self.ask("enabled", port, 100), "0")
        self.assertEqual(self.ask("checked", port, 113), "1")
        self.key(port, "Escape")
        self.wait_closed(port, setup)

        # Nothing is selected after an edit, and the list box has let go of the mouse: the
        # next click is the button's.
        self.assertEqual(self.ask("items", setup, 100), "COM2|COM1|")
        self.assertEqual(self.enabled_of(setup, SETUP_BUTTONS), [104, 1])
        self.press(setup, 1)  # "閉じる" saves
        self.wait_closed(setup, self.main)
        pty = ["flow_control=none", "raise_signals=none", "drop_on_falling_edge=on"]
        expected = self.reference_settings(
            initial,
            ["port", "add", "COM1", "baud_rate=19200", "connect_timeout_ms=7500",
             "connect_message=== COM1 READY ==\\r\\nLINE 2", "auto_pilot_string=AT\\\\r"] + pty,
            ["rule", "add", "COM1", "permit", "127.0.0.1"],
            ["rule", "add", "COM1", "deny", "ALL"],
            ["port", "add", "COM2", "connect_message=== COM2 READY =="] + pty,
            ["port", "move", "COM2", "up"])
        self.assertSameBytes(self.settings_file(), expected)

        # The callers get what was set, at once.
        first = Caller(telnet_port)
        self.assertTrue(first.read_until(GREETING + b"== COM2 READY =="), first.received)
        refused = Caller(telnet_port, source="127.0.0.2")  # COM2 is busy, COM1 denies it
        self.assertTrue(refused.read_until_closed())
        self.assertTrue(refused.received.endswith(GREETING + b"*** BUSY\r\n"), refused.received)
        self.assertEqual(com1.received, b"")  # COM1 was never opened for it
        second = Caller(telnet_port)
        self.assertTrue(second.read_until(GREETING + b"== COM1 READY ==\r\nLINE 2"),
                        second.received)
        self.assertTrue(com1.wait_for(b"AT\r"), com1.received)
        self.assertEqual(termios.tcgetattr(com1.slave)[5], termios.B19200)
        first.close()
        second.close()
        self.exit_confirmed()

    def test_escape_in_the_port_list_saves(self):
        telnet_port = free_port()
        self.configure(telnet_port, port_block("COM1"), port_block("COM3"))
        self.start()
        setup = self.open_from_tray("s", SETUP_TITLE)  # "回線設定(&S)"
        self.assertEqual(self.ask("items", setup, 100), "COM1|COM3|")

        # Esc in the permission list keeps its changes in the port's settings; Esc in those
        # drops them, with the speed changed there.
        self.click_line(setup, 1, repeat=2)
        port = self.dialog(EDIT_PORT_TITLE)
        self.assertEqual(self.ask("text", port, 100), "COM3")
        self.press(port, 300)
        permission = self.dialog(PERMISSION_TITLE)
        self.add_rule(permission, "10.0.0.0/8", None, None, 0)
        self.key(permission, "Escape")
        self.wait_closed(permission, port)
        self.press(port, 300)
        permission = self.dialog(PERMISSION_TITLE)
        self.assertEqual(self.ask("cell", permission, 100, 0, 0), "10.0.0.0/8")
        self.key(permission, "Escape")
        self.wait_closed(permission, port)
        self.choose(port, 101, "Down", "19200")
        self.key(port, "Escape")
        self.wait_closed(port, setup)

        self.click_line(setup, 0)
        wait_for(lambda: self.ask("selection", setup, 100) == "0", "COM1 selected")
        self.press(setup, 105)  # "ﾎﾟｰﾄ削除(&E)", without a question
        wait_for(lambda: self.ask("items", setup, 100) == "COM3|", "COM1 deleted")
        self.assertEqual(self.enabled_of(setup, SETUP_BUTTONS), [104, 1])
        self.key(setup, "Escape")
        self.wait_closed(setup, self.main)
        self.assertIsNone(self.box())  # saved without a complaint
        self.assertSameBytes(self.settings_file(),
                             options_block(telnet_port) + port_block("COM3"))
        self.exit_from_tray()

    def exit_from_tray(self):
        self.click(self.tray_icon_rect(self.tray()), button=3)
        self.choose_from_menu("x")  # "終了(&X)"
        self.answer_box(self.wait_box(EXIT_QUESTION), IDYES)
        self.assertEqual(self.program.exit_code(), 0)

    def test_options_reach_the_next_caller(self):
        telnet_port = free_port()
        next_port = wait_for(lambda: (lambda port: port if port != telnet_port else None)(
            free_port()), "another free port")
        self.configure(telnet_port)
        initial = self.settings_file()
        self.start()
        self.wait_main_shown()

        # Esc after an edit changes nothing.
        self.press(self.main, 101)  # "ｵﾌﾟｼｮﾝ"
        options = self.dialog(OPTIONS_TITLE)
        self.replace(options, 106, "other.log")
        self.key(options, "Escape")
        self.wait_closed(options, self.main)
        self.assertSameBytes(self.settings_file(), initial)

        self.press(self.main, 101)
        options = self.dialog(OPTIONS_TITLE)
        self.assertEqual(self.ask("text", options, 100), str(telnet_port))
        self.assertEqual(self.ask("text", options, 106), "access.log")
        self.assertEqual(self.ask("text", options, 105), GREETING.decode().replace("\r\n", "  "))

        self.press(options, 105)
        self.xdotool("key", "--delay", 50, "ctrl+End", "ctrl+shift+Home")
        self.type_text("*** WELCOME\nTO THE GATEWAY")
        self.wait_text(options, 105, "*** WELCOME  TO THE GATEWAY")
        self.replace(options, 106, "calls.log")
        digits = str(next_port)
        self.replace(options, 100, digits[:2] + "x" + digits[2:], shown=digits)  # digits only
        self.screenshot("options-dialog", options)
        self.press(options, 1)  # "OK"

        box = self.wait_box("TELNETﾎﾟｰﾄの設定は次回の起動から有効になります")
        self.screenshot("telnet-port-next-start", box)
        self.answer_box(box, IDOK)
        self.wait_closed(options, self.main)
        data = self.settings_file()
        self.assertEqual(struct.unpack_from("<i", data, TELNET_PORT_AT)[0], next_port)
        self.assertEqual(data[GREETING_AT:GREETING_AT + 27], b"*** WELCOME\r\nTO THE GATEWAY")
        self.assertEqual(data[GREETING_AT + 27], 0)

        # The running listener keeps its port; the next caller gets the new greeting, and the
        # access log is written under its new name.
        caller = Caller(telnet_port)
        self.assertTrue(caller.read_until_closed())
        self.assertEqual(caller.received[-len(b"*** WELCOME\r\nTO THE GATEWAY*** BUSY\r\n"):],
                         b"*** WELCOME\r\nTO THE GATEWAY*** BUSY\r\n")
        caller.close()
        log = os.path.join(self.folder, "calls.log")
        wait_for(lambda: os.path.exists(log) and os.path.getsize(log) > 0, "calls.log")
        self.assertFalse(os.path.exists(os.path.join(self.folder, "access.log")))
        with socket.socket() as probe, self.assertRaises(ConnectionRefusedError):
            probe.connect(("127.0.0.1", next_port))
        self.exit_confirmed()

    def test_about_box(self):
        self.configure(free_port())
        self.start()
        self.wait_main_shown()
        self.press(self.main, 102)  # "ﾊﾞｰｼﾞｮﾝ情報"
        about = self.dialog(ABOUT_TITLE)
        self.assertIn("|NORVEX on Win95 version|", "|" + self.ask("labels", about))
        self.wait_text(about, 200, "1.07")
        wait_for(lambda: self.ask("focus", about) == "2", "the focus on the default button")
        self.screenshot("about-box", about)
        self.key(about, "Return")
        self.wait_closed(about, self.main)

        about = self.open_from_tray("a", ABOUT_TITLE)  # "NORVEX について(&A)"
        self.wait_text(about, 200, "1.07")
        self.key(about, "Escape")
        self.wait_closed(about, self.main)
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
    NORVEX, DRIVER, HOST_TEST, NORVEXCTL, WINE_PREFIX_SH, PREFIX, SCREENSHOTS = [
        os.path.abspath(argument) for argument in sys.argv[1:8]]
    unittest.main(argv=[sys.argv[0]] + sys.argv[8:], verbosity=2)
