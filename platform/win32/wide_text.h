// UTF-8 and UTF-16 on Windows: the program keeps every path and text in UTF-8, and only the
// wide-character Windows functions see UTF-16, so no path or name depends on the ANSI code page.
#pragma once

#include <string>

namespace zipsalvage {

// Invalid UTF-8 becomes U+FFFD rather than being dropped.
std::wstring wideFromUtf8(const char* text);
std::wstring wideFromUtf8(const std::string& text);
std::string utf8FromWide(const wchar_t* text, size_t length);
std::string utf8FromWide(const std::wstring& text);
// Bytes of the given Windows code page (CP_OEMCP, CP_ACP, ...) as UTF-8.
std::string utf8FromCodePage(unsigned codePage, const char* bytes, size_t length);

// The form of a UTF-8 path that the wide file functions open at any length: made full (so
// relative names, "/" and ".." resolve as usual) and, once it reaches the length where the
// plain form stops working, given the \\?\ prefix (\\?\UNC\ for \\server\share paths).
std::wstring fileSystemPath(const char* path);

}  // namespace zipsalvage
