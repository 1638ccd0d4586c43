// SPDX-License-Identifier: MIT
#include "cli/Commands.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli/Interrupt.h"
#include "cli/TerminalObserver.h"
#include "cli/Translate.h"
#include "engine/Engine.h"
#include "engine/format/ArchiveFormat.h"
#include "jobs/FormatSize.h"
#include "jobs/Naming.h"
#include "platform/File.h"

namespace kavrin::cli {
namespace {

void Message(const std::string& text) {
    std::fprintf(stderr, "kvn: %s\n", text.c_str());
}

// A source opened for one job; closes itself.
struct OpenSource {
    platform::FileHandle file = platform::kInvalidFile;
    ~OpenSource() { platform::CloseFile(file); }
};

// Opens a named source with the queue's rules. Returns false with `failure` (both languages)
// when it is refused, `transient` telling whether the machine's state refused it (a lock,
// descriptors).
bool OpenNamedSource(const std::string& path, OpenSource* source, bool* transient, Said* failure) {
    *transient = false;
    // Named as the user would spell it: "/a/./b" is "/a/b".
    const std::string shown = Printable(PlainPath(path));
    platform::PathAttributes attributes = platform::QueryAttributes(path);
    if (!attributes.exists) {
        *failure = Say([&] { return Format(Tr("%s: no such file"), {shown}); });
        return false;
    }
    if (attributes.isFolder) {
        *failure = Say([&] { return Format(Tr("%s: is a folder"), {shown}); });
        return false;
    }
    if (attributes.isSystem) {
        *failure = Say([&] {
            return Format(Tr("Can't add this file: %s: %s"),
                          {shown, Tr("Illegal file attribute (not a regular file)")});
        });
        return false;
    }
    source->file = platform::OpenForRead(path);
    if (source->file == platform::kInvalidFile) {
        const int error = errno;
        *transient = IsMachineError(error);
        *failure = Say([&] {
            const std::string why =
                error == EWOULDBLOCK ? Tr("in use by another program") : std::strerror(error);
            return Format(Tr("Can't open file: %s: %s"), {shown, why});
        });
        return false;
    }
    return true;
}

// The exit status of a command over several files: 1 when any failed for a reason of its own,
// 75 when every failure was the machine's, 0 when none failed.
class StatusTally {
public:
    void Failed(bool transient) { (transient ? transient_ : permanent_) = true; }
    int Status() const { return permanent_ ? kExitFailed : transient_ ? kExitRetry : kExitOk; }

private:
    bool permanent_ = false;
    bool transient_ = false;
};

void PrintJson(const nlohmann::ordered_json& object) {
    std::printf(
        "%s\n",
        object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
}

// A record of `kind` ("info", "test") about the archive the user named `given`.
nlohmann::ordered_json FileObject(const char* kind, const std::string& given) {
    nlohmann::ordered_json object;
    object["record"] = kind;
    const std::string file = PlainPath(given);
    object["file"] = file;
    if (!IsValidUtf8(file)) object["file_hex"] = HexBytes(file);
    return object;
}

}  // namespace

int RunInfo(const std::vector<std::string>& archives, bool json) {
    StatusTally tally;
    if (!json) {
        std::printf("%-10s %6s %10s %10s %5s  %s\n", Tr("Type"), Tr("Filter"), Tr("Original"),
                    Tr("Archive"), Tr("Ratio"), Tr("File"));
    }
    // A failure is said on standard error and, with --json, in the archive's record.
    const auto failed = [&](const std::string& given, const Said& failure, bool transient) {
        Message(failure.local);
        tally.Failed(transient);
        if (!json) return;
        nlohmann::ordered_json object = FileObject("info", given);
        object["result"] = "failed";
        object["message"] = failure.english;
        PrintJson(object);
    };
    for (const std::string& given : archives) {
        OpenSource source;
        bool transient = false;
        Said failure;
        if (!OpenNamedSource(platform::MakeAbsolute(given), &source, &transient, &failure)) {
            failed(given, failure, transient);
            continue;
        }
        ArchiveHeader header;
        HeaderStatus headerStatus = ReadArchiveHeader(source.file, &header);
        uint64_t archiveSize = 0;
        if (headerStatus != HeaderStatus::Ok || !platform::GetFileSize(source.file, &archiveSize)) {
            const int error = errno;
            const bool readError = headerStatus == HeaderStatus::ReadError;
            failed(given, Say([&] {
                       return Format(readError ? Tr("%s: can't read it: %s")
                                     : headerStatus == HeaderStatus::Truncated
                                         ? Tr("%s: Bad file format (truncated header)")
                                         : Tr("%s: Bad file format"),
                                     {Printable(given), std::strerror(error)});
                   }),
                   readError && IsMachineError(error));
            continue;
        }
        // A mode byte no writer stores (damage, which kvn test reports) shows as "?".
        const std::string bits = IsStoredDeltaMode(header.deltaMode)
                                     ? FormatModeBits(static_cast<DeltaMode>(header.deltaMode))
                                     : "";
        if (json) {
            nlohmann::ordered_json object = FileObject("info", given);
            object["result"] = "ok";
            object["message"] = "";
            object["type_text"] = header.typeText;
            if (!IsValidUtf8(header.typeText)) object["type_text_hex"] = HexBytes(header.typeText);
            object["filter"] =
                bits.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(bits);
            object["original_size"] = header.sourceSize;
            object["archive_size"] = archiveSize;
            object["ratio"] =
                header.sourceSize == 0
                    ? nlohmann::ordered_json()
                    : nlohmann::ordered_json(std::round(static_cast<double>(archiveSize) * 10000.0 /
                                                        header.sourceSize) /
                                             100.0);
            PrintJson(object);
            continue;
        }
        std::printf("%-10s %6s %10s %10s %5s  %s\n", Printable(header.typeText).c_str(),
                    bits.empty() ? "?" : bits.c_str(),
                    LocalDecimal(FormatSize(header.sourceSize)).c_str(),
                    LocalDecimal(FormatSize(archiveSize)).c_str(),
                    FormatRatio(archiveSize, header.sourceSize).c_str(), Printable(given).c_str());
    }
    return tally.Status();
}

int RunTest(const std::vector<std::string>& archives, bool progress, bool json) {
    EngineContextPtr engine = CreateEngineContext();
    if (!engine) {
        Message(Tr("No memory"));
        return kExitRetry;
    }
    StatusTally tally;
    // One line per archive: "OK  name" or "FAILED  name: why", or its JSON object (in English).
    const auto verdict = [&](const std::string& given, const Said& failure, bool transient) {
        const bool failed = !failure.english.empty();
        if (failed) tally.Failed(transient);
        if (json) {
            nlohmann::ordered_json object = FileObject("test", given);
            object["result"] = failed ? "failed" : "ok";
            object["message"] = failure.english;  // empty when it passed
            PrintJson(object);
        } else if (!failed) {
            std::printf("OK      %s\n", Printable(given).c_str());
        } else {
            std::printf("FAILED  %s: %s\n", Printable(given).c_str(), failure.local.c_str());
        }
        std::fflush(stdout);
    };
    for (const std::string& given : archives) {
        OpenSource source;
        bool transient = false;
        Said failure;
        if (!OpenNamedSource(platform::MakeAbsolute(given), &source, &transient, &failure)) {
            // Said on standard error, as before; a script reading JSON gets its record too.
            Message(failure.local);
            if (json) {
                verdict(given, failure, transient);
            } else {
                tally.Failed(transient);
            }
            continue;
        }
        std::string name, folder;
        SplitPath(given, &name, &folder);
        // What expand would refuse before decoding anything is no sound archive either.
        ArchiveHeader header;
        std::string restored;
        if (ReadArchiveHeader(source.file, &header, HeaderField::TypeText) == HeaderStatus::Ok &&
            !NameForExpansion(name, header.typeText, &restored)) {
            verdict(given,
                    Say([] { return Tr("unsafe type text (it would name a file elsewhere)"); }),
                    false);
            continue;
        }
        if (!platform::SeekTo(source.file, 0)) {
            const int error = errno;
            verdict(given,
                    Say([&] { return Format(Tr("read error: %s"), {std::strerror(error)}); }),
                    IsMachineError(error));
            continue;
        }
        DiscardSink sink;
        TerminalObserver observer(Printable(name), progress);
        JobOutcome outcome = ExpandJob(*engine, source.file, sink, observer);
        observer.Clear();
        if (outcome.result == JobResult::Cancelled) return InterruptedStatus();
        // The engine's messages are English.
        verdict(given, Said{outcome.status.message(), outcome.status.message()},
                outcome.status.IsMachine());
    }
    return tally.Status();
}

}  // namespace kavrin::cli
