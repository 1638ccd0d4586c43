// SPDX-License-Identifier: MIT
#include "lists/AddFilesDialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QListView>
#include <algorithm>

#include "tests/support/TestSupport.h"
#include "tests/support/WidgetTestSupport.h"

namespace kavrin {
namespace {

// The names the dialog's list shows now, sorted.
std::vector<std::string> Listed(QFileDialog& dialog) {
    auto* view = dialog.findChild<QListView*>(QStringLiteral("listView"));
    if (view == nullptr) return {"no list view"};
    std::vector<std::string> names;
    QAbstractItemModel* model = view->model();
    for (int row = 0; row < model->rowCount(view->rootIndex()); ++row) {
        names.push_back(model->index(row, 0, view->rootIndex()).data().toString().toStdString());
    }
    std::sort(names.begin(), names.end());
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
        // The dialog reads the folder on a thread of its own: wait until it lists what it should.
        test::WaitUntil([&] { return Listed(dialog) == c.listed; });
        EXPECT_EQ(Listed(dialog), c.listed) << c.filter;
    }
}

}  // namespace
}  // namespace kavrin
