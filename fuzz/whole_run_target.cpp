// The whole-run target: the input is the damaged archive; the salvage runs through the real
// files in a private folder and its output is read back by checkSalvagedArchive.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/salvage_run.h"
#include "fuzz/archive_check.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_targets.h"

namespace zipsalvage::fuzz {
namespace {

// The password the seed scripts encrypt with, so that encrypted entries reach the decoders.
constexpr const char* kSeedPassword = "salvage";

struct RunFolder {
    std::string path;  // with a trailing '/'
    RunFolder() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && base[0] ? base : "/tmp") + "/zipsalvage-fuzz-run-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path = pattern + "/";
    }
    ~RunFolder() {
        ::unlink((path + "damaged.zip").c_str());
        ::unlink((path + "Salvaged.zip").c_str());
        ::rmdir(path.c_str());
        removeRunTempFolder();
    }
};

bool writeBytes(const std::string& path, const uint8_t* data, size_t size) {
    FileHandle file = createReadWrite(path.c_str());
    if (file == kInvalidFile) return false;
    bool whole = true;
    while (size > 0 && whole) {
        uint32_t piece = size > (1u << 20) ? (1u << 20) : static_cast<uint32_t>(size);
        whole = writeFile(file, data, piece) == piece;
        data += piece;
        size -= piece;
    }
    closeFile(file);
    return whole;
}

std::vector<uint8_t> readBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    FileHandle file = openExistingForRead(path.c_str());
    if (file == kInvalidFile) return bytes;
    uint8_t piece[65536];
    while (uint32_t got = readFile(file, piece, sizeof piece))
        bytes.insert(bytes.end(), piece, piece + got);
    closeFile(file);
    return bytes;
}

struct LogCounts {
    uint64_t wholeLines = 0;     // "    name: size = n:  OK" or "    name: kept as it was ..."
    uint64_t copiesLeftOut = 0;  // entries in a method that is copied, cut short or unsized
};

}  // namespace

int fuzzWholeRun(const uint8_t* data, size_t size) {
    static RunFolder folder;
    std::string archivePath = folder.path + "damaged.zip";
    std::string outputPath = folder.path + "Salvaged.zip";
    ::unlink(outputPath.c_str());
    if (!writeBytes(archivePath, data, size)) std::abort();

    SalvageRun run;
    LogCounts counts;
    run.ui.context = &counts;
    run.ui.logLine = [](void* context, const char* text) {
        auto& seen = *static_cast<LogCounts*>(context);
        if (std::strncmp(text, "    ", 4) == 0) ++seen.wholeLines;
    };
    // Copies left out are counted from the entry reports, not from log lines: a name may hold
    // any text, " (compression method " included.
    run.ui.entryDoneContext = &counts;
    run.ui.entryDone = [](void* context, const EntryReport& report) {
        auto& seen = *static_cast<LogCounts*>(context);
        if (!report.written && report.verdict == EntryVerdict::kNotWritten) ++seen.copiesLeftOut;
    };
    run.passwords.given.emplace_back(kSeedPassword);
    FUZZ_CHECK(openArchive(run, archivePath.c_str()), "archive not opened");
    FUZZ_CHECK(createOutput(run, outputPath.c_str()), "output not created");
    RunResult result = runSalvage(run);
    closeRunFiles(run);
    freeEntryList(run);

    FUZZ_CHECK(result == RunResult::kCompleted, "run did not complete on a healthy disk");
    FUZZ_CHECK(!hasWriteFailed(run.flags), "a write failed on a healthy disk");
    std::vector<uint8_t> output = readBytes(outputPath);
    std::vector<CheckedEntry> entries;
    std::string problem = checkSalvagedArchive(output.data(), output.size(), &entries);
    if (!problem.empty()) {
        std::string what = "output is not a valid archive: " + problem;
        FUZZ_CHECK(false, what.c_str());
    }
    // Every entry found is written, but for those it cannot decrypt or give a temporary file,
    // and copies whose data is cut short or has no known size (counted unrecoverable).
    auto written = static_cast<uint64_t>(entries.size());
    FUZZ_CHECK(written == run.filesFound - run.undecryptableCount - run.systemErrorCount -
                              counts.copiesLeftOut,
               "entries written differ from entries found less those skipped");
    FUZZ_CHECK(run.systemErrorCount == 0, "system error on a healthy disk");
    uint64_t damaged = run.unrecoverableCount + run.partialCount - counts.copiesLeftOut;
    FUZZ_CHECK(counts.wholeLines == written - damaged,
               "an entry reported whole is counted damaged");
    std::string tempFolder = runTempFolder();
    FUZZ_CHECK(!tempFolder.empty() && !fileExists((tempFolder + "klv.tmp").c_str()),
               "temporary file left behind");
    std::vector<uint8_t> archiveAfter = readBytes(archivePath);
    FUZZ_CHECK(archiveAfter.size() == size &&
                   (size == 0 || std::memcmp(archiveAfter.data(), data, size) == 0),
               "the damaged archive changed");
    return 0;
}

}  // namespace zipsalvage::fuzz
