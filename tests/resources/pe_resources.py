"""Reads the resources of a Windows PE file (NORVEX.EXE) with the standard library alone: the
resource directory, and the formats of dialog templates (plain and extended), menu templates, the
string table, the version block and icon groups. Malformed data raises ValueError."""
import struct

RT_ICON = 3
RT_MENU = 4
RT_DIALOG = 5
RT_STRING = 6
RT_GROUP_ICON = 14
RT_VERSION = 16

# Predefined window classes, stored as ordinals in dialog templates.
CLASS_ORDINALS = {0x80: "Button", 0x81: "Edit", 0x82: "Static", 0x83: "ListBox",
                  0x84: "ScrollBar", 0x85: "ComboBox"}

DS_SETFONT = 0x40
DS_SHELLFONT = 0x48
MF_POPUP = 0x10
MF_END = 0x80
MF_SEPARATOR = 0x800


def _u16(data, pos):
    return struct.unpack_from("<H", data, pos)[0]


def _u32(data, pos):
    return struct.unpack_from("<I", data, pos)[0]


def _align4(pos):
    return (pos + 3) & ~3


def _sz(data, pos):
    """A NUL-terminated UTF-16 text; returns it and the position after the terminator."""
    end = pos
    while True:
        if end + 2 > len(data):
            raise ValueError("unterminated text at %d" % pos)
        if _u16(data, end) == 0:
            break
        end += 2
    return data[pos:end].decode("utf-16-le"), end + 2


def _sz_or_ord(data, pos):
    """A template field that is empty (""), an ordinal (int) or a text (str)."""
    first = _u16(data, pos)
    if first == 0:
        return "", pos + 2
    if first == 0xFFFF:
        return _u16(data, pos + 2), pos + 4
    return _sz(data, pos)


class PeFile:
    """The resources of one PE file: resources[type][name] is a list of (language, bytes);
    a name is an int (an ordinal) or an upper-case str."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        self.sections = []
        self.resources = {}
        self._read_headers()

    def _read_headers(self):
        data = self.data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ executable")
        pe = _u32(data, 0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        sections, optional_size = _u16(data, pe + 6), _u16(data, pe + 20)
        optional = pe + 24
        magic = _u16(data, optional)
        if magic == 0x20B:  # PE32+
            directories = optional + 112
        elif magic == 0x10B:  # PE32
            directories = optional + 96
        else:
            raise ValueError("unknown optional header 0x%x" % magic)
        resource_rva, resource_size = struct.unpack_from("<II", data, directories + 2 * 8)
        table = optional + optional_size
        for i in range(sections):
            name, vsize, rva, raw_size, raw_pos = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("ascii", "replace"), rva,
                                  max(vsize, raw_size), raw_pos, raw_size))
        if resource_rva == 0 or resource_size == 0:
            raise ValueError("no resource directory")
        self.resource_base = self.offset(resource_rva)
        self._read_directory(self.resource_base, [])

    def offset(self, rva):
        """The file offset of a relative virtual address."""
        for _, start, size, raw_pos, raw_size in self.sections:
            if start <= rva < start + size:
                if rva - start >= raw_size:
                    raise ValueError("rva 0x%x has no file data" % rva)
                return raw_pos + rva - start
        raise ValueError("rva 0x%x is in no section" % rva)

    def _read_directory(self, pos, path):
        data = self.data
        named, numbered = _u16(data, pos + 12), _u16(data, pos + 14)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", data, pos + 16 + 8 * i)
            if name & 0x80000000:
                string = self.resource_base + (name & 0x7FFFFFFF)
                length = _u16(data, string)
                key = data[string + 2:string + 2 + 2 * length].decode("utf-16-le")
            else:
                key = name
            if target & 0x80000000:
                if len(path) >= 2:
                    raise ValueError("resource directory deeper than three levels")
                self._read_directory(self.resource_base + (target & 0x7FFFFFFF), path + [key])
            else:
                if len(path) != 2:
                    raise ValueError("resource data outside the type/name/language levels")
                rva, size = struct.unpack_from("<II", data, self.resource_base + target)
                start = self.offset(rva)
                if start + size > len(data):
                    raise ValueError("resource data beyond the end of the file")
                rtype, rname = path
                self.resources.setdefault(rtype, {}).setdefault(rname, []).append(
                    (key, data[start:start + size]))

    def names(self, rtype):
        return sorted(self.resources.get(rtype, {}), key=str)

    def get(self, rtype, name):
        """The one language version of a resource as (language, bytes), or None."""
        versions = self.resources.get(rtype, {}).get(name)
        if not versions:
            return None
        if len(versions) != 1:
            raise ValueError("resource %r of type %d exists in %d languages" %
                             (name, rtype, len(versions)))
        return versions[0]


def parse_dialog(data):
    """A dialog template, plain (DIALOG) or extended (DIALOGEX), as a dict; controls in template
    order, each a dict with id (signed), class (name), text, x, y, w, h, style, exstyle."""
    extended = _u16(data, 0) == 1 and _u16(data, 2) == 0xFFFF
    if extended:
        _, exstyle, style, count = struct.unpack_from("<III H", data, 4)
        x, y, w, h = struct.unpack_from("<hhhh", data, 18)
        pos = 26
    else:
        style, exstyle, count = struct.unpack_from("<IIH", data, 0)
        x, y, w, h = struct.unpack_from("<hhhh", data, 10)
        pos = 18
    menu, pos = _sz_or_ord(data, pos)
    window_class, pos = _sz_or_ord(data, pos)
    caption, pos = _sz(data, pos)
    font = None
    if style & DS_SETFONT or (extended and style & DS_SHELLFONT == DS_SHELLFONT):
        points = _u16(data, pos)
        pos += 2
        if extended:
            pos += 4  # weight, italic, character set
        face, pos = _sz(data, pos)
        font = (points, face)
    controls = []
    for _ in range(count):
        pos = _align4(pos)
        if extended:
            _, cexstyle, cstyle = struct.unpack_from("<III", data, pos)
            cx, cy, cw, ch = struct.unpack_from("<hhhh", data, pos + 12)
            cid = struct.unpack_from("<i", data, pos + 20)[0]
            pos += 24
        else:
            cstyle, cexstyle = struct.unpack_from("<II", data, pos)
            cx, cy, cw, ch = struct.unpack_from("<hhhh", data, pos + 8)
            cid = struct.unpack_from("<h", data, pos + 16)[0]
            pos += 18
        cclass, pos = _sz_or_ord(data, pos)
        if isinstance(cclass, int):
            if cclass not in CLASS_ORDINALS:
                raise ValueError("unknown class ordinal 0x%x" % cclass)
            cclass = CLASS_ORDINALS[cclass]
        text, pos = _sz_or_ord(data, pos)
        extra = _u16(data, pos)
        pos += 2 + extra
        controls.append(dict(id=cid, cls=cclass, text=text, x=cx, y=cy, w=cw, h=ch,
                             style=cstyle, exstyle=cexstyle))
    if pos > len(data):
        raise ValueError("dialog template shorter than its controls")
    return dict(style=style, exstyle=exstyle, x=x, y=y, w=w, h=h, menu=menu, cls=window_class,
                caption=caption, font=font, controls=controls)


def parse_menu(data):
    """A plain menu template as a list of items: ("popup", text, [items]), ("item", id, text)
    or ("separator",)."""
    version, header = _u16(data, 0), _u16(data, 2)
    if version != 0:
        raise ValueError("menu template version %d is not a plain menu" % version)
    items, pos = _menu_items(data, 4 + header)
    if pos != len(data) and any(data[pos:]):
        raise ValueError("bytes after the menu's last item")
    return items


def _menu_items(data, pos):
    items = []
    while True:
        if pos + 2 > len(data):
            raise ValueError("menu template ends inside an item")
        flags = _u16(data, pos)
        pos += 2
        if flags & MF_POPUP:
            text, pos = _sz(data, pos)
            children, pos = _menu_items(data, pos)
            items.append(("popup", text, children))
        else:
            item_id = _u16(data, pos)
            text, pos = _sz(data, pos + 2)
            if flags & MF_SEPARATOR or (item_id == 0 and text == ""):
                items.append(("separator",))
            else:
                items.append(("item", item_id, text))
        if flags & MF_END:
            return items, pos


def parse_string_block(block_id, data):
    """One string-table block (16 strings): {string id: text} of its non-empty entries."""
    strings = {}
    pos = 0
    for i in range(16):
        length = _u16(data, pos)
        pos += 2
        if length:
            strings[(block_id - 1) * 16 + i] = data[pos:pos + 2 * length].decode("utf-16-le")
        pos += 2 * length
    if pos > len(data):
        raise ValueError("string block %d is shorter than its entries" % block_id)
    return strings


def parse_version_node(data, pos=0):
    """One node of a version block: (key, value, children, end). The value is a str for text
    nodes, bytes for binary ones."""
    length, value_length, kind = struct.unpack_from("<HHH", data, pos)
    end = pos + length
    if length < 6 or end > len(data):
        raise ValueError("version node of length %d at %d" % (length, pos))
    key, p = _sz(data, pos + 6)
    p = _align4(p)
    if kind == 1:
        value = data[p:p + 2 * value_length].decode("utf-16-le").rstrip("\0")
        p += 2 * value_length
    else:
        value = data[p:p + value_length]
        p += value_length
    children = []
    p = _align4(p)
    while p < end:
        child = parse_version_node(data, p)
        children.append(child[:3])
        p = _align4(child[3])
    return key, value, children, end


def parse_icon_group(data):
    """An icon group: a list of (width, height, bit count, byte count, icon id)."""
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1:
        raise ValueError("not an icon group")
    entries = []
    for i in range(count):
        width, height, _, _, _, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        entries.append((width or 256, height or 256, bits, size, icon_id))
    return entries


def icon_image_size(data):
    """The pixel size of one RT_ICON image: a DIB (its height counts the mask too) or a PNG."""
    if data[:8] == b"\x89PNG\r\n\x1a\n":
        return struct.unpack_from(">II", data, 16)
    header, width, height = struct.unpack_from("<Iii", data, 0)
    if header != 40:
        raise ValueError("icon image with a %d-byte header" % header)
    return width, height // 2
