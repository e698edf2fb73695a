// RunBench: the engine with a recording interface.
#include "tests/engine/run_bench.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace zipsalvage::testing {

int benchThreads() {
    const char* text = std::getenv("ZIPSALVAGE_TEST_THREADS");
    return text == nullptr ? 1 : std::atoi(text);
}

RunBench::RunBench() {
    run.threads = benchThreads();
    run.ui.context = this;
    run.ui.logLine = [](void* context, const char* text) {
        static_cast<RunBench*>(context)->log.emplace_back(text);
    };
    run.ui.showMessage = [](void* context, const char* text, const char* caption,
                            MessageKind kind) {
        auto* bench = static_cast<RunBench*>(context);
        bench->messages.push_back(std::string(caption) + ": " + text);
        return kind == MessageKind::kQuestion && bench->answerYes;
    };
    run.reader.progress = [](void* context, int value) {
        static_cast<RunBench*>(context)->progress.push_back(value);
    };
    run.reader.progressContext = this;
    run.ui.entryDoneContext = this;
    run.ui.entryDone = [](void* context, const EntryReport& report) {
        static_cast<RunBench*>(context)->reports.push_back(
            std::string(report.rawName) + (report.nameIsUtf8 ? " utf8" : "") + " method " +
            std::to_string(report.method) + " size " + std::to_string(report.recordedSize) +
            " crc " + std::to_string(report.recordedCrc32) + " recovered " +
            std::to_string(report.recoveredBytes) + " written " + std::to_string(report.written) +
            " verdict " + std::to_string(static_cast<int>(report.verdict)));
    };
}

RunBench::~RunBench() {
    closeRunFiles(run);
    freeEntryList(run);
    removeRunTempFolder();
}

bool RunBench::salvage(const Bytes& archive) {
    writeWholeFile(archivePath(), archive);
    return salvageFile(archivePath());
}

bool RunBench::salvageFile(const std::string& path) {
    if (!openArchive(run, path.c_str())) return false;
    if (!createOutput(run, outputPath().c_str())) return false;
    result = runSalvage(run);
    discardOutput(run);
    return true;
}

std::vector<ListedEntry> RunBench::entries() const {
    std::vector<ListedEntry> listed;
    std::string problem;
    EXPECT_TRUE(readArchive(output(), listed, problem)) << problem;
    return listed;
}

bool RunBench::logHas(const std::string& line) const {
    return std::find(log.begin(), log.end(), line) != log.end();
}

}  // namespace zipsalvage::testing
