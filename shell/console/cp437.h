// Entry names in the log: the OEM code page (CP437) of the archive shown as UTF-8.
#pragma once

#include <string>

namespace zipsalvage {

// The terminal's counterpart of OemToCharA: each byte of `raw` as its CP437 character.
std::string cp437ToUtf8(const char* raw);

}  // namespace zipsalvage
