// SPDX-License-Identifier: MIT
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
    setWindowTitle(tr("About Kavrin"));
    const DialogUnits units(font());
    setFixedSize(units.X(228), units.Y(130));

    auto* version = new QLabel(tr("Kavrin Version 3.2"), this);
    version->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    version->setTextFormat(Qt::PlainText);
    version->setGeometry(units.ToPixels(81, 47, 143, 8));

    auto* ok = new QPushButton(tr("OK"), this);
    ok->setDefault(true);
    ok->setGeometry(units.ToPixels(126, 112, 50, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    // The banner at its own size (drawn for this screen's pixel density, never scaled as a
    // bitmap), centred where the template puts it, in an etched frame that keeps the
    // template's margins around it.
    auto* banner = new QLabel(this);
    banner->setPixmap(res::Banner(devicePixelRatioF()));
    QRect place(QPoint(0, 0), res::kBannerSize);
    place.moveCenter(units.ToPixels(30, 6, 167, 34).center());
    banner->setGeometry(place);
    auto* frame = new QFrame(this);
    frame->setFrameStyle(QFrame::Box | QFrame::Sunken);
    frame->setGeometry(place.adjusted(-units.X(3), -units.Y(2), units.X(3), units.Y(2)));
    frame->lower();

    m_link = new CWebLink(QString::fromLatin1(kWebAddress), this);
    m_link->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    m_link->setTextFormat(Qt::PlainText);
    m_link->setGeometry(units.ToPixels(4, 49, 72, 8));

    auto* icon = new QLabel(this);
    icon->setGeometry(units.ToPixels(28, 61, 20, 20));
    icon->setPixmap(res::ApplicationIcon().pixmap(icon->size(), devicePixelRatioF()));
}

}  // namespace kavrin
