// The log list of the progress page, worked from the keyboard and its context menu.
#include <windows.h>

#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/win32/scenarios.h"
#include "tests/win32/wizard_steps.h"

namespace zipsalvage::driver {
namespace {

int listValue(HWND list, UINT message) {
    return static_cast<int>(::SendMessageW(list, message, 0, 0));
}

std::string linesText(const std::vector<std::string>& lines, size_t first) {
    std::string text;
    for (size_t index = first; index < lines.size(); ++index) text += lines[index] + "\r\n";
    return text;
}

// Tabs from wherever the focus is until it reaches `target`; false if it never does.
bool tabTo(HWND sheet, HWND target) {
    for (int press = 0; press < 8; ++press) {
        HWND focus = focusedWindow(sheet);
        if (focus == target) return true;
        pressKey(focus != nullptr ? focus : sheet, VK_TAB);
        waitUntil([&] { return focusedWindow(sheet) != focus; }, 1000);
    }
    return focusedWindow(sheet) == target;
}

HWND openLogMenu(Wizard& wizard) {
    pressKeys(wizard.sheet, {VK_SHIFT, VK_F10});
    HWND menu = nullptr;
    waitUntil([&] { return (menu = findPopupMenu(wizard.program)) != nullptr; }, 5000);
    check(menu != nullptr, "Shift+F10 on the log opened no menu");
    return menu;
}

void saveLogThroughMenu(Wizard& wizard, const std::string& path,
                        const std::vector<std::string>& lines) {
    const std::string title = "Save Log As";
    if (openLogMenu(wizard) == nullptr) return;
    pressKeys(wizard.sheet, {'S'});
    HWND dialog = waitForTopWindow(wizard.program, title, kWindowWaitMs);
    if (dialog == nullptr) return;
    check(controlText(dialog, kFileNameBox) == "Salvage log.txt",
          "the save dialog offers \"" + controlText(dialog, kFileNameBox) + "\"");
    setControlText(dialog, kFileNameBox, path);
    clickButton(dialog, IDOK);
    check(waitUntil([&] { return findTopWindow(wizard.program, title) == nullptr; }, kWindowWaitMs),
          "the save dialog did not close on OK");
    std::string expected = "\xEF\xBB\xBF" + linesText(lines, 0);
    check(waitUntil([&] { return readWholeFile(path) == expected; }, 5000),
          "the saved log holds \"" + readWholeFile(path) + "\"");
}

}  // namespace

void keepingTheLog(const std::string& exe, const std::string& folder) {
    Wizard wizard = openWizard(exe, "\"" + folder + "\\good.zip\"");
    if (abandoned(wizard)) return;
    pressSheetButton(wizard.sheet, PSBTN_NEXT);
    if (!waitForCompletion(wizard)) {
        stopProgram(wizard.program);
        finishCase("the run completes");
        return;
    }
    HWND list = findControl(wizard.sheet, IDC_LOG_LIST);
    std::vector<std::string> lines = logOf(wizard);
    check(tabTo(wizard.sheet, list), "Tab never reaches the log list");
    finishCase("Tab reaches the log list after a run");

    pressKey(list, VK_HOME);
    check(waitUntil([&] { return listValue(list, LB_GETTOPINDEX) == 0; }, 5000),
          "Home does not scroll the log to its first line");
    pressKey(list, VK_DOWN);
    check(waitUntil([&] { return listValue(list, LB_GETCARETINDEX) == 1; }, 5000),
          "Down does not move to the second line");
    pressKeys(wizard.sheet, {VK_SHIFT, VK_END});
    int count = static_cast<int>(lines.size());
    check(waitUntil([&] { return listValue(list, LB_GETSELCOUNT) == count - 1; }, 5000),
          std::to_string(listValue(list, LB_GETSELCOUNT)) + " lines selected by Shift+End, " +
              "expected " + std::to_string(count - 1));
    check(listValue(list, LB_GETTOPINDEX) > 0, "End does not scroll the log to its last line");
    clearClipboard();
    pressKeys(wizard.sheet, {VK_CONTROL, 'C'});
    std::string selected = linesText(lines, 1);
    check(waitUntil([&] { return clipboardText() == selected; }, 5000),
          "Ctrl+C copied \"" + clipboardText() + "\"");
    // The shortcut's character must not reach the list's type-ahead search as well.
    ::Sleep(300);
    check(listValue(list, LB_GETSELCOUNT) == count - 1 && listValue(list, LB_GETTOPINDEX) > 0,
          "Ctrl+C changed the selection or scrolled the log");
    finishCase("the log scrolls with the keys, Shift+End selects lines and Ctrl+C copies them");

    clearClipboard();
    if (openLogMenu(wizard) != nullptr) {
        requestScreenshot("12-log-menu");
        pressKeys(wizard.sheet, {'A'});
        std::string all = linesText(lines, 0);
        check(waitUntil([&] { return clipboardText() == all; }, 5000),
              "\"Copy all\" copied \"" + clipboardText() + "\"");
    }
    saveLogThroughMenu(wizard, folder + "\\kept log.txt", lines);
    finishCase("the log's menu copies every line and saves the log as a UTF-8 text file");

    ::PostMessageA(wizard.sheet, WM_SYSCOMMAND, SC_CLOSE, 0);
    int code = waitForExit(wizard.program, kWindowWaitMs);
    check(code == 1, "exit code " + std::to_string(code) + " after the close box");
    check(fileExists(folder + "\\Salvaged.zip"), "the close box deleted the finished Salvaged.zip");
    finishCase("closing the wizard after the run keeps Salvaged.zip");
}

}  // namespace zipsalvage::driver
