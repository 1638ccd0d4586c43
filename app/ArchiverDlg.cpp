#include "app/ArchiverDlg.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QToolButton>

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

CArchiverDlg::CArchiverDlg(Prompt* prompt, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_prompt(prompt),
      m_imageList(CImageList::MakeRowImages()) {
    if (m_prompt == nullptr) {
        m_ownPrompt = std::make_unique<CMessageBoxPrompt>(this);
        m_prompt = m_ownPrompt.get();
    }
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
}

CArchiverDlg::~CArchiverDlg() {
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
