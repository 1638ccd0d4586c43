// SPDX-License-Identifier: MIT
// The report: the lower list of the main window, one row for every job that ended and every
// queue row whose job could not start, the newest on top, kept until Clear Report.
//
// A report row takes its file, folder and picture from the queue row the job came from, so the
// dispatcher writes it while that queue row still exists. Report ids count up from 0 for the
// life of the report; Clear Report does not reset them.
//
// The report does not own the widgets; they must outlive it. Window thread only.
#pragma once

#include <QItemSelection>
#include <cstdint>
#include <string>

#include "engine/format/DeltaFilter.h"
#include "jobs/FormatSize.h"

class QAbstractButton;

namespace kavrin {

class CFileListCtrl;
class CImageList;

class CReportList {
public:
    // Leaves the Clear Report button disabled.
    CReportList(CFileListCtrl& report, const CFileListCtrl& queue, QAbstractButton& clearButton);
    // Lets go of the report list: no selection change reaches the report afterwards.
    ~CReportList();
    CReportList(const CReportList&) = delete;
    CReportList& operator=(const CReportList&) = delete;

    // Creates the File, Path, Action, Opt, Old size, New size and Ratio columns, then shows
    // `images` on the rows.
    void InitReportColumns(const CImageList* images);

    // Writes a row at the top for queue row `queueRow`. With both sizes given (not kNoSize) it
    // also shows the filter width of `mode`, both sizes and new x 100 / old (empty when old is
    // 0); otherwise only File, Path and the action. A queue row that does not exist (-1
    // included) writes nothing.
    void AddReportRow(int queueRow, const std::string& action, DeltaMode mode, uint64_t oldSize,
                      uint64_t newSize);
    // The Clear Report button: deletes every row and disables the button.
    void OnClearReport();
    // A selection change: a newly selected row is scrolled fully into view.
    void OnReportItemChanged(const QItemSelection& selected);

    CFileListCtrl& List() { return m_report; }
    int32_t NextReportId() const { return m_nNextReportId; }

private:
    CFileListCtrl& m_report;
    const CFileListCtrl& m_queue;
    QAbstractButton& m_clearButton;
    QMetaObject::Connection m_selectionChanged;
    int32_t m_nNextReportId = 0;  // the id the next row gets
};

}  // namespace kavrin
