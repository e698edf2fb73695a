// Archives damaged by a text-mode transfer (an ASCII-mode FTP, a download that put a CR before
// every LF, line-ending conversion on binary files): noticed before the scan and undone into a
// copy in the run's temporary folder, which the scan then reads in place of the archive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/run/salvage_run.h"

namespace zipsalvage {

// While it lives, the reader reads the undone copy; when it ends, the reader has the archive's
// own handle back and the copy is removed.
struct LineEndRepair {
    ArchiveReader* reader = nullptr;
    FileHandle archiveHandle = kInvalidFile;
    uint64_t archiveSize = 0;
    std::vector<ArchivePart> parts;  // a split archive's, while the copy is read
    std::string copyPath;

    LineEndRepair() = default;
    ~LineEndRepair();
    LineEndRepair(const LineEndRepair&) = delete;
    LineEndRepair& operator=(const LineEndRepair&) = delete;
};

// Reads the whole archive once to tell whether a text-mode transfer converted it; when one did,
// writes the undone bytes into the run's temporary folder, points the reader at them and says so
// in the log. An archive that was not converted is left as it is (and the reader at its start).
// Returns false only when the run was cancelled meanwhile.
bool repairLineEnds(EntryContext& run, LineEndRepair& repair);

}  // namespace zipsalvage
