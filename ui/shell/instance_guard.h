// One running copy per profile: a lock file is the test, a local socket carries activation and dial requests.
#pragma once

#include <QByteArray>
#include <QLockFile>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

class QLocalSocket;
class QSocketNotifier;

namespace shell {

inline constexpr int kDialRequestMax = 259;        // bytes of a dial request's number
inline constexpr int kInstanceClientMs = 5000;     // a client has this long to send its request
inline constexpr int kInstanceClientsMax = 16;     // clients served at once; more are closed at once
inline constexpr int kInstanceAcceptPauseMs = 500;  // after a failed accept (out of descriptors)

// Dial results answered to the requester.
enum DialResult : int { DIAL_NOT_SIGNED_IN = 0, DIAL_PAGE_EXISTS = 1, DIAL_TALKING = 2, DIAL_CALLED = 3 };

// The number of a dial request: at most kDialRequestMax bytes of digits, "+*#", and for SIP addresses
// letters, "@", ".", "-", "_"; false for anything else (the request is then answered 0).
bool ParseDialNumber(const QByteArray& text, std::string* number);

// True when path is a folder only this user can enter: a real folder (no link), ours, closed to group
// and others; otherwise false with the reason.
bool IsPrivateFolder(const std::string& path, std::string* why);
// Folder of the instance sockets: $XDG_RUNTIME_DIR when it is private, else ".cache/tessaly" in the
// user's home, made 0700 when missing. Empty, with the reason, when neither is private.
std::string InstanceSocketFolder(std::string* why = nullptr);
// The socket of a profile folder in that folder; empty, with the reason, when there is none to trust.
std::string InstanceSocketPath(const std::string& profileFolder, std::string* why = nullptr);

class InstanceGuard : public QObject {
    Q_OBJECT
public:
    enum class LockResult { Acquired, HeldByAnother, Failed };

    explicit InstanceGuard(const std::string& profileFolder, QObject* parent = nullptr);
    ~InstanceGuard() override;
    // The profile's lock. Failed (with the reason) when the lock file cannot be made at all.
    LockResult Acquire(std::string* why = nullptr);
    // Listens on the socket once the lock is held; a failure is written to the log.
    bool Listen();
    void SetClientTimeoutMs(int ms) { clientMs_ = ms; }
    int ClientCount() const { return clients_; }
    // Run by the handlers on the user-interface thread.
    std::function<void()> onActivate;
    std::function<int(const std::string& number)> onDial;
    // Another program asks for the installer: the window closes and the installer runs; the answer.
    std::function<int()> onSetup;

private:
    void OnAcceptable();
    void Serve(int fd);
    void OnReadable(QLocalSocket* socket);
    std::string profile_;
    std::unique_ptr<QLockFile> lock_;
    std::string socketPath_;
    int listenFd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    QTimer resume_;
    int clientMs_ = kInstanceClientMs;
    int clients_ = 0;
};

// Client side (a second start, or another program): tells the running copy to come to the front.
// The running copy answers from its window's thread, which may be busy starting or signing in: the
// waits are long, as a message sent to a window waits for it.
bool SendActivate(const std::string& profileFolder, int timeoutMs = 20000);
// Asks the running copy to close and run the installer: its answer (1), or -1 when no copy answered.
int SendRunSetup(const std::string& profileFolder, int timeoutMs = 20000);
// Sends a dial request and returns the answer 0..3, or -1 when no copy answered. A number holding a
// line break is not sent (0).
int SendDialRequest(const std::string& profileFolder, const QByteArray& number, int timeoutMs = 20000);

}  // namespace shell
