// Runs the salvage engine in-process over an archive given as bytes, capturing the log.
#pragma once

#include <string>
#include <vector>

#include "engine/entry/decoded_bytes.h"
#include "engine/run/salvage_run.h"
#include "tests/support/zip_builder.h"

namespace zipsalvage::testing {

struct RunBench {
    TempDir dir;
    SalvageRun run;
    std::vector<std::string> log;
    std::vector<std::string> messages;  // "caption: text"
    std::vector<int> progress;
    std::vector<std::string> reports;  // one line per entry report, in the order given
    bool answerYes = false;
    RunResult result = RunResult::kCompleted;

    RunBench();
    ~RunBench();
    RunBench(const RunBench&) = delete;
    RunBench& operator=(const RunBench&) = delete;

    std::string archivePath() const { return dir.file("damaged.zip"); }
    std::string outputPath() const { return dir.file("Salvaged.zip"); }

    // Writes the archive, opens it, creates the output and runs the salvage. False when the
    // files could not be opened or created.
    bool salvage(const Bytes& archive);
    // The same for an archive already on disk (a part of a split one, say).
    bool salvageFile(const std::string& path);
    Bytes output() const { return readWholeFile(outputPath()); }
    // The output read back; fails the test when it is not a valid archive.
    std::vector<ListedEntry> entries() const;
    bool logHas(const std::string& line) const;
};

// The thread count every RunBench starts with: ZIPSALVAGE_TEST_THREADS when set (the suite runs
// once more with several, and every expectation must hold alike), 1 otherwise.
int benchThreads();

// Keeps entries larger than `bytes` out of memory for one scope (0: every decoded byte goes to
// the temporary file, as the paths that handle its failures need).
struct ScopedMemoryBound {
    explicit ScopedMemoryBound(uint64_t bytes) { setDecodedMemoryBound(bytes); }
    ~ScopedMemoryBound() { setDecodedMemoryBound(kDecodedMemoryBound); }
    ScopedMemoryBound(const ScopedMemoryBound&) = delete;
    ScopedMemoryBound& operator=(const ScopedMemoryBound&) = delete;
};

}  // namespace zipsalvage::testing
