// SPDX-License-Identifier: MIT
// Shared by the fuzz targets: files in memory and an observer that lets every job run.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/EngineObserver.h"
#include "platform/File.h"

namespace kavrin::fuzz {

// A file in memory holding `bytes`, positioned at its start.
inline platform::FileHandle MemoryFile(const uint8_t* bytes, size_t length) {
    int fd = memfd_create("kavrin-fuzz", MFD_CLOEXEC);
    if (fd < 0 || !platform::WriteFull(fd, bytes, length) || !platform::SeekTo(fd, 0)) abort();
    return fd;
}

inline std::string ReadAll(platform::FileHandle file) {
    uint64_t size = 0;
    if (!platform::GetFileSize(file, &size) || !platform::SeekTo(file, 0)) abort();
    std::string bytes(size, '\0');
    if (platform::ReadFull(file, bytes.data(), size) != static_cast<int64_t>(size)) abort();
    return bytes;
}

using QuietObserver = QuietEngineObserver;

}  // namespace kavrin::fuzz
