// One salvage run: the shared state, the two files, and the scan from first byte to summary.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/run_flags.h"
#include "engine/archive_reader.h"
#include "engine/central_directory.h"
#include "engine/output_writer.h"
#include "engine/zip_records.h"
#include "extract/password_prompt.h"
#include "extract/unknown_ranges.h"
#include "platform/platform.h"

namespace zipsalvage {

enum class MessageKind { kError, kQuestion };

// How one entry came out, for machine-readable reports.
enum class EntryVerdict {
    kWhole,          // written with every recorded byte
    kPartial,        // written with part of its data, or a size other than the recorded one
    kUnrecoverable,  // written empty: nothing of its data could be decoded
    kUndecryptable,  // left out: no password opened it
    kSystemError,    // the system failed us (temporary file, memory), not the data
    kNotWritten,     // left out: its re-encoding failed or the run stopped in it
    kNotChecked,     // copied as it was (a method not decoded): nothing checked its bytes
};

// One entry as the run judged it. The recorded fields are the local header's; `recoveredBytes`
// is what the output holds of it (0 when it was left out).
struct EntryReport {
    const char* rawName;  // the output name's bytes, zero-terminated
    bool nameIsUtf8;      // the name is UTF-8 (flag bit 11), OEM code page bytes otherwise
    uint16_t method;      // the compression method the header names
    uint64_t recordedSize;
    uint32_t recordedCrc32;
    uint64_t recoveredBytes;
    bool written;  // the entry is in the output
    EntryVerdict verdict;
    const UnknownRanges* unknown;  // spans written as zeros for bytes not decoded; may be null
};

// How the run reaches the person using it: the log list, the progress bar, message boxes and
// the display form of entry names. Every member may be null (then nothing is shown, questions
// are answered No and names are shown as their raw bytes).
struct RunUi {
    void* context = nullptr;
    void (*logLine)(void* context, const char* text) = nullptr;
    void (*postProgress)(void* context, int thousandths) = nullptr;
    // Returns true for Yes on a question; the result of an error box is ignored.
    bool (*showMessage)(void* context, const char* text, const char* caption,
                        MessageKind kind) = nullptr;
    // Converts a raw name to the text shown in the log: UTF-8 bytes when `utf8` (the entry is
    // written with flag bit 11), OEM code page bytes otherwise.
    void (*displayName)(void* context, const char* rawName, bool utf8,
                        std::string& shown) = nullptr;
    // Called once for every entry whose header and name were read, when its verdict is known.
    // Its context is its own, so a report can be hooked in beside any interface.
    void (*entryDone)(void* entryDoneContext, const EntryReport& report) = nullptr;
    void* entryDoneContext = nullptr;
    // Called, with entryDoneContext, when the run completed and before its output is put in
    // place: false (the report could not be written) ends the run as kOutputFailed, with no
    // earlier output replaced.
    bool (*beforeCommit)(void* entryDoneContext) = nullptr;
    // Called when the scan starts on an entry whose header and name were read, with the name as
    // the log shows it (the wizard's progress page names the entry in hand).
    void (*entryStarted)(void* context, const char* shownName) = nullptr;
};

enum class RunResult {
    kCompleted,     // central directory and end record written
    kCancelled,     // stopped on cancelRequested: no directory; the output is to be deleted
    kOutputFailed,  // a write to the output came up short: the output is not a valid archive
    kNoEntries,     // the scan found no Zip entry: nothing is written, an earlier output stays
};

struct EntryPipeline;
struct QueuedItem;

struct SalvageRun {
    std::string archivePath;
    std::string browseFolder;
    std::string outputPath;  // the final name; set by createOutput
    ArchiveReader reader;    // holds archiveHandle and archiveSize
    // The one writer of the output, from createOutput until closeRunFiles.
    std::unique_ptr<OutputWriter> output;
    SalvagedEntry* entryList = nullptr;
    SalvagedEntry* entryTail = nullptr;  // appending is constant time
    uint64_t filesFound = 0;
    uint64_t unrecoverableCount = 0;
    uint64_t partialCount = 0;
    uint64_t undecryptableCount = 0;
    uint64_t systemErrorCount = 0;
    uint64_t notCheckedCount = 0;   // copied as they were, in a method not decoded
    uint64_t encodedOnThreads = 0;  // entries the encoder threads re-encoded (for measurements)
    RunFlags flags;
    // A write to the output came up short: the run ends at once, and no entry is blamed for it.
    bool outputFailed = false;
    RunUi ui;
    PasswordBook passwords{};
    // What survives of the damaged archive's own central directory and end record.
    CentralDirectory directory;
    // The directory the end record points to, read before the scan (directory_ahead.h).
    CentralDirectory directoryAhead;
    // Where the local headers the scan took lay (kept only when directoryAhead has records), so
    // that the entries it lists and the scan missed are known at the end.
    std::vector<int64_t> headersSeen;
    // Threads for the run: 1 does everything on the worker; N > 1 adds N encoder threads
    // beside it (entry_pipeline.h); 0 asks for one per processor.
    int threads = 1;
    // An intact stored or deflated entry keeps its original compressed bytes (intact_copy.h);
    // off, every entry is re-encoded.
    bool copyIntact = false;
    EntryPipeline* pipeline = nullptr;  // while runSalvage runs with encoder threads
    bool puttingOutQueued = false;      // the log lines of an entry taken from the queue go out

    SalvageRun() = default;
    // Whatever way a shell leaves, the run's files are closed (an output never put in place is
    // removed, as closeRunFiles does) and its entries released.
    ~SalvageRun();
    SalvageRun(const SalvageRun&) = delete;
    SalvageRun& operator=(const SalvageRun&) = delete;
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
bool openArchive(SalvageRun& run, const char* path);
// The part of openArchive that finds and opens a split archive's other parts.
void openSiblingParts(ArchiveReader& reader, const char* path);
// True when `path` is the archive or one of its parts, by any name or link.
bool isPartOfArchive(const ArchiveReader& reader, const char* path);
// Makes sure the temporary folder can be created and can take a block of data, so that a full
// or unusable one is reported once, before the run, rather than as a failure of every entry.
// Shows "Unable to use the temporary folder" on failure.
bool checkTempFolder(SalvageRun& run);
// Refuses a path that is the open archive (by any name or link) or an existing non-regular
// file; asks before an existing file or link of that name would be replaced; then creates the
// output, a Zip archive under a partial name in the same folder (createPartialFile), and sets
// `outputPath` and `output`. Nothing of the final name is touched. Shows "Unable to create %s:
// <reason>" on failure.
bool createOutput(SalvageRun& run, const char* path);
// Puts the completed output in place: an archive is flushed and renamed over `outputPath`
// (replacing a file or link of that name). False, with the partial file removed, when that
// fails. Does nothing (true) when no output is pending.
bool commitOutput(SalvageRun& run);
// Ends the output and removes what it never put in place; `outputPath` is not touched.
void discardOutput(SalvageRun& run);
// Closes both files and removes an output that was not committed; calling it again does
// nothing.
void closeRunFiles(SalvageRun& run);
// Releases the list of written entries.
void freeEntryList(SalvageRun& run);
// Releases one entry and its name.
void freeEntry(SalvagedEntry* entry);

// Owns an entry until it joins the run's list, so that every way that leaves it out releases
// it.
struct EntryRelease {
    void operator()(SalvagedEntry* entry) const { freeEntry(entry); }
};
using OwnedEntry = std::unique_ptr<SalvagedEntry, EntryRelease>;

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
int salvageHeaderAt(SalvageRun& run);

// How one entry ended, as far as the scan after it and its report care.
struct EntryOutcome {
    // The method ran to its end and the bytes match the recorded CRC-32 and size: the bytes
    // the entry consumed are its own and need no second look.
    bool intact = false;
    // The reader already stands where the scan goes on (behind a data descriptor).
    bool positioned = false;
    // Flag bit 3 with no sizes in the local header: what is recorded comes from the
    // descriptor, when one was found (sizeKnown).
    bool streamed = false;
    bool sizeKnown = true;
    uint64_t recordedSize = 0;
    uint32_t recordedCrc = 0;
    // The spans of the decoded bytes that are zeros standing for bytes not decoded.
    UnknownRanges unknown;
    // No password opened the entry: judgeEntry left it out, to be copied still encrypted (the
    // reader stands at the start of its data, any encryption header included).
    bool keepEncrypted = false;
};

// The first half of an entry between its extra field and the next scan: password, extraction,
// judging and the log lines about its data. `item.entry` is the entry, `recorded` the sizes its
// header records. True when the entry is to be written: `item` then holds its decoded bytes,
// its recovered size and what is still to be checked (sizes and Zip64 are settled in the
// entry). False when it is left out (the log says why, unless the run was cancelled) and when
// no password opened it (outcome.keepEncrypted: nothing is logged or counted yet).
bool judgeEntry(SalvageRun& run, QueuedItem& item, const EntrySizes& recorded);
// The second half on the worker's own: writes the judged entry's local header and re-encodes
// its bytes into the output, then logs its verdict and sets the header fields. True when the
// entry is written (its header then still to be rewritten with the final fields).
bool writeJudgedEntry(SalvageRun& run, QueuedItem& item);
// The second half for an entry re-encoded by an encoder thread: writes its final local header
// and its encoded bytes at the output's position (the entry's headerOffset must be set), and
// logs its verdict. True when the entry is written.
bool writeQueuedEntry(SalvageRun& run, QueuedItem& item);
// True when a judged entry's bytes are intact: not found damaged, and their CRC-32 is the one
// recorded. What writeJudgedEntry and writeQueuedEntry conclude, known before either runs.
bool judgedEntryIntact(QueuedItem& item);

// Begins the entry at the output's position (in an archive: its local header, name and extra
// fields). False when the output left it out or failed (run.outputFailed is then set).
bool beginOutputEntry(SalvageRun& run, SalvagedEntry& entry);

// Deletes the temporary file that entries share; every way out of runSalvage calls it.
void discardTempFile();

// The run's log: a string-table text with its arguments, through the interface.
void logText(SalvageRun& run, const char* text);
// The display form of a name: UTF-8 bytes when `utf8`, OEM code page bytes otherwise.
std::string shownName(SalvageRun& run, const char* rawName, bool utf8);
// The display form of an entry's output name, as its header's flag bit 11 says.
std::string shownName(SalvageRun& run, const SalvagedEntry& entry);

// The output path the first page builds: the archive's folder plus "Salvaged.zip".
std::string defaultOutputPath(const std::string& archivePath);

}  // namespace zipsalvage
