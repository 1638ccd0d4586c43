// SPDX-License-Identifier: MIT
// How both lists sort on a header click and how they draw: caption, colours, rows.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QImage>
#include <QPalette>
#include <algorithm>
#include <numeric>

#include "lists/CompareItems.h"
#include "tests/lists/QueueFixture.h"
#include "tests/support/WidgetTestSupport.h"

namespace kavrin {
namespace {

// The texts a list of (text, item data) rows shows after sorting them by `column`.
std::vector<std::string> Sorted(std::vector<std::pair<std::string, int32_t>> rows, int column) {
    std::sort(rows.begin(), rows.end(), [column](const auto& x, const auto& y) {
        return CompareItems(x.second, y.second, x.first, y.first, column) < 0;
    });
    std::vector<std::string> texts;
    for (const auto& row : rows) texts.push_back(row.first);
    return texts;
}

TEST(CompareItemsTest, OrdersOfEachKindOfColumn) {
    // Names: bytes, capitals first.
    EXPECT_EQ(Sorted({{"b.wav", 0}, {"B.wav", 1}, {"a.wav", 2}}, 0),
              (std::vector<std::string>{"B.wav", "a.wav", "b.wav"}));
    EXPECT_EQ(Sorted({{"ab", 0}, {"a", 1}, {"\xc3\xa9", 2}, {"z", 3}}, 1),
              (std::vector<std::string>{"a", "ab", "z", "\xc3\xa9"}));
    // Sizes by their units; equal shown values keep the earlier row first.
    EXPECT_EQ(Sorted({{"1.0K", 0}, {"1023", 1}, {"1.000M", 2}}, 3),
              (std::vector<std::string>{"1023", "1.0K", "1.000M"}));
    EXPECT_EQ(Sorted({{"1.000M", 5}, {"1000.0K", 7}}, 3),
              (std::vector<std::string>{"1.000M", "1000.0K"}));
    EXPECT_EQ(Sorted({{"1000.0K", 5}, {"1.000M", 7}}, 3),
              (std::vector<std::string>{"1000.0K", "1.000M"}));
    // Ratios with an empty one first; filter widths by their number.
    EXPECT_EQ(Sorted({{"73%", 0}, {"", 1}, {"100%", 2}, {"9%", 3}}, 6),
              (std::vector<std::string>{"", "9%", "73%", "100%"}));
    EXPECT_EQ(Sorted({{"32-bit", 0}, {"0-bit", 1}, {"16-bit", 2}, {"8-bit", 3}, {"24-bit", 4}}, 3),
              (std::vector<std::string>{"0-bit", "8-bit", "16-bit", "24-bit", "32-bit"}));
    // The row in progress goes last in every column.
    const int32_t busy = static_cast<int32_t>(InProgressBit | 4);
    EXPECT_EQ(Sorted({{"a", busy}, {"z", 1}, {"m", 2}}, 0),
              (std::vector<std::string>{"m", "z", "a"}));
    EXPECT_EQ(CompareItems(busy, 3, "", "", 4), 1);
    EXPECT_EQ(CompareItems(3, busy, "", "", 4), -1);
    EXPECT_DOUBLE_EQ(SortValue("12.5K"), 12800);
    EXPECT_DOUBLE_EQ(SortValue("2.000M"), 2048000);
    EXPECT_DOUBLE_EQ(SortValue("12,5K"), 12800);  // as German writes it, whatever the C locale
    EXPECT_DOUBLE_EQ(SortValue("100%"), 100);
}

class SortAndDrawTest : public test::QueueFixture {
protected:
    // Adds files whose sizes are given, in this order (the last ends up on top).
    void AddSized(const std::vector<std::pair<std::string, uint64_t>>& files) {
        for (const auto& [name, size] : files) queue.AddToQueue(MakeFile(name, size));
    }
};

TEST_F(SortAndDrawTest, AHeaderClickSortsTheRowsAscendingEveryTime) {
    AddSized({{"b.wav", 1536}, {"B.wav", 1023}, {"a.wav", 1530}, {"c.wav", 1024000}});
    queueList.OnColumnClick(0);
    EXPECT_EQ(Files(queueList), (std::vector<std::string>{"B.wav", "a.wav", "b.wav", "c.wav"}));
    // By Size: 1536 and 1530 bytes both show "1.5K"; b.wav was added first.
    emit queueList.header()->sectionClicked(3);
    EXPECT_EQ(Files(queueList), (std::vector<std::string>{"B.wav", "b.wav", "a.wav", "c.wav"}));
    emit queueList.header()->sectionClicked(3);  // no toggle
    EXPECT_EQ(Files(queueList), (std::vector<std::string>{"B.wav", "b.wav", "a.wav", "c.wav"}));
    EXPECT_FALSE(queueList.header()->isSortIndicatorShown());

    // A row added after a sort still goes to the top.
    AddSized({{"new.wav", 5}});
    EXPECT_EQ(Files(queueList).front(), "new.wav");

    // The row whose job runs stays at the bottom, so the next job is the row above it.
    const int row = queueList.FindItemData(1);  // B.wav
    queueList.SetItemData(row, static_cast<int32_t>(InProgressBit | 1));
    queueList.OnColumnClick(0);
    EXPECT_EQ(Files(queueList),
              (std::vector<std::string>{"a.wav", "b.wav", "c.wav", "new.wav", "B.wav"}));
}

TEST_F(SortAndDrawTest, SortingKeepsTheSelection) {
    AddSized({{"c.wav", 1}, {"a.wav", 2}, {"b.wav", 3}});
    queueList.topLevelItem(0)->setSelected(true);  // b.wav
    queueList.OnColumnClick(0);
    EXPECT_EQ(queueList.SelectedRows(), std::vector<int>{1});
}

TEST(CaptionColourTest, EmbossFromTheBackground) {
    EXPECT_EQ(CaptionShadow(QColor(255, 255, 255)), QColor(223, 223, 223));
    EXPECT_EQ(CaptionFace(QColor(255, 255, 255)), QColor(239, 239, 239));
    EXPECT_EQ(CaptionShadow(QColor(0, 0, 0)), QColor(32, 32, 32));
    EXPECT_EQ(CaptionFace(QColor(0, 0, 0)), QColor(16, 16, 16));
    EXPECT_EQ(CaptionShadow(QColor(64, 65, 200)), QColor(96, 33, 168));
}

// How many pixels of `list`'s body show exactly `colour`.
int CountColour(CFileListCtrl& list, QColor colour) {
    return test::CountColour(*list.viewport(), colour);
}

TEST(ListDrawingTest, CaptionAndRowColoursShowInTheList) {
    for (QColor base : {QColor(255, 255, 255), QColor(0, 0, 0)}) {
        const QPalette original = QApplication::palette();
        QPalette palette = original;
        palette.setColor(QPalette::Base, base);
        palette.setColor(QPalette::Text, QColor(1, 2, 3));
        palette.setColor(QPalette::Highlight, QColor(200, 0, 0));
        palette.setColor(QPalette::Button, QColor(0, 150, 0));
        QApplication::setPalette(palette);
        CFileListCtrl list(ListKind::Queue);
        QApplication::setPalette(original);
        list.resize(500, 200);
        static constexpr ListColumn kColumns[] = {{"File", 15}, {"Path", 15}};
        list.InsertColumns(kColumns);
        // An empty list shows its caption, embossed.
        EXPECT_GT(CountColour(list, CaptionFace(base)), 100) << base.name().toStdString();
        EXPECT_GT(CountColour(list, CaptionShadow(base)), 20) << base.name().toStdString();

        // Rows: the plain text colour, the highlight colour when selected, the button face
        // colour for the row in progress, even when selected; never a selection bar.
        list.InsertRowAtTop("/in/plain-plain-plain.wav", 0, 0);
        list.InsertRowAtTop("/in/chosen-chosen-chosen.wav", 0, 1);
        list.InsertRowAtTop("/in/busy-busy-busy.wav", 0, static_cast<int32_t>(InProgressBit | 2));
        list.topLevelItem(1)->setSelected(true);
        list.topLevelItem(0)->setSelected(true);
        EXPECT_GT(CountColour(list, QColor(1, 2, 3)), 5);
        EXPECT_GT(CountColour(list, QColor(200, 0, 0)), 5);
        EXPECT_GT(CountColour(list, QColor(0, 150, 0)), 5);
        EXPECT_EQ(list.RowTextColour(static_cast<int32_t>(InProgressBit | 2), true),
                  QColor(0, 150, 0));
        EXPECT_EQ(list.RowTextColour(1, true), QColor(200, 0, 0));
        EXPECT_EQ(list.RowTextColour(0, false), QColor(1, 2, 3));
    }
    EXPECT_STREQ(CFileListCtrl(ListKind::Report).Caption(), "Report");
}

// A long name loses its middle, keeping its start and extension; the tooltip has the path.
TEST(ListDrawingTest, LongNamesLoseTheirMiddleAndTheTooltipHoldsThePath) {
    const QFontMetrics metrics(QApplication::font());
    const QString name = QStringLiteral("Pad.24bit.Stereo.Long.Take.Number.Seven.wav");
    const int narrow = metrics.horizontalAdvance(name) / 2;
    for (int column : {0, 1}) {
        const QString shown = CellText(metrics, name, column, narrow);
        EXPECT_TRUE(shown.startsWith("Pad.")) << shown.toStdString();
        EXPECT_TRUE(shown.endsWith(".wav")) << shown.toStdString();
        EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
        EXPECT_LE(metrics.horizontalAdvance(shown), narrow);
    }
    EXPECT_TRUE(CellText(metrics, name, 4, narrow).endsWith(QChar(0x2026)));
    EXPECT_EQ(CellText(metrics, name, 0, metrics.horizontalAdvance(name) + 1), name);

    CFileListCtrl list(ListKind::Queue);
    static constexpr ListColumn kColumns[] = {{"File", 15}, {"Path", 15}};
    list.InsertColumns(kColumns);
    list.InsertRowAtTop("/in/" + name.toStdString(), 0, 0);
    EXPECT_EQ(list.topLevelItem(0)->data(0, Qt::ToolTipRole).toString(), "/in/" + name);
}

TEST(ListDrawingTest, TheRowInProgressIsFadedYetLegibleOnLightAndDarkPalettes) {
    struct Case {
        QColor base, text, button;
    };
    // The light palette's button face is nearly white; the dark one's nearly its base.
    for (const Case& c :
         {Case{QColor(255, 255, 255), QColor(0, 0, 0), QColor(0xef, 0xef, 0xef)},
          Case{QColor(0x2a, 0x2a, 0x2a), QColor(255, 255, 255), QColor(0x35, 0x35, 0x35)}}) {
        const QPalette original = QApplication::palette();
        QPalette palette = original;
        palette.setColor(QPalette::Base, c.base);
        palette.setColor(QPalette::Text, c.text);
        palette.setColor(QPalette::Button, c.button);
        QApplication::setPalette(palette);
        CFileListCtrl list(ListKind::Queue);
        QApplication::setPalette(original);
        const QColor busy = list.RowTextColour(static_cast<int32_t>(InProgressBit | 1), false);
        SCOPED_TRACE(busy.name().toStdString());
        EXPECT_GE(ContrastRatio(busy, c.base), 3.0);
        EXPECT_LT(ContrastRatio(busy, c.base), 0.5 * ContrastRatio(c.text, c.base));  // faded
    }
    EXPECT_NEAR(ContrastRatio(QColor(255, 255, 255), QColor(0, 0, 0)), 21.0, 1e-9);
    EXPECT_NEAR(ContrastRatio(QColor(0xef, 0xef, 0xef), QColor(255, 255, 255)), 1.15, 0.01);
}

}  // namespace
}  // namespace kavrin
