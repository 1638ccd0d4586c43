// SPDX-License-Identifier: MIT
// The one way Kavrin asks the user something or tells them of a failure. The window shows
// modal message boxes titled "Kavrin"; tests script the answers, so no test can block on a
// dialog. Texts are bytes ('\n' a line break) and may hold file names that are not valid
// UTF-8; an implementation decodes them only for display.
//
// Window thread only: the worker never asks anything.
#pragma once

#include <string>

namespace kavrin {

class Prompt {
public:
    enum class Answer { Yes, No, Cancel };

    virtual ~Prompt() = default;
    // A modal message with the error icon and an OK button.
    virtual void ShowError(const std::string& text) = 0;
    // A modal question with Yes, No and Cancel, the question icon and Yes as the default.
    virtual Answer AskYesNoCancel(const std::string& text) = 0;
};

}  // namespace kavrin
