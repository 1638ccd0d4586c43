// SPDX-License-Identifier: MIT
// Where a `kvn` batch talks to its user: the report on stdout, messages and the progress line
// on stderr, and the overwrite question. `TerminalConsole` is the real one; tests record.
//
// Only the batch's main thread calls a Console; worker threads never print.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace kavrin::cli {

// How often a progress line is redrawn: a sixth of a second keeps it readable and its cost
// negligible.
inline constexpr std::chrono::milliseconds kProgressRefresh{166};
// Progress objects come less often: the programs that read them redraw a notification.
inline constexpr std::chrono::milliseconds kJsonProgressRefresh{500};

enum class OverwriteAnswer { Yes, No, Cancel, All };

class Console {
public:
    virtual ~Console() = default;
    // One report line (or JSON object) for stdout; `text` ends with its '\n'. False (errno set)
    // when it could not be written: standard output is closed or its disk is full.
    virtual bool Out(const std::string& text) = 0;
    // One message line for stderr, without the "kvn: " prefix or the '\n'.
    virtual void Error(const std::string& text) = 0;
    // True when a question can be put to a person: stdin and stderr are terminals.
    virtual bool CanAsk() = 0;
    // Asks "File already exists\n<path>\nOverwrite?" (naming the file an existing archive
    // holds, when it holds another); Yes is the default. Cancel also when the input ends or
    // Ctrl-C interrupts the question.
    virtual OverwriteAnswer AskOverwrite(const std::string& shownPath,
                                         const std::string& holds) = 0;
    // True when a progress line can be shown (stderr is a terminal).
    virtual bool ShowsProgress() = 0;
    // Replaces the progress line with `line` (empty: removes it).
    virtual void Progress(const std::string& line) = 0;
    // The columns a progress line may take without wrapping; 0 when unknown.
    virtual size_t ProgressColumns() { return 0; }
};

// stdout, stderr and stdin of the process.
class TerminalConsole : public Console {
public:
    TerminalConsole();
    ~TerminalConsole() override;
    bool Out(const std::string& text) override;
    void Error(const std::string& text) override;
    bool CanAsk() override { return canAsk_; }
    OverwriteAnswer AskOverwrite(const std::string& shownPath, const std::string& holds) override;
    bool ShowsProgress() override { return progressTerminal_; }
    void Progress(const std::string& line) override;
    size_t ProgressColumns() override;

private:
    void ClearProgress();

    bool canAsk_;
    bool progressTerminal_;
    bool progressShown_ = false;
};

// The overwrite question as it is put: "File already exists\n<path>\nOverwrite?", with the
// line "It holds another file: <name>" before the last when the existing archive holds one.
std::string OverwriteQuestion(const std::string& shownPath, const std::string& holds = "");

// Reads an answer to the overwrite question: the letter in brackets of each choice of `prompt`
// (the choices as shown, "[Y]es, [n]o, [c]ancel, [a]ll: " in the user's language), or
// y/yes/empty Yes, n/no No, c/cancel Cancel, a/all All (any letter case). False for anything
// else, which is asked again.
bool ParseOverwriteAnswer(const std::string& line, OverwriteAnswer* answer,
                          const std::string& prompt);

}  // namespace kavrin::cli
