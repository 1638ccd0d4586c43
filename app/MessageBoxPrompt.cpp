// SPDX-License-Identifier: MIT
#include "app/MessageBoxPrompt.h"

#include <QMessageBox>

#include "app/MessageText.h"

namespace kavrin {
namespace {
const QString kTitle = QStringLiteral("Kavrin");
}

void CMessageBoxPrompt::ShowError(const std::string& text) {
    QMessageBox box(QMessageBox::Critical, kTitle, TranslatedMessage(text), QMessageBox::Ok,
                    m_owner);
    box.exec();
}

Prompt::Answer CMessageBoxPrompt::AskYesNoCancel(const std::string& text) {
    QMessageBox box(QMessageBox::Question, kTitle, TranslatedMessage(text),
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, m_owner);
    box.setDefaultButton(QMessageBox::Yes);
    switch (box.exec()) {
        case QMessageBox::Yes:
            return Answer::Yes;
        case QMessageBox::No:
            return Answer::No;
        default:
            return Answer::Cancel;  // Cancel, or the box closed without an answer
    }
}

}  // namespace kavrin
