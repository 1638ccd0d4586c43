// SPDX-License-Identifier: MIT
#include "cli/Console.h"
#include "cli/Translate.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace kavrin::cli {
namespace {

// Reads one line from stdin byte by byte, so nothing after the answer is taken from a script
// that feeds several answers. False at the end of the input or when Ctrl-C interrupts it.
bool ReadAnswerLine(std::string* line) {
    line->clear();
    for (;;) {
        char c = 0;
        ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) return false;  // the handler installed without SA_RESTART
        if (n <= 0) return false;
        if (c == '\n') return true;
        if (c != '\r') line->push_back(c);
    }
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace

std::string OverwriteQuestion(const std::string& shownPath, const std::string& holds) {
    return std::string(Tr("File already exists")) + "\n" + shownPath + "\n" +
           (holds.empty() ? "" : Format(Tr("It holds another file: %s"), {holds}) + "\n") +
           Tr("Overwrite?");
}

bool ParseOverwriteAnswer(const std::string& line, OverwriteAnswer* answer,
                          const std::string& prompt) {
    size_t begin = line.find_first_not_of(" \t");
    size_t end = line.find_last_not_of(" \t");
    std::string word = begin == std::string::npos ? "" : Lower(line.substr(begin, end - begin + 1));
    // The letters the prompt shows, in the order yes, no, cancel, all.
    std::string shown;
    for (size_t at = prompt.find('['); at != std::string::npos && at + 2 < prompt.size();
         at = prompt.find('[', at + 1)) {
        if (prompt[at + 2] == ']') shown += Lower(prompt.substr(at + 1, 1));
    }
    static constexpr OverwriteAnswer kInOrder[] = {OverwriteAnswer::Yes, OverwriteAnswer::No,
                                                   OverwriteAnswer::Cancel, OverwriteAnswer::All};
    if (shown.size() == 4 && word.size() == 1 && shown.find(word[0]) != std::string::npos) {
        *answer = kInOrder[shown.find(word[0])];
        return true;
    }
    if (word.empty() || word == "y" || word == "yes") {
        *answer = OverwriteAnswer::Yes;
    } else if (word == "n" || word == "no") {
        *answer = OverwriteAnswer::No;
    } else if (word == "c" || word == "cancel") {
        *answer = OverwriteAnswer::Cancel;
    } else if (word == "a" || word == "all") {
        *answer = OverwriteAnswer::All;
    } else {
        return false;
    }
    return true;
}

TerminalConsole::TerminalConsole()
    : canAsk_(isatty(STDIN_FILENO) && isatty(STDERR_FILENO)),
      progressTerminal_(isatty(STDERR_FILENO)) {}

TerminalConsole::~TerminalConsole() {
    ClearProgress();
}

bool TerminalConsole::Out(const std::string& text) {
    ClearProgress();
    // Flushed line by line: a report that cannot be written is known at once, not at exit.
    errno = 0;
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    return std::fflush(stdout) == 0 && written && !std::ferror(stdout);
}

void TerminalConsole::Error(const std::string& text) {
    ClearProgress();
    std::fprintf(stderr, "kvn: %s\n", text.c_str());
    std::fflush(stderr);
}

OverwriteAnswer TerminalConsole::AskOverwrite(const std::string& shownPath,
                                              const std::string& holds) {
    ClearProgress();
    std::fprintf(stderr, "%s %s", OverwriteQuestion(shownPath, holds).c_str(),
                 Tr("[Y]es, [n]o, [c]ancel, [a]ll: "));
    std::fflush(stderr);
    for (;;) {
        std::string line;
        if (!ReadAnswerLine(&line)) {
            std::fputc('\n', stderr);
            return OverwriteAnswer::Cancel;
        }
        OverwriteAnswer answer;
        if (ParseOverwriteAnswer(line, &answer, Tr("[Y]es, [n]o, [c]ancel, [a]ll: ")))
            return answer;
        std::fputs(Tr("Please answer y, n, c or a: "), stderr);
        std::fflush(stderr);
    }
}

void TerminalConsole::Progress(const std::string& line) {
    if (!progressTerminal_) return;
    if (line.empty()) {
        ClearProgress();
        return;
    }
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    std::fflush(stderr);
    progressShown_ = true;
}

size_t TerminalConsole::ProgressColumns() {
    struct winsize size {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col < 2) return 0;
    // The last column is left free: a line that fills it wraps on some terminals.
    return size.ws_col - 1u;
}

void TerminalConsole::ClearProgress() {
    if (!progressShown_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    progressShown_ = false;
}

}  // namespace kavrin::cli
