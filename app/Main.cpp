// kavrin: the desktop program, one window over the archive engine.
#include <QApplication>

#include "app/ArchiverDlg.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kavrin"));
    QApplication::setOrganizationName(QStringLiteral("Tellmark"));
    kavrin::CArchiverDlg window;
    window.exec();
    return 0;
}
