// SPDX-License-Identifier: MIT
#include "lists/AddFilesDialog.h"

#include <QPointer>
#include <memory>

#include "lists/DisplayText.h"

namespace kavrin {
namespace {

// One pattern as the file dialog matches it: every letter as a [xX] pair, so the match
// ignores case whatever the dialog's own setting, and "*.*" as "*", which also finds names
// without a dot.
QString CaseFreePattern(std::string_view pattern) {
    if (pattern == "*.*") return QStringLiteral("*");
    QString out;
    for (char c : pattern) {
        char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        char upper = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
        if (lower != upper) {
            out += QLatin1Char('[');
            out += QLatin1Char(lower);
            out += QLatin1Char(upper);
            out += QLatin1Char(']');
        } else {
            out += QLatin1Char(c);
        }
    }
    return out;
}

QString Description(const AddFilesFilter& filter) {
    return QCoreApplication::translate("AddFilesDialog", filter.description);
}

// The dialog's filter text: the description, then the patterns it matches in parentheses. The
// dialog is told to hide that last part, so it shows the description alone, as written.
QString NameFilter(const AddFilesFilter& filter) {
    QStringList patterns;
    std::string_view rest = filter.patterns;
    while (!rest.empty()) {
        size_t end = rest.find(';');
        patterns << CaseFreePattern(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return Description(filter) + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
           QLatin1Char(')');
}

QStringList NameFilters() {
    QStringList filters;
    for (const AddFilesFilter& filter : kAddFilesFilters) filters << NameFilter(filter);
    return filters;
}

}  // namespace

void ConfigureAddFilesDialog(QFileDialog& dialog, int filterIndex) {
    // Qt's own dialog on every desktop: the filter texts and patterns above depend on it.
    dialog.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::HideNameFilterDetails);
    dialog.setWindowTitle(
        QCoreApplication::translate("AddFilesDialog", "Add files to Input Queue"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    const QStringList filters = NameFilters();
    dialog.setNameFilters(filters);
    if (filterIndex < 0 || filterIndex >= kAddFilesFilterCount) filterIndex = 0;
    dialog.selectNameFilter(filters[filterIndex]);
}

int SelectedAddFilesFilter(const QFileDialog& dialog) {
    // Depending on the Qt version the dialog answers with the whole filter text or with the
    // description it shows; the descriptions are unique, so either finds the filter.
    const QString selected = dialog.selectedNameFilter();
    for (int i = 0; i < kAddFilesFilterCount; ++i) {
        if (selected == NameFilter(kAddFilesFilters[i]) ||
            selected == Description(kAddFilesFilters[i])) {
            return i;
        }
    }
    return 0;
}

AddFilesChooser MakeAddFilesChooser(QWidget* owner) {
    auto folder = std::make_shared<QString>();
    return [owner = QPointer<QWidget>(owner),
            folder](int filterIndex) -> std::optional<AddFilesChoice> {
        QFileDialog dialog(owner);
        ConfigureAddFilesDialog(dialog, filterIndex);
        if (!folder->isEmpty()) dialog.setDirectory(*folder);
        if (dialog.exec() != QDialog::Accepted) return std::nullopt;
        *folder = dialog.directory().absolutePath();
        AddFilesChoice choice;
        choice.filterIndex = SelectedAddFilesFilter(dialog);
        for (const QString& file : dialog.selectedFiles()) {
            choice.paths.push_back(FileSystemBytes(file));
        }
        return choice;
    };
}

}  // namespace kavrin
