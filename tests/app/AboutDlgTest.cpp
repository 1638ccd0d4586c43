#include "app/AboutDlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

#include "app/WebLink.h"
#include "tests/support/WidgetTestSupport.h"

namespace kavrin {
namespace {

using test::CountColour;

const QColor kBlue(0, 0, 255);
const QColor kPurple(128, 0, 128);

TEST(AboutDlgTest, ShowsTheProductAndALinkThatTurnsPurpleOnceOpened) {
    std::vector<QString> opened;
    bool succeed = false;
    {
        CAboutDlg about;
        EXPECT_EQ(about.windowTitle(), QStringLiteral("About Kavrin"));
        bool hasVersion = false;
        for (QLabel* label : about.findChildren<QLabel*>()) {
            hasVersion = hasVersion || label->text() == QStringLiteral("Kavrin Version 3.2");
        }
        EXPECT_TRUE(hasVersion);
        CWebLink& link = about.Link();
        EXPECT_EQ(link.text(), QString::fromLatin1(kWebAddress));
        link.SetOpener([&](const QString& url) {
            opened.push_back(url);
            return succeed;
        });
        // First drawn blue and underlined over the dialog's own background.
        EXPECT_EQ(link.TextColour(), kBlue);
        EXPECT_GT(CountColour(link, kBlue), 10);
        EXPECT_EQ(CountColour(link, kPurple), 0);

        // A failed open only beeps: still blue. A later successful one turns it purple.
        link.OnClicked();
        EXPECT_FALSE(link.Visited());
        EXPECT_EQ(link.TextColour(), kBlue);
        succeed = true;
        link.OnClicked();
        EXPECT_TRUE(link.Visited());
        EXPECT_GT(CountColour(link, kPurple), 10);
        EXPECT_EQ(CountColour(link, kBlue), 0);
        EXPECT_EQ(opened, (std::vector<QString>{QString::fromLatin1(kWebAddress),
                                                QString::fromLatin1(kWebAddress)}));
    }
    // Each opening is a new box: blue again.
    CAboutDlg again;
    EXPECT_EQ(again.Link().TextColour(), kBlue);
    EXPECT_FALSE(again.Link().Visited());
}

TEST(AboutDlgTest, OkEnterAndEscapeEndIt) {
    for (int key : {0, int(Qt::Key_Return), int(Qt::Key_Escape)}) {
        CAboutDlg about;
        about.show();
        if (key == 0) {
            about.findChild<QPushButton*>()->click();
        } else {
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
            QApplication::sendEvent(about.focusWidget() ? about.focusWidget() : &about, &press);
        }
        QApplication::processEvents();
        EXPECT_FALSE(about.isVisible()) << key;
    }
}

TEST(WebLinkTest, APictureLabelStillOpensButIsNotDrawnAsALink) {
    QPixmap picture(20, 10);
    picture.fill(QColor(10, 20, 30));
    CWebLink link(QStringLiteral("kavrin.example.org"));
    link.setPixmap(picture);
    link.resize(40, 20);
    int opens = 0;
    link.SetOpener([&](const QString&) { return ++opens > 0; });
    link.OnClicked();
    EXPECT_EQ(opens, 1);
    EXPECT_GT(CountColour(link, QColor(10, 20, 30)), 100);  // the picture, drawn as a label does
    EXPECT_EQ(CountColour(link, kPurple), 0);
}

}  // namespace
}  // namespace kavrin
