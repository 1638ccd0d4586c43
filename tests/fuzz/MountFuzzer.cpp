// SPDX-License-Identifier: MIT
// Fuzz target: kvn mount's library over an archive and its kept index, either of which a bad
// disk or another program may have changed, the index's own CRC made to match or not. Whatever
// they hold, the archive opens or not, and every read gives exactly the bytes the archive
// restores (kvn expand's, or the original's where expand fails) at its offset, or an error:
// never other bytes, never a file of another size, never a crash.
//
// Input: edits of 5 bytes each (what: bit 0 the archive rather than the index, bit 1 fix the
// index's CRC after; an offset of 3 bytes, little-endian; a mask to XOR), then 4 bytes that
// choose the reads (the size of the reads in order, and where a few others go).
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "engine/Engine.h"
#include "engine/codec/BlockCrc.h"
#include "engine/format/ArchiveFormat.h"
#include "mount/ArchiveLibrary.h"
#include "mount/IndexBuilder.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/support/Bzip2Reference.h"

namespace {

using namespace kavrin;

// Where an index's version fields and its CRC lie in its file form (ArchiveIndex.cpp).
constexpr size_t kVersionAt = 20;

void Write(const std::string& path, const std::string& bytes) {
    platform::DeleteFile(path);
    platform::FileHandle file = platform::CreatePrivateFile(path);
    if (file == platform::kInvalidFile || !platform::WriteFull(file, bytes.data(), bytes.size())) {
        abort();
    }
    platform::CloseFile(file);
}

struct Fixture {
    std::string folder;
    std::string source;
    std::string archive;
    std::string index;  // its file form
};

// A filtered sound in three streams: two small blocks at level 1, one block of a megabyte of
// silence (kept compact), a last small one.
const Fixture& Setup() {
    static const Fixture fixture = [] {
        Fixture f;
        char folder[] = "/tmp/kavrin-fuzz-mount-XXXXXX";
        if (mkdtemp(folder) == nullptr) abort();
        f.folder = folder;
        uint32_t noise = 1;
        for (int i = 0; i < 90000; ++i) {
            noise = noise * 1103515245u + 12345u;
            const auto sample = static_cast<int16_t>(8000 * ((i / 40) % 2 ? 1 : -1) +
                                                     static_cast<int>(noise >> 24) - 128);
            f.source.push_back(static_cast<char>(sample & 0xFF));
            f.source.push_back(static_cast<char>(sample >> 8));
        }
        f.source += std::string(1 << 20, '\0') + f.source.substr(0, 30001);
        std::string filtered = f.source;
        DeltaState state;
        DeltaEncode(DeltaMode::Bits16, reinterpret_cast<uint8_t*>(filtered.data()), filtered.size(),
                    true, state);
        const size_t a = 180000, b = a + (1 << 20);
        const std::string payload = test::Libbz2Compress(filtered.substr(0, a), 1).substr(4) +
                                    test::Libbz2Compress(filtered.substr(a, b - a), 9) +
                                    test::Libbz2Compress(filtered.substr(b), 5);
        f.archive = EncodeArchiveHeader("wav", 3, static_cast<uint32_t>(f.source.size())) + payload;
        Write(f.folder + "/a.kvn", f.archive);
        platform::FileVersion version;
        if (!platform::VersionAt(f.folder + "/a.kvn", &version)) abort();
        fuzz::QuietObserver observer;
        const IndexBuild build = BuildIndex(f.folder + "/a.kvn", version, BuildPlan{}, observer);
        if (!build.ok) abort();
        f.index = EncodeIndex(build.index);
        return f;
    }();
    return fixture;
}

std::string Restored(const std::string& archive, bool* ok) {
    static EngineContextPtr engine = CreateEngineContext();
    fuzz::QuietObserver observer;
    platform::FileHandle in =
        fuzz::MemoryFile(reinterpret_cast<const uint8_t*>(archive.data()), archive.size());
    platform::FileHandle out = fuzz::MemoryFile(nullptr, 0);
    FileSink sink(out);
    *ok = ExpandJob(*engine, in, sink, observer).result == JobResult::Done;
    std::string restored = fuzz::ReadAll(out);
    platform::CloseFile(in);
    platform::CloseFile(out);
    return restored;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Fixture& f = Setup();
    std::string archive = f.archive;
    std::string index = f.index;
    bool fixCrc = false, indexEdited = false;
    size_t at = 0;
    for (; at + 5 <= size && size - at > 4; at += 5) {
        const size_t offset = data[at + 1] | data[at + 2] << 8 | data[at + 3] << 16;
        std::string& target = data[at] & 1 ? archive : index;
        target[offset % target.size()] ^= static_cast<char>(data[at + 4]);
        fixCrc = fixCrc || (data[at] & 2) != 0;
        indexEdited = indexEdited || (data[at] & 1) == 0;
    }
    uint8_t choice[4] = {1, 0, 0, 0};
    std::memcpy(choice, data + at, std::min<size_t>(4, size - at));

    const std::string path = f.folder + "/a.kvn";
    Write(path, archive);
    platform::FileVersion version;
    if (!platform::VersionAt(path, &version)) abort();
    // The kept index names the archive as it is now, so that the library weighs its content.
    if (index.size() >= kVersionAt + 7 * 8 + 4) {
        const uint64_t fields[] = {version.device,
                                   version.inode,
                                   version.size,
                                   static_cast<uint64_t>(version.modifiedSeconds),
                                   static_cast<uint64_t>(version.modifiedNanos),
                                   static_cast<uint64_t>(version.changedSeconds),
                                   static_cast<uint64_t>(version.changedNanos)};
        for (size_t k = 0; k < 7; ++k) {
            for (size_t b = 0; b < 8; ++b) {
                index[kVersionAt + 8 * k + b] = static_cast<char>(fields[k] >> (8 * b));
            }
        }
        if (fixCrc || !indexEdited) {
            const uint32_t crc =
                BlockCrcOf(reinterpret_cast<const uint8_t*>(index.data()), index.size() - 4);
            for (size_t b = 0; b < 4; ++b) {
                index[index.size() - 4 + b] = static_cast<char>(crc >> (8 * b));
            }
        }
    }
    LibraryOptions options;
    options.cacheBytes = 1 << 20;
    options.indexFolder = f.folder + "/index";
    IndexStore store(options.indexFolder);
    platform::MakePrivateFolder(options.indexFolder);
    Write(store.PathFor(version), index);

    bool ok = false;
    const std::string restored = Restored(archive, &ok);
    // What may come out: the archive's restored bytes, or where it fails, the original's.
    const std::string& expected = ok ? restored : f.source;
    ArchiveLibrary library(options);
    int error = 0;
    std::shared_ptr<OpenArchive> opened = library.Open(path, &error);
    if (!opened) return 0;
    const auto check = [&](uint64_t offset, size_t length) {
        std::string out(length, '\0');
        const int64_t got =
            library.Read(opened, reinterpret_cast<uint8_t*>(out.data()), length, offset);
        if (got < 0) return false;
        const uint64_t wanted = offset < opened->sourceSize
                                    ? std::min<uint64_t>(length, opened->sourceSize - offset)
                                    : 0;
        if (static_cast<uint64_t>(got) != wanted ||
            (wanted > 0 && (offset + wanted > expected.size() ||
                            out.compare(0, wanted, expected, offset, wanted) != 0))) {
            abort();
        }
        return got > 0;
    };
    const size_t piece = 4096 * (1 + choice[0] % 64) + choice[1];
    for (uint64_t offset = 0; check(offset, piece); offset += piece) {
    }
    for (int k = 0; k < 4; ++k) {
        check((choice[2] << 16 | choice[3] << 8 | k) * 7919ull % (expected.size() + 10),
              1 + choice[k] * 300u);
    }
    return 0;
}
