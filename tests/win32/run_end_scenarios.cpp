// How a run ends and what the user can do then: stopping it (Cancel asks first; Escape in the
// password dialog stops at once), an archive without Zip data, opening the output's folder and
// salvaging another archive.
// clang-format off
#include <windows.h>  // first: the other Windows headers need its types
// clang-format on
#include <commctrl.h>

#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/win32/scenarios.h"
#include "tests/win32/wizard_steps.h"

namespace zipsalvage::driver {
namespace {

const std::string kStopCaption = "Stop Salvage";
const std::string kStoppedLine = "Salvage stopped; nothing was written.";

// Escape on the focused control, as the keyboard would press it.
void pressEscape(Wizard& wizard) {
    HWND focus = focusedWindow(wizard.sheet);
    pressKey(focus != nullptr ? focus : wizard.sheet, VK_ESCAPE);
}

// Escape during the run brings the question; `answer` is pressed.
bool answerStopQuestion(Wizard& wizard, int answer) {
    pressEscape(wizard);
    HWND box = waitForTopWindow(wizard.program, kStopCaption, kWindowWaitMs);
    if (box == nullptr) return false;
    check(staticTexts(box) == "Stop the salvage? Nothing will be written.",
          "the question says \"" + staticTexts(box) + "\"");
    if (answer == IDYES) requestScreenshot("13-stop-question");
    clickButton(box, answer);
    return check(waitUntil([&] { return findTopWindow(wizard.program, kStopCaption) == nullptr; },
                           kWindowWaitMs),
                 "the question did not close");
}

// The page of a stopped run: still open on its log, whose last line says so; nothing written.
void expectStoppedPage(Wizard& wizard, const std::string& output) {
    if (!waitForTitle(wizard, "Salvage Stopped", kRunWaitMs)) return;
    std::vector<std::string> lines = logOf(wizard);
    check(lines.size() >= 2 && lines.front() == "Beginning salvage operations..." &&
              lines.back() == kStoppedLine,
          "the log of the stopped run: " + joined(lines));
    check(controlText(wizard.sheet, IDC_COMPLETION_TEXT) ==
              "Stopped: nothing was stored in " + output,
          "completion text \"" + controlText(wizard.sheet, IDC_COMPLETION_TEXT) + "\"");
    check(findControl(wizard.sheet, IDC_OPEN_FOLDER) == nullptr, "\"Open folder\" offered");
    check(findControl(wizard.sheet, IDC_SALVAGE_ANOTHER) != nullptr, "no \"Salvage another\"");
    check(!fileExists(output), "Salvaged.zip written by the stopped run");
}

}  // namespace

void stopDuringRun(const std::string& exe, const std::string& folder) {
    std::string output = folder + "\\Salvaged.zip";
    std::vector<std::string> foldersBefore = tempFoldersOfRuns();
    Wizard wizard = openWizard(exe, "\"" + folder + "\\long.zip\"");
    if (abandoned(wizard)) return;
    pressSheetButton(wizard.sheet, PSBTN_NEXT);
    HWND bar = nullptr;
    bool moving = waitUntil(
        [&] {
            bar = findControl(wizard.sheet, IDC_PROGRESS_BAR);
            return bar != nullptr && ::SendMessageA(bar, PBM_GETPOS, 0, 0) >= 20;
        },
        kRunWaitMs);
    check(moving, "the progress bar did not move");
    check(::IsWindowEnabled(::GetDlgItem(wizard.sheet, kFinishButton)) == 0,
          "Finish enabled during the run");
    check(newTempFolders(foldersBefore).size() == 1,
          "the run has no private temporary folder of its own");
    check(waitUntil([&] { return focusedSheetButton(wizard) == IDCANCEL; }, 5000),
          "Cancel lacks the focus during the run (focus on control " +
              std::to_string(focusedSheetButton(wizard)) + ")");
    // The entry in hand and the rate, as "Salvaging part007.bin" and "3.0 MiB of 64.0 MiB,
    // 1.2 MiB/s".
    check(
        waitUntil(
            [&] { return startsWith(controlText(wizard.sheet, IDC_ENTRY_TEXT), "Salvaging part"); },
            5000),
        "the entry line says \"" + controlText(wizard.sheet, IDC_ENTRY_TEXT) + "\"");
    auto rateShown = [&] {
        std::string rate = controlText(wizard.sheet, IDC_RATE_TEXT);
        return rate.find(" of 64.0 MiB, ") != std::string::npos && rate.size() > 2 &&
               rate.compare(rate.size() - 2, 2, "/s") == 0;
    };
    check(waitUntil(rateShown, 5000),
          "the rate line says \"" + controlText(wizard.sheet, IDC_RATE_TEXT) + "\"");
    requestScreenshot("2-progress-page");
    finishCase("the progress page names the entry in hand and the bytes read per second");

    if (answerStopQuestion(wizard, IDNO)) {
        int before = static_cast<int>(::SendMessageA(bar, PBM_GETPOS, 0, 0));
        check(pageTitle(wizard) == "Salvage in Progress", "the run ended; make long.zip longer");
        check(waitUntil([&] { return ::SendMessageA(bar, PBM_GETPOS, 0, 0) > before; }, 10000),
              "the run did not go on after No");
    }
    finishCase("Escape during a run asks \"Stop the salvage?\"; No lets the run go on");

    if (answerStopQuestion(wizard, IDYES)) expectStoppedPage(wizard, output);
    requestScreenshot("14-stopped-page");
    enterFinishes(wizard);
    check(!fileExists(output), "Salvaged.zip remains after the stopped run");
    check(newTempFolders(foldersBefore).empty(),
          "temporary folder left: " + joined(newTempFolders(foldersBefore)));
    finishCase(
        "Yes stops the run: the wizard stays on its log, which says so, nothing is written, "
        "Finish closes it");
}

void escapeInPasswordDialog(const std::string& exe, const std::string& folder) {
    std::string output = folder + "\\Salvaged.zip";
    std::vector<std::string> foldersBefore = tempFoldersOfRuns();
    Wizard wizard = openWizard(exe, "\"" + folder + "\\secret.zip\"");
    if (abandoned(wizard)) return;
    pressSheetButton(wizard.sheet, PSBTN_NEXT);
    HWND dialog = waitForTopWindow(wizard.program, "Decrypt File", kRunWaitMs);
    if (dialog != nullptr) {
        // Ключ/пароль.txt
        std::string name =
            "\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87/\xD0\xBF\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C.txt";
        check(controlText(dialog, IDC_ENCRYPTED_NAME) == name,
              "dialog names \"" + controlText(dialog, IDC_ENCRYPTED_NAME) + "\"");
        check((::GetWindowLongPtrW(dialog, GWL_STYLE) & WS_SYSMENU) != 0, "no close box");
        requestScreenshot("10-password-dialog-utf8");
        HWND focus = focusedWindow(dialog);
        check(focus == findControl(dialog, IDC_PASSWORD_EDIT), "the password box lacks the focus");
        pressKey(focus != nullptr ? focus : dialog, VK_ESCAPE);
        // At once: no question comes between.
        expectStoppedPage(wizard, output);
        check(findTopWindow(wizard.program, kStopCaption) == nullptr, "Escape asked to stop");
    }
    enterFinishes(wizard);
    check(!fileExists(output), "Salvaged.zip remains after Escape in the dialog");
    check(newTempFolders(foldersBefore).empty(),
          "temporary folder left: " + joined(newTempFolders(foldersBefore)));
    finishCase("Escape in \"Decrypt File\" stops the run at once; the log stays, nothing is left");
}

void noZipData(const std::string& exe, const std::string& folder) {
    std::string archive = folder + "\\noise.zip";
    std::string output = folder + "\\Salvaged.zip";
    Wizard wizard = openWizard(exe, "\"" + archive + "\"");
    if (abandoned(wizard)) return;
    pressSheetButton(wizard.sheet, PSBTN_NEXT);
    if (waitForTitle(wizard, "No Zip Data Found", kRunWaitMs)) {
        check(controlText(wizard.sheet, IDC_COMPLETION_TEXT) ==
                  "No Zip entries were found in " + archive + "; nothing was written.",
              "completion text \"" + controlText(wizard.sheet, IDC_COMPLETION_TEXT) + "\"");
        check(hasLine(logOf(wizard), "No files found in archive."), "no line saying so");
        check(findControl(wizard.sheet, IDC_OPEN_FOLDER) == nullptr, "\"Open folder\" offered");
        check(!fileExists(output), "a Salvaged.zip was left");
        requestScreenshot("15-no-zip-data");
    }
    enterFinishes(wizard);
    check(!fileExists(output), "a Salvaged.zip was left after Finish");
    finishCase("an archive without Zip data says so and leaves no Salvaged.zip");
}

void openFolderThenAnother(Wizard& wizard, const std::string& folder) {
    std::string archive = folder + "\\good.zip";
    HWND page = pageHolding(wizard, IDC_LOG_LIST);
    clickButton(page, IDC_OPEN_FOLDER);
    // The shell shows the folder in a window of its own, named after the folder.
    std::string name = folder.substr(folder.find_last_of('\\') + 1);
    HWND shown = nullptr;
    waitUntil([&] { return (shown = findAnyWindowContaining(name)) != nullptr; }, kWindowWaitMs);
    check(shown != nullptr, "no window shows the folder \"" + name + "\"");
    if (shown != nullptr) {
        requestScreenshot("16-open-folder");
        ::PostMessageW(shown, WM_CLOSE, 0, 0);
    }
    finishCase("\"Open folder\" shows the folder that holds Salvaged.zip");

    clickButton(page, IDC_SALVAGE_ANOTHER);
    if (!check(waitUntil([&] { return onFirstPage(wizard); }, kWindowWaitMs),
               "\"Salvage another\" did not go back to the first page")) {
        finishCase("\"Salvage another\" goes back to the first page");
        return;
    }
    check(controlText(wizard.sheet, IDC_ARCHIVE_EDIT) == archive,
          "the archive box shows \"" + controlText(wizard.sheet, IDC_ARCHIVE_EDIT) + "\"");
    check(::IsWindowEnabled(::GetDlgItem(wizard.sheet, IDCANCEL)) != 0, "Cancel disabled");
    pressSheetButton(wizard.sheet, PSBTN_NEXT);
    // The first run's output is there now: the second asks before it replaces it.
    HWND box = waitForTopWindow(wizard.program, "File Exists", kWindowWaitMs);
    if (box != nullptr) clickButton(box, IDYES);
    if (waitForCompletion(wizard)) {
        std::vector<std::string> lines = logOf(wizard);
        check(!lines.empty() && lines.front() == "Beginning salvage operations..." &&
                  countLinesStarting(lines, "Salvage attempt complete") == 1 &&
                  hasLine(lines, "  3 files found"),
              "the second run's log: " + joined(lines));
    }
    finishCase("\"Salvage another\" goes back to the first page, its box kept, for a new run");
}

}  // namespace zipsalvage::driver
