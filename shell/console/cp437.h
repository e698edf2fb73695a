// Entry names in the log: the OEM code page (CP437) of the archive shown as UTF-8, and UTF-8
// names shown as they are.
#pragma once

#include <string>

namespace zipsalvage {

// The terminal's counterpart of OemToCharA: each byte of `raw` as its CP437 character.
std::string cp437ToUtf8(const char* raw);

// A UTF-8 name as the terminal shows it: control characters (C0, DEL and C1) and any byte that
// is not part of a well-formed sequence become "?".
std::string utf8ForTerminal(const char* raw);

}  // namespace zipsalvage
