// SPDX-License-Identifier: MIT
// The input files queue: the upper list of the main window, its gauge and its Add and Delete
// buttons. Every row enters through AddToQueue; the dispatcher takes rows from the bottom and
// reaches them through the list's row methods and RemoveQueueRow.
//
// A queue row shows File, Path, Type, Size and Ratio and carries a queue id counted up from 0
// for the life of the queue (never reused, not even after deletions). The gauge shows the
// rows left against the count reached at the last addition.
//
// The queue does not own the widgets, the prompt or the chooser's owner; they must outlive it.
// Window thread only.
#pragma once

#include <QItemSelection>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "jobs/InputWalk.h"
#include "lists/AddFilesDialog.h"

class QAbstractButton;
class QProgressBar;

namespace kavrin {

class CFileListCtrl;
class CImageList;
class Prompt;

class CInputQueue {
public:
    // Leaves the gauge empty and the Delete button disabled, and takes the files dropped on the
    // list.
    CInputQueue(CFileListCtrl& list, QProgressBar& gauge, QAbstractButton& deleteButton,
                Prompt& prompt);
    // Lets go of the list: no selection change or drop reaches the queue afterwards.
    ~CInputQueue();
    CInputQueue(const CInputQueue&) = delete;
    CInputQueue& operator=(const CInputQueue&) = delete;

    // Creates the File, Path, Type, Size and Ratio columns, then shows `images` on the rows.
    void InitQueueColumns(const CImageList* images);

    // Queues the file or walks the folder at `path` (exact bytes). Returns 1 when the path was
    // handled (a row added, a folder walked, or a folder that cannot be listed) and 0 when it
    // was refused with a message. Every refusal in a walk shows its own message. A walk that
    // takes longer than a moment goes on in later turns of the event loop (rows keep arriving
    // in walk order, and paths added meanwhile follow them), so the window never freezes.
    int AddToQueue(const std::string& path);
    // True while a walk still has entries to add.
    bool Walking() const { return !m_walks.empty(); }

    // The Add Files button: the chooser's files go to AddToQueue in the order it gives them.
    void OnAddFiles();
    // The Delete button: deletes every selected row except the one whose job runs.
    void OnDeleteFiles();
    // Enables Delete for a selection of two or more rows, or of one row whose job is not running.
    void UpdateDeleteButton();
    // A selection change: a newly selected row is scrolled fully into view.
    void OnQueueItemChanged(const QItemSelection& selected);
    // For the dispatcher, after it has reported a job that ended: deletes the row.
    void RemoveQueueRow(int row);

    // Called after every row AddToQueue adds: starts a job when processing is on and none runs.
    void SetDispatchIfIdle(std::function<void()> dispatchIfIdle);
    void SetAddFilesChooser(AddFilesChooser chooser);

    CFileListCtrl& List() { return m_list; }
    int Queued() const { return m_nQueued; }
    int32_t NextQueueId() const { return m_nNextQueueId; }
    int FilterIndex() const { return m_nFilterIndex; }

private:
    struct PendingWalk {
        InputWalker walker;
        std::string named;          // the path AddToQueue was given
        bool namedRefused = false;  // that path itself was refused with a message
        // An entry found when a slice ran out, added first in the next slice.
        bool holding = false;
        std::string held{};
        InputKind heldKind = InputKind::File;
    };
    // The time one turn of walking may take before it lets the event loop run.
    static constexpr int kWalkSliceMs = 20;

    // Adds what the pending walks find, in order, for one slice of time.
    void ContinueWalks();
    // Opens the regular file at `path` and adds its row. False when refused with a message.
    bool AddFile(const std::string& path);
    void Refuse(const char* format, const std::string& path);
    // Runs `call` (which may show a message box) with the gauge drawing itself.
    void GaugeShownDuring(const std::function<void()>& call);
    void SetGaugePosition();

    CFileListCtrl& m_list;
    QProgressBar& m_gauge;
    QAbstractButton& m_deleteButton;
    Prompt& m_prompt;
    QMetaObject::Connection m_selectionChanged;
    std::function<void()> m_dispatchIfIdle;
    AddFilesChooser m_chooseFiles;

    std::deque<PendingWalk> m_walks;
    QTimer m_walkTimer;  // the next slice of a long walk
    bool m_bWalking = false;
    bool m_lastWalkRefused = false;

    int m_nQueued = 0;             // rows in the queue
    int32_t m_nNextQueueId = 0;    // the id the next row gets
    int m_nFilterIndex = 0;        // the Add Files filter, remembered for the run
    bool m_bDeletingRows = false;  // inside OnDeleteFiles
};

}  // namespace kavrin
