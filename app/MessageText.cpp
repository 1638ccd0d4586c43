// SPDX-License-Identifier: MIT
#include "app/MessageText.h"

#include <QCoreApplication>
#include <string_view>
#include <vector>

#include "lists/DisplayText.h"

namespace kavrin {
namespace {

// Every text the dispatcher and the worker send, exactly as they send it, "%1" and "%2" for the
// file names in it, in their order.
constexpr const char* kMessages[] = {
    QT_TRANSLATE_NOOP("Dispatcher", "Can't delete source file\n%1"),
    QT_TRANSLATE_NOOP("Dispatcher", "Cat't perform operation"),
    QT_TRANSLATE_NOOP("Dispatcher", "Illegal destination directory"),
    // The more precise of the two questions first: the other would match it as well.
    QT_TRANSLATE_NOOP("Dispatcher",
                      "File already exists\n%1\nIt holds another file: %2\nOverwrite?"),
    QT_TRANSLATE_NOOP("Dispatcher", "File already exists\n%1\nOverwrite?"),
    QT_TRANSLATE_NOOP("Dispatcher", "Can't open source file"),
    QT_TRANSLATE_NOOP("Dispatcher", "Bad file format"),
    QT_TRANSLATE_NOOP("Dispatcher", "Can't create file\n%1"),
    QT_TRANSLATE_NOOP("Dispatcher", "Can't create work thread"),
    QT_TRANSLATE_NOOP("Dispatcher", "No memory"),
};

}  // namespace

QString TranslatedMessage(const std::string& text) {
    const std::string_view message(text);
    for (const char* source : kMessages) {
        // The pattern's fixed parts between its holes "%1", "%2" must follow one another in
        // the text; what lies between them fills the holes.
        std::string_view pattern(source);
        std::vector<std::string_view> parts;
        for (size_t hole; (hole = pattern.find('%')) != std::string_view::npos;) {
            parts.push_back(pattern.substr(0, hole));
            pattern.remove_prefix(hole + 2);
        }
        parts.push_back(pattern);
        if (!message.starts_with(parts.front())) continue;
        std::vector<std::string_view> names;
        size_t at = parts.front().size();
        bool matches = true;
        for (size_t i = 1; i < parts.size() && matches; ++i) {
            const bool last = i + 1 == parts.size();
            const size_t found =
                last ? (message.ends_with(parts[i]) && message.size() >= at + parts[i].size()
                            ? message.size() - parts[i].size()
                            : std::string_view::npos)
                     : message.find(parts[i], at);
            matches = found != std::string_view::npos;
            if (!matches) break;
            names.push_back(message.substr(at, found - at));
            at = found + parts[i].size();
        }
        if (!matches || (parts.size() == 1 && message.size() != parts.front().size())) continue;
        // One pass over the translation, so a file name holding "%2" stays as it is.
        const QString translated = QCoreApplication::translate("Dispatcher", source);
        if (names.empty()) return translated;
        if (names.size() == 1) return translated.arg(DisplayText(names[0]));
        return translated.arg(DisplayText(names[0]), DisplayText(names[1]));
    }
    return DisplayText(text);
}

}  // namespace kavrin
