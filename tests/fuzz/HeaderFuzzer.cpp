// SPDX-License-Identifier: MIT
// Arbitrary bytes through the header reader, from memory and from a file, for every stopping
// point: never a crash, never a read past the bytes, and both readers agree. A whole header that
// a writer could have made ("KVN1" below 4 GiB, "KVN2" from there, reserved 0) encodes back to
// the same bytes.
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
        if (parsed.wide != (data[3] == '2') || parsed.wide != read.wide) abort();
        const uint32_t beyond = parsed.wide ? 13 : 9;  // header bytes after the type text's end
        if (parsed.typeText.size() > kMaxTypeText || parsed.headerLength > size + beyond) abort();
        if (std::memcmp(data + 5, parsed.typeText.data(), parsed.typeText.size()) != 0) abort();
        if (last != HeaderField::TypeText && parsed.sourceSize != read.sourceSize) abort();
        if (last == HeaderField::Reserved && parsed.reserved == 0 &&
            parsed.wide == (parsed.sourceSize > kMaxNarrowSourceSize)) {
            const std::string again =
                EncodeArchiveHeader(parsed.typeText, parsed.deltaMode, parsed.sourceSize);
            if (again.size() != parsed.headerLength || again.size() > size ||
                std::memcmp(again.data(), data, again.size()) != 0) {
                abort();
            }
        }
    }
    return 0;
}
