// One running copy per profile: a lock file is the test, a local socket carries activation and dial requests.
#include "ui/shell/instance_guard.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/debug.h"
#include "platform/fs.h"

namespace shell {

namespace {
constexpr int kLineMax = kDialRequestMax + 16;  // "DIAL " and the line end around the number

// The user at the other end of a connected local socket; -1 when it cannot be told.
long long PeerUid(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return -1;
    return static_cast<long long>(cred.uid);
}

bool FitsSocketAddress(const std::string& path) { return path.size() < sizeof(sockaddr_un{}.sun_path); }
}  // namespace

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

bool IsPrivateFolder(const std::string& path, std::string* why) {
    struct stat st {};
    std::string reason;
    if (path.empty() || path[0] != '/') reason = "not an absolute path";
    else if (::lstat(path.c_str(), &st) != 0) reason = std::strerror(errno);
    else if (!S_ISDIR(st.st_mode)) reason = "not a folder";
    else if (st.st_uid != ::getuid()) reason = "owned by user " + std::to_string(st.st_uid);
    else if ((st.st_mode & 077) != 0) reason = "open to other users";
    if (why) *why = reason;
    return reason.empty();
}

std::string InstanceSocketFolder(std::string* why) {
    std::string reason;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        if (IsPrivateFolder(runtime, &reason)) return runtime;
        DebugTrace(MOD_SYSTEM, 2, "XDG_RUNTIME_DIR %s not used: %s", runtime, reason.c_str());
    }
    // Otherwise a folder under the user's own home: in a folder every user can write, another user
    // could take the name first and keep every start from listening.
    std::string home;
    if (const char* env = std::getenv("HOME"); env && *env == '/') home = env;
    else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir == '/') home = pw->pw_dir;
    if (home.empty()) {
        if (why) *why = "no home folder";
        return {};
    }
    const std::string own = plat::PathJoin(home, ".cache/tessaly");
    // A folder of ours left open (an older copy, a umask) is closed again; anyone else's is never used.
    if (!plat::MakePrivateDirectory(own) && !plat::FileExists(own)) {
        if (why) *why = own + ": " + std::strerror(errno);
        return {};
    }
    if (!IsPrivateFolder(own, &reason)) {
        if (why) *why = own + ": " + reason;
        return {};
    }
    return own;
}

std::string InstanceSocketPath(const std::string& profileFolder, std::string* why) {
    const std::string folder = InstanceSocketFolder(why);
    if (folder.empty()) return {};
    const QByteArray canonical = QDir(QString::fromStdString(profileFolder)).absolutePath().toUtf8();
    const std::string path = plat::PathJoin(
        folder, "tessaly-" + QCryptographicHash::hash(canonical, QCryptographicHash::Md5).toHex().left(12).toStdString());
    if (!FitsSocketAddress(path)) {
        if (why) *why = path + ": path too long for a local socket";
        return {};
    }
    return path;
}

InstanceGuard::InstanceGuard(const std::string& profileFolder, QObject* parent)
    : QObject(parent), profile_(profileFolder) {
    resume_.setSingleShot(true);
    connect(&resume_, &QTimer::timeout, this, [this] {
        if (notifier_) notifier_->setEnabled(true);
    });
}

InstanceGuard::~InstanceGuard() {
    delete notifier_;
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(socketPath_.c_str());
    }
    if (lock_) lock_->unlock();
}

InstanceGuard::LockResult InstanceGuard::Acquire(std::string* why) {
    const std::string path = plat::PathJoin(profile_, "tessaly.lock");
    // The lock of a copy that runs is read to tell whether it is stale: a FIFO there would hold the
    // start for ever, anything else but a file says nothing. Left as it is, and said.
    if (plat::FileExists(path) && !plat::IsRegularFile(path)) {
        if (why) *why = path + " is not a regular file: remove it to start";
        return LockResult::Failed;
    }
    lock_ = std::make_unique<QLockFile>(QString::fromStdString(path));
    lock_->setStaleLockTime(0);
    // The lock names this computer and the process: the user's alone, as every file of the profile.
    const auto held = [this, &path] {
        ::chmod(path.c_str(), plat::kPrivateFileMode);
        return LockResult::Acquired;
    };
    if (lock_->tryLock(0)) return held();
    // A lock left by a copy that died is taken over; a live one means another copy runs.
    const QLockFile::LockError error = lock_->error();
    if (error == QLockFile::LockFailedError) {
        if (lock_->removeStaleLockFile() && lock_->tryLock(0)) return held();
        lock_.reset();
        return LockResult::HeldByAnother;
    }
    if (why) *why = error == QLockFile::PermissionError ? "the lock file cannot be made (permission denied)" : "the lock file cannot be made";
    lock_.reset();
    return LockResult::Failed;
}

bool InstanceGuard::Listen() {
    std::string why;
    socketPath_ = InstanceSocketPath(profile_, &why);
    if (socketPath_.empty()) {
        DebugTrace(MOD_SYSTEM, 1, "Instance socket not listening: %s", why.c_str());
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    ::unlink(socketPath_.c_str());  // we hold the lock and the folder is ours: a socket left there is stale
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::chmod(socketPath_.c_str(), 0600) != 0 ||
        ::listen(fd, 8) != 0) {
        DebugTrace(MOD_SYSTEM, 1, "Instance socket not listening: %s: %s", socketPath_.c_str(), std::strerror(errno));
        if (fd >= 0) ::close(fd);
        socketPath_.clear();
        return false;
    }
    listenFd_ = fd;
    notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read);
    connect(notifier_, &QSocketNotifier::activated, this, &InstanceGuard::OnAcceptable);
    DebugTrace(MOD_SYSTEM, 2, "Instance socket %s", socketPath_.c_str());
    return true;
}

void InstanceGuard::OnAcceptable() {
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            Serve(fd);
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
        // Out of descriptors (or memory): the waiting client stays queued; listening goes on shortly.
        DebugTrace(MOD_SYSTEM, 1, "Instance socket: accept failed: %s; trying again in %d ms", std::strerror(errno),
                   kInstanceAcceptPauseMs);
        notifier_->setEnabled(false);
        resume_.start(kInstanceAcceptPauseMs);
        return;
    }
}

void InstanceGuard::Serve(int fd) {
    const long long uid = PeerUid(fd);
    if (uid != static_cast<long long>(::getuid())) {
        DebugTrace(MOD_SYSTEM, 1, "Instance socket: a client of user %lld refused", uid);
        ::close(fd);
        return;
    }
    if (clients_ >= kInstanceClientsMax) {
        DebugTrace(MOD_SYSTEM, 1, "Instance socket: %d clients already, one more refused", clients_);
        ::close(fd);
        return;
    }
    auto* socket = new QLocalSocket(this);
    if (!socket->setSocketDescriptor(fd)) {
        ::close(fd);
        delete socket;
        return;
    }
    ++clients_;
    connect(socket, &QObject::destroyed, this, [this] { --clients_; });
    socket->setReadBufferSize(kLineMax + 1);
    auto* deadline = new QTimer(socket);
    deadline->setObjectName("deadline");
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, socket, [socket] {
        DebugTrace(MOD_SYSTEM, 2, "Instance socket: no request in time, client closed");
        socket->abort();
        socket->deleteLater();
    });
    deadline->start(clientMs_);
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { OnReadable(socket); });
    if (socket->bytesAvailable() > 0) OnReadable(socket);
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
    if (auto* deadline = socket->findChild<QTimer*>("deadline")) deadline->stop();
    // The handlers may run a window's event loop: the socket is looked at again only if still there.
    QPointer<QLocalSocket> alive(socket);
    QByteArray line = socket->readLine(kLineMax + 1);
    QByteArray answer = "0\n";
    if (line.endsWith('\n')) {
        line.chop(1);
        if (line.endsWith('\r')) line.chop(1);
        if (line == "ACTIVATE") {
            if (onActivate) onActivate();
            answer = "ok\n";
        } else if (line == "SETUP") {
            answer = QByteArray::number(onSetup ? onSetup() : 0) + "\n";
        } else if (line.startsWith("DIAL ")) {
            std::string number;
            int result = DIAL_NOT_SIGNED_IN;
            if (!ParseDialNumber(line.mid(5), &number)) DebugTrace(MOD_SYSTEM, 3, "Dial request refused: bad number");
            else if (onDial) result = onDial(number);
            answer = QByteArray::number(result) + "\n";
        }
    }
    if (!alive) return;
    socket->write(answer);
    socket->flush();
    socket->disconnectFromServer();
}

namespace {
QByteArray Ask(const std::string& profileFolder, const QByteArray& line, int timeoutMs) {
    const std::string path = InstanceSocketPath(profileFolder);
    if (path.empty()) return {};
    QElapsedTimer clock;
    clock.start();
    auto left = [&] { return std::max(1, timeoutMs - static_cast<int>(clock.elapsed())); };
    QLocalSocket socket;
    // A copy that has just taken the lock may not listen yet.
    for (;;) {
        socket.connectToServer(QString::fromStdString(path));
        if (socket.waitForConnected(left())) break;
        if (clock.elapsed() >= timeoutMs) return {};
        QThread::msleep(50);
    }
    // Only a copy of this user is told anything.
    if (PeerUid(static_cast<int>(socket.socketDescriptor())) != static_cast<long long>(::getuid())) return {};
    socket.write(line);
    if (!socket.waitForBytesWritten(left())) return {};
    QByteArray answer;
    while (!answer.contains('\n') && answer.size() < 64) {
        if (socket.bytesAvailable() == 0 && (clock.elapsed() >= timeoutMs || !socket.waitForReadyRead(left()))) break;
        answer += socket.read(64);
    }
    return answer;
}
}  // namespace

bool SendActivate(const std::string& profileFolder, int timeoutMs) {
    return Ask(profileFolder, "ACTIVATE\n", timeoutMs).startsWith("ok");
}

int SendRunSetup(const std::string& profileFolder, int timeoutMs) {
    bool ok = false;
    const int v = Ask(profileFolder, "SETUP\n", timeoutMs).trimmed().toInt(&ok);
    return ok ? v : -1;
}

int SendDialRequest(const std::string& profileFolder, const QByteArray& number, int timeoutMs) {
    if (number.contains('\n') || number.contains('\r')) return DIAL_NOT_SIGNED_IN;  // one request, one line
    const QByteArray answer = Ask(profileFolder, "DIAL " + number + "\n", timeoutMs).trimmed();
    bool ok = false;
    const int v = answer.toInt(&ok);
    return ok ? v : -1;
}

}  // namespace shell
