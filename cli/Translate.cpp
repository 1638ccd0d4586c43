// SPDX-License-Identifier: MIT
#include "cli/Translate.h"

#include <libintl.h>
#include <locale.h>
#include <unistd.h>

#include <clocale>
#include <string>

namespace kavrin::cli {
namespace {

constexpr const char* kDomain = "kvn";

// The folder of the running program, from /proc/self/exe; "" when it cannot be read.
std::string ProgramFolder() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return "";
    std::string folder(path, static_cast<size_t>(length));
    return folder.substr(0, folder.rfind('/'));
}

// The C locale, made once: messages in English, whatever the environment says.
locale_t EnglishLocale() {
    static const locale_t english = newlocale(LC_ALL_MASK, "C", locale_t{});
    return english;
}

}  // namespace

EnglishScope::EnglishScope() : previous_(nullptr) {
    if (EnglishLocale() != locale_t{}) previous_ = uselocale(EnglishLocale());
}

EnglishScope::~EnglishScope() {
    if (previous_ != nullptr) uselocale(static_cast<locale_t>(previous_));
}

void SetUpTranslations() {
    // Messages and characters only: numbers printed with a decimal comma would break every
    // script that reads the report.
    std::setlocale(LC_MESSAGES, "");
    std::setlocale(LC_CTYPE, "");
    // Beside the program first (a build tree, a relocated install), then the install prefix.
    const std::string beside = ProgramFolder() + "/../share/locale";
    bindtextdomain(kDomain, access(beside.c_str(), X_OK) == 0 ? beside.c_str() : KAVRIN_LOCALEDIR);
    bind_textdomain_codeset(kDomain, "UTF-8");
}

const char* Tr(const char* text) {
    return dgettext(kDomain, text);
}

const char* TrContext(const char* context, const char* text) {
    // As gettext's pgettext: the context and the text joined by EOT are the catalogue's key; a
    // key without a translation comes back as it went in, and then the text stands.
    const std::string key = std::string(context) + '\004' + text;
    const char* found = dgettext(kDomain, key.c_str());
    return found == key.c_str() ? text : found;
}

std::string LocalDecimal(std::string number) {
    // TRANSLATORS: the decimal separator in numbers of the report ("40.896M", "1.5 s").
    const std::string separator = TrContext("decimal separator", ".");
    const size_t at = number.find('.');
    if (at != std::string::npos && separator != ".") number.replace(at, 1, separator);
    return number;
}

std::string Format(const char* format, std::initializer_list<std::string> values) {
    std::string out;
    auto next = values.begin();
    for (const char* at = format; *at != '\0'; ++at) {
        if (at[0] == '%' && at[1] == 's') {
            if (next != values.end()) out += *next++;
            ++at;
        } else if (at[0] == '%' && at[1] == '%') {
            out += '%';
            ++at;
        } else {
            out += *at;
        }
    }
    return out;
}

}  // namespace kavrin::cli
