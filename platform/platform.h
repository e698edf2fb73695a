// The narrow operating-system layer: files through handles, the temporary folder, one thread.
//
// Each operation maps onto one Win32 call (named beside it) and has a POSIX counterpart. Handles
// are opened without sharing; offsets and sizes are 64-bit so archives over 2 GiB work.
#pragma once

#include <cstdint>
#include <string>

namespace zipsalvage {

using FileHandle = intptr_t;
inline constexpr FileHandle kInvalidFile = -1;

// CreateFileA(GENERIC_READ, no sharing, OPEN_EXISTING).
FileHandle openExistingForRead(const char* path);
// CreateFileA(GENERIC_READ | GENERIC_WRITE, no sharing, CREATE_ALWAYS): created or truncated.
FileHandle createReadWrite(const char* path);
// The empty temporary file of one entry, read/write: on POSIX inside the run's private folder,
// the previous entry's file (our own regular file, never a link) removed and a new one made
// with O_CREAT | O_EXCL | O_NOFOLLOW and mode 0600; on Win32 as createReadWrite.
FileHandle createTempFileAt(const char* path);
// CloseHandle; kInvalidFile is ignored.
void closeFile(FileHandle file);

// ReadFile at the current position: bytes read, 0 at the end of the file or on an error.
uint32_t readFile(FileHandle file, void* buffer, uint32_t count);
// WriteFile at the current position: bytes written (fewer than count on a full disk or error).
uint32_t writeFile(FileHandle file, const void* buffer, uint32_t count);
// WriteFile at an explicit offset (an OVERLAPPED offset on Win32, pwrite on POSIX): bytes
// written (0 for a negative offset). The file's own position is left unspecified.
uint32_t writeFileAt(FileHandle file, int64_t offset, const void* buffer, uint32_t count);
// SetFilePointer(FILE_BEGIN): true when the position is now `offset`.
bool seekFile(FileHandle file, int64_t offset);
// SetFilePointer(0, FILE_CURRENT): the current position, or -1.
int64_t filePosition(FileHandle file);
// SetEndOfFile: the file ends at the current position.
bool truncateFileHere(FileHandle file);
// GetFileSize: the size in bytes, or -1.
int64_t fileSize(FileHandle file);

// GetFileAttributesA != INVALID_FILE_ATTRIBUTES.
bool fileExists(const char* path);
// DeleteFileA.
bool deleteFile(const char* path);
// True when `path` names the very file that `file` has open (same device and inode, through
// any path or link). Win32 refuses such an open through the share mode instead.
bool isSameFile(FileHandle file, const char* path);

// The folder that holds temporary files for this run, with a trailing separator. On POSIX a
// private folder (mode 0700) made under $TMPDIR or /tmp on first use; on Win32 GetTempPathA.
// Empty when none can be had.
std::string runTempFolder();
// Removes the private folder of runTempFolder, if one was made (and whatever is left in it).
void removeRunTempFolder();

// CreateThread / WaitForSingleObject(INFINITE).
struct WorkerThread {
    intptr_t handle = 0;
    bool started = false;
};
bool startThread(WorkerThread& thread, void (*routine)(void* argument), void* argument);
void joinThread(WorkerThread& thread);

}  // namespace zipsalvage
