// The record a salvage run shares between its stages: the shells' interface (log, progress,
// questions, entry reports), the two files, the counters, and the entries written so far. It is
// built of narrower records, so that each stage is handed only the part it uses.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/run_flags.h"
#include "engine/output/output_writer.h"
#include "engine/output/zip_records.h"
#include "engine/scan/archive_reader.h"
#include "engine/witness/central_directory.h"
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

struct EntryPipeline;
struct QueuedItem;

// Where the run's log lines go: the shells' interface, or behind the entries still queued for
// the encoder threads while a pipeline runs.
struct RunLog {
    RunUi ui;
    EntryPipeline* pipeline = nullptr;  // while runSalvage runs with encoder threads
    bool puttingOutQueued = false;      // the log lines of an entry taken from the queue go out
};

// What judging and writing an entry reach: the archive, the one output, the log, the passwords
// and the run's flags and options; none of the shells' settings, counters or the entries
// written.
struct EntryContext : RunLog {
    ArchiveReader reader;  // holds archiveHandle and archiveSize
    // The one writer of the output, from createOutput until closeRunFiles.
    std::unique_ptr<OutputWriter> output;
    RunFlags flags;
    // A write to the output came up short: the run ends at once, and no entry is blamed for it.
    bool outputFailed = false;
    PasswordBook passwords{};
    // The directory the end record points to, read before the scan (directory_ahead.h).
    CentralDirectory directoryAhead;
    // An intact stored or deflated entry keeps its original compressed bytes (intact_copy.h);
    // off, every entry is re-encoded.
    bool copyIntact = false;
};

// The run's counts for its summary, the entries written so far, for the central directory, and
// the headers the scan took (taken back together with the count of entries found when a check
// ahead fails).
struct RunTally {
    SalvagedEntry* entryList = nullptr;
    SalvagedEntry* entryTail = nullptr;  // appending is constant time
    uint64_t filesFound = 0;
    uint64_t unrecoverableCount = 0;
    uint64_t partialCount = 0;
    uint64_t undecryptableCount = 0;
    uint64_t systemErrorCount = 0;
    uint64_t notCheckedCount = 0;   // copied as they were, in a method not decoded
    uint64_t encodedOnThreads = 0;  // entries the encoder threads re-encoded (for measurements)
    // Where the local headers the scan took lay (kept only when directoryAhead has records), so
    // that the entries it lists and the scan missed are known at the end.
    std::vector<int64_t> headersSeen;
};

// What the queue to the encoder threads reaches: an entry's writing, and its report and place
// in the list once it is written.
struct QueueContext : EntryContext, RunTally {};

struct SalvageRun : QueueContext {
    std::string archivePath;
    std::string browseFolder;
    std::string outputPath;  // the final name; set by createOutput
    // What survives of the damaged archive's own central directory and end record.
    CentralDirectory directory;
    // Threads for the run: 1 does everything on the worker; N > 1 adds N encoder threads
    // beside it (entry_pipeline.h); 0 asks for one per processor.
    int threads = 1;

    SalvageRun() = default;
    // Whatever way a shell leaves, the run's files are closed (an output never put in place is
    // removed, as closeRunFiles does) and its entries released.
    ~SalvageRun();
    SalvageRun(const SalvageRun&) = delete;
    SalvageRun& operator=(const SalvageRun&) = delete;
};

// Releases the list of written entries.
void freeEntryList(RunTally& tally);
// Releases one entry and its name.
void freeEntry(SalvagedEntry* entry);

// Owns an entry until it joins the run's list, so that every way that leaves it out releases
// it.
struct EntryRelease {
    void operator()(SalvagedEntry* entry) const { freeEntry(entry); }
};
using OwnedEntry = std::unique_ptr<SalvagedEntry, EntryRelease>;

// Begins the entry at the output's position (in an archive: its local header, name and extra
// fields). False when the output left it out or failed (context.outputFailed is then set).
bool beginOutputEntry(EntryContext& context, SalvagedEntry& entry);

// The run's log: a string-table text with its arguments, through the interface.
void logText(RunLog& log, const char* text);
// The display form of a name: UTF-8 bytes when `utf8`, OEM code page bytes otherwise.
std::string shownName(const RunLog& log, const char* rawName, bool utf8);
// The display form of an entry's output name, as its header's flag bit 11 says.
std::string shownName(const RunLog& log, const SalvagedEntry& entry);

}  // namespace zipsalvage
