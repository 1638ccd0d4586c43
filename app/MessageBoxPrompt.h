// SPDX-License-Identifier: MIT
// The window's Prompt: modal message boxes titled "Kavrin" over the main window, the error
// icon with OK for failures, the question icon with Yes, No and Cancel (Yes the default) for
// questions. Texts are decoded for display only, and shown in the user's language
// (MessageText.h).
//
// Window thread only. The owner widget must outlive the prompt.
#pragma once

#include "jobs/Prompt.h"

class QWidget;

namespace kavrin {

class CMessageBoxPrompt : public Prompt {
public:
    explicit CMessageBoxPrompt(QWidget* owner) : m_owner(owner) {}
    void ShowError(const std::string& text) override;
    Answer AskYesNoCancel(const std::string& text) override;

private:
    QWidget* m_owner;
};

}  // namespace kavrin
