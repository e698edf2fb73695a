// Copying and saving the log list's lines.
#include "shell/win32/log_actions.h"

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/win32/wide_text.h"
#include "resources/resource_ids.h"
#include "resources/strings.h"
#include "shell/win32/file_dialogs.h"
#include "shell/win32/shell_paths.h"
#include "shell/win32/wizard_pages.h"

namespace zipsalvage {
namespace {

constexpr INT_PTR kKeyHandled = -2;
constexpr INT_PTR kKeyToListBox = -1;
constexpr char kUtf8ByteOrderMark[] = "\xEF\xBB\xBF";

// Owns a popup menu.
struct PopupMenu {
    HMENU menu = ::CreatePopupMenu();
    PopupMenu() = default;
    ~PopupMenu() {
        if (menu != nullptr) ::DestroyMenu(menu);
    }
    PopupMenu(const PopupMenu&) = delete;
    PopupMenu& operator=(const PopupMenu&) = delete;
};

std::wstring lineOf(HWND list, int index) {
    auto length = static_cast<int>(::SendMessageW(list, LB_GETTEXTLEN, index, 0));
    if (length <= 0) return {};
    std::wstring line(static_cast<size_t>(length) + 1, L'\0');
    auto got = static_cast<int>(
        ::SendMessageW(list, LB_GETTEXT, index, reinterpret_cast<LPARAM>(line.data())));
    line.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return line;
}

// Puts `text` on the clipboard as Unicode text; false when the clipboard could not be had.
bool copyToClipboard(HWND owner, const std::wstring& text) {
    size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (block == nullptr) return false;
    void* copy = ::GlobalLock(block);
    if (copy == nullptr) {
        ::GlobalFree(block);
        return false;
    }
    std::memcpy(copy, text.c_str(), bytes);
    ::GlobalUnlock(block);
    if (!::OpenClipboard(owner)) {
        ::GlobalFree(block);
        return false;
    }
    ::EmptyClipboard();
    // Once set, the block is the clipboard's.
    bool placed = ::SetClipboardData(CF_UNICODETEXT, block) != nullptr;
    ::CloseClipboard();
    if (!placed) ::GlobalFree(block);
    return placed;
}

void copyLines(HWND page, bool selectedOnly) {
    std::wstring text = logListText(::GetDlgItem(page, IDC_LOG_LIST), selectedOnly);
    if (!text.empty()) copyToClipboard(page, text);
}

// Writes the whole log to a file the user names. The archive stays open without sharing
// meanwhile: a log that would replace it fails to open, and the archive is left whole.
void saveLog(HWND page, const std::string& outputPath, const std::string& archivePath) {
    std::string path;
    if (!browseForLogFile(page, browseFolderFor(outputPath), path)) return;
    std::string bytes = logFileBytes(logListText(::GetDlgItem(page, IDC_LOG_LIST), false));
    FileHandle archive = openExistingForRead(archivePath.c_str());
    FileHandle file = createReadWrite(path.c_str());
    bool written =
        file != kInvalidFile &&
        writeFile(file, bytes.data(), static_cast<uint32_t>(bytes.size())) == bytes.size();
    std::string reason = written ? std::string() : lastSystemError();
    closeFile(file);
    closeFile(archive);
    if (written) return;
    std::string text(path.size() + reason.size() + 128, '\0');
    formatText(text.data(), static_cast<int>(text.size()), loadText(kTextUnableToSaveLog),
               path.c_str(), reason.c_str());
    text.resize(std::char_traits<char>::length(text.c_str()));
    showMessageBox(page, text, kTextFileError, MB_OK | MB_ICONERROR);
}

// Where the keyboard's context menu opens: below the caret line, or at the list's corner.
POINT keyboardMenuPoint(HWND list) {
    RECT line = {};
    auto caret = static_cast<int>(::SendMessageW(list, LB_GETCARETINDEX, 0, 0));
    POINT point = {0, 0};
    if (caret >= 0 &&
        ::SendMessageW(list, LB_GETITEMRECT, caret, reinterpret_cast<LPARAM>(&line)) != LB_ERR) {
        point = {line.left, line.bottom};
    }
    RECT client;
    ::GetClientRect(list, &client);
    if (point.y > client.bottom) point.y = client.bottom;
    ::ClientToScreen(list, &point);
    return point;
}

}  // namespace

std::wstring logListText(HWND list, bool selectedOnly) {
    std::wstring text;
    auto count = static_cast<int>(::SendMessageW(list, LB_GETCOUNT, 0, 0));
    for (int index = 0; index < count; ++index) {
        if (selectedOnly && ::SendMessageW(list, LB_GETSEL, index, 0) <= 0) continue;
        text += lineOf(list, index);
        text += L"\r\n";
    }
    return text;
}

std::string logFileBytes(const std::wstring& text) {
    return kUtf8ByteOrderMark + utf8FromWide(text);
}

INT_PTR logListKey(HWND page, WPARAM wParam) {
    if (::GetKeyState(VK_CONTROL) >= 0) return kKeyToListBox;
    HWND list = ::GetDlgItem(page, IDC_LOG_LIST);
    switch (LOWORD(wParam)) {
        case 'C':
        case VK_INSERT:
            copyLines(page, true);
            return kKeyHandled;
        case 'A':
            ::SendMessageW(list, LB_SETSEL, TRUE, -1);
            return kKeyHandled;
        default:
            return kKeyToListBox;
    }
}

INT_PTR logListCharacter(WPARAM wParam) {
    constexpr WORD kControlA = 0x01;
    constexpr WORD kControlC = 0x03;
    WORD character = LOWORD(wParam);
    return character == kControlA || character == kControlC ? kKeyHandled : kKeyToListBox;
}

void showLogMenu(HWND page, LPARAM position, const std::string& outputPath,
                 const std::string& archivePath) {
    HWND list = ::GetDlgItem(page, IDC_LOG_LIST);
    POINT point = {static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))};
    if (point.x == -1 && point.y == -1) point = keyboardMenuPoint(list);
    PopupMenu popup;
    if (popup.menu == nullptr) return;
    bool anyLine = ::SendMessageW(list, LB_GETCOUNT, 0, 0) > 0;
    bool anySelected = ::SendMessageW(list, LB_GETSELCOUNT, 0, 0) > 0;
    auto item = [&](UINT id, int textId, bool enabled) {
        ::AppendMenuW(popup.menu, MF_STRING | (enabled ? MF_ENABLED : MF_GRAYED), id,
                      wideFromUtf8(loadText(textId)).c_str());
    };
    item(IDM_COPY_LINES, kTextMenuCopy, anySelected);
    item(IDM_COPY_ALL, kTextMenuCopyAll, anyLine);
    ::AppendMenuW(popup.menu, MF_SEPARATOR, 0, nullptr);
    item(IDM_SAVE_LOG, kTextMenuSaveLog, anyLine);
    UINT command = static_cast<UINT>(
        ::TrackPopupMenu(popup.menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_LEFTALIGN | TPM_TOPALIGN,
                         point.x, point.y, 0, page, nullptr));
    switch (command) {
        case IDM_COPY_LINES:
            copyLines(page, true);
            break;
        case IDM_COPY_ALL:
            copyLines(page, false);
            break;
        case IDM_SAVE_LOG:
            saveLog(page, outputPath, archivePath);
            break;
        default:
            break;
    }
}

}  // namespace zipsalvage
