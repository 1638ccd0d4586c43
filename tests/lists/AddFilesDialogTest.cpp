#include "lists/AddFilesDialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QListView>
#include <QThread>
#include <algorithm>

#include "tests/support/TestSupport.h"

namespace kavrin {
namespace {

// The names the dialog lists in its folder once it has read it, sorted.
std::vector<std::string> Listed(QFileDialog& dialog) {
    auto* view = dialog.findChild<QListView*>(QStringLiteral("listView"));
    if (view == nullptr) return {"no list view"};
    std::vector<std::string> names;
    QElapsedTimer timer;
    timer.start();
    // The dialog reads folders on a thread of its own; wait until the listing settles.
    size_t stableFor = 0;
    while (timer.elapsed() < 5000 && stableFor < 10) {
        QCoreApplication::processEvents();
        QThread::msleep(10);
        std::vector<std::string> now;
        QAbstractItemModel* model = view->model();
        for (int row = 0; row < model->rowCount(view->rootIndex()); ++row) {
            now.push_back(model->index(row, 0, view->rootIndex()).data().toString().toStdString());
        }
        std::sort(now.begin(), now.end());
        stableFor = !now.empty() && now == names ? stableFor + 1 : 0;
        names = now;
    }
    return names;
}

TEST(AddFilesDialogTest, ShowsTheFiltersAsWrittenAndKeepsTheChoice) {
    QFileDialog dialog;
    ConfigureAddFilesDialog(dialog, 11);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Add files to Input Queue"));
    EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFiles);
    EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptOpen);

    auto* combo = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    ASSERT_NE(combo, nullptr);
    ASSERT_EQ(combo->count(), kAddFilesFilterCount);
    for (int i = 0; i < kAddFilesFilterCount; ++i) {
        EXPECT_EQ(combo->itemText(i).toStdString(), kAddFilesFilters[i].description);
    }
    EXPECT_EQ(combo->currentIndex(), 11);
    EXPECT_EQ(SelectedAddFilesFilter(dialog), 11);
    // Gigastudio and Nemesys/Tascam share their pattern but stay two filters.
    ConfigureAddFilesDialog(dialog, 13);
    EXPECT_EQ(SelectedAddFilesFilter(dialog), 13);
    ConfigureAddFilesDialog(dialog, 18);
    EXPECT_EQ(SelectedAddFilesFilter(dialog), 0);
}

TEST(AddFilesDialogTest, PatternsIgnoreCaseAndTheFirstListsEveryFile) {
    test::TempDir dir;
    for (const char* name :
         {"readme", "take.WAV", "loop.kvn", "LOOP2.KVN", "bank.Sf2", "x.aiff", "notes.txt"}) {
        test::WriteFile(dir / name, "x");
    }
    QFileDialog dialog;
    dialog.setDirectory(QString::fromStdString(dir.path()));
    struct Case {
        int filter;
        std::vector<std::string> listed;
    } cases[] = {
        {0, {"LOOP2.KVN", "bank.Sf2", "loop.kvn", "notes.txt", "readme", "take.WAV", "x.aiff"}},
        {1, {"LOOP2.KVN", "loop.kvn"}},
        {2, {"take.WAV", "x.aiff"}},
        {15, {"bank.Sf2"}},
    };
    for (const Case& c : cases) {
        ConfigureAddFilesDialog(dialog, c.filter);
        EXPECT_EQ(Listed(dialog), c.listed) << c.filter;
    }
}

}  // namespace
}  // namespace kavrin
