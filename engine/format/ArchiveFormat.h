// SPDX-License-Identifier: MIT
// The .kvn archive header. The byte layout is described in doc/archive_format.md:
//
//   "KVN1" | typeLength (1) | typeText (n) | deltaMode (1) | sourceSize (4, LE) | reserved (4)
//   "KVN2" | typeLength (1) | typeText (n) | deltaMode (1) | sourceSize (8, LE) | reserved (4)
//
// A source below 4 GiB gets the first form, a larger one the second: a reader that knows only
// "KVN1" refuses the larger archive as no archive instead of restoring a truncated file.
// followed by a bzip2 stream (block size 9) without its 4-byte "BZh9" stream header. Readers
// work on any open file positioned at the header's first byte; a header is never trusted
// beyond what the file holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/Status.h"
#include "platform/File.h"

namespace kavrin {

inline constexpr char kArchiveMagic[4] = {'K', 'V', 'N', '1'};
inline constexpr char kArchiveMagicWide[4] = {'K', 'V', 'N', '2'};
inline constexpr uint32_t kMaxTypeText = 255;
// The largest source the 32-bit header holds; a larger one gets the wide header.
inline constexpr uint64_t kMaxNarrowSourceSize = 0xFFFFFFFFull;
// The fixed part: magic, type length, mode, source size and reserved.
inline constexpr uint32_t kHeaderFixedBytes = 14;
inline constexpr uint32_t kWideHeaderFixedBytes = 18;

struct ArchiveHeader {
    std::string typeText;       // at most 255 bytes, exact bytes of the source name's extension
    uint8_t deltaMode = 0;      // the mode applied, 1 to 5 as written; any byte as read
    uint64_t sourceSize = 0;    // bytes the payload restores to
    uint32_t reserved = 0;      // written as 0, ignored when read
    uint32_t headerLength = 0;  // 14 (18 wide) + typeText length: where the payload starts
    bool wide = false;          // "KVN2": the source size in 64 bits
};

enum class HeaderStatus {
    Ok,
    NotArchive,  // the first four bytes are neither "KVN1" nor "KVN2" (a file shorter than 4
                 // bytes included)
    Truncated,   // the file ends inside the header
    ReadError,
};

// How much of the header a reader needs: the queue stops after the source size, the
// dispatcher after the type text.
enum class HeaderField { TypeText, SourceSize, Reserved };

// The 14 + n header bytes ("KVN1") for a source size of at most kMaxNarrowSourceSize, else the
// 18 + n bytes of "KVN2"; reserved = 0. Requires typeText.size() <= 255.
std::string EncodeArchiveHeader(const std::string& typeText, uint8_t deltaMode,
                                uint64_t sourceSize);

// Reads from the file's current position through `last` (the whole header by default). On a
// wrong magic it reads nothing after the magic. On Ok with the whole header read, the file is
// left at the first payload byte.
HeaderStatus ReadArchiveHeader(platform::FileHandle source, ArchiveHeader* header,
                               HeaderField last = HeaderField::Reserved);

// The same reading over bytes in memory.
HeaderStatus ParseArchiveHeader(const uint8_t* bytes, size_t length, ArchiveHeader* header,
                                HeaderField last = HeaderField::Reserved);

// Every byte a header can take: the fixed part and the longest type text.
inline constexpr uint32_t kMaxHeaderBytes = kWideHeaderFixedBytes + kMaxTypeText;

// The verdict on a header read with ParseArchiveHeader or ReadArchiveHeader through Reserved:
// ok; a Damage status when it is no archive, cut short, or holds a mode byte no writer stores
// (NotArchive, HeaderTruncated, UnknownMode); for ReadError, what `systemError` says.
Status CheckArchiveHeader(HeaderStatus read, const ArchiveHeader& header, int systemError);

// Reads the whole header from the start of `file` with one positioned read, leaving the file's
// position alone (several threads may read one descriptor so), and gives CheckArchiveHeader's
// verdict. `header` is filled whenever the header is whole, an unknown mode byte included.
Status ReadArchiveHeaderAt(platform::FileHandle file, ArchiveHeader* header);

}  // namespace kavrin
