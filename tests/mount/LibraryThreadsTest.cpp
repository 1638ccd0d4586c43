// The archive library shared by many threads at once, as FUSE's workers share it: readers at
// random offsets of several archives, sequential readers with read-ahead, opens racing on one
// index, all through a cache small enough to evict all the time.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "mount/ArchiveLibrary.h"
#include "tests/support/EngineHarness.h"

namespace kavrin {
namespace {

TEST(LibraryThreadsTest, ManyReadersOfSeveralArchivesGetTheRightBytes) {
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

}  // namespace
}  // namespace kavrin
