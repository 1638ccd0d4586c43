// SPDX-License-Identifier: MIT
// Indexes kept between mounts are the user's alone and never believed over the archive, and the
// library's faults: an archive that fails its checks cannot be opened, what the machine lacked
// is not remembered, a damaged or stale index is rebuilt, an archive that changes or goes
// while open gives no stale bytes, builds hold no other archive, and a read of silence decodes
// its block once.
#include "mount/IndexStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <thread>

#include "engine/format/ArchiveFormat.h"
#include "mount/ArchiveLibrary.h"
#include "platform/FaultInjection.h"
#include "tests/support/EngineHarness.h"

namespace kavrin {
namespace {

using test::TempDir;

// Five blocks: enough for its index to be kept. Made once for every case.
const std::string& Sound() {
    static const std::string sound = test::Sound(2, 16, 22);
    return sound;
}
const std::string& Archive() {
    static const std::string archive = test::CompressOn(2, Sound(), DeltaMode::Bits16).output;
    return archive;
}

std::string ReadAll(ArchiveLibrary& library, const std::shared_ptr<OpenArchive>& archive,
                    uint64_t from, uint64_t length, int64_t* status) {
    std::string out(length, '\0');
    *status = library.Read(archive, reinterpret_cast<uint8_t*>(out.data()), length, from);
    out.resize(*status > 0 ? static_cast<size_t>(*status) : 0);
    return out;
}

// The whole file in reads of 128 KiB, in order, as cat reads it; "" when a read fails.
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

uint32_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(IndexStoreTest, AnIndexServesOnlyTheArchiveVersionItWasMadeForAndOnlyItsUser) {
    TempDir dir;
    const std::string& sound = Sound();
    test::WriteFile(dir / "a.kvn", Archive());
    LibraryOptions options;
    options.indexFolder = dir / "cache/kavrin";
    std::vector<std::string> log;
    options.log = [&](const std::string& line) { log.push_back(line); };
    {
        // Whatever the umask, the folders made and the file are the user's alone.
        const mode_t umaskBefore = umask(0);
        ArchiveLibrary library(options);
        int error = 0;
        auto archive = library.Open(dir / "a.kvn", &error);
        umask(umaskBefore);
        ASSERT_TRUE(archive && archive->Index());
        EXPECT_GE(archive->Index()->spans.size(), kStoredIndexMinSpans);
    }
    IndexStore store(options.indexFolder);
    platform::FileVersion version;
    ASSERT_TRUE(platform::VersionAt(dir / "a.kvn", &version));
    EXPECT_EQ(ModeOf(dir / "cache"), 0700u);
    EXPECT_EQ(ModeOf(options.indexFolder), 0700u);
    EXPECT_EQ(ModeOf(store.PathFor(version)), 0600u);
    ArchiveIndex index;
    ASSERT_EQ(store.Load(version, &index), IndexStore::LoadStatus::Loaded);
    const std::string kept = test::ReadFile(store.PathFor(version));
    EXPECT_LT(kept.size() * 10000, test::ReadFile(dir / "a.kvn").size());  // under 0.01 %

    // Damaged, cut, or made for another version: not used.
    for (size_t at : {size_t{0}, size_t{40}, kept.size() / 2, kept.size() - 1}) {
        std::string damaged = kept;
        damaged[at] ^= 0x20;
        test::WriteFile(store.PathFor(version), damaged);
        EXPECT_EQ(store.Load(version, &index), IndexStore::LoadStatus::Missing) << at;
    }
    test::WriteFile(store.PathFor(version), kept.substr(0, kept.size() - 9));
    EXPECT_EQ(store.Load(version, &index), IndexStore::LoadStatus::Missing);
    test::WriteFile(store.PathFor(version), kept);
    platform::FileVersion other = version;
    other.changedNanos += 1;
    EXPECT_EQ(store.Load(other, &index), IndexStore::LoadStatus::Missing);
    // Writable by others, in a folder writable by others, or another user's: not used.
    chmod(store.PathFor(version).c_str(), 0620);
    EXPECT_EQ(store.Load(version, &index), IndexStore::LoadStatus::NotPrivate);
    chmod(store.PathFor(version).c_str(), 0600);
    chmod(options.indexFolder.c_str(), 0707);
    EXPECT_EQ(store.Load(version, &index), IndexStore::LoadStatus::NotPrivate);
    chmod(options.indexFolder.c_str(), 0700);
    if (geteuid() == 0) {  // only root can give a file away
        ASSERT_EQ(chown(store.PathFor(version).c_str(), 4321, 4321), 0);
        EXPECT_EQ(store.Load(version, &index), IndexStore::LoadStatus::NotPrivate);
        ASSERT_EQ(chown(store.PathFor(version).c_str(), 0, 0), 0);
    }
    EXPECT_EQ(store.Load(version, &index), IndexStore::LoadStatus::Loaded);

    // A damaged index is rebuilt, and the archive reads right.
    test::WriteFile(store.PathFor(version), kept.substr(0, 100));
    ArchiveLibrary library(options);
    int error = 0;
    auto archive = library.Open(dir / "a.kvn", &error);
    EXPECT_TRUE(ReadInOrder(library, archive) == sound);
    EXPECT_EQ(store.Load(version, &index), IndexStore::LoadStatus::Loaded);
    EXPECT_TRUE(log.empty());
}

// A kept index that another program or a bad disk rewrote (its CRC made to match): whatever it
// says, the file reads right, and the index is made again.
TEST(IndexStoreTest, AKeptIndexIsNeverBelievedOverTheArchive) {
    TempDir dir;
    const std::string& sound = Sound();
    test::WriteFile(dir / "a.kvn", Archive());
    LibraryOptions options;
    options.indexFolder = dir / "index";
    IndexStore store(options.indexFolder);
    platform::FileVersion version;
    ASSERT_TRUE(platform::VersionAt(dir / "a.kvn", &version));
    ArchiveIndex good;
    {
        ArchiveLibrary library(options);
        int error = 0;
        ASSERT_TRUE(library.Open(dir / "a.kvn", &error));
        ASSERT_EQ(store.Load(version, &good), IndexStore::LoadStatus::Loaded);
    }
    ASSERT_GE(good.spans.size(), 5u);
    struct Case {
        const char* name;
        std::function<void(ArchiveIndex&)> change;
        bool readsRebuild;  // found by a read rather than when the archive is opened
    } cases[] = {
        {"mode byte", [](ArchiveIndex& i) { i.deltaMode = 1; }, false},
        {"size", [](ArchiveIndex& i) { i.sourceSize -= 1000; }, false},
        {"a span's restored lead", [](ArchiveIndex& i) { i.spans[2].lead[5] ^= 0x40; }, true},
        {"the last span's lead", [](ArchiveIndex& i) { i.spans.back().lead[7] ^= 1; }, true},
        {"two spans as one",
         [](ArchiveIndex& i) {
             i.spans[1].endBit = i.spans[2].endBit;
             i.spans.erase(i.spans.begin() + 2);
         },
         true},
        {"a span's CRC", [](ArchiveIndex& i) { i.spans[3].blocksCrc ^= 1; }, true},
        {"a span's restored offset", [](ArchiveIndex& i) { i.spans[2].restoredOffset += 2; }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ArchiveIndex changed = good;
        c.change(changed);
        ASSERT_TRUE(IndexHoldsTogether(changed));
        test::WriteFile(store.PathFor(version), EncodeIndex(changed));
        std::vector<std::string> log;
        options.log = [&](const std::string& line) { log.push_back(line); };
        ArchiveLibrary library(options);
        int error = 0;
        auto archive = library.Open(dir / "a.kvn", &error);
        ASSERT_TRUE(archive) << error;
        EXPECT_TRUE(ReadInOrder(library, archive) == sound);
        ArchiveIndex now;
        ASSERT_EQ(store.Load(version, &now), IndexStore::LoadStatus::Loaded);
        EXPECT_TRUE(EncodeIndex(now) == EncodeIndex(good));
        EXPECT_EQ(log.size(), c.readsRebuild ? 1u : 0u);
    }
}

TEST(ArchiveLibraryTest, FaultsGiveEioAndNeverStaleBytes) {
    TempDir dir;
    const std::string& sound = Sound();
    const std::string& archive = Archive();
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
    test::WriteFile(dir / "a.kvn", Archive());
    test::WriteFile(dir / "b.kvn", Archive());
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
        EXPECT_TRUE(ReadInOrder(library, archive) == Sound());
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
    test::WriteFile(dir / "small.kvn", Archive());
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
