// The property sheet, the worker's routine and what both pages share.
#include "shell/win32/wizard.h"

#include <commctrl.h>

#include <string>

#include "platform/win32/wide_text.h"
#include "resources/resource_ids.h"
#include "resources/strings.h"
#include "shell/win32/dpi.h"
#include "shell/win32/title_font.h"
#include "shell/win32/wizard_pages.h"

namespace zipsalvage {

ShellState* stateOf(HWND page) {
    return reinterpret_cast<ShellState*>(::GetWindowLongPtrW(page, DWLP_USER));
}

ShellState& keepState(HWND page, LPARAM initParam) {
    auto* state =
        reinterpret_cast<ShellState*>(reinterpret_cast<const PROPSHEETPAGEW*>(initParam)->lParam);
    ::SetWindowLongPtrW(page, DWLP_USER, reinterpret_cast<LONG_PTR>(state));
    return *state;
}

INT_PTR notifyResult(HWND page, LONG_PTR result, INT_PTR handled) {
    ::SetWindowLongPtrW(page, DWLP_MSGRESULT, result);
    return handled;
}

std::string controlTextOf(HWND page, int id) {
    HWND control = ::GetDlgItem(page, id);
    int length = ::GetWindowTextLengthW(control);
    std::wstring text(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
    int got = ::GetWindowTextW(control, text.data(), static_cast<int>(text.size()));
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return utf8FromWide(text);
}

void setControlText(HWND page, int id, const std::string& text) {
    ::SetDlgItemTextW(page, id, wideFromUtf8(text).c_str());
}

std::string formattedText(int textId, const std::string& argument) {
    std::string text(argument.size() + 128, '\0');
    formatText(text.data(), static_cast<int>(text.size()), loadText(textId), argument.c_str());
    text.resize(std::char_traits<char>::length(text.c_str()));
    return text;
}

int showMessageBox(HWND page, const std::string& text, int captionId, UINT style) {
    return ::MessageBoxW(page, wideFromUtf8(text).c_str(),
                         wideFromUtf8(loadText(captionId)).c_str(), style);
}

void focusSheetButton(HWND sheet, int id) {
    HWND button = ::GetDlgItem(sheet, id);
    ::SendMessageW(sheet, DM_SETDEFID, static_cast<WPARAM>(id), 0);
    ::SendMessageW(sheet, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(button), TRUE);
}

void giveTitleFont(HWND page, ShellState& state, bool redraw) {
    int dpi = windowDpi(page);
    if (state.titleFont.handle == nullptr || state.titleFontDpi != dpi) {
        HFONT font = createTitleFont(dpi);
        if (font == nullptr) return;  // the font it has stays
        state.titleFont.reset(font);
        state.titleFontDpi = dpi;
    }
    ::SendDlgItemMessageW(page, IDC_PAGE_TITLE, WM_SETFONT,
                          reinterpret_cast<WPARAM>(state.titleFont.handle), redraw);
}

std::string fullPathOf(const std::string& path) {
    std::wstring wide = wideFromUtf8(path);
    DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    std::wstring full(needed, L'\0');
    DWORD length = ::GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return path;
    full.resize(length);
    return utf8FromWide(full);
}

void waitForWorker(WorkerThread& workerThread) {
    if (!workerThread.started) return;
    HANDLE worker = reinterpret_cast<HANDLE>(workerThread.handle);
    while (::MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_SENDMESSAGE) ==
           WAIT_OBJECT_0 + 1) {
        MSG message;
        ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    joinThread(workerThread);
}

void workerMain(void* argument) {
    const WorkerJob& job = *static_cast<const WorkerJob*>(argument);
    RunResult result = runSalvage(*job.run);
    // Sent, not posted: the page has finished with the files before the worker ends. The
    // worker touches nothing after this.
    if (::IsWindow(job.ui.page)) {
        ::SendMessageW(job.ui.page, WM_SALVAGE_DONE, static_cast<WPARAM>(result), 0);
    }
}

void runWizard(HWND mainWindow, ShellState& state) {
    PROPSHEETPAGEW pages[2] = {};
    const WORD templates[2] = {IDD_SELECT_PAGE, IDD_PROGRESS_PAGE};
    const DLGPROC procedures[2] = {selectPageProc, progressPageProc};
    for (int index = 0; index < 2; ++index) {
        pages[index].dwSize = sizeof pages[index];
        pages[index].dwFlags = 0;  // the titles come from the templates' captions
        pages[index].hInstance = state.instance;
        pages[index].pszTemplate = MAKEINTRESOURCEW(templates[index]);
        pages[index].pfnDlgProc = procedures[index];
        pages[index].lParam = reinterpret_cast<LPARAM>(&state);
    }
    PROPSHEETHEADERW sheet = {};
    sheet.dwSize = sizeof sheet;
    sheet.dwFlags = PSH_PROPSHEETPAGE | PSH_WIZARD | PSH_USEICONID | PSH_NOAPPLYNOW;
    sheet.hwndParent = nullptr;
    sheet.hInstance = state.instance;
    sheet.pszIcon = MAKEINTRESOURCEW(IDI_APPLICATION_ICON);
    sheet.nPages = 2;
    sheet.nStartPage = 0;
    sheet.ppsp = pages;
    ::PropertySheetW(&sheet);
    ::DestroyWindow(mainWindow);
}

}  // namespace zipsalvage
