// SPDX-License-Identifier: MIT
#include "app/Settings.h"

#include <QSettings>

#include "lists/DisplayText.h"

namespace kavrin {
namespace {

QSettings Store() {
    return QSettings(QStringLiteral("Tellmark"), QStringLiteral("Kavrin"));
}

// A stored integer, or `fallback` when it is missing or not a number.
int64_t ReadInt(const QSettings& store, const char* name, int64_t fallback) {
    bool ok = false;
    const qlonglong value = store.value(QLatin1String(name)).toLongLong(&ok);
    return ok ? value : fallback;
}

int32_t Flag(int64_t stored, int32_t fallback) {
    return stored == 0 || stored == 1 ? static_cast<int32_t>(stored) : fallback;
}

}  // namespace

std::string CutToBytes(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    // A continuation byte at the cut means a character straddles it: cut before its lead byte.
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

WindowSettings ReadSettings(const WindowSettings& defaults) {
    QSettings store = Store();
    store.beginGroup(QStringLiteral("Settings"));
    WindowSettings settings = defaults;
    settings.deleteSource =
        Flag(ReadInt(store, "DelSrc", defaults.deleteSource), defaults.deleteSource);
    settings.sameDir = Flag(ReadInt(store, "SameDir", defaults.sameDir), defaults.sameDir);
    const int64_t optimize = ReadInt(store, "Optimize", defaults.optimize);
    settings.optimize = optimize >= 0 && optimize <= 5 ? static_cast<int32_t>(optimize) : 0;
    const QString folder = store.value(QStringLiteral("DstDir")).toString();
    if (!folder.isEmpty()) {
        settings.destDir = CutToBytes(FileSystemBytes(folder), kMaxDestDir);
    }
    return settings;
}

void WriteSettings(const WindowSettings& settings) {
    QSettings store = Store();
    store.beginGroup(QStringLiteral("Settings"));
    store.setValue(QStringLiteral("DelSrc"), settings.deleteSource);
    store.setValue(QStringLiteral("SameDir"), settings.sameDir);
    store.setValue(QStringLiteral("Optimize"), settings.optimize);
    if (!settings.destDir.empty()) {
        store.setValue(QStringLiteral("DstDir"), DisplayText(settings.destDir));
    }
    store.sync();
}

}  // namespace kavrin
