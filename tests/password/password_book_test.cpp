// askPassword: the order remembered, given, dialog; the five rotating slots; Skip.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "extract/password_prompt.h"
#include "tests/password/encrypted_archives.h"

namespace zipsalvage {
namespace {

// One entry's encryption header for `password` (made by the test encryptor).
struct EncryptedEntry {
    testing::EntryCheck check;
    PasswordRequest request;
    explicit EncryptedEntry(const std::string& password, uint32_t seed = 1) {
        testing::Bytes entry =
            testing::handMadeEncryptedEntry("e.bin", testing::makeRandom(40, seed), password);
        check = testing::readEntryCheck(entry, "e.bin");
        request = PasswordRequest{"e.bin", check.header, check.crc, check.modTime, check.flags};
    }
};

// Stands in for the person at the dialog: answers in turn; "" in the queue means Skip.
struct ScriptedDialog {
    std::deque<std::string> answers;
    int shown = 0;
    static bool answer(void* context, const PasswordRequest&, char* accepted) {
        auto& dialog = *static_cast<ScriptedDialog*>(context);
        ++dialog.shown;
        if (dialog.answers.empty() || dialog.answers.front().empty()) return false;
        std::snprintf(accepted, kPasswordBufferBytes, "%s", dialog.answers.front().c_str());
        dialog.answers.pop_front();
        return true;
    }
};

struct BookBench {
    PasswordBook book{};
    ScriptedDialog dialog;
    BookBench() {
        book.dialog = ScriptedDialog::answer;
        book.dialogContext = &dialog;
    }
    std::vector<std::string> remembered() const {
        return std::vector<std::string>(book.remembered, book.remembered + book.rememberedCount);
    }
};

TEST(AskPassword, TriesRememberedThenGivenBeforeAskingAndRemembersWhatPasses) {
    BookBench bench;
    bench.book.given = {"nothing", "given"};
    bench.dialog.answers = {"typed"};

    EXPECT_TRUE(askPassword(bench.book, EncryptedEntry("given").request));
    EXPECT_STREQ(bench.book.currentPassword, "given");
    EXPECT_EQ(bench.dialog.shown, 0);

    EXPECT_TRUE(askPassword(bench.book, EncryptedEntry("typed").request));
    EXPECT_EQ(bench.dialog.shown, 1);
    EXPECT_EQ(bench.remembered(), (std::vector<std::string>{"given", "typed"}));

    // A remembered password passes silently; nothing is remembered twice.
    EXPECT_TRUE(askPassword(bench.book, EncryptedEntry("given", 2).request));
    EXPECT_STREQ(bench.book.currentPassword, "given");
    EXPECT_EQ(bench.dialog.shown, 1);
    EXPECT_EQ(bench.book.rememberedCount, 2);
}

TEST(AskPassword, SixAcceptedPasswordsLeaveTheLastFive) {
    BookBench bench;
    for (int index = 1; index <= 6; ++index) {
        std::string password = "pw" + std::to_string(index);
        bench.dialog.answers = {password};
        ASSERT_TRUE(askPassword(bench.book, EncryptedEntry(password).request));
    }
    EXPECT_EQ(bench.remembered(), (std::vector<std::string>{"pw2", "pw3", "pw4", "pw5", "pw6"}));
    bench.dialog.answers = {"pw1"};
    EXPECT_TRUE(askPassword(bench.book, EncryptedEntry("pw1", 9).request));
    EXPECT_EQ(bench.dialog.shown, 7);
    EXPECT_EQ(bench.remembered(), (std::vector<std::string>{"pw3", "pw4", "pw5", "pw6", "pw1"}));
}

TEST(AskPassword, SkipKeepsTheLastPasswordAndRemembersNothing) {
    BookBench bench;
    bench.dialog.answers = {"first", ""};
    ASSERT_TRUE(askPassword(bench.book, EncryptedEntry("first").request));
    EXPECT_FALSE(askPassword(bench.book, EncryptedEntry("second").request));
    EXPECT_STREQ(bench.book.currentPassword, "first");
    EXPECT_EQ(bench.book.rememberedCount, 1);

    bench.book.dialog = nullptr;  // nobody to ask: a skip
    EXPECT_FALSE(askPassword(bench.book, EncryptedEntry("second").request));
}

}  // namespace
}  // namespace zipsalvage
