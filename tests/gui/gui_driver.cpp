// Test driver for the GUI tests: runs under wine beside NORVEX.EXE and looks at its windows from
// outside, as another program on the same desktop would. One command per line on standard input,
// one answer line on standard output (texts in UTF-8). Windows are named by their handle in hex.
//
//   find CLASS [TITLE]         first top-level window of the class ("-": any) and title, or 0
//   shown CLASS                first visible top-level window of the class, or 0
//   visible HWND               1 when the window is visible, else 0 (also for no window)
//   enabled HWND [ID]          1 when the window (or its control ID) is enabled
//   exists HWND ID             1 when the window has a control ID
//   text HWND [ID]             the window's (or control's) text
//   rect HWND [ID]             left top right bottom, screen coordinates
//   client HWND [ID]           the client area's left top right bottom, screen coordinates
//   clientwidth HWND [ID]      the client area's width
//   foreground                 the foreground window, or 0
//   click HWND ID              posts BM_CLICK to the control, as a click would do; "ok"
//   rows HWND ID               rows of a list view
//   cell HWND ID ROW COLUMN    a list view's cell text
//   column HWND ID COLUMN      a list view column's width and title, "-" when it has none
//   rowrect HWND ID ROW        a list view row's rectangle, screen coordinates
//   tip HWND                   the text of a tooltip window's current tool
//   items HWND ID              a list box's lines, each followed by "|"
//   selection HWND ID          a list box's selected line, or -1
//   itemrect HWND ID LINE      a list box line's rectangle, screen coordinates
//   comboitems HWND ID         a combo box's items, each followed by "|"
//   checked HWND ID            1 when the check box is ticked, else 0
//   labels HWND                the texts of the window's children, each followed by "|"
//   focus HWND                 the control ID that has the keyboard focus in the window's thread
//                              (-: none, or a window that is no child of HWND)
//   quit                       ends the driver
//
// List-view messages carry pointers, which the system does not copy to another process: the
// record and its text buffer are placed in the list's own process.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string utf8_of(const wchar_t *text, int length = -1) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return "";
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, result.data(), size, nullptr, nullptr);
    if (length == -1) result.resize(static_cast<std::size_t>(size) - 1);  // the terminator
    return result;
}

std::wstring wide_of(const std::string &text) {
    int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (size <= 0) return L"";
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, result.data(), size);
    result.resize(static_cast<std::size_t>(size) - 1);
    return result;
}

HWND hwnd_of(const std::string &text) {
    std::uintptr_t value = static_cast<std::uintptr_t>(std::strtoull(text.c_str(), nullptr, 16));
    return reinterpret_cast<HWND>(value);
}

long long number_of(const std::string &text) { return std::strtoll(text.c_str(), nullptr, 0); }

std::string hex_of(HWND hwnd) {
    char text[32];
    std::snprintf(text, sizeof text, "%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(hwnd)));
    return text;
}

// GetWindowText of another process's window gives the caption the system keeps, which an edit or
// combo box never updates: the control itself is asked, as the system copies WM_GETTEXT across.
std::string window_text(HWND hwnd) {
    wchar_t text[4096];
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text),
                             SMTO_ABORTIFHUNG, 10000, &length)) {
        return "error: no answer to WM_GETTEXT";
    }
    return utf8_of(text, static_cast<int>(length));
}

std::string rect_text(const RECT &rect) {
    char text[96];
    std::snprintf(text, sizeof text, "%ld %ld %ld %ld", static_cast<long>(rect.left),
                  static_cast<long>(rect.top), static_cast<long>(rect.right),
                  static_cast<long>(rect.bottom));
    return text;
}

// A block of memory in the process of a window, freed when it goes.
struct RemoteBlock {
    HANDLE process = nullptr;
    char *address = nullptr;

    explicit RemoteBlock(HWND hwnd, SIZE_T size) {
        DWORD pid = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        DWORD rights = PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE;
        process = OpenProcess(rights, FALSE, pid);
        if (process == nullptr) return;
        address = static_cast<char *>(
            VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    }
    ~RemoteBlock() {
        if (address != nullptr) VirtualFreeEx(process, address, 0, MEM_RELEASE);
        if (process != nullptr) CloseHandle(process);
    }
    bool usable() const { return address != nullptr; }
    bool write(SIZE_T offset, const void *data, SIZE_T size) {
        return WriteProcessMemory(process, address + offset, data, size, nullptr) != 0;
    }
    bool read(SIZE_T offset, void *data, SIZE_T size) {
        return ReadProcessMemory(process, address + offset, data, size, nullptr) != 0;
    }
};

constexpr SIZE_T RECORD_SPACE = 512;     // where the record goes in the remote block
constexpr int TEXT_CHARACTERS = 1024;    // the remote text buffer that follows it

std::string view_cell(HWND list, int row, int column) {
    RemoteBlock block(list, RECORD_SPACE + TEXT_CHARACTERS * sizeof(wchar_t));
    if (!block.usable()) return "error: no memory in the list's process";
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = reinterpret_cast<wchar_t *>(block.address + RECORD_SPACE);
    item.cchTextMax = TEXT_CHARACTERS;
    if (!block.write(0, &item, sizeof item)) return "error: cannot write the record";
    LRESULT length = SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                                  reinterpret_cast<LPARAM>(block.address));
    std::vector<wchar_t> text(TEXT_CHARACTERS, L'\0');
    if (length <= 0) return "";
    block.read(RECORD_SPACE, text.data(), TEXT_CHARACTERS * sizeof(wchar_t));
    text[TEXT_CHARACTERS - 1] = L'\0';
    return utf8_of(text.data());
}

std::string view_column(HWND list, int column) {
    RemoteBlock block(list, RECORD_SPACE + TEXT_CHARACTERS * sizeof(wchar_t));
    if (!block.usable()) return "error: no memory in the list's process";
    LVCOLUMNW header{};
    header.mask = LVCF_WIDTH | LVCF_TEXT;
    header.pszText = reinterpret_cast<wchar_t *>(block.address + RECORD_SPACE);
    header.cchTextMax = TEXT_CHARACTERS;
    if (!block.write(0, &header, sizeof header)) return "error: cannot write the record";
    if (SendMessageW(list, LVM_GETCOLUMNW, static_cast<WPARAM>(column),
                     reinterpret_cast<LPARAM>(block.address)) == 0) {
        return "-";  // not (yet) made
    }
    std::vector<wchar_t> text(TEXT_CHARACTERS, L'\0');
    block.read(0, &header, sizeof header);
    block.read(RECORD_SPACE, text.data(), TEXT_CHARACTERS * sizeof(wchar_t));
    text[TEXT_CHARACTERS - 1] = L'\0';
    return std::to_string(header.cx) + " " + utf8_of(text.data());
}

std::string view_row_rect(HWND list, int row) {
    RemoteBlock block(list, sizeof(RECT));
    if (!block.usable()) return "error: no memory in the list's process";
    RECT rect{};
    rect.left = LVIR_BOUNDS;
    if (!block.write(0, &rect, sizeof rect)) return "error: cannot write the record";
    if (SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(row),
                     reinterpret_cast<LPARAM>(block.address)) == 0) {
        return "error: no such row";
    }
    block.read(0, &rect, sizeof rect);
    MapWindowPoints(list, nullptr, reinterpret_cast<POINT *>(&rect), 2);
    return rect_text(rect);
}

struct ShownSearch {
    std::wstring class_name;
    HWND found;
};

BOOL CALLBACK find_shown(HWND hwnd, LPARAM search_address) {
    ShownSearch *search = reinterpret_cast<ShownSearch *>(search_address);
    wchar_t class_name[256];
    if (IsWindowVisible(hwnd) && GetClassNameW(hwnd, class_name, 256) > 0 &&
        search->class_name == class_name) {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

std::string tip_text(HWND tooltip) {
    RemoteBlock block(tooltip, RECORD_SPACE + TEXT_CHARACTERS * sizeof(wchar_t));
    if (!block.usable()) return "error: no memory in the tooltip's process";
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.lpszText = reinterpret_cast<wchar_t *>(block.address + RECORD_SPACE);
    std::vector<wchar_t> text(TEXT_CHARACTERS, L'\0');
    if (!block.write(0, &tool, sizeof tool) ||
        !block.write(RECORD_SPACE, text.data(), TEXT_CHARACTERS * sizeof(wchar_t))) {
        return "error: cannot write the record";
    }
    LPARAM remote_tool = reinterpret_cast<LPARAM>(block.address);
    if (SendMessageW(tooltip, TTM_GETCURRENTTOOLW, 0, remote_tool) == 0) {
        return "";
    }
    block.read(RECORD_SPACE, text.data(), TEXT_CHARACTERS * sizeof(wchar_t));
    text[TEXT_CHARACTERS - 1] = L'\0';
    return utf8_of(text.data());
}

std::string list_text(HWND list, bool combo) {
    UINT count_message = combo ? CB_GETCOUNT : LB_GETCOUNT;
    UINT length_message = combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN;
    UINT text_message = combo ? CB_GETLBTEXT : LB_GETTEXT;
    LRESULT count = SendMessageW(list, count_message, 0, 0);
    std::string lines;
    for (LRESULT line = 0; line < count; ++line) {
        LRESULT length = SendMessageW(list, length_message, static_cast<WPARAM>(line), 0);
        if (length < 0) return "error: no such line";
        std::vector<wchar_t> text(static_cast<std::size_t>(length) + 1, L'\0');
        SendMessageW(list, text_message, static_cast<WPARAM>(line),
                     reinterpret_cast<LPARAM>(text.data()));
        lines += utf8_of(text.data()) + "|";
    }
    return lines;
}

BOOL CALLBACK add_label(HWND child, LPARAM labels_address) {
    *reinterpret_cast<std::string *>(labels_address) += window_text(child) + "|";
    return TRUE;
}

std::string focus_of(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ||
        info.hwndFocus == nullptr || GetParent(info.hwndFocus) != window) {
        return "-";
    }
    return std::to_string(GetDlgCtrlID(info.hwndFocus));
}

// The window a command names: the control ID of HWND when ID is given, else HWND itself.
HWND target(const std::vector<std::string> &words, std::size_t at) {
    HWND hwnd = hwnd_of(words[1]);
    return words.size() > at ? GetDlgItem(hwnd, static_cast<int>(number_of(words[at]))) : hwnd;
}

std::string answer(const std::vector<std::string> &words) {
    const std::string &verb = words[0];
    std::size_t count = words.size();
    if (verb == "find" && count >= 2) {
        std::wstring class_name = wide_of(words[1]);
        std::string title;
        for (std::size_t i = 2; i < count; ++i) title += (i > 2 ? " " : "") + words[i];
        std::wstring wide_title = wide_of(title);
        HWND found = FindWindowW(words[1] == "-" ? nullptr : class_name.c_str(),
                                 count > 2 ? wide_title.c_str() : nullptr);
        return found == nullptr ? "0" : hex_of(found);
    }
    if (verb == "shown" && count == 2) {
        ShownSearch search{wide_of(words[1]), nullptr};
        EnumWindows(find_shown, reinterpret_cast<LPARAM>(&search));
        return search.found == nullptr ? "0" : hex_of(search.found);
    }
    if (verb == "foreground") {
        HWND foreground = GetForegroundWindow();
        return foreground == nullptr ? "0" : hex_of(foreground);
    }
    if (count < 2) return "error: which window?";
    HWND hwnd = hwnd_of(words[1]);
    if (verb == "visible") return IsWindowVisible(hwnd) ? "1" : "0";
    if (verb == "enabled") {
        HWND window = target(words, 2);
        return window != nullptr && IsWindowEnabled(window) ? "1" : "0";
    }
    if (verb == "exists" && count == 3) return target(words, 2) != nullptr ? "1" : "0";
    if (verb == "text") return window_text(target(words, 2));
    if (verb == "rect") {
        RECT rect{};
        if (!GetWindowRect(target(words, 2), &rect)) return "error: no such window";
        return rect_text(rect);
    }
    if (verb == "client" || verb == "clientwidth") {
        HWND window = target(words, 2);
        RECT rect{};
        if (!GetClientRect(window, &rect)) return "error: no such window";
        if (verb == "clientwidth") return std::to_string(rect.right - rect.left);
        MapWindowPoints(window, nullptr, reinterpret_cast<POINT *>(&rect), 2);
        return rect_text(rect);
    }
    if (verb == "click" && count == 3) {
        HWND button = target(words, 2);
        if (button == nullptr) return "error: no such control";
        return PostMessageW(button, BM_CLICK, 0, 0) ? "ok" : "failed";
    }
    if (verb == "tip") return tip_text(hwnd);
    if (verb == "labels") {
        std::string labels;
        EnumChildWindows(hwnd, add_label, reinterpret_cast<LPARAM>(&labels));
        return labels;
    }
    if (verb == "focus") return focus_of(hwnd);
    if (count < 3) return "error: which control?";
    HWND list = target(words, 2);
    if (list == nullptr) return "error: no such control";
    // The list and combo box messages below are copied across processes by the system.
    if (verb == "items") return list_text(list, false);
    if (verb == "comboitems") return list_text(list, true);
    if (verb == "selection") return std::to_string(SendMessageW(list, LB_GETCURSEL, 0, 0));
    if (verb == "checked") return IsDlgButtonChecked(hwnd, GetDlgCtrlID(list)) ? "1" : "0";
    if (verb == "itemrect" && count == 4) {
        RECT rect{};
        if (SendMessageW(list, LB_GETITEMRECT, static_cast<WPARAM>(number_of(words[3])),
                         reinterpret_cast<LPARAM>(&rect)) == LB_ERR) {
            return "error: no such line";
        }
        MapWindowPoints(list, nullptr, reinterpret_cast<POINT *>(&rect), 2);
        return rect_text(rect);
    }
    if (verb == "rows") return std::to_string(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    if (verb == "cell" && count == 5) {
        return view_cell(list, static_cast<int>(number_of(words[3])),
                         static_cast<int>(number_of(words[4])));
    }
    if (verb == "column" && count == 4) {
        return view_column(list, static_cast<int>(number_of(words[3])));
    }
    if (verb == "rowrect" && count == 4) {
        return view_row_rect(list, static_cast<int>(number_of(words[3])));
    }
    return "error: unknown command " + verb;
}

std::vector<std::string> words_of(const char *line) {
    std::vector<std::string> words;
    std::string word;
    for (const char *c = line; *c != '\0'; ++c) {
        if (*c == ' ' || *c == '\r' || *c == '\n' || *c == '\t') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += *c;
        }
    }
    if (!word.empty()) words.push_back(word);
    return words;
}

}  // namespace

int main() {
    char line[8192];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        std::vector<std::string> words = words_of(line);
        if (words.empty()) continue;
        if (words[0] == "quit") break;
        std::string reply = answer(words);
        // One line per answer, whatever the text holds.
        for (char &c : reply) {
            if (c == '\r' || c == '\n') c = ' ';
        }
        std::fputs(reply.c_str(), stdout);
        std::fputs("\n", stdout);
        std::fflush(stdout);
    }
    return 0;
}
