// What the scan does at a local header it found and behind it.
#include "engine/run/scan_steps.h"

#include "engine/run/entry_check_ahead.h"
#include "engine/run/entry_pipeline.h"
#include "engine/run/entry_queue.h"
#include "engine/run/run_report.h"

namespace zipsalvage {
namespace {

// How many times over the archive's size the scan may look again behind damaged entries.
constexpr uint64_t kLookAgainPasses = 4;

// True when the bytes behind the damaged entry just read (from its signature to where the
// reader stands) may be scanned again, and counts them in `lookedAgain`. The bound keeps a
// crafted nest of damaged entries, each claiming the rest of the archive, from costing one pass
// over the rest per entry (quadratic time and output); real damage stays far below it, since
// entries that do not nest give the archive's size at most.
bool mayLookAgain(const ArchiveReader& reader, uint64_t& lookedAgain) {
    int64_t behind = logicalPosition(reader) - reader.resumePoint;
    auto bytes = static_cast<uint64_t>(behind > 0 ? behind : 0);
    if (lookedAgain + bytes > kLookAgainPasses * reader.archiveSize) return false;
    lookedAgain += bytes;
    return true;
}

}  // namespace

// Salvages the header whose signature was just read, the scan's mark kept for a check.
int salvageFoundHeader(QueueContext& run, uint64_t lookedAgain) {
    if (run.pipeline != nullptr) setScanMark(*run.pipeline, markScanHere(run, lookedAgain));
    return salvageHeaderAt(run);
}

// Where the scan goes on behind a header it salvaged: back at a failed check's header first
// (salvaged then the ordinary way), then behind the entry, or back inside the bytes of one
// that was rejected or damaged. False when the scan is to end with `ended`.
bool goOnBehindHeader(QueueContext& run, int result, uint64_t& lookedAgain, RunResult& ended) {
    while (checkFailed(run)) {
        lookedAgain = restartAtFailedCheck(run).lookedAgain;
        result = salvageFoundHeader(run, lookedAgain);
    }
    if (isCancelled(run.flags)) {
        ended = RunResult::kCancelled;
        return false;
    }
    if (result == kHeaderOutputFailed) {
        showOutputError(run);
        ended = RunResult::kOutputFailed;
        return false;
    }
    if (result == kHeaderEntryWritten) stepBack(run.reader, kRewindAfterEntry);
    // A damaged entry may have taken bytes that are not its own (a wrong size, a stream
    // that lost its end): the next header may lie among them, so the scan looks again at
    // everything behind this entry's signature. An intact entry's bytes are its own, so a
    // stored archive inside one stays a single entry.
    if (result == kHeaderRejected) rewindToMark(run.reader);
    if (result == kHeaderEntryDamaged && mayLookAgain(run.reader, lookedAgain)) {
        rewindToMark(run.reader);
    }
    return true;
}

}  // namespace zipsalvage
