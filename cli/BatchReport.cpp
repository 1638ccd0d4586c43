// SPDX-License-Identifier: MIT
#include "cli/BatchReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/Display.h"
#include "cli/Translate.h"
#include "jobs/FormatSize.h"
#include "jobs/Naming.h"

namespace kavrin::cli {
namespace {

constexpr size_t kMaxNameColumn = 40;
constexpr const char* kHeaders[] = {TrNoop("File"), TrNoop("Path"),     TrNoop("Action"),
                                    TrNoop("Opt"),  TrNoop("Old size"), TrNoop("New size"),
                                    TrNoop("Ratio")};

constexpr const char* kActions[] = {
    TrNoop("compressed"), TrNoop("expanded"), TrNoop("canceled"),
    TrNoop("error"),      TrNoop("ERROR"),    TrNoop("skipped"),
};

// The table's word for an action (the JSON keeps the English one).
const char* ActionText(const std::string& action) {
    for (const char* known : kActions) {
        if (action == known) return Tr(known);
    }
    return action.c_str();
}

std::string Pad(const std::string& text, size_t width) {
    size_t shown = DisplayWidth(text);
    return shown >= width ? text : text + std::string(width - shown, ' ');
}

std::string PadLeft(const std::string& text, size_t width) {
    size_t shown = DisplayWidth(text);
    return shown >= width ? text : std::string(width - shown, ' ') + text;
}

// Columns counted in what a terminal shows, not in bytes: "Größe" takes five.
std::string Row(const ReportLayout& layout, const std::string& file, const std::string& path,
                const std::string& action, const std::string& opt, const std::string& oldSize,
                const std::string& newSize, const std::string& ratio) {
    std::string line = Pad(file, layout.fileWidth) + "  " + Pad(path, layout.pathWidth) + "  " +
                       Pad(action, layout.actionWidth) + "  " + Pad(opt, layout.optWidth) + "  " +
                       PadLeft(oldSize, layout.sizeWidth) + "  " +
                       PadLeft(newSize, layout.sizeWidth) + "  " +
                       PadLeft(ratio, layout.ratioWidth);
    line.erase(line.find_last_not_of(' ') + 1);
    return line + "\n";
}

const char* ResultName(ItemResult result) {
    switch (result) {
        case ItemResult::Done:
            return "done";
        case ItemResult::Failed:
            return "failed";
        case ItemResult::Skipped:
            return "skipped";
        case ItemResult::Canceled:
            return "canceled";
    }
    return "failed";
}

// A file name for JSON: the text when it is valid UTF-8; otherwise the undecodable bytes are
// replaced when printed and `<key>_hex` carries the exact bytes.
void PutName(nlohmann::ordered_json& object, const char* key, const std::string& bytes) {
    object[key] = bytes;
    if (!IsValidUtf8(bytes)) object[std::string(key) + "_hex"] = HexBytes(bytes);
}

// The ratio for JSON: the new size in percent of the old one, a number with two decimals (the
// table's text truncates it to whole percent); null when the old size is 0.
nlohmann::ordered_json RatioValue(uint64_t newSize, uint64_t oldSize) {
    if (oldSize == 0) return nullptr;
    const double percent = static_cast<double>(newSize) * 100.0 / static_cast<double>(oldSize);
    return std::round(percent * 100.0) / 100.0;
}

std::string Dump(const nlohmann::ordered_json& object) {
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string Duration(double seconds) {
    auto total = static_cast<uint64_t>(seconds + 0.5);
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                      static_cast<unsigned long long>(total / 3600),
                      static_cast<unsigned long long>(total / 60 % 60),
                      static_cast<unsigned long long>(total % 60));
    } else {
        std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(total / 60),
                      static_cast<unsigned long long>(total % 60));
    }
    return text;
}

size_t Columns(const std::string& text) {
    return DisplayWidth(text);
}

// Where the character after the first `characters` characters of `text` (UTF-8) begins.
size_t ByteOffset(const std::string& text, size_t characters) {
    size_t at = 0;
    for (size_t seen = 0; at < text.size(); ++at) {
        if ((static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) continue;
        if (seen++ == characters) break;
    }
    return at;
}

}  // namespace

void BatchTotals::Add(const ItemOutcome& outcome) {
    ++files;
    switch (outcome.result) {
        case ItemResult::Done:
            ++done;
            bytesIn += outcome.oldSize;
            bytesOut += outcome.newSize;
            break;
        case ItemResult::Failed:
            ++failed;
            break;
        case ItemResult::Skipped:
            ++skipped;
            break;
        case ItemResult::Canceled:
            ++canceled;
            break;
    }
}

std::string ShownName(const BatchItem& item) {
    std::string name, folder;
    SplitPath(item.shownPath, &name, &folder);
    return name;
}

std::string ShownFolder(const BatchItem& item) {
    if (item.shownPath.find('/') == std::string::npos) return ".";
    std::string name, folder;
    SplitPath(item.shownPath, &name, &folder);
    return folder.empty() ? "/" : folder;
}

ReportLayout LayoutFor(const std::vector<BatchItem>& items) {
    ReportLayout layout;
    for (const BatchItem& item : items) {
        layout.fileWidth = std::max(layout.fileWidth, DisplayWidth(Printable(ShownName(item))));
        layout.pathWidth = std::max(layout.pathWidth, DisplayWidth(Printable(ShownFolder(item))));
    }
    layout.fileWidth = std::min(layout.fileWidth, kMaxNameColumn);
    layout.pathWidth = std::min(layout.pathWidth, kMaxNameColumn);
    layout.actionWidth = std::max(layout.actionWidth, DisplayWidth(Tr(kHeaders[2])));
    for (const char* action : kActions) {
        layout.actionWidth = std::max(layout.actionWidth, DisplayWidth(Tr(action)));
    }
    layout.optWidth = std::max(layout.optWidth, DisplayWidth(Tr(kHeaders[3])));
    layout.sizeWidth =
        std::max({layout.sizeWidth, DisplayWidth(Tr(kHeaders[4])), DisplayWidth(Tr(kHeaders[5]))});
    layout.ratioWidth = std::max(layout.ratioWidth, DisplayWidth(Tr(kHeaders[6])));
    return layout;
}

std::string TableHeader(const ReportLayout& layout) {
    return Row(layout, Tr(kHeaders[0]), Tr(kHeaders[1]), Tr(kHeaders[2]), Tr(kHeaders[3]),
               Tr(kHeaders[4]), Tr(kHeaders[5]), Tr(kHeaders[6]));
}

std::string TableLine(const ReportLayout& layout, const BatchItem& item) {
    const ItemOutcome& outcome = item.outcome;
    const bool sizes = outcome.hasSizes;
    return Row(layout, Printable(ShownName(item)), Printable(ShownFolder(item)),
               ActionText(outcome.action), sizes ? FormatModeBits(outcome.mode) : "",
               sizes ? LocalDecimal(FormatSize(outcome.oldSize)) : "",
               sizes ? LocalDecimal(FormatSize(outcome.newSize)) : "",
               sizes ? FormatRatio(outcome.newSize, outcome.oldSize) : "");
}

std::string FormatRate(uint64_t bytes, double seconds) {
    if (seconds <= 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / 1e6 / seconds);
    return LocalDecimal(text);
}

std::string TotalsLine(const BatchTotals& totals) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", totals.seconds);
    const std::string ratio =
        totals.bytesIn ? ", " + FormatRatio(totals.bytesOut, totals.bytesIn) : "";
    return Format(totals.files == 1
                      ? Tr("%s file: %s done, %s failed, %s skipped, %s canceled; %s in, %s out%s; "
                           "%s s, %s MB/s")
                      : Tr("%s files: %s done, %s failed, %s skipped, %s canceled; %s in, %s "
                           "out%s; %s s, %s MB/s"),
                  {std::to_string(totals.files), std::to_string(totals.done),
                   std::to_string(totals.failed), std::to_string(totals.skipped),
                   std::to_string(totals.canceled), LocalDecimal(FormatSize(totals.bytesIn)),
                   LocalDecimal(FormatSize(totals.bytesOut)), ratio, LocalDecimal(seconds),
                   FormatRate(totals.bytesIn, totals.seconds)}) +
           "\n";
}

std::string JsonLine(const BatchItem& item) {
    const ItemOutcome& outcome = item.outcome;
    nlohmann::ordered_json object;
    object["record"] = "file";
    object["type"] = "file";  // the record's kind, as earlier versions name it
    PutName(object, "file", ShownName(item));
    PutName(object, "path", PlainPath(ShownFolder(item)));
    // Standard input has no path of its own.
    PutName(object, "source", item.shownPath == "-" ? item.shownPath : PlainPath(item.path));
    if (!item.job.destinationPath.empty()) {
        PutName(object, "destination", PlainPath(item.job.destinationPath));
    }
    object["action"] = outcome.action;
    object["result"] = ResultName(outcome.result);
    if (outcome.hasSizes) {
        object["opt"] = FormatModeBits(outcome.mode);
        object["old_size"] = outcome.oldSize;
        object["new_size"] = outcome.newSize;
        object["ratio"] = RatioValue(outcome.newSize, outcome.oldSize);
    }
    object["verified"] = outcome.verified;
    object["source_deleted"] = outcome.sourceDeleted;
    if (!outcome.messages.empty()) {
        std::string joined;
        for (const Said& message : outcome.messages) {
            if (!joined.empty()) joined += '\n';
            joined += message.english;
        }
        object["message"] = joined;
    }
    return Dump(object);
}

std::string JsonTotals(const BatchTotals& totals, int exitStatus) {
    nlohmann::ordered_json object;
    object["record"] = "totals";
    object["type"] = "totals";  // the record's kind, as earlier versions name it
    object["files"] = totals.files;
    object["done"] = totals.done;
    object["failed"] = totals.failed;
    object["skipped"] = totals.skipped;
    object["canceled"] = totals.canceled;
    object["bytes_in"] = totals.bytesIn;
    object["bytes_out"] = totals.bytesOut;
    object["ratio"] = RatioValue(totals.bytesOut, totals.bytesIn);
    object["seconds"] = totals.seconds;
    object["exit_status"] = exitStatus;
    return Dump(object);
}

std::string JsonProgress(uint64_t filesDone, uint64_t filesTotal, uint64_t bytesDone,
                         uint64_t bytesTotal, const std::string& current) {
    nlohmann::ordered_json object;
    object["record"] = "progress";
    object["files"] = filesTotal;
    object["files_done"] = filesDone;
    object["bytes"] = bytesTotal;
    // A file read twice (a verification, a retried filter trial) never shows more than all.
    object["bytes_done"] = std::min(bytesDone, bytesTotal);
    if (!current.empty()) PutName(object, "file", current);
    return Dump(object);
}

std::string ProgressLine(uint64_t filesDone, uint64_t filesTotal, uint64_t bytesDone,
                         uint64_t bytesTotal, double seconds, const std::string& current,
                         size_t columns) {
    const std::string sizes =
        LocalDecimal(FormatSize(bytesDone)) + "/" + LocalDecimal(FormatSize(bytesTotal));
    std::string line =
        bytesTotal == 0
            ? Format(Tr("%s/%s files, %s"),
                     {std::to_string(filesDone), std::to_string(filesTotal), sizes})
            : Format(Tr("%s/%s files, %s%% %s"),
                     {std::to_string(filesDone), std::to_string(filesTotal),
                      std::to_string(std::min<uint64_t>(bytesDone, bytesTotal) * 100 / bytesTotal),
                      sizes});
    if (seconds >= 0.5 && bytesDone > 0) {
        double rate = static_cast<double>(bytesDone) / seconds;
        double left =
            bytesTotal > bytesDone ? static_cast<double>(bytesTotal - bytesDone) / rate : 0;
        line += Format(Tr(", %s MB/s, %s left"), {FormatRate(bytesDone, seconds), Duration(left)});
    }
    if (current.empty()) return line;
    if (columns == 0) return line + ", " + current;
    // A name shortened below a few characters says nothing: then it is left out.
    const size_t used = Columns(line) + 2;
    constexpr size_t kShortestName = 12;
    if (used + std::min(Columns(current), kShortestName) > columns) return line;
    return line + ", " + ElideMiddle(current, columns - used);
}

std::string ElideMiddle(const std::string& text, size_t columns) {
    const size_t length = Columns(text);
    if (length <= columns) return text;
    if (columns <= 3) return std::string(columns, '.');
    const size_t tail = (columns - 3) / 2;
    const size_t head = columns - 3 - tail;
    return text.substr(0, ByteOffset(text, head)) + "..." +
           text.substr(ByteOffset(text, length - tail));
}

}  // namespace kavrin::cli
