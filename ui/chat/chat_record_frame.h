// CChatRecordFrame: the "Message management" window: peers and time ranges, the records, the shown record.
#pragma once

#include <QDate>
#include <QDialog>
#include <QMainWindow>
#include <QPointer>

#include <atomic>
#include <memory>

#include "ui/chat/chat_record_store.h"

class QComboBox;
class QFileDialog;
class QDialogButtonBox;
class QFormLayout;
class QDateEdit;
class QLabel;
class QLineEdit;
class QRadioButton;
class QTreeWidget;
class QTreeWidgetItem;
class QAction;
class CChatRichEdit;
class CChatRecordView;

// The query dialog: peer, date range, kind.
class CChatQueryDlg : public QDialog {
    Q_OBJECT
public:
    CChatQueryDlg(const std::vector<std::pair<int, QString>>& peers, QWidget* parent = nullptr);
    int m_peer = 0;
    int m_kind = 2;
    QDate m_from, m_to;
    void accept() override;
    void OnLanguageChanged();
    QComboBox* Peers() const { return peers_; }

private:
    QComboBox* peers_;
    QDateEdit *from_, *to_;
    QRadioButton *voice_, *text_, *all_;
    QLabel* toLabel_;
    QFormLayout* form_;
    QDialogButtonBox* buttons_;
};

class CChatRecordFrame : public QMainWindow {
    Q_OBJECT
public:
    // ownerSlot is cleared when the window goes away.
    CChatRecordFrame(ChatRecordFile* records, std::function<std::string(int)> ownerName,
                     QPointer<CChatRecordFrame>* ownerSlot = nullptr, QWidget* parent = nullptr);
    ~CChatRecordFrame() override;

    void RebuildTree();
    // Selects the peer's folder; false (and a box) when it has none.
    bool SelectRecordOwner(int peer);
    QString GetOwnerName(int peer) const;
    void ShowDay(int peer, int daysBack, int kind);
    void ShowRange(int peer, const QDate& from, const QDate& to, int kind);
    // Reads every folder for the keyword and lists the rows found (then SearchDone).
    void SearchAll(const QString& keyword);
    void Search(const QString& keyword);
    void Query(int peer, const QDate& from, const QDate& to, int kind);
    void StepDay(int delta);
    void DeleteSelected(bool copyFirst);
    QString CopyText() const;
    bool ExportTo(const QString& path) const;
    // Writes the pending deletions back to the day files.
    void WriteBackChanges();
    void OnLanguageChanged();

    QTreeWidget* Tree() const { return tree_; }
    QTreeWidget* List() const { return list_; }
    QAction* Action(int id) const { auto it = actions_.find(id); return it == actions_.end() ? nullptr : it->second; }
    CChatRichEdit* View() const { return view_; }
    CChatRecordView* RecordView() const { return recordView_; }
    const std::vector<ChatRecordRow>& Rows() const { return rows_; }
    QString StatusText(int pane) const;
    int DaysBack() const { return daysBack_; }
    bool Enabled(int command) const;
    // The menu or toolbar command, as a click on it.
    void RunCommand(int command);
    static void SetBoxHook(std::function<void(const QString&)> hook);
    // Runs the export's save dialog in place of its exec (tests); null: exec.
    static void SetExportRunner(std::function<int(QFileDialog*)> run);

signals:
    void SearchDone();

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    void OnTreeSelChanged();
    void OnListSelChanged();
    void ClearRecords();
    void AddRows(std::vector<ChatRecordRow> rows);
    void UpdateCount();
    void RefreshCommands();
    void Box(const QString& text);
    QString T(const char* key, const char* english) const;

    ChatRecordFile* records_;
    std::function<std::string(int)> ownerName_;
    QPointer<CChatRecordFrame>* ownerSlot_;
    QTreeWidget* tree_;
    QTreeWidget* list_;
    CChatRichEdit* view_;
    CChatRecordView* recordView_;
    QPointer<CChatQueryDlg> queryDlg_;
    QLineEdit* keywordEdit_;
    QLabel* keywordLabel_;
    QLabel* panes_[3];
    QTreeWidgetItem* root_ = nullptr;
    QTreeWidgetItem* queryItem_ = nullptr;
    std::map<int, QAction*> actions_;
    std::vector<ChatRecordRow> rows_;
    std::vector<ChatRecordRow> deleted_;
    QString keyword_;
    // What was read last, a day or a range, and what the query result reads again: the day steps and
    // the query result item share the peer, and the range is the last one read or queried.
    int daysBack_ = 0;
    int peer_ = 0;
    int queryKind_ = 2;
    QDate queryFrom_, queryTo_;
};
