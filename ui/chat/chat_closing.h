// Closing a chat-side window while one of its dialogs, boxes or menus may still run a loop of its own.
#pragma once

#include <QPointer>
#include <QWidget>

namespace chat {

// Held while a window runs a dialog, box or menu in a loop of its own. A close asked for meanwhile
// (CloseWhenIdle) deletes the window only once the last such scope has ended: the dialog may be a
// stack object the window would delete a second time, and the code that ran the loop goes on with
// the window when it returns.
class ModalScope {
public:
    explicit ModalScope(QWidget* window);
    ~ModalScope();
    ModalScope(const ModalScope&) = delete;
    ModalScope& operator=(const ModalScope&) = delete;
    // The window was closed while the loop ran: the caller leaves it alone and returns.
    bool Closed() const;

private:
    QPointer<QWidget> window_;
};

// Hides the window and ends every dialog, box and menu it shows; the window is deleted once the last
// loop it runs has returned to the code that ran it (at once when none runs).
void CloseWhenIdle(QWidget* window);

}  // namespace chat
