// SPDX-License-Identifier: MIT
#include "app/ArchiverApp.h"

#include <QFile>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cstdio>
#include <string_view>

#include "app/ArchiverDlg.h"
#include "app/FileAssociation.h"
#include "app/InstanceChannel.h"
#include "platform/File.h"
#include "res/Resources.h"

namespace kavrin {

std::vector<std::string> g_startupFiles;

std::vector<std::string> StartupFilesFromArguments(int argc, const char* const* argv) {
    std::vector<std::string> files;
    bool switches = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        if (argument.empty()) continue;
        if (switches && argument == "--") {
            switches = false;
        } else if (!switches || argument[0] != '-') {
            files.push_back(platform::MakeAbsolute(argv[i]));
        }
    }
    return files;
}

void InstallTranslations(QCoreApplication& application) {
    const QLocale language;
    auto install = [&](const QString& name, const QString& folder) {
        auto* translator = new QTranslator(&application);
        if (translator->load(language, name, QStringLiteral("_"), folder)) {
            application.installTranslator(translator);
        } else {
            delete translator;
        }
    };
    install(QStringLiteral("kavrin"), QStringLiteral(":/translations"));
    install(QStringLiteral("qtbase"), QLibraryInfo::path(QLibraryInfo::TranslationsPath));
}

CArchiverApp::CArchiverApp(int& argc, char** argv)
    : QApplication(argc, argv), m_argc(argc), m_argv(argv) {
    // The title of every message box, and the settings store's organisation and name.
    setApplicationName(QStringLiteral("Kavrin"));
    setOrganizationName(QStringLiteral("Tellmark"));
    InstallTranslations(*this);
}

int CArchiverApp::InitInstance() {
    g_startupFiles = StartupFilesFromArguments(m_argc, m_argv);
    CInstanceChannel channel;
    const CInstanceChannel::Start start = channel.HandOverOrListen(g_startupFiles);
    if (start == CInstanceChannel::Start::HandedOver) {
        g_startupFiles.clear();
        return 0;
    }
    if (start == CInstanceChannel::Start::Alone) {
        std::fprintf(stderr, "%s\n",
                     tr("kavrin: %1; files opened later start windows of their own")
                         .arg(QString::fromStdString(channel.Problem()))
                         .toLocal8Bit()
                         .constData());
    }
    const DesktopFiles files{
        res::DesktopEntryFile().toStdString(), res::MimePackageFile().toStdString(),
        res::ApplicationIconFile().toStdString(), res::DocumentIconFile().toStdString()};
    RegisterFileType(QFile::encodeName(applicationFilePath()).toStdString(), files,
                     CurrentXdgFolders());
    // The window's life is the program's: the event loop ends when it closes.
    CArchiverDlg window;
    channel.OnFiles([&window](const std::vector<std::string>& paths) { window.OpenFiles(paths); });
    window.show();
    exec();
    return 0;
}

}  // namespace kavrin
