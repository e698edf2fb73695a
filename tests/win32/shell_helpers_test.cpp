// The window helpers of the wizard, in-process: the log list's scrolling and the page each
// run's log reaches, centring and its clamping, the two loadText buffers and the string-table
// resource, the dialog templates, and the path and font rules of start-up, names and paths in
// any script, the private temporary folder, the progress line, what the manifest gives and the
// scaled side picture, the processor count.
// clang-format off
#include <windows.h>  // first: the other Windows headers need its types
// clang-format on
#include <commctrl.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/platform.h"
#include "platform/win32/wide_text.h"
#include "resources/resource_ids.h"
#include "resources/strings.h"
#include "shell/win32/log_window.h"
#include "shell/win32/path_text.h"
#include "shell/win32/progress_text.h"
#include "shell/win32/shell_paths.h"
#include "shell/win32/shell_state.h"
#include "shell/win32/shown_names.h"
#include "shell/win32/title_font.h"
#include "tests/win32/driver_support.h"

using namespace zipsalvage;
using namespace zipsalvage::driver;

namespace {

int screenWidth() {
    HDC dc = ::GetDC(nullptr);
    int width = ::GetDeviceCaps(dc, HORZRES);
    ::ReleaseDC(nullptr, dc);
    return width;
}

HWND makePopup(int x, int y, int width, int height) {
    return ::CreateWindowExA(0, "STATIC", "", WS_POPUP | WS_VISIBLE, x, y, width, height, nullptr,
                             nullptr, ::GetModuleHandleA(nullptr), nullptr);
}

RECT rectOf(HWND window) {
    RECT rect;
    ::GetWindowRect(window, &rect);
    return rect;
}

void logListKeepsLastLineInView() {
    HWND page = makePopup(10, 10, 400, 400);
    HWND list = ::CreateWindowExA(
        0, "LISTBOX", "",
        WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | LBS_NOSEL | LBS_NOINTEGRALHEIGHT, 0, 0,
        300, 100, page, reinterpret_cast<HMENU>(IDC_LOG_LIST), ::GetModuleHandleA(nullptr),
        nullptr);
    auto itemHeight = static_cast<int>(::SendMessageA(list, LB_GETITEMHEIGHT, 0, 0));
    // Seven full rows and half of an eighth.
    RECT client;
    ::GetClientRect(list, &client);
    int frame = 100 - client.bottom;
    ::SetWindowPos(list, nullptr, 0, 0, 300, frame + 7 * itemHeight + itemHeight / 2,
                   SWP_NOMOVE | SWP_NOZORDER);
    for (int line = 0; line < 5; ++line) logLine(page, ("line " + std::to_string(line)).c_str());
    check(::SendMessageA(list, LB_GETTOPINDEX, 0, 0) == 0, "5 lines in 7.5 rows scrolled");
    for (int line = 5; line < 20; ++line) logLine(page, ("line " + std::to_string(line)).c_str());
    LRESULT top = ::SendMessageA(list, LB_GETTOPINDEX, 0, 0);
    check(top == 13, "20 lines in 7.5 rows: top line " + std::to_string(top) + ", expected 13");
    RECT last;
    ::SendMessageA(list, LB_GETITEMRECT, 19, reinterpret_cast<LPARAM>(&last));
    ::GetClientRect(list, &client);
    check(last.bottom <= client.bottom, "the last line is not fully visible");
    logLine(page, std::string(200, 'W').c_str());
    ::GetClientRect(list, &client);
    check(::SendMessageA(list, LB_GETHORIZONTALEXTENT, 0, 0) > client.right,
          "a line wider than the list gives it no horizontal scrolling");
    ::DestroyWindow(page);
    finishCase("scrollLogToEnd: 20 lines with 7 full rows visible put line 13 on top");
}

// A page with a log list, standing in for a wizard page.
HWND makeLogPage(int x) {
    HWND page = makePopup(x, 10, 300, 200);
    ::CreateWindowExA(0, "LISTBOX", "", WS_CHILD | WS_VISIBLE | LBS_NOSEL, 0, 0, 280, 180, page,
                      reinterpret_cast<HMENU>(IDC_LOG_LIST), ::GetModuleHandleA(nullptr), nullptr);
    return page;
}

std::string lastLogLine(HWND page) {
    HWND list = ::GetDlgItem(page, IDC_LOG_LIST);
    auto count = static_cast<int>(::SendMessageA(list, LB_GETCOUNT, 0, 0));
    if (count <= 0) return {};
    char text[256] = {};
    ::SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(count - 1),
                   reinterpret_cast<LPARAM>(text));
    return text;
}

// Each thread's WindowUi decides where the run's lines go: two runs, each with its own, never
// write into each other's page, and no page is reached through anything but the run itself.
void eachRunLogsIntoItsOwnPage() {
    HWND firstPage = makeLogPage(10);
    HWND secondPage = makeLogPage(320);
    SalvageRun first;
    SalvageRun second;
    WindowUi firstUi{::GetModuleHandleA(nullptr), firstPage, &first.flags};
    WindowUi secondUi{::GetModuleHandleA(nullptr), secondPage, &second.flags};
    attachWindowUi(first, firstUi);
    attachWindowUi(second, secondUi);
    first.ui.logLine(first.ui.context, "first run");
    second.ui.logLine(second.ui.context, "second run");
    check(lastLogLine(firstPage) == "first run",
          "the first page shows \"" + lastLogLine(firstPage) + "\"");
    check(lastLogLine(secondPage) == "second run",
          "the second page shows \"" + lastLogLine(secondPage) + "\"");

    // The same from a worker thread: its lines reach the page by sent messages, which this
    // thread answers while it waits.
    struct Job {
        SalvageRun* run;
    } job{&second};
    WorkerThread worker;
    check(startThread(
              worker,
              [](void* argument) {
                  SalvageRun& run = *static_cast<Job*>(argument)->run;
                  run.ui.logLine(run.ui.context, "from the worker");
              },
              &job),
          "no worker thread");
    HANDLE handle = reinterpret_cast<HANDLE>(worker.handle);
    while (::MsgWaitForMultipleObjects(1, &handle, FALSE, 10000, QS_SENDMESSAGE) ==
           WAIT_OBJECT_0 + 1) {
        MSG message;
        ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    joinThread(worker);
    check(lastLogLine(secondPage) == "from the worker", "the worker's line went elsewhere");
    check(lastLogLine(firstPage) == "first run", "the worker wrote into the other run's page");
    ::DestroyWindow(firstPage);
    ::DestroyWindow(secondPage);
    finishCase("the run's log reaches the page of its own WindowUi, from any thread");
}

void centringClampsToTheScreen() {
    RECT window = {0, 0, 300, 200};
    RECT screen = {0, 0, 1024, 768};
    POINT middle = centeredOrigin(window, screen, 1024, 768);
    check(middle.x == 362 && middle.y == 284, "plain centring");
    RECT wide = {0, 0, 1200, 200};
    check(centeredOrigin(wide, screen, 1024, 768).x == 0, "wider than the screen: not at x = 0");
    RECT nearRight = {950, 100, 1150, 300};
    check(centeredOrigin(window, nearRight, 1024, 768).x == 1024 - 300,
          "not pulled back from the right");
    RECT nearTop = {100, -50, 300, 50};
    check(centeredOrigin(window, nearTop, 1024, 768).y == 0, "not pulled down from the top");
    RECT nearBottom = {100, 700, 300, 760};
    check(centeredOrigin(window, nearBottom, 1024, 768).y == 768 - 200,
          "not pulled up from the bottom");

    int width = screenWidth();
    HWND tooWide = makePopup(100, 100, width + 200, 100);
    centerWindow(tooWide, nullptr);
    check(rectOf(tooWide).left == 0, "a window wider than the screen is not placed at x = 0");
    HWND reference = makePopup(width - 150, 100, 200, 200);
    HWND moved = makePopup(0, 0, 300, 100);
    centerWindow(moved, reference);
    check(rectOf(moved).right == width, "right edge not at the screen's right edge");
    check(rectOf(moved).right - rectOf(moved).left == 300, "centerWindow changed the size");
    ::DestroyWindow(tooWide);
    ::DestroyWindow(reference);
    ::DestroyWindow(moved);
    finishCase("centerWindow centres and keeps the window on the screen");
}

void loadTextUsesTwoBuffers() {
    const char* first = loadText(kTextFileError);
    const char* second = loadText(kTextUnableToOpen);
    check(first != second, "two calls share a buffer");
    check(std::strcmp(first, "File Error") == 0 && std::strcmp(second, "Unable to open %s") == 0,
          "texts of ids 2 and 1");
    const char* third = loadText(kTextNoFileSelected);
    check(third == first, "the third call does not reuse the first buffer");
    check(std::strcmp(first, "No File Selected") == 0, "the first text was not overwritten");
    check(std::strcmp(second, "Unable to open %s") == 0, "the second text was overwritten");
    finishCase("loadText holds two texts at once; the third call reuses the first buffer");

    for (int id = 0; id < 600; ++id) {
        const char* compiled = textOf(id);
        std::string loaded = loadText(id);
        // loadText keeps 99 characters of a longer text (some console texts are).
        check(loaded == std::string(compiled != nullptr ? compiled : "").substr(0, 99),
              "string " + std::to_string(id) + " of the resource is \"" + loaded + "\"");
    }
    finishCase("the STRINGTABLE resource holds exactly the texts of strings.def");
}

INT_PTR CALLBACK quietDialog(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG;
}

LONG_PTR styleOf(HWND dialog, int id) {
    return ::GetWindowLongPtrA(::GetDlgItem(dialog, id), GWL_STYLE);
}

void dialogTemplatesHoldTheirControls() {
    HINSTANCE instance = ::GetModuleHandleA(nullptr);
    HWND decrypt =
        ::CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_DECRYPT_FILE), nullptr, quietDialog, 0);
    check(decrypt != nullptr, "dialog 481 missing");
    check(windowText(decrypt) == "Decrypt File", "caption of 481");
    // Its close box cancels the run, as Escape does.
    check((::GetWindowLongPtrA(decrypt, GWL_STYLE) & WS_SYSMENU) != 0, "481 has no close box");
    check((styleOf(decrypt, IDC_PASSWORD_EDIT) & ES_PASSWORD) != 0, "password box not masked");
    check(windowText(::GetDlgItem(decrypt, IDC_SKIP)) == "&Skip", "Skip button");
    check((styleOf(decrypt, IDOK) & BS_DEFPUSHBUTTON) != 0, "OK is not the default button");
    // The program draws the name itself, shortened in its middle (fitPathText).
    check((styleOf(decrypt, IDC_ENCRYPTED_NAME) & SS_TYPEMASK) == SS_OWNERDRAW,
          "the name is not drawn by the program");
    ::DestroyWindow(decrypt);

    HWND parent = makePopup(0, 0, 700, 500);
    HWND select =
        ::CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_SELECT_PAGE), parent, quietDialog, 0);
    check(windowText(::GetDlgItem(select, IDC_PAGE_TITLE)) == "Select Archive To Repair",
          "482 title");
    check(windowText(::GetDlgItem(select, IDC_BROWSE)) == "&Browse", "482 Browse");
    check((styleOf(select, IDC_ARCHIVE_EDIT) & ES_AUTOHSCROLL) != 0, "archive box does not scroll");
    check((styleOf(select, IDC_OUTPUT_FOLDER_EDIT) & ES_AUTOHSCROLL) != 0 &&
              windowText(::GetDlgItem(select, IDC_OUTPUT_FOLDER_EDIT)).empty() &&
              windowText(::GetDlgItem(select, IDC_BROWSE_FOLDER)) == "Br&owse",
          "482 output folder box and its Browse");
    HWND progress =
        ::CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_PROGRESS_PAGE), parent, quietDialog, 0);
    LONG_PTR listStyle = styleOf(progress, IDC_LOG_LIST);
    // (The list box manages its own scroll-bar style bits, so only its own styles are checked.)
    // Reached with Tab, lines selected with Shift, its keys sent to the page (Ctrl+C).
    check((listStyle & LBS_SORT) == 0 && (listStyle & LBS_NOSEL) == 0 &&
              (listStyle & LBS_EXTENDEDSEL) != 0 && (listStyle & LBS_WANTKEYBOARDINPUT) != 0 &&
              (listStyle & WS_TABSTOP) != 0 && (listStyle & LBS_NOINTEGRALHEIGHT) != 0,
          "log list style " + std::to_string(listStyle));
    for (int id : {IDC_OPEN_FOLDER, IDC_SALVAGE_ANOTHER}) {
        check(::GetDlgItem(progress, id) != nullptr && (styleOf(progress, id) & WS_VISIBLE) == 0,
              "button " + std::to_string(id) + " missing or shown during the run");
    }
    check((styleOf(progress, IDC_ENTRY_TEXT) & SS_TYPEMASK) == SS_OWNERDRAW,
          "the entry line is a plain static");
    LONG_PTR completionStyle = styleOf(progress, IDC_COMPLETION_TEXT);
    check((completionStyle & WS_VISIBLE) == 0, "completion text visible at start");
    // Drawn by the program: a path holding "&" is shown as it is, a long one is shortened.
    check((completionStyle & SS_TYPEMASK) == SS_OWNERDRAW, "completion text is a plain static");
    RECT completion;
    RECT log;
    ::GetWindowRect(::GetDlgItem(progress, IDC_COMPLETION_TEXT), &completion);
    ::GetWindowRect(::GetDlgItem(progress, IDC_LOG_LIST), &log);
    check(completion.left == log.left && completion.right == log.right,
          "the completion line is not as wide as the log");
    char className[64] = {};
    ::GetClassNameA(::GetDlgItem(progress, IDC_PROGRESS_BAR), className, sizeof className);
    check(lstrcmpiA(className, "msctls_progress32") == 0, "1001 is not a progress bar");
    ::DestroyWindow(parent);
    finishCase("dialogs 481, 482 and 483 hold their controls with their styles");
}

void startUpPathsAndFont() {
    check(archivePathFromCommandLine("C:\\Data\\broken.zip") == "C:\\Data\\broken.zip",
          "plain path");
    check(archivePathFromCommandLine("\"C:\\My Data\\broken.zip\"") == "C:\\My Data\\broken.zip",
          "quoted path keeps its quotes");
    check(browseFolderFor("C:\\Data\\broken.zip") == "C:\\Data",
          "browse folder of C:\\Data\\broken.zip");
    check(browseFolderFor("broken.zip").empty(), "browse folder of a bare name");
    check(browseFolderFor("C:broken.zip") == "C:", "browse folder of a drive-relative name");
    check(outputPathBeside("C:\\Data\\broken.zip") == "C:\\Data\\Salvaged.zip", "output beside");
    check(outputPathBeside("C:\\broken.zip") == "C:\\Salvaged.zip", "output in a drive's root");
    check(outputPathBeside("broken.zip") == "Salvaged.zip", "output of a bare name");
    check(outputPathIn("C:\\Out") == "C:\\Out\\Salvaged.zip" &&
              outputPathIn("C:\\") == "C:\\Salvaged.zip" && outputPathIn("") == "Salvaged.zip",
          "output in a chosen folder");
    check(titleFontHeight(96) == -18 && titleFontHeight(120) == -23 && titleFontHeight(144) == -28,
          "title font height");
    check(argumentsOf(L"\"C:\\Program Files\\zs.exe\"  \"D:\\a b.zip\"") == L"\"D:\\a b.zip\"",
          "arguments after a quoted program name");
    check(argumentsOf(L"zs.exe D:\\x.zip") == L"D:\\x.zip", "arguments after a plain name");
    check(argumentsOf(L"zs.exe").empty(), "no arguments");
    finishCase("start-up paths, output path and title font height");
}

void namesAndPathsInAnyScript() {
    // CP437 0x81 is u-umlaut; the same name as UTF-8 (flag bit 11) is C3 BC.
    check(shownEntryName("gr\x81n.txt", false) == "gr\xC3\xBCn.txt", "OEM name");
    check(shownEntryName("gr\xC3\xBCn.txt", true) == "gr\xC3\xBCn.txt", "UTF-8 name");
    check(shownEntryName("bad\xFF", true) == "bad\xEF\xBF\xBD", "invalid UTF-8 not replaced");
    check(shownEntryName("", false).empty(), "empty name");

    std::string cyrillic = "C:\\\xD0\xBF\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0\\x.zip";
    check(fileSystemPath(cyrillic.c_str()) == L"C:\\\x043F\x0430\x043F\x043A\x0430\\x.zip",
          "a Cyrillic path is not passed on as it is");
    std::string longPath = "C:\\" + std::string(300, 'a') + "\\x.zip";
    check(fileSystemPath(longPath.c_str()) == L"\\\\?\\" + wideFromUtf8(longPath),
          "a path over MAX_PATH lacks the \\\\?\\ prefix");
    std::string longShare = "\\\\server\\share\\" + std::string(300, 'b');
    check(fileSystemPath(longShare.c_str()) ==
              L"\\\\?\\UNC\\server\\share\\" + std::wstring(300, L'b'),
          "a long share path lacks the \\\\?\\UNC\\ prefix");
    std::string messy = "C:\\" + std::string(300, 'c') + "/d/../x.zip";
    check(fileSystemPath(messy.c_str()) == L"\\\\?\\C:\\" + std::wstring(300, L'c') + L"\\x.zip",
          "a long path is not made full before its prefix");
    finishCase("names shown from OEM or UTF-8; paths in any script and of any length");

    HDC dc = ::GetDC(nullptr);
    auto widthOf = [&](const std::wstring& text) {
        SIZE extent = {};
        ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
        return static_cast<int>(extent.cx);
    };
    std::wstring path = L"Stored in C:\\" + std::wstring(200, L'x') + L"\\Salvaged.zip";
    int width = widthOf(L"Stored in C:\\xxxxxxxxxx...\\Salvaged.zip");
    std::wstring fitted = fitPathText(dc, path, width);
    check(widthOf(fitted) <= width, "the shortened path is wider than its box");
    check(fitted.rfind(L"Stored in C:\\xxx", 0) == 0 && fitted.size() > 13 &&
              fitted.compare(fitted.size() - 16, 16, L"...\\Salvaged.zip") == 0,
          "the start and the last part are not kept around the ellipsis");
    check(fitPathText(dc, L"a/b.txt", 1000) == L"a/b.txt", "a line that fits was changed");
    std::wstring name = std::wstring(100, L'd') + L"/deep/" + std::wstring(20, L'n') + L".txt";
    std::wstring fittedName =
        fitPathText(dc, name, widthOf(L"ddd.../" + std::wstring(20, L'n') + L".txt"));
    check(fittedName.find(L".../") != std::wstring::npos,
          "an entry name is not shortened at its last '/'");
    check(widthOf(fitPathText(dc, path, 20)) <= 20 || fitPathText(dc, path, 20) == L"...",
          "a box narrower than the last part overflows");
    ::ReleaseDC(nullptr, dc);
    finishCase("a long path or name is shortened in its middle to its box");

    std::string folder = runTempFolder();
    check(!folder.empty() && folder.find("zipsalvage-") != std::string::npos,
          "no private temporary folder: \"" + folder + "\"");
    check(runTempFolder() == folder, "a second call makes another folder");
    FileHandle file = createTempFileAt((folder + "klv.tmp").c_str());
    check(file != kInvalidFile, "no file in the private folder");
    closeFile(file);
    removeRunTempFolder();
    check(!fileExists(folder.c_str()), "the private folder and its file outlive the run");
    finishCase("the run's temporary folder is its own and is removed with what it holds");
}

// The picture drawn at 144 DPI into a white area: its top left and bottom right corners.
bool sidePictureScaled(HBITMAP picture) {
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    HBITMAP area = ::CreateCompatibleBitmap(screen, 200, 420);
    ::ReleaseDC(nullptr, screen);
    HGDIOBJ previous = ::SelectObject(memory, area);
    RECT all = {0, 0, 200, 420};
    ::FillRect(memory, &all, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
    drawSideBitmap(memory, picture, 144);
    const COLORREF white = RGB(255, 255, 255);
    // 150 x 375 pixels from (3, 3), in an edge to (156, 381).
    bool scaled = ::GetPixel(memory, 150, 10) != white && ::GetPixel(memory, 10, 375) != white &&
                  ::GetPixel(memory, 160, 10) == white && ::GetPixel(memory, 10, 385) == white;
    ::SelectObject(memory, previous);
    ::DeleteObject(area);
    ::DeleteDC(memory);
    return scaled;
}

void progressTextAndDisplay() {
    check(byteCountText(512) == "512 B" && byteCountText(12 * 1024 + 512) == "12.5 KiB" &&
              byteCountText(uint64_t{3} << 20) == "3.0 MiB" &&
              byteCountText(uint64_t{5} << 30) == "5.00 GiB",
          "byte counts: " + byteCountText(12 * 1024 + 512));
    check(progressText(1 << 20, 4 << 20, 200) == "1.0 MiB of 4.0 MiB",
          "a rate after 0.2 s: \"" + progressText(1 << 20, 4 << 20, 200) + "\"");
    check(progressText(3 << 20, 4 << 20, 2000) == "3.0 MiB of 4.0 MiB, 1.5 MiB/s",
          "the rate: \"" + progressText(3 << 20, 4 << 20, 2000) + "\"");
    finishCase("the progress line counts bytes and gives their rate after half a second");

    // The manifest: common controls 6, which Windows (and Wine) keep in the side-by-side store
    // rather than in system32, where the older ones are.
    HMODULE controls = ::LoadLibraryW(L"comctl32.dll");
    wchar_t loaded[MAX_PATH] = {};
    ::GetModuleFileNameW(controls, loaded, MAX_PATH);
    std::string path = utf8FromWide(loaded, std::wcslen(loaded));
    for (char& letter : path) letter = static_cast<char>(std::tolower(letter));
    check(path.find("\\winsxs\\") != std::string::npos,
          "the common controls are not those of the manifest: " + path);
    HRSRC found = ::FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    HGLOBAL held = found != nullptr ? ::LoadResource(nullptr, found) : nullptr;
    std::string manifest;
    if (held != nullptr) {
        manifest.assign(static_cast<const char*>(::LockResource(held)),
                        ::SizeofResource(nullptr, found));
    }
    check(manifest.find(">PerMonitorV2, PerMonitor<") != std::string::npos &&
              manifest.find(">true/pm<") != std::string::npos,
          "the manifest does not declare per-monitor DPI awareness");
    // (Wine reports every program aware; Windows only those whose manifest says so.)
    check(::GetAwarenessFromDpiAwarenessContext(::GetThreadDpiAwarenessContext()) ==
              DPI_AWARENESS_PER_MONITOR_AWARE,
          "the program is not aware of each monitor's DPI");
    HBITMAP picture = ::LoadBitmapW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDB_SIDE_BITMAP));
    check(picture != nullptr && sidePictureScaled(picture), "the side picture is not scaled");
    if (picture != nullptr) ::DeleteObject(picture);
    finishCase("the manifest gives common controls 6 and DPI awareness; the picture scales");
}

void processorCountMatchesTheSystem() {
    int count = processorCount();
    check(count >= 1, "processorCount() is " + std::to_string(count));
    // Windows sets NUMBER_OF_PROCESSORS for every process; it counts the processors of one
    // group, which is all of them up to 64.
    char variable[32] = {};
    DWORD length = ::GetEnvironmentVariableA("NUMBER_OF_PROCESSORS", variable, sizeof variable);
    if (length > 0 && length < sizeof variable && std::atoi(variable) < 64) {
        check(count == std::atoi(variable), "processorCount() is " + std::to_string(count) +
                                                ", NUMBER_OF_PROCESSORS " + variable);
    }
    finishCase("processorCount counts the processors Windows reports, at least one");
}

}  // namespace

int main() {
    logListKeepsLastLineInView();
    eachRunLogsIntoItsOwnPage();
    centringClampsToTheScreen();
    loadTextUsesTwoBuffers();
    dialogTemplatesHoldTheirControls();
    startUpPathsAndFont();
    namesAndPathsInAnyScript();
    progressTextAndDisplay();
    processorCountMatchesTheSystem();
    return failedCases() == 0 ? 0 : 1;
}
