// The Windows program's entry point: start-up, the hidden main window, the wizard, and a
// shutdown that waits for the worker and removes the output of a cancelled run.
// clang-format off
#include <windows.h>  // first: the other Windows headers need its types
// clang-format on
#include <commctrl.h>
#include <ole2.h>

#include <string>

#include "resources/resource_ids.h"
#include "shell/win32/log_window.h"
#include "shell/win32/shell_paths.h"
#include "shell/win32/shell_state.h"
#include "shell/win32/title_font.h"
#include "shell/win32/wizard.h"

namespace zipsalvage {
namespace {

constexpr const char* kMainClassName = "Kelvo Main";
constexpr const char* kStartupMarker = "C:\\ZEVIROR";
constexpr int kMainWindowExtraBytes = 4;

enum : int { kExitNoWindowClass = 0, kExitNormal = 1 };

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcA(window, message, wParam, lParam);
}

void fillPathsFromCommandLine(const char* commandLine) {
    std::string path = archivePathFromCommandLine(commandLine);
    if (!path.empty()) {
        salvageRun.archivePath = path;
        salvageRun.browseFolder = browseFolderFor(path);
        return;
    }
    salvageRun.archivePath.clear();
    char windowsFolder[kPathCharacters] = {};
    UINT length = ::GetWindowsDirectoryA(windowsFolder, kPathCharacters);
    salvageRun.browseFolder.assign(windowsFolder, length < kPathCharacters ? length : 0);
    if (!salvageRun.browseFolder.empty() && salvageRun.browseFolder.back() == '\\') {
        salvageRun.browseFolder.pop_back();
    }
}

bool registerMainClass(HBRUSH background) {
    HICON icon = ::LoadIconA(appInstance, MAKEINTRESOURCEA(IDI_APPLICATION_ICON));
    HCURSOR arrow = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    WNDCLASSEXA extended = {};
    extended.cbSize = sizeof extended;
    extended.lpfnWndProc = mainWindowProc;
    extended.cbWndExtra = kMainWindowExtraBytes;
    extended.hInstance = appInstance;
    extended.hIcon = icon;
    extended.hCursor = arrow;
    extended.hbrBackground = background;
    extended.lpszClassName = kMainClassName;
    if (::RegisterClassExA(&extended) != 0) return true;
    WNDCLASSA plain = {};
    plain.lpfnWndProc = mainWindowProc;
    plain.cbWndExtra = kMainWindowExtraBytes;
    plain.hInstance = appInstance;
    plain.hIcon = icon;
    plain.hCursor = arrow;
    plain.hbrBackground = background;
    plain.lpszClassName = kMainClassName;
    return ::RegisterClassA(&plain) != 0;
}

// Waits for the worker while still answering the messages it sends: a log line sent just as
// the wizard closed would otherwise never be answered, and neither thread would go on.
void waitForWorker() {
    if (!salvageRun.workerThread.started) return;
    HANDLE worker = reinterpret_cast<HANDLE>(salvageRun.workerThread.handle);
    while (::MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_SENDMESSAGE) ==
           WAIT_OBJECT_0 + 1) {
        MSG message;
        ::PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    joinThread(salvageRun.workerThread);
}

int runProgram(HINSTANCE instance, const char* commandLine) {
    ::InitCommonControls();
    ::OleInitialize(nullptr);
    appInstance = instance;

    // Opened and closed at once if it exists; nothing depends on the outcome.
    closeFile(openExistingForRead(kStartupMarker));

    fillPathsFromCommandLine(commandLine);
    attachWindowUi(salvageRun);

    HBRUSH background = ::CreateSolidBrush(::GetSysColor(COLOR_BTNFACE));
    if (!registerMainClass(background)) return kExitNoWindowClass;
    titleFont = createTitleFont();
    sideBitmap = ::LoadBitmapA(instance, MAKEINTRESOURCEA(IDB_SIDE_BITMAP));
    HWND mainWindow =
        ::CreateWindowExA(0, kMainClassName, "", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                          CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    ::UpdateWindow(mainWindow);  // never shown: the property sheet is the program's window

    runWizard(mainWindow);

    ::DeleteObject(titleFont);
    ::DeleteObject(background);
    waitForWorker();
    // A cancelled run's output was never put in place: closing removes its partial file, and
    // an earlier file of the output's name stays as it was.
    closeRunFiles(salvageRun);
    if (sideBitmap != nullptr) ::DeleteObject(sideBitmap);
    ::OleUninitialize();
    return kExitNormal;
}

}  // namespace
}  // namespace zipsalvage

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    return zipsalvage::runProgram(instance, commandLine);
}
