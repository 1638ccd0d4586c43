// SPDX-License-Identifier: MIT
#include "app/InstanceChannel.h"

#include <unistd.h>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QLockFile>

namespace kavrin {
namespace {

constexpr quint32 kMagic = 0x4b564e4f;  // "KVNO": open these files
constexpr quint32 kMostFiles = 1u << 20;
// How long a start waits for a running window before it opens a window of its own. The
// window answers at once whatever it is doing, so only a window that hangs takes this long.
constexpr int kAnswerMs = 20000;
// How long a start waits for another start that is deciding at the same moment.
constexpr int kLockMs = 30000;

// The display's name, made fit for a file name.
std::string DisplayKey() {
    std::string key;
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const QByteArray value = qgetenv(variable);
        if (value.isEmpty()) continue;
        if (!key.empty()) key += '-';
        for (char c : value) {
            const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                               (c >= '0' && c <= '9') || c == '.' || c == '-';
            key += plain ? c : '_';
        }
    }
    return key.empty() ? "none" : key;
}

}  // namespace

CInstanceChannel::CInstanceChannel(std::string folder) : m_folder(std::move(folder)) {}

CInstanceChannel::~CInstanceChannel() = default;

bool CInstanceChannel::IsPrivateFolder(const std::string& folder) {
    const QFileInfo info(QFile::decodeName(QByteArray::fromStdString(folder)));
    constexpr QFile::Permissions kOthers = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                           QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    return info.isDir() && !info.isSymLink() && info.ownerId() == getuid() &&
           (info.permissions() & kOthers) == 0;
}

std::string CInstanceChannel::RuntimeFolder(std::string* problem) {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && runtime.startsWith('/')) {
        if (IsPrivateFolder(runtime.toStdString())) return runtime.toStdString();
        *problem = "the runtime folder " + runtime.toStdString() + " is not the user's own";
        return "";
    }
    const std::string fallback =
        QFile::encodeName(QDir::tempPath()).toStdString() + "/kavrin-" + std::to_string(getuid());
    QDir().mkdir(QFile::decodeName(QByteArray::fromStdString(fallback)));
    QFile::setPermissions(QFile::decodeName(QByteArray::fromStdString(fallback)),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (IsPrivateFolder(fallback)) return fallback;
    *problem = "the folder " + fallback + " is not the user's own";
    return "";
}

std::string CInstanceChannel::SocketPath(const std::string& folder) {
    return folder + "/kavrin-" + DisplayKey() + ".socket";
}

CInstanceChannel::Start CInstanceChannel::HandOverOrListen(const std::vector<std::string>& files) {
    m_problem.clear();
    if (m_folder.empty()) m_folder = RuntimeFolder(&m_problem);
    if (m_folder.empty() || !IsPrivateFolder(m_folder)) {
        if (m_problem.empty()) m_problem = "the folder " + m_folder + " is not the user's own";
        return Start::Alone;
    }
    const std::string socketPath = SocketPath(m_folder);
    QLockFile deciding(QFile::decodeName(QByteArray::fromStdString(socketPath + ".lock")));
    if (!deciding.tryLock(kLockMs)) {
        m_problem = "another start of kavrin holds " + socketPath + ".lock";
        return Start::Alone;
    }
    switch (HandOver(socketPath, files)) {
        case Offer::Taken:
            return Start::HandedOver;
        case Offer::NoAnswer:
            m_problem = "the running window does not answer";
            return Start::Alone;
        case Offer::NoWindow:
            break;
    }
    const QString name = QFile::decodeName(QByteArray::fromStdString(socketPath));
    // Nobody listens: what is left at the socket's name is the leftover of a window that ended
    // without removing it.
    QLocalServer::removeServer(name);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(name)) {
        m_problem = "cannot listen at " + socketPath + ": " + m_server->errorString().toStdString();
        m_server.reset();
        return Start::Alone;
    }
    connect(m_server.get(), &QLocalServer::newConnection, this, [this] { OnConnection(); });
    return Start::Listening;
}

CInstanceChannel::Offer CInstanceChannel::HandOver(const std::string& socketPath,
                                                   const std::vector<std::string>& files) {
    QLocalSocket socket;
    socket.connectToServer(QFile::decodeName(QByteArray::fromStdString(socketPath)));
    if (!socket.waitForConnected(kAnswerMs)) return Offer::NoWindow;
    QByteArray message;
    QDataStream out(&message, QIODevice::WriteOnly);
    out << kMagic << static_cast<quint32>(files.size());
    for (const std::string& file : files) out << QByteArray::fromStdString(file);
    socket.write(message);
    if (!socket.waitForBytesWritten(kAnswerMs)) return Offer::NoAnswer;
    while (socket.bytesAvailable() < 2) {
        if (!socket.waitForReadyRead(kAnswerMs)) return Offer::NoAnswer;
    }
    return socket.read(2) == "ok" ? Offer::Taken : Offer::NoAnswer;
}

void CInstanceChannel::OnFiles(std::function<void(std::vector<std::string>)> receive) {
    m_receive = std::move(receive);
    for (std::vector<std::string>& files : m_pending) m_receive(std::move(files));
    m_pending.clear();
}

void CInstanceChannel::Deliver(std::vector<std::string> files) {
    if (m_receive) {
        m_receive(std::move(files));
    } else {
        m_pending.push_back(std::move(files));
    }
}

void CInstanceChannel::OnConnection() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        auto readAll = [this, socket] {
            QDataStream in(socket);
            in.startTransaction();
            quint32 magic = 0, count = 0;
            in >> magic >> count;
            if (in.status() == QDataStream::Ok && (magic != kMagic || count > kMostFiles)) {
                socket->abort();  // not a start of kavrin
                return;
            }
            std::vector<std::string> files;
            for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
                QByteArray file;
                in >> file;
                files.push_back(file.toStdString());
            }
            if (!in.commitTransaction()) return;  // the rest is still on its way
            socket->write("ok");
            socket->flush();
            socket->disconnectFromServer();
            // Queued after the answer: queueing may show messages, and the start that sent the
            // files must not wait for them.
            QMetaObject::invokeMethod(
                this, [this, files = std::move(files)]() mutable { Deliver(std::move(files)); },
                Qt::QueuedConnection);
        };
        connect(socket, &QLocalSocket::readyRead, this, readAll);
        if (socket->bytesAvailable() > 0) readAll();
    }
}

}  // namespace kavrin
