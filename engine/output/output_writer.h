// Where a run's salvaged entries go: one writer alone owns the output. A Zip archive
// (zip_output.cpp) is the first; a run that writes nothing and a folder of extracted files are
// others, so the run itself never asks which one it writes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "recompress/recompress_stream.h"

namespace zipsalvage {

struct SalvagedEntry;

// How an entry's step at the output went.
enum class OutputStep {
    kDone,
    kLeftOut,  // the output does not take this entry (it said why); the run goes on
    kFailed,   // a write came up short: the output is unusable and the run ends
};

class OutputWriter {
  public:
    virtual ~OutputWriter() = default;
    // True when entries are to arrive as their decoded bytes, stored, rather than re-encoded
    // (what a folder holds; what a run that writes nothing can check fastest).
    virtual bool takesDecodedBytes() const = 0;
    // Where the next entry begins (an archive's offset of its local header); -1 on failure.
    virtual int64_t position() = 0;
    // Starts an entry at position(): its local header, name and extra fields as `entry` holds
    // them now (its header offset set). Its data follows through write() or dataOutput().
    virtual OutputStep beginEntry(SalvagedEntry& entry) = 0;
    virtual bool write(const void* bytes, uint32_t count) = 0;
    // The stream the re-encoder writes the entry's data through.
    virtual StreamOutput dataOutput() = 0;
    // Drops the entry's data written so far, keeping its start, for a second encoding.
    virtual bool restartData() = 0;
    // Ends an entry whose data is all written; `entry` holds its final method, CRC-32 and
    // sizes (a header length fixed when it began).
    virtual bool finishEntry(SalvagedEntry& entry) = 0;
    // Removes everything written for an entry begun at `start` and left out after all.
    virtual bool dropEntry(int64_t start) = 0;
    // After the last entry: what the output needs of the whole list (an archive's central
    // directory and end records, with the damaged archive's comment).
    virtual bool finish(const SalvagedEntry* entries, const std::string& archiveComment) = 0;
    // Puts the completed output in place; false (with nothing left behind) when that fails.
    virtual bool commit() = 0;
    // Removes what an output never put in place holds; the final name is not touched.
    virtual void discard() = 0;
};

// A Zip archive written under `partialPath` (open as `handle`) and renamed to `finalPath` on
// commit (createOutput makes one); null when no memory is left.
std::unique_ptr<OutputWriter> makeZipOutput(FileHandle handle, const std::string& partialPath,
                                            const std::string& finalPath);
// An output that takes every entry and writes nothing (a test run); null without memory.
std::unique_ptr<OutputWriter> makeNullOutput();

}  // namespace zipsalvage
