// SPDX-License-Identifier: MIT
#include "engine/Engine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "engine/format/ArchiveFormat.h"
#include "platform/FaultInjection.h"
#include "tests/support/EngineHarness.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

using test::Compress;
using test::Expand;
using test::RecordingObserver;

using test::Sound;

TEST(JobProceduresTest, EveryModeRestoresTheSourceAndCountsBytes) {
    const std::string inputs[] = {
        "",
        "x",
        std::string(kChunkSize, '\0'),
        samples::MakeNoise(kChunkSize + 3, 9),
        Sound(2, 16, 2.5).substr(0, 3 * kChunkSize + 7),  // ends in a partial sample
    };
    for (const std::string& input : inputs) {
        for (uint32_t m = 0; m <= 5; ++m) {
            SCOPED_TRACE("mode " + std::to_string(m) + ", " + std::to_string(input.size()) +
                         " bytes");
            test::JobRun archive = Compress(input, static_cast<DeltaMode>(m), "wav");
            ASSERT_EQ(archive.outcome.result, JobResult::Done);
            if (m != 0) {
                EXPECT_EQ(archive.outcome.mode, static_cast<DeltaMode>(m));
            }
            EXPECT_EQ(archive.consumed, input.size());
            EXPECT_EQ(archive.produced, test::PayloadOf(archive.output).size());

            test::JobRun restored = Expand(archive.output);
            ASSERT_EQ(restored.outcome.result, JobResult::Done);
            EXPECT_EQ(restored.outcome.mode, archive.outcome.mode);
            EXPECT_EQ(restored.output, input);
            EXPECT_EQ(restored.consumed, archive.produced);
            EXPECT_EQ(restored.produced, input.size());
        }
    }
}

TEST(JobProceduresTest, AutoKeepsTheFilterThatCompressesTheStartBest) {
    // An empty source: all five trial streams are 10 bytes, and the tie goes to Bits32.
    EXPECT_EQ(Compress("", DeltaMode::Auto).outcome.mode, DeltaMode::Bits32);
    EXPECT_EQ(Compress(Sound(1, 16, 3), DeltaMode::Auto).outcome.mode, DeltaMode::Bits16);
    // 16-bit stereo: Bits32's two lanes are the two channels.
    EXPECT_EQ(Compress(Sound(2, 16, 3), DeltaMode::Auto).outcome.mode, DeltaMode::Bits32);
    // Sparse spikes in silence: every filter turns a spike into two values, so None wins.
    std::string spikes(60000, '\0');
    std::string noise = samples::MakeNoise(2000, 4);
    for (size_t i = 0; i < 1000; ++i) spikes[(noise[i] & 0xFF) * 230 + i % 7] = noise[1000 + i];
    EXPECT_EQ(Compress(spikes, DeltaMode::Auto).outcome.mode, DeltaMode::None);

    // Only the first 131072 bytes decide: a 16-bit mono start followed by stereo sound.
    std::string mixed = Sound(1, 16, 2).substr(0, kTrialLength) + Sound(2, 16, 4);
    test::JobRun run = Compress(mixed, DeltaMode::Auto, "wav");
    EXPECT_EQ(run.outcome.mode, DeltaMode::Bits16);
    EXPECT_EQ(static_cast<uint8_t>(run.output[8]), 3);  // the header records the choice
    EXPECT_EQ(Expand(run.output).output, mixed);
}

TEST(JobProceduresTest, AutoShowsItsTrialThenStartsAgain) {
    RecordingObserver observer;
    Compress(Sound(1, 16, 1), DeltaMode::Auto, "wav", observer);
    std::vector<std::string> trial = {"analysis:1", "begin:5"};
    for (int i = 0; i < 5; ++i) trial.insert(trial.end(), {"lamps:1", "lamps:2", "step"});
    trial.insert(trial.end(), {"reset", "analysis:0", "begin:1"});
    ASSERT_GE(observer.events.size(), trial.size());
    EXPECT_EQ(std::vector<std::string>(observer.events.begin(),
                                       observer.events.begin() + static_cast<long>(trial.size())),
              trial);
}

TEST(JobProceduresTest, DamagedArchivesFailAndGoodOnesIgnoreWhatFollows) {
    const std::string source = Sound(2, 16, 2);
    const std::string archive = Compress(source, DeltaMode::Bits32, "wav").output;
    const std::string header = archive.substr(0, 17);
    const std::string payload = test::PayloadOf(archive);

    std::string flipped = archive;
    flipped[17 + 7] ^= 0x10;  // inside the first block's CRC
    std::string wrongCrc = archive;
    wrongCrc[archive.size() - 3] ^= 0x01;  // inside the combined CRC
    // A mode byte no writer stores: never "no filter", which would restore the filtered bytes.
    const auto mode = [&](char value) {
        std::string bytes = archive;
        bytes[8] = value;
        return bytes;
    };

    struct Case {
        const char* name;
        std::string bytes;
        EngineError error;
    } failures[] = {
        {"truncated payload", archive.substr(0, archive.size() - 20), EngineError::StreamTruncated},
        {"payload cut right after the header", header, EngineError::StreamTruncated},
        {"a flipped bit in a block CRC", flipped, EngineError::StreamDamaged},
        {"wrong combined CRC", wrongCrc, EngineError::StreamDamaged},
        {"wrong magic", "KVN0" + archive.substr(4), EngineError::NotArchive},
        {"shorter than a magic", "KV", EngineError::NotArchive},
        {"ends inside the header", archive.substr(0, 12), EngineError::HeaderTruncated},
        {"type text past the end", std::string("KVN1\xC8wav", 8), EngineError::HeaderTruncated},
        {"mode byte 0", mode(0), EngineError::UnknownMode},
        {"mode byte 6", mode(6), EngineError::UnknownMode},
        {"mode byte 5 with its top bit flipped", mode('\x85'), EngineError::UnknownMode},
        {"mode byte 255", mode('\xFF'), EngineError::UnknownMode},
    };
    for (const Case& c : failures) {
        RecordingObserver observer;
        test::JobRun run = Expand(c.bytes, observer);
        EXPECT_EQ(run.outcome.result, JobResult::Failed) << c.name;
        EXPECT_EQ(run.error, c.error) << c.name;
        if (c.error == EngineError::NotArchive || c.error == EngineError::HeaderTruncated ||
            c.error == EngineError::UnknownMode) {
            EXPECT_TRUE(observer.events.empty()) << c.name << ": progress started";
            EXPECT_EQ(run.output, "") << c.name;
        }
    }

    // The archive ends where its stream ends: bytes after it are damage, counted in the
    // message, and never restored as data.
    test::JobRun trailing = Expand(archive + std::string(100000, '\x55'));
    EXPECT_EQ(trailing.outcome.result, JobResult::Failed);
    EXPECT_EQ(trailing.outcome.status.message(),
              "damaged archive: 100000 bytes follow its payload");
    EXPECT_EQ(trailing.outcome.status.kind(), FailureKind::Damage);
    EXPECT_EQ(trailing.output, source);
    EXPECT_EQ(trailing.consumed, payload.size());

    // A nonzero reserved field changes nothing.
    std::string reserved = archive;
    reserved[14] = '\x01';
    EXPECT_EQ(Expand(reserved).output, source);
}

TEST(JobProceduresTest, PayloadIsExactlyWhatTheBzip2ProgramMakes) {
    // Over two 900 000-byte blocks, so block joins are covered too.
    const std::string source = Sound(2, 16, 13) + samples::MakeNoise(70000, 5);
    ASSERT_GT(source.size(), 2 * 900000u);
    for (DeltaMode mode : {DeltaMode::None, DeltaMode::Bits16, DeltaMode::Bits32}) {
        SCOPED_TRACE(static_cast<int>(mode));
        std::string payload = test::PayloadOf(Compress(source, mode, "wav").output);
        EXPECT_TRUE("BZh9" + payload == test::Bzip2(test::Filtered(source, mode), {"-9", "-c"}));
    }
    // And the other way: the bzip2 program's output, minus its stream header, expands.
    std::string foreign = test::Bzip2(source, {"-9", "-c"});
    std::string archive =
        EncodeArchiveHeader("wav", 1, static_cast<uint32_t>(source.size())) + foreign.substr(4);
    test::JobRun run = Expand(archive);
    EXPECT_EQ(run.outcome.result, JobResult::Done);
    EXPECT_TRUE(run.output == source);
}

TEST(JobProceduresTest, ReadAndWriteFailuresEndFailedWithoutStaleBytes) {
    const std::string source = samples::MakeNoise(6 * kChunkSize + 100, 6);  // two blocks
    const std::string archive = Compress(source, DeltaMode::Bits16).output;
    using platform::FaultOp;
    struct Case {
        const char* name;
        bool expand;
        FaultOp op;
        int nth;
        int error;
        bool shortRead;
        EngineError expected;
    } cases[] = {
        {"first read fails", false, FaultOp::Read, 1, EIO, false, EngineError::ReadError},
        {"third read fails", false, FaultOp::Read, 3, EIO, false, EngineError::ReadError},
        {"the source shrank", false, FaultOp::Read, 2, 0, true, EngineError::SourceChanged},
        {"header write fails", false, FaultOp::Write, 1, ENOSPC, false, EngineError::WriteError},
        {"a chunk write fails", false, FaultOp::Write, 2, ENOSPC, false, EngineError::WriteError},
        {"archive read fails", true, FaultOp::Read, 3, EIO, false, EngineError::ReadError},
        {"archive shrank", true, FaultOp::Read, 4, 0, true, EngineError::SourceChanged},
        {"restored write fails", true, FaultOp::Write, 2, ENOSPC, false, EngineError::WriteError},
    };
    // On one thread and on several: the workers are stopped and joined as well.
    const int threadsBefore = test::ThreadsAtRest();
    for (uint32_t threads : {1u, 3u}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(threads) + " threads");
            platform::InjectFault(c.op, c.nth, c.error, c.shortRead);
            test::JobRun run = c.expand ? test::ExpandOn(threads, archive)
                                        : test::CompressOn(threads, source, DeltaMode::Bits16);
            platform::ClearFaults();
            EXPECT_EQ(run.outcome.result, JobResult::Failed);
            EXPECT_EQ(run.error, c.expected);
            // Nothing beyond the bytes read before the fault reached the codec.
            EXPECT_LE(run.consumed, c.expand ? archive.size() : source.size());
            EXPECT_EQ(test::ThreadsAfterJob(threadsBefore), threadsBefore);
        }
    }
}

}  // namespace
}  // namespace kavrin
