// The Windows program's state: one record owned by WinMain and handed to the wizard's pages,
// the worker's argument, an owner for GDI objects, and the messages between worker and page.
#pragma once

#include <windows.h>

#include "engine/salvage_run.h"

namespace zipsalvage {

// Sent by the worker to the progress page when the run has ended, however it ended; wParam is
// the RunResult. From then on the run is the interface thread's again.
inline constexpr UINT WM_SALVAGE_DONE = WM_USER + 1000;
// Sent by the worker to the progress page: progress in thousandths, in both wParam and lParam.
inline constexpr UINT WM_SALVAGE_PROGRESS = WM_USER + 1001;

// Buttons of the property sheet that the pages switch on and off.
inline constexpr int kSheetCancelButton = IDCANCEL;
inline constexpr int kSheetFinishButton = 12325;

// Owns one GDI object (font, bitmap, brush) and deletes it on every way out of its scope.
template <typename Handle>
struct GdiObject {
    Handle handle = nullptr;

    explicit GdiObject(Handle owned) : handle(owned) {}
    ~GdiObject() {
        if (handle != nullptr) ::DeleteObject(handle);
    }
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;
};

// What the run's callbacks (log lines, progress, message boxes, the password dialog) reach of
// the wizard. Each thread that runs steps of the engine has its own, set before it starts them
// and left alone while it runs: the first page's, for opening the files on the interface
// thread, and the worker's, for the run.
struct WindowUi {
    HINSTANCE instance = nullptr;  // holds the dialog templates
    HWND page = nullptr;           // receives log lines and progress; owns every message box
    RunFlags* flags = nullptr;     // Escape in the password dialog cancels the run
};

// The worker thread's argument, and all it touches: the run, which is the worker's until it
// sends WM_SALVAGE_DONE (the interface thread meanwhile only sets its cancel flag, an atomic),
// and its own WindowUi, through which everything it shows reaches the page by messages.
struct WorkerJob {
    SalvageRun* run = nullptr;
    WindowUi ui;
};

// Everything the program keeps between window messages. Owned by WinMain; the wizard's pages
// reach it through their DWLP_USER, taken from their PROPSHEETPAGE at WM_INITDIALOG.
struct ShellState {
    HINSTANCE instance = nullptr;
    HFONT titleFont = nullptr;     // owned by WinMain, alive while the wizard is
    HBITMAP sideBitmap = nullptr;  // the same; null when it could not be loaded
    SalvageRun run;                // the one salvage run of the process
    WindowUi selectUi;             // the first page's
    WorkerJob worker;
    WorkerThread workerThread;
    RunResult runResult = RunResult::kCompleted;  // as WM_SALVAGE_DONE reported it
    // Set when WM_SALVAGE_DONE has been handled: from then on a close of the sheet is no
    // cancel, and the finished output is kept.
    bool runFinished = false;

    ShellState() = default;
    ~ShellState() { freeEntryList(run); }
    ShellState(const ShellState&) = delete;
    ShellState& operator=(const ShellState&) = delete;
};

}  // namespace zipsalvage
