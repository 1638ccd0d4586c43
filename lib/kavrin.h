/* SPDX-License-Identifier: MIT */
/*
 * libkavrin: reading, writing and testing Kavrin archives (.kvn) from any program.
 *
 * One header, a C interface and a stable ABI (SONAME libkavrin.so.1). The library is the
 * engine's and the mount's own code behind a C face: an archive read here restores exactly
 * what `kvn expand` restores, and fails exactly where it fails.
 *
 * Reading: a kavrin_reader holds the decoded spans, the decoders and the memory bound shared
 * by every archive opened through it. kavrin_open checks the archive's header. Reads from the
 * start on through the file decode each block once, in order; the end's checks (stream CRCs, the
 * restored size, nothing after the payload) pass before a byte of the last block is given. A
 * read elsewhere builds the archive's index at its first use (a full check) and then decodes
 * only the blocks it needs. A damaged archive gives an error at the open (its header) or at the
 * read that meets the damage, never bytes that were not checked.
 *
 * Errors: every function that can fail returns a negative kavrin_status (or NULL) and, when
 * `error` is not NULL, fills it with the status, the errno behind it and one English sentence.
 *
 * Threads: stated per function. "Any thread" means any number of threads may call it at once,
 * on the same objects too.
 *
 * Sizes and offsets are 64-bit everywhere.
 */
#ifndef KAVRIN_H
#define KAVRIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KAVRIN_API __attribute__((visibility("default")))
#else
#define KAVRIN_API
#endif

#define KAVRIN_VERSION_MAJOR 3
#define KAVRIN_VERSION_MINOR 2
#define KAVRIN_VERSION_PATCH 0
#define KAVRIN_VERSION_NUMBER \
    (KAVRIN_VERSION_MAJOR * 10000 + KAVRIN_VERSION_MINOR * 100 + KAVRIN_VERSION_PATCH)

/* What a caller may do about a failure. */
enum kavrin_status {
    KAVRIN_OK = 0,
    KAVRIN_ERROR_DAMAGED = -1, /* the data is wrong (damaged, cut or not an archive): the same
                                  input fails again */
    KAVRIN_ERROR_REFUSED = -2, /* the request cannot be served as asked (an invalid argument,
                                  an existing result, no such file) */
    KAVRIN_ERROR_MACHINE = -3, /* the machine lacked something (memory, descriptors, room, an
                                  I/O error) or the file changed: worth trying again */
    KAVRIN_ERROR_STOPPED = -4  /* the operation was stopped */
};

/* The filter modes; KAVRIN_MODE_AUTO lets a trial on the file's start choose. */
enum kavrin_mode {
    KAVRIN_MODE_AUTO = 0,
    KAVRIN_MODE_NONE = 1,
    KAVRIN_MODE_8BIT = 2,
    KAVRIN_MODE_16BIT = 3,
    KAVRIN_MODE_24BIT = 4,
    KAVRIN_MODE_32BIT = 5
};

typedef struct kavrin_error {
    int status;       /* a kavrin_status */
    int system_error; /* the errno behind it, or 0 */
    char message[512];
} kavrin_error;

/* An archive's header. type_text holds type_length bytes (it may hold any byte) and a NUL. */
typedef struct kavrin_info {
    uint64_t restored_size;
    uint64_t archive_size; /* the archive file's size */
    int filter_mode;       /* the header's mode byte, 1 to 5 */
    unsigned type_length;
    char type_text[256];
} kavrin_info;

/* ---- Version and errors (any thread) ---- */

/* "3.2.0", the library's version, which may be newer than the header's. */
KAVRIN_API const char* kavrin_version(void);
/* KAVRIN_VERSION_NUMBER of the library. */
KAVRIN_API unsigned kavrin_version_number(void);
/* A short English text for a kavrin_status. */
KAVRIN_API const char* kavrin_status_string(int status);

/* ---- Reading ---- */

typedef struct kavrin_reader kavrin_reader;
typedef struct kavrin_archive kavrin_archive;

/* A reader whose decoded spans and working memory stay within `memory_bytes` (0: 64 MiB) and
 * that decodes on up to `threads` threads (0: 2); with two or more, an archive read from its
 * start decodes ahead on one thread of its own while it is read through. NULL on failure. Any
 * thread. */
KAVRIN_API kavrin_reader* kavrin_reader_new(uint64_t memory_bytes, unsigned threads,
                                            kavrin_error* error);
/* Frees a reader. Every archive opened through it must be closed first, and no call on it may
 * be running. NULL is allowed. */
KAVRIN_API void kavrin_reader_free(kavrin_reader* reader);

/* Opens the archive at `path` and checks its header; the reads check the rest. NULL on
 * failure. Any thread. */
KAVRIN_API kavrin_archive* kavrin_open(kavrin_reader* reader, const char* path,
                                       kavrin_error* error);
/* Opens the archive an open descriptor reads: a regular file that still has its name (the
 * library reads it through that name and checks it is the descriptor's very file and version).
 * The descriptor stays the caller's. NULL on failure. Any thread. */
KAVRIN_API kavrin_archive* kavrin_open_fd(kavrin_reader* reader, int fd, kavrin_error* error);
/* Closes an archive. No call on it may be running. NULL is allowed. */
KAVRIN_API void kavrin_close(kavrin_archive* archive);

/* The header of an open archive. Any thread. */
KAVRIN_API void kavrin_archive_info(const kavrin_archive* archive, kavrin_info* info);

/* Reads up to `length` restored bytes at `offset` into `buffer`: the count read (fewer only at
 * the end, 0 at or past it) or a negative kavrin_status. An archive that changed on disk since
 * it was opened gives KAVRIN_ERROR_MACHINE. Keeps no position: any thread, on one archive too. */
KAVRIN_API int64_t kavrin_pread(kavrin_archive* archive, void* buffer, size_t length,
                                uint64_t offset, kavrin_error* error);
/* Reads from the archive's position and moves it: as kavrin_pread. The position belongs to the
 * archive: one thread at a time per archive. */
KAVRIN_API int64_t kavrin_read(kavrin_archive* archive, void* buffer, size_t length,
                               kavrin_error* error);
/* Moves the position as lseek does (whence 0, 1 or 2: SEEK_SET, SEEK_CUR, SEEK_END); a
 * position past the end is allowed. The new position, or KAVRIN_ERROR_REFUSED for a negative
 * one or another whence. One thread at a time per archive. */
KAVRIN_API int64_t kavrin_seek(kavrin_archive* archive, int64_t offset, int whence,
                               kavrin_error* error);
/* The position. One thread at a time per archive. */
KAVRIN_API uint64_t kavrin_tell(const kavrin_archive* archive);

/* Reads only the header of the archive at `path`, without decoding anything. Any thread. */
KAVRIN_API int kavrin_read_info(const char* path, kavrin_info* info, kavrin_error* error);

/* ---- Writing and testing (any thread; each call runs on the calling thread, with up to
 * `threads` codec threads of its own, 0 for the usable cores) ---- */

/* Replace an existing result; without, an existing result is refused. */
#define KAVRIN_REPLACE 1u
/* Decode a new archive and compare it with its source before it is kept. */
#define KAVRIN_VERIFY 2u

/* Compresses the file at `source` into an archive named by kavrin_archive_name, in `folder`
 * (NULL: the source's own folder), with `mode` (a kavrin_mode). The result is written under a
 * private temporary name and takes its final name only when whole; the source is kept. When
 * `result` is not NULL, the result's path goes there (cut to `result_size` bytes, NUL ended). */
KAVRIN_API int kavrin_compress_file(const char* source, const char* folder, int mode,
                                    unsigned threads, unsigned flags, char* result,
                                    size_t result_size, kavrin_error* error);
/* Expands the archive at `archive` into the file named by kavrin_restored_name, in `folder`
 * (NULL: the archive's own folder), as kavrin_compress_file writes. */
KAVRIN_API int kavrin_expand_file(const char* archive, const char* folder, unsigned threads,
                                  unsigned flags, char* result, size_t result_size,
                                  kavrin_error* error);
/* Compresses what `source_fd` reads (from its start when it can seek; a pipe is read to its
 * end first, into a private temporary file) and writes the archive to `archive_fd` from its
 * position, storing `type_text` (NULL: empty). */
KAVRIN_API int kavrin_compress_fd(int source_fd, int archive_fd, const char* type_text, int mode,
                                  unsigned threads, kavrin_error* error);
/* Expands the archive `archive_fd` reads (from its start, as for kavrin_compress_fd) and writes
 * the restored bytes to `out_fd` from its position. On failure some bytes may have been
 * written: a caller keeps them only on KAVRIN_OK. */
KAVRIN_API int kavrin_expand_fd(int archive_fd, int out_fd, unsigned threads, kavrin_error* error);
/* Decodes the archive at `path` whole and checks it, writing nothing. */
KAVRIN_API int kavrin_test(const char* path, unsigned threads, kavrin_error* error);

/* ---- Names (any thread) ---- */

/* The archive name for a source file's name (no folder), and the type text it stores, as kvn
 * names them: the name up to its last dot, plus ".kvn"; the text after the dot is the type text
 * (Piano.C4.mf.wav gives Piano.C4.mf.kvn with "wav"; a name without a dot or ending in one is
 * kept whole with an empty type text). Both are written NUL ended when they fit their buffer
 * (`type_text` may be NULL). Returns the archive name's length, or -1 when the type text would
 * not fit a header (above 255 bytes): like snprintf, a length >= archive_size means it was cut. */
KAVRIN_API int64_t kavrin_archive_name(const char* source_name, char* archive_name,
                                       size_t archive_size, char* type_text, size_t type_size);
/* The restored name for an archive's name (no folder) and its stored type text, as kvn names
 * it: the name without ".kvn", a dot and the type text when that is not empty. Returns the
 * length as kavrin_archive_name does, or -1 when the type text holds a '/' or the name would be
 * empty, "." or "..". */
KAVRIN_API int64_t kavrin_restored_name(const char* archive_name, const char* type_text,
                                        char* restored_name, size_t restored_size);

#ifdef __cplusplus
}
#endif

#endif /* KAVRIN_H */
