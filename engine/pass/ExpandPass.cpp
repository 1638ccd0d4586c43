// SPDX-License-Identifier: MIT
#include "engine/pass/ExpandPass.h"

#include <optional>

#include "engine/pass/ParallelExpand.h"
#include "engine/pass/PayloadDecoder.h"

namespace kavrin {

bool ExpandStream(EngineContext& engine) {
    PayloadDecoder decoder(engine);
    decoder.Start(false);
    size_t taken = 0;
    PayloadDecoder::Step step = PayloadDecoder::Step::NeedInput;
    while (step == PayloadDecoder::Step::NeedInput) {
        const uint32_t span = engine.InputSpan();
        if (span == 0) {
            step = decoder.EndOfInput();
            break;
        }
        step = decoder.Decode(engine.reader.buffer + engine.reader.pos, span, &taken);
        engine.Advance(static_cast<uint32_t>(taken));
    }
    return step == PayloadDecoder::Step::Finished;
}

bool ExpandPass(EngineContext& engine) {
    if (engine.threads > 1) {
        // Without its window or a single worker the pass runs on this thread: nothing has been
        // taken yet.
        if (const std::optional<bool> done = ExpandInParallel(engine)) return *done;
    }
    return ExpandStream(engine);
}

}  // namespace kavrin
