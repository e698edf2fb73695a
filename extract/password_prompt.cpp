// askPassword: remembered passwords first (oldest first), then the given ones, then the dialog;
// five slots rotate.
#include "extract/password_prompt.h"

#include <cstring>

#include "extract/winzip_aes.h"

namespace zipsalvage {
namespace {

void copyPassword(char* destination, const char* source) {
    size_t length = strnlen(source, kPasswordBufferBytes - 1);
    std::memmove(destination, source, length);
    destination[length] = '\0';
}

}  // namespace

void rememberPassword(PasswordBook& book, const char* password) {
    if (book.rememberedCount < kRememberedSlots) {
        copyPassword(book.remembered[book.rememberedCount++], password);
        return;
    }
    std::memmove(book.remembered[0], book.remembered[1],
                 sizeof book.remembered[0] * (kRememberedSlots - 1));
    copyPassword(book.remembered[kRememberedSlots - 1], password);
}

bool passwordPasses(const PasswordRequest& request, const char* password) {
    if (request.provenWrong != nullptr) {
        // Compared as it is used: cut to 39 characters.
        char cut[kPasswordBufferBytes];
        copyPassword(cut, password);
        for (const std::string& wrong : *request.provenWrong) {
            if (wrong == cut) return false;
        }
    }
    if (request.aesStrength != 0) {
        return aesPasswordPasses(password, request.aesStrength, request.header);
    }
    return testPasswordForEntry(password, request.crc, request.modTime, request.flags,
                                request.header);
}

bool nextPassword(PasswordBook& book, const PasswordRequest& asked, PasswordSearch& search) {
    PasswordRequest request = asked;
    request.provenWrong = &search.provenWrong;
    while (search.nextRemembered < book.rememberedCount) {
        const char* candidate = book.remembered[search.nextRemembered++];
        if (passwordPasses(request, candidate)) {
            copyPassword(book.currentPassword, candidate);
            search.source = PasswordSource::kRemembered;
            return true;
        }
    }
    char accepted[kPasswordBufferBytes] = {};
    while (search.nextGiven < book.given.size()) {
        copyPassword(accepted, book.given[search.nextGiven++].c_str());
        if (passwordPasses(request, accepted)) {
            copyPassword(book.currentPassword, accepted);
            search.source = PasswordSource::kGiven;
            return true;
        }
    }
    search.source = PasswordSource::kNone;
    if (book.dialog == nullptr) return false;
    std::memset(accepted, 0, sizeof accepted);
    if (!book.dialog(book.dialogContext, request, accepted)) return false;
    accepted[kPasswordBufferBytes - 1] = '\0';
    copyPassword(book.currentPassword, accepted);
    search.source = PasswordSource::kTyped;
    return true;
}

bool askPassword(PasswordBook& book, const PasswordRequest& request) {
    PasswordSearch search;
    if (!nextPassword(book, request, search)) return false;
    if (search.source != PasswordSource::kRemembered) {
        rememberPassword(book, book.currentPassword);
    }
    return true;
}

}  // namespace zipsalvage
