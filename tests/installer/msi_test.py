#!/usr/bin/env python3
"""NORVEX's MSI installer under wine, as a Windows administrator and operator would use it.

Each test makes a fresh wine prefix (a clean machine; removed at the end) with an X server of its
own, installs the package silently with msiexec and looks at the result from outside: the files,
the shortcuts (read from the .lnk files), the uninstall entry and the product's icon in the
registry. The installed program is started as its shortcuts start it (their target, in their
working directory) and driven with the GUI tests' driver; callers are raw loopback sockets. No
COM port is configured, and the prefix maps none.

Wine resolves the installer's Start-menu folders to the installing user's even for a per-machine
install (Windows uses the all-users folders): the shortcuts are looked for where the installer's
log says it put them.

usage: msi_test.py PACKAGE.msi EARLIER.msi REBUILT.msi NORVEX.EXE ICON DRIVER.EXE WINE-PREFIX.SH
                   PREFIX [unittest arguments]
PACKAGE.msi is the release package; EARLIER.msi one of a lower version and REBUILT.msi another
build of the release's version (a product code of its own), both from the same sources.
"""
import os
import select
import shutil
import socket
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "gui"))
import gui_test  # noqa: E402
from gui_test import (GREETING, IDOK, LIMIT_S, Operator, Session, free_port,  # noqa: E402
                      options_block, port_block, wait_for)

PACKAGE = EARLIER = REBUILT = NORVEX_EXE = ICON = EARLIER_VERSION = None
MSIEXEC_LIMIT_S = 180  # an install takes seconds; a loaded machine may stretch it
SCREEN = "1024x768x24"

PROGRAM_FOLDER = "C:\\Program Files\\NORVEX\\"
SETTINGS_FOLDER = "C:\\ProgramData\\NORVEX\\"
TARGET = PROGRAM_FOLDER + "NORVEX.EXE"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
PRODUCTS_KEY = "HKLM\\Software\\Classes\\Installer\\Products"
CANNOT_LISTEN = "TELNETﾎﾟｰﾄ 23 で待ち受けできません"
DEFAULT_SETTINGS_SIZE = 1792  # the options alone
TELNET_PORT_AT = 1536


# ---- Shell links

LINK_CLSID = bytes.fromhex("0114020000000000c000000000000046")
HAS_ID_LIST, HAS_LINK_INFO, IS_UNICODE = 0x01, 0x02, 0x80
LINK_STRINGS = ((0x04, "name"), (0x08, "relative_path"), (0x10, "working_dir"),
                (0x20, "arguments"), (0x40, "icon"))


def read_shortcut(path):
    """A .lnk file's target (its local base path) and its texts ({"working_dir": ...})."""
    with open(path, "rb") as link:
        data = link.read()
    if len(data) < 0x4C or struct.unpack_from("<I", data, 0)[0] != 0x4C or data[4:20] != LINK_CLSID:
        raise AssertionError("%s is no shell link" % path)
    flags = struct.unpack_from("<I", data, 0x14)[0]
    at = 0x4C
    if flags & HAS_ID_LIST:
        at += 2 + struct.unpack_from("<H", data, at)[0]
    target = None
    if flags & HAS_LINK_INFO:
        size, header, info_flags, _, base, _, suffix = struct.unpack_from("<7I", data, at)
        if info_flags & 0x01:  # a volume and a local base path
            if header >= 0x24:
                base, suffix = struct.unpack_from("<2I", data, at + 28)
                target = wide_text(data, at + base) + wide_text(data, at + suffix)
            else:
                target = ansi_text(data, at + base) + ansi_text(data, at + suffix)
        at += size
    texts = {}
    unicode = bool(flags & IS_UNICODE)
    for bit, name in LINK_STRINGS:
        if flags & bit:
            count = struct.unpack_from("<H", data, at)[0]
            size = count * 2 if unicode else count
            text = data[at + 2:at + 2 + size].decode("utf-16-le" if unicode else "cp932")
            texts[name] = text.rstrip("\0")  # wine counts a terminator too
            at += 2 + size
    return target, texts


def ansi_text(data, at):
    return data[at:data.index(b"\0", at)].decode("cp932")


def wide_text(data, at):
    end = at
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[at:end].decode("utf-16-le")


def same_path(a, b):
    """Windows paths compare without case and without a closing backslash."""
    return a is not None and b is not None and a.rstrip("\\").lower() == b.rstrip("\\").lower()


def contents(path):
    with open(path, "rb") as data:
        return data.read()


class XServer:
    """An Xvfb that picks a free display itself (no race with other tests' servers)."""

    def __init__(self):
        reader, writer = os.pipe()
        self.process = subprocess.Popen(["Xvfb", "-displayfd", str(writer), "-screen", "0", SCREEN,
                                         "-nolisten", "tcp"], pass_fds=(writer,),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(writer)
        number = b""
        try:
            while not number.endswith(b"\n"):
                ready, _, _ = select.select([reader], [], [], LIMIT_S)
                chunk = os.read(reader, 16) if ready else b""
                if not chunk:
                    self.process.kill()
                    self.process.wait()
                    raise AssertionError("Xvfb did not start")
                number += chunk
        finally:
            os.close(reader)
        self.display = ":" + number.decode().strip()

    def stop(self):
        self.process.terminate()
        self.process.wait(LIMIT_S)


class InstalledProgram(gui_test.Program):
    """The installed NORVEX.EXE, started as a shortcut starts it: its target in its folder."""

    def __init__(self, session, target, folder):
        self.process = subprocess.Popen(["wine", target], cwd=folder, env=session.env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Machine(Operator):
    """A clean Windows machine (a fresh prefix) with an administrator and an operator."""

    def setUp(self):
        self.installs = 0
        env = dict(os.environ, WINEPREFIX=gui_test.PREFIX)
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env, stderr=subprocess.DEVNULL)
        shutil.rmtree(gui_test.PREFIX, ignore_errors=True)
        self.addCleanup(shutil.rmtree, gui_test.PREFIX, True)
        self.x = XServer()
        self.addCleanup(self.x.stop)
        self.session = Session(self.x.display)
        self.addCleanup(self.session.stop)
        # Shortcuts made in a prefix would otherwise become menu entries of the Linux desktop.
        self.session.env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;winemenubuilder.exe=d"

    # ---- The administrator

    def unix(self, path):
        """The file of a path on wine's drive C."""
        self.assertTrue(path[:3].upper() == "C:\\", path)
        return os.path.join(gui_test.PREFIX, "drive_c", *[p for p in path[3:].split("\\") if p])

    def msiexec(self, *arguments):
        """Runs msiexec silently with a verbose log; the log's lines, which must tell success."""
        self.installs += 1
        log = "C:\\msiexec-%d.log" % self.installs
        run = subprocess.run(["wine", "msiexec"] + list(arguments) + ["/qn", "/l*v", log],
                             env=self.session.env, capture_output=True, timeout=MSIEXEC_LIMIT_S)
        try:
            lines = contents(self.unix(log)).decode("cp932", errors="replace").splitlines()
        except FileNotFoundError:
            lines = []
        self.assertEqual(run.returncode, 0, "msiexec %s: status %d\n%s" % (
            " ".join(arguments), run.returncode, "\n".join(lines[-40:])))
        return lines

    def install(self, package, *properties):
        """Installs a package; the folders the installer used ({"ProgramMenuFolder": ...})."""
        lines = self.msiexec("/i", "Z:" + package.replace("/", "\\"), *properties)
        folders = {}
        for line in lines:
            if line.startswith("Property(S): "):
                name, _, value = line[len("Property(S): "):].partition(" = ")
                folders[name] = value
        return folders

    def uninstall(self, package):
        self.msiexec("/x", "Z:" + package.replace("/", "\\"))

    def registry(self, key):
        """Every key under key, with its values: {key name: {value name: text}}."""
        run = subprocess.run(["wine", "reg", "query", key, "/s"], env=self.session.env,
                             capture_output=True, timeout=LIMIT_S)
        keys, current = {}, None
        for line in run.stdout.decode("cp932", errors="replace").splitlines():
            if line.startswith("HKEY_"):
                current = keys.setdefault(line.strip(), {})
            elif line.startswith("    ") and current is not None:
                fields = line.strip().split("    ")
                current[fields[0]] = fields[2] if len(fields) > 2 else ""
        return keys

    def entries(self):
        """The uninstall entries ("Apps and features") named NORVEX, by key."""
        return {key: values for key, values in self.registry(UNINSTALL_KEY).items()
                if values.get("DisplayName") == "NORVEX"}

    def shortcut(self, folder):
        return os.path.join(self.unix(folder), "NORVEX.lnk")

    # ---- Checks

    def check_installed(self, folders, version):
        """The program, the settings folder, the Start-menu shortcut and the uninstall entry."""
        self.assertTrue(same_path(folders.get("INSTALLDIR"), PROGRAM_FOLDER), folders)
        self.assertTrue(same_path(folders.get("SETTINGSDIR"), SETTINGS_FOLDER), folders)
        self.assertEqual(contents(self.unix(TARGET)), contents(NORVEX_EXE))
        self.assertTrue(os.path.isdir(self.unix(SETTINGS_FOLDER)))
        self.check_shortcut(folders["ProgramMenuFolder"])

        entries = self.entries()
        self.assertEqual(len(entries), 1, entries)
        (key, entry), = entries.items()
        self.assertEqual(entry.get("DisplayVersion"), version)
        self.assertEqual(entry.get("Publisher"), "NORVEX")
        self.assertTrue(same_path(entry.get("InstallLocation"), PROGRAM_FOLDER), entry)
        # "Apps and features" shows the icon the installer keeps for the product.
        products = [values for values in self.registry(PRODUCTS_KEY).values()
                    if values.get("ProductName") == "NORVEX"]
        self.assertEqual(len(products), 1, products)
        self.assertEqual(contents(self.unix(products[0]["ProductIcon"])), contents(ICON))
        return key

    def check_shortcut(self, folder):
        target, texts = read_shortcut(self.shortcut(folder))
        self.assertTrue(same_path(target, TARGET), target)
        self.assertTrue(same_path(texts.get("working_dir"), SETTINGS_FOLDER), texts)
        return target, texts["working_dir"]

    def check_uninstalled(self, folders):
        self.assertFalse(os.path.exists(self.unix(PROGRAM_FOLDER)))
        self.assertFalse(os.path.exists(self.shortcut(folders["ProgramMenuFolder"])))
        self.assertFalse(os.path.exists(self.shortcut(folders["StartupFolder"])))
        self.assertEqual(self.entries(), {})
        self.assertEqual(self.registry("HKLM\\Software\\NORVEX"), {})

    # ---- The operator

    def log_on_again(self):
        """Ends the wine session, every program in it, and starts a new one, as logging off and
        on again does. (A program that has just ended can linger in the old session a moment,
        where a new start would take it for a running instance.)"""
        self.session.stop()
        self.session.driver = None
        self.session.start_server()

    def wait_main_shown(self):
        """Waits for the main window; a message box in its way is told."""
        wait_for(lambda: self.visible(self.main) or self.shown_box(), "the main window to show")
        box = self.shown_box()
        if box is not None:
            self.fail("message box instead of the main window: %s"
                      % self.ask("text", box, gui_test.BOX_TEXT))

    def start_as(self, shortcut):
        """Starts the program as the shortcut (target, working directory) does; waits for its
        main window to exist."""
        if self.session.driver is None:
            self.session.start_driver()
        target, folder = shortcut
        self.program = InstalledProgram(self.session, target, self.unix(folder))
        self.main = wait_for(lambda: self.find("NORVEX"), "the main window")


class FirstInstall(Machine):
    def test_install_start_from_the_shortcuts_and_uninstall(self):
        folders = self.install(PACKAGE)
        self.check_installed(folders, "1.07")
        settings = self.unix(SETTINGS_FOLDER)
        self.assertEqual(os.listdir(settings), [])
        start_menu = self.check_shortcut(folders["ProgramMenuFolder"])
        at_logon = self.check_shortcut(folders["StartupFolder"])

        # The first start writes the default settings there and opens the main window. Port 23,
        # the default, is held here where that can be done, so that the telnet port of the
        # machine is not opened; a box then says the program cannot listen on it.
        holder = socket.socket()
        try:
            holder.bind(("0.0.0.0", 23))
            holder.listen()
        except OSError:
            pass
        self.addCleanup(holder.close)
        self.start_as(start_menu)
        data_file = os.path.join(settings, "NORVEX.DAT")
        wait_for(lambda: os.path.exists(data_file)
                 and os.path.getsize(data_file) == DEFAULT_SETTINGS_SIZE, "NORVEX.DAT")
        wait_for(lambda: self.visible(self.main) or self.shown_box(), "the main window")
        box = self.shown_box()
        if box is not None:
            self.assertEqual(self.ask("text", box, gui_test.BOX_TEXT), CANNOT_LISTEN)
            self.answer_box(box, IDOK)
        wait_for(lambda: self.visible(self.main), "the main window to show")
        self.assertTrue(wait_for(self.tray, "the tray icon"))
        self.assertEqual(struct.unpack_from("<i", contents(data_file), TELNET_PORT_AT)[0], 23)
        self.exit_confirmed()
        holder.close()

        # Started at logon, on a free port with the access log on, it serves a caller and logs
        # the call in the settings folder.
        telnet_port = free_port()
        with open(data_file, "wb") as out:
            out.write(options_block(telnet_port))
        self.log_on_again()
        self.start_as(at_logon)
        self.wait_main_shown()
        self.assertTrue(wait_for(self.tray, "the tray icon"))
        caller = gui_test.Caller(telnet_port)
        self.assertTrue(caller.read_until(GREETING + b"*** BUSY\r\n"), caller.received)
        caller.close()
        log = os.path.join(settings, "access.log")
        wait_for(lambda: os.path.exists(log) and os.path.getsize(log) > 0, "access.log")
        self.exit_confirmed()
        kept = {name: contents(os.path.join(settings, name))
                for name in ("NORVEX.DAT", "access.log")}

        self.uninstall(PACKAGE)
        self.check_uninstalled(folders)
        self.assertEqual({name: contents(os.path.join(settings, name)) for name in kept}, kept)


class Upgrade(Machine):
    def test_later_builds_keep_settings_and_the_start_at_logon_choice(self):
        folders = self.install(EARLIER, "AUTOSTART=0")
        earlier = self.check_installed(folders, EARLIER_VERSION)
        self.assertFalse(os.path.exists(self.shortcut(folders["StartupFolder"])))

        # The operator's settings and log, as a running program leaves them.
        settings = self.unix(SETTINGS_FOLDER)
        kept = {"NORVEX.DAT": options_block(free_port(), "calls.log") + port_block("COM3"),
                "calls.log": b"2024/01/01 00:00:00 127.0.0.1 COM3 connect\r\n"}
        for name, data in kept.items():
            with open(os.path.join(settings, name), "wb") as out:
                out.write(data)

        folders = self.install(PACKAGE)  # no AUTOSTART: the installed choice holds
        later = self.check_installed(folders, "1.07")
        self.assertNotEqual(later, earlier)
        self.assertFalse(os.path.exists(self.shortcut(folders["StartupFolder"])))
        self.assertEqual({name: contents(os.path.join(settings, name)) for name in kept}, kept)

        # Another build of the same version replaces this one too; AUTOSTART=1 switches start at
        # logon on again.
        folders = self.install(REBUILT, "AUTOSTART=1")
        rebuilt = self.check_installed(folders, "1.07")
        self.assertNotIn(rebuilt, (earlier, later))
        self.check_shortcut(folders["StartupFolder"])
        self.assertEqual({name: contents(os.path.join(settings, name)) for name in kept}, kept)

        self.uninstall(REBUILT)
        self.check_uninstalled(folders)
        self.assertEqual(sorted(os.listdir(settings)), sorted(kept))
        self.assertEqual(contents(os.path.join(settings, "NORVEX.DAT")), kept["NORVEX.DAT"])


if __name__ == "__main__":
    PACKAGE, EARLIER, REBUILT, NORVEX_EXE, ICON = [os.path.abspath(a) for a in sys.argv[1:6]]
    gui_test.DRIVER, gui_test.WINE_PREFIX_SH, gui_test.PREFIX = [
        os.path.abspath(a) for a in sys.argv[6:9]]
    EARLIER_VERSION = os.path.basename(EARLIER).split("-")[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[9:], verbosity=2)
