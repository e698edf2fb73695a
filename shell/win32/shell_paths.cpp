// Path texts of the Windows program, kept free of window code so they are easy to check.
#include "shell/win32/shell_paths.h"

namespace zipsalvage {

std::wstring argumentsOf(const wchar_t* commandLine) {
    if (commandLine == nullptr) return {};
    const wchar_t* at = commandLine;
    if (*at == L'"') {
        ++at;
        while (*at != L'\0' && *at != L'"') ++at;
        if (*at == L'"') ++at;
    } else {
        while (*at != L'\0' && *at != L' ' && *at != L'\t') ++at;
    }
    while (*at == L' ' || *at == L'\t') ++at;
    return at;
}

std::string archivePathFromCommandLine(const char* commandLine) {
    if (commandLine == nullptr) return {};
    std::string path = commandLine;
    if (path.size() >= 2 && path.front() == '"' && path.back() == '"') {
        path = path.substr(1, path.size() - 2);
    }
    return path;
}

std::string driveAndFolder(const std::string& path) {
    size_t driveLength = path.size() >= 2 && path[1] == ':' ? 2 : 0;
    size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos || slash < driveLength) return path.substr(0, driveLength);
    return path.substr(0, slash + 1);
}

std::string browseFolderFor(const std::string& archivePath) {
    std::string folder = driveAndFolder(archivePath);
    if (!folder.empty() && folder.back() == '\\') folder.pop_back();
    return folder;
}

std::string outputPathBeside(const std::string& archivePath) {
    // A bare name has no folder: the output then goes to the current folder, like the archive.
    return outputPathIn(driveAndFolder(archivePath));
}

std::string outputPathIn(const std::string& folder) {
    std::string path = folder;
    if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
    return path + "Salvaged.zip";
}

}  // namespace zipsalvage
