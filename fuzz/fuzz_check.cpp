// The failure report of the fuzz targets.
#include "fuzz/fuzz_check.h"

#include <cstdio>
#include <cstdlib>

namespace zipsalvage::fuzz {
namespace {

FailureHandler currentHandler = nullptr;

}  // namespace

void setFailureHandler(FailureHandler handler) { currentHandler = handler; }

void reportFailure(const char* what, const char* file, int line) {
    if (currentHandler != nullptr) {
        currentHandler(what, file, line);
        return;
    }
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what);
    std::abort();
}

}  // namespace zipsalvage::fuzz
