#include "app/WebLink.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QPainter>
#include <QUrl>

namespace kavrin {

CWebLink::CWebLink(const QString& text, QWidget* parent) : QLabel(text, parent) {
    m_open = [](const QString& url) { return QDesktopServices::openUrl(QUrl::fromUserInput(url)); };
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
    if (!m_open(m_strUrl)) {
        QApplication::beep();
        return;
    }
    m_bVisited = true;
    update();
}

}  // namespace kavrin
