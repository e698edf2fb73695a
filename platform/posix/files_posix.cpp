// POSIX files for the platform layer: plain descriptors, no sharing semantics to emulate.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

#include "platform/platform.h"

#ifdef ZIPSALVAGE_FAULT_INJECTION
#include "platform/posix/fault_hooks.h"
#endif

namespace zipsalvage {
namespace {

FileHandle opened(int descriptor, [[maybe_unused]] const char* path) {
    if (descriptor < 0) return kInvalidFile;
#ifdef ZIPSALVAGE_FAULT_INJECTION
    faults::noteOpened(descriptor, path);
#endif
    return descriptor;
}

int descriptorOf(FileHandle file) { return static_cast<int>(file); }

}  // namespace

FileHandle openExistingForRead(const char* path) {
    // Without O_NONBLOCK, opening a FIFO waits for a writer that may never come; the archive
    // must be a file that can be read twice, so a FIFO is refused once open (isSeekable).
    int descriptor = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor >= 0) {
        struct stat info {};
        // A folder opens read-only on POSIX; Win32 refuses it, and so do we, saying why.
        if (::fstat(descriptor, &info) != 0 || S_ISDIR(info.st_mode)) {
            int reason = S_ISDIR(info.st_mode) ? EISDIR : errno;
            ::close(descriptor);
            errno = reason;
            return kInvalidFile;
        }
        int statusFlags = ::fcntl(descriptor, F_GETFL);
        if (statusFlags >= 0) ::fcntl(descriptor, F_SETFL, statusFlags & ~O_NONBLOCK);
    }
    return opened(descriptor, path);
}

FileHandle createReadWrite(const char* path) {
    return opened(::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644), path);
}

FileHandle createTempFileAt(const char* path) {
    // The previous entry's file is removed and a new one made exclusively. Emptying it for
    // reuse instead (O_TRUNC) waits on ext4 for the old data to be written out, which made
    // 70,000 small entries take minutes. The folder is private (0700); what stands at the path
    // must be our own regular file (a link or anything else is refused, never followed), and
    // O_EXCL | O_NOFOLLOW make sure the file opened is the one just created.
    struct stat info {};
    if (::lstat(path, &info) == 0) {
        if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) return kInvalidFile;
        if (::unlink(path) != 0 && errno != ENOENT) return kInvalidFile;
    } else if (errno != ENOENT) {
        return kInvalidFile;
    }
    return opened(::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600), path);
}

void closeFile(FileHandle file) {
    if (file == kInvalidFile) return;
#ifdef ZIPSALVAGE_FAULT_INJECTION
    faults::noteClosed(descriptorOf(file));
#endif
    ::close(descriptorOf(file));
}

uint32_t readFile(FileHandle file, void* buffer, uint32_t count) {
    if (file == kInvalidFile) return 0;
#ifdef ZIPSALVAGE_FAULT_INJECTION
    if (faults::readFails(descriptorOf(file))) return 0;
    if (count > 0) {
        count = faults::readableBytes(descriptorOf(file), ::lseek(descriptorOf(file), 0, SEEK_CUR),
                                      count);
        if (count == 0) return 0;
    }
#endif
    auto* bytes = static_cast<char*>(buffer);
    uint32_t total = 0;
    while (total < count) {
        ssize_t got = ::read(descriptorOf(file), bytes + total, count - total);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        total += static_cast<uint32_t>(got);
    }
    return total;
}

namespace {

// Writes until done or the disk refuses; at the current position when `offset` is negative.
uint32_t writeAll(FileHandle file, int64_t offset, const void* buffer, uint32_t count) {
    if (file == kInvalidFile) return 0;
#ifdef ZIPSALVAGE_FAULT_INJECTION
    count = faults::allowedWrite(descriptorOf(file), count);
#endif
    const auto* bytes = static_cast<const char*>(buffer);
    uint32_t total = 0;
    while (total < count) {
        ssize_t put = offset < 0 ? ::write(descriptorOf(file), bytes + total, count - total)
                                 : ::pwrite(descriptorOf(file), bytes + total, count - total,
                                            static_cast<off_t>(offset + total));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        total += static_cast<uint32_t>(put);
    }
    return total;
}

}  // namespace

uint32_t writeFile(FileHandle file, const void* buffer, uint32_t count) {
    return writeAll(file, -1, buffer, count);
}

uint32_t writeFileAt(FileHandle file, int64_t offset, const void* buffer, uint32_t count) {
    return offset < 0 ? 0 : writeAll(file, offset, buffer, count);
}

bool seekFile(FileHandle file, int64_t offset) {
    if (file == kInvalidFile || offset < 0) return false;
    return ::lseek(descriptorOf(file), static_cast<off_t>(offset), SEEK_SET) == offset;
}

int64_t filePosition(FileHandle file) {
    if (file == kInvalidFile) return -1;
    return ::lseek(descriptorOf(file), 0, SEEK_CUR);
}

bool truncateFileHere(FileHandle file) {
    int64_t position = filePosition(file);
    if (position < 0) return false;
    return ::ftruncate(descriptorOf(file), static_cast<off_t>(position)) == 0;
}

int64_t fileSize(FileHandle file) {
    struct stat info {};
    if (file == kInvalidFile || ::fstat(descriptorOf(file), &info) != 0) return -1;
    return info.st_size;
}

bool fileExists(const char* path) {
    struct stat info {};
    return ::lstat(path, &info) == 0;
}

PathKind pathKind(const char* path) {
    struct stat info {};
    if (::lstat(path, &info) != 0) return errno == ENOENT ? PathKind::kMissing : PathKind::kOther;
    if (S_ISREG(info.st_mode)) return PathKind::kRegularFile;
    if (S_ISLNK(info.st_mode)) return PathKind::kSymbolicLink;
    return PathKind::kOther;
}

bool isSeekable(FileHandle file) {
    struct stat info {};
    if (file == kInvalidFile || ::fstat(descriptorOf(file), &info) != 0) return false;
    if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) return false;
    return ::lseek(descriptorOf(file), 0, SEEK_CUR) >= 0;
}

std::string lastSystemError() { return std::generic_category().message(errno); }

FileHandle createPartialFile(const char* finalPath, std::string& partialPath) {
    std::string pattern = std::string(finalPath) + ".partial-XXXXXX";
    // mkostemp opens with O_CREAT | O_EXCL and mode 0600: nothing that already has the name,
    // a planted link included, is opened or followed.
    int descriptor = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (descriptor < 0) return kInvalidFile;
    // The finished archive is an ordinary file of its owner's: 0666 less the umask, as an open
    // with O_CREAT would have made it. Reading the umask means setting it; this runs before
    // the worker starts, when no other thread creates files.
    mode_t mask = ::umask(022);
    ::umask(mask);
    ::fchmod(descriptor, static_cast<mode_t>(0666 & ~mask));
    partialPath = pattern;
    return opened(descriptor, partialPath.c_str());
}

bool commitPartialFile(FileHandle& handle, const char* partialPath, const char* finalPath) {
    bool synced = handle != kInvalidFile && ::fsync(descriptorOf(handle)) == 0;
    int reason = errno;
    closeFile(handle);
    handle = kInvalidFile;
    if (!synced || ::rename(partialPath, finalPath) != 0) {
        if (synced) reason = errno;
        errno = reason;
        return false;
    }
    // The rename itself reaches the disk only with the folder's own entry list.
    std::string folder = finalPath;
    size_t slash = folder.find_last_of('/');
    folder = slash == std::string::npos ? "." : folder.substr(0, slash == 0 ? 1 : slash);
    int folderDescriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderDescriptor >= 0) {
        ::fsync(folderDescriptor);
        ::close(folderDescriptor);
    }
    return true;
}

bool deleteFile(const char* path) { return ::unlink(path) == 0; }

bool isSameFile(FileHandle file, const char* path) {
    struct stat openInfo {};
    struct stat pathInfo {};
    if (file == kInvalidFile || ::fstat(descriptorOf(file), &openInfo) != 0) return false;
    if (::stat(path, &pathInfo) != 0) return false;
    return openInfo.st_dev == pathInfo.st_dev && openInfo.st_ino == pathInfo.st_ino;
}

}  // namespace zipsalvage
