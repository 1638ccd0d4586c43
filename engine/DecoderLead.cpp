#include "engine/DecoderLead.h"

#include <bzlib.h>

#include "engine/BlockCrc.h"
#include "engine/StreamBits.h"

namespace kavrin {

bool MakeDecoderLead(uint32_t streamCrc, unsigned bitOffset, CodecMemory& memory,
                     DecoderLead* lead) {
    // The block's length in bits varies with its content, each offset coming about one time
    // in eight: trying up to 256 fillings leaves no practical chance of missing one.
    uint8_t content[256 + 4];
    char stream[2048];
    for (unsigned fill = 0; fill < 256; ++fill) {
        for (unsigned i = 0; i < fill; ++i) content[i] = static_cast<uint8_t>(i * 37 + fill);
        ForgeBlockCrc(content, fill, streamCrc, content + fill);
        bz_stream compressor{};
        memory.Attach(compressor);
        if (BZ2_bzCompressInit(&compressor, 9, 0, 0) != BZ_OK) return false;
        compressor.next_in = reinterpret_cast<char*>(content);
        compressor.avail_in = fill + 4;
        compressor.next_out = stream;
        compressor.avail_out = sizeof stream;
        const int result = BZ2_bzCompress(&compressor, BZ_FINISH);
        const size_t length = sizeof stream - compressor.avail_out;
        BZ2_bzCompressEnd(&compressor);
        OneBlock block;
        if (result != BZ_STREAM_END ||
            !ParseOneBlockStream(reinterpret_cast<uint8_t*>(stream), length, &block) ||
            (kHeaderBits + block.blockBits) % 8 != bitOffset) {
            continue;
        }
        lead->bits = kHeaderBits + block.blockBits;
        lead->restoredBytes = fill + 4;
        lead->bytes.Clear();
        if (!lead->bytes.Reserve(lead->bits / 8 + 2)) return false;
        BitAppender appender;
        size_t written =
            appender.Append(reinterpret_cast<uint8_t*>(stream), 0, lead->bits, lead->bytes.data());
        written += appender.Finish(lead->bytes.data() + written);
        lead->bytes.Commit(written);
        return true;
    }
    return false;
}

}  // namespace kavrin
