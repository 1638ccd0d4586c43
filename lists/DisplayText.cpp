// SPDX-License-Identifier: MIT
#include "lists/DisplayText.h"

#include <QFile>

namespace kavrin {

QString DisplayText(std::string_view bytes) {
    return QFile::decodeName(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

std::string FileSystemBytes(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

}  // namespace kavrin
