// Entry names in the output: which are written as UTF-8 (general purpose flag bit 11,
// APPNOTE 4.4.4 and appendix D) and which stay in the old code page (CP437).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/zip_format.h"

namespace zipsalvage {

// Well-formed UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(const uint8_t* bytes, size_t size);
bool isPlainAscii(const uint8_t* bytes, size_t size);

// The name an output entry is written under, and whether it is UTF-8.
struct ChosenName {
    std::string name;
    bool utf8 = false;
};

// `rawName` as its local header recorded it, with that header's flags and extra field list.
// A matching Unicode Path field gives the name; otherwise the raw name is kept, and it is UTF-8
// when it is valid UTF-8 and either flag bit 11 says so or it is more than plain ASCII. A name
// that is not valid UTF-8 is never marked as UTF-8, whatever its flag says: readers reject it.
// Names longer than `maxLength` or holding a zero byte are not taken from the extra field.
// A zero byte of the raw name is written "%00": readers end the name there, and two entries
// differing only behind it would become one name.
ChosenName chooseEntryName(const uint8_t* rawName, size_t rawLength, uint16_t flags,
                           const uint8_t* extra, size_t extraSize, size_t maxLength);

}  // namespace zipsalvage
