#include "cli/Commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cli/TerminalObserver.h"
#include "engine/ArchiveFormat.h"
#include "engine/JobProcedures.h"
#include "jobs/Destination.h"
#include "jobs/FormatSize.h"
#include "jobs/Naming.h"
#include "platform/File.h"

namespace kavrin::cli {
namespace {

constexpr uint64_t kLargestSource = 0xFFFFFFFFull;

void Message(const std::string& text) {
    std::fprintf(stderr, "kvn: %s\n", text.c_str());
}

std::string Reason() {
    return std::strerror(errno);
}

// One report line: action, filter width, old size, new size, ratio and the file, as the
// window's report shows them. Lines of refused or failed jobs leave the sizes empty.
void ReportLine(const std::string& action, const std::string& path, DeltaMode mode = {},
                uint64_t oldSize = 0, uint64_t newSize = 0, bool sizes = false) {
    std::printf("%-10s %6s %10s %10s %5s  %s\n", action.c_str(),
                sizes ? FormatModeBits(mode).c_str() : "", sizes ? FormatSize(oldSize).c_str() : "",
                sizes ? FormatSize(newSize).c_str() : "",
                sizes ? FormatRatio(newSize, oldSize).c_str() : "", Printable(path).c_str());
    std::fflush(stdout);
}

// A source opened for one job; closes itself.
struct OpenSource {
    platform::FileHandle file = platform::kInvalidFile;
    ~OpenSource() { platform::CloseFile(file); }
};

// Opens a named source with the queue's rules. Reports and returns false when it is refused.
bool OpenNamedSource(const std::string& path, OpenSource* source) {
    platform::PathAttributes attributes = platform::QueryAttributes(path);
    if (!attributes.exists) {
        Message(Printable(path) + ": no such file");
        return false;
    }
    if (attributes.isFolder) {
        Message(Printable(path) + ": is a folder");
        return false;
    }
    if (attributes.isSystem) {
        Message("Can't add this file: " + Printable(path) +
                ": Illegal file attribute (not a regular file)");
        return false;
    }
    source->file = platform::OpenForRead(path);
    if (source->file == platform::kInvalidFile) {
        std::string why = errno == EWOULDBLOCK ? "in use by another program" : Reason();
        Message("Can't open file: " + Printable(path) + ": " + why);
        return false;
    }
    return true;
}

enum class Verdict { Done, Failed, Cancelled };

// Runs one prepared job into `destination` and keeps or drops the result.
Verdict RunJob(bool expand, const std::string& sourcePath, platform::FileHandle source,
               const std::string& destinationPath, Disposition disposition, DeltaMode mode,
               const std::string& typeText, const TransferOptions& options, EngineContext& engine) {
    DestinationFile destination;
    if (!CreateDestinationFile(destinationPath, disposition, source, &destination)) {
        std::string why = errno == EINVAL ? "it is the source itself" : Reason();
        Message("Can't create file " + Printable(destinationPath) + ": " + why);
        ReportLine("ERROR", sourcePath);
        return Verdict::Failed;
    }
    std::string name, folder;
    SplitPath(sourcePath, &name, &folder);
    TerminalObserver observer(Printable(name), options.progress);
    JobOutcome outcome =
        expand ? ExpandJob(engine, source, destination.file, observer)
               : CompressJob(engine, source, destination.file, mode, typeText, observer);
    observer.Clear();

    if (outcome.result == JobResult::Done) {
        if (CommitDestination(destination, disposition, false)) {
            ReportLine(expand ? "expanded" : "compressed", sourcePath, outcome.mode,
                       engine.reader.consumed, engine.writer.produced, true);
            return Verdict::Done;
        }
        Message("Can't finish file " + Printable(destinationPath) + ": " + Reason());
        ReportLine("error", sourcePath);
        return Verdict::Failed;
    }
    AbandonDestination(destination);
    if (outcome.result == JobResult::Cancelled) {
        ReportLine("canceled", sourcePath);
        return Verdict::Cancelled;
    }
    Message(Printable(sourcePath) + ": " + DescribeEngineError(engine.error));
    ReportLine("error", sourcePath);
    return Verdict::Failed;
}

// The folder results go to: the output folder (made absolute) or the source's own folder.
std::string ResultFolder(const std::string& sourceFolder, const TransferOptions& options) {
    if (options.outputFolder.empty()) return DestinationFolder(true, sourceFolder, "");
    return DestinationFolder(false, "", platform::MakeAbsolute(options.outputFolder));
}

// Prepares and runs the job of one named file. `expand` fixes the direction.
Verdict ProcessFile(const std::string& given, bool expand, const TransferOptions& options,
                    EngineContext& engine) {
    const std::string path = platform::MakeAbsolute(given);
    OpenSource source;
    if (!OpenNamedSource(path, &source)) {
        ReportLine("ERROR", given);
        return Verdict::Failed;
    }
    std::string name, folder;
    SplitPath(path, &name, &folder);

    std::string destinationName, typeText;
    if (expand) {
        ArchiveHeader header;
        HeaderStatus status = ReadArchiveHeader(source.file, &header, HeaderField::TypeText);
        bool named =
            status == HeaderStatus::Ok && NameForExpansion(name, header.typeText, &destinationName);
        if (!named || !platform::SeekTo(source.file, 0)) {
            std::string detail = status == HeaderStatus::Truncated ? " (truncated header)"
                                 : status == HeaderStatus::Ok      ? " (unsafe type text)"
                                                                   : "";
            Message(Printable(given) + ": Bad file format" + detail);
            ReportLine("ERROR", given);
            return Verdict::Failed;
        }
    } else {
        uint64_t size = 0;
        if (platform::GetFileSize(source.file, &size) && size > kLargestSource) {
            Message(Printable(given) + ": too large: archives hold files below 4 GiB");
            ReportLine("ERROR", given);
            return Verdict::Failed;
        }
        if (!NameForCompression(name, &destinationName, &typeText)) {
            Message(Printable(given) + ": the extension is longer than 255 bytes");
            ReportLine("ERROR", given);
            return Verdict::Failed;
        }
    }

    const std::string destinationPath = ResultFolder(folder, options) + destinationName;
    if (!options.force && platform::QueryAttributes(destinationPath).exists) {
        Message("File already exists: " + Printable(destinationPath) +
                " (use -f to overwrite); skipped");
        ReportLine("ERROR", given);
        return Verdict::Failed;
    }
    Disposition disposition = options.force ? Disposition::CreateAlways : Disposition::CreateNew;
    return RunJob(expand, given, source.file, destinationPath, disposition, options.mode, typeText,
                  options, engine);
}

int RunTransfer(const std::vector<std::string>& files, bool expand,
                const TransferOptions& options) {
    std::unique_ptr<EngineContext> engine = EngineContext::Create();
    if (!engine) {
        Message("No memory");
        return kExitFailed;
    }
    int status = kExitOk;
    for (const std::string& file : files) {
        Verdict verdict = ProcessFile(file, expand, options, *engine);
        if (verdict == Verdict::Cancelled || Interrupted()) return kExitInterrupted;
        if (verdict == Verdict::Failed) status = kExitFailed;
    }
    return status;
}

}  // namespace

std::string Printable(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int RunCompress(const std::vector<std::string>& files, const TransferOptions& options) {
    return RunTransfer(files, false, options);
}

int RunExpand(const std::vector<std::string>& archives, const TransferOptions& options) {
    return RunTransfer(archives, true, options);
}

int RunInfo(const std::vector<std::string>& archives) {
    int status = kExitOk;
    std::printf("%-10s %6s %10s %10s %5s  %s\n", "Type", "Filter", "Original", "Archive", "Ratio",
                "File");
    for (const std::string& given : archives) {
        OpenSource source;
        if (!OpenNamedSource(platform::MakeAbsolute(given), &source)) {
            status = kExitFailed;
            continue;
        }
        ArchiveHeader header;
        HeaderStatus headerStatus = ReadArchiveHeader(source.file, &header);
        uint64_t archiveSize = 0;
        if (headerStatus != HeaderStatus::Ok || !platform::GetFileSize(source.file, &archiveSize)) {
            Message(Printable(given) + ": Bad file format" +
                    (headerStatus == HeaderStatus::Truncated ? " (truncated header)" : ""));
            status = kExitFailed;
            continue;
        }
        const std::string bits = FormatModeBits(static_cast<DeltaMode>(header.deltaMode));
        std::printf("%-10s %6s %10s %10s %5s  %s\n", Printable(header.typeText).c_str(),
                    bits.empty() ? "?" : bits.c_str(), FormatSize(header.sourceSize).c_str(),
                    FormatSize(archiveSize).c_str(),
                    FormatRatio(archiveSize, header.sourceSize).c_str(), Printable(given).c_str());
    }
    return status;
}

int RunTest(const std::vector<std::string>& archives, bool progress) {
    std::unique_ptr<EngineContext> engine = EngineContext::Create();
    if (!engine) {
        Message("No memory");
        return kExitFailed;
    }
    int status = kExitOk;
    for (const std::string& given : archives) {
        OpenSource source;
        if (!OpenNamedSource(platform::MakeAbsolute(given), &source)) {
            status = kExitFailed;
            continue;
        }
        platform::FileHandle sink = platform::OpenNullSink();
        std::string name, folder;
        SplitPath(given, &name, &folder);
        TerminalObserver observer(Printable(name), progress);
        JobOutcome outcome = ExpandJob(*engine, source.file, sink, observer);
        observer.Clear();
        platform::CloseFile(sink);
        if (outcome.result == JobResult::Cancelled) return kExitInterrupted;
        if (outcome.result == JobResult::Done) {
            std::printf("OK      %s\n", Printable(given).c_str());
        } else {
            std::printf("FAILED  %s: %s\n", Printable(given).c_str(),
                        DescribeEngineError(engine->error));
            status = kExitFailed;
        }
        std::fflush(stdout);
    }
    return status;
}

}  // namespace kavrin::cli
