// The log list, progress, centring and the side picture; the run's callbacks into the wizard.
#include "shell/win32/log_window.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "resources/resource_ids.h"
#include "shell/win32/password_dialog.h"
#include "shell/win32/shell_state.h"

namespace zipsalvage {
namespace {

constexpr int kSideBitmapWidth = 100;
constexpr int kSideBitmapHeight = 250;
constexpr int kSideBitmapInset = 2;
constexpr int kLogTextMargin = 8;  // pixels beyond the widest line, so its end is not flush

void runLogLine(void*, const char* text) { logLine(text); }

void runProgress(void*, int thousandths) { postProgress(thousandths); }

bool runMessage(void*, const char* text, const char* caption, MessageKind kind) {
    UINT style =
        kind == MessageKind::kQuestion ? MB_YESNO | MB_ICONINFORMATION : MB_OK | MB_ICONERROR;
    return ::MessageBoxA(logWindow, text, caption, style) == IDYES;
}

// Entry names are stored in the OEM code page; the list box shows ANSI text.
// `utf8` says the name is UTF-8 (flag bit 11) rather than OEM code page bytes.
void runDisplayName(void*, const char* rawName, bool /*utf8*/, std::string& shown) {
    size_t length = std::strlen(rawName);
    shown.assign(length, '\0');
    ::OemToCharBuffA(rawName, shown.data(), static_cast<DWORD>(length));
}

// A list box scrolls sideways only as far as it is told; without this its horizontal scroll bar
// never appears and the end of a long line (a deep path, a long name) cannot be read.
void widenLogFor(HWND list, const char* text) {
    if (list == nullptr) return;
    HDC dc = ::GetDC(list);
    auto font = reinterpret_cast<HFONT>(::SendMessageA(list, WM_GETFONT, 0, 0));
    HGDIOBJ previous = font != nullptr ? ::SelectObject(dc, font) : nullptr;
    SIZE extent = {};
    ::GetTextExtentPoint32A(dc, text, static_cast<int>(std::strlen(text)), &extent);
    if (previous != nullptr) ::SelectObject(dc, previous);
    ::ReleaseDC(list, dc);
    int wanted = extent.cx + kLogTextMargin;
    if (wanted > static_cast<int>(::SendMessageA(list, LB_GETHORIZONTALEXTENT, 0, 0))) {
        ::SendMessageA(list, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(wanted), 0);
    }
}

}  // namespace

void logLine(const char* text) {
    HWND list = ::GetDlgItem(logWindow, IDC_LOG_LIST);
    ::SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    widenLogFor(list, text);
    ::EnableWindow(::GetDlgItem(::GetParent(logWindow), kSheetFinishButton), FALSE);
    scrollLogToEnd(logWindow);
}

void postProgress(int thousandths) {
    ::SendMessageA(logWindow, WM_SALVAGE_PROGRESS, static_cast<WPARAM>(thousandths), thousandths);
}

void scrollLogToEnd(HWND page) {
    HWND list = ::GetDlgItem(page, IDC_LOG_LIST);
    if (list == nullptr) return;
    RECT client;
    ::GetClientRect(list, &client);
    auto itemHeight = static_cast<int>(::SendMessageA(list, LB_GETITEMHEIGHT, 0, 0));
    if (itemHeight <= 0) return;
    // A row only partly in view counts as a row, so the last line lands fully in view.
    int rowsInView = (client.bottom - client.top + itemHeight - 1) / itemHeight;
    auto lineCount = static_cast<int>(::SendMessageA(list, LB_GETCOUNT, 0, 0));
    if (lineCount < rowsInView) return;
    int topLine = std::max(0, lineCount - rowsInView + 1);
    ::SendMessageA(list, LB_SETTOPINDEX, static_cast<WPARAM>(topLine), 0);
}

POINT centeredOrigin(const RECT& window, const RECT& reference, int screenWidth, int screenHeight) {
    int width = window.right - window.left;
    int height = window.bottom - window.top;
    POINT origin;
    origin.x = reference.left + (reference.right - reference.left - width) / 2;
    origin.y = reference.top + (reference.bottom - reference.top - height) / 2;
    if (origin.x < 0) {
        origin.x = 0;
    } else if (origin.x + width > screenWidth) {
        origin.x = screenWidth - width;
    }
    if (origin.y < 0) {
        origin.y = 0;
    } else if (origin.y + height > screenHeight) {
        origin.y = screenHeight - height;
    }
    return origin;
}

void centerWindow(HWND window, HWND reference) {
    RECT windowRect;
    RECT referenceRect;
    ::GetWindowRect(window, &windowRect);
    ::GetWindowRect(reference != nullptr ? reference : ::GetDesktopWindow(), &referenceRect);
    HDC dc = ::GetDC(window);
    int screenWidth = ::GetDeviceCaps(dc, HORZRES);
    int screenHeight = ::GetDeviceCaps(dc, VERTRES);
    ::ReleaseDC(window, dc);
    POINT origin = centeredOrigin(windowRect, referenceRect, screenWidth, screenHeight);
    ::SetWindowPos(window, nullptr, origin.x, origin.y, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void drawSideBitmap(HDC dc) {
    if (sideBitmap == nullptr) return;
    HDC memory = ::CreateCompatibleDC(dc);
    HGDIOBJ previous = ::SelectObject(memory, sideBitmap);
    ::BitBlt(dc, kSideBitmapInset, kSideBitmapInset, kSideBitmapWidth, kSideBitmapHeight, memory, 0,
             0, SRCCOPY);
    ::SelectObject(memory, previous);
    ::DeleteDC(memory);
    RECT edge = {0, 0, kSideBitmapWidth + 2 * kSideBitmapInset,
                 kSideBitmapHeight + 2 * kSideBitmapInset};
    ::DrawEdge(dc, &edge, EDGE_SUNKEN, BF_RECT);
}

void attachWindowUi(SalvageRun& run) {
    run.ui.context = nullptr;
    run.ui.logLine = runLogLine;
    run.ui.postProgress = runProgress;
    run.ui.showMessage = runMessage;
    run.ui.displayName = runDisplayName;
    run.reader.progress = runProgress;
    run.reader.progressContext = nullptr;
    run.passwords.dialog = showPasswordDialog;
    run.passwords.dialogContext = nullptr;
}

}  // namespace zipsalvage
