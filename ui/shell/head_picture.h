// CHeadPicDlg: chooses the user's head picture from the head-picture folder and asks the access
// server to use it.
#pragma once

#include <QDialog>
#include <QPalette>
#include <QString>
#include <functional>
#include <string>
#include <vector>

class QLabel;
class QListWidget;

// The pictures that are listed: file names ending in ".bmp" whose name (before ".bmp") has a text in
// section "heads_pic", in the order the folder gives them, with that text.
struct HeadPicEntry {
    std::string file;
    QString text;
};
std::vector<HeadPicEntry> ListHeadPictures(const std::string& folder);

// The colours of a row's label: a selected row shows the highlight while the list has the focus, the
// button face without it; other rows the window's colours.
struct HeadPicRowColours {
    QPalette::ColorRole background, text;
    bool operator==(const HeadPicRowColours&) const = default;
};
HeadPicRowColours HeadPicRowColoursFor(bool selected, bool listFocused);

class CHeadPicDlg : public QDialog {
    Q_OBJECT
public:
    // current: the user's present picture file, previewed when listed.
    explicit CHeadPicDlg(const QString& current = {}, QWidget* parent = nullptr);
    void OnOK();
    void OnLanguageChanged();
    QListWidget* List() const { return list_; }
    QLabel* Preview() const { return preview_; }
    // Queues the access-server command; tests replace it (the picture's file name).
    std::function<void(const std::string& file)> sendPicture;

private:
    void ShowPreview(const QString& file);
    QListWidget* list_;
    QLabel *label_, *previewLabel_, *preview_;
    QPushButton *ok_, *cancel_;
};
