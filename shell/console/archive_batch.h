// Several archives in one call: where each one's output goes, what keeps two of them from
// sharing one or overwriting another's archive, and the closing line that counts them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zipsalvage {

// The output of one archive among several: its name with ".salvaged" before the extension
// (a.zip: a.salvaged.zip; a: a.salvaged), beside it or in `folder` when that is not empty.
// Different names in one folder always give different outputs.
std::string batchOutputPath(const std::string& archivePath, const std::string& folder);

// The folder given with -o for several archives, made when missing. False, with the reason
// shown, when it cannot be made or is not a folder.
bool prepareOutputFolder(const std::string& folder);

// True when both paths name one existing file (the same device and inode, links followed).
bool namesSameFile(const std::string& first, const std::string& second);

// Why an archive's output may not be made, given the archives of the call and the outputs its
// earlier archives wrote; shows the reason. False when the output is free to make.
bool outputRefused(const std::string& output, const std::vector<std::string>& archives,
                   const std::vector<std::string>& writtenOutputs,
                   const std::vector<std::string>& writtenFor);

// The archives of a call by how they came out.
struct BatchTally {
    uint64_t archives = 0;
    uint64_t whole = 0;        // salvaged, exit status 0 (listed: an entry was found)
    uint64_t damaged = 0;      // salvaged with damage, status 1 (listed: no entry found)
    uint64_t notRun = 0;       // status 2
    uint64_t writeFailed = 0;  // status 3
};
void countArchive(BatchTally& tally, int exitStatus);
// "3 archives: 1 whole, 1 damaged, 1 not salvaged, 0 failed writing", or for listings
// "3 archives: 2 with entries, 1 without, 0 not opened".
std::string batchClosingLine(const BatchTally& tally, bool listing);

}  // namespace zipsalvage
