// Finding a split archive's parts by their names.
#include "engine/scan/archive_parts.h"

#include <cstdio>

#include "platform/platform.h"

namespace zipsalvage {
namespace {

// Numbers past the last part found that are tried before the search stops: a part or two may
// be missing in the middle.
constexpr int kMissesBeforeTheEnd = 16;
constexpr int kMostParts = 65535;  // the disk numbers of APPNOTE 4.3.16 are 16-bit

bool isDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

bool sameLetter(char c, char lower) { return c == lower || c == lower - 'a' + 'A'; }

// A part may be a link to one (the reads follow it).
bool isRegularFile(const std::string& path) {
    PathKind kind = pathKind(path.c_str());
    return kind == PathKind::kRegularFile || kind == PathKind::kSymbolicLink;
}

// `stem` + the number, written as the writer writes it: at least `width` digits.
std::string numbered(const std::string& stem, int number, int width) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%0*d", width, number);
    return stem + digits;
}

// The numbered parts `stem`NN from 1 on, up to the last one present (or `atLeast`, the number
// of the part given), then `last` when it is not empty.
std::vector<PartName> numberedParts(const std::string& stem, int width, int atLeast,
                                    const std::string& last) {
    std::vector<PartName> parts;
    int highest = 0;
    int misses = 0;
    for (int number = 1;
         number <= kMostParts && (number <= atLeast || misses < kMissesBeforeTheEnd); ++number) {
        std::string path = numbered(stem, number, width);
        bool present = isRegularFile(path);
        parts.push_back({path, present});
        if (present) {
            highest = number;
            misses = 0;
        } else {
            ++misses;
        }
    }
    if (highest < atLeast) highest = atLeast;
    parts.resize(static_cast<size_t>(highest));
    if (!last.empty()) parts.push_back({last, isRegularFile(last)});
    int present = 0;
    for (const PartName& part : parts) present += part.present ? 1 : 0;
    if (present < 2) parts.clear();
    return parts;
}

}  // namespace

std::vector<PartName> findArchiveParts(const std::string& path) {
    size_t dot = path.rfind('.');
    size_t slash = path.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string extension = path.substr(dot + 1);
    std::string stem = path.substr(0, dot);
    // 7-Zip's volumes: name.zip.001, name.zip.002, ... (a byte split of one archive).
    if (extension.size() == 3 && isDigits(extension)) {
        size_t inner = stem.rfind('.');
        std::string innerExtension = inner == std::string::npos ? "" : stem.substr(inner + 1);
        if (innerExtension.size() != 3 || !sameLetter(innerExtension[0], 'z') ||
            !sameLetter(innerExtension[1], 'i') || !sameLetter(innerExtension[2], 'p')) {
            return {};
        }
        return numberedParts(stem + ".", 3, std::stoi(extension), std::string());
    }
    // Info-ZIP and PKZIP: name.z01, name.z02, ..., and the last part, name.zip.
    if (extension.size() >= 3 && sameLetter(extension[0], 'z') && isDigits(extension.substr(1))) {
        std::string zip = extension[0] == 'Z' ? ".ZIP" : ".zip";
        return numberedParts(stem + "." + extension[0], 2, std::stoi(extension.substr(1)),
                             stem + zip);
    }
    if (extension.size() == 3 && sameLetter(extension[0], 'z') && sameLetter(extension[1], 'i') &&
        sameLetter(extension[2], 'p')) {
        std::string letter(1, extension[0]);
        // Without a first part beside it, a .zip is an archive of its own.
        if (!isRegularFile(stem + "." + letter + "01") &&
            !isRegularFile(stem + "." + letter + "02"))
            return {};
        return numberedParts(stem + "." + letter, 2, 0, path);
    }
    return {};
}

}  // namespace zipsalvage
