// The command line of zipsalvage.
#pragma once

#include <string>
#include <vector>

namespace zipsalvage {

struct ConsoleOptions {
    std::string archivePath;
    std::string outputPath;  // empty: the archive's folder plus "Salvaged.zip"
    std::string reportPath;  // empty: no per-entry report
    std::vector<std::string> passwords;
    bool assumeYes = false;
    bool quiet = false;  // only ERROR and WARNING lines and the summary
    int threads = 0;     // 0: one per processor
    bool showHelp = false;
    bool showVersion = false;
    std::string error;  // non-empty: the command line was not understood
};

// Short options take their value as the next argument; long ones also as "--name=value".
ConsoleOptions parseOptions(int argumentCount, char** arguments);

extern const char* const kUsageLine;
extern const char* const kHelpText;

}  // namespace zipsalvage
