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
// The default route's next hop (from /proc/net/route), or -1 without a default route.
long long DefaultGateway();
// The one message box of worker-reporting code: silent (returns 3) during a hidden automatic start.
int ShowAppMessageBox(QWidget* parent, const QString& text, const QString& title);

}  // namespace shell
