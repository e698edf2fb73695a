// The built program over archives past the 32-bit limits: entries of 2.5 and 4.5 GiB, 70,000
// entries, Zip64 local headers from zip -fz and Python, and (on request) an output over 4 GiB.
// Big entries are runs of zeros in sparse files, so they cost time but little disk. Python's
// zipfile checks every size and CRC-32 of the output, unzip -t and 7z t its validity.
//
// The entries of 2.5 and 4.5 GiB take one and two and a half minutes here (writing the
// temporary file and the three readers' passes over the output): they run only with
// ZIPSALVAGE_BIG_ENTRY_TESTS=1. The output over 4 GiB writes about 5 GiB: it runs only with
// ZIPSALVAGE_BIG_OUTPUT_TEST=1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/output/zip_records.h"
#include "tests/support/zip_builder.h"

namespace zipsalvage::testing {
namespace {

constexpr uint64_t kMiB = 1ull << 20;
constexpr uint64_t kGiB = 1ull << 30;

uint32_t crc32OfZeros(uint64_t count) {
    static const Bytes zeros(kMiB, 0);
    uLong crc = crc32(0, zeros.data(), static_cast<uInt>(zeros.size()));
    uLong total = 0;
    uint64_t done = 0;
    for (; done + kMiB <= count; done += kMiB)
        total = done == 0 ? crc : crc32_combine(total, crc, static_cast<z_off_t>(kMiB));
    if (done < count) {
        uLong tail = crc32(0, zeros.data(), static_cast<uInt>(count - done));
        total = done == 0 ? tail : crc32_combine(total, tail, static_cast<z_off_t>(count - done));
    }
    return static_cast<uint32_t>(total);
}

// A stored entry of `size` zeros whose data is left as a hole: its local header (Zip64 when
// the size needs it, as zip -fz writes it) and the size of the hole after it.
struct ZeroEntry {
    std::string name;
    uint64_t size;
};

Bytes zeroEntryHeader(const ZeroEntry& entry) {
    bool zip64 = needsZip64(entry.size);
    Bytes header(kLocalHeaderSize, 0);
    storeLE32(header.data(), kLocalHeaderSignature);
    storeLE16(header.data() + 4, zip64 ? 45 : 20);
    storeLE32(header.data() + 14, crc32OfZeros(entry.size));
    uint32_t field = zip64 ? kZip64Marker32 : static_cast<uint32_t>(entry.size);
    storeLE32(header.data() + 18, field);
    storeLE32(header.data() + 22, field);
    storeLE16(header.data() + 26, static_cast<uint16_t>(entry.name.size()));
    storeLE16(header.data() + 28, zip64 ? 20 : 0);
    header.insert(header.end(), entry.name.begin(), entry.name.end());
    if (zip64) {
        Bytes extra(20, 0);
        storeLE16(extra.data(), kExtraZip64);
        storeLE16(extra.data() + 2, 16);
        storeLE64(extra.data() + 4, entry.size);
        storeLE64(extra.data() + 12, entry.size);
        header.insert(header.end(), extra.begin(), extra.end());
    }
    return header;
}

// Writes the zero entries (headers written, data left as holes), then `tail`.
void writeSparseArchive(const std::string& path, const std::vector<ZeroEntry>& entries,
                        const Bytes& tail) {
    int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(descriptor, 0);
    off_t at = 0;
    for (const ZeroEntry& entry : entries) {
        Bytes header = zeroEntryHeader(entry);
        ASSERT_EQ(::pwrite(descriptor, header.data(), header.size(), at),
                  static_cast<ssize_t>(header.size()));
        at += static_cast<off_t>(header.size() + entry.size);
    }
    ASSERT_EQ(::ftruncate(descriptor, at), 0);
    ASSERT_EQ(::pwrite(descriptor, tail.data(), tail.size(), at),
              static_cast<ssize_t>(tail.size()));
    ::close(descriptor);
}

struct Salvaged {
    int status = -1;
    std::string log;
    // Python's view of the output: name -> "size crc version-needed".
    std::map<std::string, std::string> listing;
    int listingStatus = -1;
};

Salvaged salvage(const TempDir& dir, const std::string& archive) {
    Salvaged result;
    std::string output = dir.file("Salvaged.zip");
    result.status = runCommand(
        std::string(ZIPSALVAGE_BINARY) + " -y -o " + shellQuote(output) + " " + shellQuote(archive),
        &result.log, false);
    // Reading every member to its end makes zipfile compare its CRC-32 and size.
    std::string script =
        "import sys, zipfile, zlib\n"
        "with zipfile.ZipFile(sys.argv[1]) as archive:\n"
        "    for info in archive.infolist():\n"
        "        crc, size = 0, 0\n"
        "        with archive.open(info) as member:\n"
        "            while True:\n"
        "                block = member.read(1 << 22)\n"
        "                if not block: break\n"
        "                crc, size = zlib.crc32(block, crc), size + len(block)\n"
        "        print(info.filename, size, crc, info.extract_version)\n";
    writeWholeFile(dir.file("list.py"), script);
    std::string listing;
    result.listingStatus = runCommand(
        "python3 " + shellQuote(dir.file("list.py")) + " " + shellQuote(output), &listing);
    std::istringstream lines(listing);
    std::string name, rest;
    while (lines >> name && std::getline(lines, rest)) result.listing[name] = rest.substr(1);
    return result;
}

std::string describe(uint64_t size, uint32_t crc, int version) {
    return std::to_string(size) + " " + std::to_string(crc) + " " + std::to_string(version);
}

void expectReadersAccept(const TempDir& dir) {
    std::string output = dir.file("Salvaged.zip");
    std::string log;
    EXPECT_EQ(runCommand("unzip -tqq " + shellQuote(output), &log), 0) << log;
    if (haveCommand("7z")) {
        EXPECT_EQ(runCommand("7z t " + shellQuote(output), &log), 0) << log;
    } else {
        std::printf("7z is absent: the output is not tested with it\n");
    }
}

bool requested(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && std::string(value) == "1";
}

constexpr const char* kBigEntrySkip = "takes minutes: set ZIPSALVAGE_BIG_ENTRY_TESTS=1 to run it";

#define SKIP_UNLESS_BIG_ENTRIES_WANTED() \
    if (!requested("ZIPSALVAGE_BIG_ENTRY_TESTS")) GTEST_SKIP() << kBigEntrySkip

bool haveTools() { return haveCommand("unzip") && haveCommand("python3"); }

#define SKIP_WITHOUT_TOOLS() \
    if (!haveTools()) GTEST_SKIP() << "unzip or python3 is absent"

Bytes smallEntryAfter() { return localRecord({"after.txt", makeText(5000, 7)}); }
const std::string kAfterListing = describe(5000, crc32Of(makeText(5000, 7)), 20);

TEST(BigArchives, StoredEntryOf2Point5GiBNeedsNoZip64AndTheEntryAfterItSurvives) {
    SKIP_UNLESS_BIG_ENTRIES_WANTED();
    SKIP_WITHOUT_TOOLS();
    TempDir dir;
    const uint64_t size = 5 * kGiB / 2;
    writeSparseArchive(dir.file("big.zip"), {{"zeros.dat", size}}, smallEntryAfter());
    Salvaged result = salvage(dir, dir.file("big.zip"));
    EXPECT_EQ(result.status, 0) << result.log;
    EXPECT_NE(result.log.find("    zeros.dat: size = 2684354560:  OK\n"), std::string::npos)
        << result.log;
    EXPECT_EQ(result.listing["zeros.dat"], describe(size, crc32OfZeros(size), 20));
    EXPECT_EQ(result.listing["after.txt"], kAfterListing);
    expectReadersAccept(dir);
}

TEST(BigArchives, Zip64EntryOf4Point5GiBIsDecodedAndWrittenWithZip64) {
    SKIP_UNLESS_BIG_ENTRIES_WANTED();
    SKIP_WITHOUT_TOOLS();
    TempDir dir;
    const uint64_t size = 9 * kGiB / 2;
    writeSparseArchive(dir.file("big.zip"), {{"zeros.dat", size}}, smallEntryAfter());
    Salvaged result = salvage(dir, dir.file("big.zip"));
    EXPECT_EQ(result.status, 0) << result.log;
    EXPECT_NE(result.log.find("    zeros.dat: size = 4831838208:  OK\n"), std::string::npos)
        << result.log;
    EXPECT_EQ(result.listing["zeros.dat"], describe(size, crc32OfZeros(size), 45));
    EXPECT_EQ(result.listing["after.txt"], kAfterListing) << "version 45 on Zip64 entries only";
    expectReadersAccept(dir);
}

TEST(BigArchives, SeventyThousandEntriesGetTheZip64EndRecord) {
    SKIP_WITHOUT_TOOLS();
    TempDir dir;
    std::string make =
        "import sys, zipfile\n"
        "with zipfile.ZipFile(sys.argv[1], 'w') as archive:\n"
        "    for index in range(70000):\n"
        "        archive.writestr('d%02d/f%05d.txt' % (index // 1000, index), 'entry %d\\n' % "
        "index)\n";
    writeWholeFile(dir.file("make.py"), make);
    ASSERT_EQ(runCommand("python3 " + shellQuote(dir.file("make.py")) + " " +
                         shellQuote(dir.file("many.zip"))),
              0);
    Salvaged result = salvage(dir, dir.file("many.zip"));
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.log.find("  70000 files found"), std::string::npos);
    EXPECT_EQ(result.listing.size(), 70000u);
    EXPECT_EQ(
        result.listing["d69/f69999.txt"],
        describe(12, crc32Of(Bytes{'e', 'n', 't', 'r', 'y', ' ', '6', '9', '9', '9', '9', '\n'}),
                 20));
    Bytes output = readWholeFile(dir.file("Salvaged.zip"));
    size_t size = output.size();
    ASSERT_GT(size, 98u);
    const uint8_t* zip64End = output.data() + size - 98;
    EXPECT_EQ(loadLE32(zip64End), 0x06064B50u);
    EXPECT_EQ(loadLE64(zip64End + 24), 70000u);
    EXPECT_EQ(loadLE64(zip64End + 32), 70000u);
    EXPECT_EQ(loadLE16(output.data() + size - 22 + 10), 0xFFFF);
    std::string log;
    EXPECT_EQ(runCommand("unzip -tqq " + shellQuote(dir.file("Salvaged.zip")), &log), 0) << log;
}

TEST(BigArchives, ZipFzAndPythonZip64LocalHeadersComeThroughWhole) {
    SKIP_WITHOUT_TOOLS();
    if (!haveCommand("zip")) GTEST_SKIP() << "zip is absent";
    TempDir dir;
    writeWholeFile(dir.file("text.txt"), makeText(300000, 1));
    writeWholeFile(dir.file("noise.bin"), makeRandom(70000, 2));
    ASSERT_EQ(runCommand("cd " + shellQuote(dir.path) + " && zip -q -fz fz.zip text.txt noise.bin"),
              0);
    std::string make =
        "import sys, zipfile\n"
        "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as archive:\n"
        "    for name in ('text.txt', 'noise.bin'):\n"
        "        with open(sys.argv[2] + '/' + name, 'rb') as source, "
        "archive.open(name, 'w', force_zip64=True) as member:\n"
        "            member.write(source.read())\n";
    writeWholeFile(dir.file("make.py"), make);
    ASSERT_EQ(runCommand("python3 " + shellQuote(dir.file("make.py")) + " " +
                         shellQuote(dir.file("py.zip")) + " " + shellQuote(dir.path)),
              0);
    for (const char* archive : {"fz.zip", "py.zip"}) {
        Salvaged result = salvage(dir, dir.file(archive));
        EXPECT_EQ(result.status, 0) << archive << "\n" << result.log;
        EXPECT_EQ(result.listing["text.txt"], describe(300000, crc32Of(makeText(300000, 1)), 20))
            << archive;
        EXPECT_EQ(result.listing["noise.bin"], describe(70000, crc32Of(makeRandom(70000, 2)), 20))
            << archive;
        expectReadersAccept(dir);
    }
}

TEST(BigArchives, OutputOver4GiBGetsZip64OffsetsOnRequest) {
    if (!requested("ZIPSALVAGE_BIG_OUTPUT_TEST"))
        GTEST_SKIP() << "writes about 5 GiB: set ZIPSALVAGE_BIG_OUTPUT_TEST=1 to run it";
    SKIP_WITHOUT_TOOLS();
    TempDir dir;
    // Names ending in .jpg are stored again, so the output really is as big as the input.
    std::vector<ZeroEntry> members;
    for (int index = 0; index < 5; ++index)
        members.push_back({"member" + std::to_string(index) + ".jpg", kGiB});
    writeSparseArchive(dir.file("big.zip"), members, smallEntryAfter());
    Salvaged result = salvage(dir, dir.file("big.zip"));
    EXPECT_EQ(result.status, 0) << result.log;
    for (const ZeroEntry& member : members)
        EXPECT_EQ(result.listing[member.name], describe(kGiB, crc32OfZeros(kGiB), 20));
    EXPECT_EQ(result.listing["after.txt"], describe(5000, crc32Of(makeText(5000, 7)), 45))
        << "its local header lies beyond 4 GiB";
    expectReadersAccept(dir);
}

}  // namespace
}  // namespace zipsalvage::testing
