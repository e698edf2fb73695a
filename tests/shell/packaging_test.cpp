// What ships: the manual page's examples run as printed, `cmake --install` and `cpack -G DEB`
// hold the program, its manual page and its bash completion, and a build without GoogleTest
// leaves the tests out instead of failing.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/shell/console_run.h"
#include "tests/support/zip_builder.h"

namespace zipsalvage {
namespace {

using testing::contains;
using testing::runCommand;
using testing::shellQuote;
using testing::TempDir;

const std::string kSourceDir = ZIPSALVAGE_SOURCE_DIR;
const std::string kBuildDir = ZIPSALVAGE_BUILD_DIR;

// The commands of the manual page's EXAMPLES as a reader types them: each indented block's
// ".B" lines, one script per block, their roff escapes undone.
std::vector<std::string> manualExamples() {
    std::istringstream page(testing::readText(kSourceDir + "/docs/zipsalvage.1"));
    std::vector<std::string> scripts;
    bool inExamples = false;
    bool inBlock = false;
    for (std::string line; std::getline(page, line);) {
        if (line.rfind(".SH", 0) == 0) inExamples = line == ".SH EXAMPLES";
        if (!inExamples) continue;
        if (line == ".RS") {
            inBlock = true;
            scripts.emplace_back();
        }
        if (line == ".RE") inBlock = false;
        if (!inBlock || line.rfind(".B ", 0) != 0) continue;
        std::string command = line.substr(3);
        if (command.size() >= 2 && command.front() == '"' && command.back() == '"') {
            command = command.substr(1, command.size() - 2);
        }
        for (auto [escape, plain] : {std::pair<std::string, std::string>{"\\-", "-"},
                                     {"\\(aq", "'"},
                                     {"\\(dq", "\""},
                                     {"\\e", "\\"}}) {
            for (size_t at = command.find(escape); at != std::string::npos;
                 at = command.find(escape, at + plain.size())) {
                command.replace(at, escape.size(), plain);
            }
        }
        scripts.back() += command + "\n";
    }
    return scripts;
}

TEST(ManualPage, ExamplesRunAsPrinted) {
    TempDir dir;
    testing::writeWholeFile(dir.file("backup.zip"),
                            testing::buildArchive({{"notes.txt", testing::makeText(4000, 1)}}));
    std::string program = ZIPSALVAGE_BINARY;
    std::string path = program.substr(0, program.rfind('/'));
    std::vector<std::string> examples = manualExamples();
    ASSERT_GE(examples.size(), 3u);
    for (const std::string& example : examples) {
        SCOPED_TRACE(example);
        std::string output;
        int status = runCommand("cd " + shellQuote(dir.path) + " && PATH=" + shellQuote(path) +
                                    ":$PATH && (" + example + ") </dev/null",
                                &output);
        EXPECT_EQ(status, 0) << output;
    }
}

TEST(Packaging, InstallAndTheDebianPackageHoldProgramManualAndCompletion) {
    TempDir prefix;
    std::string output;
    ASSERT_EQ(runCommand(shellQuote(ZIPSALVAGE_CMAKE) + " --install " + shellQuote(kBuildDir) +
                             " --prefix " + shellQuote(prefix.path),
                         &output),
              0)
        << output;
    EXPECT_TRUE(testing::pathExists(prefix.file("bin/zipsalvage")));
    std::string page;
    EXPECT_EQ(runCommand("gzip -dc " + shellQuote(prefix.file("share/man/man1/zipsalvage.1.gz")),
                         &page, false),
              0);
    EXPECT_EQ(page, testing::readText(kSourceDir + "/docs/zipsalvage.1"));
    // The completion offers the options, as bash asks it to.
    std::string completion = prefix.file("share/bash-completion/completions/zipsalvage");
    std::string offered;
    runCommand(
        "bash -c " + shellQuote("source " + shellQuote(completion) +
                                " && COMP_WORDS=(zipsalvage --li) && COMP_CWORD=1 && _zipsalvage"
                                " && echo ${COMPREPLY[*]}"),
        &offered);
    EXPECT_EQ(offered, "--list\n");

    if (!testing::haveCommand("dpkg-deb")) GTEST_SKIP() << "dpkg-deb is needed for the package";
    TempDir packages;
    ASSERT_EQ(runCommand(shellQuote(ZIPSALVAGE_CPACK) + " -G DEB --config " +
                             shellQuote(kBuildDir + "/CPackConfig.cmake") + " -B " +
                             shellQuote(packages.path),
                         &output),
              0)
        << output;
    std::string deb = "$(ls " + shellQuote(packages.path) + "/*.deb)";
    std::string contents;
    ASSERT_EQ(runCommand("dpkg-deb -c " + deb, &contents), 0) << contents;
    for (const char* file : {"./usr/bin/zipsalvage", "./usr/share/man/man1/zipsalvage.1.gz",
                             "./usr/share/bash-completion/completions/zipsalvage"}) {
        EXPECT_TRUE(contains(contents, file)) << contents;
    }
    std::string depends;
    runCommand("dpkg-deb -f " + deb + " Depends", &depends);
    EXPECT_TRUE(contains(depends, "libc6")) << depends;
    ASSERT_EQ(runCommand("dpkg-deb -x " + deb + " " + shellQuote(packages.file("root"))), 0);
    std::string sections;
    runCommand("readelf -S " + shellQuote(packages.file("root/usr/bin/zipsalvage")), &sections);
    EXPECT_TRUE(contains(sections, ".text")) << sections;
    EXPECT_FALSE(contains(sections, ".symtab")) << "the packaged program is stripped";
}

TEST(Packaging, APlainBuildWithoutGoogleTestLeavesTheTestsOut) {
    TempDir build;
    std::string output;
    ASSERT_EQ(runCommand(shellQuote(ZIPSALVAGE_CMAKE) + " -S " + shellQuote(kSourceDir) + " -B " +
                             shellQuote(build.path) + " -G " + shellQuote(ZIPSALVAGE_GENERATOR) +
                             " -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON",
                         &output),
              0)
        << output;
    EXPECT_TRUE(contains(output, "the tests are not built: they need GoogleTest")) << output;
    EXPECT_FALSE(testing::pathExists(build.file("tests"))) << output;
}

}  // namespace
}  // namespace zipsalvage
