// Definitions of the Windows program's process-wide state.
#include "shell/win32/shell_state.h"

namespace zipsalvage {

HINSTANCE appInstance = nullptr;
HFONT titleFont = nullptr;
HBITMAP sideBitmap = nullptr;
HWND logWindow = nullptr;
SalvageRun salvageRun;
RunResult runResult = RunResult::kCompleted;

}  // namespace zipsalvage
