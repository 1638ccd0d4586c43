// SPDX-License-Identifier: MIT
#include "app/AboutDlg.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <QApplication>
#include <QFrame>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <cstdio>

#include "app/WebLink.h"
#include "res/Resources.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WidgetTestSupport.h"

namespace kavrin {
namespace {

using test::CountColour;

const QColor kBlue(0, 0, 255);
const QColor kPurple(128, 0, 128);

TEST(AboutDlgTest, ShowsTheProductAndALinkThatTurnsPurpleOnlyOnceOpened) {
    std::vector<QString> opened;
    std::vector<CWebLink::OpenDone> pending;
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
        link.SetOpener([&](const QString& url, CWebLink::OpenDone done) {
            opened.push_back(url);
            pending.push_back(std::move(done));
        });
        // First drawn blue and underlined over the dialog's own background.
        EXPECT_EQ(link.TextColour(), kBlue);
        EXPECT_GT(CountColour(link, kBlue), 10);
        EXPECT_EQ(CountColour(link, kPurple), 0);

        // A click only starts the opening: blue until the handler says it opened the address.
        // A failure only beeps; a later success turns it purple.
        link.OnClicked();
        EXPECT_EQ(link.TextColour(), kBlue);
        ASSERT_EQ(pending.size(), 1u);
        pending[0](false);
        EXPECT_FALSE(link.Visited());
        EXPECT_EQ(CountColour(link, kPurple), 0);
        link.OnClicked();
        ASSERT_EQ(pending.size(), 2u);
        EXPECT_FALSE(link.Visited());
        pending[1](true);
        EXPECT_TRUE(link.Visited());
        EXPECT_GT(CountColour(link, kPurple), 10);
        EXPECT_EQ(CountColour(link, kBlue), 0);
        EXPECT_EQ(opened, (std::vector<QString>{QString::fromLatin1(kWebAddress),
                                                QString::fromLatin1(kWebAddress)}));
        link.OnClicked();  // answered after the box has gone
    }
    ASSERT_EQ(pending.size(), 3u);
    pending[2](true);
    // Each opening is a new box: blue again.
    CAboutDlg again;
    EXPECT_EQ(again.Link().TextColour(), kBlue);
    EXPECT_FALSE(again.Link().Visited());
}

// The desktop's handler, through a stand-in xdg-open on PATH that ends as the test says.
TEST(WebLinkTest, TheDesktopHandlerCountsOnlyAnAddressItOpened) {
    test::TempDir dir;
    const std::string script = dir / "xdg-open";
    test::WriteFile(script,
                    "#!/bin/sh\n"
                    "cd \"$(dirname \"$0\")\"\n"
                    "echo \"$1\" >> asked\n"
                    "while [ -e hold ]; do sleep 0.01; done\n"
                    "exit $(cat status)\n");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    const QByteArray path = qgetenv("PATH");
    std::vector<int> answers;
    const std::string withStandIn = dir.path() + ":" + path.toStdString();
    auto open = [&](const std::string& searched, const char* status, int settleMs) {
        test::WriteFile(dir / "status", status);
        qputenv("PATH", QByteArray::fromStdString(searched));
        QPointer<QProcess> handler = OpenWithDesktop(
            QStringLiteral("kavrin.example.org"),
            [&](bool opened) { answers.push_back(opened ? 1 : 0); }, settleMs);
        qputenv("PATH", path);
        return handler;
    };
    auto ended = [](const QPointer<QProcess>& handler) {
        return test::WaitUntil([&] {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            return handler.isNull();
        });
    };

    // Ends with a failure (no handler for the address): not opened. Ends with 0: opened.
    EXPECT_TRUE(ended(open(withStandIn, "3", 60000)));
    EXPECT_TRUE(ended(open(withStandIn, "0", 60000)));
    // Still running when it settles: a browser in the foreground took the address. Later
    // ending with a failure changes nothing.
    test::WriteFile(dir / "hold", "");
    QPointer<QProcess> held = open(withStandIn, "1", 0);
    ASSERT_TRUE(test::WaitUntil([&] { return answers.size() == 3; }));
    std::remove((dir / "hold").c_str());
    EXPECT_TRUE(ended(held));
    // No xdg-open at all: not opened.
    EXPECT_TRUE(ended(open(dir / "nowhere", "0", 60000)));
    EXPECT_EQ(answers, (std::vector<int>{0, 1, 1, 0}));
    EXPECT_EQ(test::ReadFile(dir / "asked"),
              "http://kavrin.example.org\nhttp://kavrin.example.org\nhttp://kavrin.example.org\n");
}

TEST(AboutDlgTest, TheBannerIsDrawnAtItsOwnSizeWithItsWordsApart) {
    CAboutDlg about;
    QLabel* banner = nullptr;
    for (QLabel* label : about.findChildren<QLabel*>()) {
        if (label->pixmap().size() == res::kBannerSize) banner = label;
    }
    ASSERT_NE(banner, nullptr);  // never scaled as a bitmap
    EXPECT_EQ(banner->size(), res::kBannerSize);
    auto* frame = about.findChild<QFrame*>(QString(), Qt::FindDirectChildrenOnly);
    EXPECT_TRUE(frame->geometry().contains(banner->geometry()));

    // The white name ends well before the yellow words begin (the wave, white too, lies left
    // of the name).
    const QImage picture = res::Banner().toImage();
    int nameEnd = 0, wordsStart = picture.width();
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 72; x < picture.width(); ++x) {
            const QColor c = picture.pixelColor(x, y);
            if (c.red() > 200 && c.green() > 200 && c.blue() > 200) nameEnd = std::max(nameEnd, x);
            if (c.red() > 200 && c.green() > 150 && c.blue() < 120) {
                wordsStart = std::min(wordsStart, x);
            }
        }
    }
    EXPECT_GT(nameEnd, 150);
    EXPECT_GE(wordsStart - nameEnd, 8) << nameEnd << " " << wordsStart;
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
    link.SetOpener([&](const QString&, CWebLink::OpenDone done) {
        ++opens;
        done(true);
    });
    link.OnClicked();
    EXPECT_EQ(opens, 1);
    EXPECT_GT(CountColour(link, QColor(10, 20, 30)), 100);  // the picture, drawn as a label does
    EXPECT_EQ(CountColour(link, kPurple), 0);
}

}  // namespace
}  // namespace kavrin
