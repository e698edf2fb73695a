// The command line of zipsalvage.
#pragma once

#include <string>
#include <vector>

namespace zipsalvage {

struct ConsoleOptions {
    std::string archivePath;
    std::string outputPath;  // empty: the archive's folder plus "Salvaged.zip"
    std::vector<std::string> passwords;
    bool assumeYes = false;
    bool showHelp = false;
    bool showVersion = false;
    std::string error;  // non-empty: the command line was not understood
};

ConsoleOptions parseOptions(int argumentCount, char** arguments);

extern const char* const kUsageLine;
extern const char* const kHelpText;

}  // namespace zipsalvage
