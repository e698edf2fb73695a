// Helpers of the console program's end-to-end tests.
#include "tests/shell/console_run.h"

namespace zipsalvage::testing {

Outcome salvage(const TempDir& dir, const std::string& arguments, const std::string& environment) {
    Outcome outcome;
    outcome.status = runCommand("cd " + shellQuote(dir.path) + " && " + environment + " " +
                                    shellQuote(ZIPSALVAGE_BINARY) + " " + arguments + " </dev/null",
                                &outcome.output);
    return outcome;
}

std::string readText(const std::string& path) {
    Bytes bytes = readWholeFile(path);
    return std::string(bytes.begin(), bytes.end());
}

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

}  // namespace zipsalvage::testing
