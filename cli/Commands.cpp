#include "cli/Commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cli/Interrupt.h"
#include "cli/TerminalObserver.h"
#include "engine/ArchiveFormat.h"
#include "engine/JobProcedures.h"
#include "jobs/FormatSize.h"
#include "jobs/Naming.h"
#include "platform/File.h"

namespace kavrin::cli {
namespace {

void Message(const std::string& text) {
    std::fprintf(stderr, "kvn: %s\n", text.c_str());
}

std::string Reason() {
    return std::strerror(errno);
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

}  // namespace

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
        // A mode byte no writer stores (damage, which kvn test reports) shows as "?".
        const std::string bits = IsStoredDeltaMode(header.deltaMode)
                                     ? FormatModeBits(static_cast<DeltaMode>(header.deltaMode))
                                     : "";
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
        std::string name, folder;
        SplitPath(given, &name, &folder);
        // What expand would refuse before decoding anything is no sound archive either.
        ArchiveHeader header;
        std::string restored;
        if (ReadArchiveHeader(source.file, &header, HeaderField::TypeText) == HeaderStatus::Ok &&
            !NameForExpansion(name, header.typeText, &restored)) {
            std::printf("FAILED  %s: unsafe type text (it would name a file elsewhere)\n",
                        Printable(given).c_str());
            status = kExitFailed;
            continue;
        }
        if (!platform::SeekTo(source.file, 0)) {
            std::printf("FAILED  %s: read error: %s\n", Printable(given).c_str(), Reason().c_str());
            status = kExitFailed;
            continue;
        }
        platform::FileHandle sink = platform::OpenNullSink();
        TerminalObserver observer(Printable(name), progress);
        JobOutcome outcome = ExpandJob(*engine, source.file, sink, observer);
        observer.Clear();
        platform::CloseFile(sink);
        if (outcome.result == JobResult::Cancelled) return InterruptedStatus();
        if (outcome.result == JobResult::Done) {
            std::printf("OK      %s\n", Printable(given).c_str());
        } else {
            std::printf("FAILED  %s: %s\n", Printable(given).c_str(),
                        DescribeFailure(outcome).c_str());
            status = kExitFailed;
        }
        std::fflush(stdout);
    }
    return status;
}

}  // namespace kavrin::cli
