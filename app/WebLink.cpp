// SPDX-License-Identifier: MIT
#include "app/WebLink.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QProcess>
#include <QTimer>
#include <QUrl>
#include <memory>

namespace kavrin {

QProcess* OpenWithDesktop(const QString& url, CWebLink::OpenDone done, int settleMs) {
    // The process has no parent: closing the About box must not end a browser that xdg-open
    // runs in the foreground. It deletes itself when it ends.
    auto* process = new QProcess;
    auto report = std::make_shared<CWebLink::OpenDone>(std::move(done));
    auto once = [report](bool opened) {
        if (!*report) return;
        CWebLink::OpenDone callback = std::move(*report);
        *report = nullptr;
        callback(opened);
    };
    QObject::connect(process, &QProcess::finished, process,
                     [process, once](int status, QProcess::ExitStatus how) {
                         once(how == QProcess::NormalExit && status == 0);
                         process->deleteLater();
                     });
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [process, once](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart) return;
                         once(false);
                         process->deleteLater();
                     });
    auto* settled = new QTimer(process);
    settled->setSingleShot(true);
    QObject::connect(settled, &QTimer::timeout, process, [once] { once(true); });
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    process->start(QStringLiteral("xdg-open"), {QUrl::fromUserInput(url).toString()});
    settled->start(settleMs);
    return process;
}

CWebLink::CWebLink(const QString& text, QWidget* parent) : QLabel(text, parent) {
    m_open = [](const QString& url, OpenDone done) { OpenWithDesktop(url, std::move(done)); };
}

bool CWebLink::IsPlainText() const {
    return pixmap().isNull() && movie() == nullptr && !text().isEmpty() &&
           textFormat() != Qt::RichText;
}

void CWebLink::paintEvent(QPaintEvent* event) {
    if (!IsPlainText()) {
        QLabel::paintEvent(event);
        return;
    }
    if (!m_fontUnderline) {
        QFont underlined = font();
        underlined.setUnderline(true);
        m_fontUnderline = underlined;
    }
    // No background of its own: the dialog shows through behind the text.
    QPainter painter(this);
    painter.setFont(*m_fontUnderline);
    painter.setPen(TextColour());
    painter.drawText(contentsRect(), static_cast<int>(alignment()), text());
}

void CWebLink::mousePressEvent(QMouseEvent* event) {
    m_pressed = event->button() == Qt::LeftButton;
    QLabel::mousePressEvent(event);
}

void CWebLink::mouseReleaseEvent(QMouseEvent* event) {
    const bool click = m_pressed && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    m_pressed = false;
    QLabel::mouseReleaseEvent(event);
    if (click) OnClicked();
}

void CWebLink::OnClicked() {
    if (m_strUrl.isEmpty()) m_strUrl = text();
    QPointer<CWebLink> self(this);
    m_open(m_strUrl, [self](bool opened) {
        if (self) self->OnOpened(opened);
    });
}

void CWebLink::OnOpened(bool opened) {
    if (!opened) {
        QApplication::beep();
        return;
    }
    m_bVisited = true;
    update();
}

}  // namespace kavrin
