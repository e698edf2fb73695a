// Entry names as the wizard shows them: the raw bytes of a name decoded as their writer meant,
// UTF-8 when the entry says so (general purpose flag bit 11, APPNOTE 4.4.4 and appendix D),
// the OEM code page otherwise, as DOS-era archivers stored them.
#pragma once

#include <string>

namespace zipsalvage {

// The name in UTF-8; bytes that are not valid UTF-8 under bit 11 become U+FFFD.
std::string shownEntryName(const char* rawName, bool utf8);

}  // namespace zipsalvage
