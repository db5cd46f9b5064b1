#!/usr/bin/env python3
"""Runs the Windows serial test program under wine with a COM port mapped to a fresh pty, and plays
the equipment on the pty's other side: it echoes what it receives, except that the bytes
\\x01HOLD\\x01 make it stop reading for a while (so that the program's writes back up) and then
drain silently.

usage: wine_com_port.py TEST.EXE WINE-RUN.SH [COM-NAME]

The COM port is mapped by a link in the prefix's dosdevices folder, made after the prefix's
persistent wineserver runs: wine rewrites those links from the registry only when it starts, so
the link holds for the run. The registry is left alone, so no other test can reach the pty."""
import os
import select
import subprocess
import sys
import time
import tty

HOLD = b"\x01HOLD\x01"
HOLD_SECONDS = 4.0


def prefix_for(exe):
    if os.environ.get("WINEPREFIX"):
        return os.environ["WINEPREFIX"]
    folder = os.path.dirname(os.path.abspath(exe))
    while folder != "/" and not os.path.exists(os.path.join(folder, "CMakeCache.txt")):
        folder = os.path.dirname(folder)
    return os.path.join(folder, "wineprefix")


def main():
    exe, wine_run = sys.argv[1], sys.argv[2]
    com_name = sys.argv[3] if len(sys.argv) > 3 else "COM29"
    env = dict(os.environ, WINEPREFIX=prefix_for(exe), NORVEX_TEST_COM=com_name)
    wine_prefix = os.path.join(os.path.dirname(os.path.abspath(wine_run)), "wine-prefix.sh")
    if subprocess.run([wine_prefix, "start"], env=env).returncode != 0:
        print("wine_com_port: the wine prefix did not start", file=sys.stderr)
        return 1

    master, terminal = os.openpty()
    tty.setraw(master)
    link = os.path.join(env["WINEPREFIX"], "dosdevices", com_name.lower())
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(os.ttyname(terminal), link)
    try:
        program = subprocess.Popen([wine_run, exe] + sys.argv[4:], env=env)
        echo = True
        hold_until = 0.0
        while program.poll() is None:
            if time.monotonic() < hold_until:
                time.sleep(0.05)
                continue
            ready, _, _ = select.select([master], [], [], 0.05)
            if not ready:
                continue
            try:
                data = os.read(master, 65536)
            except OSError:
                continue
            if HOLD in data:
                echo = False
                hold_until = time.monotonic() + HOLD_SECONDS
            elif echo:
                os.write(master, data)
        return program.returncode
    finally:
        os.remove(link)
        os.close(master)
        os.close(terminal)


if __name__ == "__main__":
    sys.exit(main())
