// WinZip AES entries: the keys, counter mode and authentication code against entries 7z makes,
// and the program over intact, wrong-password, cut and changed 7z archives and over streamed
// ones of other writers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "core/little_endian.h"
#include "extract/winzip_aes.h"
#include "tests/password/encrypted_archives.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::ProgramRun;
using testing::TempDir;

bool has(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

class AesSalvage : public ::testing::Test {
  protected:
    void SetUp() override {
        if (ZIPSALVAGE_HAVE_AES == 0) GTEST_SKIP() << "built without libgcrypt: AES is copied";
        if (!testing::haveCommand("7z") || !testing::haveCommand("python3")) {
            GTEST_SKIP() << "7z (p7zip-full) and python3 are needed";
        }
        text = testing::makeText(230000, 31);
        random = testing::makeRandom(70000, 32);
        testing::writeWholeFile(dir.file("text.txt"), text);
        testing::writeWholeFile(dir.file("random.bin"), random);
    }
    // 7z's archive of text.txt (and random.bin) under `options`, password "right".
    Bytes make7z(const std::string& name, const std::string& options, bool both = true) {
        std::string command = "cd " + testing::shellQuote(dir.path) + " && 7z a -tzip -pright " +
                              options + " " + name + " text.txt" + (both ? " random.bin" : "");
        std::string output;
        EXPECT_EQ(testing::runCommand(command, &output), 0) << output;
        return testing::readWholeFile(dir.file(name));
    }
    ProgramRun salvage(const Bytes& archive, std::vector<std::string> passwords) {
        testing::writeWholeFile(dir.file("in.zip"), archive);
        std::vector<std::string> arguments = {"-y"};
        for (const std::string& password : passwords) {
            arguments.push_back("-p");
            arguments.push_back(password);
        }
        arguments.push_back(dir.file("in.zip"));
        return testing::runWithoutTerminal(arguments);
    }
    TempDir dir;
    Bytes text;
    Bytes random;
};

// The first entry of a 7z archive: its AES field, salt and verifier, encrypted data and code.
struct FirstEntry {
    uint8_t strength = 0;
    Bytes header;  // salt and verifier
    Bytes data;
    Bytes code;
};

FirstEntry firstEntry(const Bytes& archive) {
    FirstEntry entry;
    const size_t nameLength = loadLE16(archive.data() + 26);
    const size_t extraLength = loadLE16(archive.data() + 28);
    const uint8_t* extra = archive.data() + 30 + nameLength;
    for (size_t at = 0; at + 4 <= extraLength; at += 4 + loadLE16(extra + at + 2)) {
        if (loadLE16(extra + at) == 0x9901) entry.strength = extra[at + 8];
    }
    const size_t start = 30 + nameLength + extraLength;
    const size_t compressed = loadLE32(archive.data() + 18);
    const auto headerBytes = static_cast<size_t>(aesHeaderBytes(entry.strength));
    auto at = [&](size_t offset) { return archive.begin() + static_cast<std::ptrdiff_t>(offset); };
    entry.header.assign(at(start), at(start + headerBytes));
    entry.data.assign(at(start + headerBytes), at(start + compressed - kAesCodeBytes));
    entry.code.assign(at(start + compressed - kAesCodeBytes), at(start + compressed));
    return entry;
}

struct MemorySource {
    Bytes bytes;
    size_t position = 0;
    static int32_t readUpTo(void* owner, uint8_t* destination, int32_t count) {
        auto& source = *static_cast<MemorySource*>(owner);
        size_t left = source.bytes.size() - source.position;
        size_t taken = left < static_cast<size_t>(count) ? left : static_cast<size_t>(count);
        std::memcpy(destination, source.bytes.data() + source.position, taken);
        source.position += taken;
        return static_cast<int32_t>(taken);
    }
};

AesCodeCheck checkCode(const FirstEntry& entry, Bytes bytes, const char* password) {
    MemorySource memory{std::move(bytes)};
    EntryByteSource source{&memory, nullptr, MemorySource::readUpTo};
    return checkAesCode(password, entry.strength, entry.header.data(), source, entry.data.size());
}

// 7z's stored entries, 128 and 256-bit: the verifier passes only the right password, the
// little-endian counter decrypts the file (in pieces that split counter blocks), and the code
// matches the data, but not data with one bit changed nor a cut one.
TEST_F(AesSalvage, KeysCounterAndCodeAgreeWithEntriesOf7z) {
    for (const char* strength : {"-mem=AES128", "-mem=AES256"}) {
        SCOPED_TRACE(strength);
        FirstEntry entry = firstEntry(make7z("s.zip", std::string(strength) + " -mm=Copy", false));
        ASSERT_EQ(entry.data.size(), text.size());
        EXPECT_TRUE(aesPasswordPasses("right", entry.strength, entry.header.data()));
        EXPECT_FALSE(aesPasswordPasses("wrong", entry.strength, entry.header.data()));
        AesDecryption decryption;
        ASSERT_TRUE(startAesDecryption(decryption, "right", entry.strength, entry.header.data()));
        Bytes plain = entry.data;
        size_t done = 0;
        for (size_t piece : {size_t{5}, size_t{16}, size_t{27}, size_t{1000}, size_t{4096}}) {
            decryptAes(decryption, plain.data() + done, piece);
            done += piece;
        }
        decryptAes(decryption, plain.data() + done, plain.size() - done);
        EXPECT_TRUE(plain == text);

        Bytes stored = entry.data;
        stored.insert(stored.end(), entry.code.begin(), entry.code.end());
        EXPECT_EQ(checkCode(entry, stored, "right"), AesCodeCheck::kMatches);
        Bytes changed = stored;
        changed[1234] ^= 0x01;
        EXPECT_EQ(checkCode(entry, changed, "right"), AesCodeCheck::kDiffers);
        EXPECT_EQ(checkCode(entry, Bytes(stored.begin(), stored.end() - 3), "right"),
                  AesCodeCheck::kCutShort);
    }
}

// Intact archives of 7z, AES-128 and AES-256, deflated and stored inside: a wrong password
// first, then the right one; every file whole, a clean log, the output unencrypted and free of
// the AES field. With the wrong password alone nothing is decoded: the entries are kept encrypted.
TEST_F(AesSalvage, IntactArchivesOpenWithTheRightPasswordAndOnlyWithIt) {
    for (const char* options : {"-mem=AES256", "-mem=AES128", "-mem=AES128 -mm=Copy"}) {
        SCOPED_TRACE(options);
        Bytes archive = make7z("a.zip", options);
        ProgramRun run = salvage(archive, {"wrong", "right"});
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_FALSE(has(run.output, "ERROR")) << run.output;
        EXPECT_FALSE(has(run.output, "WARNING")) << run.output;
        auto files = testing::readSalvaged(dir.file("Salvaged.zip"));
        ASSERT_EQ(files.size(), 2u);
        EXPECT_TRUE(files["text.txt"].data == text);
        EXPECT_TRUE(files["random.bin"].data == random);
        EXPECT_EQ(files["text.txt"].flags & 1, 0);
        Bytes output = testing::readWholeFile(dir.file("Salvaged.zip"));
        const uint8_t aesId[2] = {0x01, 0x99};
        EXPECT_EQ(std::search(output.begin(), output.end(), aesId, aesId + 2), output.end());

        run = salvage(archive, {"wrong"});
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_TRUE(has(run.output, "WARNING: No password decrypts text.txt: kept encrypted"))
            << run.output;
        EXPECT_TRUE(has(run.output, "  2 undecryptable files")) << run.output;
        // Kept as they lie, still encrypted, for the right password later.
        auto kept = testing::readSalvaged(dir.file("Salvaged.zip"));
        ASSERT_EQ(kept.size(), 2u);
        for (const auto& [name, file] : kept) EXPECT_EQ(file.flags & 1, 1) << name;
    }
}

// A cut AES entry decrypts up to the cut: what inflate makes of that is kept, the file's first
// bytes (at least the part of 7z's own output on the cut archive that is right), and it is an
// ERROR. A changed byte in a stored AES entry costs that byte only, and the code says so.
TEST_F(AesSalvage, CutAndChangedEntriesKeepWhatDecryptsAndAreErrors) {
    Bytes archive = make7z("a.zip", "-mem=AES256", false);
    const size_t dataStart = 30 + loadLE16(archive.data() + 26) + loadLE16(archive.data() + 28);
    Bytes cut(archive.begin(),
              archive.begin() +
                  static_cast<std::ptrdiff_t>(dataStart + loadLE32(archive.data() + 18) / 2));
    ProgramRun run = salvage(cut, {"right"});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(has(run.output, "ERROR: File text.txt is corrupt.")) << run.output;
    Bytes kept = testing::readSalvaged(dir.file("Salvaged.zip"))["text.txt"].data;
    EXPECT_GT(kept.size(), text.size() / 4);
    EXPECT_TRUE(Bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(kept.size())) ==
                kept);
    std::string ignored;
    testing::runCommand(
        "cd " + testing::shellQuote(dir.path) + " && rm -rf 7z-out && 7z x -pright -o7z-out in.zip",
        &ignored);
    Bytes reference = testing::pathExists(dir.file("7z-out/text.txt"))
                          ? testing::readWholeFile(dir.file("7z-out/text.txt"))
                          : Bytes();
    size_t right = 0;
    while (right < reference.size() && right < text.size() && reference[right] == text[right]) {
        ++right;
    }
    EXPECT_GE(kept.size(), right);

    Bytes stored = make7z("s.zip", "-mem=AES128 -mm=Copy", false);
    stored[dataStart + 40000] ^= 0x10;
    run = salvage(stored, {"right"});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(has(run.output, "ERROR: text.txt: its AES authentication code does not match"))
        << run.output;
    Bytes changed = testing::readSalvaged(dir.file("Salvaged.zip"))["text.txt"].data;
    ASSERT_EQ(changed.size(), text.size());
    size_t differing = 0;
    for (size_t index = 0; index < text.size(); ++index) differing += changed[index] != text[index];
    EXPECT_EQ(differing, 1u);
}

// Streamed AES entries (flag bit 3, AE-2) of zip.js and archiver, deflated and stored, with
// their central directory cut away: the ends come from inflate's end or the descriptor search,
// and the code judges every entry.
TEST_F(AesSalvage, StreamedEntriesOfOtherWritersComeOutWholeWithoutTheirDirectory) {
    std::string data = testing::sharedTestdataDir();
    if (data.empty()) GTEST_SKIP() << "no shared test data (../shared/testdata)";
    for (const char* file : {"zipjs-aes.zip", "archiver-aes256.zip"}) {
        SCOPED_TRACE(file);
        std::string path = data + "/writers/" + file;
        if (!testing::pathExists(path)) GTEST_SKIP() << path << " is missing";
        Bytes archive = testing::readWholeFile(path);
        const uint8_t central[4] = {'P', 'K', 1, 2};
        archive.erase(std::search(archive.begin(), archive.end(), central, central + 4),
                      archive.end());
        ProgramRun run = salvage(archive, {"s3cret-pw"});
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_TRUE(has(run.output, "  7 files found")) << run.output;
        EXPECT_FALSE(has(run.output, "ERROR")) << run.output;
        EXPECT_FALSE(has(run.output, "WARNING")) << run.output;
        auto files = testing::readSalvaged(dir.file("Salvaged.zip"));
        EXPECT_TRUE(files["notes/changes.log"].data ==
                    testing::readWholeFile(data + "/writers/src/notes/changes.log"));
        EXPECT_TRUE(files["bin/tool.bin"].data ==
                    testing::readWholeFile(data + "/writers/src/bin/tool.bin"));
    }
}

}  // namespace
}  // namespace zipsalvage
