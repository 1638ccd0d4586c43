// SPDX-License-Identifier: MIT
#include "lists/FileListCtrl.h"

#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLocale>
#include <QMimeData>
#include <QPaintEvent>
#include <QPainter>
#include <QStyle>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <vector>

#include "jobs/Naming.h"
#include "lists/CompareItems.h"
#include "lists/DisplayText.h"
#include "lists/RowImages.h"

namespace kavrin {

std::string LocalDecimal(std::string number) {
    const QString separator = QLocale().decimalPoint();
    const size_t at = number.find('.');
    if (at != std::string::npos && separator != ".") {
        number.replace(at, 1, separator.toStdString());
    }
    return number;
}

namespace {

// The text alignment of each column, by list kind: names left, the short type or action text
// centred, numbers right.
Qt::Alignment ColumnAlignment(ListKind kind, int column) {
    static constexpr Qt::AlignmentFlag kQueue[] = {Qt::AlignLeft, Qt::AlignLeft, Qt::AlignHCenter,
                                                   Qt::AlignRight, Qt::AlignRight};
    static constexpr Qt::AlignmentFlag kReport[] = {
        Qt::AlignLeft,  Qt::AlignLeft,  Qt::AlignHCenter, Qt::AlignHCenter,
        Qt::AlignRight, Qt::AlignRight, Qt::AlignRight};
    std::span<const Qt::AlignmentFlag> table =
        kind == ListKind::Queue ? std::span<const Qt::AlignmentFlag>(kQueue) : kReport;
    Qt::Alignment horizontal =
        column >= 0 && static_cast<size_t>(column) < table.size() ? table[column] : Qt::AlignLeft;
    return horizontal | Qt::AlignVCenter;
}

// One row. Everything the row knows lives here; the view asks for it through data().
class CFileListItem : public QTreeWidgetItem {
public:
    CFileListItem(std::string path, int image, int32_t itemData)
        : QTreeWidgetItem(UserType), m_path(std::move(path)), m_image(image), m_data(itemData) {
        setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    }

    std::string Text(int column) const {
        if (column == 0 || column == 1) {
            std::string name, folder;
            SplitPath(m_path, &name, &folder);
            return column == 0 ? name : folder;
        }
        if (column < 0 || static_cast<size_t>(column) >= m_texts.size()) return "";
        return m_texts[static_cast<size_t>(column)];
    }

    void SetText(int column, const std::string& text) {
        if (column < 2) return;
        if (m_texts.size() <= static_cast<size_t>(column)) m_texts.resize(column + 1);
        m_texts[static_cast<size_t>(column)] = text;
        emitDataChanged();
    }

    QVariant data(int column, int role) const override {
        const auto* list = static_cast<const CFileListCtrl*>(treeWidget());
        switch (role) {
            case Qt::DisplayRole:
                return DisplayText(Text(column));
            case Qt::ToolTipRole:  // the whole path, for a name or folder cut short
                return column == 0 || column == 1 ? QVariant(DisplayText(m_path)) : QVariant();
            case Qt::DecorationRole:
                if (column == 0 && list != nullptr && list->GetImageList() != nullptr) {
                    return list->GetImageList()->Icon(m_image);
                }
                return {};
            case Qt::TextAlignmentRole:
                return list != nullptr ? QVariant(ColumnAlignment(list->m_kind, column).toInt())
                                       : QVariant();
            default:
                return QTreeWidgetItem::data(column, role);
        }
    }

    // The sort order of a header click: the list's sort column, compared by CompareItems.
    bool operator<(const QTreeWidgetItem& other) const override {
        const auto& that = static_cast<const CFileListItem&>(other);
        const int column = treeWidget() != nullptr ? treeWidget()->sortColumn() : 0;
        return CompareItems(m_data, that.m_data, Text(column), that.Text(column), column) < 0;
    }

    const std::string& Path() const { return m_path; }
    int Image() const { return m_image; }
    int32_t ItemData() const { return m_data; }
    void SetItemData(int32_t itemData) {
        m_data = itemData;
        emitDataChanged();
    }

private:
    std::string m_path;
    int m_image;
    int32_t m_data;
    std::vector<std::string> m_texts;  // by column; columns 0 and 1 come from m_path
};

// Every item of a CFileListCtrl is a CFileListItem; null for a row out of range.
CFileListItem* RowItem(const QTreeWidget& list, int row) {
    return static_cast<CFileListItem*>(list.topLevelItem(row));
}

// The local paths of a drop, as exact bytes, in the order the drag source gave them.
std::vector<std::string> DroppedPaths(const QMimeData* mime) {
    std::vector<std::string> paths;
    if (mime == nullptr || !mime->hasUrls()) return paths;
    for (const QUrl& url : mime->urls()) {
        if (!url.isLocalFile()) continue;
        // The fully encoded path keeps bytes that are not UTF-8 as %XX; decoding the percent
        // signs alone gives back the file system's exact bytes.
        QByteArray bytes = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
        if (!bytes.isEmpty()) paths.push_back(bytes.toStdString());
    }
    return paths;
}

}  // namespace

QColor CaptionShadow(QColor background) {
    auto shade = [](int b) { return b > 64 ? b - 32 : b + 32; };
    return QColor(shade(background.red()), shade(background.green()), shade(background.blue()));
}

QColor CaptionFace(QColor background) {
    auto shade = [](int b) { return b > 64 ? b - 16 : b + 16; };
    return QColor(shade(background.red()), shade(background.green()), shade(background.blue()));
}

namespace {

QFont CaptionFont() {
    QFont font;
    font.setPixelSize(40);
    font.setBold(true);
    return font;
}

// The relative luminance of a colour (sRGB channels made linear, then weighted).
double Luminance(QColor colour) {
    auto linear = [](double channel) {
        return channel <= 0.03928 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) +
           0.0722 * linear(colour.blueF());
}

}  // namespace

double ContrastRatio(QColor a, QColor b) {
    const double la = Luminance(a), lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor LegibleFadedColour(QColor faded, QColor text, QColor base) {
    constexpr double kLegible = 3.0;
    constexpr int kSteps = 64;
    for (int step = 0; step <= kSteps; ++step) {
        auto mix = [step](int from, int to) { return from + (to - from) * step / kSteps; };
        const QColor colour(mix(faded.red(), text.red()), mix(faded.green(), text.green()),
                            mix(faded.blue(), text.blue()));
        if (ContrastRatio(colour, base) >= kLegible) return colour;
    }
    return text;  // a palette whose text itself is faint: nothing reads better than the text
}

QString CellText(const QFontMetrics& metrics, const QString& text, int column, int width) {
    return metrics.elidedText(text, column <= 1 ? Qt::ElideMiddle : Qt::ElideRight, width);
}

CFileListCtrl::CFileListCtrl(ListKind kind, QWidget* parent)
    : QTreeWidget(parent),
      m_kind(kind),
      m_crBack(palette().color(QPalette::Base)),
      m_crText(palette().color(QPalette::Text)),
      m_crSelText(palette().color(QPalette::Highlight)),
      m_crBusyText(LegibleFadedColour(palette().color(QPalette::Button),
                                      palette().color(QPalette::Text), m_crBack)),
      m_crShadow(CaptionShadow(m_crBack)),
      m_crFace(CaptionFace(m_crBack)),
      m_captionFont(CaptionFont()) {
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSortingEnabled(false);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(kind == ListKind::Queue ? QAbstractItemView::ExtendedSelection
                                             : QAbstractItemView::SingleSelection);
    setTextElideMode(Qt::ElideMiddle);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    header()->setSectionsClickable(true);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // The rows are drawn over the caption: every change of the columns repaints the whole body.
    connect(header(), &QHeaderView::sectionResized, this, [this] { RedrawBody(); });
    connect(header(), &QHeaderView::sectionMoved, this, [this] { RedrawBody(); });
    connect(header(), &QHeaderView::sectionClicked, this,
            [this](int column) { OnColumnClick(column); });
}

const char* CFileListCtrl::Caption() const {
    return m_kind == ListKind::Queue ? QT_TRANSLATE_NOOP("CFileListCtrl", "Drop Target")
                                     : QT_TRANSLATE_NOOP("CFileListCtrl", "Report");
}

QColor CFileListCtrl::RowTextColour(int32_t itemData, bool selected) const {
    if (itemData < 0) return m_crBusyText;
    return selected ? m_crSelText : m_crText;
}

void CFileListCtrl::OnColumnClick(int column) {
    // Always ascending, no sort mark in the header. The items compare from themselves, so the
    // sort never has to search the list.
    sortItems(column, Qt::AscendingOrder);
    RedrawBody();
}

void CFileListCtrl::paintEvent(QPaintEvent* event) {
    {
        QPainter painter(viewport());
        painter.fillRect(event->rect(), m_crBack);
        // The whole caption, centred, whatever part is being repainted: the shadow, then the
        // face 3 pixels up and to the left.
        painter.setFont(m_captionFont);
        const QRect area = viewport()->rect();
        const QString caption = QCoreApplication::translate("CFileListCtrl", Caption());
        painter.setPen(m_crShadow);
        painter.drawText(area, Qt::AlignCenter | Qt::TextSingleLine, caption);
        painter.setPen(m_crFace);
        painter.drawText(area.translated(-3, -3), Qt::AlignCenter | Qt::TextSingleLine, caption);
    }
    QTreeWidget::paintEvent(event);
}

void CFileListCtrl::drawRow(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    const auto* item = static_cast<const CFileListItem*>(itemFromIndex(index));
    if (item == nullptr) return;
    painter->save();
    painter->setPen(RowTextColour(item->ItemData(), selectionModel()->isSelected(index)));
    painter->setFont(option.font);
    const QRect row = option.rect;
    const int origin = header()->sectionViewportPosition(0);
    if (m_images != nullptr) {
        m_images->Icon(item->Image())
            .paint(painter, QRect(QPoint(origin, row.top()), QSize(kRowImageSize, kRowImageSize)));
    }
    for (int column = 0; column < columnCount(); ++column) {
        const std::string text = item->Text(column);
        if (text.empty() || header()->isSectionHidden(column)) continue;
        const int left = header()->sectionViewportPosition(column) + (column == 0 ? 18 : 3);
        const int right =
            header()->sectionViewportPosition(column) + header()->sectionSize(column) - 3;
        const QRect cell(QPoint(left, row.top() + 1), QPoint(right, row.bottom() - 1));
        if (cell.width() <= 0) continue;
        painter->drawText(cell,
                          static_cast<int>(ColumnAlignment(m_kind, column)) | Qt::TextSingleLine,
                          CellText(option.fontMetrics, DisplayText(text), column, cell.width()));
    }
    painter->restore();
}

void CFileListCtrl::scrollContentsBy(int dx, int dy) {
    QTreeWidget::scrollContentsBy(dx, dy);
    RedrawBody();
}

void CFileListCtrl::resizeEvent(QResizeEvent* event) {
    QTreeWidget::resizeEvent(event);
    RedrawBody();
}

void CFileListCtrl::InsertColumns(std::span<const ListColumn> columns) {
    QStringList headers;
    for (const ListColumn& column : columns) {
        headers << QCoreApplication::translate("CFileListCtrl", column.header);
    }
    setColumnCount(static_cast<int>(columns.size()));
    setHeaderLabels(headers);
    const int width =
        contentsRect().width() - style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    // Each column gets its share of the room, but never less than its header needs (a
    // translated header may be longer than the English one); what that costs comes out of the
    // widest column.
    std::vector<int> widths(columns.size());
    size_t widest = 0;
    int extra = 0;
    for (size_t i = 0; i < columns.size(); ++i) {
        widths[i] = width * columns[i].share / 30;
        if (columns[i].share > columns[widest].share) widest = i;
        const int least = header()->sectionSizeHint(static_cast<int>(i));
        if (widths[i] < least) {
            extra += least - widths[i];
            widths[i] = least;
        }
    }
    widths[widest] =
        std::max(header()->sectionSizeHint(static_cast<int>(widest)), widths[widest] - extra);
    for (size_t i = 0; i < columns.size(); ++i) setColumnWidth(static_cast<int>(i), widths[i]);
}

void CFileListCtrl::SetImageList(const CImageList* images) {
    m_images = images;
    if (images != nullptr) setIconSize(QSize(kRowImageSize, kRowImageSize));
    RedrawBody();
}

int CFileListCtrl::RowCount() const {
    return topLevelItemCount();
}

void CFileListCtrl::InsertRowAtTop(const std::string& path, int image, int32_t itemData) {
    insertTopLevelItem(0, new CFileListItem(path, image, itemData));
}

void CFileListCtrl::SetRowText(int row, int column, const std::string& text) {
    if (CFileListItem* item = RowItem(*this, row)) item->SetText(column, text);
}

std::string CFileListCtrl::RowText(int row, int column) const {
    const CFileListItem* item = RowItem(*this, row);
    return item != nullptr ? item->Text(column) : std::string();
}

std::string CFileListCtrl::RowPath(int row) const {
    const CFileListItem* item = RowItem(*this, row);
    return item != nullptr ? item->Path() : std::string();
}

int CFileListCtrl::RowImage(int row) const {
    const CFileListItem* item = RowItem(*this, row);
    return item != nullptr ? item->Image() : kPlainFileImage;
}

int32_t CFileListCtrl::ItemData(int row) const {
    const CFileListItem* item = RowItem(*this, row);
    return item != nullptr ? item->ItemData() : 0;
}

void CFileListCtrl::SetItemData(int row, int32_t itemData) {
    if (CFileListItem* item = RowItem(*this, row)) item->SetItemData(itemData);
}

int CFileListCtrl::FindItemData(int32_t itemData) const {
    for (int row = 0; row < RowCount(); ++row) {
        if (RowItem(*this, row)->ItemData() == itemData) return row;
    }
    return -1;
}

void CFileListCtrl::DeleteRows(int first, int count) {
    if (first < 0 || count <= 0 || first + count > RowCount()) return;
    model()->removeRows(first, count);
}

void CFileListCtrl::DeleteAllRows() {
    clear();
}

std::vector<int> CFileListCtrl::SelectedRows() const {
    std::vector<int> rows;
    for (const QModelIndex& index : selectionModel()->selectedRows()) rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

void CFileListCtrl::RedrawBody() {
    viewport()->update();
}

void CFileListCtrl::ShowSelectedRows(const QItemSelection& selected) {
    if (selected.isEmpty()) return;
    for (const QModelIndex& index : selected.indexes()) {
        if (index.column() == 0) scrollTo(index, QAbstractItemView::EnsureVisible);
    }
    RedrawBody();
}

void CFileListCtrl::AcceptDroppedFiles(std::function<void(const std::string& path)> addToQueue) {
    m_onDroppedFile = std::move(addToQueue);
    const bool accept = static_cast<bool>(m_onDroppedFile);
    setAcceptDrops(accept);
    viewport()->setAcceptDrops(accept);
    setDragDropMode(QAbstractItemView::DropOnly);
    setDropIndicatorShown(false);
}

// A drop is taken as a copy, never as a move: a file manager deletes the source of a move.
void CFileListCtrl::dragEnterEvent(QDragEnterEvent* event) {
    if (m_onDroppedFile && (event->possibleActions() & Qt::CopyAction) &&
        !DroppedPaths(event->mimeData()).empty()) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void CFileListCtrl::dragMoveEvent(QDragMoveEvent* event) {
    if (m_onDroppedFile && (event->possibleActions() & Qt::CopyAction)) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void CFileListCtrl::dropEvent(QDropEvent* event) {
    std::vector<std::string> paths = DroppedPaths(event->mimeData());
    if (!m_onDroppedFile || !(event->possibleActions() & Qt::CopyAction) || paths.empty()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    QTimer::singleShot(0, this, [this, paths = std::move(paths)] {
        for (const std::string& path : paths) {
            if (m_onDroppedFile) m_onDroppedFile(path);
        }
    });
}

}  // namespace kavrin
