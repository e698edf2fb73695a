// The narrow operating-system layer: files through handles, the temporary folder, threads (the
// run's worker and its encoder threads), the processor count.
//
// Each operation maps onto one Win32 call (named beside it) and has a POSIX counterpart. Handles
// are opened without sharing; offsets and sizes are 64-bit so archives over 2 GiB work. Paths
// are byte strings on POSIX; on Win32 they are UTF-8, handed to the wide (...W) functions in a
// form that also opens paths of MAX_PATH characters and more.
#pragma once

#include <cstdint>
#include <string>

namespace zipsalvage {

using FileHandle = intptr_t;
inline constexpr FileHandle kInvalidFile = -1;

// CreateFileW(GENERIC_READ, no sharing, OPEN_EXISTING).
FileHandle openExistingForRead(const char* path);
// CreateFileW(GENERIC_READ | GENERIC_WRITE, no sharing, CREATE_ALWAYS): created or truncated.
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

// GetFileAttributesW != INVALID_FILE_ATTRIBUTES.
bool fileExists(const char* path);
// DeleteFileW.

// What a path names, without following a final symbolic link (lstat; GetFileAttributesW with
// FILE_ATTRIBUTE_REPARSE_POINT for a link). kOther is a folder, device, FIFO or socket.
enum class PathKind { kMissing, kRegularFile, kSymbolicLink, kOther };
PathKind pathKind(const char* path);

// True when the open file can be read again from an earlier offset (a regular file or disk
// device; GetFileType == FILE_TYPE_DISK on Win32). A pipe, FIFO or terminal cannot.
bool isSeekable(FileHandle file);

// The operating system's own words for why the last failed call of this layer failed on this
// thread (strerror of errno; FormatMessageW of GetLastError), e.g. "No space left on device".
std::string lastSystemError();

// A new output is written under a private name in its final folder and put in place only when
// it is complete, so that an earlier file of the final name survives every run that is not.
//
// createPartialFile makes "<finalPath>.partial-XXXXXX", a name no other file has, exclusively
// (O_CREAT | O_EXCL, or CREATE_NEW), read/write, with the permissions of an ordinary new file;
// `partialPath` receives its name. kInvalidFile on failure (lastSystemError says why).
FileHandle createPartialFile(const char* finalPath, std::string& partialPath);
// Puts a complete partial file in place: flushes it to the disk (fsync; FlushFileBuffers),
// closes it, renames it over `finalPath` and flushes the folder's entry (POSIX). The rename
// replaces whatever `finalPath` names, a symbolic link included, and never writes through a
// link (rename; MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH). `handle`
// is closed and set to kInvalidFile whatever the result; on failure the partial file is left
// for the caller to delete.
bool commitPartialFile(FileHandle& handle, const char* partialPath, const char* finalPath);
bool deleteFile(const char* path);
// Closes a partial file that is not to be committed and removes it; nothing is left pending.
inline void discardPartialFile(FileHandle& handle, std::string& partialPath) {
    closeFile(handle);
    handle = kInvalidFile;
    if (!partialPath.empty()) deleteFile(partialPath.c_str());
    partialPath.clear();
}
// True when `path` names the very file that `file` has open (same device and inode, through
// any path or link). Win32 refuses such an open through the share mode instead.
bool isSameFile(FileHandle file, const char* path);

// The folder that holds temporary files for this run, with a trailing separator: a private
// folder made on first use, on POSIX with mode 0700 under $TMPDIR or /tmp, on Win32 under
// GetTempPathW. Empty when none can be had.
std::string runTempFolder();
// Removes the private folder of runTempFolder, if one was made (and whatever is left in it).
void removeRunTempFolder();
// The folder runTempFolder makes its private folder in ($TMPDIR or /tmp; GetTempPathW), for
// messages about a temporary folder that does not work.
std::string tempFolderParent();

// CreateThread / WaitForSingleObject(INFINITE).
struct WorkerThread {
    intptr_t handle = 0;
    bool started = false;
};
bool startThread(WorkerThread& thread, void (*routine)(void* argument), void* argument);
void joinThread(WorkerThread& thread);

// How many processors the process may run on, at least 1: on Linux its affinity mask
// (sched_getaffinity; taskset, a container's cpuset), elsewhere the processors online
// (sysconf(_SC_NPROCESSORS_ONLN); GetActiveProcessorCount(ALL_PROCESSOR_GROUPS)). A
// container's CPU quota is not counted.
int processorCount();

}  // namespace zipsalvage
