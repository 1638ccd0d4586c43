// SPDX-License-Identifier: MIT
// The main window: the input queue above, the report below, and between them the controls
// that switch processing on and off, choose where results go and how sound is filtered.
//
// Every control sits at its place in dialog units of the window's font (DialogUnits.h); the
// window has a fixed size. The window starts the worker thread when it opens and ends it when
// it closes; between them, the dispatcher (jobs/Dispatcher.h) takes its rows through the
// DispatchHost the window implements over its lists and controls, and the worker reports
// through a sink that queues every update to this thread (WindowSink.h).
//
// It is a normal top-level window of fixed size that task bars list, and it can be minimised.
// The file named on the command line is queued once the window is on screen, so that a message
// about it appears over the window. The wait cursor it shows while a job is prepared covers the
// window alone: a message box asked meanwhile keeps the arrow.
//
// Every control has a name a screen reader says (its tooltip, or a name of its own), and Tab
// goes through the controls row by row (kTabOrder). Delete on the queue deletes the selected
// rows as the Delete Files button does. Every text the window shows goes through Qt's
// translations.
//
// Messages go through the Prompt given to the constructor (message boxes when none is given).
// The window owns its controls, the row images, the queue, the report, the job record and the
// engine. Window thread only.
#pragma once

#include <QAbstractButton>
#include <QCoreApplication>
#include <QCursor>
#include <QDialog>
#include <QIcon>
#include <QLineEdit>
#include <QPixmap>
#include <QPointer>
#include <QUrl>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/WindowSink.h"
#include "jobs/Dispatcher.h"
#include "jobs/JobRecord.h"
#include "lists/InputQueue.h"
#include "lists/ReportList.h"
#include "lists/RowImages.h"

namespace kavrin {

class CFileListCtrl;
class Prompt;

// The controls' ids; GetDlgItem finds a control by its id.
enum ControlId : int {
    IDC_QUEUE_LIST = 1000,
    IDC_REPORT_LIST = 1001,
    IDC_START = 1002,
    IDC_STOP = 1003,
    IDC_SAME_DIR = 1004,
    IDC_DEFINED_DIR = 1005,
    IDC_DELETE_SOURCE = 1006,
    IDC_ADD_FILES = 1007,
    IDC_DELETE_FILES = 1008,
    IDC_BROWSE = 1009,
    IDC_CLEAR_REPORT = 1010,
    IDC_HELP = 1011,
    IDC_OPTIMIZE = 1012,
    IDC_QUEUE_GAUGE = 1013,
    IDC_JOB_PROGRESS = 1014,
    IDC_DEST_DIR = 1015,
    IDC_ANALYSIS_LAMP = 1016,
    IDC_TRANSFER_LAMP = 1017,
    IDC_CODING_LAMP = 1018,
};

// A control of the window as laid out: its id, its rectangle in dialog units, its tooltip and
// what a screen reader calls it. Both texts are source texts of the "CArchiverDlg" context.
struct DialogItem {
    int id;
    int x, y, width, height;
    const char* tooltip;  // null for none
    const char* name;     // the control's name for a screen reader; null: the tooltip
};

// The window's size and its controls in the order of its template.
inline constexpr int kDialogWidth = 363;
inline constexpr int kDialogHeight = 231;
// clang-format off
inline constexpr DialogItem kDialogItems[] = {
    {IDC_QUEUE_LIST,     4,   4,   343, 109, QT_TRANSLATE_NOOP("CArchiverDlg", "Input Files Queue"), nullptr},
    {IDC_START,          4,   117, 16,  14,  QT_TRANSLATE_NOOP("CArchiverDlg", "Start"), nullptr},
    {IDC_STOP,           22,  117, 16,  14,  QT_TRANSLATE_NOOP("CArchiverDlg", "Stop"), nullptr},
    {IDC_SAME_DIR,       280, 117, 16,  14,  QT_TRANSLATE_NOOP("CArchiverDlg", "To Same Directory"), nullptr},
    {IDC_DEFINED_DIR,    300, 117, 16,  14,  QT_TRANSLATE_NOOP("CArchiverDlg", "To Defined Directory"), nullptr},
    {IDC_DELETE_SOURCE,  257, 117, 16,  14,  QT_TRANSLATE_NOOP("CArchiverDlg", "Delete Source"), nullptr},
    {IDC_ADD_FILES,      324, 117, 16,  14,  QT_TRANSLATE_NOOP("CArchiverDlg", "Add Files to Input Queue"), nullptr},
    {IDC_DELETE_FILES,   343, 117, 16,  14,  QT_TRANSLATE_NOOP("CArchiverDlg", "Delete Files from Input Queue"), nullptr},
    // A closed drop-down list is one row high; its open list reaches 99 units down.
    {IDC_OPTIMIZE,       43,  117, 67,  14,  QT_TRANSLATE_NOOP("CArchiverDlg", "Bit-depth Optimization"), nullptr},
    {IDC_QUEUE_GAUGE,    351, 4,   8,   108, nullptr, QT_TRANSLATE_NOOP("CArchiverDlg", "Queue gauge")},
    {IDC_BROWSE,         300, 135, 16,  14,  QT_TRANSLATE_NOOP("CArchiverDlg", "Browse..."), nullptr},
    {IDC_JOB_PROGRESS,   115, 120, 102, 8,   nullptr, QT_TRANSLATE_NOOP("CArchiverDlg", "Job progress")},
    {IDC_DEST_DIR,       4,   136, 292, 12,  QT_TRANSLATE_NOOP("CArchiverDlg", "Destination Directory"), nullptr},
    {IDC_TRANSFER_LAMP,  232, 121, 7,   6,   nullptr, QT_TRANSLATE_NOOP("CArchiverDlg", "Transfer lamp")},
    {IDC_CODING_LAMP,    243, 121, 7,   6,   nullptr, QT_TRANSLATE_NOOP("CArchiverDlg", "Coding lamp")},
    {IDC_ANALYSIS_LAMP,  221, 121, 7,   6,   nullptr, QT_TRANSLATE_NOOP("CArchiverDlg", "Analysis lamp")},
    {IDC_REPORT_LIST,    4,   152, 355, 75,  QT_TRANSLATE_NOOP("CArchiverDlg", "Report"), nullptr},
    {IDC_CLEAR_REPORT,   343, 135, 16,  14,  QT_TRANSLATE_NOOP("CArchiverDlg", "Clear Report"), nullptr},
    {IDC_HELP,           324, 135, 16,  14,  QT_TRANSLATE_NOOP("CArchiverDlg", "Help"), nullptr},
};
// The order in which Tab reaches the controls: the window's rows from the top, each from the
// left (the controls that take no focus left out).
inline constexpr int kTabOrder[] = {
    IDC_QUEUE_LIST,
    IDC_START, IDC_STOP, IDC_OPTIMIZE, IDC_DELETE_SOURCE, IDC_SAME_DIR, IDC_DEFINED_DIR,
    IDC_ADD_FILES, IDC_DELETE_FILES,
    IDC_DEST_DIR, IDC_BROWSE, IDC_HELP, IDC_CLEAR_REPORT,
    IDC_REPORT_LIST,
};
// clang-format on

// What tests replace: the engine's allocation (to see a failed opening) and the folder
// browser (so that no test opens a modal dialog). Empty members mean the real ones.
struct WindowSeams {
    std::function<EngineContextPtr()> createEngine;
    // The folder chosen in Browse, or nothing when the user cancelled.
    std::function<std::optional<QUrl>()> chooseFolder;
    // Runs on the worker thread at every progress step of a job: a test holds a job there, so
    // that Stop or a close surely meets it running.
    std::function<void()> workerStep;
};

class CArchiverDlg : public QDialog, private DispatchHost {
    Q_DECLARE_TR_FUNCTIONS(CArchiverDlg)

public:
    // `prompt` (not owned) receives every message; null means message boxes. The window opens
    // as it is constructed: it starts the worker, reads the settings and takes the start-up
    // files (g_startupFiles), which it queues once it is on screen.
    explicit CArchiverDlg(Prompt* prompt = nullptr, QWidget* parent = nullptr,
                          WindowSeams seams = {});
    ~CArchiverDlg() override;

    // The control with this id, or null.
    QWidget* GetDlgItem(int id) const;

    // The one way into the queue (see CInputQueue::AddToQueue).
    int AddToQueue(const std::string& path) { return m_queue->AddToQueue(path); }

    // Files opened while the window runs (a later start of the program): queued in their
    // order, after any start-up files still waiting; the window comes to the front.
    void OpenFiles(const std::vector<std::string>& paths);

    CInputQueue& Queue() { return *m_queue; }
    CReportList& Report() { return *m_report; }
    Dispatcher& Dispatch() { return m_dispatcher; }
    // The defined destination folder as the dispatcher will read it.
    const std::string& DestDir() const { return m_szDestDir; }
    const JobRecord& Job() const { return m_job; }

    // Start and Stop (buttons 1002 and 1003), and their display as a pressed/raised pair.
    void OnStart() { m_dispatcher.OnStart(); }
    void OnStop() { m_dispatcher.OnStop(); }
    void UpdateRunButtons() override;

    // Browse (1009): a folder chooser titled "Select Destination Directory".
    void OnBrowse();
    // The About box, from the context menu's last entry.
    void OnAbout();

protected:
    // Takes the worker's "job finished" event (type 1124).
    bool event(QEvent* event) override;
    // Ends the worker (waiting for it) before the window goes.
    void closeEvent(QCloseEvent* event) override;
    // The window's own background offers what its system menu would: Minimize, Close and,
    // last after a separator, "&About Kavrin...". From the keyboard (the Menu key, or
    // Shift+F10) the same menu opens over any control that has no menu of its own.
    void contextMenuEvent(QContextMenuEvent* event) override;
    // Swallows Enter and Escape for every control of the window; Shift+F10 asks the focused
    // control for its context menu, as the Menu key does.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // The first showing queues the start-up files, once the window is on screen.
    void showEvent(QShowEvent* event) override;

private:
    QWidget* CreateItem(const DialogItem& item);
    void ConnectControls();
    // Everything the window does as it opens, in order; see the constructor.
    void OnInitDialog();
    // Enables the edit box and Browse exactly when results go to the defined folder.
    void UpdateDestControls();
    void OnSameDir();
    void OnDefinedDir();
    // Every change of the edit box is the destination folder, at most 259 bytes of it.
    void OnDestinationChanged(const QString& text);
    std::optional<QUrl> ChooseFolder();
    QAbstractButton* Button(int id) const;
    QLineEdit* DestinationEdit() const;
    // Starts the worker: job event, thread, the engine's chunk buffers. On failure the window
    // shows why and closes itself.
    bool StartJobControl();
    void OnClose();
    // After a row is queued: starts the next job when processing is on and no job runs.
    void DispatchIfIdle();
    // Queues the files named on the command line, taken from g_startupFiles as the window
    // opened.
    void QueueStartupFiles();

    // DispatchHost, over the lists and controls.
    int QueueRowCount() override;
    std::string RowFile(int row) override;
    std::string RowFolder(int row) override;
    uint32_t RowData(int row) override;
    void SetRowData(int row, uint32_t data) override;
    int FindRowByData(uint32_t data) override;
    void RemoveQueueRow(int row) override;
    void UpdateDeleteButton() override;
    void RedrawQueue() override;
    void AddReportRow(int row, const std::string& action, DeltaMode mode, uint64_t oldSize,
                      uint64_t newSize) override;
    DispatchOptions Options() override;
    void FocusDestinationEdit() override;
    void RestoreIfMinimised() override;
    void SetWaitCursor(bool on) override;

    std::unique_ptr<Prompt> m_ownPrompt;
    Prompt* m_prompt;
    WindowSeams m_seams;
    CImageList m_imageList;
    CFileListCtrl* m_queueList = nullptr;
    CFileListCtrl* m_reportList = nullptr;
    std::unique_ptr<CInputQueue> m_queue;
    std::unique_ptr<CReportList> m_report;

    // The options the dispatcher reads when it prepares a job; "Delete Source" is also read by
    // the worker at the end of each job, so it is atomic.
    std::atomic<int32_t> m_bDeleteSource{0};
    int32_t m_bSameDir = 1;
    int32_t m_nOptimize = 0;
    std::string m_szDestDir;
    // 1 once the window has opened: from then on edits of the folder are taken.
    int32_t m_bEditSync = 0;
    // The files named on the command line, until the window is on screen.
    std::vector<std::string> m_startupFiles;
    // The stored settings were read, so they are written when the window goes.
    bool m_bSettingsRead = false;

    // The wait cursor: how many spans want it, and the cursors of the controls that have one
    // of their own, given back when the last span ends.
    int m_nWaitCursor = 0;
    std::vector<std::pair<QPointer<QWidget>, QCursor>> m_ownCursors;

    QIcon m_hIcon;
    std::array<QPixmap, 3> m_hLampBitmaps;
    JobRecord m_job;
    EngineContextPtr m_engine;
    std::unique_ptr<CWindowSink> m_sink;
    Dispatcher m_dispatcher{m_job, *this, *m_prompt};
};

// The destination folder a first start offers: "Kavrin Archive/" in the user's home folder.
std::string DefaultDestinationFolder();

}  // namespace kavrin
