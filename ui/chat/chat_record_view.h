// CChatRecordView: the record browser's view of one record: sender, receivers and the content, a voice
// record as a picture that plays it when clicked.
#pragma once

#include <QWidget>
#include <functional>

class QLabel;
class CChatRichEdit;

class CChatRecordView : public QWidget {
    Q_OBJECT
public:
    explicit CChatRecordView(QWidget* parent = nullptr);
    void SetHeader(const QString& sender, const QString& receivers);
    // kind 0: text (emoticon codes become pictures); 1: a voice message, text = its number; else: empty.
    void ShowContent(int kind, const QString& text);
    void Clear();
    void OnLanguageChanged();
    // The number of the voice message shown, 0 when none.
    int VoiceNumber() const { return voice_; }
    CChatRichEdit* Edit() const { return edit_; }
    QLabel* SenderField() const { return sender_; }
    QLabel* ReceiversField() const { return receivers_; }
    QLabel* SenderLabel() const { return senderLabel_; }

    // Plays a recorded voice message through the own service account (numbers below 1 play nothing).
    static void Play(int number);
    // Replaceable for tests: what plays a voice message.
    static void SetPlayHook(std::function<void(int)> hook);

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void paintEvent(QPaintEvent* e) override;

private:
    QLabel *senderLabel_, *receiversLabel_, *sender_, *receivers_;
    CChatRichEdit* edit_;
    int voice_ = 0;
};
