// CUpdateDialog: asks the update service for the newest version, shows it and hands over to the updater.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>

#include "platform/wintypes.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;
struct CUpdateVersionInfo;

// The code the dialog ends with when the user closes it.
inline constexpr int UPDATE_DIALOG_CLOSED = 101;

// A download size in megabytes (bytes / 1024 / 1024, two decimals; "0" for 0).
QString UpdateSizeText(int64_t bytes);

class CUpdateDialog : public QDialog {
    Q_OBJECT
public:
    explicit CUpdateDialog(QWidget* parent = nullptr);
    ~CUpdateDialog() override;

    // Where the update thread answers this dialog.
    HWND Handle() const { return m_hWnd; }
    // The version of the main window's answer, or a check when it has none.
    void ShowVersion();
    // Shows that the service is being asked and asks it, answering this dialog.
    void StartCheck();
    // The update thread's answer: 0 the version record, 1 a failure, 2 a transfer error.
    LRESULT OnUpdateCheck(WPARAM wParam, LPARAM lParam);
    // Update: with an answer the updater takes over and the main window closes; without one, a check.
    void OnUpdateButton();
    // Close ends the dialog; Cancel hides the progress and tells the thread.
    void OnCloseButton();
    // Texts again in the current language.
    void ApplyLanguage();
    // A known download size (bytes), shown under the version; 0 hides it.
    void SetDownloadSize(int64_t bytes);

    QLabel* VersionText() const { return version_; }
    QLabel* NoticeText() const { return notice_; }
    QLabel* SizeBytesText() const { return bytes_; }
    QPushButton* UpdateButton() const { return update_; }
    QPushButton* CloseButton() const { return close_; }
    QWidget* ProgressGroup() const { return progressGroup_; }
    QProgressBar* Progress() const { return progress_; }
    bool Checking() const { return checking_; }

    // What the dialog needs of the main window and the update thread; by default the running frame
    // and thread (tests replace them).
    std::function<const CUpdateVersionInfo*()> frameAnswer;      // the main window's copy, null when none
    std::function<void(WPARAM, LPARAM)> passToFrame;              // an answer handed on, synchronously
    std::function<void()> markAsked;                              // the user asked for the update
    std::function<bool()> runUpdater;                             // version file and updater; false: none started
    std::function<void()> closeFrame;                             // the main window is sent WM_CLOSE
    std::function<bool(HWND answerTo)> askThread;                 // the thread started when none runs
    std::function<void(LPARAM)> cancelThread;                     // WM_UPDATE_CANCEL to the thread

protected:
    void showEvent(QShowEvent* e) override;

private:
    void SetClosing(bool closeText);
    HWND m_hWnd = nullptr;
    bool shown_ = false;
    bool checking_ = false;
    int64_t sizeBytes_ = 0;
    QLabel *icon_, *version_, *size_, *bytes_, *notice_, *progressCaption_;
    QString finishText_, okText_, errorText_, downTip_;
    QWidget* progressGroup_;
    QProgressBar* progress_;
    QPushButton *update_, *close_;
};
