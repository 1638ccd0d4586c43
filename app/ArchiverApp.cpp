#include "app/ArchiverApp.h"

#include <QFile>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "app/ArchiverDlg.h"
#include "app/FileAssociation.h"
#include "platform/File.h"
#include "res/Resources.h"

namespace kavrin {

std::optional<std::string> g_pszStartupFile;

std::optional<std::string> StartupFileFromArguments(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-' && argv[i][0] != '\0') return platform::MakeAbsolute(argv[i]);
    }
    return std::nullopt;
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
    const DesktopFiles files{
        res::DesktopEntryFile().toStdString(), res::MimePackageFile().toStdString(),
        res::ApplicationIconFile().toStdString(), res::DocumentIconFile().toStdString()};
    RegisterFileType(QFile::encodeName(applicationFilePath()).toStdString(), files,
                     CurrentXdgFolders());
    g_pszStartupFile = StartupFileFromArguments(m_argc, m_argv);
    // The window's life is the program's: the event loop ends when it closes.
    CArchiverDlg window;
    window.show();
    exec();
    return 0;
}

}  // namespace kavrin
