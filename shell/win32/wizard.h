// The two-page wizard: choosing the archive, then the run with its log and progress bar.
#pragma once

#include <windows.h>

namespace zipsalvage {

// Builds and runs the modal property sheet; destroys `mainWindow` when it has closed.
void runWizard(HWND mainWindow);

INT_PTR CALLBACK selectPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK progressPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

// The worker thread's routine: the whole run, then WM_SALVAGE_DONE to the page.
void workerMain(void* parameter);

}  // namespace zipsalvage
