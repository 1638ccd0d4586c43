// SPDX-License-Identifier: MIT
// Fuzz target: libkavrin's open and reads on a hostile archive. Whatever the bytes, the archive
// opens when its header is sound (always when the engine expands it); when the engine expands
// it, a read from the start and reads at any offset give exactly the bytes the engine restores,
// and otherwise a read from the start ends in an error before the end, as a read elsewhere
// does; a header read never fails differently from the open's header check; nothing crashes.
//
// Input: the archive's bytes; its last 4 bytes also choose where the reads go.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/kavrin.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

struct Fixture {
    std::string folder;
    kavrin_reader* reader = nullptr;
};

const Fixture& Setup() {
    static const Fixture fixture = [] {
        Fixture f;
        char folder[] = "/tmp/kavrin-fuzz-library-XXXXXX";
        if (mkdtemp(folder) == nullptr) abort();
        f.folder = folder;
        f.reader = kavrin_reader_new(16u << 20, 2, nullptr);
        if (!f.reader) abort();
        return f;
    }();
    return fixture;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Fixture& f = Setup();
    static uint64_t serial = 0;
    // A new name each time: the reader remembers what it learnt of each file it opened.
    const std::string path = f.folder + "/" + std::to_string(++serial) + ".kvn";
    const int file = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (file < 0 || !kavrin::platform::WriteFull(file, data, size)) abort();
    close(file);

    const int source = kavrin::fuzz::MemoryFile(data, size);
    const int restored = memfd_create("restored", MFD_CLOEXEC);
    kavrin_error error;
    const bool expands = kavrin_expand_fd(source, restored, 1, &error) == KAVRIN_OK;
    const std::string expected = kavrin::fuzz::ReadAll(restored);
    close(restored);
    close(source);

    kavrin_info info;
    const bool headerOk = kavrin_read_info(path.c_str(), &info, &error) == KAVRIN_OK;
    kavrin_archive* archive = kavrin_open(f.reader, path.c_str(), &error);
    if ((archive != nullptr) != headerOk || (expands && !archive)) abort();
    if (!archive && error.status != KAVRIN_ERROR_DAMAGED) abort();
    if (archive) {
        if (expands && info.restored_size != expected.size()) abort();
        uint32_t choice = 0;
        if (size >= 4) std::memcpy(&choice, data + size - 4, 4);
        std::string buffer(70000, '\0');
        std::string streamed;
        int64_t got;
        while ((got = kavrin_read(archive, buffer.data(), 1 + choice % buffer.size(), &error)) >
               0) {
            streamed.append(buffer.data(), static_cast<size_t>(got));
        }
        if (expands ? got != 0 || streamed != expected : got != KAVRIN_ERROR_DAMAGED) abort();
        if (!expands && kavrin_pread(archive, buffer.data(), 1, 0, &error) >= 0) abort();
        for (int i = 0; expands && i < 4; ++i) {
            const uint64_t offset =
                expected.empty() ? 0 : (choice >> (8 * i)) * 7919u % (expected.size() + 1);
            const size_t length = 1 + (choice >> (4 * i)) % buffer.size();
            got = kavrin_pread(archive, buffer.data(), length, offset, &error);
            const size_t want = std::min<uint64_t>(length, expected.size() - offset);
            if (got != static_cast<int64_t>(want) ||
                std::memcmp(buffer.data(), expected.data() + offset, want) != 0) {
                abort();
            }
        }
        kavrin_close(archive);
    }
    unlink(path.c_str());
    return 0;
}
