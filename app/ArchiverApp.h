// SPDX-License-Identifier: MIT
// The application: names the settings store, registers the archive type with the desktop,
// keeps the files named on the command line, and runs the main window; the window's life is
// the program's. While a window runs, a new start hands its files to that window's queue and
// ends with status 0 (InstanceChannel.h).
//
// Window thread only.
#pragma once

#include <QApplication>
#include <string>
#include <vector>

namespace kavrin {

// The files and folders named on the command line, as absolute paths in their order; the main
// window queues them as it opens and clears the list.
extern std::vector<std::string> g_startupFiles;

// Every argument after the program's name that does not begin with '-' (switches begin with
// '-'; '/' begins an absolute path), and every one after "--", made absolute against the
// working folder, in their order.
std::vector<std::string> StartupFilesFromArguments(int argc, const char* const* argv);

// Installs the translations of the user's language (the system locale: LANGUAGE, LC_ALL,
// LC_MESSAGES, LANG): Kavrin's own, built into the program, and Qt's own (the standard buttons
// of message boxes and dialogs) when they are installed. A language without a translation
// keeps the English texts.
void InstallTranslations(QCoreApplication& application);

class CArchiverApp : public QApplication {
    Q_DECLARE_TR_FUNCTIONS(CArchiverApp)

public:
    // Qt takes its own switches (-platform, -style, ...) out of argc and argv.
    CArchiverApp(int& argc, char** argv);

    // Hands the start-up files to a running window and returns 0; or registers the file type,
    // keeps the start-up files, and runs the main window until it closes. Returns the
    // process's exit status.
    int InitInstance();

    // The help entry point: Kavrin has no help, so every help request does nothing.
    void WinHelp() {}

private:
    int& m_argc;
    char** m_argv;
};

}  // namespace kavrin
