// SPDX-License-Identifier: MIT
// The archive library shared by many threads at once, as FUSE's workers share it: readers at
// random offsets of several archives, sequential readers with read-ahead, opens racing on one
// index, all through a cache small enough to evict all the time; and opens that wait for one
// build, one of them giving up, then readers that find a kept index wrong all at once.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "mount/ArchiveLibrary.h"
#include "mount/IndexStore.h"
#include "tests/support/EngineHarness.h"

namespace kavrin {
namespace {

TEST(ArchiveLibraryThreadsTest, ManyReadersOfSeveralArchivesGetTheRightBytes) {
    test::TempDir dir;
    const std::string sounds[] = {test::Sound(2, 16, 11, 1), test::Sound(2, 24, 6, 2) + "tail"};
    const DeltaMode modes[] = {DeltaMode::Bits16, DeltaMode::Bits24};
    for (int a = 0; a < 2; ++a) {
        test::WriteFile(dir / (std::to_string(a) + ".kvn"),
                        test::CompressOn(2, sounds[a], modes[a]).output);
    }
    LibraryOptions options;
    options.cacheBytes = 5 << 19;  // under three blocks
    options.threads = 2;
    ArchiveLibrary library(options);

    constexpr int kReaders = 4;
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&, r] {
            std::mt19937 random(r);
            const int a = r % 2;
            int error = 0;
            auto archive = library.Open(dir / (std::to_string(a) + ".kvn"), &error);
            if (!archive || !archive->Index()) {
                ++wrong;
                return;
            }
            const std::string& sound = sounds[a];
            std::string out(200000, '\0');
            uint64_t at = 0;
            for (int i = 0; i < 40; ++i) {
                // Half the readers go through the file in order, half jump about.
                const uint64_t offset = r < 2 ? at : random() % sound.size();
                const size_t length = 1 + random() % out.size();
                const int64_t got =
                    library.Read(archive, reinterpret_cast<uint8_t*>(out.data()), length, offset);
                const size_t expected = std::min<size_t>(length, sound.size() - offset);
                if (got != static_cast<int64_t>(expected) ||
                    out.compare(0, expected, sound, offset, expected) != 0) {
                    ++wrong;
                }
                at = (offset + expected) % sound.size();
            }
        });
    }
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LE(library.CachedBytes(), options.cacheBytes);
}

TEST(ArchiveLibraryThreadsTest, OpensWaitingForOneBuildAndReadersOfAWrongIndex) {
    test::TempDir dir;
    const std::string sound = test::Sound(2, 16, 22, 3);  // five blocks
    test::WriteFile(dir / "a.kvn", test::CompressOn(2, sound, DeltaMode::Bits16).output);
    LibraryOptions options;
    options.indexFolder = dir / "index";
    options.cacheBytes = 3 << 20;
    ArchiveIndex kept;
    platform::FileVersion version;
    ASSERT_TRUE(platform::VersionAt(dir / "a.kvn", &version));
    {
        ArchiveLibrary library(options);
        std::atomic<int> opened{0}, interrupted{0};
        std::vector<std::thread> openers;
        for (int t = 0; t < 4; ++t) {
            openers.emplace_back([&, t] {
                int error = 0;
                int asked = 0;
                // The first gives up at once; the others wait for the build.
                auto archive =
                    library.Open(dir / "a.kvn", &error, [&] { return t > 0 || ++asked < 2; });
                if (archive) {
                    ++opened;
                } else if (error == EINTR) {
                    ++interrupted;
                }
            });
        }
        for (std::thread& opener : openers) opener.join();
        EXPECT_GE(opened.load(), 3);
        EXPECT_EQ(opened.load() + interrupted.load(), 4);
        ASSERT_EQ(IndexStore(options.indexFolder).Load(version, &kept),
                  IndexStore::LoadStatus::Loaded);
    }
    // A lead made wrong in the kept index: every reader gets the right bytes, and the index is
    // built again once.
    kept.spans[2].lead[3] ^= 0x55;
    ASSERT_TRUE(IndexStore(options.indexFolder).Save(kept));
    ArchiveLibrary library(options);
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&] {
            int error = 0;
            auto archive = library.Open(dir / "a.kvn", &error);
            if (!archive) {
                ++wrong;
                return;
            }
            std::string out(1 << 20, '\0');
            for (uint64_t at = 0; at < sound.size(); at += out.size()) {
                const int64_t got =
                    library.Read(archive, reinterpret_cast<uint8_t*>(out.data()), out.size(), at);
                const size_t expected = std::min<size_t>(out.size(), sound.size() - at);
                if (got != static_cast<int64_t>(expected) ||
                    out.compare(0, expected, sound, at, expected) != 0) {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace kavrin
