// SPDX-License-Identifier: MIT
// A Prompt for tests: records every message and question, and answers questions from a
// script (Yes once the script is used up).
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "jobs/Prompt.h"

namespace kavrin::test {

class ScriptedPrompt : public Prompt {
public:
    void ShowError(const std::string& text) override { shown.push_back(text); }
    Answer AskYesNoCancel(const std::string& text) override {
        asked.push_back(text);
        if (answers.empty()) return Answer::Yes;
        Answer answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::vector<std::string> shown;  // error messages, in order
    std::vector<std::string> asked;  // questions, in order
    std::deque<Answer> answers;      // the answers still to give
};

}  // namespace kavrin::test
