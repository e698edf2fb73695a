// Decoding entry names for display on Windows.
#include "shell/win32/shown_names.h"

#include <windows.h>

#include <cstring>

#include "platform/win32/wide_text.h"

namespace zipsalvage {

std::string shownEntryName(const char* rawName, bool utf8) {
    if (rawName == nullptr) return {};
    // Through UTF-16 in both cases, so that what reaches the window is always valid UTF-8.
    return utf8FromCodePage(utf8 ? CP_UTF8 : CP_OEMCP, rawName, std::strlen(rawName));
}

}  // namespace zipsalvage
