// One running copy per profile: a lock file is the test, a local socket carries activation and dial requests.
#pragma once

#include <QByteArray>
#include <QLockFile>
#include <QObject>
#include <functional>
#include <memory>
#include <string>

class QLocalServer;
class QLocalSocket;

namespace shell {

inline constexpr int kDialRequestMax = 259;  // bytes of a dial request's number

// Dial results answered to the requester.
enum DialResult : int { DIAL_NOT_SIGNED_IN = 0, DIAL_PAGE_EXISTS = 1, DIAL_TALKING = 2, DIAL_CALLED = 3 };

// The number of a dial request: at most kDialRequestMax bytes of digits, "+*#", and for SIP addresses
// letters, "@", ".", "-", "_"; false for anything else (the request is then answered 0).
bool ParseDialNumber(const QByteArray& text, std::string* number);

// Name of the local socket of a profile folder.
QString InstanceSocketName(const std::string& profileFolder);

class InstanceGuard : public QObject {
    Q_OBJECT
public:
    explicit InstanceGuard(const std::string& profileFolder, QObject* parent = nullptr);
    ~InstanceGuard() override;
    // True when this copy holds the lock (and then listens); false when another copy runs.
    bool Acquire();
    // Run by the handlers on the user-interface thread.
    std::function<void()> onActivate;
    std::function<int(const std::string& number)> onDial;

private:
    void OnConnection();
    void OnReadable(QLocalSocket* socket);
    std::string profile_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer* server_ = nullptr;
};

// Client side (a second start, or another program): tells the running copy to come to the front.
bool SendActivate(const std::string& profileFolder, int timeoutMs = 2000);
// Sends a dial request and returns the answer 0..3, or -1 when no copy answered.
int SendDialRequest(const std::string& profileFolder, const QByteArray& number, int timeoutMs = 5000);

}  // namespace shell
