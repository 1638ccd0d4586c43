// SPDX-License-Identifier: MIT
// The window in German: the messages the job machinery sends in English, with the file names
// they carry, and the texts of the lists.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QHeaderView>
#include <QLocale>
#include <QTranslator>

#include "app/ArchiverDlg.h"
#include "app/MessageText.h"
#include "lists/FileListCtrl.h"
#include "tests/support/ScriptedPrompt.h"

namespace kavrin {
namespace {

class TranslationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(german_.load(QLocale(QLocale::German), QStringLiteral("kavrin"),
                                 QStringLiteral("_"), QStringLiteral(":/translations")));
        QCoreApplication::installTranslator(&german_);
    }
    void TearDown() override { QCoreApplication::removeTranslator(&german_); }
    QTranslator german_;
};

TEST_F(TranslationTest, MessagesOfTheJobsKeepTheirFileNames) {
    const struct {
        std::string sent;
        QString shown;
    } cases[] = {
        {"File already exists\n/a/Piano.kvn\nIt holds another file: Piano.C4.wav\nOverwrite?",
         QStringLiteral("Datei existiert bereits\n/a/Piano.kvn\nSie enthält eine andere Datei: "
                        "Piano.C4.wav\nÜberschreiben?")},
        {"File already exists\n/a/%2 b.kvn\nOverwrite?",
         QStringLiteral("Datei existiert bereits\n/a/%2 b.kvn\nÜberschreiben?")},
        {"Can't create file\n/out/x.kvn",
         QStringLiteral("Datei kann nicht erstellt werden\n/out/x.kvn")},
        {"Cat't perform operation", QStringLiteral("Vorgang kann nicht ausgeführt werden")},
        {"Cat't perform operation!", QStringLiteral("Cat't perform operation!")},  // unknown
        {"Can't create file", QStringLiteral("Can't create file")},                // no name
    };
    for (const auto& one : cases) EXPECT_EQ(TranslatedMessage(one.sent), one.shown) << one.sent;
}

TEST_F(TranslationTest, TheWindowShowsItsTextsInGerman) {
    test::ScriptedPrompt prompt;
    CArchiverDlg window(&prompt);
    auto* queue = static_cast<CFileListCtrl*>(window.GetDlgItem(IDC_QUEUE_LIST));
    EXPECT_EQ(queue->headerItem()->text(2), QStringLiteral("Typ"));
    // Every German header fits its column ("Verhältnis" is longer than "Ratio").
    for (int id : {IDC_QUEUE_LIST, IDC_REPORT_LIST}) {
        auto* list = static_cast<CFileListCtrl*>(window.GetDlgItem(id));
        for (int column = 0; column < list->columnCount(); ++column) {
            EXPECT_GE(list->columnWidth(column), list->header()->sectionSizeHint(column))
                << id << " " << list->headerItem()->text(column).toStdString();
        }
    }
    EXPECT_EQ(window.GetDlgItem(IDC_DELETE_SOURCE)->toolTip(), QStringLiteral("Quelle löschen"));
    // Refusals of the queue say why in German, and name the file as it is.
    window.AddToQueue("/no/such/täke.wav");
    ASSERT_EQ(prompt.shown.size(), 1u);
    EXPECT_EQ(prompt.shown[0],
              "Diese Datei kann nicht zur Eingabewarteschlange hinzugefügt werden:\n"
              "/no/such/täke.wav\n\nGrund: Unzulässiges Dateiattribut.");
    // Sizes in the lists as German writes them.
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German));
    EXPECT_EQ(LocalDecimal("40.896M"), "40,896M");
    QLocale::setDefault(before);
}

}  // namespace
}  // namespace kavrin
