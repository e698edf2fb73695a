// -l: the entries of one archive, a line each, from their headers alone.
#pragma once

#include <string>

#include "engine/run/entry_listing.h"

namespace zipsalvage {

// Lists the archive on standard output; returns its exit status: kExitWhole when an entry was
// found, kExitDamaged when none was, kExitNoRun when it cannot be opened, 128 plus a stop
// signal when one ended the listing.
int listArchive(const std::string& archivePath);

// One line of the listing, without its line end: offset, method ("*" after it: encrypted),
// compressed and uncompressed size, CRC-32 ("-" where no record says), name.
std::string listingLine(const ListedEntry& entry, const std::string& shownName);

}  // namespace zipsalvage
