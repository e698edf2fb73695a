// The two flags one salvage run shares between the user-interface thread and the worker.
#pragma once

#include <atomic>

namespace zipsalvage {

// Both start at 0. `cancelRequested` is only ever set; `writeFailed` is cleared by the worker
// alone, after a failed write to an entry's temporary file has been dealt with (that failure is
// the entry's, not the run's). They are atomics because the interface thread sets
// `cancelRequested` while the worker polls it; relaxed order suffices, since nothing else is
// published through them.
struct RunFlags {
    std::atomic<int> cancelRequested{0};
    std::atomic<int> writeFailed{0};
};

inline bool isCancelled(const RunFlags& flags) {
    return flags.cancelRequested.load(std::memory_order_relaxed) != 0;
}
inline bool hasWriteFailed(const RunFlags& flags) {
    return flags.writeFailed.load(std::memory_order_relaxed) != 0;
}
inline void requestCancel(RunFlags& flags) {
    flags.cancelRequested.store(1, std::memory_order_relaxed);
}
inline void markWriteFailed(RunFlags& flags) {
    flags.writeFailed.store(1, std::memory_order_relaxed);
}
inline void clearWriteFailed(RunFlags& flags) {
    flags.writeFailed.store(0, std::memory_order_relaxed);
}
// The decoders and the compressor stop on either flag.
inline bool shouldStop(const RunFlags& flags) {
    return isCancelled(flags) || hasWriteFailed(flags);
}

}  // namespace zipsalvage
