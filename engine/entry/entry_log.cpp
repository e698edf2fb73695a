// The log lines about one entry.
#include "engine/entry/entry_log.h"

#include "resources/strings.h"

namespace zipsalvage {

// Logs a string-table text whose first placeholder is the entry's name; sizes follow it.
void logAboutName(RunLog& log, int textId, const std::string& name, uint64_t first,
                  uint64_t second) {
    std::string line(name.size() + 256, '\0');
    formatText(line.data(), static_cast<int>(line.size()), loadText(textId), name.c_str(),
               static_cast<unsigned long long>(first), static_cast<unsigned long long>(second));
    logText(log, line.c_str());
}

void logCrcMismatch(RunLog& log, const std::string& name, uint32_t found, uint32_t expected) {
    std::string line(name.size() + 256, '\0');
    formatText(line.data(), static_cast<int>(line.size()), loadText(kTextCrcMismatch), name.c_str(),
               found, expected);
    logText(log, line.c_str());
}

}  // namespace zipsalvage
