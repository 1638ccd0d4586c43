// The application: names the settings store, registers the archive type with the desktop,
// keeps the file named on the command line, and runs the main window; the window's life is
// the program's.
//
// Window thread only.
#pragma once

#include <QApplication>
#include <optional>
#include <string>

namespace kavrin {

// The file named on the command line, as an absolute path; the main window queues it as it
// opens and clears it. Empty when no file was named.
extern std::optional<std::string> g_pszStartupFile;

// The first argument after the program's name that does not begin with '-' (switches begin
// with '-'; '/' begins an absolute path), made absolute against the working folder.
std::optional<std::string> StartupFileFromArguments(int argc, const char* const* argv);

// Installs the translations of the user's language (the system locale: LANGUAGE, LC_ALL,
// LC_MESSAGES, LANG): Kavrin's own, built into the program, and Qt's own (the standard buttons
// of message boxes and dialogs) when they are installed. A language without a translation
// keeps the English texts.
void InstallTranslations(QCoreApplication& application);

class CArchiverApp : public QApplication {
public:
    // Qt takes its own switches (-platform, -style, ...) out of argc and argv.
    CArchiverApp(int& argc, char** argv);

    // Registers the file type, keeps the start-up file, runs the main window until it closes.
    // Returns the process's exit status.
    int InitInstance();

    // The help entry point: Kavrin has no help, so every help request does nothing.
    void WinHelp() {}

private:
    int& m_argc;
    char** m_argv;
};

}  // namespace kavrin
