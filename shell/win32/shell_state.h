// The process-wide state of the Windows program and the messages between worker and page.
#pragma once

#include <windows.h>

#include "engine/salvage_run.h"

namespace zipsalvage {

// Sent by the worker to the progress page: the run has ended, however it ended.
inline constexpr UINT WM_SALVAGE_DONE = WM_USER + 1000;
// Sent by the worker to the progress page: progress in thousandths, in both wParam and lParam.
inline constexpr UINT WM_SALVAGE_PROGRESS = WM_USER + 1001;

// Buttons of the property sheet that the pages switch on and off.
inline constexpr int kSheetCancelButton = IDCANCEL;
inline constexpr int kSheetFinishButton = 12325;

extern HINSTANCE appInstance;
extern HFONT titleFont;
extern HBITMAP sideBitmap;
// The wizard page on screen: it receives log lines and progress and owns every message box.
extern HWND logWindow;
// The one salvage run of the process, and how it ended (set by the worker before it reports).
extern SalvageRun salvageRun;
extern RunResult runResult;

}  // namespace zipsalvage
