// One running copy per profile: a lock file is the test, a local socket carries activation and dial requests.
#include "ui/shell/instance_guard.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <unistd.h>

#include "common/debug.h"
#include "platform/fs.h"

namespace shell {

namespace {
constexpr int kLineMax = kDialRequestMax + 16;  // "DIAL " and the line end around the number
}

bool ParseDialNumber(const QByteArray& text, std::string* number) {
    number->clear();
    if (text.isEmpty() || text.size() > kDialRequestMax) return false;
    for (char c : text) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '+' ||
                        c == '*' || c == '#' || c == '@' || c == '.' || c == '-' || c == '_';
        if (!ok) return false;
    }
    number->assign(text.constData(), static_cast<size_t>(text.size()));
    return true;
}

QString InstanceSocketName(const std::string& profileFolder) {
    const QByteArray canonical = QDir(QString::fromStdString(profileFolder)).absolutePath().toUtf8();
    return QStringLiteral("tessaly-%1-%2")
        .arg(QString::number(getuid()))
        .arg(QString::fromLatin1(QCryptographicHash::hash(canonical, QCryptographicHash::Md5).toHex().left(12)));
}

InstanceGuard::InstanceGuard(const std::string& profileFolder, QObject* parent)
    : QObject(parent), profile_(profileFolder) {}

InstanceGuard::~InstanceGuard() {
    if (server_) server_->close();
    if (lock_) lock_->unlock();
}

bool InstanceGuard::Acquire() {
    lock_ = std::make_unique<QLockFile>(QString::fromStdString(plat::PathJoin(profile_, "tessaly.lock")));
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(0)) {
        // A lock left by a copy that died is taken over; a live one means another copy runs.
        if (lock_->error() == QLockFile::LockFailedError && lock_->removeStaleLockFile() && lock_->tryLock(0)) {
        } else {
            lock_.reset();
            return false;
        }
    }
    const QString name = InstanceSocketName(profile_);
    QLocalServer::removeServer(name);  // we hold the lock: any socket file left is stale
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    server_->setMaxPendingConnections(8);
    if (!server_->listen(name)) DebugTrace(MOD_SYSTEM, 3, "Instance socket not listening: %s", qPrintable(server_->errorString()));
    connect(server_, &QLocalServer::newConnection, this, &InstanceGuard::OnConnection);
    return true;
}

void InstanceGuard::OnConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        socket->setReadBufferSize(kLineMax + 1);
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { OnReadable(socket); });
        if (socket->bytesAvailable() > 0) OnReadable(socket);
    }
}

void InstanceGuard::OnReadable(QLocalSocket* socket) {
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kLineMax) {
            DebugTrace(MOD_SYSTEM, 3, "Instance socket: request too long, refused");
            socket->write("0\n");
            socket->disconnectFromServer();
        }
        return;
    }
    QByteArray line = socket->readLine(kLineMax + 1);
    if (!line.endsWith('\n')) {
        socket->write("0\n");
        socket->disconnectFromServer();
        return;
    }
    line.chop(1);
    if (line.endsWith('\r')) line.chop(1);
    if (line == "ACTIVATE") {
        if (onActivate) onActivate();
        socket->write("ok\n");
    } else if (line.startsWith("DIAL ")) {
        std::string number;
        int result = DIAL_NOT_SIGNED_IN;
        if (!ParseDialNumber(line.mid(5), &number)) DebugTrace(MOD_SYSTEM, 3, "Dial request refused: bad number");
        else if (onDial) result = onDial(number);
        socket->write(QByteArray::number(result) + "\n");
    } else {
        socket->write("0\n");
    }
    socket->flush();
    socket->disconnectFromServer();
}

namespace {
QByteArray Ask(const std::string& profileFolder, const QByteArray& line, int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(InstanceSocketName(profileFolder));
    if (!socket.waitForConnected(timeoutMs)) return {};
    socket.write(line);
    if (!socket.waitForBytesWritten(timeoutMs)) return {};
    QByteArray answer;
    while (!answer.contains('\n') && answer.size() < 64) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(timeoutMs)) break;
        answer += socket.read(64);
    }
    return answer;
}
}  // namespace

bool SendActivate(const std::string& profileFolder, int timeoutMs) {
    return Ask(profileFolder, "ACTIVATE\n", timeoutMs).startsWith("ok");
}

int SendDialRequest(const std::string& profileFolder, const QByteArray& number, int timeoutMs) {
    const QByteArray answer = Ask(profileFolder, "DIAL " + number + "\n", timeoutMs).trimmed();
    bool ok = false;
    const int v = answer.toInt(&ok);
    return ok ? v : -1;
}

}  // namespace shell
