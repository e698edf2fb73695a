// One salvage run: the two files, and the scan from first byte to summary.
#pragma once

#include <string>

#include "engine/scan/archive_reader.h"
#include "engine/state/run_state.h"

namespace zipsalvage {

enum class RunResult {
    kCompleted,     // central directory and end record written
    kCancelled,     // stopped on cancelRequested: no directory; the output is to be deleted
    kOutputFailed,  // a write to the output came up short: the output is not a valid archive
    kNoEntries,     // the scan found no Zip entry: nothing is written, an earlier output stays
};

// The two files of a run, in the order a shell calls them:
//
//   openArchive -> checkTempFolder -> createOutput -> runSalvage -> closeRunFiles
//
// runSalvage puts the output in place itself when the run completes (commitOutput) and removes
// it otherwise; closeRunFiles removes an output that was never put in place (a run that did not
// start or did not complete). No step deletes or changes a file of the final name: an earlier
// output survives every run that does not complete, so a shell must not delete `outputPath`
// after a cancel.

// Opens the damaged archive read-only; refuses one that cannot be read from an earlier offset
// again (a pipe, FIFO or terminal). Shows "Unable to open %s: <reason>" on failure.
// When the archive is one part of a split archive (archive_parts.h), its siblings are opened
// too and read with it as one; a missing or unreadable part adds no bytes.
bool openArchive(EntryContext& run, const char* path);
// The part of openArchive that finds and opens a split archive's other parts.
void openSiblingParts(ArchiveReader& reader, const char* path);
// True when `path` is the archive or one of its parts, by any name or link.
bool isPartOfArchive(const ArchiveReader& reader, const char* path);
// Makes sure the temporary folder can be created and can take a block of data, so that a full
// or unusable one is reported once, before the run, rather than as a failure of every entry.
// Shows "Unable to use the temporary folder" on failure.
bool checkTempFolder(RunLog& run);
// Refuses a path that is the open archive (by any name or link) or an existing non-regular
// file; asks before an existing file or link of that name would be replaced; then creates the
// output, a Zip archive under a partial name in the same folder (createPartialFile), and sets
// `outputPath` and `output`. Nothing of the final name is touched. Shows "Unable to create %s:
// <reason>" on failure.
bool createOutput(SalvageRun& run, const char* path);
// Puts the completed output in place: an archive is flushed and renamed over `outputPath`
// (replacing a file or link of that name). False, with the partial file removed, when that
// fails. Does nothing (true) when no output is pending.
bool commitOutput(EntryContext& run);
// Ends the output and removes what it never put in place; `outputPath` is not touched.
void discardOutput(EntryContext& run);
// Closes both files and removes an output that was not committed; calling it again does
// nothing.
void closeRunFiles(EntryContext& run);
// The whole scan, entry by entry, then the central directory, end record and summary (into
// run.output, which must be set: kOutputFailed otherwise). A
// completed run commits the output (a failed commit is kOutputFailed); a cancelled or failed
// one discards it, and so does one that found no entry (kNoEntries).
RunResult runSalvage(SalvageRun& run);

// Results of salvageHeaderAt.
enum : int {
    kHeaderEntryWritten = 0,
    kHeaderRejected = 1,
    kHeaderNotSalvaged = 2,
    kHeaderOutputFailed = 3,  // a write to the output came up short; the run must end
    kHeaderEntryDamaged = 4,  // written, but damaged: the scan looks again inside its bytes
};
int salvageHeaderAt(QueueContext& run);

// The output path the first page builds: the archive's folder plus "Salvaged.zip".
std::string defaultOutputPath(const std::string& archivePath);

}  // namespace zipsalvage
