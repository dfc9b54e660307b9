// TrelMenu: the drawn popup menu.
#include "ui/controls/trel_menu.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QKeyEvent>
#include <QPainter>
#include <QPointer>
#include <QStyleFactory>
#include <QStyleOptionMenuItem>
#include <QtEndian>
#include <vector>

#include "ui/controls/control_geometry.h"
#include "ui/controls/skin.h"

namespace {

struct SharedImages {
  std::vector<int> ids;
  std::vector<QPixmap> images;
};
SharedImages& Shared() {
  static SharedImages s;
  return s;
}
std::vector<TrelMenu*>& AllMenus() {
  static std::vector<TrelMenu*> menus;
  return menus;
}
QSize g_imageSize(16, 15);
int g_drawMode = 0;
bool g_plainBitmaps = false;
constexpr int kGapClassic = 4;
constexpr int kGapXp = 7;
constexpr int kMaxResourceBytes = 64 * 1024;  // resource files are untrusted; real ones are far smaller
constexpr int kMaxMenuDepth = 16;
constexpr int kMaxToolbarButtons = 1024;

const char* const kFlags = "trelFlags";  // present on every item that has a record
const char* const kOwnImage = "trelOwnImage";
const char* const kGlobalIndex = "trelGlobalIndex";  // index into the shared list, absent or -1 for none
const char* const kRadio = "radio";

int CommandOf(const QAction* a) { return a->data().isValid() ? a->data().toInt() : 0; }
bool HasRecord(const QAction* a) { return a->property(kFlags).isValid(); }
int GlobalIndexOf(const QAction* a) {
  const QVariant v = a->property(kGlobalIndex);
  return v.isValid() ? v.toInt() : -1;
}

QColor Lighten(const QColor& c, double f) { return ctl::ToQColor(ctl::LightenColor(ctl::ToColorRef(c), f)); }
QColor Darken(const QColor& c, double f) { return ctl::ToQColor(ctl::DarkenColor(ctl::ToColorRef(c), f)); }

// The class's own check mark: seven short vertical strokes.
void DrawCheckMark(QPainter* p, int x, int y, const QColor& colour, bool xp) {
  static const int tops[7] = {2, 3, 4, 3, 2, 1, 0};
  p->setPen(colour);
  for (int i = 0; i < 7; ++i) p->drawLine(x + i, y + tops[i], x + i, y + tops[i] + (xp ? 1 : 2));
}

void DrawRadioDot(QPainter* p, int x, int y, const QColor& colour) {
  p->save();
  p->setRenderHint(QPainter::Antialiasing);
  p->setBrush(colour);
  p->setPen(Qt::NoPen);
  p->drawEllipse(QRect(x, y, 6, 6));
  p->restore();
}

bool ReadResource(const QString& path, QByteArray* data) {
  QFile f(path);
  if (!f.exists()) return false;
  if (f.size() > kMaxResourceBytes || !f.open(QIODevice::ReadOnly)) {
    qWarning("menu resource %s refused: unreadable or larger than %d bytes", qPrintable(path), kMaxResourceBytes);
    return false;
  }
  *data = f.readAll();
  return true;
}

// One entry of a menu template; a popup holds its items.
struct TemplateEntry {
  UINT option = 0;
  int id = 0;
  QString text;
  std::vector<TemplateEntry> items;
};

// A menu template: a header, then entries of an option word, a command (not for popups) and a
// UTF-16 text; each level is read until an entry carrying MF_END closes it. False when cut short
// or nested too deep.
bool ParseMenuTemplate(const QByteArray& data, std::vector<TemplateEntry>* top) {
  const int n = static_cast<int>(data.size());
  if (n < 4) return false;
  auto word = [&](int at) { return qFromLittleEndian<quint16>(data.constData() + at); };
  int at = 4 + word(2);  // after the header's own size
  auto readText = [&](QString* text) {
    const int start = at;
    while (at + 1 < n && word(at) != 0) at += 2;
    if (at + 1 >= n) return false;
    *text = QString::fromUtf16(reinterpret_cast<const char16_t*>(data.constData() + start), (at - start) / 2);
    at += 2;
    return true;
  };
  std::function<bool(std::vector<TemplateEntry>*, int)> level = [&](std::vector<TemplateEntry>* out,
                                                                    int depth) -> bool {
    if (depth > kMaxMenuDepth) return false;
    for (;;) {
      if (at + 2 > n) return false;
      TemplateEntry e;
      e.option = word(at);
      at += 2;
      if (!(e.option & MF_POPUP)) {
        if (at + 2 > n) return false;
        e.id = word(at);
        at += 2;
      }
      if (!readText(&e.text)) return false;
      if ((e.option & MF_POPUP) && !level(&e.items, depth + 1)) return false;
      const bool end = (e.option & MF_END) != 0;
      out->push_back(std::move(e));
      if (end) return true;
    }
  };
  return level(top, 0);
}

// A tool-bar resource: version 1, button width and height, count, then the commands (0 a separator).
struct ToolbarResource {
  QSize size;
  std::vector<int> commands;
  // The button's image index in the strip (separators take none), or -1.
  int imageOf(int command) const {
    int image = 0;
    for (int c : commands) {
      if (c == 0) continue;
      if (c == command) return image;
      ++image;
    }
    return -1;
  }
};

bool ReadToolbar(int id, ToolbarResource* out) {
  QByteArray data;
  if (!ReadResource(ctl::ResourceFile(QStringLiteral("%1.toolbar").arg(id)), &data)) return false;
  auto word = [&](int at) { return qFromLittleEndian<quint16>(data.constData() + at); };
  if (data.size() < 8 || word(0) != 1) {
    qWarning("tool-bar resource %d refused: no version-1 header", id);
    return false;
  }
  const int count = word(6);
  if (count > kMaxToolbarButtons || data.size() < 8 + 2 * count || word(2) == 0 || word(4) == 0) {
    qWarning("tool-bar resource %d refused: %d buttons do not fit its %d bytes", id, count, int(data.size()));
    return false;
  }
  out->size = QSize(word(2), word(4));
  out->commands.clear();
  for (int i = 0; i < count; ++i) out->commands.push_back(word(8 + 2 * i));
  return true;
}


// The item's text as the system measures a string: every character counts, '&' included, and a
// tab is one character, not a tab stop.
int MeasuredTextWidth(const QFontMetrics& fm, const QString& text) {
  const QStringList parts = text.split(QLatin1Char('\t'));
  int width = 0;
  for (const QString& part : parts) width += fm.horizontalAdvance(part);
  return width + static_cast<int>(parts.size() - 1) * fm.horizontalAdvance(QLatin1Char('\t'));
}

// What QMenu adds to the widest item it is told of: its widest accelerator text.
int AcceleratorColumn(const QMenu* menu) {
  const QFontMetrics fm = menu->fontMetrics();
  int widest = 0;
  for (const QAction* a : menu->actions()) {
    if (a->isSeparator() || !a->isVisible()) continue;
    const QString text = a->text();
    const qsizetype tab = text.indexOf(QLatin1Char('\t'));
    if (tab >= 0) widest = std::max(widest, fm.horizontalAdvance(text.mid(tab + 1)));
    else if (!a->shortcut().isEmpty() && a->isShortcutVisibleInContextMenu())
      widest = std::max(widest, fm.horizontalAdvance(a->shortcut().toString(QKeySequence::NativeText)));
  }
  return widest;
}
}  // namespace

namespace ctl {

bool ReadToolbarResource(int id, QSize* buttonSize, std::vector<int>* commands) {
  ToolbarResource bar;
  if (!ReadToolbar(id, &bar)) return false;
  *buttonSize = bar.size;
  *commands = bar.commands;
  return true;
}

QPixmap EmbossedImage(const QImage& image, const QColor& face, const QColor& highlight, const QColor& shadow,
                      bool dib) {
  if (image.isNull()) return {};
  // Drawn over the face first, as the disabled form is made from what shows.
  QImage flat(image.size(), QImage::Format_ARGB32);
  flat.fill(face);
  {
    QPainter p(&flat);
    p.drawImage(0, 0, image);
  }
  const QRgb faceRgb = face.rgb() & 0xFFFFFF, hiRgb = highlight.rgb() & 0xFFFFFF;
  QImage shape(image.size(), QImage::Format_ARGB32);
  shape.fill(Qt::transparent);
  for (int y = 0; y < flat.height(); ++y) {
    const auto* in = reinterpret_cast<const QRgb*>(flat.constScanLine(y));
    auto* out = reinterpret_cast<QRgb*>(shape.scanLine(y));
    for (int x = 0; x < flat.width(); ++x) {
      const QRgb px = in[x] & 0xFFFFFF;
      const bool ink = dib ? qGray(in[x]) < 128 : (px != faceRgb && px != hiRgb);
      if (ink) out[x] = 0xFF000000;
    }
  }
  QImage result(image.width() + 1, image.height() + 1, QImage::Format_ARGB32);
  result.fill(Qt::transparent);
  QPainter p(&result);
  auto tinted = [&](const QColor& c) {
    QImage t = shape;
    QPainter tp(&t);
    tp.setCompositionMode(QPainter::CompositionMode_SourceIn);
    tp.fillRect(t.rect(), c);
    return t;
  };
  p.drawImage(1, 1, tinted(highlight));
  p.drawImage(0, 0, tinted(shadow));
  p.end();
  return QPixmap::fromImage(result);
}

QPixmap WashedImage(const QImage& image, const QColor& face, const QColor& shadow, const QColor& back) {
  if (image.isNull()) return {};
  QImage flat(image.size(), QImage::Format_ARGB32);
  flat.fill(face);
  {
    QPainter p(&flat);
    p.drawImage(0, 0, image);
  }
  const QRgb faceRgb = face.rgb() & 0xFFFFFF;
  const COLORREF sh = ToColorRef(shadow);
  for (int y = 0; y < flat.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(flat.scanLine(y));
    for (int x = 0; x < flat.width(); ++x) {
      if ((line[x] & 0xFFFFFF) == faceRgb) {
        line[x] = back.rgb();
        continue;
      }
      const COLORREF w = WashedColor(RGB(qRed(line[x]), qGreen(line[x]), qBlue(line[x])), sh);
      line[x] = qRgb(GetRValue(w), GetGValue(w), GetBValue(w));
    }
  }
  return QPixmap::fromImage(flat);
}

}  // namespace ctl

COffscreenDC::COffscreenDC(QPainter* target, const QRect& rect)
    : target_(target), rect_(rect), memory_(target->device()->devType() != QInternal::Printer) {
  if (!memory_ || rect.isEmpty()) {
    memory_ = false;
    return;
  }
  bitmap_ = QPixmap(rect.size());
  bitmap_.fill(Qt::transparent);
  own_.begin(&bitmap_);
  own_.setFont(target->font());
  own_.translate(-rect.topLeft());  // callers draw in the target's coordinates
}

COffscreenDC::~COffscreenDC() {
  if (!memory_) return;
  own_.end();
  target_->drawPixmap(rect_.topLeft(), bitmap_);
}

// ---------------------------------------------------------------------------

TrelMenu::TrelMenu(QWidget* parent) : QMenu(parent) {
  setStyle(TrelMenuStyle::instance());
  AllMenus().push_back(this);
}

TrelMenu::~TrelMenu() { std::erase(AllMenus(), this); }

QAction* TrelMenu::addItem(UINT flags, int command, const QString& text, QAction* before) {
  QAction* a = new QAction(this);
  if (command == 0 || (flags & MF_SEPARATOR)) {
    a->setSeparator(true);
    flags = MF_SEPARATOR | MF_OWNERDRAW | (flags & MF_BYPOSITION);
  } else {
    a->setText(text);
    a->setData(command);
    a->setEnabled(!(flags & (MF_GRAYED | MF_DISABLED)));
    // Every checked or radio item can be checked later; a radio item shows a dot when checked.
    if (flags & (MF_CHECKED | MF_RADIOCHECK)) a->setCheckable(true);
    a->setChecked((flags & MF_CHECKED) != 0);
    if (flags & MF_RADIOCHECK) a->setProperty(kRadio, true);
    flags |= MF_OWNERDRAW;  // the record keeps the flags as given; only ModifyItem drops MF_BYPOSITION
  }
  a->setProperty(kFlags, flags);
  insertAction(before, a);
  if (loadedFromResource_) flattenTopLevel();
  return a;
}

QAction* TrelMenu::insertWithImage(QAction* before, UINT flags, int command, const QString& text, int imageId) {
  QAction* a = addItem(flags, command, text, before);
  if (command == 0) return a;
  // A picture that does not load leaves the item without one, whatever the command had before.
  setGlobalIndex(a, imageId >= 0 ? RegisterToolbarImage(command, imageId) : SharedIndex(command));
  return a;
}

QAction* TrelMenu::AppendMenu(UINT flags, int command, const QString& text, const QString& imageFile, int imageIndex) {
  QAction* a = addItem(flags, command, text, nullptr);
  if (command == 0) return a;
  int index = SharedIndex(command);
  if (!imageFile.isEmpty()) {
    const QList<QPixmap> cells = ctl::CutStrip(ctl::LoadBitmapFile(imageFile), g_imageSize.width(),
                                               g_imageSize.height(), ImageKey());
    index = imageIndex >= 0 && imageIndex < cells.size() ? RegisterCommandImage(command, cells[imageIndex]) : -1;
  }
  setGlobalIndex(a, index);
  return a;
}

QAction* TrelMenu::AppendMenu(UINT flags, int command, const QString& text, int imageId) {
  return insertWithImage(nullptr, flags, command, text, imageId);
}

QAction* TrelMenu::AppendMenu(UINT flags, int command, const QString& text, const QList<QPixmap>& images, int index) {
  QAction* a = addItem(flags, command, text, nullptr);
  if (command != 0 && index >= 0 && index < images.size()) {
    a->setProperty(kOwnImage, images[index]);
    a->setIcon(QIcon(images[index]));
  }
  return a;
}

QAction* TrelMenu::AppendBitmapMenu(UINT flags, int command, const QString& text, const QImage& bitmap) {
  QAction* a = addItem(flags, command, text, nullptr);
  // The item's own copy: another menu's picture for the same command stays its own.
  if (command != 0 && !bitmap.isNull()) {
    const QPixmap image = ctl::KeyedPixmap(bitmap, ImageKey());
    a->setProperty(kOwnImage, image);
    a->setIcon(QIcon(image));
  }
  return a;
}

TrelMenu* TrelMenu::newPopup(const QString& text, QAction* before) {
  auto* popup = new TrelMenu(this);
  popup->setTitle(text);
  popup->useImageBackground_ = useImageBackground_;
  popup->imageBackground_ = imageBackground_;
  popup->checkImages_ = checkImages_;  // popups share their parent's check pictures
  popup->checkImagesShared_ = true;
  popup->menuAction()->setProperty(kFlags, MF_POPUP | MF_OWNERDRAW);
  insertMenu(before, popup);
  if (loadedFromResource_) flattenTopLevel();
  return popup;
}

TrelMenu* TrelMenu::AppendPopup(const QString& text) { return newPopup(text, nullptr); }

bool TrelMenu::locate(int positionOrCommand, UINT flags, TrelMenu** owner, QAction** action) const {
  if (flags & MF_BYPOSITION) {
    const QList<QAction*> list = actions();
    if (positionOrCommand < 0 || positionOrCommand >= list.size()) return false;
    *owner = const_cast<TrelMenu*>(this);
    *action = list[positionOrCommand];
    return true;
  }
  for (QAction* a : actions()) {
    if (!a->isSeparator() && !a->menu() && CommandOf(a) == positionOrCommand) {
      *owner = const_cast<TrelMenu*>(this);
      *action = a;
      return true;
    }
    if (auto* sub = qobject_cast<TrelMenu*>(a->menu()))
      if (sub->locate(positionOrCommand, flags, owner, action)) return true;
  }
  return false;
}

QAction* TrelMenu::InsertMenu(int position, UINT flags, int command, const QString& text, int imageId) {
  if ((flags & MF_BYPOSITION) && position == -1) return insertWithImage(nullptr, flags, command, text, imageId);
  TrelMenu* owner = nullptr;
  QAction* before = nullptr;
  if (!locate(position, flags, &owner, &before)) return nullptr;
  return owner->insertWithImage(before, flags, command, text, imageId);
}

QAction* TrelMenu::InsertMenu(int position, UINT flags, int command, const QString& text,
                              const QList<QPixmap>& images, int index) {
  QAction* a = InsertMenu(position, flags, command, text, -1);
  if (a && command != 0 && index >= 0 && index < images.size()) {
    a->setProperty(kOwnImage, images[index]);
    a->setIcon(QIcon(images[index]));
  }
  return a;
}

QAction* TrelMenu::InsertBitmapMenu(int position, UINT flags, int command, const QString& text, const QImage& bitmap) {
  QAction* a = InsertMenu(position, flags, command, text, -1);
  if (a && command != 0 && !bitmap.isNull()) {
    const QPixmap image = ctl::KeyedPixmap(bitmap, ImageKey());
    a->setProperty(kOwnImage, image);
    a->setIcon(QIcon(image));
  }
  return a;
}

QAction* TrelMenu::FindCommand(int command) const {
  TrelMenu* owner = nullptr;
  QAction* a = nullptr;
  return locate(command, MF_BYCOMMAND, &owner, &a) ? a : nullptr;
}

QAction* TrelMenu::findText(const QString& text) const {
  for (QAction* a : actions())
    if (!a->isSeparator() && a->text() == text) return a;
  return nullptr;
}

bool TrelMenu::ModifyItem(int command, const QString* text, const QImage& bitmap) {
  bool any = false;
  for (QAction* a : actions()) {
    if (auto* sub = qobject_cast<TrelMenu*>(a->menu())) any |= sub->ModifyItem(command, text, QImage());
    if (a->isSeparator() || a->menu() || CommandOf(a) != command) continue;
    if (text) a->setText(*text);
    a->setProperty(kFlags, (a->property(kFlags).toUInt() | MF_OWNERDRAW) & ~MF_BYPOSITION);
    any = true;
  }
  if (any && !bitmap.isNull()) giveIndex(command, RegisterCommandImage(command, ctl::KeyedPixmap(bitmap, ImageKey())));
  return any;
}

bool TrelMenu::ModifyItem(int command, const QString* text, int imageId) {
  if (!ModifyItem(command, text, QImage())) return false;
  if (imageId >= 0) giveIndex(command, RegisterToolbarImage(command, imageId));
  return true;
}

bool TrelMenu::ModifyItem(int command, const QString* text, const QList<QPixmap>& images, int index) {
  if (!ModifyItem(command, text, QImage())) return false;
  if (index >= 0 && index < images.size()) giveIndex(command, RegisterCommandImage(command, images[index]));
  return true;
}

bool TrelMenu::ModifyItem(const QString& itemText, const QString* newText, int imageId) {
  QAction* a = findText(itemText);
  if (!a) {
    for (QAction* s : actions())
      if (auto* sub = qobject_cast<TrelMenu*>(s->menu()))
        if (sub->ModifyItem(itemText, newText, imageId)) return true;
    return false;
  }
  const int command = CommandOf(a);
  if (newText) a->setText(*newText);
  if (imageId >= 0 && command != 0) {
    const int index = RegisterToolbarImage(command, imageId);
    if (index >= 0) setGlobalIndex(a, index);
  }
  return true;
}

QPixmap TrelMenu::ColourSwatch(COLORREF fill, COLORREF border, int hatch, QSize size, const QColor& menuColour) {
  if (!size.isValid() || size.isEmpty()) size = g_imageSize;
  size = size.boundedTo(g_imageSize);
  QPixmap square(g_imageSize);
  square.fill(menuColour);
  QPainter p(&square);
  const QRect box((g_imageSize.width() - size.width()) / 2, (g_imageSize.height() - size.height()) / 2, size.width(),
                  size.height());
  static const Qt::BrushStyle kHatch[] = {Qt::HorPattern,   Qt::VerPattern,   Qt::FDiagPattern,
                                          Qt::BDiagPattern, Qt::CrossPattern, Qt::DiagCrossPattern};
  if (hatch >= 0 && hatch < 6) {
    p.fillRect(box, Qt::white);  // the gaps of a hatch show the background colour
    p.fillRect(box, QBrush(ctl::ToQColor(fill), kHatch[hatch]));
  } else {
    p.fillRect(box, ctl::ToQColor(fill));
  }
  p.setPen(ctl::ToQColor(border));
  p.drawRect(box.adjusted(0, 0, -1, -1));
  return square;
}

bool TrelMenu::ModifyItem(const QString* text, int command, COLORREF fill, COLORREF border, int hatch, QSize size) {
  if (!ModifyItem(command, text, QImage())) return false;
  giveIndex(command,
            RegisterCommandImage(command, ColourSwatch(fill, border, hatch, size, palette().color(QPalette::Window))));
  return true;
}

bool TrelMenu::SetMenuText(int positionOrCommand, const QString& text, UINT flags) {
  TrelMenu* owner = nullptr;
  QAction* a = nullptr;
  if (!locate(positionOrCommand, flags, &owner, &a) || a->isSeparator()) return false;
  a->setText(text);
  if (auto* sub = a->menu()) sub->setTitle(text);
  return true;
}

bool TrelMenu::GetMenuText(int positionOrCommand, QString* text, UINT flags) const {
  TrelMenu* owner = nullptr;
  QAction* a = nullptr;
  if (!locate(positionOrCommand, flags, &owner, &a)) return false;
  *text = a->text();
  return true;
}

bool TrelMenu::dropItem(TrelMenu* owner, QAction* a) {
  if (auto* sub = qobject_cast<TrelMenu*>(a->menu())) {
    owner->QWidget::removeAction(a);
    sub->DestroyMenu();
    delete sub;  // its menu action goes with it
    return true;
  }
  owner->QWidget::removeAction(a);
  if (a->parent() == owner) delete a;
  return true;
}

bool TrelMenu::DeleteMenu(int positionOrCommand, UINT flags) {
  TrelMenu* owner = nullptr;
  QAction* a = nullptr;
  if (!locate(positionOrCommand, flags, &owner, &a)) return false;
  return dropItem(owner, a);
}

bool TrelMenu::RemoveMenu(int positionOrCommand, UINT flags) { return DeleteMenu(positionOrCommand, flags); }

bool TrelMenu::removeByText(const QString& text, int separatorOption) {
  QAction* a = findText(text);
  if (!a) return false;
  const int position = static_cast<int>(actions().indexOf(a));
  dropItem(this, a);
  const int before = separatorOption == 1 || separatorOption == 2 ? 1 : separatorOption == 3 ? 2 : 0;
  for (int i = 0; i < before && position - 1 - i >= 0; ++i) dropItem(this, actions().at(position - 1 - i));
  return true;
}

bool TrelMenu::DeleteMenu(const QString& text, int separatorOption) { return removeByText(text, separatorOption); }
bool TrelMenu::RemoveMenu(const QString& text, int separatorOption) { return removeByText(text, separatorOption); }

TrelMenu* TrelMenu::GetSubMenu(int position) const {
  const QList<QAction*> list = actions();
  if (position < 0 || position >= list.size()) return nullptr;
  return qobject_cast<TrelMenu*>(list[position]->menu());
}

TrelMenu* TrelMenu::GetSubMenu(const QString& text) const {
  for (QAction* a : actions())
    if (a->menu() && a->text() == text) return qobject_cast<TrelMenu*>(a->menu());
  return nullptr;
}

UINT TrelMenu::ItemFlags(int position) const {
  const QList<QAction*> list = actions();
  if (position < 0 || position >= list.size()) return ~0u;
  return list[position]->property(kFlags).toUInt();
}

int TrelMenu::RecordCount() const {
  int n = 0;
  for (QAction* a : actions()) n += HasRecord(a) ? 1 : 0;
  return n;
}

void TrelMenu::SetImageBackground(COLORREF colour) {
  imageBackground_ = colour;
  useImageBackground_ = true;
}
void TrelMenu::ClearImageBackground() { useImageBackground_ = false; }
COLORREF TrelMenu::ImageKey() const {
  return useImageBackground_ ? imageBackground_ : ctl::ToColorRef(QApplication::palette().color(QPalette::Button));
}

bool TrelMenu::SetCheckImages(int unselectedId, int selectedId) {
  if (unselectedId < 1 || selectedId < 1) return false;
  checkUnselectedId_ = unselectedId;
  checkSelectedId_ = selectedId;
  auto list = std::make_shared<std::vector<QPixmap>>();
  for (int id : {unselectedId, selectedId}) {
    const QList<QPixmap> cells = LoadImageStrip(id);
    if (cells.isEmpty()) {
      checkImages_.reset();  // either failing leaves no list
      checkImagesShared_ = false;
      update();
      return false;
    }
    list->push_back(cells.front());
  }
  checkImages_ = list;
  checkImagesShared_ = false;
  // Popups made from this menu see the new pictures too.
  for (TrelMenu* sub : findChildren<TrelMenu*>())
    if (sub->checkImagesShared_) sub->checkImages_ = list;
  update();
  return true;
}

QPixmap TrelMenu::CheckImage(bool selected) const {
  if (!HasCheckImages() || checkImages_->size() < 2) return {};
  return (*checkImages_)[selected ? 1 : 0];
}

int TrelMenu::RegisterToolbarImage(int command, int imageId) const {
  ToolbarResource bar;
  int index = 0;
  if (ReadToolbar(imageId, &bar)) index = std::max(0, bar.imageOf(command));
  const QList<QPixmap> cells = LoadImageStrip(imageId);
  return index < cells.size() ? RegisterCommandImage(command, cells[index]) : -1;
}

QList<QPixmap> TrelMenu::LoadImageStrip(int imageId) const {
  const QString path = ctl::ResourcePath(imageId);
  QImageReader reader(path);
  const QSize size = reader.size();
  if (!size.isValid() || size.width() > 4096 || size.height() > 4096) return {};
  QImage image = reader.read();
  if (image.isNull()) return {};
  const QPalette pal = QApplication::palette();
  const QRgb face = pal.color(QPalette::Button).rgb();
  if ((image.format() == QImage::Format_Indexed8 || image.format() == QImage::Format_Mono) &&
      image.colorCount() <= 16) {
    // The standard button colours become the system's.
    QList<QRgb> table = image.colorTable();
    for (QRgb& c : table) {
      switch (c & 0xFFFFFF) {
        case 0x000000: c = pal.color(QPalette::ButtonText).rgb(); break;
        case 0x808080: c = pal.color(QPalette::Mid).rgb(); break;
        case 0xC0C0C0: c = face; break;
        case 0xFFFFFF: c = pal.color(QPalette::Light).rgb(); break;
        default: break;
      }
    }
    image.setColorTable(table);
    image = image.convertToFormat(QImage::Format_ARGB32);
  } else {
    image = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
      auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
      for (int x = 0; x < image.width(); ++x)
        if ((line[x] & 0xFFFFFF) == 0xC0C0C0) line[x] = face;
    }
    g_plainBitmaps = true;
  }
  return ctl::CutStrip(image, g_imageSize.width(), std::min(g_imageSize.height(), image.height()), ImageKey());
}

void TrelMenu::SetImageSize(int w, int h) { g_imageSize = QSize(w, h); }
QSize TrelMenu::ImageSize() { return g_imageSize; }
void TrelMenu::SetDrawMode(int mode) { g_drawMode = mode; }
int TrelMenu::DrawMode() { return g_drawMode; }
bool TrelMenu::PlainBitmaps() { return g_plainBitmaps; }
void TrelMenu::SetPlainBitmaps(bool on) { g_plainBitmaps = on; }

int TrelMenu::RegisterCommandImage(int command, const QPixmap& image) {
  SharedImages& s = Shared();
  int index = -1;
  for (size_t i = 0; i < s.ids.size(); ++i)
    if (s.ids[i] == command) index = static_cast<int>(i);
  if (index >= 0) {
    s.images[index] = image;
  } else {
    s.ids.push_back(command);
    s.images.push_back(image);
    index = static_cast<int>(s.ids.size()) - 1;
  }
  // Items holding this entry, in any menu, show the new picture.
  for (TrelMenu* m : AllMenus())
    for (QAction* a : m->actions())
      if (GlobalIndexOf(a) == index) m->setGlobalIndex(a, index);
  return index;
}

int TrelMenu::SharedIndex(int command) {
  const SharedImages& s = Shared();
  for (size_t i = 0; i < s.ids.size(); ++i)
    if (s.ids[i] == command) return static_cast<int>(i);
  return -1;
}

QPixmap TrelMenu::CommandImage(int command) {
  const SharedImages& s = Shared();
  for (size_t i = 0; i < s.ids.size(); ++i)
    if (s.ids[i] == command) return s.images[i];
  return {};
}

int TrelMenu::SharedImageCount() { return static_cast<int>(Shared().ids.size()); }

void TrelMenu::setGlobalIndex(QAction* a, int index) {
  a->setProperty(kGlobalIndex, index);
  if (a->property(kOwnImage).isValid()) return;  // an item's own picture comes first
  const SharedImages& s = Shared();
  a->setIcon(index >= 0 && index < static_cast<int>(s.images.size()) ? QIcon(s.images[index]) : QIcon());
}

void TrelMenu::giveIndex(int command, int index) {
  if (index < 0) return;
  for (QAction* a : actions()) {
    if (auto* sub = qobject_cast<TrelMenu*>(a->menu())) sub->giveIndex(command, index);
    if (!a->isSeparator() && !a->menu() && CommandOf(a) == command) setGlobalIndex(a, index);
  }
}

void TrelMenu::flattenTopLevel() {
  // The top level of a loaded menu stays plain strings, drawn as the system draws them.
  for (QAction* a : actions()) {
    UINT f = MF_BYPOSITION | (a->menu() ? MF_POPUP : 0);
    if (a->isSeparator()) f |= MF_SEPARATOR;
    a->setProperty(kFlags, f);
  }
}

void TrelMenu::alignTabs() {
  const QFontMetrics fm(font());
  int widest = 0;
  for (QAction* a : actions()) {
    const qsizetype tab = a->text().indexOf(QLatin1Char('\t'));
    if (tab >= 0) widest = std::max(widest, fm.horizontalAdvance(a->text().left(tab) + QLatin1Char(' ')));
  }
  for (QAction* a : actions()) {
    QString text = a->text();
    const qsizetype tab = text.indexOf(QLatin1Char('\t'));
    if (tab < 0) continue;
    QString before = text.left(tab);
    while (fm.horizontalAdvance(before) < widest) before += QLatin1Char(' ');
    a->setText(before + text.mid(tab));
  }
}

bool TrelMenu::loadTemplate(const QByteArray& data) {
  std::vector<TemplateEntry> top;
  if (!ParseMenuTemplate(data, &top)) return false;
  std::function<void(TrelMenu*, const std::vector<TemplateEntry>&)> build = [&](TrelMenu* menu,
                                                                                const std::vector<TemplateEntry>& items) {
    for (const TemplateEntry& e : items) {
      if (e.option & MF_POPUP) {
        TrelMenu* sub = menu->newPopup(e.text, nullptr);
        sub->menuAction()->setEnabled(!(e.option & (MF_GRAYED | MF_DISABLED)));
        build(sub, e.items);
        sub->alignTabs();
      } else {
        menu->insertWithImage(nullptr, e.option & ~MF_END, e.id, e.text, -1);
      }
    }
  };
  build(this, top);
  return true;
}

bool ctl::LoadPlainMenu(int resourceId, QMenu* menu) {
  QByteArray data;
  const QString file = ctl::ResourceFile(QStringLiteral("%1.menu").arg(resourceId));
  if (!ReadResource(file, &data)) return false;
  std::vector<TemplateEntry> top;
  if (!ParseMenuTemplate(data, &top)) {
    qWarning("menu resource %d refused: the template is cut short or nested too deep", resourceId);
    return false;
  }
  std::function<void(QMenu*, const std::vector<TemplateEntry>&)> build = [&](QMenu* m,
                                                                             const std::vector<TemplateEntry>& items) {
    for (const TemplateEntry& e : items) {
      const bool enabled = !(e.option & (MF_GRAYED | MF_DISABLED));
      if (e.option & MF_POPUP) {
        QMenu* sub = m->addMenu(e.text);
        sub->menuAction()->setEnabled(enabled);
        build(sub, e.items);
      } else if ((e.option & MF_SEPARATOR) || (e.id == 0 && e.text.isEmpty())) {
        m->addSeparator();
      } else {
        QAction* a = m->addAction(e.text);
        a->setData(e.id);
        a->setEnabled(enabled);
        a->setCheckable((e.option & (MF_CHECKED | MF_RADIOCHECK)) != 0);
        a->setChecked((e.option & MF_CHECKED) != 0);
      }
    }
  };
  menu->clear();
  build(menu, top);
  return true;
}

bool TrelMenu::LoadMenu(const QString& resourceName) {
  QByteArray data;
  if (!ReadResource(ctl::ResourceFile(resourceName + QStringLiteral(".menu")), &data)) return false;
  DestroyMenu();
  if (!loadTemplate(data)) {
    qWarning("menu resource %s refused: the template is cut short or nested too deep", qPrintable(resourceName));
    DestroyMenu();
    return false;
  }
  flattenTopLevel();
  loadedFromResource_ = true;
  return true;
}

bool TrelMenu::LoadMenu(int resourceId) { return LoadMenu(QString::number(resourceId)); }

bool TrelMenu::LoadToolbarImages(int toolbarId) { return LoadToolbarImages(std::vector<int>{toolbarId}); }

bool TrelMenu::LoadToolbarImages(const std::vector<int>& toolbarIds) {
  struct Loaded {
    ToolbarResource bar;
    QList<QPixmap> cells;
  };
  std::vector<Loaded> all;
  for (int id : toolbarIds) {
    Loaded l;
    if (!ReadToolbar(id, &l.bar)) return false;
    const QSize keep = g_imageSize;
    g_imageSize = l.bar.size;
    l.cells = LoadImageStrip(id);
    g_imageSize = keep;
    if (l.cells.isEmpty()) return false;
    all.push_back(std::move(l));
  }
  for (const Loaded& l : all)
    for (int command : l.bar.commands) {
      if (command == 0 || !FindCommand(command)) continue;
      const int index = l.bar.imageOf(command);
      if (index >= 0 && index < l.cells.size()) giveIndex(command, RegisterCommandImage(command, l.cells[index]));
    }
  return true;
}

bool TrelMenu::LoadToolbarImages(const std::vector<ctl::TBBUTTON>& buttons, int imageId) {
  const QList<QPixmap> cells = LoadImageStrip(imageId);
  if (cells.isEmpty()) return false;
  std::function<void(TrelMenu*)> give = [&](TrelMenu* menu) {
    for (QAction* a : menu->actions()) {
      if (auto* sub = qobject_cast<TrelMenu*>(a->menu())) {
        give(sub);
        continue;
      }
      if (a->isSeparator()) continue;
      for (const ctl::TBBUTTON& b : buttons) {
        if (b.idCommand == 0 || b.idCommand != CommandOf(a) || (b.fsStyle & ctl::TBSTYLE_SEP)) continue;
        if (b.iBitmap >= 0 && b.iBitmap < cells.size()) {
          a->setProperty(kOwnImage, cells[b.iBitmap]);
          a->setIcon(QIcon(cells[b.iBitmap]));
        }
      }
    }
  };
  give(this);
  return true;
}

void TrelMenu::DestroyMenu() {
  for (QAction* a : actions()) dropItem(this, a);
  clear();
  if (!checkImagesShared_) checkImages_.reset();
  loadedFromResource_ = false;
}

bool TrelMenu::IsOwnMenu(const QMenu* menu) {
  for (TrelMenu* m : AllMenus())
    if (m == menu) return true;
  return false;
}

bool TrelMenu::UpdateMenu(QMenu* menu) {
  auto* own = qobject_cast<TrelMenu*>(menu);
  if (!own || !IsOwnMenu(own)) return false;
  // Items added to the menu directly get their records; records of removed items went with them.
  for (QAction* a : own->actions()) {
    if (HasRecord(a)) {
      if (own->loadedFromResource_) continue;
      a->setProperty(kFlags, a->property(kFlags).toUInt() | MF_OWNERDRAW);
      continue;
    }
    UINT f = MF_OWNERDRAW;
    if (a->isSeparator()) f |= MF_SEPARATOR;
    if (a->menu()) f |= MF_POPUP;
    a->setProperty(kFlags, f);
  }
  if (own->loadedFromResource_) own->flattenTopLevel();
  return true;
}

int TrelMenu::HandleMenuChar(QChar ch, const TrelMenu* menu) {
  if (!menu || !IsOwnMenu(menu)) return -1;
  // Items added behind the class's back get their records first.
  if (menu->RecordCount() != menu->actions().size()) UpdateMenu(const_cast<TrelMenu*>(menu));
  std::vector<std::u16string> texts;
  for (QAction* a : menu->actions()) texts.push_back(a->text().toStdU16String());
  return ctl::FindMnemonic(texts, ch.unicode());
}

void TrelMenu::initStyleOption(QStyleOptionMenuItem* option, const QAction* action) const {
  QMenu::initStyleOption(option, action);
  if (action->property(kRadio).toBool()) option->checkType = QStyleOptionMenuItem::Exclusive;
}

void TrelMenu::keyPressEvent(QKeyEvent* event) {
  const QString t = event->text();
  if (t.size() == 1 && t[0].isLetterOrNumber() && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
    const int pos = HandleMenuChar(t[0], this);
    if (pos >= 0) {
      QAction* a = actions().at(pos);
      if (a->isEnabled()) {
        if (a->menu()) {
          setActiveAction(a);
        } else {
          a->trigger();
          close();
        }
        return;
      }
    }
  }
  QMenu::keyPressEvent(event);
}

// ---------------------------------------------------------------------------

TrelMenuStyle::TrelMenuStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}

TrelMenuStyle* TrelMenuStyle::instance() {
  // Owned by the application object, so it goes with it: a later application object gets a new one
  // rather than the freed one.
  static QPointer<TrelMenuStyle> style;
  if (!style) {
    style = new TrelMenuStyle;
    style->setParent(qApp);
  }
  return style;
}

int TrelMenuStyle::pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const {
  if (metric == PM_MenuPanelWidth) return 1;
  if (metric == PM_MenuHMargin || metric == PM_MenuVMargin) return 1;
  if (metric == PM_SmallIconSize) return g_imageSize.width();
  return QProxyStyle::pixelMetric(metric, option, widget);
}

int TrelMenuStyle::styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                             QStyleHintReturn* returnData) const {
  // The classic look lets a disabled item take the highlight; the XP look never does.
  if (hint == SH_Menu_AllowActiveAndDisabled) return g_drawMode == 0 ? 1 : 0;
  return QProxyStyle::styleHint(hint, option, widget, returnData);
}

QSize TrelMenuStyle::sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                                      const QWidget* widget) const {
  if (type != CT_MenuItem) return QProxyStyle::sizeFromContents(type, option, size, widget);
  const auto* mi = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
  const int w = g_imageSize.width(), h = g_imageSize.height();
  const bool xp = g_drawMode == 1;
  const int gap = xp ? kGapXp : kGapClassic;
  const int menuHeight = option->fontMetrics.height() + 6;
  if (mi && mi->menuItemType == QStyleOptionMenuItem::Separator) return QSize(0, xp ? 3 : std::max(menuHeight / 2, (h + gap) / 2));
  const int tw = MeasuredTextWidth(option->fontMetrics, mi ? mi->text : QString());
  const int width = xp ? w + gap + tw + 8 : w + tw + w + 1;
  // The system adds a check mark's width to what an owner-drawn item measures. Qt's menu widens
  // itself by its widest accelerator after asking, which the item's text has already counted.
  const int added = qobject_cast<const QMenu*>(widget) ? AcceleratorColumn(static_cast<const QMenu*>(widget)) : 0;
  return QSize(std::max(1, width + 12 - added), std::max(menuHeight, h + gap));
}

void TrelMenuStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* p,
                                const QWidget* widget) const {
  const auto* mi = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
  if (element != CE_MenuItem || !mi) {
    QProxyStyle::drawControl(element, option, p, widget);
    return;
  }
  const QPalette& pal = option->palette;
  const QRect r = option->rect;
  const int l = r.left(), t = r.top(), rr = r.right() + 1, H = r.height();
  const int W = g_imageSize.width(), Hi = g_imageSize.height();
  const bool xp = g_drawMode == 1;
  const bool disabled = !(option->state & State_Enabled);
  bool selected = (option->state & State_Selected) != 0;
  const bool checked = mi->checked;
  const QColor menuBg = pal.color(QPalette::Window);
  const QColor highlight = pal.color(QPalette::Highlight);
  const QColor face = pal.color(QPalette::Button);
  const QPixmap image = mi->icon.isNull() ? QPixmap() : mi->icon.pixmap(QSize(W, Hi));
  const auto* menu = qobject_cast<const TrelMenu*>(widget);
  const QAction* action = menu ? menu->actionAt(r.center()) : nullptr;
  if (action && !(action->property(kFlags).toUInt() & MF_OWNERDRAW) && action->property(kFlags).isValid()) {
    QProxyStyle::drawControl(element, option, p, widget);  // a plain string of a loaded menu's top level
    return;
  }
  const bool radio = mi->checkType == QStyleOptionMenuItem::Exclusive;
  const QPixmap checkImage = menu && checked && image.isNull() ? menu->CheckImage(selected) : QPixmap();
  p->save();

  if (xp) {
    const int gap = kGapXp;
    if (disabled) selected = false;
    p->fillRect(r, Darken(pal.color(QPalette::Base), 0.02));
    p->fillRect(QRect(l, t, W + gap, H), Lighten(face, 0.25));
    if (mi->menuItemType == QStyleOptionMenuItem::Separator) {
      const int y = t + H / 2;
      p->setPen(pal.color(QPalette::Mid));
      p->drawLine(l + W + gap + gap, y, rr, y);
      p->setPen(pal.color(QPalette::Light));
      p->drawLine(l + W + gap + gap, y + 1, rr, y + 1);
      p->restore();
      return;
    }
    if (selected) {
      p->fillRect(r.adjusted(1, 0, -1, -1), Lighten(highlight, 0.85));
      p->setPen(highlight);
      p->drawRect(r.adjusted(1, 0, -2, -1));
    }
    const int dy = std::max(0, (H - Hi) / 2);
    if (checked) {
      QRect box(l + 2, t + dy - 2, W + 3, Hi + 3);
      p->fillRect(box, Lighten(highlight, selected ? 0.55 : 0.85));
      p->setPen(highlight);
      p->drawRect(box);
      if (!checkImage.isNull()) {
        p->drawPixmap(box.left() + 2, box.top() + 2, checkImage);
      } else if (image.isNull() && radio) {
        DrawRadioDot(p, box.center().x() - 2, box.center().y() - 2, pal.color(QPalette::WindowText));
      } else if (image.isNull()) {
        DrawCheckMark(p, box.center().x() - 3, box.center().y() - 3, pal.color(QPalette::WindowText), true);
      }
    }
    if (!image.isNull()) {
      if (disabled) {
        COffscreenDC off(p, r);
        off.painter()->setOpacity(0.35);
        off.painter()->drawPixmap(l + 3, t + dy, image);
      } else {
        if (selected) {  // a soft shadow under a lifted image
          p->setOpacity(0.25);
          p->drawPixmap(l + 4, t + dy + 1, QIcon(image).pixmap(QSize(W, Hi), QIcon::Disabled));
          p->setOpacity(1.0);
          p->drawPixmap(l + 2, t + dy - 1, image);
        } else {
          p->drawPixmap(l + 3, t + dy, image);
        }
      }
    }
    QColor tc = pal.color(QPalette::WindowText);
    const QColor grey = pal.color(QPalette::Disabled, QPalette::WindowText);
    if (disabled) tc = selected ? grey : Lighten(grey, 0.4);
    p->setPen(tc);
    // The accelerator after a tab is right-aligned, its edge moved in by the image width.
    const QRect textRect(l + W + kGapXp + 6, t, rr - (l + W + kGapXp + 6), H);
    const QStringList parts = mi->text.split(QLatin1Char('\t'));
    p->drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextShowMnemonic | Qt::TextSingleLine, parts.value(0));
    if (parts.size() > 1)
      p->drawText(textRect.adjusted(0, 0, -W, 0), Qt::AlignVCenter | Qt::AlignRight | Qt::TextSingleLine, parts.value(1));
    if (mi->menuItemType == QStyleOptionMenuItem::SubMenu) {
      QStyleOption arrow = *option;
      arrow.rect = QRect(rr - 14, t + H / 2 - 4, 8, 8);
      proxy()->drawPrimitive(PE_IndicatorArrowRight, &arrow, p, widget);
    }
    p->restore();
    return;
  }

  // Classic look: a disabled item may be highlighted; its text then takes the menu colour.
  if (mi->menuItemType == QStyleOptionMenuItem::Separator) {
    p->fillRect(r, menuBg);
    const int y = t + H / 2;
    p->setPen(pal.color(QPalette::Mid));
    p->drawLine(l, y, rr - 1, y);
    p->setPen(pal.color(QPalette::Light));
    p->drawLine(l, y + 1, rr - 1, y + 1);
    p->restore();
    return;
  }
  p->fillRect(r, menuBg);
  QColor textColour = pal.color(QPalette::WindowText);
  if (selected) {
    const int from = (!image.isNull() || checked) ? l + W + 5 : l;
    p->fillRect(QRect(from, t, rr - from, H), highlight);
    textColour = pal.color(QPalette::HighlightedText);
  }
  const int dy = std::max(0, (H - 4 - Hi) / 2);
  const QRect box(l, t + dy, W + 4, Hi + 4);
  if (!image.isNull()) {
    if (checked && !selected) p->fillRect(box, Lighten(menuBg, 0.6));
    if (selected || checked) {
      const QColor tl = selected ? pal.color(QPalette::Light) : pal.color(QPalette::Mid);
      const QColor br = selected ? pal.color(QPalette::Mid) : pal.color(QPalette::Light);
      p->setPen(tl);
      p->drawLine(box.left(), box.top(), box.right() - 1, box.top());
      p->drawLine(box.left(), box.top(), box.left(), box.bottom() - 1);
      p->setPen(br);
      p->drawLine(box.left(), box.bottom(), box.right(), box.bottom());
      p->drawLine(box.right(), box.top(), box.right(), box.bottom());
    }
    if (disabled) {
      p->setPen(menuBg);
      p->drawRect(box.adjusted(0, 0, -1, -1));
      const QColor hi = pal.color(QPalette::Light), sh = pal.color(QPalette::Mid);
      const QImage src = image.toImage();
      QPixmap form;
      if (menu && menu->DibEmboss()) form = ctl::EmbossedImage(src, face, hi, sh, true);
      else if (!TrelMenu::PlainBitmaps()) form = ctl::EmbossedImage(src, face, hi, sh, false);
      else form = ctl::WashedImage(src, face, sh, menuBg);
      p->drawPixmap(l + 2, t + 2 + dy, form);
    } else {
      p->drawPixmap(l + 2, t + 2 + dy, image);
    }
  } else if (!checkImage.isNull()) {
    p->fillRect(box, menuBg);
    p->drawPixmap(l + 2, t + 2 + dy, checkImage);
  } else if (checked) {
    const QRect cb(l + 1, t + 2 + dy, W, Hi);
    p->fillRect(cb, selected ? menuBg : Lighten(menuBg, 0.6));
    // A sunken outer edge: shadow above and left, highlight below and right.
    p->setPen(pal.color(QPalette::Mid));
    p->drawLine(cb.left(), cb.top(), cb.right() - 1, cb.top());
    p->drawLine(cb.left(), cb.top(), cb.left(), cb.bottom() - 1);
    p->setPen(pal.color(QPalette::Light));
    p->drawLine(cb.left(), cb.bottom(), cb.right(), cb.bottom());
    p->drawLine(cb.right(), cb.top(), cb.right(), cb.bottom());
    if (radio) {
      DrawRadioDot(p, cb.left() + 5, cb.top() + 4, pal.color(QPalette::WindowText));
    } else {
      DrawCheckMark(p, cb.left() + 4, cb.top() + 4, pal.color(QPalette::WindowText), false);
    }
  }
  const QRect textRect(l + W + 9, t - 1, rr - (l + W + 9), H);
  const QStringList parts = mi->text.split(QLatin1Char('\t'));
  const int flags = Qt::AlignVCenter | Qt::TextShowMnemonic | Qt::TextSingleLine;
  auto drawText = [&](const QRect& rect, const QColor& c) {
    p->setPen(c);
    p->drawText(rect, flags | Qt::AlignLeft, parts.value(0));
    if (parts.size() > 1) p->drawText(rect.adjusted(0, 0, -W, 0), flags | Qt::AlignRight, parts.value(1));
  };
  if (!disabled) {
    drawText(textRect, textColour);
  } else if (!selected) {
    drawText(textRect.translated(1, 1), pal.color(QPalette::Light));
    drawText(textRect, pal.color(QPalette::Disabled, QPalette::WindowText));
  } else {
    drawText(textRect, menuBg);
  }
  if (mi->menuItemType == QStyleOptionMenuItem::SubMenu) {
    QStyleOption arrow = *option;
    arrow.rect = QRect(rr - 14, t + H / 2 - 4, 8, 8);
    arrow.palette.setColor(QPalette::ButtonText, textColour);
    proxy()->drawPrimitive(PE_IndicatorArrowRight, &arrow, p, widget);
  }
  p->restore();
}
