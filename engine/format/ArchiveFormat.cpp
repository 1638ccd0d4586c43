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

void Append32(std::string& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(value >> shift));
}

// Bytes after the type text that a reader needs to reach `last`.
uint32_t TailBytes(HeaderField last) {
    switch (last) {
        case HeaderField::TypeText:
            return 0;
        case HeaderField::SourceSize:
            return 5;
        case HeaderField::Reserved:
            return 9;
    }
    return 9;
}

// Fills the fields after the type text from `tail` (TailBytes(last) bytes).
void DecodeTail(const uint8_t* tail, HeaderField last, ArchiveHeader* header) {
    if (last == HeaderField::TypeText) return;
    header->deltaMode = tail[0];
    header->sourceSize = Load32(tail + 1);
    if (last == HeaderField::Reserved) header->reserved = Load32(tail + 5);
}

}  // namespace

std::string EncodeArchiveHeader(const std::string& typeText, uint8_t deltaMode,
                                uint32_t sourceSize) {
    std::string out(kArchiveMagic, sizeof kArchiveMagic);
    out.push_back(static_cast<char>(typeText.size()));
    out += typeText;
    out.push_back(static_cast<char>(deltaMode));
    Append32(out, sourceSize);
    Append32(out, 0);
    return out;
}

HeaderStatus ReadArchiveHeader(platform::FileHandle source, ArchiveHeader* header,
                               HeaderField last) {
    uint8_t front[5];
    int64_t got = platform::ReadFull(source, front, 4);
    if (got < 0) return HeaderStatus::ReadError;
    if (got < 4 || std::memcmp(front, kArchiveMagic, 4) != 0) return HeaderStatus::NotArchive;
    got = platform::ReadFull(source, front + 4, 1);
    if (got < 0) return HeaderStatus::ReadError;
    if (got < 1) return HeaderStatus::Truncated;

    uint32_t typeLength = front[4];
    uint32_t tail = TailBytes(last);
    uint8_t rest[kMaxTypeText + 9];
    got = platform::ReadFull(source, rest, typeLength + tail);
    if (got < 0) return HeaderStatus::ReadError;
    if (static_cast<uint32_t>(got) < typeLength + tail) return HeaderStatus::Truncated;

    header->typeText.assign(reinterpret_cast<const char*>(rest), typeLength);
    header->headerLength = kHeaderFixedBytes + typeLength;
    DecodeTail(rest + typeLength, last, header);
    return HeaderStatus::Ok;
}

HeaderStatus ParseArchiveHeader(const uint8_t* bytes, size_t length, ArchiveHeader* header,
                                HeaderField last) {
    if (length < 4 || std::memcmp(bytes, kArchiveMagic, 4) != 0) return HeaderStatus::NotArchive;
    if (length < 5) return HeaderStatus::Truncated;
    uint32_t typeLength = bytes[4];
    if (length - 5 < typeLength + TailBytes(last)) return HeaderStatus::Truncated;
    header->typeText.assign(reinterpret_cast<const char*>(bytes + 5), typeLength);
    header->headerLength = kHeaderFixedBytes + typeLength;
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
