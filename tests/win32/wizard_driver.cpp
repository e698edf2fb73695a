// Drives the real wizard from outside, as a person would: one scenario per run, each printing
// PASS or FAIL lines. Usage: wizard_driver SCENARIO PROGRAM FOLDER [SHOTS [EXTRA]], where EXTRA
// is the wrong password of "password" and the entry count of "two-runs".
// clang-format off
#include <windows.h>  // first: the other Windows headers need its types
// clang-format on
#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/win32/wide_text.h"
#include "resources/resource_ids.h"
#include "tests/win32/driver_support.h"
#include "tests/win32/scenarios.h"
#include "tests/win32/wizard_steps.h"

using namespace zipsalvage::driver;
using zipsalvage::utf8FromWide;

namespace {

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
        // A name without flag bit 11 is read in the OEM code page: CP437 0x81 is u-umlaut.
        check(hasLine(lines, "    gr\xC3\xBCn.txt: size = 6:  OK"),
              "OEM name not converted for the log");
        check(hasLine(lines, "Salvage attempt complete") && hasLine(lines, "  3 files found"),
              "no summary with 3 files found");
        requestScreenshot("3-complete-page");
        openFolderThenAnother(wizard, folder);
    }
    enterFinishes(wizard);
    finishCase(
        "Next runs the salvage to \"Salvage Complete\" and Enter on Finish ends the program");
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
    expectBoxAfterNext(wizard, "File Error", "Unable to open " + missing + ": ", IDOK);
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
    expectBoxAfterNext(wizard, "File Error",
                       "Unable to create " + output + ": it is the damaged archive itself", IDOK);
    check(readWholeFile(output) == oldOutput, "Salvaged.zip changed when chosen as the archive");
    finishCase("the folder's own Salvaged.zip as the archive: \"Unable to create\", stays");

    pressSheetButton(wizard.sheet, PSBTN_CANCEL);
    int code = waitForExit(wizard.program, kWindowWaitMs);
    check(code == 1, "exit code " + std::to_string(code) + " after Cancel");
    check(readWholeFile(output) == oldOutput, "Cancel on the first page touched Salvaged.zip");
    finishCase("Cancel on the first page ends the program without a run");
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
        HWND edit = findControl(dialog, IDC_PASSWORD_EDIT);
        DWORD selection = 0;
        waitUntil(
            [&] {
                selection = static_cast<DWORD>(::SendMessageW(edit, EM_GETSEL, 0, 0));
                return LOWORD(selection) == 0 && HIWORD(selection) == wrong.size();
            },
            5000);
        check(LOWORD(selection) == 0 && HIWORD(selection) == wrong.size(),
              "the wrong password is not selected for retyping");
        check(focusedWindow(dialog) == edit, "the password box lacks the focus");
        finishCase(
            "a wrong password shows \"Incorrect Password\"; the dialog stays, text selected");

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
        check(hasLine(lines,
                      "WARNING: No password decrypts c.txt: kept encrypted as it was (compression "
                      "method 0)"),
              "no kept-encrypted line for c.txt");
        check(hasLine(lines, "  3 files found") && hasLine(lines, "  1 undecryptable files"),
              "summary does not count 3 found, 1 undecryptable");
        check(hasLine(lines, "    b.txt: size = 6:  OK"), "b.txt not salvaged");
    }
    finishAndExit(wizard);
    finishCase("Skip counts the entry as undecryptable");
}

// Two wizards at once on two archives in two folders: each run has its own temporary folder,
// so neither loses an entry to the other.
void twoRunsAtOnce(const std::string& exe, const std::string& folder, int entries) {
    const std::string archives[2] = {folder + "\\one\\first.zip", folder + "\\two\\second.zip"};
    Wizard wizards[2];
    for (int index = 0; index < 2; ++index) {
        wizards[index] = openWizard(exe, "\"" + archives[index] + "\"");
        if (abandoned(wizards[index])) {
            if (index == 1) stopProgram(wizards[0].program);
            return;
        }
    }
    for (Wizard& wizard : wizards) pressSheetButton(wizard.sheet, PSBTN_NEXT);
    check(waitUntil(
              [&] {
                  return pageTitle(wizards[0]) == "Salvage in Progress" &&
                         pageTitle(wizards[1]) == "Salvage in Progress";
              },
              kWindowWaitMs),
          "the two runs were not under way together");
    requestScreenshot("7-two-runs");
    for (int index = 0; index < 2; ++index) {
        Wizard& wizard = wizards[index];
        std::string which = index == 0 ? "first run: " : "second run: ";
        if (!waitForCompletion(wizard)) continue;
        std::vector<std::string> lines = logOf(wizard);
        check(countLinesStarting(lines, "ERROR") == 0 && countLinesStarting(lines, "Unable") == 0,
              which + "error lines in the log");
        int okLines = 0;
        for (const std::string& line : lines) okLines += line.find(":  OK") != std::string::npos;
        check(okLines == entries,
              which + std::to_string(okLines) + " entries OK, expected " + std::to_string(entries));
    }
    for (Wizard& wizard : wizards) finishAndExit(wizard);
    finishCase("two runs at once both salvage every entry");
}

// An archive in a folder named in Latin, Cyrillic and CJK script, given on the command line;
// its entries' UTF-8 names (flag bit 11) read back from the log as they were written.
void unicodeArchive(const std::string& exe, const std::string& folder) {
    std::string archive = folder + "\\\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB.zip";  // файл.zip
    std::string output = folder + "\\Salvaged.zip";
    Wizard wizard = openWizard(exe, "\"" + archive + "\"");
    if (abandoned(wizard)) return;
    check(controlText(wizard.sheet, IDC_ARCHIVE_EDIT) == archive,
          "archive box shows \"" + controlText(wizard.sheet, IDC_ARCHIVE_EDIT) + "\"");
    requestScreenshot("8-unicode-select-page");
    pressSheetButton(wizard.sheet, PSBTN_NEXT);
    if (waitForCompletion(wizard)) {
        check(controlText(wizard.sheet, IDC_COMPLETION_TEXT) == "Salvaged data stored in " + output,
              "completion text \"" + controlText(wizard.sheet, IDC_COMPLETION_TEXT) + "\"");
        std::vector<std::string> lines = logOf(wizard);
        // Привет.txt and 日本語/名前.txt
        const char* names[] = {"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82.txt",
                               "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E/\xE5\x90\x8D\xE5\x89\x8D.txt"};
        for (const char* name : names) {
            check(hasLine(lines, std::string("    ") + name + ": size = 6:  OK"),
                  std::string("no OK line for ") + name + " in: " + joined(lines));
        }
        requestScreenshot("9-unicode-complete-page");
    }
    enterFinishes(wizard);
    check(fileExists(output), "no Salvaged.zip beside the archive");
    finishCase("an archive in a Cyrillic and CJK folder opens; UTF-8 names read as written");
}

// A path longer than MAX_PATH on the command line opens and gets its output beside it.
void longPathArchive(const std::string& exe, const std::string& folder) {
    std::string archive = folder + "\\good.zip";
    Wizard wizard = openWizard(exe, "\"" + archive + "\"");
    if (abandoned(wizard)) return;
    check(archive.size() >= MAX_PATH, "the test path is not longer than MAX_PATH");

    // A path longer still typed into the file-open dialog's name box must not bring the
    // program down (its name box takes MAX_PATH characters; the dialog refuses the rest).
    constexpr int kFileNameBox = 1148;
    const std::string title = "Select a Zip Archive to Salvage";
    HWND page = ::GetParent(findControl(wizard.sheet, IDC_ARCHIVE_EDIT));
    clickButton(page, IDC_BROWSE);
    HWND dialog = waitForTopWindow(wizard.program, title, kWindowWaitMs);
    if (dialog != nullptr) {
        HWND nameBox = focusedWindow(dialog);
        check(nameBox != nullptr && ::GetDlgCtrlID(nameBox) == kFileNameBox,
              "the file name box lacks the focus");
        typeText(nameBox, archive + "\\" + std::string(20, 'x') + ".zip");
        ::Sleep(500);
        clickButton(dialog, IDOK);
        if (!waitUntil([&] { return findTopWindow(wizard.program, title) == nullptr; }, 5000)) {
            // The dialog may refuse the name with a box of its own: answer it, then cancel.
            for (HWND other : topWindowsOf(wizard.program)) {
                if (other != dialog && other != wizard.sheet) clickButton(other, IDOK);
            }
            ::Sleep(500);
            clickButton(dialog, IDCANCEL);
            waitUntil([&] { return findTopWindow(wizard.program, title) == nullptr; }, 5000);
        }
        check(waitForExit(wizard.program, 0) == -1 && ::IsWindow(wizard.sheet),
              "the program ended after a long name in the file-open dialog");
        check(controlText(wizard.sheet, IDC_ARCHIVE_EDIT) == archive,
              "after Browse the box shows \"" + controlText(wizard.sheet, IDC_ARCHIVE_EDIT) + "\"");
    }
    finishCase("a path of more than MAX_PATH characters typed into Browse does no harm");

    pressSheetButton(wizard.sheet, PSBTN_NEXT);
    if (waitForCompletion(wizard)) {
        check(hasLine(logOf(wizard), "    one.txt: size = 6:  OK"), "one.txt not salvaged");
    }
    finishAndExit(wizard);
    check(fileExists(folder + "\\Salvaged.zip"), "no Salvaged.zip beside the long-path archive");
    finishCase("an archive path longer than MAX_PATH opens and gets its output beside it");
}

// The output cannot be written in full (the test script limits the size of files the program
// may write): the page says the run failed, blames no entry, and no broken archive is left.
void writeFailure(const std::string& exe, const std::string& folder) {
    std::string output = folder + "\\Salvaged.zip";
    Wizard wizard = openWizard(exe, "\"" + folder + "\\big.zip\"");
    if (abandoned(wizard)) return;
    pressSheetButton(wizard.sheet, PSBTN_NEXT);
    HWND box = waitForTopWindow(wizard.program, "Output Error", kRunWaitMs);
    if (box != nullptr) {
        check(staticTexts(box) == "Unable to write to output file",
              "output error says \"" + staticTexts(box) + "\"");
        clickButton(box, IDOK);
    }
    bool failed = waitUntil([&] { return pageTitle(wizard) == "Salvage Failed"; }, kRunWaitMs);
    check(failed, "the page title is \"" + pageTitle(wizard) + "\" after a failed write");
    if (failed) {
        check(controlText(wizard.sheet, IDC_COMPLETION_TEXT) ==
                  "Writing failed: nothing was stored in " + output,
              "completion text \"" + controlText(wizard.sheet, IDC_COMPLETION_TEXT) + "\"");
        std::vector<std::string> lines = logOf(wizard);
        check(countLinesStarting(lines, "ERROR") == 0 && countLinesStarting(lines, "WARNING") == 0,
              "the log blames the archive: " + joined(lines));
        requestScreenshot("11-write-failed-page");
        check(!fileExists(output), "the unusable Salvaged.zip is left");
    }
    enterFinishes(wizard);
    check(!fileExists(output), "the unusable Salvaged.zip is left after Finish");
    finishCase("a failed write is shown as \"Salvage Failed\" and leaves no broken output");
}

// A pass phrase of some 200 characters, typed into "Decrypt File", opens its entry.
void longPassword(const std::string& exe, const std::string& folder) {
    const std::string phrase = [] {
        std::string text;
        for (int copy = 0; copy < 7; ++copy) text += "correct horse battery staple ";
        return text;
    }();
    Wizard wizard = openWizard(exe, "\"" + folder + "\\secret.zip\"");
    if (abandoned(wizard)) return;
    pressSheetButton(wizard.sheet, PSBTN_NEXT);
    HWND dialog = waitForTopWindow(wizard.program, "Decrypt File", kRunWaitMs);
    if (dialog != nullptr) {
        typeText(findControl(dialog, IDC_PASSWORD_EDIT), phrase);
        ::Sleep(500);
        clickButton(dialog, IDOK);
        check(waitUntil([&] { return !::IsWindow(dialog); }, kWindowWaitMs),
              "the long password was refused");
        HWND box = findTopWindow(wizard.program, "Incorrect Password");
        if (box != nullptr) clickButton(box, IDOK);
    }
    if (waitForCompletion(wizard)) {
        check(hasLine(logOf(wizard), "    long.txt: size = 7:  OK"),
              "long.txt not salvaged: " + joined(logOf(wizard)));
    }
    finishAndExit(wizard);
    finishCase("a 203-character pass phrase typed into \"Decrypt File\" opens its entry");
}

}  // namespace

int main() {
    // The wide command line: folder names in any script arrive whole.
    int argumentCount = 0;
    wchar_t** wideArguments = ::CommandLineToArgvW(::GetCommandLineW(), &argumentCount);
    std::vector<std::string> arguments;
    for (int index = 0; index < argumentCount; ++index)
        arguments.push_back(utf8FromWide(wideArguments[index], std::wcslen(wideArguments[index])));
    ::LocalFree(wideArguments);
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
        browseStartFolders(exe, folder);
    } else if (scenario == "output-folder") {
        chosenOutputFolder(exe, folder);
    } else if (scenario == "log") {
        keepingTheLog(exe, folder);
    } else if (scenario == "cancel") {
        stopDuringRun(exe, folder);
    } else if (scenario == "password" && argumentCount > 5) {
        encryptedArchive(exe, folder, arguments[5]);
    } else if (scenario == "two-runs" && argumentCount > 5) {
        twoRunsAtOnce(exe, folder, std::atoi(arguments[5].c_str()));
    } else if (scenario == "unicode") {
        unicodeArchive(exe, folder);
    } else if (scenario == "long-path") {
        longPathArchive(exe, folder);
    } else if (scenario == "password-escape") {
        escapeInPasswordDialog(exe, folder);
    } else if (scenario == "long-password") {
        longPassword(exe, folder);
    } else if (scenario == "high-dpi") {
        highDpi(exe, folder);
    } else if (scenario == "no-zip-data") {
        noZipData(exe, folder);
    } else if (scenario == "write-failure") {
        writeFailure(exe, folder);
    } else {
        std::fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
        return 2;
    }
    return failedCases() == 0 ? 0 : 1;
}
