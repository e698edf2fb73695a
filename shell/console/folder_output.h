// The console's -d: the recovered files written into a folder instead of an archive.
#pragma once

#include <string>

#include "engine/run/salvage_run.h"

namespace zipsalvage {

// Makes `folder` (and the folders above it) when missing and sets run.output to a writer of
// the recovered files into it (the caller names the folder as the run's output path). Shows "Unable
// to create %s: <reason>" and returns false when it cannot be made or is not a folder.
bool createFolderOutput(EntryContext& run, const std::string& folder);

// The entry name `name` (UTF-8) as a path inside the folder: backslashes read as separators,
// a drive letter, a leading "/" and every "", "." and ".." component dropped, so that it never
// leaves the folder. Empty when nothing of the name is left.
std::string pathInsideFolder(const std::string& name);

// True when a symbolic link at `linkPath` (inside the folder, as pathInsideFolder gives it)
// pointing at `target` stays inside the folder.
bool linkStaysInside(const std::string& linkPath, const std::string& target);

}  // namespace zipsalvage
