// SPDX-License-Identifier: MIT
#include "jobs/Naming.h"

#include <algorithm>

#include "engine/format/ArchiveFormat.h"

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
    const size_t dot = name.rfind('.');
    return dot == std::string_view::npos || dot + 1 == name.size() ? name.size() : dot;
}

std::string_view TypeTextOf(std::string_view name) {
    const size_t dot = FindExtension(name);
    return dot < name.size() ? name.substr(dot + 1) : std::string_view();
}

bool IsArchiveName(std::string_view name) {
    if (name.size() < 4) return false;
    std::string_view tail = name.substr(name.size() - 4);
    return tail[0] == '.' && EqualsIgnoringCase(tail.substr(1), kArchiveExtension);
}

bool IsArchivePath(std::string_view path) {
    const size_t slash = path.rfind('/');
    return IsArchiveName(slash == std::string_view::npos ? path : path.substr(slash + 1));
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
    const size_t dot = FindExtension(sourceName);
    std::string_view type = TypeTextOf(sourceName);
    if (type.size() > kMaxTypeText) return false;
    typeText->assign(type);
    archiveName->assign(sourceName.substr(0, dot));
    *archiveName += '.';
    *archiveName += kArchiveExtension;
    return true;
}

bool IsSafeTypeText(std::string_view typeText) {
    return typeText.find('/') == std::string_view::npos &&
           typeText.find('\0') == std::string_view::npos;
}

bool NameForExpansion(std::string_view archiveName, std::string_view typeText,
                      std::string* restoredName) {
    if (!IsSafeTypeText(typeText)) return false;
    const size_t stem =
        IsArchiveName(archiveName) ? archiveName.size() - 4 : FindExtension(archiveName);
    std::string name(archiveName.substr(0, stem));
    if (!typeText.empty()) {
        name += '.';
        name += typeText;
    }
    if (name.empty() || name == "." || name == "..") return false;
    *restoredName = std::move(name);
    return true;
}

std::vector<std::string> ArchiveStemsFor(std::string_view restoredName) {
    std::vector<std::string> stems;
    if (restoredName.empty()) return stems;
    stems.emplace_back(restoredName);
    for (size_t dot = restoredName.rfind('.'); dot != std::string_view::npos && dot > 0;
         dot = restoredName.rfind('.', dot - 1)) {
        if (dot + 1 < restoredName.size()) stems.emplace_back(restoredName.substr(0, dot));
    }
    if (restoredName[0] == '.' && restoredName.size() > 1) stems.emplace_back();
    return stems;
}

}  // namespace kavrin
