// The property sheet and its two pages: the archive is chosen and both files are prepared on the
// first page; the second page runs the worker and shows the log, progress and the result.
#include "shell/win32/wizard.h"

#include <commctrl.h>
#include <commdlg.h>

#include <string>

#include "resources/resource_ids.h"
#include "resources/strings.h"
#include "shell/win32/log_window.h"
#include "shell/win32/shell_paths.h"
#include "shell/win32/shell_state.h"

namespace zipsalvage {
namespace {

// Set when the worker's WM_SALVAGE_DONE has been handled: from then on a close of the sheet
// is no cancel, and the finished output is kept.
bool runFinished = false;

// A dialog procedure's answer to a notification goes in DWLP_MSGRESULT.
INT_PTR notifyResult(HWND page, LONG_PTR result, INT_PTR handled) {
    ::SetWindowLongPtrA(page, DWLP_MSGRESULT, result);
    return handled;
}

std::string fullPathOf(const std::string& path) {
    char full[kPathCharacters];
    DWORD length = ::GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full) return path;
    return std::string(full, length);
}

// The file-open dialog; true with the chosen path in `chosen`.
bool browseForArchive(HWND page, std::string& chosen) {
    char filter[kPathCharacters] = {};
    const char* filterText = loadText(kTextOpenDialogFilter);
    for (size_t index = 0; filterText[index] != '\0' && index + 2 < sizeof filter; ++index) {
        filter[index] = filterText[index] == '#' ? '\0' : filterText[index];
    }
    char title[kPathCharacters];
    lstrcpynA(title, loadText(kTextOpenDialogTitle), sizeof title);
    char file[kPathCharacters] = {};

    OPENFILENAMEA dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = page;
    dialog.lpstrFilter = filter;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file;
    dialog.nMaxFile = sizeof file;
    dialog.lpstrInitialDir =
        salvageRun.browseFolder.empty() ? nullptr : salvageRun.browseFolder.c_str();
    dialog.lpstrTitle = title;
    dialog.lpstrDefExt = "zip";
    dialog.Flags =
        OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_LONGNAMES;
    if (!::GetOpenFileNameA(&dialog)) return false;
    chosen = file;
    return true;
}

void showArchivePath(HWND page) {
    ::SetDlgItemTextA(page, IDC_ARCHIVE_EDIT, salvageRun.archivePath.c_str());
    ::SetFocus(::GetDlgItem(page, IDC_ARCHIVE_EDIT));
}

// Next on the first page: true when both files are open and the wizard may move on.
bool prepareRunFiles(HWND page) {
    char typed[kPathCharacters] = {};
    ::GetDlgItemTextA(page, IDC_ARCHIVE_EDIT, typed, kPathCharacters);
    salvageRun.archivePath = typed;
    if (salvageRun.archivePath.empty()) {
        const char* text = loadText(kTextSelectArchive);
        ::MessageBoxA(page, text, loadText(kTextNoFileSelected), MB_OK | MB_ICONERROR);
        return false;
    }
    if (!openArchive(salvageRun, salvageRun.archivePath.c_str())) return false;
    // From the full path, so a bare or relative name still puts the output beside the archive
    // and the completion text names the place in full.
    salvageRun.outputPath = outputPathBeside(fullPathOf(salvageRun.archivePath));
    if (!createOutput(salvageRun, salvageRun.outputPath.c_str())) {
        closeRunFiles(salvageRun);
        return false;
    }
    return true;
}

void showRunComplete(HWND page) {
    ::ShowWindow(::GetDlgItem(page, IDC_PROGRESS_BAR), SW_HIDE);
    HWND sheet = ::GetParent(page);
    ::EnableWindow(::GetDlgItem(sheet, kSheetCancelButton), FALSE);
    ::EnableWindow(::GetDlgItem(sheet, kSheetFinishButton), TRUE);
    std::string text(salvageRun.outputPath.size() + 100, '\0');
    formatText(text.data(), static_cast<int>(text.size()), loadText(kTextStoredIn),
               salvageRun.outputPath.c_str());
    ::SetDlgItemTextA(page, IDC_COMPLETION_TEXT, text.c_str());
    ::SetDlgItemTextA(page, IDC_PAGE_TITLE, loadText(kTextSalvageComplete));
    ::ShowWindow(::GetDlgItem(page, IDC_COMPLETION_TEXT), SW_SHOW);
    closeRunFiles(salvageRun);
}

INT_PTR selectPageNotify(HWND page, const NMHDR& notice) {
    switch (notice.code) {
        case PSN_SETACTIVE:
            ::PostMessageA(::GetParent(page), PSM_SETWIZBUTTONS, 0, PSWIZB_NEXT);
            showArchivePath(page);
            ::InvalidateRect(page, nullptr, TRUE);
            return 0;
        case PSN_KILLACTIVE:
            return notifyResult(page, prepareRunFiles(page) ? FALSE : TRUE, TRUE);
        case PSN_WIZNEXT:
            return 0;
        case PSN_QUERYCANCEL:
        case PSN_RESET:
            return notifyResult(page, FALSE, 0);
        default:
            return TRUE;
    }
}

INT_PTR progressPageNotify(HWND page, const NMHDR& notice) {
    switch (notice.code) {
        case PSN_SETACTIVE:
            // Finish is shown but stays disabled until the run has ended.
            ::PostMessageA(::GetParent(page), PSM_SETWIZBUTTONS, 0, PSWIZB_DISABLEDFINISH);
            return TRUE;
        case PSN_KILLACTIVE:
            return notifyResult(page, FALSE, TRUE);
        case PSN_QUERYCANCEL:
            // Closing after the run has ended (the close box) must not delete its output.
            if (!runFinished) requestCancel(salvageRun.flags);
            return notifyResult(page, FALSE, TRUE);
        case PSN_WIZFINISH:
            return notifyResult(page, FALSE, 0);
        default:
            return 0;
    }
}

}  // namespace

INT_PTR CALLBACK selectPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            HWND sheet = ::GetParent(page);
            ::SetWindowLongPtrA(
                sheet, GWL_STYLE,
                ::GetWindowLongPtrA(sheet, GWL_STYLE) | WS_MINIMIZEBOX | WS_SYSMENU);
            ::SetWindowLongPtrA(
                sheet, GWL_EXSTYLE,
                ::GetWindowLongPtrA(sheet, GWL_EXSTYLE) & ~LONG_PTR{WS_EX_CONTEXTHELP});
            ::SendDlgItemMessageA(page, IDC_PAGE_TITLE, WM_SETFONT,
                                  reinterpret_cast<WPARAM>(titleFont), FALSE);
            centerWindow(sheet, nullptr);
            logWindow = page;
            showArchivePath(page);
            return FALSE;
        }
        case WM_PAINT:
            if (::GetUpdateRect(page, nullptr, FALSE)) {
                PAINTSTRUCT paint;
                HDC dc = ::BeginPaint(page, &paint);
                drawSideBitmap(dc);
                ::EndPaint(page, &paint);
            }
            return 0;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDC_BROWSE) {
                std::string chosen;
                if (browseForArchive(page, chosen)) {
                    ::SetDlgItemTextA(page, IDC_ARCHIVE_EDIT, chosen.c_str());
                }
            }
            return 0;
        case WM_NOTIFY:
            return selectPageNotify(page, *reinterpret_cast<const NMHDR*>(lParam));
        default:
            return 0;
    }
}

INT_PTR CALLBACK progressPageProc(HWND page, UINT message, WPARAM, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            ::SendDlgItemMessageA(page, IDC_PAGE_TITLE, WM_SETFONT,
                                  reinterpret_cast<WPARAM>(titleFont), FALSE);
            logWindow = page;
            ::SendDlgItemMessageA(page, IDC_PROGRESS_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, 1000));
            if (!startThread(salvageRun.workerThread, workerMain, nullptr)) ::EndDialog(page, 1);
            return TRUE;
        case WM_NOTIFY:
            return progressPageNotify(page, *reinterpret_cast<const NMHDR*>(lParam));
        case WM_SALVAGE_PROGRESS:
            ::SendDlgItemMessageA(page, IDC_PROGRESS_BAR, PBM_SETPOS, static_cast<WPARAM>(lParam),
                                  0);
            return 0;
        case WM_SALVAGE_DONE:
            if (!isCancelled(salvageRun.flags)) {
                runFinished = true;
                showRunComplete(page);
            }
            return 0;
        default:
            return 0;
    }
}

void workerMain(void*) {
    runSalvage(salvageRun);
    HWND page = logWindow;
    // Sent, not posted: the page has finished with the files before the worker ends.
    if (::IsWindow(page)) ::SendMessageA(page, WM_SALVAGE_DONE, 0, 0);
}

void runWizard(HWND mainWindow) {
    PROPSHEETPAGEA pages[2] = {};
    const WORD templates[2] = {IDD_SELECT_PAGE, IDD_PROGRESS_PAGE};
    const DLGPROC procedures[2] = {selectPageProc, progressPageProc};
    for (int index = 0; index < 2; ++index) {
        pages[index].dwSize = sizeof pages[index];
        pages[index].dwFlags = 0;  // the titles come from the templates' captions
        pages[index].hInstance = appInstance;
        pages[index].pszTemplate = MAKEINTRESOURCEA(templates[index]);
        pages[index].pfnDlgProc = procedures[index];
    }
    PROPSHEETHEADERA sheet = {};
    sheet.dwSize = sizeof sheet;
    sheet.dwFlags = PSH_PROPSHEETPAGE | PSH_WIZARD | PSH_USEICONID | PSH_NOAPPLYNOW;
    sheet.hwndParent = nullptr;
    sheet.hInstance = appInstance;
    sheet.pszIcon = MAKEINTRESOURCEA(IDI_APPLICATION_ICON);
    sheet.nPages = 2;
    sheet.nStartPage = 0;
    sheet.ppsp = pages;
    ::PropertySheetA(&sheet);
    ::DestroyWindow(mainWindow);
}

}  // namespace zipsalvage
