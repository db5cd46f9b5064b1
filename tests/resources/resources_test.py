#!/usr/bin/env python3
"""NORVEX.EXE's resources read back from the built exe and compared with the user interface's
tables: the six dialog templates (size, caption, font, the style bits that matter, every control's
id, class, text, place, style and Tab order), the tray and line menus, the string table, the
version block and the icon. The expected values are written here from the tables of the design,
not from the resource script, so that a mistyped text or a wrong number in either shows.

usage: resources_test.py NORVEX.EXE [unittest arguments, e.g. Dialogs]"""
import struct
import sys
import unittest

import pe_resources as pe

EXE = None
JAPANESE = 0x0411
FONT = (9, "ＭＳ Ｐゴシック")

WS_POPUP = 0x80000000
WS_CHILD = 0x40000000
WS_VISIBLE = 0x10000000
WS_DISABLED = 0x08000000
WS_CAPTION = 0x00C00000
WS_BORDER = 0x00800000
WS_SYSMENU = 0x00080000
WS_VSCROLL = 0x00200000
WS_TABSTOP = 0x00010000
DS_SETFONT = 0x40
DS_CENTER = 0x800
BS_TYPEMASK, BS_PUSHBUTTON, BS_DEFPUSHBUTTON, BS_AUTOCHECKBOX = 0xF, 0, 1, 3
ES_MULTILINE, ES_AUTOVSCROLL, ES_PASSWORD = 0x4, 0x40, 0x20
ES_READONLY, ES_WANTRETURN, ES_NUMBER = 0x800, 0x1000, 0x2000
LBS_NOTIFY, LBS_SORT, LBS_MULTIPLESEL, LBS_EXTENDEDSEL, LBS_NOSEL = 0x1, 0x2, 0x8, 0x800, 0x4000
CBS_TYPEMASK, CBS_DROPDOWNLIST, CBS_SORT = 0x3, 0x3, 0x100
SS_TYPEMASK, SS_LEFT, SS_ICON = 0x1F, 0x0, 0x3
LVS_TYPEMASK, LVS_REPORT, LVS_SINGLESEL, LVS_SHOWSELALWAYS = 0x3, 0x1, 0x4, 0x8
LVS_SORTING, LVS_EDITLABELS, LVS_OWNERDATA, LVS_NOCOLUMNHEADER = 0x30, 0x200, 0x1000, 0x4000

# A closed drop-down list of the 9-point dialog font is 12 dialog units high; a combo box's
# height in a template is that of its open list.
COMBO_CLOSED_HEIGHT = 12
LABEL_HEIGHT = 8  # one line of the dialog font

# Kinds of control: window class, (type mask, type), style bits required, style bits forbidden.
# Every control is also a visible child, enabled unless its kind says otherwise.
EDIT_FORBIDDEN = ES_READONLY | ES_PASSWORD
LIST_FORBIDDEN = CBS_SORT | WS_DISABLED | WS_VSCROLL  # the item order is the stored value
KINDS = {
    "status list": ("SysListView32", (LVS_TYPEMASK, LVS_REPORT), LVS_SINGLESEL | WS_BORDER,
                    LVS_SORTING | LVS_EDITLABELS | LVS_OWNERDATA | LVS_NOCOLUMNHEADER),
    "rule list": ("SysListView32", (LVS_TYPEMASK, LVS_REPORT),
                  LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_BORDER | WS_TABSTOP,
                  LVS_SORTING | LVS_EDITLABELS | LVS_OWNERDATA | LVS_NOCOLUMNHEADER),
    "list box": ("ListBox", None, LBS_NOTIFY | WS_VSCROLL | WS_BORDER | WS_TABSTOP,
                 LBS_SORT | LBS_MULTIPLESEL | LBS_EXTENDEDSEL | LBS_NOSEL),
    "button": ("Button", (BS_TYPEMASK, BS_PUSHBUTTON), WS_TABSTOP, 0),
    "default button": ("Button", (BS_TYPEMASK, BS_DEFPUSHBUTTON), WS_TABSTOP, 0),
    "check box": ("Button", (BS_TYPEMASK, BS_AUTOCHECKBOX), WS_TABSTOP, 0),
    "drop-down list": ("ComboBox", (CBS_TYPEMASK, CBS_DROPDOWNLIST), WS_TABSTOP, LIST_FORBIDDEN),
    "drop-down list, scroll bar": ("ComboBox", (CBS_TYPEMASK, CBS_DROPDOWNLIST),
                                   WS_TABSTOP | WS_VSCROLL, CBS_SORT | WS_DISABLED),
    "drop-down list, disabled": ("ComboBox", (CBS_TYPEMASK, CBS_DROPDOWNLIST),
                                 WS_TABSTOP | WS_DISABLED, CBS_SORT | WS_VSCROLL),
    "edit": ("Edit", None, WS_BORDER | WS_TABSTOP, EDIT_FORBIDDEN | ES_MULTILINE | ES_NUMBER),
    "edit, digits": ("Edit", None, ES_NUMBER | WS_BORDER | WS_TABSTOP,
                     EDIT_FORBIDDEN | ES_MULTILINE),
    # Enter in a plain multi-line edit is the dialog's OK; in these it starts a new line.
    "text": ("Edit", None, ES_MULTILINE | ES_AUTOVSCROLL | WS_BORDER | WS_TABSTOP,
             EDIT_FORBIDDEN | ES_NUMBER | ES_WANTRETURN),
    "text, Enter": ("Edit", None, ES_MULTILINE | ES_WANTRETURN | WS_BORDER | WS_TABSTOP,
                    EDIT_FORBIDDEN | ES_NUMBER),
    "label": ("Static", (SS_TYPEMASK, SS_LEFT), 0, WS_TABSTOP),
    "icon": ("Static", (SS_TYPEMASK, SS_ICON), 0, WS_TABSTOP),
}
LABEL = -1


def C(cid, kind, text, place, beside=None, above=None, after=None):
    """One expected control. place is (x, y, w, h); None where the tables leave the value open.
    A label may be bound to a control: beside (left of it, on its line), above (just over it)
    or after (right of it, on its line)."""
    return dict(id=cid, kind=kind, text=text, place=place, beside=beside, above=above, after=after)


def L(text, x, y=None, **binding):
    return C(LABEL, "label", text, (x, y, None, None), **binding)


# Each template: size (None where open), caption (None where the program sets it), window class,
# whether the caption has a system menu, and the controls in template order, which is the Tab
# order: the reading order, each label just before the control it names.
DIALOGS = {
    "NORVEX": dict(size=(233, 137), caption="NORVEX", cls="NORVEX", sysmenu=False, controls=[
        C(100, "status list", "", (8, 8, 216, 100)),
        C(1, "button", "回線設定", (8, 116, 40, 16)),
        C(101, "button", "ｵﾌﾟｼｮﾝ", (52, 116, 40, 16)),
        C(102, "button", "ﾊﾞｰｼﾞｮﾝ情報", (96, 116, 40, 16)),
        C(3, "button", "終了", (140, 116, 40, 16)),
        C(2, "button", "閉じる", (184, 116, 40, 16)),
    ]),
    "SETUP": dict(size=(113, 137), caption="回線設定", cls="", sysmenu=False, controls=[
        C(100, "list box", "", (8, 8, 48, 124)),
        C(101, "button", "上へ(&U)", (64, 8, 40, 16)),
        C(102, "button", "下へ(&D)", (64, 28, 40, 16)),
        C(103, "button", "ﾎﾟｰﾄ設定(&S)", (64, 48, 40, 16)),
        C(104, "button", "ﾎﾟｰﾄ追加(&A)", (64, 68, 40, 16)),
        C(105, "button", "ﾎﾟｰﾄ削除(&E)", (64, 88, 40, 16)),
        C(1, "button", "閉じる", (64, 116, 40, 16)),
    ]),
    "PORTSETUP": dict(size=(214, 287), caption=None, cls="", sysmenu=False, controls=[
        C(LABEL, "label", "通信設定", (8, 4, 60, 8)),
        L("ﾎﾟｰﾄ", 12, beside=100),
        C(100, "drop-down list, disabled", "", (48, 18, 48, 56)),
        L("通信速度", 12, beside=101),
        C(101, "drop-down list, scroll bar", "", (48, 34, 48, 198)),
        L("ﾃﾞｰﾀﾋﾞｯﾄ", 12, beside=102),
        C(102, "drop-down list", "", (48, 50, 48, 56)),
        L("ﾊﾟﾘﾃｨｰ", 12, beside=103),
        C(103, "drop-down list", "", (48, 66, 48, 56)),
        L("ｽﾄｯﾌﾟﾋﾞｯﾄ", 12, beside=104),
        C(104, "drop-down list", "", (48, 82, 48, 56)),
        L("ﾌﾛｰ制御", 12, beside=105),
        C(105, "drop-down list", "", (48, 98, 48, 56)),
        L("接続時設定信号", 104, beside=106),
        C(106, "drop-down list", "", (156, 18, 48, 56)),
        L("接続確認信号", 104, beside=107),
        C(107, "drop-down list", "", (156, 34, 48, 56)),
        L("接続後確認信号", 104, beside=108),
        C(108, "drop-down list", "", (156, 50, 48, 56)),
        L("接続時ﾀｲﾑｱｳﾄ", 104, beside=109),
        C(109, "edit, digits", "", (156, 66, 36, 14)),
        L("ﾐﾘ秒", 192, after=109),
        L("切断時ﾀｲﾑｱｳﾄ", 104, beside=110),
        C(110, "edit", "", (156, 82, 36, 14)),
        L("ﾐﾘ秒", 192, after=110),
        L("無通信ﾀｲﾑｱｳﾄ", 104, beside=111),
        C(111, "edit", "", (156, 98, 36, 14)),
        L("秒", 192, after=111),
        C(112, "check box", "ﾓﾃﾞﾑｴﾐｭﾚｰﾄを行う", (12, 116, 84, 12)),
        C(113, "check box", "回線断は立ち下がりをﾁｪｯｸする", (104, 116, 104, 12)),
        L("接続完了時メッセージ(&C)", None, above=200),
        C(200, "text, Enter", "", (10, 144, 194, 24)),
        L("切断時メッセージ(&D)", None, above=201),
        C(201, "text", "", (10, 180, 194, 24)),
        L("ｵｰﾄﾊﾟｲﾛｯﾄ文字列(&O)", None, above=202),
        C(202, "text", "", (10, 216, 194, 14)),
        L("切断ｷｰﾜｰﾄﾞ文字列(&K)", None, above=203),
        C(203, "text", "", (10, 240, 194, 14)),
        C(300, "button", "接続許可設定(&P)", (12, 264, 56, 16)),
        C(1, "button", "OK", (100, 264, 50, 16)),
        C(2, "button", "ｷｬﾝｾﾙ", (156, 264, 50, 16)),
    ]),
    "PERMISSION": dict(size=(231, 148), caption="接続許可設定", cls="", sysmenu=True, controls=[
        C(100, "rule list", "", (8, 8, 176, 100)),
        C(101, "button", "上へ(&U)", (188, 10, 36, 16)),
        C(102, "button", "下へ(&D)", (188, 30, 36, 16)),
        C(103, "button", "追加(&A)", (188, 50, 36, 16)),
        C(104, "button", "削除(&E)", (188, 70, 36, 16)),
        C(105, "button", "変更(&C)", (188, 90, 36, 16)),
        L("IP ｱﾄﾞﾚｽ", 8, 116),
        C(200, "edit", "", (8, 124, 108, 14)),
        L("許可/拒否", 120, 116),
        C(201, "drop-down list", "", (120, 124, 50, 68)),
        C(1, "button", "閉じる", (188, 124, 36, 16)),
    ]),
    "OPTION": dict(size=(282, 221), caption="ｵﾌﾟｼｮﾝ設定", cls="", sysmenu=True, controls=[
        L("すべての回線が塞がっている場合のメッセージ(&B)", 4, 8),
        C(102, "text, Enter", "", (4, 16, 156, 40)),
        L("COMﾎﾟｰﾄのｴﾗｰが発生した場合のﾒｯｾｰｼﾞ(&E)", 4, 60),
        C(103, "text, Enter", "", (4, 68, 156, 40)),
        L("接続処理に失敗した場合のﾒｯｾｰｼﾞ(&C)", 4, 112),
        C(104, "text, Enter", "", (4, 120, 156, 40)),
        L("TELNET接続時のﾒｯｾｰｼﾞ(&O)", 4, 164),
        C(105, "text, Enter", "", (4, 172, 156, 40)),
        L("TELNETﾎﾟｰﾄ番号(&P) :", 172, 16),
        C(100, "edit, digits", "", (240, 12, 32, 15)),
        C(101, "check box", "ﾄﾞﾒｲﾝ名を取得する(&D)", (172, 36, 108, 12)),
        L("ｱｸｾｽﾛｸﾞﾌｧｲﾙ名(&F)", 168, 60),
        C(106, "edit", "", (168, 68, 104, 14)),
        C(107, "check box", "ｱｸｾｽﾛｸﾞを記録する(&L)", (168, 84, 100, 12)),
        C(1, "button", "OK", (168, 196, 50, 16)),
        C(2, "button", "ｷｬﾝｾﾙ", (224, 196, 50, 16)),
    ]),
    "VERSIONDLG": dict(size=(140, None), caption="NORVEXについて", cls="", sysmenu=True, controls=[
        C(LABEL, "icon", "NORVEX", (8, 12, 18, 21)),
        # Wide enough for the whole line in a proportional font (80 wraps "version" away).
        C(LABEL, "label", "NORVEX on Win95 version", (32, 12, 86, 8)),
        C(200, "label", "", (118, 12, 20, 8)),
        C(2, "default button", "閉じる", (100, 36, 36, 16)),
    ]),
}

MENUS = {
    "TRAYMENU": [
        (103, "ｽﾃｰﾀｽ表示(&V)"),
        (1, "回線設定(&S)"),
        (101, "ｵﾌﾟｼｮﾝ(&O)"),
        (102, "NORVEX について(&A)"),
        None,  # separator
        (3, "終了(&X)"),
    ],
    "LINEMENU": [
        (500, "強制切断(&C)"),
    ],
}

STRINGS = {
    1001: "%s を強制切断しますか？",
    1002: "設定ファイルの読み込みに失敗しました",
    1003: "ﾃﾞｰﾀの書き込みに失敗しました",
    1004: "条件を追加できる空きエリアがありません",
    1005: "追加できるCOMポートが存在しません",
    1006: "ﾎﾟｰﾄの削除に失敗しました",
    1007: "ﾎﾟｰﾄの追加に失敗しました",
    1008: "ﾎﾟｰﾄの更新に失敗しました",
    1009: "TELNETﾎﾟｰﾄの設定は次回の起動から有効になります",
    1011: "Window クラスの登録に失敗しました",
    1012: "Window の作成に失敗しました",
    1013: "サーバスレッドの作成に失敗しました",
    1014: "サーバスレッドは強制終了されました",
    1015: "終了してもよろしいですか？",
    # Not in the original table: a listener that cannot listen is reported with its port.
    1016: "TELNETﾎﾟｰﾄ %d で待ち受けできません",
    1101: "ｱﾄﾞﾚｽ",
    1102: "許可/拒否",
    1103: "許可",
    1104: "拒否",
    1105: "ﾎﾟｰﾄの追加",
    1106: "ﾎﾟｰﾄの設定",
    1107: "ﾎﾟｰﾄ",
    1108: "ｱﾄﾞﾚｽ",
}

PRODUCT_VERSION = "1.07"
VERSION_NUMBERS = (1, 7)  # the version block's binary product version: 1.07 is 1, 7
ICON_SIZES = {(16, 16), (32, 32)}


def load():
    return pe.PeFile(EXE)


def resource(exe, rtype, name):
    """The one version of a resource, which must be Japanese."""
    found = exe.get(rtype, name)
    if found is None:
        raise AssertionError("no resource %r of type %d" % (name, rtype))
    language, data = found
    if language != JAPANESE:
        raise AssertionError("resource %r of type %d has language 0x%04x" % (name, rtype, language))
    return data


def cp932_problem(text):
    """Why the program, which reads every text as code page 932, could not show this text."""
    try:
        text.encode("cp932")
    except UnicodeEncodeError as error:
        return "%r has %r, which code page 932 lacks" % (text, error.object[error.start:error.end])
    return None


def closed_rect(control):
    height = control["h"]
    if control["cls"].lower() == "combobox":
        height = min(height, COMBO_CLOSED_HEIGHT)
    return control["x"], control["y"], control["w"], height


def overlap(a, b):
    ax, ay, aw, ah = a
    bx, by, bw, bh = b
    return ax < bx + bw and bx < ax + aw and ay < by + bh and by < ay + ah


def describe(control):
    return "control %d %r" % (control["id"], control["text"])


class Dialogs(unittest.TestCase):
    def setUp(self):
        self.exe = load()

    def test_every_template_is_there_once(self):
        self.assertEqual(sorted(DIALOGS), self.exe.names(pe.RT_DIALOG))

    def test_window_size_caption_font_and_style(self):
        for name, want in DIALOGS.items():
            with self.subTest(dialog=name):
                got = pe.parse_dialog(resource(self.exe, pe.RT_DIALOG, name))
                width, height = want["size"]
                self.assertEqual(width, got["w"])
                if height is not None:
                    self.assertEqual(height, got["h"])
                if want["caption"] is not None:
                    self.assertEqual(want["caption"], got["caption"])
                self.assertEqual(want["cls"], got["cls"], "window class")
                self.assertEqual("", got["menu"])
                self.assertEqual(FONT, got["font"])
                style = got["style"]
                for bit, bit_name in ((WS_POPUP, "WS_POPUP"), (WS_CAPTION, "WS_CAPTION"),
                                      (DS_CENTER, "DS_CENTER"), (DS_SETFONT, "DS_SETFONT")):
                    self.assertEqual(bit, style & bit, bit_name + " missing")
                self.assertEqual(want["sysmenu"], bool(style & WS_SYSMENU), "system menu")
                # Start-up decides whether the main window shows; no dialog shows half-filled.
                self.assertEqual(0, style & WS_VISIBLE, "WS_VISIBLE")

    def test_controls_in_order_with_id_class_text_place_and_style(self):
        for name, want in DIALOGS.items():
            got = pe.parse_dialog(resource(self.exe, pe.RT_DIALOG, name))["controls"]
            with self.subTest(dialog=name, what="controls in Tab order"):
                self.assertEqual([(c["id"], c["text"]) for c in want["controls"]],
                                 [(c["id"], c["text"]) for c in got])
            for index, (expected, control) in enumerate(zip(want["controls"], got)):
                with self.subTest(dialog=name, control=index, id=expected["id"],
                                  text=expected["text"]):
                    self.check_control(expected, control)

    def check_control(self, expected, control):
        cls, kind_type, required, forbidden = KINDS[expected["kind"]]
        self.assertEqual(cls.lower(), control["cls"].lower(), "window class")
        style = control["style"]
        if kind_type is not None:
            mask, value = kind_type
            self.assertEqual(value, style & mask, "type of %s: style 0x%08x" % (cls, style))
        required |= WS_CHILD | WS_VISIBLE
        if not required & WS_DISABLED:
            forbidden |= WS_DISABLED
        self.assertEqual(required, style & required,
                         "style 0x%08x lacks 0x%08x" % (style, required & ~style))
        self.assertEqual(0, style & forbidden,
                         "style 0x%08x has 0x%08x" % (style, style & forbidden))
        for got, value, field in zip((control["x"], control["y"], control["w"], control["h"]),
                                     expected["place"], "xywh"):
            if value is not None:
                self.assertEqual(value, got, field)
        if expected["kind"] == "label":
            self.assertGreaterEqual(control["h"], LABEL_HEIGHT, "a label holds one line")
            self.assertGreater(control["w"], 0)

    def test_labels_stand_by_their_controls(self):
        for name, want in DIALOGS.items():
            got = pe.parse_dialog(resource(self.exe, pe.RT_DIALOG, name))["controls"]
            by_id = {c["id"]: c for c in got if c["id"] != LABEL}
            for expected, label in zip(want["controls"], got):
                bound = expected["beside"] or expected["above"] or expected["after"]
                if bound is None or bound not in by_id:
                    continue
                with self.subTest(dialog=name, label=expected["text"]):
                    x, y, w, h = closed_rect(by_id[bound])
                    if expected["above"]:
                        self.assertLessEqual(label["y"] + label["h"], y, "label above its control")
                        self.assertLessEqual(y - (label["y"] + label["h"]), 4, "close above it")
                        self.assertTrue(x <= label["x"] <= x + 4, "aligned with its left edge")
                    else:
                        if expected["beside"]:
                            self.assertLessEqual(label["x"] + label["w"], x, "left of its control")
                        else:
                            self.assertEqual(x + w, label["x"], "right of its control")
                        self.assertTrue(y <= label["y"] and label["y"] + label["h"] <= y + h,
                                        "on the line of its control")

    def test_nothing_overlaps_and_everything_is_inside(self):
        for name in DIALOGS:
            got = pe.parse_dialog(resource(self.exe, pe.RT_DIALOG, name))
            controls = got["controls"]
            for i, a in enumerate(controls):
                with self.subTest(dialog=name, control=describe(a)):
                    x, y, w, h = closed_rect(a)
                    self.assertTrue(0 <= x and x + w <= got["w"] and 0 <= y and y + h <= got["h"],
                                    "outside the %d x %d dialog" % (got["w"], got["h"]))
                    for b in controls[i + 1:]:
                        self.assertFalse(overlap(closed_rect(a), closed_rect(b)),
                                         "overlaps " + describe(b))

    def test_texts_can_be_shown_in_code_page_932(self):
        for name in DIALOGS:
            got = pe.parse_dialog(resource(self.exe, pe.RT_DIALOG, name))
            for text in [got["caption"]] + [c["text"] for c in got["controls"]
                                            if isinstance(c["text"], str)]:
                with self.subTest(dialog=name, text=text):
                    self.assertIsNone(cp932_problem(text))


class Menus(unittest.TestCase):
    def test_tray_and_line_menus(self):
        exe = load()
        self.assertEqual(sorted(MENUS), exe.names(pe.RT_MENU))
        for name, want in MENUS.items():
            with self.subTest(menu=name):
                menu = pe.parse_menu(resource(exe, pe.RT_MENU, name))
                # One popup; the program shows its items.
                self.assertEqual(1, len(menu))
                self.assertEqual("popup", menu[0][0])
                items = [None if item[0] == "separator" else item[1:] for item in menu[0][2]]
                self.assertEqual(want, items)
                for item in items:
                    if item is not None:
                        self.assertIsNone(cp932_problem(item[1]))


class Strings(unittest.TestCase):
    def test_string_table(self):
        exe = load()
        got = {}
        for block in exe.names(pe.RT_STRING):
            got.update(pe.parse_string_block(block, resource(exe, pe.RT_STRING, block)))
        self.assertEqual(STRINGS, got)
        for string_id, text in got.items():
            with self.subTest(string=string_id):
                self.assertIsNone(cp932_problem(text))
                # The program loads each into a 256-byte buffer.
                self.assertLessEqual(len(text.encode("cp932")), 255)


class Version(unittest.TestCase):
    def test_version_block(self):
        exe = load()
        self.assertEqual([1], exe.names(pe.RT_VERSION))
        key, fixed, children, _ = pe.parse_version_node(resource(exe, pe.RT_VERSION, 1))
        self.assertEqual("VS_VERSION_INFO", key)
        self.assertEqual(52, len(fixed))
        signature, _, _, _, product_ms, product_ls = struct.unpack_from("<6I", fixed)
        self.assertEqual(0xFEEF04BD, signature)
        self.assertEqual(VERSION_NUMBERS, (product_ms >> 16, product_ms & 0xFFFF))
        self.assertEqual(0, product_ls)
        blocks = {child[0]: child for child in children}
        self.assertEqual({"StringFileInfo", "VarFileInfo"}, set(blocks))
        tables = blocks["StringFileInfo"][2]
        self.assertEqual(["041103A4"], [table[0] for table in tables])
        values = {entry[0]: entry[1] for entry in tables[0][2]}
        self.assertEqual(PRODUCT_VERSION, values.get("ProductVersion"))
        # The program keeps the text in 32 bytes with its terminator.
        self.assertLessEqual(len(values["ProductVersion"].encode("cp932")), 31)
        variables = blocks["VarFileInfo"][2]
        self.assertEqual(["Translation"], [variable[0] for variable in variables])
        self.assertEqual(struct.pack("<HH", 0x0411, 932), variables[0][1])


class Icon(unittest.TestCase):
    def test_icon_group_with_16_and_32_pixel_images(self):
        exe = load()
        self.assertEqual(["NORVEX"], exe.names(pe.RT_GROUP_ICON))
        entries = pe.parse_icon_group(resource(exe, pe.RT_GROUP_ICON, "NORVEX"))
        self.assertTrue(ICON_SIZES <= {(e[0], e[1]) for e in entries})
        for width, height, bits, size, icon_id in entries:
            with self.subTest(image="%d x %d" % (width, height)):
                image = resource(exe, pe.RT_ICON, icon_id)
                self.assertEqual(size, len(image))
                self.assertEqual((width, height), pe.icon_image_size(image))
                self.assertGreaterEqual(bits, 4)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    EXE = sys.argv.pop(1)
    unittest.main(verbosity=2)
