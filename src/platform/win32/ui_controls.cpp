// The controls of the Win32 ui host's windows and dialogs, by id: texts, check boxes, combo boxes,
// list boxes and list views, each operation the one message that does it.
#include "platform/win32/ui_win32.h"

#include <commctrl.h>

namespace {

HWND control(UiWindow *window, std::int32_t id) { return GetDlgItem(ui_win32_hwnd(window), id); }

LRESULT send(UiWindow *window, std::int32_t id, UINT message, WPARAM wparam, LPARAM lparam) {
    return SendDlgItemMessageA(ui_win32_hwnd(window), id, message, wparam, lparam);
}

// An index answer of a combo or list box: its error codes (-1, and -2 for no room) become -1.
std::int32_t index_answer(LRESULT answer) {
    return answer < 0 ? -1 : static_cast<std::int32_t>(answer);
}

}  // namespace

void win32_set_text(UiWindow *window, std::int32_t id, const char *text) {
    SetDlgItemTextA(ui_win32_hwnd(window), id, text);
}

std::int32_t win32_get_text(UiWindow *window, std::int32_t id, char *buffer, std::int32_t size) {
    buffer[0] = '\0';
    return static_cast<std::int32_t>(GetDlgItemTextA(ui_win32_hwnd(window), id, buffer, size));
}

void win32_enable(UiWindow *window, std::int32_t id, bool enabled) {
    HWND target = control(window, id);
    // A control disabled while it has the keyboard focus takes the focus with it, and the dialog's
    // keys (Tab, Enter, Esc) then reach nobody: "ﾎﾟｰﾄ削除" pressed on the last port, say. The
    // focus first moves on to the next control, as Tab would move it.
    if (!enabled && target != nullptr && GetFocus() == target) {
        SendMessageA(ui_win32_hwnd(window), WM_NEXTDLGCTL, 0, FALSE);
    }
    EnableWindow(target, enabled ? TRUE : FALSE);
}

void win32_set_check(UiWindow *window, std::int32_t id, bool checked) {
    CheckDlgButton(ui_win32_hwnd(window), id, checked ? BST_CHECKED : BST_UNCHECKED);
}

bool win32_get_check(UiWindow *window, std::int32_t id) {
    return IsDlgButtonChecked(ui_win32_hwnd(window), id) == BST_CHECKED;
}

std::int32_t win32_combo_add(UiWindow *window, std::int32_t id, const char *text) {
    return index_answer(send(window, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
}

std::int32_t win32_combo_select(UiWindow *window, std::int32_t id, std::int32_t index) {
    // Windows clears the selection for an index the box does not have; wine keeps the old one.
    if (index < 0 || index >= send(window, id, CB_GETCOUNT, 0, 0)) {
        send(window, id, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
        return -1;
    }
    return index_answer(send(window, id, CB_SETCURSEL, static_cast<WPARAM>(index), 0));
}

std::int32_t win32_combo_selection(UiWindow *window, std::int32_t id) {
    return index_answer(send(window, id, CB_GETCURSEL, 0, 0));
}

void win32_list_clear(UiWindow *window, std::int32_t id) {
    send(window, id, LB_RESETCONTENT, 0, 0);
}

std::int32_t win32_list_add(UiWindow *window, std::int32_t id, const char *text) {
    return index_answer(send(window, id, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
}

std::int32_t win32_list_delete(UiWindow *window, std::int32_t id, std::int32_t index) {
    return index_answer(send(window, id, LB_DELETESTRING, static_cast<WPARAM>(index), 0));
}

std::int32_t win32_list_count(UiWindow *window, std::int32_t id) {
    LRESULT count = send(window, id, LB_GETCOUNT, 0, 0);
    return count < 0 ? 0 : static_cast<std::int32_t>(count);
}

std::int32_t win32_list_selection(UiWindow *window, std::int32_t id) {
    return index_answer(send(window, id, LB_GETCURSEL, 0, 0));
}

void win32_list_select(UiWindow *window, std::int32_t id, std::int32_t index) {
    send(window, id, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

std::int32_t win32_view_client_width(UiWindow *window, std::int32_t id) {
    RECT client{};
    if (!GetClientRect(control(window, id), &client)) return 0;
    return client.right - client.left;
}

void win32_view_screen_rect(UiWindow *window, std::int32_t id, std::int32_t *left,
                            std::int32_t *top, std::int32_t *right, std::int32_t *bottom) {
    RECT outer{};
    GetWindowRect(control(window, id), &outer);
    *left = outer.left;
    *top = outer.top;
    *right = outer.right;
    *bottom = outer.bottom;
}

void win32_view_add_column(UiWindow *window, std::int32_t id, std::int32_t column,
                           std::int32_t width, const char *title) {
    // Every list view gets its columns once, before its first row: the moment to let a click
    // anywhere on a row select it (and hit-test it), not only on the first column's text.
    if (column == 0) {
        send(window, id, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    }
    LVCOLUMNA header{};
    header.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    header.fmt = LVCFMT_LEFT;
    header.cx = width;
    header.pszText = const_cast<char *>(title);
    header.iSubItem = column;
    send(window, id, LVM_INSERTCOLUMNA, static_cast<WPARAM>(column),
         reinterpret_cast<LPARAM>(&header));
}

void win32_view_clear(UiWindow *window, std::int32_t id) {
    send(window, id, LVM_DELETEALLITEMS, 0, 0);
}

std::int32_t win32_view_insert_row(UiWindow *window, std::int32_t id, std::int32_t row,
                                   const char *text) {
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.pszText = const_cast<char *>(text);
    return index_answer(send(window, id, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
}

void win32_view_set_cell(UiWindow *window, std::int32_t id, std::int32_t row, std::int32_t column,
                         const char *text) {
    LVITEMA item{};
    item.iSubItem = column;
    item.pszText = const_cast<char *>(text);
    send(window, id, LVM_SETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

std::int32_t win32_view_row_count(UiWindow *window, std::int32_t id) {
    LRESULT count = send(window, id, LVM_GETITEMCOUNT, 0, 0);
    return count < 0 ? 0 : static_cast<std::int32_t>(count);
}

std::int32_t win32_view_hit_test(UiWindow *window, std::int32_t id, std::int32_t x,
                                 std::int32_t y) {
    LVHITTESTINFO hit{};
    hit.pt.x = x;
    hit.pt.y = y;
    return index_answer(send(window, id, LVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
}

std::int32_t win32_view_first_selected(UiWindow *window, std::int32_t id) {
    return index_answer(send(window, id, LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                             MAKELPARAM(LVNI_SELECTED, 0)));
}

void win32_view_select(UiWindow *window, std::int32_t id, std::int32_t row) {
    // Row -1 of LVM_SETITEMSTATE is every row: first nothing is selected, then only `row`. Each
    // change reaches the parent as LVN_ITEMCHANGED during the message.
    LVITEMA state{};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    state.state = 0;
    send(window, id, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&state));
    if (row < 0 || row >= win32_view_row_count(window, id)) return;
    state.state = LVIS_SELECTED | LVIS_FOCUSED;
    send(window, id, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&state));
    send(window, id, LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), FALSE);
}
