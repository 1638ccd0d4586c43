// SPDX-License-Identifier: MIT
#include "lists/ReportList.h"

#include "tests/lists/QueueFixture.h"

namespace kavrin {
namespace {

class ReportListTest : public test::QueueFixture {
protected:
    ReportListTest() {
        queue.AddToQueue(MakeFile("take.wav", 1000000));
        queue.AddToQueue(MakeArchive("take.kvn", "wav", 1000000, 250014));
    }
    static constexpr int kArchiveRow = 0;
    static constexpr int kWaveRow = 1;
};

TEST_F(ReportListTest, RowsShowActionFilterSizesAndRatio) {
    const std::string folder = dir.path();
    struct Case {
        int queueRow;
        const char* action;
        DeltaMode mode;
        uint64_t oldSize, newSize;
        std::vector<std::string> row;  // all seven columns, then the image
    } cases[] = {
        {kWaveRow,
         "compressed",
         DeltaMode::Bits16,
         1000000,
         250000,
         {"take.wav", folder, "compressed", "16-bit", "976.6K", "244.1K", "25%", "0"}},
        {kArchiveRow,
         "expanded",
         DeltaMode::Bits16,
         250000,
         1000000,
         {"take.kvn", folder, "expanded", "16-bit", "244.1K", "976.6K", "400%", "1"}},
        {kWaveRow,
         "compressed",
         DeltaMode::None,
         1000,
         990,
         {"take.wav", folder, "compressed", "0-bit", "1000", "990", "99%", "0"}},
        {kWaveRow,
         "compressed",
         DeltaMode::Bits8,
         0,
         14,
         {"take.wav", folder, "compressed", "8-bit", "0", "14", "", "0"}},
        {kWaveRow,
         "compressed",
         DeltaMode::Bits32,
         3000000000ull,
         1500000000ull,
         {"take.wav", folder, "compressed", "32-bit", "2929.688M", "1464.844M", "50%", "0"}},
        // A damaged archive's mode byte has no width: the Opt column stays empty.
        {kArchiveRow,
         "expanded",
         static_cast<DeltaMode>(9),
         10,
         20,
         {"take.kvn", folder, "expanded", "", "10", "20", "200%", "1"}},
        {kWaveRow,
         "canceled",
         DeltaMode::Bits16,
         kNoSize,
         kNoSize,
         {"take.wav", folder, "canceled", "", "", "", "", "0"}},
        {kArchiveRow,
         "ERROR",
         DeltaMode::Auto,
         5,
         kNoSize,
         {"take.kvn", folder, "ERROR", "", "", "", "", "1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.action);
        report.AddReportRow(c.queueRow, c.action, c.mode, c.oldSize, c.newSize);
        EXPECT_EQ(RowOf(reportList, 0), c.row);
    }
    // Newest on top, ids in the order written.
    EXPECT_EQ(reportList.RowCount(), static_cast<int>(std::size(cases)));
    EXPECT_EQ(reportList.ItemData(0), 7);
    EXPECT_EQ(reportList.ItemData(7), 0);
    EXPECT_EQ(reportList.RowText(7, 2), "compressed");
    EXPECT_EQ(queueList.RowCount(), 2);  // the report only reads the queue
}

TEST_F(ReportListTest, NothingToReportWritesNothing) {
    report.AddReportRow(-1, "ERROR", DeltaMode::None, kNoSize, kNoSize);
    report.AddReportRow(2, "ERROR", DeltaMode::None, kNoSize, kNoSize);
    EXPECT_EQ(reportList.RowCount(), 0);
    EXPECT_FALSE(clearButton.isEnabled());
    EXPECT_EQ(report.NextReportId(), 0);
}

TEST_F(ReportListTest, ClearReportKeepsCountingIds) {
    EXPECT_FALSE(clearButton.isEnabled());
    report.AddReportRow(kWaveRow, "compressed", DeltaMode::Bits16, 100, 50);
    report.AddReportRow(kArchiveRow, "expanded", DeltaMode::Bits16, 50, 100);
    EXPECT_TRUE(clearButton.isEnabled());
    EXPECT_EQ(Files(reportList), (std::vector<std::string>{"take.kvn", "take.wav"}));

    report.OnClearReport();
    EXPECT_EQ(reportList.RowCount(), 0);
    EXPECT_FALSE(clearButton.isEnabled());
    report.AddReportRow(kWaveRow, "error", DeltaMode::Bits16, kNoSize, kNoSize);
    EXPECT_TRUE(clearButton.isEnabled());
    EXPECT_EQ(reportList.ItemData(0), 2);
    EXPECT_EQ(reportList.columnCount(), 7);  // clearing keeps the columns
}

}  // namespace
}  // namespace kavrin
