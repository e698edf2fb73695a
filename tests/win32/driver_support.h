// Helpers of the wizard driver: starting the program, finding its windows from outside the
// process, reading and setting control texts (UTF-8 here), pressing buttons and keys, and
// recording checks.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace zipsalvage::driver {

// Fails the current case with `what` unless `condition` holds; returns `condition`.
bool check(bool condition, const std::string& what);
// Prints PASS or FAIL for the case that ends here and starts a fresh one.
bool finishCase(const char* name);
int failedCases();

struct Program {
    PROCESS_INFORMATION info{};
    bool running = false;
};
// Starts `exe` with `arguments` appended to its quoted name, as Explorer would.
Program startProgram(const std::string& exe, const std::string& arguments);
// Waits for the program to end; its exit code, or -1 after the time limit.
int waitForExit(Program& program, DWORD milliseconds);
// Ends the program if it still runs (after a failed case).
void stopProgram(Program& program);

// Polls `condition` every 20 ms until it holds or `milliseconds` pass.
bool waitUntil(const std::function<bool()>& condition, DWORD milliseconds);

// A visible top-level window of the process with this caption, or null.
HWND findTopWindow(const Program& program, const std::string& caption);
HWND waitForTopWindow(const Program& program, const std::string& caption, DWORD milliseconds);
// Every visible top-level window of the process.
std::vector<HWND> topWindowsOf(const Program& program);

// The visible descendant of `root` with control id `id`, or null.
HWND findControl(HWND root, int id);
std::string windowText(HWND window);
std::string controlText(HWND root, int id);
void setControlText(HWND root, int id, const std::string& text);
// All static texts of a dialog (a message box's message), joined by newlines.
std::string staticTexts(HWND dialog);
std::vector<std::string> listLines(HWND list);
bool hasLine(const std::vector<std::string>& lines, const std::string& line);

// Sends WM_COMMAND for a button, as a click does.
void clickButton(HWND dialog, int id);
void pressSheetButton(HWND sheet, int psbtn);
// The window with the keyboard focus in the thread that owns `window`, or null.
HWND focusedWindow(HWND window);
// Posts a key press to `window`, as the keyboard would deliver it to the focused control.
void pressKey(HWND window, WPARAM virtualKey);
// Posts `text` to `window` one character at a time, as typing would (limits of the box apply).
void typeText(HWND window, const std::string& text);
// Brings `window` to the front and presses the keys as the keyboard would, through the
// system's input queue (so the program sees Ctrl and Shift held): each key in turn goes down,
// then all come up in the reverse order. For shortcuts that a posted message cannot give.
void pressKeys(HWND window, const std::vector<WORD>& keys);
// The clipboard's Unicode text, as UTF-8 ("" when it holds none).
std::string clipboardText();
void clearClipboard();
// The open popup menu of the process (window class "#32768"), or null.
HWND findPopupMenu(const Program& program);
// A visible top-level window of any process whose caption contains `part`, or null.
HWND findAnyWindowContaining(const std::string& part);
// Names of the runs' private temporary folders in the user's temporary folder.
std::vector<std::string> tempFoldersOfRuns();

std::string readWholeFile(const std::string& path);
bool fileExists(const std::string& path);

// Asks the test script for a screenshot named `name` and waits until it is taken. Does
// nothing unless a screenshot folder was given.
void requestScreenshot(const std::string& name);
void setScreenshotFolder(const std::string& folder);

}  // namespace zipsalvage::driver
