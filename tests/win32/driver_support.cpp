// Window access from outside the program: every text is read with WM_GETTEXT, which Windows
// copies between processes, and every button is pressed with a posted message. Texts are UTF-8
// on this side and UTF-16 at the windows.
#include "tests/win32/driver_support.h"

#include <commctrl.h>

#include <cstdio>

#include "platform/win32/wide_text.h"

namespace zipsalvage::driver {
namespace {

std::string caseProblems;
int failures = 0;
std::string screenshotFolder;

constexpr UINT kMessageTimeoutMs = 5000;

LRESULT sendWithTimeout(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kMessageTimeoutMs,
                               &result)) {
        return -1;
    }
    return static_cast<LRESULT>(result);
}

struct TopSearch {
    DWORD processId;
    const std::string* caption;
    HWND found;
};

BOOL CALLBACK matchTopWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<TopSearch*>(parameter);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId || !::IsWindowVisible(window)) return TRUE;
    wchar_t caption[256] = {};
    int length = ::GetWindowTextW(window, caption, 256);
    if (*search->caption != utf8FromWide(caption, static_cast<size_t>(length > 0 ? length : 0)))
        return TRUE;
    search->found = window;
    return FALSE;
}

struct TopWindows {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK collectTopWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<TopWindows*>(parameter);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && ::IsWindowVisible(window)) search->found.push_back(window);
    return TRUE;
}

struct ControlSearch {
    int id;
    HWND found;
};

BOOL CALLBACK matchControl(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<ControlSearch*>(parameter);
    if (::GetDlgCtrlID(window) != search->id || !::IsWindowVisible(window)) return TRUE;
    search->found = window;
    return FALSE;
}

BOOL CALLBACK collectStatic(HWND window, LPARAM parameter) {
    char className[64] = {};
    ::GetClassNameA(window, className, sizeof className);
    if (lstrcmpiA(className, "Static") != 0) return TRUE;
    std::string text = windowText(window);
    if (text.empty()) return TRUE;
    auto* joined = reinterpret_cast<std::string*>(parameter);
    if (!joined->empty()) *joined += '\n';
    *joined += text;
    return TRUE;
}

}  // namespace

bool check(bool condition, const std::string& what) {
    if (!condition) caseProblems += "\n    " + what;
    return condition;
}

bool finishCase(const char* name) {
    bool passed = caseProblems.empty();
    if (passed) {
        std::printf("PASS %s\n", name);
    } else {
        std::printf("FAIL %s%s\n", name, caseProblems.c_str());
        ++failures;
    }
    std::fflush(stdout);
    caseProblems.clear();
    return passed;
}

int failedCases() { return failures; }

Program startProgram(const std::string& exe, const std::string& arguments) {
    Program program;
    std::string commandLine = "\"" + exe + "\"";
    if (!arguments.empty()) commandLine += " " + arguments;
    std::wstring wideExe = wideFromUtf8(exe);
    std::wstring wideCommandLine = wideFromUtf8(commandLine);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    program.running = ::CreateProcessW(wideExe.c_str(), wideCommandLine.data(), nullptr, nullptr,
                                       FALSE, 0, nullptr, nullptr, &startup, &program.info) != 0;
    check(program.running, "could not start " + exe);
    return program;
}

int waitForExit(Program& program, DWORD milliseconds) {
    if (!program.running) return -1;
    if (::WaitForSingleObject(program.info.hProcess, milliseconds) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    ::GetExitCodeProcess(program.info.hProcess, &code);
    ::CloseHandle(program.info.hProcess);
    ::CloseHandle(program.info.hThread);
    program.running = false;
    return static_cast<int>(code);
}

void stopProgram(Program& program) {
    if (!program.running) return;
    ::TerminateProcess(program.info.hProcess, 99);
    waitForExit(program, 5000);
}

bool waitUntil(const std::function<bool()>& condition, DWORD milliseconds) {
    DWORD start = ::GetTickCount();
    while (true) {
        if (condition()) return true;
        if (::GetTickCount() - start >= milliseconds) return false;
        ::Sleep(20);
    }
}

HWND findTopWindow(const Program& program, const std::string& caption) {
    TopSearch search{program.info.dwProcessId, &caption, nullptr};
    ::EnumWindows(matchTopWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<HWND> topWindowsOf(const Program& program) {
    TopWindows search{program.info.dwProcessId, {}};
    ::EnumWindows(collectTopWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND waitForTopWindow(const Program& program, const std::string& caption, DWORD milliseconds) {
    HWND found = nullptr;
    waitUntil([&] { return (found = findTopWindow(program, caption)) != nullptr; }, milliseconds);
    check(found != nullptr, "no window \"" + caption + "\" appeared");
    return found;
}

HWND findControl(HWND root, int id) {
    if (root == nullptr) return nullptr;
    ControlSearch search{id, nullptr};
    ::EnumChildWindows(root, matchControl, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string windowText(HWND window) {
    if (window == nullptr) return "<no window>";
    LRESULT length = sendWithTimeout(window, WM_GETTEXTLENGTH, 0, 0);
    if (length < 0) return "<no answer>";
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    LRESULT got =
        sendWithTimeout(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    return utf8FromWide(text.data(), got > 0 ? static_cast<size_t>(got) : 0);
}

std::string controlText(HWND root, int id) { return windowText(findControl(root, id)); }

void setControlText(HWND root, int id, const std::string& text) {
    std::wstring wide = wideFromUtf8(text);
    sendWithTimeout(findControl(root, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
}

std::string staticTexts(HWND dialog) {
    std::string joined;
    if (dialog != nullptr)
        ::EnumChildWindows(dialog, collectStatic, reinterpret_cast<LPARAM>(&joined));
    return joined;
}

std::vector<std::string> listLines(HWND list) {
    std::vector<std::string> lines;
    LRESULT count = sendWithTimeout(list, LB_GETCOUNT, 0, 0);
    for (LRESULT index = 0; index < count; ++index) {
        auto item = static_cast<WPARAM>(index);
        LRESULT length = ::SendMessageW(list, LB_GETTEXTLEN, item, 0);
        if (length < 0) break;
        // The wide form: Wine copies LB_GETTEXT's text between processes only for it.
        std::wstring wide(static_cast<size_t>(length) + 1, L'\0');
        ::SendMessageW(list, LB_GETTEXT, item, reinterpret_cast<LPARAM>(wide.data()));
        lines.push_back(utf8FromWide(wide.data(), static_cast<size_t>(length)));
    }
    return lines;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
    for (const std::string& candidate : lines) {
        if (candidate == line) return true;
    }
    return false;
}

void clickButton(HWND dialog, int id) {
    HWND button = ::GetDlgItem(dialog, id);
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(button));
}

void pressSheetButton(HWND sheet, int psbtn) {
    ::PostMessageW(sheet, PSM_PRESSBUTTON, static_cast<WPARAM>(psbtn), 0);
}

HWND focusedWindow(HWND window) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (window == nullptr ||
        !::GetGUIThreadInfo(::GetWindowThreadProcessId(window, nullptr), &info))
        return nullptr;
    return info.hwndFocus;
}

void pressKey(HWND window, WPARAM virtualKey) {
    ::PostMessageW(window, WM_KEYDOWN, virtualKey, 1);
    ::PostMessageW(window, WM_KEYUP, virtualKey, 1 | (3u << 30));
}

void typeText(HWND window, const std::string& text) {
    for (wchar_t character : wideFromUtf8(text)) ::PostMessageW(window, WM_CHAR, character, 1);
}

void pressKeys(HWND window, const std::vector<WORD>& keys) {
    ::SetForegroundWindow(window);
    ::Sleep(100);
    std::vector<INPUT> inputs;
    auto key = [&](WORD virtualKey, DWORD flags) {
        INPUT input = {};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = virtualKey;
        input.ki.wScan = static_cast<WORD>(::MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC));
        input.ki.dwFlags = flags;
        inputs.push_back(input);
    };
    for (WORD virtualKey : keys) key(virtualKey, 0);
    for (auto at = keys.rbegin(); at != keys.rend(); ++at) key(*at, KEYEVENTF_KEYUP);
    ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
    ::Sleep(200);
}

std::string clipboardText() {
    std::string text;
    if (!::OpenClipboard(nullptr)) return text;
    if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* wide = static_cast<const wchar_t*>(::GlobalLock(data))) {
            text = utf8FromWide(wide, wcslen(wide));
            ::GlobalUnlock(data);
        }
    }
    ::CloseClipboard();
    return text;
}

void clearClipboard() {
    if (!::OpenClipboard(nullptr)) return;
    ::EmptyClipboard();
    ::CloseClipboard();
}

HWND findPopupMenu(const Program& program) {
    for (HWND window : topWindowsOf(program)) {
        char className[16] = {};
        ::GetClassNameA(window, className, sizeof className);
        if (std::string(className) == "#32768") return window;
    }
    return nullptr;
}

namespace {

struct CaptionSearch {
    const std::string* part;
    HWND found;
};

BOOL CALLBACK matchCaptionPart(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<CaptionSearch*>(parameter);
    if (!::IsWindowVisible(window)) return TRUE;
    wchar_t caption[512] = {};
    int length = ::GetWindowTextW(window, caption, 512);
    std::string text = utf8FromWide(caption, static_cast<size_t>(length > 0 ? length : 0));
    if (text.find(*search->part) == std::string::npos) return TRUE;
    search->found = window;
    return FALSE;
}

}  // namespace

HWND findAnyWindowContaining(const std::string& part) {
    CaptionSearch search{&part, nullptr};
    ::EnumWindows(matchCaptionPart, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<std::string> tempFoldersOfRuns() {
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    std::vector<std::string> folders;
    WIN32_FIND_DATAW item;
    HANDLE search = ::FindFirstFileW((std::wstring(temp) + L"zipsalvage-*").c_str(), &item);
    if (search == INVALID_HANDLE_VALUE) return folders;
    do {
        folders.push_back(utf8FromWide(item.cFileName, wcslen(item.cFileName)));
    } while (::FindNextFileW(search, &item));
    ::FindClose(search);
    return folders;
}

std::string readWholeFile(const std::string& path) {
    std::string contents;
    if (FILE* file = ::_wfopen(wideFromUtf8(path).c_str(), L"rb")) {
        char buffer[4096];
        size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) contents.append(buffer, got);
        std::fclose(file);
    }
    return contents;
}

bool fileExists(const std::string& path) {
    return ::GetFileAttributesW(fileSystemPath(path.c_str()).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void setScreenshotFolder(const std::string& folder) { screenshotFolder = folder; }

void requestScreenshot(const std::string& name) {
    if (screenshotFolder.empty()) return;
    ::Sleep(300);  // let the windows finish painting
    std::string request = screenshotFolder + "\\" + name + ".request";
    std::string taken = screenshotFolder + "\\" + name + ".png";
    if (FILE* file = std::fopen(request.c_str(), "wb")) std::fclose(file);
    waitUntil([&] { return !fileExists(request) && fileExists(taken); }, 20000);
}

}  // namespace zipsalvage::driver
