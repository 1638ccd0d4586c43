// SPDX-License-Identifier: MIT
#include "engine/format/ArchiveFormat.h"

#include <cerrno>
#include <cstring>

#include "engine/format/DeltaFilter.h"
#include "platform/SharedFile.h"

namespace kavrin {
namespace {

uint32_t Load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void Append(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

// Which header the four bytes at `magic` open: 1 for "KVN1", 2 for "KVN2", 0 for neither.
int FormOf(const uint8_t* magic) {
    if (std::memcmp(magic, kArchiveMagic, 4) == 0) return 1;
    if (std::memcmp(magic, kArchiveMagicWide, 4) == 0) return 2;
    return 0;
}

uint32_t SizeBytes(bool wide) {
    return wide ? 8 : 4;
}

// Bytes after the type text that a reader needs to reach `last`.
uint32_t TailBytes(HeaderField last, bool wide) {
    switch (last) {
        case HeaderField::TypeText:
            return 0;
        case HeaderField::SourceSize:
            return 1 + SizeBytes(wide);
        case HeaderField::Reserved:
            break;
    }
    return 1 + SizeBytes(wide) + 4;
}

// Fills the fields after the type text from `tail` (TailBytes(last, wide) bytes).
void DecodeTail(const uint8_t* tail, HeaderField last, ArchiveHeader* header) {
    if (last == HeaderField::TypeText) return;
    header->deltaMode = tail[0];
    header->sourceSize = Load32(tail + 1);
    if (header->wide) header->sourceSize |= static_cast<uint64_t>(Load32(tail + 5)) << 32;
    if (last == HeaderField::Reserved) {
        header->reserved = Load32(tail + 1 + SizeBytes(header->wide));
    }
}

// The fields a header's form and type length give.
void StartHeader(bool wide, const uint8_t* typeText, uint32_t typeLength, ArchiveHeader* header) {
    header->wide = wide;
    header->typeText.assign(reinterpret_cast<const char*>(typeText), typeLength);
    header->headerLength = (wide ? kWideHeaderFixedBytes : kHeaderFixedBytes) + typeLength;
}

}  // namespace

std::string EncodeArchiveHeader(const std::string& typeText, uint8_t deltaMode,
                                uint64_t sourceSize) {
    const bool wide = sourceSize > kMaxNarrowSourceSize;
    std::string out(wide ? kArchiveMagicWide : kArchiveMagic, 4);
    out.push_back(static_cast<char>(typeText.size()));
    out += typeText;
    out.push_back(static_cast<char>(deltaMode));
    Append(out, sourceSize, static_cast<int>(SizeBytes(wide)));
    Append(out, 0, 4);
    return out;
}

HeaderStatus ReadArchiveHeader(platform::FileHandle source, ArchiveHeader* header,
                               HeaderField last) {
    uint8_t front[5];
    int64_t got = platform::ReadFull(source, front, 4);
    if (got < 0) return HeaderStatus::ReadError;
    const int form = got < 4 ? 0 : FormOf(front);
    if (form == 0) return HeaderStatus::NotArchive;
    got = platform::ReadFull(source, front + 4, 1);
    if (got < 0) return HeaderStatus::ReadError;
    if (got < 1) return HeaderStatus::Truncated;

    const bool wide = form == 2;
    uint32_t typeLength = front[4];
    uint32_t tail = TailBytes(last, wide);
    uint8_t rest[kMaxTypeText + 13];
    got = platform::ReadFull(source, rest, typeLength + tail);
    if (got < 0) return HeaderStatus::ReadError;
    if (static_cast<uint32_t>(got) < typeLength + tail) return HeaderStatus::Truncated;

    StartHeader(wide, rest, typeLength, header);
    DecodeTail(rest + typeLength, last, header);
    return HeaderStatus::Ok;
}

HeaderStatus ParseArchiveHeader(const uint8_t* bytes, size_t length, ArchiveHeader* header,
                                HeaderField last) {
    const int form = length < 4 ? 0 : FormOf(bytes);
    if (form == 0) return HeaderStatus::NotArchive;
    if (length < 5) return HeaderStatus::Truncated;
    const bool wide = form == 2;
    uint32_t typeLength = bytes[4];
    if (length - 5 < typeLength + TailBytes(last, wide)) return HeaderStatus::Truncated;
    StartHeader(wide, bytes + 5, typeLength, header);
    DecodeTail(bytes + 5 + typeLength, last, header);
    return HeaderStatus::Ok;
}

Status CheckArchiveHeader(HeaderStatus read, const ArchiveHeader& header, int systemError) {
    switch (read) {
        case HeaderStatus::Ok:
            break;
        case HeaderStatus::NotArchive:
            return Status::Engine(EngineError::NotArchive);
        case HeaderStatus::Truncated:
            return Status::Engine(EngineError::HeaderTruncated);
        case HeaderStatus::ReadError:
            return Status::Engine(EngineError::ReadError, systemError);
    }
    // No writer stores another mode: such a byte is damage, and restoring the filtered bytes
    // as if they were the file would be a wrong answer.
    if (!IsStoredDeltaMode(header.deltaMode)) return Status::UnknownMode(header.deltaMode);
    return Status();
}

Status ReadArchiveHeaderAt(platform::FileHandle file, ArchiveHeader* header) {
    uint8_t bytes[kMaxHeaderBytes];
    errno = 0;
    const int64_t got = platform::ReadAt(file, bytes, sizeof bytes, 0);
    if (got < 0) {
        return CheckArchiveHeader(HeaderStatus::ReadError, *header, errno != 0 ? errno : EIO);
    }
    const HeaderStatus read = ParseArchiveHeader(bytes, static_cast<size_t>(got), header);
    return CheckArchiveHeader(read, *header, 0);
}

}  // namespace kavrin
