// SPDX-License-Identifier: MIT
#include "tests/support/MountHarness.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/support/EngineHarness.h"

namespace kavrin::test {

std::unique_ptr<Built> BuildOf(const std::string& archive, bool walkOnly, uint32_t threads) {
    auto built = std::make_unique<Built>();
    built->path = built->dir / "a.kvn";
    WriteFile(built->path, archive);
    platform::FileVersion version;
    EXPECT_TRUE(platform::VersionAt(built->path, &version));
    RecordingObserver observer;
    BuildPlan plan;
    plan.threads = threads;
    plan.walkOnly = walkOnly;
    built->build = BuildIndex(built->path, version, plan, observer);
    return built;
}

void ExpectEverySpan(const Built& built, const std::string& original) {
    const ArchiveIndex& index = built.build.index;
    ASSERT_EQ(index.sourceSize, original.size());
    platform::FileHandle file = platform::OpenShared(built.path);
    BlockDecoder decoder;
    std::mt19937 random(7);
    for (size_t j = 0; j < index.spans.size(); ++j) {
        const IndexedSpan& span = index.spans[j];
        const uint64_t start = span.restoredOffset;
        const uint64_t length = index.SpanSize(j);
        for (bool compact : {false, true}) {
            SCOPED_TRACE("span " + std::to_string(j) + (compact ? ", compact" : ", plain"));
            FormBuilder builder(static_cast<DeltaMode>(index.deltaMode), index.sourceSize, start,
                                length, span.lead, compact);
            SpanForm form;
            ASSERT_EQ(decoder.DecodeSpan(file, index, j, builder), BlockStatus::Ok);
            ASSERT_TRUE(builder.Finish(&form));
            std::string out(length, '\0');
            form.Read(0, length, reinterpret_cast<uint8_t*>(out.data()));
            EXPECT_TRUE(out == original.substr(start, length));
            const uint64_t from = random() % length;
            const uint64_t to = from + 1 + random() % (length - from);
            std::string part(to - from, '\0');
            form.Read(from, to, reinterpret_cast<uint8_t*>(part.data()));
            EXPECT_TRUE(part == original.substr(start + from, to - from));
            // The span's last restored bytes are the next span's lead.
            const RestoredTail& tail = form.tail();
            ASSERT_EQ(tail.length, std::min<uint64_t>(start + length, kDeltaLeadBytes));
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(tail.bytes), tail.length),
                      original.substr(start + length - tail.length, tail.length));
        }
    }
    platform::CloseFile(file);
}

const std::string& MountSound() {
    static const std::string sound = Sound(2, 16, 22);
    return sound;
}

const std::string& MountArchive() {
    static const std::string archive = CompressOn(2, MountSound(), DeltaMode::Bits16).output;
    return archive;
}

std::string ReadAll(ArchiveLibrary& library, const std::shared_ptr<OpenArchive>& archive,
                    uint64_t from, uint64_t length, int64_t* status) {
    std::string out(length, '\0');
    *status = library.Read(archive, reinterpret_cast<uint8_t*>(out.data()), length, from);
    out.resize(*status > 0 ? static_cast<size_t>(*status) : 0);
    return out;
}

std::string ReadInOrder(ArchiveLibrary& library, const std::shared_ptr<OpenArchive>& archive) {
    std::string all;
    for (;;) {
        int64_t status = 0;
        const std::string piece = ReadAll(library, archive, all.size(), 128 << 10, &status);
        if (status < 0) return "";
        if (status == 0) return all;
        all += piece;
    }
}

}  // namespace kavrin::test
