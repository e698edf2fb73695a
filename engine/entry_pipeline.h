// Entries re-encoded on worker threads while the scan decodes the next ones.
//
// Deflate dominates a run, and every entry is its own deflate stream, so the scanning thread
// decodes and judges entry N+1 while workers re-encode entry N into memory. Everything a run
// shows or writes still happens on the scanning thread, in archive order: what it would have
// logged, reported or written while earlier entries are still being encoded waits in one queue
// behind them. The output, the log and the report are therefore those of a one-thread run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/run_flags.h"
#include "engine/decoded_bytes.h"
#include "engine/salvage_run.h"
#include "recompress/recompress_stream.h"

namespace zipsalvage {

// Re-encoded bytes in memory blocks from the block cache, each twice the size of the one before
// (from 4 KiB to 256 KiB), so a small entry takes little while it waits.
struct EncodedBytes {
    std::vector<uint8_t*> blocks;
    std::vector<uint32_t> blockSizes;
    uint64_t size = 0;
    uint64_t capacity = 0;

    EncodedBytes() = default;
    ~EncodedBytes();
    EncodedBytes(const EncodedBytes&) = delete;
    EncodedBytes& operator=(const EncodedBytes&) = delete;
};
inline constexpr uint32_t kFirstEncodedBlockBytes = 4u * 1024;
inline constexpr uint32_t kLargestEncodedBlockBytes = 256u * 1024;

// The stream output that appends to `bytes`; it takes fewer bytes than offered only when no
// memory is left.
StreamOutput encodedOutput(EncodedBytes& bytes);
// Gives every block back.
void clearEncoded(EncodedBytes& bytes);

// How re-encoding one entry came out.
struct Recompressed {
    bool succeeded = false;
    uint16_t method = 0;
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
};

// Where an entry's compressed bytes lie in the archive, when --copy-intact may copy them
// (intact_copy.h).
struct OriginalData {
    bool copyable = false;
    uint16_t method = 0;
    int64_t start = 0;  // the first data byte, in the archive the scan reads
    uint64_t size = 0;
};

// Counts an entry raised, for its report: the report's verdict follows the counter raised.
struct CounterSnapshot {
    uint64_t unrecoverable = 0;
    uint64_t partial = 0;
    uint64_t undecryptable = 0;
    uint64_t systemErrors = 0;
    uint64_t notChecked = 0;
};

// One thing the run shows or writes, in archive order: a log line, or an entry (written or
// left out) with its report.
struct QueuedItem {
    bool isLine = false;
    std::string line;

    OwnedEntry entry;
    LocalHeader recordedHeader{};  // the header as found, for the report
    EntrySizes recordedSizes{};
    EntryOutcome outcome;
    CounterSnapshot raised;  // what the entry's judging counted
    bool toWrite = false;    // false: left out, only its report is due

    // An entry to write: its decoded bytes, and what the worker made of them.
    DecodedBytes decoded;
    uint64_t heldBytes = 0;  // the memory its decoded bytes took when queued (0: none)
    uint64_t recovered = 0;
    std::string shownName;
    bool damaged = false;   // already logged as damaged
    bool crcKnown = false;  // the CRC-32 to compare the written bytes with
    uint32_t expectedCrc = 0;
    Recompressed written;
    EncodedBytes encoded;
    OriginalData original;
    bool copyOriginal = false;  // decided when queued: the worker copies nothing, encodes nothing
    bool encodedDone = false;   // set by the worker, under the pipeline's lock
};

struct EntryPipeline;

// Starts `encoders` worker threads that stop on `cancel`; nullptr when none can be started
// (the run then stays on one thread).
EntryPipeline* startEntryPipeline(const RunFlags& cancel, int encoders);
// Stops the workers (they finish or abandon the entry in hand) and drops what is queued.
void stopEntryPipeline(EntryPipeline* pipeline);

// True when nothing is queued: whatever the run shows or writes may go out at once.
bool pipelineIdle(const EntryPipeline& pipeline);
// True when the queue holds as much as it may (entries or decoded bytes): the scan waits for
// the oldest before it queues another entry.
bool pipelineFull(const EntryPipeline& pipeline);
// Appends an item; an entry with `toWrite` is handed to the next free worker.
void queueItem(EntryPipeline& pipeline, std::unique_ptr<QueuedItem> item);
// The oldest item when it may go out (a line, a report, or an entry its worker finished), or
// null. With `wait`, waits for the oldest to be ready, up to a short while so that the caller
// can look at its cancel flag; null then too.
std::unique_ptr<QueuedItem> takeReadyItem(EntryPipeline& pipeline, bool wait);
// The oldest item when it is ready and `accept` takes it (looked at under the lock), or null;
// never waits.
std::unique_ptr<QueuedItem> takeReadyItemIf(EntryPipeline& pipeline,
                                            bool (*accept)(const QueuedItem& item));

// What a worker does with an entry: re-encodes its decoded bytes into `item.encoded` (stored
// when small or already compressed, deflated otherwise) and sets `item.written`.
void encodeQueuedEntry(QueuedItem& item, const RunFlags& cancel);

// The number of encoder threads a thread count asks for (0: one per processor); 1 or less
// means no workers at all, the run as one thread.
int encoderThreadsFor(int threads);

}  // namespace zipsalvage
