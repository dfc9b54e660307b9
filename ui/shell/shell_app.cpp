// Program-wide values of the user interface shared by the start, the frame and the login dialog.
#include "ui/shell/shell_app.h"

#include <QFile>
#include <QMessageBox>

#include "common/debug.h"

namespace shell {

bool g_interactiveLogin = true;
bool g_loginPending = false;
std::string g_strPassword;
std::unique_ptr<plat::Semaphore> g_hChatSemaphore;

long long DefaultGateway() {
    QFile routes("/proc/net/route");
    if (!routes.open(QIODevice::ReadOnly)) return -1;
    routes.readLine();
    while (!routes.atEnd()) {
        const QList<QByteArray> f = routes.readLine().simplified().split(' ');
        bool ok = false;
        if (f.size() >= 8 && f[1] == "00000000" && f[7] == "00000000") {
            const long long gw = f[2].toLongLong(&ok, 16);
            if (ok) return gw;
        }
    }
    return -1;
}

int GetLinkState() {
    if (!QFile::exists("/proc/net/route")) return 1;
    return DefaultGateway() >= 0 ? 1 : 2;
}

int ShowAppMessageBox(QWidget* parent, const QString& text, const QString& title) {
    DebugTrace(MOD_SYSTEM, 3, "%s", text.toUtf8().constData());
    if (!g_interactiveLogin) return 3;
    g_loginPending = false;
    if (!parent) return 3;
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
    return box.exec() == QMessageBox::Ok ? 1 : 2;
}

}  // namespace shell
