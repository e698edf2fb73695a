// The log list, progress, centring and the side picture; the run's callbacks into the wizard.
#include "shell/win32/log_window.h"

#include <algorithm>
#include <string>

#include "platform/win32/wide_text.h"
#include "resources/resource_ids.h"
#include "shell/win32/dpi.h"
#include "shell/win32/password_dialog.h"
#include "shell/win32/shell_state.h"
#include "shell/win32/shown_names.h"

namespace zipsalvage {
namespace {

constexpr int kSideBitmapWidth = 100;
constexpr int kSideBitmapHeight = 250;
constexpr int kSideBitmapInset = 2;
constexpr int kLogTextMargin = 8;  // pixels beyond the widest line, so its end is not flush

HWND pageOf(void* context) { return static_cast<const WindowUi*>(context)->page; }

void runLogLine(void* context, const char* text) { logLine(pageOf(context), text); }

void runProgress(void* context, int thousandths) { postProgress(pageOf(context), thousandths); }

void runEntryStarted(void* context, const char* shownName) {
    ::SendMessageW(pageOf(context), WM_SALVAGE_ENTRY, 0, reinterpret_cast<LPARAM>(shownName));
}

bool runMessage(void* context, const char* text, const char* caption, MessageKind kind) {
    UINT style =
        kind == MessageKind::kQuestion ? MB_YESNO | MB_ICONINFORMATION : MB_OK | MB_ICONERROR;
    return ::MessageBoxW(pageOf(context), wideFromUtf8(text).c_str(), wideFromUtf8(caption).c_str(),
                         style) == IDYES;
}

// The log's texts are UTF-8, so a name reaches the list box whatever its writer's script.
void runDisplayName(void*, const char* rawName, bool utf8, std::string& shown) {
    shown = shownEntryName(rawName, utf8);
}

// A list box scrolls sideways only as far as it is told; without this its horizontal scroll bar
// never appears and the end of a long line (a deep path, a long name) cannot be read.
void widenLogFor(HWND list, const std::wstring& text) {
    if (list == nullptr) return;
    HDC dc = ::GetDC(list);
    auto font = reinterpret_cast<HFONT>(::SendMessageW(list, WM_GETFONT, 0, 0));
    HGDIOBJ previous = font != nullptr ? ::SelectObject(dc, font) : nullptr;
    SIZE extent = {};
    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    if (previous != nullptr) ::SelectObject(dc, previous);
    ::ReleaseDC(list, dc);
    int wanted = extent.cx + kLogTextMargin;
    if (wanted > static_cast<int>(::SendMessageW(list, LB_GETHORIZONTALEXTENT, 0, 0))) {
        ::SendMessageW(list, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(wanted), 0);
    }
}

}  // namespace

void logLine(HWND page, const char* text) {
    HWND list = ::GetDlgItem(page, IDC_LOG_LIST);
    std::wstring line = wideFromUtf8(text);
    ::SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
    widenLogFor(list, line);
    ::EnableWindow(::GetDlgItem(::GetParent(page), kSheetFinishButton), FALSE);
    scrollLogToEnd(page);
}

void postProgress(HWND page, int thousandths) {
    ::SendMessageW(page, WM_SALVAGE_PROGRESS, static_cast<WPARAM>(thousandths), thousandths);
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

void drawSideBitmap(HDC dc, HBITMAP bitmap, int dpi) {
    if (bitmap == nullptr) return;
    int inset = scaledForDpi(kSideBitmapInset, dpi);
    int width = scaledForDpi(kSideBitmapWidth, dpi);
    int height = scaledForDpi(kSideBitmapHeight, dpi);
    HDC memory = ::CreateCompatibleDC(dc);
    HGDIOBJ previous = ::SelectObject(memory, bitmap);
    if (width == kSideBitmapWidth && height == kSideBitmapHeight) {
        ::BitBlt(dc, inset, inset, width, height, memory, 0, 0, SRCCOPY);
    } else {
        // Averaged rather than repeated pixels: the picture's gradients stay smooth.
        int oldMode = ::SetStretchBltMode(dc, HALFTONE);
        POINT oldOrigin;
        ::SetBrushOrgEx(dc, 0, 0, &oldOrigin);  // HALFTONE wants it set after the mode
        ::StretchBlt(dc, inset, inset, width, height, memory, 0, 0, kSideBitmapWidth,
                     kSideBitmapHeight, SRCCOPY);
        ::SetBrushOrgEx(dc, oldOrigin.x, oldOrigin.y, nullptr);
        ::SetStretchBltMode(dc, oldMode);
    }
    ::SelectObject(memory, previous);
    ::DeleteDC(memory);
    RECT edge = {0, 0, width + 2 * inset, height + 2 * inset};
    ::DrawEdge(dc, &edge, EDGE_SUNKEN, BF_RECT);
}

void attachWindowUi(EntryContext& run, WindowUi& ui) {
    run.ui.context = &ui;
    run.ui.logLine = runLogLine;
    run.ui.postProgress = runProgress;
    run.ui.entryStarted = runEntryStarted;
    run.ui.showMessage = runMessage;
    run.ui.displayName = runDisplayName;
    run.reader.progress = runProgress;
    run.reader.progressContext = &ui;
    run.passwords.dialog = showPasswordDialog;
    run.passwords.dialogContext = &ui;
}

}  // namespace zipsalvage
