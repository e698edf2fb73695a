// Parsing the few options of the console program.
#include "shell/console/options.h"

#include <cstring>
#include <string>

namespace zipsalvage {

const char* const kUsageLine =
    "usage: zipsalvage [-lqty] [-o OUTPUT | -d DIR] [-p PASSWORD]... [--report FILE] "
    "[--threads N] [--copy-intact] ARCHIVE...   (zipsalvage --help for more)";

const char* const kHelpText =
    "usage: zipsalvage [options] ARCHIVE...\n"
    "\n"
    "Salvages what can be recovered from a damaged Zip archive into \"Salvaged.zip\" in the\n"
    "archive's folder. The archive itself is only read. The new archive is written under a\n"
    "temporary name beside it and takes its final name only when the salvage completes, so an\n"
    "earlier file of that name survives a cancelled or failed run. Given several archives, each\n"
    "is salvaged in turn into NAME.salvaged.zip beside it (a.zip into a.salvaged.zip).\n"
    "\n"
    "options:\n"
    "  -o, --output PATH      write the salvaged archive to PATH instead (also -oPATH and\n"
    "                         --output=PATH); with several archives PATH is a folder, made if\n"
    "                         missing, that takes every output\n"
    "  -d, --directory DIR    write the recovered files into the folder DIR (made if missing)\n"
    "                         instead of an archive, partly recovered ones too; names that\n"
    "                         would leave DIR are kept inside it, and an existing file is\n"
    "                         replaced only after asking (or with -y)\n"
    "  -t, --test             the whole salvage, log, report and exit status, but nothing is\n"
    "                         written: no archive, and an existing output is left alone\n"
    "  -l, --list             list the entries found (offset, method, recorded sizes, CRC-32,\n"
    "                         name) from their headers alone; nothing is decoded or written\n"
    "  -y, --yes              replace an existing output (or a symbolic link of that name; its\n"
    "                         target is left alone) without asking\n"
    "  -p, --password TEXT    a password to try on encrypted entries (also -pTEXT and\n"
    "                         --password=TEXT; may be repeated; up to 1024 bytes). Passwords that\n"
    "                         opened earlier entries are tried first, then these, then the\n"
    "                         terminal asks (Ctrl-D there skips the entry). Without a terminal\n"
    "                         an entry no password opens is skipped.\n"
    "  -q, --quiet            log only ERROR and WARNING lines and the summary; no progress bar\n"
    "      --report FILE      write one JSON line per entry found to FILE (also --report=FILE;\n"
    "                         - is standard output, and the log then goes to standard error):\n"
    "                         name, method, recorded size and CRC-32, bytes recovered, verdict;\n"
    "                         a summary line closes each archive's lines\n"
    "      --threads N        re-encode on N threads beside the scan (also --threads=N; default:\n"
    "                         one per processor; 1 does everything on one thread). The output\n"
    "                         and the log are the same whatever the number.\n"
    "      --copy-intact      an entry stored or deflated, not encrypted, that decodes whole\n"
    "                         (its CRC-32 matches) keeps its original compressed bytes instead\n"
    "                         of being re-encoded: much faster on big archives. Every entry is\n"
    "                         still decoded and checked; damaged ones are re-encoded as usual\n"
    "  -h, --help             show this text\n"
    "  -V, --version          show the version\n"
    "  --                     end of the options: what follows is an archive, even \"-x.zip\"\n"
    "\n"
    "exit status: 0 every entry found came through whole (with -l: an entry was found); 1 some\n"
    "entry was damaged or skipped, or none was found; 2 nothing was salvaged (usage, open,\n"
    "create, temporary folder, overwrite declined); 3 writing the output or the report failed;\n"
    "128+N stopped by signal N (130 for Ctrl-C). With several archives, the highest of theirs.\n";

namespace {

enum class Option {
    kOutput,
    kPassword,
    kReport,
    kThreads,
    kCopyIntact,
    kList,
    kTest,
    kDirectory,
    kYes,
    kQuiet,
    kHelp,
    kVersion,
};

struct OptionName {
    char shortName;  // '\0': long form only
    const char* longName;
    Option option;
    bool takesValue;
};

constexpr OptionName kOptions[] = {
    {'o', "--output", Option::kOutput, true},
    {'p', "--password", Option::kPassword, true},
    {'\0', "--report", Option::kReport, true},
    {'\0', "--threads", Option::kThreads, true},
    {'l', "--list", Option::kList, false},
    {'t', "--test", Option::kTest, false},
    {'d', "--directory", Option::kDirectory, true},
    {'y', "--yes", Option::kYes, false},
    {'q', "--quiet", Option::kQuiet, false},
    {'h', "--help", Option::kHelp, false},
    {'V', "--version", Option::kVersion, false},
    {'\0', "--copy-intact", Option::kCopyIntact, false},
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

const OptionName* findShort(char letter) {
    for (const OptionName& candidate : kOptions) {
        if (candidate.shortName != '\0' && candidate.shortName == letter) return &candidate;
    }
    return nullptr;
}

// The long option `argument` names; `inlineValue` gets the text after "=" of "--name=value".
const OptionName* findLong(const std::string& argument, std::string& inlineValue,
                           bool& hasInlineValue) {
    hasInlineValue = false;
    for (const OptionName& candidate : kOptions) {
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

void applyOption(ConsoleOptions& options, const OptionName& found, const std::string& value) {
    switch (found.option) {
        case Option::kOutput:
            options.outputPath = value;
            if (value.empty()) options.error = "empty output path";
            break;
        case Option::kPassword:
            options.passwords.push_back(value);  // the empty password is one a writer may use
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
        case Option::kCopyIntact:
            options.copyIntact = true;
            break;
        case Option::kList:
            options.listOnly = true;
            break;
        case Option::kTest:
            options.testOnly = true;
            break;
        case Option::kDirectory:
            options.folderPath = value;
            if (value.empty()) options.error = "empty directory path";
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
    }
}

// The cluster of short options in `arguments[index]` ("-qy", "-oOUT.zip", "-o" then OUT.zip);
// `index` moves past a value taken from the next argument.
void parseShortCluster(ConsoleOptions& options, int argumentCount, char** arguments, int& index) {
    const std::string cluster = arguments[index];
    for (size_t at = 1; at < cluster.size() && options.error.empty(); ++at) {
        const OptionName* found = findShort(cluster[at]);
        if (found == nullptr) {
            options.error = std::string("unknown option -") + cluster[at];
            return;
        }
        if (!found->takesValue) {
            applyOption(options, *found, "");
            continue;
        }
        if (at + 1 < cluster.size()) {
            applyOption(options, *found, cluster.substr(at + 1));
        } else if (index + 1 < argumentCount) {
            applyOption(options, *found, arguments[++index]);
        } else {
            options.error = std::string("option -") + cluster[at] + " needs a value";
        }
        return;
    }
}

void parseLongOption(ConsoleOptions& options, int argumentCount, char** arguments, int& index) {
    const std::string argument = arguments[index];
    std::string value;
    bool hasInlineValue = false;
    const OptionName* found = findLong(argument, value, hasInlineValue);
    if (found == nullptr) {
        options.error = "unknown option " + argument;
        return;
    }
    if (found->takesValue && !hasInlineValue) {
        if (index + 1 >= argumentCount) {
            options.error = "option " + argument + " needs a value";
            return;
        }
        value = arguments[++index];
    } else if (!found->takesValue && hasInlineValue) {
        options.error = "option " + std::string(found->longName) + " takes no value";
        return;
    }
    applyOption(options, *found, value);
}

}  // namespace

ConsoleOptions parseOptions(int argumentCount, char** arguments) {
    ConsoleOptions options;
    bool optionsEnded = false;
    for (int index = 1; index < argumentCount && options.error.empty(); ++index) {
        std::string argument = arguments[index];
        if (argument.empty()) {
            // An unset shell variable, most often: no file has an empty name.
            options.error = "an empty argument (\"\") names no archive";
        } else if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            options.archivePaths.push_back(argument);
        } else if (argument[1] == '-') {
            parseLongOption(options, argumentCount, arguments, index);
        } else {
            parseShortCluster(options, argumentCount, arguments, index);
        }
    }
    // A listing decodes nothing and writes nothing: an output or report asked for beside it
    // would silently not be made.
    if (options.error.empty() && options.listOnly && !options.outputPath.empty()) {
        options.error = "--list writes no output";
    }
    if (options.error.empty() && options.listOnly && !options.reportPath.empty()) {
        options.error = "--list writes no report";
    }
    // One run has one output: an archive (-o), a folder (-d) or none (-t, -l).
    const int outputs = (options.outputPath.empty() ? 0 : 1) +
                        (options.folderPath.empty() ? 0 : 1) + (options.testOnly ? 1 : 0) +
                        (options.listOnly ? 1 : 0);
    if (options.error.empty() && outputs > 1) {
        options.error = "only one of --output, --directory, --test and --list may be given";
    }
    return options;
}

}  // namespace zipsalvage
