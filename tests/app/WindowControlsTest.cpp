// SPDX-License-Identifier: MIT
// The whole main window: settings between runs, the destination choice and Browse, the
// optimization choice, Delete Source, Enter and Escape, and the start-up file.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QSettings>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <functional>
#include <map>

#include "app/ArchiverApp.h"
#include "app/ArchiverDlg.h"
#include "app/PushLikeButton.h"
#include "app/Settings.h"
#include "lists/FileListCtrl.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WidgetTestSupport.h"
#include "tools/SampleSound.h"

namespace kavrin {
namespace {

using test::WaitUntil;

using test::TempDir;
using test::WriteFile;

// The store the window uses; its values are under "Settings/".
QSettings Store() {
    return QSettings(QStringLiteral("Tellmark"), QStringLiteral("Kavrin"));
}

// One window over a fresh settings store, or over what an earlier window left.
class WindowControlsTest : public ::testing::Test {
protected:
    void SetUp() override { Store().remove(QStringLiteral("Settings")); }

    std::unique_ptr<CArchiverDlg> Open(WindowSeams seams = {}) {
        return std::make_unique<CArchiverDlg>(&prompt_, nullptr, std::move(seams));
    }
    static QAbstractButton* Button(CArchiverDlg& window, int id) {
        return static_cast<QAbstractButton*>(window.GetDlgItem(id));
    }
    static QLineEdit* Edit(CArchiverDlg& window) {
        return static_cast<QLineEdit*>(window.GetDlgItem(IDC_DEST_DIR));
    }
    static QComboBox* Combo(CArchiverDlg& window) {
        return static_cast<QComboBox*>(window.GetDlgItem(IDC_OPTIMIZE));
    }

    test::ScriptedPrompt prompt_;
    TempDir dir_;
};

TEST_F(WindowControlsTest, AFirstStartShowsTheDefaults) {
    auto window = Open();
    EXPECT_FALSE(Button(*window, IDC_DELETE_SOURCE)->isChecked());
    EXPECT_TRUE(Button(*window, IDC_SAME_DIR)->isChecked());
    EXPECT_FALSE(Edit(*window)->isEnabled());
    EXPECT_FALSE(Button(*window, IDC_BROWSE)->isEnabled());
    EXPECT_EQ(Edit(*window)->text().toStdString(), DefaultDestinationFolder());
    EXPECT_EQ(DefaultDestinationFolder().substr(DefaultDestinationFolder().size() - 16),
              "/Kavrin Archive/");
    EXPECT_EQ(Combo(*window)->currentText(), QStringLiteral("Auto"));
    EXPECT_EQ(Combo(*window)->count(), 6);
    EXPECT_TRUE(Button(*window, IDC_START)->isEnabled());
    EXPECT_TRUE(Button(*window, IDC_STOP)->isChecked());
    EXPECT_FALSE(Button(*window, IDC_STOP)->isEnabled());
    EXPECT_FALSE(Button(*window, IDC_DELETE_FILES)->isEnabled());
    EXPECT_FALSE(Button(*window, IDC_CLEAR_REPORT)->isEnabled());
    EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(window->windowIcon().isNull());
    for (int id = IDC_START; id <= IDC_HELP; ++id) {
        EXPECT_FALSE(Button(*window, id)->icon().isNull()) << id;
    }
    EXPECT_TRUE(prompt_.shown.empty());
}

TEST_F(WindowControlsTest, SettingsChosenInOneRunAreShownInTheNext) {
    {
        auto window = Open();
        Button(*window, IDC_DEFINED_DIR)->click();
        EXPECT_TRUE(Edit(*window)->isEnabled());
        EXPECT_TRUE(Button(*window, IDC_BROWSE)->isEnabled());
        Edit(*window)->setText(QString::fromStdString(dir_ / "out"));
        EXPECT_EQ(window->DestDir(), dir_ / "out");  // every change is taken at once
        Combo(*window)->setCurrentIndex(3);
        Button(*window, IDC_DELETE_SOURCE)->click();
    }
    EXPECT_EQ(Store().value("Settings/DelSrc").toInt(), 1);
    EXPECT_EQ(Store().value("Settings/SameDir").toInt(), 0);
    EXPECT_EQ(Store().value("Settings/Optimize").toInt(), 3);
    {
        auto window = Open();
        EXPECT_TRUE(Button(*window, IDC_DELETE_SOURCE)->isChecked());
        EXPECT_TRUE(Button(*window, IDC_DEFINED_DIR)->isChecked());
        EXPECT_TRUE(Edit(*window)->isEnabled());
        EXPECT_EQ(Edit(*window)->text().toStdString(), dir_ / "out");
        EXPECT_EQ(Combo(*window)->currentText(), QStringLiteral("16 bit"));
        // An emptied edit box leaves the stored folder alone.
        Edit(*window)->clear();
        EXPECT_EQ(window->DestDir(), "");
        Button(*window, IDC_SAME_DIR)->click();
    }
    auto window = Open();
    EXPECT_EQ(Edit(*window)->text().toStdString(), dir_ / "out");
    EXPECT_TRUE(Button(*window, IDC_SAME_DIR)->isChecked());
    EXPECT_FALSE(Edit(*window)->isEnabled());
}

TEST_F(WindowControlsTest, StoredValuesTheWindowCannotUseAreCorrected) {
    Store().setValue("Settings/DelSrc", 7);
    Store().setValue("Settings/SameDir", -1);
    Store().setValue("Settings/Optimize", 9);
    Store().setValue("Settings/DstDir", QString(300, QLatin1Char('d')));
    {
        auto window = Open();
        EXPECT_FALSE(Button(*window, IDC_DELETE_SOURCE)->isChecked());
        EXPECT_TRUE(Button(*window, IDC_SAME_DIR)->isChecked());
        EXPECT_EQ(Combo(*window)->currentIndex(), 0);
        EXPECT_EQ(window->DestDir(), std::string(kMaxDestDir, 'd'));
        // Typed text is cut the same way, never inside a character.
        Edit(*window)->setText(QString(258, QLatin1Char('e')) + QStringLiteral("\u00e9"));
        EXPECT_EQ(window->DestDir(), std::string(258, 'e'));
    }
    EXPECT_EQ(CutToBytes("ab\xc3\xa9", 3), "ab");
    EXPECT_EQ(CutToBytes("ab\xc3\xa9", 4), "ab\xc3\xa9");
}

TEST_F(WindowControlsTest, AFailedOpeningClosesAndKeepsTheStoredSettings) {
    Store().setValue("Settings/Optimize", 4);
    WindowSeams seams;
    seams.createEngine = [] { return EngineContextPtr(); };
    {
        auto window = Open(seams);
        EXPECT_EQ(prompt_.shown, std::vector<std::string>{"No memory"});
        window->show();
        ASSERT_TRUE(WaitUntil([&] { return !window->isVisible(); }));
    }
    EXPECT_EQ(Store().value("Settings/Optimize").toInt(), 4);
}

TEST_F(WindowControlsTest, EnterAndEscapeNeverCloseTheWindow) {
    auto window = Open();
    window->show();
    for (int id : {IDC_DEST_DIR, IDC_QUEUE_LIST, IDC_START, IDC_OPTIMIZE}) {
        for (int key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
            QApplication::sendEvent(window->GetDlgItem(id), &press);
            QApplication::processEvents();
            EXPECT_TRUE(window->isVisible()) << id << " " << key;
        }
    }
    EXPECT_FALSE(window->Dispatch().Running());  // Enter did not press Start either
    window->close();
    EXPECT_FALSE(window->isVisible());
}

TEST_F(WindowControlsTest, TabGoesRowByRowAndDeleteIsTheDeleteButton) {
    auto window = Open();
    // Every control Tab reaches, in the order it reaches them: each one lies on a lower row
    // than the one before, or on the same row further right.
    std::vector<QWidget*> chain;
    QWidget* first = window->GetDlgItem(IDC_QUEUE_LIST);
    QWidget* control = first;
    do {
        if (control->parentWidget() == window.get() && (control->focusPolicy() & Qt::TabFocus)) {
            chain.push_back(control);
        }
        control = control->nextInFocusChain();
    } while (control != first);
    EXPECT_EQ(chain.size(), 14u);
    for (size_t i = 1; i < chain.size(); ++i) {
        const QRect before = chain[i - 1]->geometry(), after = chain[i]->geometry();
        const bool sameRow = after.top() <= before.bottom() && before.top() <= after.bottom();
        EXPECT_TRUE(sameRow ? after.left() > before.left() : after.top() > before.bottom())
            << chain[i - 1]->objectName().toStdString() << " -> "
            << chain[i]->objectName().toStdString();
    }

    // The destination buttons are one choice: an arrow key moves to the other and chooses it.
    window->show();
    QApplication::setActiveWindow(window.get());
    Button(*window, IDC_SAME_DIR)->setFocus();
    QKeyEvent right(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier);
    QApplication::sendEvent(Button(*window, IDC_SAME_DIR), &right);
    EXPECT_TRUE(Button(*window, IDC_DEFINED_DIR)->isChecked());
    EXPECT_FALSE(Button(*window, IDC_SAME_DIR)->isChecked());
    EXPECT_TRUE(Edit(*window)->isEnabled());

    // Delete on the queue deletes the selected rows but the one whose job runs.
    auto* queue = static_cast<CFileListCtrl*>(window->GetDlgItem(IDC_QUEUE_LIST));
    for (const char* name : {"a.wav", "b.wav", "c.wav"}) {
        WriteFile(dir_ / name, "x");
        window->AddToQueue(dir_ / name);
    }
    queue->SetItemData(2, static_cast<int32_t>(0x80000000u));  // a.wav, in progress
    auto pressDelete = [&] {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
        QApplication::sendEvent(queue, &press);
    };
    queue->selectAll();
    pressDelete();
    ASSERT_EQ(queue->RowCount(), 1);
    EXPECT_EQ(queue->RowFileName(0), "a.wav");
    EXPECT_EQ(window->Queue().Queued(), 1);
    queue->selectAll();
    pressDelete();
    EXPECT_EQ(queue->RowCount(), 1);
}

TEST_F(WindowControlsTest, BrowseTakesALocalFolderWithItsSlash) {
    std::optional<QUrl> next;
    WindowSeams seams;
    seams.chooseFolder = [&] { return next; };
    auto window = Open(seams);
    Button(*window, IDC_DEFINED_DIR)->click();

    next = QUrl::fromLocalFile(QString::fromStdString(dir_ / "chosen"));
    Button(*window, IDC_BROWSE)->click();
    EXPECT_EQ(window->DestDir(), dir_ / "chosen/");
    EXPECT_EQ(Edit(*window)->text().toStdString(), dir_ / "chosen/");
    next = QUrl::fromLocalFile(QStringLiteral("/"));
    Button(*window, IDC_BROWSE)->click();
    EXPECT_EQ(window->DestDir(), "/");  // already ends with its slash

    // Cancelled: nothing changes. No file-system path, or no room for the slash: "Shell Error".
    next.reset();
    Button(*window, IDC_BROWSE)->click();
    next = QUrl(QStringLiteral("sftp://host/music"));
    Button(*window, IDC_BROWSE)->click();
    next = QUrl::fromLocalFile(QStringLiteral("/") + QString(kMaxDestDir - 1, QLatin1Char('x')));
    Button(*window, IDC_BROWSE)->click();
    EXPECT_EQ(prompt_.shown, (std::vector<std::string>{"Shell Error", "Shell Error"}));
    EXPECT_EQ(window->DestDir(), "/");
}

TEST_F(WindowControlsTest, TheStartupFilesAreQueuedInOrderAndWaitForStart) {
    const char* argv[] = {"kavrin", "-reverse", "take.kvn", "/a/second.kvn", "--", "-dash.wav"};
    const std::vector<std::string> named = StartupFilesFromArguments(6, argv);
    ASSERT_EQ(named.size(), 3u);
    EXPECT_EQ(named[0].front(), '/');
    EXPECT_EQ(named[0].substr(named[0].size() - 9), "/take.kvn");
    EXPECT_EQ(named[1], "/a/second.kvn");
    EXPECT_EQ(named[2].substr(named[2].size() - 10), "/-dash.wav");
    const char* switchesOnly[] = {"kavrin", "-style", "-x"};
    EXPECT_TRUE(StartupFilesFromArguments(3, switchesOnly).empty());

    for (const char* name : {"a.raw", "b.raw", "c.raw", "d.raw"}) WriteFile(dir_ / name, "x");
    g_startupFiles = {dir_ / "a.raw", dir_ / "b.raw"};
    auto window = Open();
    EXPECT_TRUE(g_startupFiles.empty());  // taken once
    auto* queue = static_cast<CFileListCtrl*>(window->GetDlgItem(IDC_QUEUE_LIST));
    // Queued once the window is on screen, in their order (the first at the bottom, so it is
    // the first one worked); files opened meanwhile follow them, and so do later ones.
    window->OpenFiles({dir_ / "c.raw"});
    EXPECT_EQ(queue->RowCount(), 0);
    window->show();
    ASSERT_TRUE(WaitUntil([&] { return queue->RowCount() == 3; }));
    window->OpenFiles({dir_ / "d.raw"});
    std::vector<std::string> rows;
    for (int row = queue->RowCount() - 1; row >= 0; --row) rows.push_back(queue->RowFileName(row));
    EXPECT_EQ(rows, (std::vector<std::string>{"a.raw", "b.raw", "c.raw", "d.raw"}));
    QApplication::processEvents();
    EXPECT_FALSE(window->Dispatch().Running());
    EXPECT_EQ(queue->ItemData(3), 0);  // queued, not in progress
}

// Tells whether the window was on screen when each message came.
class WatchingPrompt : public test::ScriptedPrompt {
public:
    void ShowError(const std::string& text) override {
        windowShown.push_back(window != nullptr && window->isVisible());
        ScriptedPrompt::ShowError(text);
    }
    QWidget* window = nullptr;
    std::vector<bool> windowShown;
};

TEST_F(WindowControlsTest, AMessageAboutTheStartupFileComesOverTheShownWindow) {
    WriteFile(dir_ / ".hidden.wav", "x");
    g_startupFiles = {dir_ / ".hidden.wav"};
    WatchingPrompt prompt;
    CArchiverDlg window(&prompt);
    prompt.window = &window;
    QApplication::processEvents();
    EXPECT_TRUE(prompt.shown.empty());  // nothing before the window is shown
    window.show();
    ASSERT_TRUE(WaitUntil([&] { return prompt.shown.size() == 1; }));
    EXPECT_EQ(prompt.windowShown, std::vector<bool>{true});
    EXPECT_NE(prompt.shown[0].find("Illegal file attribute"), std::string::npos);
}

TEST_F(WindowControlsTest, IsANormalFixedSizeWindowThatCanBeMinimised) {
    auto window = Open();
    window->show();
    ASSERT_NE(window->windowHandle(), nullptr);
    // A normal top-level window, transient for nothing, so task bars list it; not modal.
    EXPECT_EQ(window->windowType(), Qt::Window);
    EXPECT_EQ(window->windowHandle()->type(), Qt::Window);
    EXPECT_EQ(window->windowHandle()->transientParent(), nullptr);
    EXPECT_EQ(window->windowModality(), Qt::NonModal);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
}

// Runs `look` on the context menu as soon as it is open, then closes it.
void WhenMenuOpens(std::function<void(QMenu&)> look) {
    QTimer::singleShot(0, [look] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr) return;  // the test sees no menu and fails
        look(*menu);
        menu->close();
    });
}

TEST_F(WindowControlsTest, TheKeyboardOpensTheWindowMenuAndFromItTheAboutBox) {
    auto window = Open();
    window->show();
    QWidget* start = window->GetDlgItem(IDC_START);
    start->setFocus();
    // Shift+F10, as the user types it on a control with no menu of its own: the window's menu,
    // ending in the About box's entry. Choosing it opens the About box.
    QStringList entries;
    bool aboutShown = false;
    WhenMenuOpens([&](QMenu& menu) {
        for (QAction* action : menu.actions()) entries << action->text();
        QTimer::singleShot(0, [&] {
            QWidget* about = QApplication::activeModalWidget();
            aboutShown = about != nullptr && about->windowTitle() == QStringLiteral("About Kavrin");
            if (about != nullptr) about->close();
        });
        menu.actions().last()->trigger();
    });
    QKeyEvent shiftF10(QEvent::KeyPress, Qt::Key_F10, Qt::ShiftModifier);
    QApplication::sendEvent(start, &shiftF10);
    EXPECT_EQ(entries, (QStringList{QStringLiteral("Mi&nimize"), QStringLiteral("&Close"),
                                    QString(), QStringLiteral("&About Kavrin...")}));
    EXPECT_TRUE(aboutShown);

    // The Menu key: the desktop sends the focused control a keyboard context menu event.
    QWidget* queue = window->GetDlgItem(IDC_QUEUE_LIST);
    queue->setFocus();
    int menus = 0;
    WhenMenuOpens([&](QMenu&) { ++menus; });
    QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(5, 5),
                              queue->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(queue, &menuKey);
    EXPECT_EQ(menus, 1);
    EXPECT_TRUE(window->isVisible());
}

TEST_F(WindowControlsTest, ThePressedOneOfStartAndStopShowsAtAGlance) {
    auto window = Open();
    window->show();
    // The face of a button as drawn: its most frequent colour.
    auto face = [&](int id) {
        const QImage image = window->GetDlgItem(id)->grab().toImage();
        std::map<QRgb, int> counts;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) ++counts[image.pixel(x, y)];
        }
        return QColor(std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) {
                          return a.second < b.second;
                      })->first);
    };
    // Pressed in and raised faces lie far apart, whichever of the two is greyed.
    auto apart = [](QColor a, QColor b) {
        const int r = a.red() - b.red(), g = a.green() - b.green(), bl = a.blue() - b.blue();
        return std::sqrt(double(r * r + g * g + bl * bl));
    };
    EXPECT_GT(apart(face(IDC_START), face(IDC_STOP)), 60);  // Stop pressed and greyed
    EXPECT_EQ(face(IDC_STOP), PressedFace(window->palette()));
    Button(*window, IDC_START)->click();
    EXPECT_GT(apart(face(IDC_START), face(IDC_STOP)), 60);  // Start pressed and greyed
    EXPECT_EQ(face(IDC_START), PressedFace(window->palette()));
    // A dark palette keeps them apart too.
    QPalette dark;
    dark.setColor(QPalette::Button, QColor(53, 53, 53));
    dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
    EXPECT_GT(apart(PressedFace(dark), QColor(53, 53, 53)), 60);
}

TEST_F(WindowControlsTest, AJobThroughTheRealControls) {
    samples::SoundSpec spec;
    spec.channels = 1;
    WriteFile(dir_ / "take.wav", samples::MakeWav(spec));
    auto window = Open();
    auto* queue = static_cast<CFileListCtrl*>(window->GetDlgItem(IDC_QUEUE_LIST));
    auto* report = static_cast<CFileListCtrl*>(window->GetDlgItem(IDC_REPORT_LIST));
    Combo(*window)->setCurrentIndex(3);  // "16 bit"
    Button(*window, IDC_DELETE_SOURCE)->click();
    Button(*window, IDC_START)->click();
    EXPECT_TRUE(Button(*window, IDC_START)->isChecked());
    EXPECT_FALSE(Button(*window, IDC_START)->isEnabled());
    EXPECT_TRUE(Button(*window, IDC_STOP)->isEnabled());
    // A file queued while processing is on starts at once.
    window->AddToQueue(dir_ / "take.wav");
    EXPECT_LT(queue->ItemData(0), 0);  // marked in progress
    ASSERT_TRUE(WaitUntil([&] { return report->RowCount() == 1; }));
    EXPECT_EQ(report->RowText(0, 2), "compressed");
    EXPECT_EQ(report->RowText(0, 3), "16-bit");
    EXPECT_EQ(queue->RowCount(), 0);
    EXPECT_EQ(test::ListFolder(dir_.path()), std::vector<std::string>{"take.kvn"});
}

}  // namespace
}  // namespace kavrin
