// Registers the archive type with the desktop, so that opening a .kvn file from a file manager
// starts Kavrin with that file. Rewritten at every start (a moved program is found again), and
// every failure is silent: a desktop without these folders simply gets no association.
//
// Following the freedesktop.org specifications, under the user's own folders:
// - $XDG_DATA_HOME/mime/packages/kavrin.xml: the MIME type application/x-kavrin, "Kavrin
//   Document", recognised by the magic "KVN1" and by the glob *.kvn, unless another MIME type
//   already claims *.kvn (then the extension is left to it; the magic still works);
// - $XDG_DATA_HOME/applications/kavrin.desktop: starts the program by its absolute path with
//   the file as one argument;
// - $XDG_CONFIG_HOME/mimeapps.list: Kavrin as the default application of its own type.
// update-mime-database and update-desktop-database are started when present, without waiting.
//
// Window thread, at start-up. No Qt.
#pragma once

#include <string>
#include <vector>

namespace kavrin {

inline constexpr const char* kMimeType = "application/x-kavrin";
inline constexpr const char* kDesktopFile = "kavrin.desktop";

struct XdgFolders {
    std::string dataHome;               // $XDG_DATA_HOME or ~/.local/share
    std::string configHome;             // $XDG_CONFIG_HOME or ~/.config
    std::vector<std::string> dataDirs;  // $XDG_DATA_DIRS or /usr/local/share:/usr/share
};

// The folders from the environment (XDG_DATA_HOME, XDG_CONFIG_HOME, XDG_DATA_DIRS), with the
// usual defaults when they are unset or not absolute.
XdgFolders CurrentXdgFolders();

// Writes the three files for the program at `executablePath` (absolute). Starts the two update
// programs when `runUpdaters` is set and they exist.
void RegisterFileType(const std::string& executablePath, const XdgFolders& folders,
                      bool runUpdaters = true);

// Replaces the file at `path` with `contents` (written under a temporary name, then renamed),
// creating missing folders. True exactly when it succeeded.
bool SetClassesRootValue(const std::string& path, const std::string& contents);

// True when a MIME type other than Kavrin's claims the glob *.kvn in any of the data folders,
// through an installed package description or the compiled glob lists.
bool ExtensionClaimedByAnotherType(const XdgFolders& folders);

// The Exec line's program, quoted the way desktop entries require when it holds spaces or
// other reserved characters.
std::string QuoteExecArgument(const std::string& path);

}  // namespace kavrin
