// SPDX-License-Identifier: MIT
// The texts of a `kvn` batch's report: the table (one line per file, with the window report's
// columns File, Path, Action, Opt, Old size, New size and Ratio), the totals line, the JSON
// objects that --json prints instead, and the progress line.
//
// Pure formatting; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/BatchItem.h"

namespace kavrin::cli {

// The report's File and Path texts of an item: its name, and its folder as the user spelled
// it ("." for a name without a folder, "/" for the root folder).
std::string ShownName(const BatchItem& item);
std::string ShownFolder(const BatchItem& item);

struct BatchTotals {
    uint64_t files = 0;
    uint64_t done = 0;
    uint64_t failed = 0;
    uint64_t skipped = 0;
    uint64_t canceled = 0;
    uint64_t bytesIn = 0;   // old sizes of the done jobs
    uint64_t bytesOut = 0;  // new sizes of the done jobs
    double seconds = 0;

    void Add(const ItemOutcome& outcome);
};

// The widths of the File and Path columns: the longest name and folder of the batch, within
// limits, so that one very long name does not push every line far to the right. The other
// columns are as wide as their header and their words in the user's language.
struct ReportLayout {
    size_t fileWidth = 4;
    size_t pathWidth = 4;
    size_t actionWidth = 10;
    size_t optWidth = 6;
    size_t sizeWidth = 9;
    size_t ratioWidth = 5;
};
ReportLayout LayoutFor(const std::vector<BatchItem>& items);

std::string TableHeader(const ReportLayout& layout);
std::string TableLine(const ReportLayout& layout, const BatchItem& item);
// "3 files: 2 done, 1 failed, 0 skipped, 0 canceled; 1.2M in, 800.0K out, 66%; 0.8 s, 1.5 MB/s"
std::string TotalsLine(const BatchTotals& totals);

// One JSON object on one line for a file, and one for the totals. Their "ratio" is a number:
// the new size in percent of the old one, with two decimals (null for an old size of 0).
std::string JsonLine(const BatchItem& item);
std::string JsonTotals(const BatchTotals& totals, int exitStatus);

// {"record":"progress","files":128,"files_done":12,"bytes":N,"bytes_done":M,"file":"take.wav"}:
// what ProgressLine shows, for a program (a file manager's action) to show in its own way.
// "file" is the file being worked on, left out when there is none.
std::string JsonProgress(uint64_t filesDone, uint64_t filesTotal, uint64_t bytesDone,
                         uint64_t bytesTotal, const std::string& current);

// "12/128 files, 30% 10.2M/33.0M, 7.9 MB/s, 0:04 left, take.wav": the bytes done in percent,
// and the file being worked on, whose name is shortened in the middle so that the line takes at
// most `columns` columns (0: any number).
std::string ProgressLine(uint64_t filesDone, uint64_t filesTotal, uint64_t bytesDone,
                         uint64_t bytesTotal, double seconds, const std::string& current = "",
                         size_t columns = 0);

// `text` in at most `columns` columns (characters of UTF-8), its middle replaced by "..." when
// it is longer.
std::string ElideMiddle(const std::string& text, size_t columns);

// The rate in megabytes (10^6 bytes) per second, "%.1f" with the language's decimal separator;
// "-" when no time has passed.
std::string FormatRate(uint64_t bytes, double seconds);

}  // namespace kavrin::cli
