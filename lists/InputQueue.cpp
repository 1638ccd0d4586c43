// SPDX-License-Identifier: MIT
#include "lists/InputQueue.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProgressBar>

#include "engine/format/ArchiveFormat.h"
#include "jobs/FormatSize.h"
#include "jobs/InputWalk.h"
#include "jobs/Naming.h"
#include "jobs/Prompt.h"
#include "lists/FileListCtrl.h"
#include "lists/RowImages.h"
#include "platform/File.h"

namespace kavrin {
namespace {

constexpr ListColumn kQueueColumns[] = {
    {QT_TRANSLATE_NOOP("CFileListCtrl", "File"), 7},
    {QT_TRANSLATE_NOOP("CFileListCtrl", "Path"), 13},
    {QT_TRANSLATE_NOOP("CFileListCtrl", "Type"), 3},
    {QT_TRANSLATE_NOOP("CFileListCtrl", "Size"), 4},
    {QT_TRANSLATE_NOOP("CFileListCtrl", "Ratio"), 3},
};

constexpr char kIllegalAttribute[] = QT_TRANSLATE_NOOP(
    "CInputQueue", "Can't add this file to input queue:\n%s\n\nReason: Illegal file attribute.");
constexpr char kBadFormat[] = QT_TRANSLATE_NOOP(
    "CInputQueue", "Can't add this file to input queue:\n%s\n\nReason: Bad file format.");
constexpr char kCantOpen[] = QT_TRANSLATE_NOOP("CInputQueue", "Can't open file:\n%s");

// The message `format` with its one "%s" replaced by `path`, bytes as they are.
std::string WithPath(std::string_view format, const std::string& path) {
    size_t at = format.find("%s");
    std::string text(format.substr(0, at));
    text += path;
    text += format.substr(at + 2);
    return text;
}

// Closes a file opened for one row, whatever way the row's reading ends.
struct ClosingFile {
    platform::FileHandle file;
    ~ClosingFile() { platform::CloseFile(file); }
};

}  // namespace

CInputQueue::CInputQueue(CFileListCtrl& list, QProgressBar& gauge, QAbstractButton& deleteButton,
                         Prompt& prompt)
    : m_list(list), m_gauge(gauge), m_deleteButton(deleteButton), m_prompt(prompt) {
    // A range of 0 to 0 would make the bar an endless busy animation; 0 of 1 is empty.
    m_gauge.setRange(0, 1);
    m_gauge.setValue(0);
    m_deleteButton.setEnabled(false);
    m_chooseFiles = MakeAddFilesChooser(&list);
    m_list.AcceptDroppedFiles([this](const std::string& path) { AddToQueue(path); });
    m_selectionChanged =
        QObject::connect(m_list.selectionModel(), &QItemSelectionModel::selectionChanged, &m_list,
                         [this](const QItemSelection& selected) { OnQueueItemChanged(selected); });
    m_walkTimer.setSingleShot(true);
    m_walkTimer.setInterval(0);
    QObject::connect(&m_walkTimer, &QTimer::timeout, [this] { ContinueWalks(); });
}

CInputQueue::~CInputQueue() {
    QObject::disconnect(m_selectionChanged);
    m_list.AcceptDroppedFiles(nullptr);
}

void CInputQueue::InitQueueColumns(const CImageList* images) {
    m_list.InsertColumns(kQueueColumns);
    m_list.SetImageList(images);
}

void CInputQueue::SetDispatchIfIdle(std::function<void()> dispatchIfIdle) {
    m_dispatchIfIdle = std::move(dispatchIfIdle);
}

void CInputQueue::SetAddFilesChooser(AddFilesChooser chooser) {
    m_chooseFiles = std::move(chooser);
}

int CInputQueue::AddToQueue(const std::string& named) {
    // Paths from the file dialog and from drops are absolute; a relative one is taken against
    // the working folder, so that its row still knows its folder.
    const std::string path =
        !named.empty() && named[0] != '/' ? platform::MakeAbsolute(named) : named;
    m_walks.push_back(PendingWalk{InputWalker(path), path});
    if (m_bWalking) return 1;  // a walk in progress takes this one on after its own
    ContinueWalks();
    // This walk came last: when nothing is left, it has ended within this call and its result
    // is known. A walk that goes on later was handled.
    return m_walks.empty() && m_lastWalkRefused ? 0 : 1;
}

void CInputQueue::ContinueWalks() {
    if (m_bWalking) return;
    m_bWalking = true;
    // The gauge would repaint itself at once for every row, and with it every widget waiting
    // to be drawn: it is drawn once, when the slice ends.
    m_gauge.setUpdatesEnabled(false);
    QElapsedTimer slice;
    slice.start();
    int handled = 0;
    while (!m_walks.empty()) {
        PendingWalk& walk = m_walks.front();
        std::string found;
        InputKind kind;
        if (walk.holding) {
            found = std::move(walk.held);
            kind = walk.heldKind;
            walk.holding = false;
        } else if (!walk.walker.Next(&found, &kind)) {
            m_lastWalkRefused = walk.namedRefused;
            m_walks.pop_front();
            continue;
        }
        // A long walk (a folder of thousands of files) goes on in later turns of the event
        // loop, so that the window keeps answering while it fills. A slice ends only before an
        // entry, never after a walk's last one: a walk with nothing left to add ends in the
        // turn that added its last entry, however long that took, so what AddToQueue returns
        // for a file does not depend on the machine's speed.
        if (handled > 0 && slice.elapsed() >= kWalkSliceMs) {
            walk.held = std::move(found);
            walk.heldKind = kind;
            walk.holding = true;
            m_walkTimer.start();
            break;
        }
        ++handled;
        bool added = false;
        if (kind == InputKind::File) {
            added = AddFile(found);
        } else {
            Refuse(kIllegalAttribute, found);
        }
        if (!added && found == walk.named) walk.namedRefused = true;
    }
    m_gauge.setUpdatesEnabled(true);
    m_bWalking = false;
}

void CInputQueue::Refuse(const char* format, const std::string& path) {
    const std::string translated =
        QCoreApplication::translate("CInputQueue", format).toUtf8().toStdString();
    GaugeShownDuring([&] { m_prompt.ShowError(WithPath(translated, path)); });
}

void CInputQueue::GaugeShownDuring(const std::function<void()>& call) {
    // A walk keeps the gauge from drawing itself until its slice ends; a message box or a job
    // started from here may stay open much longer, and over it the gauge must show the queue
    // as it is.
    const bool held = !m_gauge.updatesEnabled();
    if (held) m_gauge.setUpdatesEnabled(true);
    call();
    if (held) m_gauge.setUpdatesEnabled(false);
}

bool CInputQueue::AddFile(const std::string& path) {
    ClosingFile source{platform::OpenForRead(path)};
    uint64_t size = 0;
    if (source.file == platform::kInvalidFile || !platform::GetFileSize(source.file, &size)) {
        platform::CloseFile(source.file);
        Refuse(kCantOpen, path);
        return false;
    }
    std::string name, folder;
    SplitPath(path, &name, &folder);

    std::string type;
    std::string ratio = "100%";
    int image = kPlainFileImage;
    if (IsArchiveName(name)) {
        ArchiveHeader header;
        switch (ReadArchiveHeader(source.file, &header, HeaderField::SourceSize)) {
            case HeaderStatus::Ok:
                type = header.typeText;
                ratio = FormatRatio(size, header.sourceSize);
                break;
            case HeaderStatus::Truncated:
                // The magic is there but the header ends early: listed, with nothing to say
                // about its type or ratio. The dispatcher refuses it when its turn comes.
                ratio.clear();
                break;
            case HeaderStatus::NotArchive:
                platform::CloseFile(source.file);  // not held locked behind the message
                Refuse(kBadFormat, path);
                return false;
            case HeaderStatus::ReadError:
                platform::CloseFile(source.file);
                Refuse(kCantOpen, path);
                return false;
        }
        image = kArchiveImage;
    } else {
        type = TypeTextOf(name);
    }
    platform::CloseFile(source.file);

    m_list.InsertRowAtTop(path, image, m_nNextQueueId++);
    m_list.SetRowText(0, 2, type);
    m_list.SetRowText(0, 3, LocalDecimal(FormatSize(size)));
    m_list.SetRowText(0, 4, ratio);

    ++m_nQueued;
    m_gauge.setRange(0, m_nQueued);
    SetGaugePosition();
    if (m_dispatchIfIdle) GaugeShownDuring(m_dispatchIfIdle);
    return true;
}

void CInputQueue::SetGaugePosition() {
    m_gauge.setValue(m_nQueued);
}

void CInputQueue::OnAddFiles() {
    if (!m_chooseFiles) return;
    std::optional<AddFilesChoice> choice = m_chooseFiles(m_nFilterIndex);
    if (!choice) return;
    m_nFilterIndex = choice->filterIndex;
    for (const std::string& path : choice->paths) AddToQueue(path);
}

void CInputQueue::OnDeleteFiles() {
    std::vector<int> rows = m_list.SelectedRows();
    // The row whose job runs stays where it is, still selected; its job goes on.
    std::erase_if(rows, [this](int row) { return m_list.ItemData(row) < 0; });
    // Runs of adjacent rows go at once, bottom first so the indexes still to come stay valid:
    // deleting thousands of rows one by one would freeze the window.
    m_bDeletingRows = true;
    for (size_t end = rows.size(); end > 0;) {
        size_t begin = end - 1;
        while (begin > 0 && rows[begin - 1] == rows[begin] - 1) --begin;
        const int count = static_cast<int>(end - begin);
        m_list.DeleteRows(rows[begin], count);
        m_nQueued -= count;
        SetGaugePosition();
        end = begin;
    }
    m_bDeletingRows = false;
    m_deleteButton.setEnabled(false);
    m_list.RedrawBody();
}

void CInputQueue::UpdateDeleteButton() {
    std::vector<int> rows = m_list.SelectedRows();
    m_deleteButton.setEnabled(rows.size() >= 2 ||
                              (rows.size() == 1 && m_list.ItemData(rows[0]) >= 0));
}

void CInputQueue::OnQueueItemChanged(const QItemSelection& selected) {
    if (m_bDeletingRows) return;  // OnDeleteFiles sets the button itself when it is done
    m_list.ShowSelectedRows(selected);
    UpdateDeleteButton();
}

void CInputQueue::RemoveQueueRow(int row) {
    if (row < 0 || row >= m_list.RowCount()) return;
    m_list.RedrawBody();
    m_list.DeleteRow(row);
    --m_nQueued;
    SetGaugePosition();
}

}  // namespace kavrin
