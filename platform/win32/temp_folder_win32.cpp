// The temporary folder on Win32: the user's own temporary folder from GetTempPathA.
#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace zipsalvage {

std::string runTempFolder() {
    char folder[MAX_PATH + 1];
    DWORD length = ::GetTempPathA(sizeof folder, folder);
    if (length == 0 || length >= sizeof folder) return {};
    std::string result(folder, length);
    if (result.back() != '\\' && result.back() != '/') result += '\\';
    return result;
}

std::string tempFolderParent() { return runTempFolder(); }

// The folder belongs to the user, not to the run: there is nothing of ours to remove.
void removeRunTempFolder() {}

}  // namespace zipsalvage
