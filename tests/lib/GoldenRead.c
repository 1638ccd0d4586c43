// SPDX-License-Identifier: MIT
// libkavrin from C, built against the installed header and library through pkg-config: every
// golden archive (tests/golden/expected.txt) read at random offsets, sequentially and through a
// descriptor equals what the engine restores, whose SHA-256 is the table's; a good archive's
// restored bytes compress back to it; a bad archive gives the table's error, never bytes that
// were not checked.
//   kavrin-golden-read GOLDEN_FOLDER
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <kavrin.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static int failures = 0;
static kavrin_reader* twoDecoders = NULL;

#define CHECK(cond, ...)                                        \
    do {                                                        \
        if (!(cond)) {                                          \
            fprintf(stderr, "%s:%d: ", __FILE__, __LINE__);     \
            fprintf(stderr, __VA_ARGS__);                       \
            fputc('\n', stderr);                                \
            ++failures;                                         \
        }                                                       \
    } while (0)

static uint64_t random_state = 0x9E3779B97F4A7C15ull;
static uint64_t Next(uint64_t bound) {
    random_state = random_state * 6364136223846793005ull + 1442695040888963407ull;
    return bound == 0 ? 0 : (random_state >> 11) % bound;
}

// The whole of a file, from its start.
static unsigned char* Slurp(int fd, size_t* size) {
    struct stat st;
    if (fstat(fd, &st) != 0) abort();
    unsigned char* bytes = malloc(st.st_size + 1);
    if (!bytes || pread(fd, bytes, st.st_size, 0) != st.st_size) abort();
    *size = (size_t)st.st_size;
    return bytes;
}

static void Sha256(int fd, char hex[65]) {
    char command[64];
    snprintf(command, sizeof command, "sha256sum < /proc/%d/fd/%d", (int)getpid(), fd);
    lseek(fd, 0, SEEK_SET);
    FILE* pipe = popen(command, "r");
    if (!pipe || fscanf(pipe, "%64s", hex) != 1) abort();
    pclose(pipe);
}

static int ModeOf(const char* name) {
    static const char* names[] = {"auto", "none", "8", "16", "24", "32"};
    for (int i = 0; i < 6; ++i) {
        if (strcmp(name, names[i]) == 0) return i;
    }
    return -1;
}

static void CheckGood(kavrin_reader* reader, const char* path, const char* modeName,
                      const char* sha) {
    kavrin_error error;
    int archiveFd = open(path, O_RDONLY | O_CLOEXEC);
    CHECK(archiveFd >= 0, "%s: %s", path, strerror(errno));
    if (archiveFd < 0) return;

    // The engine's restored bytes are the reference, checked against the table.
    int restoredFd = memfd_create("restored", MFD_CLOEXEC);
    CHECK(kavrin_expand_fd(archiveFd, restoredFd, 2, &error) == KAVRIN_OK, "%s: %s", path,
          error.message);
    char hex[65];
    Sha256(restoredFd, hex);
    CHECK(strcmp(hex, sha) == 0, "%s: restores to SHA-256 %s, not %s", path, hex, sha);
    size_t size = 0;
    unsigned char* expected = Slurp(restoredFd, &size);

    // What the table's mode makes of them is the archive itself.
    kavrin_info info;
    CHECK(kavrin_read_info(path, &info, &error) == KAVRIN_OK, "%s: %s", path, error.message);
    CHECK(info.restored_size == size, "%s: header size %llu, restored %zu", path,
          (unsigned long long)info.restored_size, size);
    const int mode = ModeOf(modeName);
    if (mode >= 0) {
        int again = memfd_create("again", MFD_CLOEXEC);
        CHECK(kavrin_compress_fd(restoredFd, again, info.type_text, mode, 2, &error) == KAVRIN_OK,
              "%s: %s", path, error.message);
        size_t archiveSize = 0, againSize = 0;
        unsigned char* archiveBytes = Slurp(archiveFd, &archiveSize);
        unsigned char* againBytes = Slurp(again, &againSize);
        CHECK(archiveSize == againSize && memcmp(archiveBytes, againBytes, archiveSize) == 0,
              "%s: compressed back to other bytes", path);
        free(archiveBytes);
        free(againBytes);
        close(again);
    }

    // Random reads through the path, whole reads through the descriptor.
    kavrin_archive* archive = kavrin_open(reader, path, &error);
    CHECK(archive != NULL, "%s: %s", path, error.message);
    kavrin_archive* byFd = kavrin_open_fd(reader, archiveFd, &error);
    CHECK(byFd != NULL, "%s (descriptor): %s", path, error.message);
    if (archive && byFd) {
        kavrin_info opened;
        kavrin_archive_info(archive, &opened);
        CHECK(opened.restored_size == size && opened.filter_mode == info.filter_mode &&
                  opened.type_length == info.type_length,
              "%s: the open archive's header differs", path);
        unsigned char* buffer = malloc(size + 70000);
        for (int i = 0; i < 60; ++i) {
            const uint64_t offset = Next(size + 2);
            const size_t length = (size_t)Next(i % 4 == 0 ? 70000 : 300);
            const int64_t got = kavrin_pread(archive, buffer, length, offset, &error);
            const size_t want = offset >= size ? 0 : (size - offset < length ? size - offset : length);
            CHECK(got == (int64_t)want, "%s: %zu at %llu gave %lld (%s)", path, length,
                  (unsigned long long)offset, (long long)got, error.message);
            if (got > 0) {
                CHECK(memcmp(buffer, expected + offset, (size_t)got) == 0,
                      "%s: other bytes at %llu", path, (unsigned long long)offset);
            }
        }
        size_t at = 0;
        int64_t got;
        while ((got = kavrin_read(byFd, buffer + at, 1 + (size_t)Next(100000), &error)) > 0) {
            at += (size_t)got;
        }
        CHECK(got == 0 && at == size && memcmp(buffer, expected, size) == 0,
              "%s: a sequential read differs", path);
        // A reader with two decoders decodes ahead on a thread of its own: from the start in
        // pieces of any size, with a read elsewhere halfway, then on from where it stopped.
        kavrin_archive* ahead = kavrin_open(twoDecoders, path, &error);
        CHECK(ahead != NULL, "%s (ahead): %s", path, error.message);
        at = 0;
        while (ahead &&
               (got = kavrin_read(ahead, buffer + at, 1 + (size_t)Next(300000), &error)) > 0) {
            at += (size_t)got;
            if (at > size / 2 && at - (size_t)got <= size / 2) {
                unsigned char early[64];
                const int64_t n = kavrin_pread(ahead, early, sizeof early, 1, &error);
                CHECK(n == (int64_t)(size > 65 ? 64 : size - 1) &&
                          memcmp(early, expected + 1, (size_t)n) == 0,
                      "%s: a read elsewhere while streaming", path);
            }
        }
        CHECK(ahead && got == 0 && at == size && memcmp(buffer, expected, size) == 0,
              "%s: a sequential read ahead differs", path);
        kavrin_close(ahead);
        CHECK(kavrin_seek(byFd, -1, SEEK_END, &error) == (int64_t)size - 1 || size == 0,
              "%s: SEEK_END", path);
        CHECK(kavrin_seek(byFd, -1, SEEK_SET, &error) == KAVRIN_ERROR_REFUSED,
              "%s: a negative position was taken", path);
        free(buffer);
    }
    kavrin_close(archive);
    kavrin_close(byFd);
    free(expected);
    close(restoredFd);
    close(archiveFd);
}

static void CheckBad(kavrin_reader* reader, const char* path, const char* text,
                     const char* folder) {
    kavrin_error error;
    if (strstr(text, "unsafe type text")) {
        // Its bytes are sound; its name is not: expansion into a file refuses it.
        CHECK(kavrin_expand_file(path, folder, 1, 0, NULL, 0, &error) == KAVRIN_ERROR_DAMAGED,
              "%s: expanded into a file", path);
        return;
    }
    // A damaged header fails the open; damage further on fails the read that meets it. A read
    // from the start gives no byte of the block the damage is in or follows (in an archive of
    // one block, no byte at all), and a read elsewhere fails too.
    kavrin_archive* archive = kavrin_open(reader, path, &error);
    CHECK(archive != NULL || error.status == KAVRIN_ERROR_DAMAGED, "%s: %s", path, error.message);
    if (archive) {
        kavrin_info info;
        kavrin_archive_info(archive, &info);
        char buffer[4096];
        uint64_t given = 0;
        int64_t got;
        while ((got = kavrin_read(archive, buffer, sizeof buffer, &error)) > 0) given += got;
        CHECK(got == KAVRIN_ERROR_DAMAGED && error.system_error == EIO && error.message[0],
              "%s: read to its end (%lld)", path, (long long)got);
        const int oneBlock = strstr(path, "/bad-blocks-") == NULL;
        CHECK(oneBlock ? given == 0 : given < info.restored_size, "%s: gave %llu of %llu bytes",
              path, (unsigned long long)given, (unsigned long long)info.restored_size);
        CHECK(kavrin_pread(archive, buffer, 16, info.restored_size / 2 + 1, &error) ==
                  KAVRIN_ERROR_DAMAGED,
              "%s: a read through the index gave bytes", path);
        kavrin_close(archive);
    }
    CHECK(kavrin_test(path, 2, &error) == KAVRIN_ERROR_DAMAGED && strcmp(error.message, text) == 0,
          "%s: test says \"%s\", not \"%s\"", path, error.message, text);
}

static void CheckNames(void) {
    char name[64], type[16];
    CHECK(kavrin_archive_name("Piano.C4.mf.wav", name, sizeof name, type, sizeof type) == 15 &&
              strcmp(name, "Piano.C4.mf.kvn") == 0 && strcmp(type, "wav") == 0,
          "last-dot name: %s %s", name, type);
    CHECK(kavrin_archive_name("take.", name, sizeof name, type, sizeof type) == 9 &&
              strcmp(name, "take..kvn") == 0 && type[0] == '\0',
          "trailing dot: %s", name);
    CHECK(kavrin_archive_name("readme", name, 4, NULL, 0) == 10 && strcmp(name, "rea") == 0,
          "a cut name: %s", name);
    CHECK(kavrin_restored_name("Piano.C4.mf.kvn", "wav", name, sizeof name) == 15 &&
              strcmp(name, "Piano.C4.mf.wav") == 0,
          "restored: %s", name);
    CHECK(kavrin_restored_name("x.kvn", "a/b", name, sizeof name) == -1, "an unsafe type text");
    CHECK(kavrin_version_number() == KAVRIN_VERSION_NUMBER, "version %s", kavrin_version());
}

// A file written and read back through the pipeline: the result beside its source, an existing
// result refused unless replaced.
static void CheckFiles(const char* golden, const char* folder) {
    kavrin_error error;
    char source[4096], result[4096], again[4096];
    snprintf(source, sizeof source, "%s/blocks-16.kvn", golden);
    CHECK(kavrin_expand_file(source, folder, 2, 0, result, sizeof result, &error) == KAVRIN_OK,
          "expand: %s", error.message);
    CHECK(kavrin_compress_file(result, NULL, KAVRIN_MODE_16BIT, 2, KAVRIN_VERIFY, again,
                               sizeof again, &error) == KAVRIN_OK,
          "compress: %s", error.message);
    int a = open(source, O_RDONLY), b = open(again, O_RDONLY);
    size_t sa = 0, sb = 0;
    unsigned char* ba = Slurp(a, &sa);
    unsigned char* bb = Slurp(b, &sb);
    CHECK(sa == sb && memcmp(ba, bb, sa) == 0, "%s differs from %s", again, source);
    CHECK(kavrin_compress_file(result, NULL, KAVRIN_MODE_16BIT, 2, 0, NULL, 0, &error) ==
                  KAVRIN_ERROR_REFUSED &&
              strstr(error.message, "already exists"),
          "an existing result: %s", error.message);
    CHECK(kavrin_compress_file(result, NULL, KAVRIN_MODE_AUTO, 2, KAVRIN_REPLACE, NULL, 0,
                               &error) == KAVRIN_OK,
          "replace: %s", error.message);
    free(ba);
    free(bb);
    close(a);
    close(b);
    unlink(result);
    unlink(again);
}

// Streams: a pipe is read to its end before it is compressed or expanded, with the same result
// as a file of the same bytes.
static void CheckPipes(void) {
    kavrin_error error;
    unsigned char data[20000];
    for (size_t i = 0; i < sizeof data; ++i) data[i] = (unsigned char)(i * i / 7);
    int file = memfd_create("data", MFD_CLOEXEC), archive = memfd_create("archive", MFD_CLOEXEC);
    int piped = memfd_create("piped", MFD_CLOEXEC), restored = memfd_create("out", MFD_CLOEXEC);
    int ends[2];
    if (write(file, data, sizeof data) != (ssize_t)sizeof data || pipe(ends) != 0 ||
        write(ends[1], data, sizeof data) != (ssize_t)sizeof data) {
        abort();
    }
    close(ends[1]);
    CHECK(kavrin_compress_fd(file, archive, "raw", KAVRIN_MODE_AUTO, 1, &error) == KAVRIN_OK &&
              kavrin_compress_fd(ends[0], piped, "raw", KAVRIN_MODE_AUTO, 1, &error) == KAVRIN_OK,
          "compressing a pipe: %s", error.message);
    close(ends[0]);
    size_t a = 0, b = 0;
    unsigned char* fromFile = Slurp(archive, &a);
    unsigned char* fromPipe = Slurp(piped, &b);
    CHECK(a == b && memcmp(fromFile, fromPipe, a) == 0, "a pipe compresses to other bytes");
    if (pipe(ends) != 0 || write(ends[1], fromPipe, b) != (ssize_t)b) abort();
    close(ends[1]);
    CHECK(kavrin_expand_fd(ends[0], restored, 1, &error) == KAVRIN_OK, "expanding a pipe: %s",
          error.message);
    size_t c = 0;
    unsigned char* back = Slurp(restored, &c);
    CHECK(c == sizeof data && memcmp(back, data, c) == 0, "a pipe expands to other bytes");
    free(fromFile);
    free(fromPipe);
    free(back);
    close(ends[0]);
    close(file);
    close(archive);
    close(piped);
    close(restored);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s GOLDEN_FOLDER\n", argv[0]);
        return 2;
    }
    char folder[] = "/tmp/kavrin-lib-XXXXXX";
    if (!mkdtemp(folder)) return 2;
    kavrin_error error;
    kavrin_reader* reader = kavrin_reader_new(16u << 20, 3, &error);
    if (!reader) {
        fprintf(stderr, "%s\n", error.message);
        return 1;
    }
    twoDecoders = kavrin_reader_new(64u << 20, 2, &error);
    if (!twoDecoders) {
        fprintf(stderr, "%s\n", error.message);
        return 1;
    }
    char table[4096];
    snprintf(table, sizeof table, "%s/expected.txt", argv[1]);
    FILE* lines = fopen(table, "r");
    if (!lines) return 2;
    char line[1024];
    int archives = 0;
    while (fgets(line, sizeof line, lines)) {
        char name[256], kind[32];
        int used = 0;
        if (line[0] == '#' || sscanf(line, "%255s %31s %n", name, kind, &used) != 2) continue;
        char* rest = line + used;
        rest[strcspn(rest, "\n")] = '\0';
        char path[4096];
        snprintf(path, sizeof path, "%s/%s", argv[1], name);
        if (strcmp(kind, "error") == 0) {
            CheckBad(reader, path, rest, folder);
        } else {
            CheckGood(reader, path, kind, rest);
        }
        ++archives;
    }
    fclose(lines);
    CheckNames();
    CheckFiles(argv[1], folder);
    CheckPipes();
    kavrin_reader_free(reader);
    kavrin_reader_free(twoDecoders);
    rmdir(folder);
    printf("%d archives, %d failures\n", archives, failures);
    return failures == 0 && archives > 60 ? 0 : 1;
}
