// Parsing the few options of the console program.
#include "shell/console/options.h"

#include <cstring>
#include <string>

namespace zipsalvage {

const char* const kUsageLine =
    "usage: zipsalvage [-q] [-y] [-o OUTPUT] [-p PASSWORD]... [--report FILE] [--threads N] "
    "ARCHIVE   "
    "(zipsalvage --help for more)";

const char* const kHelpText =
    "usage: zipsalvage [options] ARCHIVE\n"
    "\n"
    "Salvages what can be recovered from a damaged Zip archive into \"Salvaged.zip\" in the\n"
    "archive's folder. The archive itself is only read. The new archive is written under a\n"
    "temporary name beside it and takes its final name only when the salvage completes, so an\n"
    "earlier file of that name survives a cancelled or failed run.\n"
    "\n"
    "options:\n"
    "  -o, --output PATH      write the salvaged archive to PATH instead (also --output=PATH)\n"
    "  -y, --yes              replace an existing output (or a symbolic link of that name; its\n"
    "                         target is left alone) without asking\n"
    "  -p, --password TEXT    a password to try on encrypted entries (also --password=TEXT; may\n"
    "                         be repeated; up to 1024 bytes). Passwords that opened earlier\n"
    "                         entries are tried first, then these, then the terminal asks\n"
    "                         (Ctrl-D there skips the entry). Without a terminal an entry no\n"
    "                         password opens is skipped.\n"
    "  -q, --quiet            log only ERROR and WARNING lines and the summary\n"
    "      --report FILE      write one JSON line per entry found to FILE (also --report=FILE):\n"
    "                         name, method, recorded size and CRC-32, bytes recovered, verdict\n"
    "      --threads N        re-encode on N threads beside the scan (also --threads=N; default:\n"
    "                         one per processor; 1 does everything on one thread). The output\n"
    "                         and the log are the same whatever the number.\n"
    "  -h, --help             show this text\n"
    "  -V, --version          show the version\n"
    "\n"
    "exit status: 0 every entry found came through whole; 1 some entry was damaged or skipped,\n"
    "or none was found; 2 nothing was salvaged (usage, open, create, temporary folder, overwrite\n"
    "declined); 3 writing the output failed; 128+N stopped by signal N (130 for Ctrl-C).\n";

namespace {

enum class Option { kNone, kOutput, kPassword, kReport, kThreads, kYes, kQuiet, kHelp, kVersion };

struct OptionName {
    const char* shortName;  // nullptr: long form only
    const char* longName;
    Option option;
    bool takesValue;
};

constexpr OptionName kOptions[] = {
    {"-o", "--output", Option::kOutput, true},    {"-p", "--password", Option::kPassword, true},
    {nullptr, "--report", Option::kReport, true}, {"-y", "--yes", Option::kYes, false},
    {"-q", "--quiet", Option::kQuiet, false},     {"-h", "--help", Option::kHelp, false},
    {"-V", "--version", Option::kVersion, false}, {nullptr, "--threads", Option::kThreads, true},
};

// The most threads asked for that make sense: more than the queue could ever feed.
constexpr int kMostThreads = 256;

// A thread count of 1 to kMostThreads in decimal digits; 0 for anything else.
int parseThreadCount(const std::string& text) {
    if (text.empty() || text.size() > 3) return 0;
    int count = 0;
    for (char digit : text) {
        if (digit < '0' || digit > '9') return 0;
        count = count * 10 + (digit - '0');
    }
    return count <= kMostThreads ? count : 0;
}

// The option `argument` names; `inlineValue` gets the text after "=" of "--name=value".
const OptionName* findOption(const std::string& argument, std::string& inlineValue,
                             bool& hasInlineValue) {
    hasInlineValue = false;
    for (const OptionName& candidate : kOptions) {
        if (candidate.shortName != nullptr && argument == candidate.shortName) return &candidate;
        if (argument == candidate.longName) return &candidate;
        size_t length = std::strlen(candidate.longName);
        if (argument.size() > length && argument.compare(0, length, candidate.longName) == 0 &&
            argument[length] == '=') {
            hasInlineValue = true;
            inlineValue = argument.substr(length + 1);
            return &candidate;
        }
    }
    return nullptr;
}

}  // namespace

ConsoleOptions parseOptions(int argumentCount, char** arguments) {
    ConsoleOptions options;
    bool optionsEnded = false;
    for (int index = 1; index < argumentCount && options.error.empty(); ++index) {
        std::string argument = arguments[index];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            if (options.archivePath.empty()) {
                options.archivePath = argument;
            } else {
                options.error = "more than one archive given";
            }
            continue;
        }
        std::string value;
        bool hasInlineValue = false;
        const OptionName* found = findOption(argument, value, hasInlineValue);
        if (found == nullptr) {
            options.error = "unknown option " + argument;
            continue;
        }
        if (found->takesValue && !hasInlineValue) {
            if (index + 1 >= argumentCount) {
                options.error = "option " + argument + " needs a value";
                continue;
            }
            value = arguments[++index];
        } else if (!found->takesValue && hasInlineValue) {
            options.error = "option " + std::string(found->longName) + " takes no value";
            continue;
        }
        switch (found->option) {
            case Option::kOutput:
                options.outputPath = value;
                if (value.empty()) options.error = "empty output path";
                break;
            case Option::kPassword:
                options.passwords.push_back(value);
                break;
            case Option::kReport:
                options.reportPath = value;
                if (value.empty()) options.error = "empty report path";
                break;
            case Option::kThreads:
                options.threads = parseThreadCount(value);
                if (options.threads == 0) {
                    options.error =
                        "--threads needs a number from 1 to " + std::to_string(kMostThreads);
                }
                break;
            case Option::kYes:
                options.assumeYes = true;
                break;
            case Option::kQuiet:
                options.quiet = true;
                break;
            case Option::kHelp:
                options.showHelp = true;
                break;
            case Option::kVersion:
                options.showVersion = true;
                break;
            case Option::kNone:
                break;
        }
    }
    return options;
}

}  // namespace zipsalvage
