// Fault-plan helpers shared by the tests that run the engine over the faulty platform build.
#pragma once

#include <cstdint>

#include "platform/fault_injection.h"
#include "tests/engine/run_bench.h"

namespace zipsalvage::testing {

// Keeps a fault plan in force for one scope, so a failed assertion cannot leak it into the next
// test.
struct ScopedFaultPlan {
    explicit ScopedFaultPlan(const FaultPlan& plan) { setFaultPlan(plan); }
    ~ScopedFaultPlan() { clearFaultPlan(); }
    ScopedFaultPlan(const ScopedFaultPlan&) = delete;
    ScopedFaultPlan& operator=(const ScopedFaultPlan&) = delete;
};

struct CallCounts {
    int64_t reads = 0;
    int64_t writes = 0;
};

// The reads and writes a fault-free salvage of `archive` makes on files whose path contains
// `pathPart`: the range a test then fails one call at a time.
inline CallCounts callsOfACleanRun(const Bytes& archive, const char* pathPart) {
    ScopedFaultPlan counting(FaultPlan{.pathContains = pathPart});
    RunBench bench;
    if (!bench.salvage(archive)) return {};
    return {readCallCount(), writeCallCount()};
}

}  // namespace zipsalvage::testing
