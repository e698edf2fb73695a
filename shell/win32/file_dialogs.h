// The system dialogs of the wizard: choosing the archive, the output folder and the file the
// log is saved to, and the folders they start in.
#pragma once

#include <windows.h>

#include <string>

namespace zipsalvage {

// The user's Documents folder, or empty when the system names none.
std::string documentsFolder();
// True when `path` names an existing folder.
bool isExistingFolder(const std::string& path);

// Where the archive's file-open dialog starts: the folder of the path in the archive box, or
// the Documents folder when the box is empty or its folder does not exist.
std::string archiveStartFolder(const std::string& archiveBox);
// Where the folder dialog starts: the folder in the output box, else the archive's folder,
// else the Documents folder.
std::string outputStartFolder(const std::string& outputBox, const std::string& archiveBox);

// The file-open dialog for the archive; true with the chosen path in `chosen`.
bool browseForArchive(HWND owner, const std::string& startFolder, std::string& chosen);
// The folder dialog for the output; true with the chosen folder in `chosen`.
bool browseForFolder(HWND owner, const std::string& startFolder, std::string& chosen);
// The save dialog for the log (it asks before replacing a file); true with the path in
// `chosen`.
bool browseForLogFile(HWND owner, const std::string& startFolder, std::string& chosen);

}  // namespace zipsalvage
