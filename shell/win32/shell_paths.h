// Path texts of the Windows program: the archive path from the command line, the folder the
// file-open dialog starts in, and the output path beside the archive.
#pragma once

#include <string>

namespace zipsalvage {

// The archive path in the command line (the whole text after the program name). One pair of
// quotes around all of it is removed: Explorer adds them when the path holds a space.
std::string archivePathFromCommandLine(const char* commandLine);

// The drive ("C:" when the second character is ':') and the folder (up to and including the
// last '\' or '/') of a path.
std::string driveAndFolder(const std::string& path);

// The file-open dialog's start folder for an archive path: drive and folder without one
// trailing backslash.
std::string browseFolderFor(const std::string& archivePath);

// "Salvaged.zip" in the folder of `archivePath`, which should be a full path.
std::string outputPathBeside(const std::string& archivePath);

}  // namespace zipsalvage
