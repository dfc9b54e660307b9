// CIMSkinPanel: a chat window's skinned picture pane (the peer's beside the history, the user's own beside the input).
#pragma once

#include <QIcon>
#include <QImage>
#include <QString>
#include <QWidget>
#include <string>

class QToolButton;

namespace chat {
// A head picture of the picture folder: the file itself, and its grey form ("disable" + name in the same
// folder, else the picture itself in black and white). Null images when the name is empty or names no file, or the path
// would pass 510 characters.
struct HeadPictureFiles {
    QImage colour;
    QImage grey;
};
HeadPictureFiles LoadHeadPicture(const std::string& folder, const std::string& name);
// The picture of a name, or the folder's default picture when the name gives none.
HeadPictureFiles LoadHeadPictureOrDefault(const std::string& folder, const std::string& name, const std::string& fallback);
// A state button's icon from the skin's pictures: the picture, the selected one while the mouse is over
// the button, and each one's grey form ("disable" + its name in the same folder) while it is disabled;
// magenta is transparent. Null when the skin has not the picture.
QIcon StateButtonIcon(const char* picture, const char* selected);
}  // namespace chat

class CIMSkinPanel : public QWidget {
    Q_OBJECT
public:
    enum Kind { Peer = 0, Own = 1 };
    CIMSkinPanel(Kind kind, QWidget* owner);

    Kind PanelKind() const { return kind_; }
    // The picture file name inside the head-picture folder ("" gives the default picture).
    void SetPictureName(const std::string& name);
    const std::string& PictureName() const { return pictureName_; }
    // Loads the picture again (a new picture chosen, a new skin) and repaints.
    void ReloadPicture();
    void SetOnline(bool online);
    bool Online() const { return online_; }
    void SetTexts(const QString& name, const QString& state);
    // Collapsed: only a narrow strip with the arrow that opens it again.
    void SetCollapsed(bool collapsed);
    bool Collapsed() const { return collapsed_; }
    void OnLanguageChanged();
    // What is drawn (tests): the picture as shown, grey while offline.
    QImage ShownPicture() const;
    QRect PictureRect() const;

    static constexpr int kWidth = 138;
    static constexpr int kStrip = 14;
    static constexpr int kPicture = 64;

signals:
    // The arrow was clicked.
    void stateClicked();

protected:
    void paintEvent(QPaintEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

private:
    void LoadSkin();
    Kind kind_;
    QWidget* owner_;
    std::string pictureName_;
    chat::HeadPictureFiles picture_;
    QImage background_;
    QImage arrow_;
    bool online_ = true;
    bool collapsed_ = false;
    QString name_, state_;
    QToolButton* arrowButton_;
};
