// Program-wide values of the user interface shared by the start, the frame and the login dialog.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/sync.h"

#include <QString>

class QWidget;

namespace shell {

extern bool g_interactiveLogin;  // failures are shown and reopen the login dialog
extern bool g_loginPending;      // a sign-in is wanted; the link monitor starts it
extern std::string g_strPassword;
// Guards the chat windows' list between the frame and the chat windows (count 1, maximum 1): taken for
// at most 2000 ms, a broadcast is skipped when it cannot be had. Made by the start.
extern std::unique_ptr<plat::Semaphore> g_hChatSemaphore;

// 1 when a default route exists, 2 when none: a loopback-only machine counts as down.
int GetLinkState();
// The default route's next hop, or -1 without a default route; 0 when the route table does not exist.
long long DefaultGateway(const QString& routeTable = "/proc/net/route");
// Message box types and answers, as the callers pass and read them: buttons in the low nibble, the
// icon in the next.
enum : unsigned {
    MB_OK = 0x0, MB_OKCANCEL = 0x1, MB_ABORTRETRYIGNORE = 0x2, MB_YESNOCANCEL = 0x3, MB_YESNO = 0x4,
    MB_RETRYCANCEL = 0x5, MB_ICONHAND = 0x10, MB_ICONQUESTION = 0x20, MB_ICONEXCLAMATION = 0x30,
    MB_ICONASTERISK = 0x40
};
enum : int { IDOK = 1, IDCANCEL = 2, IDABORT = 3, IDRETRY = 4, IDIGNORE = 5, IDYES = 6, IDNO = 7 };
// The box a type asks for: its icon and its buttons (an unknown button set is OK alone).
struct BoxStyle {
    int icon;     // QMessageBox::Icon
    int buttons;  // QMessageBox::StandardButtons
};
BoxStyle BoxStyleOf(unsigned type);
// The answer of a pressed standard button (IDOK, IDCANCEL, IDYES...); IDCANCEL for a box closed otherwise.
int BoxAnswer(int standardButton);
// The one message box of worker-reporting code: the text goes to the trace; silent (returns 3) during a
// hidden automatic start or without a window to show it on; else the box's answer.
int ShowAppMessageBox(QWidget* parent, const QString& text, const QString& title, unsigned type);

}  // namespace shell
