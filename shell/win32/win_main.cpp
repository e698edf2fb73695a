// The Windows program's entry point: start-up, the hidden main window, the wizard, and a
// shutdown that waits for the worker and removes the output of a cancelled run.
// clang-format off
#include <windows.h>  // first: the other Windows headers need its types
// clang-format on
#include <commctrl.h>
#include <ole2.h>

#include <string>

#include "platform/win32/wide_text.h"
#include "resources/resource_ids.h"
#include "shell/win32/shell_paths.h"
#include "shell/win32/shell_state.h"
#include "shell/win32/wizard.h"
#include "shell/win32/wizard_pages.h"

namespace zipsalvage {
namespace {

constexpr const wchar_t* kMainClassName = L"Kelvo Main";
constexpr const char* kStartupMarker = "C:\\ZEVIROR";
constexpr int kMainWindowExtraBytes = 4;

enum : int { kExitNoWindowClass = 0, kExitNormal = 1 };

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

// The wide command line, so a path in any script arrives whole (the ANSI one that WinMain is
// given turns what the code page lacks into "?").
void fillPathsFromCommandLine(SalvageRun& run) {
    std::string path =
        archivePathFromCommandLine(utf8FromWide(argumentsOf(::GetCommandLineW())).c_str());
    run.archivePath = path;
    // Without a path, Browse starts in the Documents folder (the first page decides).
    run.browseFolder = path.empty() ? std::string() : browseFolderFor(path);
}

bool registerMainClass(HINSTANCE instance, HBRUSH background) {
    HICON icon = ::LoadIconW(instance, MAKEINTRESOURCEW(IDI_APPLICATION_ICON));
    HCURSOR arrow = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    WNDCLASSEXW extended = {};
    extended.cbSize = sizeof extended;
    extended.lpfnWndProc = mainWindowProc;
    extended.cbWndExtra = kMainWindowExtraBytes;
    extended.hInstance = instance;
    extended.hIcon = icon;
    extended.hCursor = arrow;
    extended.hbrBackground = background;
    extended.lpszClassName = kMainClassName;
    if (::RegisterClassExW(&extended) != 0) return true;
    WNDCLASSW plain = {};
    plain.lpfnWndProc = mainWindowProc;
    plain.cbWndExtra = kMainWindowExtraBytes;
    plain.hInstance = instance;
    plain.hIcon = icon;
    plain.hCursor = arrow;
    plain.hbrBackground = background;
    plain.lpszClassName = kMainClassName;
    return ::RegisterClassW(&plain) != 0;
}

int runProgram(HINSTANCE instance) {
    ::InitCommonControls();
    ::OleInitialize(nullptr);
    // The whole state of the program; the wizard's pages and the worker reach it from here.
    ShellState state;
    state.instance = instance;

    // Opened and closed at once if it exists; nothing depends on the outcome.
    closeFile(openExistingForRead(kStartupMarker));

    fillPathsFromCommandLine(*state.run);

    GdiObject<HBRUSH> background(::CreateSolidBrush(::GetSysColor(COLOR_BTNFACE)));
    if (!registerMainClass(instance, background.handle)) return kExitNoWindowClass;
    GdiObject<HBITMAP> sideBitmap(::LoadBitmapW(instance, MAKEINTRESOURCEW(IDB_SIDE_BITMAP)));
    state.sideBitmap = sideBitmap.handle;
    HWND mainWindow =
        ::CreateWindowExW(0, kMainClassName, L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                          CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    ::UpdateWindow(mainWindow);  // never shown: the property sheet is the program's window

    runWizard(mainWindow, state);

    waitForWorker(state.workerThread);
    // The run is this thread's again. A cancelled run's output was never put in place: closing
    // removes its partial file, and an earlier file of the output's name stays as it was.
    closeRunFiles(*state.run);
    removeRunTempFolder();
    ::OleUninitialize();
    return kExitNormal;
}

}  // namespace
}  // namespace zipsalvage

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return zipsalvage::runProgram(instance);
}
