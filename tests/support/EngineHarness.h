// Runs the engine's job procedures on bytes, through real files in a temporary folder.
#pragma once

#include <string>

#include "engine/JobProcedures.h"
#include "tests/support/TestSupport.h"

namespace kavrin::test {

struct JobRun {
    JobOutcome outcome;
    uint64_t consumed = 0;
    uint64_t produced = 0;
    EngineError error = EngineError::None;
    std::string output;  // what the destination holds afterwards
};

// Compresses `source` with `mode` and the type text `typeText`.
JobRun Compress(const std::string& source, DeltaMode mode, const std::string& typeText,
                EngineObserver& observer);
JobRun Compress(const std::string& source, DeltaMode mode, const std::string& typeText = "raw");

JobRun Expand(const std::string& archive, EngineObserver& observer);
JobRun Expand(const std::string& archive);

// The archive's payload: everything after its header.
std::string PayloadOf(const std::string& archive);

}  // namespace kavrin::test
