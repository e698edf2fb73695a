// Path texts of the Windows program: the archive path from the command line, the folder the
// file-open dialog starts in, and the output path beside the archive or in a chosen folder.
#pragma once

#include <string>

namespace zipsalvage {

// The text after the program name in the whole command line (GetCommandLineW): the name is
// skipped as Windows reads it (up to the closing quote when quoted, else to the first blank),
// then the blanks after it.
std::wstring argumentsOf(const wchar_t* commandLine);

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
// "Salvaged.zip" in `folder` (the current folder when it is empty).
std::string outputPathIn(const std::string& folder);

}  // namespace zipsalvage
