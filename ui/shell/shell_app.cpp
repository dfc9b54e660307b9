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

long long DefaultGateway(const QString& routeTable) {
    // Without a route table no route can be seen: the link counts as alive, through one gateway.
    if (!QFile::exists(routeTable)) return 0;
    QFile routes(routeTable);
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
    return DefaultGateway() >= 0 ? 1 : 2;
}

BoxStyle BoxStyleOf(unsigned type) {
    static const int icons[] = {QMessageBox::NoIcon, QMessageBox::Critical, QMessageBox::Question, QMessageBox::Warning,
                                QMessageBox::Information};
    const unsigned icon = (type >> 4) & 0xF;
    BoxStyle style{icon < 5 ? icons[icon] : QMessageBox::NoIcon, QMessageBox::Ok};
    switch (type & 0xF) {
        case MB_OKCANCEL: style.buttons = QMessageBox::Ok | QMessageBox::Cancel; break;
        case MB_ABORTRETRYIGNORE: style.buttons = QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore; break;
        case MB_YESNOCANCEL: style.buttons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel; break;
        case MB_YESNO: style.buttons = QMessageBox::Yes | QMessageBox::No; break;
        case MB_RETRYCANCEL: style.buttons = QMessageBox::Retry | QMessageBox::Cancel; break;
        default: break;
    }
    return style;
}

int BoxAnswer(int standardButton) {
    switch (standardButton) {
        case QMessageBox::Ok: return IDOK;
        case QMessageBox::Abort: return IDABORT;
        case QMessageBox::Retry: return IDRETRY;
        case QMessageBox::Ignore: return IDIGNORE;
        case QMessageBox::Yes: return IDYES;
        case QMessageBox::No: return IDNO;
        default: return IDCANCEL;
    }
}

int ShowAppMessageBox(QWidget* parent, const QString& text, const QString& title, unsigned type) {
    DebugTrace(MOD_SYSTEM, 3, "%s", text.toUtf8().constData());
    if (!g_interactiveLogin) return 3;
    g_loginPending = false;
    if (!parent) return 3;
    const BoxStyle style = BoxStyleOf(type);
    QMessageBox box(static_cast<QMessageBox::Icon>(style.icon), title, text,
                    QMessageBox::StandardButtons(style.buttons), parent);
    return BoxAnswer(box.exec());
}

}  // namespace shell
