#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into corpus/<target>/: a few inputs that reach each
parser's paths, in each target's input layout (see the targets' header comments). Run again after
changing a layout; libFuzzer grows its own corpus from these in a scratch copy."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def cuts(*sizes):
    return bytes([len(sizes)]) + bytes(sizes)


IAC, DONT, DO, WONT, WILL, SB, SE, BRK = 255, 254, 253, 252, 251, 250, 240, 243

# telnet_receive: [cut count][cut sizes][stream]
write("telnet_receive", "negotiation", cuts(1, 2, 3) + bytes(
    [IAC, DO, 0, IAC, WILL, 0, IAC, DO, 1, IAC, WILL, 3, IAC, DO, 3, IAC, WONT, 1, IAC, DONT, 5]))
write("telnet_receive", "subnegotiations", cuts(5) + bytes(
    [IAC, SB, 24, 1, IAC, SE, IAC, SB, 24, 0, IAC, SE, IAC, SB, 32, 0, IAC, SE, IAC, WILL, 32,
     IAC, DO, 24, IAC, DO, 31, IAC, SE]))
write("telnet_receive", "data", cuts(1) + b"a" + bytes([IAC, IAC]) + b"b" + bytes([IAC, BRK])
      + b"\r\n\0" + bytes([IAC, 241, IAC, 244, IAC]))
write("telnet_receive", "long_subnegotiation", cuts(64, 7) + bytes([IAC, SB, 24])
      + bytes(range(256)).replace(bytes([IAC]), b"") * 2 + bytes([IAC, SE]))

# modem_command: [cut count][cut sizes][bytes from the equipment]
write("modem_command", "dialogue", cuts(3) + b"AT\rATE0\rATV0\rATQ1\rATQ0V1\rATI\rATI1\r")
write("modem_command", "settings", cuts() + b"AT&F\rATX0\\V0\rATX4\\S\rATZ\rata\rAT E1 Q0 V1\r")
write("modem_command", "noise", cuts(1, 9) + b"xAAT\x08AT\x80\x7f" + b"AT" + b"9" * 70 + b"\r")

# autopilot: [script length - 1][script][cut count][cut sizes][equipment]
def script(text, equipment, *pieces):
    data = text.encode("latin-1")
    return bytes([len(data) - 1]) + data + cuts(*pieces) + equipment

write("autopilot", "dial", script("ATZ\\r[OK](500)ATDT0123\\r{900}[CONNECT]", b"\r\nOK\r\nCONNECT", 3))
write("autopilot", "syntax", script("a\\e\\n\\x[\\]]{x}(-1)[AB)AC", b"ABABAC", 1, 0, 2))
write("autopilot", "sjis", script("\x83\x5b[\x82\x5c]\\", b"\x82\x5c", 2))

# keyword: [text length - 1][text][cut count][cut sizes][serial data]
def keyword(text, data, *pieces):
    raw = text.encode("latin-1")
    return bytes([len(raw) - 1]) + raw + cuts(*pieces) + data

write("keyword", "no_carrier", keyword("NO CARRIER", b"xxNO CARNO CARRIER yy", 4))
write("keyword", "escapes", keyword("\\r\\nBYE\\", b"\r\nBY\r\nBYE", 1, 3))
write("keyword", "abac", keyword("ABAC", b"ABABAC ABAC", 2))
write("keyword", "sjis", keyword("\x82\x5c\\n\x01", b"\x82\x5c\n", 1))

# permission_match: [76-byte rule][64-byte host name][4-byte address]
def rule(in_use, pattern, host_rule, permit):
    return struct.pack("<i", in_use) + pattern.ljust(64, b"\0") + struct.pack("<ii", host_rule, permit)

def host(name):
    return name.ljust(64, b"\0")

write("permission_match", "class_default", rule(1, bytes([10, 0, 0, 0, 0]), 0, 1)
      + host(b"") + bytes([10, 1, 2, 3]))
write("permission_match", "prefix", rule(1, bytes([192, 168, 1, 5, 24]), 0, 1)
      + host(b"") + bytes([192, 168, 1, 5]))
write("permission_match", "host_suffix", rule(1, b"example.com", 1, 0)
      + host(b"pc1.example.com") + bytes([127, 0, 0, 1]))
write("permission_match", "long_prefix", rule(1, bytes([128, 0, 0, 0, 33]), 0, 1)
      + b"x" * 64 + bytes([128, 0, 0, 0]))

# permission_entry: [permit][4-byte address][64-byte host name][the entry's text]
write("permission_entry", "all", b"\x01" + bytes([10, 1, 2, 3]) + host(b"") + b"all")
write("permission_entry", "address", b"\x01" + bytes([192, 168, 1, 5]) + host(b"") + b"192.168.1.0/24")
write("permission_entry", "class", b"\x00" + bytes([10, 9, 9, 9]) + host(b"") + b"10.0.0.0")
write("permission_entry", "host", b"\x01" + bytes([127, 0, 0, 1]) + host(b"pc1.example.com")
      + b"example.com")
write("permission_entry", "odd", b"\x00" + bytes([1, 2, 3, 4]) + b"x" * 64 + b"300.1/40 . \x82\xa0")

# load_settings: the bytes of NORVEX.DAT
def text(value, size):
    data = value.encode("latin-1")
    return data + bytes(size - len(data))

def options(port=2323):
    return (text("*** BUSY\r\n", 256) + text("*** COM PORT ERROR\r\n", 256)
            + text("*** CONNECT ERROR\r\n", 256) + text("*** CONNECT NORVEX\r\n", 256)
            + bytes(512) + struct.pack("<iii", port, 1, 1) + text("access.log", 244))

def port_record(name, emulation=0, autopilot="", keyword_text=""):
    block = (text(name, 16) + struct.pack("<iiiiiiii", 1, 1, 1, 9600, 1, 5000, 5000, 0)
             + rule(1, bytes([0, 0, 0, 0, 0]), 0, 1) + bytes(76 * 63)
             + bytes([8, 0, 0, 0]) + struct.pack("<ii", emulation, 0) + text(autopilot, 256)
             + text("hello\r\n", 256) + text("bye\r\n", 256) + text(keyword_text, 256) + bytes(2500))
    assert len(block) == 8448
    return block

write("load_settings", "defaults", options(23))
write("load_settings", "one_port", options() + port_record("COM1", autopilot="AT\\r[OK]"))
write("load_settings", "two_ports_one_modem",
      options() + port_record("COM1") + port_record("COM2", emulation=1, keyword_text="NO CARRIER"))
write("load_settings", "short_record", options() + port_record("COM1")[:100])
write("load_settings", "too_short", options()[:1000])


# com_port: [commands before the line][input lines][records: length, subnegotiation parameters]
def records(*subnegotiations):
    return b"".join(bytes([len(s)]) + bytes(s) for s in subnegotiations)


write("com_port", "pyserial_open", bytes([4, 0x30]) + records(
    [1, 0, 0, 0xE1, 0], [2, 8], [3, 1], [4, 1], [5, 1], [5, 8], [5, 11], [12, 1], [12, 2]))
write("com_port", "queries_and_masks", bytes([0, 0xB0]) + records(
    [0], [1, 0, 0, 0, 0], [2, 0], [3, 0], [4, 0], [5, 0], [5, 4], [5, 7], [5, 10], [5, 13],
    [11, 0x88], [10, 0x1E], [6], [7], [8], [9], [0, 0x46, 0x55, 0x5A]))
write("com_port", "refused_and_short", bytes([2, 0xFF]) + records(
    [1, 0, 0xFF, 0xFF, 0xFF], [2, 4], [3, 9], [4, 3], [5, 99], [12, 0], [12, 7], [1, 0], [2], [],
    [13, 1], [255], [101, 0, 0, 0, 0]))
