// The log lines about one entry, its name as the log shows it first.
#pragma once

#include <cstdint>
#include <string>

#include "engine/state/run_state.h"

namespace zipsalvage {

// Logs a string-table text whose first placeholder is the entry's name; sizes follow it.
void logAboutName(RunLog& log, int textId, const std::string& name, uint64_t first = 0,
                  uint64_t second = 0);

// The written or decoded bytes' CRC-32 is not the one recorded.
void logCrcMismatch(RunLog& log, const std::string& name, uint32_t found, uint32_t expected);

}  // namespace zipsalvage
