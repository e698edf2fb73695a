// Passwords for encrypted entries: those accepted earlier are tried first, then the user asks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "extract/cipher.h"

namespace zipsalvage {

inline constexpr int kRememberedSlots = 5;

// What the check of one entry's password needs.
struct PasswordRequest {
    const char* name;       // raw entry name, as stored
    const uint8_t* header;  // the 12 encrypted header bytes
    uint32_t crc;           // CRC-32 field of the local header
    uint16_t modTime;       // last-mod file time field of the local header
    uint16_t flags;         // general purpose bit flag
    // Passwords that passed the check byte but whose output failed the entry's CRC-32 (or its
    // method): they never pass again for this entry. nullptr: none.
    const std::vector<std::string>* provenWrong = nullptr;
    // Set when the password typed last for this entry was proven wrong that way: the dialog
    // says "Incorrect Password" before it asks again.
    bool typedWasWrong = false;
    // WinZip AES key strength, 0 for traditional encryption. With it, `header` is the salt and
    // the 2-byte password verifier, and the verifier is the check.
    uint8_t aesStrength = 0;
};

// True when `password` passes the entry's check byte (AES: its verifier) and is not proven
// wrong for it.
bool passwordPasses(const PasswordRequest& request, const char* password);

// Asks the user for the password of one entry. Returns true with the accepted password (at most
// kPasswordBufferBytes - 1 bytes) in `accepted`, false when the user skips the entry. The dialog
// itself tests what is typed with passwordPasses and asks again after a wrong one.
using PasswordDialog = bool (*)(void* dialogContext, const PasswordRequest& request,
                                char* accepted);

struct PasswordBook {
    char currentPassword[kPasswordBufferBytes];
    char remembered[kRememberedSlots][kPasswordBufferBytes];  // oldest first
    int rememberedCount;
    // Passwords given in advance (the command line), tried in order after the remembered ones
    // and before the dialog. Only their first kPasswordBufferBytes - 1 bytes count, as with a typed
    // password.
    std::vector<std::string> given;
    PasswordDialog dialog;  // nullptr: nobody to ask, every new password is a skip
    void* dialogContext;
};

// True when a password passed (it is then in book.currentPassword), false for Skip. Tries the
// remembered passwords (oldest first), then the given ones, then the dialog; a given or typed
// password that passes is remembered, the oldest of five dropped.
bool askPassword(PasswordBook& book, const PasswordRequest& request);

enum class PasswordSource { kNone, kRemembered, kGiven, kTyped };

// Where one entry's search through the candidates stands. One wrong password in 256 passes the
// one-byte check, so the output's CRC-32 has the last word: a candidate it disproves goes into
// `provenWrong` and the search goes on from where it stood.
struct PasswordSearch {
    int nextRemembered = 0;
    size_t nextGiven = 0;
    PasswordSource source = PasswordSource::kNone;  // of the password in currentPassword
    std::vector<std::string> provenWrong;
};

// The next candidate, in askPassword's order, that passes the check byte and is not proven
// wrong: true with it in book.currentPassword and its source in `search`, false when none is
// left (or the user skipped). Remembers nothing; see rememberPassword.
bool nextPassword(PasswordBook& book, const PasswordRequest& request, PasswordSearch& search);

// Puts `password` into the newest slot, dropping the oldest of five.
void rememberPassword(PasswordBook& book, const char* password);

}  // namespace zipsalvage
