// SPDX-License-Identifier: MIT
// The About box: the product and its version, the banner in an etched frame, the application
// icon and a link to the project's web address. OK, Enter, Escape and the close button end
// it. Each opening is a new box, so its link starts unvisited.
//
// Window thread only.
#pragma once

#include <QCoreApplication>
#include <QDialog>

namespace kavrin {

class CWebLink;

// The project's web address, the link's text and target.
inline constexpr const char* kWebAddress = "kavrin.example.org";

class CAboutDlg : public QDialog {
    Q_DECLARE_TR_FUNCTIONS(CAboutDlg)

public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    CWebLink& Link() { return *m_link; }

private:
    CWebLink* m_link = nullptr;
};

}  // namespace kavrin
