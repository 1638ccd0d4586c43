// SPDX-License-Identifier: MIT
#include "app/ArchiverDlg.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QProgressBar>

#include "app/DialogUnits.h"
#include "lists/FileListCtrl.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TestSupport.h"

namespace kavrin {
namespace {

TEST(DialogUnitsTest, ScalesByTheFontAndRounds) {
    DialogUnits units(6, 13);
    EXPECT_EQ(units.ToPixels(4, 4, 343, 109), QRect(6, 7, 515, 177));
    EXPECT_EQ(units.X(363), 545);  // 544.5 rounds up
    EXPECT_EQ(units.Y(231), 375);  // 375.375 rounds down
    QFont big;
    big.setPointSize(20);
    QFont small;
    small.setPointSize(8);
    EXPECT_GT(DialogUnits(big).X(100), DialogUnits(small).X(100));
    EXPECT_GT(DialogUnits(big).Y(100), DialogUnits(small).Y(100));
}

TEST(ArchiverDlgTest, LaysOutEveryControlInsideTheWindowWithoutOverlap) {
    test::ScriptedPrompt prompt;
    CArchiverDlg window(&prompt);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Tellmark Kavrin"));
    const DialogUnits units(window.font());
    const QSize size(units.X(kDialogWidth), units.Y(kDialogHeight));
    EXPECT_EQ(window.minimumSize(), size);
    EXPECT_EQ(window.maximumSize(), size);

    std::vector<QRect> placed;
    for (const DialogItem& item : kDialogItems) {
        SCOPED_TRACE(item.id);
        QWidget* control = window.GetDlgItem(item.id);
        ASSERT_NE(control, nullptr);
        const QRect rect = control->geometry();
        EXPECT_EQ(rect, units.ToPixels(item.x, item.y, item.width, item.height));
        EXPECT_TRUE(QRect(QPoint(0, 0), size).contains(rect));
        for (const QRect& other : placed) EXPECT_FALSE(rect.intersects(other)) << other.x();
        placed.push_back(rect);
    }
    EXPECT_EQ(window.GetDlgItem(999), nullptr);
}

TEST(ArchiverDlgTest, QueueAndReportWorkThroughTheirControls) {
    test::TempDir dir;
    test::WriteFile(dir / "take.wav", std::string(2048, 'x'));
    test::ScriptedPrompt prompt;
    CArchiverDlg window(&prompt);
    auto& queueList = *static_cast<CFileListCtrl*>(window.GetDlgItem(IDC_QUEUE_LIST));
    auto& reportList = *static_cast<CFileListCtrl*>(window.GetDlgItem(IDC_REPORT_LIST));
    auto* deleteFiles = static_cast<QAbstractButton*>(window.GetDlgItem(IDC_DELETE_FILES));
    auto* clearReport = static_cast<QAbstractButton*>(window.GetDlgItem(IDC_CLEAR_REPORT));
    auto* gauge = static_cast<QProgressBar*>(window.GetDlgItem(IDC_QUEUE_GAUGE));

    // As the window opens: both buttons disabled, the gauge empty, drops on the queue only.
    EXPECT_FALSE(deleteFiles->isEnabled());
    EXPECT_FALSE(clearReport->isEnabled());
    EXPECT_EQ(gauge->value(), gauge->minimum());
    EXPECT_TRUE(queueList.viewport()->acceptDrops());
    EXPECT_FALSE(reportList.viewport()->acceptDrops());
    EXPECT_EQ(queueList.columnCount(), 5);
    EXPECT_EQ(reportList.columnCount(), 7);
    EXPECT_EQ(queueList.selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(reportList.selectionMode(), QAbstractItemView::SingleSelection);

    window.Queue().SetAddFilesChooser([&](int) {
        return std::optional<AddFilesChoice>(AddFilesChoice{0, {dir / "take.wav", dir / "gone"}});
    });
    static_cast<QAbstractButton*>(window.GetDlgItem(IDC_ADD_FILES))->click();
    EXPECT_EQ(queueList.RowCount(), 1);
    EXPECT_EQ(queueList.RowText(0, 3), "2.0K");
    EXPECT_EQ(prompt.shown.size(), 1u);  // the missing file
    EXPECT_EQ(gauge->value(), 1);

    window.Report().AddReportRow(0, "compressed", DeltaMode::Bits16, 2048, 1024);
    EXPECT_TRUE(clearReport->isEnabled());
    clearReport->click();
    EXPECT_EQ(reportList.RowCount(), 0);

    queueList.selectAll();
    EXPECT_TRUE(deleteFiles->isEnabled());
    deleteFiles->click();
    EXPECT_EQ(queueList.RowCount(), 0);
    EXPECT_EQ(gauge->value(), 0);
}

TEST(ArchiverDlgTest, ClosesCleanlyWhileShowingRows) {
    test::TempDir dir;
    test::WriteFile(dir / "take.wav", "x");
    test::ScriptedPrompt prompt;
    {
        CArchiverDlg window(&prompt);
        window.show();
        QCoreApplication::processEvents();
        window.AddToQueue(dir / "take.wav");
        window.Report().AddReportRow(0, "canceled", DeltaMode::None, kNoSize, kNoSize);
        // Closing lays the shown lists out once more: their rows must not reach anything the
        // window has already let go of.
    }
    EXPECT_EQ(prompt.shown, std::vector<std::string>{});
}

TEST(ArchiverDlgTest, ColumnsFillTheListBesideItsScrollBar) {
    test::ScriptedPrompt prompt;
    CArchiverDlg window(&prompt);
    for (int id : {IDC_QUEUE_LIST, IDC_REPORT_LIST}) {
        auto& list = *static_cast<CFileListCtrl*>(window.GetDlgItem(id));
        int total = 0;
        for (int column = 0; column < list.columnCount(); ++column) {
            EXPECT_GT(list.columnWidth(column), 0);
            total += list.columnWidth(column);
        }
        const int scrollBar = list.style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, &list);
        const int room = list.contentsRect().width() - scrollBar;
        // Each column is rounded down on its own, so a few pixels may stay free.
        EXPECT_LE(total, room) << id;
        EXPECT_GE(total, room - list.columnCount()) << id;
    }
}

}  // namespace
}  // namespace kavrin
