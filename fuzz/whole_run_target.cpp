// The whole-run target: the input is the damaged archive; the salvage runs through the real
// files in a private folder and its output is read back by checkSalvagedArchive.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/run/salvage_run.h"
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
    uint64_t wholeLines = 0;  // "    name: size = n:  OK" or "    name: kept as it was ..."
    std::string transcript;   // every line, for the run on encoder threads to match
};

// What the run said of each entry through its reports, which (unlike log lines) no name can
// imitate.
struct ReportCounts {
    uint64_t reports = 0;
    uint64_t written = 0;
    uint64_t writtenWhole = 0;
    uint64_t leftOut[7] = {};  // by verdict, entries not in the output
    std::string transcript;    // every report, for the run on encoder threads to match
};

void logInto(void* context, const char* text) {
    auto& seen = *static_cast<LogCounts*>(context);
    if (std::strncmp(text, "    ", 4) == 0) ++seen.wholeLines;
    seen.transcript += text;
    seen.transcript += '\n';
}

void reportInto(void* context, const EntryReport& report) {
    auto& seen = *static_cast<ReportCounts*>(context);
    ++seen.reports;
    if (report.written) {
        ++seen.written;
        if (report.verdict == EntryVerdict::kWhole) ++seen.writtenWhole;
    } else {
        ++seen.leftOut[static_cast<size_t>(report.verdict)];
    }
    seen.transcript += std::string(report.rawName) + ' ' + std::to_string(report.method) + ' ' +
                       std::to_string(report.recordedSize) + ' ' +
                       std::to_string(report.recordedCrc32) + ' ' +
                       std::to_string(report.recoveredBytes) + ' ' +
                       std::to_string(static_cast<int>(report.verdict)) + '\n';
}

// One salvage of the archive at `archivePath` into `outputPath` with `threads`.
RunResult salvageOnce(const std::string& archivePath, const std::string& outputPath, int threads,
                      LogCounts& counts, ReportCounts& reports, SalvageRun& run) {
    ::unlink(outputPath.c_str());
    run.threads = threads;
    run.ui.context = &counts;
    run.ui.logLine = logInto;
    run.ui.entryDoneContext = &reports;
    run.ui.entryDone = reportInto;
    run.passwords.given.emplace_back(kSeedPassword);
    FUZZ_CHECK(openArchive(run, archivePath.c_str()), "archive not opened");
    FUZZ_CHECK(createOutput(run, outputPath.c_str()), "output not created");
    RunResult result = runSalvage(run);
    closeRunFiles(run);
    freeEntryList(run);
    return result;
}

// Whether two runs said the same; when not, both transcripts go to stderr, so that a failure
// kept by the fuzzer (often on another machine) says what differed.
bool sameTranscript(const std::string& one, const std::string& other) {
    if (one == other) return true;
    std::fprintf(stderr, "---- one run:\n%s---- the other:\n%s----\n", one.c_str(), other.c_str());
    return false;
}

}  // namespace

int fuzzWholeRun(const uint8_t* data, size_t size) {
    static RunFolder folder;
    std::string archivePath = folder.path + "damaged.zip";
    std::string outputPath = folder.path + "Salvaged.zip";
    if (!writeBytes(archivePath, data, size)) std::abort();

    SalvageRun run;
    LogCounts counts;
    ReportCounts reports;
    RunResult result = salvageOnce(archivePath, outputPath, 1, counts, reports, run);

    // An input holding no entry writes nothing.
    if (result == RunResult::kNoEntries) {
        FUZZ_CHECK(run.filesFound == 0 && reports.reports == 0, "entries found, yet none");
        FUZZ_CHECK(!fileExists(outputPath.c_str()), "an output left for no entry");
        return 0;
    }
    FUZZ_CHECK(result == RunResult::kCompleted, "run did not complete on a healthy disk");
    FUZZ_CHECK(!hasWriteFailed(run.flags), "a write failed on a healthy disk");
    std::vector<uint8_t> output = readBytes(outputPath);
    std::vector<CheckedEntry> entries;
    std::string problem = checkSalvagedArchive(output.data(), output.size(), &entries);
    if (!problem.empty()) {
        std::string what = "output is not a valid archive: " + problem;
        FUZZ_CHECK(false, what.c_str());
    }
    // Every entry found is reported once, and every one reported written is in the output.
    auto written = static_cast<uint64_t>(entries.size());
    FUZZ_CHECK(reports.reports == run.filesFound, "an entry found was not reported once");
    FUZZ_CHECK(reports.written == written, "entries reported written differ from the output's");
    if (run.systemErrorCount != 0) std::fprintf(stderr, "%s", counts.transcript.c_str());
    FUZZ_CHECK(run.systemErrorCount == 0, "system error on a healthy disk");
    // Left out only for a reason the summary counts: no password, or a copy whose data is cut
    // short or has no known size (counted unrecoverable or partial).
    const uint64_t* leftOut = reports.leftOut;
    // Undecryptable entries are copied still encrypted, or left out when the copy fails.
    const uint64_t undecryptableLeftOut =
        leftOut[static_cast<size_t>(EntryVerdict::kUndecryptable)];
    FUZZ_CHECK(undecryptableLeftOut <= run.undecryptableCount &&
                   leftOut[static_cast<size_t>(EntryVerdict::kWhole)] == 0 &&
                   leftOut[static_cast<size_t>(EntryVerdict::kNotWritten)] == 0,
               "an entry was left out for no counted reason");
    uint64_t copiesLeftOut = leftOut[static_cast<size_t>(EntryVerdict::kUnrecoverable)] +
                             leftOut[static_cast<size_t>(EntryVerdict::kPartial)];
    FUZZ_CHECK(written == run.filesFound - undecryptableLeftOut - copiesLeftOut,
               "entries written differ from entries found less those skipped");
    // Copies kept as they were are not whole either: nothing checked them.
    uint64_t damaged = run.unrecoverableCount + run.partialCount - copiesLeftOut +
                       run.notCheckedCount + run.undecryptableCount - undecryptableLeftOut;
    FUZZ_CHECK(counts.wholeLines == written - damaged && reports.writtenWhole == written - damaged,
               "an entry reported whole is counted damaged");
    std::string tempFolder = runTempFolder();
    FUZZ_CHECK(!tempFolder.empty() && !fileExists((tempFolder + "klv.tmp").c_str()),
               "temporary file left behind");
    std::vector<uint8_t> archiveAfter = readBytes(archivePath);
    FUZZ_CHECK(archiveAfter.size() == size &&
                   (size == 0 || std::memcmp(archiveAfter.data(), data, size) == 0),
               "the damaged archive changed");

    // Encoder threads change nothing of what the run writes, logs or reports.
    SalvageRun threaded;
    LogCounts threadedCounts;
    ReportCounts threadedReports;
    RunResult threadedResult =
        salvageOnce(archivePath, outputPath, 3, threadedCounts, threadedReports, threaded);
    FUZZ_CHECK(threadedResult == result, "the run on threads ended otherwise");
    FUZZ_CHECK(readBytes(outputPath) == output, "the output differs on threads");
    FUZZ_CHECK(sameTranscript(threadedCounts.transcript, counts.transcript),
               "the log differs on threads");
    FUZZ_CHECK(sameTranscript(threadedReports.transcript, reports.transcript),
               "the reports differ on threads");

    // Intact entries copied as they are: a valid archive again, with the same log and reports
    // (the copies are those entries' own bytes, which the check inflates against their CRC-32).
    SalvageRun copying;
    copying.copyIntact = true;
    LogCounts copyingCounts;
    ReportCounts copyingReports;
    RunResult copyingResult =
        salvageOnce(archivePath, outputPath, 3, copyingCounts, copyingReports, copying);
    FUZZ_CHECK(copyingResult == result, "the run copying intact entries ended otherwise");
    std::vector<uint8_t> copied = readBytes(outputPath);
    std::vector<CheckedEntry> copiedEntries;
    problem = checkSalvagedArchive(copied.data(), copied.size(), &copiedEntries);
    if (!problem.empty()) {
        std::string what = "output copying intact entries is not a valid archive: " + problem;
        FUZZ_CHECK(false, what.c_str());
    }
    FUZZ_CHECK(copiedEntries.size() == entries.size(), "copying intact entries wrote others");
    FUZZ_CHECK(sameTranscript(copyingCounts.transcript, counts.transcript),
               "the log differs when copying");
    FUZZ_CHECK(sameTranscript(copyingReports.transcript, reports.transcript),
               "the reports differ when copying");

    // On one thread the entries are checked before they are copied, on threads while the scan
    // goes on behind them (a failed check sends it back): the same output either way.
    SalvageRun copyingAlone;
    copyingAlone.copyIntact = true;
    LogCounts aloneCounts;
    ReportCounts aloneReports;
    RunResult aloneResult =
        salvageOnce(archivePath, outputPath, 1, aloneCounts, aloneReports, copyingAlone);
    FUZZ_CHECK(aloneResult == copyingResult, "copying on one thread ended otherwise");
    FUZZ_CHECK(readBytes(outputPath) == copied, "copying on one thread wrote another output");
    FUZZ_CHECK(sameTranscript(aloneCounts.transcript, copyingCounts.transcript) &&
                   sameTranscript(aloneReports.transcript, copyingReports.transcript),
               "copying on one thread logged or reported otherwise");
    return 0;
}

}  // namespace zipsalvage::fuzz
