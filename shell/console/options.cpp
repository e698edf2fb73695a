// Parsing the few options of the console program.
#include "shell/console/options.h"

#include <cstring>

namespace zipsalvage {

const char* const kUsageLine =
    "usage: zipsalvage [-y] [-o OUTPUT] [-p PASSWORD]... ARCHIVE   (zipsalvage --help for more)";

const char* const kHelpText =
    "usage: zipsalvage [options] ARCHIVE\n"
    "\n"
    "Salvages what can be recovered from a damaged Zip archive into \"Salvaged.zip\" in the\n"
    "archive's folder. The archive itself is only read.\n"
    "\n"
    "options:\n"
    "  -o, --output PATH      write the salvaged archive to PATH instead\n"
    "  -y, --yes              replace an existing output without asking\n"
    "  -p, --password TEXT    a password to try on encrypted entries (may be repeated); only\n"
    "                         its first 39 characters count. Passwords that opened earlier\n"
    "                         entries are tried first, then these, then the terminal asks\n"
    "                         (Ctrl-D there skips the entry). Without a terminal an entry no\n"
    "                         password opens is skipped.\n"
    "  -h, --help             show this text\n"
    "  -V, --version          show the version\n"
    "\n"
    "exit status: 0 every entry found came through whole; 1 some entry was damaged or skipped,\n"
    "or none was found; 2 nothing was salvaged (usage, open, create or overwrite declined);\n"
    "3 writing the output failed; 130 cancelled.\n";

ConsoleOptions parseOptions(int argumentCount, char** arguments) {
    ConsoleOptions options;
    bool optionsEnded = false;
    for (int index = 1; index < argumentCount; ++index) {
        std::string argument = arguments[index];
        auto takeValue = [&](std::string& destination) {
            if (index + 1 >= argumentCount) {
                options.error = "option " + argument + " needs a value";
                return;
            }
            destination = arguments[++index];
        };
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && (argument == "-h" || argument == "--help")) {
            options.showHelp = true;
        } else if (!optionsEnded && (argument == "-V" || argument == "--version")) {
            options.showVersion = true;
        } else if (!optionsEnded && (argument == "-y" || argument == "--yes")) {
            options.assumeYes = true;
        } else if (!optionsEnded && (argument == "-o" || argument == "--output")) {
            takeValue(options.outputPath);
            if (options.error.empty() && options.outputPath.empty())
                options.error = "empty output path";
        } else if (!optionsEnded && (argument == "-p" || argument == "--password")) {
            std::string password;
            takeValue(password);
            if (options.error.empty()) options.passwords.push_back(password);
        } else if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
            options.error = "unknown option " + argument;
        } else if (options.archivePath.empty()) {
            options.archivePath = argument;
        } else {
            options.error = "more than one archive given";
        }
        if (!options.error.empty()) break;
    }
    return options;
}

}  // namespace zipsalvage
