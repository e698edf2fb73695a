// The archive's own central directory, read before the scan from the end record at its tail,
// so that an entry can be checked against its directory record while it is salvaged (the
// records the scan meets on the way, directory_witness.h, come too late for that).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zipsalvage {

struct ArchiveReader;
struct CentralDirectory;
struct CentralRecord;

// Finds the end record in the archive's last 65,557 bytes and reads the directory right in
// front of it into `directory`; leaves the reader at the archive's first byte. A missing
// or damaged directory leaves fewer records (or none), never an error.
void readDirectoryAhead(ArchiveReader& reader, CentralDirectory& directory);

// The record of the entry whose local header is at `archiveOffset` with `name`, or null.
const CentralRecord* directoryRecordFor(CentralDirectory& directory, int64_t archiveOffset,
                                        const char* name, size_t nameLength);

}  // namespace zipsalvage
