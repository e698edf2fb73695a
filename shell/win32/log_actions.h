// What the user can do with the progress page's log: copy the selected lines (Ctrl+C), select
// them all (Ctrl+A), and the context menu's "Copy", "Copy all" and "Save log as...".
#pragma once

#include <windows.h>

#include <string>

namespace zipsalvage {

// The lines of a log list, each ended by CR LF: the selected ones, or all of them.
std::wstring logListText(HWND list, bool selectedOnly);

// The log file's bytes: UTF-8 with its byte-order mark (so every editor on Windows reads the
// names in any script), lines ended by CR LF.
std::string logFileBytes(const std::wstring& text);

// WM_VKEYTOITEM from the log list (wParam as sent): -2 when the key was a shortcut of the log,
// -1 to let the list box act on it.
INT_PTR logListKey(HWND page, WPARAM wParam);
// WM_CHARTOITEM from the log list (some list boxes send it with LBS_WANTKEYBOARDINPUT): -2 for
// the characters of the shortcuts (Ctrl+C, Ctrl+A), -1 for the list box's own search. Never
// 0, which would move the list to its first line.
INT_PTR logListCharacter(WPARAM wParam);

// WM_CONTEXTMENU from the log list: the menu at `position` (screen coordinates; -1, -1 from
// the keyboard puts it at the list's caret line). The log is saved beside `outputPath`; the
// archive at `archivePath` is held open meanwhile, so the log can never be written over it.
void showLogMenu(HWND page, LPARAM position, const std::string& outputPath,
                 const std::string& archivePath);

}  // namespace zipsalvage
