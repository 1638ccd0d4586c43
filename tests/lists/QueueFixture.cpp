// SPDX-License-Identifier: MIT
#include "tests/lists/QueueFixture.h"

#include <unistd.h>

#include "engine/format/ArchiveFormat.h"

namespace kavrin::test {

std::string QueueFixture::MakeBytes(const std::string& name, const std::string& bytes) {
    WriteFile(dir / name, bytes);
    return dir / name;
}

std::string QueueFixture::MakeFile(const std::string& name, uint64_t size) {
    if (size <= (1u << 20)) return MakeBytes(name, std::string(size, 'x'));
    std::string path = MakeBytes(name, "");
    EXPECT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0) << path;
    return path;
}

std::string QueueFixture::MakeArchive(const std::string& name, const std::string& type,
                                      uint64_t sourceSize, uint64_t size) {
    std::string bytes = EncodeArchiveHeader(type, 3, sourceSize);
    bytes.resize(size, 'z');
    return MakeBytes(name, bytes);
}

}  // namespace kavrin::test
