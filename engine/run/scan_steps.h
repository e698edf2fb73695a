// What the scan does at a local header it found and behind it: the header salvaged, and where
// the scan goes on (behind the entry, back inside a damaged one's bytes, or back at the header
// of an entry whose check on a worker failed).
#pragma once

#include <cstdint>

#include "engine/run/salvage_run.h"
#include "engine/state/run_state.h"

namespace zipsalvage {

// Salvages the header whose signature was just read (salvageHeaderAt), the scan's mark kept
// for a check; `lookedAgain` counts the bytes scanned again behind damaged entries so far.
int salvageFoundHeader(QueueContext& run, uint64_t lookedAgain);

// Where the scan goes on behind a header salvaged with `result`: back at a failed check's
// header first (salvaged then the ordinary way), then behind the entry, or back inside the
// bytes of one that was rejected or damaged. False when the scan is to end with `ended`.
bool goOnBehindHeader(QueueContext& run, int result, uint64_t& lookedAgain, RunResult& ended);

}  // namespace zipsalvage
