// The undo of text-mode transfers over archives from two writers, against what zip -FF, 7z and
// unzip recover from the same converted files, all in one run.
//
// The corpus is gathered from the machine: text (headers, documentation) and binaries
// (programs, libraries). Each of zip and Python's zipfile writes three archives of it:
// deflated text, deflated binary and stored binary. Each archive is converted the three ways
// (every LF to CR LF; unix2dos: lone LFs to CR LF; dos2unix: CR LF to LF), and for each:
//   - ours: the detection and undo in memory; an entry is whole when its record in the undone
//     archive is the original's byte for byte;
//   - unzip, 7z x, zip -FF followed by unzip, and the program (its Salvaged.zip unpacked by
//     unzip): an entry is whole when a file of its name comes out with its CRC-32;
//   - the undo's cost: its time against an ordinary decode of the same entries (every entry of
//     the original archive decoded once into memory), and the work the searches report against
//     the bytes an ordinary decode reads and writes.
// Control archives (intact ones, stored text with CR LF line ends among them) must be left alone.
//
//   text_transfer_bench [FILES_PER_KIND]     (default 60)
// With TEXT_TRANSFER_BENCH_VERBOSE set, every entry the undo did not make whole is listed; with
// TEXT_TRANSFER_BENCH_KEEP=FOLDER, each converted archive with such an entry is kept there.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/crc32.h"
#include "core/little_endian.h"
#include "extract/text_transfer_archive.h"
#include "extract/text_transfer_candidate.h"
#include "platform/platform.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;
using zipsalvage::LineEndChange;

Bytes readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Through the platform layer, as the program writes its files.
void writeBytes(const fs::path& path, const Bytes& bytes) {
    zipsalvage::FileHandle file = zipsalvage::createReadWrite(path.string().c_str());
    if (file == zipsalvage::kInvalidFile ||
        zipsalvage::writeFile(file, bytes.data(), static_cast<uint32_t>(bytes.size())) !=
            bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", path.string().c_str());
    }
    zipsalvage::closeFile(file);
}

uint32_t crcOf(const Bytes& bytes) {
    return ~zipsalvage::crc32Update(0xFFFFFFFFu, bytes.data(), bytes.size());
}

double ratio(uint64_t part, uint64_t whole) {
    return whole == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(whole);
}
double percent(uint64_t part, uint64_t whole) { return 100.0 * ratio(part, whole); }

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

bool haveTool(const char* name) {
    return run(std::string("command -v ") + name + " >/dev/null 2>&1");
}

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// Up to `count` regular files of `minSize`..`maxSize` bytes under `roots`, spread over the
// sorted list so that one folder does not fill the quota.
std::vector<fs::path> gather(const std::vector<const char*>& roots, size_t count, uintmax_t minSize,
                             uintmax_t maxSize, bool textOnly) {
    std::vector<fs::path> found;
    for (const char* root : roots) {
        std::error_code error;
        for (auto it = fs::recursive_directory_iterator(
                 root, fs::directory_options::skip_permission_denied, error);
             it != fs::recursive_directory_iterator(); it.increment(error)) {
            if (error) break;
            if (!it->is_regular_file(error) || it->is_symlink(error)) continue;
            uintmax_t size = it->file_size(error);
            if (error || size < minSize || size > maxSize) continue;
            std::string extension = it->path().extension().string();
            if (textOnly && extension != ".h" && extension != ".txt" && extension != "" &&
                extension != ".html" && extension != ".py" && extension != ".md") {
                continue;
            }
            if (extension == ".gz" || extension == ".xz" || extension == ".zip") continue;
            found.push_back(it->path());
        }
    }
    std::sort(found.begin(), found.end());
    if (found.size() <= count) return found;
    std::vector<fs::path> spread;
    for (size_t index = 0; index < count; ++index)
        spread.push_back(found[index * found.size() / count]);
    return spread;
}

struct OriginalEntry {
    std::string name;
    uint32_t crc32 = 0;
    uint64_t recordStart = 0;  // local header offset
    uint64_t recordEnd = 0;    // the next record's offset
    uint16_t method = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    uint64_t dataStart = 0;
};

// The entries of an intact archive from its end record and central directory.
std::vector<OriginalEntry> listEntries(const Bytes& archive) {
    std::vector<OriginalEntry> entries;
    if (archive.size() < 22) return entries;
    size_t end = archive.size() - 22;
    while (end > 0 && zipsalvage::loadLE32(archive.data() + end) != 0x06054B50) --end;
    uint64_t directory = zipsalvage::loadLE32(archive.data() + end + 16);
    size_t at = directory;
    while (at + 46 <= end && zipsalvage::loadLE32(archive.data() + at) == 0x02014B50) {
        const uint8_t* record = archive.data() + at;
        OriginalEntry entry;
        size_t nameLength = zipsalvage::loadLE16(record + 28);
        entry.name.assign(reinterpret_cast<const char*>(record + 46), nameLength);
        entry.method = zipsalvage::loadLE16(record + 10);
        entry.crc32 = zipsalvage::loadLE32(record + 16);
        entry.compressedSize = zipsalvage::loadLE32(record + 20);
        entry.uncompressedSize = zipsalvage::loadLE32(record + 24);
        entry.recordStart = zipsalvage::loadLE32(record + 42);
        const uint8_t* local = archive.data() + entry.recordStart;
        entry.dataStart = entry.recordStart + 30 + zipsalvage::loadLE16(local + 26) +
                          zipsalvage::loadLE16(local + 28);
        entries.push_back(entry);
        at +=
            46 + nameLength + zipsalvage::loadLE16(record + 30) + zipsalvage::loadLE16(record + 32);
    }
    std::sort(entries.begin(), entries.end(), [](const OriginalEntry& a, const OriginalEntry& b) {
        return a.recordStart < b.recordStart;
    });
    for (size_t index = 0; index < entries.size(); ++index) {
        entries[index].recordEnd =
            index + 1 < entries.size() ? entries[index + 1].recordStart : directory;
    }
    return entries;
}

// Files under `folder` (recursively) whose name and CRC-32 are an entry's.
size_t wholeFilesIn(const fs::path& folder, const std::vector<OriginalEntry>& entries) {
    size_t whole = 0;
    for (const OriginalEntry& entry : entries) {
        fs::path file = folder / entry.name;
        std::error_code error;
        if (!fs::is_regular_file(file, error)) continue;
        Bytes content = readBytes(file);
        if (content.size() == entry.uncompressedSize && crcOf(content) == entry.crc32) ++whole;
    }
    return whole;
}

struct Archive {
    std::string label;
    Bytes bytes;
    std::vector<OriginalEntry> entries;
    bool control = false;  // intact: must be left alone
};

struct Row {
    size_t entries = 0;
    size_t ours = 0;
    size_t unzip = 0;
    size_t sevenZip = 0;
    size_t zipFF = 0;
    size_t program = 0;  // whole in the program's Salvaged.zip
    double ourSeconds = 0;
    double ordinarySeconds = 0;
    uint64_t work = 0;
    uint64_t ordinaryWork = 0;
    double worstEntryWork = 0;
    size_t detected = 0;  // archives taken for the change applied
    size_t archives = 0;
};

// An ordinary decode: every entry of the intact archive decoded once into memory.
double ordinaryDecodeSeconds(const Archive& archive) {
    auto start = std::chrono::steady_clock::now();
    for (const OriginalEntry& entry : archive.entries) {
        zipsalvage::TransferredEntry facts;
        facts.method = entry.method;
        facts.compressedSize = entry.compressedSize;
        facts.uncompressedSize = entry.uncompressedSize;
        facts.crc32 = entry.crc32;
        uint64_t work = 0;
        if (!zipsalvage::decodesWhole(facts, archive.bytes.data() + entry.dataStart,
                                      entry.compressedSize, work)) {
            std::fprintf(stderr, "warning: %s does not decode whole\n", entry.name.c_str());
        }
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

const char* changeName(LineEndChange change) {
    switch (change) {
        case LineEndChange::kEveryLfToCrLf:
            return "LF -> CR LF (every)";
        case LineEndChange::kLoneLfToCrLf:
            return "LF -> CR LF (unix2dos)";
        case LineEndChange::kCrLfToLf:
            return "CR LF -> LF (dos2unix)";
        default:
            return "none";
    }
}

// The tools' results on the converted file.
void runTools(const fs::path& work, const Bytes& converted,
              const std::vector<OriginalEntry>& entries, bool haveSevenZip, Row& row) {
    fs::path file = work / "converted.zip";
    writeBytes(file, converted);
    for (const char* folder : {"out-unzip", "out-7z", "out-ff"}) fs::remove_all(work / folder);
    run("unzip -qq -o " + quoted(file) + " -d " + quoted(work / "out-unzip") + " >/dev/null 2>&1");
    row.unzip += wholeFilesIn(work / "out-unzip", entries);
    if (haveSevenZip) {
        run("7z x -y -bso0 -bse0 -bsp0 -o" + quoted(work / "out-7z") + " " + quoted(file) +
            " >/dev/null 2>&1");
        row.sevenZip += wholeFilesIn(work / "out-7z", entries);
    }
    fs::path fixed = work / "fixed.zip";
    fs::remove(fixed);
    run("yes | zip -FF " + quoted(file) + " --out " + quoted(fixed) + " >/dev/null 2>&1");
    run("unzip -qq -o " + quoted(fixed) + " -d " + quoted(work / "out-ff") + " >/dev/null 2>&1");
    row.zipFF += wholeFilesIn(work / "out-ff", entries);
    // The program itself, as a user runs it: the salvaged archive, unpacked by unzip.
    fs::path salvaged = work / "salvaged.zip";
    fs::remove_all(work / "out-zs");
    fs::remove(salvaged);
    run(std::string(ZIPSALVAGE_PROGRAM) + " -qy -o " + quoted(salvaged) + " " + quoted(file) +
        " >/dev/null 2>&1");
    run("unzip -qq -o " + quoted(salvaged) + " -d " + quoted(work / "out-zs") + " >/dev/null 2>&1");
    row.program += wholeFilesIn(work / "out-zs", entries);
}

void undoWithOurs(const Archive& archive, LineEndChange change, const Bytes& converted, Row& row) {
    auto start = std::chrono::steady_clock::now();
    zipsalvage::MemoryArchive memory{converted.data(), converted.size()};
    zipsalvage::ArchiveBytes bytes = zipsalvage::memoryArchiveBytes(memory);
    zipsalvage::TransferVerdict verdict = zipsalvage::detectLineEndChange(bytes);
    zipsalvage::ArchiveTransferUndo undo = zipsalvage::undoArchiveTransfer(bytes, verdict.change);
    Bytes undone = zipsalvage::undoAll(undo.undo, converted.data(), converted.size());
    row.ourSeconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The two changes to CR LF read alike when the archive held no CR LF of its own, and an
    // archive without CR LF comes through a change to LF as it was.
    bool toCrLf = change != LineEndChange::kCrLfToLf;
    bool detected = verdict.change == change ||
                    (toCrLf && verdict.change != LineEndChange::kNone &&
                     verdict.change != LineEndChange::kCrLfToLf && undone == archive.bytes) ||
                    (verdict.change == LineEndChange::kNone && converted == archive.bytes);
    row.detected += detected ? 1 : 0;
    ++row.archives;
    // An entry is whole when its record (local header and data) is in the undone archive byte
    // for byte; an entry left as it was before it may have moved it by a few bytes.
    constexpr uint64_t kDrift = 4096;
    for (const OriginalEntry& entry : archive.entries) {
        auto recordBegin = archive.bytes.begin() + static_cast<long>(entry.recordStart);
        auto recordEnd = archive.bytes.begin() + static_cast<long>(entry.recordEnd);
        uint64_t from = entry.recordStart > kDrift ? entry.recordStart - kDrift : 0;
        uint64_t to = std::min<uint64_t>(undone.size(), entry.recordEnd + kDrift);
        bool whole = from < to && std::search(undone.begin() + static_cast<long>(from),
                                              undone.begin() + static_cast<long>(to), recordBegin,
                                              recordEnd) != undone.begin() + static_cast<long>(to);
        row.ours += whole ? 1 : 0;
    }
    static const bool verbose = std::getenv("TEXT_TRANSFER_BENCH_VERBOSE") != nullptr;
    static const char* keep = std::getenv("TEXT_TRANSFER_BENCH_KEEP");
    static int kept = 0;
    if (keep != nullptr && row.ours < row.entries) {
        writeBytes(fs::path(keep) / ("failed-" + std::to_string(++kept) + "-" +
                                     std::to_string(static_cast<int>(change)) + ".zip"),
                   converted);
    }
    for (const zipsalvage::EntryTransfer& entry : undo.entries) {
        if (verbose && entry.verdict != zipsalvage::EntryUndoVerdict::kWhole) {
            std::printf(
                "    %s: entry at %llu not whole (verdict %d, %lld CRs back by the layout, work "
                "%.2fx)\n",
                archive.label.c_str(), static_cast<unsigned long long>(entry.convertedAt),
                static_cast<int>(entry.verdict), static_cast<long long>(entry.crsToPutBack),
                ratio(entry.work, entry.ordinaryWork));
        }
        row.work += entry.work;
        row.ordinaryWork += entry.ordinaryWork;
        if (entry.ordinaryWork > 0) {
            row.worstEntryWork =
                std::max(row.worstEntryWork, ratio(entry.work, entry.ordinaryWork));
        }
    }
}

// Writes the archives of one kind of content with zip and with Python.
void writeArchives(const fs::path& work, const std::string& kind,
                   const std::vector<fs::path>& files, bool stored, std::vector<Archive>& archives,
                   bool control = false, bool toCrLf = false) {
    fs::path stage = work / ("stage-" + kind);
    fs::remove_all(stage);
    fs::create_directories(stage);
    std::vector<std::string> names;
    for (size_t index = 0; index < files.size(); ++index) {
        char prefix[32];
        std::snprintf(prefix, sizeof prefix, "%03zu-", index);
        std::string name = prefix + files[index].filename().string();
        Bytes content = readBytes(files[index]);
        if (toCrLf)
            content = zipsalvage::applyLineEndChange(LineEndChange::kLoneLfToCrLf, content.data(),
                                                     content.size());
        writeBytes(stage / name, content);
        names.push_back(name);
    }
    fs::path zipFile = work / (kind + "-zip.zip");
    fs::path pythonFile = work / (kind + "-python.zip");
    fs::remove(zipFile);
    run("cd " + quoted(stage) + " && zip -q " + (stored ? "-0 " : "") + quoted(zipFile) + " *");
    run("cd " + quoted(stage) +
        " && python3 -c \"import zipfile,os,sys\n"
        "with zipfile.ZipFile(sys.argv[1],'w',zipfile." +
        (stored ? "ZIP_STORED" : "ZIP_DEFLATED") +
        ") as z:\n    [z.write(f) for f in sorted(os.listdir('.'))]\" " + quoted(pythonFile));
    for (const auto& [writer, file] :
         {std::pair{"zip", zipFile}, std::pair{"python", pythonFile}}) {
        Archive archive;
        archive.label = kind + " (" + writer + ")";
        archive.bytes = readBytes(file);
        archive.entries = listEntries(archive.bytes);
        archive.control = control;
        if (archive.entries.empty()) {
            std::fprintf(stderr, "could not write %s\n", archive.label.c_str());
            continue;
        }
        archives.push_back(std::move(archive));
    }
}

}  // namespace

int main(int argc, char** argv) {
    size_t perKind = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 60;
    if (!haveTool("zip") || !haveTool("unzip") || !haveTool("python3")) {
        std::fprintf(stderr, "text_transfer_bench needs zip, unzip and python3\n");
        return 1;
    }
    bool haveSevenZip = haveTool("7z");
    fs::path work = fs::temp_directory_path() /
                    ("text-transfer-bench-" + std::to_string(std::random_device{}()));
    fs::create_directories(work);

    std::vector<fs::path> text =
        gather({"/usr/include", "/usr/share/doc"}, perKind, 1024, 256 << 10, true);
    std::vector<fs::path> binary =
        gather({"/usr/bin", "/usr/lib/x86_64-linux-gnu"}, perKind, 4096, 1 << 20, false);
    std::vector<Archive> archives;
    writeArchives(work, "deflated-text", text, false, archives);
    writeArchives(work, "deflated-binary", binary, false, archives);
    writeArchives(work, "stored-binary", binary, true, archives);
    std::vector<Archive> controls;
    writeArchives(work, "stored-crlf-text", text, true, controls, true, true);
    writeArchives(work, "deflated-crlf-text", text, false, controls, true, true);

    std::printf("corpus: %zu text files, %zu binaries; %zu archives, 3 conversions each\n\n",
                text.size(), binary.size(), archives.size());
    std::printf("%-26s %-24s %7s %7s %7s %7s %7s %7s %9s %9s %9s\n", "archive", "conversion",
                "entries", "ours", "program", "unzip", "7z", "zip-FF", "time x", "work x",
                "worst x");
    std::map<LineEndChange, Row> totals;
    for (const Archive& archive : archives) {
        double ordinary = ordinaryDecodeSeconds(archive);
        for (LineEndChange change : {LineEndChange::kEveryLfToCrLf, LineEndChange::kLoneLfToCrLf,
                                     LineEndChange::kCrLfToLf}) {
            Bytes converted =
                zipsalvage::applyLineEndChange(change, archive.bytes.data(), archive.bytes.size());
            Row row;
            row.entries = archive.entries.size();
            row.ordinarySeconds = ordinary;
            undoWithOurs(archive, change, converted, row);
            runTools(work, converted, archive.entries, haveSevenZip, row);
            std::printf("%-26s %-24s %7zu %7zu %7zu %7zu %7s %7zu %9.2f %9.2f %9.2f\n",
                        archive.label.c_str(), changeName(change), row.entries, row.ours,
                        row.program, row.unzip,
                        haveSevenZip ? std::to_string(row.sevenZip).c_str() : "-", row.zipFF,
                        row.ourSeconds / row.ordinarySeconds, ratio(row.work, row.ordinaryWork),
                        row.worstEntryWork);
            Row& total = totals[change];
            total.entries += row.entries;
            total.ours += row.ours;
            total.unzip += row.unzip;
            total.sevenZip += row.sevenZip;
            total.zipFF += row.zipFF;
            total.program += row.program;
            total.ourSeconds += row.ourSeconds;
            total.ordinarySeconds += row.ordinarySeconds;
            total.work += row.work;
            total.ordinaryWork += row.ordinaryWork;
            total.worstEntryWork = std::max(total.worstEntryWork, row.worstEntryWork);
            total.detected += row.detected;
            total.archives += row.archives;
        }
    }
    std::printf("\nwhole entries by conversion (share of %s):\n", "all entries");
    std::printf("%-24s %9s %9s %9s %9s %9s %9s %9s %9s %9s\n", "conversion", "detected", "ours",
                "program", "unzip", "7z", "zip-FF", "time x", "work x", "worst x");
    for (const auto& [change, total] : totals) {
        std::printf("%-24s %4zu/%-4zu %8.1f%% %8.1f%% %8.1f%% %8.1f%% %8.1f%% %9.2f %9.2f %9.2f\n",
                    changeName(change), total.detected, total.archives,
                    percent(total.ours, total.entries), percent(total.program, total.entries),
                    percent(total.unzip, total.entries), percent(total.sevenZip, total.entries),
                    percent(total.zipFF, total.entries), total.ourSeconds / total.ordinarySeconds,
                    ratio(total.work, total.ordinaryWork), total.worstEntryWork);
    }
    size_t leftAlone = 0;
    std::vector<Archive> intact = archives;
    intact.insert(intact.end(), controls.begin(), controls.end());
    for (const Archive& archive : intact) {
        zipsalvage::MemoryArchive memory{archive.bytes.data(), archive.bytes.size()};
        leftAlone +=
            zipsalvage::detectLineEndChange(zipsalvage::memoryArchiveBytes(memory)).change ==
                    LineEndChange::kNone
                ? 1
                : 0;
    }
    std::printf(
        "\nintact archives read as they are: %zu of %zu (stored and deflated CR LF text among "
        "them)\n",
        leftAlone, intact.size());
    std::printf(
        "time x: our detection and undo against one ordinary decode of the same entries;\n"
        "work x: bytes the searches decoded and read against those of one ordinary decode;\n"
        "worst x: the same for the costliest entry.\n");
    fs::remove_all(work);
    return 0;
}
