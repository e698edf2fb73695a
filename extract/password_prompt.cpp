// askPassword: remembered passwords first (oldest first), then the given ones, then the dialog;
// five slots rotate.
#include "extract/password_prompt.h"

#include <cstring>

namespace zipsalvage {
namespace {

void copyPassword(char* destination, const char* source) {
    size_t length = strnlen(source, kPasswordBufferBytes - 1);
    std::memmove(destination, source, length);
    destination[length] = '\0';
}

void rememberPassword(PasswordBook& book, const char* password) {
    if (book.rememberedCount < kRememberedSlots) {
        copyPassword(book.remembered[book.rememberedCount++], password);
        return;
    }
    std::memmove(book.remembered[0], book.remembered[1],
                 sizeof book.remembered[0] * (kRememberedSlots - 1));
    copyPassword(book.remembered[kRememberedSlots - 1], password);
}

}  // namespace

int passwordPasses(const PasswordRequest& request, const char* password) {
    return testPasswordForEntry(password, request.crc, request.modTime, request.flags,
                                request.header);
}

int askPassword(PasswordBook& book, const PasswordRequest& request) {
    for (int slot = 0; slot < book.rememberedCount; ++slot) {
        if (passwordPasses(request, book.remembered[slot])) {
            copyPassword(book.currentPassword, book.remembered[slot]);
            return 1;
        }
    }
    char accepted[kPasswordBufferBytes] = {};
    bool found = false;
    for (const std::string& given : book.given) {
        // Tested as it will be used: cut to the buffer like a typed one.
        copyPassword(accepted, given.c_str());
        if (passwordPasses(request, accepted)) {
            found = true;
            break;
        }
    }
    if (!found) {
        if (book.dialog == nullptr) return 0;
        std::memset(accepted, 0, sizeof accepted);
        if (!book.dialog(book.dialogContext, request, accepted)) return 0;
        accepted[kPasswordBufferBytes - 1] = '\0';
    }
    copyPassword(book.currentPassword, accepted);
    rememberPassword(book, book.currentPassword);
    return 1;
}

}  // namespace zipsalvage
