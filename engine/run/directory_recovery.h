// Entries the archive's own central directory lists but whose local header the scan never
// took (destroyed, or damaged past recognition): their data is looked for where the directory
// says it lies, and judged by the directory's method, sizes and CRC-32.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace zipsalvage {

struct QueueContext;
struct EntryContext;
struct CentralRecord;
struct QueuedItem;

enum class DirectoryRecovery {
    kRecovered,     // written, intact: `item` holds the entry, its header rewritten
    kLost,          // not recovered: logged (ERROR) and counted; `item` holds it for its report
    kOutputFailed,  // a write to the output came up short; the run must end
};

// The local header offset of `record` when no local header the scan took lies there (nor
// `offsetShift` further on); -1 when the entry was found. `seen`, the offsets of the local
// headers the scan took, must be sorted.
int64_t unseenHeaderOffset(const EntryContext& run, const std::vector<int64_t>& seen,
                           const CentralRecord& record);

// Recovers the entry of `record`, whose local header would lie at `headerOffset`, from its data
// when the bytes there decode to the recorded size and CRC-32: the data starts behind the
// header, whose name and extra lengths are tried as the header recorded them (where its name
// length still agrees with the directory's), as the central header records them, and with no
// extra field. Only the entry's own lines are logged: a WARNING that its local header was
// damaged and the OK of its bytes, or one ERROR line when it is lost. The queue must be empty.
DirectoryRecovery recoverFromDirectory(QueueContext& run, const CentralRecord& record,
                                       int64_t headerOffset, std::unique_ptr<QueuedItem>& item);

// The entries the directory read ahead lists and the scan missed, in the directory's order:
// each one recovered from its record or named as lost. False when the output failed or the run
// was cancelled.
bool recoverUnseenEntries(QueueContext& run);

}  // namespace zipsalvage
