#include "usb/HidLocale.h"

#include <langinfo.h>

#include <clocale>
#include <cstring>

namespace {

bool CharacterTypeIsUtf8() {
    const char* codeset = nl_langinfo(CODESET);
    return codeset != nullptr && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
}

}  // namespace

std::string UseUtf8CharacterType() {
    if (std::setlocale(LC_CTYPE, "") == nullptr || !CharacterTypeIsUtf8()) {
        // An unknown or non-UTF-8 locale in the environment: the built-in UTF-8 one of the C library.
        if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) std::setlocale(LC_CTYPE, "C.utf8");
    }
    const char* now = std::setlocale(LC_CTYPE, nullptr);
    return now != nullptr ? now : "";
}
