// The run's private temporary folder: mkdtemp under $TMPDIR (or /tmp), mode 0700.
//
// A fixed name in a shared /tmp would let another user plant a link there and would make two
// runs overwrite each other's data; a private folder per run avoids both.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/platform.h"

#ifdef ZIPSALVAGE_FAULT_INJECTION
#include "platform/posix/fault_hooks.h"
#endif

namespace zipsalvage {
namespace {

std::mutex folderLock;
std::string privateFolder;  // with trailing '/', empty until made

}  // namespace

std::string tempFolderParent() {
    const char* base = std::getenv("TMPDIR");
    return (base != nullptr && base[0] != '\0') ? base : "/tmp";
}

std::string runTempFolder() {
#ifdef ZIPSALVAGE_FAULT_INJECTION
    if (faults::tempFolderFails()) return {};
#endif
    std::lock_guard<std::mutex> guard(folderLock);
    if (!privateFolder.empty()) {
        struct stat info {};
        if (::lstat(privateFolder.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            return privateFolder;
        privateFolder.clear();
    }
    std::string pattern = tempFolderParent();
    if (pattern.back() != '/') pattern += '/';
    pattern += "zipsalvage-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return {};
    privateFolder = pattern + "/";
    return privateFolder;
}

void removeRunTempFolder() {
    std::lock_guard<std::mutex> guard(folderLock);
    if (privateFolder.empty()) return;
    if (DIR* folder = ::opendir(privateFolder.c_str())) {
        while (dirent* item = ::readdir(folder)) {
            std::string name = item->d_name;
            if (name == "." || name == "..") continue;
            ::unlink((privateFolder + name).c_str());
        }
        ::closedir(folder);
    }
    ::rmdir(privateFolder.c_str());
    privateFolder.clear();
}

}  // namespace zipsalvage
