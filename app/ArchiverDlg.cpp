// SPDX-License-Identifier: MIT
#include "app/ArchiverDlg.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QToolButton>
#include <algorithm>
#include <cstdlib>

#include "app/AboutDlg.h"
#include "app/Accessibility.h"
#include "app/ArchiverApp.h"
#include "app/DialogUnits.h"
#include "app/MessageBoxPrompt.h"
#include "app/PushLikeButton.h"
#include "app/Settings.h"
#include "lists/DisplayText.h"
#include "lists/FileListCtrl.h"
#include "res/Resources.h"

namespace kavrin {
namespace {

QToolButton* MakeButton(QWidget* parent) {
    auto* button = new QToolButton(parent);
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

CArchiverDlg::CArchiverDlg(Prompt* prompt, QWidget* parent, WindowSeams seams)
    // A normal window, not a dialog: a dialog without a parent is made transient for a hidden
    // window of the toolkit's, and task bars leave such windows out. No maximise button: the
    // window has one size.
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_ownPrompt(prompt == nullptr ? std::make_unique<CMessageBoxPrompt>(this) : nullptr),
      m_prompt(prompt != nullptr ? prompt : m_ownPrompt.get()),
      m_seams(std::move(seams)),
      m_imageList(CImageList::MakeRowImages()),
      m_szDestDir(DefaultDestinationFolder()),
      m_hIcon(res::ApplicationIcon()) {
    // The template: every control at its place, bound to its member, with its name.
    InstallAccessibleFactory();
    setWindowTitle(tr("Tellmark Kavrin"));
    const DialogUnits units(font());
    setFixedSize(units.X(kDialogWidth), units.Y(kDialogHeight));
    for (const DialogItem& item : kDialogItems) {
        QWidget* control = CreateItem(item);
        control->setObjectName(QString::number(item.id));
        control->setGeometry(units.ToPixels(item.x, item.y, item.width, item.height));
        if (item.tooltip != nullptr) control->setToolTip(tr(item.tooltip));
        control->setAccessibleName(tr(item.name != nullptr ? item.name : item.tooltip));
    }
    for (size_t i = 1; i < std::size(kTabOrder); ++i) {
        setTabOrder(GetDlgItem(kTabOrder[i - 1]), GetDlgItem(kTabOrder[i]));
    }
    auto* radios = new QButtonGroup(this);
    radios->addButton(Button(IDC_START));
    radios->addButton(Button(IDC_STOP));
    auto* destinations = new QButtonGroup(this);
    destinations->addButton(Button(IDC_SAME_DIR));
    destinations->addButton(Button(IDC_DEFINED_DIR));
    MarkRadio(*Button(IDC_SAME_DIR));
    MarkRadio(*Button(IDC_DEFINED_DIR));
    m_queue = std::make_unique<CInputQueue>(
        *m_queueList, *static_cast<QProgressBar*>(GetDlgItem(IDC_QUEUE_GAUGE)),
        *Button(IDC_DELETE_FILES), *m_prompt);
    m_report =
        std::make_unique<CReportList>(*m_reportList, *m_queueList, *Button(IDC_CLEAR_REPORT));
    m_queue->SetAddFilesChooser(MakeAddFilesChooser(this));
    m_queue->SetDispatchIfIdle([this] { DispatchIfIdle(); });
    if (!m_seams.chooseFolder) m_seams.chooseFolder = [this] { return ChooseFolder(); };
    ConnectControls();
    OnInitDialog();
}

void CArchiverDlg::ConnectControls() {
    connect(Button(IDC_START), &QAbstractButton::clicked, this, [this] { OnStart(); });
    connect(Button(IDC_STOP), &QAbstractButton::clicked, this, [this] { OnStop(); });
    connect(Button(IDC_SAME_DIR), &QAbstractButton::clicked, this, [this] { OnSameDir(); });
    connect(Button(IDC_DEFINED_DIR), &QAbstractButton::clicked, this, [this] { OnDefinedDir(); });
    connect(Button(IDC_DELETE_SOURCE), &QAbstractButton::clicked, this,
            [this](bool checked) { m_bDeleteSource = checked ? 1 : 0; });
    connect(Button(IDC_ADD_FILES), &QAbstractButton::clicked, this,
            [this] { m_queue->OnAddFiles(); });
    connect(Button(IDC_DELETE_FILES), &QAbstractButton::clicked, this,
            [this] { m_queue->OnDeleteFiles(); });
    connect(Button(IDC_BROWSE), &QAbstractButton::clicked, this, [this] { OnBrowse(); });
    connect(Button(IDC_CLEAR_REPORT), &QAbstractButton::clicked, this,
            [this] { m_report->OnClearReport(); });
    // Help: Kavrin has no help, so the button does nothing.
    connect(static_cast<QComboBox*>(GetDlgItem(IDC_OPTIMIZE)), &QComboBox::currentIndexChanged,
            this, [this](int index) {
                if (index >= 0) m_nOptimize = index;
            });
    connect(DestinationEdit(), &QLineEdit::textChanged, this,
            [this](const QString& text) { OnDestinationChanged(text); });
    // Both lists repaint whenever the program gains or loses the focus.
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this] {
        m_queueList->RedrawBody();
        m_reportList->RedrawBody();
    });
    // Enter and Escape never end the window nor press a button, whichever control has the focus.
    qApp->installEventFilter(this);
}

void CArchiverDlg::OnInitDialog() {
    // The system menu's "About" entry is the last of the window's own context menu
    // (contextMenuEvent). The window's icon, and a window that stays on top.
    setWindowIcon(m_hIcon);
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    // Only the queue list takes dropped files; the queue arranged that when it was bound.

    // The worker: job event, thread, the engine's chunk buffers.
    if (!StartJobControl()) {
        // The message has been shown; the window closes as soon as its events are processed.
        // The settings were not read, so they are not written either.
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
        return;
    }
    const WindowSettings stored =
        ReadSettings({m_bDeleteSource.load(), m_bSameDir, m_nOptimize, m_szDestDir});
    m_bDeleteSource = stored.deleteSource;
    m_bSameDir = stored.sameDir;
    m_nOptimize = stored.optimize;
    m_szDestDir = stored.destDir;
    m_bSettingsRead = true;

    m_queue->InitQueueColumns(&m_imageList);
    m_report->InitReportColumns(&m_imageList);
    for (int i = 0; i < res::kButtonIcons; ++i) {
        QAbstractButton* button = Button(IDC_START + i);
        button->setIcon(res::ButtonIcon(i));
        const int side = std::max(8, std::min(button->width(), button->height()) - 6);
        button->setIconSize(QSize(side, side));
    }
    m_hLampBitmaps = MakeLampBitmaps(devicePixelRatioF());
    for (int id : {IDC_ANALYSIS_LAMP, IDC_TRANSFER_LAMP, IDC_CODING_LAMP}) {
        ShowLamp(*static_cast<QLabel*>(GetDlgItem(id)), m_hLampBitmaps[kLampOff], false);
    }
    Button(IDC_DELETE_FILES)->setEnabled(false);
    UpdateRunButtons();
    static_cast<QComboBox*>(GetDlgItem(IDC_OPTIMIZE))->setCurrentIndex(m_nOptimize);
    Button(IDC_DELETE_SOURCE)->setChecked(m_bDeleteSource != 0);
    Button(m_bSameDir ? IDC_SAME_DIR : IDC_DEFINED_DIR)->setChecked(true);
    UpdateDestControls();
    DestinationEdit()->setText(DisplayText(m_szDestDir));  // not copied back: m_bEditSync is 0
    Button(IDC_CLEAR_REPORT)->setEnabled(false);
    // The start-up files wait for the window to be on screen (showEvent): a message about it
    // then appears over the window instead of alone in a corner of the screen.
    m_startupFiles = std::move(g_startupFiles);
    g_startupFiles.clear();
    m_bEditSync = 1;
}

void CArchiverDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!m_startupFiles.empty()) {
        QMetaObject::invokeMethod(
            this, [this] { QueueStartupFiles(); }, Qt::QueuedConnection);
    }
}

void CArchiverDlg::QueueStartupFiles() {
    const std::vector<std::string> paths = std::move(m_startupFiles);
    m_startupFiles.clear();
    for (const std::string& path : paths) AddToQueue(path);
}

void CArchiverDlg::OpenFiles(const std::vector<std::string>& paths) {
    RestoreIfMinimised();
    raise();
    activateWindow();
    if (!m_startupFiles.empty() || !isVisible()) {
        // Start-up files still wait for the window to be on screen: these follow them.
        m_startupFiles.insert(m_startupFiles.end(), paths.begin(), paths.end());
        return;
    }
    for (const std::string& path : paths) AddToQueue(path);
}

void CArchiverDlg::UpdateDestControls() {
    DestinationEdit()->setEnabled(m_bSameDir == 0);
    Button(IDC_BROWSE)->setEnabled(m_bSameDir == 0);
}

void CArchiverDlg::OnSameDir() {
    if (m_bSameDir) return;
    m_bSameDir = 1;
    UpdateDestControls();
}

void CArchiverDlg::OnDefinedDir() {
    if (!m_bSameDir) return;
    m_bSameDir = 0;
    UpdateDestControls();
}

void CArchiverDlg::OnDestinationChanged(const QString& text) {
    if (!m_bEditSync) return;
    m_szDestDir = CutToBytes(FileSystemBytes(text), kMaxDestDir);
}

std::optional<QUrl> CArchiverDlg::ChooseFolder() {
    const QUrl chosen = QFileDialog::getExistingDirectoryUrl(
        this, tr("Select Destination Directory"), QUrl::fromLocalFile(DisplayText(m_szDestDir)),
        QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty()) return std::nullopt;
    return chosen;
}

void CArchiverDlg::OnBrowse() {
    std::optional<QUrl> chosen = m_seams.chooseFolder();
    if (!chosen) return;
    std::string path;
    if (chosen->isLocalFile()) path = FileSystemBytes(chosen->toLocalFile());
    if (!path.empty() && path.back() != '/') path += '/';
    // A folder without a file-system path, or one too long to keep with its trailing '/'.
    if (path.empty() || path.size() > kMaxDestDir) {
        m_prompt->ShowError(tr("Shell Error").toStdString());
        return;
    }
    m_szDestDir = path;
    m_bEditSync = 0;
    DestinationEdit()->setText(DisplayText(m_szDestDir));
    m_bEditSync = 1;
}

void CArchiverDlg::contextMenuEvent(QContextMenuEvent* event) {
    // The window's own background stands in for the title bar's system menu. From the keyboard
    // the menu belongs to the window whichever control has the focus, unless that control
    // showed a menu of its own (then the event does not reach the window).
    if (event->reason() != QContextMenuEvent::Keyboard && childAt(event->pos()) != nullptr) {
        return;
    }
    QMenu menu(this);
    menu.addAction(tr("Mi&nimize"), this, &QWidget::showMinimized);
    menu.addAction(tr("&Close"), this, &QWidget::close);
    menu.addSeparator();
    menu.addAction(tr("&About Kavrin..."), this, [this] { OnAbout(); });
    menu.exec(event->globalPos());
}

bool CArchiverDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == this) {
        auto* press = static_cast<QKeyEvent*>(event);
        const int key = press->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) return true;
        // Delete on the queue is the Delete Files button, under the same rules.
        if (key == Qt::Key_Delete && press->modifiers() == Qt::NoModifier &&
            (watched == m_queueList || watched == m_queueList->viewport())) {
            if (Button(IDC_DELETE_FILES)->isEnabled()) m_queue->OnDeleteFiles();
            return true;
        }
        // Shift+F10 is the Menu key's other spelling; the desktop only sends the Menu key's
        // context menu event itself.
        if (key == Qt::Key_F10 && press->modifiers() == Qt::ShiftModifier) {
            auto* target = static_cast<QWidget*>(watched);
            const QPoint at = target->rect().center();
            QContextMenuEvent menu(QContextMenuEvent::Keyboard, at, target->mapToGlobal(at));
            QApplication::sendEvent(target, &menu);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CArchiverDlg::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) return;
    QDialog::keyPressEvent(event);
}

void CArchiverDlg::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}

QAbstractButton* CArchiverDlg::Button(int id) const {
    return static_cast<QAbstractButton*>(GetDlgItem(id));
}

QLineEdit* CArchiverDlg::DestinationEdit() const {
    return static_cast<QLineEdit*>(GetDlgItem(IDC_DEST_DIR));
}

bool CArchiverDlg::StartJobControl() {
    m_sink = std::make_unique<CWindowSink>(
        *this, *static_cast<QProgressBar*>(GetDlgItem(IDC_JOB_PROGRESS)),
        *static_cast<QLabel*>(GetDlgItem(IDC_ANALYSIS_LAMP)),
        *static_cast<QLabel*>(GetDlgItem(IDC_TRANSFER_LAMP)),
        *static_cast<QLabel*>(GetDlgItem(IDC_CODING_LAMP)), m_hLampBitmaps, m_seams.workerStep);
    WorkerBinding binding{&m_job, &m_engine, &m_bDeleteSource, m_sink.get()};
    if (m_seams.createEngine) return StartWorker(binding, *m_prompt, m_seams.createEngine);
    return StartWorker(binding, *m_prompt);
}

void CArchiverDlg::OnClose() {
    SetWaitCursor(true);
    StopWorker(m_job);
    SetWaitCursor(false);
}

void CArchiverDlg::closeEvent(QCloseEvent* event) {
    OnClose();
    QDialog::closeEvent(event);
}

bool CArchiverDlg::event(QEvent* event) {
    if (event->type() == JobFinishedEvent::kType) {
        auto* finished = static_cast<JobFinishedEvent*>(event);
        m_dispatcher.OnJobFinished(finished->end, true);
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
        m_dispatcher.OnJobFinished({}, false);
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
    // Over this window and its controls only, never for the whole program: a message box the
    // preparation shows is a window of its own and keeps the arrow over its buttons.
    if (on) {
        if (m_nWaitCursor++ > 0) return;
        for (QWidget* control : findChildren<QWidget*>()) {
            if (control->window() != this || !control->testAttribute(Qt::WA_SetCursor)) continue;
            m_ownCursors.emplace_back(control, control->cursor());
            control->setCursor(Qt::WaitCursor);
        }
        setCursor(Qt::WaitCursor);
        return;
    }
    if (m_nWaitCursor == 0 || --m_nWaitCursor > 0) return;
    unsetCursor();
    for (auto& [control, cursor] : m_ownCursors) {
        if (control) control->setCursor(cursor);
    }
    m_ownCursors.clear();
}

CArchiverDlg::~CArchiverDlg() {
    qApp->removeEventFilter(this);
    // The worker must be gone before the record, the engine and the sink it uses.
    StopWorker(m_job);
    // After a failed opening the stored settings were never read: they are left as they are.
    if (m_bSettingsRead) {
        WriteSettings({m_bDeleteSource.load(), m_bSameDir, m_nOptimize, m_szDestDir});
    }
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
            return new CPushLikeButton(this);
        case IDC_OPTIMIZE: {
            auto* combo = new QComboBox(this);
            combo->addItems({tr("Auto"), tr("Not optimized"), tr("8 bit"), tr("16 bit"),
                             tr("24 bit"), tr("32 bit")});
            // On Linux a combo box's accessible name is its current entry; screen readers
            // find what it is for through the label whose buddy it is. The window shows no
            // such label, so this one stays hidden.
            auto* label = new QLabel(tr(item.tooltip), this);
            label->setBuddy(combo);
            label->hide();
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
            MarkLamp(*lamp, tr(item.name));
            return lamp;
        }
        default:  // Add Files, Delete Files, Browse, Clear Report, Help
            return MakeButton(this);
    }
}

}  // namespace kavrin
