// SPDX-License-Identifier: MIT
// The C face of the engine (engine/Engine.h), the job pipeline (jobs/JobPipeline.h) and the
// mount's readers (mount/ArchiveLibrary.h, and mount/SequentialReader.h for reads from the
// start). Nothing here decides about bytes: every check is theirs, and this file only chooses
// the reader and turns their answers into the C interface's statuses and texts.
#include "lib/kavrin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>

#include "engine/Engine.h"
#include "engine/EngineObserver.h"
#include "engine/format/ArchiveFormat.h"
#include "jobs/JobPipeline.h"
#include "jobs/Leftovers.h"
#include "jobs/Naming.h"
#include "mount/ArchiveLibrary.h"
#include "mount/SequentialReader.h"
#include "platform/File.h"
#include "platform/SharedFile.h"

struct kavrin_reader {
    explicit kavrin_reader(kavrin::LibraryOptions options) : library(std::move(options)) {}
    kavrin::ArchiveLibrary library;
};

// An open archive. Reads from the start go through `stream`, which decodes each block once and
// checks the archive's end before its last bytes; any other read goes through the reader's
// index (`indexed`, opened at the first such read).
struct kavrin_archive {
    kavrin_reader* reader = nullptr;
    std::string path;
    kavrin::platform::FileHandle file = kavrin::platform::kInvalidFile;
    kavrin::platform::FileVersion version;
    kavrin::ArchiveHeader header;
    kavrin_info info{};
    uint64_t position = 0;

    std::mutex mutex;  // guards the members below; held while the stream decodes
    std::unique_ptr<kavrin::SequentialReader> stream;
    uint64_t held = 0;        // the stream's working memory, taken from the reader's bound
    bool streamed = false;    // a stream was started (it is not started again)
    bool checkedEnd = false;  // the stream checked the whole archive
    std::shared_ptr<kavrin::OpenArchive> indexed;

    // Whether a read at `offset` goes on with the stream, starting it at offset 0 when the
    // reader's bound has room for it (ahead, with two or more decoders, else in step). `mutex`
    // held.
    bool StreamAt(uint64_t offset) {
        if (stream) return stream->position() == offset;
        if (streamed || offset != 0) return false;
        kavrin::ArchiveLibrary& library = reader->library;
        bool ahead = library.decoders() >= 2;
        if (ahead && library.HoldWorkingMemory(kavrin::kAheadBytes)) {
            held = kavrin::kAheadBytes;
        } else if (library.HoldWorkingMemory(kavrin::kSequentialBytes)) {
            held = kavrin::kSequentialBytes;
            ahead = false;
        } else {
            return false;
        }
        stream = std::make_unique<kavrin::SequentialReader>(
            file, header, version.size - header.headerLength, library.decoderSource(), ahead);
        streamed = true;
        return true;
    }
    // Ends the stream and gives its memory back. `mutex` held.
    void DropStream() {
        stream.reset();
        if (held != 0) reader->library.ReleaseWorkingMemory(held);
        held = 0;
    }
    ~kavrin_archive() {
        DropStream();
        kavrin::platform::CloseFile(file);
    }
};

namespace {

using kavrin::FailureKind;
using kavrin::Status;

int StatusOfKind(FailureKind kind) {
    switch (kind) {
        case FailureKind::None:
            return KAVRIN_OK;
        case FailureKind::Damage:
            return KAVRIN_ERROR_DAMAGED;
        case FailureKind::Refused:
            return KAVRIN_ERROR_REFUSED;
        case FailureKind::Machine:
            return KAVRIN_ERROR_MACHINE;
        case FailureKind::Stopped:
            return KAVRIN_ERROR_STOPPED;
    }
    return KAVRIN_ERROR_REFUSED;
}

int Fail(kavrin_error* error, int status, int systemError, const std::string& message) {
    if (error) {
        error->status = status;
        error->system_error = systemError;
        const size_t n = std::min(message.size(), sizeof error->message - 1);
        std::memcpy(error->message, message.data(), n);
        error->message[n] = '\0';
    }
    return status;
}

int Fail(kavrin_error* error, const Status& status) {
    return Fail(error, StatusOfKind(status.kind()), status.systemError(), status.message());
}

// A system call's failure: the machine's or a refusal, by the project's one rule.
int FailSystem(kavrin_error* error, int systemError, const std::string& what) {
    return Fail(error, Status::System(systemError, what));
}

int Succeed(kavrin_error* error) {
    return Fail(error, KAVRIN_OK, 0, "");
}

// The library's jobs are never stopped from outside and show no progress.
using QuietObserver = kavrin::QuietEngineObserver;

void FillInfo(const kavrin::ArchiveHeader& header, uint64_t archiveSize, kavrin_info* info) {
    *info = kavrin_info{};
    info->restored_size = header.sourceSize;
    info->archive_size = archiveSize;
    info->filter_mode = header.deltaMode;
    info->type_length = static_cast<unsigned>(header.typeText.size());
    std::memcpy(info->type_text, header.typeText.data(), header.typeText.size());
}

// Reads and checks the header of an open archive without moving its position.
int HeaderOf(int fd, kavrin_info* info, kavrin_error* error) {
    kavrin::ArchiveHeader header;
    const Status checked = kavrin::ReadArchiveHeaderAt(fd, &header);
    if (!checked.ok()) return Fail(error, checked);
    uint64_t size = 0;
    if (!kavrin::platform::GetFileSize(fd, &size)) return FailSystem(error, errno, "read error");
    FillInfo(header, size, info);
    return KAVRIN_OK;
}

kavrin::EngineContextPtr NewEngine(unsigned threads, kavrin_error* error) {
    kavrin::EngineContextPtr engine = kavrin::CreateEngineContext();
    if (!engine) {
        Fail(error, KAVRIN_ERROR_MACHINE, ENOMEM, "out of memory");
        return nullptr;
    }
    if (threads != 0) kavrin::SetEngineThreads(*engine, threads);
    return engine;
}

int FailJob(kavrin_error* error, const kavrin::JobOutcome& outcome) {
    if (outcome.result == kavrin::JobResult::Cancelled) {
        return Fail(error, KAVRIN_ERROR_STOPPED, 0, "stopped");
    }
    return Fail(error, outcome.status);
}

// A descriptor positioned at its start that reads what `fd` reads: `fd` itself when it can
// seek, else a private unnamed copy of the stream (`*spooled` then owns it).
int Rewound(int fd, int* spooled, kavrin_error* error) {
    *spooled = -1;
    if (lseek(fd, 0, SEEK_SET) == 0) return fd;
    if (errno != ESPIPE) return FailSystem(error, errno, "can't read the input");
    const int copy =
        kavrin::platform::SpoolToUnnamedFile(fd, kavrin::platform::TemporaryFolder(), UINT64_MAX);
    if (copy == kavrin::platform::kInvalidFile) {
        return FailSystem(error, errno, "can't keep the input");
    }
    *spooled = copy;
    return copy;
}

// The job pipeline's host for one file: its result goes to the given folder or beside its
// source, and an existing result is replaced only when asked.
class FileHost final : public kavrin::PrepareHost {
public:
    FileHost(const char* folder, bool replace) : replace_(replace) {
        if (folder) folder_ = kavrin::platform::MakeAbsolute(folder);
        given_ = folder != nullptr;
    }
    std::string ResultFolder(const kavrin::PreparedJob& job) override {
        std::string name, sourceFolder;
        kavrin::SplitPath(job.sourcePath, &name, &sourceFolder);
        return kavrin::DestinationFolder(!given_, sourceFolder, folder_);
    }
    Existing DecideExisting(const kavrin::PreparedJob&) override {
        return replace_ ? Existing::Replace : Existing::Refuse;
    }

private:
    std::string folder_;
    bool given_ = false;
    bool replace_;
};

std::string PrepareText(const kavrin::PrepareResult& result, const kavrin::PreparedJob& job) {
    using kavrin::PrepareStatus;
    const std::string why = std::strerror(result.error);
    switch (result.status) {
        case PrepareStatus::SourceUnopenable:
            return "can't open the file: " +
                   (result.error == EWOULDBLOCK ? std::string("in use by another program") : why);
        case PrepareStatus::HeaderUnreadable:
            return "can't read the file: " + why;
        case PrepareStatus::NotArchive:
            return "not an archive";
        case PrepareStatus::HeaderTruncated:
            return "the file ends inside the archive's header";
        case PrepareStatus::UnsafeTypeText:
            return "the archive's type text would name a file elsewhere";
        case PrepareStatus::TypeTextTooLong:
            return "the extension is longer than 255 bytes";
        case PrepareStatus::NoResultFolder:
            return "no folder for the result";
        case PrepareStatus::ResultIsFolder:
            return "can't create " + job.destinationPath + ": it is a folder";
        case PrepareStatus::ResultIsSource:
            return "can't create " + job.destinationPath + ": it is the source itself";
        case PrepareStatus::Refused:
            return "file already exists: " + job.destinationPath;
        case PrepareStatus::CreateFailed:
            return "can't create " + job.destinationPath + ": " + why;
        case PrepareStatus::Ready:
        case PrepareStatus::ResultTaken:
        case PrepareStatus::ResultIsInput:
        case PrepareStatus::Skipped:
        case PrepareStatus::Cancelled:
            break;
    }
    return "refused";
}

int PrepareFailure(kavrin_error* error, const kavrin::PrepareResult& result,
                   const kavrin::PreparedJob& job) {
    using kavrin::PrepareStatus;
    int status = KAVRIN_ERROR_REFUSED;
    switch (result.status) {
        case PrepareStatus::NotArchive:
        case PrepareStatus::HeaderTruncated:
        case PrepareStatus::UnsafeTypeText:
            status = KAVRIN_ERROR_DAMAGED;
            break;
        case PrepareStatus::SourceUnopenable:
        case PrepareStatus::HeaderUnreadable:
        case PrepareStatus::CreateFailed:
            if (kavrin::IsMachineError(result.error) || result.error == EWOULDBLOCK) {
                status = KAVRIN_ERROR_MACHINE;
            }
            break;
        default:
            break;
    }
    return Fail(error, status, result.error, PrepareText(result, job));
}

int RunFileJob(const char* path, kavrin::JobKind kind, const char* folder, unsigned threads,
               unsigned flags, int mode, char* result, size_t resultSize, kavrin_error* error) {
    if (!path || mode < KAVRIN_MODE_AUTO || mode > KAVRIN_MODE_32BIT ||
        (flags & ~(KAVRIN_REPLACE | KAVRIN_VERIFY)) != 0) {
        return Fail(error, KAVRIN_ERROR_REFUSED, EINVAL, "invalid argument");
    }
    kavrin::EngineContextPtr engine = NewEngine(threads, error);
    if (!engine) return KAVRIN_ERROR_MACHINE;
    FileHost host(folder, (flags & KAVRIN_REPLACE) != 0);
    kavrin::JobPreparer preparer(kavrin::kLeftoverAgeSeconds);
    kavrin::PreparedJob job;
    job.deltaMode = mode;
    const kavrin::PrepareResult prepared =
        preparer.Prepare(kavrin::platform::MakeAbsolute(path), kind, host, &job);
    if (prepared.status != kavrin::PrepareStatus::Ready) {
        return PrepareFailure(error, prepared, job);
    }
    job.deltaMode = mode;
    kavrin::FinishOptions options;
    options.verify = (flags & KAVRIN_VERIFY) != 0;
    QuietObserver observer;
    const kavrin::JobEnd end = kavrin::RunJob(job, *engine, observer, options);
    if (end.outcome.result != kavrin::JobResult::Done) return FailJob(error, end.outcome);
    if (!end.status.ok()) return Fail(error, end.status);
    if (result && resultSize > 0) {
        const size_t n = std::min(job.destinationPath.size(), resultSize - 1);
        std::memcpy(result, job.destinationPath.data(), n);
        result[n] = '\0';
    }
    return Succeed(error);
}

// Writes `text` snprintf-style; its length.
int64_t Put(const std::string& text, char* out, size_t size) {
    if (out && size > 0) {
        const size_t n = std::min(text.size(), size - 1);
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
    }
    return static_cast<int64_t>(text.size());
}

// The path of the file an open descriptor reads, when it has one.
std::string NameOfDescriptor(int fd) {
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    std::string buffer(4096, '\0');
    const ssize_t n = readlink(link.c_str(), buffer.data(), buffer.size());
    if (n <= 0 || static_cast<size_t>(n) >= buffer.size() || buffer[0] != '/') return "";
    buffer.resize(n);
    return buffer;
}

kavrin_archive* OpenChecked(kavrin_reader* reader, const std::string& path,
                            const kavrin::platform::FileVersion* expected, kavrin_error* error) {
    auto archive = std::unique_ptr<kavrin_archive>(new (std::nothrow) kavrin_archive);
    if (!archive) {
        Fail(error, KAVRIN_ERROR_MACHINE, ENOMEM, "out of memory");
        return nullptr;
    }
    archive->reader = reader;
    archive->path = path;
    errno = 0;
    archive->file = kavrin::platform::OpenShared(path);
    if (archive->file == kavrin::platform::kInvalidFile ||
        !kavrin::platform::VersionOf(archive->file, &archive->version)) {
        FailSystem(error, errno, "can't open the archive");
        return nullptr;
    }
    if (expected && !(archive->version == *expected)) {
        Fail(error, KAVRIN_ERROR_REFUSED, ENOENT,
             "the descriptor's file is not the one its name leads to");
        return nullptr;
    }
    const Status read = kavrin::ReadArchiveHeaderAt(archive->file, &archive->header);
    if (!read.ok()) {
        Fail(error, read);
        return nullptr;
    }
    FillInfo(archive->header, archive->version.size, &archive->info);
    Succeed(error);
    return archive.release();
}

// Whether the archive's file is still the version opened, through its descriptor and its name.
bool Unchanged(const kavrin_archive& archive) {
    kavrin::platform::FileVersion open, named;
    return kavrin::platform::VersionOf(archive.file, &open) && open == archive.version &&
           kavrin::platform::VersionAt(archive.path, &named) && named == archive.version;
}

int FailChanged(kavrin_error* error, const kavrin_archive& archive) {
    return Fail(error, KAVRIN_ERROR_MACHINE, ESTALE,
                archive.path + ": changed or removed while open; reads of it give EIO");
}

// Reads from the stream's position: the count, or a negative status. `mutex` held.
int64_t ReadStreaming(kavrin_archive& archive, uint8_t* out, size_t length, kavrin_error* error) {
    if (!Unchanged(archive)) return FailChanged(error, archive);
    Status why;
    const int64_t got = archive.stream->Read(out, length, &why);
    if (got < 0) {
        archive.DropStream();
        // A file changed under the reader may look damaged: the change is what to report.
        if (!Unchanged(archive)) return FailChanged(error, archive);
        const int status = StatusOfKind(why.kind());
        const int systemError =
            why.systemError() != 0 ? why.systemError() : (status == KAVRIN_ERROR_DAMAGED ? EIO : 0);
        return Fail(error, status, systemError, archive.path + ": " + why.message());
    }
    // Bytes of an archive that changed meanwhile are not given.
    if (!Unchanged(archive)) {
        archive.DropStream();
        return FailChanged(error, archive);
    }
    if (archive.stream->checkedToEnd()) archive.checkedEnd = true;
    if (archive.stream->checkedToEnd() &&
        archive.stream->position() == archive.info.restored_size) {
        archive.DropStream();
    }
    return got;
}

// Reads through the reader's index, opening the archive there first: the count, or a negative
// status.
int64_t ReadIndexed(kavrin_archive& archive, uint8_t* out, size_t length, uint64_t offset,
                    kavrin_error* error) {
    if (length == 0) return 0;
    std::shared_ptr<kavrin::OpenArchive> indexed;
    {
        std::lock_guard<std::mutex> lock(archive.mutex);
        if (!archive.indexed) {
            int systemError = 0;
            Status why;
            std::shared_ptr<kavrin::OpenArchive> opened =
                archive.reader->library.Open(archive.path, &systemError, {}, &why);
            if (!opened) {
                if (!Unchanged(archive)) return FailChanged(error, archive);
                if (why.ok()) why = Status::System(systemError, "can't open the archive");
                return Fail(error, why);
            }
            if (!(opened->version == archive.version)) return FailChanged(error, archive);
            archive.indexed = std::move(opened);
        }
        indexed = archive.indexed;
    }
    // The mount's reads are bounded by what one answer can hold; longer ones go in pieces.
    constexpr size_t kPiece = size_t{1} << 30;
    int64_t total = 0;
    while (length > 0) {
        const size_t piece = std::min(length, kPiece);
        std::string why;
        const int64_t got = archive.reader->library.Read(indexed, out + total, piece, offset, &why);
        if (got < 0) {
            if (got == -ENOMEM) return Fail(error, KAVRIN_ERROR_MACHINE, ENOMEM, why);
            const bool changed = !kavrin::StillTheSame(*indexed);
            return Fail(error, changed ? KAVRIN_ERROR_MACHINE : KAVRIN_ERROR_DAMAGED,
                        changed ? ESTALE : EIO, why);
        }
        total += got;
        offset += static_cast<uint64_t>(got);
        length -= static_cast<size_t>(got);
        if (static_cast<size_t>(got) < piece) break;
    }
    return total;
}

}  // namespace

extern "C" {

const char* kavrin_version(void) {
    return KAVRIN_LIBRARY_VERSION;
}

unsigned kavrin_version_number(void) {
    return KAVRIN_VERSION_NUMBER;
}

const char* kavrin_status_string(int status) {
    switch (status) {
        case KAVRIN_OK:
            return "no error";
        case KAVRIN_ERROR_DAMAGED:
            return "damaged archive";
        case KAVRIN_ERROR_REFUSED:
            return "request refused";
        case KAVRIN_ERROR_MACHINE:
            return "the system lacked a resource or the file changed";
        case KAVRIN_ERROR_STOPPED:
            return "stopped";
        default:
            return "unknown status";
    }
}

kavrin_reader* kavrin_reader_new(uint64_t memory_bytes, unsigned threads, kavrin_error* error) {
    kavrin::LibraryOptions options;
    if (memory_bytes != 0) options.cacheBytes = memory_bytes;
    if (threads != 0) options.threads = std::min(threads, 64u);
    try {
        auto* reader = new kavrin_reader(std::move(options));
        Succeed(error);
        return reader;
    } catch (const std::bad_alloc&) {
        Fail(error, KAVRIN_ERROR_MACHINE, ENOMEM, "out of memory");
    } catch (const std::system_error& e) {
        Fail(error, KAVRIN_ERROR_MACHINE, e.code().value(), e.what());
    }
    return nullptr;
}

void kavrin_reader_free(kavrin_reader* reader) {
    delete reader;
}

kavrin_archive* kavrin_open(kavrin_reader* reader, const char* path, kavrin_error* error) {
    if (!reader || !path) {
        Fail(error, KAVRIN_ERROR_REFUSED, EINVAL, "invalid argument");
        return nullptr;
    }
    try {
        return OpenChecked(reader, kavrin::platform::MakeAbsolute(path), nullptr, error);
    } catch (const std::bad_alloc&) {
        Fail(error, KAVRIN_ERROR_MACHINE, ENOMEM, "out of memory");
        return nullptr;
    }
}

kavrin_archive* kavrin_open_fd(kavrin_reader* reader, int fd, kavrin_error* error) {
    if (!reader || fd < 0) {
        Fail(error, KAVRIN_ERROR_REFUSED, EINVAL, "invalid argument");
        return nullptr;
    }
    try {
        kavrin::platform::FileVersion version;
        if (!kavrin::platform::VersionOf(fd, &version)) {
            FailSystem(error, errno, "can't open the archive");
            return nullptr;
        }
        const std::string path = NameOfDescriptor(fd);
        if (path.empty()) {
            Fail(error, KAVRIN_ERROR_REFUSED, ENOENT,
                 "the descriptor's file has no name to read it through");
            return nullptr;
        }
        return OpenChecked(reader, path, &version, error);
    } catch (const std::bad_alloc&) {
        Fail(error, KAVRIN_ERROR_MACHINE, ENOMEM, "out of memory");
        return nullptr;
    }
}

void kavrin_close(kavrin_archive* archive) {
    delete archive;
}

void kavrin_archive_info(const kavrin_archive* archive, kavrin_info* info) {
    *info = archive->info;
}

int64_t kavrin_pread(kavrin_archive* archive, void* buffer, size_t length, uint64_t offset,
                     kavrin_error* error) {
    if (!archive || (!buffer && length > 0)) {
        return Fail(error, KAVRIN_ERROR_REFUSED, EINVAL, "invalid argument");
    }
    auto* out = static_cast<uint8_t*>(buffer);
    try {
        {
            // A read where the stream stands goes on with it, unless another thread reads
            // through it now.
            std::unique_lock<std::mutex> lock(archive->mutex, std::try_to_lock);
            if (lock.owns_lock()) {
                if (archive->checkedEnd && offset >= archive->info.restored_size) {
                    return Succeed(error);
                }
                if (length > 0 && archive->StreamAt(offset)) {
                    const int64_t got = ReadStreaming(*archive, out, length, error);
                    if (got >= 0) Succeed(error);
                    return got;
                }
            }
        }
        const int64_t got = ReadIndexed(*archive, out, length, offset, error);
        if (got >= 0) Succeed(error);
        return got;
    } catch (const std::bad_alloc&) {
        return Fail(error, KAVRIN_ERROR_MACHINE, ENOMEM, "out of memory");
    }
}

int64_t kavrin_read(kavrin_archive* archive, void* buffer, size_t length, kavrin_error* error) {
    if (!archive) return Fail(error, KAVRIN_ERROR_REFUSED, EINVAL, "invalid argument");
    const int64_t got = kavrin_pread(archive, buffer, length, archive->position, error);
    if (got > 0) archive->position += static_cast<uint64_t>(got);
    return got;
}

int64_t kavrin_seek(kavrin_archive* archive, int64_t offset, int whence, kavrin_error* error) {
    if (!archive) return Fail(error, KAVRIN_ERROR_REFUSED, EINVAL, "invalid argument");
    int64_t base = 0;
    switch (whence) {
        case SEEK_SET:
            break;
        case SEEK_CUR:
            base = static_cast<int64_t>(archive->position);
            break;
        case SEEK_END:
            base = static_cast<int64_t>(archive->info.restored_size);
            break;
        default:
            return Fail(error, KAVRIN_ERROR_REFUSED, EINVAL, "invalid whence");
    }
    if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset)) {
        return Fail(error, KAVRIN_ERROR_REFUSED, EINVAL, "invalid position");
    }
    archive->position = static_cast<uint64_t>(base + offset);
    Succeed(error);
    return static_cast<int64_t>(archive->position);
}

uint64_t kavrin_tell(const kavrin_archive* archive) {
    return archive->position;
}

int kavrin_read_info(const char* path, kavrin_info* info, kavrin_error* error) {
    if (!path || !info) return Fail(error, KAVRIN_ERROR_REFUSED, EINVAL, "invalid argument");
    int fd = kavrin::platform::OpenShared(path);
    if (fd == kavrin::platform::kInvalidFile) {
        return FailSystem(error, errno, "can't open the archive");
    }
    const int status = HeaderOf(fd, info, error);
    kavrin::platform::CloseFile(fd);
    return status == KAVRIN_OK ? Succeed(error) : status;
}

int kavrin_compress_file(const char* source, const char* folder, int mode, unsigned threads,
                         unsigned flags, char* result, size_t result_size, kavrin_error* error) {
    try {
        return RunFileJob(source, kavrin::JobKind::Compress, folder, threads, flags, mode, result,
                          result_size, error);
    } catch (const std::bad_alloc&) {
        return Fail(error, KAVRIN_ERROR_MACHINE, ENOMEM, "out of memory");
    }
}

int kavrin_expand_file(const char* archive, const char* folder, unsigned threads, unsigned flags,
                       char* result, size_t result_size, kavrin_error* error) {
    if ((flags & KAVRIN_VERIFY) != 0) {
        return Fail(error, KAVRIN_ERROR_REFUSED, EINVAL, "only a compression is verified");
    }
    try {
        return RunFileJob(archive, kavrin::JobKind::Expand, folder, threads, flags, 0, result,
                          result_size, error);
    } catch (const std::bad_alloc&) {
        return Fail(error, KAVRIN_ERROR_MACHINE, ENOMEM, "out of memory");
    }
}

int kavrin_compress_fd(int source_fd, int archive_fd, const char* type_text, int mode,
                       unsigned threads, kavrin_error* error) {
    const std::string type = type_text ? type_text : "";
    if (source_fd < 0 || archive_fd < 0 || mode < KAVRIN_MODE_AUTO || mode > KAVRIN_MODE_32BIT ||
        !kavrin::IsSafeTypeText(type) || type.size() > kavrin::kMaxTypeText) {
        return Fail(error, KAVRIN_ERROR_REFUSED, EINVAL, "invalid argument");
    }
    try {
        kavrin::EngineContextPtr engine = NewEngine(threads, error);
        if (!engine) return KAVRIN_ERROR_MACHINE;
        int spooled = -1;
        const int source = Rewound(source_fd, &spooled, error);
        if (source < 0) return source;
        kavrin::FileSink sink(archive_fd);
        QuietObserver observer;
        const kavrin::JobOutcome outcome = kavrin::CompressJob(
            *engine, source, sink, static_cast<kavrin::DeltaMode>(mode), type, observer);
        if (spooled >= 0) kavrin::platform::CloseFile(spooled);
        if (outcome.result != kavrin::JobResult::Done) return FailJob(error, outcome);
        return Succeed(error);
    } catch (const std::bad_alloc&) {
        return Fail(error, KAVRIN_ERROR_MACHINE, ENOMEM, "out of memory");
    }
}

int kavrin_expand_fd(int archive_fd, int out_fd, unsigned threads, kavrin_error* error) {
    if (archive_fd < 0 || out_fd < 0) {
        return Fail(error, KAVRIN_ERROR_REFUSED, EINVAL, "invalid argument");
    }
    try {
        kavrin::EngineContextPtr engine = NewEngine(threads, error);
        if (!engine) return KAVRIN_ERROR_MACHINE;
        int spooled = -1;
        const int source = Rewound(archive_fd, &spooled, error);
        if (source < 0) return source;
        kavrin::FileSink sink(out_fd);
        QuietObserver observer;
        const kavrin::JobOutcome outcome = kavrin::ExpandJob(*engine, source, sink, observer);
        if (spooled >= 0) kavrin::platform::CloseFile(spooled);
        if (outcome.result != kavrin::JobResult::Done) return FailJob(error, outcome);
        return Succeed(error);
    } catch (const std::bad_alloc&) {
        return Fail(error, KAVRIN_ERROR_MACHINE, ENOMEM, "out of memory");
    }
}

int kavrin_test(const char* path, unsigned threads, kavrin_error* error) {
    if (!path) return Fail(error, KAVRIN_ERROR_REFUSED, EINVAL, "invalid argument");
    try {
        kavrin::EngineContextPtr engine = NewEngine(threads, error);
        if (!engine) return KAVRIN_ERROR_MACHINE;
        int fd = kavrin::platform::OpenShared(path);
        if (fd == kavrin::platform::kInvalidFile) {
            return FailSystem(error, errno, "can't open the archive");
        }
        kavrin::DiscardSink sink;
        QuietObserver observer;
        const kavrin::JobOutcome outcome = kavrin::ExpandJob(*engine, fd, sink, observer);
        kavrin::platform::CloseFile(fd);
        if (outcome.result != kavrin::JobResult::Done) return FailJob(error, outcome);
        return Succeed(error);
    } catch (const std::bad_alloc&) {
        return Fail(error, KAVRIN_ERROR_MACHINE, ENOMEM, "out of memory");
    }
}

int64_t kavrin_archive_name(const char* source_name, char* archive_name, size_t archive_size,
                            char* type_text, size_t type_size) {
    if (!source_name) return -1;
    std::string name, type;
    if (!kavrin::NameForCompression(source_name, &name, &type)) return -1;
    Put(type, type_text, type_size);
    return Put(name, archive_name, archive_size);
}

int64_t kavrin_restored_name(const char* archive_name, const char* type_text, char* restored_name,
                             size_t restored_size) {
    if (!archive_name) return -1;
    std::string name;
    if (!kavrin::NameForExpansion(archive_name, type_text ? type_text : "", &name)) return -1;
    return Put(name, restored_name, restored_size);
}

}  // extern "C"
