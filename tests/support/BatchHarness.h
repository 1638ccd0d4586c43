// SPDX-License-Identifier: MIT
// kvn's batch run in-process, so that a test can inject faults into the file layer and read
// what the batch printed. There is never a terminal to ask on.
#pragma once

#include <cerrno>
#include <string>
#include <vector>

#include "cli/Batch.h"

namespace kavrin::test {

class RecordingConsole : public cli::Console {
public:
    bool Out(const std::string& text) override {
        if (outFails) {
            errno = ENOSPC;
            return false;
        }
        out += text;
        return true;
    }
    void Error(const std::string& text) override { errors += text + "\n"; }
    bool CanAsk() override { return false; }
    cli::OverwriteAnswer AskOverwrite(const std::string&, const std::string&) override {
        return cli::OverwriteAnswer::Cancel;
    }
    bool ShowsProgress() override { return false; }
    void Progress(const std::string&) override {}

    std::string out;
    std::string errors;
    bool outFails = false;  // standard output is full
};

struct BatchRun {
    int status = -1;
    std::string out;     // the report: JSON lines with `json`
    std::string errors;  // one message per line
    // The "action" of every JSON report line, in order.
    std::vector<std::string> Actions() const {
        std::vector<std::string> actions;
        const std::string key = "\"action\":\"";
        for (size_t at = out.find(key); at != std::string::npos; at = out.find(key, at + 1)) {
            const size_t from = at + key.size();
            actions.push_back(out.substr(from, out.find('"', from) - from));
        }
        return actions;
    }
};

inline BatchRun Batch(const std::vector<std::string>& inputs, const cli::BatchOptions& options) {
    RecordingConsole console;
    BatchRun run;
    run.status = cli::RunBatch(inputs, options, console);
    run.out = console.out;
    run.errors = console.errors;
    return run;
}

// Options for a test batch: JSON lines, no Auto trial (its reads would blur fault counts).
inline cli::BatchOptions BatchOptionsFor(cli::BatchCommand command) {
    cli::BatchOptions options;
    options.command = command;
    options.mode = DeltaMode::None;
    options.json = true;
    options.jobs = 1;
    return options;
}

}  // namespace kavrin::test
