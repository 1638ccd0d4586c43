// A decoder given a lead goes on with the rest of a stream as if it had decoded the blocks
// before: same output after the lead's own bytes, same final stream CRC check.
#include "engine/DecoderLead.h"

#include <bzlib.h>
#include <gtest/gtest.h>

#include <string>

#include "engine/BlockCrc.h"
#include "engine/StreamBits.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

TEST(DecoderLeadTest, LeadsIntoABlockAtEveryBitOffsetWithTheStreamCrcSoFar) {
    // The block that follows the lead: taken out of a one-block stream.
    const std::string content = samples::MakeNoise(3000, 9);
    std::string stream(8000, '\0');
    auto length = static_cast<unsigned>(stream.size());
    ASSERT_EQ(BZ2_bzBuffToBuffCompress(stream.data(), &length, const_cast<char*>(content.data()),
                                       static_cast<unsigned>(content.size()), 9, 0, 0),
              BZ_OK);
    const auto* bytes = reinterpret_cast<const uint8_t*>(stream.data());
    OneBlock block;
    ASSERT_TRUE(ParseOneBlockStream(bytes, length, &block));

    CodecMemory memory;
    for (uint32_t streamCrc : {0u, 1u, 0x80000000u, 0xDEADBEEFu, 0xFFFFFFFFu}) {
        for (unsigned offset = 0; offset < 8; ++offset) {
            SCOPED_TRACE("offset " + std::to_string(offset) + ", CRC " + std::to_string(streamCrc));
            DecoderLead lead;
            ASSERT_TRUE(MakeDecoderLead(streamCrc, offset, memory, &lead));
            EXPECT_EQ(lead.bits % 8, offset);
            // The lead, the block, and the end of a stream whose earlier blocks gave streamCrc.
            std::string input(lead.bytes.size() + length + 16, '\0');
            auto* out = reinterpret_cast<uint8_t*>(input.data());
            BitAppender appender;
            size_t written = appender.Append(lead.bytes.data(), 0, lead.bits, out);
            written += appender.Append(bytes, kHeaderBits, block.blockBits, out + written);
            written += appender.AppendValue(kEndMagic, kMagicBits, out + written);
            written += appender.AppendValue(CombineBlockCrc(streamCrc, block.blockCrc), kCrcBits,
                                            out + written);
            written += appender.Finish(out + written);

            std::string restored(content.size() + 300, '\0');
            auto restoredLength = static_cast<unsigned>(restored.size());
            ASSERT_EQ(BZ2_bzBuffToBuffDecompress(restored.data(), &restoredLength, input.data(),
                                                 static_cast<unsigned>(written), 0, 0),
                      BZ_OK);
            restored.resize(restoredLength);
            ASSERT_EQ(restored.size(), lead.restoredBytes + content.size());
            EXPECT_TRUE(restored.substr(lead.restoredBytes) == content);
        }
    }
}

}  // namespace
}  // namespace kavrin
