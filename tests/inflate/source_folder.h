// Files written into the folder "in" of a private temporary folder, where the machine's
// archivers (zip, 7z, Python) pack them for the end-to-end tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tests/inflate/inflate_test_support.h"

namespace zipsalvage::testing {

struct SourceFile {
    std::string name;
    Bytes bytes;
};

struct SourceFolder {
    TempDir dir;
    std::vector<SourceFile> files;
    explicit SourceFolder(std::vector<SourceFile> chosen) : files(std::move(chosen)) {
        runCommand("mkdir -p " + shellQuote(dir.file("in")));
        for (const SourceFile& file : files)
            writeWholeFile(dir.file("in/" + file.name), file.bytes);
    }
    // The files' names, each quoted for the shell and led by a space.
    std::string names() const {
        std::string list;
        for (const SourceFile& file : files) list += " " + shellQuote(file.name);
        return list;
    }
};

}  // namespace zipsalvage::testing
