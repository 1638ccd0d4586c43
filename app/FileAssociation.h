// SPDX-License-Identifier: MIT
// Registers the archive type with the desktop, so that opening a .kvn file from a file manager
// starts Kavrin with that file; Kavrin opens no other type (sound files get the file managers'
// actions instead). Every failure is silent: a desktop without these folders simply gets no
// association.
//
// Following the freedesktop.org specifications. What the package installs in a system data
// folder (the desktop entry, the MIME package, the icons) serves everyone; a program started
// from anywhere else registers itself for the user at every start (so a moved program is found
// again), under the user's own folders:
// - $XDG_DATA_HOME/mime/packages/kavrin.xml: the MIME type application/x-kavrin, "Kavrin
//   Document", recognised by the magic "KVN1" or "KVN2" and by the glob *.kvn, unless another MIME
//   type already claims *.kvn (then the extension is left to it; the magic still works);
// - $XDG_DATA_HOME/applications/kavrin.desktop: starts the program by its absolute path with
//   the file as one argument; its TryExec hides the entry once that program is gone;
// - $XDG_DATA_HOME/icons/hicolor/scalable/{apps,mimetypes}/: the two icons the entry and the
//   type name;
// - $XDG_CONFIG_HOME/mimeapps.list: Kavrin as the default application of its own type, only
//   when no default is set for it or the default is Kavrin already (the user's choice stays).
// The installed program writes none of these, and removes the per-user files an earlier start
// left that would hide the package's: an entry for this very program or for one that is gone.
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
    std::string dataHome;                 // $XDG_DATA_HOME or ~/.local/share
    std::string configHome;               // $XDG_CONFIG_HOME or ~/.config
    std::vector<std::string> dataDirs;    // $XDG_DATA_DIRS or /usr/local/share:/usr/share
    std::vector<std::string> configDirs;  // $XDG_CONFIG_DIRS or /etc/xdg
    std::vector<std::string> desktops;    // $XDG_CURRENT_DESKTOP, in lower case
};

// The files as the package installs them: the desktop entry (its TryExec and Exec name the
// program without a folder), the MIME package, and the scalable application and document
// icons.
struct DesktopFiles {
    std::string desktopEntry;
    std::string mimePackage;
    std::string applicationIcon;
    std::string documentIcon;
};

// The folders from the environment, with the usual defaults when they are unset or not
// absolute.
XdgFolders CurrentXdgFolders();

enum class Registration { PerUser, Installed };

// Registers the program at `executablePath` (absolute): per user, or not at all when it is
// the installed one (IsInstalledProgram). Starts the two update programs when `runUpdaters` is
// set, they exist and something changed.
Registration RegisterFileType(const std::string& executablePath, const DesktopFiles& files,
                              const XdgFolders& folders, bool runUpdaters = true);

// True when a system data folder holds Kavrin's MIME package and a desktop entry whose program
// (TryExec, else Exec; a bare name is looked up on PATH) is the very file at `executablePath`.
bool IsInstalledProgram(const std::string& executablePath, const XdgFolders& folders);

// The desktop entry that starts the program at `executablePath`, made from the installed one:
// TryExec is the path and Exec the path, quoted as desktop entries require, with %F.
std::string PerUserDesktopEntry(const std::string& installedEntry,
                                const std::string& executablePath);

// The default application the desktop uses for application/x-kavrin: the first desktop file id
// set for it in the mimeapps.list files, read in their order of precedence; empty when none.
std::string DefaultHandler(const XdgFolders& folders);

// Replaces the file at `path` with `contents` (written under a temporary name, then renamed),
// creating missing folders. True exactly when it succeeded.
bool SetClassesRootValue(const std::string& path, const std::string& contents);

// True when a MIME type other than Kavrin's claims the glob *.kvn in any of the data folders,
// through an installed package description or the compiled glob lists.
bool ExtensionClaimedByAnotherType(const XdgFolders& folders);

// The Exec line's program, quoted the way desktop entries require when it holds spaces or
// other reserved characters (before the escaping every string value gets).
std::string QuoteExecArgument(const std::string& path);
// A string value as a desktop entry stores it: backslash, newline, tab and carriage return
// escaped.
std::string EscapeDesktopString(const std::string& value);

}  // namespace kavrin
