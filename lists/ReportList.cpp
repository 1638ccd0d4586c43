#include "lists/ReportList.h"

#include <QAbstractButton>

#include "jobs/FormatSize.h"
#include "lists/FileListCtrl.h"

namespace kavrin {
namespace {

constexpr ListColumn kReportColumns[] = {
    {"File", 7},     {"Path", 4},     {"Action", 5}, {"Opt", 3},
    {"Old size", 4}, {"New size", 4}, {"Ratio", 3},
};

}  // namespace

CReportList::CReportList(CFileListCtrl& report, const CFileListCtrl& queue,
                         QAbstractButton& clearButton)
    : m_report(report), m_queue(queue), m_clearButton(clearButton) {
    m_clearButton.setEnabled(false);
    m_selectionChanged = QObject::connect(
        m_report.selectionModel(), &QItemSelectionModel::selectionChanged, &m_report,
        [this](const QItemSelection& selected) { OnReportItemChanged(selected); });
}

CReportList::~CReportList() {
    QObject::disconnect(m_selectionChanged);
}

void CReportList::InitReportColumns(const CImageList* images) {
    m_report.InsertColumns(kReportColumns);
    m_report.SetImageList(images);
}

void CReportList::AddReportRow(int queueRow, const std::string& action, DeltaMode mode,
                               uint64_t oldSize, uint64_t newSize) {
    if (queueRow < 0 || queueRow >= m_queue.RowCount()) return;
    m_clearButton.setEnabled(true);
    m_report.InsertRowAtTop(m_queue.RowPath(queueRow), m_queue.RowImage(queueRow),
                            m_nNextReportId++);
    m_report.SetRowText(0, 2, action);
    if (oldSize == kNoSize || newSize == kNoSize) return;
    m_report.SetRowText(0, 3, FormatModeBits(mode));
    m_report.SetRowText(0, 4, FormatSize(oldSize));
    m_report.SetRowText(0, 5, FormatSize(newSize));
    m_report.SetRowText(0, 6, FormatRatio(newSize, oldSize));
}

void CReportList::OnClearReport() {
    m_report.DeleteAllRows();
    m_report.RedrawBody();
    m_clearButton.setEnabled(false);
}

void CReportList::OnReportItemChanged(const QItemSelection& selected) {
    m_report.ShowSelectedRows(selected);
}

}  // namespace kavrin
