#!/usr/bin/env python3
"""Debian's telnet client, typed at through a pty, against the telnet channel's test server.

The client must end in character-at-a-time binary mode: a typed character reaches the server
before any Enter, a typed 0xFF arrives as one data byte 0xFF, and the greeting's 0xFF (doubled on
the wire) shows once on the client's terminal.

usage: telnet_client_test.py SERVER_PROGRAM [TELNET_CLIENT [RUNNER]]
RUNNER runs the server program (cmake/wine-run.sh for the Windows build).
"""
import os
import pty
import select
import subprocess
import sys
import time

LIMIT_S = 20  # generous: other builds share the machine


class Failure(Exception):
    pass


class Server:
    def __init__(self, command):
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.lines = []
        self.pending = b""

    def read_line(self, limit_s=LIMIT_S):
        deadline = time.monotonic() + limit_s
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure("server said nothing more; so far: %r" % self.lines)
            ready, _, _ = select.select([self.process.stdout], [], [], left)
            if ready:
                chunk = os.read(self.process.stdout.fileno(), 4096)
                if not chunk:
                    raise Failure("server ended; said: %r" % self.lines)
                self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        text = line.decode().rstrip("\r")  # a Windows build under wine writes CR LF
        self.lines.append(text)
        return text

    def expect_prefix(self, prefix):
        line = self.read_line()
        if not line.startswith(prefix):
            raise Failure("expected %r from the server, got %r (all: %r)" % (prefix, line, self.lines))
        return line


class Client:
    def __init__(self, telnet, port):
        self.pid, self.master = pty.fork()
        if self.pid == 0:
            os.environ["TERM"] = "vt100"
            os.execvp(telnet, [telnet, "127.0.0.1", str(port)])
        self.screen = b""

    def wait_for(self, wanted, limit_s=LIMIT_S):
        deadline = time.monotonic() + limit_s
        while wanted not in self.screen:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure("client never showed %r; screen: %r" % (wanted, self.screen))
            ready, _, _ = select.select([self.master], [], [], left)
            if ready:
                try:
                    chunk = os.read(self.master, 4096)
                except OSError:
                    chunk = b""
                if not chunk:
                    raise Failure("client ended; screen: %r" % self.screen)
                self.screen += chunk

    def type(self, data):
        os.write(self.master, data)

    def end(self):
        try:
            os.kill(self.pid, 9)
        except ProcessLookupError:
            pass
        os.waitpid(self.pid, 0)
        os.close(self.master)


def option_words(line):
    return dict(part.split("=") for part in line.split()[2:])


def run(program, telnet, runner=None):
    server = Server([runner, program] if runner else [program])
    client = None
    try:
        port = int(server.expect_prefix("PORT ").split()[1])
        client = Client(telnet, port)

        negotiated = server.expect_prefix("NEGOTIATED ")
        if negotiated.split()[1] != "0":
            raise Failure("negotiation failed: %r" % negotiated)
        # The greeting's 0xFF went out doubled and shows once.
        client.wait_for(b"HELLO \xff!")
        if b"\xff\xff" in client.screen:
            raise Failure("doubled 0xFF reached the client's screen: %r" % client.screen)

        # Character at a time: the x arrives with no Enter typed at all.
        client.type(b"x")
        line = server.expect_prefix("DATA ")
        if line != "DATA 78":
            raise Failure("first data byte %r, expected 78 (x) before any Enter" % line)
        client.wait_for(b"HELLO \xff!\r\nx")  # the server's echo; the client echoes nothing

        # Binary mode: 0xFF is one data byte (the client doubles it, the channel undoes that).
        client.type(b"\xff")
        line = server.expect_prefix("DATA ")
        if line != "DATA ff":
            raise Failure("typed 0xFF arrived as %r" % line)
        client.type(b"y")
        line = server.expect_prefix("DATA ")
        if line != "DATA 79":
            raise Failure("after 0xFF expected 79 (y), got %r" % line)

        # Everything the server sent has been read before the client goes: a socket closed with
        # unread data would end in a reset instead of an orderly close.
        client.wait_for(b"x\xffy")
        client.end()
        client = None
        closed = server.expect_prefix("CLOSED ")
        if closed.split()[1] != "0":
            raise Failure("the server did not see an orderly close: %r" % closed)
        words = option_words(closed)
        # Both sides binary, this side echoes, go-ahead suppressed both ways.
        expected = {"BINARY": "3", "ECHO": "1", "SGA": "3"}
        if words != expected:
            raise Failure("final options %r, expected %r" % (words, expected))
        if server.process.wait(timeout=LIMIT_S) != 0:
            raise Failure("server exit code %r" % server.process.returncode)
        print("telnet client ends in character-at-a-time binary mode: %r" % server.lines)
        return 0
    except Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    finally:
        if client is not None:
            client.end()
        if server.process.poll() is None:
            server.process.kill()
            server.process.wait()


if __name__ == "__main__":
    sys.exit(run(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else "telnet",
                 sys.argv[3] if len(sys.argv) > 3 else None))
