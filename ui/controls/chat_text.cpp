// Chat text with picture codes.
#include "ui/controls/chat_text.h"

#include <algorithm>

#include "platform/codepage.h"

namespace ctl {

namespace {

// Length in bytes of the character starting at i (1, 2 for a double-byte character, 4 for the
// four-byte form in which the code page carries what GBK lacks, such as emoji).
size_t CharLength(std::string_view s, size_t i) { return plat::DbcsCharLength(s, i); }

int ByteUnits(unsigned char b) { return (b >= 1 && b <= 126) ? 2 : 1; }

// Units of the character of n bytes at i: a four-byte character counts as two double-byte ones.
int CharUnits(std::string_view s, size_t i, size_t n) {
  if (n == 4) return 4;
  int u = 0;
  for (size_t k = 0; k < n; ++k) u += ByteUnits(static_cast<unsigned char>(s[i + k]));
  return u;
}

}  // namespace

std::string MakeImageCode(std::string_view code) {
  return std::string(code.substr(0, std::min(code.size(), kImageCodeMax)));
}

std::string CodedText(std::u16string_view text, const std::vector<PictureCode>& pictures, bool selectionOnly,
                      size_t selStart, size_t selEnd, int* expansion) {
  size_t begin = 0, end = text.size();
  if (selectionOnly) {
    begin = std::min(selStart, text.size());
    end = std::clamp(selEnd, begin, text.size());
  }
  std::vector<const PictureCode*> inside;
  for (const auto& p : pictures) {
    if (p.position < begin || p.position >= end) continue;
    inside.push_back(&p);
  }
  std::sort(inside.begin(), inside.end(), [](auto* a, auto* b) { return a->position < b->position; });
  std::string out;
  int grown = 0;
  size_t at = begin;
  for (const PictureCode* p : inside) {
    out += plat::FromUtf16(text.substr(at, p->position - at), CP_ACP);
    // A picture without a code leaves nothing behind.
    const std::string code = MakeImageCode(p->code);
    out += code;
    grown += static_cast<int>(code.size()) - 1;
    at = p->position + 1;
  }
  out += plat::FromUtf16(text.substr(at, end - at), CP_ACP);
  if (expansion) *expansion = grown;
  if (out.size() > kCodedTextMax) {
    size_t keep = 0;
    for (size_t n = 0; keep < out.size() && keep + (n = CharLength(out, keep)) <= kCodedTextMax;) keep += n;
    out.resize(keep);
  }
  return out;
}

int CountUnits(std::string_view ansi) {
  int units = 0;
  for (unsigned char b : ansi) units += ByteUnits(b);
  return units;
}

CountResult CountTextUnits(std::string_view coded, int expansion, bool withCut) {
  int units = 0;
  int bytes = 0;
  for (size_t i = 0; i < coded.size();) {
    if (withCut && units >= kChatUnitLimit) break;
    const size_t n = CharLength(coded, i);
    units += CharUnits(coded, i, n);
    bytes += static_cast<int>(n);
    i += n;
  }
  if (withCut && (units & 1)) --units;
  CountResult r;
  r.characters = units / 2;
  r.cutPosition = std::max(0, bytes - expansion);
  return r;
}

std::string CutToCharacters(std::string_view ansi, int allowedChars) {
  const int allowed = std::max(0, allowedChars) * 2;
  int units = 0;
  size_t i = 0;
  while (i < ansi.size()) {
    const size_t n = CharLength(ansi, i);
    const int u = CharUnits(ansi, i, n);
    if (units + u > allowed) break;
    units += u;
    i += n;
  }
  return std::string(ansi.substr(0, i));
}

int PasteAllowance(int selectionChars, int controlChars) {
  int allowed = selectionChars;
  if (controlChars < kChatCharLimit) allowed += kChatCharLimit - controlChars;
  return allowed;
}

}  // namespace ctl
