// SPDX-License-Identifier: MIT
#include "app/FileAssociation.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "jobs/Destination.h"
#include "jobs/Naming.h"
#include "platform/File.h"

namespace kavrin {
namespace {

constexpr const char* kPackageFile = "kavrin.xml";

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value == '/' ? value : fallback;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// Does a compiled glob list ("weight:type:pattern[:flags]" lines) give *.kvn to another type?
bool GlobsClaim(const std::string& globs2) {
    std::istringstream lines(globs2);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        size_t first = line.find(':');
        size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        std::string type = line.substr(first + 1, second - first - 1);
        std::string pattern = line.substr(second + 1);
        pattern = pattern.substr(0, pattern.find(':'));
        if (Lower(pattern) == "*.kvn" && type != kMimeType) return true;
    }
    return false;
}

// Does a package description give *.kvn to a type other than ours? A light reading of the
// XML: each <mime-type type="..."> up to its closing tag, searched for the glob.
bool PackageClaims(const std::string& xml) {
    const std::string text = Lower(xml);
    size_t at = 0;
    while ((at = text.find("<mime-type", at)) != std::string::npos) {
        size_t end = text.find("</mime-type>", at);
        std::string block = text.substr(at, end == std::string::npos ? end : end - at);
        size_t typeAt = block.find("type=");
        std::string type;
        if (typeAt != std::string::npos && typeAt + 5 < block.size()) {
            char quote = block[typeAt + 5];
            size_t close = block.find(quote, typeAt + 6);
            if (close != std::string::npos) type = block.substr(typeAt + 6, close - typeAt - 6);
        }
        bool globbed = block.find("pattern=\"*.kvn\"") != std::string::npos ||
                       block.find("pattern='*.kvn'") != std::string::npos;
        if (globbed && type != kMimeType) return true;
        if (end == std::string::npos) break;
        at = end;
    }
    return false;
}

constexpr const char* kKvnGlob = "<glob pattern=\"*.kvn\"/>";
constexpr const char* kApplicationIcon = "icons/hicolor/scalable/apps/kavrin.svg";
constexpr const char* kDocumentIcon = "icons/hicolor/scalable/mimetypes/application-x-kavrin.svg";

// The package's MIME description without the *.kvn glob line.
std::string WithoutKvnGlob(const std::string& package) {
    std::istringstream lines(package);
    std::string out;
    for (std::string line; std::getline(lines, line);) {
        if (line.find(kKvnGlob) == std::string::npos) out += line + "\n";
    }
    return out;
}

// The raw value of `key` in the [Desktop Entry] group, or nothing.
std::optional<std::string> EntryValue(const std::string& entry, const std::string& key) {
    std::istringstream lines(entry);
    bool inEntry = false;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] == '[') {
            inEntry = line == "[Desktop Entry]";
        } else if (inEntry && line.rfind(key + "=", 0) == 0) {
            return line.substr(key.size() + 1);
        }
    }
    return std::nullopt;
}

// A string value with its escapes (\s \n \t \r \\) undone.
std::string UnescapeDesktopString(const std::string& value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const char next = value[++i];
        out += next == 's'   ? ' '
               : next == 'n' ? '\n'
               : next == 't' ? '\t'
               : next == 'r' ? '\r'
                             : next;
    }
    return out;
}

// The program an entry starts: its TryExec, else the first argument of its Exec, unquoted.
std::string EntryProgram(const std::string& entry) {
    if (auto tryExec = EntryValue(entry, "TryExec")) return UnescapeDesktopString(*tryExec);
    const std::string exec = UnescapeDesktopString(EntryValue(entry, "Exec").value_or(""));
    if (exec.empty() || exec[0] != '"') return exec.substr(0, exec.find(' '));
    std::string program;
    for (size_t i = 1; i < exec.size() && exec[i] != '"'; ++i) {
        if (exec[i] == '\\' && i + 1 < exec.size()) ++i;
        program += exec[i];
    }
    return program;
}

// Where `program` is: itself when it names a folder, else the first executable of that name
// on PATH; empty when there is none.
std::string FindProgram(const std::string& program) {
    if (program.empty() || program.find('/') != std::string::npos) return program;
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::string candidate = folder + "/" + program;
        if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// Two paths are one program when they reach one file (device and inode), however spelt.
bool SameFile(const std::string& a, const std::string& b) {
    platform::FileStatus first, second;
    return platform::StatusOfPath(a, &first) && platform::StatusOfPath(b, &second) &&
           first.SameFile(second);
}

// The first desktop file id a mimeapps.list sets as the default of our type, or nothing.
std::optional<std::string> ListedDefault(const std::string& list) {
    std::istringstream lines(list);
    bool inDefaults = false;
    const std::string prefix = std::string(kMimeType) + "=";
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] == '[') {
            inDefaults = line == "[Default Applications]";
        } else if (inDefaults && line.rfind(prefix, 0) == 0) {
            std::istringstream ids(line.substr(prefix.size()));
            for (std::string id; std::getline(ids, id, ';');) {
                if (!id.empty()) return id;
            }
        }
    }
    return std::nullopt;
}

// mimeapps.list with Kavrin as the default of its type; every other line is kept.
std::string WithDefaultHandler(const std::string& current) {
    const std::string entry = std::string(kMimeType) + "=" + kDesktopFile;
    std::istringstream lines(current);
    std::string out;
    bool inDefaults = false, placed = false, sawDefaults = false;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] == '[') {
            if (inDefaults && !placed) {
                out += entry + "\n";
                placed = true;
            }
            inDefaults = line == "[Default Applications]";
            sawDefaults = sawDefaults || inDefaults;
        } else if (inDefaults && line.rfind(std::string(kMimeType) + "=", 0) == 0) {
            if (!placed) out += entry + "\n";
            placed = true;
            continue;
        }
        out += line + "\n";
    }
    if (!placed) {
        if (!sawDefaults) out += "[Default Applications]\n";
        out += entry + "\n";
    }
    return out;
}

// Starts `program` with one argument and does not wait for it (a grandchild, so no zombie).
void StartDetached(const char* program, const std::string& argument) {
    pid_t child = fork();
    if (child == 0) {
        if (fork() == 0) {
            int null = open("/dev/null", O_RDWR);
            if (null >= 0) {
                dup2(null, 0);
                dup2(null, 1);
                dup2(null, 2);
            }
            execlp(program, program, argument.c_str(), static_cast<char*>(nullptr));
        }
        _exit(0);
    }
    if (child > 0) waitpid(child, nullptr, 0);
}

bool OnPath(const char* program) {
    return !FindProgram(program).empty();
}

}  // namespace

XdgFolders CurrentXdgFolders() {
    const char* homeVariable = std::getenv("HOME");
    const std::string home = homeVariable != nullptr ? homeVariable : "";
    auto list = [](const char* variable, const char* fallback) {
        const char* value = std::getenv(variable);
        std::istringstream entries(value != nullptr && *value ? value : fallback);
        std::vector<std::string> folders;
        for (std::string folder; std::getline(entries, folder, ':');) {
            if (!folder.empty() && folder[0] == '/') folders.push_back(folder);
        }
        return folders;
    };
    XdgFolders folders;
    folders.dataHome = EnvOr("XDG_DATA_HOME", home + "/.local/share");
    folders.configHome = EnvOr("XDG_CONFIG_HOME", home + "/.config");
    folders.dataDirs = list("XDG_DATA_DIRS", "/usr/local/share:/usr/share");
    folders.configDirs = list("XDG_CONFIG_DIRS", "/etc/xdg");
    const char* desktops = std::getenv("XDG_CURRENT_DESKTOP");
    std::istringstream names(desktops != nullptr ? desktops : "");
    for (std::string name; std::getline(names, name, ':');) {
        if (!name.empty()) folders.desktops.push_back(Lower(name));
    }
    return folders;
}

std::string QuoteExecArgument(const std::string& path) {
    bool plain = path.find_first_of(" \t\n\"'\\><~|&;$*?#()`=%") == std::string::npos;
    if (plain) return path;
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        // A literal percent sign must be doubled in an Exec line.
        if (c == '%') quoted += '%';
        quoted += c;
    }
    return quoted + "\"";
}

std::string EscapeDesktopString(const std::string& value) {
    std::string out;
    for (char c : value) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string PerUserDesktopEntry(const std::string& installedEntry,
                                const std::string& executablePath) {
    std::istringstream lines(installedEntry);
    std::string out;
    bool inEntry = false;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] == '[') inEntry = line == "[Desktop Entry]";
        if (inEntry && line.rfind("TryExec=", 0) == 0) {
            line = "TryExec=" + EscapeDesktopString(executablePath);
        } else if (inEntry && line.rfind("Exec=", 0) == 0) {
            line = "Exec=" + EscapeDesktopString(QuoteExecArgument(executablePath)) + " %F";
        }
        out += line + "\n";
    }
    return out;
}

bool IsInstalledProgram(const std::string& executablePath, const XdgFolders& folders) {
    bool entry = false, package = false;
    for (const std::string& data : folders.dataDirs) {
        const std::string installed = ReadText(data + "/applications/" + kDesktopFile);
        entry = entry || (!installed.empty() &&
                          SameFile(FindProgram(EntryProgram(installed)), executablePath));
        package =
            package || platform::QueryAttributes(data + "/mime/packages/" + kPackageFile).isRegular;
    }
    return entry && package;
}

std::string DefaultHandler(const XdgFolders& folders) {
    // The lists in the order desktops read them: the user's, the system's configuration, then
    // the older places under the data folders; in each folder a desktop's own list first.
    std::vector<std::string> lists;
    auto add = [&](const std::string& folder) {
        for (const std::string& desktop : folders.desktops) {
            lists.push_back(folder + "/" + desktop + "-mimeapps.list");
        }
        lists.push_back(folder + "/mimeapps.list");
    };
    add(folders.configHome);
    for (const std::string& config : folders.configDirs) add(config);
    add(folders.dataHome + "/applications");
    for (const std::string& data : folders.dataDirs) add(data + "/applications");
    for (const std::string& list : lists) {
        if (auto id = ListedDefault(ReadText(list))) return *id;
    }
    return "";
}

bool SetClassesRootValue(const std::string& path, const std::string& contents) {
    DestinationFile file;
    if (!CreateDestinationFile(path, Disposition::CreateAlways, platform::kInvalidFile, &file)) {
        return false;
    }
    if (!platform::WriteFull(file.file, contents.data(), contents.size())) {
        AbandonDestination(file);
        return false;
    }
    return CommitDestination(file, Disposition::CreateAlways, false);
}

bool ExtensionClaimedByAnotherType(const XdgFolders& folders) {
    std::vector<std::string> dataFolders = {folders.dataHome};
    dataFolders.insert(dataFolders.end(), folders.dataDirs.begin(), folders.dataDirs.end());
    for (const std::string& data : dataFolders) {
        if (GlobsClaim(ReadText(data + "/mime/globs2"))) return true;
        std::vector<std::string> packages;
        if (!platform::ListFolder(data + "/mime/packages", &packages)) continue;
        for (const std::string& name : packages) {
            if (name == kPackageFile) continue;
            if (PackageClaims(ReadText(data + "/mime/packages/" + name))) return true;
        }
    }
    return false;
}

Registration RegisterFileType(const std::string& executablePath, const DesktopFiles& files,
                              const XdgFolders& folders, bool runUpdaters) {
    const std::string mime = folders.dataHome + "/mime";
    const std::string applications = folders.dataHome + "/applications";
    const std::string entryPath = applications + "/" + kDesktopFile;
    auto update = [&] {
        if (!runUpdaters) return;
        if (OnPath("update-mime-database")) StartDetached("update-mime-database", mime);
        if (OnPath("update-desktop-database")) {
            StartDetached("update-desktop-database", applications);
        }
    };

    if (IsInstalledProgram(executablePath, folders)) {
        // The package's files serve. A per-user entry from an earlier start would hide them: one
        // for this very program, or for a program that is gone, goes with the files it brought.
        // One for another Kavrin that still exists is that program's own business.
        const std::string earlier = ReadText(entryPath);
        const std::string program = FindProgram(EntryProgram(earlier));
        if (earlier.empty() ||
            (access(program.c_str(), X_OK) == 0 && !SameFile(program, executablePath))) {
            return Registration::Installed;
        }
        for (const std::string& path :
             {entryPath, mime + "/packages/" + kPackageFile,
              folders.dataHome + "/" + kApplicationIcon, folders.dataHome + "/" + kDocumentIcon}) {
            platform::DeleteFile(path);
        }
        update();
        return Registration::Installed;
    }

    const bool glob = !ExtensionClaimedByAnotherType(folders);
    const std::string package = glob ? files.mimePackage : WithoutKvnGlob(files.mimePackage);
    if (!SetClassesRootValue(mime + "/packages/" + kPackageFile, package)) {
        return Registration::PerUser;
    }
    if (!SetClassesRootValue(entryPath, PerUserDesktopEntry(files.desktopEntry, executablePath))) {
        return Registration::PerUser;
    }
    SetClassesRootValue(folders.dataHome + "/" + kApplicationIcon, files.applicationIcon);
    SetClassesRootValue(folders.dataHome + "/" + kDocumentIcon, files.documentIcon);
    // The default application is the user's choice: set only when there is none yet, and
    // written only when the list would change.
    const std::string current = DefaultHandler(folders);
    if (current.empty() || current == kDesktopFile) {
        const std::string list = folders.configHome + "/mimeapps.list";
        const std::string before = ReadText(list);
        const std::string after = WithDefaultHandler(before);
        if (after != before) SetClassesRootValue(list, after);
    }
    update();
    return Registration::PerUser;
}

}  // namespace kavrin
