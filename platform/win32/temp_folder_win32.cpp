// The run's private temporary folder on Win32: a new folder under GetTempPathW, made for the
// run and removed with its contents at the end.
//
// A fixed file name in the user's temporary folder would make two runs at once overwrite each
// other's entries (or fail to open a file the other holds without sharing); CreateDirectoryW
// fails on an existing name, so each run owns the folder it made.
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/win32/wide_text.h"

namespace zipsalvage {
namespace {

constexpr int kFolderAttempts = 100;

std::mutex folderLock;
std::string privateFolder;  // UTF-8, with trailing '\', empty until made

std::wstring userTempFolder() {
    DWORD needed = ::GetTempPathW(0, nullptr);
    if (needed == 0) return {};
    std::wstring folder(needed, L'\0');
    DWORD length = ::GetTempPathW(needed, folder.data());
    if (length == 0 || length >= needed) return {};
    folder.resize(length);
    if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    return folder;
}

bool isFolder(const std::string& path) {
    DWORD attributes = ::GetFileAttributesW(fileSystemPath(path.c_str()).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

std::string runTempFolder() {
    std::lock_guard<std::mutex> guard(folderLock);
    if (!privateFolder.empty()) {
        if (isFolder(privateFolder)) return privateFolder;
        privateFolder.clear();
    }
    std::string base = utf8FromWide(userTempFolder());
    if (base.empty()) return {};
    // The process id keeps runs apart; the tick count and the attempt step past a folder left
    // by an earlier process that had the same id.
    unsigned long long stamp = ::GetTickCount64();
    for (int attempt = 0; attempt < kFolderAttempts; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, "zipsalvage-%lx-%llx", ::GetCurrentProcessId(),
                      stamp + static_cast<unsigned long long>(attempt));
        std::string folder = base + name;
        if (::CreateDirectoryW(fileSystemPath(folder.c_str()).c_str(), nullptr)) {
            privateFolder = folder + "\\";
            return privateFolder;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) return {};
    }
    return {};
}

std::string tempFolderParent() { return utf8FromWide(userTempFolder()); }

void removeRunTempFolder() {
    std::lock_guard<std::mutex> guard(folderLock);
    if (privateFolder.empty()) return;
    std::wstring pattern = fileSystemPath((privateFolder + "*").c_str());
    WIN32_FIND_DATAW item;
    HANDLE search = ::FindFirstFileW(pattern.c_str(), &item);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = item.cFileName;
            if (name == L"." || name == L"..") continue;
            std::string path = privateFolder + utf8FromWide(name);
            ::DeleteFileW(fileSystemPath(path.c_str()).c_str());
        } while (::FindNextFileW(search, &item));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(fileSystemPath(privateFolder.c_str()).c_str());
    privateFolder.clear();
}

}  // namespace zipsalvage
