// One salvage run: the shared state, the two files, and the scan from first byte to summary.
#pragma once

#include <cstdint>
#include <string>

#include "core/run_flags.h"
#include "engine/archive_reader.h"
#include "engine/central_directory.h"
#include "engine/zip_records.h"
#include "extract/password_prompt.h"
#include "platform/platform.h"

namespace zipsalvage {

enum class MessageKind { kError, kQuestion };

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
};

enum class RunResult {
    kCompleted,     // central directory and end record written
    kCancelled,     // stopped on cancelRequested: no directory; the output is to be deleted
    kOutputFailed,  // a write to the output came up short: the output is not a valid archive
};

struct SalvageRun {
    std::string archivePath;
    std::string browseFolder;
    std::string outputPath;
    ArchiveReader reader;  // holds archiveHandle and archiveSize
    FileHandle outputHandle = kInvalidFile;
    SalvagedEntry* entryList = nullptr;
    SalvagedEntry* entryTail = nullptr;  // appending is constant time
    int32_t filesFound = 0;
    int32_t unrecoverableCount = 0;
    int32_t partialCount = 0;
    int32_t undecryptableCount = 0;
    int32_t systemErrorCount = 0;
    RunFlags flags;
    WorkerThread workerThread;
    RunUi ui;
    PasswordBook passwords{};
    // What survives of the damaged archive's own central directory and end record.
    CentralDirectory directory;
    bool nameIsUtf8 = false;  // the entry being salvaged has a UTF-8 name
};

// Opens the damaged archive read-only; shows "Unable to open" on failure.
bool openArchive(SalvageRun& run, const char* path);
// Creates the output, asking before an existing file is replaced; refuses the open archive
// itself. Shows "Unable to create" on failure.
bool createOutput(SalvageRun& run, const char* path);
// Closes both files; calling it again does nothing.
void closeRunFiles(SalvageRun& run);
// Releases the list of written entries.
void freeEntryList(SalvageRun& run);

// The whole scan, entry by entry, then the central directory, end record and summary.
RunResult runSalvage(SalvageRun& run);

// Results of salvageHeaderAt.
enum : int {
    kHeaderEntryWritten = 0,
    kHeaderRejected = 1,
    kHeaderNotSalvaged = 2,
    kHeaderOutputFailed = 3,  // a write to the output came up short; the run must end
};
int salvageHeaderAt(SalvageRun& run);

// Everything for one entry between its name and the next scan (extraction, judging, logging,
// re-encoding). True when the entry's data was written and `header` updated.
bool salvageEntryData(SalvageRun& run, LocalHeader& header, const char* name);

// Deletes the temporary file that entries share; every way out of runSalvage calls it.
void discardTempFile();

// The run's log: a string-table text with its arguments, through the interface.
void logText(SalvageRun& run, const char* text);
// The display form of the name of the entry being salvaged (UTF-8 as run.nameIsUtf8 says).
std::string shownName(SalvageRun& run, const char* rawName);

// The output path the first page builds: the archive's folder plus "Salvaged.zip".
std::string defaultOutputPath(const std::string& archivePath);

}  // namespace zipsalvage
