#include "jobs/Naming.h"

#include <algorithm>

#include "engine/ArchiveFormat.h"

namespace kavrin {
namespace {

bool EqualsIgnoringCase(std::string_view text, std::string_view lower) {
    return text.size() == lower.size() &&
           std::equal(text.begin(), text.end(), lower.begin(), [](char a, char b) {
               return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
           });
}

}  // namespace

size_t FindExtension(std::string_view name) {
    size_t dot = name.find('.');
    return dot == std::string_view::npos ? name.size() : dot;
}

bool IsArchivePath(std::string_view path) {
    if (path.size() < 5) return false;
    std::string_view tail = path.substr(path.size() - 4);
    return tail[0] == '.' && EqualsIgnoringCase(tail.substr(1), kArchiveExtension);
}

bool HasArchiveExtension(std::string_view name) {
    std::string_view ext = name.substr(FindExtension(name));
    return ext.size() == 4 && ext[0] == '.' && EqualsIgnoringCase(ext.substr(1), kArchiveExtension);
}

void SplitPath(std::string_view path, std::string* name, std::string* folder) {
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        name->assign(path);
        folder->clear();
        return;
    }
    folder->assign(path.substr(0, slash));
    name->assign(path.substr(slash + 1));
}

std::string JoinPath(std::string_view folder, std::string_view name) {
    std::string path(folder);
    path += '/';
    path += name;
    return path;
}

std::string DestinationFolder(bool sameDir, std::string_view sourceFolder,
                              std::string_view definedFolder) {
    std::string folder(sameDir ? sourceFolder : definedFolder);
    if (sameDir && folder.empty()) return "/";
    if (folder.empty()) return folder;
    if (folder.back() != '/') folder += '/';
    return folder;
}

bool NameForCompression(std::string_view sourceName, std::string* archiveName,
                        std::string* typeText) {
    size_t dot = FindExtension(sourceName);
    std::string_view type = dot < sourceName.size() ? sourceName.substr(dot + 1) : "";
    if (type.size() > kMaxTypeText) return false;
    typeText->assign(type);
    archiveName->assign(sourceName.substr(0, dot));
    *archiveName += '.';
    *archiveName += kArchiveExtension;
    return true;
}

bool NameForExpansion(std::string_view archiveName, std::string_view typeText,
                      std::string* restoredName) {
    if (typeText.find('/') != std::string_view::npos ||
        typeText.find('\0') != std::string_view::npos) {
        return false;
    }
    std::string name(archiveName.substr(0, FindExtension(archiveName)));
    name += '.';
    name += typeText;
    if (name == "." || name == "..") return false;
    *restoredName = std::move(name);
    return true;
}

}  // namespace kavrin
