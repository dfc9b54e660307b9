// The warning box of the shell's dialogs: owned by the main window, an icon and an OK button.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace shell {

enum class BoxIcon { Exclamation, Question };
void DialogBox(QWidget* owner, const QString& text, const QString& title, BoxIcon icon = BoxIcon::Exclamation);
// Tests see the boxes here instead of a window (text, title); an empty function restores the window.
void SetDialogBoxHook(std::function<void(const QString& text, const QString& title)> hook);

}  // namespace shell
