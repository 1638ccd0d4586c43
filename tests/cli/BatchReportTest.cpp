// SPDX-License-Identifier: MIT
// The batch's texts: names made safe for a terminal, answers to the overwrite question, and the
// totals line.
#include <gtest/gtest.h>

#include "cli/BatchReport.h"
#include "cli/Console.h"
#include "cli/Display.h"

namespace kavrin::cli {
namespace {

TEST(BatchReportTest, PrintableEscapesControlsAndUndecodableBytes) {
    struct Case {
        std::string bytes, shown;
        bool utf8;
    } cases[] = {
        {"take.wav", "take.wav", true},
        {"caf\xc3\xa9 \xe2\x99\xaa.wav", "caf\xc3\xa9 \xe2\x99\xaa.wav", true},
        {"a\nb\x1b[2J\x7f", "a\\x0Ab\\x1B[2J\\x7F", true},
        {"\xc2\x9b"
         "31m",
         "\\xC2\\x9B31m", true},                     // the C1 control CSI
        {"\xff-latin1", "\\xFF-latin1", false},      // not UTF-8 at all
        {"\xc0\xaf", "\\xC0\\xAF", false},           // an overlong '/'
        {"\xed\xa0\x80", "\\xED\\xA0\\x80", false},  // a surrogate
        {"cut \xe2\x99", "cut \\xE2\\x99", false},   // a sequence cut short
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Printable(c.bytes), c.shown);
        EXPECT_EQ(IsValidUtf8(c.bytes), c.utf8) << c.shown;
    }
    EXPECT_EQ(DisplayWidth("caf\xc3\xa9"), 4u);
}

TEST(BatchReportTest, ParsesOverwriteAnswers) {
    struct Case {
        std::string line;
        bool valid;
        OverwriteAnswer answer;
    } cases[] = {
        {"", true, OverwriteAnswer::Yes},          {"  Y ", true, OverwriteAnswer::Yes},
        {"yes", true, OverwriteAnswer::Yes},       {"N", true, OverwriteAnswer::No},
        {"no", true, OverwriteAnswer::No},         {"c", true, OverwriteAnswer::Cancel},
        {"CANCEL", true, OverwriteAnswer::Cancel}, {"a", true, OverwriteAnswer::All},
        {"All", true, OverwriteAnswer::All},       {"yess", false, OverwriteAnswer::Yes},
        {"q", false, OverwriteAnswer::Yes},
    };
    for (const Case& c : cases) {
        OverwriteAnswer answer = OverwriteAnswer::Yes;
        EXPECT_EQ(ParseOverwriteAnswer(c.line, &answer, "[Y]es, [n]o, [c]ancel, [a]ll: "), c.valid)
            << c.line;
        if (c.valid) {
            EXPECT_EQ(answer, c.answer) << c.line;
        }
    }
    // The letters follow the prompt's language: German "j" is yes, "b" cancels.
    const std::string german = "[J]a, [n]ein, a[b]brechen, [a]lle: ";
    for (const auto& [line, expected] :
         {std::pair<std::string, OverwriteAnswer>{"j", OverwriteAnswer::Yes},
          {"B", OverwriteAnswer::Cancel},
          {"a", OverwriteAnswer::All},
          {"n", OverwriteAnswer::No}}) {
        OverwriteAnswer answer = OverwriteAnswer::Yes;
        EXPECT_TRUE(ParseOverwriteAnswer(line, &answer, german)) << line;
        EXPECT_EQ(answer, expected) << line;
    }
    EXPECT_EQ(OverwriteQuestion("out/a.kvn"), "File already exists\nout/a.kvn\nOverwrite?");
}

TEST(BatchReportTest, TotalsAndProgressLines) {
    BatchTotals totals;
    ItemOutcome done;
    done.result = ItemResult::Done;
    done.oldSize = 3000000000;
    done.newSize = 1500000000;
    totals.Add(done);
    for (ItemResult result : {ItemResult::Failed, ItemResult::Skipped, ItemResult::Canceled}) {
        ItemOutcome other;
        other.result = result;
        other.oldSize = 99;  // only done jobs count towards the bytes
        totals.Add(other);
    }
    totals.seconds = 2.0;
    EXPECT_EQ(TotalsLine(totals),
              "4 files: 1 done, 1 failed, 1 skipped, 1 canceled; 2929.688M in, 1464.844M out, "
              "50%; 2.0 s, 1500.0 MB/s\n");
    EXPECT_EQ(TotalsLine(BatchTotals{}),
              "0 files: 0 done, 0 failed, 0 skipped, 0 canceled; 0 in, 0 out; 0.0 s, - MB/s\n");
    EXPECT_EQ(ProgressLine(3, 10, 2048000, 10240000, 0.1), "3/10 files, 20% 2.000M/10.000M");
    EXPECT_EQ(ProgressLine(3, 10, 2000000, 10000000, 2.0, "Piano.wav"),
              "3/10 files, 20% 1.953M/9.766M, 1.0 MB/s, 0:08 left, Piano.wav");
    EXPECT_EQ(ProgressLine(0, 0, 0, 0, 0), "0/0 files, 0/0");
    // A long name is shortened in the middle to fit the terminal, by characters, not bytes;
    // where too little room is left, it is left out.
    const std::string line = "0/1 files, 0% 0/1.0K";
    EXPECT_EQ(ProgressLine(0, 1, 0, 1024, 0, "Flügel-Aufnahme-lang.wav", line.size() + 2 + 15),
              line + ", Flügel...ng.wav");
    EXPECT_EQ(ProgressLine(0, 1, 0, 1024, 0, "Flügel.wav", line.size() + 2 + 10),
              line + ", Flügel.wav");
    EXPECT_EQ(ProgressLine(0, 1, 0, 1024, 0, "Flügel-Aufnahme-lang.wav", line.size() + 8), line);
}

}  // namespace
}  // namespace kavrin::cli
