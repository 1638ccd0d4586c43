// SPDX-License-Identifier: MIT
// Arbitrary bytes through the header reader, from memory and from a file, for every stopping
// point: never a crash, never a read past the bytes, and both readers agree.
#include <cstring>

#include "engine/format/ArchiveFormat.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kavrin;
    for (HeaderField last :
         {HeaderField::TypeText, HeaderField::SourceSize, HeaderField::Reserved}) {
        ArchiveHeader parsed;
        HeaderStatus fromMemory = ParseArchiveHeader(data, size, &parsed, last);
        platform::FileHandle file = fuzz::MemoryFile(data, size);
        ArchiveHeader read;
        HeaderStatus fromFile = ReadArchiveHeader(file, &read, last);
        platform::CloseFile(file);
        if (fromMemory != fromFile) abort();
        if (fromMemory != HeaderStatus::Ok) continue;
        if (parsed.typeText != read.typeText || parsed.headerLength != read.headerLength) abort();
        if (parsed.typeText.size() > kMaxTypeText || parsed.headerLength > size + 9) abort();
        if (std::memcmp(data + 5, parsed.typeText.data(), parsed.typeText.size()) != 0) abort();
        if (last != HeaderField::TypeText && parsed.sourceSize != read.sourceSize) abort();
    }
    return 0;
}
