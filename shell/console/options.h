// The command line of zipsalvage.
#pragma once

#include <string>
#include <vector>

namespace zipsalvage {

// The report path that means standard output (the log then goes to standard error).
inline constexpr const char* kReportToStandardOutput = "-";

struct ConsoleOptions {
    std::vector<std::string> archivePaths;  // in the order given
    // One archive: the output file (empty: "Salvaged.zip" in the archive's folder). Several:
    // the folder the outputs go into (empty: each beside its archive).
    std::string outputPath;
    std::string reportPath;  // empty: no report; kReportToStandardOutput: standard output
    std::vector<std::string> passwords;
    bool listOnly = false;   // -l: the entries' headers, nothing decoded or written
    bool testOnly = false;   // -t: the whole salvage, nothing written
    std::string folderPath;  // -d: the recovered files go into this folder (empty: an archive)
    bool assumeYes = false;
    bool quiet = false;       // only ERROR and WARNING lines and the summary, no progress bar
    int threads = 0;          // 0: one per processor
    bool copyIntact = false;  // intact stored and deflated entries keep their compressed bytes
    bool showHelp = false;
    bool showVersion = false;
    std::string error;  // non-empty: the command line was not understood
};

// GNU conventions: short options combine ("-qy") and take their value attached ("-oOUT.zip")
// or as the next argument; long ones take it as the next argument or after "=". "--" ends the
// options, so that an archive may be named "-x.zip".
ConsoleOptions parseOptions(int argumentCount, char** arguments);

extern const char* const kUsageLine;
extern const char* const kHelpText;

}  // namespace zipsalvage
