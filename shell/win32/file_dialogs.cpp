// The file-open, folder and save dialogs, each started in a folder that exists.
#include "shell/win32/file_dialogs.h"

// clang-format off
#include <shlobj.h>  // before commdlg.h: the two disagree on what comes first in MinGW
// clang-format on
#include <commdlg.h>
#include <shobjidl.h>

#include <cwchar>

#include "platform/win32/wide_text.h"
#include "resources/strings.h"
#include "shell/win32/shell_paths.h"

namespace zipsalvage {
namespace {

// The longest path the wide functions take, in characters with the terminator.
constexpr size_t kLongestPath = 32768;
// The file dialogs' file name box (cmb13 of <dlgs.h>).
constexpr int kFileNameBox = 1148;

// The box is an edit inside a combo box (inside a ComboBoxEx in newer dialogs), all with the
// box's id: the limit is set on the edit itself, which enforces it.
BOOL CALLBACK limitFileNameBox(HWND control, LPARAM) {
    wchar_t className[16] = {};
    ::GetClassNameW(control, className, 16);
    if (::GetDlgCtrlID(control) == kFileNameBox && lstrcmpiW(className, L"Edit") == 0)
        ::SendMessageW(control, EM_LIMITTEXT, MAX_PATH - 1, 0);
    return TRUE;
}

// Some file dialogs copy the typed name into buffers of MAX_PATH characters (Wine's dies on a
// longer one), so their name box takes no more than that; longer paths go in the wizard's own
// boxes. The hook handle is not needed to pass the call on: CallNextHookEx ignores it.
LRESULT CALLBACK fileDialogCbt(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE)
        ::EnumChildWindows(reinterpret_cast<HWND>(wParam), limitFileNameBox, 0);
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

// Limits the name box of the file dialogs this thread opens while it is in scope.
struct FileNameBoxLimit {
    HHOOK hook = ::SetWindowsHookExW(WH_CBT, fileDialogCbt, nullptr, ::GetCurrentThreadId());
    FileNameBoxLimit() = default;
    ~FileNameBoxLimit() {
        if (hook != nullptr) ::UnhookWindowsHookEx(hook);
    }
    FileNameBoxLimit(const FileNameBoxLimit&) = delete;
    FileNameBoxLimit& operator=(const FileNameBoxLimit&) = delete;
};

// A string-table filter, "#" standing for the zero bytes between and after its pairs.
std::wstring dialogFilter(int textId) {
    std::wstring filter = wideFromUtf8(loadText(textId));
    for (wchar_t& character : filter) {
        if (character == L'#') character = L'\0';
    }
    filter += L'\0';  // the list ends with an empty string even if the text lost its last '#'
    return filter;
}

// What the two file dialogs share: the owner, the filter, a buffer for the longest path and
// the start folder.
struct FileDialog {
    OPENFILENAMEW dialog = {};
    std::wstring filter;
    std::wstring title;
    std::wstring startFolder;
    std::wstring file = std::wstring(kLongestPath, L'\0');

    FileDialog(HWND owner, int filterId, int titleId, const std::string& start)
        : filter(dialogFilter(filterId)),
          title(wideFromUtf8(loadText(titleId))),
          startFolder(wideFromUtf8(start)) {
        dialog.lStructSize = sizeof dialog;
        dialog.hwndOwner = owner;
        dialog.lpstrFilter = filter.c_str();
        dialog.nFilterIndex = 1;
        dialog.lpstrFile = file.data();
        dialog.nMaxFile = static_cast<DWORD>(file.size());
        // A start folder of MAX_PATH characters or more overruns fixed buffers inside some file
        // dialogs (Wine's dies in its start-up); the dialog then starts in its own default.
        bool usableStart = !startFolder.empty() && startFolder.size() < MAX_PATH;
        dialog.lpstrInitialDir = usableStart ? startFolder.c_str() : nullptr;
        dialog.lpstrTitle = title.c_str();
    }
    std::string chosen() const { return utf8FromWide(file.c_str(), std::wcslen(file.c_str())); }
};

// The folder dialog's start-up: its caption, and the start folder selected.
int CALLBACK folderDialogCallback(HWND dialog, UINT message, LPARAM, LPARAM data) {
    if (message == BFFM_INITIALIZED) {
        ::SetWindowTextW(dialog, wideFromUtf8(loadText(kTextFolderDialogTitle)).c_str());
        if (data != 0) ::SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE, data);
    }
    return 0;
}

std::string withoutTrailingSeparator(std::string folder) {
    // "C:\" keeps its separator: without it, it would name the drive's current folder.
    while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
    return folder;
}

// Owns a COM object: released on every way out.
template <typename Interface>
struct ComOwner {
    Interface* object = nullptr;
    ComOwner() = default;
    ~ComOwner() {
        if (object != nullptr) object->Release();
    }
    ComOwner(const ComOwner&) = delete;
    ComOwner& operator=(const ComOwner&) = delete;
    void** out() { return reinterpret_cast<void**>(&object); }
};

// The folder dialog of Windows Vista on: an item dialog that picks folders. kUnavailable on
// older systems, which lack it (then the older folder dialog is shown).
enum class FolderPick { kChosen, kCancelled, kUnavailable };

FolderPick pickFolderWithItemDialog(HWND owner, const std::wstring& start, std::string& chosen) {
    // Looked up, not imported: the program still starts on systems older than Vista.
    using ItemFromPath = HRESULT(WINAPI*)(PCWSTR, IBindCtx*, REFIID, void**);
    HMODULE shell = ::GetModuleHandleW(L"shell32.dll");
    FARPROC found =
        shell != nullptr ? ::GetProcAddress(shell, "SHCreateItemFromParsingName") : nullptr;
    if (found == nullptr) return FolderPick::kUnavailable;
    // Through void (*)(), the one function type that casts to any other without a warning.
    auto itemFromPath = reinterpret_cast<ItemFromPath>(reinterpret_cast<void (*)()>(found));
    ComOwner<IFileOpenDialog> dialog;
    if (FAILED(::CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IFileOpenDialog, dialog.out()))) {
        return FolderPick::kUnavailable;
    }
    FILEOPENDIALOGOPTIONS options = 0;
    dialog.object->GetOptions(&options);
    dialog.object->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_NOCHANGEDIR |
                              FOS_PATHMUSTEXIST);
    dialog.object->SetTitle(wideFromUtf8(loadText(kTextFolderDialogTitle)).c_str());
    ComOwner<IShellItem> startItem;
    if (!start.empty() &&
        SUCCEEDED(itemFromPath(start.c_str(), nullptr, IID_IShellItem, startItem.out()))) {
        dialog.object->SetFolder(startItem.object);
    }
    if (FAILED(dialog.object->Show(owner))) return FolderPick::kCancelled;
    ComOwner<IShellItem> result;
    if (FAILED(dialog.object->GetResult(&result.object))) return FolderPick::kCancelled;
    PWSTR path = nullptr;
    if (FAILED(result.object->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
        return FolderPick::kCancelled;
    }
    chosen = utf8FromWide(path, std::wcslen(path));
    ::CoTaskMemFree(path);
    return FolderPick::kChosen;
}

}  // namespace

std::string documentsFolder() {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return {};
    return utf8FromWide(folder, std::wcslen(folder));
}

bool isExistingFolder(const std::string& path) {
    if (path.empty()) return false;
    DWORD attributes = ::GetFileAttributesW(fileSystemPath(path.c_str()).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string archiveStartFolder(const std::string& archiveBox) {
    std::string folder = browseFolderFor(archiveBox);
    return isExistingFolder(folder) ? folder : documentsFolder();
}

std::string outputStartFolder(const std::string& outputBox, const std::string& archiveBox) {
    if (isExistingFolder(outputBox)) return withoutTrailingSeparator(outputBox);
    return archiveStartFolder(archiveBox);
}

bool browseForArchive(HWND owner, const std::string& startFolder, std::string& chosen) {
    FileDialog open(owner, kTextOpenDialogFilter, kTextOpenDialogTitle, startFolder);
    open.dialog.lpstrDefExt = L"zip";
    open.dialog.Flags =
        OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_LONGNAMES;
    FileNameBoxLimit limit;
    if (!::GetOpenFileNameW(&open.dialog)) return false;
    chosen = open.chosen();
    return true;
}

bool browseForLogFile(HWND owner, const std::string& startFolder, std::string& chosen) {
    FileDialog save(owner, kTextSaveLogFilter, kTextSaveLogTitle, startFolder);
    std::wstring name = wideFromUtf8(loadText(kTextSaveLogName));
    save.file.replace(0, name.size(), name);
    save.dialog.lpstrDefExt = L"txt";
    save.dialog.Flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST |
                        OFN_OVERWRITEPROMPT | OFN_LONGNAMES;
    FileNameBoxLimit limit;
    if (!::GetSaveFileNameW(&save.dialog)) return false;
    chosen = save.chosen();
    return true;
}

bool browseForFolder(HWND owner, const std::string& startFolder, std::string& chosen) {
    std::wstring start = wideFromUtf8(startFolder);
    FolderPick picked = pickFolderWithItemDialog(owner, start, chosen);
    if (picked != FolderPick::kUnavailable) return picked == FolderPick::kChosen;
    // The older dialog, for systems without the item dialog.
    std::wstring instruction = wideFromUtf8(loadText(kTextFolderDialogTitle));
    wchar_t shownName[MAX_PATH] = {};
    BROWSEINFOW browse = {};
    browse.hwndOwner = owner;
    browse.pszDisplayName = shownName;
    browse.lpszTitle = instruction.c_str();
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    browse.lpfn = folderDialogCallback;
    browse.lParam = start.empty() ? 0 : reinterpret_cast<LPARAM>(start.c_str());
    PIDLIST_ABSOLUTE item = ::SHBrowseForFolderW(&browse);
    if (item == nullptr) return false;
    // The folder dialog hands back MAX_PATH characters at most; a deeper folder is typed into
    // the box instead.
    wchar_t folder[MAX_PATH] = {};
    bool named = ::SHGetPathFromIDListW(item, folder) != FALSE;
    ::CoTaskMemFree(item);
    if (!named) return false;
    chosen = utf8FromWide(folder, std::wcslen(folder));
    return true;
}

}  // namespace zipsalvage
