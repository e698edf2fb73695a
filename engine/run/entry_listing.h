// The entries of an archive as their headers record them, without decoding any data: the walk
// behind `zipsalvage --list`.
#pragma once

#include <cstdint>
#include <string>

#include "core/run_flags.h"
#include "engine/output/zip_records.h"
#include "engine/scan/archive_reader.h"

namespace zipsalvage {

// One local header found by the walk.
struct ListedEntry {
    int64_t offset = 0;  // of the header's signature in the archive
    uint16_t method = 0;
    uint16_t flags = 0;  // the general purpose bit flag (encryption, UTF-8 name)
    // The header's sizes and CRC-32, or, for an entry whose sizes follow its data, those of its
    // data descriptor. False when such an entry's descriptor was not found.
    bool sizesKnown = true;
    EntrySizes sizes;
    uint32_t crc32 = 0;
    std::string rawName;  // the name's bytes as stored
};

enum class ListingResult { kListed, kCancelled };

// Walks the archive from its first byte for local headers the salvage would take (the same
// plausibility rules) and hands each to `found` in the archive's order. An entry's data is
// passed over when its recorded size ends where another record (or the archive) begins;
// otherwise the walk goes on right behind its header, so that headers inside damaged data
// are still found. Reads headers only: nothing is decoded, decrypted or written.
ListingResult listEntries(ArchiveReader& reader, const RunFlags& flags,
                          void (*found)(void* context, const ListedEntry& entry), void* context);

}  // namespace zipsalvage
