#include "app/ArchiverDlg.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QToolButton>
#include <cstdlib>

#include "app/DialogUnits.h"
#include "app/MessageBoxPrompt.h"
#include "lists/FileListCtrl.h"

namespace kavrin {
namespace {

QToolButton* MakeButton(QWidget* parent, bool checkable) {
    auto* button = new QToolButton(parent);
    button->setCheckable(checkable);
    button->setFocusPolicy(Qt::StrongFocus);
    return button;
}

QProgressBar* MakeBar(QWidget* parent, Qt::Orientation orientation) {
    auto* bar = new QProgressBar(parent);
    bar->setOrientation(orientation);
    bar->setTextVisible(false);
    bar->setRange(0, 1);
    bar->setValue(0);
    return bar;
}

}  // namespace

std::string DefaultDestinationFolder() {
    const char* home = std::getenv("HOME");
    std::string folder = home != nullptr ? home : "";
    if (!folder.empty() && folder.back() == '/') folder.pop_back();
    return folder + "/Kavrin Archive/";
}

CArchiverDlg::CArchiverDlg(Prompt* prompt, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_ownPrompt(prompt == nullptr ? std::make_unique<CMessageBoxPrompt>(this) : nullptr),
      m_prompt(prompt != nullptr ? prompt : m_ownPrompt.get()),
      m_imageList(CImageList::MakeRowImages()),
      m_szDestDir(DefaultDestinationFolder()),
      m_hLampBitmaps(MakeLampBitmaps()) {
    setWindowTitle(QStringLiteral("Tellmark Kavrin"));
    const DialogUnits units(font());
    setFixedSize(units.X(kDialogWidth), units.Y(kDialogHeight));
    for (const DialogItem& item : kDialogItems) {
        QWidget* control = CreateItem(item);
        control->setObjectName(QString::number(item.id));
        control->setGeometry(units.ToPixels(item.x, item.y, item.width, item.height));
        if (item.tooltip != nullptr) control->setToolTip(QString::fromLatin1(item.tooltip));
    }

    auto* radios = new QButtonGroup(this);
    radios->addButton(static_cast<QToolButton*>(GetDlgItem(IDC_START)));
    radios->addButton(static_cast<QToolButton*>(GetDlgItem(IDC_STOP)));
    static_cast<QToolButton*>(GetDlgItem(IDC_STOP))->setChecked(true);
    GetDlgItem(IDC_STOP)->setEnabled(false);
    auto* destinations = new QButtonGroup(this);
    destinations->addButton(static_cast<QToolButton*>(GetDlgItem(IDC_SAME_DIR)));
    destinations->addButton(static_cast<QToolButton*>(GetDlgItem(IDC_DEFINED_DIR)));
    static_cast<QToolButton*>(GetDlgItem(IDC_SAME_DIR))->setChecked(true);
    GetDlgItem(IDC_DEST_DIR)->setEnabled(false);
    GetDlgItem(IDC_BROWSE)->setEnabled(false);

    auto* addFiles = static_cast<QToolButton*>(GetDlgItem(IDC_ADD_FILES));
    auto* deleteFiles = static_cast<QToolButton*>(GetDlgItem(IDC_DELETE_FILES));
    auto* clearReport = static_cast<QToolButton*>(GetDlgItem(IDC_CLEAR_REPORT));
    m_queue = std::make_unique<CInputQueue>(
        *m_queueList, *static_cast<QProgressBar*>(GetDlgItem(IDC_QUEUE_GAUGE)), *deleteFiles,
        *m_prompt);
    m_report = std::make_unique<CReportList>(*m_reportList, *m_queueList, *clearReport);
    m_queue->InitQueueColumns(&m_imageList);
    m_report->InitReportColumns(&m_imageList);
    m_queue->SetAddFilesChooser(MakeAddFilesChooser(this));
    m_queue->SetDispatchIfIdle([this] { DispatchIfIdle(); });
    connect(addFiles, &QToolButton::clicked, this, [this] { m_queue->OnAddFiles(); });
    connect(deleteFiles, &QToolButton::clicked, this, [this] { m_queue->OnDeleteFiles(); });
    connect(clearReport, &QToolButton::clicked, this, [this] { m_report->OnClearReport(); });
    connect(static_cast<QToolButton*>(GetDlgItem(IDC_START)), &QToolButton::clicked, this,
            [this] { OnStart(); });
    connect(static_cast<QToolButton*>(GetDlgItem(IDC_STOP)), &QToolButton::clicked, this,
            [this] { OnStop(); });
    for (int lamp : {IDC_ANALYSIS_LAMP, IDC_TRANSFER_LAMP, IDC_CODING_LAMP}) {
        static_cast<QLabel*>(GetDlgItem(lamp))->setPixmap(m_hLampBitmaps[kLampOff]);
    }
    UpdateRunButtons();
    if (!StartJobControl()) {
        // The message has been shown; the window closes as soon as its events are processed.
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    }
}

bool CArchiverDlg::StartJobControl() {
    m_sink = std::make_unique<CWindowSink>(
        *this, *static_cast<QProgressBar*>(GetDlgItem(IDC_JOB_PROGRESS)),
        *static_cast<QLabel*>(GetDlgItem(IDC_ANALYSIS_LAMP)),
        *static_cast<QLabel*>(GetDlgItem(IDC_TRANSFER_LAMP)),
        *static_cast<QLabel*>(GetDlgItem(IDC_CODING_LAMP)), m_hLampBitmaps);
    WorkerBinding binding{&m_job, &m_engine, &m_bDeleteSource, m_sink.get()};
    return StartWorker(binding, *m_prompt);
}

void CArchiverDlg::OnClose() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    StopWorker(m_job);
    QApplication::restoreOverrideCursor();
}

void CArchiverDlg::closeEvent(QCloseEvent* event) {
    OnClose();
    QDialog::closeEvent(event);
}

bool CArchiverDlg::event(QEvent* event) {
    if (event->type() == JobFinishedEvent::kType) {
        auto* finished = static_cast<JobFinishedEvent*>(event);
        m_dispatcher.OnJobFinished(finished->result, finished->mode, true);
        return true;
    }
    return QDialog::event(event);
}

void CArchiverDlg::UpdateRunButtons() {
    const bool running = m_dispatcher.Running();
    auto* start = static_cast<QToolButton*>(GetDlgItem(IDC_START));
    auto* stop = static_cast<QToolButton*>(GetDlgItem(IDC_STOP));
    // The live button is raised and enabled; the other shows pressed and greyed.
    (running ? start : stop)->setChecked(true);
    start->setEnabled(!running);
    stop->setEnabled(running);
}

void CArchiverDlg::DispatchIfIdle() {
    if (m_dispatcher.Running() && m_job.State() == JobState::Idle) {
        m_dispatcher.OnJobFinished(JobResult::Done, DeltaMode::Auto, false);
    }
}

int CArchiverDlg::QueueRowCount() {
    return m_queueList->RowCount();
}
std::string CArchiverDlg::RowFile(int row) {
    return m_queueList->RowFileName(row);
}
std::string CArchiverDlg::RowFolder(int row) {
    return m_queueList->RowFolder(row);
}
uint32_t CArchiverDlg::RowData(int row) {
    return static_cast<uint32_t>(m_queueList->ItemData(row));
}
void CArchiverDlg::SetRowData(int row, uint32_t data) {
    m_queueList->SetItemData(row, static_cast<int32_t>(data));
}
int CArchiverDlg::FindRowByData(uint32_t data) {
    return m_queueList->FindItemData(static_cast<int32_t>(data));
}
void CArchiverDlg::RemoveQueueRow(int row) {
    m_queue->RemoveQueueRow(row);
}
void CArchiverDlg::UpdateDeleteButton() {
    m_queue->UpdateDeleteButton();
}
void CArchiverDlg::RedrawQueue() {
    m_queueList->RedrawBody();
}
void CArchiverDlg::AddReportRow(int row, const std::string& action, DeltaMode mode,
                                uint64_t oldSize, uint64_t newSize) {
    m_report->AddReportRow(row, action, mode, oldSize, newSize);
}

DispatchOptions CArchiverDlg::Options() {
    return {m_bSameDir != 0, m_szDestDir, static_cast<DeltaMode>(m_nOptimize)};
}

void CArchiverDlg::FocusDestinationEdit() {
    GetDlgItem(IDC_DEST_DIR)->setFocus();
}

void CArchiverDlg::RestoreIfMinimised() {
    if (isMinimized()) showNormal();
}

void CArchiverDlg::SetWaitCursor(bool on) {
    if (on) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QApplication::restoreOverrideCursor();
    }
}

CArchiverDlg::~CArchiverDlg() {
    // The worker must be gone before the record, the engine and the sink it uses.
    StopWorker(m_job);
    // The queue and the report let go of the lists first; then the lists go while the row
    // images they draw with still exist (the base class would delete them after our members).
    m_report.reset();
    m_queue.reset();
    delete m_reportList;
    delete m_queueList;
}

QWidget* CArchiverDlg::GetDlgItem(int id) const {
    return findChild<QWidget*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

QWidget* CArchiverDlg::CreateItem(const DialogItem& item) {
    switch (item.id) {
        case IDC_QUEUE_LIST:
            return m_queueList = new CFileListCtrl(ListKind::Queue, this);
        case IDC_REPORT_LIST:
            return m_reportList = new CFileListCtrl(ListKind::Report, this);
        case IDC_START:
        case IDC_STOP:
        case IDC_SAME_DIR:
        case IDC_DEFINED_DIR:
        case IDC_DELETE_SOURCE:
            return MakeButton(this, true);
        case IDC_OPTIMIZE: {
            auto* combo = new QComboBox(this);
            combo->addItems({QStringLiteral("Auto"), QStringLiteral("Not optimized"),
                             QStringLiteral("8 bit"), QStringLiteral("16 bit"),
                             QStringLiteral("24 bit"), QStringLiteral("32 bit")});
            return combo;
        }
        case IDC_QUEUE_GAUGE:
            return MakeBar(this, Qt::Vertical);
        case IDC_JOB_PROGRESS:
            return MakeBar(this, Qt::Horizontal);
        case IDC_DEST_DIR:
            return new QLineEdit(this);
        case IDC_ANALYSIS_LAMP:
        case IDC_TRANSFER_LAMP:
        case IDC_CODING_LAMP: {
            auto* lamp = new QLabel(this);
            lamp->setFrameShape(QFrame::Box);
            lamp->setAlignment(Qt::AlignCenter);
            return lamp;
        }
        default:  // Add Files, Delete Files, Browse, Clear Report, Help
            return MakeButton(this, false);
    }
}

}  // namespace kavrin
