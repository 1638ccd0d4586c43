// SPDX-License-Identifier: MIT
// kvn's texts in the user's language, through gettext and the catalogue "kvn"
// (po/LANG.po, compiled to share/locale/LANG/LC_MESSAGES/kvn.mo). A text without a translation
// stays English. Only messages, help, the question and the report table are translated: the
// JSON objects and the exit statuses stay as scripts read them. Numbers in the human-readable
// report take the language's decimal separator (LocalDecimal); JSON keeps the point.
//
// Texts are marked Tr("...") so that scripts/update-translations.sh finds them; a text that
// holds values is a format with "%s" for each, filled in by Format. Looking a text up costs a
// hash lookup, and only messages are looked up, never anything per byte or per block.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>

namespace kavrin::cli {

// Takes the language of the user's environment (LC_ALL, LC_MESSAGES, LANG, LANGUAGE) for
// messages and finds the catalogue beside the program (../share/locale) or where it is
// installed. Call once, first thing in main.
void SetUpTranslations();

// `text` in the user's language.
const char* Tr(const char* text);

// `text` as translated in `context` (gettext's message context), for a short text that means
// different things in different places.
const char* TrContext(const char* context, const char* text);

// A number written with a decimal point ("40.896M", "1.5") with the separator of the user's
// language in its place (German: "40,896M"). For text people read; never for JSON.
std::string LocalDecimal(std::string number);

// Marks a text kept in a constant for the catalogue; Tr translates it where it is used.
constexpr const char* TrNoop(const char* text) {
    return text;
}

// `format` with each "%s" replaced by the next of `values`, in order ("%%" gives "%").
std::string Format(const char* format, std::initializer_list<std::string> values);

// A message about a file in the user's language, for standard error, and in English, for the
// JSON objects that scripts read.
struct Said {
    std::string local;
    std::string english;
};

// While one lives, this thread speaks English: Tr gives its texts as they are and strerror the
// system's English reasons. Other threads keep the user's language.
class EnglishScope {
public:
    EnglishScope();
    ~EnglishScope();
    EnglishScope(const EnglishScope&) = delete;
    EnglishScope& operator=(const EnglishScope&) = delete;

private:
    void* previous_;
};

// The message `make()` gives, made once in the user's language and once in English, so that
// every Tr and strerror inside it, nested ones too, gives both.
template <typename Make>
Said Say(Make&& make) {
    Said message;
    message.local = make();
    EnglishScope english;
    message.english = std::forward<Make>(make)();
    return message;
}

}  // namespace kavrin::cli
