// The style sheet of the shell's windows: a light face, one blue accent, quiet borders.
#include "ui/shell/app_start.h"

namespace shell {

QString ShellStyleSheet() {
    return QStringLiteral(R"(
QMainWindow#mainFrame, QWidget#frameCentral { background: #f3f6fa; }
QMenuBar#frameMenuBar { background: #ffffff; border-bottom: 1px solid #e1e7ef; padding: 1px 4px; }
QMenuBar#frameMenuBar::item { padding: 4px 9px; border-radius: 4px; color: #1f2d3d; }
QMenuBar#frameMenuBar::item:selected { background: #e8f0fc; }
QMenu { background: #ffffff; border: 1px solid #d5dde8; padding: 4px; }
QMenu::item { padding: 5px 22px 5px 22px; border-radius: 4px; color: #1f2d3d; }
QMenu::item:selected { background: #e8f0fc; color: #1b4fa8; }
QMenu::item:disabled { color: #a8b2bf; }
QToolBar#frameToolBar { background: #ffffff; border: none; border-bottom: 1px solid #e1e7ef; spacing: 2px; padding: 2px 6px; }
QTabWidget::pane { border: none; background: #ffffff; }
QTabBar { background: #f3f6fa; }
QWidget#startPage { background: #ffffff; }
QLabel#startHint { color: #5b6b7f; font-size: 12px; }
QListWidget#eventList, QTreeWidget#buddyTree { border: none; background: #ffffff; color: #1f2d3d; font-size: 12px; }
QListWidget#eventList::item { padding: 5px 2px; border-bottom: 1px solid #f0f3f7; }
QTreeWidget#buddyTree::item { padding: 4px 2px; }
QTreeWidget#buddyTree::item:selected { background: #e8f0fc; color: #1b4fa8; }
QPushButton { background: #ffffff; border: 1px solid #cfd8e3; border-radius: 5px; padding: 5px 14px; color: #1f2d3d; }
QPushButton:hover { border-color: #2f6fd6; color: #1b4fa8; }
QPushButton:disabled { color: #a8b2bf; border-color: #e1e7ef; background: #f7f9fb; }
QPushButton#primaryButton { background: #2f6fd6; border: 1px solid #2a63c2; color: #ffffff; font-weight: bold; }
QPushButton#primaryButton:hover { background: #3a7be3; }
QPushButton#primaryButton:disabled { background: #9dbbe9; border-color: #9dbbe9; }
QPushButton#callButton { background: #2fb463; border: 1px solid #28a058; color: #ffffff; font-weight: bold; }
QPushButton#callButton:hover { background: #36c26c; }
QPushButton#hangupButton { background: #e5483d; border: 1px solid #cf3f35; color: #ffffff; font-weight: bold; }
QPushButton#flatButton { border: none; color: #5b6b7f; background: transparent; }
QPushButton#flatButton:hover { color: #1b4fa8; }
QPushButton#dialKey { font-size: 16px; background: #f7f9fc; border: 1px solid #dde4ee; border-radius: 8px; }
QPushButton#dialKey:hover { background: #e8f0fc; }
QLineEdit#dialNumber { font-size: 20px; padding: 6px; border: 1px solid #cfd8e3; border-radius: 6px; }
QWidget#dialBar { background: #ffffff; border-top: 1px solid #e1e7ef; }
QPushButton#dialBarCall { background: #2fb463; border: 1px solid #28a058; border-radius: 5px; padding: 0; }
QPushButton#dialBarCall:disabled { background: #b9e3c9; border-color: #b9e3c9; }
QPushButton#dialBarHangup { background: #e5483d; border: 1px solid #cf3f35; border-radius: 5px; padding: 0; }
QPushButton#dialBarHangup:disabled { background: #f1bbb6; border-color: #f1bbb6; }
/* the drop-down list's current row takes the face's white unless it has colours of its own */
QComboBox { border: 1px solid #cfd8e3; border-radius: 5px; padding: 3px 8px; background: #ffffff;
            selection-background-color: #e8f0fc; selection-color: #1b4fa8; }
QComboBox:focus, QLineEdit:focus { border-color: #2f6fd6; }
QLineEdit { border: 1px solid #cfd8e3; border-radius: 5px; padding: 3px 8px; background: #ffffff; }
QWidget#presenceBar { background: #f3f6fa; border-top: 1px solid #e1e7ef; }
QLabel#presenceText { color: #1f2d3d; font-size: 12px; }
QLabel#callRemote { font-size: 18px; font-weight: bold; color: #1f2d3d; }
QLabel#callState { font-size: 13px; color: #5b6b7f; }
QLabel#callClock { font-size: 22px; color: #2f6fd6; }
QDialog#loginDialog, QWidget#loginBody { background: #ffffff; }
QCheckBox { color: #3d4b5c; }
)");
}

}  // namespace shell
