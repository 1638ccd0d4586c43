#include "app/FileAssociation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
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

std::string MimePackage(bool withGlob) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
        "  <mime-type type=\"" +
        std::string(kMimeType) +
        "\">\n"
        "    <comment>Kavrin Document</comment>\n"
        "    <magic priority=\"50\">\n"
        "      <match type=\"string\" offset=\"0\" value=\"KVN1\"/>\n"
        "    </magic>\n";
    if (withGlob) xml += "    <glob pattern=\"*.kvn\"/>\n";
    xml +=
        "  </mime-type>\n"
        "</mime-info>\n";
    return xml;
}

std::string DesktopEntry(const std::string& executablePath) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Kavrin\n"
           "GenericName=Sound Compressor\n"
           "Comment=Compress sound files and sound banks without loss, and restore them\n"
           "Exec=" +
           QuoteExecArgument(executablePath) +
           " %f\n"
           "Icon=kavrin\n"
           "Terminal=false\n"
           "Categories=AudioVideo;Audio;Utility;Archiving;Compression;\n"
           "MimeType=" +
           std::string(kMimeType) + ";\n";
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
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (!folder.empty() && access((folder + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

}  // namespace

XdgFolders CurrentXdgFolders() {
    const char* homeVariable = std::getenv("HOME");
    const std::string home = homeVariable != nullptr ? homeVariable : "";
    XdgFolders folders;
    folders.dataHome = EnvOr("XDG_DATA_HOME", home + "/.local/share");
    folders.configHome = EnvOr("XDG_CONFIG_HOME", home + "/.config");
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    std::istringstream list(dirs != nullptr && *dirs ? dirs : "/usr/local/share:/usr/share");
    for (std::string folder; std::getline(list, folder, ':');) {
        if (!folder.empty() && folder[0] == '/') folders.dataDirs.push_back(folder);
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

void RegisterFileType(const std::string& executablePath, const XdgFolders& folders,
                      bool runUpdaters) {
    const bool glob = !ExtensionClaimedByAnotherType(folders);
    const std::string mime = folders.dataHome + "/mime";
    const std::string applications = folders.dataHome + "/applications";
    if (!SetClassesRootValue(mime + "/packages/" + kPackageFile, MimePackage(glob))) return;
    if (!SetClassesRootValue(applications + "/" + kDesktopFile, DesktopEntry(executablePath))) {
        return;
    }
    const std::string list = folders.configHome + "/mimeapps.list";
    SetClassesRootValue(list, WithDefaultHandler(ReadText(list)));
    if (!runUpdaters) return;
    if (OnPath("update-mime-database")) StartDetached("update-mime-database", mime);
    if (OnPath("update-desktop-database")) StartDetached("update-desktop-database", applications);
}

}  // namespace kavrin
