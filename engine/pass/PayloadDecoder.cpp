// SPDX-License-Identifier: MIT
#include "engine/pass/PayloadDecoder.h"

#include <algorithm>

namespace kavrin {

PayloadDecoder::PayloadDecoder(EngineContext& engine) : e_(engine) {}

void PayloadDecoder::Start(bool laterStream) {
    laterStream_ = laterStream;
    streamTouched_ = false;
    if (laterStream) {
        stream_.StartStream();
    } else {
        stream_.StartAt(0, 0);  // the header "BZh9" the archive leaves out
    }
}

void PayloadDecoder::StartAt(unsigned bitOffset, uint32_t streamCrc) {
    laterStream_ = false;
    streamTouched_ = false;
    stream_.StartAt(bitOffset, streamCrc);
}

bool PayloadDecoder::Restore(EngineContext& engine, const CompactBlock& block) {
    ChunkWriter& writer = engine.writer;
    // Past the header's size even one more byte is too many.
    const uint64_t room = writer.cap > writer.produced ? writer.cap - writer.produced : 0;
    const uint64_t wanted = std::min<uint64_t>(block.restoredLength, room);
    RunCursor cursor;
    while (cursor.restored < wanted && !engine.Halted()) {
        const auto piece = static_cast<uint32_t>(
            std::min<uint64_t>(kChunkSize - writer.fill, wanted - cursor.restored));
        ExpandRuns(block.compact(), block.length, cursor, writer.buffer + writer.fill, piece);
        engine.AcceptOutput(piece);
    }
    if (engine.Halted()) return false;
    if (block.restoredLength > room) {
        engine.NoteError(EngineError::SizeLong);
        return false;
    }
    return true;
}

PayloadDecoder::Step PayloadDecoder::Decode(const uint8_t* input, size_t length, size_t* taken) {
    *taken = 0;
    // Where the current stream's bytes begin in `input`, and what it had been given before.
    size_t streamFrom = 0;
    uint64_t givenBefore = stream_.bytesUsed();
    auto usedHere = [&] {
        const uint64_t used = stream_.bytesUsed();
        return streamFrom + static_cast<size_t>(used > givenBefore ? used - givenBefore : 0);
    };
    if (length > 0) {
        if (!stream_.Give(input, length)) {
            e_.NoteError(EngineError::CodecMemory);
            return Step::Failed;
        }
        streamTouched_ = true;
    }
    while (!e_.Halted()) {
        switch (stream_.Next()) {
            case StreamDecoder::Event::NeedInput:
                *taken = length;
                return Step::NeedInput;
            case StreamDecoder::Event::Block:
                if (!Restore(e_, stream_.block())) {
                    *taken = usedHere();
                    return Step::Failed;
                }
                continue;
            case StreamDecoder::Event::End:
                *taken = usedHere();
                if (e_.writer.produced >= e_.writer.cap) return Step::Finished;
                // Short of the header's size: a further stream must follow at once.
                laterStream_ = true;
                streamTouched_ = false;
                stream_.StartStream();
                streamFrom = *taken;
                givenBefore = 0;
                if (streamFrom < length) {
                    if (!stream_.Give(input + streamFrom, length - streamFrom)) {
                        e_.NoteError(EngineError::CodecMemory);
                        return Step::Failed;
                    }
                    streamTouched_ = true;
                }
                continue;
            case StreamDecoder::Event::BadCrc: {
                // The library puts out the block's bytes before it checks them.
                const CompactBlock& block = stream_.block();
                const bool tooLong = block.restoredLength >
                                     e_.writer.cap - std::min(e_.writer.cap, e_.writer.produced);
                e_.NoteError(tooLong ? EngineError::SizeLong : EngineError::StreamDamaged);
                *taken = usedHere();
                return Step::Failed;
            }
            case StreamDecoder::Event::BadHeader:
                // What follows the last stream is no stream: the payload ends below its size.
                e_.NoteError(laterStream_ ? EngineError::SizeShort : EngineError::StreamDamaged);
                *taken = usedHere();
                return Step::Failed;
            case StreamDecoder::Event::Damaged:
                e_.NoteError(EngineError::StreamDamaged);
                *taken = usedHere();
                return Step::Failed;
            case StreamDecoder::Event::NoMemory:
                e_.NoteError(EngineError::CodecMemory);
                *taken = length;
                return Step::Failed;
        }
    }
    *taken = length;
    return Step::Failed;
}

PayloadDecoder::Step PayloadDecoder::EndOfInput() {
    if (!e_.Halted()) {
        e_.NoteError(laterStream_ && !streamTouched_ ? EngineError::SizeShort
                                                     : EngineError::StreamTruncated);
    }
    return Step::Failed;
}

}  // namespace kavrin
