// SPDX-License-Identifier: MIT
#include "engine/pass/CompressPass.h"

#include <bzlib.h>

#include <optional>

#include "engine/pass/ParallelCompress.h"

namespace kavrin {
namespace {

constexpr int kBlockSize100k = 9;

}  // namespace

bool CompressStream(EngineContext& engine) {
    bz_stream stream{};
    if (BZ2_bzCompressInit(&stream, kBlockSize100k, 0, 0) != BZ_OK) {
        engine.NoteError(EngineError::CodecMemory);
        return false;
    }
    // The first four output bytes are the stream header "BZh9", which archives leave out.
    char streamHeader[4];
    uint32_t headerLeft = sizeof streamHeader;
    auto run = [&](int action) {
        char* out = headerLeft > 0
                        ? streamHeader + (sizeof streamHeader - headerLeft)
                        : reinterpret_cast<char*>(engine.writer.buffer) + engine.writer.fill;
        uint32_t room = headerLeft > 0 ? headerLeft : kChunkSize - engine.writer.fill;
        stream.next_out = out;
        stream.avail_out = room;
        int result = BZ2_bzCompress(&stream, action);
        uint32_t written = room - stream.avail_out;
        if (headerLeft > 0) {
            headerLeft -= written;
        } else {
            engine.AcceptOutput(written);
        }
        return result;
    };

    bool ok = true;
    // Every span goes in with BZ_RUN and the stream is finished with no input in the call: the
    // output then does not depend on how the input was cut into spans.
    for (uint32_t span = engine.InputSpan(); ok && span > 0; span = engine.InputSpan()) {
        stream.next_in = reinterpret_cast<char*>(engine.reader.buffer) + engine.reader.pos;
        stream.avail_in = span;
        while (stream.avail_in > 0) {
            if (run(BZ_RUN) != BZ_RUN_OK) {
                ok = false;
                break;
            }
        }
        engine.Advance(span - stream.avail_in);
    }
    stream.avail_in = 0;
    while (ok) {
        int result = run(BZ_FINISH);
        if (result == BZ_STREAM_END) break;
        if (result != BZ_FINISH_OK) ok = false;
    }
    BZ2_bzCompressEnd(&stream);
    if (!ok) engine.NoteError(EngineError::CodecError);
    return ok;
}

bool CompressPass(EngineContext& engine) {
    if (engine.threads > 1) {
        // Without a single worker the pass runs on this thread: nothing has been taken yet.
        if (const std::optional<bool> done = CompressInParallel(engine)) return *done;
    }
    return CompressStream(engine);
}

}  // namespace kavrin
