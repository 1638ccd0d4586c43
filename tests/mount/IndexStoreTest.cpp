// SPDX-License-Identifier: MIT
// Indexes kept between mounts are the user's alone, serve only the archive version they were
// made for, and are never believed over the archive: a damaged, stale or rewritten one is
// built again and the archive reads right.
#include "mount/IndexStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/codec/BlockCrc.h"
#include "mount/ArchiveLibrary.h"
#include "tests/support/EngineHarness.h"
#include "tests/support/MountHarness.h"

namespace kavrin {
namespace {

using test::MountArchive;
using test::MountSound;
using test::ReadInOrder;
using test::TempDir;

uint32_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(IndexStoreTest, AnIndexServesOnlyTheArchiveVersionItWasMadeForAndOnlyItsUser) {
    TempDir dir;
    const std::string& sound = MountSound();
    test::WriteFile(dir / "a.kvn", MountArchive());
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
    const std::string& sound = MountSound();
    test::WriteFile(dir / "a.kvn", MountArchive());
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
    {
        // An index kept by a version whose sizes took 32 bits (format 2, its CRC right) is not
        // read as this one: it is made again.
        std::string former = EncodeIndex(good);
        former[4] = 2;
        former.resize(former.size() - 4);
        const uint32_t crc =
            BlockCrcOf(reinterpret_cast<const uint8_t*>(former.data()), former.size());
        for (int i = 0; i < 4; ++i) former.push_back(static_cast<char>(crc >> (8 * i)));
        test::WriteFile(store.PathFor(version), former);
        ArchiveIndex now;
        EXPECT_EQ(store.Load(version, &now), IndexStore::LoadStatus::Missing);
        ArchiveLibrary library(options);
        int error = 0;
        auto archive = library.Open(dir / "a.kvn", &error);
        ASSERT_TRUE(archive) << error;
        EXPECT_TRUE(ReadInOrder(library, archive) == sound);
        ASSERT_EQ(store.Load(version, &now), IndexStore::LoadStatus::Loaded);
        EXPECT_TRUE(EncodeIndex(now) == EncodeIndex(good));
    }
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

}  // namespace
}  // namespace kavrin
