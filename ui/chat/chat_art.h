// Pictures the chat windows draw themselves: tool-bar glyphs, the emoticon table, the voice icon.
#pragma once

#include <QIcon>
#include <QImage>
#include <QString>
#include <string>
#include <vector>

#include "ui/chat/chat_emoticon_text.h"

namespace chat {

// One emoticon: its code text inside a message and its name (the picker's tooltip).
struct Emoticon {
    std::string code;
    QString name;
};
const std::vector<Emoticon>& EmoticonTable();
// The emoticon's picture (size x size): the installation's "face/NN.bmp" (white transparent), made once
// and kept.
QImage EmoticonImage(int index, int size = 24);
// The installation's picture file of the emoticon (null when it has none).
QImage FaceFile(int index);
// How many emoticons there are: the installation's pictures up to the first missing one.
int EmoticonCount();
// The emoticon's tip ([action_tip], the index as key).
QString EmoticonTip(int index);
// Index of the emoticon whose code starts text at position at, or -1.
int EmoticonAt(const QString& text, int at, int* codeLength);

enum class Glyph { Invite, Call, Kick, End, Block, History, AutoPlay, Font, Smile, Send, Talk, Voice, Warn, Person, Room, Search, Export, Delete, Lock };
QIcon GlyphIcon(Glyph glyph, const QColor& colour = QColor(0x2f, 0x6f, 0xc6));
QImage GlyphImage(Glyph glyph, int size, const QColor& colour);
// A round head picture with the person's initial, coloured by the id.
QImage HeadPicture(const QString& name, int id, int size);

}  // namespace chat
