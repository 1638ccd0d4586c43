// SPDX-License-Identifier: MIT
// The library's faults: an archive that fails its checks cannot be opened and is remembered,
// what the machine lacked is not, a span that fails through a kept index has it rebuilt, an
// archive that changes or goes while open gives no stale bytes, builds hold no other archive,
// and a read of silence decodes its block once.
#include "mount/ArchiveLibrary.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <thread>

#include "engine/format/ArchiveFormat.h"
#include "platform/FaultInjection.h"
#include "tests/support/EngineHarness.h"
#include "tests/support/MountHarness.h"

namespace kavrin {
namespace {

using test::MountArchive;
using test::MountSound;
using test::ReadAll;
using test::ReadInOrder;
using test::TempDir;

TEST(ArchiveLibraryTest, FaultsGiveEioAndNeverStaleBytes) {
    TempDir dir;
    const std::string& sound = MountSound();
    const std::string& archive = MountArchive();
    LibraryOptions options;
    options.indexFolder = dir / "index";
    options.cacheBytes = 4 << 20;
    std::vector<std::string> log;
    options.log = [&](const std::string& line) { log.push_back(line); };
    int64_t status = 0;
    int error = 0;

    // A block that rotted on disk under an index that still matches the archive's version:
    // the index is built again, which finds the damage, and the archive fails as a whole.
    test::WriteFile(dir / "good.kvn", archive);
    test::WriteFile(dir / "rot.kvn", archive);
    uint64_t rotFrom = 0, rotTo = 0;
    {
        ArchiveLibrary library(options);
        auto good = library.Open(dir / "good.kvn", &error);
        ASSERT_TRUE(good && good->Index());
        ArchiveIndex planted = *good->Index();
        std::string rotten = archive;
        const IndexedSpan& third = planted.spans[2];
        rotten[planted.headerLength + (third.startBit + third.endBit) / 16] ^= 0x04;
        test::WriteFile(dir / "rot.kvn", rotten);
        ASSERT_TRUE(platform::VersionAt(dir / "rot.kvn", &planted.version));
        ASSERT_TRUE(IndexStore(options.indexFolder).Save(planted));
        rotFrom = third.restoredOffset;
        rotTo = planted.SpanEnd(2);
    }
    {
        ArchiveLibrary library(options);
        auto rot = library.Open(dir / "rot.kvn", &error);
        ASSERT_TRUE(rot && rot->Index());
        EXPECT_TRUE(ReadAll(library, rot, 0, rotFrom, &status) == sound.substr(0, rotFrom));
        ReadAll(library, rot, rotFrom + 10, 20, &status);
        EXPECT_EQ(status, -EIO);
        ReadAll(library, rot, rotTo + 1, 20, &status);
        EXPECT_EQ(status, -EIO);
        EXPECT_EQ(library.Open(dir / "rot.kvn", &error), nullptr);
        EXPECT_EQ(error, EIO);
        ASSERT_EQ(log.size(), 3u);  // indexed again, can't be read, and nothing more
        EXPECT_NE(log[1].find("can't be read"), std::string::npos);

        // Written in place while open: no byte of it is given, cached or not.
        auto good = library.Open(dir / "good.kvn", &error);
        EXPECT_TRUE(ReadAll(library, good, 0, 1000, &status) == sound.substr(0, 1000));
        test::WriteFile(dir / "good.kvn", archive);
        ReadAll(library, good, 0, 1000, &status);
        EXPECT_EQ(status, -EIO);
        // A new open sees the new version, indexed again.
        auto again = library.Open(dir / "good.kvn", &error);
        EXPECT_TRUE(ReadAll(library, again, 0, 1000, &status) == sound.substr(0, 1000));
        // Removed while open.
        ASSERT_EQ(unlink((dir / "good.kvn").c_str()), 0);
        ReadAll(library, again, 0, 1000, &status);
        EXPECT_EQ(status, -EIO);
        EXPECT_EQ(library.Open(dir / "good.kvn", &error), nullptr);
        EXPECT_EQ(error, ENOENT);
    }

    // An archive that fails its checks cannot be opened, whatever size its header gives: a
    // file of the wrong size, an empty one above all, is never served.
    std::string badCrc = archive;
    badCrc[badCrc.size() - 3] ^= 0x01;
    ArchiveHeader header;
    ParseArchiveHeader(reinterpret_cast<const uint8_t*>(archive.data()), archive.size(), &header);
    const std::string payload = test::PayloadOf(archive);
    const std::pair<const char*, std::string> failing[] = {
        {"crc.kvn", badCrc},
        {"zero.kvn", EncodeArchiveHeader("wav", 3, 0) + payload},
        {"mode.kvn", EncodeArchiveHeader("wav", 131, header.sourceSize) + payload},
        {"cut.kvn", archive.substr(0, archive.size() / 2)},
    };
    ArchiveLibrary library(options);
    log.clear();
    for (const auto& [name, bytes] : failing) {
        SCOPED_TRACE(name);
        test::WriteFile(dir / name, bytes);
        for (int time = 0; time < 2; ++time) {  // remembered: one line, and no second build
            EXPECT_EQ(library.Open(dir / name, &error), nullptr);
            EXPECT_EQ(error, EIO);
        }
    }
    ASSERT_EQ(log.size(), 4u);
    EXPECT_NE(log[2].find("unknown filter mode 131"), std::string::npos) << log[2];
    EXPECT_NE(log[0].find("opening it gives EIO"), std::string::npos) << log[0];
}

// With descriptors short, an open fails with EMFILE, not as damage; once they are back, the
// archive opens and reads right. Likewise an index folder that cannot be written is said once.
TEST(ArchiveLibraryTest, WhatTheMachineLackedIsNotRememberedAndIsSaidOnce) {
    TempDir dir;
    test::WriteFile(dir / "a.kvn", MountArchive());
    test::WriteFile(dir / "b.kvn", MountArchive());
    test::WriteFile(dir / "file", "a file where the index folder would be");
    LibraryOptions options;
    options.indexFolder = dir / "file/kavrin";
    std::vector<std::string> log;
    options.log = [&](const std::string& line) { log.push_back(line); };
    ArchiveLibrary library(options);

    // Descriptors run out for the third open (the archive's own, its kept index's, then the
    // build's): the open fails with EMFILE, as damage it would be EIO.
    platform::InjectFault(platform::FaultOp::Open, 3, EMFILE);
    int error = 0;
    auto failed = library.Open(dir / "a.kvn", &error);
    platform::ClearFaults();
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(error, EMFILE);

    for (const char* name : {"a.kvn", "b.kvn"}) {
        auto archive = library.Open(dir / name, &error);
        ASSERT_TRUE(archive) << name << ": " << error;
        EXPECT_TRUE(ReadInOrder(library, archive) == MountSound());
    }
    // One line for the descriptors, one for the folder.
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[0].find("the next open tries again"), std::string::npos) << log[0];
    EXPECT_NE(log[1].find("indexes can't be kept there"), std::string::npos) << log[1];
}

// An archive's build holds no other archive's first open; a build no open waits for any more
// stops, and the next open builds again; and the working memory of any thread count stays
// within the cache's bound.
TEST(ArchiveLibraryTest, BuildsHoldNoOtherOpenAndStopWhenNoOneWaits) {
    TempDir dir;
    // Restores 40 MB: the engine's pass; the small one restores 22 s of sound.
    test::WriteFile(dir / "large.kvn",
                    test::CompressOn(2, std::string(40 << 20, '\x11'), DeltaMode::None).output);
    test::WriteFile(dir / "small.kvn", MountArchive());
    LibraryOptions options;
    options.threads = 64;
    ArchiveLibrary library(options);
    EXPECT_LE(library.decoders() * kDecoderBytes, options.cacheBytes / 4);

    std::mutex mutex;
    std::condition_variable changed;
    bool smallOpened = false, largeHeld = false;
    uint64_t worst = 0;
    std::thread large([&] {
        int error = 0;
        const auto wanted = [&] {
            std::unique_lock<std::mutex> lock(mutex);
            worst = std::max(worst, library.CachedBytes() + library.ReservedBytes());
            largeHeld = true;
            changed.notify_all();
            // Held inside the build until the small archive has been opened (the bound only
            // ends a test that would otherwise hang).
            changed.wait_for(lock, std::chrono::seconds(120), [&] { return smallOpened; });
            return true;
        };
        auto archive = library.Open(dir / "large.kvn", &error, wanted);
        EXPECT_TRUE(archive) << error;
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return largeHeld; });
    }
    int error = 0;
    auto small = library.Open(dir / "small.kvn", &error);
    {
        std::lock_guard<std::mutex> lock(mutex);
        smallOpened = true;
    }
    changed.notify_all();
    large.join();
    ASSERT_TRUE(small);
    EXPECT_LE(worst, options.cacheBytes);

    // Given up on: the open says EINTR and nothing is remembered.
    test::WriteFile(dir / "other.kvn", test::ReadFile(dir / "large.kvn"));
    int asked = 0;
    EXPECT_EQ(library.Open(dir / "other.kvn", &error, [&] { return ++asked < 3; }), nullptr);
    EXPECT_EQ(error, EINTR);
    asked = 0;
    EXPECT_EQ(library.Open(dir / "other.kvn", &error, [&] { return ++asked < 3; }), nullptr);
    EXPECT_EQ(error, EINTR);
    auto other = library.Open(dir / "other.kvn", &error);
    ASSERT_TRUE(other) << error;
    int64_t status = 0;
    EXPECT_TRUE(ReadAll(library, other, 30 << 20, 100, &status) == std::string(100, '\x11'));
}

// A block of silence restores tens of megabytes: read in order, it is decoded once, however
// many reads it takes, and kept within the cache.
TEST(ArchiveLibraryTest, ReadingSilenceDecodesEachSpanOnce) {
    TempDir dir;
    std::string source = test::Sound(2, 16, 0.5, 9) + std::string(60 << 20, '\0') + "end";
    test::WriteFile(dir / "silence.kvn", test::CompressOn(2, source, DeltaMode::Bits16).output);
    LibraryOptions options;
    options.cacheBytes = 16 << 20;
    ArchiveLibrary library(options);
    int error = 0;
    auto archive = library.Open(dir / "silence.kvn", &error);
    ASSERT_TRUE(archive);
    const size_t spans = archive->Index()->spans.size();
    EXPECT_TRUE(ReadInOrder(library, archive) == source);
    EXPECT_LE(library.SpanDecodes(), spans);
    EXPECT_LE(library.CachedBytes(), options.cacheBytes);
}

}  // namespace
}  // namespace kavrin
