// CP437 to UTF-8. Bytes below 0x80 are ASCII; the upper half maps through this table.
#include "shell/console/cp437.h"

#include <cstdint>

namespace zipsalvage {
namespace {

// clang-format off
constexpr uint16_t kUpperHalf[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};
// clang-format on

void appendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

// The length of the well-formed UTF-8 sequence at `cursor` (RFC 3629), or 0.
int sequenceLength(const uint8_t* cursor) {
    uint8_t lead = cursor[0];
    int length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (lead >= 0xF5) return 0;
    for (int index = 1; index < length; ++index) {
        if ((cursor[index] & 0xC0) != 0x80) return 0;  // also stops at the terminating zero
    }
    // Overlong three- and four-byte forms, surrogates and code points above U+10FFFF.
    if (lead == 0xE0 && cursor[1] < 0xA0) return 0;
    if (lead == 0xED && cursor[1] >= 0xA0) return 0;
    if (lead == 0xF0 && cursor[1] < 0x90) return 0;
    if (lead == 0xF4 && cursor[1] >= 0x90) return 0;
    return length;
}

}  // namespace

std::string utf8ForTerminal(const char* raw) {
    std::string out;
    const auto* cursor = reinterpret_cast<const uint8_t*>(raw);
    while (*cursor != 0) {
        if (*cursor < 0x80) {
            out += *cursor < 0x20 || *cursor == 0x7F ? '?' : static_cast<char>(*cursor);
            ++cursor;
            continue;
        }
        int length = sequenceLength(cursor);
        // C1 controls (U+0080 to U+009F, "\xC2\x80" to "\xC2\x9F") include the terminal's CSI.
        if (length == 0 || (cursor[0] == 0xC2 && cursor[1] < 0xA0)) {
            out += '?';
            cursor += length == 0 ? 1 : length;
            continue;
        }
        out.append(reinterpret_cast<const char*>(cursor), static_cast<size_t>(length));
        cursor += length;
    }
    return out;
}

std::string cp437ToUtf8(const char* raw) {
    std::string out;
    for (const char* cursor = raw; *cursor != '\0'; ++cursor) {
        auto byte = static_cast<uint8_t>(*cursor);
        // Control characters would let a name rewrite the terminal; show them as "?".
        if (byte < 0x20 || byte == 0x7F) {
            out += '?';
        } else {
            appendUtf8(out, byte < 0x80 ? byte : kUpperHalf[byte - 0x80]);
        }
    }
    return out;
}

}  // namespace zipsalvage
