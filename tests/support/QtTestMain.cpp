// SPDX-License-Identifier: MIT
// main() of the widget tests: the cases run inside a QApplication, on the offscreen platform
// unless QT_QPA_PLATFORM names another, so they need no display and never show a window. The
// settings store and the desktop's folders point into a temporary folder, so no test reads or
// changes the user's own.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>
#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    const char* base = std::getenv("TMPDIR");
    std::string home = std::string(base && *base ? base : "/tmp") + "/kavrin-qt-XXXXXX";
    if (mkdtemp(home.data()) == nullptr) return 1;
    setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    int status = 0;
    {
        QApplication application(argc, argv);
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(home + "/config"));
        status = RUN_ALL_TESTS();
    }
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    return status;
}
