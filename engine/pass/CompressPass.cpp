// SPDX-License-Identifier: MIT
#include "engine/pass/CompressPass.h"

#include <new>
#include <optional>
#include <vector>

#include "engine/codec/BlockCrc.h"
#include "engine/codec/StreamBits.h"
#include "engine/encode/BlockBoundary.h"
#include "engine/encode/BlockEncoder.h"
#include "engine/pass/ParallelCompress.h"

namespace kavrin {
namespace {

// The block fed so far, coded and appended bit by bit after the blocks before it.
bool EndBlock(EngineContext& engine, BlockEncoder& encoder, std::vector<uint8_t>& encoded,
              BitAppender& appender, std::vector<uint8_t>& staging, uint32_t& combinedCrc) {
    OneBlock block;
    if (!encoder.Finish(encoded) || !ParseOneBlockStream(encoded.data(), encoded.size(), &block)) {
        engine.NoteError(EngineError::CodecError);
        return false;
    }
    staging.resize(block.blockBits / 8 + 2);
    const size_t length =
        appender.Append(encoded.data(), kHeaderBits, block.blockBits, staging.data());
    combinedCrc = CombineBlockCrc(combinedCrc, block.blockCrc);
    ++engine.passStats.blocks;
    engine.PutBytes(staging.data(), length);
    return true;
}

}  // namespace

bool CompressStream(EngineContext& engine) {
    try {
        PooledBlockEncoder pooled;
        BlockEncoder& encoder = *pooled;
        BlockBoundaryScanner scanner;
        BitAppender appender;
        std::vector<uint8_t> encoded;
        std::vector<uint8_t> staging;
        uint32_t combinedCrc = 0;
        bool pending = false;  // the current block has input
        // Blocks end where libbz2 would end them (BlockBoundary.h), so the payload is the one
        // stream the library would make of the whole input.
        for (uint32_t span = engine.InputSpan(); span > 0; span = engine.InputSpan()) {
            const uint8_t* bytes = engine.reader.buffer + engine.reader.pos;
            size_t fed = 0;
            size_t scanned = 0;
            while (scanned < span) {
                const size_t start = scanned + scanner.Scan(bytes + scanned, span - scanned);
                if (start == span) break;
                encoder.Feed(bytes + fed, start - fed);
                if (!EndBlock(engine, encoder, encoded, appender, staging, combinedCrc)) {
                    return false;
                }
                fed = start;
                scanned = start + 1;
            }
            encoder.Feed(bytes + fed, span - fed);
            pending = true;
            engine.Advance(span);
            if (engine.Halted()) return true;
        }
        if (pending && !EndBlock(engine, encoder, encoded, appender, staging, combinedCrc)) {
            return false;
        }
        uint8_t end[16];
        size_t length = appender.AppendValue(kEndMagic, kMagicBits, end);
        length += appender.AppendValue(combinedCrc, kCrcBits, end + length);
        length += appender.Finish(end + length);
        engine.PutBytes(end, length);
        return true;
    } catch (const std::bad_alloc&) {
        engine.NoteError(EngineError::CodecMemory);
        return false;
    }
}

bool CompressPass(EngineContext& engine) {
    if (engine.threads > 1) {
        // Without a single worker the pass runs on this thread: nothing has been taken yet.
        if (const std::optional<bool> done = CompressInParallel(engine)) return *done;
    }
    return CompressStream(engine);
}

}  // namespace kavrin
