// Win32 files for the platform layer: CreateFileA handles opened without sharing, 64-bit offsets.
#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace zipsalvage {
namespace {

HANDLE handleOf(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

FileHandle fileOf(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) return kInvalidFile;
    return reinterpret_cast<FileHandle>(handle);
}

// No other opener may read, write or delete the files while the run has them open.
constexpr DWORD kNoSharing = 0;

}  // namespace

FileHandle openExistingForRead(const char* path) {
    return fileOf(::CreateFileA(path, GENERIC_READ, kNoSharing, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle createReadWrite(const char* path) {
    return fileOf(::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, kNoSharing, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle createTempFileAt(const char* path) { return createReadWrite(path); }

void closeFile(FileHandle file) {
    if (file == kInvalidFile) return;
    ::CloseHandle(handleOf(file));
}

uint32_t readFile(FileHandle file, void* buffer, uint32_t count) {
    if (file == kInvalidFile) return 0;
    auto* bytes = static_cast<char*>(buffer);
    uint32_t total = 0;
    while (total < count) {
        DWORD got = 0;
        if (!::ReadFile(handleOf(file), bytes + total, count - total, &got, nullptr) || got == 0) {
            break;
        }
        total += got;
    }
    return total;
}

uint32_t writeFile(FileHandle file, const void* buffer, uint32_t count) {
    if (file == kInvalidFile) return 0;
    const auto* bytes = static_cast<const char*>(buffer);
    uint32_t total = 0;
    while (total < count) {
        DWORD put = 0;
        if (!::WriteFile(handleOf(file), bytes + total, count - total, &put, nullptr) || put == 0) {
            break;
        }
        total += put;
    }
    return total;
}

uint32_t writeFileAt(FileHandle file, int64_t offset, const void* buffer, uint32_t count) {
    if (file == kInvalidFile || offset < 0) return 0;
    const auto* bytes = static_cast<const char*>(buffer);
    uint32_t total = 0;
    while (total < count) {
        // On a handle opened without FILE_FLAG_OVERLAPPED the offset in OVERLAPPED makes this an
        // ordinary synchronous write at that place.
        OVERLAPPED place = {};
        auto at = static_cast<uint64_t>(offset) + total;
        place.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
        place.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD put = 0;
        if (!::WriteFile(handleOf(file), bytes + total, count - total, &put, &place) || put == 0) {
            break;
        }
        total += put;
    }
    return total;
}

bool seekFile(FileHandle file, int64_t offset) {
    if (file == kInvalidFile || offset < 0) return false;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    return ::SetFilePointerEx(handleOf(file), distance, nullptr, FILE_BEGIN) != 0;
}

int64_t filePosition(FileHandle file) {
    if (file == kInvalidFile) return -1;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    LARGE_INTEGER position;
    if (!::SetFilePointerEx(handleOf(file), zero, &position, FILE_CURRENT)) return -1;
    return position.QuadPart;
}

bool truncateFileHere(FileHandle file) {
    if (file == kInvalidFile) return false;
    return ::SetEndOfFile(handleOf(file)) != 0;
}

int64_t fileSize(FileHandle file) {
    LARGE_INTEGER size;
    if (file == kInvalidFile || !::GetFileSizeEx(handleOf(file), &size)) return -1;
    return size.QuadPart;
}

bool fileExists(const char* path) { return ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

PathKind pathKind(const char* path) {
    DWORD attributes = ::GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathKind::kMissing
                                                                              : PathKind::kOther;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return PathKind::kSymbolicLink;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::kOther;
    return PathKind::kRegularFile;
}

bool isSeekable(FileHandle file) {
    return file != kInvalidFile && ::GetFileType(handleOf(file)) == FILE_TYPE_DISK;
}

std::string lastSystemError() {
    DWORD error = ::GetLastError();
    char text[512] = {};
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                    nullptr, error, 0, text, sizeof text, nullptr);
    std::string result(text, length);
    // The system's text ends in a full stop and a line break; the message adds its own end.
    while (!result.empty() &&
           (result.back() == '\n' || result.back() == '\r' || result.back() == '.')) {
        result.pop_back();
    }
    if (result.empty()) result = "error " + std::to_string(error);
    return result;
}

FileHandle createPartialFile(const char* finalPath, std::string& partialPath) {
    // CREATE_NEW fails on any existing name, so a name in use is never opened; the counter and
    // the process id make a free one likely at the first try.
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[32];
        ::wsprintfA(suffix, ".partial-%lx%02x", ::GetCurrentProcessId(), counter++ & 0xFF);
        std::string candidate = std::string(finalPath) + suffix;
        HANDLE handle = ::CreateFileA(candidate.c_str(), GENERIC_READ | GENERIC_WRITE, kNoSharing,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            partialPath = candidate;
            return fileOf(handle);
        }
        if (::GetLastError() != ERROR_FILE_EXISTS) return kInvalidFile;
    }
    return kInvalidFile;
}

bool commitPartialFile(FileHandle& handle, const char* partialPath, const char* finalPath) {
    bool flushed = handle != kInvalidFile && ::FlushFileBuffers(handleOf(handle)) != 0;
    DWORD reason = ::GetLastError();
    closeFile(handle);
    handle = kInvalidFile;
    if (!flushed) {
        ::SetLastError(reason);
        return false;
    }
    // The handle shared nothing, so it is closed before the move; the move replaces the file
    // or link of the final name itself and returns once the change is on the disk.
    return ::MoveFileExA(partialPath, finalPath,
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool deleteFile(const char* path) { return ::DeleteFileA(path) != 0; }

bool isSameFile(FileHandle file, const char* path) {
    if (file == kInvalidFile) return false;
    // Asking for no access at all is allowed even while another handle shares nothing, so the
    // identity of the file can be compared without disturbing the open archive.
    HANDLE probe = ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION openInfo;
    BY_HANDLE_FILE_INFORMATION pathInfo;
    bool same = ::GetFileInformationByHandle(handleOf(file), &openInfo) &&
                ::GetFileInformationByHandle(probe, &pathInfo) &&
                openInfo.dwVolumeSerialNumber == pathInfo.dwVolumeSerialNumber &&
                openInfo.nFileIndexHigh == pathInfo.nFileIndexHigh &&
                openInfo.nFileIndexLow == pathInfo.nFileIndexLow;
    ::CloseHandle(probe);
    return same;
}

}  // namespace zipsalvage
