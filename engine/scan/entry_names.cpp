// Choosing an output entry's name and its UTF-8 flag from what the local header recorded.
#include "engine/scan/entry_names.h"

#include <cstring>

#include "engine/scan/extra_fields.h"

namespace zipsalvage {
namespace {

// The number of continuation bytes a lead byte announces, and the smallest code point its form
// may carry (anything smaller is an overlong form); 0 continuation bytes for an invalid lead.
struct LeadByte {
    int continuations;
    uint32_t smallest;
    uint32_t bits;
};

LeadByte decodeLead(uint8_t byte) {
    if (byte >= 0xC2 && byte <= 0xDF) return {1, 0x80, byte & 0x1Fu};
    if (byte >= 0xE0 && byte <= 0xEF) return {2, 0x800, byte & 0x0Fu};
    if (byte >= 0xF0 && byte <= 0xF4) return {3, 0x10000, byte & 0x07u};
    return {0, 0, 0};
}

}  // namespace

bool isValidUtf8(const uint8_t* bytes, size_t size) {
    size_t index = 0;
    while (index < size) {
        uint8_t byte = bytes[index++];
        if (byte < 0x80) continue;
        LeadByte lead = decodeLead(byte);
        if (lead.continuations == 0 || size - index < static_cast<size_t>(lead.continuations))
            return false;
        uint32_t codePoint = lead.bits;
        for (int count = 0; count < lead.continuations; ++count) {
            uint8_t next = bytes[index++];
            if ((next & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (next & 0x3Fu);
        }
        if (codePoint < lead.smallest || codePoint > 0x10FFFF) return false;
        if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return false;
    }
    return true;
}

bool isPlainAscii(const uint8_t* bytes, size_t size) {
    for (size_t index = 0; index < size; ++index) {
        if (bytes[index] >= 0x80) return false;
    }
    return true;
}

ChosenName chooseEntryName(const uint8_t* rawName, size_t rawLength, uint16_t flags,
                           const uint8_t* extra, size_t extraSize, size_t maxLength) {
    ChosenName chosen;
    std::string fromExtra;
    if (unicodePathName(extra, extraSize, rawName, rawLength, fromExtra) && !fromExtra.empty() &&
        fromExtra.size() <= maxLength && fromExtra.find('\0') == std::string::npos &&
        isValidUtf8(reinterpret_cast<const uint8_t*>(fromExtra.data()), fromExtra.size())) {
        chosen.name = std::move(fromExtra);
        chosen.utf8 = true;
        return chosen;
    }
    for (size_t index = 0; index < rawLength; ++index) {
        if (rawName[index] == 0) {
            chosen.name += "%00";
        } else {
            chosen.name += static_cast<char>(rawName[index]);
        }
    }
    if (chosen.name.size() > maxLength) chosen.name.resize(maxLength);
    bool valid = isValidUtf8(rawName, rawLength);
    chosen.utf8 = valid && ((flags & kFlagUtf8Name) != 0 || !isPlainAscii(rawName, rawLength));
    return chosen;
}

}  // namespace zipsalvage
