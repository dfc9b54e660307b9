// The warning box of the shell's dialogs: owned by the main window, an icon and an OK button.
#include "ui/shell/dialog_box.h"

#include <QMessageBox>

#include "ui/shell/main_frame.h"

namespace shell {

namespace {
std::function<void(const QString&, const QString&)>& Hook() {
    static std::function<void(const QString&, const QString&)> hook;
    return hook;
}
}  // namespace

void SetDialogBoxHook(std::function<void(const QString&, const QString&)> hook) { Hook() = std::move(hook); }

void DialogBox(QWidget* owner, const QString& text, const QString& title, BoxIcon icon) {
    if (Hook()) {
        Hook()(text, title);
        return;
    }
    QWidget* parent = MainFrame() ? static_cast<QWidget*>(MainFrame()) : owner;
    QMessageBox box(icon == BoxIcon::Question ? QMessageBox::Question : QMessageBox::Warning, title, text,
                    QMessageBox::Ok, parent);
    box.exec();
}

}  // namespace shell
