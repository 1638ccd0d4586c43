// SPDX-License-Identifier: MIT
// One file through either front end of the job pipeline: the window (its dispatcher and a real
// worker) or kvn's batch in-process, for the tests that hold both to one promise.
#pragma once

#include <string>

#include "tests/support/BatchHarness.h"
#include "tests/support/DispatchHarness.h"
#include "tests/support/TestSupport.h"

namespace kavrin::test {

enum class FrontEnd { Window, Kvn };

inline const char* NameOf(FrontEnd frontEnd) {
    return frontEnd == FrontEnd::Window ? "window" : "kvn";
}

struct FrontEndRun {
    std::string action;    // the report's action ("compressed", "expanded", "error"...)
    std::string messages;  // what the window showed, or what kvn printed on standard error
};

// Compresses or expands (by the name) `source`, its result going to `outputFolder` ("" for
// beside it), with the source to be deleted when `deleteSource`.
inline FrontEndRun RunOneFile(FrontEnd frontEnd, const std::string& source, bool deleteSource,
                              const std::string& outputFolder = "") {
    FrontEndRun run;
    if (frontEnd == FrontEnd::Kvn) {
        cli::BatchOptions options = BatchOptionsFor(cli::BatchCommand::Process);
        options.deleteSource = deleteSource;
        options.outputFolder = outputFolder;
        const BatchRun batch = Batch({source}, options);
        const std::vector<std::string> actions = batch.Actions();
        run.action = actions.size() == 1 ? actions[0] : "";
        run.messages = batch.errors;
        return run;
    }
    DispatchHarness harness;
    harness.deleteSource = deleteSource ? 1 : 0;
    harness.window.options.sameDir = outputFolder.empty();
    harness.window.options.destDir = outputFolder;
    harness.Add(source);
    harness.dispatcher.OnStart();
    if (!harness.DeliverAll()) return run;
    run.action = harness.window.report.empty() ? "" : harness.window.report.back().action;
    for (const std::string& message : harness.window.shown) run.messages += message + "\n";
    return run;
}

}  // namespace kavrin::test
