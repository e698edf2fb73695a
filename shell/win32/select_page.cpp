// The first page: the archive to repair and, optionally, the folder its salvage goes to. Next
// opens the archive and creates the output; each refusal keeps the user on the page.
// clang-format off
#include <windows.h>  // first: the other Windows headers need its types
// clang-format on
#include <commctrl.h>

#include <string>

#include "platform/win32/wide_text.h"
#include "resources/resource_ids.h"
#include "resources/strings.h"
#include "shell/win32/dpi.h"
#include "shell/win32/file_dialogs.h"
#include "shell/win32/log_window.h"
#include "shell/win32/shell_paths.h"
#include "shell/win32/wizard.h"
#include "shell/win32/wizard_pages.h"

namespace zipsalvage {
namespace {

void showArchivePath(HWND page, const std::string& archivePath) {
    setControlText(page, IDC_ARCHIVE_EDIT, archivePath);
    ::SetFocus(::GetDlgItem(page, IDC_ARCHIVE_EDIT));
}

void chooseArchive(HWND page, ShellState& state) {
    state.run->browseFolder = archiveStartFolder(controlTextOf(page, IDC_ARCHIVE_EDIT));
    std::string chosen;
    if (browseForArchive(page, state.run->browseFolder, chosen)) {
        setControlText(page, IDC_ARCHIVE_EDIT, chosen);
    }
}

void chooseOutputFolder(HWND page) {
    std::string start = outputStartFolder(controlTextOf(page, IDC_OUTPUT_FOLDER_EDIT),
                                          controlTextOf(page, IDC_ARCHIVE_EDIT));
    std::string chosen;
    if (browseForFolder(page, start, chosen)) setControlText(page, IDC_OUTPUT_FOLDER_EDIT, chosen);
}

// Why the output cannot be written into `folder` (empty when it can): a partial file is made
// there and removed again, as the run will make one, so a read-only folder (a CD, a share, a
// locked card) is named before the run rather than as a failure to create the output.
std::string folderProblem(const std::string& folder, const std::string& outputPath) {
    if (!isExistingFolder(folder)) {
        bool exists = fileExists(folder.c_str());
        return loadText(exists ? kTextNotAFolder : kTextFolderMissing);
    }
    std::string partialPath;
    FileHandle probe = createPartialFile(outputPath.c_str(), partialPath);
    if (probe == kInvalidFile) return lastSystemError();
    closeFile(probe);
    deleteFile(partialPath.c_str());
    return {};
}

// True when the output can go into `folder`. Otherwise says why and lets the user choose
// another folder at once; the output box then has the focus.
bool outputFolderUsable(HWND page, const std::string& folder, const std::string& outputPath) {
    std::string problem = folderProblem(folder, outputPath);
    if (problem.empty()) return true;
    std::string text(folder.size() + problem.size() + 128, '\0');
    formatText(text.data(), static_cast<int>(text.size()), loadText(kTextFolderNotWritable),
               folder.c_str(), problem.c_str());
    text.resize(std::char_traits<char>::length(text.c_str()));
    int answer = showMessageBox(page, text, kTextOutputFolder, MB_YESNO | MB_ICONWARNING);
    HWND box = ::GetDlgItem(page, IDC_OUTPUT_FOLDER_EDIT);
    ::SendMessageW(page, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(box), TRUE);
    ::SendMessageW(box, EM_SETSEL, 0, -1);
    if (answer == IDYES) chooseOutputFolder(page);
    return false;
}

// Next on the first page: true when both files are open and the wizard may move on.
bool prepareRunFiles(HWND page, ShellState& state) {
    SalvageRun& run = *state.run;
    run.archivePath = controlTextOf(page, IDC_ARCHIVE_EDIT);
    if (run.archivePath.empty()) {
        showMessageBox(page, loadText(kTextSelectArchive), kTextNoFileSelected,
                       MB_OK | MB_ICONERROR);
        return false;
    }
    if (!openArchive(run, run.archivePath.c_str())) return false;
    if (!checkTempFolder(run)) {
        closeRunFiles(run);
        return false;
    }
    // From full paths, so a bare or relative name still puts the output where it says and the
    // completion text names the place in full.
    std::string folderBox = controlTextOf(page, IDC_OUTPUT_FOLDER_EDIT);
    std::string folder;
    if (folderBox.empty()) {
        run.outputPath = outputPathBeside(fullPathOf(run.archivePath));
        folder = browseFolderFor(run.outputPath);
    } else {
        folder = fullPathOf(folderBox);
        run.outputPath = outputPathIn(folder);
    }
    if (!outputFolderUsable(page, folder, run.outputPath)) {
        closeRunFiles(run);
        return false;
    }
    if (!createOutput(run, run.outputPath.c_str())) {
        closeRunFiles(run);
        return false;
    }
    return true;
}

INT_PTR selectPageNotify(HWND page, ShellState& state, const NMHDR& notice) {
    switch (notice.code) {
        case PSN_SETACTIVE: {
            HWND sheet = ::GetParent(page);
            ::PostMessageW(sheet, PSM_SETWIZBUTTONS, 0, PSWIZB_NEXT);
            // Back from a run, whose end disabled Cancel.
            ::EnableWindow(::GetDlgItem(sheet, kSheetCancelButton), TRUE);
            showArchivePath(page, state.run->archivePath);
            ::InvalidateRect(page, nullptr, TRUE);
            return 0;
        }
        case PSN_KILLACTIVE:
            return notifyResult(page, prepareRunFiles(page, state) ? FALSE : TRUE, TRUE);
        case PSN_WIZNEXT:
            return 0;
        case PSN_QUERYCANCEL:
        case PSN_RESET:
            return notifyResult(page, FALSE, 0);
        default:
            return TRUE;
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
        giveTitleFont(page, state, false);
        centerWindow(sheet, nullptr);
        // The checks of Next run on this thread: their message boxes stand over this page.
        state.selectUi = WindowUi{state.instance, page, &state.run->flags};
        attachWindowUi(*state.run, state.selectUi);
        showArchivePath(page, state.run->archivePath);
        return FALSE;
    }
    ShellState* state = stateOf(page);
    if (state == nullptr) return 0;
    switch (message) {
        case WM_PAINT:
            if (::GetUpdateRect(page, nullptr, FALSE)) {
                PAINTSTRUCT paint;
                HDC dc = ::BeginPaint(page, &paint);
                drawSideBitmap(dc, state->sideBitmap, windowDpi(page));
                ::EndPaint(page, &paint);
            }
            return 0;
        case kDpiChangedAfterParent:
            giveTitleFont(page, *state, true);
            ::InvalidateRect(page, nullptr, TRUE);
            return 0;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDC_BROWSE) chooseArchive(page, *state);
            if (LOWORD(wParam) == IDC_BROWSE_FOLDER) chooseOutputFolder(page);
            return 0;
        case WM_NOTIFY:
            return selectPageNotify(page, *state, *reinterpret_cast<const NMHDR*>(lParam));
        default:
            return 0;
    }
}

}  // namespace zipsalvage
