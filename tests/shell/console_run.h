// Running the console program from the end-to-end tests.
#pragma once

#include <string>
#include <vector>

#include "tests/support/test_files.h"

namespace zipsalvage::testing {

struct Outcome {
    int status = -1;
    std::string output;  // stdout and stderr together
};

// Runs zipsalvage with `arguments` (shell words) in `dir`, no terminal on stdin. `environment`
// is put before the command, e.g. "TMPDIR=/x".
Outcome salvage(const TempDir& dir, const std::string& arguments,
                const std::string& environment = "");

std::string readText(const std::string& path);

bool contains(const std::string& haystack, const std::string& needle);

}  // namespace zipsalvage::testing
