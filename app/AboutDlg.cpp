#include "app/AboutDlg.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include "app/DialogUnits.h"
#include "app/WebLink.h"
#include "res/Resources.h"

namespace kavrin {

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
    setWindowTitle(QStringLiteral("About Kavrin"));
    const DialogUnits units(font());
    setFixedSize(units.X(228), units.Y(130));

    auto* version = new QLabel(QStringLiteral("Kavrin Version 3.2"), this);
    version->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    version->setTextFormat(Qt::PlainText);
    version->setGeometry(units.ToPixels(81, 47, 143, 8));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    ok->setGeometry(units.ToPixels(126, 112, 50, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* frame = new QFrame(this);
    frame->setFrameStyle(QFrame::Box | QFrame::Sunken);
    frame->setGeometry(units.ToPixels(27, 4, 173, 38));
    auto* banner = new QLabel(this);
    banner->setGeometry(units.ToPixels(30, 6, 167, 34));
    banner->setAlignment(Qt::AlignCenter);
    const QPixmap picture = res::Banner(devicePixelRatioF());
    banner->setPixmap(picture.scaled(banner->size() * devicePixelRatioF(), Qt::KeepAspectRatio,
                                     Qt::SmoothTransformation));

    m_link = new CWebLink(QString::fromLatin1(kWebAddress), this);
    m_link->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_link->setTextFormat(Qt::PlainText);
    m_link->setGeometry(units.ToPixels(4, 49, 72, 8));

    auto* icon = new QLabel(this);
    icon->setGeometry(units.ToPixels(28, 61, 20, 20));
    icon->setPixmap(res::ApplicationIcon().pixmap(icon->size(), devicePixelRatioF()));
}

}  // namespace kavrin
