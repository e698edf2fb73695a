// The Windows program's state: one record owned by WinMain and handed to the wizard's pages,
// the worker's argument, an owner for GDI objects, and the messages between worker and page.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>

#include "engine/run/salvage_run.h"

namespace zipsalvage {

// Sent by the worker to the progress page when the run has ended, however it ended; wParam is
// the RunResult. From then on the run is the interface thread's again.
inline constexpr UINT WM_SALVAGE_DONE = WM_USER + 1000;
// Sent by the worker to the progress page: progress in thousandths, in both wParam and lParam.
inline constexpr UINT WM_SALVAGE_PROGRESS = WM_USER + 1001;
// Sent by the worker to the progress page when the scan starts on an entry: lParam is its
// shown name (UTF-8), valid while the message is handled.
inline constexpr UINT WM_SALVAGE_ENTRY = WM_USER + 1002;

// Buttons of the property sheet that the pages switch on and off.
inline constexpr int kSheetCancelButton = IDCANCEL;
inline constexpr int kSheetFinishButton = 12325;

// Owns one GDI object (font, bitmap, brush) and deletes it on every way out of its scope.
template <typename Handle>
struct GdiObject {
    Handle handle = nullptr;

    explicit GdiObject(Handle owned) : handle(owned) {}
    ~GdiObject() { reset(nullptr); }
    // Deletes the object held and takes `owned` in its place.
    void reset(Handle owned) {
        if (handle != nullptr) ::DeleteObject(handle);
        handle = owned;
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

// What the progress page shows of the run in hand besides its log: the bytes read and their
// rate, worked out on the interface thread from the progress the worker sends.
struct RunProgress {
    uint64_t archiveBytes = 0;  // the archive's size, taken before the worker starts
    uint64_t startedTicks = 0;  // GetTickCount64 when the run started
    uint64_t shownTicks = 0;    // when the rate text last changed
};

// Everything the program keeps between window messages. Owned by WinMain; the wizard's pages
// reach it through their DWLP_USER, taken from their PROPSHEETPAGE at WM_INITDIALOG.
struct ShellState {
    HINSTANCE instance = nullptr;
    HBITMAP sideBitmap = nullptr;  // owned by WinMain, alive while the wizard is; may be null
    // Both pages' title font, made for the DPI of the window it was last asked for.
    GdiObject<HFONT> titleFont{nullptr};
    int titleFontDpi = 0;
    // The salvage run in hand. "Salvage another" puts a fresh one in its place once the last
    // has ended and its worker is gone.
    std::optional<SalvageRun> run{std::in_place};
    WindowUi selectUi;  // the first page's
    WorkerJob worker;
    WorkerThread workerThread;
    RunResult runResult = RunResult::kCompleted;  // as WM_SALVAGE_DONE reported it
    // Set when WM_SALVAGE_DONE has been handled: from then on a close of the sheet is no
    // cancel, and the finished output is kept.
    bool runFinished = false;
    RunProgress progress;

    ShellState() = default;
    ShellState(const ShellState&) = delete;
    ShellState& operator=(const ShellState&) = delete;
};

}  // namespace zipsalvage
