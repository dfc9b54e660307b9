// What the Contacts page and its trees share: the page's queued messages, the page's texts and skin
// pictures, node tests, and the item drawing that knows where an item's label lies.
#pragma once

#include <QEvent>
#include <QString>
#include <QStyledItemDelegate>
#include <cstdint>

#include "common/addrbook.h"

namespace contacts::booktree {

// A message for the page, queued like a posted window message.
class BookEvent : public QEvent {
public:
    static QEvent::Type Type() {
        static const int type = QEvent::registerEventType();
        return static_cast<QEvent::Type>(type);
    }
    BookEvent(unsigned m, uintptr_t w, intptr_t l) : QEvent(Type()), message(m), wParam(w), lParam(l) {}
    unsigned message;
    uintptr_t wParam;
    intptr_t lParam;
};

void PostToPage(QWidget* page, unsigned message, uintptr_t wParam = 0, intptr_t lParam = 0);

QString Lang(const char* section, const char* key, const char* builtIn);
QString BookText(const char* key, const char* builtIn);
// Menu texts are read into buffers of a fixed size per tree.
QString MenuText(int max, const char* key, const char* builtIn);
QString SkinPath(const char* file);

bool InSubtree(const AddrNode* node, const AddrNode* top);
bool SameId(const AddrNode* n, const char* id);

// Label rectangle of an item within its row: from the text's start, as wide as the text with its margins.
QRect LabelRectIn(const QStyleOptionViewItem& opt, const QWidget* tree);

// The trees' item drawing, which also knows where an item's label lies.
class LabelDelegate : public QStyledItemDelegate {
public:
    explicit LabelDelegate(QWidget* tree) : QStyledItemDelegate(tree), view_(tree) {}
    QRect Label(const QStyleOptionViewItem& option, const QModelIndex& index) const {
        QStyleOptionViewItem opt(option);
        initStyleOption(&opt, index);
        return LabelRectIn(opt, view_);
    }

private:
    QWidget* view_;
};

}  // namespace contacts::booktree
