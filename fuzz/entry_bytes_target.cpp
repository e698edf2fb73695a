// The byte source target: readEntryByte and takeBlockBytes, plain and encrypted, called in a
// fuzzed order and compared call by call with a model written from the rules they follow
// (blocks of up to 1024 bytes that never reach past the data, then up to 10 single bytes; a
// block the archive cannot fill is delivered as far as it holds bytes), with its own cipher.
//
// Input: a flags byte (bit 0 encrypted, bit 1 truncated archive), 4 bytes of recorded
// compressed size, 2 bytes of bytes available when truncated, a password length and password,
// the 12-byte encryption header, a count of calls and one byte per call (below 0x80 a
// readEntryByte, else takeBlockBytes of that many less 0x7F bytes); the rest is the archive.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_bench.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_targets.h"

namespace zipsalvage::fuzz {
namespace {

// APPNOTE 6.1, written again here so that the model shares no code with the product.
struct ModelCipher {
    std::array<uint32_t, 256> table{};
    uint32_t keys[3] = {};

    ModelCipher() {
        for (uint32_t index = 0; index < 256; ++index) {
            uint32_t value = index;
            for (int bit = 0; bit < 8; ++bit)
                value = (value >> 1) ^ ((value & 1) ? 0xEDB88320u : 0);
            table[index] = value;
        }
    }
    uint32_t crc(uint32_t value, uint8_t byte) const {
        return table[(value ^ byte) & 0xFF] ^ (value >> 8);
    }
    void update(uint8_t plain) {
        keys[0] = crc(keys[0], plain);
        keys[1] = (keys[1] + (keys[0] & 0xFF)) * 134775813u + 1;
        keys[2] = crc(keys[2], static_cast<uint8_t>(keys[1] >> 24));
    }
    uint8_t decrypt(uint8_t byte) {
        uint32_t temp = (keys[2] & 0xFFFF) | 2;
        auto plain = static_cast<uint8_t>(byte ^ static_cast<uint8_t>((temp * (temp ^ 1)) >> 8));
        update(plain);
        return plain;
    }
    void start(const char* password, const uint8_t* header) {
        keys[0] = 0x12345678;
        keys[1] = 0x23456789;
        keys[2] = 0x34567890;
        for (const char* at = password; *at != '\0'; ++at) update(static_cast<uint8_t>(*at));
        for (int index = 0; index < 12; ++index) decrypt(header[index]);
    }
};

struct Model {
    const uint8_t* archive;
    size_t available;
    size_t offset = 0;
    int64_t dataLength;
    int64_t delivered = 0;
    uint8_t block[kEntryBlockBytes] = {};
    int64_t blockFill = 0;
    int64_t blockPos = 0;
    bool encrypted;
    bool endOfData = false;
    ModelCipher cipher;

    Model(const uint8_t* archiveBytes, size_t availableBytes, int64_t length, bool isEncrypted)
        : archive(archiveBytes),
          available(availableBytes),
          dataLength(length),
          encrypted(isEncrypted) {}

    uint8_t deliver() {
        uint8_t byte = block[blockPos++];
        ++delivered;
        return encrypted ? cipher.decrypt(byte) : byte;
    }

    int read(uint16_t& destination) {
        if (delivered >= dataLength + kDataAllowanceBytes) {
            endOfData = true;
            return kNoByte;
        }
        if (blockPos >= blockFill) {
            int64_t count = std::clamp<int64_t>(dataLength - delivered, 1, kEntryBlockBytes);
            size_t left = offset < available ? available - offset : 0;
            size_t take = std::min<size_t>(static_cast<size_t>(count), left);
            std::memcpy(block, archive + offset, take);
            offset += take;
            if (take == 0) {
                endOfData = true;
                destination = 0;
                return kNoByte;
            }
            blockFill = static_cast<int64_t>(take);
            blockPos = 0;
        }
        destination = deliver();
        return kByteDelivered;
    }

    int take(uint8_t* destination, int64_t count) {
        int64_t inBlock = blockFill - blockPos;
        int64_t allowed = dataLength + kDataAllowanceBytes - delivered;
        int64_t taken = std::min({count, inBlock, allowed});
        if (taken <= 0) return 0;
        for (int64_t index = 0; index < taken; ++index) destination[index] = deliver();
        return static_cast<int>(taken);
    }
};

}  // namespace

int fuzzEntryBytes(const uint8_t* data, size_t size) {
    FuzzInput input{data, size};
    uint8_t flags = input.byte();
    uint32_t compressedSize = input.le32();
    uint32_t availableField = input.le16();
    char password[kPasswordBufferBytes] = {};
    int passwordLength = input.byte() % kPasswordBufferBytes;
    for (int index = 0; index < passwordLength; ++index) {
        password[index] = static_cast<char>(input.byte() | 1);  // no NUL inside
    }
    uint8_t header[kEncryptionHeaderBytes];
    for (uint8_t& byte : header) byte = input.byte();
    std::vector<uint8_t> calls(input.byte());
    for (uint8_t& call : calls) call = input.byte();
    const uint8_t* archive = input.rest();
    size_t archiveSize = input.restSize();
    bool encrypted = (flags & 1) != 0;
    size_t available = (flags & 2) ? availableField % (archiveSize + 1) : archiveSize;

    MemoryInput memory;
    memory.bytes = archive;
    memory.available = available;
    RunFlags runFlags;
    ExtractContext context;
    initExtractContext(context, kInvalidFile, compressedSize, 0, encrypted, password, header,
                       memory.source(), runFlags);
    Model model(archive, available,
                int64_t{compressedSize} - (encrypted ? kEncryptionHeaderBytes : 0), encrypted);
    if (encrypted) model.cipher.start(password, header);
    FUZZ_CHECK(context.dataLength == model.dataLength,
               "data length is not the compressed size (less 12 when encrypted)");

    // Past the listed calls, single-byte reads until the source stops, so every input ends there.
    size_t callCount = calls.size() + 64 + static_cast<size_t>(kEntryBlockBytes) * 2;
    for (size_t index = 0; index < callCount; ++index) {
        uint8_t call = index < calls.size() ? calls[index] : 0;
        if (call < 0x80) {
            uint16_t got = 0xABCD;
            uint16_t wanted = 0xABCD;
            int result = readEntryByte(context, got);
            int expected = model.read(wanted);
            FUZZ_CHECK(result == expected, "readEntryByte result differs from the model");
            FUZZ_CHECK(got == wanted, "readEntryByte delivered a different byte");
            if (result != expected || got != wanted) return 0;
        } else {
            uint8_t got[128];
            uint8_t wanted[128];
            int result = takeBlockBytes(context, got, call - 0x7F);
            int expected = model.take(wanted, call - 0x7F);
            FUZZ_CHECK(result == expected, "takeBlockBytes count differs from the model");
            FUZZ_CHECK(result < 0 || std::memcmp(got, wanted, static_cast<size_t>(result)) == 0,
                       "takeBlockBytes delivered different bytes");
            if (result != expected) return 0;
        }
        FUZZ_CHECK(static_cast<int64_t>(context.delivered) == model.delivered,
                   "delivered count differs from the model");
        FUZZ_CHECK(context.endOfData == model.endOfData, "endOfData differs from the model");
        FUZZ_CHECK(memory.offset == model.offset, "archive position differs from the model");
        if (index >= calls.size() && model.endOfData) break;
    }
    return 0;
}

}  // namespace zipsalvage::fuzz
