// --report FILE: one JSON object per line for every entry the run found, and one summary line
// that closes each archive's lines, for scripts that salvage many archives.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/run/salvage_run.h"

namespace zipsalvage {

// How the entries of one archive came out, counted from their report lines.
struct ReportTally {
    uint64_t found = 0;
    uint64_t whole = 0;
    uint64_t partial = 0;
    uint64_t undecryptable = 0;
    uint64_t lost = 0;        // nothing of their data is in the output
    uint64_t notChecked = 0;  // copied as they were, their bytes unchecked
};

struct EntryReportFile {
    std::FILE* file = nullptr;
    std::string path;
    std::string partialPath;        // where the lines go until closeEntryReport puts them in place
    bool toStandardOutput = false;  // "-": the file is stdout, flushed but never closed
    EntryContext* run = nullptr;    // for the display form of names
    ReportTally tally;              // of the run attached last
    bool failed = false;            // a write came up short
    int failedReason = 0;           // errno of the write that did
    bool failureShown = false;      // the message about it is given once
    EntryReportFile() = default;
    ~EntryReportFile();
    EntryReportFile(const EntryReportFile&) = delete;
    EntryReportFile& operator=(const EntryReportFile&) = delete;
};

// What the summary line says beside the counts.
struct ReportSummary {
    std::string archive;  // as given
    std::string output;   // the output put in place; empty when none was
    int exitStatus = 0;   // the archive's own
};

// Creates the report under a partial name beside `path` (an existing report is untouched until
// closeEntryReport), or takes standard output for kReportToStandardOutput.
// Refuses a path that names one of `archives` (by any name or link): they are only ever read.
// Shows the reason and returns false when it cannot be written.
bool openEntryReport(EntryReportFile& report, const std::string& path,
                     const std::vector<std::string>& archives);
// Hooks the open report into the run's entryDone and starts its tally again.
void attachEntryReport(EntryReportFile& report, EntryContext& run);
// Writes the summary line of the run attached last and flushes the report; false (with a
// message) when the report could not take it or an earlier line.
bool writeReportSummary(EntryReportFile& report, const ReportSummary& summary);
// Flushes and closes the report and, with `commit`, renames it over its final name; without, or
// when a line could not be written (false, with the system's reason), the partial file is
// removed and an earlier report stays. An unopened report is fine.
bool closeEntryReport(EntryReportFile& report, bool commit);

// One report line, without its line end: {"name":...,"method":8,...,"verdict":"whole"}.
std::string entryReportLine(const EntryReport& entry, const std::string& shownName);
// The summary line, without its line end: {"summary":{"archive":...,"found":3,...}}.
std::string summaryReportLine(const ReportTally& tally, const ReportSummary& summary);

}  // namespace zipsalvage
