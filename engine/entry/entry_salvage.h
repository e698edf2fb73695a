// Judging one found entry (password, extraction attempts, the recorded CRC-32 and sizes) and
// writing the judged entry into the output, on the scanning thread or after an encoder thread.
#pragma once

#include "core/run_flags.h"
#include "engine/entry/judged_entry.h"
#include "engine/output/zip_records.h"
#include "engine/state/run_state.h"

namespace zipsalvage {

// The first half of an entry between its extra field and the next scan: password, extraction,
// judging and the log lines about its data. `item.entry` is the entry, `recorded` the sizes its
// header records. True when the entry is to be written: `item` then holds its decoded bytes,
// its recovered size and what is still to be checked (sizes and Zip64 are settled in the
// entry). False when it is left out (the log says why, unless the run was cancelled) and when
// no password opened it (outcome.keepEncrypted: nothing is logged or counted yet). The caller
// counts the entry found before it is judged.
bool judgeEntry(EntryContext& run, QueuedItem& item, const EntrySizes& recorded);
// The second half on the worker's own: writes the judged entry's local header and re-encodes
// its bytes into the output, then logs its verdict and sets the header fields. True when the
// entry is written (its header then still to be rewritten with the final fields).
bool writeJudgedEntry(EntryContext& run, QueuedItem& item);
// The second half for an entry re-encoded by an encoder thread: writes its final local header
// and its encoded bytes at the output's position (the entry's headerOffset must be set), and
// logs its verdict. True when the entry is written.
bool writeQueuedEntry(EntryContext& run, QueuedItem& item);
// True when a judged entry's bytes are intact: not found damaged, and their CRC-32 is the one
// recorded. What writeJudgedEntry and writeQueuedEntry conclude, known before either runs.
bool judgedEntryIntact(QueuedItem& item);

// What a worker does with an entry: re-encodes its decoded bytes into `item.encoded` (stored
// when small or already compressed, deflated otherwise) and sets `item.written`.
void encodeQueuedEntry(QueuedItem& item, const RunFlags& cancel);

// Deletes the temporary file that entries share; every way out of runSalvage calls it.
void discardTempFile();

}  // namespace zipsalvage
