#include "engine/PayloadDecoder.h"

#include <algorithm>

namespace kavrin {

PayloadDecoder::PayloadDecoder(EngineContext& engine, CodecMemory* memory)
    : e_(engine), memory_(memory) {}

PayloadDecoder::~PayloadDecoder() {
    if (active_) BZ2_bzDecompressEnd(&stream_);
}

bool PayloadDecoder::Start(size_t skip, bool laterStream) {
    skip_ = skip;
    laterStream_ = laterStream;
    return Restart();
}

bool PayloadDecoder::Restart() {
    if (active_) BZ2_bzDecompressEnd(&stream_);
    active_ = false;
    stream_ = bz_stream{};
    if (memory_ != nullptr) memory_->Attach(stream_);
    if (BZ2_bzDecompressInit(&stream_, 0, 0) != BZ_OK) {
        e_.NoteError(EngineError::CodecMemory);
        return false;
    }
    active_ = true;
    streamTouched_ = false;
    return true;
}

PayloadDecoder::Step PayloadDecoder::StreamEnded() {
    if (e_.writer.produced >= e_.writer.cap) return Step::Finished;
    laterStream_ = true;
    return Restart() ? Step::NeedInput : Step::Failed;
}

PayloadDecoder::Step PayloadDecoder::Decode(const uint8_t* input, size_t length, size_t* taken) {
    *taken = 0;
    if (!active_) return Step::Failed;
    // Each call takes a bounded piece, so the counts fit the codec's 32-bit fields.
    uint8_t probe[1];
    char discard[16384];
    while (!e_.Halted()) {
        const auto given = static_cast<unsigned>(std::min<size_t>(length - *taken, 1u << 30));
        stream_.next_in = const_cast<char*>(reinterpret_cast<const char*>(input + *taken));
        stream_.avail_in = given;
        // Output goes to the writer up to the header's size. Past it, a one-byte probe: any
        // byte that comes out there is one more than the header allows.
        const bool dropping = skip_ > 0;
        const bool capped = !dropping && e_.writer.produced >= e_.writer.cap;
        unsigned room = 0;
        if (dropping) {
            room = static_cast<unsigned>(std::min(skip_, sizeof discard));
            stream_.next_out = discard;
        } else if (capped) {
            room = sizeof probe;
            stream_.next_out = reinterpret_cast<char*>(probe);
        } else {
            room = static_cast<unsigned>(std::min<uint64_t>(kChunkSize - e_.writer.fill,
                                                            e_.writer.cap - e_.writer.produced));
            stream_.next_out = reinterpret_cast<char*>(e_.writer.buffer + e_.writer.fill);
        }
        stream_.avail_out = room;

        const int result = BZ2_bzDecompress(&stream_);
        const unsigned written = room - stream_.avail_out;
        const unsigned took = given - stream_.avail_in;
        *taken += took;
        if (took > 0) streamTouched_ = true;
        if (dropping) {
            skip_ -= std::min<size_t>(skip_, written);
        } else if (capped && written > 0) {
            e_.NoteError(EngineError::SizeLong);
            return Step::Failed;
        } else if (written > 0) {
            e_.AcceptOutput(written);
        }

        if (result == BZ_STREAM_END) {
            const Step step = StreamEnded();
            if (step != Step::NeedInput) return step;
            continue;  // the rest of the input opens the next stream
        }
        if (result != BZ_OK) {
            if (result == BZ_MEM_ERROR) {
                e_.NoteError(EngineError::CodecMemory);
            } else if (result == BZ_DATA_ERROR_MAGIC && laterStream_) {
                // What follows the last stream is no stream: the payload ends below its size.
                e_.NoteError(EngineError::SizeShort);
            } else {
                e_.NoteError(EngineError::StreamDamaged);
            }
            return Step::Failed;
        }
        if (*taken == length && stream_.avail_out > 0) return Step::NeedInput;
    }
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
