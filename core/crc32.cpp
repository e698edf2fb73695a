// Block form of the CRC-32 step, for callers that have whole buffers at hand.
#include "core/crc32.h"

namespace zipsalvage {

uint32_t crc32Update(uint32_t crc, const uint8_t* bytes, size_t count) {
    for (size_t index = 0; index < count; ++index) crc = crc32Byte(crc, bytes[index]);
    return crc;
}

}  // namespace zipsalvage
