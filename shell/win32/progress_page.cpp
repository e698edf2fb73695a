// The second page: starts the worker on the files the first page prepared, shows its log, the
// entry in hand, the bytes read and their rate, asks before a run is stopped, and says how the
// run ended, with the ways on from there ("Open folder", "Salvage another", Finish).
// clang-format off
#include <windows.h>  // first: the other Windows headers need its types
// clang-format on
#include <commctrl.h>
#include <shellapi.h>

#include <string>

#include "platform/win32/wide_text.h"
#include "resources/resource_ids.h"
#include "resources/strings.h"
#include "shell/win32/dpi.h"
#include "shell/win32/log_actions.h"
#include "shell/win32/log_window.h"
#include "shell/win32/path_text.h"
#include "shell/win32/progress_text.h"
#include "shell/win32/shell_paths.h"
#include "shell/win32/wizard.h"
#include "shell/win32/wizard_pages.h"

namespace zipsalvage {
namespace {

// Posted to the progress page once it is on screen: the sheet sets its own focus while it
// activates a page, so the page's choice has to come after that.
constexpr UINT WM_FOCUS_CANCEL = WM_APP + 1;
// The rate text changes at most this often, so it can be read.
constexpr uint64_t kRateRefreshMs = 250;

void showControl(HWND page, int id, bool shown) {
    ::ShowWindow(::GetDlgItem(page, id), shown ? SW_SHOW : SW_HIDE);
}

// The page as a run starts on it: empty log, no entry yet, the progress bar at its start.
void clearPage(HWND page, ShellState& state) {
    HWND list = ::GetDlgItem(page, IDC_LOG_LIST);
    ::SendMessageW(list, LB_RESETCONTENT, 0, 0);
    ::SendMessageW(list, LB_SETHORIZONTALEXTENT, 0, 0);
    setControlText(page, IDC_PAGE_TITLE, loadText(kTextSalvageInProgress));
    setControlText(page, IDC_ENTRY_TEXT, "");
    setControlText(page, IDC_RATE_TEXT, "");
    ::SendDlgItemMessageW(page, IDC_PROGRESS_BAR, PBM_SETPOS, 0, 0);
    for (int id : {IDC_OPEN_FOLDER, IDC_SALVAGE_ANOTHER, IDC_COMPLETION_TEXT}) {
        showControl(page, id, false);
    }
    for (int id : {IDC_ENTRY_TEXT, IDC_RATE_TEXT, IDC_PROGRESS_BAR}) showControl(page, id, true);
    state.progress = RunProgress{};
}

void startRun(HWND page, ShellState& state) {
    clearPage(page, state);
    SalvageRun& run = *state.run;
    state.runFinished = false;
    state.progress.archiveBytes = run.reader.archiveSize;
    state.progress.startedTicks = ::GetTickCount64();
    // The worker's own view of the wizard, made before it starts and not changed after.
    state.worker.run = &run;
    state.worker.ui = WindowUi{state.instance, page, &run.flags};
    attachWindowUi(run, state.worker.ui);
    run.threads = 0;  // entries re-encoded on every processor the machine has
    if (!startThread(state.workerThread, workerMain, &state.worker)) {
        // No run took place: the wizard closes as after Cancel, with nothing written.
        closeRunFiles(run);
        state.runFinished = true;
        ::PostMessageW(::GetParent(page), PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    }
}

void showProgress(HWND page, ShellState& state, int thousandths) {
    ::SendDlgItemMessageW(page, IDC_PROGRESS_BAR, PBM_SETPOS, static_cast<WPARAM>(thousandths), 0);
    RunProgress& progress = state.progress;
    uint64_t now = ::GetTickCount64();
    if (now - progress.shownTicks < kRateRefreshMs) return;
    progress.shownTicks = now;
    uint64_t done = progress.archiveBytes / 1000 * static_cast<uint64_t>(thousandths) +
                    progress.archiveBytes % 1000 * static_cast<uint64_t>(thousandths) / 1000;
    setControlText(page, IDC_RATE_TEXT,
                   progressText(done, progress.archiveBytes, now - progress.startedTicks));
}

// How the run ended, for what the page says about it.
enum class RunEnding { kStored, kNoZipData, kStopped, kWriteFailed };

RunEnding endingOf(const ShellState& state) {
    switch (state.runResult) {
        case RunResult::kCancelled:
            return RunEnding::kStopped;
        case RunResult::kOutputFailed:
            return RunEnding::kWriteFailed;
        case RunResult::kNoEntries:
            return RunEnding::kNoZipData;
        default:
            return RunEnding::kStored;
    }
}

void showRunEnded(HWND page, ShellState& state) {
    SalvageRun& run = *state.run;
    for (int id : {IDC_PROGRESS_BAR, IDC_ENTRY_TEXT, IDC_RATE_TEXT}) showControl(page, id, false);
    // The run put a completed output in place itself and removed any other (an earlier file of
    // the output's name then stays as it was).
    closeRunFiles(run);
    RunEnding ending = endingOf(state);
    int titleId = kTextSalvageComplete;
    std::string text;
    switch (ending) {
        case RunEnding::kStored:
            text = formattedText(kTextStoredIn, run.outputPath);
            break;
        case RunEnding::kNoZipData:
            titleId = kTextNoZipData;
            text = formattedText(kTextNoZipEntries, run.archivePath);
            break;
        case RunEnding::kStopped:
            logLine(page, loadText(kTextRunStopped));
            titleId = kTextSalvageStopped;
            text = formattedText(kTextStoppedNothingStored, run.outputPath);
            break;
        case RunEnding::kWriteFailed:
            titleId = kTextSalvageFailed;
            text = formattedText(kTextNothingStored, run.outputPath);
            break;
    }
    setControlText(page, IDC_COMPLETION_TEXT, text);
    setControlText(page, IDC_PAGE_TITLE, loadText(titleId));
    showControl(page, IDC_COMPLETION_TEXT, true);
    showControl(page, IDC_OPEN_FOLDER, ending == RunEnding::kStored);
    showControl(page, IDC_SALVAGE_ANOTHER, true);
    HWND sheet = ::GetParent(page);
    ::EnableWindow(::GetDlgItem(sheet, kSheetFinishButton), TRUE);
    // Focus first: a disabled Cancel that still had it would leave the keyboard nowhere.
    focusSheetButton(sheet, kSheetFinishButton);
    ::EnableWindow(::GetDlgItem(sheet, kSheetCancelButton), FALSE);
}

// Cancel, Escape or the close box during the run: the run stops only if the user says so, and
// the wizard stays open on its log either way.
INT_PTR cancelDuringRun(HWND page, ShellState& state) {
    if (state.runFinished) return notifyResult(page, FALSE, TRUE);
    if (!isCancelled(state.run->flags)) {
        int answer = showMessageBox(page, loadText(kTextStopQuestion), kTextStopCaption,
                                    MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
        // The run may have ended while the question was up; a finished output is kept.
        if (answer == IDYES && !state.runFinished) requestCancel(state.run->flags);
    }
    return notifyResult(page, TRUE, TRUE);
}

void openOutputFolder(HWND page, const ShellState& state) {
    std::string folder = driveAndFolder(state.run->outputPath);
    auto result = reinterpret_cast<INT_PTR>(::ShellExecuteW(
        page, L"open", wideFromUtf8(folder).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    if (result <= 32) {  // ShellExecute's errors are the values up to 32
        showMessageBox(page, formattedText(kTextUnableToOpen, folder), kTextFileError,
                       MB_OK | MB_ICONERROR);
    }
}

// Back to the first page with its boxes as they were, for a fresh run.
void salvageAnother(HWND page, ShellState& state) {
    waitForWorker(state.workerThread);  // it has sent its last message; it ends at once
    std::string archivePath = state.run->archivePath;
    std::string browseFolder = state.run->browseFolder;
    state.run.emplace();
    state.run->archivePath = archivePath;
    state.run->browseFolder = browseFolder;
    state.selectUi.flags = &state.run->flags;
    attachWindowUi(*state.run, state.selectUi);
    state.runResult = RunResult::kCompleted;
    state.runFinished = false;
    ::SendMessageW(::GetParent(page), PSM_SETCURSEL, 0, 0);
}

INT_PTR progressPageNotify(HWND page, ShellState& state, const NMHDR& notice) {
    switch (notice.code) {
        case PSN_SETACTIVE:
            // Finish is shown but stays disabled until the run has ended; meanwhile Cancel has
            // the focus, so Escape asks to stop the run.
            ::PostMessageW(::GetParent(page), PSM_SETWIZBUTTONS, 0, PSWIZB_DISABLEDFINISH);
            ::PostMessageW(page, WM_FOCUS_CANCEL, 0, 0);
            if (!state.workerThread.started) startRun(page, state);
            return TRUE;
        case PSN_KILLACTIVE:
            return notifyResult(page, FALSE, TRUE);
        case PSN_QUERYCANCEL:
            return cancelDuringRun(page, state);
        case PSN_WIZFINISH:
            return notifyResult(page, FALSE, 0);
        default:
            return 0;
    }
}

INT_PTR progressPageCommand(HWND page, ShellState& state, WPARAM wParam) {
    switch (LOWORD(wParam)) {
        case IDC_OPEN_FOLDER:
            openOutputFolder(page, state);
            return TRUE;
        case IDC_SALVAGE_ANOTHER:
            salvageAnother(page, state);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

INT_PTR CALLBACK progressPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        ShellState& state = keepState(page, lParam);
        giveTitleFont(page, state, false);
        ::SendDlgItemMessageW(page, IDC_PROGRESS_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, 1000));
        return TRUE;  // the run starts when the page is shown (PSN_SETACTIVE)
    }
    ShellState* state = stateOf(page);
    if (state == nullptr) return 0;
    switch (message) {
        case WM_NOTIFY:
            return progressPageNotify(page, *state, *reinterpret_cast<const NMHDR*>(lParam));
        case WM_COMMAND:
            return progressPageCommand(page, *state, wParam);
        case WM_DRAWITEM:
            if (wParam != IDC_COMPLETION_TEXT && wParam != IDC_ENTRY_TEXT) return FALSE;
            drawPathText(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return TRUE;
        case WM_VKEYTOITEM:
            // Both are returned as they are, not through DWLP_MSGRESULT.
            return logListKey(page, wParam);
        case WM_CHARTOITEM:
            return logListCharacter(wParam);
        case WM_CONTEXTMENU:
            if (reinterpret_cast<HWND>(wParam) != ::GetDlgItem(page, IDC_LOG_LIST)) return FALSE;
            showLogMenu(page, lParam, state->run->outputPath, state->run->archivePath);
            return TRUE;
        case kDpiChangedAfterParent:
            giveTitleFont(page, *state, true);
            return 0;
        case WM_FOCUS_CANCEL:
            if (!state->runFinished) focusSheetButton(::GetParent(page), kSheetCancelButton);
            return 0;
        case WM_SALVAGE_ENTRY:
            setControlText(
                page, IDC_ENTRY_TEXT,
                formattedText(kTextSalvagingEntry, reinterpret_cast<const char*>(lParam)));
            return 0;
        case WM_SALVAGE_PROGRESS:
            showProgress(page, *state, static_cast<int>(lParam));
            return 0;
        case WM_SALVAGE_DONE:
            state->runResult = static_cast<RunResult>(wParam);
            state->runFinished = true;
            showRunEnded(page, *state);
            return 0;
        default:
            return 0;
    }
}

}  // namespace zipsalvage
