// UTF-8 <-> UTF-16 conversions and the long form of paths for the wide file functions.
#include "platform/win32/wide_text.h"

#include <windows.h>

#include <climits>
#include <cstring>

namespace zipsalvage {
namespace {

// Folders are limited to MAX_PATH - 12 characters in the plain form (room for an 8.3 name).
constexpr size_t kPlainPathLimit = MAX_PATH - 12;

std::wstring wideFromCodePage(unsigned codePage, const char* bytes, size_t length) {
    if (length == 0 || length > INT_MAX) return {};
    int count = ::MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(length), nullptr, 0);
    if (count <= 0) return {};
    std::wstring wide(static_cast<size_t>(count), L'\0');
    ::MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(length), wide.data(), count);
    return wide;
}

bool startsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

}  // namespace

std::wstring wideFromUtf8(const char* text) {
    return text == nullptr ? std::wstring() : wideFromCodePage(CP_UTF8, text, std::strlen(text));
}

std::wstring wideFromUtf8(const std::string& text) {
    return wideFromCodePage(CP_UTF8, text.data(), text.size());
}

std::string utf8FromWide(const wchar_t* text, size_t length) {
    if (text == nullptr || length == 0 || length > INT_MAX) return {};
    int count = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                      nullptr, nullptr);
    if (count <= 0) return {};
    std::string bytes(static_cast<size_t>(count), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), bytes.data(), count, nullptr,
                          nullptr);
    return bytes;
}

std::string utf8FromWide(const std::wstring& text) {
    return utf8FromWide(text.data(), text.size());
}

std::string utf8FromCodePage(unsigned codePage, const char* bytes, size_t length) {
    return utf8FromWide(wideFromCodePage(codePage, bytes, length));
}

std::wstring fileSystemPath(const char* path) {
    std::wstring wide = wideFromUtf8(path);
    // Already in a form the file functions take as it is (\\?\ or a device path \\.\).
    if (wide.empty() || startsWith(wide, L"\\\\?\\") || startsWith(wide, L"\\\\.\\")) return wide;
    DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return wide;
    std::wstring full(needed, L'\0');
    DWORD length = ::GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return wide;
    full.resize(length);
    if (full.size() < kPlainPathLimit) return full;
    if (startsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

}  // namespace zipsalvage
