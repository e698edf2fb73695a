// How one decoder run ended, the same record for every method, so that the caller can tell
// damaged data from missing data from a system that failed us.
#pragma once

#include <cstdint>

#include "core/run_flags.h"

namespace zipsalvage {

enum class DecodeEnd : uint8_t {
    kDone,          // the method ran to its end
    kCorruptData,   // the data is wrong: an invalid code, a bad table, a method that cannot run
    kInputEnded,    // the entry's data, or the archive itself, ran out first
    kNoMemory,      // a work area or table could not be had
    kCancelled,     // the user cancelled the run
    kOutputFailed,  // a write of decoded bytes came up short
};

struct DecodeResult {
    DecodeEnd end = DecodeEnd::kDone;
    // Bytes of the entry's data the method used (behind the encryption header, if any). For a
    // self-terminating method that ran to its end this is where the data ends.
    uint64_t consumed = 0;
    // Bytes the method put out, written or (with output disabled) counted.
    uint64_t produced = 0;
};

inline bool ranToEnd(const DecodeResult& result) { return result.end == DecodeEnd::kDone; }

// The data's own verdict unless the run's flags overrule it: a cancel or a failed write ends
// the method whatever the data said.
inline DecodeEnd endUnlessStopped(const RunFlags& flags, DecodeEnd dataEnd) {
    if (isCancelled(flags)) return DecodeEnd::kCancelled;
    if (hasWriteFailed(flags)) return DecodeEnd::kOutputFailed;
    return dataEnd;
}

}  // namespace zipsalvage
