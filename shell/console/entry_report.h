// --report FILE: one JSON object per line for every entry the run found, for scripts that
// salvage many archives.
#pragma once

#include <cstdio>
#include <string>

#include "engine/salvage_run.h"

namespace zipsalvage {

struct EntryReportFile {
    std::FILE* file = nullptr;
    std::string path;
    SalvageRun* run = nullptr;  // for the display form of names
    bool failed = false;        // a write came up short
    EntryReportFile() = default;
    ~EntryReportFile();
    EntryReportFile(const EntryReportFile&) = delete;
    EntryReportFile& operator=(const EntryReportFile&) = delete;
};

// Creates (or empties) the report file and hooks it into the run's entryDone. Refuses the
// archive itself. Shows the reason and returns false when it cannot be written.
bool openEntryReport(EntryReportFile& report, const std::string& path, SalvageRun& run);
// Flushes and closes the report; false (with a message) when a line could not be written. An
// unopened report is fine.
bool closeEntryReport(EntryReportFile& report);

// One report line, without its line end: {"name":...,"method":8,...,"verdict":"whole"}.
std::string entryReportLine(const EntryReport& entry, const std::string& shownName);

}  // namespace zipsalvage
