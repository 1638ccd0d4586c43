// SPDX-License-Identifier: MIT
#include "lists/ReportList.h"

#include <QAbstractButton>
#include <QCoreApplication>

#include "jobs/FormatSize.h"
#include "lists/FileListCtrl.h"

namespace kavrin {
namespace {

constexpr ListColumn kReportColumns[] = {
    {QT_TRANSLATE_NOOP("CFileListCtrl", "File"), 7},
    {QT_TRANSLATE_NOOP("CFileListCtrl", "Path"), 4},
    {QT_TRANSLATE_NOOP("CFileListCtrl", "Action"), 5},
    {QT_TRANSLATE_NOOP("CFileListCtrl", "Opt"), 3},
    {QT_TRANSLATE_NOOP("CFileListCtrl", "Old size"), 4},
    {QT_TRANSLATE_NOOP("CFileListCtrl", "New size"), 4},
    {QT_TRANSLATE_NOOP("CFileListCtrl", "Ratio"), 3},
};

// The dispatcher's action texts, as the report shows them in the user's language.
[[maybe_unused]] constexpr const char* kActions[] = {
    QT_TRANSLATE_NOOP("CReportList", "compressed"), QT_TRANSLATE_NOOP("CReportList", "expanded"),
    QT_TRANSLATE_NOOP("CReportList", "canceled"),   QT_TRANSLATE_NOOP("CReportList", "error"),
    QT_TRANSLATE_NOOP("CReportList", "ERROR"),
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
    m_report.SetRowText(
        0, 2, QCoreApplication::translate("CReportList", action.c_str()).toUtf8().toStdString());
    if (oldSize == kNoSize || newSize == kNoSize) return;
    m_report.SetRowText(0, 3, FormatModeBits(mode));
    m_report.SetRowText(0, 4, LocalDecimal(FormatSize(oldSize)));
    m_report.SetRowText(0, 5, LocalDecimal(FormatSize(newSize)));
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
