// SPDX-License-Identifier: MIT
// A text label that works as a web link: drawn underlined in blue until it has been opened
// once, in purple after; a click opens its own text with the desktop's default handler; an
// address that could not be opened only beeps and leaves the link blue. It sets no mouse
// cursor of its own.
//
// Opening is asynchronous: the handler reports later whether it opened the address, and the
// window goes on meanwhile (it never waits on the handler). The link turns purple only on that
// report. A link destroyed before the report arrives ignores it.
//
// Attached to a label that shows a picture instead of plain text, it still takes clicks but
// leaves the drawing alone. Window thread only.
#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <functional>
#include <optional>

class QProcess;

namespace kavrin {

class CWebLink : public QLabel {
public:
    // Whether the address was opened; called once, on the window's thread.
    using OpenDone = std::function<void(bool opened)>;
    // Starts opening a web address and returns at once; `done` follows.
    using Opener = std::function<void(const QString& url, OpenDone done)>;

    explicit CWebLink(const QString& text, QWidget* parent = nullptr);

    // Replaces the desktop's handler (tests).
    void SetOpener(Opener opener) { m_open = std::move(opener); }
    // The colour the text is drawn in now.
    QColor TextColour() const { return m_bVisited ? m_crVisited : m_crLink; }
    bool Visited() const { return m_bVisited; }

    // What a click does: starts opening the link; it shows visited once opened, or beeps.
    void OnClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // A plain left, centred or right aligned text, as opposed to a picture or rich text.
    bool IsPlainText() const;
    void OnOpened(bool opened);

    const QColor m_crLink{0, 0, 255};
    const QColor m_crVisited{128, 0, 128};
    bool m_bVisited = false;
    QString m_strUrl;                      // taken from the label's text at the first click
    std::optional<QFont> m_fontUnderline;  // made at the first drawing
    bool m_pressed = false;
    Opener m_open;
};

// The desktop's handler: runs `xdg-open URL` without waiting for it. The address counts as
// opened when xdg-open ends with status 0, or when it is still running after `settleMs` (it
// then runs a browser that stays in the foreground); as not opened when it cannot be started
// or ends with any other status. Returns the xdg-open process, which deletes itself once it
// has ended.
QProcess* OpenWithDesktop(const QString& url, CWebLink::OpenDone done, int settleMs = 3000);

}  // namespace kavrin
