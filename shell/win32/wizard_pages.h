// What the wizard's two pages share: the state each keeps, notification results, control
// texts, the sheet's buttons, the title font and the worker's end.
#pragma once

#include <windows.h>

#include <string>

#include "shell/win32/shell_state.h"

namespace zipsalvage {

// The state a page keeps in its DWLP_USER; null before its WM_INITDIALOG.
ShellState* stateOf(HWND page);
// At a page's WM_INITDIALOG, whose lParam is the page's PROPSHEETPAGE: keeps the state that
// runWizard put there in the page's DWLP_USER.
ShellState& keepState(HWND page, LPARAM initParam);
// A dialog procedure's answer to a notification goes in DWLP_MSGRESULT.
INT_PTR notifyResult(HWND page, LONG_PTR result, INT_PTR handled);

// The text of a control (UTF-8), and setting it.
std::string controlTextOf(HWND page, int id);
void setControlText(HWND page, int id, const std::string& text);
// A string-table text with one %s.
std::string formattedText(int textId, const std::string& argument);
// A message box over `page` with text and caption from the string table.
int showMessageBox(HWND page, const std::string& text, int captionId, UINT style);

// Gives the keyboard focus to a button of the sheet and makes it the default, as the dialog
// manager does when the user tabs to it.
void focusSheetButton(HWND sheet, int id);
// Gives the page's title the title font made for the page's DPI (made anew when it changed).
void giveTitleFont(HWND page, ShellState& state, bool redraw);

// The path made full (relative names resolve against the current folder); `path` itself when
// the system cannot.
std::string fullPathOf(const std::string& path);

// Waits for the worker while still answering the messages it sends: a log line sent just as
// the wizard closed would otherwise never be answered, and neither thread would go on.
void waitForWorker(WorkerThread& workerThread);

}  // namespace zipsalvage
