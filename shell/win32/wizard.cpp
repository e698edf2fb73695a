// The property sheet and its two pages: the archive is chosen and both files are prepared on the
// first page; the second page runs the worker and shows the log, progress and the result.
#include "shell/win32/wizard.h"

#include <commctrl.h>
#include <commdlg.h>

#include <cwchar>
#include <string>

#include "platform/win32/wide_text.h"
#include "resources/resource_ids.h"
#include "resources/strings.h"
#include "shell/win32/log_window.h"
#include "shell/win32/path_text.h"
#include "shell/win32/shell_paths.h"
#include "shell/win32/shell_state.h"

namespace zipsalvage {
namespace {

// The longest path the wide functions take, in characters with the terminator.
constexpr size_t kLongestPath = 32768;

// Posted to the progress page once it is on screen: the sheet sets its own focus while it
// activates a page, so the page's choice has to come after that.
constexpr UINT WM_FOCUS_CANCEL = WM_APP + 1;

// The state a page keeps in its DWLP_USER; null before its WM_INITDIALOG.
ShellState* stateOf(HWND page) {
    return reinterpret_cast<ShellState*>(::GetWindowLongPtrW(page, DWLP_USER));
}

// At a page's WM_INITDIALOG, whose lParam is the page's PROPSHEETPAGE: keeps the state that
// runWizard put there in the page's DWLP_USER.
ShellState& keepState(HWND page, LPARAM initParam) {
    auto* state =
        reinterpret_cast<ShellState*>(reinterpret_cast<const PROPSHEETPAGEW*>(initParam)->lParam);
    ::SetWindowLongPtrW(page, DWLP_USER, reinterpret_cast<LONG_PTR>(state));
    return *state;
}

// A dialog procedure's answer to a notification goes in DWLP_MSGRESULT.
INT_PTR notifyResult(HWND page, LONG_PTR result, INT_PTR handled) {
    ::SetWindowLongPtrW(page, DWLP_MSGRESULT, result);
    return handled;
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

std::wstring controlTextOf(HWND page, int id) {
    HWND control = ::GetDlgItem(page, id);
    int length = ::GetWindowTextLengthW(control);
    std::wstring text(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
    int got = ::GetWindowTextW(control, text.data(), static_cast<int>(text.size()));
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return text;
}

void setControlText(HWND page, int id, const std::string& text) {
    ::SetDlgItemTextW(page, id, wideFromUtf8(text).c_str());
}

// The file-open dialog's file name box (cmb13 of <dlgs.h>).
constexpr int kFileNameBox = 1148;

HHOOK fileDialogHook = nullptr;

// The box is an edit inside a combo box (inside a ComboBoxEx in newer dialogs), all with the
// box's id: the limit is set on the edit itself, which enforces it.
BOOL CALLBACK limitFileNameBox(HWND control, LPARAM) {
    wchar_t className[16] = {};
    ::GetClassNameW(control, className, 16);
    if (::GetDlgCtrlID(control) == kFileNameBox && lstrcmpiW(className, L"Edit") == 0)
        ::SendMessageW(control, EM_LIMITTEXT, MAX_PATH - 1, 0);
    return TRUE;
}

// Some file dialogs copy the typed name into buffers of MAX_PATH characters (Wine's dies on a
// longer one), so their name box takes no more than that; longer paths go in the archive box.
LRESULT CALLBACK fileDialogCbt(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE)
        ::EnumChildWindows(reinterpret_cast<HWND>(wParam), limitFileNameBox, 0);
    return ::CallNextHookEx(fileDialogHook, code, wParam, lParam);
}

// The file-open dialog; true with the chosen path in `chosen`.
bool browseForArchive(HWND page, const std::string& browseFolder, std::string& chosen) {
    std::wstring filter = wideFromUtf8(loadText(kTextOpenDialogFilter));
    for (wchar_t& character : filter) {
        if (character == L'#') character = L'\0';
    }
    filter += L'\0';  // the list ends with an empty string even if the text lost its last '#'
    std::wstring title = wideFromUtf8(loadText(kTextOpenDialogTitle));
    std::wstring startFolder = wideFromUtf8(browseFolder);
    // Room for the longest path Windows knows, so a long name typed into the dialog fits.
    std::wstring file(kLongestPath, L'\0');

    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = page;
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    // A start folder of MAX_PATH characters or more overruns fixed buffers inside some file
    // dialogs (Wine's dies in its start-up); the dialog then starts in its own default folder.
    bool usableStart = !startFolder.empty() && startFolder.size() < MAX_PATH;
    dialog.lpstrInitialDir = usableStart ? startFolder.c_str() : nullptr;
    dialog.lpstrTitle = title.c_str();
    dialog.lpstrDefExt = L"zip";
    dialog.Flags =
        OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_LONGNAMES;
    fileDialogHook = ::SetWindowsHookExW(WH_CBT, fileDialogCbt, nullptr, ::GetCurrentThreadId());
    bool chose = ::GetOpenFileNameW(&dialog) != 0;
    if (fileDialogHook != nullptr) ::UnhookWindowsHookEx(fileDialogHook);
    fileDialogHook = nullptr;
    if (!chose) return false;
    chosen = utf8FromWide(file.c_str(), std::wcslen(file.c_str()));
    return true;
}

void showArchivePath(HWND page, const SalvageRun& run) {
    setControlText(page, IDC_ARCHIVE_EDIT, run.archivePath);
    ::SetFocus(::GetDlgItem(page, IDC_ARCHIVE_EDIT));
}

void showMessage(HWND page, int textId, int captionId) {
    std::wstring text = wideFromUtf8(loadText(textId));
    ::MessageBoxW(page, text.c_str(), wideFromUtf8(loadText(captionId)).c_str(),
                  MB_OK | MB_ICONERROR);
}

// Next on the first page: true when both files are open and the wizard may move on.
bool prepareRunFiles(HWND page, SalvageRun& run) {
    run.archivePath = utf8FromWide(controlTextOf(page, IDC_ARCHIVE_EDIT));
    if (run.archivePath.empty()) {
        showMessage(page, kTextSelectArchive, kTextNoFileSelected);
        return false;
    }
    if (!openArchive(run, run.archivePath.c_str())) return false;
    if (!checkTempFolder(run)) {
        closeRunFiles(run);
        return false;
    }
    // From the full path, so a bare or relative name still puts the output beside the archive
    // and the completion text names the place in full.
    run.outputPath = outputPathBeside(fullPathOf(run.archivePath));
    if (!createOutput(run, run.outputPath.c_str())) {
        closeRunFiles(run);
        return false;
    }
    return true;
}

// Gives the keyboard focus to a button of the sheet and makes it the default, as the dialog
// manager does when the user tabs to it.
void focusSheetButton(HWND sheet, int id) {
    HWND button = ::GetDlgItem(sheet, id);
    ::SendMessageW(sheet, DM_SETDEFID, static_cast<WPARAM>(id), 0);
    ::SendMessageW(sheet, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(button), TRUE);
}

void showRunEnded(HWND page, ShellState& state) {
    ::ShowWindow(::GetDlgItem(page, IDC_PROGRESS_BAR), SW_HIDE);
    HWND sheet = ::GetParent(page);
    ::EnableWindow(::GetDlgItem(sheet, kSheetFinishButton), TRUE);
    // Focus first: a disabled Cancel that still had it would leave the keyboard nowhere.
    focusSheetButton(sheet, kSheetFinishButton);
    ::EnableWindow(::GetDlgItem(sheet, kSheetCancelButton), FALSE);
    // The run put a completed output in place itself and removed a failed one (an earlier file
    // of the output's name then stays as it was).
    closeRunFiles(state.run);
    bool failed = state.runResult == RunResult::kOutputFailed;
    std::string text(state.run.outputPath.size() + 100, '\0');
    formatText(text.data(), static_cast<int>(text.size()),
               loadText(failed ? kTextNothingStored : kTextStoredIn), state.run.outputPath.c_str());
    setControlText(page, IDC_COMPLETION_TEXT, text.c_str());
    setControlText(page, IDC_PAGE_TITLE,
                   loadText(failed ? kTextSalvageFailed : kTextSalvageComplete));
    ::ShowWindow(::GetDlgItem(page, IDC_COMPLETION_TEXT), SW_SHOW);
}

INT_PTR selectPageNotify(HWND page, ShellState& state, const NMHDR& notice) {
    switch (notice.code) {
        case PSN_SETACTIVE:
            ::PostMessageW(::GetParent(page), PSM_SETWIZBUTTONS, 0, PSWIZB_NEXT);
            showArchivePath(page, state.run);
            ::InvalidateRect(page, nullptr, TRUE);
            return 0;
        case PSN_KILLACTIVE:
            return notifyResult(page, prepareRunFiles(page, state.run) ? FALSE : TRUE, TRUE);
        case PSN_WIZNEXT:
            return 0;
        case PSN_QUERYCANCEL:
        case PSN_RESET:
            return notifyResult(page, FALSE, 0);
        default:
            return TRUE;
    }
}

INT_PTR progressPageNotify(HWND page, ShellState& state, const NMHDR& notice) {
    switch (notice.code) {
        case PSN_SETACTIVE:
            // Finish is shown but stays disabled until the run has ended; meanwhile Cancel has
            // the focus, so Escape stops the run.
            ::PostMessageW(::GetParent(page), PSM_SETWIZBUTTONS, 0, PSWIZB_DISABLEDFINISH);
            ::PostMessageW(page, WM_FOCUS_CANCEL, 0, 0);
            return TRUE;
        case PSN_KILLACTIVE:
            return notifyResult(page, FALSE, TRUE);
        case PSN_QUERYCANCEL:
            // Closing after the run has ended (the close box) must not delete its output.
            if (!state.runFinished) requestCancel(state.run.flags);
            return notifyResult(page, FALSE, TRUE);
        case PSN_WIZFINISH:
            return notifyResult(page, FALSE, 0);
        default:
            return 0;
    }
}

}  // namespace

INT_PTR CALLBACK selectPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        ShellState& state = keepState(page, lParam);
        HWND sheet = ::GetParent(page);
        ::SetWindowLongPtrW(sheet, GWL_STYLE,
                            ::GetWindowLongPtrW(sheet, GWL_STYLE) | WS_MINIMIZEBOX | WS_SYSMENU);
        ::SetWindowLongPtrW(sheet, GWL_EXSTYLE,
                            ::GetWindowLongPtrW(sheet, GWL_EXSTYLE) & ~LONG_PTR{WS_EX_CONTEXTHELP});
        ::SendDlgItemMessageW(page, IDC_PAGE_TITLE, WM_SETFONT,
                              reinterpret_cast<WPARAM>(state.titleFont), FALSE);
        centerWindow(sheet, nullptr);
        // The checks of Next run on this thread: their message boxes stand over this page.
        state.selectUi = WindowUi{state.instance, page, &state.run.flags};
        attachWindowUi(state.run, state.selectUi);
        showArchivePath(page, state.run);
        return FALSE;
    }
    ShellState* state = stateOf(page);
    if (state == nullptr) return 0;
    switch (message) {
        case WM_PAINT:
            if (::GetUpdateRect(page, nullptr, FALSE)) {
                PAINTSTRUCT paint;
                HDC dc = ::BeginPaint(page, &paint);
                drawSideBitmap(dc, state->sideBitmap);
                ::EndPaint(page, &paint);
            }
            return 0;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDC_BROWSE) {
                std::string chosen;
                if (browseForArchive(page, state->run.browseFolder, chosen)) {
                    setControlText(page, IDC_ARCHIVE_EDIT, chosen);
                }
            }
            return 0;
        case WM_NOTIFY:
            return selectPageNotify(page, *state, *reinterpret_cast<const NMHDR*>(lParam));
        default:
            return 0;
    }
}

INT_PTR CALLBACK progressPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        ShellState& state = keepState(page, lParam);
        ::SendDlgItemMessageW(page, IDC_PAGE_TITLE, WM_SETFONT,
                              reinterpret_cast<WPARAM>(state.titleFont), FALSE);
        ::SendDlgItemMessageW(page, IDC_PROGRESS_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, 1000));
        // The worker's own view of the wizard, made before it starts and not changed after.
        state.worker.run = &state.run;
        state.worker.ui = WindowUi{state.instance, page, &state.run.flags};
        attachWindowUi(state.run, state.worker.ui);
        state.run.threads = 0;  // entries re-encoded on every processor the machine has
        if (!startThread(state.workerThread, workerMain, &state.worker)) ::EndDialog(page, 1);
        return TRUE;
    }
    ShellState* state = stateOf(page);
    if (state == nullptr) return 0;
    switch (message) {
        case WM_NOTIFY:
            return progressPageNotify(page, *state, *reinterpret_cast<const NMHDR*>(lParam));
        case WM_DRAWITEM:
            if (wParam != IDC_COMPLETION_TEXT) return FALSE;
            drawPathText(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return TRUE;
        case WM_FOCUS_CANCEL:
            if (!state->runFinished) focusSheetButton(::GetParent(page), kSheetCancelButton);
            return 0;
        case WM_SALVAGE_PROGRESS:
            ::SendDlgItemMessageW(page, IDC_PROGRESS_BAR, PBM_SETPOS, static_cast<WPARAM>(lParam),
                                  0);
            return 0;
        case WM_SALVAGE_DONE:
            state->runResult = static_cast<RunResult>(wParam);
            if (!isCancelled(state->run.flags)) {
                state->runFinished = true;
                showRunEnded(page, *state);
            }
            return 0;
        default:
            return 0;
    }
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
