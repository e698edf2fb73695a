// Drives the real wizard from outside, as a person would: one scenario per run, each printing
// PASS or FAIL lines. Usage: wizard_driver SCENARIO PROGRAM FOLDER [SHOTS [WRONG_PASSWORD]]
// clang-format off
#include <windows.h>  // first: the other Windows headers need its types
// clang-format on
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "resources/resource_ids.h"
#include "tests/win32/driver_support.h"

using namespace zipsalvage::driver;

namespace {

const std::string kSheetCaption = "Zav Uvov Udodov Azezada";
constexpr int kFinishButton = 12325;
constexpr DWORD kWindowWaitMs = 20000;
constexpr DWORD kRunWaitMs = 60000;

struct Wizard {
    Program program;
    HWND sheet = nullptr;
};

Wizard openWizard(const std::string& exe, const std::string& arguments) {
    Wizard wizard;
    wizard.program = startProgram(exe, arguments);
    if (!wizard.program.running) return wizard;
    wizard.sheet = waitForTopWindow(wizard.program, kSheetCaption, kWindowWaitMs);
    return wizard;
}

// A wizard that never showed ends the scenario at once rather than waiting out every step.
bool abandoned(Wizard& wizard) {
    if (wizard.sheet != nullptr) return false;
    stopProgram(wizard.program);
    finishCase("the wizard appears");
    return true;
}

std::string pageTitle(const Wizard& wizard) { return controlText(wizard.sheet, IDC_PAGE_TITLE); }

bool onFirstPage(const Wizard& wizard) { return pageTitle(wizard) == "Select Archive To Repair"; }

// Presses Next and expects a message box: checks its caption and text, then presses `answer`.
void expectBoxAfterNext(Wizard& wizard, const std::string& caption, const std::string& text,
                        int answer, const char* shot = nullptr) {
    pressSheetButton(wizard.sheet, PSBTN_NEXT);
    HWND box = waitForTopWindow(wizard.program, caption, kWindowWaitMs);
    if (box == nullptr) return;
    check(staticTexts(box) == text,
          "box \"" + caption + "\" says \"" + staticTexts(box) + "\", expected \"" + text + "\"");
    if (shot != nullptr) requestScreenshot(shot);
    clickButton(box, answer);
    check(
        waitUntil([&] { return findTopWindow(wizard.program, caption) == nullptr; }, kWindowWaitMs),
        "box \"" + caption + "\" did not close");
    check(onFirstPage(wizard), "left the first page (title \"" + pageTitle(wizard) + "\")");
}

bool waitForCompletion(Wizard& wizard) {
    return check(waitUntil([&] { return pageTitle(wizard) == "Salvage Complete"; }, kRunWaitMs),
                 "the run did not complete (title \"" + pageTitle(wizard) + "\")");
}

void finishAndExit(Wizard& wizard) {
    pressSheetButton(wizard.sheet, PSBTN_FINISH);
    int code = waitForExit(wizard.program, kWindowWaitMs);
    check(code == 1, "exit code " + std::to_string(code) + " after Finish, expected 1");
}

std::vector<std::string> logOf(const Wizard& wizard) {
    return listLines(findControl(wizard.sheet, IDC_LOG_LIST));
}

// Start with a path, Next, completion text and title, Finish.
void completeRun(const std::string& exe, const std::string& folder) {
    std::string archive = folder + "\\good.zip";
    std::string output = folder + "\\Salvaged.zip";
    Wizard wizard = openWizard(exe, "\"" + archive + "\"");
    if (abandoned(wizard)) return;
    check(controlText(wizard.sheet, IDC_ARCHIVE_EDIT) == archive,
          "archive box shows \"" + controlText(wizard.sheet, IDC_ARCHIVE_EDIT) + "\"");
    requestScreenshot("1-select-page");
    finishCase("wizard starts with the command-line path in the archive box");

    pressSheetButton(wizard.sheet, PSBTN_NEXT);
    if (waitForCompletion(wizard)) {
        check(controlText(wizard.sheet, IDC_COMPLETION_TEXT) == "Salvaged data stored in " + output,
              "completion text \"" + controlText(wizard.sheet, IDC_COMPLETION_TEXT) + "\"");
        check(findControl(wizard.sheet, IDC_PROGRESS_BAR) == nullptr, "progress bar still shown");
        check(::IsWindowEnabled(::GetDlgItem(wizard.sheet, kFinishButton)) != 0, "Finish disabled");
        check(::IsWindowEnabled(::GetDlgItem(wizard.sheet, IDCANCEL)) == 0, "Cancel enabled");
        std::vector<std::string> lines = logOf(wizard);
        check(!lines.empty() && lines.front() == "Beginning salvage operations...",
              "first log line");
        check(hasLine(lines, "    one.txt: size = 6:  OK"), "no OK line for one.txt");
        // The OEM name is shown in the ANSI code page: CP437 0x81 becomes Windows-1252 0xFC.
        check(hasLine(lines, "    gr\xFCn.txt: size = 6:  OK"),
              "OEM name not converted for the log");
        check(hasLine(lines, "Salvage attempt complete") && hasLine(lines, "  3 files found"),
              "no summary with 3 files found");
        requestScreenshot("3-complete-page");
    }
    finishAndExit(wizard);
    finishCase("Next runs the salvage to \"Salvage Complete\" and Finish ends the program");
}

// The four ways of staying on the first page, one after the other in one wizard.
void firstPageRefusals(const std::string& exe, const std::string& folder) {
    std::string archive = folder + "\\good.zip";
    std::string output = folder + "\\Salvaged.zip";
    std::string missing = folder + "\\missing.zip";
    std::string oldOutput = readWholeFile(output);
    Wizard wizard = openWizard(exe, "");
    if (abandoned(wizard)) return;
    check(controlText(wizard.sheet, IDC_ARCHIVE_EDIT).empty(),
          "archive box not empty without argument");

    expectBoxAfterNext(wizard, "No File Selected", "Please select an archive to salvage.", IDOK);
    finishCase("Next with an empty box: \"No File Selected\", stays");

    setControlText(wizard.sheet, IDC_ARCHIVE_EDIT, missing);
    expectBoxAfterNext(wizard, "File Error", "Unable to open " + missing, IDOK);
    finishCase("Next with a missing file: \"Unable to open\", stays");

    setControlText(wizard.sheet, IDC_ARCHIVE_EDIT, archive);
    expectBoxAfterNext(wizard, "File Exists",
                       output + " already exists.  Would you like to overwrite it?", IDNO,
                       "4-overwrite-question");
    check(readWholeFile(output) == oldOutput, "the existing Salvaged.zip changed");
    HANDLE exclusive =
        ::CreateFileA(archive.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    check(exclusive != INVALID_HANDLE_VALUE, "the archive was left open after No");
    if (exclusive != INVALID_HANDLE_VALUE) ::CloseHandle(exclusive);
    finishCase("Next with an existing Salvaged.zip answered No: old file untouched, stays");

    setControlText(wizard.sheet, IDC_ARCHIVE_EDIT, output);
    expectBoxAfterNext(wizard, "File Error", "Unable to create " + output, IDOK);
    check(readWholeFile(output) == oldOutput, "Salvaged.zip changed when chosen as the archive");
    finishCase("the folder's own Salvaged.zip as the archive: \"Unable to create\", stays");

    pressSheetButton(wizard.sheet, PSBTN_CANCEL);
    int code = waitForExit(wizard.program, kWindowWaitMs);
    check(code == 1, "exit code " + std::to_string(code) + " after Cancel");
    check(readWholeFile(output) == oldOutput, "Cancel on the first page touched Salvaged.zip");
    finishCase("Cancel on the first page ends the program without a run");
}

// Browse starts in the folder of the command-line path: a bare name typed there is found, and
// the box receives the full path. Cancel in the dialog leaves the box alone.
void browseForArchive(const std::string& exe, const std::string& folder) {
    constexpr int kFileNameBox = 1148;  // the file-open dialog's file name combo box
    const std::string title = "Select a Zip Archive to Salvage";
    std::string archive = folder + "\\good.zip";
    Wizard wizard = openWizard(exe, "\"" + folder + "\\missing.zip\"");
    if (abandoned(wizard)) return;
    HWND page = ::GetParent(findControl(wizard.sheet, IDC_ARCHIVE_EDIT));
    clickButton(page, IDC_BROWSE);
    HWND dialog = waitForTopWindow(wizard.program, title, kWindowWaitMs);
    if (dialog != nullptr) {
        setControlText(dialog, kFileNameBox, "good.zip");
        clickButton(dialog, IDOK);
        check(waitUntil([&] { return findTopWindow(wizard.program, title) == nullptr; },
                        kWindowWaitMs),
              "the file-open dialog did not close on OK");
        check(controlText(wizard.sheet, IDC_ARCHIVE_EDIT) == archive,
              "after OK the box shows \"" + controlText(wizard.sheet, IDC_ARCHIVE_EDIT) + "\"");
    }
    clickButton(page, IDC_BROWSE);
    dialog = waitForTopWindow(wizard.program, title, kWindowWaitMs);
    if (dialog != nullptr) {
        clickButton(dialog, IDCANCEL);
        waitUntil([&] { return findTopWindow(wizard.program, title) == nullptr; }, kWindowWaitMs);
        check(controlText(wizard.sheet, IDC_ARCHIVE_EDIT) == archive, "Cancel changed the box");
    }
    pressSheetButton(wizard.sheet, PSBTN_CANCEL);
    check(waitForExit(wizard.program, kWindowWaitMs) == 1, "no clean exit after Cancel");
    finishCase("Browse starts in the archive's folder and puts the chosen full path in the box");
}

// The close box after the run has ended is no cancel: the finished output stays.
void closeAfterRun(const std::string& exe, const std::string& folder) {
    Wizard wizard = openWizard(exe, "\"" + folder + "\\good.zip\"");
    if (abandoned(wizard)) return;
    pressSheetButton(wizard.sheet, PSBTN_NEXT);
    if (waitForCompletion(wizard)) ::PostMessageA(wizard.sheet, WM_SYSCOMMAND, SC_CLOSE, 0);
    int code = waitForExit(wizard.program, kWindowWaitMs);
    check(code == 1, "exit code " + std::to_string(code) + " after the close box");
    check(fileExists(folder + "\\Salvaged.zip"), "the close box deleted the finished Salvaged.zip");
    finishCase("closing the wizard after the run keeps Salvaged.zip");
}

std::string tempFolder() {
    char folder[MAX_PATH + 1] = {};
    ::GetTempPathA(sizeof folder, folder);
    return folder;
}

void cancelDuringRun(const std::string& exe, const std::string& folder) {
    std::string output = folder + "\\Salvaged.zip";
    std::string temp = tempFolder() + "klv.tmp";
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
    requestScreenshot("2-progress-page");
    check(pageTitle(wizard) == "Salvage in Progress",
          "run over before Cancel; make long.zip longer");
    pressSheetButton(wizard.sheet, PSBTN_CANCEL);
    int code = waitForExit(wizard.program, kRunWaitMs);
    check(code == 1, "exit code " + std::to_string(code) + " after Cancel");
    check(!fileExists(output), "Salvaged.zip remains after Cancel");
    check(!fileExists(temp), temp + " remains after Cancel");
    finishCase("Cancel during a run leaves no Salvaged.zip and no klv.tmp");
}

void encryptedArchive(const std::string& exe, const std::string& folder, const std::string& wrong) {
    Wizard wizard = openWizard(exe, "\"" + folder + "\\secret.zip\"");
    if (abandoned(wizard)) return;
    pressSheetButton(wizard.sheet, PSBTN_NEXT);
    HWND dialog = waitForTopWindow(wizard.program, "Decrypt File", kRunWaitMs);
    if (dialog != nullptr) {
        check(controlText(dialog, IDC_ENCRYPTED_NAME) == "a.txt",
              "dialog names \"" + controlText(dialog, IDC_ENCRYPTED_NAME) + "\"");
        RECT dialogRect;
        RECT pageRect;
        ::GetWindowRect(dialog, &dialogRect);
        ::GetWindowRect(::GetParent(findControl(wizard.sheet, IDC_LOG_LIST)), &pageRect);
        long dx = (dialogRect.left + dialogRect.right) / 2 - (pageRect.left + pageRect.right) / 2;
        long dy = (dialogRect.top + dialogRect.bottom) / 2 - (pageRect.top + pageRect.bottom) / 2;
        check(std::labs(dx) <= 1 && std::labs(dy) <= 1, "dialog not centred over the page");
        requestScreenshot("5-password-dialog");

        clickButton(dialog, IDCANCEL);  // Escape
        ::Sleep(300);
        check(::IsWindow(dialog) != 0, "Escape closed the dialog");

        setControlText(dialog, IDC_PASSWORD_EDIT, wrong);
        clickButton(dialog, IDOK);
        HWND box = waitForTopWindow(wizard.program, "Incorrect Password", kWindowWaitMs);
        check(staticTexts(box) == "The entered password does not appear to be correct",
              "wrong-password text \"" + staticTexts(box) + "\"");
        requestScreenshot("6-incorrect-password");
        clickButton(box, IDOK);
        waitUntil([&] { return findTopWindow(wizard.program, "Incorrect Password") == nullptr; },
                  kWindowWaitMs);
        check(::IsWindow(dialog) != 0, "the dialog closed after a wrong password");
        check(controlText(dialog, IDC_PASSWORD_EDIT) == wrong, "the typed text was not kept");
        finishCase("a wrong password shows \"Incorrect Password\" and the dialog stays");

        setControlText(dialog, IDC_PASSWORD_EDIT, "right");
        clickButton(dialog, IDOK);
        check(waitUntil([&] { return !::IsWindow(dialog); }, kWindowWaitMs),
              "right password refused");
        // b.txt shares the password and passes silently: the next prompt is for c.txt.
        HWND next = waitForTopWindow(wizard.program, "Decrypt File", kRunWaitMs);
        check(controlText(next, IDC_ENCRYPTED_NAME) == "c.txt",
              "second prompt names \"" + controlText(next, IDC_ENCRYPTED_NAME) + "\"");
        finishCase("the right password passes and a second entry with it passes silently");
        if (next != nullptr) clickButton(next, IDC_SKIP);
    }
    if (waitForCompletion(wizard)) {
        std::vector<std::string> lines = logOf(wizard);
        check(hasLine(lines, "ERROR (SKIPPING FILE): Cannot decrypt c.txt"),
              "no skip line for c.txt");
        check(hasLine(lines, "  3 files found") && hasLine(lines, "  1 undecryptable files"),
              "summary does not count 3 found, 1 undecryptable");
        check(hasLine(lines, "    b.txt: size = 6:  OK"), "b.txt not salvaged");
    }
    finishAndExit(wizard);
    finishCase("Skip counts the entry as undecryptable");
}

}  // namespace

int main(int argumentCount, char** arguments) {
    if (argumentCount < 4) {
        std::fprintf(stderr, "usage: wizard_driver SCENARIO PROGRAM FOLDER [SHOTS [WRONG]]\n");
        return 2;
    }
    std::string scenario = arguments[1];
    std::string exe = arguments[2];
    std::string folder = arguments[3];
    if (argumentCount > 4) setScreenshotFolder(arguments[4]);
    if (scenario == "complete") {
        completeRun(exe, folder);
    } else if (scenario == "first-page") {
        firstPageRefusals(exe, folder);
    } else if (scenario == "browse") {
        browseForArchive(exe, folder);
    } else if (scenario == "close-after-run") {
        closeAfterRun(exe, folder);
    } else if (scenario == "cancel") {
        cancelDuringRun(exe, folder);
    } else if (scenario == "password" && argumentCount > 5) {
        encryptedArchive(exe, folder, arguments[5]);
    } else {
        std::fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
        return 2;
    }
    return failedCases() == 0 ? 0 : 1;
}
