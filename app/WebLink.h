// A text label that works as a web link: drawn underlined in blue until it has been opened
// once, in purple after; a click opens its own text with the desktop's default handler; a
// failed open only beeps. It sets no mouse cursor of its own.
//
// Attached to a label that shows a picture instead of plain text, it still takes clicks but
// leaves the drawing alone. Window thread only.
#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <functional>
#include <optional>

namespace kavrin {

class CWebLink : public QLabel {
public:
    // Opens a web address; true when the desktop took it.
    using Opener = std::function<bool(const QString& url)>;

    explicit CWebLink(const QString& text, QWidget* parent = nullptr);

    // Replaces the desktop's handler (tests).
    void SetOpener(Opener opener) { m_open = std::move(opener); }
    // The colour the text is drawn in now.
    QColor TextColour() const { return m_bVisited ? m_crVisited : m_crLink; }
    bool Visited() const { return m_bVisited; }

    // What a click does: opens the link, then shows it visited, or beeps.
    void OnClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // A plain left, centred or right aligned text, as opposed to a picture or rich text.
    bool IsPlainText() const;

    const QColor m_crLink{0, 0, 255};
    const QColor m_crVisited{128, 0, 128};
    bool m_bVisited = false;
    QString m_strUrl;                      // taken from the label's text at the first click
    std::optional<QFont> m_fontUnderline;  // made at the first drawing
    bool m_pressed = false;
    Opener m_open;
};

}  // namespace kavrin
