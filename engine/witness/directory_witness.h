// The scan's side of the second witness: central directory headers and end records met on the
// way are read and kept, then the scan goes on from right after their signature as if it had
// not looked, so nothing the scan finds depends on them.
#pragma once

namespace zipsalvage {

struct ArchiveReader;
struct CentralDirectory;

// Called with the reader right after a central header signature ("PK\1\2").
void readCentralHeaderHere(ArchiveReader& reader, CentralDirectory& directory);
// Called with the reader right after an end record signature ("PK\5\6").
void readEndRecordHere(ArchiveReader& reader, CentralDirectory& directory);

}  // namespace zipsalvage
