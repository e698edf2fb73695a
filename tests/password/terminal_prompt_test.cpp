// The password prompt on a pseudo-terminal: what it shows, echo, retries, Skip, the remembered
// passwords across entries, and the terminal after an interrupt.
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/password/encrypted_archives.h"
#include "tests/password/pty_session.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::EntrySpec;
using testing::PtySession;
using testing::TempDir;

constexpr const char* kPrompt = "Enter Decryption Password:";
constexpr const char* kEncrypted = "The following file is encrypted:";

class TerminalPrompt : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing::haveCommand("zip") || !testing::haveCommand("python3")) {
            GTEST_SKIP() << "zip and python3 are needed";
        }
    }
    bool start(const std::string& archive, std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), "-y");
        extra.push_back(dir.file(archive));
        return testing::startOnTerminal(session, extra, dir.file("log.txt"));
    }
    // Waits for the prompt of `name` and answers it.
    void answer(const std::string& name, const std::string& typed) {
        ASSERT_TRUE(testing::expectText(session, kEncrypted)) << session.transcript;
        ASSERT_TRUE(testing::expectText(session, name)) << session.transcript;
        ASSERT_TRUE(testing::expectText(session, kPrompt)) << session.transcript;
        testing::typeKeys(session, typed);
    }
    std::string log() const {
        Bytes bytes = testing::readWholeFile(dir.file("log.txt"));
        return std::string(bytes.begin(), bytes.end());
    }
    std::map<std::string, testing::SalvagedFile> salvaged() const {
        return testing::readSalvaged(dir.file("Salvaged.zip"));
    }
    TempDir dir;
    PtySession session;
};

TEST_F(TerminalPrompt, AsksOnceForTwoEntriesAfterAWrongTryWithEchoOff) {
    std::vector<EntrySpec> entries = {{"one.bin", testing::makeRandom(1500, 1), "alpha"},
                                      {"two.bin", testing::makeRandom(900, 2), "alpha"}};
    ASSERT_TRUE(testing::makeZipArchive(dir, "e.zip", entries, {"wrong"}));
    ASSERT_TRUE(start("e.zip"));

    answer("one.bin", "wrong\r");
    ASSERT_TRUE(testing::expectText(
        session, "Incorrect Password: The entered password does not appear to be correct"));
    ASSERT_TRUE(testing::expectText(session, kPrompt)) << session.transcript;
    EXPECT_FALSE(testing::terminalEchoes(session));
    testing::typeKeys(session, "alpha\r");

    EXPECT_EQ(testing::finishSession(session), 0) << log();
    EXPECT_TRUE(testing::terminalEchoes(session));
    EXPECT_EQ(testing::countOf(session.transcript, kEncrypted), 1) << session.transcript;
    EXPECT_EQ(session.transcript.find("alpha"), std::string::npos) << "password echoed";
    EXPECT_EQ(session.transcript.find("wrong"), std::string::npos) << "password echoed";
    EXPECT_NE(session.transcript.find("Ctrl-D"), std::string::npos) << "Skip not explained";
    auto files = salvaged();
    ASSERT_EQ(files.size(), 2u) << log();
    EXPECT_TRUE(files["one.bin"].data == entries[0].content);
    EXPECT_TRUE(files["two.bin"].data == entries[1].content);
}

TEST_F(TerminalPrompt, EndOfInputSkipsTheEntry) {
    std::vector<EntrySpec> entries = {{"locked.bin", testing::makeRandom(1000, 3), "alpha"},
                                      {"plain.txt", testing::makeText(300, 4), ""}};
    ASSERT_TRUE(testing::makeZipArchive(dir, "e.zip", entries));
    ASSERT_TRUE(start("e.zip"));
    answer("locked.bin", "\x04");
    EXPECT_EQ(testing::finishSession(session), 1) << log();
    EXPECT_NE(log().find("WARNING: No password decrypts locked.bin: kept encrypted"),
              std::string::npos);
    EXPECT_NE(log().find("  1 undecryptable files"), std::string::npos) << log();
    auto files = salvaged();
    EXPECT_EQ(files["locked.bin"].flags & 1, 1) << "kept encrypted";
    EXPECT_TRUE(files["plain.txt"].data == entries[1].content);
}

TEST_F(TerminalPrompt, SixPasswordsInTurnForgetTheFirst) {
    std::vector<EntrySpec> entries;
    for (int index = 1; index <= 6; ++index) {
        entries.push_back({"e" + std::to_string(index) + ".bin",
                           testing::makeRandom(200, static_cast<uint32_t>(index)),
                           "pass" + std::to_string(index)});
    }
    entries.push_back({"again.bin", testing::makeRandom(300, 7), "pass1"});
    ASSERT_TRUE(testing::makeZipArchive(dir, "e.zip", entries));
    ASSERT_TRUE(start("e.zip"));
    for (int index = 1; index <= 6; ++index) {
        answer(entries[static_cast<size_t>(index - 1)].name, "pass" + std::to_string(index) + "\r");
    }
    answer("again.bin", "pass1\r");
    EXPECT_EQ(testing::finishSession(session), 0) << log();
    EXPECT_EQ(testing::countOf(session.transcript, kEncrypted), 7);
    EXPECT_EQ(salvaged().size(), 7u) << log();
}

// A typed password counts in full; it used to be cut to 39 characters.
TEST_F(TerminalPrompt, ALongTypedPasswordCountsInFullAndTheEmptyPasswordCanPass) {
    std::string typed45 = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHI";
    Bytes cut = testing::makeText(700, 5);
    Bytes empty = testing::makeText(500, 6);
    ASSERT_TRUE(testing::makeZipArchive(dir, "e.zip", {{"cut.txt", cut, typed45}},
                                        {"", typed45.substr(0, 39)}));
    Bytes archive = testing::handMadeEncryptedEntry("empty.txt", empty, "");
    Bytes zipMade = testing::readWholeFile(dir.file("e.zip"));
    archive.insert(archive.end(), zipMade.begin(), zipMade.end());
    testing::writeWholeFile(dir.file("both.zip"), archive);

    ASSERT_TRUE(start("both.zip"));
    answer("empty.txt", "\r");
    answer("cut.txt", typed45 + "\r");
    EXPECT_EQ(testing::finishSession(session), 0) << log();
    EXPECT_EQ(session.transcript.find("Incorrect"), std::string::npos) << session.transcript;
    auto files = salvaged();
    EXPECT_TRUE(files["empty.txt"].data == empty);
    EXPECT_TRUE(files["cut.txt"].data == cut);
}

// The typed password only passes the one-byte check: the entry's CRC-32 disproves it, the
// prompt says so and asks again, and the right password then opens the entry whole.
TEST_F(TerminalPrompt, ATypedPasswordTheCrcDisprovesIsRefusedAndAskedAgain) {
    Bytes first = testing::makeRandom(1000, 8);
    ASSERT_TRUE(testing::makeZipArchive(dir, "first.zip", {{"first.bin", first, "right"}}));
    Bytes archive = testing::readWholeFile(dir.file("first.zip"));
    std::string wrong =
        testing::findFalsePassword(testing::readEntryCheck(archive, "first.bin"), "right");
    ASSERT_FALSE(wrong.empty());

    ASSERT_TRUE(start("first.zip"));
    answer("first.bin", wrong + "\r");
    ASSERT_TRUE(testing::expectText(
        session, "Incorrect Password: The entered password does not appear to be correct"))
        << session.transcript;
    ASSERT_TRUE(testing::expectText(session, kPrompt)) << session.transcript;
    testing::typeKeys(session, "right\r");
    EXPECT_EQ(testing::finishSession(session), 0) << log();
    EXPECT_TRUE(salvaged()["first.bin"].data == first);
}

TEST_F(TerminalPrompt, InterruptAtThePromptGivesTheTerminalBack) {
    ASSERT_TRUE(testing::makeZipArchive(dir, "e.zip",
                                        {{"locked.bin", testing::makeRandom(500, 10), "alpha"}}));
    for (bool fromKeyboard : {true, false}) {
        PtySession interrupted;
        ASSERT_TRUE(
            testing::startOnTerminal(interrupted, {"-y", dir.file("e.zip")}, dir.file("log.txt")));
        ASSERT_TRUE(testing::expectText(interrupted, kPrompt));
        ASSERT_FALSE(testing::terminalEchoes(interrupted));
        if (fromKeyboard) {
            testing::typeKeys(interrupted, "\x03");  // Ctrl-C
        } else {
            ::kill(interrupted.pid, SIGTERM);
        }
        EXPECT_EQ(testing::finishSession(interrupted), fromKeyboard ? 128 + SIGINT : 128 + SIGTERM)
            << log();
        EXPECT_TRUE(testing::terminalEchoes(interrupted));
        EXPECT_FALSE(testing::pathExists(dir.file("Salvaged.zip")));
    }
}

}  // namespace
}  // namespace zipsalvage
