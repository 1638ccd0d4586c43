// SPDX-License-Identifier: MIT
#include "mount/ArchiveLibrary.h"

#include <algorithm>
#include <cerrno>

namespace kavrin {
namespace {

// Indexes remembered in memory, at most; the oldest of closed archives are forgotten first,
// also once indexes take more than a quarter of the cache's bound.
constexpr size_t kRememberedIndexes = 16384;

std::string Range(uint64_t from, uint64_t to) {
    return "bytes " + std::to_string(from) + " to " + std::to_string(to);
}

}  // namespace

ArchiveLibrary::ArchiveLibrary(LibraryOptions options)
    : options_(std::move(options)),
      log_(options_.log),
      store_(options_.indexFolder),
      decoders_(options_.cacheBytes, std::clamp<uint32_t>(options_.threads, 1, 64)),
      cache_(options_.cacheBytes, decoders_.HeldFromCache()),
      table_(cache_, kRememberedIndexes),
      reader_(cache_, decoders_),
      builds_(BuildRooms{store_, table_, cache_, decoders_, reader_, log_, stopping_},
              std::clamp<uint32_t>(options_.threads, 1, 64)),
      ahead_(cache_, reader_, decoders_.size()) {}

ArchiveLibrary::~ArchiveLibrary() {
    stopping_ = true;
    ahead_.Stop();
}

std::shared_ptr<OpenArchive> ArchiveLibrary::OpenFile(const std::string& path,
                                                      ArchiveHeader* header, Status* failure) {
    auto archive = std::make_shared<OpenArchive>();
    archive->path = path;
    errno = 0;
    archive->file = platform::OpenShared(path);
    if (archive->file == platform::kInvalidFile ||
        !platform::VersionOf(archive->file, &archive->version)) {
        *failure = Status::System(errno, "can't open the archive");
        return nullptr;
    }
    // What the header says comes from the archive itself, whatever an index holds.
    *failure = ReadArchiveHeaderAt(archive->file, header);
    return archive;
}

std::shared_ptr<OpenArchive> ArchiveLibrary::Open(const std::string& path, int* error,
                                                  const std::function<bool()>& wanted,
                                                  Status* why) {
    ArchiveHeader header;
    Status failure;
    std::shared_ptr<OpenArchive> archive = OpenFile(path, &header, &failure);
    if (!archive) {
        *error = failure.systemError();  // the archive is not there to say anything of
        if (why) *why = failure;
        return nullptr;
    }
    if (failure.ok()) {
        const BuildRunner::Outcome outcome =
            builds_.IndexFor(path, archive->version, header, nullptr, wanted, nullptr);
        archive->state = outcome.state;
        failure = outcome.failure;
    }
    if (!failure.ok()) {
        *error = log_.OpenFailed(path, archive->version, failure);
        if (why) *why = failure;
        return nullptr;
    }
    archive->sourceSize = header.sourceSize;
    return archive;
}

bool ArchiveLibrary::EnsureStored(const std::string& path, EngineObserver& observer, bool* built,
                                  std::string* why) {
    *built = false;
    ArchiveHeader header;
    Status failure;
    std::shared_ptr<OpenArchive> archive = OpenFile(path, &header, &failure);
    if (archive && failure.ok()) {
        failure = builds_.IndexFor(path, archive->version, header, &observer, {}, built).failure;
    }
    *why = failure.message();
    return failure.ok();
}

int64_t ArchiveLibrary::Read(const std::shared_ptr<OpenArchive>& handle, uint8_t* out,
                             size_t length, uint64_t offset, std::string* why) {
    OpenArchive& archive = *handle;
    bool sequential = false;
    for (int attempt = 0;; ++attempt) {
        uint64_t generation = 0;
        const std::shared_ptr<const ArchiveIndex> index = archive.Index(&generation);
        if (!index) {
            if (why) *why = archive.path + ": can't be read (it failed its checks)";
            return -EIO;
        }
        if (!StillTheSame(archive)) {
            const std::string line =
                archive.path + ": changed or removed while open; reads of it give EIO";
            log_.Once(FaultLog::Key("changed", archive.path, archive.version), line);
            if (why) *why = line;
            return -EIO;
        }
        if (offset >= index->sourceSize || length == 0) return 0;
        const uint64_t end = std::min<uint64_t>(offset + length, index->sourceSize);
        if (attempt == 0) sequential = archive.lastEnd.exchange(end) == offset;
        size_t last = 0;
        const int status =
            ReadThrough(archive, index, generation, out, offset, end, attempt == 0, &last, why);
        if (status > 0) continue;
        if (status < 0) return status;
        if (sequential && last + 1 < index->spans.size()) ahead_.After(handle, last + 1);
        // Another check after decoding: bytes of an archive that changed meanwhile are not given.
        if (!StillTheSame(archive)) {
            if (why) *why = archive.path + ": changed or removed while it was read";
            return -EIO;
        }
        return static_cast<int64_t>(end - offset);
    }
}

int ArchiveLibrary::ReadThrough(OpenArchive& archive,
                                const std::shared_ptr<const ArchiveIndex>& index,
                                uint64_t generation, uint8_t* out, uint64_t offset, uint64_t end,
                                bool rebuild, size_t* last, std::string* why) {
    size_t j = index->SpanAt(offset);
    for (uint64_t at = offset; at < end; ++j) {
        const uint64_t spanStart = index->spans[j].restoredOffset;
        const uint64_t to = std::min(end, index->SpanEnd(j));
        const SpanReader::Result span = reader_.Span(archive, *index, generation, j);
        if (!span.entry) {
            // Through a kept index, a span that fails has the index built again first.
            if (span.status == BlockStatus::Damaged && rebuild &&
                builds_.RebuildOnce(archive, index)) {
                return 1;
            }
            if (span.status == BlockStatus::NoMemory) {
                if (why) *why = "out of memory";
                return -ENOMEM;
            }
            const std::string line = archive.path + ": " + Range(spanStart, index->SpanEnd(j)) +
                                     " can't be read (" +
                                     (span.inconsistent ? "they disagree with the archive's index"
                                                        : DescribeBlockStatus(span.status)) +
                                     "); reads of them give EIO";
            log_.Once(
                FaultLog::Key("span", archive.path, archive.version) + "/" + std::to_string(j),
                line);
            if (why) *why = line;
            return -EIO;
        }
        span.entry->form.Read(at - spanStart, to - spanStart, out + (at - offset));
        at = to;
        *last = j;
    }
    return 0;
}

}  // namespace kavrin
