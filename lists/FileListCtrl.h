// SPDX-License-Identifier: MIT
// The list control of both lists of the main window: the input queue and the report.
//
// A report-view list whose rows each hold, once and nowhere else: their item data (a 32-bit
// id; on the queue, `InProgressBit` marks the row whose job runs), the exact bytes of the
// file's path (the File and Path columns show its name and its folder, decoded for display
// only), the index of their picture in the shared row images, and the texts of the other
// columns. Rows are addressed by index, 0 being the top; a row index out of range reads as an
// empty row and changes nothing.
//
// The queue list also takes files dropped on it: each local path, as exact bytes and in the
// order of the drop, goes to the owner's callback once the drop itself has ended, so the
// program that started the drag never waits on a message box of ours.
//
// The list draws its rows itself: no selection bar and no focus frame, the state shows as the
// text colour alone (plain, selected, or greyed for the row whose job runs); the row picture at
// the left; column 0's text 18 pixels in. Behind the rows, a large embossed caption names the
// list ("Drop Target", "Report"). Because the caption sits behind the rows, the whole body is
// repainted after every scroll, resize and column change. A click on a column header sorts the
// rows ascending (CompareItems.h); rows added later still go to the top.
//
// The row images belong to the owner and must outlive the list. Window thread only.
#pragma once

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QTreeWidget>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "jobs/RowTag.h"

namespace kavrin {

class CImageList;

enum class ListKind : int32_t { Queue = 0, Report = 1 };

// A number written with a decimal point ("40.896M") with the separator of the user's language
// (QLocale's: "40,896M" in German), as the lists show sizes.
std::string LocalDecimal(std::string number);

// A column: its header (a source text of the "CFileListCtrl" context, shown translated) and its
// share of the list's width, in thirtieths.
struct ListColumn {
    const char* header;
    int share;
};

// The caption's embossing: each of the red, green and blue bytes b of the background becomes
// b - 32 (shadow) or b - 16 (face) when b > 64, else b + 32 or b + 16.
QColor CaptionShadow(QColor background);
QColor CaptionFace(QColor background);

// The contrast of two colours as the web's accessibility guidelines define it: (L1 + 0.05) /
// (L2 + 0.05) of their relative luminances, the lighter over the darker; 1 to 21.
double ContrastRatio(QColor a, QColor b);

// The faded text of the row whose job runs: `faded` (the palette's button face) when it stands
// out from `base` by at least 3:1, otherwise the first colour on the way from `faded` towards
// `text` that does. So it reads greyed beside plain rows, yet legible, in light and dark
// palettes alike.
QColor LegibleFadedColour(QColor faded, QColor text, QColor base);

// What a cell `width` pixels wide shows of `text`: all of it when it fits, else a name or
// folder (columns 0 and 1) without its middle, as file managers show it, so its start and its
// extension stay (the row's tooltip holds the whole path); other columns lose their end.
QString CellText(const QFontMetrics& metrics, const QString& text, int column, int width);

class CFileListCtrl : public QTreeWidget {
public:
    // The queue allows several selected rows, the report one. The colours are taken from the
    // palette now, once.
    explicit CFileListCtrl(ListKind kind, QWidget* parent = nullptr);

    const ListKind m_kind;
    // The caption behind the rows: "Drop Target" or "Report" (source texts; shown translated).
    const char* Caption() const;
    // The text colour of a row with this item data.
    QColor RowTextColour(int32_t itemData, bool selected) const;
    // Sorts the rows ascending by `column`, as a click on its header does.
    void OnColumnClick(int column);

    // Creates the columns. Each gets (client width - scroll bar width) x share / 30 pixels, so
    // the columns fill the list exactly when its vertical scroll bar shows. The user may
    // resize them afterwards.
    void InsertColumns(std::span<const ListColumn> columns);
    // The pictures rows show in their first column (not owned; may be null).
    void SetImageList(const CImageList* images);
    const CImageList* GetImageList() const { return m_images; }

    int RowCount() const;
    // Inserts a row at the top (index 0) for the file at `path`.
    void InsertRowAtTop(const std::string& path, int image, int32_t itemData);
    // Sets the text of a column from 2 on; columns 0 and 1 always show the path's parts.
    void SetRowText(int row, int column, const std::string& text);
    // The bytes a column shows: the file name, its folder (no trailing '/'), or the text set.
    std::string RowText(int row, int column) const;
    std::string RowPath(int row) const;
    std::string RowFileName(int row) const { return RowText(row, 0); }
    std::string RowFolder(int row) const { return RowText(row, 1); }
    int RowImage(int row) const;
    int32_t ItemData(int row) const;
    void SetItemData(int row, int32_t itemData);
    // The index of the row with this item data, or -1.
    int FindItemData(int32_t itemData) const;
    void DeleteRow(int row) { DeleteRows(row, 1); }
    // Deletes `count` rows from `first` on, at once.
    void DeleteRows(int first, int count);
    void DeleteAllRows();
    // The selected rows' indexes, top first.
    std::vector<int> SelectedRows() const;
    // Repaints the rows below the header.
    void RedrawBody();
    // After a selection change: scrolls each newly selected row fully into view, then repaints.
    void ShowSelectedRows(const QItemSelection& selected);

    // Accepts files dropped on the list and hands each one's path to `addToQueue`; an empty
    // function stops accepting them.
    void AcceptDroppedFiles(std::function<void(const std::string& path)> addToQueue);

protected:
    void drawRow(QPainter* painter, const QStyleOptionViewItem& option,
                 const QModelIndex& index) const override;
    void paintEvent(QPaintEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    const QColor m_crBack;      // background: the palette's base
    const QColor m_crText;      // a plain row
    const QColor m_crSelText;   // a selected row: the highlight colour
    const QColor m_crBusyText;  // the row whose job runs: faded, yet legible on m_crBack
    const QColor m_crShadow;
    const QColor m_crFace;
    const QFont m_captionFont;  // bold, 40 pixels high
    const CImageList* m_images = nullptr;
    std::function<void(const std::string& path)> m_onDroppedFile;
};

}  // namespace kavrin
