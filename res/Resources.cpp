// SPDX-License-Identifier: MIT
#include "res/Resources.h"

#include <QFile>
#include <QString>

// Q_INIT_RESOURCE declares the compiled resources' initialiser, which lives outside any
// namespace: it must be used there too.
static void InitCompiledResources() {
    Q_INIT_RESOURCE(kavrin);
}

namespace kavrin::res {
namespace {

const char* const kButtonFiles[kButtonIcons] = {
    "start",    "stop",     "samedir", "defdir",      "delsrc",
    "addfiles", "delfiles", "browse",  "clearreport", "help",
};
const char* const kLampFiles[3] = {"lamp-off", "lamp-on", "lamp-analysis"};
const char* const kRowFiles[2] = {"row-plain", "row-archive"};

QString Path(const char* name) {
    return QStringLiteral(":/icons/%1.svg").arg(QLatin1String(name));
}

QByteArray Contents(const QString& path) {
    InitResources();
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QPixmap Render(const char* name, QSize size, qreal ratio) {
    QPixmap picture = QIcon(Path(name)).pixmap(size, ratio);
    picture.setDevicePixelRatio(ratio);
    return picture;
}

}  // namespace

void InitResources() {
    static const bool done = (InitCompiledResources(), true);
    (void)done;
}

QIcon ApplicationIcon() {
    InitResources();
    return QIcon(Path("kavrin"));
}

QIcon ButtonIcon(int index) {
    InitResources();
    if (index < 0 || index >= kButtonIcons) return QIcon();
    return QIcon(Path(kButtonFiles[index]));
}

QPixmap LampBitmap(int index, qreal devicePixelRatio) {
    InitResources();
    if (index < 0 || index > 2) return QPixmap();
    return Render(kLampFiles[index], QSize(8, 8), devicePixelRatio);
}

QIcon RowImage(int index) {
    InitResources();
    if (index < 0 || index > 1) return QIcon();
    return QIcon(Path(kRowFiles[index]));
}

QPixmap Banner(qreal devicePixelRatio) {
    InitResources();
    return Render("banner", kBannerSize, devicePixelRatio);
}

QByteArray DesktopEntryFile() {
    return Contents(QStringLiteral(":/kavrin.desktop"));
}

QByteArray MimePackageFile() {
    return Contents(QStringLiteral(":/kavrin-mime.xml"));
}

QByteArray ApplicationIconFile() {
    return Contents(Path("kavrin"));
}

QByteArray DocumentIconFile() {
    return Contents(Path("kavrin-document"));
}

}  // namespace kavrin::res
