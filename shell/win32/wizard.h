// The two-page wizard: choosing the archive and where its salvage goes, then the run with its
// log and progress bar.
#pragma once

#include <windows.h>

#include "shell/win32/shell_state.h"

namespace zipsalvage {

// Builds and runs the modal property sheet over `state`, which each page keeps in its
// DWLP_USER; destroys `mainWindow` when it has closed. The worker may still run afterwards.
void runWizard(HWND mainWindow, ShellState& state);

INT_PTR CALLBACK selectPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK progressPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

// The worker thread's routine (argument: its WorkerJob): the whole run, then WM_SALVAGE_DONE
// with the run's result to the job's page.
void workerMain(void* argument);

}  // namespace zipsalvage
