// Helpers shared by the chat window's source files (not part of the chat interface).
#pragma once

#include <QColor>
#include <QKeySequence>
#include <QRegularExpression>
#include <QString>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QWidget>
#include <cstdint>
#include <functional>

#include "platform/wintypes.h"
#include "ui/chat/chat_closing.h"

namespace chatwin {

enum Command {
    ID_VIEW_RECORDS = 32805, ID_CLOSE = 32806, ID_UNDO = 32807, ID_COPY = 32808, ID_CUT = 32809, ID_PASTE = 32810,
    ID_DELETE = 32811, ID_SELECT_ALL = 32812, ID_ENTER_SENDS = 32814, ID_CTRL_ENTER_SENDS = 32815,
    ID_AUTOPLAY = 32821, ID_FONT = 32822, ID_EMOTICONS = 32823, ID_FONT_MENU = 32825, ID_INVITE = 32831,
    ID_CALL = 32833, ID_END = 32837, ID_KICK = 32838, ID_BLOCK = 32841,
};

// A message body stands 300 twips (20 pixels) further in than its header.
inline constexpr int kBodyIndent = 20;

// Block notices every chat window gets (lParam: the contact's id text).
inline constexpr UINT WM_BLOCK_ANSWER = 0x821;
inline constexpr UINT WM_UNBLOCK_ANSWER = 0x822;
inline constexpr UINT WM_BLOCK_REQUEST = 0x823;
inline constexpr UINT WM_SYSTEM_NOTICE = WM_USER + 211;   // 0x4D3: a notice text for the history
inline constexpr UINT WM_MEMBER_AREA = WM_USER + 1054;    // 0x81E: show (lParam 1) or hide the member area
inline constexpr UINT WM_PICTURE_MENU = WM_USER + 1055;   // 0x81F: the picture menu; wParam 0 peer, 1 own

// A caption without its mnemonic: "发送(&S)" and "&Send" read "发送" and "Send".
QString Plain(QString text);
// The time stamp of a history line (-1: now).
QString TimeText(int64_t time);
inline QString Escape(const QString& text) { return text.toHtmlEscaped(); }
// A menu caption without the key name the language file writes after it ("Chat &history   Ctrl+R"):
// the menu shows the action's own shortcut, which would otherwise stand there twice.
QString WithoutShortcutText(QString text, const QKeySequence& key);
// The format of message bodies: the font chosen for the input box, else the window's own look.
QTextCharFormat BodyFormat(const QTextCharFormat& f);
// Web and mail addresses inside a message or the input box.
const QRegularExpression& LinkPattern();
// Runs instead of the head-picture chooser when a test has set it.
std::function<void(QWidget*)>& HeadPictureHook();

}  // namespace chatwin
