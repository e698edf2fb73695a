// The built program over bzip2, LZMA, xz and zstd entries (methods 12, 14, 95, 93) from the
// writers that make them: 7z, zip, Python's zipfile (also streamed, to a pipe), and records
// built around the zstd tool's output, since no writer here makes method 93. Intact ones come
// out whole; cut ones keep at least what the method's own library decodes from the same prefix.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "core/little_endian.h"
#include "tests/support/test_files.h"
#include "tests/support/zip_builder.h"

namespace zipsalvage::testing {
namespace {

// Writes the entries of `sys.argv[2:]` in method `sys.argv[1]` (bzip2 or lzma) to standard
// output, or to in.zip; to a pipe, zipfile streams them (flag bit 3, data descriptors, and for
// LZMA the end marker, flag bit 1).
constexpr const char* kPythonWriter = R"(
import sys, zipfile
method = zipfile.ZIP_BZIP2 if sys.argv[1] == 'bzip2' else zipfile.ZIP_LZMA
target = sys.stdout.buffer if sys.argv[2] == '-' else sys.argv[2]
with zipfile.ZipFile(target, 'w', method, compresslevel=1) as archive:
    for name in sys.argv[3:]:
        archive.write(name)
)";

// What the method's reference decoder gives from a cut copy of an entry's data: argv[1] the
// method, argv[2] the data's prefix, argv[3] where its output goes. LZMA (method 14) goes
// through the .lzma format: the zip header's properties, then an unknown size (end marker) or
// the size in argv[4].
constexpr const char* kReferenceDecoder = R"(
import bz2, lzma, struct, subprocess, sys
method, data = int(sys.argv[1]), open(sys.argv[2], 'rb').read()
if method == 12:
    out = bz2.BZ2Decompressor().decompress(data)
elif method == 95:
    out = lzma.LZMADecompressor(lzma.FORMAT_XZ).decompress(data)
elif method == 14:
    size = int(sys.argv[4]) if len(sys.argv) > 4 else 2**64 - 1
    out = lzma.LZMADecompressor(lzma.FORMAT_ALONE).decompress(
        data[4:9] + struct.pack('<Q', size) + data[9:])
else:
    out = subprocess.run(['zstd', '-dc', sys.argv[2]], capture_output=True).stdout
open(sys.argv[3], 'wb').write(out)
)";

// Prints each entry of an archive as "name|content length", the content then written to
// x/<name>.
constexpr const char* kExtractor = R"(
import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as archive:
    for info in archive.infolist():
        data = archive.read(info)
        os.makedirs('x', exist_ok=True)
        open('x/' + info.filename, 'wb').write(data)
        print('%s|%d' % (info.filename, len(data)))
)";

struct Shop {
    TempDir dir;
    std::string log;
    std::vector<std::pair<std::string, Bytes>> files;

    Shop() {
        files.push_back({"text.txt", makeText(400000, 81)});
        files.push_back({"random.bin", makeRandom(90000, 82)});
        files.push_back({"zeros.bin", Bytes(150000, 0)});
        for (const auto& [name, bytes] : files) writeWholeFile(dir.file(name), bytes);
        writeWholeFile(dir.file("write.py"), std::string(kPythonWriter));
        writeWholeFile(dir.file("reference.py"), std::string(kReferenceDecoder));
        writeWholeFile(dir.file("extract.py"), std::string(kExtractor));
    }
    std::string names() const {
        std::string joined;
        for (const auto& file : files) joined += " " + file.first;
        return joined;
    }
    int run(const std::string& command, std::string* output = nullptr) const {
        return runCommand("cd " + shellQuote(dir.path) + " && " + command, output);
    }
    int salvage(const std::string& archive) {
        log.clear();
        return runCommand(std::string(ZIPSALVAGE_BINARY) + " -y -o " +
                              shellQuote(dir.file("out.zip")) + " " + shellQuote(dir.file(archive)),
                          &log, false);
    }
    // The salvaged entry `name`'s content, read back by Python's zipfile.
    Bytes salvaged(const std::string& name) const {
        std::string listed;
        run("rm -rf x && python3 extract.py out.zip", &listed);
        std::string path = dir.file("x/" + name);
        return pathExists(path) ? readWholeFile(path) : Bytes();
    }
    // An archive of the sources, one zstd entry each (method 93), the tool's output as data.
    Bytes zstdArchive() const {
        std::vector<TestEntry> entries;
        for (const auto& [name, bytes] : files) {
            EXPECT_EQ(run("zstd -q -f -3 " + name + " -o " + name + ".zst"), 0);
            TestEntry entry{name, readWholeFile(dir.file(name + ".zst"))};
            entry.method = 93;
            entry.crc32 = crc32Of(bytes);
            entry.uncompressedSize = static_cast<int64_t>(bytes.size());
            entries.push_back(entry);
        }
        return buildArchive(entries);
    }
};

bool haveTools() {
    return haveCommand("7z") && haveCommand("python3") && haveCommand("zip") && haveCommand("zstd");
}

#define REQUIRE_TOOLS() \
    if (!haveTools()) GTEST_SKIP() << "7z (p7zip-full), zip, zstd or python3 is missing"

// The archives every test here takes apart: file name, how it is made, the method it holds.
struct Writer {
    const char* archive;
    const char* command;  // empty: the zstd archive built by the test
    uint16_t method;
};

const std::vector<Writer>& writers() {
    static const std::vector<Writer> all = {
        {"7z-bzip2.zip", "7z a -tzip -mm=BZip2 -mx=1 7z-bzip2.zip", 12},
        {"7z-lzma.zip", "7z a -tzip -mm=LZMA 7z-lzma.zip", 14},
        {"7z-xz.zip", "7z a -tzip -mm=XZ 7z-xz.zip", 95},
        {"zip-bzip2.zip", "zip -q -1 -Z bzip2 zip-bzip2.zip", 12},
        {"py-bzip2.zip", "python3 write.py bzip2 py-bzip2.zip", 12},
        {"py-lzma.zip", "python3 write.py lzma py-lzma.zip", 14},
        {"py-bzip2-streamed.zip", "python3 write.py bzip2 - {} | cat > py-bzip2-streamed.zip", 12},
        {"py-lzma-streamed.zip", "python3 write.py lzma - {} | cat > py-lzma-streamed.zip", 14},
        {"zstd.zip", "", 93},
    };
    return all;
}

bool makeArchive(Shop& shop, const Writer& writer) {
    if (writer.command[0] == '\0') {
        writeWholeFile(shop.dir.file(writer.archive), shop.zstdArchive());
        return true;
    }
    std::string command = writer.command;
    size_t slot = command.find("{}");
    if (slot != std::string::npos) {
        command.replace(slot, 2, shop.names().substr(1));
    } else {
        command += shop.names();
    }
    std::string output;
    int status = shop.run(command, &output);
    EXPECT_EQ(status, 0) << command << "\n" << output;
    return status == 0;
}

TEST(LibraryMethods, EveryWritersEntriesComeOutWholeWithACleanLog) {
    REQUIRE_TOOLS();
    Shop shop;
    for (const Writer& writer : writers()) {
        SCOPED_TRACE(writer.archive);
        ASSERT_TRUE(makeArchive(shop, writer));
        EXPECT_EQ(shop.salvage(writer.archive), 0) << shop.log;
        EXPECT_EQ(shop.log.find("WARNING"), std::string::npos) << shop.log;
        EXPECT_EQ(shop.log.find("ERROR"), std::string::npos) << shop.log;
        for (const auto& [name, bytes] : shop.files) {
            EXPECT_TRUE(shop.salvaged(name) == bytes) << name << " differs\n" << shop.log;
        }
        // Decoded and re-encoded: the output holds stored and deflated entries only.
        std::string methods;
        shop.run("unzip -Z -v out.zip | grep 'compression method'", &methods);
        EXPECT_EQ(methods.find("bzip"), std::string::npos) << methods;
        EXPECT_EQ(methods.find("unknown"), std::string::npos) << methods;
    }
}

// The local header, name and extra of the archive's first entry end at the returned offset.
size_t firstDataStart(const Bytes& archive) {
    return 30 + loadLE16(archive.data() + 26) + loadLE16(archive.data() + 28);
}

TEST(LibraryMethods, CutEntriesKeepAtLeastWhatTheLibraryDecodesFromTheSamePrefix) {
    REQUIRE_TOOLS();
    Shop shop;
    // One entry per archive, so the cut lies in its data.
    shop.files.resize(1);
    for (const Writer& writer : writers()) {
        if (std::string(writer.archive).find("streamed") != std::string::npos) continue;
        SCOPED_TRACE(writer.archive);
        ASSERT_TRUE(makeArchive(shop, writer));
        Bytes archive = readWholeFile(shop.dir.file(writer.archive));
        const size_t dataStart = firstDataStart(archive);
        const size_t dataSize = loadLE32(archive.data() + 18);
        const Bytes& source = shop.files[0].second;
        for (size_t percent : {3, 40, 75, 99}) {
            SCOPED_TRACE(percent);
            size_t kept = dataSize * percent / 100;
            Bytes prefix(archive.begin() + static_cast<std::ptrdiff_t>(dataStart),
                         archive.begin() + static_cast<std::ptrdiff_t>(dataStart + kept));
            writeWholeFile(shop.dir.file("prefix"), prefix);
            std::string size = (loadLE16(archive.data() + 6) & 2) != 0
                                   ? std::string()
                                   : " " + std::to_string(source.size());
            ASSERT_EQ(shop.run("python3 reference.py " + std::to_string(writer.method) +
                               " prefix reference" + size),
                      0);
            Bytes reference = readWholeFile(shop.dir.file("reference"));
            archive.resize(dataStart + kept);
            writeWholeFile(shop.dir.file("cut.zip"), archive);
            archive = readWholeFile(shop.dir.file(writer.archive));
            EXPECT_EQ(shop.salvage("cut.zip"), 1) << shop.log;
            EXPECT_NE(shop.log.find("ERROR: File text.txt is corrupt.  Salvaged "),
                      std::string::npos)
                << shop.log;
            Bytes salvaged = shop.salvaged("text.txt");
            EXPECT_GE(salvaged.size(), reference.size()) << shop.log;
            EXPECT_TRUE(Bytes(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(
                                                                   salvaged.size())) == salvaged)
                << "the kept bytes are not the file's first ones";
        }
    }
}

// A byte changed inside an xz or zstd entry fails its check (or its decoding): damage, never
// passed as whole, and what decoded before it is kept.
TEST(LibraryMethods, ChangedDataFailsTheMethodsOwnCheck) {
    REQUIRE_TOOLS();
    Shop shop;
    shop.files.resize(1);
    for (const Writer& writer : writers()) {
        if (writer.method != 95 && writer.method != 93) continue;
        SCOPED_TRACE(writer.archive);
        ASSERT_TRUE(makeArchive(shop, writer));
        Bytes archive = readWholeFile(shop.dir.file(writer.archive));
        const size_t dataStart = firstDataStart(archive);
        const size_t dataSize = loadLE32(archive.data() + 18);
        archive[dataStart + dataSize * 2 / 3] ^= 0x10;
        writeWholeFile(shop.dir.file("changed.zip"), archive);
        EXPECT_EQ(shop.salvage("changed.zip"), 1) << shop.log;
        EXPECT_NE(shop.log.find("ERROR: File text.txt is corrupt."), std::string::npos) << shop.log;
    }
}

// A damaged LZMA header's dictionary size (4 GiB) is more than liblzma may allocate; no distance
// reaches further back than the entry's size, and the entry still decodes whole (with an end
// marker or without). Where the recorded size is damaged too (1 GiB, itself beyond the limit),
// the dictionary the limit allows still gives every byte of the data.
TEST(LibraryMethods, AnOversizedLzmaDictionaryStillDecodes) {
    REQUIRE_TOOLS();
    Shop shop;
    shop.files.resize(1);
    for (const Writer& writer : writers()) {
        if (writer.method != 14) continue;
        SCOPED_TRACE(writer.archive);
        ASSERT_TRUE(makeArchive(shop, writer));
        Bytes archive = readWholeFile(shop.dir.file(writer.archive));
        // The 4-byte version and length, the lc/lp/pb byte, then the dictionary size.
        storeLE32(archive.data() + firstDataStart(archive) + 5, 0xFFFFFFFFu);
        writeWholeFile(shop.dir.file("dictionary.zip"), archive);
        EXPECT_EQ(shop.salvage("dictionary.zip"), 0) << shop.log;
        EXPECT_TRUE(shop.salvaged("text.txt") == shop.files[0].second) << shop.log;
        if ((archive[6] & 8) != 0) continue;  // a streamed entry's descriptor says the size
        // In the local header and the directory's record alike (either would be believed); the
        // one record begins where the end record (no comment) says.
        const size_t record = loadLE32(archive.data() + archive.size() - 22 + 16);
        storeLE32(archive.data() + 22, 1u << 30);
        storeLE32(archive.data() + record + 24, 1u << 30);
        writeWholeFile(shop.dir.file("dictionary.zip"), archive);
        EXPECT_EQ(shop.salvage("dictionary.zip"), 1) << shop.log;
        EXPECT_EQ(shop.log.find("Not enough memory"), std::string::npos) << shop.log;
        EXPECT_TRUE(shop.salvaged("text.txt") == shop.files[0].second) << shop.log;
    }
}

// Where the bzip2 block magics (48 bits, bit-aligned) begin in `data`, in bits.
std::vector<size_t> bzip2BlockStarts(const Bytes& data, size_t from, size_t to) {
    std::vector<size_t> starts;
    uint64_t recent = 0;
    for (size_t bit = from * 8; bit < to * 8; ++bit) {
        recent = (recent << 1 | ((data[bit / 8] >> (7 - bit % 8)) & 1u)) & 0xFFFFFFFFFFFFull;
        if (recent == 0x314159265359ull) starts.push_back(bit - 47 - from * 8);
    }
    return starts;
}

// A byte changed in the second of four or more 100k blocks: the blocks before and behind it come
// out at their offsets, the damaged block's span is zeros, and the log and the report name it.
TEST(LibraryMethods, BlocksBehindADamagedBzip2BlockLandAtTheirOffsets) {
    REQUIRE_TOOLS();
    Shop shop;
    shop.files.resize(1);  // text.txt, 400000 bytes: four or five blocks at level 1
    ASSERT_TRUE(makeArchive(shop, writers()[4]));
    Bytes archive = readWholeFile(shop.dir.file("py-bzip2.zip"));
    const size_t dataStart = firstDataStart(archive);
    const size_t dataSize = loadLE32(archive.data() + 18);
    std::vector<size_t> starts = bzip2BlockStarts(archive, dataStart, dataStart + dataSize);
    ASSERT_GE(starts.size(), 4u);
    archive[dataStart + (starts[1] + starts[2]) / 16] ^= 0x55;
    writeWholeFile(shop.dir.file("damaged.zip"), archive);
    shop.log.clear();
    EXPECT_EQ(runCommand(std::string(ZIPSALVAGE_BINARY) + " -y -o " +
                             shellQuote(shop.dir.file("out.zip")) + " --report " +
                             shellQuote(shop.dir.file("report.json")) + " " +
                             shellQuote(shop.dir.file("damaged.zip")),
                         &shop.log, false),
              1);
    EXPECT_NE(shop.log.find("ERROR: text.txt: "), std::string::npos) << shop.log;
    // The whole line, to its closing offsets: a text cut at the string loader's limit is not.
    EXPECT_TRUE(
        std::regex_search(shop.log, std::regex("spans are zeros, not decoded \\(the first from "
                                               "offset [0-9]+ to [0-9]+\\)\n")))
        << shop.log;
    Bytes reportBytes = readWholeFile(shop.dir.file("report.json"));
    std::string report(reportBytes.begin(), reportBytes.end());
    size_t at = report.find("\"unknown_ranges\":[[");
    ASSERT_NE(at, std::string::npos) << report;
    unsigned long long start = 0, end = 0;
    ASSERT_EQ(std::sscanf(report.c_str() + at, "\"unknown_ranges\":[[%llu,%llu]]", &start, &end), 2)
        << report;

    const Bytes& source = shop.files[0].second;
    Bytes salvaged = shop.salvaged("text.txt");
    ASSERT_EQ(salvaged.size(), source.size());
    // The damaged block is the second, some 100k long.
    EXPECT_GT(start, 90000u);
    EXPECT_LT(end - start, 110000u);
    EXPECT_LT(end, source.size() - 150000);
    for (size_t index = 0; index < source.size(); ++index) {
        const bool unknown = index >= start && index < end;
        if (unknown ? salvaged[index] != 0 : salvaged[index] != source[index]) {
            ADD_FAILURE() << "byte " << index << " is wrong (unknown: " << unknown << ")";
            break;
        }
    }
}

}  // namespace
}  // namespace zipsalvage::testing
