#include "app/MessageBoxPrompt.h"

#include <QMessageBox>

#include "lists/DisplayText.h"

namespace kavrin {
namespace {
const QString kTitle = QStringLiteral("Kavrin");
}

void CMessageBoxPrompt::ShowError(const std::string& text) {
    QMessageBox box(QMessageBox::Critical, kTitle, DisplayText(text), QMessageBox::Ok, m_owner);
    box.exec();
}

Prompt::Answer CMessageBoxPrompt::AskYesNoCancel(const std::string& text) {
    QMessageBox box(QMessageBox::Question, kTitle, DisplayText(text),
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
