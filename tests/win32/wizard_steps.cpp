// The shared steps of the wizard's scenarios.
#include "tests/win32/wizard_steps.h"

#include <commctrl.h>

#include "resources/resource_ids.h"

namespace zipsalvage::driver {

Wizard openWizard(const std::string& exe, const std::string& arguments) {
    Wizard wizard;
    wizard.program = startProgram(exe, arguments);
    if (!wizard.program.running) return wizard;
    wizard.sheet = waitForTopWindow(wizard.program, kSheetCaption, kWindowWaitMs);
    return wizard;
}

bool abandoned(Wizard& wizard) {
    if (wizard.sheet != nullptr) return false;
    stopProgram(wizard.program);
    finishCase("the wizard appears");
    return true;
}

std::string pageTitle(const Wizard& wizard) { return controlText(wizard.sheet, IDC_PAGE_TITLE); }

bool onFirstPage(const Wizard& wizard) { return pageTitle(wizard) == "Select Archive To Repair"; }

void expectBoxAfterNext(Wizard& wizard, const std::string& caption, const std::string& text,
                        int answer, const char* shot) {
    pressSheetButton(wizard.sheet, PSBTN_NEXT);
    HWND box = waitForTopWindow(wizard.program, caption, kWindowWaitMs);
    if (box == nullptr) return;
    // The file messages go on with the system's reason, which differs between systems.
    check(staticTexts(box).compare(0, text.size(), text) == 0,
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

int focusedSheetButton(const Wizard& wizard) {
    HWND focus = focusedWindow(wizard.sheet);
    if (focus == nullptr || ::GetParent(focus) != wizard.sheet) return 0;
    return ::GetDlgCtrlID(focus);
}

void enterFinishes(Wizard& wizard) {
    bool focused = waitUntil([&] { return focusedSheetButton(wizard) == kFinishButton; }, 5000);
    check(focused, "Finish lacks the focus after the run (focus on control " +
                       std::to_string(focusedSheetButton(wizard)) + ")");
    LRESULT defaultId = ::SendMessageW(wizard.sheet, DM_GETDEFID, 0, 0);
    check(HIWORD(defaultId) == DC_HASDEFID && LOWORD(defaultId) == kFinishButton,
          "Finish is not the default button");
    if (!focused) {
        finishAndExit(wizard);
        return;
    }
    pressKey(focusedWindow(wizard.sheet), VK_RETURN);
    int code = waitForExit(wizard.program, kWindowWaitMs);
    check(code == 1, "exit code " + std::to_string(code) + " after Enter, expected 1");
    if (code != 1) stopProgram(wizard.program);
}

std::vector<std::string> newTempFolders(const std::vector<std::string>& before) {
    std::vector<std::string> added;
    for (const std::string& folder : tempFoldersOfRuns()) {
        if (!hasLine(before, folder)) added.push_back(folder);
    }
    return added;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : ", ") + line;
    return text;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

int countLinesStarting(const std::vector<std::string>& lines, const std::string& prefix) {
    int count = 0;
    for (const std::string& line : lines) count += startsWith(line, prefix) ? 1 : 0;
    return count;
}

std::vector<std::string> logOf(const Wizard& wizard) {
    return listLines(findControl(wizard.sheet, IDC_LOG_LIST));
}

HWND pageHolding(const Wizard& wizard, int id) {
    return ::GetParent(findControl(wizard.sheet, id));
}

bool waitForTitle(Wizard& wizard, const std::string& title, DWORD milliseconds) {
    return check(waitUntil([&] { return pageTitle(wizard) == title; }, milliseconds),
                 "the title is \"" + pageTitle(wizard) + "\", expected \"" + title + "\"");
}

}  // namespace zipsalvage::driver
