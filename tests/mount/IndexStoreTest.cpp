// Indexes kept between mounts are used only for exactly the archive they describe, and the
// library's faults: a damaged or stale index is rebuilt, a damaged block fails only the reads
// that touch it, and an archive that changes or goes while open gives no stale bytes.
#include "mount/IndexStore.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "mount/ArchiveLibrary.h"
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

TEST(IndexStoreTest, AnIndexServesOnlyTheArchiveVersionItWasMadeFor) {
    TempDir dir;
    const std::string& sound = Sound();
    test::WriteFile(dir / "a.kvn", Archive());
    LibraryOptions options;
    options.indexFolder = dir / "index";
    std::vector<std::string> log;
    options.log = [&](const std::string& line) { log.push_back(line); };
    {
        ArchiveLibrary library(options);
        int error = 0;
        auto archive = library.Open(dir / "a.kvn", &error);
        ASSERT_TRUE(archive && archive->index);
        EXPECT_GE(archive->index->blocks.size(), kStoredIndexMinBlocks);
    }
    IndexStore store(options.indexFolder);
    platform::FileVersion version;
    ASSERT_TRUE(platform::VersionAt(dir / "a.kvn", &version));
    ArchiveIndex index;
    ASSERT_TRUE(store.Load(version, &index));
    const std::string kept = test::ReadFile(store.PathFor(version));
    EXPECT_LT(kept.size() * 10000, test::ReadFile(dir / "a.kvn").size());  // under 0.01 %

    // Damaged, cut, or made for another version: not used.
    for (size_t at : {size_t{0}, size_t{40}, kept.size() / 2, kept.size() - 1}) {
        std::string damaged = kept;
        damaged[at] ^= 0x20;
        test::WriteFile(store.PathFor(version), damaged);
        EXPECT_FALSE(store.Load(version, &index)) << at;
    }
    test::WriteFile(store.PathFor(version), kept.substr(0, kept.size() - 9));
    EXPECT_FALSE(store.Load(version, &index));
    test::WriteFile(store.PathFor(version), kept);
    platform::FileVersion other = version;
    other.changedNanos += 1;
    EXPECT_FALSE(store.Load(other, &index));
    EXPECT_TRUE(store.Load(version, &index));

    // A damaged index is rebuilt, and the archive reads right.
    test::WriteFile(store.PathFor(version), kept.substr(0, 100));
    ArchiveLibrary library(options);
    int error = 0;
    auto archive = library.Open(dir / "a.kvn", &error);
    int64_t status = 0;
    EXPECT_TRUE(ReadAll(library, archive, 0, sound.size(), &status) == sound);
    EXPECT_TRUE(store.Load(version, &index));
    EXPECT_TRUE(log.empty());
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

    // A block that no longer decodes (the archive's bytes rotted on disk under an index that
    // still matches): only reads that touch it fail.
    test::WriteFile(dir / "good.kvn", archive);
    test::WriteFile(dir / "rot.kvn", archive);
    {
        ArchiveLibrary library(options);
        auto good = library.Open(dir / "good.kvn", &error);
        ASSERT_TRUE(good && good->index);
        ArchiveIndex planted = *good->index;
        std::string rotten = archive;
        const IndexedBlock& third = planted.blocks[2];
        rotten[planted.headerLength + (third.startBit + third.endBit) / 16] ^= 0x04;
        test::WriteFile(dir / "rot.kvn", rotten);
        ASSERT_TRUE(platform::VersionAt(dir / "rot.kvn", &planted.version));
        ASSERT_TRUE(IndexStore(options.indexFolder).Save(planted));
    }
    {
        ArchiveLibrary library(options);
        auto rot = library.Open(dir / "rot.kvn", &error);
        ASSERT_TRUE(rot && rot->index);
        const ArchiveIndex& index = *rot->index;
        const uint64_t from = index.blocks[2].restoredOffset, to = index.BlockEnd(2);
        EXPECT_TRUE(ReadAll(library, rot, 0, from, &status) == sound.substr(0, from));
        EXPECT_TRUE(ReadAll(library, rot, to, sound.size(), &status) == sound.substr(to));
        ReadAll(library, rot, from - 10, 20, &status);
        EXPECT_EQ(status, -EIO);
        ReadAll(library, rot, to - 1, 1, &status);
        EXPECT_EQ(status, -EIO);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_NE(log[0].find("can't be read"), std::string::npos);

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
    // An archive whose stream fails its checks opens, and every read of it fails.
    std::string badCrc = archive;
    badCrc[badCrc.size() - 3] ^= 0x01;
    test::WriteFile(dir / "crc.kvn", badCrc);
    ArchiveLibrary library(options);
    auto crc = library.Open(dir / "crc.kvn", &error);
    ASSERT_TRUE(crc);
    EXPECT_FALSE(crc->index);
    ReadAll(library, crc, 0, 10, &status);
    EXPECT_EQ(status, -EIO);
}

}  // namespace
}  // namespace kavrin
