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
// The row images belong to the owner and must outlive the list. Window thread only.
#pragma once

#include <QTreeWidget>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "jobs/JobRecord.h"

namespace kavrin {

class CImageList;

enum class ListKind : int32_t { Queue = 0, Report = 1 };

// A column: its header and its share of the list's width, in thirtieths.
struct ListColumn {
    const char* header;
    int share;
};

class CFileListCtrl : public QTreeWidget {
public:
    // The queue allows several selected rows, the report one.
    explicit CFileListCtrl(ListKind kind, QWidget* parent = nullptr);

    const ListKind m_kind;

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
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    const CImageList* m_images = nullptr;
    std::function<void(const std::string& path)> m_onDroppedFile;
};

}  // namespace kavrin
