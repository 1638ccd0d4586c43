// SPDX-License-Identifier: MIT
#include "engine/pass/AutoMode.h"

#include <algorithm>

#include "engine/pass/CompressPass.h"

namespace kavrin {

void RunAutoTrial(EngineContext& engine) {
    EngineObserver& observer = *engine.observer;
    observer.SetAnalysisLamp(true);
    observer.BeginProgress(5);

    uint64_t sourceLength = 0;
    if (!platform::GetFileSize(engine.reader.source, &sourceLength)) {
        engine.reader.failed = true;
    }
    const uint32_t trialLength =
        static_cast<uint32_t>(std::min<uint64_t>(sourceLength, kTrialLength));

    uint32_t sizes[6] = {};
    for (uint32_t m = 1; m <= 5; ++m) {
        engine.mode = static_cast<DeltaMode>(m);
        // The budget is set before the refill, so that the read is checked against it, and
        // again after it, replacing the 0 a refill leaves when the job has stopped. A source
        // that could not be read gives the codec nothing: the main pass fails anyway.
        engine.reader.budget = engine.reader.failed ? 0 : trialLength;
        engine.Refill(true);
        engine.reader.budget = engine.reader.failed ? 0 : trialLength;
        if (!platform::SeekTo(engine.reader.source, 0)) {
            engine.reader.failed = true;
            engine.reader.budget = 0;
        }
        // The trial stays within one chunk: no refill, and the output stays in the writer.
        CompressStream(engine);
        sizes[m] = engine.writer.fill;
        engine.ResetCounters();
    }

    uint32_t best = sizes[1];
    engine.mode = DeltaMode::None;
    for (uint32_t m = 2; m <= 5; ++m) {
        if (sizes[m] <= best) {
            best = sizes[m];
            engine.mode = static_cast<DeltaMode>(m);
        }
    }
    observer.ResetProgress();
    observer.SetAnalysisLamp(false);
}

}  // namespace kavrin
