// Split archives: Info-ZIP's and PKZIP's parts `name.z01, name.z02, ..., name.zip` (the first
// begins with the spanning marker, APPNOTE 8.5), and 7-Zip's volumes `name.zip.001, ...`. Given
// any one part, its siblings are found by name in the same folder; read one after the other,
// they are the archive.
#pragma once

#include <string>
#include <vector>

namespace zipsalvage {

struct PartName {
    std::string path;
    bool present = false;
};

// The parts of the split archive that `path` names one of, in order, those missing among them
// included; empty when `path` is no part of a split archive or none of its siblings is there,
// so that a file on its own is read as it is.
std::vector<PartName> findArchiveParts(const std::string& path);

}  // namespace zipsalvage
